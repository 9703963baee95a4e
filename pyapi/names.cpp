#include "pyapi/names.h"

#include <vector>

#include "pyapi/errors.h"
#include "pyapi/version.h"

namespace py {
namespace {

// The module's names, registered as their definitions run when the module's
// library loads.
std::vector<Name*>& Registered() {
  static auto* const names = new std::vector<Name*>;
  return *names;
}

}  // namespace

Name::Name(const char* text) : text_(text) { Registered().push_back(this); }

bool InternNames() {
  for (Name* name : Registered()) {
    if (name->object_ != nullptr) continue;
    name->object_ = InternedStr(name->text_).release();
    if (name->object_ == nullptr) return false;
  }
  return true;
}

namespace {

// sys.modules of the built-ins' module. Not PyImport_AddModule: when its lookup fails
// for lack of memory it installs a fresh, empty module in its place.
Object BuiltinModule(Handle name) {
  Object key = String(kBuiltinsModuleName);
  if (!key) return key;
  PyObject* builtins =
      PyDict_GetItem(PyImport_GetModuleDict(), key.get());  // borrowed
  if (builtins == nullptr) {
    const char* text = StrText(name.get());
    if (text != nullptr) RaiseNameNotDefined(text);
    return Object();
  }
  return Object::Borrow(builtins);
}

}  // namespace

Object LookupBuiltin(Handle name) {
  Object builtins = BuiltinModule(name);
  if (!builtins) return builtins;
  Object value = Object::Steal(PyObject_GetAttr(builtins.get(), name.get()));
  if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    const char* text = StrText(name.get());
    if (text != nullptr) RaiseNameNotDefined(text);
  }
  return value;
}

Object LookupBuiltin(const char* name) {
  Object text = String(name);
  if (!text) return text;
  return LookupBuiltin(text);
}

Object LookupGlobal(PyObject* globals, Handle name) {
  PyObject* value = PyDict_GetItem(globals, name.get());  // borrowed
  if (value != nullptr) return Object::Borrow(value);
  return LookupBuiltin(name);
}

// The name is made first: PyDict_GetItemString answers a failure to make
// it as it answers a missing name.
Object LookupGlobal(PyObject* globals, const char* name) {
  Object key = String(name);
  if (!key) return key;
  return LookupGlobal(globals, key);
}

Object Import(const char* name, PyObject* globals, PyObject* fromlist,
              int level) {
  Object import = LookupBuiltin("__import__");
  if (!import) return import;
  Object module_name = String(name);
  Object locals = Object::Steal(PyDict_New());
  Object names = fromlist != nullptr ? Object::Borrow(fromlist)
                                     : Object::Steal(PyList_New(0));
  Object level_number = IntFromLong(level);
  if (!module_name || !locals || !names || !level_number) return Object();
  return CallWith(import, module_name, Handle(globals), locals, names,
                  level_number);
}

Object ImportFrom(Handle module, const char* name) {
  Object value = GetAttr(module, name);
  if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Format(PyExc_ImportError, "cannot import name %.230s", name);
  }
  return value;
}

bool ImportNameInto(PyObject* globals, const char* package, const char* name) {
  Object name_text = String(name);
  if (!name_text) return false;
  Object fromlist = Object::Steal(PyList_New(1));
  if (!fromlist) return false;
  PyList_SET_ITEM(fromlist.get(), 0, name_text.release());
  Object module = Import(package, globals, fromlist.get());
  if (!module) return false;
  Object value = ImportFrom(module, name);
  return value && PyDict_SetItemString(globals, name, value.get()) == 0;
}

bool ImportModuleInto(PyObject* globals, const char* name) {
  Object module = Import(name, globals, nullptr);
  return module && PyDict_SetItemString(globals, name, module.get()) == 0;
}

}  // namespace py
