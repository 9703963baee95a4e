#include "windows/plugwatch/device_monitor.h"

#include <cstdint>

#include "pyapi/classes.h"
#include "pyapi/exception_barrier.h"
#include "pyapi/function_arguments.h"
#include "pyapi/names.h"
#include "pyapi/version.h"
#include "windows/plugwatch/event_forwarding.h"
#include "windows/plugwatch/interpreter_gate.h"
#include "windows/plugwatch/module.h"
#include "windows/plugwatch/monitor_state.h"

namespace plugwatch {
namespace {

constexpr char kInitName[] = "windows.plugwatch.DeviceMonitor.__init__";
constexpr char kRunName[] = "windows.plugwatch.DeviceMonitor.Run";
constexpr char kPauseName[] = "windows.plugwatch.DeviceMonitor.Pause";
constexpr char kResumeName[] = "windows.plugwatch.DeviceMonitor.Resume";
constexpr char kStopName[] = "windows.plugwatch.DeviceMonitor.Stop";

constexpr char kDeviceMonitorDoc[] =
    "Runs the event loop necessary to receive device events.\n"
    "\n"
    "The primary job of this class is to create the device monitor window\n"
    "and then pump messages for it. Relevant device events are routed\n"
    "through callbacks on this class.\n";

// sync_client_thread.SyncClientThread, reached through the module
// namespace at each use so that rebinding the module attribute counts.
py::Object BaseClass() {
  py::Object sync_client_thread =
      py::LookupGlobal(Module().globals, "sync_client_thread");
  if (!sync_client_thread) return sync_client_thread;
  return py::GetAttr(sync_client_thread, "SyncClientThread");
}

py::Object BaseClassAttribute(const char* name) {
  py::Object base = BaseClass();
  if (!base) return base;
  return py::GetAttr(base, name);
}

// The one parameter `self`, by position or keyword, worded as for the
// Python method `method`. Owned, as a Python frame owns its arguments: host
// code run by the method may empty the caller's keyword dictionary.
py::Object ParseSelf(PyObject* args, PyObject* kwargs, const char* method) {
  static const char* const names[] = {"self"};
  py::Object values[1];
  if (!py::BindArguments(method, args, kwargs, names, 1, values)) {
    return py::Object();
  }
  return values[0];
}

// __init__(self, *args, **kwargs): `self` is the first positional argument
// or the keyword "self". Fills `self`, `rest` (the other positional
// arguments) and `keywords` (a copy of the other keywords).
bool SplitInitArguments(PyObject* args, PyObject* kwargs, py::Object* self,
                        py::Object* rest, py::Object* keywords) {
  *keywords = py::Object::Steal(kwargs != nullptr ? PyDict_Copy(kwargs)
                                                  : PyDict_New());
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
    return Fail(kInitName, __LINE__);
  }
  py::Object handler_key = py::String("handler");
  if (!handler_key) return Fail(kInitName, __LINE__);
  py::Object handler = py::Object::Borrow(
      PyDict_GetItem(keywords.get(), handler_key.get()));  // borrowed
  if (!handler) {
    PyErr_SetObject(PyExc_KeyError, handler_key.get());
    return Fail(kInitName, __LINE__);
  }
  if (PyDict_DelItem(keywords.get(), handler_key.get()) < 0 ||
      PyObject_SetAttrString(self.get(), "handler", handler.get()) < 0 ||
      PyObject_SetAttrString(self.get(), "_state", Py_None) < 0) {
    return Fail(kInitName, __LINE__);
  }

  py::Object base_init = BaseClassAttribute("__init__");
  if (!base_init) return Fail(kInitName, __LINE__);
  const Py_ssize_t rest_count = PyTuple_GET_SIZE(rest.get());
  py::Object base_args = py::Object::Steal(PyTuple_New(2 + rest_count));
  py::Object thread_name = py::String("DeviceMonitor");
  if (!base_args || !thread_name) return Fail(kInitName, __LINE__);
  PyTuple_SET_ITEM(base_args.get(), 0, py::Object(self).release());
  PyTuple_SET_ITEM(base_args.get(), 1, thread_name.release());
  for (Py_ssize_t index = 0; index < rest_count; ++index) {
    PyObject* item = PyTuple_GET_ITEM(rest.get(), index);
    Py_INCREF(item);
    PyTuple_SET_ITEM(base_args.get(), 2 + index, item);
  }
  py::Object result = py::Object::Steal(
      PyObject_Call(base_init.get(), base_args.get(), keywords.get()));
  if (!result) return Fail(kInitName, __LINE__);
  Py_RETURN_NONE;
}

// 1 when self.ShouldStop() is true, 0 when not, -1 on error.
int ShouldStop(PyObject* self) {
  py::Object should_stop = py::GetAttr(self, "ShouldStop");
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

PyObject* Run(PyObject* /*unused*/, PyObject* args, PyObject* kwargs) {
  const py::Object self_object = ParseSelf(args, kwargs, "Run");
  if (!self_object) return Fail(kRunName, __LINE__);
  PyObject* self = self_object.get();

  py::Object state = py::Object::Steal(PyObject_CallObject(
      reinterpret_cast<PyObject*>(DeviceMonitorStateType()), nullptr));
  if (!state) return Fail(kRunName, __LINE__);
  // Stored before Configure, so Stop finds it even while it configures.
  if (PyObject_SetAttrString(self, "_state", state.get()) < 0) {
    return Fail(kRunName, __LINE__);
  }
  py::Object arrived = py::GetAttr(self, "Arrived");
  if (!arrived) return Fail(kRunName, __LINE__);
  py::Object removed = py::GetAttr(self, "Removed");
  if (!removed) return Fail(kRunName, __LINE__);
  py::Object stop = py::GetAttr(self, "Stop");
  if (!stop) return Fail(kRunName, __LINE__);
  if (!ConfigureState(state.get(), arrived.get(), removed.get(), stop.get())) {
    return Fail(kRunName, __LINE__);
  }

  const HWND window = StateWindow(state.get());
  py::Object handle_number =
      py::IntFromLong(WindowHandleNumber(window));
  if (!handle_number || PyObject_SetAttrString(self, "_window_handle",
                                               handle_number.get()) < 0) {
    return Fail(kRunName, __LINE__);
  }

  // `state` keeps the window and its callables alive while the pump runs.
  if (!PumpMessages(self, window)) return Fail(kRunName, __LINE__);
  if (!CallLogger("debug", py::String("Done with event loop."))) {
    return Fail(kRunName, __LINE__);
  }
  Py_RETURN_NONE;
}

PyObject* Pause(PyObject* /*unused*/, PyObject* args, PyObject* kwargs) {
  if (!ParseSelf(args, kwargs, "Pause")) {
    return Fail(kPauseName, __LINE__);
  }
  Py_RETURN_NONE;
}

PyObject* Resume(PyObject* /*unused*/, PyObject* args, PyObject* kwargs) {
  if (!ParseSelf(args, kwargs, "Resume")) {
    return Fail(kResumeName, __LINE__);
  }
  Py_RETURN_NONE;
}

PyObject* LogWindowNotFound() {
  if (!CallLogger("info", py::String("Window not found, not notifying it."))) {
    return Fail(kStopName, __LINE__);
  }
  Py_RETURN_NONE;
}

// Records the stop first, then wakes the pump: a woken pump then always
// sees ShouldStop() true. Callable from any thread, the monitor thread
// (through the window's stop property) included.
PyObject* Stop(PyObject* /*unused*/, PyObject* args, PyObject* kwargs) {
  const py::Object self_object = ParseSelf(args, kwargs, "Stop");
  if (!self_object) return Fail(kStopName, __LINE__);
  PyObject* self = self_object.get();
  py::Object base_stop = BaseClassAttribute("Stop");
  if (!base_stop || !py::CallWith(base_stop, py::Handle(self))) {
    return Fail(kStopName, __LINE__);
  }

  py::Object state = py::GetAttr(self, "_state");
  if (!state) return Fail(kStopName, __LINE__);
  const int has_state = PyObject_IsTrue(state.get());
  if (has_state < 0) return Fail(kStopName, __LINE__);
  // Only a DeviceMonitorState has a window to read.
  if (has_state && !PyObject_TypeCheck(state.get(), DeviceMonitorStateType())) {
    PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s",
                 Py_TYPE(state.get())->tp_name,
                 DeviceMonitorStateType()->tp_name);
    return Fail(kStopName, __LINE__);
  }
  // A window gone with its thread may have handed its handle value to
  // another monitor's window, which must not be woken. The handle is read
  // once, here: null before Configure has made the window, and then
  // posted to as it stands.
  const HWND window = has_state ? StateWindow(state.get()) : nullptr;
  if (!has_state || StateWindowGone(state.get())) return LogWindowNotFound();
  if (!CallLogger("info",
                  py::String("Posting stop message to window message "
                             "queue."))) {
    return Fail(kStopName, __LINE__);
  }
  // The log call may have let the window's thread end. No monitor window
  // can take over its handle meanwhile: they are made under the lock this
  // thread holds.
  if (StateWindowGone(state.get())) return LogWindowNotFound();
  // The stop is recorded whether or not the post succeeds, so the pump
  // ends at its next wake-up; a failed post is logged, not raised.
  if (!PostMessageW(window, WM_USER, 0, 0)) {
    const DWORD error = GetLastError();
    py::Object code = py::IntFromLong(static_cast<long>(error));
    if (!code ||
        !CallLogger("error",
                    py::String("Could not post stop message to window "
                               "message queue (error %d); the monitor ends "
                               "at its next wake-up."),
                    code)) {
      return Fail(kStopName, __LINE__);
    }
  }
  Py_RETURN_NONE;
}

constexpr int kMethodFlags = METH_VARARGS | METH_KEYWORDS;

// In declaration order; only the class carries documentation.
PyMethodDef device_monitor_methods[] = {
    {"__init__", py::AsCFunction(py::Guarded<Init>), kMethodFlags, nullptr},
    {"Arrived", py::AsCFunction(py::Guarded<Arrived>), kMethodFlags, nullptr},
    {"Removed", py::AsCFunction(py::Guarded<Removed>), kMethodFlags, nullptr},
    {"Run", py::AsCFunction(py::Guarded<Run>), kMethodFlags, nullptr},
    {"Pause", py::AsCFunction(py::Guarded<Pause>), kMethodFlags, nullptr},
    {"Resume", py::AsCFunction(py::Guarded<Resume>), kMethodFlags, nullptr},
    {"Stop", py::AsCFunction(py::Guarded<Stop>), kMethodFlags, nullptr},
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
  PyObject* names = namespace_dict.get();
  if (PyDict_SetItemString(names, "__module__", module_name.get()) < 0 ||
      PyDict_SetItemString(names, "__qualname__", qualified_name.get()) < 0 ||
      PyDict_SetItemString(names, "__doc__", doc.get()) < 0 ||
      !py::AddMethods(names, device_monitor_methods, module_name)) {
    return py::Object();
  }
  py::Object device_monitor = py::NewClass("DeviceMonitor", bases, names);
  if (!device_monitor ||
      !py::TieMethodsToClass(device_monitor.get(), device_monitor_methods,
                             module_name)) {
    return py::Object();
  }
  return device_monitor;
}

}  // namespace plugwatch
