// DeviceMonitor: the host thread class that runs the monitor window's
// message pump.
#pragma once

#include <Python.h>

#include "pyapi/names.h"
#include "pyapi/object.h"

namespace plugwatch {

// Builds the class DeviceMonitor; its base is
// sync_client_thread.SyncClientThread as the module namespace binds it now.
py::Object CreateDeviceMonitorClass();

// sync_client_thread.SyncClientThread.<name>, reached through the module
// namespace at each use so that rebinding the module attribute counts.
py::Object BaseClassAttribute(const py::Name& name);

// The one parameter `self` of the method `method`, by position or keyword.
// Owned, as a Python frame owns its arguments: host code run by the method
// may empty the caller's keyword dictionary.
py::Object ParseSelf(PyObject* args, PyObject* kwargs, const char* method);

// Run(self), in monitor_thread.cpp: makes the state and its window, then
// pumps the window's messages until self.ShouldStop() is true.
PyObject* Run(PyObject* unused, PyObject* args, PyObject* kwargs);

// Stop(self), in monitor_thread.cpp: records the stop, then wakes the pump.
PyObject* Stop(PyObject* unused, PyObject* args, PyObject* kwargs);

}  // namespace plugwatch
