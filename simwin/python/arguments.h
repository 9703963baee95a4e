// Conversions between the control module's Python arguments and results
// and the double's control types, with the module's error conventions:
// TypeError for a wrong type, OverflowError for a number out of range,
// KeyError for an unknown volume, ValueError for an unknown window.
#pragma once

#include <Python.h>

#include <cstdint>

#include "pyapi/object.h"
#include "simwin/control.h"

namespace simwin_module {

// A unicode string or an ASCII byte string. `what` names the argument in
// the TypeError text.
bool ToWString(PyObject* value, const char* what, simwin::WString* result);

// A list or tuple of strings as above (a lone string is refused).
bool ToPathList(PyObject* value, const char* what, simwin::PathList* result);

// An int or long in [0, maximum].
bool ToUnsigned(PyObject* value, const char* what, uint64_t maximum,
                uint64_t* result);
bool ToUInt32(PyObject* value, const char* what, uint32_t* result);

// An int or long in [-2**63, 2**64): a handle, WPARAM or LPARAM as its
// 64-bit pattern, so 2**64 - 1 and -1 give the same word.
bool ToMachineWord(PyObject* value, const char* what, uint64_t* result);

// A number of seconds >= 0.
bool ToTimeout(PyObject* value, double* result);

// Results.
py::Object UnicodeFromWString(const simwin::WString& text);
py::Object IntFromSigned(int64_t value);
py::Object IntFromUnsigned(uint64_t value);

inline HWND ToWindow(uint64_t word) {
  return reinterpret_cast<HWND>(static_cast<uintptr_t>(word));
}
inline uint64_t FromWindow(HWND hwnd) {
  return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(hwnd));
}
// A kernel or notification handle, as ToWindow for windows.
inline HANDLE ToHandle(uint64_t word) {
  return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(word));
}
inline py::Object IntFromHandle(const void* handle) {
  return IntFromUnsigned(reinterpret_cast<uintptr_t>(handle));
}

// KeyError carrying the volume name.
PyObject* RaiseUnknownVolume(const simwin::WString& name);
// ValueError "no window 0x...".
PyObject* RaiseUnknownWindow(uint64_t hwnd);
// ValueError "handle 0x... is not an open file handle".
PyObject* RaiseNotOpenFileHandle(uint64_t handle);
// simwin.Timeout with `what` and the bound in its text.
PyObject* RaiseTimeout(const char* what, double timeout_seconds);
// OSError(error, "<function> failed") for a failed Win32 call of a helper.
PyObject* RaiseWin32Failure(const char* function, DWORD error);
// RaiseUnknownWindow for ERROR_INVALID_WINDOW_HANDLE, otherwise
// RaiseWin32Failure: a failed Win32 call on the window `hwnd`.
PyObject* RaiseWindowFailure(const char* function, uint64_t hwnd, DWORD error);

// Raises the matching exception for a send that did not deliver; returns
// the result as an int when it did.
py::Object SendResult(const simwin::SendOutcome& outcome, uint64_t hwnd,
                      const char* what, double timeout_seconds);

}  // namespace simwin_module
