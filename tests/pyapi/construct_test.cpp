#include <Python.h>
#include <gtest/gtest.h>

#include "pyapi/construct.h"
#include "pyapi/object.h"
#include "tests/pyapi/outcome.h"

namespace {

const char kClasses[] = R"(
class Shown(object):
  def __repr__(self):
    return repr((type(self).__name__, sorted(self.__dict__.items())))

class Fields(Shown):
  def __init__(self, *args, **fields):
    self.args = args
    self.order = list(fields)

class Named(Shown):
  def __init__(self, a, b=2):
    self.a, self.b = a, b

class Returns(Shown):
  def __init__(self, **fields):
    return 1

class Raises(Shown):
  def __init__(self, **fields):
    raise ValueError("refused")

class Other(object):
  pass

class NewOther(Shown):
  def __new__(cls, **fields):
    return Other.__name__
  def __init__(self, **fields):
    raise AssertionError("not an instance: not initialised")

class Sub(Fields):
  def __init__(self, **fields):
    self.sub = sorted(fields)

class NewSub(Fields):
  def __new__(cls, **fields):
    return object.__new__(Sub)

def MakeClosed():
  k = 5
  class Closed(Shown):
    __slots__ = ("k", "a")
    def __init__(self, a):
      self.k, self.a = k, a
    def __repr__(self):
      return repr((self.k, self.a))
  return Closed

class Old:
  def __init__(self, **fields):
    self.order = list(fields)
  def __repr__(self):
    return repr(self.order)

class Meta(type):
  def __call__(cls, **fields):
    return ("meta", sorted(fields))

Metaclassed = Meta("Metaclassed", (object,), {})

class BuiltinInit(dict):
  pass

class KeywordDict(dict):
  pass

many = dict(("k%02d" % i, i) for i in range(20))
cases = [
    (Fields, {"a": 1, "b": 2, "c": 3}), (Fields, {}), (Named, {"a": 1}),
    (Named, {"a": 1, "b": 3}), (Named, {"c": 1}), (Named, {}),
    (Returns, {"a": 1}), (Raises, {"a": 1}), (NewOther, {"a": 1}),
    (NewSub, {"a": 1}), (MakeClosed(), {"a": 1}), (Old, {"a": 1}),
    (Metaclassed, {"a": 1}), (BuiltinInit, {"a": 1}), (dict, {"a": 1}),
    (type, {"a": 1}), (Fields, many), (Fields, KeywordDict(a=1)),
    (int, {"x": "7"}), (object, {"a": 1}),
]
)";

// Every case gives the same outcome through py::ConstructWithKeywords as
// through the class's generic call.
TEST(Construct, AgreesWithTheGenericCall) {
  py::Object globals = RunScript(kClasses);
  ASSERT_TRUE(globals) << Outcome([] { return py::Object(); });
  py::Object init_name = py::Object::Steal(PyString_InternFromString("__init__"));
  py::Object no_positionals = py::Object::Steal(PyTuple_New(0));
  PyObject* cases = PyDict_GetItemString(globals.get(), "cases");
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(cases); ++i) {
    PyObject* cls = PyTuple_GET_ITEM(PyList_GET_ITEM(cases, i), 0);
    PyObject* keywords = PyTuple_GET_ITEM(PyList_GET_ITEM(cases, i), 1);
    const std::string generic = Outcome([&] {
      return py::Object::Steal(
          PyObject_Call(cls, no_positionals.get(), keywords));
    });
    const std::string direct = Outcome([&] {
      return py::ConstructWithKeywords(cls, keywords, init_name.get());
    });
    EXPECT_EQ(direct, generic) << "case " << i;
  }
  // The fast path did run: the plain __init__ received the keywords in the
  // dict's own order.
  PyObject* first = PyTuple_GET_ITEM(PyList_GET_ITEM(cases, 0), 1);
  py::Object made = py::ConstructWithKeywords(
      PyTuple_GET_ITEM(PyList_GET_ITEM(cases, 0), 0), first, init_name.get());
  ASSERT_TRUE(made);
  py::Object order = py::GetAttr(made, "order");
  py::Object keys = py::Object::Steal(PyDict_Keys(first));
  EXPECT_EQ(PyObject_RichCompareBool(order.get(), keys.get(), Py_EQ), 1);
  EXPECT_NE(py::OwnInitSlot(), nullptr);
}

}  // namespace
