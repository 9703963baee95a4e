#include "windows/plugwatch/interpreter_gate.h"

#include <condition_variable>
#include <mutex>

#include "pyapi/exception_barrier.h"
#include "pyapi/gil.h"
#include "pyapi/object.h"

namespace plugwatch {
namespace {

// `usable` and `inside` change together under `mutex`: a thread reads
// `usable` and counts itself in one critical section, so it is either
// counted before the gate closes, and then waited for, or refused.
struct Gate {
  std::mutex mutex;
  std::condition_variable changed;
  bool usable = true;
  int inside = 0;
};

// Never destroyed: threads refused entry wait on it until the process
// ends, after static destructors may have run.
Gate& TheGate() {
  static Gate* const gate = new Gate;
  return *gate;
}

// How many of the threads inside the gate are this one: the exit hook may
// run inside a visit of its own thread (a callback that runs the exit
// functions), and must not wait for itself.
thread_local int visits_of_this_thread = 0;

bool Enter() {
  Gate& gate = TheGate();
  std::lock_guard<std::mutex> lock(gate.mutex);
  if (!gate.usable) return false;
  ++gate.inside;
  ++visits_of_this_thread;
  return true;
}

void Leave() {
  Gate& gate = TheGate();
  std::lock_guard<std::mutex> lock(gate.mutex);
  --gate.inside;
  --visits_of_this_thread;
  gate.changed.notify_all();
}

[[noreturn]] void WaitForProcessEnd() {
  Gate& gate = TheGate();
  std::unique_lock<std::mutex> lock(gate.mutex);
  for (;;) gate.changed.wait(lock);
}

PyObject* CloseGate(PyObject* /*module*/, PyObject* /*unused*/) {
  const int own_visits = visits_of_this_thread;
  Gate& gate = TheGate();
  // Threads inside may be waiting for the lock this thread holds.
  py::GilReleased unlocked;
  std::unique_lock<std::mutex> lock(gate.mutex);
  gate.usable = false;
  gate.changed.wait(lock, [&] { return gate.inside == own_visits; });
  Py_RETURN_NONE;
}

PyMethodDef close_gate_method = {"_CloseInterpreterGate",
                                 py::Guarded<CloseGate>, METH_NOARGS, nullptr};

}  // namespace

bool CloseGateAtExit() {
  py::Object atexit = py::Object::Steal(PyImport_ImportModule("atexit"));
  if (!atexit) return false;
  py::Object register_function = py::GetAttr(atexit, "register");
  if (!register_function) return false;
  py::Object hook = py::Object::Steal(
      PyCFunction_NewEx(&close_gate_method, nullptr, nullptr));
  if (!hook) return false;
  return static_cast<bool>(py::CallWith(register_function, hook));
}

InterpreterVisit::InterpreterVisit() : entered_(Enter()) {
  if (entered_) state_ = PyGILState_Ensure();
}

InterpreterVisit::~InterpreterVisit() {
  if (!entered_) return;
  PyGILState_Release(state_);
  Leave();
}

LockReleased::~LockReleased() {
  if (!Enter()) WaitForProcessEnd();
  PyEval_RestoreThread(state_);
  // From here the thread holds the lock like any interpreter thread; the
  // exit hook waits only for threads on their way to it.
  Leave();
}

}  // namespace plugwatch
