// The machine as a whole: the empty machine, the demo's laptop, and what the
// control interface reports about windows and open objects.
#include "machine_state.h"
#include "volume_store.h"
#include "window_manager.h"

namespace simwin {
namespace {

VolumeSpec MakeVolume(const WString& name, std::vector<PathList> path_lists,
                      const WString& label, uint32_t serial, const WString& filesystem,
                      uint32_t drive_type, uint64_t total_bytes, uint64_t free_bytes,
                      uint32_t component_length, uint32_t flags) {
  VolumeSpec volume;
  volume.name = name;
  volume.path_lists = std::move(path_lists);
  volume.label = label;
  volume.serial = serial;
  volume.filesystem = filesystem;
  volume.drive_type = drive_type;
  volume.total_bytes = total_bytes;
  volume.free_bytes = free_bytes;
  volume.component_length = component_length;
  volume.flags = flags;
  return volume;
}

// The demo's laptop, in the order its volumes enumerate.
std::vector<VolumeSpec> DefaultVolumes() {
  // File-system flags as Windows 10 reports them for each file system.
  constexpr uint32_t kNtfsFlags = 0x03E706FF;
  constexpr uint32_t kUdfFlags = 0x00080006;  // read-only, Unicode, case-preserving
  constexpr uint32_t kFatFlags = 0x00000006;  // Unicode, case-preserving
  return {
      MakeVolume(u"\\\\?\\Volume{3f1c2a7e-5b8d-4e21-9c0a-6d2f8b1e4a90}\\", {{u"C:\\"}},
                 u"Windows", 0xB2D46E1Fu, u"NTFS", DRIVE_FIXED, 511101775872ull,
                 187234402304ull, 255, kNtfsFlags),
      MakeVolume(u"\\\\?\\Volume{a7d40c3b-19e2-4f6a-8b57-c0e93d2f6b14}\\", {}, u"Recovery",
                 0x2C7A91D0u, u"NTFS", DRIVE_FIXED, 1038086144ull, 524288000ull, 255,
                 kNtfsFlags),
      MakeVolume(u"\\\\?\\Volume{e2b9f6d4-0c71-11ef-a3b5-806e6f6e6963}\\", {{u"D:\\"}},
                 u"PHOTOS_2019", 0x5D1E0A33u, u"UDF", DRIVE_CDROM, 4700372992ull, 0ull, 254,
                 kUdfFlags),
      MakeVolume(u"\\\\?\\Volume{6b0e3d12-0c71-11ef-a3b5-806e6f6e6963}\\", {{u"E:\\"}},
                 u"KINGSTON", 0x1C2F6B7Au, u"FAT32", DRIVE_REMOVABLE, 15502147584ull,
                 9126805504ull, 255, kFatFlags),
      MakeVolume(u"\\\\?\\Volume{c81f5e27-4d3a-4b9e-a06f-2e7d91b3c5a8}\\",
                 {{u"F:\\", u"C:\\Data\\Archive\\"}}, u"Archive", 0x8E03F5C4u, u"NTFS",
                 DRIVE_FIXED, 2000381014016ull, 1264826679296ull, 255, kNtfsFlags),
  };
}

}  // namespace

Machine& TheMachine() {
  static Machine* const machine = new Machine;
  return *machine;
}

// Windows are forgotten without their procedures being called: a thread
// blocked in GetMessageW or WaitMessage keeps waiting, and one inside a
// procedure finds the window gone when it returns. Messages sent and not
// yet delivered fail, so no sender waits for ever.
void Reset() {
  Machine& machine = TheMachine();
  MachineLock lock(machine.mutex);
  ForgetVolumes(machine);
  machine.faults.clear();
  machine.calls.clear();
  machine.recording = true;
  for (const WindowPtr& window : machine.windows) {
    window->destroying = true;
    window->props.clear();
  }
  machine.windows.clear();
  machine.forced_hwnd.reset();
  machine.classes.clear();
  machine.atoms.clear();
  machine.registrations.clear();
  for (auto& entry : machine.queues) EmptyQueue(*entry.second);
}

void LoadDefaultMachine() {
  Machine& machine = TheMachine();
  MachineLock lock(machine.mutex);
  ForgetVolumes(machine);
  for (const VolumeSpec& definition : DefaultVolumes()) {
    machine.volumes.Add(NewVolume(definition));
  }
}

std::vector<WindowInfo> Windows() {
  Machine& machine = TheMachine();
  MachineLock lock(machine.mutex);
  std::vector<WindowInfo> windows;
  for (const WindowPtr& window : machine.windows) {
    WindowInfo info;
    info.hwnd = window->hwnd;
    info.class_name = window->window_class->name;
    info.thread = window->owner->thread;
    for (const auto& property : window->props) {
      info.props.emplace_back(property.first, HandleValue(property.second));
    }
    for (const Registration& registration : machine.registrations) {
      if (registration.window_recipient && registration.recipient == window->hwnd) {
        info.notifications.push_back(registration.handle);
      }
    }
    windows.push_back(std::move(info));
  }
  return windows;
}

OpenObjects CountOpenObjects() {
  Machine& machine = TheMachine();
  MachineLock lock(machine.mutex);
  OpenObjects open;
  open.volume_searches = static_cast<int64_t>(machine.volume_searches.size());
  open.file_handles = static_cast<int64_t>(machine.file_handles.size());
  open.windows = static_cast<int64_t>(machine.windows.size());
  open.notifications = static_cast<int64_t>(machine.registrations.size());
  for (const WindowPtr& window : machine.windows) {
    open.props += static_cast<int64_t>(window->props.size());
  }
  return open;
}

}  // namespace simwin
