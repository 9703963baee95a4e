#include "windows/plugwatch/window_thread.h"

namespace plugwatch {
namespace {

// Made on a thread's first window and destroyed with the thread's other
// thread-local objects when it ends.
thread_local std::shared_ptr<const char> this_thread_life;

}  // namespace

WindowThread WindowThread::Current() {
  if (!this_thread_life) this_thread_life = std::make_shared<const char>('\0');
  return WindowThread(this_thread_life);
}

}  // namespace plugwatch
