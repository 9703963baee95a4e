// Method calls into host code without the temporaries of the generic path.
//
// Calling a bound method makes the method object, an argument tuple, and a
// second tuple with the receiver in front, only for the function's code to
// copy the arguments into its frame. Where the attribute is a plain Python
// function or a built-in method found on the receiver's type, the call below
// does what binding and calling would do, without those objects; anything
// else takes the generic path and its errors.
#pragma once

#include <Python.h>

#include "pyapi/object.h"

namespace py {

// The type of built-in methods found on types (the interpreter does not
// export it), taken from str.lower.
inline PyTypeObject* MethodDescriptorType() {
  static PyTypeObject* const type =
      Py_TYPE(PyDict_GetItemString(PyString_Type.tp_dict, "lower"));
  return type;
}

// receiver.<name>, looked up now and called later. A plain Python function
// or a built-in method found on the receiver's type, with nothing of that
// name in the receiver's dict, is kept unbound with its receiver: that is
// what the generic lookup would bind. Anything else is kept as the ordinary
// lookup gives it. `name` is an interned str.
class Method {
 public:
  static Method Find(Handle receiver, PyObject* name) {
    Method method;
    PyObject* const object = receiver.get();
    PyTypeObject* const type = Py_TYPE(object);
    PyObject* const found =
        UsesGenericLookup(type) ? _PyType_Lookup(type, name) : nullptr;
    if (found != nullptr && (Py_TYPE(found) == &PyFunction_Type ||
                             Py_TYPE(found) == MethodDescriptorType())) {
      // Neither kind is a data descriptor: the receiver's own dict comes
      // first, as in the generic lookup.
      PyObject** const dict = _PyObject_GetDictPtr(object);
      PyObject* const own = dict != nullptr && *dict != nullptr
                                ? PyDict_GetItem(*dict, name)
                                : nullptr;
      if (own != nullptr) {
        method.callable_ = Object::Borrow(own);
      } else {
        method.callable_ = Object::Borrow(found);
        method.receiver_ = Object::Borrow(object);
      }
      return method;
    }
    method.callable_ = Object::Steal(PyObject_GetAttr(object, name));
    return method;
  }

  // False with the lookup's exception pending.
  explicit operator bool() const { return static_cast<bool>(callable_); }

  // The attribute called with `items`; null with an exception pending on
  // failure, an item's null included.
  template <typename... Items>
  Object operator()(const Items&... items) const {
    if (!receiver_) return CallWith(callable_, items...);
    PyObject* arguments[] = {receiver_.get(), Handle(items).get()...};
    constexpr int kCount = 1 + sizeof...(Items);
    if (!AllPresent(arguments, kCount)) return {};
    if (Py_TYPE(callable_.get()) == &PyFunction_Type) {
      return CallFunctionCode(callable_.get(), arguments, kCount);
    }
    if (const PyCFunction direct = DirectFunction(kCount - 1)) {
      if (Py_EnterRecursiveCall(" while calling a Python object")) return {};
      PyObject* const result =
          direct(arguments[0], kCount > 1 ? arguments[1] : nullptr);
      Py_LeaveRecursiveCall();
      return CallResult(result);
    }
    // Bound as the generic lookup binds it, for the built-in's own checks
    // and messages.
    Object bound = Object::Steal(Py_TYPE(callable_.get())->tp_descr_get(
        callable_.get(), receiver_.get(),
        reinterpret_cast<PyObject*>(Py_TYPE(receiver_.get()))));
    if (!bound) return bound;
    return CallWith(bound, items...);
  }

 private:
  // The C function behind a built-in method when calling it bound with
  // `count` arguments comes to ml_meth(receiver, NULL) for none or
  // ml_meth(receiver, argument) for one; null otherwise.
  PyCFunction DirectFunction(int count) const {
    if (Py_TYPE(callable_.get()) != MethodDescriptorType()) return nullptr;
    const auto* descriptor =
        reinterpret_cast<PyMethodDescrObject*>(callable_.get());
    if (!PyObject_TypeCheck(receiver_.get(), descriptor->d_type)) {
      return nullptr;
    }
    const int flags = descriptor->d_method->ml_flags &
                      ~(METH_CLASS | METH_STATIC | METH_COEXIST);
    const bool direct = (flags == METH_NOARGS && count == 0) ||
                        (flags == METH_O && count == 1);
    return direct ? descriptor->d_method->ml_meth : nullptr;
  }

  Object callable_;
  Object receiver_;  // set while callable_ is kept unbound
};

// receiver.<name>(*items), the attribute looked up first.
template <typename... Items>
Object CallMethodOf(Handle receiver, PyObject* name, const Items&... items) {
  const Method method = Method::Find(receiver, name);
  if (!method) return {};
  return method(items...);
}

}  // namespace py
