#include "windows/volumes/queries.h"

#include <algorithm>

#include "pyapi/args.h"
#include "pyapi/errors.h"
#include "pyapi/exception_barrier.h"
#include "pyapi/text.h"
#include "pyapi/version.h"
#include "win32/win32.h"
#include "windows/volumes/module_state.h"

namespace volumes {
namespace {

// The path-name buffer starts small; the system says how much it needs.
constexpr DWORD kInitialPathNamesLength = 5;
// A system that keeps asking for more must not keep us here for ever.
constexpr int kMaxPathNamesPasses = 32;

// The path-name buffer, from the interpreter's allocator.
class PathNamesBuffer {
 public:
  PathNamesBuffer() = default;
  ~PathNamesBuffer() {
    if (py::CleanupMayTouchInterpreter()) PyMem_Free(units_);
  }
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
  return py::IntFromSize(static_cast<size_t>(length) * sizeof(WCHAR));
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

}  // namespace

py::Object VolumePathNames(PyObject* guid_path) {
  py::Object unicode_name;
  if (guid_path == Py_None) {
    unicode_name = py::UnicodeOf(guid_path);
  } else if (py::IsStrExact(guid_path)) {
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
      if (!Log(names::debug, "%s isn't big enough, allocating %s bytes.",
               Bytes(capacity), Bytes(reported))) {
        return {};
      }
      capacity = reported;
      if (!buffer.Allocate(capacity)) return {};
      continue;
    }
    if (!Log(names::error, "Could not write path names into %s-byte buffer.",
             Bytes(capacity))) {
      return {};
    }
    return py::Object::Steal(RaiseWindowsError(error));
  }
  // A success never reports more than the buffer holds; should it, only
  // what the buffer holds is read.
  return SplitPathNames(buffer.get(), std::min(reported, capacity));
}

namespace {

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

PyObject* GetVolumePathNamesFunction(PyObject*, PyObject* guid_path) {
  if (!py::CheckStringArgument(guid_path, "guid_path")) return nullptr;
  return VolumePathNames(guid_path).release();
}

}  // namespace

PyMethodDef kGetVolumePathNamesFunction = {
    "_GetVolumePathNamesForVolumeName", py::Guarded<GetVolumePathNamesFunction>,
    METH_O, kGetVolumePathNamesDoc};

}  // namespace volumes
