#include "pyapi/args.h"

#include "pyapi/object.h"
#include "pyapi/version.h"

namespace py {
namespace {

bool RaiseIncorrectType(PyObject* value, const char* argument_name,
                        const char* expected) {
  PyErr_Format(PyExc_TypeError,
               "Argument '%.200s' has incorrect type (expected %.200s, got "
               "%.200s)",
               argument_name, expected, Py_TYPE(value)->tp_name);
  return false;
}

}  // namespace

bool CheckUnicodeArgument(PyObject* value, const char* argument_name) {
  if (value == Py_None || PyUnicode_CheckExact(value)) return true;
  return RaiseIncorrectType(value, argument_name, "unicode");
}

bool CheckStringArgument(PyObject* value, const char* argument_name) {
  if (value == Py_None || IsStrExact(value) ||
      PyUnicode_CheckExact(value)) {
    return true;
  }
  return RaiseIncorrectType(value, argument_name, "basestring");
}

PyObject* RaiseExpectedType(const char* expected, PyObject* got) {
  PyErr_Format(PyExc_TypeError, "Expected %.16s, got %.200s", expected,
               Py_TYPE(got)->tp_name);
  return nullptr;
}

#if PY_MAJOR_VERSION >= 3

// Python 3 converts a declared integer argument through __index__ alone,
// with its own TypeError texts.
bool ToInt64(PyObject* value, int64_t* result) {
  Object integer = Object::Steal(PyNumber_Index(value));
  if (!integer) return false;
  const long long converted = PyLong_AsLongLong(integer.get());
  if (converted == -1 && PyErr_Occurred()) return false;
  *result = converted;
  return true;
}

#else  // Python 2.7

namespace {

// An old-style instance fills every number slot, and its integer slot
// raises AttributeError when the class lacks __int__, so what such an
// instance offers is read from the methods its class defines. Null with no
// error pending when it has no method of that name.
Object CallInstanceMethod(PyObject* instance, const char* name) {
  Object method = GetAttr(instance, name);
  if (!method) {
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) PyErr_Clear();
    return method;
  }
  return CallWith(method);
}

// Runs `value`'s integer conversion, or failing that its long conversion.
// Sets *conversion to the one run ("int" or "long"); leaves it null, with
// no error pending, when `value` has neither.
Object ConvertToInteger(PyObject* value, const char** conversion) {
  if (PyInstance_Check(value)) {
    static const struct {
      const char* conversion;
      const char* method;
    } kMethods[] = {{"int", "__int__"}, {"long", "__long__"}};
    for (const auto& offered : kMethods) {
      Object converted = CallInstanceMethod(value, offered.method);
      if (converted || PyErr_Occurred()) {
        *conversion = offered.conversion;
        return converted;
      }
    }
    return Object();
  }
  PyNumberMethods* number = Py_TYPE(value)->tp_as_number;
  if (number == nullptr) return Object();
  if (number->nb_int != nullptr) {
    *conversion = "int";
    return Object::Steal(number->nb_int(value));
  }
  if (number->nb_long != nullptr) {
    *conversion = "long";
    return Object::Steal(number->nb_long(value));
  }
  return Object();
}

}  // namespace

bool ToInt64(PyObject* value, int64_t* result) {
  Object integer;
  if (PyInt_Check(value) || PyLong_Check(value)) {
    integer = Object::Borrow(value);
  } else {
    const char* conversion = nullptr;
    integer = ConvertToInteger(value, &conversion);
    if (conversion == nullptr) {
      PyErr_SetString(PyExc_TypeError, "an integer is required");
      return false;
    }
    if (!integer) return false;
    if (!PyInt_Check(integer.get()) && !PyLong_Check(integer.get())) {
      PyErr_Format(PyExc_TypeError, "__%.4s__ returned non-%.4s (type %.200s)",
                   conversion, conversion, Py_TYPE(integer.get())->tp_name);
      return false;
    }
  }
  if (PyInt_Check(integer.get())) {
    *result = PyInt_AS_LONG(integer.get());
    return true;
  }
  const PY_LONG_LONG converted = PyLong_AsLongLong(integer.get());
  if (converted == -1 && PyErr_Occurred()) return false;
  *result = converted;
  return true;
}

#endif

}  // namespace py
