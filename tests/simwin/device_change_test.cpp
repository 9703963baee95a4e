// Device-change messages: the records SendDeviceChange builds, and the
// broadcasts of Plug and Unplug with their counts.
#include <cstring>

#include "support.h"

namespace simwin_test {
namespace {

const WString kStick = u"\\\\?\\Volume{6f1d2c38-5b7e-11ee-8c99-0242ac120002}\\";

// What a window procedure read from one WM_DEVICECHANGE.
struct Seen {
  HWND hwnd = nullptr;
  WPARAM event = 0;
  DWORD devicetype = 0;  // 0: no record
  DWORD size = 0;
  DWORD unitmask = 0;
  WORD flags = 0xFFFF;
  GUID class_guid{};
  WString name;
};

class DeviceChangeTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    RegisterTestClass();
    SetHandler([this](HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) -> LRESULT {
      if (msg != WM_DEVICECHANGE) return DefWindowProcW(hwnd, msg, wparam, lparam);
      Seen seen;
      seen.hwnd = hwnd;
      seen.event = wparam;
      if (const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lparam)) {
        seen.devicetype = header->dbch_devicetype;
        seen.size = header->dbch_size;
        if (seen.devicetype == DBT_DEVTYP_VOLUME) {
          const auto* volume = reinterpret_cast<const DEV_BROADCAST_VOLUME*>(header);
          seen.unitmask = volume->dbcv_unitmask;
          seen.flags = volume->dbcv_flags;
        } else if (seen.devicetype == DBT_DEVTYP_DEVICEINTERFACE) {
          const auto* device = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(header);
          seen.class_guid = device->dbcc_classguid;
          seen.name = device->dbcc_name;
        }
      }
      std::lock_guard<std::mutex> lock(mutex_);
      seen_.push_back(seen);
      return 1234;
    });
  }

  std::vector<Seen> TakeSeen() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::move(seen_);
  }

  static HDEVNOTIFY RegisterForVolumes(HWND hwnd) {
    DEV_BROADCAST_DEVICEINTERFACE_W filter = VolumeInterfaceFilter();
    return RegisterDeviceNotificationW(hwnd, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  }

  static simwin::VolumeSpec Stick(std::vector<simwin::PathList> lists) {
    simwin::VolumeSpec stick = VolumeNamed(kStick, std::move(lists));
    stick.filesystem = u"FAT32";
    stick.drive_type = DRIVE_REMOVABLE;
    return stick;
  }

 private:
  std::mutex mutex_;
  std::vector<Seen> seen_;
};

bool IsVolumeInterface(const GUID& guid) {
  return std::memcmp(&guid, &simwin::kVolumeInterfaceClass, sizeof(GUID)) == 0;
}

TEST_F(DeviceChangeTest, VolumeRecordLayout) {
  WindowThread owner;
  HWND hwnd = owner.Run([] { return CreateTestWindow(); });
  const simwin::SendOutcome outcome =
      simwin::SendDeviceChange(hwnd, DBT_DEVICEARRIVAL, DBT_DEVTYP_VOLUME, 0x28, false, 10.0);
  EXPECT_EQ(outcome.status, simwin::SendStatus::kDelivered);
  EXPECT_EQ(outcome.result, 1234);
  const std::vector<Seen> seen = TakeSeen();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].event, static_cast<WPARAM>(DBT_DEVICEARRIVAL));
  EXPECT_EQ(seen[0].size, 20u);
  EXPECT_EQ(seen[0].devicetype, static_cast<DWORD>(DBT_DEVTYP_VOLUME));
  EXPECT_EQ(seen[0].unitmask, 0x28u);
  EXPECT_EQ(seen[0].flags, 0);
}

TEST_F(DeviceChangeTest, InterfaceRecordAndNullRecord) {
  HWND hwnd = CreateTestWindow();
  simwin::SendDeviceChange(hwnd, DBT_DEVICEREMOVECOMPLETE, DBT_DEVTYP_DEVICEINTERFACE, 0, false,
                           10.0);
  simwin::SendDeviceChange(hwnd, DBT_DEVNODES_CHANGED, DBT_DEVTYP_VOLUME, 0, true, 10.0);
  const std::vector<Seen> seen = TakeSeen();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].devicetype, static_cast<DWORD>(DBT_DEVTYP_DEVICEINTERFACE));
  EXPECT_TRUE(IsVolumeInterface(seen[0].class_guid));
  EXPECT_FALSE(seen[0].name.empty());
  // The size covers the name and its NUL.
  EXPECT_EQ(seen[0].size, 28u + (seen[0].name.size() + 1) * 2);
  EXPECT_EQ(seen[1].devicetype, 0u);
  EXPECT_EQ(simwin::SendDeviceChange(AsWindow(0x999), DBT_DEVICEARRIVAL, 2, 0, false, 1.0).status,
            simwin::SendStatus::kInvalidWindow);
}

// The sender gives up; the record must stay valid until the owner thread,
// which only starts pumping later, is done with it (ASan and valgrind check
// the reads).
TEST_F(DeviceChangeTest, RecordOutlivesATimedOutSender) {
  std::promise<HWND> created;
  std::promise<void> pump;
  std::promise<void> pumped;
  std::thread owner([&] {
    created.set_value(CreateTestWindow());
    pump.get_future().wait_for(kWait);
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE);
    pumped.set_value();
  });
  auto hwnd = created.get_future();
  ASSERT_TRUE(Ready(hwnd));
  const HWND window = hwnd.get();
  // Queued but never started: withdrawn, so a later pump does not see it.
  EXPECT_EQ(simwin::SendDeviceChange(window, DBT_DEVICEARRIVAL, DBT_DEVTYP_VOLUME, 0x10, false,
                                     0.05)
                .status,
            simwin::SendStatus::kTimedOut);
  pump.set_value();
  auto done = pumped.get_future();
  EXPECT_TRUE(Ready(done));
  owner.join();
  EXPECT_TRUE(TakeSeen().empty());
}

TEST_F(DeviceChangeTest, RecordOutlivesASenderThatGaveUpMidway) {
  WindowThread owner;
  HWND hwnd = owner.Run([] { return CreateTestWindow(); });
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::promise<DWORD> read_after;
  SetHandler([&](HWND window, UINT msg, WPARAM wparam, LPARAM lparam) -> LRESULT {
    if (msg != WM_DEVICECHANGE) return DefWindowProcW(window, msg, wparam, lparam);
    released.wait_for(kWait);
    read_after.set_value(reinterpret_cast<const DEV_BROADCAST_VOLUME*>(lparam)->dbcv_unitmask);
    return 0;
  });
  EXPECT_EQ(simwin::SendDeviceChange(hwnd, DBT_DEVICEARRIVAL, DBT_DEVTYP_VOLUME, 0x10, false, 0.1)
                .status,
            simwin::SendStatus::kTimedOut);
  release.set_value();
  auto mask = read_after.get_future();
  ASSERT_TRUE(Ready(mask));
  EXPECT_EQ(mask.get(), 0x10u);
  EXPECT_EQ(owner.Run([] { return 1; }), 1);
}

TEST_F(DeviceChangeTest, PlugBroadcastsToTopLevelWindowsAndRegisteredOnes) {
  WindowThread monitor;
  HWND registered = monitor.Run([] {
    HWND hwnd = CreateTestWindow();
    RegisterForVolumes(hwnd);
    return hwnd;
  });
  HWND top_level = CreateTestWindow();  // the calling thread's own window
  HWND child = CreateTestWindow(top_level, WS_CHILD);
  HWND message_only = CreateTestWindow(HWND_MESSAGE);
  RegisterForVolumes(message_only);
  ASSERT_TRUE(registered && top_level && child && message_only);

  EXPECT_EQ(simwin::Plug(Stick({{u"E:\\", u"C:\\Stick\\"}, {u"E:\\"}}), 10.0), 2);
  std::vector<Seen> seen = TakeSeen();
  int interface_records = 0;
  int volume_records = 0;
  for (const Seen& record : seen) {
    EXPECT_EQ(record.event, static_cast<WPARAM>(DBT_DEVICEARRIVAL));
    if (record.devicetype == DBT_DEVTYP_DEVICEINTERFACE) {
      ++interface_records;
      EXPECT_TRUE(record.hwnd == registered || record.hwnd == message_only);
      EXPECT_TRUE(IsVolumeInterface(record.class_guid));
    } else {
      ++volume_records;
      ASSERT_EQ(record.devicetype, static_cast<DWORD>(DBT_DEVTYP_VOLUME));
      EXPECT_TRUE(record.hwnd == registered || record.hwnd == top_level);
      EXPECT_EQ(record.unitmask, 0x10u);  // E: only; the folder is no drive
      EXPECT_EQ(record.size, 20u);
    }
  }
  EXPECT_EQ(interface_records, 2);
  EXPECT_EQ(volume_records, 2);
  // The volume is there to be found by the time the windows hear of it.
  EXPECT_EQ(GetDriveTypeW(u"E:\\"), static_cast<UINT>(DRIVE_REMOVABLE));

  EXPECT_EQ(simwin::Unplug(kStick, 10.0), 2);
  seen = TakeSeen();
  ASSERT_EQ(seen.size(), 4u);
  for (const Seen& record : seen) {
    EXPECT_EQ(record.event, static_cast<WPARAM>(DBT_DEVICEREMOVECOMPLETE));
    if (record.devicetype == DBT_DEVTYP_VOLUME) {
      EXPECT_EQ(record.unitmask, 0x10u);
    }
  }
  EXPECT_EQ(GetDriveTypeW(u"E:\\"), static_cast<UINT>(DRIVE_NO_ROOT_DIR));
  EXPECT_EQ(simwin::Unplug(kStick, 1.0), -1);
}

TEST_F(DeviceChangeTest, PlugDoesNotCountAWindowThatDoesNotAnswer) {
  std::promise<HWND> created;
  std::promise<void> finish;
  std::thread silent([&] {
    created.set_value(CreateTestWindow());
    finish.get_future().wait_for(kWait);
  });
  auto hwnd = created.get_future();
  ASSERT_TRUE(Ready(hwnd));
  WindowThread answering;
  answering.Run([] { return CreateTestWindow(); });
  EXPECT_EQ(simwin::Plug(Stick({{u"F:\\"}}), 0.2), 1);
  finish.set_value();
  silent.join();
  const std::vector<Seen> seen = TakeSeen();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].unitmask, 0x20u);
}

TEST_F(DeviceChangeTest, RegistrationOfADestroyedWindowGetsNothing) {
  HWND hwnd = CreateTestWindow(HWND_MESSAGE);
  HDEVNOTIFY registration = RegisterForVolumes(hwnd);
  ASSERT_NE(registration, nullptr);
  ASSERT_TRUE(DestroyWindow(hwnd));
  EXPECT_EQ(simwin::Plug(Stick({}), 1.0), 0);
  EXPECT_TRUE(TakeSeen().empty());
  EXPECT_TRUE(UnregisterDeviceNotification(registration));
}

}  // namespace
}  // namespace simwin_test
