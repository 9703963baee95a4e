// Owned Win32 handles of the monitor window: the window itself and its
// device-notification registration.
#pragma once

#include "win32/win32.h"

namespace plugwatch {

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

// A handle and the call that closes it (`Traits::Close`). Null means "none"
// for both kinds kept here. Move-only; the close result is ignored, as the
// owner has no one to report it to.
template <typename Value, typename Traits>
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(Value value) : value_(value) {}
  ~UniqueHandle() { reset(); }
  UniqueHandle(UniqueHandle&& other) noexcept : value_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    reset(other.release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  Value get() const { return value_; }
  explicit operator bool() const { return value_ != nullptr; }
  Value release() {
    Value value = value_;
    value_ = nullptr;
    return value;
  }
  void reset(Value value = nullptr) {
    Value old = value_;
    value_ = value;
    if (old != nullptr) {
      LastErrorKeeper keep;
      Traits::Close(old);
    }
  }

 private:
  Value value_ = nullptr;
};

// A traits type rather than the Win32 function itself as the template
// argument: the address of an imported function is no constant on Windows.
struct WindowTraits {
  static void Close(HWND window) { DestroyWindow(window); }
};
struct NotificationTraits {
  static void Close(HDEVNOTIFY handle) { UnregisterDeviceNotification(handle); }
};

// The hidden window of class "DriveDeviceMonitor", destroyed by
// DestroyWindow (which succeeds only on the window's own thread).
using MonitorWindow = UniqueHandle<HWND, WindowTraits>;
// The window's registration for volume device-interface notifications.
using DeviceNotification = UniqueHandle<HDEVNOTIFY, NotificationTraits>;

}  // namespace plugwatch
