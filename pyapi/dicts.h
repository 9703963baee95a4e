// A dict's own `get` and `copy`, for a dict whose type is exactly dict.
// That type's methods cannot be replaced or shadowed, so calling them
// directly gives what looking them up and calling them gives, without the
// bound method and argument tuple of each call.
#pragma once

#include <Python.h>

#include "pyapi/object.h"

namespace py {

// dict.get(key, fallback): the key's hash and comparisons may raise, and
// then so does this, as the method does.
inline Object ExactDictGet(PyObject* dict, PyObject* key, PyObject* fallback) {
  long hash = -1;
  if (PyString_CheckExact(key)) {
    hash = reinterpret_cast<PyStringObject*>(key)->ob_shash;
  }
  if (hash == -1) {
    hash = PyObject_Hash(key);
    if (hash == -1) return Object();
  }
  PyDictObject* table = reinterpret_cast<PyDictObject*>(dict);
  PyDictEntry* entry = table->ma_lookup(table, key, hash);
  if (entry == nullptr) return Object();
  return Object::Borrow(entry->me_value != nullptr ? entry->me_value
                                                   : fallback);
}

// receiver.get(key, fallback), or receiver.get(key) when `fallback` is
// null, through the type's own method when the receiver is exactly a dict.
inline Object DictGet(Handle receiver, Handle get_name, PyObject* key,
                      PyObject* fallback = nullptr) {
  if (PyDict_CheckExact(receiver.get())) {
    return ExactDictGet(receiver.get(), key,
                        fallback != nullptr ? fallback : Py_None);
  }
  return Object::Steal(PyObject_CallMethodObjArgs(
      receiver.get(), get_name.get(), key, fallback, nullptr));
}

// not receiver: an exact dict is false exactly when it is empty. -1 with
// an exception set when the receiver's truth test fails.
inline int IsFalse(PyObject* receiver) {
  if (PyDict_CheckExact(receiver)) return PyDict_Size(receiver) == 0;
  return PyObject_Not(receiver);
}

// receiver.copy(), likewise.
inline Object DictCopy(Handle receiver, Handle copy_name) {
  if (PyDict_CheckExact(receiver.get())) {
    return Object::Steal(PyDict_Copy(receiver.get()));
  }
  return Object::Steal(
      PyObject_CallMethodObjArgs(receiver.get(), copy_name.get(), nullptr));
}

}  // namespace py
