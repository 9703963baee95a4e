// The thread a monitor window belongs to, for as long as that thread lives.
//
// Windows frees the windows of a thread that ends without calling their
// procedures (no WM_DESTROY, no WM_NCDESTROY) and may then give their handle
// values to new windows, so a state cannot learn of that destruction from
// its window. It asks the window's thread instead. Thread ids are reused
// too, so the identity is an object made once per thread lifetime, which
// goes when the thread ends.
#pragma once

#include <memory>

namespace plugwatch {

class WindowThread {
 public:
  WindowThread() = default;

  // The calling thread. Its identity is made on first use (std::bad_alloc
  // when it cannot be made or kept) and ends as the thread ends.
  static WindowThread Current();

  // Whether the thread has ended, and with it every window it created.
  bool Ended() const noexcept { return life_.expired(); }

 private:
  explicit WindowThread(std::weak_ptr<const char> life)
      : life_(std::move(life)) {}
  std::weak_ptr<const char> life_;
};

}  // namespace plugwatch
