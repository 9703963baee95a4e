// Exceptions: setting one aside, traceback entries, unraisable reports, and
// the texts both modules raise.
#pragma once

#include <Python.h>

#include <cstddef>

#include "pyapi/forced_unwind.h"

namespace py {

// Sets the pending exception (if any) aside for the scope and restores it
// unchanged at the end, so cleanup code can call the interpreter safely.
class ExceptionStash {
 public:
  ExceptionStash() { PyErr_Fetch(&type_, &value_, &traceback_); }
  ~ExceptionStash() {
    if (CleanupMayTouchInterpreter()) PyErr_Restore(type_, value_, traceback_);
  }
  ExceptionStash(const ExceptionStash&) = delete;
  ExceptionStash& operator=(const ExceptionStash&) = delete;

 private:
  PyObject* type_ = nullptr;
  PyObject* value_ = nullptr;
  PyObject* traceback_ = nullptr;
};

// Adds a traceback entry `function` at `filename`:`line` to the pending
// exception, as a Python frame would.
void AddTraceback(const char* function, int line, const char* filename);

// Where a module's traceback entries point: its source path, and one line
// of its own choosing.
struct TracebackSource {
  const char* path;
  int line;
};

// The result of a module's operation `operation` (its qualified name): a
// failure, null or false with an exception pending, gains one traceback
// entry naming the operation, so that the host sees which one failed.
template <typename Result>
Result Traced(Result result, const char* operation,
              const TracebackSource& source) {
  if (!result) AddTraceback(operation, source.line, source.path);
  return result;
}

// Reports the pending exception where no caller can receive it: its full
// traceback on standard error, then the interpreter's "Exception ... in
// `context` ignored" notice. The error indicator is clear afterwards.
void WriteUnraisable(const char* context);

// MemoryError "Could not allocate %s bytes." for a module's own buffer.
// Always returns nullptr.
PyObject* RaiseAllocationFailure(size_t bytes);
// The same, raised as `memory_error`: the MemoryError class a module fetched
// from the built-ins when it loaded.
PyObject* RaiseAllocationFailure(size_t bytes, PyObject* memory_error);

// NameError "name '%.200s' is not defined". Always returns nullptr.
PyObject* RaiseNameNotDefined(const char* name);

// Warns (RuntimeWarning) when the running interpreter's major.minor version
// differs from the one the module was built for.
// Returns -1 when the warning filters turned the warning into an error.
int WarnOnVersionMismatch(const char* module_name,
                          const char* runtime_version = Py_GetVersion());

}  // namespace py
