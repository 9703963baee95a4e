// A function run once when the interpreter itself exits, after the host's
// exit functions and before the thread states are torn down: the one
// moment at which a module can still wait for its native threads to leave
// the interpreter. Python 2.7 and Python 3 offer it through different
// routes, both public, and both kept here.
//
// Python 2.7: sys.exitfunc, which the interpreter takes away just before it
// calls it; chaining the function it replaces runs every exit function
// (atexit's included) first, whenever it was registered.
//
// Python 3: atexit, which calls its functions last registered first, so
// no function registered at load runs last. Once it has called them all,
// whenever they were registered, it lets go of them and what they hold:
// the hook runs then, from the destructor of a capsule that only the
// function registered at load holds. The interpreter stops threading's
// main thread before it runs the exit functions; a host that runs them
// itself (atexit._run_exitfuncs) or drops them (atexit._clear) leaves it
// running, and the hook does not run.
#pragma once

#include <Python.h>

#include "pyapi/errors.h"
#include "pyapi/exception_barrier.h"
#include "pyapi/object.h"

namespace py {

namespace exit_hook_detail {

using Hook = void (*)();

// Set once, by the module's load.
inline Hook& TheHook() {
  static Hook hook = nullptr;
  return hook;
}

inline bool InterpreterExiting();

// The hook, with any pending exception set aside, at the interpreter's exit
// only.
inline void RunHookIfExiting() {
  ExceptionStash pending;
  if (TheHook() != nullptr && InterpreterExiting()) TheHook()();
}

#if PY_MAJOR_VERSION >= 3
// Whether the interpreter is exiting: it has stopped threading's main
// thread. A failed lookup cannot tell, and counts as exiting, so that the
// hook runs rather than leave threads to a teardown.
inline bool InterpreterExiting() {
  Object threading = Object::Steal(PyImport_ImportModule("threading"));
  Object main = threading ? Object::Steal(PyObject_CallMethod(
                                threading.get(), "main_thread", nullptr))
                          : Object();
  Object alive =
      main ? Object::Steal(PyObject_CallMethod(main.get(), "is_alive", nullptr))
           : Object();
  const int is_alive = alive ? PyObject_IsTrue(alive.get()) : -1;
  PyErr_Clear();
  return is_alive != 1;
}

// The function registered with atexit, holding the capsule: calling it
// does nothing.
inline PyObject* RegisteredFunction(PyObject* /*capsule*/,
                                    PyObject* /*unused*/) {
  Py_RETURN_NONE;
}

// The capsule's destructor, which no caller can hear fail.
PYAPI_CATCHES_FORCED_UNWIND inline void RunHookOnRelease(
    PyObject* /*capsule*/) {
  try {
    RunHookIfExiting();
  }
  PYAPI_PASS_FORCED_UNWIND
  catch (...) {
    ExceptionStash pending;
    RaiseForCurrentCxxException();
    WriteUnraisable("the exit hook");
  }
}
#else
// Whether the interpreter itself is running the exit functions: it takes
// sys.exitfunc away just before it calls it. A host that calls it early
// leaves it in place, and the interpreter goes on.
inline bool InterpreterExiting() {
  if (PySys_GetObject(const_cast<char*>("exitfunc")) != nullptr) return false;
  // A lookup that failed for lack of memory cannot tell: the hook runs,
  // rather than leave threads to a teardown.
  PyErr_Clear();
  return true;
}

// sys.exitfunc while the module is loaded: the one it replaced (`replaced`,
// None when there was none), then, at the interpreter's exit, the hook.
inline PyObject* RegisteredFunction(PyObject* replaced, PyObject* /*unused*/) {
  Object result =
      replaced == Py_None ? Object::None() : CallWith(Handle(replaced));
  RunHookIfExiting();
  return result.release();
}
#endif

inline PyMethodDef& HookMethod() {
  static PyMethodDef method = {"_RunAtInterpreterExit",
                               Guarded<RegisteredFunction>, METH_NOARGS,
                               nullptr};
  return method;
}

}  // namespace exit_hook_detail

// Arranges for `hook` to run, with the interpreter lock held and no
// exception pending, when the interpreter exits. Call once, from the
// module's load. Returns false with an exception pending on failure.
inline bool CallAtInterpreterExit(void (*hook)()) {
  exit_hook_detail::TheHook() = hook;
  PyMethodDef* method = &exit_hook_detail::HookMethod();
#if PY_MAJOR_VERSION >= 3
  Object capsule =
      Object::Steal(PyCapsule_New(&exit_hook_detail::TheHook(), nullptr,
                                  exit_hook_detail::RunHookOnRelease));
  if (!capsule) return false;
  Object function =
      Object::Steal(PyCFunction_NewEx(method, capsule.get(), nullptr));
  if (!function) return false;
  Object atexit = Object::Steal(PyImport_ImportModule("atexit"));
  if (!atexit) return false;
  return static_cast<bool>(Object::Steal(
      PyObject_CallMethod(atexit.get(), "register", "O", function.get())));
#else
  PyObject* replaced = PySys_GetObject(const_cast<char*>("exitfunc"));
  if (replaced == nullptr && PyErr_Occurred()) return false;
  Object function = Object::Steal(PyCFunction_NewEx(
      method, replaced != nullptr ? replaced : Py_None, nullptr));
  if (!function) return false;
  return PySys_SetObject(const_cast<char*>("exitfunc"), function.get()) == 0;
#endif
}

}  // namespace py
