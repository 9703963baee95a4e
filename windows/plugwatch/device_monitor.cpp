#include "windows/plugwatch/device_monitor.h"

#include "pyapi/classes.h"
#include "pyapi/exception_barrier.h"
#include "pyapi/function_arguments.h"
#include "pyapi/names.h"
#include "windows/plugwatch/event_forwarding.h"
#include "windows/plugwatch/module.h"
#include "windows/plugwatch/monitor_state.h"

namespace plugwatch {

py::Object BaseClass() {
  py::Object sync_client_thread = Global(names::sync_client_thread);
  if (!sync_client_thread) return sync_client_thread;
  return py::GetAttr(sync_client_thread, names::sync_client_thread_class);
}

py::Object BaseClassAttribute(const py::Name& name) {
  py::Object base = BaseClass();
  if (!base) return base;
  return py::GetAttr(base, name);
}

py::Object ParseSelf(PyObject* args, PyObject* kwargs, const char* method) {
  static const char* const parameters[] = {"self"};
  py::Object values[1];
  if (!py::BindArguments(method, args, kwargs, parameters, 1, values)) {
    return py::Object();
  }
  return values[0];
}

namespace {

constexpr char kInitName[] = "windows.plugwatch.DeviceMonitor.__init__";
constexpr char kRunName[] = "windows.plugwatch.DeviceMonitor.Run";
constexpr char kPauseName[] = "windows.plugwatch.DeviceMonitor.Pause";
constexpr char kResumeName[] = "windows.plugwatch.DeviceMonitor.Resume";
constexpr char kStopName[] = "windows.plugwatch.DeviceMonitor.Stop";
constexpr char kArrivedName[] = "windows.plugwatch.DeviceMonitor.Arrived";
constexpr char kRemovedName[] = "windows.plugwatch.DeviceMonitor.Removed";

constexpr char kDeviceMonitorDoc[] =
    "Runs the event loop necessary to receive device events.\n"
    "\n"
    "The primary job of this class is to create the device monitor window\n"
    "and then pump messages for it. Relevant device events are routed\n"
    "through callbacks on this class.\n";

// __init__(self, *args, **kwargs): `self` is the first positional argument
// or the keyword "self". Fills `self`, `rest` (the other positional
// arguments) and `keywords` (a copy of the other keywords).
bool SplitInitArguments(PyObject* args, PyObject* kwargs, py::Object* self,
                        py::Object* rest, py::Object* keywords) {
  *keywords =
      py::Object::Steal(kwargs != nullptr ? PyDict_Copy(kwargs) : PyDict_New());
  if (!*keywords) return false;
  py::Object self_key = py::String("self");
  if (!self_key) return false;
  PyObject* self_keyword =
      PyDict_GetItem(keywords->get(), self_key.get());  // borrowed
  const Py_ssize_t given = PyTuple_GET_SIZE(args);
  if (given > 0) {
    if (self_keyword != nullptr) {
      PyErr_SetString(PyExc_TypeError,
                      "__init__() got multiple values for keyword argument "
                      "'self'");
      return false;
    }
    *self = py::Object::Borrow(PyTuple_GET_ITEM(args, 0));
    *rest = py::Object::Steal(PyTuple_GetSlice(args, 1, given));
    return static_cast<bool>(*rest);
  }
  if (self_keyword == nullptr) {
    PyErr_SetString(PyExc_TypeError,
                    "__init__() takes at least 1 argument (0 given)");
    return false;
  }
  *self = py::Object::Borrow(self_keyword);
  *rest = py::Object::Steal(PyTuple_New(0));
  return *rest && PyDict_DelItem(keywords->get(), self_key.get()) == 0;
}

PyObject* Init(PyObject* /*unused*/, PyObject* args, PyObject* kwargs) {
  py::Object self, rest, keywords;
  if (!SplitInitArguments(args, kwargs, &self, &rest, &keywords)) {
    return nullptr;
  }
  py::Object handler = py::Object::Borrow(
      PyDict_GetItem(keywords.get(), names::handler.get()));  // borrowed
  if (!handler) {
    PyErr_SetObject(PyExc_KeyError, names::handler.get());
    return nullptr;
  }
  if (PyDict_DelItem(keywords.get(), names::handler.get()) < 0 ||
      PyObject_SetAttr(self.get(), names::handler.get(), handler.get()) < 0 ||
      PyObject_SetAttr(self.get(), names::state.get(), Py_None) < 0) {
    return nullptr;
  }

  py::Object base_init = BaseClassAttribute(names::init);
  if (!base_init) return nullptr;
  const Py_ssize_t rest_count = PyTuple_GET_SIZE(rest.get());
  py::Object base_args = py::Object::Steal(PyTuple_New(2 + rest_count));
  py::Object thread_name = py::String("DeviceMonitor");
  if (!base_args || !thread_name) return nullptr;
  PyTuple_SET_ITEM(base_args.get(), 0, py::Object(self).release());
  PyTuple_SET_ITEM(base_args.get(), 1, thread_name.release());
  for (Py_ssize_t index = 0; index < rest_count; ++index) {
    PyObject* item = PyTuple_GET_ITEM(rest.get(), index);
    Py_INCREF(item);
    PyTuple_SET_ITEM(base_args.get(), 2 + index, item);
  }
  py::Object result = py::Object::Steal(
      PyObject_Call(base_init.get(), base_args.get(), keywords.get()));
  if (!result) return nullptr;
  Py_RETURN_NONE;
}

PyObject* Pause(PyObject* /*unused*/, PyObject* args, PyObject* kwargs) {
  if (!ParseSelf(args, kwargs, "Pause")) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* Resume(PyObject* /*unused*/, PyObject* args, PyObject* kwargs) {
  if (!ParseSelf(args, kwargs, "Resume")) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

constexpr int kMethodFlags = METH_VARARGS | METH_KEYWORDS;

// In declaration order; only the class carries documentation.
PyMethodDef device_monitor_methods[] = {
    {"__init__", py::AsCFunction(py::Guarded<Traced<Init, kInitName>>),
     kMethodFlags, nullptr},
    {"Arrived", py::AsCFunction(py::Guarded<Traced<Arrived, kArrivedName>>),
     kMethodFlags, nullptr},
    {"Removed", py::AsCFunction(py::Guarded<Traced<Removed, kRemovedName>>),
     kMethodFlags, nullptr},
    {"Run", py::AsCFunction(py::Guarded<Traced<Run, kRunName>>), kMethodFlags,
     nullptr},
    {"Pause", py::AsCFunction(py::Guarded<Traced<Pause, kPauseName>>),
     kMethodFlags, nullptr},
    {"Resume", py::AsCFunction(py::Guarded<Traced<Resume, kResumeName>>),
     kMethodFlags, nullptr},
    {"Stop", py::AsCFunction(py::Guarded<Traced<Stop, kStopName>>),
     kMethodFlags, nullptr},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

py::Object CreateDeviceMonitorClass() {
  py::Object base = BaseClass();
  if (!base) return base;
  py::Object bases = py::MakeTuple(base);
  py::Object namespace_dict = py::Object::Steal(PyDict_New());
  py::Object module_name = py::String(kModuleName);
  py::Object qualified_name = py::String("DeviceMonitor");
  py::Object doc = py::String(kDeviceMonitorDoc);
  if (!bases || !namespace_dict || !module_name || !qualified_name || !doc) {
    return py::Object();
  }
  PyObject* const class_namespace = namespace_dict.get();
  if (PyDict_SetItemString(class_namespace, "__module__", module_name.get()) <
          0 ||
      PyDict_SetItemString(class_namespace, "__qualname__",
                           qualified_name.get()) < 0 ||
      PyDict_SetItemString(class_namespace, "__doc__", doc.get()) < 0 ||
      !py::AddMethods(class_namespace, device_monitor_methods, module_name)) {
    return py::Object();
  }
  py::Object device_monitor =
      py::NewClass("DeviceMonitor", bases, class_namespace);
  if (!device_monitor ||
      !py::TieMethodsToClass(device_monitor.get(), device_monitor_methods,
                             module_name)) {
    return py::Object();
  }
  return device_monitor;
}

}  // namespace plugwatch
