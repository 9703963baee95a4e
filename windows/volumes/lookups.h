// The read side of VolumeInfo, and IsFAT with its answer cache.
#pragma once

#include <Python.h>

namespace volumes {

// Methods of VolumeInfo.
extern PyMethodDef kFindVolumeIDMethod;
extern PyMethodDef kAllVolumeEntriesMethod;
extern PyMethodDef kGetVolumeEntryForVolumeIDMethod;
extern PyMethodDef kGetVolumeEntryForDeviceNumberMethod;
extern PyMethodDef kFindVolumeIDForDeviceNumberMethod;

// The module-level IsFAT.
extern PyMethodDef kIsFATFunction;

}  // namespace volumes
