// The window manager: classes, window creation and destruction, the default
// procedure, properties and device-notification registrations.
#include <cstring>

#include "support.h"

namespace simwin_test {
namespace {

using WindowsTest = MachineTest;

HINSTANCE Instance(uintptr_t value) { return reinterpret_cast<HINSTANCE>(value); }

TEST_F(WindowsTest, ClassRegistration) {
  WNDCLASSEXW description = TestClassDescription(u"Monitor", Instance(0x10000));
  description.cbSize = 48;
  EXPECT_EQ(RegisterClassExW(&description), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  description.cbSize = sizeof(description);
  const ATOM atom = RegisterClassExW(&description);
  EXPECT_NE(atom, 0);
  // Class names do not depend on case; another module may use the name.
  WNDCLASSEXW same = TestClassDescription(u"MONITOR", Instance(0x10000));
  EXPECT_EQ(RegisterClassExW(&same), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_ALREADY_EXISTS));
  WNDCLASSEXW other_module = TestClassDescription(u"monitor", Instance(0x20000));
  EXPECT_EQ(RegisterClassExW(&other_module), atom);
  EXPECT_EQ(simwin::Classes(), (std::vector<WString>{u"Monitor", u"monitor"}));
}

TEST_F(WindowsTest, ClassesAreFoundByModuleThenGlobally) {
  WNDCLASSEXW local = TestClassDescription(u"Local", Instance(0x10000));
  ASSERT_NE(RegisterClassExW(&local), 0);
  WNDCLASSEXW global = TestClassDescription(u"Global", Instance(0x20000));
  global.style = CS_GLOBALCLASS;
  ASSERT_NE(RegisterClassExW(&global), 0);
  auto create = [](const char16_t* name, uintptr_t instance) {
    return CreateWindowExW(0, name, nullptr, 0, 0, 0, 0, 0, nullptr, nullptr,
                           Instance(instance), nullptr);
  };
  EXPECT_NE(create(u"local", 0x10000), nullptr);
  EXPECT_EQ(create(u"Local", 0x30000), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANNOT_FIND_WND_CLASS));
  EXPECT_NE(create(u"Global", 0x30000), nullptr);
  EXPECT_EQ(create(u"Missing", 0x10000), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANNOT_FIND_WND_CLASS));
}

TEST_F(WindowsTest, UnregisterClassWaitsForItsWindows) {
  RegisterTestClass();
  HWND hwnd = CreateTestWindow();
  EXPECT_FALSE(UnregisterClassW(kTestClass, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_HAS_WINDOWS));
  ASSERT_TRUE(DestroyWindow(hwnd));
  EXPECT_TRUE(UnregisterClassW(kTestClass, nullptr));
  EXPECT_FALSE(UnregisterClassW(kTestClass, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_DOES_NOT_EXIST));
  EXPECT_TRUE(simwin::Classes().empty());
}

TEST_F(WindowsTest, CreationSendsWindowsMessagesWithTheCreateStruct) {
  RegisterTestClass();
  int param = 0;
  std::vector<std::pair<UINT, CREATESTRUCTW>> seen;
  SetHandler([&](HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
    if (msg == WM_NCCREATE || msg == WM_CREATE) {
      seen.emplace_back(msg, *reinterpret_cast<const CREATESTRUCTW*>(lparam));
    }
    return DefWindowProcW(hwnd, msg, wparam, lparam);
  });
  HWND hwnd = CreateWindowExW(0x8, kTestClass, u"title", 0, 1, 2, 3, 4, nullptr, nullptr,
                              nullptr, &param);
  ASSERT_NE(hwnd, nullptr);
  EXPECT_EQ(MessagesSeen(hwnd),
            (std::vector<UINT>{WM_GETMINMAXINFO, WM_NCCREATE, WM_NCCALCSIZE, WM_CREATE}));
  ASSERT_EQ(seen.size(), 2u);
  for (const auto& [msg, create] : seen) {
    EXPECT_EQ(create.lpCreateParams, &param) << msg;
    EXPECT_EQ(WString(create.lpszClass), kTestClass);
    EXPECT_EQ(WString(create.lpszName), u"title");
    EXPECT_EQ(create.dwExStyle, 0x8u);
    EXPECT_EQ(create.x, 1);
    EXPECT_EQ(create.cy, 4);
  }
  const std::vector<simwin::WindowInfo> windows = simwin::Windows();
  ASSERT_EQ(windows.size(), 1u);
  EXPECT_EQ(windows[0].hwnd, Value(hwnd));
  EXPECT_EQ(windows[0].class_name, kTestClass);
  EXPECT_EQ(windows[0].thread, simwin::CurrentThread());
  EXPECT_EQ(simwin::CurrentThread(), GetCurrentThreadId());
}

TEST_F(WindowsTest, CreationFailsWhenTheProcedureRefuses) {
  RegisterTestClass();
  SetHandler([](HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) -> LRESULT {
    if (msg == WM_NCCREATE) return FALSE;
    return DefWindowProcW(hwnd, msg, wparam, lparam);
  });
  simwin::NextWindowHandle(0x1234);
  EXPECT_EQ(CreateTestWindow(), nullptr);
  EXPECT_EQ(MessagesSeen(AsWindow(0x1234)),
            (std::vector<UINT>{WM_GETMINMAXINFO, WM_NCCREATE, WM_NCDESTROY}));

  SetHandler([](HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) -> LRESULT {
    if (msg == WM_CREATE) return -1;
    return DefWindowProcW(hwnd, msg, wparam, lparam);
  });
  simwin::NextWindowHandle(0x5678);
  EXPECT_EQ(CreateTestWindow(), nullptr);
  EXPECT_EQ(MessagesSeen(AsWindow(0x5678)),
            (std::vector<UINT>{WM_GETMINMAXINFO, WM_NCCREATE, WM_NCCALCSIZE, WM_CREATE,
                               WM_DESTROY, WM_NCDESTROY}));
  EXPECT_FALSE(IsWindow(AsWindow(0x5678)));
  EXPECT_EQ(simwin::CountOpenObjects().windows, 0);
}

TEST_F(WindowsTest, CreationArgumentErrors) {
  RegisterTestClass();
  EXPECT_EQ(CreateTestWindow(AsWindow(0x999)), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
  EXPECT_EQ(CreateTestWindow(nullptr, WS_CHILD), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TLW_WITH_WSCHILD));
  EXPECT_TRUE(CallsOf("WndProc").empty());
}

TEST_F(WindowsTest, NextWindowHandleIsTakenExactly) {
  RegisterTestClass();
  for (uint64_t value : {uint64_t{0x80000002}, uint64_t{0x1FFFF0004}, uint64_t{0x10}}) {
    simwin::NextWindowHandle(value);
    HWND hwnd = CreateTestWindow();
    EXPECT_EQ(Value(hwnd), value);
    EXPECT_TRUE(IsWindow(hwnd));
  }
  // Later windows are numbered as usual again.
  HWND usual = CreateTestWindow();
  ASSERT_NE(usual, nullptr);
  EXPECT_EQ(simwin::CountOpenObjects().windows, 4);
}

TEST_F(WindowsTest, DestroyWindowSendsDestroyMessagesAndTakesChildren) {
  RegisterTestClass();
  HWND parent = CreateTestWindow();
  HWND child = CreateTestWindow(parent, WS_CHILD);
  HWND message_only = CreateTestWindow(HWND_MESSAGE);
  ASSERT_TRUE(parent && child && message_only);
  simwin::ClearCalls();
  ASSERT_TRUE(DestroyWindow(parent));
  std::vector<std::pair<int64_t, int64_t>> order;
  for (const simwin::Call& call : CallsOf("WndProc")) {
    order.emplace_back(std::get<int64_t>(call.args[0]), std::get<int64_t>(call.args[1]));
  }
  const int64_t p = static_cast<int64_t>(Value(parent));
  const int64_t c = static_cast<int64_t>(Value(child));
  EXPECT_EQ(order, (std::vector<std::pair<int64_t, int64_t>>{
                       {p, WM_DESTROY}, {c, WM_DESTROY}, {c, WM_NCDESTROY}, {p, WM_NCDESTROY}}));
  EXPECT_FALSE(IsWindow(parent));
  EXPECT_FALSE(IsWindow(child));
  EXPECT_TRUE(IsWindow(message_only));
  EXPECT_FALSE(DestroyWindow(parent));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
}

TEST_F(WindowsTest, DestroyWindowInsideItsOwnDestructionIsHarmless) {
  RegisterTestClass();
  SetHandler([](HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) -> LRESULT {
    if (msg == WM_DESTROY) {
      EXPECT_TRUE(DestroyWindow(hwnd));
    }
    return DefWindowProcW(hwnd, msg, wparam, lparam);
  });
  HWND hwnd = CreateTestWindow();
  simwin::ClearCalls();
  ASSERT_TRUE(DestroyWindow(hwnd));
  EXPECT_EQ(MessagesSeen(hwnd), (std::vector<UINT>{WM_DESTROY, WM_NCDESTROY}));
}

TEST_F(WindowsTest, DestroyWindowFromAnotherThreadIsDenied) {
  RegisterTestClass();
  HWND hwnd = CreateTestWindow();
  auto other = std::async(std::launch::async, [hwnd] {
    const BOOL destroyed = DestroyWindow(hwnd);
    return std::make_pair(destroyed, GetLastError());
  });
  ASSERT_TRUE(Ready(other));
  const auto [destroyed, error] = other.get();
  EXPECT_FALSE(destroyed);
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(IsWindow(hwnd));
}

TEST_F(WindowsTest, DefaultProcedureResults) {
  RegisterTestClass();
  HWND hwnd = CreateTestWindow();
  EXPECT_EQ(DefWindowProcW(hwnd, WM_NCCREATE, 0, 0), TRUE);
  EXPECT_EQ(DefWindowProcW(hwnd, WM_CREATE, 0, 0), 0);
  EXPECT_EQ(DefWindowProcW(hwnd, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, 0), 0);
  EXPECT_EQ(DefWindowProcW(hwnd, WM_USER, 0, 0), 0);
  EXPECT_EQ(DefWindowProcW(hwnd, WM_CLOSE, 0, 0), 0);
  EXPECT_FALSE(IsWindow(hwnd));  // WM_CLOSE destroys the window
}

TEST_F(WindowsTest, PropertiesByNameWithoutCase) {
  RegisterTestClass();
  HWND hwnd = CreateTestWindow();
  HANDLE a = reinterpret_cast<HANDLE>(0xA);
  HANDLE b = reinterpret_cast<HANDLE>(0xB);
  ASSERT_TRUE(SetPropW(hwnd, u"ARRIVE_CALLBACK", a));
  ASSERT_TRUE(SetPropW(hwnd, u"REMOVE_CALLBACK", b));
  EXPECT_EQ(GetPropW(hwnd, u"arrive_callback"), a);
  ASSERT_TRUE(SetPropW(hwnd, u"Arrive_Callback", b));  // replaces, keeps its place
  const simwin::WindowInfo info = simwin::Windows().at(0);
  EXPECT_EQ(info.props, (std::vector<std::pair<WString, uint64_t>>{{u"ARRIVE_CALLBACK", 0xB},
                                                                   {u"REMOVE_CALLBACK", 0xB}}));
  EXPECT_EQ(simwin::CountOpenObjects().props, 2);

  SetLastError(0);
  EXPECT_EQ(GetPropW(hwnd, u"STOP_CALLBACK"), nullptr);
  EXPECT_EQ(RemovePropW(hwnd, u"STOP_CALLBACK"), nullptr);
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_EQ(RemovePropW(hwnd, u"remove_callback"), b);
  EXPECT_EQ(GetPropW(hwnd, u"REMOVE_CALLBACK"), nullptr);
  EXPECT_EQ(simwin::CountOpenObjects().props, 1);

  ASSERT_TRUE(DestroyWindow(hwnd));
  EXPECT_EQ(simwin::CountOpenObjects().props, 0);
  for (auto* call : {+[](HWND w) { return SetPropW(w, u"X", nullptr) != FALSE; },
                     +[](HWND w) { return GetPropW(w, u"X") != nullptr; },
                     +[](HWND w) { return RemovePropW(w, u"X") != nullptr; }}) {
    SetLastError(0);
    EXPECT_FALSE(call(hwnd));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
  }
}

TEST_F(WindowsTest, DeviceNotificationRegistrations) {
  RegisterTestClass();
  HWND hwnd = CreateTestWindow();
  DEV_BROADCAST_DEVICEINTERFACE_W filter = VolumeInterfaceFilter();
  HDEVNOTIFY first = RegisterDeviceNotificationW(hwnd, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  HDEVNOTIFY second = RegisterDeviceNotificationW(hwnd, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(first, second);
  EXPECT_EQ(simwin::Windows().at(0).notifications,
            (std::vector<uint64_t>{Value(first), Value(second)}));
  EXPECT_EQ(simwin::CountOpenObjects().notifications, 2);
  EXPECT_TRUE(UnregisterDeviceNotification(first));
  EXPECT_FALSE(UnregisterDeviceNotification(first));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  // A registration outlives its window until it is unregistered.
  ASSERT_TRUE(DestroyWindow(hwnd));
  EXPECT_EQ(simwin::CountOpenObjects().notifications, 1);
  EXPECT_TRUE(UnregisterDeviceNotification(second));
  EXPECT_EQ(simwin::CountOpenObjects().notifications, 0);
}

TEST_F(WindowsTest, DeviceNotificationFilterIsValidated) {
  RegisterTestClass();
  HWND hwnd = CreateTestWindow();
  DEV_BROADCAST_DEVICEINTERFACE_W filter = VolumeInterfaceFilter();
  filter.dbcc_size = sizeof(filter) - 4;
  EXPECT_EQ(RegisterDeviceNotificationW(hwnd, &filter, 0), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
  filter = VolumeInterfaceFilter();
  filter.dbcc_devicetype = DBT_DEVTYP_VOLUME;
  EXPECT_EQ(RegisterDeviceNotificationW(hwnd, &filter, 0), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
  filter = VolumeInterfaceFilter();
  EXPECT_EQ(RegisterDeviceNotificationW(AsWindow(0x999), &filter, 0), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));

  DEV_BROADCAST_HANDLE handle_filter;
  std::memset(&handle_filter, 0, sizeof(handle_filter));
  handle_filter.dbch_size = sizeof(handle_filter);
  handle_filter.dbch_devicetype = DBT_DEVTYP_HANDLE;
  handle_filter.dbch_handle = reinterpret_cast<HANDLE>(0x777);
  EXPECT_EQ(RegisterDeviceNotificationW(hwnd, &handle_filter, 0), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  const simwin::VolumeSpec volume =
      VolumeNamed(u"\\\\?\\Volume{11111111-2222-3333-4444-555555555555}\\");
  simwin::AddVolume(volume);
  handle_filter.dbch_handle = simwin::OpenHandle(volume.name);
  EXPECT_NE(RegisterDeviceNotificationW(hwnd, &handle_filter, 0), nullptr);
  EXPECT_EQ(simwin::CountOpenObjects().notifications, 1);
}

}  // namespace
}  // namespace simwin_test
