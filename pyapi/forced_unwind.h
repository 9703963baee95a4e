// A thread that Python 3 ends during finalization. The interpreter ends a
// thread that wants its lock once finalization has begun (pthread_exit),
// and glibc ends it by unwinding its stack with abi::__forced_unwind: the
// destructors of every C++ frame on the way run, on a thread that no
// longer holds the lock, while the finalizing thread tears the interpreter
// down.
//
// - A handler that catches everything must let it pass
//   (PYAPI_PASS_FORCED_UNWIND before catch (...)); swallowed, or stopped by
//   a noexcept frame, it ends the process.
// - Where the unwinding would go on into frames that must not unwind (the
//   system's, above a window procedure), the thread is parked instead
//   (PYAPI_PARK_ON_FORCED_UNWIND).
// - A destructor on the way, in a frame between the interpreter call that
//   ended the thread and that scope, leaves the interpreter alone
//   (CleanupMayTouchInterpreter): what the ended thread held stays held, as
//   the interpreter leaves what its own ended threads' frames hold.
#pragma once

#include <Python.h>

#include <condition_variable>
#include <mutex>

#if defined(__GLIBC__) && defined(__GLIBCXX__)
#include <cxxabi.h>
#define PYAPI_HAS_FORCED_UNWIND 1
#define PYAPI_PASS_FORCED_UNWIND \
  catch (abi::__forced_unwind&) { throw; }
#define PYAPI_PARK_ON_FORCED_UNWIND \
  catch (abi::__forced_unwind&) { ::py::ParkThread(); }
// The unwind carries no C++ object, so a handler for it binds its
// reference to null, which UndefinedBehaviorSanitizer reports: a function
// holding such a handler is exempt from that one check.
#define PYAPI_CATCHES_FORCED_UNWIND __attribute__((no_sanitize("null")))
#else
#define PYAPI_HAS_FORCED_UNWIND 0
#define PYAPI_PASS_FORCED_UNWIND
#define PYAPI_PARK_ON_FORCED_UNWIND
#define PYAPI_CATCHES_FORCED_UNWIND
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

// Whether a destructor may release what it holds in the interpreter: false
// only on a thread being unwound because the interpreter ended it, which
// then no longer holds the lock. Python 2.7 ends no thread that way, and
// Windows ends a thread without unwinding it.
inline bool CleanupMayTouchInterpreter() {
#if PYAPI_HAS_FORCED_UNWIND && PY_MAJOR_VERSION >= 3
  return PyGILState_Check() != 0;
#else
  return true;
#endif
}

}  // namespace py
