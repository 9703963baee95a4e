// Interpreter references with their ownership in the type.
//
// `Handle` is borrowed: it never touches the reference count. `Object` owns
// one reference and releases it in its destructor. Ownership is decided where
// the pointer is born: Object::Steal for a new reference, Object::Borrow for
// a borrowed one.
#pragma once

#include <Python.h>

#include <utility>

namespace py {

class Handle {
 public:
  Handle() = default;
  Handle(PyObject* ptr) : ptr_(ptr) {}  // NOLINT: borrowed views convert freely
  PyObject* get() const { return ptr_; }
  explicit operator bool() const { return ptr_ != nullptr; }

 private:
  PyObject* ptr_ = nullptr;
};

class Object {
 public:
  Object() = default;
  // Takes over a new reference (nullptr allowed, meaning "failed").
  static Object Steal(PyObject* ptr) { return Object(ptr); }
  // Takes a new reference to a borrowed pointer.
  static Object Borrow(PyObject* ptr) {
    Py_XINCREF(ptr);
    return Object(ptr);
  }
  static Object None() { return Borrow(Py_None); }

  Object(const Object& other) : ptr_(other.ptr_) { Py_XINCREF(ptr_); }
  Object(Object&& other) noexcept : ptr_(other.ptr_) { other.ptr_ = nullptr; }
  Object& operator=(Object other) noexcept {
    std::swap(ptr_, other.ptr_);
    return *this;
  }
  ~Object() { Py_XDECREF(ptr_); }

  PyObject* get() const { return ptr_; }
  operator Handle() const { return Handle(ptr_); }  // NOLINT
  explicit operator bool() const { return ptr_ != nullptr; }

  // Hands the reference on to the caller (a return value, a tuple slot).
  PyObject* release() {
    PyObject* ptr = ptr_;
    ptr_ = nullptr;
    return ptr;
  }
  void reset() { Object().swap(*this); }
  void swap(Object& other) noexcept { std::swap(ptr_, other.ptr_); }

 private:
  explicit Object(PyObject* ptr) : ptr_(ptr) {}
  PyObject* ptr_ = nullptr;
};

// A new tuple holding new references to `items`; null with an exception set
// when the interpreter cannot make it or an item is null.
template <typename... Items>
Object MakeTuple(const Items&... items) {
  PyObject* raw[] = {Handle(items).get()..., nullptr};
  const Py_ssize_t size = sizeof...(Items);
  for (Py_ssize_t i = 0; i < size; ++i) {
    if (raw[i] == nullptr) return Object();
  }
  Object tuple = Object::Steal(PyTuple_New(size));
  if (!tuple) return tuple;
  for (Py_ssize_t i = 0; i < size; ++i) {
    Py_INCREF(raw[i]);
    PyTuple_SET_ITEM(tuple.get(), i, raw[i]);
  }
  return tuple;
}

// What a call through PyObject_Call returns: a null result must come with
// an exception.
inline Object CallResult(PyObject* result) {
  if (result == nullptr && !PyErr_Occurred()) {
    PyErr_SetString(PyExc_SystemError,
                    "NULL result without error in PyObject_Call");
  }
  return Object::Steal(result);
}

// function(*arguments, **keywords) for an exact Python function: its code
// run on the arguments and the `keyword_count` keyword and value pairs of
// `keywords` with its globals, defaults and closure, which is all the
// function type's own call does with an argument tuple and a keyword dict.
// Calling it thus makes neither. Null with the exception pending on failure.
inline Object CallFunctionCode(PyObject* function, PyObject* const* arguments,
                               int count, PyObject** keywords = nullptr,
                               int keyword_count = 0) {
  PyObject* const defaults = PyFunction_GET_DEFAULTS(function);
  const bool has_defaults = defaults != nullptr && PyTuple_Check(defaults);
  if (Py_EnterRecursiveCall(" while calling a Python object")) return {};
  PyObject* const result = PyEval_EvalCodeEx(
      reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(function)),
      PyFunction_GET_GLOBALS(function), nullptr,
      const_cast<PyObject**>(arguments), count, keywords, keyword_count,
      has_defaults ? &PyTuple_GET_ITEM(defaults, 0) : nullptr,
      has_defaults ? static_cast<int>(PyTuple_GET_SIZE(defaults)) : 0,
      PyFunction_GET_CLOSURE(function));
  Py_LeaveRecursiveCall();
  return CallResult(result);
}

// Whether every one of `arguments` is there; a null one stands for a
// failure whose exception is pending.
inline bool AllPresent(PyObject* const* arguments, int count) {
  for (int i = 0; i < count; ++i) {
    if (arguments[i] == nullptr) return false;
  }
  return true;
}

// callable(*items); null with an exception set on failure.
template <typename... Items>
Object CallWith(Handle callable, const Items&... items) {
  if (Py_TYPE(callable.get()) == &PyFunction_Type) {
    PyObject* arguments[] = {Handle(items).get()..., nullptr};
    constexpr int kCount = sizeof...(Items);
    if (!AllPresent(arguments, kCount)) return {};
    return CallFunctionCode(callable.get(), arguments, kCount);
  }
  Object args = MakeTuple(items...);
  if (!args) return args;
  return Object::Steal(PyObject_Call(callable.get(), args.get(), nullptr));
}

inline Object GetAttr(Handle object, const char* name) {
  return Object::Steal(PyObject_GetAttrString(object.get(), name));
}

inline Object GetAttr(Handle object, Handle name) {
  return Object::Steal(PyObject_GetAttr(object.get(), name.get()));
}

// Whether attributes of the type's instances are found by the generic
// lookup alone, the type being ready: only its descriptors and the
// instance's dict can take part.
inline bool UsesGenericLookup(PyTypeObject* type) {
  return type->tp_getattro == PyObject_GenericGetAttr &&
         type->tp_dict != nullptr;
}

// object.<name> for an interned str `name`, reading the instance's dict
// directly when that is all the ordinary lookup would do: the type keeps
// the generic lookup, is ready and has no attribute of that name, so no
// descriptor can take part. `from_instance_dict`, when given, tells whether
// that read found it. Anything else, a missing attribute included, takes
// the ordinary lookup and its error.
inline Object GetInstanceAttr(PyObject* object, PyObject* name,
                              bool* from_instance_dict = nullptr) {
  if (from_instance_dict != nullptr) *from_instance_dict = false;
  PyTypeObject* const type = Py_TYPE(object);
  if (UsesGenericLookup(type) && _PyType_Lookup(type, name) == nullptr) {
    PyObject** const dict = _PyObject_GetDictPtr(object);
    PyObject* const value =
        dict != nullptr && *dict != nullptr ? PyDict_GetItem(*dict, name)
                                            : nullptr;
    if (value != nullptr) {
      if (from_instance_dict != nullptr) *from_instance_dict = true;
      return Object::Borrow(value);
    }
  }
  return Object::Steal(PyObject_GetAttr(object, name));
}

inline Object String(const char* text) {
  return Object::Steal(PyString_FromString(text));
}

}  // namespace py
