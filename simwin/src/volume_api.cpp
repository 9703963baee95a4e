// KERNEL32 volume management: volume searches, mount points, volume
// information, drive types, free space and file handles.
#include <algorithm>

#include "call_gate.h"
#include "text.h"
#include "volume_store.h"

using namespace simwin;

namespace {

// Windows passes out-buffers to the kernel, which faults on a null one.
bool MissingBuffer(const void* buffer, DWORD capacity) {
  return buffer == nullptr && capacity != 0;
}

// A volume without a file system stands for a drive without media.
bool HasMedia(const Volume& volume) { return !volume.definition.filesystem.empty(); }

// Copies a name into a caller's buffer as GetVolumeInformationW does: a
// buffer without room for the NUL gets what fits, unterminated, and the
// call fails with ERROR_BAD_LENGTH.
bool CopyVolumeText(const WString& text, LPWSTR buffer, DWORD capacity) {
  if (buffer == nullptr) return true;
  if (CopyWithNul(text, buffer, capacity)) return true;
  std::copy_n(text.begin(), std::min<size_t>(capacity, text.size()), buffer);
  return false;
}

// Fills the outputs of GetVolumeInformationW in the order Windows does:
// serial and label, then the file-system attributes.
BOOL FillVolumeInformation(const Volume& volume, LPWSTR label, DWORD label_size,
                           LPDWORD serial, LPDWORD component_length,
                           LPDWORD flags, LPWSTR filesystem,
                           DWORD filesystem_size) {
  if (!HasMedia(volume)) return FailWith(ERROR_NOT_READY, FALSE);
  if (serial != nullptr) *serial = volume.definition.serial;
  if (!CopyVolumeText(volume.definition.label, label, label_size)) {
    return FailWith(ERROR_BAD_LENGTH, FALSE);
  }
  if (component_length != nullptr) *component_length = volume.definition.component_length;
  if (flags != nullptr) *flags = volume.definition.flags;
  if (!CopyVolumeText(volume.definition.filesystem, filesystem, filesystem_size)) {
    return FailWith(ERROR_BAD_LENGTH, FALSE);
  }
  return TRUE;
}

}  // namespace

HANDLE WINAPI FindFirstVolumeW(LPWSTR lpszVolumeName, DWORD cchBufferLength) {
  Machine& machine = TheMachine();
  MachineLock lock(machine.mutex);
  if (auto fault = EnterCall(machine, "FindFirstVolumeW", {IntArg(cchBufferLength)})) {
    return FailWith(*fault, INVALID_HANDLE_VALUE);
  }
  if (MissingBuffer(lpszVolumeName, cchBufferLength)) {
    return FailWith(ERROR_NOACCESS, INVALID_HANDLE_VALUE);
  }
  if (machine.volumes.empty()) return FailWith(ERROR_NO_MORE_FILES, INVALID_HANDLE_VALUE);
  VolumeSearch search;
  for (const VolumePtr& volume : machine.volumes.InOrder()) {
    search.names.push_back(volume->definition.name);
  }
  if (!CopyWithNul(search.names[0], lpszVolumeName, cchBufferLength)) {
    return FailWith(ERROR_FILENAME_EXCED_RANGE, INVALID_HANDLE_VALUE);
  }
  search.next = 1;
  const uint64_t handle = NewKernelHandle(machine);
  machine.volume_searches[handle] = std::move(search);
  return KernelHandle(handle);
}

BOOL WINAPI FindNextVolumeW(HANDLE hFindVolume, LPWSTR lpszVolumeName,
                            DWORD cchBufferLength) {
  Machine& machine = TheMachine();
  MachineLock lock(machine.mutex);
  if (auto fault = EnterCall(machine, "FindNextVolumeW",
                             {IntArg(hFindVolume), IntArg(cchBufferLength)})) {
    return FailWith(*fault, FALSE);
  }
  auto found = machine.volume_searches.find(HandleValue(hFindVolume));
  if (found == machine.volume_searches.end()) return FailWith(ERROR_INVALID_HANDLE, FALSE);
  VolumeSearch& search = found->second;
  if (search.next >= search.names.size()) return FailWith(ERROR_NO_MORE_FILES, FALSE);
  if (MissingBuffer(lpszVolumeName, cchBufferLength)) return FailWith(ERROR_NOACCESS, FALSE);
  // A buffer too small leaves the search where it is, so that the caller
  // can ask again with a larger one.
  if (!CopyWithNul(search.names[search.next], lpszVolumeName, cchBufferLength)) {
    return FailWith(ERROR_FILENAME_EXCED_RANGE, FALSE);
  }
  ++search.next;
  return TRUE;
}

BOOL WINAPI FindVolumeClose(HANDLE hFindVolume) {
  Machine& machine = TheMachine();
  MachineLock lock(machine.mutex);
  if (auto fault = EnterCall(machine, "FindVolumeClose", {IntArg(hFindVolume)})) {
    return FailWith(*fault, FALSE);
  }
  if (machine.volume_searches.erase(HandleValue(hFindVolume)) == 0) {
    return FailWith(ERROR_INVALID_HANDLE, FALSE);
  }
  return TRUE;
}

BOOL WINAPI GetVolumePathNamesForVolumeNameW(LPCWSTR lpszVolumeName,
                                             LPWSTR lpszVolumePathNames,
                                             DWORD cchBufferLength,
                                             PDWORD lpcchReturnLength) {
  Machine& machine = TheMachine();
  MachineLock lock(machine.mutex);
  if (auto fault = EnterCall(machine, "GetVolumePathNamesForVolumeNameW",
                             {TextArg(lpszVolumeName), IntArg(cchBufferLength)})) {
    return FailWith(*fault, FALSE);
  }
  const WString name = FromWide(lpszVolumeName);
  if (!IsVolumeGuidPath(name)) return FailWith(ERROR_INVALID_NAME, FALSE);
  VolumePtr volume = FindVolumeByName(machine, name);
  if (!volume) return FailWith(ERROR_FILE_NOT_FOUND, FALSE);
  if (MissingBuffer(lpszVolumePathNames, cchBufferLength)) {
    return FailWith(ERROR_NOACCESS, FALSE);
  }

  const std::vector<PathList>& lists = volume->definition.path_lists;
  static const PathList kNoPaths;
  const PathList& paths =
      lists.empty() ? kNoPaths
                    : lists[std::min(volume->path_queries, lists.size() - 1)];
  ++volume->path_queries;

  // Each path with its NUL, then the NUL that ends the list. Measured and
  // written in place: the query itself allocates nothing, as on Windows.
  uint64_t needed = 1;
  for (const WString& path : paths) needed += path.size() + 1;
  if (lpcchReturnLength != nullptr)
    *lpcchReturnLength = static_cast<DWORD>(needed);
  if (needed > cchBufferLength) return FailWith(ERROR_MORE_DATA, FALSE);
  LPWSTR out = lpszVolumePathNames;
  for (const WString& path : paths) {
    out = std::copy(path.begin(), path.end(), out);
    *out++ = 0;
  }
  *out = 0;
  return TRUE;
}

BOOL WINAPI GetVolumeInformationW(LPCWSTR lpRootPathName, LPWSTR lpVolumeNameBuffer,
                                  DWORD nVolumeNameSize, LPDWORD lpVolumeSerialNumber,
                                  LPDWORD lpMaximumComponentLength,
                                  LPDWORD lpFileSystemFlags,
                                  LPWSTR lpFileSystemNameBuffer,
                                  DWORD nFileSystemNameSize) {
  Machine& machine = TheMachine();
  MachineLock lock(machine.mutex);
  if (auto fault = EnterCall(machine, "GetVolumeInformationW",
                             {TextArg(lpRootPathName), IntArg(nVolumeNameSize),
                              IntArg(nFileSystemNameSize)})) {
    return FailWith(*fault, FALSE);
  }
  const WString given = FromWide(lpRootPathName);
  if (lpRootPathName != nullptr && (given.empty() || given.back() != u'\\')) {
    return FailWith(ERROR_INVALID_NAME, FALSE);
  }
  VolumePtr volume;
  switch (FindVolumeByRoot(machine, AbsolutePath(lpRootPathName), &volume)) {
    case RootMatch::kVolumeRoot:
      break;
    case RootMatch::kBelowRoot:
      return FailWith(ERROR_DIR_NOT_ROOT, FALSE);
    case RootMatch::kUnknown:
      return FailWith(ERROR_PATH_NOT_FOUND, FALSE);
  }
  return FillVolumeInformation(*volume, lpVolumeNameBuffer, nVolumeNameSize,
                               lpVolumeSerialNumber, lpMaximumComponentLength,
                               lpFileSystemFlags, lpFileSystemNameBuffer,
                               nFileSystemNameSize);
}

BOOL WINAPI GetVolumeInformationByHandleW(
    HANDLE hFile, LPWSTR lpVolumeNameBuffer, DWORD nVolumeNameSize,
    LPDWORD lpVolumeSerialNumber, LPDWORD lpMaximumComponentLength,
    LPDWORD lpFileSystemFlags, LPWSTR lpFileSystemNameBuffer,
    DWORD nFileSystemNameSize) {
  Machine& machine = TheMachine();
  MachineLock lock(machine.mutex);
  if (auto fault = EnterCall(machine, "GetVolumeInformationByHandleW",
                             {IntArg(hFile), IntArg(nVolumeNameSize),
                              IntArg(nFileSystemNameSize)})) {
    return FailWith(*fault, FALSE);
  }
  auto found = machine.file_handles.find(HandleValue(hFile));
  if (found == machine.file_handles.end()) return FailWith(ERROR_INVALID_HANDLE, FALSE);
  return FillVolumeInformation(*found->second.volume, lpVolumeNameBuffer,
                               nVolumeNameSize, lpVolumeSerialNumber,
                               lpMaximumComponentLength, lpFileSystemFlags,
                               lpFileSystemNameBuffer, nFileSystemNameSize);
}

UINT WINAPI GetDriveTypeW(LPCWSTR lpRootPathName) {
  Machine& machine = TheMachine();
  MachineLock lock(machine.mutex);
  if (auto fault = EnterCall(machine, "GetDriveTypeW", {TextArg(lpRootPathName)})) {
    return FailWith(*fault, static_cast<UINT>(DRIVE_UNKNOWN));
  }
  // "X:" alone names the drive's root, as Windows accepts it; any other
  // path must end with the backslash of a root.
  const WString root = AbsolutePath(lpRootPathName);
  VolumePtr volume;
  if (root.back() != u'\\' ||
      FindVolumeByRoot(machine, root, &volume) != RootMatch::kVolumeRoot) {
    return DRIVE_NO_ROOT_DIR;
  }
  return volume->definition.drive_type;
}

BOOL WINAPI GetDiskFreeSpaceExW(LPCWSTR lpDirectoryName,
                                PULARGE_INTEGER lpFreeBytesAvailableToCaller,
                                PULARGE_INTEGER lpTotalNumberOfBytes,
                                PULARGE_INTEGER lpTotalNumberOfFreeBytes) {
  Machine& machine = TheMachine();
  MachineLock lock(machine.mutex);
  if (auto fault = EnterCall(machine, "GetDiskFreeSpaceExW", {TextArg(lpDirectoryName)})) {
    return FailWith(*fault, FALSE);
  }
  VolumePtr volume = FindVolumeHolding(machine, AbsolutePath(lpDirectoryName));
  if (!volume) return FailWith(ERROR_PATH_NOT_FOUND, FALSE);
  if (!HasMedia(*volume)) return FailWith(ERROR_NOT_READY, FALSE);
  // No quotas on this machine: the caller may use all the free space.
  if (lpFreeBytesAvailableToCaller != nullptr) {
    lpFreeBytesAvailableToCaller->QuadPart = volume->definition.free_bytes;
  }
  if (lpTotalNumberOfBytes != nullptr) lpTotalNumberOfBytes->QuadPart = volume->definition.total_bytes;
  if (lpTotalNumberOfFreeBytes != nullptr) {
    lpTotalNumberOfFreeBytes->QuadPart = volume->definition.free_bytes;
  }
  return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
  Machine& machine = TheMachine();
  MachineLock lock(machine.mutex);
  if (auto fault = EnterCall(machine, "CloseHandle", {IntArg(hObject)})) {
    return FailWith(*fault, FALSE);
  }
  // -1 and -2 are the pseudo-handles of the current process and thread
  // (INVALID_HANDLE_VALUE is the former); closing them does nothing.
  const auto value = reinterpret_cast<intptr_t>(hObject);
  if (value == -1 || value == -2) return TRUE;
  if (machine.file_handles.erase(HandleValue(hObject)) == 0) {
    return FailWith(ERROR_INVALID_HANDLE, FALSE);
  }
  return TRUE;
}
