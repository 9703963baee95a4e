// The refresh of the VolumeInfo table from what the system reports.
#pragma once

#include <Python.h>

namespace volumes {

// VolumeInfo._PopulateVolumeTable(self, current_volume_ids).
extern PyMethodDef kPopulateVolumeTableMethod;

}  // namespace volumes
