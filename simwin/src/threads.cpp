// Threads as the window manager sees them: a stable id per thread, a message
// queue created on the thread's first window-manager call, and the clean-up
// Windows does when a thread ends (its windows freed, its queue emptied).
#include <atomic>

#include "call_gate.h"
#include "window_manager.h"

using namespace simwin;

namespace {

std::atomic<uint64_t> next_thread_id{0x1A2C};

// Windows frees the windows of a thread that is ending once the thread runs
// no code of its own any more, so no window procedure is called: there is no
// WM_DESTROY or WM_NCDESTROY. Descendants go with their ancestors, whatever
// thread owns them.
void ForgetWindowAndDescendants(Machine& machine, const WindowPtr& window) {
  for (;;) {
    WindowPtr child;
    for (const WindowPtr& candidate : machine.windows) {
      if (candidate->parent == window->hwnd && candidate != window) {
        child = candidate;
        break;
      }
    }
    if (!child) break;
    ForgetWindowAndDescendants(machine, child);
  }
  ForgetWindow(machine, window);
}

void ReleaseThread(const ThreadQueuePtr& queue) {
  Machine& machine = TheMachine();
  for (;;) {
    WindowPtr owned;
    for (const WindowPtr& window : machine.windows) {
      if (window->owner == queue) {
        owned = window;
        break;
      }
    }
    if (!owned) break;
    ForgetWindowAndDescendants(machine, owned);
  }
  EmptyQueue(*queue);
  machine.queues.erase(queue->thread);
}

struct ThreadSlot {
  uint64_t id = 0;
  ThreadQueuePtr queue;

  ~ThreadSlot() {
    if (!queue) return;
    Machine& machine = TheMachine();
    MachineLock lock(machine.mutex);
    ReleaseThread(queue);
  }
};

thread_local ThreadSlot this_thread;

const Clock::time_point machine_start = Clock::now();

}  // namespace

namespace simwin {

uint64_t CurrentThreadIdValue() {
  if (this_thread.id == 0) this_thread.id = next_thread_id.fetch_add(4);
  return this_thread.id;
}

ThreadQueuePtr CurrentQueue(Machine& machine) {
  if (!this_thread.queue) {
    this_thread.queue = std::make_shared<ThreadQueue>(CurrentThreadIdValue());
    machine.queues[this_thread.queue->thread] = this_thread.queue;
  }
  return this_thread.queue;
}

ThreadQueuePtr FindQueue(Machine& machine, uint64_t thread) {
  auto found = machine.queues.find(thread);
  return found == machine.queues.end() ? nullptr : found->second;
}

DWORD MessageTime() {
  const auto elapsed = Clock::now() - machine_start;
  return static_cast<DWORD>(
      std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
}

uint64_t CurrentThread() { return CurrentThreadIdValue(); }

}  // namespace simwin

DWORD WINAPI GetCurrentThreadId(void) {
  Machine& machine = TheMachine();
  MachineLock lock(machine.mutex);
  RecordCall(machine, "GetCurrentThreadId", {});
  return static_cast<DWORD>(CurrentThreadIdValue());
}
