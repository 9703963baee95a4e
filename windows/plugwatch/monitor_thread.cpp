// The monitor thread's side of DeviceMonitor: Run pumps the window's
// messages until Stop, from any thread, ends it.
#include <cstdint>

#include "pyapi/function_arguments.h"
#include "pyapi/version.h"
#include "windows/plugwatch/device_monitor.h"
#include "windows/plugwatch/interpreter_gate.h"
#include "windows/plugwatch/module.h"
#include "windows/plugwatch/monitor_state.h"

namespace plugwatch {
namespace {

// 1 when self.ShouldStop() is true, 0 when not, -1 on error.
int ShouldStop(PyObject* self) {
  py::Object should_stop = py::GetAttr(self, names::should_stop);
  if (!should_stop) return -1;
  py::Object result = py::CallWith(should_stop);
  if (!result) return -1;
  return PyObject_IsTrue(result.get());
}

// Takes at most one message for the window off the queue. Messages from
// WM_USER up (the stop message among them) only wake the pump and are
// dropped undispatched. Sent messages reach the window procedure inside
// PeekMessageW, posted ones inside DispatchMessageW.
void DispatchOneMessage(HWND window) {
  MSG message;
  if (!PeekMessageW(&message, window, 0, 0, PM_REMOVE)) return;
  if (message.message >= WM_USER) return;
  TranslateMessage(&message);
  DispatchMessageW(&message);
}

// Pumps the window's messages until ShouldStop() is true, consulting it
// before each wait and on waking. Blocks in WaitMessage without the lock:
// no polling. Returns false with an exception pending on failure.
bool PumpMessages(PyObject* self, HWND window) {
  for (;;) {
    int stop = ShouldStop(self);
    if (stop != 0) return stop > 0;
    {
      LockReleased unlocked;
      WaitMessage();
    }
    stop = ShouldStop(self);
    if (stop != 0) return stop > 0;
    {
      LockReleased unlocked;
      DispatchOneMessage(window);
    }
  }
}

// The window handle as the host sees it: its low 32 bits, sign-extended.
long WindowHandleNumber(HWND window) {
  const uint32_t low_bits =
      static_cast<uint32_t>(reinterpret_cast<uintptr_t>(window));
  return static_cast<long>(static_cast<int32_t>(low_bits));
}

PyObject* LogWindowNotFound() {
  if (!CallLogger(names::info,
                  py::String("Window not found, not notifying it."))) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

}  // namespace

PyObject* Run(PyObject* /*unused*/, PyObject* args, PyObject* kwargs) {
  const py::Object self_object = ParseSelf(args, kwargs, "Run");
  if (!self_object) return nullptr;
  PyObject* self = self_object.get();

  py::Object state = py::Object::Steal(PyObject_CallObject(
      reinterpret_cast<PyObject*>(DeviceMonitorStateType()), nullptr));
  if (!state) return nullptr;
  // Stored before Configure, so Stop finds it even while it configures.
  if (PyObject_SetAttr(self, names::state.get(), state.get()) < 0) {
    return nullptr;
  }
  py::Object arrived = py::GetAttr(self, names::arrived);
  if (!arrived) return nullptr;
  py::Object removed = py::GetAttr(self, names::removed);
  if (!removed) return nullptr;
  py::Object stop = py::GetAttr(self, names::stop);
  if (!stop) return nullptr;
  if (!ConfigureState(state.get(), arrived.get(), removed.get(), stop.get())) {
    return nullptr;
  }

  const HWND window = StateWindow(state.get());
  py::Object handle_number =
      py::IntFromLong(WindowHandleNumber(window));
  if (!handle_number || PyObject_SetAttr(self, names::window_handle.get(),
                                         handle_number.get()) < 0) {
    return nullptr;
  }

  // `state` keeps the window and its callables alive while the pump runs.
  if (!PumpMessages(self, window)) return nullptr;
  if (!CallLogger(names::debug, py::String("Done with event loop."))) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

// Records the stop first, then wakes the pump: a woken pump then always
// sees ShouldStop() true. Callable from any thread, the monitor thread
// (through the window's stop property) included.
PyObject* Stop(PyObject* /*unused*/, PyObject* args, PyObject* kwargs) {
  const py::Object self_object = ParseSelf(args, kwargs, "Stop");
  if (!self_object) return nullptr;
  PyObject* self = self_object.get();
  py::Object base_stop = BaseClassAttribute(names::stop);
  if (!base_stop || !py::CallWith(base_stop, py::Handle(self))) {
    return nullptr;
  }

  py::Object state = py::GetAttr(self, names::state);
  if (!state) return nullptr;
  const int has_state = PyObject_IsTrue(state.get());
  if (has_state < 0) return nullptr;
  // Only a DeviceMonitorState has a window to read.
  if (has_state && !PyObject_TypeCheck(state.get(), DeviceMonitorStateType())) {
    PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s",
                 Py_TYPE(state.get())->tp_name,
                 DeviceMonitorStateType()->tp_name);
    return nullptr;
  }
  // A window gone with its thread may have handed its handle value to
  // another monitor's window, which must not be woken. The handle is read
  // once, here: null before Configure has made the window, and then
  // posted to as it stands.
  const HWND window = has_state ? StateWindow(state.get()) : nullptr;
  if (!has_state || StateWindowGone(state.get())) return LogWindowNotFound();
  if (!CallLogger(names::info,
                  py::String("Posting stop message to window message "
                             "queue."))) {
    return nullptr;
  }
  // The log call may have let the window's thread end. No monitor window
  // can take over its handle meanwhile: they are made under the lock this
  // thread holds.
  if (StateWindowGone(state.get())) return LogWindowNotFound();
  // The stop is recorded whether or not the post succeeds, so the pump
  // ends at its next wake-up; a failed post is logged, not raised.
  if (!PostMessageW(window, WM_USER, 0, 0)) {
    const DWORD error = GetLastError();
    py::Object code =
        py::IntFromLong(static_cast<long>(error));
    if (!code ||
        !CallLogger(names::error,
                    py::String("Could not post stop message to window "
                               "message queue (error %d); the monitor ends "
                               "at its next wake-up."),
                    code)) {
      return nullptr;
    }
  }
  Py_RETURN_NONE;
}

}  // namespace plugwatch
