// Fault injection and call recording.
#include "support.h"

namespace simwin_test {
namespace {

const WString kVolume = u"\\\\?\\Volume{11111111-2222-3333-4444-555555555555}\\";

class FaultsTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    simwin::AddVolume(VolumeNamed(kVolume, {{u"C:\\"}}));
  }

  // GetDriveTypeW is cheap and has no side effects: each call says whether
  // it was failed (DRIVE_UNKNOWN) and with what error.
  std::vector<DWORD> DriveTypeErrors(int calls) {
    std::vector<DWORD> errors;
    for (int i = 0; i < calls; ++i) {
      SetLastError(0);
      errors.push_back(GetDriveTypeW(u"C:\\") == DRIVE_UNKNOWN ? GetLastError() : 0);
    }
    return errors;
  }
};

TEST_F(FaultsTest, NthAndCountSelectTheFailingCalls) {
  simwin::Fail("GetDriveTypeW", 5, 2, 2);
  EXPECT_EQ(DriveTypeErrors(5), (std::vector<DWORD>{0, 5, 5, 0, 0}));
  simwin::Fail("GetDriveTypeW", 6, 3, -1);
  EXPECT_EQ(DriveTypeErrors(5), (std::vector<DWORD>{0, 0, 6, 6, 6}));
  simwin::Reset();
  simwin::AddVolume(VolumeNamed(kVolume, {{u"C:\\"}}));
  EXPECT_EQ(DriveTypeErrors(2), (std::vector<DWORD>{0, 0}));
}

TEST_F(FaultsTest, SeveralRulesCountIndependently) {
  simwin::Fail("GetDriveTypeW", 21, 1, 1);
  simwin::Fail("GetDriveTypeW", 31, 1, 3);
  simwin::Fail("GetDriveTypeW", 87, 5, 1);
  simwin::Fail("IsWindow", 1400, 1, 1);
  EXPECT_EQ(DriveTypeErrors(6), (std::vector<DWORD>{21, 31, 31, 0, 87, 0}));
  // The rule for another function was not consumed by these calls.
  EXPECT_FALSE(IsWindow(nullptr));
  EXPECT_EQ(GetLastError(), 1400u);
}

TEST_F(FaultsTest, CountsStartAtTheFailCall) {
  DriveTypeErrors(3);
  simwin::Fail("GetDriveTypeW", 5, 1, 1);
  EXPECT_EQ(DriveTypeErrors(2), (std::vector<DWORD>{5, 0}));
}

TEST_F(FaultsTest, FaultableFunctionsAreTheDoublesWin32Functions) {
  for (const char* name :
       {"FindFirstVolumeW", "FindNextVolumeW", "FindVolumeClose",
        "GetVolumePathNamesForVolumeNameW", "GetVolumeInformationW",
        "GetVolumeInformationByHandleW", "GetDriveTypeW", "GetDiskFreeSpaceExW", "CloseHandle",
        "GetModuleHandleExW", "RegisterClassExW", "CreateWindowExW", "DestroyWindow",
        "DefWindowProcW", "SetPropW", "GetPropW", "RemovePropW", "RegisterDeviceNotificationW",
        "UnregisterDeviceNotification", "WaitMessage", "PeekMessageW", "GetMessageW",
        "TranslateMessage", "DispatchMessageW", "PostMessageW", "SendMessageW", "IsWindow"}) {
    EXPECT_TRUE(simwin::IsFaultableFunction(name)) << name;
  }
  for (const char* name : {"GetLastError", "SetLastError", "GetCurrentThreadId", "WndProc",
                           "getdrivetypew", ""}) {
    EXPECT_FALSE(simwin::IsFaultableFunction(name)) << name;
  }
}

TEST_F(FaultsTest, FailedCallsReturnTheFailureValueWithoutSideEffects) {
  simwin::Fail("FindFirstVolumeW", 31, 1, 1);
  WCHAR buffer[MAX_PATH + 1];
  EXPECT_EQ(FindFirstVolumeW(buffer, MAX_PATH + 1), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 31u);
  EXPECT_EQ(simwin::CountOpenObjects().volume_searches, 0);

  // The reported length is left alone, so the caller can be kept asking
  // for more room for ever.
  simwin::Fail("GetVolumePathNamesForVolumeNameW", ERROR_MORE_DATA, 1, -1);
  for (int i = 0; i < 3; ++i) {
    DWORD length = 500;
    EXPECT_FALSE(GetVolumePathNamesForVolumeNameW(kVolume.c_str(), buffer, MAX_PATH, &length));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(length, 500u);
  }

  RegisterTestClass();
  simwin::Fail("CreateWindowExW", 8, 1, 1);
  EXPECT_EQ(CreateTestWindow(), nullptr);
  EXPECT_EQ(GetLastError(), 8u);
  EXPECT_TRUE(CallsOf("WndProc").empty());
  EXPECT_EQ(simwin::CountOpenObjects().windows, 0);

  simwin::Fail("GetMessageW", 6, 1, 1);
  MSG msg;
  EXPECT_EQ(GetMessageW(&msg, nullptr, 0, 0), -1);
  simwin::Fail("PostMessageW", 6, 1, 1);
  EXPECT_FALSE(PostMessageW(nullptr, WM_USER, 0, 0));
  EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));  // nothing was posted
  simwin::Fail("PostQuitMessage", 5, 1, 1);
  PostQuitMessage(0);
  EXPECT_EQ(GetLastError(), 5u);
  EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));

  HMODULE module = reinterpret_cast<HMODULE>(&msg);
  simwin::Fail("GetModuleHandleExW", 126, 1, 1);
  EXPECT_FALSE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                                  reinterpret_cast<LPCWSTR>(&FindFirstVolumeW), &module));
  EXPECT_EQ(module, nullptr);
}

// The anomaly loop: fail the Nth call of an enumeration until it succeeds;
// every failure must leave nothing open.
TEST_F(FaultsTest, EnumerationReleasesItsSearchAtEveryFailure) {
  simwin::AddVolume(VolumeNamed(u"\\\\?\\Volume{aaaaaaaa-2222-3333-4444-555555555555}\\"));
  auto enumerate = []() -> DWORD {
    WCHAR buffer[MAX_PATH + 1];
    HANDLE search = FindFirstVolumeW(buffer, MAX_PATH + 1);
    if (search == INVALID_HANDLE_VALUE) return GetLastError();
    DWORD error = 0;
    while (FindNextVolumeW(search, buffer, MAX_PATH + 1)) {
    }
    if (GetLastError() != ERROR_NO_MORE_FILES) error = GetLastError();
    FindVolumeClose(search);
    return error;
  };
  int failures = 0;
  for (int nth = 1; nth < 10; ++nth) {
    simwin::Fail("FindNextVolumeW", ERROR_GEN_FAILURE, nth, 1);
    const DWORD error = enumerate();
    EXPECT_EQ(simwin::CountOpenObjects().volume_searches, 0);
    if (error == 0) break;
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_GEN_FAILURE));
    ++failures;
  }
  EXPECT_EQ(failures, 2);  // two names, then the end: three FindNextVolumeW calls
}

// --- Recording ------------------------------------------------------------------

TEST_F(FaultsTest, CallsAreRecordedInOrderWithTheirArguments) {
  simwin::ClearCalls();
  WCHAR buffer[MAX_PATH + 1];
  HANDLE search = FindFirstVolumeW(buffer, 100);
  FindNextVolumeW(search, buffer, 50);
  FindVolumeClose(search);
  DWORD length = 0;
  GetVolumePathNamesForVolumeNameW(kVolume.c_str(), buffer, 5, &length);
  simwin::Fail("GetDriveTypeW", 5, 1, 1);
  GetDriveTypeW(u"C:\\");
  SetLastError(0);
  GetLastError();

  const std::vector<simwin::Call> calls = simwin::Calls();
  ASSERT_EQ(calls.size(), 5u);
  EXPECT_EQ(calls[0].function, "FindFirstVolumeW");
  EXPECT_EQ(calls[0].args, std::vector<simwin::CallArg>{Int(100)});
  EXPECT_EQ(calls[1].function, "FindNextVolumeW");
  EXPECT_EQ(calls[1].args, (std::vector<simwin::CallArg>{Int(search), Int(50)}));
  EXPECT_EQ(calls[2].function, "FindVolumeClose");
  EXPECT_EQ(calls[2].args, std::vector<simwin::CallArg>{Int(search)});
  EXPECT_EQ(calls[3].function, "GetVolumePathNamesForVolumeNameW");
  EXPECT_EQ(calls[3].args, (std::vector<simwin::CallArg>{simwin::CallArg(kVolume), Int(5)}));
  // A call failed by injection is recorded like any other.
  EXPECT_EQ(calls[4].function, "GetDriveTypeW");
  EXPECT_EQ(calls[4].args, std::vector<simwin::CallArg>{Text(u"C:\\")});
}

TEST_F(FaultsTest, RecordingCanBeStoppedAndResetTurnsItOn) {
  simwin::RecordCalls(false);
  GetDriveTypeW(u"C:\\");
  EXPECT_TRUE(simwin::Calls().empty());
  simwin::RecordCalls(true);
  GetDriveTypeW(nullptr);
  ASSERT_EQ(simwin::Calls().size(), 1u);
  EXPECT_EQ(simwin::Calls()[0].args, std::vector<simwin::CallArg>{Int(int64_t{0})});
  simwin::ClearCalls();
  EXPECT_TRUE(simwin::Calls().empty());
  simwin::RecordCalls(false);
  simwin::Reset();
  GetDriveTypeW(u"C:\\");
  EXPECT_EQ(simwin::Calls().size(), 1u);
}

TEST_F(FaultsTest, WindowProcedureEntriesAreRecorded) {
  RegisterTestClass();
  HWND hwnd = CreateTestWindow();
  ASSERT_NE(hwnd, nullptr);
  simwin::ClearCalls();
  SetHandler([](HWND, UINT, WPARAM, LPARAM) -> LRESULT { return 42; });
  EXPECT_EQ(SendMessageW(hwnd, WM_USER + 1, 7, 8), 42);
  const std::vector<simwin::Call> calls = simwin::Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].function, "SendMessageW");
  EXPECT_EQ(calls[0].args,
            (std::vector<simwin::CallArg>{Int(hwnd), Int(WM_USER + 1), Int(7), Int(8)}));
  EXPECT_EQ(calls[1].function, "WndProc");
  EXPECT_EQ(calls[1].args, (std::vector<simwin::CallArg>{Int(hwnd), Int(WM_USER + 1), Int(7)}));
}

}  // namespace
}  // namespace simwin_test
