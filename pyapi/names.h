// Names looked up at the moment of use, and imports done as a module body's
// `import` statements do them.
#pragma once

#include <Python.h>

#include "pyapi/object.h"
#include "pyapi/version.h"

namespace py {

// A name the module looks up or passes while it serves a call: an interned
// str made once, when the module loads (InternNames), so that the lookups
// still made at each use hash and allocate nothing. Define each as a
// namespace-scope constant; the str is held for the life of the process,
// as the module is never unloaded.
class Name {
 public:
  explicit Name(const char* text);
  Name(const Name&) = delete;
  Name& operator=(const Name&) = delete;

  const char* text() const { return text_; }
  // Null until InternNames has made it.
  PyObject* get() const { return object_; }
  operator Handle() const { return Handle(object_); }  // NOLINT

 private:
  friend bool InternNames();
  const char* text_;
  PyObject* object_ = nullptr;
};

// Makes every Name of the module. False with an exception pending.
bool InternNames();

// `name` in the module namespace `globals`, then among the built-ins;
// NameError "name '%.200s' is not defined" when neither has it.
Object LookupGlobal(PyObject* globals, const char* name);

// The same for a name made once (an interned str), so that a lookup made at
// every call hashes and allocates nothing.
Object LookupGlobal(PyObject* globals, Handle name);

// The built-in `name` (NameError as above when missing).
Object LookupBuiltin(const char* name);
Object LookupBuiltin(Handle name);

// __import__(name, globals, {}, fromlist, level) through the built-in
// __import__; `fromlist` may be null for an empty list. The default level
// is a module body's: Python 2's relative-then-absolute rule (-1) on 2.7,
// absolute (0) on Python 3.
Object Import(const char* name, PyObject* globals, PyObject* fromlist,
              int level = kImportLevel);

// `from module import name`: ImportError "cannot import name %.230s" when
// the module lacks the attribute.
Object ImportFrom(Handle module, const char* name);

// `from package import name` in one step, bound into `globals` under `name`.
// Returns false with an exception pending on failure.
bool ImportNameInto(PyObject* globals, const char* package, const char* name);

// `import name`, bound into `globals` under `name`.
bool ImportModuleInto(PyObject* globals, const char* name);

}  // namespace py
