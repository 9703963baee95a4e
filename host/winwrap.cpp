#include "host/winwrap.h"

#include "pyapi/object.h"

namespace host {

RaiseWindowsErrorFunction BindRaiseWindowsError() {
  py::Object module_name = py::String(kWinwrapModuleName);
  if (!module_name) return nullptr;
  py::Object module = py::Object::Steal(PyImport_Import(module_name.get()));
  if (!module) return nullptr;
  py::Object table = py::GetAttr(module, kNativeEntryTableAttribute);
  if (!table) return nullptr;
  const char* imported_name = PyModule_GetName(module.get());
  if (imported_name == nullptr) return nullptr;
  py::Object entry_name = py::String(kRaiseWindowsErrorName);
  if (!entry_name) return nullptr;
  PyObject* entry = PyDict_Check(table.get())
                        ? PyDict_GetItem(table.get(), entry_name.get())
                        : nullptr;  // borrowed
  if (entry == nullptr) {
    PyErr_Format(PyExc_ImportError,
                 "%.200s does not export expected C function %.200s",
                 imported_name, kRaiseWindowsErrorName);
    return nullptr;
  }
  if (!PyCapsule_IsValid(entry, kRaiseWindowsErrorSignature)) {
    // Something that is not a capsule at all has no name to show; its type
    // name stands in rather than a null text.
    const char* got = PyCapsule_CheckExact(entry) ? PyCapsule_GetName(entry)
                                                  : Py_TYPE(entry)->tp_name;
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError,
                 "C function %.200s.%.200s has wrong signature (expected "
                 "%.500s, got %.500s)",
                 imported_name, kRaiseWindowsErrorName,
                 kRaiseWindowsErrorSignature, got != nullptr ? got : "NULL");
    return nullptr;
  }
  void* pointer = PyCapsule_GetPointer(entry, kRaiseWindowsErrorSignature);
  if (pointer == nullptr) return nullptr;
  return reinterpret_cast<RaiseWindowsErrorFunction>(pointer);
}

PyObject* CallRaiseWindowsError(RaiseWindowsErrorFunction bound,
                                const char* module_name,
                                RaiseWindowsErrorOptionalArgs* optional) {
  if (bound == nullptr) {
    PyErr_Format(PyExc_SystemError,
                 "%.200s did not finish loading: %s is not bound", module_name,
                 kRaiseWindowsErrorName);
    return nullptr;
  }
  const py::Object returned = py::Object::Steal(bound(0, optional));
  if (!PyErr_Occurred()) {
    PyErr_Format(PyExc_SystemError, "%s.%s returned without raising",
                 kWinwrapModuleName, kRaiseWindowsErrorName);
  }
  return nullptr;
}

}  // namespace host
