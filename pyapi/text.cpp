#include "pyapi/text.h"

namespace py {

#if PY_MAJOR_VERSION >= 3

// Python 3 text is a sequence of code points, read and written through the
// documented PyUnicode_READ/WRITE: WCHAR text is its UTF-16 form, with lone
// surrogates passed through both ways as Python 2.7's UCS-4 build does.
namespace {

constexpr Py_UCS4 kFirstAstral = 0x10000;

bool PairAt(const WCHAR* text, size_t i, size_t length) {
  return text[i] >= 0xD800 && text[i] <= 0xDBFF && i + 1 < length &&
         text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF;
}

// The code points of a str, read in place.
class CodePoints {
 public:
  explicit CodePoints(PyObject* unicode)
      : kind_(PyUnicode_KIND(unicode)),
        data_(PyUnicode_DATA(unicode)),
        size_(static_cast<size_t>(PyUnicode_GET_LENGTH(unicode))) {}
  size_t size() const { return size_; }
  Py_UCS4 operator[](size_t i) const {
    return PyUnicode_READ(kind_, data_, static_cast<Py_ssize_t>(i));
  }

 private:
  int kind_;
  const void* data_;
  size_t size_;
};

size_t WideLength(const CodePoints& points) {
  size_t length = points.size();
  for (size_t i = 0; i < points.size(); ++i) length += points[i] >= kFirstAstral;
  return length;
}

WCHAR* EncodeWide(const CodePoints& points, WCHAR* out) {
  for (size_t i = 0; i < points.size(); ++i) {
    const Py_UCS4 point = points[i];
    if (point >= kFirstAstral) {
      *out++ = static_cast<WCHAR>(0xD800 + ((point - kFirstAstral) >> 10));
      *out++ = static_cast<WCHAR>(0xDC00 + ((point - kFirstAstral) & 0x3FF));
    } else {
      *out++ = static_cast<WCHAR>(point);
    }
  }
  return out;
}

}  // namespace

Object UnicodeFromWide(const WCHAR* text, size_t length) {
  // Counted first, so that the result object is the only allocation.
  size_t points = length;
  Py_UCS4 widest = 0;
  for (size_t i = 0; i < length; ++i) {
    if (PairAt(text, i, length)) {
      --points;
      ++i;
      widest = 0x10FFFF;
    } else if (text[i] > widest) {
      widest = text[i];
    }
  }
  Object unicode = Object::Steal(
      PyUnicode_New(static_cast<Py_ssize_t>(points), widest));
  if (!unicode) return unicode;
  const int kind = PyUnicode_KIND(unicode.get());
  void* const data = PyUnicode_DATA(unicode.get());
  Py_ssize_t out = 0;
  for (size_t i = 0; i < length; ++i) {
    Py_UCS4 point = text[i];  // lone surrogates pass through as on Windows
    if (PairAt(text, i, length)) {
      point = kFirstAstral + ((text[i] - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    }
    PyUnicode_WRITE(kind, data, out++, point);
  }
  return unicode;
}

WideString WideFromUnicode(PyObject* unicode) {
  const CodePoints points(unicode);
  WideString text(WideLength(points), WCHAR(0));
  EncodeWide(points, &text[0]);
  return text;
}

bool ContainsNul(PyObject* unicode) {
  const CodePoints points(unicode);
  for (size_t i = 0; i < points.size(); ++i) {
    if (points[i] == 0) return true;
  }
  return false;
}

Py_ssize_t UnicodeLength(PyObject* unicode) {
  return PyUnicode_GET_LENGTH(unicode);
}

bool UnicodeEndsWith(PyObject* unicode, char last) {
  const CodePoints points(unicode);
  return points.size() > 0 &&
         points[points.size() - 1] == static_cast<Py_UCS4>(last);
}

WideArgument::WideArgument(PyObject* unicode, WCHAR suffix) {
  const CodePoints points(unicode);
  const size_t size = points.size();
  const bool append = suffix != 0 && (size == 0 || points[size - 1] != suffix);
  const size_t length = WideLength(points) + (append ? 1 : 0);
  WCHAR* out = inline_;
  if (length >= kInlineLength) {
    heap_.resize(length + 1);
    out = heap_.data();
  }
  text_ = out;
  out = EncodeWide(points, out);
  if (append) *out++ = suffix;
  *out = 0;
}

#else  // Python 2.7

namespace {

#if Py_UNICODE_SIZE == 2

size_t WideLength(const Py_UNICODE*, size_t size) { return size; }

WCHAR* EncodeWide(const Py_UNICODE* units, size_t size, WCHAR* out) {
  for (size_t i = 0; i < size; ++i) *out++ = static_cast<WCHAR>(units[i]);
  return out;
}

#else  // UCS-4 interpreter: WCHAR text is UTF-16.

bool Astral(Py_UNICODE point) {
  return static_cast<unsigned long>(point) >= 0x10000 &&
         static_cast<unsigned long>(point) <= 0x10FFFF;
}

size_t WideLength(const Py_UNICODE* code_points, size_t size) {
  size_t length = size;
  for (size_t i = 0; i < size; ++i) length += Astral(code_points[i]);
  return length;
}

WCHAR* EncodeWide(const Py_UNICODE* code_points, size_t size, WCHAR* out) {
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
  WideString text(WideLength(units, size), WCHAR(0));
  EncodeWide(units, size, &text[0]);
  return text;
}

bool ContainsNul(PyObject* unicode) {
  const Py_UNICODE* units = PyUnicode_AS_UNICODE(unicode);
  const Py_ssize_t size = PyUnicode_GET_SIZE(unicode);
  for (Py_ssize_t i = 0; i < size; ++i) {
    if (units[i] == 0) return true;
  }
  return false;
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
  const size_t length = WideLength(units, size) + (append ? 1 : 0);
  WCHAR* out = inline_;
  if (length >= kInlineLength) {
    heap_.resize(length + 1);
    out = heap_.data();
  }
  text_ = out;
  out = EncodeWide(units, size, out);
  if (append) *out++ = suffix;
  *out = 0;
}

Py_ssize_t UnicodeLength(PyObject* unicode) {
  return PyUnicode_GET_SIZE(unicode);
}

bool UnicodeEndsWith(PyObject* unicode, char last) {
  const Py_ssize_t size = PyUnicode_GET_SIZE(unicode);
  return size > 0 &&
         PyUnicode_AS_UNICODE(unicode)[size - 1] == static_cast<Py_UNICODE>(last);
}

#endif

Object UnicodeFromWideBuffer(const WCHAR* text, size_t capacity) {
  size_t length = 0;
  while (length < capacity && text[length] != 0) ++length;
  return UnicodeFromWide(text, length);
}

}  // namespace py
