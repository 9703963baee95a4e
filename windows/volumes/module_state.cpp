#include "windows/volumes/module_state.h"

#include "pyapi/names.h"

namespace volumes {

ModuleState& State() {
  static ModuleState* const state = new ModuleState;
  return *state;
}

PyObject* RaiseLastWindowsError() {
  return State().raise_windows_error(0, nullptr);
}

PyObject* RaiseWindowsError(DWORD error) {
  host::RaiseWindowsErrorOptionalArgs optional = {};
  optional.count = 1;
  optional.error_code = static_cast<int>(error);
  return State().raise_windows_error(0, &optional);
}

py::Object Global(const char* name) {
  return py::LookupGlobal(State().globals.get(), name);
}

}  // namespace volumes
