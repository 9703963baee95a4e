// A Win32 handle and the function that closes it, closed on scope exit.
//
// `Traits` names the value type, the value meaning "none" for that kind of
// handle (INVALID_HANDLE_VALUE for a volume search, null for a window) and
// the close call. A traits type rather than the Win32 function itself as the
// template argument: the address of an imported function is no constant on
// Windows. Closing keeps the thread's last-error code, so an error about to
// be reported survives the cleanup; the close result is ignored, as an owner
// being destroyed has no one to report it to.
#pragma once

#include <utility>

#include "win32/win32.h"

namespace win32 {

// Keeps the thread's last Win32 error across cleanup calls, so closing a
// handle on an error path does not change the error about to be reported.
class LastErrorKeeper {
 public:
  LastErrorKeeper() : error_(GetLastError()) {}
  ~LastErrorKeeper() { SetLastError(error_); }
  LastErrorKeeper(const LastErrorKeeper&) = delete;
  LastErrorKeeper& operator=(const LastErrorKeeper&) = delete;

 private:
  DWORD error_;
};

template <typename Traits>
class UniqueHandle {
 public:
  using Value = typename Traits::Value;

  explicit UniqueHandle(Value value = Traits::None()) : value_(value) {}
  ~UniqueHandle() { reset(); }
  UniqueHandle(UniqueHandle&& other) noexcept : value_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    reset(other.release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  Value get() const { return value_; }
  explicit operator bool() const { return value_ != Traits::None(); }

  Value release() { return std::exchange(value_, Traits::None()); }

  void reset(Value value = Traits::None()) {
    const Value old = std::exchange(value_, value);
    if (old == Traits::None()) return;
    LastErrorKeeper keep;
    Traits::Close(old);
  }

 private:
  Value value_;
};

}  // namespace win32
