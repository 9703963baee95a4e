// The decoding of the record a WM_DEVICECHANGE message points to: a pure
// function of the record's bytes, shared by the window procedure and the
// fuzz target that feeds it records of any size and content.
#pragma once

#include "win32/win32.h"

namespace plugwatch {

// The drive letter ('A' to 'Z') of the lowest volume a volume record names,
// or 0 when `header` is no volume record: null, shorter than its header, of
// another device type, or ending before its unit mask. A mask naming none
// of drives A to Y gives 'Z'. Reads no byte beyond `dbch_size`.
char VolumeDriveLetter(const DEV_BROADCAST_HDR* header);

}  // namespace plugwatch
