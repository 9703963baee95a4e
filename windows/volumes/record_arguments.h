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

 private:
  py::Object values_[kKeywords];
  int added_ = 0;
};

// Whether a record dict made with the final table size holds every keyword
// in the slot a dict grown one insertion at a time gives it. Decided once at
// load: the layout depends only on the keywords, their hashes (fixed for the
// life of the interpreter) and the order of insertion. -1 with an exception
// pending on failure.
int RecordTablesAlike();

}  // namespace volumes
