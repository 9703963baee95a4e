#include "windows/plugwatch/window_thread.h"

#include <new>

#if defined(_WIN32)
#include "win32/win32.h"
#else
#include <pthread.h>
#endif

namespace plugwatch {
namespace {

using Life = std::shared_ptr<const char>;

void EndLife(void* life) { delete static_cast<Life*>(life); }

// One slot per thread for the thread's life, made empty when the thread
// ends, before the system frees the thread's windows. No C++ thread_local:
// glibc aborts the process when it cannot allocate a module's thread-local
// block or register its destructor. Both slots here report such failures.
#if defined(_WIN32)
class LifeSlot {
 public:
  LifeSlot() : index_(FlsAlloc(&End)) {
    if (index_ == FLS_OUT_OF_INDEXES) throw std::bad_alloc();
  }
  Life* Get() const { return static_cast<Life*>(FlsGetValue(index_)); }
  bool Set(Life* life) const { return FlsSetValue(index_, life) != FALSE; }

 private:
  static void WINAPI End(void* life) { EndLife(life); }
  DWORD index_;
};
#else
class LifeSlot {
 public:
  LifeSlot() {
    if (pthread_key_create(&key_, &EndLife) != 0) throw std::bad_alloc();
  }
  Life* Get() const { return static_cast<Life*>(pthread_getspecific(key_)); }
  bool Set(Life* life) const { return pthread_setspecific(key_, life) == 0; }

 private:
  pthread_key_t key_;
};
#endif

}  // namespace

WindowThread WindowThread::Current() {
  // Made on first use; a constructor that throws is tried again next time.
  static const LifeSlot slot;
  if (const Life* life = slot.Get()) return WindowThread(*life);
  auto life = std::make_unique<Life>(std::make_shared<const char>('\0'));
  if (!slot.Set(life.get())) throw std::bad_alloc();
  return WindowThread(*life.release());
}

}  // namespace plugwatch
