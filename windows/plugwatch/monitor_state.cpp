#include "windows/plugwatch/monitor_state.h"

#include <new>

#include "pyapi/errors.h"
#include "pyapi/exception_barrier.h"
#include "pyapi/function_arguments.h"
#include "pyapi/names.h"
#include "pyapi/object.h"
#include "windows/plugwatch/module.h"
#include "windows/plugwatch/window_state.h"

namespace plugwatch {
namespace {

constexpr char kConfigureName[] =
    "windows.plugwatch.DeviceMonitorState.Configure";
constexpr char kRegisterName[] =
    "windows.plugwatch._RegisterDeviceMonitorWindowClass";
constexpr char kReduceName[] =
    "windows.plugwatch.DeviceMonitorState.__reduce__";
constexpr char kSetStateName[] =
    "windows.plugwatch.DeviceMonitorState.__setstate__";

constexpr char kStateDoc[] =
    "Manages the lifecycle of our window instance and related things.\n"
    "\n"
    "At the end of the object's lifetime, the notification handle is\n"
    "unregistered, the callbacks are unset from the window, and the window\n"
    "itself is destroyed.\n";
constexpr char kConfigureDoc[] =
    "Creates the window, notification handle, and sets callbacks.\n"
    "\n"
    "Args:\n"
    "  arrive: A callable accepting a string representing the arriving "
    "path.\n"
    "  remove: A callable accepting a string representing the removed "
    "path.\n"
    "  stop: A callable of no arguments that will end the monitor thread.\n"
    "\n"
    "Raises:\n"
    "  WindowsError: If an error occurs.\n";
constexpr char kRegisterDoc[] =
    "Registers the device monitor window class for use, if not already.";
constexpr char kPicklingRefused[] =
    "self.dll_window,self.notify_handle cannot be converted to a Python "
    "object for pickling";
constexpr char kAlreadyConfigured[] =
    "DeviceMonitorState is already configured; a state owns one window.";

// GUID_DEVINTERFACE_VOLUME, {53F5630D-B6BF-11D0-94F2-00A0C91EFB8B}.
constexpr GUID kVolumeInterfaceClass = {
    0x53F5630D,
    0xB6BF,
    0x11D0,
    {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};

struct StateObject {
  PyObject_HEAD WindowState fields;
};

WindowState& Fields(PyObject* self) {
  return reinterpret_cast<StateObject*>(self)->fields;
}

// One window per state: a second window would be left behind with
// properties naming callables that this state no longer keeps.
bool CheckNotConfigured(const WindowState& state) {
  if (!state.dll_window) return true;
  PyErr_SetString(PyExc_RuntimeError, kAlreadyConfigured);
  return false;
}

// Construction takes no arguments. A subclass that defines __init__ takes
// what its __init__ takes, as a subclass of object does: the check lives in
// the type's own __init__, which such a subclass replaces.
int InitState(PyObject*, PyObject* args, PyObject* kwargs) {
  const Py_ssize_t given =
      PyTuple_GET_SIZE(args) + (kwargs != nullptr ? PyDict_Size(kwargs) : 0);
  if (given == 0) return 0;
  PyErr_Format(PyExc_TypeError,
               "DeviceMonitorState() takes no arguments (%d given)",
               static_cast<int>(given));
  return -1;
}

PyObject* NewState(PyTypeObject* type, PyObject*, PyObject*) {
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  new (&Fields(self)) WindowState();
  return self;
}

bool Configure(PyObject* self, PyObject* arrive, PyObject* remove,
               PyObject* stop) {
  WindowState& state = Fields(self);
  if (!CheckNotConfigured(state)) return false;

  py::Object register_class = Global(names::register_window_class);
  if (!register_class || !py::CallWith(register_class)) return false;
  // The registration is looked up by name and may run any code, this
  // state's own Configure included.
  if (!CheckNotConfigured(state)) return false;

  // The instance the class was registered with, which the system uses to
  // find the class: the module's handle, or null if the load could not
  // obtain it.
  const HINSTANCE instance = Module().window_class.hInstance;
  state.window_thread = WindowThread::Current();
  // A top-level window (no parent, not HWND_MESSAGE): only those receive
  // the system's volume broadcasts. Style 0 keeps it invisible.
  state.dll_window.reset(CreateWindowExW(
      0, kWindowClassName, nullptr, 0, CW_USEDEFAULT, CW_USEDEFAULT,
      CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance, nullptr));
  if (!state.dll_window) {
    RaiseLastWindowsError();
    return false;
  }
  state.window_created = true;
  const HWND window = state.dll_window.get();

  PyObject* const callables[kCallbackCount] = {arrive, remove, stop};
  for (int index = 0; index < kCallbackCount; ++index) {
    state.callables[index] = py::Object::Borrow(callables[index]);
  }
  for (int index = 0; index < kCallbackCount; ++index) {
    if (!SetPropW(window, kCallbackProperties[index], callables[index])) {
      RaiseLastWindowsError();
      return false;
    }
    state.property_set[index] = true;
  }

  DEV_BROADCAST_DEVICEINTERFACE_W filter = {};
  filter.dbcc_size = sizeof(filter);
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_reserved = 0;
  filter.dbcc_classguid = kVolumeInterfaceClass;
  filter.dbcc_name[0] = 0;
  state.notify_handle.reset(RegisterDeviceNotificationW(
      window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE));
  if (!state.notify_handle) {
    RaiseLastWindowsError();
    return false;
  }
  return true;
}

void DeallocState(PyObject* self) {
  PyObject_GC_UnTrack(self);
  WindowState& state = Fields(self);
  TearDown(state);
  state.~WindowState();
  Py_TYPE(self)->tp_free(self);
}

int TraverseState(PyObject* self, visitproc visit, void* arg) {
  for (const py::Object& callable : Fields(self).callables) {
    Py_VISIT(callable.get());
  }
  return 0;
}

int ClearState(PyObject* self) {
  ReleaseCallables(Fields(self));
  return 0;
}

PyObject* ConfigureMethod(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"arrive", "remove", "stop", nullptr};
  PyObject* arrive = nullptr;
  PyObject* remove = nullptr;
  PyObject* stop = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:Configure",
                                   const_cast<char**>(keywords), &arrive,
                                   &remove, &stop)) {
    return nullptr;
  }
  // Owned for the call: the class registration, looked up by name, may run
  // host code that empties the caller's keyword dictionary.
  const py::Object arrive_held = py::Object::Borrow(arrive);
  const py::Object remove_held = py::Object::Borrow(remove);
  const py::Object stop_held = py::Object::Borrow(stop);
  if (!Configure(self, arrive_held.get(), remove_held.get(), stop_held.get())) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* RegisterWindowClass(PyObject* /*module*/, PyObject* /*unused*/) {
  if (RegisterClassExW(&Module().window_class) != 0) Py_RETURN_NONE;
  const DWORD error = GetLastError();
  if (error == ERROR_CLASS_ALREADY_EXISTS) Py_RETURN_NONE;
  return RaiseWindowsErrorWithMessage(error,
                                      "Error registering device monitor class");
}

PyObject* RefusePickling() {
  PyErr_SetString(Module().type_error, kPicklingRefused);
  return nullptr;
}

PyObject* Reduce(PyObject* /*self*/, PyObject* /*unused*/) {
  return RefusePickling();
}

PyObject* SetState(PyObject* /*self*/, PyObject* /*state*/) {
  return RefusePickling();
}

PyMethodDef state_methods[] = {
    {"Configure",
     py::AsCFunction(py::Guarded<Traced<ConfigureMethod, kConfigureName>>),
     METH_VARARGS | METH_KEYWORDS, kConfigureDoc},
    {"__reduce__", py::Guarded<Traced<Reduce, kReduceName>>, METH_NOARGS,
     nullptr},
    {"__setstate__", py::Guarded<Traced<SetState, kSetStateName>>, METH_O,
     nullptr},
    {nullptr, nullptr, 0, nullptr}};

PyMethodDef register_method = {
    "_RegisterDeviceMonitorWindowClass",
    py::Guarded<Traced<RegisterWindowClass, kRegisterName>>, METH_NOARGS,
    kRegisterDoc};

PyTypeObject MakeStateType() {
  PyTypeObject type{};
  // The one reference PyVarObject_HEAD_INIT gives a static type.
  Py_INCREF(&type);
  type.tp_name = "windows.plugwatch.DeviceMonitorState";
  type.tp_basicsize = sizeof(StateObject);
  type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
  type.tp_doc = kStateDoc;
  type.tp_new = py::Guarded<NewState>;
  type.tp_init = InitState;
  type.tp_dealloc = DeallocState;
  type.tp_traverse = TraverseState;
  type.tp_clear = ClearState;
  type.tp_methods = state_methods;
  return type;
}

}  // namespace

PyTypeObject* DeviceMonitorStateType() {
  static PyTypeObject type = MakeStateType();
  return &type;
}

PyMethodDef* RegisterWindowClassMethod() { return &register_method; }

bool ConfigureState(PyObject* state, PyObject* arrive, PyObject* remove,
                    PyObject* stop) {
  return py::Traced(Configure(state, arrive, remove, stop), kConfigureName,
                    kTracebackSource);
}

HWND StateWindow(PyObject* state) { return LiveWindow(Fields(state)); }

bool StateWindowGone(PyObject* state) {
  WindowState& fields = Fields(state);
  return fields.window_created && !LiveWindow(fields);
}

}  // namespace plugwatch
