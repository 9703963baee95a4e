// The gate through which the module's native threads enter the interpreter:
// the window procedure, and the pump taking the interpreter lock back after
// a blocking Win32 call. It closes for good when the interpreter exits,
// after every exit function and before the thread states are torn down,
// so that no thread of this module takes the lock while, or after, they
// are.
#pragma once

#include <Python.h>

namespace plugwatch {

// Makes sys.exitfunc run the exit functions it ran before and then, at the
// interpreter's exit, close the gate and wait, with the interpreter lock
// released and for at most a second, for the threads inside. Returns false
// with an exception pending on failure.
bool CloseGateAtExit();

// The interpreter lock taken for the scope by a thread that may not hold
// it, as a window procedure must take it; nothing is taken, and the scope
// tests false, once the interpreter has begun to exit.
class InterpreterVisit {
 public:
  InterpreterVisit();
  ~InterpreterVisit();
  InterpreterVisit(const InterpreterVisit&) = delete;
  InterpreterVisit& operator=(const InterpreterVisit&) = delete;
  explicit operator bool() const { return entered_; }

 private:
  bool entered_;
  PyGILState_STATE state_ = PyGILState_UNLOCKED;
};

// The interpreter lock released for the scope, around a blocking call. At
// the end the lock is taken back, unless the interpreter has begun to
// exit: the thread then waits for the process to end, never touching the
// interpreter again.
class LockReleased {
 public:
  LockReleased() : state_(PyEval_SaveThread()) {}
  ~LockReleased();
  LockReleased(const LockReleased&) = delete;
  LockReleased& operator=(const LockReleased&) = delete;

 private:
  PyThreadState* state_;
};

}  // namespace plugwatch
