// An exception being handled, as inside a Python `except` clause.
#pragma once

#include <Python.h>

#include "pyapi/object.h"

namespace py {

// Takes the pending exception off the error indicator, normalised, and makes
// it what sys.exc_info() reports for the scope, so that a logger's
// exception() call or a context manager's __exit__ sees it with its
// traceback. At the end of the scope the previous sys.exc_info() comes back
// and the exception is dropped, unless Reraise() made it pending again.
class HandledException {
 public:
  HandledException() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    type_ = Object::Steal(type);
    value_ = Object::Steal(value);
    traceback_ = Object::Steal(traceback);
#if PY_MAJOR_VERSION >= 3
    // Python 3.11 keeps only the value of a handled exception, and so reads
    // its traceback from the value, where an `except` clause would have put
    // it; 3.12 has put it there already.
    if (value_ && traceback_ &&
        PyException_SetTraceback(value_.get(), traceback_.get()) < 0) {
      PyErr_Clear();  // not a traceback: the value keeps its own
    }
    // PyErr_GetExcInfo and PyErr_SetExcInfo (3.3) do what Python 2.7 can do
    // only through the thread state.
    PyErr_GetExcInfo(&type, &value, &traceback);
    saved_type_ = Object::Steal(type);
    saved_value_ = Object::Steal(value);
    saved_traceback_ = Object::Steal(traceback);
    PyErr_SetExcInfo(Object(type_).release(), Object(value_).release(),
                     Object(traceback_).release());
#else
    PyThreadState* thread = PyThreadState_GET();
    saved_type_ = Object::Steal(thread->exc_type);
    saved_value_ = Object::Steal(thread->exc_value);
    saved_traceback_ = Object::Steal(thread->exc_traceback);
    thread->exc_type = Object(type_).release();
    thread->exc_value = Object(value_).release();
    thread->exc_traceback = Object(traceback_).release();
#endif
  }

  ~HandledException() {
    if (!CleanupMayTouchInterpreter()) return;
#if PY_MAJOR_VERSION >= 3
    // What the interpreter held for this scope is released by the call.
    PyErr_SetExcInfo(saved_type_.release(), saved_value_.release(),
                     saved_traceback_.release());
#else
    PyThreadState* thread = PyThreadState_GET();
    // What the thread state held for this scope is released when these go.
    Object handled_type = Object::Steal(thread->exc_type);
    Object handled_value = Object::Steal(thread->exc_value);
    Object handled_traceback = Object::Steal(thread->exc_traceback);
    thread->exc_type = saved_type_.release();
    thread->exc_value = saved_value_.release();
    thread->exc_traceback = saved_traceback_.release();
#endif
  }

  HandledException(const HandledException&) = delete;
  HandledException& operator=(const HandledException&) = delete;

  // Whether the exception is an instance of `exception_class` (a class or a
  // tuple of classes), as an `except` clause tests it.
  bool Matches(Handle exception_class) const {
    return type_ &&
           PyErr_GivenExceptionMatches(type_.get(), exception_class.get());
  }

  // The three values an `__exit__` method receives; None where missing.
  Object type() const { return OrNone(type_); }
  Object value() const { return OrNone(value_); }
  Object traceback() const { return OrNone(traceback_); }

  // Makes the exception pending again, unchanged.
  void Reraise() {
    PyErr_Restore(type_.release(), value_.release(), traceback_.release());
  }

 private:
  static Object OrNone(const Object& object) {
    return object ? object : Object::None();
  }

  Object type_, value_, traceback_;
  Object saved_type_, saved_value_, saved_traceback_;
};

}  // namespace py
