// Where C++ meets the interpreter: no C++ exception may cross into the
// interpreter's C frames or a Win32 callback, where it would end the
// process through std::terminate. Every entry point the interpreter calls
// is wrapped here, and an escaping exception becomes the pending
// interpreter exception: std::bad_alloc a MemoryError, anything else a
// SystemError naming it.
#pragma once

#include <Python.h>

#include <condition_variable>
#include <exception>
#include <mutex>
#include <new>

// glibc ends a thread (pthread_exit, as Python 3 ends one that wants the
// interpreter lock during finalization) by unwinding its stack with
// abi::__forced_unwind. A handler that catches everything must let it
// pass (PYAPI_PASS_FORCED_UNWIND before catch (...)); swallowed, or
// stopped by a noexcept frame, it ends the process.
//
// Where the unwinding would reach a scope that holds the interpreter lock,
// whose end releases a lock the ended thread no longer has, the thread is
// parked instead (PYAPI_PARK_ON_FORCED_UNWIND, inside that scope).
#if defined(__GLIBC__) && defined(__GLIBCXX__)
#include <cxxabi.h>
#define PYAPI_HAS_FORCED_UNWIND 1
#define PYAPI_PASS_FORCED_UNWIND \
  catch (abi::__forced_unwind&) { throw; }
#define PYAPI_PARK_ON_FORCED_UNWIND \
  catch (abi::__forced_unwind&) { ::py::ParkThread(); }
#else
#define PYAPI_HAS_FORCED_UNWIND 0
#define PYAPI_PASS_FORCED_UNWIND
#define PYAPI_PARK_ON_FORCED_UNWIND
#endif

namespace py {

// Where a thread that the interpreter has ended, or the exit gate has
// refused, waits for the process to end, never touching the interpreter
// again.
[[noreturn]] inline void ParkThread() {
  static std::mutex* const mutex = new std::mutex;
  static std::condition_variable* const never = new std::condition_variable;
  std::unique_lock<std::mutex> lock(*mutex);
  for (;;) never->wait(lock);
}

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
PyObject* Guarded(PyObject* self, PyObject* args) {
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
PyObject* Guarded(PyObject* self, PyObject* args, PyObject* kwargs) {
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
PyObject* Guarded(PyTypeObject* type, PyObject* args,
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
void GuardedLoad(Body body) {
  try {
    body();
  }
  PYAPI_PASS_FORCED_UNWIND
  catch (...) {
    RaiseForCurrentCxxException();
  }
}

}  // namespace py
