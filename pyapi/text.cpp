#include "pyapi/text.h"

#include <vector>

namespace py {

#if Py_UNICODE_SIZE == 2

Object UnicodeFromWide(const WCHAR* text, size_t length) {
  return Object::Steal(PyUnicode_FromUnicode(
      reinterpret_cast<const Py_UNICODE*>(text),
      static_cast<Py_ssize_t>(length)));
}

WideString WideFromUnicode(PyObject* unicode) {
  const Py_UNICODE* units = PyUnicode_AS_UNICODE(unicode);
  return WideString(reinterpret_cast<const WCHAR*>(units),
                    static_cast<size_t>(PyUnicode_GET_SIZE(unicode)));
}

#else  // UCS-4 interpreter: WCHAR text is UTF-16.

Object UnicodeFromWide(const WCHAR* text, size_t length) {
  std::vector<Py_UNICODE> code_points;
  code_points.reserve(length);
  for (size_t i = 0; i < length; ++i) {
    const Py_UNICODE unit = text[i];
    const bool pair = unit >= 0xD800 && unit <= 0xDBFF && i + 1 < length &&
                      text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF;
    if (pair) {
      code_points.push_back(0x10000 + ((unit - 0xD800) << 10) +
                            (text[i + 1] - 0xDC00));
      ++i;
    } else {
      code_points.push_back(unit);  // lone surrogates pass through as on Windows
    }
  }
  return Object::Steal(PyUnicode_FromUnicode(
      code_points.data(), static_cast<Py_ssize_t>(code_points.size())));
}

WideString WideFromUnicode(PyObject* unicode) {
  const Py_UNICODE* code_points = PyUnicode_AS_UNICODE(unicode);
  const Py_ssize_t size = PyUnicode_GET_SIZE(unicode);
  WideString text;
  text.reserve(static_cast<size_t>(size));
  for (Py_ssize_t i = 0; i < size; ++i) {
    const unsigned long point = static_cast<unsigned long>(code_points[i]);
    if (point >= 0x10000 && point <= 0x10FFFF) {
      text.push_back(static_cast<WCHAR>(0xD800 + ((point - 0x10000) >> 10)));
      text.push_back(static_cast<WCHAR>(0xDC00 + ((point - 0x10000) & 0x3FF)));
    } else {
      text.push_back(static_cast<WCHAR>(point));
    }
  }
  return text;
}

#endif

Object UnicodeFromWideBuffer(const WCHAR* text, size_t capacity) {
  size_t length = 0;
  while (length < capacity && text[length] != 0) ++length;
  return UnicodeFromWide(text, length);
}

}  // namespace py
