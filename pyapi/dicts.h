// A dict's `get` and `copy`, called as the host's own code calls them.
#pragma once

#include <Python.h>

#include <cstddef>
#include <utility>

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

// The keyword dict that a call written out in Python with `keywords`, in
// this order, gives the callee: Python 2.7's interpreter fills it last
// keyword first, Python 3's in the call's order, and a callee that
// iterates it sees that order. Null with an exception pending on failure.
template <size_t kCount>
Object CallKeywords(const std::pair<Handle, Handle> (&keywords)[kCount]) {
  Object dict = Object::Steal(PyDict_New());
  if (!dict) return dict;
  for (size_t index = 0; index < kCount; ++index) {
#if PY_MAJOR_VERSION >= 3
    const auto& keyword = keywords[index];
#else
    const auto& keyword = keywords[kCount - 1 - index];
#endif
    if (PyDict_SetItem(dict.get(), keyword.first.get(),
                       keyword.second.get()) < 0) {
      return {};
    }
  }
  return dict;
}

}  // namespace py
