// Argument checks made before a function body runs.
#pragma once

#include <Python.h>

#include <cstdint>

namespace py {

// Exact-type test of a declared string argument: subclasses are refused,
// None passes. Otherwise TypeError "Argument '%.200s' has incorrect type
// (expected %.200s, got %.200s)". Returns false with the error set.
bool CheckUnicodeArgument(PyObject* value, const char* argument_name);
// The same for an argument that is a byte string or a unicode string; the
// expected type is named "basestring".
bool CheckStringArgument(PyObject* value, const char* argument_name);

// TypeError "Expected %.16s, got %.200s". Always returns nullptr.
PyObject* RaiseExpectedType(const char* expected, PyObject* got);

// Converts to a signed 64-bit integer as a declared integer argument is
// converted. Python 3: through __index__, with the interpreter's own
// errors. Python 2.7: int and long (subclasses included) unchanged; anything else
// through its __int__, failing that its __long__ (for an old-style instance,
// the methods its class defines). TypeError "an integer is required" when it
// has neither, TypeError "__%.4s__ returned non-%.4s (type
// %.200s)" when the conversion returns a non-integer, OverflowError outside
// the 64-bit range. Returns false with the error set.
bool ToInt64(PyObject* value, int64_t* result);

}  // namespace py
