// DeviceMonitor: the host thread class that runs the monitor window's
// message pump.
#pragma once

#include <Python.h>

#include "pyapi/object.h"

namespace plugwatch {

// Builds the class DeviceMonitor from the module namespace `globals` (its
// base is sync_client_thread.SyncClientThread as bound there now).
py::Object CreateDeviceMonitorClass(PyObject* globals);

}  // namespace plugwatch
