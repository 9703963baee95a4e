// DeviceMonitor: the host thread class that runs the monitor window's
// message pump.
#pragma once

#include <Python.h>

#include "pyapi/object.h"

namespace plugwatch {

// Builds the class DeviceMonitor; its base is
// sync_client_thread.SyncClientThread as the module namespace binds it now.
py::Object CreateDeviceMonitorClass();

}  // namespace plugwatch
