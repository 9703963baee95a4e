// What differs between the interpreters the modules build for, Python 2.7
// and Python 3, in one place. Module code names the native `str`, the
// integer type, module creation and the few host-facing spellings through
// these and never tests the version itself.
//
// The native `str` is Python 2's 8-bit string and Python 3's unicode text;
// the integer is Python 2's `int` (a C long, promoted to `long` beyond it)
// and Python 3's one `int`.
#pragma once

#include <Python.h>

#include <cstdarg>

#include "pyapi/object.h"

namespace py {

#if PY_MAJOR_VERSION >= 3
constexpr bool kStrIsUnicode = true;
#else
constexpr bool kStrIsUnicode = false;
#endif

// --- The native str ---------------------------------------------------------

inline bool IsStr(PyObject* value) {
#if PY_MAJOR_VERSION >= 3
  return PyUnicode_Check(value);
#else
  return PyString_Check(value);
#endif
}

inline bool IsStrExact(PyObject* value) {
#if PY_MAJOR_VERSION >= 3
  return PyUnicode_CheckExact(value);
#else
  return PyString_CheckExact(value);
#endif
}

// A str of `size` bytes of `text`, which is ASCII wherever it is used here.
inline Object StrFromStringAndSize(const char* text, Py_ssize_t size) {
#if PY_MAJOR_VERSION >= 3
  return Object::Steal(PyUnicode_FromStringAndSize(text, size));
#else
  return Object::Steal(PyString_FromStringAndSize(text, size));
#endif
}

// The interned str of `text`: one shared object per spelling.
inline Object InternedStr(const char* text) {
#if PY_MAJOR_VERSION >= 3
  return Object::Steal(PyUnicode_InternFromString(text));
#else
  return Object::Steal(PyString_InternFromString(text));
#endif
}

// Replaces *str (an owned reference to an exact str) with its interned
// equal.
inline void InternStrInPlace(PyObject** str) {
#if PY_MAJOR_VERSION >= 3
  PyUnicode_InternInPlace(str);
#else
  PyString_InternInPlace(str);
#endif
}

// The text of a str as a C string that lives as long as the str; null with
// an exception pending where Python 3 cannot give it as UTF-8 (a lone
// surrogate).
inline const char* StrText(PyObject* str) {
#if PY_MAJOR_VERSION >= 3
  return PyUnicode_AsUTF8(str);
#else
  return PyString_AS_STRING(str);
#endif
}

// The str PyUnicode_FromFormat would make; the formats are ASCII.
inline Object StrFromFormat(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
#if PY_MAJOR_VERSION >= 3
  Object text = Object::Steal(PyUnicode_FromFormatV(format, arguments));
#else
  Object text = Object::Steal(PyString_FromFormatV(format, arguments));
#endif
  va_end(arguments);
  return text;
}

// `unicode` as the native str: encoded with `encoding` (strict) on Python
// 2.7, where such texts are 8-bit strings; the text itself on Python 3.
inline Object StrFromUnicode(Handle unicode, const char* encoding) {
#if PY_MAJOR_VERSION >= 3
  static_cast<void>(encoding);
  return Object::Borrow(unicode.get());
#else
  return Object::Steal(
      PyUnicode_AsEncodedString(unicode.get(), encoding, nullptr));
#endif
}

// unicode(value) on Python 2.7, str(value) on Python 3.
inline Object UnicodeOf(Handle value) {
#if PY_MAJOR_VERSION >= 3
  return Object::Steal(PyObject_Str(value.get()));
#else
  return Object::Steal(PyObject_Unicode(value.get()));
#endif
}

// --- Integers ---------------------------------------------------------------

// Whether `value` is an integer (subclasses included).
inline bool IsInt(PyObject* value) {
#if PY_MAJOR_VERSION >= 3
  return PyLong_Check(value);
#else
  return PyInt_Check(value) || PyLong_Check(value);
#endif
}

// Whether `value` is exactly Python 2's short int, whose value is a C long
// read in place (ShortIntValue). Never on Python 3, whose one int is read
// as a long.
inline bool IsShortIntExact(PyObject* value) {
#if PY_MAJOR_VERSION >= 3
  static_cast<void>(value);
  return false;
#else
  return PyInt_CheckExact(value);
#endif
}

// The same for subclasses of Python 2's short int.
inline bool IsShortInt(PyObject* value) {
#if PY_MAJOR_VERSION >= 3
  static_cast<void>(value);
  return false;
#else
  return PyInt_Check(value);
#endif
}

// The value of a short int (IsShortInt).
inline long ShortIntValue(PyObject* value) {
#if PY_MAJOR_VERSION >= 3
  return PyLong_AsLong(value);
#else
  return PyInt_AS_LONG(value);
#endif
}

// The integer of `value`: Python 2.7 gives a short int where it fits.
inline Object IntFromLong(long value) {
#if PY_MAJOR_VERSION >= 3
  return Object::Steal(PyLong_FromLong(value));
#else
  return Object::Steal(PyInt_FromLong(value));
#endif
}

inline Object IntFromSize(size_t value) {
#if PY_MAJOR_VERSION >= 3
  return Object::Steal(PyLong_FromSize_t(value));
#else
  return Object::Steal(PyInt_FromSize_t(value));
#endif
}

inline Object IntFromSsize(Py_ssize_t value) {
#if PY_MAJOR_VERSION >= 3
  return Object::Steal(PyLong_FromSsize_t(value));
#else
  return Object::Steal(PyInt_FromSsize_t(value));
#endif
}

// --- Host-facing spellings --------------------------------------------------

// The module of the built-in names.
#if PY_MAJOR_VERSION >= 3
constexpr char kBuiltinsModuleName[] = "builtins";
#else
constexpr char kBuiltinsModuleName[] = "__builtin__";
#endif

// The import level of a module body's `import` statement: Python 2's
// relative-then-absolute rule, absolute on Python 3.
#if PY_MAJOR_VERSION >= 3
constexpr int kImportLevel = 0;
#else
constexpr int kImportLevel = -1;
#endif

// The logger method of a warning: Python 2.7's code calls `warn`, which
// Python 3 deprecates and 3.13 removes.
#if PY_MAJOR_VERSION >= 3
constexpr char kLoggerWarningMethod[] = "warning";
#else
constexpr char kLoggerWarningMethod[] = "warn";
#endif

// The arguments of `re.compile(pattern)` for a pattern whose `\w` means
// what it means in Python 2.7, ASCII word characters: (pattern,) there,
// (pattern, re.ASCII) on Python 3, where `\w` of a str pattern matches
// every Unicode letter.
inline Object AsciiPatternArguments(Handle re_module, Handle pattern) {
#if PY_MAJOR_VERSION >= 3
  Object ascii = GetAttr(re_module, "ASCII");
  if (!ascii) return ascii;
  return MakeTuple(pattern, ascii);
#else
  static_cast<void>(re_module);
  return MakeTuple(pattern);
#endif
}

// --- Module creation --------------------------------------------------------

// The module object under construction by this library's entry point. On
// Python 3 the entry point returns it (single-phase initialisation); on
// Python 2.7 the interpreter's module table holds it.
inline Object& ModuleUnderConstruction() {
  static Object module;
  return module;
}

// Creates the extension module `name` (its last component; the interpreter
// gives it its package) with `functions` (may be null) and `doc` (may be
// null). Borrowed: it lives while it loads. Null with an exception pending.
inline PyObject* CreateModule(const char* name, PyMethodDef* functions,
                              const char* doc) {
#if PY_MAJOR_VERSION >= 3
  // One module per library; the definition lives as long as the library.
  static PyModuleDef definition = {PyModuleDef_HEAD_INIT, nullptr, nullptr,
                                   -1, nullptr, nullptr, nullptr, nullptr,
                                   nullptr};
  definition.m_name = name;
  definition.m_doc = doc;
  definition.m_methods = functions;
  ModuleUnderConstruction() = Object::Steal(PyModule_Create(&definition));
  return ModuleUnderConstruction().get();
#else
  return Py_InitModule4(name, functions, doc, nullptr, PYTHON_API_VERSION);
#endif
}

// What the entry point hands back: the module, or null when the load left
// an exception pending (Python 3); nothing (Python 2.7).
#if PY_MAJOR_VERSION >= 3
using ModuleInitResult = PyObject*;
inline ModuleInitResult FinishModuleLoad() {
  Object module = std::move(ModuleUnderConstruction());
  if (PyErr_Occurred()) return nullptr;
  if (!module) {
    PyErr_SetString(PyExc_SystemError, "the module was not created");
  }
  return module.release();
}
#define PYAPI_INIT_FUNCTION(name) PyInit_##name
#else
using ModuleInitResult = void;
inline ModuleInitResult FinishModuleLoad() {}
#define PYAPI_INIT_FUNCTION(name) init##name
#endif

}  // namespace py

// Defines the module's one exported symbol, `init<name>` on Python 2.7 and
// `PyInit_<name>` on Python 3, whose body ends with
// `return py::FinishModuleLoad();`.
#if defined(_WIN32)
#define PYAPI_MODULE_INIT(name) PyMODINIT_FUNC PYAPI_INIT_FUNCTION(name)(void)
#else
// Everything else is built hidden; the interpreter finds only this.
#define PYAPI_MODULE_INIT(name)                                  \
  extern "C" __attribute__((visibility("default")))              \
  py::ModuleInitResult PYAPI_INIT_FUNCTION(name)(void);          \
  PyMODINIT_FUNC PYAPI_INIT_FUNCTION(name)(void)
#endif
