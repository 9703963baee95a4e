#include "windows/volumes/identifiers.h"

#include <cstring>

#include "pyapi/args.h"
#include "pyapi/exception_barrier.h"
#include "pyapi/version.h"
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

namespace {

// "serial:%s" % serial_number. An int or long prints as its decimal digits,
// which the fast path writes itself; anything else is formatted by the
// interpreter.
py::Object FormatVolumeID(PyObject* serial_number) {
  PY_LONG_LONG value = 0;
  bool integral = false;
  if (py::IsShortIntExact(serial_number)) {
    value = py::ShortIntValue(serial_number);
    integral = true;
  } else if (PyLong_CheckExact(serial_number)) {
    int overflow = 0;
    value = PyLong_AsLongLongAndOverflow(serial_number, &overflow);
    if (value == -1 && PyErr_Occurred()) return {};
    integral = overflow == 0;
  }
  if (!integral) {
    return py::Object::Steal(
        PyNumber_Remainder(names::volume_id_format.get(), serial_number));
  }
  // Written backwards from the last digit; the prefix goes in front.
  static const char kPrefix[] = "serial:";
  char text[sizeof kPrefix + 20];
  char* const end = text + sizeof text;
  char* start = end;
  unsigned long long magnitude =
      value < 0 ? 0ULL - static_cast<unsigned long long>(value)
                : static_cast<unsigned long long>(value);
  do {
    *--start = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (value < 0) *--start = '-';
  start -= sizeof kPrefix - 1;
  std::memcpy(start, kPrefix, sizeof kPrefix - 1);
  return py::StrFromStringAndSize(start, end - start);
}

// `function` called with `argument`, or the C++ behind it when `function`
// is still this module's own `definition`.
py::Object CallOwnOr(py::Handle function, const PyMethodDef& definition,
                     py::Object (*body)(PyObject*), PyObject* argument) {
  if (IsOwnFunction(function.get(), definition)) return body(argument);
  return py::CallWith(function, py::Handle(argument));
}

}  // namespace

py::Object VolumeIDFromSerialNumber(PyObject* serial_number) {
  py::Object text = FormatVolumeID(serial_number);
  if (!text) return {};
  if (!py::IsStrExact(text.get())) {
    py::RaiseExpectedType("str", text.get());
    return {};
  }
  // One shared object per identifier, however many files name it.
  PyObject* interned = text.release();
  py::InternStrInPlace(&interned);
  return py::Object::Steal(interned);
}

py::Object VolumeIDOf(py::Handle serial_number) {
  py::Object volume_id_from_serial = Global(names::volume_id_from_serial);
  if (!volume_id_from_serial) return {};
  return CallOwnOr(volume_id_from_serial, kVolumeIDFromSerialNumberFunction,
                   VolumeIDFromSerialNumber, serial_number.get());
}

py::Object FindVolumeID(PyObject* stat_result) {
  // Looked up before st_dev is read, so a rebinding takes effect at once.
  py::Object volume_id_from_serial = Global(names::volume_id_from_serial);
  if (!volume_id_from_serial) return {};
  py::Object device = py::GetAttr(stat_result, names::st_dev);
  if (!device) return {};
  return CallOwnOr(volume_id_from_serial, kVolumeIDFromSerialNumberFunction,
                   VolumeIDFromSerialNumber, device.get());
}

py::Object FindVolumeIDThroughModule(PyObject* stat_result) {
  py::Object find_volume_id = Global(names::find_volume_id);
  if (!find_volume_id) return {};
  return CallOwnOr(find_volume_id, kFindVolumeIDFunction, FindVolumeID,
                   stat_result);
}

PyMethodDef kVolumeIDFromSerialNumberFunction = {
    "_VolumeIDFromSerialNumber", py::Guarded<VolumeIDFromSerialNumberFunction>,
    METH_O, nullptr};

PyMethodDef kFindVolumeIDFunction = {"FindVolumeID",
                                     py::Guarded<FindVolumeIDFunction>, METH_O,
                                     kFindVolumeIDDoc};

}  // namespace volumes
