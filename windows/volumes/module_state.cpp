#include "windows/volumes/module_state.h"

#include <unordered_map>

#include "pyapi/names.h"
#include "pyapi/version.h"

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

py::Object Global(py::Handle name) {
  return py::LookupGlobal(State().globals.get(), name);
}

py::Object LogFormat(const char* format) {
  // Kept for the life of the process, like the module state.
  static auto* const formats = new std::unordered_map<const char*, py::Object>;
  const auto found = formats->find(format);
  if (found != formats->end()) return found->second;
  py::Object text = py::InternedStr(format);
  if (text) formats->emplace(format, text);
  return text;
}

}  // namespace volumes
