// What the module keeps outside its namespace, and the ways its code reaches
// the namespace, the host's RaiseWindowsError and the module logger.
#pragma once

#include <Python.h>

#include "host/winwrap.h"
#include "pyapi/object.h"
#include "win32/win32.h"

namespace volumes {

constexpr char kModuleName[] = "windows.volumes";

// Every name the module's code looks up or passes while it serves a call,
// made and interned once at load: the lookups still happen at each use, as
// the host may rebind what they find, but they hash and allocate nothing.
struct Names {
  // In the module namespace.
  py::Object find_volume_id;            // FindVolumeID
  py::Object volume_id_from_serial;     // _VolumeIDFromSerialNumber
  py::Object list_volume_names;         // _ListVolumeNames
  py::Object logger;                    // LOGGER
  py::Object drive_type_map;            // DRIVE_TYPE_MAP
  py::Object volume_name_guid_matcher;  // VOLUME_NAME_GUID_MATCHER
  py::Object volume_entry;
  py::Object utils;
  py::Object platform_utils;
  py::Object windows_error;  // WindowsError, a built-in
  // Attributes and methods.
  py::Object volume_entries_attribute;  // _volume_entries
  py::Object volume_ids_attribute;      // _volume_ids
  py::Object lock_attribute;            // _lock
  py::Object populate_volume_table;     // _PopulateVolumeTable
  py::Object find_volume_id_for_device_number;  // _FindVolumeIDForDeviceNumber
  py::Object get_volume_entry_for_volume_id;    // GetVolumeEntryForVolumeID
  py::Object st_dev;
  py::Object handle;
  py::Object get;
  py::Object copy;
  py::Object lower;
  py::Object match;
  py::Object group;
  py::Object encode;
  py::Object get_item;  // __getitem__
  py::Object enter;     // __enter__
  py::Object exit;      // __exit__
  py::Object volume_entry_class;  // VolumeEntry
  py::Object device_type_class;   // DeviceType
  py::Object unknown;             // UNKNOWN
  py::Object get_monotonic_time;  // GetMonotonicTime
  py::Object lock_factory;        // Lock
  // Logger levels.
  py::Object debug;
  py::Object info;
  py::Object error;
  py::Object exception;
  // The keywords of a volume record; `volume` is also the attribute read
  // back from it.
  py::Object volume;
  py::Object mountpoint;
  py::Object device_file;
  py::Object device_number;
  py::Object uuid;
  py::Object model;
  py::Object device_type;
  py::Object label;
  py::Object filesystem;
  py::Object size;
  // Texts.
  py::Object volume_id_format;  // "serial:%s"
  py::Object ascii;
};

// Makes every name. Returns false with an exception pending on failure.
bool MakeNames(Names* names);

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
  Names names;
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

// The interned names.
inline const Names& Name() { return State().names; }

// volume_entry.DeviceType.<member>, volume_entry looked up now.
template <typename Member>
py::Object DeviceTypeMember(const Member& member) {
  py::Object volume_entry = Global(Name().volume_entry);
  if (!volume_entry) return volume_entry;
  py::Object device_type = py::GetAttr(volume_entry, Name().device_type_class);
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
  py::Object logger = Global(Name().logger);
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
