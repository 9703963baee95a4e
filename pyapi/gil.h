// The interpreter lock as a scope.
#pragma once

#include <Python.h>

namespace py {

// Releases the lock held by this thread for the scope, around a blocking
// call that touches no interpreter object.
class GilReleased {
 public:
  GilReleased() : state_(PyEval_SaveThread()) {}
  ~GilReleased() { PyEval_RestoreThread(state_); }
  GilReleased(const GilReleased&) = delete;
  GilReleased& operator=(const GilReleased&) = delete;

 private:
  PyThreadState* state_;
};

// Takes the lock for the scope on a thread that may or may not hold it, as
// a window procedure called from a blocking Win32 call must.
class GilHeld {
 public:
  GilHeld() : state_(PyGILState_Ensure()) {}
  ~GilHeld() { PyGILState_Release(state_); }
  GilHeld(const GilHeld&) = delete;
  GilHeld& operator=(const GilHeld&) = delete;

 private:
  PyGILState_STATE state_;
};

}  // namespace py
