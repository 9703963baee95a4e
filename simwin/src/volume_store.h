// The machine's volumes and how paths lead to them. The caller holds the
// machine lock for every function here.
#pragma once

#include <vector>

#include "machine_state.h"

namespace simwin {

// A volume as the machine keeps it, with no path query answered yet.
VolumePtr NewVolume(const VolumeSpec& definition);

// The first volume with that GUID path (case-insensitive), or null.
VolumePtr FindVolumeByName(Machine& machine, const WString& name);

// Removes every volume with that GUID path; false when there was none.
bool EraseVolumesNamed(Machine& machine, const WString& name);

// Drops the volumes with the volume searches and file handles open on them.
void ForgetVolumes(Machine& machine);

// The value of a new volume search or file handle.
uint64_t NewKernelHandle(Machine& machine);

// Every mount path the volume ever lists, in order, without repeats.
std::vector<WString> MountPaths(const VolumeSpec& definition);

// Bit n for each drive letter "A" + n among the volume's mount paths.
DWORD DriveLetterMask(const Volume& volume);

// A path as the machine resolves it: relative paths and a missing path
// start at the current directory, which is "C:\" on this machine.
WString AbsolutePath(LPCWSTR path);

enum class RootMatch {
  kVolumeRoot,  // a volume's GUID path or one of its mount paths
  kBelowRoot,   // a directory below one of those, not itself a mount point
  kUnknown,
};
// Looks up a root directory (with its trailing backslash).
RootMatch FindVolumeByRoot(Machine& machine, const WString& root,
                           VolumePtr* volume);

// The volume holding a directory: the one whose GUID path or mount path is
// the longest prefix of it; null when none is.
VolumePtr FindVolumeHolding(Machine& machine, const WString& directory);

}  // namespace simwin
