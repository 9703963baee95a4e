#include "windows/plugwatch/interpreter_gate.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "pyapi/errors.h"
#include "pyapi/exit_hook.h"
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

// Run once the host's exit functions are over, with the interpreter lock
// held, while the thread states are still whole.
void CloseGate() {
  Gate& gate = TheGate();
  // Threads inside may be waiting for the lock this thread holds.
  py::GilReleased<> unlocked;
  std::unique_lock<std::mutex> lock(gate.mutex);
  gate.usable = false;
  gate.changed.wait_for(lock, kExitWaitBound, [&] { return gate.inside == 0; });
}

}  // namespace

bool CloseGateAtExit() {
  TheGate();
  return py::CallAtInterpreterExit(CloseGate);
}

}  // namespace plugwatch
