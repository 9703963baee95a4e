#include "windows/volumes/queries.h"


#include "pyapi/exception_barrier.h"
#include "pyapi/text.h"
#include "win32/win32.h"
#include "windows/volumes/module_state.h"
#include "windows/volumes/volume_search.h"

namespace volumes {
namespace {

// Volume GUID names: the Win32 path limit plus the terminating NUL.
constexpr DWORD kNameLength = MAX_PATH + 1;

}  // namespace

bool CheckNoNul(PyObject* unicode, const char* argument_name) {
  if (!py::ContainsNul(unicode)) return true;
  PyErr_Format(TypeErrorClass(),
               "Argument '%.200s' must be a string without null characters",
               argument_name);
  return false;
}

py::Object ListVolumeNames() {
  WCHAR name[kNameLength] = {};
  VolumeSearch search(FindFirstVolumeW(name, kNameLength));
  if (!search) return py::Object::Steal(RaiseLastWindowsError());
  py::Object last = py::UnicodeFromWideBuffer(name, kNameLength);
  if (!last) return {};
  py::Object volume_names = py::Object::Steal(PyList_New(0));
  if (!volume_names || PyList_Append(volume_names.get(), last.get()) < 0) {
    return {};
  }
  for (;;) {
    if (!FindNextVolumeW(search.get(), name, kNameLength)) {
      const DWORD error = GetLastError();
      if (error == ERROR_NO_MORE_FILES) break;
      return py::Object::Steal(RaiseWindowsError(error));
    }
    py::Object next = py::UnicodeFromWideBuffer(name, kNameLength);
    if (!next) return {};
    const int repeated =
        PyObject_RichCompareBool(next.get(), last.get(), Py_EQ);
    if (repeated < 0) return {};
    if (repeated) {
      // A misbehaving driver can hand the same name back for ever.
      if (!Log(names::error, "FindNextVolume improperly returned same value %s",
               next)) {
        return {};
      }
      break;
    }
    if (PyList_Append(volume_names.get(), next.get()) < 0) return {};
    last = std::move(next);
  }
  return volume_names;
}

namespace {

const char kListVolumeNamesDoc[] =
    "Returns a list of UNC volume names.\n"
    "\n"
    "The list holds the GUID volume names that the system reports, in the\n"
    "system's order. Not every name corresponds to a mounted volume.\n"
    "\n"
    "Raises:\n"
    "  WindowsError: a call to the Windows API failed.\n";

PyObject* ListVolumeNamesFunction(PyObject*, PyObject*) {
  return ListVolumeNames().release();
}

}  // namespace

PyMethodDef kListVolumeNamesFunction = {"_ListVolumeNames",
                                        py::Guarded<ListVolumeNamesFunction>,
                                        METH_NOARGS, kListVolumeNamesDoc};

}  // namespace volumes
