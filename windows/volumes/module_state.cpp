#include "windows/volumes/module_state.h"

#include <unordered_map>

#include "pyapi/names.h"

namespace volumes {

ModuleState& State() {
  static ModuleState* const state = new ModuleState;
  return *state;
}

PyObject* TypeErrorClass() {
  const py::Object& fetched = State().type_error;
  return fetched ? fetched.get() : PyExc_TypeError;
}

PyObject* MemoryErrorClass() {
  const py::Object& fetched = State().memory_error;
  return fetched ? fetched.get() : PyExc_MemoryError;
}

PyObject* RaiseLastWindowsError() {
  return host::CallRaiseWindowsError(State().raise_windows_error, kModuleName,
                                     nullptr);
}

PyObject* RaiseWindowsError(DWORD error) {
  host::RaiseWindowsErrorOptionalArgs optional = {};
  optional.count = 1;
  optional.error_code = static_cast<int>(error);
  return host::CallRaiseWindowsError(State().raise_windows_error, kModuleName,
                                     &optional);
}

py::Object Global(const char* name) {
  return py::LookupGlobal(State().globals.get(), name);
}

py::Object Global(py::Handle name) {
  return py::LookupGlobal(State().globals.get(), name);
}

py::Object LogFormat(const char* format) {
  // Kept for the life of the process, like the module state.
  static auto* const formats = new std::unordered_map<const char*, py::Object>;
  const auto found = formats->find(format);
  if (found != formats->end()) return found->second;
  py::Object text = py::Object::Steal(PyString_InternFromString(format));
  if (text) formats->emplace(format, text);
  return text;
}

bool MakeNames(Names* names) {
  static const struct {
    py::Object Names::*member;
    const char* text;
  } kNames[] = {
      {&Names::find_volume_id, "FindVolumeID"},
      {&Names::volume_id_from_serial, "_VolumeIDFromSerialNumber"},
      {&Names::list_volume_names, "_ListVolumeNames"},
      {&Names::logger, "LOGGER"},
      {&Names::drive_type_map, "DRIVE_TYPE_MAP"},
      {&Names::volume_name_guid_matcher, "VOLUME_NAME_GUID_MATCHER"},
      {&Names::volume_entry, "volume_entry"},
      {&Names::utils, "utils"},
      {&Names::platform_utils, "platform_utils"},
      {&Names::windows_error, "WindowsError"},
      {&Names::volume_entries_attribute, "_volume_entries"},
      {&Names::volume_ids_attribute, "_volume_ids"},
      {&Names::lock_attribute, "_lock"},
      {&Names::populate_volume_table, "_PopulateVolumeTable"},
      {&Names::find_volume_id_for_device_number,
       "_FindVolumeIDForDeviceNumber"},
      {&Names::get_volume_entry_for_volume_id, "GetVolumeEntryForVolumeID"},
      {&Names::st_dev, "st_dev"},
      {&Names::handle, "handle"},
      {&Names::get, "get"},
      {&Names::copy, "copy"},
      {&Names::lower, "lower"},
      {&Names::match, "match"},
      {&Names::group, "group"},
      {&Names::encode, "encode"},
      {&Names::get_item, "__getitem__"},
      {&Names::enter, "__enter__"},
      {&Names::exit, "__exit__"},
      {&Names::volume_entry_class, "VolumeEntry"},
      {&Names::device_type_class, "DeviceType"},
      {&Names::unknown, "UNKNOWN"},
      {&Names::get_monotonic_time, "GetMonotonicTime"},
      {&Names::lock_factory, "Lock"},
      {&Names::debug, "debug"},
      {&Names::info, "info"},
      {&Names::error, "error"},
      {&Names::exception, "exception"},
      {&Names::volume, "volume"},
      {&Names::mountpoint, "mountpoint"},
      {&Names::device_file, "device_file"},
      {&Names::device_number, "device_number"},
      {&Names::uuid, "uuid"},
      {&Names::model, "model"},
      {&Names::device_type, "device_type"},
      {&Names::label, "label"},
      {&Names::filesystem, "filesystem"},
      {&Names::size, "size"},
      {&Names::volume_id_format, "serial:%s"},
      {&Names::ascii, "ascii"},
  };
  for (const auto& name : kNames) {
    py::Object& slot = names->*name.member;
    slot = py::Object::Steal(PyString_InternFromString(name.text));
    if (!slot) return false;
  }
  return true;
}

}  // namespace volumes
