// What every part of windows.plugwatch shares: the window vocabulary and
// the native state that the load sequence writes once and every thread then
// only reads.
#pragma once

#include <Python.h>

#include "host/winwrap.h"
#include "pyapi/errors.h"
#include "pyapi/names.h"
#include "pyapi/object.h"
#include "pyapi/version.h"
#include "win32/win32.h"

namespace plugwatch {

constexpr char kModuleName[] = "windows.plugwatch";
// Where the module's traceback entries point.
inline constexpr py::TracebackSource kTracebackSource = {"windows\\plugwatch",
                                                         __LINE__};

// Every name the module's code looks up or passes while it serves a call.
namespace names {
// In the module namespace.
inline const py::Name logger{"LOGGER"};
inline const py::Name sys{"sys"};
inline const py::Name fatal_exceptions{"fatal_exceptions"};
inline const py::Name sync_client_thread{"sync_client_thread"};
inline const py::Name volume_handler{"volume_handler"};
inline const py::Name register_window_class{
    "_RegisterDeviceMonitorWindowClass"};
// Attributes and methods.
inline const py::Name sync_client_thread_class{"SyncClientThread"};
inline const py::Name init{"__init__"};
inline const py::Name should_stop{"ShouldStop"};
inline const py::Name stop{"Stop"};
inline const py::Name arrived{"Arrived"};
inline const py::Name removed{"Removed"};
inline const py::Name state{"_state"};
inline const py::Name window_handle{"_window_handle"};
inline const py::Name handler{"handler"};
inline const py::Name push{"Push"};
inline const py::Name mount_event{"MountEvent"};
inline const py::Name unmount_event{"UnmountEvent"};
inline const py::Name is_fatal{"IsFatal"};
inline const py::Name exc_info{"exc_info"};
// Logger levels.
inline const py::Name debug{"debug"};
inline const py::Name info{"info"};
// `warn` on Python 2.7, `warning` on Python 3, which deprecates `warn`.
inline const py::Name warning{py::kLoggerWarningMethod};
inline const py::Name error{"error"};
inline const py::Name exception{"exception"};
}  // namespace names

// An entry point of the module: `Body`, its failure given one traceback
// entry naming `kOperation`.
template <PyObject* (*Body)(PyObject*, PyObject*, PyObject*),
          const char* kOperation>
PyObject* Traced(PyObject* self, PyObject* args, PyObject* kwargs) {
  return py::Traced(Body(self, args, kwargs), kOperation, kTracebackSource);
}
template <PyObject* (*Body)(PyObject*, PyObject*), const char* kOperation>
PyObject* Traced(PyObject* self, PyObject* argument) {
  return py::Traced(Body(self, argument), kOperation, kTracebackSource);
}

constexpr WCHAR kWindowClassName[] = W32TEXT("DriveDeviceMonitor");
constexpr WCHAR kArriveProperty[] = W32TEXT("ARRIVE_CALLBACK");
constexpr WCHAR kRemoveProperty[] = W32TEXT("REMOVE_CALLBACK");
constexpr WCHAR kStopProperty[] = W32TEXT("STOP_CALLBACK");

// Written only by the load sequence; never freed (the module is never
// unloaded).
struct ModuleState {
  PyObject* globals = nullptr;     // the module namespace, for lookups at use
  PyObject* chr = nullptr;         // built-in chr
  PyObject* type_error = nullptr;  // built-in TypeError
  host::RaiseWindowsErrorFunction raise_windows_error = nullptr;
  WNDCLASSEXW window_class = {};
};

ModuleState& Module();

// The module's own instance handle (GetModuleHandleExW from an address
// inside the module), or null when the call fails.
HINSTANCE LookupModuleInstance();

// RaiseWindowsError for the thread's last Win32 error; call it right after
// the failing Win32 call. Always returns nullptr with an exception pending.
PyObject* RaiseLastWindowsError();
// RaiseWindowsError with an error code and an 8-bit message.
PyObject* RaiseWindowsErrorWithMessage(DWORD error, const char* message);

// The module-level `name`, looked up in the module namespace at the moment
// of use, as module code written in Python would.
inline py::Object Global(const py::Name& name) {
  return py::LookupGlobal(Module().globals, name);
}

// LOGGER.<level>(*items), with LOGGER looked up in the module namespace
// at the moment of the call. Null with an exception pending on failure.
template <typename... Items>
py::Object CallLogger(const py::Name& level, const Items&... items) {
  py::Object logger = Global(names::logger);
  if (!logger) return logger;
  py::Object log = py::GetAttr(logger, level);
  if (!log) return log;
  return py::CallWith(log, items...);
}

}  // namespace plugwatch
