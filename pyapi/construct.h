// cls(**keywords) into host classes without the generic path's temporaries.
//
// Calling a class whose __init__ is a plain Python function binds a method
// object, makes a tuple with the new instance in front of the arguments and
// another holding every keyword and value, only for the function's code to
// copy them into its frame. Where the class is an ordinary one, the call
// below does what the class's call would do, step by step, without those
// objects; anything else takes the generic call and its errors.
#pragma once

#include <Python.h>

#include "pyapi/object.h"

namespace py {

// The type slot that runs a class's own __init__ (the interpreter does not
// export it), taken from a class defining one, made at the first call; if
// that fails, null for good and every class takes the generic call.
inline initproc OwnInitSlot() {
  static const initproc slot = [] {
    Object bases =
        MakeTuple(Handle(reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    Object namespace_dict = Object::Steal(PyDict_New());
    Object probe;
    if (bases && namespace_dict &&
        PyDict_SetItemString(namespace_dict.get(), "__init__", Py_None) == 0) {
      probe = CallWith(Handle(reinterpret_cast<PyObject*>(&PyType_Type)),
                       String("probe"), bases, namespace_dict);
    }
    initproc found = nullptr;
    if (probe) {
      found = reinterpret_cast<PyTypeObject*>(probe.get())->tp_init;
    } else {
      PyErr_Clear();
    }
    return found;
  }();
  return slot;
}

// __init__ of `instance`'s type when it is a plain Python function run by
// the type's own-__init__ slot, borrowed; null otherwise.
inline PyObject* PlainInit(PyObject* instance, PyObject* init_name) {
  PyTypeObject* const type = Py_TYPE(instance);
  if (!PyType_HasFeature(type, Py_TPFLAGS_HAVE_CLASS) ||
      type->tp_init == nullptr || type->tp_init != OwnInitSlot()) {
    return nullptr;
  }
  PyObject* const init = _PyType_Lookup(type, init_name);
  return init != nullptr && Py_TYPE(init) == &PyFunction_Type ? init : nullptr;
}

// The keywords and values of a dict, in its iteration order, each held for
// as long as the call that is passed them, as the interpreter holds them.
class KeywordPairs {
 public:
  static constexpr Py_ssize_t kMaxKeywords = 16;

  // False when the exact dict `keywords` has more keys than are kept here.
  bool Take(PyObject* keywords) {
    if (PyDict_Size(keywords) > kMaxKeywords) return false;
    // The order of PyDict_Next: the table's filled slots, first to last.
    const auto* const dict = reinterpret_cast<PyDictObject*>(keywords);
    for (Py_ssize_t slot = 0; slot <= dict->ma_mask; ++slot) {
      const PyDictEntry& entry = dict->ma_table[slot];
      if (entry.me_value == nullptr) continue;
      pairs_[2 * count_] = entry.me_key;
      pairs_[2 * count_ + 1] = entry.me_value;
      Py_INCREF(entry.me_key);
      Py_INCREF(entry.me_value);
      ++count_;
    }
    return true;
  }
  ~KeywordPairs() {
    for (int i = 0; i < 2 * count_; ++i) Py_DECREF(pairs_[i]);
  }
  KeywordPairs() = default;
  KeywordPairs(const KeywordPairs&) = delete;
  KeywordPairs& operator=(const KeywordPairs&) = delete;

  PyObject** pairs() { return pairs_; }
  int count() const { return count_; }

 private:
  PyObject* pairs_[2 * kMaxKeywords];
  int count_ = 0;
};

// Runs the plain Python `init` on `instance` with the `keywords`: what
// binding it and calling the method with no positional argument does.
// False with the exception pending.
inline bool RunPlainInit(PyObject* init, PyObject* instance,
                         KeywordPairs* keywords) {
  PyObject* arguments[] = {instance};
  Object result = CallFunctionCode(init, arguments, 1, keywords->pairs(),
                                   keywords->count());
  if (!result) return false;
  if (result.get() != Py_None) {
    PyErr_Format(PyExc_TypeError, "__init__() should return None, not '%.200s'",
                 Py_TYPE(result.get())->tp_name);
    return false;
  }
  return true;
}

// cls(**keywords) for a dict `keywords`; `init_name` is the interned str
// "__init__". A class made by the ordinary metaclass is called as its call
// does: its __new__, then, for an instance of it, its __init__; a plain
// Python __init__ is run directly when `keywords` is an exact dict of a
// handful of keys. Null with the exception pending on failure.
inline Object ConstructWithKeywords(PyObject* cls, PyObject* keywords,
                                    PyObject* init_name) {
  Object no_positionals = Object::Steal(PyTuple_New(0));
  if (!no_positionals) return {};
  PyTypeObject* const type = reinterpret_cast<PyTypeObject*>(cls);
  if (Py_TYPE(cls) != &PyType_Type ||
      cls == reinterpret_cast<PyObject*>(&PyType_Type) ||
      type->tp_new == nullptr || !PyDict_CheckExact(keywords)) {
    return Object::Steal(PyObject_Call(cls, no_positionals.get(), keywords));
  }
  if (Py_EnterRecursiveCall(" while calling a Python object")) return {};
  Object instance =
      Object::Steal(type->tp_new(type, no_positionals.get(), keywords));
  if (instance && PyType_IsSubtype(Py_TYPE(instance.get()), type)) {
    PyTypeObject* const made = Py_TYPE(instance.get());
    PyObject* const init = PlainInit(instance.get(), init_name);
    KeywordPairs pairs;
    if (init != nullptr && pairs.Take(keywords)) {
      if (!RunPlainInit(init, instance.get(), &pairs)) instance = Object();
    } else if (PyType_HasFeature(made, Py_TPFLAGS_HAVE_CLASS) &&
               made->tp_init != nullptr &&
               made->tp_init(instance.get(), no_positionals.get(), keywords) <
                   0) {
      instance = Object();
    }
  }
  Py_LeaveRecursiveCall();
  return CallResult(instance.release());
}

}  // namespace py
