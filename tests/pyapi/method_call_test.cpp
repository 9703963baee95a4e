#include <Python.h>
#include <gtest/gtest.h>

#include "pyapi/method_call.h"
#include "pyapi/object.h"
#include "tests/pyapi/outcome.h"

namespace {

const char kReceivers[] = R"(
class Plain(object):
  def two(self, a, b=2):
    return ("two", a, b)
  def boom(self):
    raise ValueError("boom")
  @property
  def prop(self):
    return lambda *a: ("prop",) + a

class OldStyle:
  def two(self, a, b=2):
    return ("old", a, b)

def MakeClosed():
  k = 5
  class Closed(object):
    __slots__ = ()
    def f(self, x):
      return (k, x)
  return Closed()

def function(a, b=7):
  return ("function", a, b)

plain = Plain()
shadowed = Plain()
shadowed.two = lambda *a: ("own",) + a
items = [1]
cases = [
    (plain, "two", (1,)), (plain, "two", (1, 3)), (plain, "two", ()),
    (plain, "boom", ()), (plain, "prop", (1,)), (plain, "missing", ()),
    (shadowed, "two", (1,)), (OldStyle(), "two", (1,)),
    (MakeClosed(), "f", (1,)), ("abc", "upper", ()), ("abc", "upper", (1,)),
    ("abc", "startswith", ("a",)), (items, "append", (2,)),
    (items, "append", ()), ({}, "get", ("k",)), (1, "__add__", (2,)),
]
)";

py::Object CallWithTuple(const py::Method& method, PyObject* args) {
  switch (PyTuple_GET_SIZE(args)) {
    case 0: return method();
    case 1: return method(py::Handle(PyTuple_GET_ITEM(args, 0)));
    default:
      return method(py::Handle(PyTuple_GET_ITEM(args, 0)),
                    py::Handle(PyTuple_GET_ITEM(args, 1)));
  }
}

// Every case gives the same outcome through py::Method as through the
// generic lookup and call, receivers left alike.
TEST(MethodCall, AgreesWithTheGenericProtocol) {
  py::Object globals = RunScript(kReceivers);
  ASSERT_TRUE(globals) << Outcome([] { return py::Object(); });
  PyObject* cases = PyDict_GetItemString(globals.get(), "cases");
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(cases); ++i) {
    PyObject* receiver = PyTuple_GET_ITEM(PyList_GET_ITEM(cases, i), 0);
    PyObject* name = PyTuple_GET_ITEM(PyList_GET_ITEM(cases, i), 1);
    PyObject* args = PyTuple_GET_ITEM(PyList_GET_ITEM(cases, i), 2);
    PyString_InternInPlace(&name);
    const std::string generic = Outcome([&] {
      py::Object bound = py::Object::Steal(PyObject_GetAttr(receiver, name));
      if (!bound) return bound;
      return py::Object::Steal(PyObject_Call(bound.get(), args, nullptr));
    });
    const std::string direct = Outcome([&] {
      const py::Method method = py::Method::Find(receiver, name);
      if (!method) return py::Object();
      return CallWithTuple(method, args);
    });
    EXPECT_EQ(direct, generic) << PyString_AsString(name) << " case " << i;
    Py_DECREF(name);
  }
  PyObject* items = PyDict_GetItemString(globals.get(), "items");
  EXPECT_EQ(PyList_GET_SIZE(items), 3);  // appended once by each path

  PyObject* function = PyDict_GetItemString(globals.get(), "function");
  py::Object one = py::Object::Steal(PyInt_FromLong(1));
  EXPECT_EQ(Outcome([&] { return py::CallWith(function, one); }),
            "('function', 1, 7)");
  EXPECT_EQ(Outcome([&] { return py::CallWith(function, one, one, one); }),
            "exceptions.TypeError: function() takes at most 2 arguments (3 given)");
}

}  // namespace
