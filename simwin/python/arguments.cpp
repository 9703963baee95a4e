#include "simwin/python/arguments.h"

#include <limits>

#include "pyapi/text.h"
#include "pyapi/version.h"
#include "simwin/python/module.h"

namespace simwin_module {
namespace {

bool IsInteger(PyObject* value) {
  return py::IsInt(value);
}

bool RaiseNotInteger(PyObject* value, const char* what) {
  PyErr_Format(PyExc_TypeError, "%.100s must be an integer, not %.100s",
               what, Py_TYPE(value)->tp_name);
  return false;
}

// ValueError naming a window or handle in hex; `format` holds one %llx.
PyObject* RaiseValueErrorNaming(const char* format, uint64_t value) {
  // The interpreter's own formatter knows no %llx; the C library's does.
  char text[64];
  PyOS_snprintf(text, sizeof text, format,
                static_cast<unsigned long long>(value));
  PyErr_SetString(PyExc_ValueError, text);
  return nullptr;
}

}  // namespace

bool ToWString(PyObject* value, const char* what, simwin::WString* result) {
  py::Object unicode;
  if (PyUnicode_Check(value)) {
    unicode = py::Object::Borrow(value);
  } else if (py::IsStr(value)) {
    unicode = py::Object::Steal(
        PyUnicode_FromEncodedObject(value, "ascii", "strict"));
    if (!unicode) return false;
  } else {
    PyErr_Format(PyExc_TypeError,
                 "%.100s must be unicode or an ASCII str, not %.100s", what,
                 Py_TYPE(value)->tp_name);
    return false;
  }
  *result = py::WideFromUnicode(unicode.get());
  return true;
}

bool ToPathList(PyObject* value, const char* what, simwin::PathList* result) {
  if (!PyList_Check(value) && !PyTuple_Check(value)) {
    PyErr_Format(PyExc_TypeError,
                 "%.100s must be a list or tuple of paths, not %.100s", what,
                 Py_TYPE(value)->tp_name);
    return false;
  }
  py::Object items = py::Object::Steal(PySequence_Fast(value, what));
  if (!items) return false;
  const Py_ssize_t size = PySequence_Fast_GET_SIZE(items.get());
  simwin::PathList paths;
  for (Py_ssize_t i = 0; i < size; ++i) {
    simwin::WString path;
    if (!ToWString(PySequence_Fast_GET_ITEM(items.get(), i), "a path",
                   &path)) {
      return false;
    }
    paths.push_back(path);
  }
  *result = paths;
  return true;
}

bool ToUnsigned(PyObject* value, const char* what, uint64_t maximum,
                uint64_t* result) {
  if (!IsInteger(value)) return RaiseNotInteger(value, what);
  bool in_range = false;
  unsigned long long converted = 0;
  if (py::IsShortInt(value)) {
    const long small = py::ShortIntValue(value);
    in_range = small >= 0;
    converted = static_cast<unsigned long long>(small);
  } else if (_PyLong_Sign(value) >= 0) {
    converted = PyLong_AsUnsignedLongLong(value);
    in_range = !(converted == static_cast<unsigned long long>(-1) &&
                 PyErr_Occurred());
    PyErr_Clear();
  }
  if (!in_range || converted > maximum) {
    PyErr_Format(PyExc_OverflowError, "%.100s out of range 0..%llu", what,
                 static_cast<unsigned long long>(maximum));
    return false;
  }
  *result = converted;
  return true;
}

bool ToUInt32(PyObject* value, const char* what, uint32_t* result) {
  uint64_t converted = 0;
  if (!ToUnsigned(value, what, std::numeric_limits<uint32_t>::max(),
                  &converted)) {
    return false;
  }
  *result = static_cast<uint32_t>(converted);
  return true;
}

bool ToMachineWord(PyObject* value, const char* what, uint64_t* result) {
  if (!IsInteger(value)) return RaiseNotInteger(value, what);
  if (py::IsShortInt(value)) {
    *result = static_cast<uint64_t>(py::ShortIntValue(value));
    return true;
  }
  const unsigned long long as_unsigned = PyLong_AsUnsignedLongLong(value);
  if (as_unsigned != static_cast<unsigned long long>(-1) ||
      !PyErr_Occurred()) {
    *result = as_unsigned;
    return true;
  }
  PyErr_Clear();  // negative, or beyond 64 bits
  const long long as_signed = PyLong_AsLongLong(value);
  if (as_signed == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    PyErr_Format(PyExc_OverflowError, "%.100s does not fit 64 bits", what);
    return false;
  }
  *result = static_cast<uint64_t>(as_signed);
  return true;
}

bool ToTimeout(PyObject* value, double* result) {
  if (!IsInteger(value) && !PyFloat_Check(value)) {
    PyErr_Format(PyExc_TypeError, "timeout must be a number, not %.100s",
                 Py_TYPE(value)->tp_name);
    return false;
  }
  const double seconds = PyFloat_AsDouble(value);
  if (seconds == -1.0 && PyErr_Occurred()) return false;
  if (!(seconds >= 0.0)) {  // also refuses NaN
    PyErr_SetString(PyExc_ValueError, "timeout must be 0 or more seconds");
    return false;
  }
  *result = seconds;
  return true;
}

py::Object UnicodeFromWString(const simwin::WString& text) {
  return py::UnicodeFromWide(text.data(), text.size());
}

py::Object IntFromSigned(int64_t value) {
  return py::IntFromSsize(static_cast<Py_ssize_t>(value));
}

py::Object IntFromUnsigned(uint64_t value) {
  if (value <= static_cast<uint64_t>(std::numeric_limits<long>::max())) {
    return py::IntFromLong(static_cast<long>(value));
  }
  return py::Object::Steal(PyLong_FromUnsignedLongLong(value));
}

PyObject* RaiseUnknownVolume(const simwin::WString& name) {
  py::Object key = UnicodeFromWString(name);
  if (!key) return nullptr;
  // A tuple keeps KeyError from reading the key as several arguments.
  py::Object args = py::MakeTuple(key);
  if (args) PyErr_SetObject(PyExc_KeyError, args.get());
  return nullptr;
}

PyObject* RaiseUnknownWindow(uint64_t hwnd) {
  return RaiseValueErrorNaming("no window 0x%llx", hwnd);
}

PyObject* RaiseNotOpenFileHandle(uint64_t handle) {
  return RaiseValueErrorNaming("handle 0x%llx is not an open file handle",
                               handle);
}

PyObject* RaiseTimeout(const char* what, double timeout_seconds) {
  char seconds[40];
  PyOS_snprintf(seconds, sizeof seconds, "%g", timeout_seconds);
  PyErr_Format(TimeoutType(), "%s: no answer within %s seconds", what,
               seconds);
  return nullptr;
}

PyObject* RaiseWin32Failure(const char* function, DWORD error) {
  py::Object code = py::IntFromLong(static_cast<long>(error));
  py::Object text = py::StrFromFormat("%s failed", function);
  py::Object args = py::MakeTuple(code, text);
  if (args) PyErr_SetObject(PyExc_OSError, args.get());
  return nullptr;
}

PyObject* RaiseWindowFailure(const char* function, uint64_t hwnd,
                             DWORD error) {
  if (error == ERROR_INVALID_WINDOW_HANDLE) return RaiseUnknownWindow(hwnd);
  return RaiseWin32Failure(function, error);
}

py::Object SendResult(const simwin::SendOutcome& outcome, uint64_t hwnd,
                      const char* what, double timeout_seconds) {
  switch (outcome.status) {
    case simwin::SendStatus::kDelivered:
      return IntFromSigned(outcome.result);
    case simwin::SendStatus::kInvalidWindow:
      RaiseUnknownWindow(hwnd);
      return py::Object();
    case simwin::SendStatus::kTimedOut:
      RaiseTimeout(what, timeout_seconds);
      return py::Object();
  }
  PyErr_SetString(PyExc_SystemError, "unknown send status");
  return py::Object();
}

}  // namespace simwin_module
