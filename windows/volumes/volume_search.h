// A volume search handle that closes itself.
#pragma once

#include "win32/unique_handle.h"
#include "win32/win32.h"

namespace volumes {

struct VolumeSearchTraits {
  using Value = HANDLE;
  static Value None() { return INVALID_HANDLE_VALUE; }
  static void Close(Value search) { FindVolumeClose(search); }
};

// A search started by FindFirstVolumeW, closed by FindVolumeClose.
using VolumeSearch = win32::UniqueHandle<VolumeSearchTraits>;

}  // namespace volumes
