// Conversion between interpreter unicode and Win32 WCHAR (UTF-16) text, on
// Python 2.7's UCS-2 and UCS-4 builds and Python 3 alike.
#pragma once

#include <Python.h>

#include <string>
#include <vector>

#include "pyapi/object.h"
#include "win32/win32.h"

namespace py {

using WideString = std::basic_string<WCHAR>;

// Whether the interpreter's unicode units are UTF-16 units, as on a UCS-2
// Python 2.7 (the Windows interpreter's width): len() then counts a
// surrogate pair as two, and a Win32 call can read the text in place.
#if PY_MAJOR_VERSION < 3 && Py_UNICODE_SIZE == 2
constexpr bool kUnicodeIsUtf16 = true;
#else
constexpr bool kUnicodeIsUtf16 = false;
#endif

// A unicode object of exactly `length` units of `text`, NULs included.
Object UnicodeFromWide(const WCHAR* text, size_t length);

// A unicode object of `text` up to its first NUL, reading at most
// `capacity` units.
Object UnicodeFromWideBuffer(const WCHAR* text, size_t capacity);

// The UTF-16 text of a unicode object (no terminating NUL in the string;
// c_str() gives a NUL-terminated copy).
WideString WideFromUnicode(PyObject* unicode);

// Whether a unicode object holds a NUL character, read in place.
bool ContainsNul(PyObject* unicode);

// The length of a unicode object as len() gives it: in UTF-16 units on a
// UCS-2 Python 2.7, in code points elsewhere.
Py_ssize_t UnicodeLength(PyObject* unicode);

// Whether a unicode object's last character is the ASCII `last`.
bool UnicodeEndsWith(PyObject* unicode, char last);

// The text of a unicode object as the NUL-terminated string a Win32 call
// reads. Paths are passed on every query, so the object's own buffer is
// used where its units are WCHARs, and a conversion is held inline up to
// the path limit otherwise. The unicode object must outlive it.
class WideArgument {
 public:
  explicit WideArgument(PyObject* unicode) : WideArgument(unicode, 0) {}
  // The text followed by `suffix` unless it already ends with it.
  WideArgument(PyObject* unicode, WCHAR suffix);
  WideArgument(const WideArgument&) = delete;
  WideArgument& operator=(const WideArgument&) = delete;

  const WCHAR* c_str() const { return text_; }
  // Whether the interpreter's buffer is passed as it is.
  bool borrowed() const { return text_ != inline_ && text_ != heap_.data(); }

 private:
  static constexpr size_t kInlineLength = MAX_PATH + 2;

  const WCHAR* text_ = nullptr;
  WCHAR inline_[kInlineLength];
  std::vector<WCHAR> heap_;
};

}  // namespace py
