#include "pyapi/text.h"

namespace py {
namespace {

// Loops over every unit of a text, written without a branch so that the
// compiler can widen them (GCC and Clang take the hint with -fopenmp-simd,
// which needs no run-time library). Names are short and clean: scanning
// one whole beats stopping early.
#if defined(__GNUC__)
#define PYAPI_PRAGMA(text) _Pragma(#text)
#define PYAPI_WIDE_LOOP PYAPI_PRAGMA(omp simd)
#define PYAPI_WIDE_OR_LOOP(flag) PYAPI_PRAGMA(omp simd reduction(|:flag))
#define PYAPI_WIDE_SUM_LOOP(sum) PYAPI_PRAGMA(omp simd reduction(+:sum))
#else
#define PYAPI_WIDE_LOOP
#define PYAPI_WIDE_OR_LOOP(flag)
#define PYAPI_WIDE_SUM_LOOP(sum)
#endif

#if Py_UNICODE_SIZE == 2

size_t WideLength(const Py_UNICODE*, size_t size) { return size; }

WCHAR* EncodeWide(const Py_UNICODE* units, size_t size, size_t,
                  WCHAR* out) {
  PYAPI_WIDE_LOOP
  for (size_t i = 0; i < size; ++i) out[i] = static_cast<WCHAR>(units[i]);
  return out + size;
}

#else  // UCS-4 interpreter: WCHAR text is UTF-16.

bool Astral(Py_UNICODE point) {
  return static_cast<unsigned long>(point) >= 0x10000 &&
         static_cast<unsigned long>(point) <= 0x10FFFF;
}

size_t WideLength(const Py_UNICODE* code_points, size_t size) {
  size_t astral = 0;
  PYAPI_WIDE_SUM_LOOP(astral)
  for (size_t i = 0; i < size; ++i) astral += Astral(code_points[i]);
  return size + astral;
}

// `wide_length` is WideLength of the text: when it equals `size`, the usual
// case, every code point is one unit.
WCHAR* EncodeWide(const Py_UNICODE* code_points, size_t size,
                  size_t wide_length, WCHAR* out) {
  if (wide_length == size) {
    PYAPI_WIDE_LOOP
    for (size_t i = 0; i < size; ++i) {
      out[i] = static_cast<WCHAR>(code_points[i]);
    }
    return out + size;
  }
  for (size_t i = 0; i < size; ++i) {
    const unsigned long point = static_cast<unsigned long>(code_points[i]);
    if (Astral(code_points[i])) {
      *out++ = static_cast<WCHAR>(0xD800 + ((point - 0x10000) >> 10));
      *out++ = static_cast<WCHAR>(0xDC00 + ((point - 0x10000) & 0x3FF));
    } else {
      *out++ = static_cast<WCHAR>(point);
    }
  }
  return out;
}

bool HasSurrogate(const WCHAR* text, size_t length) {
  unsigned found = 0;
  PYAPI_WIDE_OR_LOOP(found)
  for (size_t i = 0; i < length; ++i) found |= (text[i] & 0xF800) == 0xD800;
  return found != 0;
}

bool PairAt(const WCHAR* text, size_t i, size_t length) {
  return text[i] >= 0xD800 && text[i] <= 0xDBFF && i + 1 < length &&
         text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF;
}

#endif

}  // namespace

Object UnicodeFromWide(const WCHAR* text, size_t length) {
#if Py_UNICODE_SIZE == 2
  return Object::Steal(PyUnicode_FromUnicode(
      reinterpret_cast<const Py_UNICODE*>(text),
      static_cast<Py_ssize_t>(length)));
#else
  if (!HasSurrogate(text, length)) {
    Object unicode = Object::Steal(
        PyUnicode_FromUnicode(nullptr, static_cast<Py_ssize_t>(length)));
    if (!unicode) return unicode;
    Py_UNICODE* const out = PyUnicode_AS_UNICODE(unicode.get());
    PYAPI_WIDE_LOOP
    for (size_t i = 0; i < length; ++i) out[i] = text[i];
    return unicode;
  }
  // Counted first, so that the result object is the only allocation.
  size_t points = length;
  for (size_t i = 0; i < length; ++i) {
    if (PairAt(text, i, length)) {
      --points;
      ++i;
    }
  }
  Object unicode = Object::Steal(
      PyUnicode_FromUnicode(nullptr, static_cast<Py_ssize_t>(points)));
  if (!unicode) return unicode;
  Py_UNICODE* out = PyUnicode_AS_UNICODE(unicode.get());
  for (size_t i = 0; i < length; ++i) {
    if (PairAt(text, i, length)) {
      *out++ = 0x10000 + ((text[i] - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else {
      *out++ = text[i];  // lone surrogates pass through as on Windows
    }
  }
  return unicode;
#endif
}

WideString WideFromUnicode(PyObject* unicode) {
  const Py_UNICODE* units = PyUnicode_AS_UNICODE(unicode);
  const size_t size = static_cast<size_t>(PyUnicode_GET_SIZE(unicode));
  const size_t wide_length = WideLength(units, size);
  WideString text(wide_length, WCHAR(0));
  EncodeWide(units, size, wide_length, &text[0]);
  return text;
}

size_t WideBufferLength(const WCHAR* text, size_t capacity) {
  size_t length = 0;
  while (length < capacity && text[length] != 0) ++length;
  return length;
}

Object UnicodeFromWideBuffer(const WCHAR* text, size_t capacity) {
  return UnicodeFromWide(text, WideBufferLength(text, capacity));
}

bool ContainsNul(PyObject* unicode) {
  const Py_UNICODE* units = PyUnicode_AS_UNICODE(unicode);
  const Py_ssize_t size = PyUnicode_GET_SIZE(unicode);
  unsigned found = 0;
  PYAPI_WIDE_OR_LOOP(found)
  for (Py_ssize_t i = 0; i < size; ++i) found |= units[i] == 0;
  return found != 0;
}

WideArgument::WideArgument(PyObject* unicode, WCHAR suffix) {
  const Py_UNICODE* units = PyUnicode_AS_UNICODE(unicode);
  const size_t size = static_cast<size_t>(PyUnicode_GET_SIZE(unicode));
  const bool append =
      suffix != 0 && (size == 0 || units[size - 1] != static_cast<Py_UNICODE>(suffix));
#if Py_UNICODE_SIZE == 2
  if (!append) {
    text_ = reinterpret_cast<const WCHAR*>(units);
    return;
  }
#endif
  const size_t wide_length = WideLength(units, size);
  const size_t length = wide_length + (append ? 1 : 0);
  WCHAR* out = inline_;
  if (length >= kInlineLength) {
    heap_.resize(length + 1);
    out = heap_.data();
  }
  text_ = out;
  out = EncodeWide(units, size, wide_length, out);
  if (append) *out++ = suffix;
  *out = 0;
}

}  // namespace py
