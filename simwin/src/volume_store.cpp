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
std::vector<WString> Roots(const VolumeSpec& definition) {
  std::vector<WString> roots = MountPaths(definition);
  roots.insert(roots.begin(), definition.name);
  return roots;
}

template <typename Map>
VolumePtr Find(const Map& map, const WString& key) {
  const auto found = map.find(key);
  return found != map.end() ? found->second : nullptr;
}

}  // namespace

// --- VolumeTable ------------------------------------------------------------

void VolumeTable::Add(VolumePtr volume) {
  volumes_.push_back(volume);
  Index(volume);
}

bool VolumeTable::EraseNamed(const WString& name) {
  const auto removed = std::remove_if(
      volumes_.begin(), volumes_.end(),
      [&](const VolumePtr& volume) { return EqualNoCase(volume->definition.name, name); });
  if (removed == volumes_.end()) return false;
  volumes_.erase(removed, volumes_.end());
  Reindex();
  return true;
}

void VolumeTable::Clear() {
  volumes_.clear();
  Reindex();
}

bool VolumeTable::SetPaths(const WString& name, const std::vector<PathList>& path_lists) {
  bool found = false;
  for (const VolumePtr& volume : volumes_) {
    if (!EqualNoCase(volume->definition.name, name)) continue;
    volume->definition.path_lists = path_lists;
    volume->roots = Roots(volume->definition);
    volume->path_queries = 0;
    found = true;
  }
  if (found) Reindex();
  return found;
}

VolumePtr VolumeTable::Named(const WString& name) const {
  return Find(by_name_, UpperCased(name));
}

VolumePtr VolumeTable::WithRoot(const WString& root) const {
  return Find(by_root_, UpperCased(root));
}

VolumePtr VolumeTable::Holding(const WString& path) const {
  const WString upper = UpperCased(path);
  for (const size_t length : root_lengths_) {
    // An empty root is a prefix of everything and the root of nothing.
    if (length == 0) break;
    if (length > upper.size()) continue;
    if (VolumePtr volume = Find(by_root_, upper.substr(0, length))) return volume;
  }
  return nullptr;
}

// emplace keeps an existing entry: the earliest volume keeps its name and
// roots.
void VolumeTable::Index(const VolumePtr& volume) {
  by_name_.emplace(UpperCased(volume->definition.name), volume);
  for (const WString& root : volume->roots) {
    by_root_.emplace(UpperCased(root), volume);
    root_lengths_.insert(root.size());
  }
}

void VolumeTable::Reindex() {
  by_name_.clear();
  by_root_.clear();
  root_lengths_.clear();
  for (const VolumePtr& volume : volumes_) Index(volume);
}

// --- Store --------------------------------------------------------------------

VolumePtr NewVolume(const VolumeSpec& definition) {
  auto volume = std::make_shared<Volume>();
  volume->definition = definition;
  volume->roots = Roots(definition);
  return volume;
}

VolumePtr FindVolumeByName(Machine& machine, const WString& name) {
  return machine.volumes.Named(name);
}

bool EraseVolumesNamed(Machine& machine, const WString& name) {
  return machine.volumes.EraseNamed(name);
}

void ForgetVolumes(Machine& machine) {
  machine.volumes.Clear();
  machine.volume_searches.clear();
  machine.file_handles.clear();
}

uint64_t NewKernelHandle(Machine& machine) {
  const uint64_t handle = machine.next_kernel_handle;
  machine.next_kernel_handle += 4;
  return handle;
}

std::vector<WString> MountPaths(const VolumeSpec& definition) {
  std::vector<WString> paths;
  for (const PathList& list : definition.path_lists) {
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
  for (const WString& path : MountPaths(volume.definition)) {
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
  if ((*volume = machine.volumes.WithRoot(root))) return RootMatch::kVolumeRoot;
  return FindVolumeHolding(machine, root) ? RootMatch::kBelowRoot
                                          : RootMatch::kUnknown;
}

VolumePtr FindVolumeHolding(Machine& machine, const WString& directory) {
  WString path = directory;
  if (path.empty() || path.back() != u'\\') path.push_back(u'\\');
  return machine.volumes.Holding(path);
}

// --- Control --------------------------------------------------------------------

void AddVolume(const VolumeSpec& volume) {
  Machine& machine = TheMachine();
  MachineLock lock(machine.mutex);
  machine.volumes.Add(NewVolume(volume));
}

bool RemoveVolume(const WString& name) {
  Machine& machine = TheMachine();
  MachineLock lock(machine.mutex);
  return EraseVolumesNamed(machine, name);
}

bool SetPaths(const WString& name, const std::vector<PathList>& path_lists) {
  Machine& machine = TheMachine();
  MachineLock lock(machine.mutex);
  return machine.volumes.SetPaths(name, path_lists);
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
