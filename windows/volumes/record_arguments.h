// The keyword arguments of a volume record, as the refresh passes them to
// volume_entry.VolumeEntry.
#pragma once

#include <Python.h>

#include "pyapi/object.h"

namespace volumes {

// The ten keyword arguments of a record: the values in the record's order,
// then the dict, which takes the keywords last first, as the interpreter's
// own keyword call fills it; the callee iterates them in the order a call
// written out in Python gives. The dict is made with the table size it
// would grow to anyway when that provably leaves every key where growing
// would (RecordTablesAlike), so nothing is inserted twice.
class RecordArguments {
 public:
  static constexpr int kKeywords = 10;

  RecordArguments() = default;
  RecordArguments(const RecordArguments&) = delete;
  RecordArguments& operator=(const RecordArguments&) = delete;

  // Takes the next keyword's value; false when it is null (its failure,
  // with the exception pending).
  bool Add(py::Object value);

  // The keyword dict of the ten values; null with the exception pending.
  py::Object Build() const;

  // The ten values, borrowed, into `values`.
  void Values(PyObject** values) const;

 private:
  py::Object values_[kKeywords];
  int added_ = 0;
};

// The keyword dicts of the refreshes' records. The dict passed for one
// record is refilled in place for the next, within a refresh and from one
// refresh to the next, while nothing else holds it and its table is as it
// was made: the same size, no other key, every keyword in the slot it was
// put in. Writing each value into its slot is then what setting the keyword
// would do, and the result is the very dict a fresh fill would make; no
// record allocates one. Between refreshes it holds None for every keyword,
// so that no record's values outlive the refresh that made them.
class RecordDict {
 public:
  RecordDict() = default;
  RecordDict(const RecordDict&) = delete;
  RecordDict& operator=(const RecordDict&) = delete;

  // The dict of `arguments`; null with the exception pending.
  py::Object Fill(const RecordArguments& arguments);

  // Takes back the dict Fill gave, once the call it was passed to is over.
  void Return(py::Object fields);

  // Puts None in every slot of the dict taken back, at the end of a
  // refresh; a dict that is no longer as made is dropped instead.
  void ReleaseValues();

  // Releases the values at the end of a refresh, however it ends.
  class RefreshScope {
   public:
    explicit RefreshScope(RecordDict* records) : records_(records) {}
    ~RefreshScope() { records_->ReleaseValues(); }
    RefreshScope(const RefreshScope&) = delete;
    RefreshScope& operator=(const RefreshScope&) = delete;

   private:
    RecordDict* records_;
  };

 private:
  bool AsMade(PyObject* fields) const;
  void Refill(PyObject* fields, PyObject* const* values);

  py::Object kept_;
  Py_ssize_t mask_ = 0;
  Py_ssize_t slots_[RecordArguments::kKeywords] = {};
};

// Whether a record dict made with the final table size holds every keyword
// in the slot a dict grown one insertion at a time gives it. Decided once at
// load: the layout depends only on the keywords, their hashes (fixed for the
// life of the interpreter) and the order of insertion. -1 with an exception
// pending on failure.
int RecordTablesAlike();

}  // namespace volumes
