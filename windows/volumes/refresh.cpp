#include "windows/volumes/refresh.h"

#include <algorithm>
#include <vector>

#include "pyapi/args.h"
#include "pyapi/exception_barrier.h"
#include "pyapi/function_arguments.h"
#include "pyapi/handled_exception.h"
#include "pyapi/object.h"
#include "pyapi/text.h"
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
  return Log("exception", format, argument);
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
                     return PyUnicode_GET_SIZE(left.get()) <
                            PyUnicode_GET_SIZE(right.get());
                   });
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyList_SetItem(mount_points, i, paths[static_cast<size_t>(i)].release());
  }
}

bool SetField(PyObject* fields, const char* name, const py::Object& value) {
  return value && PyDict_SetItemString(fields, name, value.get()) == 0;
}

// DRIVE_TYPE_MAP.get(drive_type, volume_entry.DeviceType.UNKNOWN).
py::Object DeviceTypeOf(UINT drive_type) {
  py::Object drive_type_map = Global("DRIVE_TYPE_MAP");
  if (!drive_type_map) return {};
  py::Object get = py::GetAttr(drive_type_map, "get");
  if (!get) return {};
  py::Object code = DriveTypeCode(drive_type);
  if (!code) return {};
  py::Object unknown = DeviceTypeMember("UNKNOWN");
  if (!unknown) return {};
  return py::CallWith(get, code, unknown);
}

// The GUID text of a volume GUID name as an ASCII str, or None for a name of
// another form.
py::Object VolumeUuid(PyObject* volume_name) {
  py::Object matcher = Global("VOLUME_NAME_GUID_MATCHER");
  if (!matcher) return {};
  py::Object match = CallMethod(matcher, "match", py::Handle(volume_name));
  if (!match) return {};
  const int matched = PyObject_IsTrue(match.get());
  if (matched < 0) return {};
  if (!matched) return py::Object::None();
  py::Object group_number = py::Object::Steal(PyInt_FromLong(1));
  if (!group_number) return {};
  py::Object guid = CallMethod(match, "group", group_number);
  if (!guid) return {};
  py::Object encoding = py::String("ascii");
  if (!encoding) return {};
  return CallMethod(guid, "encode", encoding);
}

// Adds the record of one enumerated volume to `entries`, or skips the volume
// by the skip rules. False only for an error that ends the refresh.
bool AddVolumeEntry(PyObject* volume_name, PyObject* entries) {
  py::Object mount_points;
  if (volume_name == Py_None || PyString_CheckExact(volume_name) ||
      PyUnicode_CheckExact(volume_name)) {
    mount_points = VolumePathNames(volume_name);
  } else {
    py::RaiseExpectedType("basestring", volume_name);
  }
  if (!mount_points) {
    return SkipVolumeAfterError("Could not determine mount point for %s",
                                volume_name);
  }
  if (PyList_GET_SIZE(mount_points.get()) == 0) {
    return Log("debug", "Volume %s has no mount point. Skipping.",
               py::Handle(volume_name));
  }
  if (PyList_GET_SIZE(mount_points.get()) > 1) {
    SortByLength(mount_points.get());
    if (!Log("debug", "Got multiple mounts for %s: %s", py::Handle(volume_name),
             mount_points)) {
      return false;
    }
  }
  // Read as `mount_points[0]` reads, IndexError included: the log record
  // above hands the list to the host's handlers, which may have changed it.
  py::Object first = py::Object::Steal(PyInt_FromLong(0));
  if (!first) return false;
  py::Object mount_point = CallMethod(mount_points, "__getitem__", first);
  if (!mount_point) return false;

  // Queried by the GUID name, not by the mount point.
  py::Object information;
  if (volume_name == Py_None || PyUnicode_CheckExact(volume_name)) {
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

  // The name has passed the NUL test of the information query.
  const py::WideString name = py::WideFromUnicode(volume_name);
  const UINT drive_type = GetDriveTypeW(name.c_str());
  py::Object device_type = DeviceTypeOf(drive_type);
  if (!device_type) return false;

  ULARGE_INTEGER capacity_bytes;
  capacity_bytes.QuadPart = 0;
  if (!GetDiskFreeSpaceExW(name.c_str(), nullptr, &capacity_bytes, nullptr)) {
    capacity_bytes.QuadPart = 0;
    if (!Log("debug", "Could not determine volume capacity for %r",
             mount_point)) {
      return false;
    }
  }

  py::Object volume_uuid = VolumeUuid(volume_name);
  if (!volume_uuid) return false;

  py::Object volume_entry = Global("volume_entry");
  if (!volume_entry) return false;
  py::Object entry_class = py::GetAttr(volume_entry, "VolumeEntry");
  if (!entry_class) return false;
  py::Object fields = py::Object::Steal(PyDict_New());
  if (!fields) return false;
  PyObject* const record = fields.get();
  const bool complete =
      SetField(record, "volume", VolumeIDOf(serial_number)) &&
      SetField(record, "mountpoint", mount_point) &&
      SetField(record, "device_file", py::Object::Borrow(volume_name)) &&
      SetField(record, "device_number", serial_number) &&
      SetField(record, "uuid", volume_uuid) &&
      SetField(record, "model", py::Object::None()) &&
      SetField(record, "device_type", device_type) &&
      SetField(record, "label", label) &&
      SetField(record, "filesystem", CallMethod(filesystem, "lower")) &&
      SetField(record, "size",
               py::Object::Steal(
                   PyLong_FromUnsignedLongLong(capacity_bytes.QuadPart)));
  if (!complete) return false;
  py::Object no_positionals = py::Object::Steal(PyTuple_New(0));
  if (!no_positionals) return false;
  py::Object entry = py::Object::Steal(
      PyObject_Call(entry_class.get(), no_positionals.get(), record));
  if (!entry) return false;
  py::Object key = py::GetAttr(entry, "volume");
  // A later volume with the same serial number replaces an earlier one.
  return key && PyDict_SetItem(entries, key.get(), entry.get()) == 0;
}

py::Object MonotonicTime() {
  py::Object utils = Global("utils");
  if (!utils) return {};
  return CallMethod(utils, "GetMonotonicTime");
}

// The refresh proper, run under the service's lock.
py::Object RefreshUnderLock(PyObject* self, PyObject* current_volume_ids) {
  py::Object volume_ids = py::GetAttr(self, "_volume_ids");
  // Another caller completed a refresh since this one read the token.
  if (!volume_ids || volume_ids.get() != current_volume_ids) {
    return volume_ids;
  }
  if (!Log("info", "Refreshing volume information table.")) return {};
  py::Object start_time = MonotonicTime();
  if (!start_time) return {};
  py::Object new_volume_ids = py::Object::Steal(PyDict_New());
  if (!new_volume_ids) return {};
  py::Object new_volume_entries = py::Object::Steal(PyDict_New());
  if (!new_volume_entries) return {};

  py::Object list_volume_names = Global("_ListVolumeNames");
  if (!list_volume_names) return {};
  py::Object volume_names = py::CallWith(list_volume_names);
  if (!volume_names) return {};
  py::Object names = py::Object::Steal(PyObject_GetIter(volume_names.get()));
  if (!names) return {};
  while (py::Object volume_name = py::Object::Steal(PyIter_Next(names.get()))) {
    if (!AddVolumeEntry(volume_name.get(), new_volume_entries.get())) {
      return {};
    }
  }
  if (PyErr_Occurred()) return {};

  // Readers take no lock: they see the previous table or this one, whole.
  if (PyObject_SetAttrString(self, "_volume_ids", new_volume_ids.get()) < 0 ||
      PyObject_SetAttrString(self, "_volume_entries",
                             new_volume_entries.get()) < 0) {
    return {};
  }
  if (!Log("info", "Got new volume entries: %r", new_volume_entries)) {
    return {};
  }
  py::Object end_time = MonotonicTime();
  if (!end_time) return {};
  // The logger's method first, then the difference, as the call reads.
  py::Object log_info = LoggerMethod("info");
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
  py::Object lock = py::GetAttr(self, "_lock");
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
