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

// Whether PyDict_Copy of `source` would put every entry in the slot it
// holds in `source`: the copy starts with the small table and keeps it
// (at most five entries), `source` has no deleted slots and each entry sits
// in its home slot. Inserted in table order, each key then finds its home
// slot empty, and no key is ever compared with another.
inline bool CopiesSlotForSlot(const PyDictObject* source) {
  const Py_ssize_t mask = PyDict_MINSIZE - 1;
  if (source->ma_table != source->ma_smalltable || source->ma_mask != mask ||
      source->ma_fill != source->ma_used ||
      source->ma_used * 3 >= PyDict_MINSIZE * 2) {
    return false;
  }
  for (Py_ssize_t slot = 0; slot <= mask; ++slot) {
    const PyDictEntry& entry = source->ma_table[slot];
    if (entry.me_value != nullptr &&
        static_cast<Py_ssize_t>(static_cast<size_t>(entry.me_hash) &
                                static_cast<size_t>(mask)) != slot) {
      return false;
    }
  }
  return true;
}

// dict.copy() of an exact dict. A small dict laid out as its copy would be
// is copied slot for slot: the same table, the same lookup function (the
// general one once any key is not exactly a str) and the same collector
// tracking (once any key or value may be tracked) as inserting each entry
// gives. Anything else takes PyDict_Copy.
inline Object ExactDictCopy(PyObject* dict) {
  const PyDictObject* const source = reinterpret_cast<PyDictObject*>(dict);
  if (!CopiesSlotForSlot(source)) return Object::Steal(PyDict_Copy(dict));
  Object copy = Object::Steal(PyDict_New());
  if (!copy) return copy;
  PyDictObject* const target = reinterpret_cast<PyDictObject*>(copy.get());
  bool only_strings = true;
  bool trackable = false;
  for (Py_ssize_t slot = 0; slot <= source->ma_mask; ++slot) {
    const PyDictEntry& entry = source->ma_table[slot];
    if (entry.me_value == nullptr) continue;
    Py_INCREF(entry.me_key);
    Py_INCREF(entry.me_value);
    target->ma_table[slot] = entry;
    only_strings = only_strings && PyString_CheckExact(entry.me_key);
    trackable = trackable || _PyObject_GC_MAY_BE_TRACKED(entry.me_key) ||
                _PyObject_GC_MAY_BE_TRACKED(entry.me_value);
  }
  target->ma_fill = target->ma_used = source->ma_used;
  // A key that is not exactly a str has switched `source` to the general
  // lookup for good, as it would switch the copy.
  if (!only_strings) target->ma_lookup = source->ma_lookup;
  // A new dict is not tracked yet.
  if (trackable) PyObject_GC_Track(copy.get());
  return copy;
}

// receiver.copy(), likewise.
inline Object DictCopy(Handle receiver, Handle copy_name) {
  if (PyDict_CheckExact(receiver.get())) return ExactDictCopy(receiver.get());
  return Object::Steal(
      PyObject_CallMethodObjArgs(receiver.get(), copy_name.get(), nullptr));
}

}  // namespace py
