// Volume queries of the double: enumeration, mount points, volume
// information, drive types, free space, file handles and their errors.
#include <algorithm>

#include "support.h"

namespace simwin_test {
namespace {

const WString kSystem = u"\\\\?\\Volume{11111111-2222-3333-4444-555555555555}\\";
const WString kStick = u"\\\\?\\Volume{aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee}\\";
const WString kNoMount = u"\\\\?\\Volume{01234567-89ab-cdef-0123-456789abcdef}\\";

WString UpperCase(WString text) {
  for (char16_t& c : text) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 0x20);
  }
  return text;
}

class VolumesTest : public MachineTest {
 protected:
  void AddSystemAndStick() {
    simwin::VolumeSpec system = VolumeNamed(kSystem, {{u"C:\\"}});
    system.label = u"Windows";
    system.serial = 0xFEDCBA98;
    system.total_bytes = 1000;
    system.free_bytes = 400;
    system.flags = 0x03E706FF;
    simwin::AddVolume(system);
    simwin::VolumeSpec stick = VolumeNamed(kStick, {{u"E:\\", u"C:\\Mounted\\Stick\\"}});
    stick.label = u"STICK";
    stick.filesystem = u"FAT32";
    stick.drive_type = DRIVE_REMOVABLE;
    stick.serial = 0x1234;
    simwin::AddVolume(stick);
  }
};

std::vector<WString> Enumerate() {
  std::vector<WString> names;
  WCHAR buffer[MAX_PATH + 1];
  HANDLE search = FindFirstVolumeW(buffer, MAX_PATH + 1);
  if (search == INVALID_HANDLE_VALUE) return names;
  do names.push_back(buffer);
  while (FindNextVolumeW(search, buffer, MAX_PATH + 1));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
  EXPECT_TRUE(FindVolumeClose(search));
  return names;
}

TEST_F(VolumesTest, EnumerationFollowsAddOrderAndRepeatsADuplicate) {
  AddSystemAndStick();
  simwin::AddVolume(VolumeNamed(kStick, {}));
  simwin::AddVolume(VolumeNamed(kNoMount, {}));
  EXPECT_EQ(Enumerate(), (std::vector<WString>{kSystem, kStick, kStick, kNoMount}));
  EXPECT_EQ(simwin::CountOpenObjects().volume_searches, 0);
}

TEST_F(VolumesTest, EnumerationOfAnEmptyMachineFails) {
  WCHAR buffer[MAX_PATH + 1];
  SetLastError(0);
  EXPECT_EQ(FindFirstVolumeW(buffer, MAX_PATH + 1), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
  EXPECT_EQ(simwin::CountOpenObjects().volume_searches, 0);
}

TEST_F(VolumesTest, SearchSeesTheVolumesOfItsStart) {
  simwin::AddVolume(VolumeNamed(kSystem, {}));
  WCHAR buffer[MAX_PATH + 1];
  HANDLE search = FindFirstVolumeW(buffer, MAX_PATH + 1);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  simwin::AddVolume(VolumeNamed(kStick, {}));
  EXPECT_FALSE(FindNextVolumeW(search, buffer, MAX_PATH + 1));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
  // The end is sticky.
  EXPECT_FALSE(FindNextVolumeW(search, buffer, MAX_PATH + 1));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
  EXPECT_TRUE(FindVolumeClose(search));
}

TEST_F(VolumesTest, SearchBufferMustHoldTheNameAndItsNul) {
  AddSystemAndStick();
  const DWORD exact = static_cast<DWORD>(kSystem.size() + 1);
  std::vector<WCHAR> buffer(exact, u'#');
  EXPECT_EQ(FindFirstVolumeW(buffer.data(), exact - 1), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
  EXPECT_EQ(simwin::CountOpenObjects().volume_searches, 0);

  HANDLE search = FindFirstVolumeW(buffer.data(), exact);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  EXPECT_EQ(WString(buffer.data()), kSystem);
  EXPECT_FALSE(FindNextVolumeW(search, buffer.data(), exact - 1));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
  // A failed attempt does not skip the name.
  EXPECT_TRUE(FindNextVolumeW(search, buffer.data(), exact));
  EXPECT_EQ(WString(buffer.data()), kStick);
  EXPECT_TRUE(FindVolumeClose(search));
}

TEST_F(VolumesTest, SearchHandlesAreCheckedAndCounted) {
  AddSystemAndStick();
  WCHAR buffer[MAX_PATH + 1];
  HANDLE first = FindFirstVolumeW(buffer, MAX_PATH + 1);
  HANDLE second = FindFirstVolumeW(buffer, MAX_PATH + 1);
  ASSERT_NE(first, INVALID_HANDLE_VALUE);
  ASSERT_NE(second, first);
  EXPECT_EQ(simwin::CountOpenObjects().volume_searches, 2);
  EXPECT_TRUE(FindVolumeClose(first));
  EXPECT_FALSE(FindVolumeClose(first));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(FindNextVolumeW(first, buffer, MAX_PATH + 1));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(FindNextVolumeW(INVALID_HANDLE_VALUE, buffer, MAX_PATH + 1));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(simwin::CountOpenObjects().volume_searches, 1);
  EXPECT_TRUE(FindVolumeClose(second));
}

// --- GetVolumePathNamesForVolumeNameW ------------------------------------------

struct PathNames {
  BOOL ok;
  DWORD error;
  DWORD length;
  std::vector<WCHAR> buffer;
};

PathNames QueryPaths(const WString& name, DWORD capacity) {
  PathNames result{FALSE, 0, 0xDEAD, std::vector<WCHAR>(capacity + 1, u'#')};
  SetLastError(0);
  result.ok = GetVolumePathNamesForVolumeNameW(name.c_str(), result.buffer.data(), capacity,
                                               &result.length);
  result.error = GetLastError();
  return result;
}

TEST_F(VolumesTest, PathNamesRejectMalformedAndUnknownNames) {
  AddSystemAndStick();
  for (const WString& malformed :
       {WString(u"C:\\"), kSystem.substr(0, kSystem.size() - 1), WString(u"None"),
        WString(u"\\\\?\\Volume{1111111-2222-3333-4444-5555555555555}\\"),
        WString(u"\\\\?\\Volume{1111111g-2222-3333-4444-555555555555}\\")}) {
    PathNames result = QueryPaths(malformed, 100);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error, static_cast<DWORD>(ERROR_INVALID_NAME));
  }
  PathNames unknown = QueryPaths(u"\\\\?\\Volume{99999999-2222-3333-4444-555555555555}\\", 100);
  EXPECT_FALSE(unknown.ok);
  EXPECT_EQ(unknown.error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(VolumesTest, PathNamesAreAMultiStringWithItsLength) {
  AddSystemAndStick();
  const WString expected = WString(u"E:\\") + u'\0' + u"C:\\Mounted\\Stick\\" + u'\0' + u'\0';
  const DWORD needed = static_cast<DWORD>(expected.size());

  PathNames small = QueryPaths(kStick, needed - 1);
  EXPECT_FALSE(small.ok);
  EXPECT_EQ(small.error, static_cast<DWORD>(ERROR_MORE_DATA));
  EXPECT_EQ(small.length, needed);

  // The name's case does not matter.
  PathNames exact = QueryPaths(UpperCase(kStick), needed);
  EXPECT_TRUE(exact.ok);
  EXPECT_EQ(exact.length, needed);
  EXPECT_EQ(WString(exact.buffer.data(), needed), expected);
  EXPECT_EQ(exact.buffer[needed], u'#');
}

TEST_F(VolumesTest, VolumeWithoutPathsWritesOneNul) {
  simwin::AddVolume(VolumeNamed(kNoMount, {}));
  PathNames none = QueryPaths(kNoMount, 5);
  EXPECT_TRUE(none.ok);
  EXPECT_EQ(none.length, 1u);
  EXPECT_EQ(none.buffer[0], 0);
  EXPECT_EQ(none.buffer[1], u'#');
  PathNames empty_buffer = QueryPaths(kNoMount, 0);
  EXPECT_FALSE(empty_buffer.ok);
  EXPECT_EQ(empty_buffer.error, static_cast<DWORD>(ERROR_MORE_DATA));
  EXPECT_EQ(empty_buffer.length, 1u);
}

TEST_F(VolumesTest, SuccessiveQueriesWalkThePathListsAndKeepTheLast) {
  simwin::AddVolume(VolumeNamed(kStick, {}));
  ASSERT_TRUE(simwin::SetPaths(kStick, {{}, {u"E:\\"}, {u"E:\\", u"C:\\Stick\\"}}));
  EXPECT_EQ(QueryPaths(kStick, 100).length, 1u);
  // A query that fails for want of room still counts as one.
  PathNames second = QueryPaths(kStick, 2);
  EXPECT_EQ(second.error, static_cast<DWORD>(ERROR_MORE_DATA));
  EXPECT_EQ(second.length, 5u);
  for (int i = 0; i < 3; ++i) {
    PathNames last = QueryPaths(kStick, 100);
    EXPECT_TRUE(last.ok);
    EXPECT_EQ(last.length, 4u + 10u + 1u);
  }
  EXPECT_FALSE(simwin::SetPaths(kSystem, {}));
}

// --- GetVolumeInformationW and GetVolumeInformationByHandleW ---------------------

struct Information {
  BOOL ok = FALSE;
  DWORD error = 0;
  WCHAR label[MAX_PATH + 1];
  DWORD serial = 0xDEAD;
  DWORD component_length = 0xDEAD;
  DWORD flags = 0xDEAD;
  WCHAR filesystem[MAX_PATH + 1];
};

Information QueryInformation(const WString& root) {
  Information result;
  SetLastError(0);
  result.ok = GetVolumeInformationW(root.c_str(), result.label, MAX_PATH + 1, &result.serial,
                                    &result.component_length, &result.flags,
                                    result.filesystem, MAX_PATH + 1);
  result.error = GetLastError();
  return result;
}

TEST_F(VolumesTest, InformationByGuidPathOrAnyMountPath) {
  AddSystemAndStick();
  for (const WString& root : {kSystem, WString(u"C:\\"), WString(u"c:\\")}) {
    Information info = QueryInformation(root);
    ASSERT_TRUE(info.ok);
    EXPECT_EQ(WString(info.label), u"Windows");
    EXPECT_EQ(info.serial, 0xFEDCBA98u);
    EXPECT_EQ(info.component_length, 255u);
    EXPECT_EQ(info.flags, 0x03E706FFu);
    EXPECT_EQ(WString(info.filesystem), u"NTFS");
  }
  for (const WString& root : {kStick, WString(u"E:\\"), WString(u"c:\\mounted\\STICK\\")}) {
    Information stick = QueryInformation(root);
    ASSERT_TRUE(stick.ok);
    EXPECT_EQ(WString(stick.filesystem), u"FAT32");
  }
}

TEST_F(VolumesTest, InformationRootErrors) {
  AddSystemAndStick();
  const std::pair<WString, DWORD> cases[] = {
      {u"C:", ERROR_INVALID_NAME},
      {u"", ERROR_INVALID_NAME},
      {kSystem.substr(0, kSystem.size() - 1), ERROR_INVALID_NAME},
      {u"C:\\Windows\\", ERROR_DIR_NOT_ROOT},
      {u"C:\\Mounted\\", ERROR_DIR_NOT_ROOT},
      {u"E:\\Photos\\", ERROR_DIR_NOT_ROOT},
      {kSystem + u"Users\\", ERROR_DIR_NOT_ROOT},
      {u"Q:\\", ERROR_PATH_NOT_FOUND},
      {u"D:\\Mounted\\", ERROR_PATH_NOT_FOUND},
  };
  for (const auto& [root, error] : cases) {
    Information info = QueryInformation(root);
    EXPECT_FALSE(info.ok);
    EXPECT_EQ(info.error, error);
    EXPECT_EQ(info.serial, 0xDEADu);
  }
}

TEST_F(VolumesTest, InformationSkipsNullOutputs) {
  AddSystemAndStick();
  EXPECT_TRUE(GetVolumeInformationW(u"E:\\", nullptr, 0, nullptr, nullptr, nullptr, nullptr, 0));
  DWORD serial = 0;
  EXPECT_TRUE(GetVolumeInformationW(u"E:\\", nullptr, 0, &serial, nullptr, nullptr, nullptr, 0));
  EXPECT_EQ(serial, 0x1234u);
}

TEST_F(VolumesTest, NameBuffersWithoutRoomForTheNulFail) {
  AddSystemAndStick();
  WCHAR label[8];
  std::fill(std::begin(label), std::end(label), u'#');
  DWORD serial = 0;
  EXPECT_FALSE(GetVolumeInformationW(u"C:\\", label, 7, &serial, nullptr, nullptr, nullptr, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_LENGTH));
  // What fits is written, unterminated.
  EXPECT_EQ(WString(label, 8), WString(u"Windows#"));
  EXPECT_TRUE(GetVolumeInformationW(u"C:\\", label, 8, nullptr, nullptr, nullptr, nullptr, 0));
  EXPECT_EQ(WString(label), u"Windows");

  WCHAR filesystem[5];
  std::fill(std::begin(filesystem), std::end(filesystem), u'#');
  EXPECT_FALSE(GetVolumeInformationW(u"C:\\", nullptr, 0, nullptr, nullptr, nullptr, filesystem, 4));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_LENGTH));
  EXPECT_EQ(WString(filesystem, 5), WString(u"NTFS#"));
  EXPECT_TRUE(GetVolumeInformationW(u"C:\\", nullptr, 0, nullptr, nullptr, nullptr, filesystem, 5));
  EXPECT_EQ(WString(filesystem), u"NTFS");
}

TEST_F(VolumesTest, DriveWithoutMediaIsNotReady) {
  simwin::VolumeSpec empty_drive = VolumeNamed(kNoMount, {{u"D:\\"}});
  empty_drive.filesystem = u"";
  empty_drive.drive_type = DRIVE_CDROM;
  simwin::AddVolume(empty_drive);
  EXPECT_EQ(QueryInformation(u"D:\\").error, static_cast<DWORD>(ERROR_NOT_READY));
  EXPECT_EQ(GetDriveTypeW(u"D:\\"), static_cast<UINT>(DRIVE_CDROM));
  ULARGE_INTEGER total;
  EXPECT_FALSE(GetDiskFreeSpaceExW(u"D:\\", nullptr, &total, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_READY));
}

TEST_F(VolumesTest, InformationByHandleFollowsTheHandle) {
  AddSystemAndStick();
  HANDLE handle = simwin::OpenHandle(kStick);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(simwin::OpenHandle(kNoMount), nullptr);
  EXPECT_EQ(simwin::CountOpenObjects().file_handles, 1);
  WCHAR label[MAX_PATH + 1];
  WCHAR filesystem[MAX_PATH + 1];
  DWORD serial = 0;
  ASSERT_TRUE(GetVolumeInformationByHandleW(handle, label, MAX_PATH + 1, &serial, nullptr,
                                            nullptr, filesystem, MAX_PATH + 1));
  EXPECT_EQ(WString(label), u"STICK");
  EXPECT_EQ(WString(filesystem), u"FAT32");
  EXPECT_EQ(serial, 0x1234u);

  // The handle keeps answering for its volume after the volume is gone.
  ASSERT_TRUE(simwin::RemoveVolume(kStick));
  EXPECT_TRUE(GetVolumeInformationByHandleW(handle, nullptr, 0, &serial, nullptr, nullptr,
                                            nullptr, 0));

  EXPECT_TRUE(simwin::CloseFileHandle(handle));
  EXPECT_FALSE(simwin::CloseFileHandle(handle));
  EXPECT_FALSE(GetVolumeInformationByHandleW(handle, nullptr, 0, &serial, nullptr, nullptr,
                                             nullptr, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(simwin::CountOpenObjects().file_handles, 0);
}

TEST_F(VolumesTest, CloseHandleClosesFileHandlesOnly) {
  AddSystemAndStick();
  HANDLE file = simwin::OpenHandle(kSystem);
  WCHAR buffer[MAX_PATH + 1];
  HANDLE search = FindFirstVolumeW(buffer, MAX_PATH + 1);
  EXPECT_FALSE(CloseHandle(search));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(CloseHandle(nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_TRUE(CloseHandle(file));
  EXPECT_FALSE(CloseHandle(file));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(GetVolumeInformationByHandleW(file, nullptr, 0, nullptr, nullptr, nullptr,
                                             nullptr, 0));
  EXPECT_EQ(simwin::CountOpenObjects().file_handles, 0);
  EXPECT_TRUE(FindVolumeClose(search));
}

TEST_F(VolumesTest, DriveTypes) {
  AddSystemAndStick();
  EXPECT_EQ(GetDriveTypeW(kSystem.c_str()), static_cast<UINT>(DRIVE_FIXED));
  EXPECT_EQ(GetDriveTypeW(u"e:\\"), static_cast<UINT>(DRIVE_REMOVABLE));
  EXPECT_EQ(GetDriveTypeW(u"E:"), static_cast<UINT>(DRIVE_REMOVABLE));
  EXPECT_EQ(GetDriveTypeW(u"C:\\Mounted\\Stick\\"), static_cast<UINT>(DRIVE_REMOVABLE));
  for (const char16_t* not_a_root : {u"Q:\\", u"C:\\Windows\\", u"C:\\Windows",
                                     u"C:\\Mounted\\Stick"}) {
    EXPECT_EQ(GetDriveTypeW(not_a_root), static_cast<UINT>(DRIVE_NO_ROOT_DIR)) << "for a root";
  }
}

TEST_F(VolumesTest, FreeSpaceFillsOnlyWhatIsAskedFor) {
  AddSystemAndStick();
  for (const WString& directory : {kSystem, WString(u"C:\\"), WString(u"C:\\Users\\Me"),
                                   WString(u"C:")}) {
    ULARGE_INTEGER available, total, free;
    available.QuadPart = total.QuadPart = free.QuadPart = 7;
    ASSERT_TRUE(GetDiskFreeSpaceExW(directory.c_str(), &available, &total, &free));
    EXPECT_EQ(available.QuadPart, 400u);
    EXPECT_EQ(total.QuadPart, 1000u);
    EXPECT_EQ(free.QuadPart, 400u);
  }
  ULARGE_INTEGER total, untouched;
  untouched.QuadPart = 7;
  ASSERT_TRUE(GetDiskFreeSpaceExW(u"C:\\", nullptr, &total, nullptr));
  EXPECT_EQ(total.QuadPart, 1000u);
  // A folder mount point belongs to its own volume, not to the one above it.
  simwin::VolumeSpec archive = VolumeNamed(kNoMount, {{u"C:\\Archive\\"}});
  archive.total_bytes = 55;
  simwin::AddVolume(archive);
  ASSERT_TRUE(GetDiskFreeSpaceExW(u"C:\\Archive\\2019", nullptr, &total, nullptr));
  EXPECT_EQ(total.QuadPart, 55u);
  EXPECT_FALSE(GetDiskFreeSpaceExW(u"Q:\\", &untouched, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(untouched.QuadPart, 7u);
}

TEST_F(VolumesTest, RemoveVolumeTakesEveryEntryOfTheName) {
  AddSystemAndStick();
  simwin::AddVolume(VolumeNamed(kStick, {}));
  EXPECT_TRUE(simwin::RemoveVolume(kStick));
  EXPECT_FALSE(simwin::RemoveVolume(kStick));
  EXPECT_EQ(Enumerate(), std::vector<WString>{kSystem});
  EXPECT_EQ(GetDriveTypeW(u"E:\\"), static_cast<UINT>(DRIVE_NO_ROOT_DIR));
}

// The roots are looked up, not searched: every change of the volumes or
// their paths must reach the lookups.
TEST_F(VolumesTest, RootsFollowEveryChangeAndTheEarliestVolumeAnswers) {
  AddSystemAndStick();
  simwin::VolumeSpec second = VolumeNamed(kNoMount, {{u"e:\\", u"C:\\Mounted\\"}});
  second.drive_type = DRIVE_CDROM;
  simwin::AddVolume(second);
  EXPECT_EQ(GetDriveTypeW(u"E:\\"), static_cast<UINT>(DRIVE_REMOVABLE));
  // The longest root holding a path wins, whichever volume was added first.
  ULARGE_INTEGER total;
  ASSERT_TRUE(GetDiskFreeSpaceExW(u"c:\\mounted\\stick\\deep", nullptr, &total, nullptr));
  ASSERT_TRUE(GetDiskFreeSpaceExW(u"C:\\Mounted\\Other", nullptr, &total, nullptr));
  EXPECT_EQ(total.QuadPart, 0u);

  ASSERT_TRUE(simwin::SetPaths(kStick, {{u"F:\\"}, {u"G:\\"}}));
  EXPECT_EQ(GetDriveTypeW(u"E:\\"), static_cast<UINT>(DRIVE_CDROM));
  EXPECT_EQ(GetDriveTypeW(u"F:\\"), static_cast<UINT>(DRIVE_REMOVABLE));
  EXPECT_EQ(GetDriveTypeW(u"G:\\"), static_cast<UINT>(DRIVE_REMOVABLE));
  ASSERT_TRUE(GetDiskFreeSpaceExW(u"C:\\Mounted\\Stick\\deep", nullptr, &total, nullptr));
  EXPECT_EQ(total.QuadPart, 0u) << "the stick's old folder mount is the other volume's folder";

  ASSERT_TRUE(simwin::RemoveVolume(kNoMount));
  EXPECT_EQ(GetDriveTypeW(u"E:\\"), static_cast<UINT>(DRIVE_NO_ROOT_DIR));
  ASSERT_TRUE(GetDiskFreeSpaceExW(u"C:\\Mounted\\Other", nullptr, &total, nullptr));
  EXPECT_EQ(total.QuadPart, 1000u);
  WCHAR label[MAX_PATH + 1];
  EXPECT_TRUE(GetVolumeInformationW(UpperCase(kStick).c_str(), label, MAX_PATH + 1, nullptr,
                                    nullptr, nullptr, nullptr, 0));
  EXPECT_EQ(WString(label), u"STICK");
}

TEST_F(VolumesTest, DefaultMachineIsALaptop) {
  simwin::LoadDefaultMachine();
  const std::vector<WString> names = Enumerate();
  ASSERT_EQ(names.size(), 5u);
  int without_mount_point = 0;
  for (const WString& name : names) {
    PathNames paths = QueryPaths(name, MAX_PATH);
    ASSERT_TRUE(paths.ok);
    if (paths.length == 1) ++without_mount_point;
  }
  EXPECT_EQ(without_mount_point, 1);
  EXPECT_EQ(GetDriveTypeW(u"C:\\"), static_cast<UINT>(DRIVE_FIXED));
  EXPECT_EQ(GetDriveTypeW(u"D:\\"), static_cast<UINT>(DRIVE_CDROM));
  EXPECT_EQ(GetDriveTypeW(u"E:\\"), static_cast<UINT>(DRIVE_REMOVABLE));
  EXPECT_EQ(WString(QueryInformation(u"C:\\").filesystem), u"NTFS");
  EXPECT_EQ(WString(QueryInformation(u"E:\\").filesystem), u"FAT32");
  // F: is also mounted as a folder of C:.
  Information f = QueryInformation(u"F:\\");
  Information folder = QueryInformation(u"C:\\Data\\Archive\\");
  ASSERT_TRUE(f.ok && folder.ok);
  EXPECT_EQ(f.serial, folder.serial);
  EXPECT_NE(f.serial, QueryInformation(u"C:\\").serial);
}

TEST_F(VolumesTest, ModuleHandleFromAnAddressIsTheModuleBase) {
  HMODULE library = nullptr;
  ASSERT_TRUE(GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(&FindFirstVolumeW), &library));
  HMODULE program = nullptr;
  static const int kInThisProgram = 0;
  ASSERT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                                 reinterpret_cast<LPCWSTR>(&kInThisProgram), &program));
  EXPECT_NE(library, nullptr);
  EXPECT_NE(program, nullptr);
  EXPECT_NE(library, program);
  EXPECT_LT(Value(library), Value(reinterpret_cast<const void*>(&FindFirstVolumeW)));

  HMODULE main_module = nullptr;
  ASSERT_TRUE(GetModuleHandleExW(0, nullptr, &main_module));
  EXPECT_EQ(main_module, program);

  HMODULE failed = program;
  EXPECT_FALSE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, nullptr, &failed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  EXPECT_EQ(failed, nullptr);
  EXPECT_FALSE(GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, nullptr,
      &failed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                                  reinterpret_cast<LPCWSTR>(&kInThisProgram), nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

}  // namespace
}  // namespace simwin_test
