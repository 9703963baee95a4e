// The simulated machine: its volumes, file handles, and drives plugged in
// and out while windows watch.
#include <Python.h>

#include <limits>
#include <string>

#include "pyapi/gil.h"
#include "pyapi/function_arguments.h"
#include "pyapi/object.h"
#include "pyapi/version.h"
#include "simwin/control.h"
#include "simwin/python/arguments.h"
#include "simwin/python/module.h"

namespace simwin_module {
namespace {

// The volume fields that add_volume and plug take by keyword, after the
// name and the paths.
bool SetVolumeField(simwin::VolumeSpec* volume, const char* field,
                    PyObject* value) {
  const std::string name = field;
  uint64_t number = 0;
  if (name == "label") return ToWString(value, field, &volume->label);
  if (name == "filesystem") return ToWString(value, field, &volume->filesystem);
  if (name == "serial") return ToUInt32(value, field, &volume->serial);
  if (name == "drive_type") return ToUInt32(value, field, &volume->drive_type);
  if (name == "component_length") {
    return ToUInt32(value, field, &volume->component_length);
  }
  if (name == "flags") return ToUInt32(value, field, &volume->flags);
  if (name == "total_bytes" || name == "free_bytes") {
    if (!ToUnsigned(value, field, std::numeric_limits<uint64_t>::max(),
                    &number)) {
      return false;
    }
    (name == "total_bytes" ? volume->total_bytes : volume->free_bytes) =
        number;
    return true;
  }
  PyErr_Format(PyExc_TypeError, "unexpected volume field '%.100s'", field);
  return false;
}

// Fills `volume` from the name, one path list and keyword fields; the
// keyword `timeout`, when `timeout` is given, is taken out for the caller.
bool ParseVolume(PyObject* name, PyObject* paths, PyObject* fields,
                 simwin::VolumeSpec* volume, double* timeout) {
  if (!ToWString(name, "name", &volume->name)) return false;
  simwin::PathList path_list;
  if (paths != nullptr && !ToPathList(paths, "paths", &path_list)) {
    return false;
  }
  volume->path_lists = {path_list};
  if (fields == nullptr) return true;
  PyObject* key;
  PyObject* value;
  Py_ssize_t position = 0;
  while (PyDict_Next(fields, &position, &key, &value)) {  // borrowed
    const char* field = py::StrText(key);
    if (field == nullptr) return false;
    if (timeout != nullptr && std::string(field) == "timeout") {
      if (!ToTimeout(value, timeout)) return false;
      continue;
    }
    if (!SetVolumeField(volume, field, value)) return false;
  }
  return true;
}

// Takes the argument at `index` of `args`, or else the keyword `keyword`
// out of `fields`.
bool TakeArgument(const char* function, PyObject* args, Py_ssize_t index,
                  PyObject* fields, const char* keyword, bool required,
                  py::Object* result) {
  PyObject* by_keyword = PyDict_GetItemString(fields, keyword);  // borrowed
  if (index < PyTuple_GET_SIZE(args)) {
    if (by_keyword != nullptr) {
      PyErr_Format(PyExc_TypeError,
                   "%s() got %s by position and by keyword", function,
                   keyword);
      return false;
    }
    *result = py::Object::Borrow(PyTuple_GET_ITEM(args, index));
    return true;
  }
  if (by_keyword == nullptr) {
    if (!required) return true;
    PyErr_Format(PyExc_TypeError, "%s() needs the argument %s", function,
                 keyword);
    return false;
  }
  *result = py::Object::Borrow(by_keyword);
  return PyDict_DelItemString(fields, keyword) == 0;
}

// Splits (name, paths, **fields) given by position or keyword.
bool SplitVolumeArguments(const char* function, PyObject* args,
                          PyObject* kwargs, bool paths_required,
                          py::Object* name, py::Object* paths,
                          py::Object* fields) {
  if (PyTuple_GET_SIZE(args) > 2) {
    PyErr_Format(PyExc_TypeError,
                 "%s() takes at most 2 positional arguments (%zd given)",
                 function, PyTuple_GET_SIZE(args));
    return false;
  }
  *fields = py::Object::Steal(kwargs != nullptr ? PyDict_Copy(kwargs)
                                                : PyDict_New());
  return *fields &&
         TakeArgument(function, args, 0, fields->get(), "name", true, name) &&
         TakeArgument(function, args, 1, fields->get(), "paths",
                      paths_required, paths);
}

PyDoc_STRVAR(kResetDoc,
             "reset()\n\n"
             "Empties the machine: no volumes, handles, windows, classes, "
             "faults or\nrecorded calls; call recording is on.");

PyObject* Reset(PyObject*, PyObject*) {
  {
    py::GilReleased unlocked;
    simwin::Reset();
  }
  ForgetTestWindows();
  Py_RETURN_NONE;
}

PyDoc_STRVAR(kLoadDefaultMachineDoc,
             "load_default_machine()\n\n"
             "Adds the demo's laptop to the machine: system volume C: "
             "(NTFS), a\nrecovery volume without mount point, DVD drive D:, "
             "USB stick E: (FAT32)\nand a volume mounted both as F: and as "
             "a folder.");

PyObject* LoadDefaultMachine(PyObject*, PyObject*) {
  simwin::LoadDefaultMachine();
  Py_RETURN_NONE;
}

PyDoc_STRVAR(
    kAddVolumeDoc,
    "add_volume(name, paths=(), label=u\"\", serial=0, filesystem=u\"NTFS\",\n"
    "           drive_type=3, total_bytes=0, component_length=255, "
    "flags=0,\n           free_bytes=0)\n\n"
    "Appends a volume named `name` (a volume GUID path such as\n"
    "u\"\\\\\\\\?\\\\Volume{...}\\\\\") mounted at `paths`. Volumes are "
    "enumerated in\nthe order they were added; adding a name twice in a row "
    "makes the\nenumeration hand it back twice.");

PyObject* AddVolume(PyObject*, PyObject* args, PyObject* kwargs) {
  py::Object fields;
  py::Object name;
  py::Object paths;
  if (!SplitVolumeArguments("add_volume", args, kwargs, false, &name, &paths,
                            &fields)) {
    return nullptr;
  }
  simwin::VolumeSpec volume;
  if (!ParseVolume(name.get(), paths.get(), fields.get(), &volume, nullptr)) {
    return nullptr;
  }
  simwin::AddVolume(volume);
  Py_RETURN_NONE;
}

PyDoc_STRVAR(kRemoveVolumeDoc,
             "remove_volume(name)\n\n"
             "Removes the volume; KeyError when there is none of that name.");

PyObject* RemoveVolume(PyObject*, PyObject* name_object) {
  simwin::WString name;
  if (!ToWString(name_object, "name", &name)) return nullptr;
  if (!simwin::RemoveVolume(name)) return RaiseUnknownVolume(name);
  Py_RETURN_NONE;
}

PyDoc_STRVAR(kSetPathsDoc,
             "set_paths(name, *path_lists)\n\n"
             "Successive GetVolumePathNamesForVolumeNameW calls on the volume "
             "see\nsuccessive lists of `path_lists`; the last one then stays. "
             "No lists:\nthe volume has no mount point. KeyError for an "
             "unknown volume.");

PyObject* SetPaths(PyObject*, PyObject* args) {
  const Py_ssize_t count = PyTuple_GET_SIZE(args);
  if (count < 1) {
    PyErr_SetString(PyExc_TypeError, "set_paths() needs the volume name");
    return nullptr;
  }
  simwin::WString name;
  if (!ToWString(PyTuple_GET_ITEM(args, 0), "name", &name)) return nullptr;
  std::vector<simwin::PathList> path_lists;
  for (Py_ssize_t i = 1; i < count; ++i) {
    simwin::PathList paths;
    if (!ToPathList(PyTuple_GET_ITEM(args, i), "each path list", &paths)) {
      return nullptr;
    }
    path_lists.push_back(paths);
  }
  if (!simwin::SetPaths(name, path_lists)) return RaiseUnknownVolume(name);
  Py_RETURN_NONE;
}

PyDoc_STRVAR(kOpenHandleDoc,
             "open_handle(name) -> int\n\n"
             "Opens a file handle on the volume, for "
             "GetVolumeInformationByHandleW.\nKeyError for an unknown "
             "volume.");

PyObject* OpenHandle(PyObject*, PyObject* name_object) {
  simwin::WString name;
  if (!ToWString(name_object, "name", &name)) return nullptr;
  HANDLE handle = simwin::OpenHandle(name);
  if (handle == nullptr) return RaiseUnknownVolume(name);
  return IntFromHandle(handle).release();
}

PyDoc_STRVAR(kCloseHandleDoc,
             "close_handle(handle)\n\n"
             "Closes a handle from open_handle; ValueError when it is not "
             "open.");

PyObject* CloseHandle(PyObject*, PyObject* handle_object) {
  uint64_t handle = 0;
  if (!ToMachineWord(handle_object, "handle", &handle)) return nullptr;
  if (!simwin::CloseFileHandle(ToHandle(handle))) {
    return RaiseNotOpenFileHandle(handle);
  }
  Py_RETURN_NONE;
}

PyDoc_STRVAR(
    kPlugDoc,
    "plug(name, paths, timeout=5.0, **volume_fields) -> int\n\n"
    "Adds the volume (fields as for add_volume) and announces it as "
    "Windows\ndoes: WM_DEVICECHANGE DBT_DEVICEARRIVAL with a "
    "DEV_BROADCAST_VOLUME whose\nunit mask names the drive letters among "
    "`paths`, sent to every top-level\nwindow, and the volume "
    "device-interface record sent to every window\nregistered for it. "
    "Returns how many windows processed the volume record;\na window that "
    "does not answer within `timeout` seconds is not counted.");

PyObject* Plug(PyObject*, PyObject* args, PyObject* kwargs) {
  py::Object fields;
  py::Object name;
  py::Object paths;
  if (!SplitVolumeArguments("plug", args, kwargs, true, &name, &paths,
                            &fields)) {
    return nullptr;
  }
  simwin::VolumeSpec volume;
  double timeout = 5.0;
  if (!ParseVolume(name.get(), paths.get(), fields.get(), &volume,
                   &timeout)) {
    return nullptr;
  }
  int processed = 0;
  {
    py::GilReleased unlocked;
    processed = simwin::Plug(volume, timeout);
  }
  return py::IntFromLong(processed).release();
}

PyDoc_STRVAR(
    kUnplugDoc,
    "unplug(name, timeout=5.0) -> int\n\n"
    "Removes the volume and announces it as Windows does, with\n"
    "DBT_DEVICEREMOVECOMPLETE (see plug). Returns how many windows "
    "processed\nthe volume record. KeyError for an unknown volume.");

PyObject* Unplug(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"name", "timeout", nullptr};
  PyObject* name_object = nullptr;
  PyObject* timeout_object = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:unplug",
                                   const_cast<char**>(keywords), &name_object,
                                   &timeout_object)) {
    return nullptr;
  }
  simwin::WString name;
  double timeout = 5.0;
  if (!ToWString(name_object, "name", &name)) return nullptr;
  if (timeout_object != nullptr && !ToTimeout(timeout_object, &timeout)) {
    return nullptr;
  }
  int processed = 0;
  {
    py::GilReleased unlocked;
    processed = simwin::Unplug(name, timeout);
  }
  if (processed < 0) return RaiseUnknownVolume(name);
  return py::IntFromLong(processed).release();
}

}  // namespace

PyMethodDef kMachineFunctions[] = {
    {"reset", Reset, METH_NOARGS, kResetDoc},
    {"load_default_machine", LoadDefaultMachine, METH_NOARGS,
     kLoadDefaultMachineDoc},
    {"add_volume", py::AsCFunction(AddVolume), METH_VARARGS | METH_KEYWORDS,
     kAddVolumeDoc},
    {"remove_volume", RemoveVolume, METH_O, kRemoveVolumeDoc},
    {"set_paths", SetPaths, METH_VARARGS, kSetPathsDoc},
    {"open_handle", OpenHandle, METH_O, kOpenHandleDoc},
    {"close_handle", CloseHandle, METH_O, kCloseHandleDoc},
    {"plug", py::AsCFunction(Plug), METH_VARARGS | METH_KEYWORDS, kPlugDoc},
    {"unplug", py::AsCFunction(Unplug), METH_VARARGS | METH_KEYWORDS,
     kUnplugDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace simwin_module
