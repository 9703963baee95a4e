#include "windows/plugwatch/window_state.h"

#include "pyapi/errors.h"
#include "pyapi/version.h"

namespace plugwatch {
namespace {

constexpr const char* kCallbackPropertyNames[kCallbackCount] = {
    "ARRIVE_CALLBACK", "REMOVE_CALLBACK", "STOP_CALLBACK"};
constexpr char kTeardownName[] = "windows.plugwatch.DeviceMonitorState";

// A property that could not be removed, and the error it failed with.
struct StuckProperty {
  int index;
  DWORD error;
};

// The properties that a window still holds after removal, which name
// callables that must then never be released.
struct StuckProperties {
  StuckProperty items[kCallbackCount];
  int count = 0;
};

// The properties name the callables without holding them: they come off
// the window before any path releases the callables, and the window
// procedure reads them only while it holds the interpreter lock, so it
// never finds a released object.
StuckProperties RemoveCallbackProperties(WindowState& state, HWND window) {
  LastErrorKeeper keep;
  StuckProperties stuck;
  for (int index = 0; index < kCallbackCount; ++index) {
    if (RemovePropW(window, kCallbackProperties[index]) != nullptr) {
      state.property_set[index] = false;
    } else if (state.property_set[index]) {
      stuck.items[stuck.count++] = {index, GetLastError()};
    }
  }
  return stuck;
}

// A callable that a property still names is never released: the window
// would name freed memory. The reference is kept for good instead (a
// bounded leak) and the failure logged.
void KeepStuckCallables(WindowState& state, const StuckProperties& stuck) {
  for (int item = 0; item < stuck.count; ++item) {
    py::Object& callable = state.callables[stuck.items[item].index];
    callable.release();
    callable = py::Object::None();
  }
  for (int item = 0; item < stuck.count; ++item) {
    py::ExceptionStash pending;
    const StuckProperty& property = stuck.items[item];
    py::Object code =
        py::IntFromLong(static_cast<long>(property.error));
    if (!code ||
        !CallLogger(names::error,
                    py::String("Could not remove window property %s "
                               "(error %d); its callable is kept."),
                    py::String(kCallbackPropertyNames[property.index]), code)) {
      py::WriteUnraisable(kTeardownName);
    }
  }
}

}  // namespace

HWND LiveWindow(WindowState& state) {
  if (state.dll_window && state.window_thread.Ended()) {
    state.dll_window.release();
    for (bool& set : state.property_set) set = false;
  }
  return state.dll_window.get();
}

void TearDown(WindowState& state) {
  StuckProperties stuck;
  {
    py::ExceptionStash pending;
    state.notify_handle.reset();
    if (const HWND window = LiveWindow(state)) {
      stuck = RemoveCallbackProperties(state, window);
      // Destroyed, the window holds no property any more.
      if (DestroyWindow(state.dll_window.release())) stuck.count = 0;
    }
  }
  KeepStuckCallables(state, stuck);
  for (py::Object& callable : state.callables) callable.reset();
}

void ReleaseCallables(WindowState& state) {
  StuckProperties stuck;
  if (const HWND window = LiveWindow(state)) {
    stuck = RemoveCallbackProperties(state, window);
  }
  KeepStuckCallables(state, stuck);
  for (py::Object& callable : state.callables) callable = py::Object::None();
}

}  // namespace plugwatch
