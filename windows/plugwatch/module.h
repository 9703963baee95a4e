// What every part of windows.plugwatch shares: the window vocabulary and
// the native state that the load sequence writes once and every thread then
// only reads.
#pragma once

#include <Python.h>

#include "host/winwrap.h"
#include "pyapi/names.h"
#include "pyapi/object.h"
#include "win32/win32.h"

namespace plugwatch {

constexpr char kModuleName[] = "windows.plugwatch";
// Source path of the module's traceback entries.
constexpr char kSourcePath[] = "windows\\plugwatch";

constexpr WCHAR kWindowClassName[] = W32TEXT("DriveDeviceMonitor");
constexpr WCHAR kArriveProperty[] = W32TEXT("ARRIVE_CALLBACK");
constexpr WCHAR kRemoveProperty[] = W32TEXT("REMOVE_CALLBACK");
constexpr WCHAR kStopProperty[] = W32TEXT("STOP_CALLBACK");

// Written only by the load sequence; never freed (the module is never
// unloaded).
struct ModuleState {
  PyObject* globals = nullptr;  // the module namespace, for lookups at use
  PyObject* chr = nullptr;         // built-in chr
  PyObject* type_error = nullptr;  // built-in TypeError
  host::RaiseWindowsErrorFunction raise_windows_error = nullptr;
  WNDCLASSEXW window_class = {};
};

ModuleState& Module();

// The module's own instance handle (GetModuleHandleExW from an address
// inside the module), or null when the call fails.
HINSTANCE LookupModuleInstance();

// Adds the traceback entry `qualified_name` at `line` to the pending
// exception. Always returns nullptr, so failures read `return Fail(...)`.
PyObject* Fail(const char* qualified_name, int line);

// RaiseWindowsError for the thread's last Win32 error; call it right after
// the failing Win32 call. Always returns nullptr with an exception pending.
PyObject* RaiseLastWindowsError();
// RaiseWindowsError with an error code and an 8-bit message.
PyObject* RaiseWindowsErrorWithMessage(DWORD error, const char* message);

// LOGGER.<method>(*items), with LOGGER looked up in the module namespace
// at the moment of the call. Null with an exception pending on failure.
template <typename... Items>
py::Object CallLogger(const char* method, const Items&... items) {
  py::Object logger = py::LookupGlobal(Module().globals, "LOGGER");
  if (!logger) return logger;
  py::Object log = py::GetAttr(logger, method);
  if (!log) return log;
  return py::CallWith(log, items...);
}

}  // namespace plugwatch
