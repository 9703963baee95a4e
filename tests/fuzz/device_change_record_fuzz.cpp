// libFuzzer target: the decoding of WM_DEVICECHANGE records, fed records of
// any size and content. Built with AddressSanitizer, so a read beyond the
// record fails the run; the checks below fail it for a wrong answer.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "windows/plugwatch/device_change_record.h"

namespace {

[[noreturn]] void Wrong() { std::abort(); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The system hands a window a record of the size it claims; shorter
  // claims are kept, so every size up to the input's is tried.
  std::unique_ptr<uint8_t[]> record(new uint8_t[size]);
  if (size > 0) std::memcpy(record.get(), data, size);
  auto* header =
      size > 0 ? reinterpret_cast<DEV_BROADCAST_HDR*>(record.get()) : nullptr;
  if (size >= sizeof(DWORD) && header->dbch_size > size) {
    header->dbch_size = static_cast<DWORD>(size);
  }
  if (size > 0 && size < sizeof(DWORD)) header = nullptr;

  const char letter = plugwatch::VolumeDriveLetter(header);
  if (letter == 0) return 0;
  // A letter comes only from a volume record long enough for its mask ...
  if (header == nullptr || header->dbch_devicetype != DBT_DEVTYP_VOLUME ||
      header->dbch_size < 16 || letter < 'A' || letter > 'Z') {
    Wrong();
  }
  // ... and names the lowest drive of the mask, or Z when A to Y are clear.
  const DWORD mask =
      reinterpret_cast<const DEV_BROADCAST_VOLUME*>(header)->dbcv_unitmask;
  const int drive = letter - 'A';
  const DWORD below = (DWORD{1} << drive) - 1;
  if ((mask & below) != 0) Wrong();
  if (letter != 'Z' && (mask & (DWORD{1} << drive)) == 0) Wrong();
  return 0;
}
