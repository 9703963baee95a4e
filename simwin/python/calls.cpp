// Fault injection and the record of Win32 calls.
#include <Python.h>

#include <string>

#include "pyapi/function_arguments.h"
#include "pyapi/object.h"
#include "simwin/control.h"
#include "simwin/python/arguments.h"
#include "simwin/python/module.h"

namespace simwin_module {
namespace {

PyDoc_STRVAR(
    kFailDoc,
    "fail(function, error, nth=1, count=1)\n\n"
    "Makes the nth call from now of the Win32 function named `function` "
    "(1: the\nnext one), and the count - 1 calls after it, fail with the "
    "last-error code\n`error`; count -1: every call from the nth on. "
    "ValueError for a name that\nis not a Win32 function of the double.");

PyObject* Fail(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"function", "error", "nth", "count",
                                    nullptr};
  PyObject* function_object = nullptr;
  PyObject* error_object = nullptr;
  long long nth = 1;
  long long count = 1;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|LL:fail",
                                   const_cast<char**>(keywords),
                                   &function_object, &error_object, &nth,
                                   &count)) {
    return nullptr;
  }
  simwin::WString wide_function;
  if (!ToWString(function_object, "function", &wide_function)) return nullptr;
  uint32_t error = 0;
  if (!ToUInt32(error_object, "error", &error)) return nullptr;
  if (nth < 1) {
    PyErr_SetString(PyExc_ValueError, "nth must be 1 or more");
    return nullptr;
  }
  if (count < 1 && count != -1) {
    PyErr_SetString(PyExc_ValueError, "count must be 1 or more, or -1");
    return nullptr;
  }
  // Win32 function names are ASCII; anything else names none of them.
  std::string function;
  bool ascii = true;
  for (char16_t unit : wide_function) {
    ascii = ascii && unit < 0x80;
    function.push_back(static_cast<char>(unit));
  }
  if (!ascii || !simwin::IsFaultableFunction(function)) {
    PyErr_Format(PyExc_ValueError,
                 "'%.100s' is not a Win32 function of the double that can "
                 "fail",
                 ascii ? function.c_str() : "(not ASCII)");
    return nullptr;
  }
  simwin::Fail(function, error, nth, count);
  Py_RETURN_NONE;
}

PyDoc_STRVAR(kRecordCallsDoc,
             "record_calls(on)\n\n"
             "Switches the record of Win32 calls on or off (on after "
             "reset()).");

PyObject* RecordCalls(PyObject*, PyObject* on) {
  const int truth = PyObject_IsTrue(on);
  if (truth < 0) return nullptr;
  simwin::RecordCalls(truth != 0);
  Py_RETURN_NONE;
}

py::Object CallTuple(const simwin::Call& call) {
  py::Object tuple = py::Object::Steal(
      PyTuple_New(static_cast<Py_ssize_t>(call.args.size() + 1)));
  py::Object function = py::String(call.function.c_str());
  if (!tuple || !function) return py::Object();
  PyTuple_SET_ITEM(tuple.get(), 0, function.release());
  Py_ssize_t slot = 1;
  for (const simwin::CallArg& arg : call.args) {
    py::Object item = std::holds_alternative<int64_t>(arg)
                          ? IntFromSigned(std::get<int64_t>(arg))
                          : UnicodeFromWString(std::get<simwin::WString>(arg));
    if (!item) return py::Object();
    PyTuple_SET_ITEM(tuple.get(), slot++, item.release());
  }
  return tuple;
}

PyDoc_STRVAR(
    kCallsDoc,
    "calls() -> list of tuples\n\n"
    "The Win32 calls recorded so far, in order: each a tuple of the "
    "function\nname (str) and its significant arguments (numbers and "
    "handles as signed\n64-bit ints, strings as unicode), plus "
    "(\"WndProc\", hwnd, msg, wparam) each\ntime a window procedure was "
    "entered.");

PyObject* Calls(PyObject*, PyObject*) {
  const std::vector<simwin::Call> calls = simwin::Calls();
  py::Object list =
      py::Object::Steal(PyList_New(static_cast<Py_ssize_t>(calls.size())));
  if (!list) return nullptr;
  Py_ssize_t index = 0;
  for (const simwin::Call& call : calls) {
    py::Object tuple = CallTuple(call);
    if (!tuple) return nullptr;
    PyList_SET_ITEM(list.get(), index++, tuple.release());
  }
  return list.release();
}

PyDoc_STRVAR(kClearCallsDoc,
             "clear_calls()\n\nForgets the Win32 calls recorded so far.");

PyObject* ClearCalls(PyObject*, PyObject*) {
  simwin::ClearCalls();
  Py_RETURN_NONE;
}

}  // namespace

PyMethodDef kCallFunctions[] = {
    {"fail", py::AsCFunction(Fail), METH_VARARGS | METH_KEYWORDS, kFailDoc},
    {"record_calls", RecordCalls, METH_O, kRecordCallsDoc},
    {"calls", Calls, METH_NOARGS, kCallsDoc},
    {"clear_calls", ClearCalls, METH_NOARGS, kClearCallsDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace simwin_module
