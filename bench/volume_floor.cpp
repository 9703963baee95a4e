// The floor of the volume benchmark: the Win32 call sequences of the
// windows.volumes queries and refresh, made from C++ with no interpreter
// objects, against the same simulated machine. The benchmark loads this
// library with ctypes and times each function beside the module and its
// ctypes peer; what a function costs here is what the Win32 calls cost.
#include <cstdint>
#include <vector>

#include "win32/win32.h"

namespace {

constexpr DWORD kNameLength = MAX_PATH + 1;
constexpr DWORD kInitialPathNamesLength = 5;

// GetVolumePathNamesForVolumeNameW from a 5-character buffer, grown to what
// the system reports, as the module does. Returns the characters written.
DWORD PathNames(const WCHAR* name) {
  std::vector<WCHAR> buffer(kInitialPathNamesLength);
  DWORD reported = 0;
  while (!GetVolumePathNamesForVolumeNameW(name, buffer.data(),
                                           static_cast<DWORD>(buffer.size()),
                                           &reported)) {
    if (GetLastError() != ERROR_MORE_DATA || reported <= buffer.size()) {
      return 0;
    }
    std::vector<WCHAR>().swap(buffer);
    buffer.resize(reported);
  }
  return reported;
}

struct VolumeInformationFields {
  WCHAR label[kNameLength];
  DWORD serial_number = 0;
  DWORD component_length = 0;
  DWORD flags = 0;
  WCHAR filesystem[kNameLength];
};

BOOL VolumeInformation(const WCHAR* root) {
  VolumeInformationFields fields;
  return GetVolumeInformationW(root, fields.label, kNameLength,
                               &fields.serial_number, &fields.component_length,
                               &fields.flags, fields.filesystem, kNameLength);
}

// Every volume name, as the enumeration hands them out.
std::vector<std::vector<WCHAR>> VolumeNames() {
  std::vector<std::vector<WCHAR>> names;
  WCHAR name[kNameLength];
  HANDLE search = FindFirstVolumeW(name, kNameLength);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    const WCHAR* end = name;
    while (*end != 0) ++end;
    names.emplace_back(static_cast<const WCHAR*>(name), end + 1);
  } while (FindNextVolumeW(search, name, kNameLength));
  FindVolumeClose(search);
  return names;
}

}  // namespace

extern "C" {

// _ListVolumeNames. Returns the number of names.
__attribute__((visibility("default"))) int64_t FloorListVolumeNames(
    int64_t repeat) {
  int64_t count = 0;
  for (int64_t i = 0; i < repeat; ++i) count = VolumeNames().size();
  return count;
}

// _GetVolumePathNamesForVolumeName(name).
__attribute__((visibility("default"))) int64_t FloorPathNames(
    const WCHAR* name, int64_t repeat) {
  int64_t written = 0;
  for (int64_t i = 0; i < repeat; ++i) written = PathNames(name);
  return written;
}

// GetVolumeInformation(root).
__attribute__((visibility("default"))) int64_t FloorVolumeInformation(
    const WCHAR* root, int64_t repeat) {
  int64_t succeeded = 0;
  for (int64_t i = 0; i < repeat; ++i) succeeded = VolumeInformation(root);
  return succeeded;
}

// GetVolumeInformationByHandle(handle).
__attribute__((visibility("default"))) int64_t FloorVolumeInformationByHandle(
    int64_t handle, int64_t repeat) {
  int64_t succeeded = 0;
  for (int64_t i = 0; i < repeat; ++i) {
    VolumeInformationFields fields;
    succeeded = GetVolumeInformationByHandleW(
        reinterpret_cast<HANDLE>(static_cast<intptr_t>(handle)), fields.label,
        kNameLength, &fields.serial_number, &fields.component_length,
        &fields.flags, fields.filesystem, kNameLength);
  }
  return succeeded;
}

// A forced refresh's Win32 calls, in its order. Returns the volumes that
// would be recorded.
__attribute__((visibility("default"))) int64_t FloorRefresh(int64_t repeat) {
  int64_t recorded = 0;
  for (int64_t i = 0; i < repeat; ++i) {
    recorded = 0;
    for (const std::vector<WCHAR>& name : VolumeNames()) {
      if (PathNames(name.data()) < 2) continue;
      if (!VolumeInformation(name.data())) continue;
      GetDriveTypeW(name.data());
      ULARGE_INTEGER capacity_bytes;
      capacity_bytes.QuadPart = 0;
      GetDiskFreeSpaceExW(name.data(), nullptr, &capacity_bytes, nullptr);
      ++recorded;
    }
  }
  return recorded;
}

}  // extern "C"
