#include "windows/plugwatch/monitor_state.h"

#include <new>

#include "pyapi/errors.h"
#include "pyapi/exception_barrier.h"
#include "pyapi/function_arguments.h"
#include "pyapi/names.h"
#include "pyapi/object.h"
#include "pyapi/version.h"
#include "windows/plugwatch/module.h"
#include "windows/plugwatch/window_handles.h"
#include "windows/plugwatch/window_thread.h"

namespace plugwatch {
namespace {

constexpr char kConfigureName[] =
    "windows.plugwatch.DeviceMonitorState.Configure";
constexpr char kRegisterName[] =
    "windows.plugwatch._RegisterDeviceMonitorWindowClass";
constexpr char kReduceName[] = "windows.plugwatch.DeviceMonitorState.__reduce__";
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
    0x53F5630D, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};

constexpr char kTeardownName[] = "windows.plugwatch.DeviceMonitorState";

// The window properties in the order they are set and removed.
constexpr const WCHAR* kCallbackProperties[] = {kArriveProperty,
                                                kRemoveProperty, kStopProperty};
constexpr const char* kCallbackPropertyNames[] = {
    "ARRIVE_CALLBACK", "REMOVE_CALLBACK", "STOP_CALLBACK"};
constexpr int kCallbackCount = 3;

struct WindowState {
  MonitorWindow dll_window;
  DeviceNotification notify_handle;
  py::Object arrive_callback = py::Object::None();
  py::Object remove_callback = py::Object::None();
  py::Object stop_callback = py::Object::None();
  // The thread that created dll_window: once it has ended, so has the
  // window, and the handle value may name another window.
  WindowThread window_thread;
  bool window_created = false;
  // Which properties the window may still hold, each naming its callable.
  bool property_set[kCallbackCount] = {};

  py::Object& Callable(int index) {
    return index == 0   ? arrive_callback
           : index == 1 ? remove_callback
                        : stop_callback;
  }
};

// A property that could not be removed, and the error it failed with.
struct StuckProperty {
  int index;
  DWORD error;
};

struct StateObject {
  PyObject_HEAD
  WindowState fields;
};

WindowState& Fields(PyObject* self) {
  return reinterpret_cast<StateObject*>(self)->fields;
}

// The window the state created, while it exists: once the window's thread
// has ended the window is gone and the handle is forgotten unused, since
// its value may by now name another state's window.
HWND LiveWindow(WindowState& state) {
  if (state.dll_window && state.window_thread.Ended()) {
    state.dll_window.release();
    for (bool& set : state.property_set) set = false;
  }
  return state.dll_window.get();
}

// The properties name the callables without holding them: they come off
// the window before any path releases the callables, and the window
// procedure reads them only while it holds the interpreter lock, so it
// never finds a released object. Fills `stuck` with the properties that
// are still set; returns how many.
int RemoveCallbackProperties(WindowState& state, HWND window,
                             StuckProperty (&stuck)[kCallbackCount]) {
  LastErrorKeeper keep;
  int stuck_count = 0;
  for (int index = 0; index < kCallbackCount; ++index) {
    if (RemovePropW(window, kCallbackProperties[index]) != nullptr) {
      state.property_set[index] = false;
    } else if (state.property_set[index]) {
      stuck[stuck_count++] = {index, GetLastError()};
    }
  }
  return stuck_count;
}

// A callable that a property still names is never released: the window
// would name freed memory. The reference is kept for good instead (a
// bounded leak) and the failure logged.
void KeepStuckCallables(WindowState& state, const StuckProperty* stuck,
                        int stuck_count) {
  for (int item = 0; item < stuck_count; ++item) {
    py::Object& callable = state.Callable(stuck[item].index);
    callable.release();
    callable = py::Object::None();
  }
  for (int item = 0; item < stuck_count; ++item) {
    py::ExceptionStash pending;
    py::Object code = py::IntFromLong(static_cast<long>(stuck[item].error));
    if (!code ||
        !CallLogger("error",
                    py::String("Could not remove window property %s "
                               "(error %d); its callable is kept."),
                    py::String(kCallbackPropertyNames[stuck[item].index]),
                    code)) {
      py::WriteUnraisable(kTeardownName);
    }
  }
}

bool Failed(int line) {
  Fail(kConfigureName, line);
  return false;
}

// One window per state: a second window would be left behind with
// properties naming callables that this state no longer keeps.
bool CheckNotConfigured(const WindowState& state, int line) {
  if (!state.dll_window) return true;
  PyErr_SetString(PyExc_RuntimeError, kAlreadyConfigured);
  return Failed(line);
}

// Construction takes no arguments. A subclass that defines __init__ takes
// what its __init__ takes, as a subclass of object does: the check lives in
// the type's own __init__, which such a subclass replaces.
int InitState(PyObject*, PyObject* args, PyObject* kwargs) {
  const Py_ssize_t given = PyTuple_GET_SIZE(args) +
                           (kwargs != nullptr ? PyDict_Size(kwargs) : 0);
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

// Teardown: unregister, take the properties off, destroy the window, and
// only then release the callables. From a thread other than the window's,
// DestroyWindow fails and the window stays until its thread ends; it has no
// properties left, so nothing can reach the released callables through it.
// A window whose thread has ended is gone already and is not touched.
void DeallocState(PyObject* self) {
  PyObject_GC_UnTrack(self);
  WindowState& state = Fields(self);
  StuckProperty stuck[kCallbackCount];
  int stuck_count = 0;
  {
    py::ExceptionStash pending;
    state.notify_handle.reset();
    if (const HWND window = LiveWindow(state)) {
      stuck_count = RemoveCallbackProperties(state, window, stuck);
      // Destroyed, the window holds no property any more.
      if (DestroyWindow(state.dll_window.release())) stuck_count = 0;
    }
  }
  KeepStuckCallables(state, stuck, stuck_count);
  state.arrive_callback.reset();
  state.remove_callback.reset();
  state.stop_callback.reset();
  state.~WindowState();
  Py_TYPE(self)->tp_free(self);
}

int TraverseState(PyObject* self, visitproc visit, void* arg) {
  WindowState& state = Fields(self);
  Py_VISIT(state.arrive_callback.get());
  Py_VISIT(state.remove_callback.get());
  Py_VISIT(state.stop_callback.get());
  return 0;
}

// Breaks the monitor -> state -> bound method -> monitor cycle. The window
// and its registration stay until teardown.
int ClearState(PyObject* self) {
  WindowState& state = Fields(self);
  StuckProperty stuck[kCallbackCount];
  int stuck_count = 0;
  if (const HWND window = LiveWindow(state)) {
    stuck_count = RemoveCallbackProperties(state, window, stuck);
  }
  KeepStuckCallables(state, stuck, stuck_count);
  state.arrive_callback = py::Object::None();
  state.remove_callback = py::Object::None();
  state.stop_callback = py::Object::None();
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
    return Fail(kConfigureName, __LINE__);
  }
  // Owned for the call: the class registration, looked up by name, may run
  // host code that empties the caller's keyword dictionary.
  const py::Object arrive_held = py::Object::Borrow(arrive);
  const py::Object remove_held = py::Object::Borrow(remove);
  const py::Object stop_held = py::Object::Borrow(stop);
  if (!ConfigureState(self, arrive_held.get(), remove_held.get(),
                      stop_held.get())) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* RegisterWindowClass(PyObject* /*module*/, PyObject* /*unused*/) {
  if (RegisterClassExW(&Module().window_class) != 0) Py_RETURN_NONE;
  const DWORD error = GetLastError();
  if (error == ERROR_CLASS_ALREADY_EXISTS) Py_RETURN_NONE;
  RaiseWindowsErrorWithMessage(error, "Error registering device monitor class");
  return Fail(kRegisterName, __LINE__);
}

PyObject* RefusePickling(const char* qualified_name, int line) {
  PyErr_SetString(Module().type_error, kPicklingRefused);
  return Fail(qualified_name, line);
}

PyObject* Reduce(PyObject* /*self*/, PyObject* /*unused*/) {
  return RefusePickling(kReduceName, __LINE__);
}

PyObject* SetState(PyObject* /*self*/, PyObject* /*state*/) {
  return RefusePickling(kSetStateName, __LINE__);
}

PyMethodDef state_methods[] = {
    {"Configure", py::AsCFunction(py::Guarded<ConfigureMethod>),
     METH_VARARGS | METH_KEYWORDS, kConfigureDoc},
    {"__reduce__", py::Guarded<Reduce>, METH_NOARGS, nullptr},
    {"__setstate__", py::Guarded<SetState>, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr}};

PyMethodDef register_method = {"_RegisterDeviceMonitorWindowClass",
                               py::Guarded<RegisterWindowClass>, METH_NOARGS,
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

bool ConfigureState(PyObject* self, PyObject* arrive, PyObject* remove,
                    PyObject* stop) {
  WindowState& state = Fields(self);
  if (!CheckNotConfigured(state, __LINE__)) return false;

  py::Object register_class = py::LookupGlobal(
      Module().globals, "_RegisterDeviceMonitorWindowClass");
  if (!register_class) return Failed(__LINE__);
  if (!py::CallWith(register_class)) return Failed(__LINE__);
  // The registration is looked up by name and may run any code, this
  // state's own Configure included.
  if (!CheckNotConfigured(state, __LINE__)) return false;

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
    return Failed(__LINE__);
  }
  state.window_created = true;
  const HWND window = state.dll_window.get();

  state.arrive_callback = py::Object::Borrow(arrive);
  state.remove_callback = py::Object::Borrow(remove);
  state.stop_callback = py::Object::Borrow(stop);

  PyObject* const callables[kCallbackCount] = {arrive, remove, stop};
  for (int index = 0; index < kCallbackCount; ++index) {
    if (!SetPropW(window, kCallbackProperties[index], callables[index])) {
      RaiseLastWindowsError();
      return Failed(__LINE__);
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
    return Failed(__LINE__);
  }
  return true;
}

HWND StateWindow(PyObject* state) { return LiveWindow(Fields(state)); }

bool StateWindowGone(PyObject* state) {
  WindowState& fields = Fields(state);
  return fields.window_created && !LiveWindow(fields);
}

}  // namespace plugwatch
