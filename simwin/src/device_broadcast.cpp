// Device-change messages as Windows delivers them: SendDeviceChange for one
// window, Plug and Unplug for a volume coming and going.
//
// Plug and Unplug announce the volume's interface first, to every window
// registered for the volume interface class, then broadcast the volume
// record to every top-level window. All messages are queued at once, so
// windows of different threads answer in parallel within one timeout; the
// calling thread's own windows are called directly.
#include <cstddef>
#include <cstring>

#include "volume_store.h"
#include "window_manager.h"

using namespace simwin;

namespace {

bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

std::shared_ptr<const void> VolumeRecord(DWORD unitmask) {
  auto record = std::make_shared<DEV_BROADCAST_VOLUME>();
  record->dbcv_size = sizeof(DEV_BROADCAST_VOLUME);
  record->dbcv_devicetype = DBT_DEVTYP_VOLUME;
  record->dbcv_reserved = 0;
  record->dbcv_unitmask = unitmask;
  record->dbcv_flags = 0;
  return record;
}

// The variable-length record lives in a buffer of 8-byte units, so that it
// is aligned like any record Windows hands out.
std::shared_ptr<const void> InterfaceRecord(const WString& symbolic_link) {
  const size_t size = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) +
                      (symbolic_link.size() + 1) * sizeof(WCHAR);
  auto buffer = std::make_shared<std::vector<uint64_t>>((size + 7) / 8 + 1, 0);
  auto* record = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(buffer->data());
  record->dbcc_size = static_cast<DWORD>(size);
  record->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  record->dbcc_reserved = 0;
  record->dbcc_classguid = kVolumeInterfaceClass;
  std::memcpy(record->dbcc_name, symbolic_link.data(), symbolic_link.size() * sizeof(WCHAR));
  return std::shared_ptr<const void>(buffer, record);
}

// A header alone, for device types the machine has no devices of.
std::shared_ptr<const void> HeaderRecord(DWORD devicetype) {
  auto record = std::make_shared<DEV_BROADCAST_HDR>();
  record->dbch_size = sizeof(DEV_BROADCAST_HDR);
  record->dbch_devicetype = devicetype;
  record->dbch_reserved = 0;
  return record;
}

// The volume's interface as the storage stack names it.
WString SymbolicLinkOf(const WString& volume_name) {
  static const WString kInterfaceSuffix = u"#{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}";
  WString guid = volume_name;
  const size_t open = guid.find(u'{');
  const size_t close = guid.rfind(u'}');
  if (open != WString::npos && close != WString::npos && close > open) {
    guid = guid.substr(open, close - open + 1);
  }
  return u"\\\\?\\STORAGE#Volume#" + guid + u"#0000000000100000" + kInterfaceSuffix;
}

struct Delivery {
  WindowPtr window;
  std::shared_ptr<const void> record;
  bool counted;  // a volume record: Plug and Unplug count these
};

int Announce(MachineLock& lock, WPARAM event, const WString& volume_name, DWORD unitmask,
             Deadline deadline) {
  Machine& machine = TheMachine();
  const std::shared_ptr<const void> interface_record = InterfaceRecord(SymbolicLinkOf(volume_name));
  const std::shared_ptr<const void> volume_record = VolumeRecord(unitmask);
  std::vector<Delivery> deliveries;
  for (const Registration& registration : machine.registrations) {
    if (!registration.window_recipient ||
        registration.devicetype != DBT_DEVTYP_DEVICEINTERFACE ||
        !(registration.all_classes || SameGuid(registration.class_guid, kVolumeInterfaceClass))) {
      continue;
    }
    if (WindowPtr window = LookUpWindow(machine, registration.recipient)) {
      deliveries.push_back(Delivery{window, interface_record, false});
    }
  }
  for (const WindowPtr& window : machine.windows) {
    if (IsTopLevel(*window)) deliveries.push_back(Delivery{window, volume_record, true});
  }

  ThreadQueuePtr self = CurrentQueue(machine);
  std::vector<SentMessagePtr> queued;
  std::vector<bool> queued_counted;
  std::vector<const Delivery*> direct;
  for (const Delivery& delivery : deliveries) {
    if (OwnedByCurrentThread(*delivery.window)) {
      direct.push_back(&delivery);
      continue;
    }
    const auto lparam = reinterpret_cast<LPARAM>(delivery.record.get());
    queued.push_back(QueueSentMessage(delivery.window, WM_DEVICECHANGE, event, lparam,
                                      delivery.record, self));
    queued_counted.push_back(delivery.counted);
  }
  int processed = 0;
  for (const Delivery* delivery : direct) {
    if (!LookUpWindow(machine, delivery->window->hwnd)) continue;
    const auto lparam = reinterpret_cast<LPARAM>(delivery->record.get());
    CallWindowProcedure(lock, delivery->window, WM_DEVICECHANGE, event, lparam);
    if (delivery->counted) ++processed;
  }
  AwaitSentMessages(lock, *self, queued, deadline);
  for (size_t i = 0; i < queued.size(); ++i) {
    if (queued_counted[i] && queued[i]->state == SentMessage::State::kDone) ++processed;
  }
  return processed;
}

}  // namespace

namespace simwin {

SendOutcome SendDeviceChange(HWND hwnd, WPARAM event, DWORD devicetype, DWORD unitmask,
                             bool null_lparam, double timeout_seconds) {
  const Deadline deadline = DeadlineAfter(timeout_seconds);
  Machine& machine = TheMachine();
  MachineLock lock(machine.mutex);
  WindowPtr window = LookUpWindow(machine, hwnd);
  if (!window) return SendOutcome{SendStatus::kInvalidWindow, 0};
  std::shared_ptr<const void> record;
  if (!null_lparam) {
    switch (devicetype) {
      case DBT_DEVTYP_VOLUME:
        record = VolumeRecord(unitmask);
        break;
      case DBT_DEVTYP_DEVICEINTERFACE:
        record = InterfaceRecord(SymbolicLinkOf(u"{00000000-0000-0000-0000-000000000000}"));
        break;
      default:
        record = HeaderRecord(devicetype);
        break;
    }
  }
  const auto lparam = reinterpret_cast<LPARAM>(record.get());
  return SendToWindow(lock, window, WM_DEVICECHANGE, event, lparam, std::move(record), deadline);
}

int Plug(const VolumeSpec& volume, double timeout_seconds) {
  const Deadline deadline = DeadlineAfter(timeout_seconds);
  Machine& machine = TheMachine();
  MachineLock lock(machine.mutex);
  VolumePtr entry = NewVolume(volume);
  machine.volumes.Add(entry);
  return Announce(lock, DBT_DEVICEARRIVAL, volume.name, DriveLetterMask(*entry), deadline);
}

int Unplug(const WString& name, double timeout_seconds) {
  const Deadline deadline = DeadlineAfter(timeout_seconds);
  Machine& machine = TheMachine();
  MachineLock lock(machine.mutex);
  VolumePtr volume = FindVolumeByName(machine, name);
  if (!volume) return -1;
  const DWORD unitmask = DriveLetterMask(*volume);
  EraseVolumesNamed(machine, name);
  return Announce(lock, DBT_DEVICEREMOVECOMPLETE, volume->definition.name, unitmask, deadline);
}

}  // namespace simwin
