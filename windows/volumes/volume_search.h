// A volume search handle that closes itself.
#pragma once

#include <utility>

#include "win32/win32.h"

namespace volumes {

// A Win32 handle and the function that closes it. `Traits` gives the value
// meaning "none" and the close call. Closing keeps the thread's last-error
// code, so an error that is about to be reported survives the cleanup.
template <typename Traits>
class ScopedWin32Handle {
 public:
  using Value = typename Traits::Value;

  explicit ScopedWin32Handle(Value value = Traits::None()) : value_(value) {}
  ~ScopedWin32Handle() { reset(); }
  ScopedWin32Handle(ScopedWin32Handle&& other) noexcept
      : value_(other.release()) {}
  ScopedWin32Handle& operator=(ScopedWin32Handle&& other) noexcept {
    reset(other.release());
    return *this;
  }
  ScopedWin32Handle(const ScopedWin32Handle&) = delete;
  ScopedWin32Handle& operator=(const ScopedWin32Handle&) = delete;

  Value get() const { return value_; }
  explicit operator bool() const { return value_ != Traits::None(); }

  Value release() { return std::exchange(value_, Traits::None()); }

  void reset(Value value = Traits::None()) {
    const Value old = std::exchange(value_, value);
    if (old == Traits::None()) return;
    const DWORD last_error = GetLastError();
    Traits::Close(old);
    SetLastError(last_error);
  }

 private:
  Value value_;
};

struct VolumeSearchTraits {
  using Value = HANDLE;
  static Value None() { return INVALID_HANDLE_VALUE; }
  static void Close(Value search) { FindVolumeClose(search); }
};

// A search started by FindFirstVolumeW, closed by FindVolumeClose.
using VolumeSearch = ScopedWin32Handle<VolumeSearchTraits>;

}  // namespace volumes
