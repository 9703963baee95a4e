// The native fields of a DeviceMonitorState: its window, the window's
// device-notification registration and the callables the window's
// properties name, and the order in which they are taken down.
#pragma once

#include <Python.h>

#include "pyapi/object.h"
#include "win32/win32.h"
#include "windows/plugwatch/module.h"
#include "windows/plugwatch/window_handles.h"
#include "windows/plugwatch/window_thread.h"

namespace plugwatch {

// The window properties in the order they are set and removed; each names
// the callable of the same index.
constexpr int kCallbackCount = 3;
constexpr const WCHAR* kCallbackProperties[kCallbackCount] = {
    kArriveProperty, kRemoveProperty, kStopProperty};

struct WindowState {
  MonitorWindow dll_window;
  DeviceNotification notify_handle;
  // Arrive, remove and stop, held for as long as a property may name them.
  py::Object callables[kCallbackCount] = {
      py::Object::None(), py::Object::None(), py::Object::None()};
  // The thread that created dll_window: once it has ended, so has the
  // window, and the handle value may name another window.
  WindowThread window_thread;
  bool window_created = false;
  // Which properties the window may still hold.
  bool property_set[kCallbackCount] = {};
};

// The window the state created, while it exists: once the window's thread
// has ended the window is gone and the handle is forgotten unused, since
// its value may by now name another state's window.
HWND LiveWindow(WindowState& state);

// Unregisters, takes the properties off, destroys the window, and only then
// releases the callables. From a thread other than the window's,
// DestroyWindow fails and the window stays until its thread ends; it has no
// properties left, so nothing can reach the released callables through it.
// A window whose thread has ended is gone already and is not touched.
void TearDown(WindowState& state);

// Takes the properties off and releases the callables, breaking the
// monitor -> state -> bound method -> monitor cycle. The window and its
// registration stay until teardown.
void ReleaseCallables(WindowState& state);

}  // namespace plugwatch
