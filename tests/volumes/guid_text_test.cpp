#include <Python.h>
#include <gtest/gtest.h>

#include <string>

#include "pyapi/object.h"
#include "windows/volumes/guid_text.h"

namespace {

// What VOLUME_NAME_GUID_MATCHER's own `match` and group 1 give for `name`,
// from the interpreter's `re` with the module's pattern text.
std::u32string GroupOneOfRe(const std::u32string& name, bool* matched) {
  py::Object re = py::Object::Steal(PyImport_ImportModule("re"));
  py::Object pattern = py::Object::Steal(PyObject_CallMethod(
      re.get(), const_cast<char*>("compile"), const_cast<char*>("s"),
      R"(\\\\\?\\Volume\{([\w-]+)\}\\)"));
  py::Object subject = py::Object::Steal(PyUnicode_DecodeUTF32(
      reinterpret_cast<const char*>(name.data()),
      static_cast<Py_ssize_t>(name.size() * 4), nullptr, nullptr));
  py::Object match = py::Object::Steal(PyObject_CallMethod(
      pattern.get(), const_cast<char*>("match"), const_cast<char*>("O"),
      subject.get()));
  EXPECT_TRUE(match) << "re failed";
  *matched = match && match.get() != Py_None;
  if (!*matched) return {};
  py::Object group = py::Object::Steal(PyObject_CallMethod(
      match.get(), const_cast<char*>("group"), const_cast<char*>("i"), 1));
  std::u32string text;
  for (Py_ssize_t i = 0; i < PyUnicode_GET_SIZE(group.get()); ++i) {
    text += static_cast<char32_t>(PyUnicode_AS_UNICODE(group.get())[i]);
  }
  return text;
}

TEST(GuidText, AgreesWithTheCompiledPattern) {
  const std::u32string names[] = {
      U"\\\\?\\Volume{6f2b1c3e-0000-4a2b-9c1d-0123456789ab}\\",
      U"\\\\?\\Volume{6F2B_x-Y}\\trailing text",
      U"\\\\?\\Volume{a}\\",
      U"\\\\?\\Volume{}\\",
      U"\\\\?\\volume{abc}\\",
      U"\\\\?\\Volume{abc}",
      U"\\\\?\\Volume{abc\\",
      U"\\\\?\\Volume{ab c}\\",
      U"\\\\?\\Volume{caf\u00e9}\\",
      U"\\\\?\\Volume{\u0663\u0664}\\",
      U"\\\\?\\Volume{\U0001F600}\\",
      U"\\\\?\\Volume{abc}}\\",
      U"\\\\?\\Volume",
      U"E:\\",
      U"",
  };
  for (const std::u32string& name : names) {
    bool re_matched = false;
    const std::u32string expected = GroupOneOfRe(name, &re_matched);
    size_t begin = 0;
    size_t end = 0;
    const bool matched = volumes::FindGuidText(name.data(), name.size(),
                                               &begin, &end);
    const std::string shown(name.begin(), name.end());
    ASSERT_EQ(matched, re_matched) << shown;
    if (matched) {
      EXPECT_EQ(name.substr(begin, end - begin), expected) << shown;
    }
  }
}

}  // namespace
