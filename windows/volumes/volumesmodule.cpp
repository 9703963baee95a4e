// The module windows.volumes: its load sequence and its namespace.
#include <Python.h>

#include "host/winwrap.h"
#include "pyapi/classes.h"
#include "pyapi/errors.h"
#include "pyapi/exception_barrier.h"
#include "pyapi/names.h"
#include "pyapi/object.h"
#include "pyapi/version.h"
#include "windows/volumes/identifiers.h"
#include "windows/volumes/lookups.h"
#include "windows/volumes/module_state.h"
#include "windows/volumes/queries.h"
#include "windows/volumes/volume_info.h"

namespace volumes {
namespace {

// The traceback entry and ImportError text of a failed load.
constexpr char kInitName[] = "init windows.volumes";
constexpr char kModuleDoc[] = "Volume information cache service.";
// Where the module's traceback entries point.
constexpr py::TracebackSource kTracebackSource = {
    "windows/volumes/volumesmodule.cpp", __LINE__};
// The regular expression of volume GUID names, group 1 being the GUID text.
constexpr char kVolumeNameGuidPattern[] = R"(\\\\\?\\Volume\{([\w-]+)\}\\)";

bool Bind(PyObject* globals, const char* name, const py::Object& value) {
  return value && PyDict_SetItemString(globals, name, value.get()) == 0;
}

bool FetchBuiltins(ModuleState* state) {
  state->object_type = py::LookupBuiltin("object");
  if (!state->object_type) return false;
  state->type_error = py::LookupBuiltin("TypeError");
  if (!state->type_error) return false;
  state->memory_error = py::LookupBuiltin("MemoryError");
  return static_cast<bool>(state->memory_error);
}

bool ImportHostModules(PyObject* globals) {
  return py::ImportModuleInto(globals, "logging") &&
         py::ImportModuleInto(globals, "re") &&
         py::ImportNameInto(globals, "common", "utils") &&
         py::ImportNameInto(globals, "common", "volume_entry") &&
         py::ImportNameInto(globals, "common.service", "service") &&
         py::ImportNameInto(globals, "platforms", "platform_utils");
}

py::Object MakeLogger() {
  py::Object logging = Global("logging");
  if (!logging) return {};
  py::Object module_name = Global("__name__");
  if (!module_name) return {};
  return CallMethod(logging, "getLogger", module_name);
}

// Win32 drive-type code to volume_entry.DeviceType member. Optical drives
// count as removable.
py::Object MakeDriveTypeMap() {
  static const struct {
    UINT code;
    const char* member;
  } kDriveTypes[] = {
      {DRIVE_UNKNOWN, "UNKNOWN"},     {DRIVE_NO_ROOT_DIR, "UNKNOWN"},
      {DRIVE_REMOVABLE, "REMOVABLE"}, {DRIVE_FIXED, "INTERNAL"},
      {DRIVE_REMOTE, "NETWORK"},      {DRIVE_CDROM, "REMOVABLE"},
      {DRIVE_RAMDISK, "RAM"},
  };
  py::Object map = py::Object::Steal(PyDict_New());
  if (!map) return {};
  for (const auto& drive_type : kDriveTypes) {
    py::Object code = DriveTypeCode(drive_type.code);
    if (!code) return {};
    py::Object member = DeviceTypeMember(drive_type.member);
    if (!member || PyDict_SetItem(map.get(), code.get(), member.get()) < 0) {
      return {};
    }
  }
  return map;
}

py::Object MakeVolumeNameGuidMatcher() {
  py::Object re = Global("re");
  if (!re) return {};
  py::Object pattern = py::String(kVolumeNameGuidPattern);
  if (!pattern) return {};
  py::Object compile = py::GetAttr(re, "compile");
  if (!compile) return {};
  py::Object arguments = py::AsciiPatternArguments(re, pattern);
  if (!arguments) return {};
  return py::Object::Steal(
      PyObject_Call(compile.get(), arguments.get(), nullptr));
}

py::Object MakeFatFilesystems() {
  py::Object fat_names =
      py::MakeTuple(py::String("fat32"), py::String("exfat"));
  if (!fat_names) return {};
  return py::Object::Steal(PyFrozenSet_New(fat_names.get()));
}

bool BindFunction(ModuleState* state, PyMethodDef* definition) {
  return Bind(state->globals.get(), definition->ml_name,
              py::MethodFunction(definition, state->name));
}

py::Object DecorateVolumeInfo(const py::Object& cls) {
  py::Object service = Global("service");
  if (!service) return {};
  return CallMethod(service, "Singleton", cls);
}

// The load after the module object exists. False with the failing step's
// exception pending.
bool Load(PyObject* module) {
  ModuleState& state = State();
  state.globals = py::Object::Borrow(PyModule_GetDict(module));
  state.name = py::Object::Steal(PyObject_GetAttrString(module, "__name__"));
  state.fat_filesystems = py::Object::None();
  state.is_fat_cache = py::Object::None();
  if (!state.globals || !state.name) return false;
  PyObject* const globals = state.globals.get();
  if (!py::InternNames()) return false;

  if (!FetchBuiltins(&state)) return false;
  state.raise_windows_error = host::BindRaiseWindowsError();
  if (state.raise_windows_error == nullptr) return false;

  if (!ImportHostModules(globals)) return false;
  if (!Bind(globals, "LOGGER", MakeLogger())) return false;
  if (!Bind(globals, "DRIVE_TYPE_MAP", MakeDriveTypeMap())) return false;
  if (!Bind(globals, "VOLUME_NAME_GUID_MATCHER", MakeVolumeNameGuidMatcher())) {
    return false;
  }
  state.fat_filesystems = MakeFatFilesystems();
  if (!state.fat_filesystems) return false;
  state.is_fat_cache = py::Object::Steal(PyDict_New());
  if (!state.is_fat_cache) return false;
  if (!BindFunction(&state, &kListVolumeNamesFunction) ||
      !BindFunction(&state, &kFindVolumeIDFunction) ||
      !BindFunction(&state, &kVolumeIDFromSerialNumberFunction) ||
      !BindFunction(&state, &kIsFATFunction)) {
    return false;
  }
  py::Object volume_info = CreateVolumeInfoClass();
  if (!volume_info) return false;
  if (!Bind(globals, "VolumeInfo", DecorateVolumeInfo(volume_info))) {
    return false;
  }
  return true;
}

// The functions bound when the module object is created, in this order.
PyMethodDef module_functions[] = {
    kGetVolumeInformationByHandleFunction,
    kGetVolumeInformationFunction,
    kGetVolumePathNamesFunction,
    {nullptr, nullptr, 0, nullptr},
};

// The load as initvolumes runs it; failures leave an exception pending.
void InitModule() {
  if (py::WarnOnVersionMismatch(kModuleName) < 0) return;
  // Inside the package `windows` the interpreter names it windows.volumes.
  PyObject* module = py::CreateModule("volumes", module_functions, kModuleDoc);
  if (module == nullptr) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_ImportError, kInitName);
    }
    return;
  }
  // Held for the load only; sys.modules keeps the module.
  const py::Object held = py::Object::Borrow(module);
  py::Traced(Load(module), kInitName, kTracebackSource);
}

}  // namespace
}  // namespace volumes

// The module's one exported symbol.
PYAPI_MODULE_INIT(volumes) {
  py::GuardedLoad(volumes::InitModule);
  return py::FinishModuleLoad();
}
