// Volume identifiers: the interned "serial:%s" text of a volume serial
// number, which keys the volume table and names a file's volume.
#pragma once

#include <Python.h>

#include "pyapi/object.h"

namespace volumes {

// The identifier of the volume with `serial_number`; null with an exception
// pending on failure.
py::Object VolumeIDFromSerialNumber(PyObject* serial_number);

// The identifier of the volume with `serial_number`, through the module's
// _VolumeIDFromSerialNumber as bound at the moment of the call: the table's
// keys and every lookup derive it alike, so a rebinding changes them all.
py::Object VolumeIDOf(py::Handle serial_number);

// The identifier of the volume holding the file of `stat_result`, through
// the module's _VolumeIDFromSerialNumber as bound at the moment of the call.
py::Object FindVolumeID(PyObject* stat_result);

// The module's FindVolumeID as bound at the moment of the call, called with
// `stat_result`.
py::Object FindVolumeIDThroughModule(PyObject* stat_result);

// _VolumeIDFromSerialNumber and FindVolumeID, bound by the module body.
extern PyMethodDef kVolumeIDFromSerialNumberFunction;
extern PyMethodDef kFindVolumeIDFunction;

// The documentation that FindVolumeID shares with VolumeInfo.FindVolumeID.
extern const char kFindVolumeIDDoc[];

}  // namespace volumes
