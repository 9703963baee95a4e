// The interpreter lock as a scope.
#pragma once

#include <Python.h>

namespace py {

// Asks the thread that holds the interpreter lock to offer it at its next
// bytecode rather than after up to a check interval of them; the
// interpreter's own pending-call mechanism asks the same way, from any
// thread and without the lock. A thread that needs the lock to answer a
// waiting sender (a window procedure) waits less behind a busy one.
inline void AskForTheLock() { _Py_Ticker = 0; }

// Releases the lock held by this thread for the scope, around a blocking
// call that touches no interpreter object.
class GilReleased {
 public:
  GilReleased() : state_(PyEval_SaveThread()) {}
  ~GilReleased() {
    AskForTheLock();
    PyEval_RestoreThread(state_);
  }
  GilReleased(const GilReleased&) = delete;
  GilReleased& operator=(const GilReleased&) = delete;

 private:
  PyThreadState* state_;
};

// Takes the lock for the scope on a thread that may or may not hold it, as
// a window procedure called from a blocking Win32 call must.
class GilHeld {
 public:
  GilHeld() : state_((AskForTheLock(), PyGILState_Ensure())) {}
  ~GilHeld() { PyGILState_Release(state_); }
  GilHeld(const GilHeld&) = delete;
  GilHeld& operator=(const GilHeld&) = delete;

 private:
  PyGILState_STATE state_;
};

}  // namespace py
