// The interpreter lock as a scope, optionally behind a gate that decides
// whether a thread may take the lock at all.
#pragma once

#include <Python.h>

#include <cstdlib>

#include "pyapi/exception_barrier.h"

namespace py {

namespace gil_detail {

// Takes the lock with `take`. Python 3 ends a thread that waits for the
// lock once finalization has begun, and glibc ends it by unwinding its
// stack (abi::__forced_unwind): every caller's destructor would then run
// without the lock, and a noexcept frame on the way would end the process.
// Such a thread is parked instead, as the gate parks a thread it refuses;
// Python 3.14 does the same for its own threads.
template <typename Gate, typename Take>
PYAPI_CATCHES_FORCED_UNWIND void TakeLock(Take take) {
#if PYAPI_HAS_FORCED_UNWIND
  try {
    take();
  } catch (abi::__forced_unwind&) {
    Gate::Leave();
    ParkThread();
  }
#else
  take();
#endif
}

}  // namespace gil_detail

// A gate every thread may pass: the plain lock scopes.
struct OpenGate {
  static bool Enter() { return true; }
  static void Leave() {}
  [[noreturn]] static void Refused() { std::abort(); }  // never refuses
};

// Releases the lock held by this thread for the scope, around a blocking
// call that touches no interpreter object. The lock is taken back only
// through `Gate`; a thread the gate refuses never takes it again
// (Gate::Refused does not return).
template <typename Gate = OpenGate>
class GilReleased {
 public:
  GilReleased() : state_(PyEval_SaveThread()) {}
  ~GilReleased() {
    if (!Gate::Enter()) Gate::Refused();
    gil_detail::TakeLock<Gate>([this] { PyEval_RestoreThread(state_); });
    // From here the thread holds the lock like any interpreter thread.
    Gate::Leave();
  }
  GilReleased(const GilReleased&) = delete;
  GilReleased& operator=(const GilReleased&) = delete;

 private:
  PyThreadState* state_;
};

// Takes the lock for the scope on a thread that may or may not hold it, as
// a window procedure called from a blocking Win32 call must. Where `Gate`
// refuses the thread, nothing is taken and the scope tests false.
template <typename Gate = OpenGate>
class GilHeld {
 public:
  GilHeld() : entered_(Gate::Enter()) {
    if (entered_) {
      gil_detail::TakeLock<Gate>([this] { state_ = PyGILState_Ensure(); });
    }
  }
  ~GilHeld() {
    if (!entered_) return;
    if (CleanupMayTouchInterpreter()) PyGILState_Release(state_);
    Gate::Leave();
  }
  GilHeld(const GilHeld&) = delete;
  GilHeld& operator=(const GilHeld&) = delete;

  explicit operator bool() const { return entered_; }

 private:
  bool entered_;
  PyGILState_STATE state_ = PyGILState_UNLOCKED;
};

}  // namespace py
