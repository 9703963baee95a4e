// The window manager as tests see it: live windows, classes, open objects,
// and messages sent or posted to windows of any thread.
#include <Python.h>

#include "pyapi/gil.h"
#include "pyapi/function_arguments.h"
#include "pyapi/object.h"
#include "simwin/control.h"
#include "simwin/python/arguments.h"
#include "simwin/python/module.h"
#include "win32/win32.h"

namespace simwin_module {
namespace {

bool SetItem(PyObject* dict, const char* key, const py::Object& value) {
  return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

py::Object WindowDict(const simwin::WindowInfo& window) {
  py::Object props = py::Object::Steal(PyDict_New());
  if (!props) return py::Object();
  for (const auto& prop : window.props) {
    py::Object name = UnicodeFromWString(prop.first);
    py::Object value = IntFromUnsigned(prop.second);
    if (!name || !value ||
        PyDict_SetItem(props.get(), name.get(), value.get()) != 0) {
      return py::Object();
    }
  }
  py::Object notifications = py::Object::Steal(
      PyList_New(static_cast<Py_ssize_t>(window.notifications.size())));
  if (!notifications) return py::Object();
  Py_ssize_t index = 0;
  for (uint64_t notification : window.notifications) {
    py::Object value = IntFromUnsigned(notification);
    if (!value) return py::Object();
    PyList_SET_ITEM(notifications.get(), index++, value.release());
  }
  py::Object dict = py::Object::Steal(PyDict_New());
  if (!dict || !SetItem(dict.get(), "hwnd", IntFromUnsigned(window.hwnd)) ||
      !SetItem(dict.get(), "class", UnicodeFromWString(window.class_name)) ||
      !SetItem(dict.get(), "thread", IntFromUnsigned(window.thread)) ||
      !SetItem(dict.get(), "props", props) ||
      !SetItem(dict.get(), "notifications", notifications)) {
    return py::Object();
  }
  return dict;
}

PyDoc_STRVAR(
    kWindowsDoc,
    "windows() -> list of dicts\n\n"
    "The live windows, each a dict with hwnd, class (unicode), thread (the "
    "owner\nthread as current_thread() reports it), props (dict of "
    "property name to\nvalue, unicode to int) and notifications (the "
    "device-notification handles\nthe window holds).");

PyObject* Windows(PyObject*, PyObject*) {
  const std::vector<simwin::WindowInfo> windows = simwin::Windows();
  py::Object list =
      py::Object::Steal(PyList_New(static_cast<Py_ssize_t>(windows.size())));
  if (!list) return nullptr;
  Py_ssize_t index = 0;
  for (const simwin::WindowInfo& window : windows) {
    py::Object dict = WindowDict(window);
    if (!dict) return nullptr;
    PyList_SET_ITEM(list.get(), index++, dict.release());
  }
  return list.release();
}

PyDoc_STRVAR(kClassesDoc,
             "classes() -> list of unicode\n\n"
             "The names of the registered window classes.");

PyObject* Classes(PyObject*, PyObject*) {
  const std::vector<simwin::WString> classes = simwin::Classes();
  py::Object list =
      py::Object::Steal(PyList_New(static_cast<Py_ssize_t>(classes.size())));
  if (!list) return nullptr;
  Py_ssize_t index = 0;
  for (const simwin::WString& name : classes) {
    py::Object item = UnicodeFromWString(name);
    if (!item) return nullptr;
    PyList_SET_ITEM(list.get(), index++, item.release());
  }
  return list.release();
}

PyDoc_STRVAR(kCurrentThreadDoc,
             "current_thread() -> int\n\n"
             "The calling thread's id as windows() reports it.");

PyObject* CurrentThread(PyObject*, PyObject*) {
  return IntFromUnsigned(simwin::CurrentThread()).release();
}

PyDoc_STRVAR(kNextWindowHandleDoc,
             "next_window_handle(value)\n\n"
             "The next window created gets the handle `value` (any 64-bit "
             "value).");

PyObject* NextWindowHandle(PyObject*, PyObject* value) {
  uint64_t handle = 0;
  if (!ToMachineWord(value, "value", &handle)) return nullptr;
  simwin::NextWindowHandle(handle);
  Py_RETURN_NONE;
}

PyDoc_STRVAR(
    kOpenObjectsDoc,
    "open_objects() -> dict\n\n"
    "Counts of what is open now: volume_searches, file_handles, windows,\n"
    "notifications and props.");

PyObject* OpenObjects(PyObject*, PyObject*) {
  const simwin::OpenObjects open = simwin::CountOpenObjects();
  py::Object dict = py::Object::Steal(PyDict_New());
  if (!dict ||
      !SetItem(dict.get(), "volume_searches",
               IntFromSigned(open.volume_searches)) ||
      !SetItem(dict.get(), "file_handles", IntFromSigned(open.file_handles)) ||
      !SetItem(dict.get(), "windows", IntFromSigned(open.windows)) ||
      !SetItem(dict.get(), "notifications",
               IntFromSigned(open.notifications)) ||
      !SetItem(dict.get(), "props", IntFromSigned(open.props))) {
    return nullptr;
  }
  return dict.release();
}

// hwnd, msg and the two message parameters, as send and post take them.
struct MessageArguments {
  uint64_t hwnd = 0;
  uint32_t msg = 0;
  uint64_t wparam = 0;
  uint64_t lparam = 0;
};

bool ParseMessage(PyObject* hwnd, PyObject* msg, PyObject* wparam,
                  PyObject* lparam, MessageArguments* message) {
  return ToMachineWord(hwnd, "hwnd", &message->hwnd) &&
         ToUInt32(msg, "msg", &message->msg) &&
         (wparam == nullptr ||
          ToMachineWord(wparam, "wparam", &message->wparam)) &&
         (lparam == nullptr ||
          ToMachineWord(lparam, "lparam", &message->lparam));
}

PyDoc_STRVAR(
    kSendMessageDoc,
    "send_message(hwnd, msg, wparam=0, lparam=0, timeout=5.0) -> int\n\n"
    "Sends the message as SendMessageW does and returns the window "
    "procedure's\nresult (the LRESULT, signed). For a window of another "
    "thread it waits,\nwithout the interpreter lock, until that thread "
    "processes the message;\nafter `timeout` seconds it raises "
    "simwin.Timeout. ValueError for an\nunknown window.");

PyObject* SendMessage(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"hwnd",   "msg",     "wparam",
                                   "lparam", "timeout", nullptr};
  PyObject* hwnd = nullptr;
  PyObject* msg = nullptr;
  PyObject* wparam = nullptr;
  PyObject* lparam = nullptr;
  PyObject* timeout_object = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|OOO:send_message",
                                   const_cast<char**>(keywords), &hwnd, &msg,
                                   &wparam, &lparam, &timeout_object)) {
    return nullptr;
  }
  MessageArguments message;
  double timeout = 5.0;
  if (!ParseMessage(hwnd, msg, wparam, lparam, &message) ||
      (timeout_object != nullptr && !ToTimeout(timeout_object, &timeout))) {
    return nullptr;
  }
  simwin::SendOutcome outcome;
  {
    py::GilReleased unlocked;
    outcome = simwin::SendMessageWithTimeout(
        ToWindow(message.hwnd), message.msg,
        static_cast<WPARAM>(message.wparam),
        static_cast<LPARAM>(message.lparam), timeout);
  }
  return SendResult(outcome, message.hwnd, "send_message", timeout).release();
}

PyDoc_STRVAR(
    kPostMessageDoc,
    "post_message(hwnd, msg, wparam=0, lparam=0)\n\n"
    "Posts the message with PostMessageW (hwnd 0: a thread message to the "
    "calling\nthread) and returns at once. ValueError for an unknown "
    "window; OSError\nwith the Win32 error code for any other failure. The "
    "call is recorded\nlike any other PostMessageW.");

PyObject* PostMessage(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"hwnd", "msg", "wparam", "lparam",
                                   nullptr};
  PyObject* hwnd = nullptr;
  PyObject* msg = nullptr;
  PyObject* wparam = nullptr;
  PyObject* lparam = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|OO:post_message",
                                   const_cast<char**>(keywords), &hwnd, &msg,
                                   &wparam, &lparam)) {
    return nullptr;
  }
  MessageArguments message;
  if (!ParseMessage(hwnd, msg, wparam, lparam, &message)) return nullptr;
  if (PostMessageW(ToWindow(message.hwnd), message.msg,
                   static_cast<WPARAM>(message.wparam),
                   static_cast<LPARAM>(message.lparam))) {
    Py_RETURN_NONE;
  }
  return RaiseWindowFailure("PostMessageW", message.hwnd, GetLastError());
}

PyDoc_STRVAR(
    kSendDeviceChangeDoc,
    "send_device_change(hwnd, event, devicetype=2, unitmask=0, "
    "null_lparam=False,\n                   timeout=5.0) -> int\n\n"
    "Sends WM_DEVICECHANGE with `event` as wParam and, as lParam, a\n"
    "DEV_BROADCAST_VOLUME with `unitmask` (devicetype 2), a volume-interface\n"
    "DEV_BROADCAST_DEVICEINTERFACE_W (devicetype 5), a bare "
    "DEV_BROADCAST_HDR\n(any other devicetype), or null (null_lparam). "
    "Returns the window procedure's result; waits and "
    "fails as send_message.");

PyObject* SendDeviceChange(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"hwnd",        "event",   "devicetype",
                                   "unitmask",    "null_lparam",
                                   "timeout",     nullptr};
  PyObject* hwnd_object = nullptr;
  PyObject* event_object = nullptr;
  PyObject* devicetype_object = nullptr;
  PyObject* unitmask_object = nullptr;
  PyObject* null_lparam_object = nullptr;
  PyObject* timeout_object = nullptr;
  if (!PyArg_ParseTupleAndKeywords(
          args, kwargs, "OO|OOOO:send_device_change",
          const_cast<char**>(keywords), &hwnd_object, &event_object,
          &devicetype_object, &unitmask_object, &null_lparam_object,
          &timeout_object)) {
    return nullptr;
  }
  uint64_t hwnd = 0;
  uint64_t event = 0;
  uint32_t devicetype = DBT_DEVTYP_VOLUME;
  uint32_t unitmask = 0;
  double timeout = 5.0;
  if (!ToMachineWord(hwnd_object, "hwnd", &hwnd) ||
      !ToMachineWord(event_object, "event", &event) ||
      (devicetype_object != nullptr &&
       !ToUInt32(devicetype_object, "devicetype", &devicetype)) ||
      (unitmask_object != nullptr &&
       !ToUInt32(unitmask_object, "unitmask", &unitmask)) ||
      (timeout_object != nullptr && !ToTimeout(timeout_object, &timeout))) {
    return nullptr;
  }
  const int null_lparam =
      null_lparam_object != nullptr ? PyObject_IsTrue(null_lparam_object) : 0;
  if (null_lparam < 0) return nullptr;
  simwin::SendOutcome outcome;
  {
    py::GilReleased unlocked;
    outcome = simwin::SendDeviceChange(ToWindow(hwnd),
                                       static_cast<WPARAM>(event), devicetype,
                                       unitmask, null_lparam != 0, timeout);
  }
  return SendResult(outcome, hwnd, "send_device_change", timeout).release();
}

}  // namespace

PyMethodDef kWindowFunctions[] = {
    {"windows", Windows, METH_NOARGS, kWindowsDoc},
    {"classes", Classes, METH_NOARGS, kClassesDoc},
    {"current_thread", CurrentThread, METH_NOARGS, kCurrentThreadDoc},
    {"next_window_handle", NextWindowHandle, METH_O, kNextWindowHandleDoc},
    {"open_objects", OpenObjects, METH_NOARGS, kOpenObjectsDoc},
    {"send_message", py::AsCFunction(SendMessage),
     METH_VARARGS | METH_KEYWORDS, kSendMessageDoc},
    {"post_message", py::AsCFunction(PostMessage),
     METH_VARARGS | METH_KEYWORDS, kPostMessageDoc},
    {"send_device_change", py::AsCFunction(SendDeviceChange),
     METH_VARARGS | METH_KEYWORDS, kSendDeviceChangeDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace simwin_module
