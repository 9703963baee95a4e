#include "windows/volumes/module_state.h"

#include "pyapi/names.h"

namespace volumes {

ModuleState& State() {
  static ModuleState* const state = new ModuleState;
  return *state;
}

PyObject* TypeErrorClass() {
  const py::Object& fetched = State().type_error;
  return fetched ? fetched.get() : PyExc_TypeError;
}

PyObject* MemoryErrorClass() {
  const py::Object& fetched = State().memory_error;
  return fetched ? fetched.get() : PyExc_MemoryError;
}

PyObject* RaiseLastWindowsError() {
  return host::CallRaiseWindowsError(State().raise_windows_error, kModuleName,
                                     nullptr);
}

PyObject* RaiseWindowsError(DWORD error) {
  host::RaiseWindowsErrorOptionalArgs optional = {};
  optional.count = 1;
  optional.error_code = static_cast<int>(error);
  return host::CallRaiseWindowsError(State().raise_windows_error, kModuleName,
                                     &optional);
}

py::Object Global(const char* name) {
  return py::LookupGlobal(State().globals.get(), name);
}

}  // namespace volumes
