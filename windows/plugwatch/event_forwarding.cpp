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
                  const py::Name& factory_name) {
  static const char* const parameters[] = {"self", "driveletter"};
  // Owned: the factory or Push may empty the caller's keyword dictionary.
  py::Object values[2];
  if (!py::BindArguments(method, args, kwargs, parameters, 2, values)) {
    return nullptr;
  }
  const py::Object& self = values[0];
  const py::Object& driveletter = values[1];
  py::Object volume_handler = Global(names::volume_handler);
  if (!volume_handler) return nullptr;
  py::Object factory = py::GetAttr(volume_handler, factory_name);
  if (!factory) return nullptr;
  py::Object event = py::CallWith(factory, driveletter);
  if (!event) return nullptr;
  py::Object handler = py::GetAttr(self, names::handler);
  if (!handler) return nullptr;
  py::Object push = py::GetAttr(handler, names::push);
  if (!push || !py::CallWith(push, event)) return nullptr;
  Py_RETURN_NONE;
}

}  // namespace

PyObject* Arrived(PyObject* /*unused*/, PyObject* args, PyObject* kwargs) {
  return Forward(args, kwargs, "Arrived", names::mount_event);
}

PyObject* Removed(PyObject* /*unused*/, PyObject* args, PyObject* kwargs) {
  return Forward(args, kwargs, "Removed", names::unmount_event);
}

}  // namespace plugwatch
