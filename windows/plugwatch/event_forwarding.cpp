#include "windows/plugwatch/event_forwarding.h"

#include "pyapi/function_arguments.h"
#include "pyapi/names.h"
#include "pyapi/object.h"
#include "windows/plugwatch/module.h"

namespace plugwatch {
namespace {

// volume_handler.<factory>(driveletter) pushed to self.handler. Nothing is
// caught: the window procedure judges failures.
PyObject* Forward(PyObject* args, PyObject* kwargs, const char* method,
                  const char* factory_name, const char* qualified_name) {
  static const char* const names[] = {"self", "driveletter"};
  // Owned: the factory or Push may empty the caller's keyword dictionary.
  py::Object values[2];
  if (!py::BindArguments(method, args, kwargs, names, 2, values)) {
    return Fail(qualified_name, __LINE__);
  }
  const py::Object& self = values[0];
  const py::Object& driveletter = values[1];
  py::Object volume_handler =
      py::LookupGlobal(Module().globals, "volume_handler");
  if (!volume_handler) return Fail(qualified_name, __LINE__);
  py::Object factory = py::GetAttr(volume_handler, factory_name);
  if (!factory) return Fail(qualified_name, __LINE__);
  py::Object event = py::CallWith(factory, driveletter);
  if (!event) return Fail(qualified_name, __LINE__);
  py::Object handler = py::GetAttr(self, "handler");
  if (!handler) return Fail(qualified_name, __LINE__);
  py::Object push = py::GetAttr(handler, "Push");
  if (!push) return Fail(qualified_name, __LINE__);
  if (!py::CallWith(push, event)) return Fail(qualified_name, __LINE__);
  Py_RETURN_NONE;
}

}  // namespace

PyObject* Arrived(PyObject* /*unused*/, PyObject* args, PyObject* kwargs) {
  return Forward(args, kwargs, "Arrived", "MountEvent",
                 "windows.plugwatch.DeviceMonitor.Arrived");
}

PyObject* Removed(PyObject* /*unused*/, PyObject* args, PyObject* kwargs) {
  return Forward(args, kwargs, "Removed", "UnmountEvent",
                 "windows.plugwatch.DeviceMonitor.Removed");
}

}  // namespace plugwatch
