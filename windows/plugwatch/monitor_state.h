// DeviceMonitorState: the hidden monitor window, its device-notification
// registration and the three callables its messages are routed to.
#pragma once

#include <Python.h>

#include "win32/win32.h"

namespace plugwatch {

// The extension type; ready it (PyType_Ready) during load.
PyTypeObject* DeviceMonitorStateType();

// The built-in function _RegisterDeviceMonitorWindowClass.
PyMethodDef* RegisterWindowClassMethod();

// Configure on `state` (a DeviceMonitorState): returns false with an
// exception pending, its traceback entry added, on failure.
bool ConfigureState(PyObject* state, PyObject* arrive, PyObject* remove,
                    PyObject* stop);

// The state's window (`dll_window`) while it exists: null before Configure
// created it and once it is gone with its thread. `state` must be a
// DeviceMonitorState.
HWND StateWindow(PyObject* state);
// Whether the state's window existed and is gone with its thread.
bool StateWindowGone(PyObject* state);

}  // namespace plugwatch
