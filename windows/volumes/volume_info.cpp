#include "windows/volumes/volume_info.h"

#include "pyapi/classes.h"
#include "pyapi/exception_barrier.h"
#include "pyapi/function_arguments.h"
#include "windows/volumes/lookups.h"
#include "windows/volumes/module_state.h"
#include "windows/volumes/refresh.h"

namespace volumes {
namespace {

const char kVolumeInfoDoc[] =
    "Volume information cache service.\n"
    "\n"
    "On Windows the service so far only hands back the volume serial number\n"
    "obtained from a stat result; it is meant to track further volume\n"
    "information for mount and dismount handling.\n";

PyObject* InitMethodFunction(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* const kParameters[] = {"self"};
  py::Object arguments[1];
  if (!py::BindArguments("__init__", args, kwargs, kParameters, 1, arguments)) {
    return nullptr;
  }
  PyObject* const self = arguments[0].get();
  py::Object volume_ids = py::Object::Steal(PyDict_New());
  if (!volume_ids || PyObject_SetAttr(self, names::volume_ids_attribute.get(),
                                      volume_ids.get()) < 0) {
    return nullptr;
  }
  py::Object volume_entries = py::Object::Steal(PyDict_New());
  if (!volume_entries ||
      PyObject_SetAttr(self, names::volume_entries_attribute.get(),
                       volume_entries.get()) < 0) {
    return nullptr;
  }
  py::Object platform_utils = Global(names::platform_utils);
  if (!platform_utils) return nullptr;
  py::Object lock = CallMethod(platform_utils, names::lock_factory);
  if (!lock ||
      PyObject_SetAttr(self, names::lock_attribute.get(), lock.get()) < 0) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyMethodDef kInitMethod = {"__init__",
                           py::AsCFunction(py::Guarded<InitMethodFunction>),
                           METH_VARARGS | METH_KEYWORDS, nullptr};

}  // namespace

py::Object CreateVolumeInfoClass() {
  // In the order the class defines them. _FindVolumeIDForDeviceNumber comes
  // last: GetVolumeEntryForDeviceNumber looks it up on the instance. Copied
  // at the first call, when the other files' entries are all set up; the
  // functions made from it keep pointing into it.
  static PyMethodDef methods[] = {
      kInitMethod,
      kFindVolumeIDMethod,
      kAllVolumeEntriesMethod,
      kGetVolumeEntryForVolumeIDMethod,
      kGetVolumeEntryForDeviceNumberMethod,
      kPopulateVolumeTableMethod,
      kFindVolumeIDForDeviceNumberMethod,
      {nullptr, nullptr, 0, nullptr},
  };
  ModuleState& state = State();
  py::Object bases = py::MakeTuple(state.object_type);
  py::Object namespace_dict = py::Object::Steal(PyDict_New());
  py::Object doc = py::String(kVolumeInfoDoc);
  if (!bases || !namespace_dict || !doc ||
      PyDict_SetItemString(namespace_dict.get(), "__module__",
                           state.name.get()) < 0 ||
      PyDict_SetItemString(namespace_dict.get(), "__doc__", doc.get()) < 0) {
    return {};
  }
  // Left without a class: read through the class or an instance, each is
  // bound to the class it is read through, as a tied one would be, but
  // without the subclass test a tied method makes on every read of a
  // lookup method.
  if (!py::AddMethods(namespace_dict.get(), methods, state.name)) return {};
  return py::NewClass("VolumeInfo", bases, namespace_dict);
}

}  // namespace volumes
