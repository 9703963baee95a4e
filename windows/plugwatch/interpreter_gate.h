// The gate through which the module's native threads enter the interpreter:
// the window procedure, and the pump taking the interpreter lock back after
// a blocking Win32 call. It closes for good when the interpreter exits,
// after every exit function and before the thread states are torn down,
// so that no thread of this module takes the lock while, or after, they
// are.
#pragma once

#include <Python.h>

#include "pyapi/gil.h"

namespace plugwatch {

// Closes the gate when the interpreter exits (py::CallAtInterpreterExit)
// and waits, with the interpreter lock released and for at most a second,
// for the threads inside. Returns false with an exception pending on
// failure.
bool CloseGateAtExit();

// The gate itself, as the interpreter-lock scopes consult it. `usable`
// and the count of threads inside change together, so a thread is either
// counted before the gate closes, and then waited for, or refused.
struct ExitGate {
  static bool Enter();
  static void Leave();
  // A refused thread waits for the process to end, never touching the
  // interpreter again.
  [[noreturn]] static void Refused();
};

// The interpreter lock taken for the scope by a thread that may not hold
// it, as a window procedure must take it; nothing is taken, and the scope
// tests false, once the interpreter has begun to exit.
using InterpreterVisit = py::GilHeld<ExitGate>;

// The interpreter lock released for the scope, around a blocking call; it
// is taken back only while the interpreter is not exiting.
using LockReleased = py::GilReleased<ExitGate>;

}  // namespace plugwatch
