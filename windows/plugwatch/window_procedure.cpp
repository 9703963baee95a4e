#include "windows/plugwatch/window_procedure.h"

#include <Python.h>

#include "pyapi/errors.h"
#include "pyapi/exception_barrier.h"
#include "pyapi/handled_exception.h"
#include "pyapi/names.h"
#include "pyapi/object.h"
#include "pyapi/version.h"
#include "windows/plugwatch/device_change_record.h"
#include "windows/plugwatch/interpreter_gate.h"
#include "windows/plugwatch/module.h"

namespace plugwatch {
namespace {

constexpr char kHandleEventName[] = "windows.plugwatch.HandleEvent";

// HandleEvent's traceback entry on the pending exception; false.
bool TraceFailure() {
  return py::Traced(false, kHandleEventName, kTracebackSource);
}

// The middle item of a three-item iterable, unpacked as `a, b, c = ...`
// unpacks it.
py::Object MiddleOfThree(py::Handle iterable) {
  py::Object iterator = py::Object::Steal(PyObject_GetIter(iterable.get()));
  if (!iterator) return iterator;
  py::Object items[3];
  for (int index = 0; index < 3; ++index) {
    items[index] = py::Object::Steal(PyIter_Next(iterator.get()));
    if (!items[index]) {
      if (!PyErr_Occurred()) {
        PyErr_Format(PyExc_ValueError, "need more than %d value%s to unpack",
                     index, index == 1 ? "" : "s");
      }
      return py::Object();
    }
  }
  py::Object extra = py::Object::Steal(PyIter_Next(iterator.get()));
  if (extra) {
    PyErr_SetString(PyExc_ValueError, "too many values to unpack");
    return py::Object();
  }
  if (PyErr_Occurred()) return py::Object();
  return items[1];
}

// The exception value being handled, from `sys.exc_info()`.
py::Object HandledExceptionValue() {
  py::Object sys = Global(names::sys);
  if (!sys) return sys;
  py::Object exc_info = py::GetAttr(sys, names::exc_info);
  if (!exc_info) return exc_info;
  py::Object info = py::CallWith(exc_info);
  if (!info) return info;
  return MiddleOfThree(info);
}

// `fatal_exceptions.IsFatal(value)` under the truth test; -1 on error.
int IsFatal(py::Handle value) {
  py::Object fatal_exceptions = Global(names::fatal_exceptions);
  if (!fatal_exceptions) return -1;
  py::Object is_fatal = py::GetAttr(fatal_exceptions, names::is_fatal);
  if (!is_fatal) return -1;
  py::Object verdict = py::CallWith(is_fatal, value);
  if (!verdict) return -1;
  return PyObject_IsTrue(verdict.get());
}

// Called with the callable's exception pending, which its log record
// carries with HandleEvent's traceback entry. Returns false with an
// exception pending when the failure could not be dealt with; everything
// after the callable's failure is part of HandleEvent's one entry.
bool HandleCallbackFailure(HWND window, py::Handle drive_path, bool arrival) {
  TraceFailure();
  py::HandledException caught;
  py::Object value = HandledExceptionValue();
  if (!value ||
      !CallLogger(names::exception,
                  py::String("Volume %s callback for %s failed."),
                  py::String(arrival ? "arrival" : "removal"), drive_path)) {
    return false;
  }
  const int fatal = IsFatal(value);
  if (fatal <= 0) return fatal == 0;
  if (!CallLogger(names::error,
                  py::String("Failure was fatal, ending monitor."))) {
    return false;
  }
  // The property is read under the lock, so it names a live object. An
  // absent property (taken off by a teardown the callable caused) counts
  // as a stop callable that is not there.
  py::Object stop = py::Object::Borrow(
      static_cast<PyObject*>(GetPropW(window, kStopProperty)));
  const int has_stop = stop ? PyObject_IsTrue(stop.get()) : 0;
  if (has_stop < 0) return false;
  if (!has_stop) {
    return static_cast<bool>(CallLogger(
        names::warning, py::String("No stop callback was defined.")));
  }
  if (py::CallWith(stop)) return true;

  TraceFailure();
  py::HandledException stop_failure;
  if (!CallLogger(names::exception,
                  py::String("Error while trying to stop monitor."))) {
    return false;
  }
  stop_failure.Reraise();
  return false;
}

// The drive path "X:\\" of `letter`, made as "%s:\\" % chr(code) makes it;
// `letter_text` receives chr(code).
py::Object DrivePath(char letter, py::Object* letter_text) {
  py::Object code = py::IntFromLong(letter);
  if (!code) return code;
  *letter_text = py::CallWith(py::Handle(Module().chr), code);
  if (!*letter_text) return {};
  py::Object path_template = py::String("%s:\\");
  if (!path_template) return path_template;
  return py::Object::Steal(
      PyNumber_Remainder(path_template.get(), letter_text->get()));
}

// Returns false with an exception pending, HandleEvent's traceback entry
// added, when the event could not be dealt with.
bool DeliverEvent(HWND window, py::Handle callback, char letter, bool arrival) {
  py::Object letter_text;
  py::Object drive_path = DrivePath(letter, &letter_text);
  if (!drive_path) return TraceFailure();
  if (!callback) {
    return CallLogger(names::warning,
                      py::String("Got event for %s:\\ but no callback "
                                 "defined."),
                      letter_text) ||
           TraceFailure();
  }
  if (py::CallWith(callback, drive_path)) return true;
  return HandleCallbackFailure(window, drive_path, arrival);
}

}  // namespace

PYAPI_CATCHES_FORCED_UNWIND void HandleEvent(HWND window,
                                             const DEV_BROADCAST_HDR* header,
                                             bool arrival) {
  // The lock comes before the property is read: every path that releases
  // a callable takes the properties off first, under the lock, so a
  // property read under the lock names a live object. Read without it, the
  // property could name an object released while this thread waited.
  InterpreterVisit visit;
  if (!visit) return;  // the interpreter is exiting: the event goes unseen
  try {
    py::Object callback = py::Object::Borrow(static_cast<PyObject*>(
        GetPropW(window, arrival ? kArriveProperty : kRemoveProperty)));
    const char letter = VolumeDriveLetter(header);
    if (letter == 0) return;
    if (DeliverEvent(window, callback, letter, arrival)) return;
  }
  // Python 3 ended this thread inside the callback, as finalization began:
  // it stops here rather than unwind on into the system's frames that
  // called the window procedure.
  PYAPI_PARK_ON_FORCED_UNWIND
  catch (...) {
    py::RaiseForCurrentCxxException();
  }
  py::WriteUnraisable(kHandleEventName);
}

PYAPI_CATCHES_FORCED_UNWIND LRESULT CALLBACK WindowProcedure(HWND window,
                                                             UINT message,
                                                             WPARAM wparam,
                                                             LPARAM lparam) {
  // No C++ exception may unwind through the system's frames.
  try {
    if (message == WM_DEVICECHANGE &&
        (wparam == DBT_DEVICEARRIVAL || wparam == DBT_DEVICEREMOVECOMPLETE)) {
      HandleEvent(window, reinterpret_cast<const DEV_BROADCAST_HDR*>(lparam),
                  wparam == DBT_DEVICEARRIVAL);
      return 0;
    }
    // Any program may close a top-level window, and the default procedure
    // would destroy it: Stop would then have no window to wake the pump
    // through. The window goes only with its state.
    if (message == WM_CLOSE) return 0;
    return DefWindowProcW(window, message, wparam, lparam);
  }
  PYAPI_PASS_FORCED_UNWIND
  catch (...) {
    return 0;
  }
}

}  // namespace plugwatch
