#include "volume_store.h"

#include <algorithm>

#include "text.h"

namespace simwin {
namespace {

bool IsDriveLetter(char16_t c) {
  const char16_t upper = UpperCase(c);
  return upper >= u'A' && upper <= u'Z';
}

// The GUID path and the mount paths: every root by which the volume is known.
std::vector<WString> Roots(const Volume& volume) {
  std::vector<WString> roots = MountPaths(volume);
  roots.insert(roots.begin(), volume.definition.name);
  return roots;
}

}  // namespace

VolumePtr NewVolume(const VolumeSpec& definition) {
  auto volume = std::make_shared<Volume>();
  volume->definition = definition;
  return volume;
}

VolumePtr FindVolumeByName(Machine& machine, const WString& name) {
  for (const VolumePtr& volume : machine.volumes) {
    if (EqualNoCase(volume->definition.name, name)) return volume;
  }
  return nullptr;
}

bool EraseVolumesNamed(Machine& machine, const WString& name) {
  const auto removed = std::remove_if(
      machine.volumes.begin(), machine.volumes.end(),
      [&](const VolumePtr& volume) { return EqualNoCase(volume->definition.name, name); });
  const bool found = removed != machine.volumes.end();
  machine.volumes.erase(removed, machine.volumes.end());
  return found;
}

void ForgetVolumes(Machine& machine) {
  machine.volumes.clear();
  machine.volume_searches.clear();
  machine.file_handles.clear();
}

uint64_t NewKernelHandle(Machine& machine) {
  const uint64_t handle = machine.next_kernel_handle;
  machine.next_kernel_handle += 4;
  return handle;
}

std::vector<WString> MountPaths(const Volume& volume) {
  std::vector<WString> paths;
  for (const PathList& list : volume.definition.path_lists) {
    for (const WString& path : list) {
      const bool seen = std::any_of(paths.begin(), paths.end(), [&](const WString& known) {
        return EqualNoCase(known, path);
      });
      if (!seen) paths.push_back(path);
    }
  }
  return paths;
}

DWORD DriveLetterMask(const Volume& volume) {
  DWORD mask = 0;
  for (const WString& path : MountPaths(volume)) {
    if (path.size() == 3 && IsDriveLetter(path[0]) && path[1] == u':' && path[2] == u'\\') {
      mask |= DWORD{1} << (UpperCase(path[0]) - u'A');
    }
  }
  return mask;
}

WString AbsolutePath(LPCWSTR path) {
  static const WString kCurrentDirectory = u"C:\\";
  static const WString kLocalPrefix = u"\\\\?\\";
  WString text = FromWide(path);
  if (path == nullptr || text.empty()) return kCurrentDirectory;
  // "\\?\C:\..." names the same directory as "C:\...".
  if (text.compare(0, kLocalPrefix.size(), kLocalPrefix) == 0 && text.size() >= 6 &&
      IsDriveLetter(text[4]) && text[5] == u':') {
    text.erase(0, kLocalPrefix.size());
  }
  if (text.compare(0, 2, u"\\\\") == 0) return text;
  if (text[0] == u'\\') return text.insert(0, kCurrentDirectory, 0, 2);
  if (text.size() >= 2 && IsDriveLetter(text[0]) && text[1] == u':') {
    if (text.size() == 2 || text[2] != u'\\') text.insert(2, u"\\");
    return text;
  }
  return text.insert(0, kCurrentDirectory);
}

RootMatch FindVolumeByRoot(Machine& machine, const WString& root,
                           VolumePtr* volume) {
  for (const VolumePtr& candidate : machine.volumes) {
    for (const WString& known : Roots(*candidate)) {
      if (EqualNoCase(known, root)) {
        *volume = candidate;
        return RootMatch::kVolumeRoot;
      }
    }
  }
  return FindVolumeHolding(machine, root) ? RootMatch::kBelowRoot
                                          : RootMatch::kUnknown;
}

VolumePtr FindVolumeHolding(Machine& machine, const WString& directory) {
  WString path = directory;
  if (path.empty() || path.back() != u'\\') path.push_back(u'\\');
  VolumePtr best;
  size_t best_length = 0;
  for (const VolumePtr& candidate : machine.volumes) {
    for (const WString& known : Roots(*candidate)) {
      if (known.size() > best_length && StartsWithNoCase(path, known)) {
        best = candidate;
        best_length = known.size();
      }
    }
  }
  return best;
}

// --- Control --------------------------------------------------------------------

void AddVolume(const VolumeSpec& volume) {
  Machine& machine = TheMachine();
  MachineLock lock(machine.mutex);
  machine.volumes.push_back(NewVolume(volume));
}

bool RemoveVolume(const WString& name) {
  Machine& machine = TheMachine();
  MachineLock lock(machine.mutex);
  return EraseVolumesNamed(machine, name);
}

bool SetPaths(const WString& name, const std::vector<PathList>& path_lists) {
  Machine& machine = TheMachine();
  MachineLock lock(machine.mutex);
  bool found = false;
  for (const VolumePtr& volume : machine.volumes) {
    if (!EqualNoCase(volume->definition.name, name)) continue;
    volume->definition.path_lists = path_lists;
    volume->path_queries = 0;
    found = true;
  }
  return found;
}

HANDLE OpenHandle(const WString& name) {
  Machine& machine = TheMachine();
  MachineLock lock(machine.mutex);
  VolumePtr volume = FindVolumeByName(machine, name);
  if (!volume) return nullptr;
  const uint64_t handle = NewKernelHandle(machine);
  machine.file_handles[handle] = FileHandle{std::move(volume)};
  return KernelHandle(handle);
}

bool CloseFileHandle(HANDLE handle) {
  Machine& machine = TheMachine();
  MachineLock lock(machine.mutex);
  return machine.file_handles.erase(HandleValue(handle)) != 0;
}

}  // namespace simwin
