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

// The scans run over whole vector widths and a remainder: a pair, a lone
// surrogate or a NUL is found wherever it stands, in texts of any length.
TEST(Text, ScansFindEveryUnitAtEveryPosition) {
  for (size_t length = 2; length <= 40; ++length) {
    for (size_t at = 0; at + 1 < length; ++at) {
      py::WideString paired(length, u'v');
      paired[at] = 0xD83D;
      paired[at + 1] = 0xDE00;
      py::Object unicode = py::UnicodeFromWide(paired.data(), length);
      ASSERT_EQ(PyUnicode_GET_SIZE(unicode.get()),
                static_cast<Py_ssize_t>(Py_UNICODE_SIZE == 2 ? length
                                                             : length - 1));
      EXPECT_EQ(py::WideFromUnicode(unicode.get()), paired) << length << at;
      EXPECT_EQ(py::WideString(py::WideArgument(unicode.get()).c_str()), paired);
      EXPECT_FALSE(py::ContainsNul(unicode.get()));

      py::WideString lone(length, u'v');
      lone[at] = 0xDC00;
      EXPECT_EQ(py::WideFromUnicode(
                    py::UnicodeFromWide(lone.data(), length).get()),
                lone);
      lone[at] = 0;
      EXPECT_TRUE(py::ContainsNul(
          py::UnicodeFromWide(lone.data(), length).get()));
    }
  }
}

TEST(Text, BufferStopsAtFirstNulOrCapacity) {
  const WCHAR text[] = {u'C', u':', 0, u'x'};
  py::Object up_to_nul = py::UnicodeFromWideBuffer(text, 4);
  EXPECT_EQ(PyUnicode_GET_SIZE(up_to_nul.get()), 2);
  py::Object capped = py::UnicodeFromWideBuffer(text, 1);
  EXPECT_EQ(PyUnicode_GET_SIZE(capped.get()), 1);
}

TEST(Text, WideArgumentIsTheInterpretersTextWhereWidthsMatch) {
  const WCHAR text[] = {u'C', u':', 0xD83D, 0xDE00};
  py::Object unicode = py::UnicodeFromWide(text, 4);
  const py::WideArgument as_is(unicode.get());
  EXPECT_EQ(py::WideString(as_is.c_str()), py::WideString(text, 4));
  EXPECT_EQ(as_is.borrowed(), Py_UNICODE_SIZE == 2);
  EXPECT_FALSE(py::ContainsNul(unicode.get()));

  const py::WideArgument root(unicode.get(), u'\\');
  EXPECT_EQ(py::WideString(root.c_str()), py::WideString(text, 4) + u'\\');
  EXPECT_FALSE(root.borrowed());
  py::Object root_unicode = py::UnicodeFromWide(root.c_str(), 5);
  const py::WideArgument already_root(root_unicode.get(), u'\\');
  EXPECT_EQ(py::WideString(already_root.c_str()), py::WideString(root.c_str()));
  EXPECT_EQ(already_root.borrowed(), Py_UNICODE_SIZE == 2);

  // Longer than the path limit: converted whole, wherever it is held.
  const py::WideString long_text(600, u'x');
  py::Object long_unicode = py::UnicodeFromWide(long_text.data(), 600);
  EXPECT_EQ(py::WideString(py::WideArgument(long_unicode.get(), u'\\').c_str()),
            long_text + u'\\');

  const WCHAR with_nul[] = {u'a', 0, u'b'};
  py::Object nul_inside = py::UnicodeFromWide(with_nul, 3);
  EXPECT_TRUE(py::ContainsNul(nul_inside.get()));
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
