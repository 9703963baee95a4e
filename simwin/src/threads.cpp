// Threads as the window manager sees them: a stable id per thread, a message
// queue created on the thread's first window-manager call, and the clean-up
// Windows does when a thread ends (its windows freed, its queue emptied).
#include <pthread.h>

#include <atomic>
#include <climits>
#include <memory>
#include <new>

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
  int exit_rounds = 0;
};

void EndThread(void* value);

// Each thread's slot, made on its first call. Not a C++ thread_local: its
// destructor could run before those of the thread's own code, which on
// Windows all run, at thread detach, before the thread's windows go.
pthread_key_t SlotKey() {
  static const pthread_key_t key = [] {
    pthread_key_t made;
    if (pthread_key_create(&made, &EndThread) != 0) throw std::bad_alloc();
    return made;
  }();
  return key;
}

ThreadSlot& ThisThread() {
  const pthread_key_t key = SlotKey();
  if (auto* slot = static_cast<ThreadSlot*>(pthread_getspecific(key))) {
    return *slot;
  }
  auto slot = std::make_unique<ThreadSlot>();
  if (pthread_setspecific(key, slot.get()) != 0) throw std::bad_alloc();
  return *slot.release();
}

// glibc runs the thread's C++ thread_local destructors first, then the
// destructors of its keys in rounds, in key order. The slot puts itself
// off to the last round, so that every other key's destructor has run too.
void EndThread(void* value) {
  auto* slot = static_cast<ThreadSlot*>(value);
  if (++slot->exit_rounds < PTHREAD_DESTRUCTOR_ITERATIONS &&
      pthread_setspecific(SlotKey(), slot) == 0) {
    return;
  }
  std::unique_ptr<ThreadSlot> ended(slot);
  if (!ended->queue) return;
  Machine& machine = TheMachine();
  MachineLock lock(machine.mutex);
  ReleaseThread(ended->queue);
}

const Clock::time_point machine_start = Clock::now();

}  // namespace

namespace simwin {

uint64_t CurrentThreadIdValue() {
  ThreadSlot& slot = ThisThread();
  if (slot.id == 0) slot.id = next_thread_id.fetch_add(4);
  return slot.id;
}

ThreadQueuePtr CurrentQueue(Machine& machine) {
  ThreadSlot& slot = ThisThread();
  if (!slot.queue) {
    slot.queue = std::make_shared<ThreadQueue>(CurrentThreadIdValue());
    machine.queues[slot.queue->thread] = slot.queue;
  }
  return slot.queue;
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
