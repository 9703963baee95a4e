// Test helpers: windows owned by Python threads.
//
// Python cannot create windows by itself, so these helpers make the Win32
// calls a window's owner makes: create a window whose procedure calls a
// Python handler, pump the calling thread's messages, set properties,
// register for volume notifications, destroy. Every call is recorded like
// any other Win32 call.
#include <Python.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "pyapi/errors.h"
#include "pyapi/gil.h"
#include "pyapi/function_arguments.h"
#include "pyapi/object.h"
#include "pyapi/version.h"
#include "simwin/control.h"
#include "simwin/python/arguments.h"
#include "simwin/python/module.h"
#include "win32/win32.h"

namespace simwin_module {
namespace {

// hwnd -> the Python handler of a test window. Touched only with the
// interpreter lock held. Never destroyed: window procedures may run while
// the process exits.
std::unordered_map<uint64_t, py::Object>& Handlers() {
  static auto* handlers = new std::unordered_map<uint64_t, py::Object>();
  return *handlers;
}

// The window being created by this thread's create_window, as WM_NCCREATE
// names it, so a failed creation can drop its handler.
thread_local uint64_t window_being_created = 0;

// Calls the handler; false when there is none or it left the message to
// DefWindowProcW (returned None or failed).
bool CallHandler(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam,
                 LRESULT* result) {
  const uint64_t key = FromWindow(hwnd);
  if (msg == WM_NCCREATE) {
    window_being_created = key;
    const auto* creation = reinterpret_cast<const CREATESTRUCTW*>(lparam);
    if (creation != nullptr && creation->lpCreateParams != nullptr) {
      Handlers()[key] = py::Object::Borrow(
          static_cast<PyObject*>(creation->lpCreateParams));
    }
  }
  auto found = Handlers().find(key);
  if (found == Handlers().end()) return false;
  py::Object handler = found->second;  // survives its own erasure below
  if (msg == WM_NCDESTROY) Handlers().erase(found);
  py::Object answer = py::CallWith(
      handler, IntFromUnsigned(key), IntFromUnsigned(msg),
      IntFromUnsigned(wparam), IntFromSigned(lparam));
  uint64_t word = 0;
  if (answer && answer.get() == Py_None) return false;
  if (answer && ToMachineWord(answer.get(), "the handler's result", &word)) {
    *result = static_cast<LRESULT>(word);
    return true;
  }
  py::WriteUnraisable("simwin test window procedure");
  return false;
}

LRESULT CALLBACK TestWindowProcedure(HWND hwnd, UINT msg, WPARAM wparam,
                                     LPARAM lparam) {
  // Windows of the main thread are destroyed when the process ends, after
  // the interpreter is gone.
  if (Py_IsInitialized()) {
    py::GilHeld locked;
    LRESULT result = 0;
    if (CallHandler(hwnd, msg, wparam, lparam, &result)) return result;
  }
  return DefWindowProcW(hwnd, msg, wparam, lparam);
}

HINSTANCE ThisModule() {
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                         GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&TestWindowProcedure), &module);
  return module;
}

PyDoc_STRVAR(
    kCreateWindowDoc,
    "create_window(class_name, handler=None, message_only=False) -> hwnd\n\n"
    "Test helper: registers the window class `class_name` (unless it "
    "exists)\nwith a test window procedure and creates a window of it on "
    "the calling\nthread. The procedure calls handler(hwnd, msg, wparam, "
    "lparam) for every\nmessage, creation messages included; an int result "
    "is the LRESULT, None\nleaves the message to DefWindowProcW. A "
    "message-only window gets no\nbroadcasts. The window lives until "
    "destroy_window, the end of its thread,\nor reset(). OSError with the "
    "Win32 error code when creation fails.");

PyObject* CreateWindow(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"class_name", "handler", "message_only",
                                   nullptr};
  PyObject* class_object = nullptr;
  PyObject* handler = Py_None;
  PyObject* message_only_object = Py_False;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OO:create_window",
                                   const_cast<char**>(keywords),
                                   &class_object, &handler,
                                   &message_only_object)) {
    return nullptr;
  }
  // Owned for the whole call: the truth test of message_only and the
  // handler run host code, which may empty the caller's keyword dictionary.
  const py::Object owned_class = py::Object::Borrow(class_object);
  const py::Object owned_handler = py::Object::Borrow(handler);
  simwin::WString class_name;
  if (!ToWString(class_object, "class_name", &class_name)) return nullptr;
  if (handler != Py_None && !PyCallable_Check(handler)) {
    PyErr_SetString(PyExc_TypeError, "handler must be callable or None");
    return nullptr;
  }
  const int message_only = PyObject_IsTrue(message_only_object);
  if (message_only < 0) return nullptr;

  const HINSTANCE instance = ThisModule();
  WNDCLASSEXW window_class = {};
  window_class.cbSize = sizeof window_class;
  window_class.lpfnWndProc = TestWindowProcedure;
  window_class.hInstance = instance;
  window_class.lpszClassName = class_name.c_str();
  if (RegisterClassExW(&window_class) == 0 &&
      GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
    return RaiseWin32Failure("RegisterClassExW", GetLastError());
  }
  window_being_created = 0;
  HWND hwnd = CreateWindowExW(
      0, class_name.c_str(), class_name.c_str(), 0, 0, 0, 0, 0,
      message_only ? HWND_MESSAGE : nullptr, nullptr, instance,
      handler != Py_None ? handler : nullptr);
  const DWORD error = GetLastError();
  const uint64_t created = window_being_created;
  window_being_created = 0;
  if (hwnd == nullptr) {
    if (created != 0 && !IsWindow(ToWindow(created))) {
      Handlers().erase(created);
    }
    return RaiseWin32Failure("CreateWindowExW", error);
  }
  const uint64_t key = FromWindow(hwnd);
  if (handler != Py_None && Handlers().count(key) == 0) {
    DestroyWindow(hwnd);
    py::Object shown = py::Object::Steal(PyObject_Repr(class_object));
    if (!shown || py::StrText(shown.get()) == nullptr) return nullptr;
    PyErr_Format(PyExc_ValueError,
                 "window class %.200s has another window procedure; its "
                 "windows cannot take a handler",
                 py::StrText(shown.get()));
    return nullptr;
  }
  return IntFromUnsigned(key).release();
}

PyDoc_STRVAR(kDestroyWindowDoc,
             "destroy_window(hwnd)\n\n"
             "Test helper: DestroyWindow. ValueError for an unknown window, "
             "OSError\nwith the Win32 error code for any other failure (such "
             "as a window of\nanother thread).");

PyObject* DestroyTestWindow(PyObject*, PyObject* hwnd_object) {
  uint64_t hwnd = 0;
  if (!ToMachineWord(hwnd_object, "hwnd", &hwnd)) return nullptr;
  if (!DestroyWindow(ToWindow(hwnd))) {
    return RaiseWindowFailure("DestroyWindow", hwnd, GetLastError());
  }
  Py_RETURN_NONE;
}

// Posts a WM_NULL thread message to `thread` at the deadline unless
// cancelled first, so a bounded pump can wait in WaitMessage.
class WakeUpCall {
 public:
  WakeUpCall(DWORD thread, double seconds)
      : waker_([this, thread, seconds] {
          std::unique_lock<std::mutex> lock(mutex_);
          if (!cancelled_.wait_for(
                  lock, std::chrono::duration<double>(seconds),
                  [this] { return cancel_; })) {
            PostThreadMessageW(thread, WM_NULL, 0, 0);
          }
        }) {}
  ~WakeUpCall() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      cancel_ = true;
    }
    cancelled_.notify_one();
    waker_.join();
  }
  WakeUpCall(const WakeUpCall&) = delete;
  WakeUpCall& operator=(const WakeUpCall&) = delete;

 private:
  std::mutex mutex_;
  std::condition_variable cancelled_;
  bool cancel_ = false;
  std::thread waker_;  // last: starts once the members above exist
};

// Dispatches what is queued; true when WM_QUIT was taken.
bool DispatchQueued(long* dispatched) {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (message.message == WM_QUIT) return true;
    if (message.hwnd == nullptr) continue;  // thread messages: no window
    TranslateMessage(&message);
    DispatchMessageW(&message);
    ++*dispatched;
  }
  return false;
}

PyDoc_STRVAR(
    kPumpDoc,
    "pump(timeout=0.0) -> int\n\n"
    "Test helper: runs the calling thread's message loop "
    "(PeekMessageW with\nPM_REMOVE, TranslateMessage, DispatchMessageW) "
    "until the queue is empty,\nthen, while `timeout` seconds have not "
    "passed, waits for more (WaitMessage)\nand goes on. Messages sent from "
    "other threads are processed meanwhile.\nReturns early when WM_QUIT "
    "is taken. Thread messages are taken but not\ndispatched. Returns "
    "how many messages were dispatched. The interpreter\nlock is released "
    "except while handlers run.");

PyObject* Pump(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"timeout", nullptr};
  PyObject* timeout_object = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:pump",
                                   const_cast<char**>(keywords),
                                   &timeout_object)) {
    return nullptr;
  }
  double timeout = 0.0;
  if (timeout_object != nullptr && !ToTimeout(timeout_object, &timeout)) {
    return nullptr;
  }
  long dispatched = 0;
  {
    py::GilReleased unlocked;
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<
                              std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(timeout));
    if (!DispatchQueued(&dispatched) && timeout > 0.0) {
      WakeUpCall wake_up(GetCurrentThreadId(), timeout);
      while (std::chrono::steady_clock::now() < deadline) {
        WaitMessage();
        if (DispatchQueued(&dispatched)) break;
      }
    }
  }
  return py::IntFromLong(dispatched).release();
}

PyDoc_STRVAR(kSetPropDoc,
             "set_prop(hwnd, name, value)\n\n"
             "Test helper: SetPropW. ValueError for an unknown window.");

PyObject* SetProp(PyObject*, PyObject* args) {
  PyObject* hwnd_object = nullptr;
  PyObject* name_object = nullptr;
  PyObject* value_object = nullptr;
  if (!PyArg_UnpackTuple(args, "set_prop", 3, 3, &hwnd_object, &name_object,
                         &value_object)) {
    return nullptr;
  }
  uint64_t hwnd = 0;
  uint64_t value = 0;
  simwin::WString name;
  if (!ToMachineWord(hwnd_object, "hwnd", &hwnd) ||
      !ToWString(name_object, "name", &name) ||
      !ToMachineWord(value_object, "value", &value)) {
    return nullptr;
  }
  if (!SetPropW(ToWindow(hwnd), name.c_str(), ToHandle(value))) {
    return RaiseWindowFailure("SetPropW", hwnd, GetLastError());
  }
  Py_RETURN_NONE;
}

PyDoc_STRVAR(kRemovePropDoc,
             "remove_prop(hwnd, name) -> int\n\n"
             "Test helper: RemovePropW; returns the value it held (0 when "
             "there was\nnone). ValueError for an unknown window.");

PyObject* RemoveProp(PyObject*, PyObject* args) {
  PyObject* hwnd_object = nullptr;
  PyObject* name_object = nullptr;
  if (!PyArg_UnpackTuple(args, "remove_prop", 2, 2, &hwnd_object,
                         &name_object)) {
    return nullptr;
  }
  uint64_t hwnd = 0;
  simwin::WString name;
  if (!ToMachineWord(hwnd_object, "hwnd", &hwnd) ||
      !ToWString(name_object, "name", &name)) {
    return nullptr;
  }
  SetLastError(ERROR_SUCCESS);
  HANDLE value = RemovePropW(ToWindow(hwnd), name.c_str());
  if (value == nullptr && GetLastError() != ERROR_SUCCESS) {
    return RaiseWindowFailure("RemovePropW", hwnd, GetLastError());
  }
  return IntFromHandle(value).release();
}

PyDoc_STRVAR(
    kRegisterVolumeNotificationsDoc,
    "register_volume_notifications(hwnd) -> int\n\n"
    "Test helper: RegisterDeviceNotificationW for the volume "
    "device-interface\nclass, delivered to the window. Returns the "
    "notification handle.\nValueError for an unknown window.");

PyObject* RegisterVolumeNotifications(PyObject*, PyObject* hwnd_object) {
  uint64_t hwnd = 0;
  if (!ToMachineWord(hwnd_object, "hwnd", &hwnd)) return nullptr;
  DEV_BROADCAST_DEVICEINTERFACE_W filter = {};
  filter.dbcc_size = sizeof filter;
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = simwin::kVolumeInterfaceClass;
  HDEVNOTIFY notification = RegisterDeviceNotificationW(
      ToWindow(hwnd), &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  if (notification == nullptr) {
    return RaiseWindowFailure("RegisterDeviceNotificationW", hwnd,
                              GetLastError());
  }
  return IntFromHandle(notification).release();
}

PyDoc_STRVAR(kUnregisterNotificationsDoc,
             "unregister_notifications(handle)\n\n"
             "Test helper: UnregisterDeviceNotification. OSError with the "
             "Win32 error\ncode when it fails.");

PyObject* UnregisterNotifications(PyObject*, PyObject* handle_object) {
  uint64_t handle = 0;
  if (!ToMachineWord(handle_object, "handle", &handle)) return nullptr;
  if (!UnregisterDeviceNotification(ToHandle(handle))) {
    return RaiseWin32Failure("UnregisterDeviceNotification", GetLastError());
  }
  Py_RETURN_NONE;
}

}  // namespace

void ForgetTestWindows() {
  std::unordered_set<uint64_t> live;
  for (const simwin::WindowInfo& window : simwin::Windows()) {
    live.insert(window.hwnd);
  }
  auto& handlers = Handlers();
  for (auto entry = handlers.begin(); entry != handlers.end();) {
    entry = live.count(entry->first) ? std::next(entry)
                                     : handlers.erase(entry);
  }
}

PyMethodDef kTestWindowFunctions[] = {
    {"create_window", py::AsCFunction(CreateWindow),
     METH_VARARGS | METH_KEYWORDS, kCreateWindowDoc},
    {"destroy_window", DestroyTestWindow, METH_O, kDestroyWindowDoc},
    {"pump", py::AsCFunction(Pump), METH_VARARGS | METH_KEYWORDS, kPumpDoc},
    {"set_prop", SetProp, METH_VARARGS, kSetPropDoc},
    {"remove_prop", RemoveProp, METH_VARARGS, kRemovePropDoc},
    {"register_volume_notifications", RegisterVolumeNotifications, METH_O,
     kRegisterVolumeNotificationsDoc},
    {"unregister_notifications", UnregisterNotifications, METH_O,
     kUnregisterNotificationsDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace simwin_module
