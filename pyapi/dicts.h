// A dict's `get` and `copy`, called as the host's own code calls them.
#pragma once

#include <Python.h>

#include "pyapi/object.h"

namespace py {

// receiver.get(key, fallback), or receiver.get(key) when `fallback` is
// null. A key's hash and comparisons may run host code and raise, and then
// so does this. An exact dict is asked through its own calls: a missing key
// takes one lookup, a present one two, where its `get` takes one.
inline Object DictGet(Handle receiver, Handle get_name, PyObject* key,
                      PyObject* fallback = nullptr) {
  if (!PyDict_CheckExact(receiver.get())) {
    return Object::Steal(PyObject_CallMethodObjArgs(
        receiver.get(), get_name.get(), key, fallback, nullptr));
  }
  const int present = PyDict_Contains(receiver.get(), key);
  if (present < 0) return {};
  if (present == 0) return Object::Borrow(fallback ? fallback : Py_None);
  return Object::Steal(PyObject_GetItem(receiver.get(), key));
}

// receiver.copy(); an exact dict's method is PyDict_Copy.
inline Object DictCopy(Handle receiver, Handle copy_name) {
  if (PyDict_CheckExact(receiver.get())) {
    return Object::Steal(PyDict_Copy(receiver.get()));
  }
  return Object::Steal(
      PyObject_CallMethodObjArgs(receiver.get(), copy_name.get(), nullptr));
}

}  // namespace py
