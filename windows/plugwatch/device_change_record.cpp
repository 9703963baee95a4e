#include "windows/plugwatch/device_change_record.h"

#include <cstddef>

namespace plugwatch {
namespace {

// The bytes of a volume record that are read: up to the end of the unit
// mask. The flags after it are never read, so a record is not refused for
// lacking them or the structure's tail padding.
constexpr DWORD kVolumeRecordBytesRead =
    offsetof(DEV_BROADCAST_VOLUME, dbcv_unitmask) + sizeof(DWORD);

}  // namespace

// Any program may send WM_DEVICECHANGE to a top-level window, so the record
// is checked before it is read.
char VolumeDriveLetter(const DEV_BROADCAST_HDR* header) {
  if (header == nullptr || header->dbch_size < sizeof(DEV_BROADCAST_HDR)) {
    return 0;
  }
  if (header->dbch_devicetype != DBT_DEVTYP_VOLUME ||
      header->dbch_size < kVolumeRecordBytesRead) {
    return 0;
  }
  DWORD unit_mask =
      reinterpret_cast<const DEV_BROADCAST_VOLUME*>(header)->dbcv_unitmask;
  char letter = 'A';
  while ((unit_mask & 1) == 0 && letter < 'Z') {
    ++letter;
    unit_mask >>= 1;
  }
  return letter;
}

}  // namespace plugwatch
