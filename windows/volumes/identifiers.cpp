#include "windows/volumes/identifiers.h"

#include "pyapi/args.h"
#include "pyapi/exception_barrier.h"
#include "windows/volumes/module_state.h"

namespace volumes {
namespace {

PyObject* VolumeIDFromSerialNumberFunction(PyObject*, PyObject* serial) {
  return VolumeIDFromSerialNumber(serial).release();
}

PyObject* FindVolumeIDFunction(PyObject*, PyObject* stat_result) {
  return FindVolumeID(stat_result).release();
}

}  // namespace

const char kFindVolumeIDDoc[] =
    "Get the volume ID from the VolumeInfo service.\n"
    "\n"
    "Args:\n"
    "  stat_result: the raw stat result of the file.\n"
    "\n"
    "Returns:\n"
    "  The object to be used as volume ID, generally string-typed.\n";

py::Object VolumeIDFromSerialNumber(PyObject* serial_number) {
  py::Object format = py::String("serial:%s");
  if (!format) return {};
  py::Object text =
      py::Object::Steal(PyNumber_Remainder(format.get(), serial_number));
  if (!text) return {};
  if (!PyString_CheckExact(text.get())) {
    py::RaiseExpectedType("str", text.get());
    return {};
  }
  // One shared object per identifier, however many files name it.
  PyObject* interned = text.release();
  PyString_InternInPlace(&interned);
  return py::Object::Steal(interned);
}

py::Object VolumeIDOf(py::Handle serial_number) {
  py::Object volume_id_from_serial = Global("_VolumeIDFromSerialNumber");
  if (!volume_id_from_serial) return {};
  return py::CallWith(volume_id_from_serial, serial_number);
}

py::Object FindVolumeID(PyObject* stat_result) {
  // Looked up before st_dev is read, so a rebinding takes effect at once.
  py::Object volume_id_from_serial = Global("_VolumeIDFromSerialNumber");
  if (!volume_id_from_serial) return {};
  py::Object device = py::GetAttr(stat_result, "st_dev");
  if (!device) return {};
  return py::CallWith(volume_id_from_serial, device);
}

PyMethodDef kVolumeIDFromSerialNumberFunction = {
    "_VolumeIDFromSerialNumber", py::Guarded<VolumeIDFromSerialNumberFunction>,
    METH_O, nullptr};

PyMethodDef kFindVolumeIDFunction = {"FindVolumeID",
                                     py::Guarded<FindVolumeIDFunction>, METH_O,
                                     kFindVolumeIDDoc};

}  // namespace volumes
