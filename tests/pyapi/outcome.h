// Running test scripts in the interpreter, and what a call gave, as text
// the tests compare.
#pragma once

#include <Python.h>

#include <string>

#include "pyapi/object.h"
#include "pyapi/version.h"

// What `call` gives: the repr of its result, or the exception's type and
// text, cleared.
template <typename Call>
std::string Outcome(Call call) {
  py::Object result = call();
  if (result) {
    py::Object text = py::Object::Steal(PyObject_Repr(result.get()));
    return py::StrText(text.get());
  }
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  py::Object text = py::Object::Steal(PyObject_Str(value));
  std::string outcome = std::string(reinterpret_cast<PyTypeObject*>(type)->tp_name) +
                        ": " + py::StrText(text.get());
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(traceback);
  return outcome;
}

// The globals of `source` run as a module in a started interpreter; null
// with the exception pending when it fails.
inline py::Object RunScript(const char* source) {
  Py_InitializeEx(0);
  py::Object globals = py::Object::Steal(PyDict_New());
  if (!globals || PyDict_SetItemString(globals.get(), "__builtins__",
                                       PyEval_GetBuiltins()) < 0) {
    return {};
  }
  py::Object ran = py::Object::Steal(
      PyRun_String(source, Py_file_input, globals.get(), globals.get()));
  if (!ran) return {};
  return globals;
}
