#include <Python.h>
#include <gtest/gtest.h>

#include <vector>

#include "pyapi/dicts.h"
#include "pyapi/object.h"
#include "tests/pyapi/outcome.h"

namespace {

// Each case: the dict, and whether it is copied slot for slot.
const char kCases[] = R"(
import gc

class Text(str):
  pass

def Cleared():
  d = {5: 1}       # an int key switches the dict to the general lookup
  d.clear()
  d["a"] = 1
  return d

def Deleted():
  d = {1: 1, 2: 2}
  del d[1]
  return d

def Untracked():
  d = {(1, 2): "v"}
  gc.collect()     # leaves the tuple and the dict untracked
  return d

cases = [
  ({}, True),
  ({"a": 1}, True),
  ({"a": [], "b": 2}, True),
  ({1: "x", 2: "y"}, True),
  ({0: 0, 1: 1, 2: 2, 3: 3, 4: 4}, True),
  ({"k": 1, 3: "v"}, True),
  ({Text("a"): 1}, True),
  ({(1, 2): "v"}, True),
  (Untracked(), True),
  (Cleared(), True),
  ({0: "a", 8: "b"}, False),    # 8 collides with 0 and is probed on
  ({8: "b", 0: "a"}, False),
  (Deleted(), False),
  (dict.fromkeys("abcdef"), False),
]
)";

bool Tracked(PyObject* object) { return _PyObject_GC_IS_TRACKED(object); }

// The references each key and value of `dict` gain from `copy`.
template <typename Copy>
std::vector<Py_ssize_t> ReferencesGained(PyObject* dict, Copy copy,
                                         py::Object* copied) {
  std::vector<PyObject*> items;
  Py_ssize_t position = 0;
  PyObject* key;
  PyObject* value;
  while (PyDict_Next(dict, &position, &key, &value)) {
    items.push_back(key);
    items.push_back(value);
  }
  std::vector<Py_ssize_t> before;
  for (PyObject* item : items) before.push_back(Py_REFCNT(item));
  *copied = copy();
  std::vector<Py_ssize_t> gained;
  for (size_t i = 0; i < items.size(); ++i) {
    gained.push_back(Py_REFCNT(items[i]) - before[i]);
  }
  return gained;
}

TEST(ExactDictCopy, MatchesPyDictCopyTableForTable) {
  py::Object globals = RunScript(kCases);
  ASSERT_TRUE(globals) << Outcome([] { return py::Object(); });
  PyObject* const cases = PyDict_GetItemString(globals.get(), "cases");
  ASSERT_NE(cases, nullptr);
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(cases); ++i) {
    PyObject* const dict = PyTuple_GET_ITEM(PyList_GET_ITEM(cases, i), 0);
    const bool slot_for_slot =
        PyTuple_GET_ITEM(PyList_GET_ITEM(cases, i), 1) == Py_True;
    SCOPED_TRACE(Outcome([&] { return py::Object::Borrow(dict); }));
    EXPECT_EQ(slot_for_slot,
              py::CopiesSlotForSlot(reinterpret_cast<PyDictObject*>(dict)));

    py::Object fast;
    py::Object usual;
    const std::vector<Py_ssize_t> fast_gained =
        ReferencesGained(dict, [&] { return py::ExactDictCopy(dict); }, &fast);
    const std::vector<Py_ssize_t> usual_gained = ReferencesGained(
        dict, [&] { return py::Object::Steal(PyDict_Copy(dict)); }, &usual);
    ASSERT_TRUE(fast && usual);
    EXPECT_EQ(usual_gained, fast_gained);

    const auto* made = reinterpret_cast<PyDictObject*>(fast.get());
    const auto* expected = reinterpret_cast<PyDictObject*>(usual.get());
    EXPECT_EQ(expected->ma_fill, made->ma_fill);
    EXPECT_EQ(expected->ma_used, made->ma_used);
    ASSERT_EQ(expected->ma_mask, made->ma_mask);
    EXPECT_EQ(expected->ma_table == expected->ma_smalltable,
              made->ma_table == made->ma_smalltable);
    EXPECT_EQ(expected->ma_lookup, made->ma_lookup);
    EXPECT_EQ(Tracked(usual.get()), Tracked(fast.get()));
    for (Py_ssize_t slot = 0; slot <= made->ma_mask; ++slot) {
      EXPECT_EQ(expected->ma_table[slot].me_hash, made->ma_table[slot].me_hash);
      EXPECT_EQ(expected->ma_table[slot].me_key, made->ma_table[slot].me_key);
      EXPECT_EQ(expected->ma_table[slot].me_value,
                made->ma_table[slot].me_value);
    }
  }
}

}  // namespace
