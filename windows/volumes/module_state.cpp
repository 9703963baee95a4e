#include "windows/volumes/module_state.h"

#include "pyapi/names.h"

namespace volumes {

ModuleState& State() {
  static ModuleState* const state = new ModuleState;
  return *state;
}

namespace {

// A load that stopped before binding RaiseWindowsError leaves the module's
// first functions callable through sys.modules; they must fail, not crash.
bool RaiseWindowsErrorIsBound() {
  if (State().raise_windows_error != nullptr) return true;
  PyErr_SetString(PyExc_SystemError,
                  "windows.volumes did not finish loading: RaiseWindowsError "
                  "is not bound");
  return false;
}

}  // namespace

PyObject* TypeErrorClass() {
  const py::Object& fetched = State().type_error;
  return fetched ? fetched.get() : PyExc_TypeError;
}

PyObject* MemoryErrorClass() {
  const py::Object& fetched = State().memory_error;
  return fetched ? fetched.get() : PyExc_MemoryError;
}

PyObject* RaiseLastWindowsError() {
  if (!RaiseWindowsErrorIsBound()) return nullptr;
  return State().raise_windows_error(0, nullptr);
}

PyObject* RaiseWindowsError(DWORD error) {
  if (!RaiseWindowsErrorIsBound()) return nullptr;
  host::RaiseWindowsErrorOptionalArgs optional = {};
  optional.count = 1;
  optional.error_code = static_cast<int>(error);
  return State().raise_windows_error(0, &optional);
}

py::Object Global(const char* name) {
  return py::LookupGlobal(State().globals.get(), name);
}

}  // namespace volumes
