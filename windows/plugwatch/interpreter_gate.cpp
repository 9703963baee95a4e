#include "windows/plugwatch/interpreter_gate.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "pyapi/errors.h"
#include "pyapi/exception_barrier.h"
#include "pyapi/gil.h"
#include "pyapi/object.h"

namespace plugwatch {
namespace {

// How long the exit waits for threads inside the gate. A callback blocked
// for longer (on a queue the exiting thread no longer drains, say) is left
// as the interpreter leaves a blocked daemon thread of its own.
constexpr std::chrono::seconds kExitWaitBound{1};

// `usable` and `inside` change together under `mutex`: a thread reads
// `usable` and counts itself in one critical section, so it is either
// counted before the gate closes, and then waited for, or refused.
struct Gate {
  std::mutex mutex;
  std::condition_variable changed;
  bool usable = true;
  int inside = 0;
};

// Made at load and never destroyed: threads refused entry wait on it until
// the process ends, after static destructors may have run.
Gate& TheGate() {
  static Gate* const gate = new Gate;
  return *gate;
}

}  // namespace

bool ExitGate::Enter() {
  Gate& gate = TheGate();
  std::lock_guard<std::mutex> lock(gate.mutex);
  // Py_IsInitialized turns false once the exit functions have run: the
  // gate's last line when a host has dropped the hook that closes it.
  if (!gate.usable || !Py_IsInitialized()) return false;
  ++gate.inside;
  return true;
}

void ExitGate::Leave() {
  Gate& gate = TheGate();
  std::lock_guard<std::mutex> lock(gate.mutex);
  --gate.inside;
  gate.changed.notify_all();
}

void ExitGate::Refused() {
  Gate& gate = TheGate();
  std::unique_lock<std::mutex> lock(gate.mutex);
  for (;;) gate.changed.wait(lock);
}

namespace {

void CloseGate() {
  Gate& gate = TheGate();
  // Threads inside may be waiting for the lock this thread holds.
  py::GilReleased<> unlocked;
  std::unique_lock<std::mutex> lock(gate.mutex);
  gate.usable = false;
  gate.changed.wait_for(lock, kExitWaitBound, [&] { return gate.inside == 0; });
}

// Whether the interpreter itself is running the exit functions: it takes
// sys.exitfunc away just before it calls it. A host that calls it early
// leaves it in place, and the interpreter goes on.
bool InterpreterExiting() {
  if (PySys_GetObject(const_cast<char*>("exitfunc")) != nullptr) return false;
  // A lookup that failed for lack of memory cannot tell: the gate closes,
  // rather than stay open while the thread states are torn down.
  PyErr_Clear();
  return true;
}

// sys.exitfunc while the module is loaded: the one it replaced (`self`,
// None when there was none), then, at the interpreter's exit, the gate's
// closing. Every exit function, whenever it was registered, has run by
// then, while the thread states are still whole.
PyObject* RunExitFunctions(PyObject* replaced, PyObject* /*unused*/) {
  py::Object result = replaced == Py_None ? py::Object::None()
                                          : py::CallWith(py::Handle(replaced));
  {
    py::ExceptionStash pending;
    if (InterpreterExiting()) CloseGate();
  }
  return result.release();
}

PyMethodDef exit_functions_method = {"_RunExitFunctionsThenCloseGate",
                                     py::Guarded<RunExitFunctions>, METH_NOARGS,
                                     nullptr};

}  // namespace

bool CloseGateAtExit() {
  TheGate();
  PyObject* replaced = PySys_GetObject(const_cast<char*>("exitfunc"));
  if (replaced == nullptr && PyErr_Occurred()) return false;
  py::Object hook = py::Object::Steal(
      PyCFunction_NewEx(&exit_functions_method,
                        replaced != nullptr ? replaced : Py_None, nullptr));
  if (!hook) return false;
  return PySys_SetObject(const_cast<char*>("exitfunc"), hook.get()) == 0;
}

}  // namespace plugwatch
