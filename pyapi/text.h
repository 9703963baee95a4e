// Conversion between interpreter unicode and Win32 WCHAR text: the one
// piece of module code whose working differs between platforms (a UCS-2
// interpreter on Windows shares WCHAR's unit; a UCS-4 one needs UTF-16).
#pragma once

#include <Python.h>

#include <string>

#include "pyapi/object.h"
#include "win32/win32.h"

namespace py {

using WideString = std::basic_string<WCHAR>;

// A unicode object of exactly `length` units of `text`, NULs included.
Object UnicodeFromWide(const WCHAR* text, size_t length);

// A unicode object of `text` up to its first NUL, reading at most
// `capacity` units.
Object UnicodeFromWideBuffer(const WCHAR* text, size_t capacity);

// The UTF-16 text of a unicode object (no terminating NUL in the string;
// c_str() gives a NUL-terminated copy).
WideString WideFromUnicode(PyObject* unicode);

}  // namespace py
