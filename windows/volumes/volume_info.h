// The VolumeInfo service class, built at load.
#pragma once

#include <Python.h>

#include "pyapi/object.h"

namespace volumes {

// The class VolumeInfo, deriving from `object`, with its documentation and
// methods in their order; not yet passed through the host's decorator.
// Null with an exception pending on failure.
py::Object CreateVolumeInfoClass();

}  // namespace volumes
