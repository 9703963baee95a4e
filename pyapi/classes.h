// Classes built at load time from native functions, as a `class` statement
// would build them.
//
// A built-in function stored in a class does not bind `self` in Python 2.7;
// wrapped as an unbound method it does. The native function then receives
// the instance as its first positional argument (its own `self` is null),
// so `self` can be given by position or by keyword like any parameter.
#pragma once

#include <Python.h>

#include "pyapi/object.h"

namespace py {

// The built-in function for `method`, with `module_name` as its module.
inline Object MethodFunction(PyMethodDef* method, Handle module_name) {
  return Object::Steal(PyCFunction_NewEx(method, nullptr, module_name.get()));
}

// Adds every entry of `methods` (ended by a null ml_name) to the class
// namespace `namespace_dict`, in order, as unbound methods not yet tied to
// a class. Returns false with an exception pending on failure.
inline bool AddMethods(PyObject* namespace_dict, PyMethodDef* methods,
                       Handle module_name) {
  for (PyMethodDef* method = methods; method->ml_name != nullptr; ++method) {
    Object function = MethodFunction(method, module_name);
    if (!function) return false;
    Object unbound =
        Object::Steal(PyMethod_New(function.get(), nullptr, nullptr));
    if (!unbound ||
        PyDict_SetItemString(namespace_dict, method->ml_name, unbound.get()) <
            0) {
      return false;
    }
  }
  return true;
}

// Ties the methods added by AddMethods to the class made from them, so that
// calling one through the class checks its first argument as Python does
// (an unbound method without a class cannot).
inline bool TieMethodsToClass(PyObject* cls, PyMethodDef* methods,
                              Handle module_name) {
  for (PyMethodDef* method = methods; method->ml_name != nullptr; ++method) {
    Object function = MethodFunction(method, module_name);
    if (!function) return false;
    Object unbound = Object::Steal(PyMethod_New(function.get(), nullptr, cls));
    if (!unbound ||
        PyObject_SetAttrString(cls, method->ml_name, unbound.get()) < 0) {
      return false;
    }
  }
  return true;
}

// metaclass(name, bases, namespace) with the metaclass a class statement
// would pick: the namespace's __metaclass__, else the type of the first
// base.
inline Object NewClass(const char* name, Handle bases, Handle namespace_dict) {
  Object metaclass_key = String("__metaclass__");
  if (!metaclass_key) return metaclass_key;
  PyObject* metaclass =
      PyDict_GetItem(namespace_dict.get(), metaclass_key.get());  // borrowed
  if (metaclass == nullptr) {
    metaclass = PyTuple_GET_SIZE(bases.get()) > 0
                    ? reinterpret_cast<PyObject*>(
                          Py_TYPE(PyTuple_GET_ITEM(bases.get(), 0)))
                    : reinterpret_cast<PyObject*>(&PyType_Type);
  }
  Object class_name = String(name);
  if (!class_name) return class_name;
  return CallWith(Handle(metaclass), class_name, bases, namespace_dict);
}

}  // namespace py
