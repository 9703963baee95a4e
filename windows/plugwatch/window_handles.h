// Owned Win32 handles of the monitor window: the window itself and its
// device-notification registration.
#pragma once

#include "win32/unique_handle.h"
#include "win32/win32.h"

namespace plugwatch {

using win32::LastErrorKeeper;

struct WindowTraits {
  using Value = HWND;
  static Value None() { return nullptr; }
  static void Close(Value window) { DestroyWindow(window); }
};
struct NotificationTraits {
  using Value = HDEVNOTIFY;
  static Value None() { return nullptr; }
  static void Close(Value handle) { UnregisterDeviceNotification(handle); }
};

// The hidden window of class "DriveDeviceMonitor", destroyed by
// DestroyWindow (which succeeds only on the window's own thread).
using MonitorWindow = win32::UniqueHandle<WindowTraits>;
// The window's registration for volume device-interface notifications.
using DeviceNotification = win32::UniqueHandle<NotificationTraits>;

}  // namespace plugwatch
