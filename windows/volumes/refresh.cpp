#include "windows/volumes/refresh.h"

#include <algorithm>
#include <cassert>
#include <iterator>
#include <optional>
#include <utility>
#include <vector>

#include "pyapi/args.h"
#include "pyapi/dicts.h"
#include "pyapi/exception_barrier.h"
#include "pyapi/function_arguments.h"
#include "pyapi/handled_exception.h"
#include "pyapi/object.h"
#include "pyapi/text.h"
#include "pyapi/version.h"
#include "win32/win32.h"
#include "windows/volumes/identifiers.h"
#include "windows/volumes/lock_context.h"
#include "windows/volumes/module_state.h"
#include "windows/volumes/queries.h"

namespace volumes {
namespace {

// After a failed step of one volume: an error of the ordinary Exception
// family is logged with its traceback and the volume is skipped (true);
// anything else ends the refresh (false, still pending).
bool SkipVolumeAfterError(const char* format, py::Handle argument) {
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
  py::HandledException caught;
  return Log(names::exception, format, argument);
}

// Sorts the list of unicode mount points by length, shortest first; paths of
// equal length keep the system's order.
void SortByLength(PyObject* mount_points) {
  const Py_ssize_t count = PyList_GET_SIZE(mount_points);
  std::vector<py::Object> paths;
  paths.reserve(static_cast<size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    paths.push_back(py::Object::Borrow(PyList_GET_ITEM(mount_points, i)));
  }
  std::stable_sort(paths.begin(), paths.end(),
                   [](const py::Object& left, const py::Object& right) {
                     return py::UnicodeLength(left.get()) <
                            py::UnicodeLength(right.get());
                   });
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyList_SetItem(mount_points, i, paths[static_cast<size_t>(i)].release());
  }
}

// DRIVE_TYPE_MAP.get(drive_type, volume_entry.DeviceType.UNKNOWN).
py::Object DeviceTypeOf(UINT drive_type) {
  py::Object drive_type_map = Global(names::drive_type_map);
  if (!drive_type_map) return {};
  // The method is looked up before its arguments are made, as the call
  // reads.
  py::Object get = py::GetAttr(drive_type_map, names::get);
  if (!get) return {};
  py::Object code = DriveTypeCode(drive_type);
  if (!code) return {};
  py::Object unknown = DeviceTypeMember(names::unknown);
  if (!unknown) return {};
  return py::CallWith(get, code, unknown);
}

// The GUID text of a volume GUID name as an ASCII str, or None for a name of
// another form.
py::Object VolumeUuid(PyObject* volume_name) {
  py::Object matcher = Global(names::volume_name_guid_matcher);
  if (!matcher) return {};
  py::Object match = CallMethod(matcher, names::match, py::Handle(volume_name));
  if (!match) return {};
  const int matched = PyObject_IsTrue(match.get());
  if (matched < 0) return {};
  if (!matched) return py::Object::None();
  py::Object group_number = py::IntFromLong(1);
  if (!group_number) return {};
  py::Object guid = CallMethod(match, names::group, group_number);
  if (!guid) return {};
  // unicode.encode cannot be rebound and "ascii" is the interpreter's own
  // codec, which its C API calls directly as well.
  if (PyUnicode_CheckExact(guid.get())) {
    return py::StrFromUnicode(guid, "ascii");
  }
  return CallMethod(guid, names::encode, names::ascii);
}

// Whether the unicode `name` ends with a backslash, as a root does.
bool EndsWithBackslash(PyObject* name) {
  return py::UnicodeEndsWith(name, '\\');
}

// Adds the record of one enumerated volume to `entries`, or skips the volume
// by the skip rules. False only for an error that ends the refresh.
bool AddVolumeEntry(PyObject* volume_name, PyObject* entries) {
  // A unicode name is made into Win32 text once, for every query below.
  std::optional<py::WideArgument> wide_name;
  py::Object mount_points;
  if (PyUnicode_CheckExact(volume_name)) {
    if (CheckNoNul(volume_name, "guid_path")) {
      wide_name.emplace(volume_name);
      mount_points = VolumePathNamesOf(wide_name->c_str());
    }
  } else if (volume_name == Py_None || py::IsStrExact(volume_name)) {
    mount_points = VolumePathNames(volume_name);
  } else {
    py::RaiseExpectedType("basestring", volume_name);
  }
  if (!mount_points) {
    return SkipVolumeAfterError("Could not determine mount point for %s",
                                volume_name);
  }
  if (PyList_GET_SIZE(mount_points.get()) == 0) {
    return Log(names::debug, "Volume %s has no mount point. Skipping.",
               py::Handle(volume_name));
  }
  if (PyList_GET_SIZE(mount_points.get()) > 1) {
    SortByLength(mount_points.get());
    if (!Log(names::debug, "Got multiple mounts for %s: %s",
             py::Handle(volume_name), mount_points)) {
      return false;
    }
  }
  // Read as `mount_points[0]` reads, IndexError included: the log record
  // above hands the list to the host's handlers, which may have changed it.
  py::Object mount_point;
  if (PyList_CheckExact(mount_points.get()) &&
      PyList_GET_SIZE(mount_points.get()) > 0) {
    mount_point = py::Object::Borrow(PyList_GET_ITEM(mount_points.get(), 0));
  } else {
    py::Object first = py::IntFromLong(0);
    if (!first) return false;
    mount_point = CallMethod(mount_points, names::get_item, first);
  }
  if (!mount_point) return false;

  // Queried by the GUID name, not by the mount point. Only a unicode name
  // gets this far, and a name that is already a root is passed as it is.
  py::Object information;
  if (wide_name && EndsWithBackslash(volume_name)) {
    information = VolumeInformationAt(wide_name->c_str());
  } else if (volume_name == Py_None || PyUnicode_CheckExact(volume_name)) {
    information = VolumeInformation(volume_name);
  } else {
    py::RaiseExpectedType("unicode", volume_name);
  }
  if (!information) {
    return SkipVolumeAfterError("Unable to fetch volume info for %r, skipping.",
                                mount_point);
  }
  py::Object label = py::Object::Borrow(PyTuple_GET_ITEM(information.get(), 0));
  py::Object serial_number =
      py::Object::Borrow(PyTuple_GET_ITEM(information.get(), 1));
  py::Object filesystem =
      py::Object::Borrow(PyTuple_GET_ITEM(information.get(), 4));

  // Only an exact unicode name without NULs has information, and such a
  // name was made into Win32 text before its mount-point query.
  assert(wide_name.has_value());
  const WCHAR* const root = wide_name->c_str();
  const UINT drive_type = GetDriveTypeW(root);
  py::Object device_type = DeviceTypeOf(drive_type);
  if (!device_type) return false;

  ULARGE_INTEGER capacity_bytes;
  capacity_bytes.QuadPart = 0;
  if (!GetDiskFreeSpaceExW(root, nullptr, &capacity_bytes, nullptr)) {
    capacity_bytes.QuadPart = 0;
    if (!Log(names::debug, "Could not determine volume capacity for %r",
             mount_point)) {
      return false;
    }
  }

  py::Object volume_uuid = VolumeUuid(volume_name);
  if (!volume_uuid) return false;

  py::Object volume_entry = Global(names::volume_entry);
  if (!volume_entry) return false;
  py::Object entry_class = py::GetAttr(volume_entry, names::volume_entry_class);
  if (!entry_class) return false;
  py::Object volume_id = VolumeIDOf(serial_number);
  if (!volume_id) return false;
  py::Object filesystem_name = CallMethod(filesystem, names::lower);
  if (!filesystem_name) return false;
  py::Object size =
      py::Object::Steal(PyLong_FromUnsignedLongLong(capacity_bytes.QuadPart));
  if (!size) return false;
  // The class sees the keywords in the order of the call written out in
  // Python.
  const std::pair<py::Handle, py::Handle> keywords[] = {
      {names::volume, volume_id},
      {names::mountpoint, mount_point},
      {names::device_file, volume_name},
      {names::device_number, serial_number},
      {names::uuid, volume_uuid},
      {names::model, Py_None},
      {names::device_type, device_type},
      {names::label, label},
      {names::filesystem, filesystem_name},
      {names::size, size},
  };
  py::Object fields = py::CallKeywords(keywords);
  if (!fields) return false;
  py::Object no_positionals = py::Object::Steal(PyTuple_New(0));
  if (!no_positionals) return false;
  py::Object entry = py::Object::Steal(
      PyObject_Call(entry_class.get(), no_positionals.get(), fields.get()));
  if (!entry) return false;
  py::Object key = py::GetAttr(entry, names::volume);
  // A later volume with the same serial number replaces an earlier one.
  return key && PyDict_SetItem(entries, key.get(), entry.get()) == 0;
}

py::Object MonotonicTime() {
  py::Object utils = Global(names::utils);
  if (!utils) return {};
  return CallMethod(utils, names::get_monotonic_time);
}

// The refresh proper, run under the service's lock.
py::Object RefreshUnderLock(PyObject* self, PyObject* current_volume_ids) {
  py::Object volume_ids = py::GetAttr(self, names::volume_ids_attribute);
  // Another caller completed a refresh since this one read the token.
  if (!volume_ids || volume_ids.get() != current_volume_ids) {
    return volume_ids;
  }
  if (!Log(names::info, "Refreshing volume information table.")) return {};
  py::Object start_time = MonotonicTime();
  if (!start_time) return {};
  py::Object new_volume_ids = py::Object::Steal(PyDict_New());
  if (!new_volume_ids) return {};
  py::Object new_volume_entries = py::Object::Steal(PyDict_New());
  if (!new_volume_entries) return {};

  py::Object list_volume_names = Global(names::list_volume_names);
  if (!list_volume_names) return {};
  py::Object volume_names = py::CallWith(list_volume_names);
  if (!volume_names) return {};
  py::Object name_iterator =
      py::Object::Steal(PyObject_GetIter(volume_names.get()));
  if (!name_iterator) return {};
  while (py::Object volume_name =
             py::Object::Steal(PyIter_Next(name_iterator.get()))) {
    if (!AddVolumeEntry(volume_name.get(), new_volume_entries.get())) {
      return {};
    }
  }
  if (PyErr_Occurred()) return {};

  // Readers take no lock: they see the previous table or this one, whole.
  if (PyObject_SetAttr(self, names::volume_ids_attribute.get(),
                       new_volume_ids.get()) < 0 ||
      PyObject_SetAttr(self, names::volume_entries_attribute.get(),
                       new_volume_entries.get()) < 0) {
    return {};
  }
  if (!Log(names::info, "Got new volume entries: %r", new_volume_entries)) {
    return {};
  }
  py::Object end_time = MonotonicTime();
  if (!end_time) return {};
  // The logger's method first, then the difference, as the call reads.
  py::Object log_info = LoggerMethod(names::info);
  if (!log_info) return {};
  py::Object elapsed =
      py::Object::Steal(PyNumber_Subtract(end_time.get(), start_time.get()));
  if (!elapsed ||
      !LogWith(log_info, "Volume information refresh complete in %gs.",
               elapsed)) {
    return {};
  }
  PyDict_Clear(State().is_fat_cache.get());
  return new_volume_ids;
}

PyObject* PopulateVolumeTableFunction(PyObject*, PyObject* args,
                                      PyObject* kwargs) {
  static const char* const kParameters[] = {"self", "current_volume_ids"};
  py::Object arguments[2];
  if (!py::BindArguments("_PopulateVolumeTable", args, kwargs, kParameters, 2,
                         arguments)) {
    return nullptr;
  }
  PyObject* const self = arguments[0].get();
  PyObject* const current_volume_ids = arguments[1].get();
  py::Object lock = py::GetAttr(self, names::lock_attribute);
  if (!lock) return nullptr;
  return WithContext(lock,
                     [&] { return RefreshUnderLock(self, current_volume_ids); })
      .release();
}

}  // namespace

PyMethodDef kPopulateVolumeTableMethod = {
    "_PopulateVolumeTable",
    py::AsCFunction(py::Guarded<PopulateVolumeTableFunction>),
    METH_VARARGS | METH_KEYWORDS, nullptr};

}  // namespace volumes
