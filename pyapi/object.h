// Interpreter references with their ownership in the type.
//
// `Handle` is borrowed: it never touches the reference count. `Object` owns
// one reference and releases it in its destructor. Ownership is decided where
// the pointer is born: Object::Steal for a new reference, Object::Borrow for
// a borrowed one.
#pragma once

#include <Python.h>

#include <utility>

#include "pyapi/forced_unwind.h"

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
  ~Object() {
    if (ptr_ != nullptr && CleanupMayTouchInterpreter()) Py_DECREF(ptr_);
  }

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

// callable(*items); null with an exception set on failure.
template <typename... Items>
Object CallWith(Handle callable, const Items&... items) {
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

// The native str of `text` (Python 2's 8-bit string, Python 3's unicode).
inline Object String(const char* text) {
#if PY_MAJOR_VERSION >= 3
  return Object::Steal(PyUnicode_FromString(text));
#else
  return Object::Steal(PyString_FromString(text));
#endif
}

}  // namespace py
