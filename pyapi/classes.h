// Classes built at load time from native functions, as a `class` statement
// would build them.
//
// A built-in function stored in a class does not bind `self`; wrapped as an
// unbound method (Python 2.7) or an instance method (Python 3) it does. The native function then receives
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
#if PY_MAJOR_VERSION >= 3
    Object unbound = Object::Steal(PyInstanceMethod_New(function.get()));
#else
    Object unbound =
        Object::Steal(PyMethod_New(function.get(), nullptr, nullptr));
#endif
    if (!unbound ||
        PyDict_SetItemString(namespace_dict, method->ml_name, unbound.get()) <
            0) {
      return false;
    }
  }
  return true;
}

// Ties the methods added by AddMethods to the class made from them, so that
// calling one through the class checks its first argument as Python 2.7
// does (an unbound method without a class cannot). Python 3 has no unbound
// methods: a function read through its class is the function itself.
inline bool TieMethodsToClass(PyObject* cls, PyMethodDef* methods,
                              Handle module_name) {
#if PY_MAJOR_VERSION >= 3
  static_cast<void>(cls);
  static_cast<void>(methods);
  static_cast<void>(module_name);
  return true;
#else
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
#endif
}

// metaclass(name, bases, namespace) with the metaclass a class statement
// would pick: on Python 2.7 the namespace's __metaclass__, else (and on
// Python 3) the type of the first base.
inline Object NewClass(const char* name, Handle bases, Handle namespace_dict) {
#if PY_MAJOR_VERSION >= 3
  PyObject* metaclass = nullptr;
  static_cast<void>(namespace_dict);
#else
  Object metaclass_key = String("__metaclass__");
  if (!metaclass_key) return metaclass_key;
  PyObject* metaclass =
      PyDict_GetItem(namespace_dict.get(), metaclass_key.get());  // borrowed
#endif
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
