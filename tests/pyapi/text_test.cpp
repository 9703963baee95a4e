#include <Python.h>
#include <gtest/gtest.h>

#include "pyapi/args.h"
#include "pyapi/errors.h"
#include "pyapi/text.h"
#include "pyapi/version.h"

#include <string>

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
  EXPECT_EQ(py::UnicodeLength(unicode.get()), py::kUnicodeIsUtf16 ? 5 : 4);
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
      ASSERT_EQ(py::UnicodeLength(unicode.get()),
                static_cast<Py_ssize_t>(py::kUnicodeIsUtf16 ? length
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
  EXPECT_EQ(py::UnicodeLength(up_to_nul.get()), 2);
  py::Object capped = py::UnicodeFromWideBuffer(text, 1);
  EXPECT_EQ(py::UnicodeLength(capped.get()), 1);
}

TEST(Text, WideArgumentIsTheInterpretersTextWhereWidthsMatch) {
  const WCHAR text[] = {u'C', u':', 0xD83D, 0xDE00};
  py::Object unicode = py::UnicodeFromWide(text, 4);
  const py::WideArgument as_is(unicode.get());
  EXPECT_EQ(py::WideString(as_is.c_str()), py::WideString(text, 4));
  EXPECT_EQ(as_is.borrowed(), py::kUnicodeIsUtf16);
  EXPECT_FALSE(py::ContainsNul(unicode.get()));

  const py::WideArgument root(unicode.get(), u'\\');
  EXPECT_EQ(py::WideString(root.c_str()), py::WideString(text, 4) + u'\\');
  EXPECT_FALSE(root.borrowed());
  py::Object root_unicode = py::UnicodeFromWide(root.c_str(), 5);
  const py::WideArgument already_root(root_unicode.get(), u'\\');
  EXPECT_EQ(py::WideString(already_root.c_str()), py::WideString(root.c_str()));
  EXPECT_EQ(already_root.borrowed(), py::kUnicodeIsUtf16);

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
  if (py::kStrIsUnicode) {  // Python 3 converts through __index__ alone
    EXPECT_FALSE(py::ToInt64(real.get(), &value));
    EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_TypeError));
    PyErr_Clear();
  } else {
    ASSERT_TRUE(py::ToInt64(real.get(), &value));
    EXPECT_EQ(value, -7);
  }
}

TEST(Text, EndsWithReadsTheLastCharacter) {
  const struct {
    std::u16string text;
    bool ends_with_backslash;
  } kCases[] = {{u"", false}, {u"\\", true}, {u"C:\\", true},
                {u"C:", false}, {u"\\x", false}};
  for (const auto& check : kCases) {
    py::Object unicode =
        py::UnicodeFromWide(reinterpret_cast<const WCHAR*>(check.text.data()),
                            check.text.size());
    EXPECT_EQ(py::UnicodeEndsWith(unicode.get(), '\\'),
              check.ends_with_backslash);
  }
}

// Major and minor version are compared whole: 3.1 is not 3.12.
TEST(Errors, VersionMismatchWarnsUnlessFiltersMakeItAnError) {
  const std::string built_for = std::to_string(PY_MAJOR_VERSION) + "." +
                                std::to_string(PY_MINOR_VERSION);
  // `shown`: the runtime version the warning names; empty where none.
  const struct {
    std::string runtime;
    std::string shown;
  } kCases[] = {
      {built_for + ".18 (default)", ""},
      {built_for + "+", ""},
      {built_for + "1.0", built_for + "1"},
      {"3.7.1 (skewed)", "3.7"},
      {"2.6.9", "2.6"},
  };
  PyRun_SimpleString("import warnings; warnings.simplefilter('error')");
  for (const auto& check : kCases) {
    const int status =
        py::WarnOnVersionMismatch("windows.volumes", check.runtime.c_str());
    if (check.shown.empty()) {
      EXPECT_EQ(status, 0) << check.runtime;
      continue;
    }
    EXPECT_EQ(status, -1) << check.runtime;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    py::Object text = py::Object::Steal(PyObject_Str(value));
    EXPECT_EQ(std::string(py::StrText(text.get())),
              "compiletime version " + built_for +
                  " of module 'windows.volumes' does not match runtime "
                  "version " + check.shown);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
  }
  PyRun_SimpleString("warnings.resetwarnings()");
}

}  // namespace
