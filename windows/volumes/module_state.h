// What the module keeps outside its namespace, and the ways its code reaches
// the namespace, the host's RaiseWindowsError and the module logger.
#pragma once

#include <Python.h>

#include "host/winwrap.h"
#include "pyapi/object.h"
#include "win32/win32.h"

namespace volumes {

constexpr char kModuleName[] = "windows.volumes";

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

// volume_entry.DeviceType.<member>, volume_entry looked up now.
inline py::Object DeviceTypeMember(const char* member) {
  py::Object volume_entry = Global("volume_entry");
  if (!volume_entry) return volume_entry;
  py::Object device_type = py::GetAttr(volume_entry, "DeviceType");
  if (!device_type) return device_type;
  return py::GetAttr(device_type, member);
}

// A GetDriveTypeW code as a key of DRIVE_TYPE_MAP: a long, as every Win32
// number reaches the host.
inline py::Object DriveTypeCode(UINT code) {
  return py::Object::Steal(PyLong_FromUnsignedLong(code));
}

// LOGGER.<level>, LOGGER looked up now; null with an exception pending.
inline py::Object LoggerMethod(const char* level) {
  py::Object logger = Global("LOGGER");
  if (!logger) return logger;
  return py::GetAttr(logger, level);
}

// method(format, *arguments), `method` from LoggerMethod: the logging
// framework formats. Returns false with the logger's exception pending.
template <typename... Arguments>
bool LogWith(py::Handle method, const char* format,
             const Arguments&... arguments) {
  py::Object text = py::String(format);
  if (!text) return false;
  return static_cast<bool>(py::CallWith(method, text, arguments...));
}

// LOGGER.<level>(format, *arguments). Returns false with the logger's
// exception pending.
template <typename... Arguments>
bool Log(const char* level, const char* format, const Arguments&... arguments) {
  py::Object method = LoggerMethod(level);
  return method && LogWith(method, format, arguments...);
}

// receiver.name(*arguments).
template <typename... Arguments>
py::Object CallMethod(py::Handle receiver, const char* name,
                      const Arguments&... arguments) {
  py::Object method = py::GetAttr(receiver, name);
  if (!method) return method;
  return py::CallWith(method, arguments...);
}

}  // namespace volumes
