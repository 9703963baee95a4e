// The arguments of a call bound to named parameters as a Python function
// binds them, with the interpreter's own TypeError texts, for native
// functions that stand in for functions and methods of Python classes.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstring>

#include "pyapi/object.h"
#include "pyapi/version.h"

namespace py {

// Whether the keyword (a str or unicode, subclasses included) spells the
// ASCII `name`. Compared by its characters, as the interpreter's own
// argument parser does, so that no host code runs while `value` pointers
// borrowed from the keyword dictionary are held: an __eq__ could empty it.
inline bool KeywordIs(PyObject* keyword, const char* name) {
#if PY_MAJOR_VERSION >= 3
  return PyUnicode_CompareWithASCIIString(keyword, name) == 0;
#else
  const size_t length = std::strlen(name);
  if (PyString_Check(keyword)) {
    return static_cast<size_t>(PyString_GET_SIZE(keyword)) == length &&
           std::memcmp(PyString_AS_STRING(keyword), name, length) == 0;
  }
  if (static_cast<size_t>(PyUnicode_GET_SIZE(keyword)) != length) return false;
  const Py_UNICODE* units = PyUnicode_AS_UNICODE(keyword);
  for (size_t i = 0; i < length; ++i) {
    if (units[i] != static_cast<Py_UNICODE>(name[i])) return false;
  }
  return true;
#endif
}

// The most parameters a bound function has here: which of them were given
// is kept on the stack, as this runs on every call.
constexpr Py_ssize_t kMaxBoundParameters = 8;

// The common call: every argument by position, none missing, no keyword.
inline bool IsPositionalCall(PyObject* args, PyObject* kwargs,
                             Py_ssize_t count, Py_ssize_t required) {
  const Py_ssize_t positional = PyTuple_GET_SIZE(args);
  return (kwargs == nullptr || PyDict_Size(kwargs) == 0) &&
         positional >= required && positional <= count;
}

// Binds positional `args` (a tuple) and keyword `kwargs` (a dict or null)
// to the `count` parameters `names`, of which the first `required` have no
// default. values[i] receives a borrowed reference to the argument of
// names[i]; an optional parameter that is not given keeps what the caller
// put there (its default). Returns false with TypeError set, worded as for
// a Python function named `function` (a method counts `self`):
// "f() takes exactly 2 arguments (1 given)", "f() got an unexpected keyword
// argument 'x'", "f() got multiple values for keyword argument 'x'".
inline bool BindArguments(const char* function, PyObject* args,
                          PyObject* kwargs, const char* const* names,
                          Py_ssize_t count, Py_ssize_t required,
                          PyObject** values) {
  if (count > kMaxBoundParameters) {
    PyErr_Format(PyExc_SystemError, "%.200s() has too many parameters",
                 function);
    return false;
  }
  const bool has_defaults = required < count;
  const Py_ssize_t positional = PyTuple_GET_SIZE(args);
  const Py_ssize_t keywords = kwargs != nullptr ? PyDict_Size(kwargs) : 0;
  if (IsPositionalCall(args, kwargs, count, required)) {
    for (Py_ssize_t i = 0; i < positional; ++i) {
      values[i] = PyTuple_GET_ITEM(args, i);
    }
    return true;
  }
  if (positional > count) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %s %d argument%s (%d given)",
                 function, has_defaults ? "at most" : "exactly",
                 static_cast<int>(count), count == 1 ? "" : "s",
                 static_cast<int>(positional + keywords));
    return false;
  }
  char given[kMaxBoundParameters] = {};
  for (Py_ssize_t i = 0; i < positional; ++i) {
    values[i] = PyTuple_GET_ITEM(args, i);
    given[static_cast<size_t>(i)] = 1;
  }
  Py_ssize_t position = 0;
  PyObject* keyword;
  PyObject* value;
  while (keywords > 0 && PyDict_Next(kwargs, &position, &keyword, &value)) {
    if (!IsStr(keyword) && !PyUnicode_Check(keyword)) {
      PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings",
                   function);
      return false;
    }
    Py_ssize_t index = 0;
    while (index < count && !KeywordIs(keyword, names[index])) ++index;
    if (index < count && !given[static_cast<size_t>(index)]) {
      values[index] = value;
      given[static_cast<size_t>(index)] = 1;
      continue;
    }
    Object keyword_text = Object::Steal(PyObject_Str(keyword));
    if (!keyword_text || StrText(keyword_text.get()) == nullptr) return false;
    PyErr_Format(PyExc_TypeError,
                 index == count
                     ? "%.200s() got an unexpected keyword argument '%.400s'"
                     : "%.200s() got multiple values for keyword argument "
                       "'%.400s'",
                 function, StrText(keyword_text.get()));
    return false;
  }
  for (Py_ssize_t i = 0; i < required; ++i) {
    if (given[static_cast<size_t>(i)]) continue;
    Py_ssize_t given_count = 0;
    for (Py_ssize_t j = 0; j < count; ++j) given_count += given[j];
    PyErr_Format(PyExc_TypeError, "%.200s() takes %s %d argument%s (%d given)",
                 function, has_defaults ? "at least" : "exactly",
                 static_cast<int>(required), required == 1 ? "" : "s",
                 static_cast<int>(given_count));
    return false;
  }
  return true;
}

// A function taking keyword arguments, as a method table holds it (the cast
// through a plain function pointer is the sanctioned one).
inline PyCFunction AsCFunction(PyObject* (*function)(PyObject*, PyObject*,
                                                     PyObject*)) {
  return reinterpret_cast<PyCFunction>(
      reinterpret_cast<void (*)(void)>(function));
}

template <size_t Count>
bool BindArguments(const char* function, PyObject* args, PyObject* kwargs,
                   const char* const (&names)[Count], Py_ssize_t required,
                   PyObject* (&values)[Count]) {
  static_assert(Count <= kMaxBoundParameters, "too many parameters");
  return BindArguments(function, args, kwargs, names,
                       static_cast<Py_ssize_t>(Count), required, values);
}

// As above, into owned references: the bound values stay alive for the
// whole call, as a Python function's frame keeps its arguments, even if
// host code run by the function empties the caller's keyword dictionary.
// Optional parameters that are not given keep what `values` held.
template <size_t Count>
bool BindArguments(const char* function, PyObject* args, PyObject* kwargs,
                   const char* const (&names)[Count], Py_ssize_t required,
                   Object (&values)[Count]) {
  static_assert(Count <= kMaxBoundParameters, "too many parameters");
  // The common call binds inline, into owned references directly.
  if (IsPositionalCall(args, kwargs, static_cast<Py_ssize_t>(Count),
                       required)) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args); ++i) {
      values[i] = Object::Borrow(PyTuple_GET_ITEM(args, i));
    }
    return true;
  }
  PyObject* borrowed[Count];
  for (size_t i = 0; i < Count; ++i) borrowed[i] = values[i].get();
  if (!BindArguments(function, args, kwargs, names,
                     static_cast<Py_ssize_t>(Count), required, borrowed)) {
    return false;
  }
  for (size_t i = 0; i < Count; ++i) values[i] = Object::Borrow(borrowed[i]);
  return true;
}

}  // namespace py
