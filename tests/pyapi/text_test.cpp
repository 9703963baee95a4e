#include <Python.h>
#include <gtest/gtest.h>

#include "pyapi/args.h"
#include "pyapi/errors.h"
#include "pyapi/text.h"

namespace {

class Interpreter : public ::testing::Environment {
 public:
  void SetUp() override { Py_InitializeEx(0); }
};
const auto* const interpreter =
    ::testing::AddGlobalTestEnvironment(new Interpreter);

TEST(Text, RoundTripsSurrogatePairsAndEmbeddedNuls) {
  const WCHAR text[] = {u'a', 0, 0xD83D, 0xDE00, u'z'};
  py::Object unicode = py::UnicodeFromWide(text, 5);
  ASSERT_TRUE(unicode);
  EXPECT_EQ(PyUnicode_GET_SIZE(unicode.get()), Py_UNICODE_SIZE == 2 ? 5 : 4);
  EXPECT_EQ(py::WideFromUnicode(unicode.get()), py::WideString(text, 5));
}

TEST(Text, BufferStopsAtFirstNulOrCapacity) {
  const WCHAR text[] = {u'C', u':', 0, u'x'};
  py::Object up_to_nul = py::UnicodeFromWideBuffer(text, 4);
  EXPECT_EQ(PyUnicode_GET_SIZE(up_to_nul.get()), 2);
  py::Object capped = py::UnicodeFromWideBuffer(text, 1);
  EXPECT_EQ(PyUnicode_GET_SIZE(capped.get()), 1);
}

TEST(Args, ToInt64ConvertsAndRejects) {
  int64_t value = 0;
  py::Object big = py::Object::Steal(PyLong_FromString(
      const_cast<char*>("9223372036854775808"), nullptr, 10));
  EXPECT_FALSE(py::ToInt64(big.get(), &value));
  EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_OverflowError));
  PyErr_Clear();
  py::Object text = py::String("12");
  EXPECT_FALSE(py::ToInt64(text.get(), &value));
  EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_TypeError));
  PyErr_Clear();
  py::Object real = py::Object::Steal(PyFloat_FromDouble(-7.9));
  ASSERT_TRUE(py::ToInt64(real.get(), &value));
  EXPECT_EQ(value, -7);
}

TEST(Errors, VersionMismatchWarnsUnlessFiltersMakeItAnError) {
  EXPECT_EQ(py::WarnOnVersionMismatch("windows.volumes", "2.7.18 (default)"), 0);
  EXPECT_EQ(py::WarnOnVersionMismatch("windows.volumes", "2.6.9"), 0);
  PyRun_SimpleString("import warnings; warnings.simplefilter('error')");
  EXPECT_EQ(py::WarnOnVersionMismatch("windows.volumes", "3.7.1"), -1);
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  py::Object text = py::Object::Steal(PyObject_Str(value));
  EXPECT_STREQ(PyString_AsString(text.get()),
               "compiletime version 2.7 of module 'windows.volumes' does not "
               "match runtime version 3.7");
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(traceback);
  PyRun_SimpleString("warnings.resetwarnings()");
}

}  // namespace
