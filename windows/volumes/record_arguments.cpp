#include "windows/volumes/record_arguments.h"

#include <utility>

#include "windows/volumes/module_state.h"

namespace volumes {
namespace {

// The record's keywords, in the order the record passes them.
constexpr py::Object Names::*kRecordKeywords[] = {
    &Names::volume,      &Names::mountpoint, &Names::device_file,
    &Names::device_number, &Names::uuid,     &Names::model,
    &Names::device_type, &Names::label,      &Names::filesystem,
    &Names::size,
};
constexpr int kRecordKeywordCount =
    static_cast<int>(sizeof kRecordKeywords / sizeof kRecordKeywords[0]);
static_assert(kRecordKeywordCount == RecordArguments::kKeywords,
              "a record takes one value for each keyword");

// What a dict grown one insertion at a time uses when it reaches its sixth
// key (four times its keys): the size the presized dict asks for.
constexpr Py_ssize_t kGrownTableUse = 4 * 6;

PyObject* Keyword(int index) { return (Name().*kRecordKeywords[index]).get(); }

PyObject* NewRecordDict(bool presized) {
  return presized ? _PyDict_NewPresized(kGrownTableUse) : PyDict_New();
}

// A record dict of `values`, inserted as Build inserts them.
py::Object FillRecordDict(bool presized, PyObject* const* values) {
  py::Object fields = py::Object::Steal(NewRecordDict(presized));
  if (!fields) return fields;
  for (int i = kRecordKeywordCount - 1; i >= 0; --i) {
    if (PyDict_SetItem(fields.get(), Keyword(i), values[i]) < 0) return {};
  }
  return fields;
}

}  // namespace

bool RecordArguments::Add(py::Object value) {
  if (!value) return false;
  values_[added_++] = std::move(value);
  return true;
}

void RecordArguments::Values(PyObject** values) const {
  for (int i = 0; i < kRecordKeywordCount; ++i) values[i] = values_[i].get();
}

py::Object RecordArguments::Build() const {
  PyObject* values[kRecordKeywordCount];
  Values(values);
  return FillRecordDict(State().presized_records, values);
}

py::Object RecordDict::Fill(const RecordArguments& arguments) {
  py::Object fields = std::move(kept_);
  // Checked now, not when the dict came back: host code has run since, and
  // could have reached the dict (the collector lists it) and kept or
  // changed it.
  if (fields && Py_REFCNT(fields.get()) == 1 && AsMade(fields.get())) {
    PyObject* values[kRecordKeywordCount];
    arguments.Values(values);
    Refill(fields.get(), values);
    return fields;
  }
  fields = arguments.Build();
  if (!fields) return fields;
  const auto* const dict = reinterpret_cast<PyDictObject*>(fields.get());
  mask_ = dict->ma_mask;
  for (int i = 0; i < kRecordKeywordCount; ++i) {
    for (Py_ssize_t slot = 0; slot <= mask_; ++slot) {
      if (dict->ma_table[slot].me_key == Keyword(i)) slots_[i] = slot;
    }
  }
  return fields;
}

// What PyDict_SetItem does for a key the dict holds: the collector starts
// tracking a dict that receives an object it may track, the new value
// takes the slot and the old one is released. The old values are released
// only once every slot is written, so that code run by a release finds the
// dict whole.
void RecordDict::Refill(PyObject* fields, PyObject* const* values) {
  auto* const dict = reinterpret_cast<PyDictObject*>(fields);
  PyObject* old_values[kRecordKeywordCount];
  for (int i = 0; i < kRecordKeywordCount; ++i) {
    PyObject* const value = values[i];
    if (!_PyObject_GC_IS_TRACKED(fields) && _PyObject_GC_MAY_BE_TRACKED(value)) {
      PyObject_GC_Track(fields);
    }
    Py_INCREF(value);
    old_values[i] = dict->ma_table[slots_[i]].me_value;
    dict->ma_table[slots_[i]].me_value = value;
  }
  for (PyObject* old_value : old_values) Py_DECREF(old_value);
}

void RecordDict::Return(py::Object fields) { kept_ = std::move(fields); }

void RecordDict::ReleaseValues() {
  if (!kept_) return;
  if (Py_REFCNT(kept_.get()) != 1 || !AsMade(kept_.get())) {
    kept_.reset();
    return;
  }
  PyObject* nones[kRecordKeywordCount];
  for (PyObject*& none : nones) none = Py_None;
  Refill(kept_.get(), nones);
}

bool RecordDict::AsMade(PyObject* fields) const {
  const auto* const dict = reinterpret_cast<PyDictObject*>(fields);
  if (dict->ma_mask != mask_ || dict->ma_used != kRecordKeywordCount ||
      dict->ma_fill != kRecordKeywordCount) {
    return false;
  }
  for (int i = 0; i < kRecordKeywordCount; ++i) {
    if (dict->ma_table[slots_[i]].me_key != Keyword(i)) {
      return false;
    }
  }
  return true;
}

int RecordTablesAlike() {
  PyObject* nones[kRecordKeywordCount];
  for (PyObject*& none : nones) none = Py_None;
  py::Object grown = FillRecordDict(false, nones);
  py::Object presized = FillRecordDict(true, nones);
  if (!grown || !presized) return -1;
  const auto* const grown_dict = reinterpret_cast<PyDictObject*>(grown.get());
  const auto* const presized_dict =
      reinterpret_cast<PyDictObject*>(presized.get());
  if (grown_dict->ma_mask != presized_dict->ma_mask ||
      grown_dict->ma_fill != kRecordKeywordCount ||
      presized_dict->ma_fill != kRecordKeywordCount) {
    return 0;
  }
  for (Py_ssize_t slot = 0; slot <= grown_dict->ma_mask; ++slot) {
    if (grown_dict->ma_table[slot].me_key !=
        presized_dict->ma_table[slot].me_key) {
      return 0;
    }
  }
  return 1;
}

}  // namespace volumes
