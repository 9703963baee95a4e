#include "windows/volumes/lookups.h"

#include <cstdint>

#include "pyapi/args.h"
#include "pyapi/dicts.h"
#include "pyapi/exception_barrier.h"
#include "pyapi/function_arguments.h"
#include "pyapi/handled_exception.h"
#include "windows/volumes/identifiers.h"
#include "windows/volumes/module_state.h"
#include "windows/volumes/queries.h"

namespace volumes {
namespace {

const char kAllVolumeEntriesDoc[] =
    "Returns the volume entry dictionary.\n"
    "\n"
    "Args:\n"
    "  force_update: if true, the volume entry table is repopulated first;\n"
    "    otherwise cached values are used if available.\n"
    "\n"
    "Returns:\n"
    "  A dictionary mapping volume IDs to volume_entry.VolumeEntry values.\n";

const char kFindVolumeIDForDeviceNumberDoc[] =
    "Returns the volume ID of the volume whose files have st_dev `st_dev`.\n"
    "\n"
    "A file's st_dev is its volume's serial number, from which the table's\n"
    "keys are made, so the result finds that volume's entry once the table\n"
    "holds it. The table is neither read nor refreshed.\n";

const char kIsFATDoc[] =
    "Returns True if the filesystem is of the FAT family.\n"
    "\n"
    "Args:\n"
    "  serial_number: the serial number of the file system.\n"
    "  handle: a handle object for a file on that file system; its `handle`\n"
    "    attribute holds the raw Win32 handle.\n"
    "\n"
    "Returns:\n"
    "  True for FAT32 and exFAT, False otherwise, including when the file\n"
    "  system cannot be queried. An answer stays cached until the next\n"
    "  completed VolumeInfo refresh.\n";

// The instance that `method` is bound to when it is this module's method
// `definition`: calling its body directly then does what the call would do,
// minus the argument tuple and the binding. Null for anything else, which
// must be called.
PyObject* OwnMethodSelf(PyObject* method, const PyMethodDef& definition) {
  if (!PyMethod_Check(method) || PyMethod_GET_SELF(method) == nullptr) {
    return nullptr;
  }
  return IsOwnFunction(PyMethod_GET_FUNCTION(method), definition)
             ? PyMethod_GET_SELF(method)
             : nullptr;
}

PyObject* FindVolumeIDMethodFunction(PyObject*, PyObject* args,
                                     PyObject* kwargs) {
  static const char* const kParameters[] = {"self", "stat_result"};
  py::Object arguments[2];
  if (!py::BindArguments("FindVolumeID", args, kwargs, kParameters, 2,
                         arguments)) {
    return nullptr;
  }
  return FindVolumeIDThroughModule(arguments[1].get()).release();
}

PyObject* AllVolumeEntriesFunction(PyObject*, PyObject* args,
                                   PyObject* kwargs) {
  static const char* const kParameters[] = {"self", "force_update"};
  py::Object arguments[2] = {py::Object(), py::Object::Borrow(Py_False)};
  if (!py::BindArguments("AllVolumeEntries", args, kwargs, kParameters, 1,
                         arguments)) {
    return nullptr;
  }
  PyObject* const self = arguments[0].get();
  PyObject* const force_update = arguments[1].get();
  py::Object entries = py::GetAttr(self, names::volume_entries_attribute);
  if (!entries) return nullptr;
  int refresh = PyObject_Not(entries.get());
  if (refresh == 0) refresh = PyObject_IsTrue(force_update);
  if (refresh < 0) return nullptr;
  if (refresh) {
    py::Object populate = py::GetAttr(self, names::populate_volume_table);
    if (!populate) return nullptr;
    py::Object current_volume_ids =
        py::GetAttr(self, names::volume_ids_attribute);
    if (!current_volume_ids || !py::CallWith(populate, current_volume_ids)) {
      return nullptr;
    }
  }
  // Read again, refresh or not: testing force_update may have let another
  // thread publish a newer table.
  entries = py::GetAttr(self, names::volume_entries_attribute);
  if (!entries) return nullptr;
  return py::DictCopy(entries, names::copy).release();
}

py::Object EntryForVolumeID(PyObject* self, PyObject* volume_id) {
  py::Object entries = py::GetAttr(self, names::volume_entries_attribute);
  if (!entries) return {};
  return py::DictGet(entries, names::get, volume_id);
}

PyObject* GetVolumeEntryForVolumeIDFunction(PyObject*, PyObject* args,
                                            PyObject* kwargs) {
  static const char* const kParameters[] = {"self", "volume_id"};
  py::Object arguments[2];
  if (!py::BindArguments("GetVolumeEntryForVolumeID", args, kwargs, kParameters,
                         2, arguments)) {
    return nullptr;
  }
  return EntryForVolumeID(arguments[0].get(), arguments[1].get()).release();
}

PyObject* FindVolumeIDForDeviceNumberFunction(PyObject*, PyObject* args,
                                              PyObject* kwargs) {
  static const char* const kParameters[] = {"self", "st_dev"};
  py::Object arguments[2];
  if (!py::BindArguments("_FindVolumeIDForDeviceNumber", args, kwargs,
                         kParameters, 2, arguments)) {
    return nullptr;
  }
  // The same derivation as the table's keys.
  return VolumeIDOf(arguments[1]).release();
}

PyObject* GetVolumeEntryForDeviceNumberFunction(PyObject*, PyObject* args,
                                                PyObject* kwargs) {
  static const char* const kParameters[] = {"self", "st_dev"};
  py::Object arguments[2];
  if (!py::BindArguments("GetVolumeEntryForDeviceNumber", args, kwargs,
                         kParameters, 2, arguments)) {
    return nullptr;
  }
  PyObject* const self = arguments[0].get();
  PyObject* const st_dev = arguments[1].get();
  // Both methods are looked up on the instance at each call; only where
  // they are still this module's own is the call made directly.
  py::Object find_volume_id =
      py::GetAttr(self, names::find_volume_id_for_device_number);
  if (!find_volume_id) return nullptr;
  py::Object volume_id =
      OwnMethodSelf(find_volume_id.get(), kFindVolumeIDForDeviceNumberMethod)
          ? VolumeIDOf(st_dev)
          : py::CallWith(find_volume_id, py::Handle(st_dev));
  if (!volume_id) return nullptr;
  py::Object get_entry = py::GetAttr(self, names::get_volume_entry_for_volume_id);
  if (!get_entry) return nullptr;
  if (PyObject* const bound_self =
          OwnMethodSelf(get_entry.get(), kGetVolumeEntryForVolumeIDMethod)) {
    return EntryForVolumeID(bound_self, volume_id.get()).release();
  }
  return py::CallWith(get_entry, volume_id).release();
}

// The file-system name of the volume holding the file `handle` wraps; null
// with the exception of the handle conversion or of the query pending.
py::Object FileSystemOfHandle(PyObject* handle) {
  py::Object raw_handle = py::GetAttr(handle, names::handle);
  if (!raw_handle) return {};
  int64_t value = 0;
  if (!py::ToInt64(raw_handle.get(), &value)) return {};
  py::Object information = VolumeInformationByHandle(value);
  if (!information) return {};
  return py::Object::Borrow(PyTuple_GET_ITEM(information.get(), 4));
}

PyObject* IsFATFunction(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* const kParameters[] = {"serial_number", "handle"};
  py::Object arguments[2];
  if (!py::BindArguments("IsFAT", args, kwargs, kParameters, 2, arguments)) {
    return nullptr;
  }
  PyObject* const serial_number = arguments[0].get();
  PyObject* const handle = arguments[1].get();
  ModuleState& state = State();
  py::Object volume_id = VolumeIDOf(serial_number);
  if (!volume_id) return nullptr;
  // The cache is the module's own dict, never handed out.
  py::Object cached = py::DictGet(state.is_fat_cache, names::get,
                                  volume_id.get(), Py_None);
  if (!cached) return nullptr;
  if (cached.get() != Py_None) return cached.release();

  py::Object filesystem = FileSystemOfHandle(handle);
  if (!filesystem) {
    py::HandledException caught;
    py::Object windows_error = Global(names::windows_error);
    if (!windows_error) return nullptr;
    if (!caught.Matches(windows_error)) {
      caught.Reraise();
      return nullptr;
    }
    // A volume that cannot be queried is not cached: the next call asks
    // again.
    if (!Log(names::exception, "WindowsError")) return nullptr;
    Py_RETURN_FALSE;
  }
  py::Object lower = CallMethod(filesystem, names::lower);
  if (!lower) return nullptr;
  const int member =
      PySequence_Contains(state.fat_filesystems.get(), lower.get());
  if (member < 0) return nullptr;
  py::Object is_fat = py::Object::Borrow(member ? Py_True : Py_False);
  if (PyObject_SetItem(state.is_fat_cache.get(), volume_id.get(),
                       is_fat.get()) < 0) {
    return nullptr;
  }
  return is_fat.release();
}

constexpr int kKeywordMethod = METH_VARARGS | METH_KEYWORDS;

}  // namespace

PyMethodDef kFindVolumeIDMethod = {
    "FindVolumeID", py::AsCFunction(py::Guarded<FindVolumeIDMethodFunction>),
    kKeywordMethod, kFindVolumeIDDoc};

PyMethodDef kAllVolumeEntriesMethod = {
    "AllVolumeEntries", py::AsCFunction(py::Guarded<AllVolumeEntriesFunction>),
    kKeywordMethod, kAllVolumeEntriesDoc};

PyMethodDef kGetVolumeEntryForVolumeIDMethod = {
    "GetVolumeEntryForVolumeID",
    py::AsCFunction(py::Guarded<GetVolumeEntryForVolumeIDFunction>),
    kKeywordMethod, nullptr};

PyMethodDef kGetVolumeEntryForDeviceNumberMethod = {
    "GetVolumeEntryForDeviceNumber",
    py::AsCFunction(py::Guarded<GetVolumeEntryForDeviceNumberFunction>),
    kKeywordMethod, nullptr};

PyMethodDef kFindVolumeIDForDeviceNumberMethod = {
    "_FindVolumeIDForDeviceNumber",
    py::AsCFunction(py::Guarded<FindVolumeIDForDeviceNumberFunction>),
    kKeywordMethod, kFindVolumeIDForDeviceNumberDoc};

PyMethodDef kIsFATFunction = {"IsFAT",
                              py::AsCFunction(py::Guarded<IsFATFunction>),
                              kKeywordMethod, kIsFATDoc};

}  // namespace volumes
