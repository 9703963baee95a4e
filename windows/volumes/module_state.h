// What the module keeps outside its namespace, and the ways its code reaches
// the namespace, the host's RaiseWindowsError and the module logger.
#pragma once

#include <Python.h>

#include "host/winwrap.h"
#include "pyapi/names.h"
#include "pyapi/object.h"
#include "win32/win32.h"

namespace volumes {

constexpr char kModuleName[] = "windows.volumes";

// Every name the module's code looks up or passes while it serves a call.
namespace names {
// In the module namespace.
inline const py::Name find_volume_id{"FindVolumeID"};
inline const py::Name volume_id_from_serial{"_VolumeIDFromSerialNumber"};
inline const py::Name list_volume_names{"_ListVolumeNames"};
inline const py::Name logger{"LOGGER"};
inline const py::Name drive_type_map{"DRIVE_TYPE_MAP"};
inline const py::Name volume_name_guid_matcher{"VOLUME_NAME_GUID_MATCHER"};
inline const py::Name volume_entry{"volume_entry"};
inline const py::Name utils{"utils"};
inline const py::Name platform_utils{"platform_utils"};
inline const py::Name windows_error{"WindowsError"};
// Attributes and methods.
inline const py::Name volume_entries_attribute{"_volume_entries"};
inline const py::Name volume_ids_attribute{"_volume_ids"};
inline const py::Name lock_attribute{"_lock"};
inline const py::Name populate_volume_table{"_PopulateVolumeTable"};
inline const py::Name find_volume_id_for_device_number{
    "_FindVolumeIDForDeviceNumber"};
inline const py::Name get_volume_entry_for_volume_id{
    "GetVolumeEntryForVolumeID"};
inline const py::Name st_dev{"st_dev"};
inline const py::Name handle{"handle"};
inline const py::Name get{"get"};
inline const py::Name copy{"copy"};
inline const py::Name lower{"lower"};
inline const py::Name match{"match"};
inline const py::Name group{"group"};
inline const py::Name encode{"encode"};
inline const py::Name get_item{"__getitem__"};
inline const py::Name enter{"__enter__"};
inline const py::Name exit{"__exit__"};
inline const py::Name volume_entry_class{"VolumeEntry"};
inline const py::Name device_type_class{"DeviceType"};
inline const py::Name unknown{"UNKNOWN"};
inline const py::Name get_monotonic_time{"GetMonotonicTime"};
inline const py::Name lock_factory{"Lock"};
// Logger levels.
inline const py::Name debug{"debug"};
inline const py::Name info{"info"};
inline const py::Name error{"error"};
inline const py::Name exception{"exception"};
// The keywords of a volume record; `volume` is also the attribute read
// back from it.
inline const py::Name volume{"volume"};
inline const py::Name mountpoint{"mountpoint"};
inline const py::Name device_file{"device_file"};
inline const py::Name device_number{"device_number"};
inline const py::Name uuid{"uuid"};
inline const py::Name model{"model"};
inline const py::Name device_type{"device_type"};
inline const py::Name label{"label"};
inline const py::Name filesystem{"filesystem"};
inline const py::Name size{"size"};
// Texts.
inline const py::Name volume_id_format{"serial:%s"};
inline const py::Name ascii{"ascii"};
}  // namespace names

struct ModuleState {
  // The module namespace, where module-level names are looked up at use.
  py::Object globals;
  // The module's __name__, given to every function it creates.
  py::Object name;
  host::RaiseWindowsErrorFunction raise_windows_error = nullptr;
  // Built-ins fetched once at load and used for the life of the module.
  py::Object object_type;
  py::Object type_error;
  py::Object memory_error;
  // The FAT family for IsFAT (a frozenset) and its answer cache (a dict);
  // None until the module body sets them.
  py::Object fat_filesystems;
  py::Object is_fat_cache;
};

// The one state of the process. It is never destroyed: the module lives
// until the process ends, when the interpreter may already be gone.
ModuleState& State();

// The built-in TypeError and MemoryError fetched at load; the interpreter's
// own if the load stopped before fetching them (a partly built module stays
// reachable in sys.modules).
PyObject* TypeErrorClass();
PyObject* MemoryErrorClass();

// WindowsError for the thread's last Win32 error; call it right after the
// failing call. Always returns nullptr.
PyObject* RaiseLastWindowsError();
// WindowsError for `error`, a code read with GetLastError right after the
// failing call. Always returns nullptr.
PyObject* RaiseWindowsError(DWORD error);

// `name` in the module namespace at the moment of use, then among the
// built-ins (NameError when in neither).
py::Object Global(const char* name);
py::Object Global(py::Handle name);

// Whether `function` is the built-in function this module made from
// `definition`, so that calling the C++ behind it directly is equivalent.
inline bool IsOwnFunction(PyObject* function, const PyMethodDef& definition) {
  return PyCFunction_Check(function) &&
         PyCFunction_GET_FUNCTION(function) == definition.ml_meth;
}

// volume_entry.DeviceType.<member>, volume_entry looked up now.
template <typename Member>
py::Object DeviceTypeMember(const Member& member) {
  py::Object volume_entry = Global(names::volume_entry);
  if (!volume_entry) return volume_entry;
  py::Object device_type = py::GetAttr(volume_entry, names::device_type_class);
  if (!device_type) return device_type;
  return py::GetAttr(device_type, member);
}

// A GetDriveTypeW code as a key of DRIVE_TYPE_MAP: a long, as every Win32
// number reaches the host.
inline py::Object DriveTypeCode(UINT code) {
  return py::Object::Steal(PyLong_FromUnsignedLong(code));
}

// LOGGER.<level>, LOGGER looked up now; null with an exception pending.
inline py::Object LoggerMethod(py::Handle level) {
  py::Object logger = Global(names::logger);
  if (!logger) return logger;
  return py::GetAttr(logger, level);
}

// `format`, a literal, as a str made once: refreshes log per volume.
py::Object LogFormat(const char* format);

// method(format, *arguments), `method` from LoggerMethod: the logging
// framework formats. Returns false with the logger's exception pending.
template <typename... Arguments>
bool LogWith(py::Handle method, const char* format,
             const Arguments&... arguments) {
  py::Object text = LogFormat(format);
  if (!text) return false;
  return static_cast<bool>(py::CallWith(method, text, arguments...));
}

// LOGGER.<level>(format, *arguments). Returns false with the logger's
// exception pending.
template <typename... Arguments>
bool Log(py::Handle level, const char* format, const Arguments&... arguments) {
  py::Object method = LoggerMethod(level);
  return method && LogWith(method, format, arguments...);
}

// receiver.name(*arguments).
template <typename MethodName, typename... Arguments>
py::Object CallMethod(py::Handle receiver, const MethodName& name,
                      const Arguments&... arguments) {
  py::Object method = py::GetAttr(receiver, name);
  if (!method) return method;
  return py::CallWith(method, arguments...);
}

}  // namespace volumes
