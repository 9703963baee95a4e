// Where C++ meets the interpreter: no C++ exception may cross into the
// interpreter's C frames or a Win32 callback, where it would end the
// process through std::terminate. Every entry point the interpreter calls
// is wrapped here, and an escaping exception becomes the pending
// interpreter exception: std::bad_alloc a MemoryError, anything else a
// SystemError naming it.
#pragma once

#include <Python.h>

#include <exception>
#include <new>

#include "pyapi/forced_unwind.h"

namespace py {

// Sets the interpreter exception for the C++ exception being handled.
// Call only inside a catch block. Always returns nullptr.
inline PyObject* RaiseForCurrentCxxException() {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_Format(PyExc_SystemError, "unexpected C++ exception: %.400s",
                 error.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
  }
  return nullptr;
}

// `Function` as the interpreter may call it: a built-in function or method
// of METH_NOARGS, METH_O or METH_VARARGS kind ...
template <PyObject* (*Function)(PyObject*, PyObject*)>
PYAPI_CATCHES_FORCED_UNWIND PyObject* Guarded(PyObject* self, PyObject* args) {
  try {
    return Function(self, args);
  }
  PYAPI_PASS_FORCED_UNWIND
  catch (...) {
    return RaiseForCurrentCxxException();
  }
}

// ... of METH_KEYWORDS kind, or a type's tp_new or tp_call ...
template <PyObject* (*Function)(PyObject*, PyObject*, PyObject*)>
PYAPI_CATCHES_FORCED_UNWIND PyObject* Guarded(PyObject* self, PyObject* args,
                                              PyObject* kwargs) {
  try {
    return Function(self, args, kwargs);
  }
  PYAPI_PASS_FORCED_UNWIND
  catch (...) {
    return RaiseForCurrentCxxException();
  }
}

// ... or a tp_new slot.
template <PyObject* (*Function)(PyTypeObject*, PyObject*, PyObject*)>
PYAPI_CATCHES_FORCED_UNWIND PyObject* Guarded(PyTypeObject* type,
                                              PyObject* args,
                                              PyObject* kwargs) {
  try {
    return Function(type, args, kwargs);
  }
  PYAPI_PASS_FORCED_UNWIND
  catch (...) {
    return RaiseForCurrentCxxException();
  }
}

// Runs `body` (a module's load, which reports failure with an exception
// pending) so that a C++ exception becomes the pending exception instead.
template <typename Body>
PYAPI_CATCHES_FORCED_UNWIND void GuardedLoad(Body body) {
  try {
    body();
  }
  PYAPI_PASS_FORCED_UNWIND
  catch (...) {
    RaiseForCurrentCxxException();
  }
}

}  // namespace py
