// Module setup: initplugwatch and the load sequence the host relies on.
#include "windows/plugwatch/module.h"

#include <Python.h>

#include <cstdint>

#include "pyapi/classes.h"
#include "pyapi/errors.h"
#include "pyapi/exception_barrier.h"
#include "pyapi/names.h"
#include "pyapi/object.h"
#include "pyapi/version.h"
#include "windows/plugwatch/device_monitor.h"
#include "windows/plugwatch/interpreter_gate.h"
#include "windows/plugwatch/monitor_state.h"
#include "windows/plugwatch/window_procedure.h"

namespace plugwatch {

namespace {

constexpr char kInitName[] = "init windows.plugwatch";

ModuleState module_state;

void FillWindowClass(HINSTANCE instance) {
  WNDCLASSEXW& window_class = module_state.window_class;
  window_class = WNDCLASSEXW();
  window_class.cbSize = sizeof(WNDCLASSEXW);
  window_class.style = 0;
  window_class.lpfnWndProc = WindowProcedure;
  window_class.hInstance = instance;
  window_class.lpszClassName = kWindowClassName;
}

// The module body, in source order.
bool RunModuleBody(PyObject* globals) {
  if (!py::ImportModuleInto(globals, "logging") ||
      !py::ImportModuleInto(globals, "sys") ||
      !py::ImportNameInto(globals, "common", "fatal_exceptions") ||
      !py::ImportNameInto(globals, "common", "sync_client_thread") ||
      !py::ImportNameInto(globals, "common", "volume_handler")) {
    return false;
  }

  py::Object logging = py::LookupGlobal(globals, "logging");
  if (!logging) return false;
  py::Object get_logger = py::GetAttr(logging, "getLogger");
  if (!get_logger) return false;
  py::Object logger = py::CallWith(get_logger, py::String("plugwatch"));
  if (!logger ||
      PyDict_SetItem(globals, names::logger.get(), logger.get()) < 0) {
    return false;
  }

  // The window vocabulary is constant data of the module (module.h).

  py::Object device_monitor = CreateDeviceMonitorClass();
  if (!device_monitor || PyDict_SetItemString(globals, "DeviceMonitor",
                                              device_monitor.get()) < 0) {
    return false;
  }

  FillWindowClass(LookupModuleInstance());

  py::Object module_name = py::String(kModuleName);
  if (!module_name) return false;
  py::Object register_class =
      py::MethodFunction(RegisterWindowClassMethod(), module_name);
  if (!register_class ||
      PyDict_SetItem(globals, names::register_window_class.get(),
                     register_class.get()) < 0) {
    return false;
  }
  // Window procedures and pumps stop entering the interpreter once it
  // begins to exit.
  return CloseGateAtExit();
}

bool LoadModule() {
  if (py::WarnOnVersionMismatch(kModuleName) < 0) return false;
  if (!py::InternNames()) return false;

  // Borrowed from the interpreter's module table; the load keeps its own
  // reference while it fills the module.
  py::Object module =
      py::Object::Borrow(py::CreateModule("plugwatch", nullptr, nullptr));
  if (!module) return false;
  // Set first: a failed import leaves the partly built module importable,
  // and what it already publishes must find its namespace.
  PyObject* globals = PyModule_GetDict(module.get());  // borrowed
  if (globals == nullptr) return false;
  Py_INCREF(globals);
  module_state.globals = globals;
  PyObject* builtins = PyImport_AddModule(py::kBuiltinsModuleName);  // borrowed
  if (builtins == nullptr ||
      PyObject_SetAttrString(module.get(), "__builtins__", builtins) < 0) {
    return false;
  }

  py::Object chr = py::LookupBuiltin("chr");
  if (!chr) return false;
  py::Object type_error = py::LookupBuiltin("TypeError");
  if (!type_error) return false;
  module_state.chr = chr.release();
  module_state.type_error = type_error.release();

  // The pickling guard is part of the type (__reduce__, __setstate__).
  PyTypeObject* state_type = DeviceMonitorStateType();
  if (PyType_Ready(state_type) < 0) return false;
  Py_INCREF(state_type);
  if (PyModule_AddObject(module.get(), "DeviceMonitorState",
                         reinterpret_cast<PyObject*>(state_type)) < 0) {
    return false;
  }

  module_state.raise_windows_error = host::BindRaiseWindowsError();
  if (module_state.raise_windows_error == nullptr) return false;

  return RunModuleBody(globals);
}

// The load; a failure always comes with an exception pending.
bool Load() {
  if (LoadModule()) return true;
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, kInitName);
  return false;
}

}  // namespace

ModuleState& Module() { return module_state; }

HINSTANCE LookupModuleInstance() {
  HMODULE instance = nullptr;
  // An address in the module's own code names the module: the window
  // procedure's, which the window class hands to Windows anyway.
  const auto code_address = reinterpret_cast<uintptr_t>(&WindowProcedure);
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                              GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCWSTR>(code_address), &instance)) {
    return nullptr;
  }
  return instance;
}

PyObject* RaiseLastWindowsError() {
  return host::CallRaiseWindowsError(module_state.raise_windows_error,
                                     kModuleName, nullptr);
}

PyObject* RaiseWindowsErrorWithMessage(DWORD error, const char* message) {
  py::Object text = py::String(message);
  if (!text) return nullptr;
  host::RaiseWindowsErrorOptionalArgs optional = {};
  optional.count = 2;
  optional.error_code = static_cast<int>(error);
  optional.message = text.get();
  return host::CallRaiseWindowsError(module_state.raise_windows_error,
                                     kModuleName, &optional);
}

}  // namespace plugwatch

PYAPI_MODULE_INIT(plugwatch) {
  py::GuardedLoad([] {
    py::Traced(plugwatch::Load(), plugwatch::kInitName,
               plugwatch::kTracebackSource);
  });
  return py::FinishModuleLoad();
}
