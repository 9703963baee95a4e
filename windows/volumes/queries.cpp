#include "windows/volumes/queries.h"

#include <algorithm>

#include "pyapi/args.h"
#include "pyapi/errors.h"
#include "pyapi/exception_barrier.h"
#include "pyapi/text.h"
#include "win32/win32.h"
#include "windows/volumes/module_state.h"
#include "windows/volumes/volume_search.h"

namespace volumes {
namespace {

// Volume names, labels and file-system names: the Win32 path limit plus the
// terminating NUL.
constexpr DWORD kNameLength = MAX_PATH + 1;
// The path-name buffer starts small; the system says how much it needs.
constexpr DWORD kInitialPathNamesLength = 5;
// A system that keeps asking for more must not keep us here for ever.
constexpr int kMaxPathNamesPasses = 32;
constexpr WCHAR kBackslash = '\\';

// What a volume information query writes.
struct VolumeInformationFields {
  WCHAR label[kNameLength] = {};
  DWORD serial_number = 0;
  DWORD component_length = 0;
  DWORD flags = 0;
  WCHAR filesystem[kNameLength] = {};
};

py::Object MakeVolumeInformation(const VolumeInformationFields& fields) {
  py::Object label_text = py::UnicodeFromWideBuffer(fields.label, kNameLength);
  if (!label_text) return {};
  py::Object serial =
      py::Object::Steal(PyLong_FromUnsignedLong(fields.serial_number));
  if (!serial) return {};
  py::Object length =
      py::Object::Steal(PyLong_FromUnsignedLong(fields.component_length));
  if (!length) return {};
  py::Object flag_bits =
      py::Object::Steal(PyLong_FromUnsignedLong(fields.flags));
  if (!flag_bits) return {};
  py::Object filesystem_text =
      py::UnicodeFromWideBuffer(fields.filesystem, kNameLength);
  if (!filesystem_text) return {};
  // No error handler named means "strict", and lets the interpreter take
  // its built-in "mbcs" encoder without a codec registry lookup.
  py::Object filesystem_name = py::Object::Steal(
      PyUnicode_AsEncodedString(filesystem_text.get(), "mbcs", nullptr));
  if (!filesystem_name) return {};
  return py::MakeTuple(label_text, serial, length, flag_bits, filesystem_name);
}

// The path-name buffer, from the interpreter's allocator.
class PathNamesBuffer {
 public:
  PathNamesBuffer() = default;
  ~PathNamesBuffer() { PyMem_Free(units_); }
  PathNamesBuffer(const PathNamesBuffer&) = delete;
  PathNamesBuffer& operator=(const PathNamesBuffer&) = delete;

  // Replaces the buffer by one of `length` characters, releasing the old one
  // first. False with MemoryError pending when it cannot be had.
  bool Allocate(DWORD length) {
    PyMem_Free(units_);
    units_ = nullptr;
    const uint64_t bytes = static_cast<uint64_t>(length) * sizeof(WCHAR);
    if (bytes <= static_cast<uint64_t>(PY_SSIZE_T_MAX)) {
      units_ = static_cast<WCHAR*>(PyMem_Malloc(static_cast<size_t>(bytes)));
    }
    if (units_ == nullptr) {
      py::RaiseAllocationFailure(static_cast<size_t>(bytes),
                                 MemoryErrorClass());
      return false;
    }
    return true;
  }

  WCHAR* get() const { return units_; }

 private:
  WCHAR* units_ = nullptr;
};

// A size in bytes for log records and error texts.
py::Object Bytes(DWORD length) {
  return py::Object::Steal(
      PyInt_FromSize_t(static_cast<size_t>(length) * sizeof(WCHAR)));
}

// The non-empty NUL-separated pieces of `text`, as a list of unicode.
py::Object SplitPathNames(const WCHAR* text, size_t length) {
  py::Object paths = py::Object::Steal(PyList_New(0));
  if (!paths) return {};
  size_t start = 0;
  for (size_t end = 0; end <= length; ++end) {
    if (end < length && text[end] != 0) continue;
    if (end > start) {
      py::Object path = py::UnicodeFromWide(text + start, end - start);
      if (!path || PyList_Append(paths.get(), path.get()) < 0) return {};
    }
    start = end + 1;
  }
  return paths;
}

PyObject* GetVolumeInformationByHandleFunction(PyObject*, PyObject* handle) {
  int64_t value = 0;
  if (!py::ToInt64(handle, &value)) return nullptr;
  return VolumeInformationByHandle(value).release();
}

PyObject* GetVolumeInformationFunction(PyObject*, PyObject* path) {
  if (!py::CheckUnicodeArgument(path, "path")) return nullptr;
  return VolumeInformation(path).release();
}

PyObject* GetVolumePathNamesFunction(PyObject*, PyObject* guid_path) {
  if (!py::CheckStringArgument(guid_path, "guid_path")) return nullptr;
  return VolumePathNames(guid_path).release();
}

PyObject* ListVolumeNamesFunction(PyObject*, PyObject*) {
  return ListVolumeNames().release();
}

const char kListVolumeNamesDoc[] =
    "Returns a list of UNC volume names.\n"
    "\n"
    "The list holds the GUID volume names that the system reports, in the\n"
    "system's order. Not every name corresponds to a mounted volume.\n"
    "\n"
    "Raises:\n"
    "  WindowsError: a call to the Windows API failed.\n";

const char kGetVolumeInformationByHandleDoc[] =
    "Retrieves volume information as per the win32 call of the same name.\n"
    "\n"
    "Args:\n"
    "  handle: the Win32 handle of an open file on the volume, as an\n"
    "    integer or an object that converts to one.\n"
    "\n"
    "Returns:\n"
    "  (volume_label, serial_number, component_length, flags, filesystem):\n"
    "  the label as unicode, the three numbers as longs (the serial number\n"
    "  matches st_dev of the volume's files) and the file-system name as an\n"
    "  mbcs-encoded str.\n"
    "\n"
    "Raises:\n"
    "  WindowsError: the Win32 call failed.\n";

const char kGetVolumeInformationDoc[] =
    "Retrieves volume information as per the win32 call of the same name.\n"
    "\n"
    "Args:\n"
    "  path: unicode mount point of the volume, such as one that\n"
    "    _GetVolumePathNamesForVolumeName returns; the trailing backslash\n"
    "    is optional.\n"
    "\n"
    "Returns:\n"
    "  (volume_label, serial_number, component_length, flags, filesystem),\n"
    "  as GetVolumeInformationByHandle does.\n"
    "\n"
    "Raises:\n"
    "  WindowsError: the Win32 call failed.\n";

const char kGetVolumePathNamesDoc[] =
    "Retrieves volume paths as per the win32 call of the same name.\n"
    "\n"
    "Some volumes have no paths assigned, even, at times, volumes that do\n"
    "have accessible mounts.\n"
    "\n"
    "Args:\n"
    "  guid_path: the volume GUID name, unicode or str, of the form\n"
    "    \"\\\\?\\Volume{ABCDEF-01234...}\\\".\n"
    "\n"
    "Returns:\n"
    "  The volume's mount points (drive letters or otherwise) as a list of\n"
    "  unicode, in the system's order; empty when there are none.\n"
    "\n"
    "Raises:\n"
    "  WindowsError: the system reported an error.\n"
    "  MemoryError: the path buffer could not be allocated.\n";

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
  py::Object names = py::Object::Steal(PyList_New(0));
  if (!names || PyList_Append(names.get(), last.get()) < 0) return {};
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
      if (!Log(Name().error, "FindNextVolume improperly returned same value %s",
               next)) {
        return {};
      }
      break;
    }
    if (PyList_Append(names.get(), next.get()) < 0) return {};
    last = std::move(next);
  }
  return names;
}

py::Object VolumeInformationByHandle(int64_t handle) {
  VolumeInformationFields fields;
  if (!GetVolumeInformationByHandleW(
          reinterpret_cast<HANDLE>(static_cast<intptr_t>(handle)),
          fields.label, kNameLength, &fields.serial_number,
          &fields.component_length, &fields.flags, fields.filesystem,
          kNameLength)) {
    return py::Object::Steal(RaiseLastWindowsError());
  }
  return MakeVolumeInformation(fields);
}

py::Object VolumeInformationAt(const WCHAR* root) {
  VolumeInformationFields fields;
  if (!GetVolumeInformationW(root, fields.label, kNameLength,
                             &fields.serial_number, &fields.component_length,
                             &fields.flags, fields.filesystem, kNameLength)) {
    return py::Object::Steal(RaiseLastWindowsError());
  }
  return MakeVolumeInformation(fields);
}

py::Object VolumeInformation(PyObject* path) {
  if (path == Py_None) {
    PyErr_SetString(TypeErrorClass(), "Expected unicode, got None");
    return {};
  }
  if (!CheckNoNul(path, "path")) return {};
  const py::WideArgument root(path, kBackslash);
  return VolumeInformationAt(root.c_str());
}

py::Object VolumePathNames(PyObject* guid_path) {
  py::Object unicode_name;
  if (guid_path == Py_None) {
    unicode_name = py::Object::Steal(PyObject_Unicode(guid_path));
  } else if (PyString_CheckExact(guid_path)) {
    unicode_name = py::Object::Steal(PyUnicode_FromObject(guid_path));
  } else {
    unicode_name = py::Object::Borrow(guid_path);
  }
  if (!unicode_name) return {};
  if (!CheckNoNul(unicode_name.get(), "guid_path")) return {};
  const py::WideArgument name(unicode_name.get());
  return VolumePathNamesOf(name.c_str());
}

py::Object VolumePathNamesOf(const WCHAR* name) {
  DWORD capacity = kInitialPathNamesLength;
  DWORD reported = 0;  // filled by the system, kept from pass to pass
  PathNamesBuffer buffer;
  if (!buffer.Allocate(capacity)) return {};
  for (int pass = 1;; ++pass) {
    const BOOL succeeded = GetVolumePathNamesForVolumeNameW(
        name, buffer.get(), capacity, &reported);
    // Read at once: the log calls below may run code that changes it.
    const DWORD error = succeeded ? ERROR_SUCCESS : GetLastError();
    if (reported < 2) {
      // A volume without mount points writes only the final NUL; a failed
      // call that reports nothing is still a failure.
      if (succeeded) return py::Object::Steal(PyList_New(0));
      return py::Object::Steal(RaiseWindowsError(error));
    }
    if (succeeded) break;
    const bool asks_for_more = error == ERROR_MORE_DATA &&
                               reported > capacity &&
                               pass < kMaxPathNamesPasses;
    if (asks_for_more) {
      if (!Log(Name().debug, "%s isn't big enough, allocating %s bytes.",
               Bytes(capacity), Bytes(reported))) {
        return {};
      }
      capacity = reported;
      if (!buffer.Allocate(capacity)) return {};
      continue;
    }
    if (!Log(Name().error, "Could not write path names into %s-byte buffer.",
             Bytes(capacity))) {
      return {};
    }
    return py::Object::Steal(RaiseWindowsError(error));
  }
  // A success never reports more than the buffer holds; should it, only
  // what the buffer holds is read.
  return SplitPathNames(buffer.get(), std::min(reported, capacity));
}

PyMethodDef kModuleCreationFunctions[] = {
    {"GetVolumeInformationByHandle",
     py::Guarded<GetVolumeInformationByHandleFunction>, METH_O,
     kGetVolumeInformationByHandleDoc},
    {"GetVolumeInformation", py::Guarded<GetVolumeInformationFunction>, METH_O,
     kGetVolumeInformationDoc},
    {"_GetVolumePathNamesForVolumeName",
     py::Guarded<GetVolumePathNamesFunction>, METH_O, kGetVolumePathNamesDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef kListVolumeNamesFunction = {"_ListVolumeNames",
                                        py::Guarded<ListVolumeNamesFunction>,
                                        METH_NOARGS, kListVolumeNamesDoc};

}  // namespace volumes
