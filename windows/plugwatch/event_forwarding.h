// Arrived and Removed: where drive events leave the module for the host.
#pragma once

#include <Python.h>

namespace plugwatch {

// DeviceMonitor.Arrived(self, driveletter) and
// DeviceMonitor.Removed(self, driveletter), as methods that receive the
// instance among their arguments.
PyObject* Arrived(PyObject* unused, PyObject* args, PyObject* kwargs);
PyObject* Removed(PyObject* unused, PyObject* args, PyObject* kwargs);

}  // namespace plugwatch
