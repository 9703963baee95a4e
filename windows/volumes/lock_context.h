// A host lock used as a `with` statement uses a context manager.
#pragma once

#include <Python.h>

#include "pyapi/handled_exception.h"
#include "pyapi/object.h"
#include "windows/volumes/module_state.h"

namespace volumes {

// Runs `body` (returning a py::Object, null with an exception pending on
// failure) inside `manager`: __exit__ is looked up before __enter__, and is
// called with three Nones after a result, or with the exception's type,
// value and traceback after a failure, in which case a true answer drops
// the exception and the result is None.
template <typename Body>
py::Object WithContext(py::Handle manager, Body body) {
  py::Object exit = py::GetAttr(manager, names::exit);
  if (!exit) return {};
  py::Object enter = py::GetAttr(manager, names::enter);
  if (!enter || !py::CallWith(enter)) return {};
  py::Object result = body();
  if (result) {
    py::Object none = py::Object::None();
    if (!py::CallWith(exit, none, none, none)) return {};
    return result;
  }
  py::HandledException caught;
  py::Object handled =
      py::CallWith(exit, caught.type(), caught.value(), caught.traceback());
  if (!handled) return {};
  const int drop = PyObject_IsTrue(handled.get());
  if (drop < 0) return {};
  if (drop) return py::Object::None();
  caught.Reraise();
  return {};
}

}  // namespace volumes
