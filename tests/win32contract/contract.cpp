// The Win32 behaviours that the two modules and the test double rely on,
// exercised through the plain Win32 API.
//
// The same source is built twice: natively against the test double, and as
// a Windows executable run under Wine, an independent implementation of the
// API. Both runs must pass, so the double cannot drift from Windows unseen.
// Checks are written against whatever volumes the machine has; the double
// is given its default machine first.

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/win32contract/harness.h"

#if !defined(_WIN32)
#include <pthread.h>
#endif

#if !defined(_WIN32)
#include "simwin/control.h"
#endif

namespace contract {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// Departures of Wine 8 from Windows' documented behaviour. Each is tied to
// the one check it excuses, and only under Wine.
const WineLimitation kGuidPathDriveType = {
    "GetDriveTypeW-volume-GUID-path",
    "GetDriveTypeW on a volume GUID path answers DRIVE_UNKNOWN (0) instead "
    "of the volume's drive type"};
const WineLimitation kVolumeInformationWithoutBackslash = {
    "GetVolumeInformationW-no-trailing-backslash",
    "GetVolumeInformationW accepts a root path without the trailing "
    "backslash that the documentation requires"};
const WineLimitation kUnknownClassError = {
    "CreateWindowExW-unknown-class-error",
    "CreateWindowExW of an unregistered class fails with "
    "ERROR_CLASS_DOES_NOT_EXIST (1411) instead of ERROR_CANNOT_FIND_WND_CLASS "
    "(1407)"};
const WineLimitation kDestroyInvalidWindowError = {
    "DestroyWindow-invalid-handle-error",
    "DestroyWindow of a handle that names no window fails with "
    "ERROR_ACCESS_DENIED (5), as for another thread's window, instead of "
    "ERROR_INVALID_WINDOW_HANDLE (1400)"};

const WineLimitation kThreadExitDestructionMessages = {
    "thread-exit-destruction-messages",
    "the windows of a thread that ends are destroyed with WM_DESTROY and "
    "WM_NCDESTROY sent to their procedures on that thread, which Windows "
    "no longer runs code of its own on"};

// The size every fixed name buffer of the modules has: MAX_PATH plus NUL.
constexpr DWORD kNameCapacity = MAX_PATH + 1;
// {53F5630D-B6BF-11D0-94F2-00A0C91EFB8B}, the volume device-interface class.
const GUID kVolumeInterfaceClass = {
    0x53F5630D, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};
const WCHAR kWindowClassName[] = W32TEXT("Win32ContractWindow");
// A unit mask no real broadcast carries, so that stray system broadcasts
// to our top-level windows are told apart from the probe.
constexpr DWORD kProbeUnitMask = 0x02A00005;
constexpr LRESULT kDeviceChangeAnswer = 0x5A5A;
constexpr UINT kDispatchProbe = WM_USER + 40;
constexpr LRESULT kDispatchAnswer = 0x0D15;
const seconds kScenarioLimit(60);
const milliseconds kSignalLimit(20000);

size_t Length(const WCHAR* text) { return std::char_traits<WCHAR>::length(text); }

bool EndsWithBackslash(const WString& path) {
  return !path.empty() && path.back() == W32TEXT('\\');
}

bool IsVolumeGuidPath(const WString& name) {
  const WString prefix = W32TEXT("\\\\?\\Volume{");
  return name.size() == prefix.size() + 36 + 2 &&
         name.compare(0, prefix.size(), prefix) == 0 &&
         name[name.size() - 2] == W32TEXT('}') && EndsWithBackslash(name);
}

// A scenario that ends the process if it is not over within kScenarioLimit.
Deadline BeginTimedScenario(const char* name) {
  Report::Get().BeginScenario(name);
  return Deadline(name, kScenarioLimit);
}

// The filter a window registers with for the volume interface class.
DEV_BROADCAST_DEVICEINTERFACE_W VolumeInterfaceFilter() {
  DEV_BROADCAST_DEVICEINTERFACE_W filter = {};
  filter.dbcc_size = sizeof filter;
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = kVolumeInterfaceClass;
  return filter;
}

// ---------------------------------------------------------------------------
// Volumes

struct Volume {
  WString name;
  std::vector<WString> paths;
};

std::vector<Volume> CheckVolumeEnumeration() {
  Report::Get().BeginScenario("volume enumeration and its end");
  std::vector<Volume> volumes;
  WCHAR name[kNameCapacity];
  HANDLE search = FindFirstVolumeW(name, kNameCapacity);
  CONTRACT_CHECK(search != INVALID_HANDLE_VALUE);
  if (search == INVALID_HANDLE_VALUE) return volumes;
  volumes.push_back(Volume{name, {}});
  for (;;) {
    if (!FindNextVolumeW(search, name, kNameCapacity)) {
      CONTRACT_EXPECT_EQ(ERROR_NO_MORE_FILES, GetLastError());
      break;
    }
    volumes.push_back(Volume{name, {}});
    if (volumes.size() > 1000) {
      CONTRACT_CHECK(!"the volume search ends");
      break;
    }
  }
  CONTRACT_CHECK(FindVolumeClose(search));
  for (const Volume& volume : volumes) {
    CONTRACT_EXPECT_EQ(true, IsVolumeGuidPath(volume.name));
  }

  // A buffer too short for a GUID path makes the search fail to start.
  WCHAR short_name[10];
  SetLastError(0);
  HANDLE short_search = FindFirstVolumeW(short_name, 10);
  CONTRACT_CHECK(short_search == INVALID_HANDLE_VALUE);
  CONTRACT_EXPECT_EQ(ERROR_FILENAME_EXCED_RANGE, GetLastError());
  if (short_search != INVALID_HANDLE_VALUE) FindVolumeClose(short_search);
  return volumes;
}

// Reads the mount points of every volume into `volumes`, checking the
// length rules of GetVolumePathNamesForVolumeNameW on the way.
void CheckVolumePathNames(std::vector<Volume>& volumes) {
  Report::Get().BeginScenario("GetVolumePathNamesForVolumeNameW length rules");
  const WCHAR kUntouched = 0xFFFF;
  for (Volume& volume : volumes) {
    std::vector<WCHAR> buffer(4 * kNameCapacity, kUntouched);
    DWORD written = 0xFFFFFFFF;
    const BOOL listed = GetVolumePathNamesForVolumeNameW(
        volume.name.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()),
        &written);
    CONTRACT_CHECK(listed);
    if (!listed || written == 0 || written > buffer.size()) {
      CONTRACT_CHECK(written >= 1 && written <= buffer.size());
      continue;
    }
    // Success reports the characters written, both terminating NULs
    // included, and nothing past them is touched.
    CONTRACT_EXPECT_EQ(WCHAR{0}, buffer[written - 1]);
    if (written < buffer.size()) {
      CONTRACT_EXPECT_EQ(kUntouched, buffer[written]);
    }
    DWORD counted = 1;  // the NUL that ends the list
    for (const WCHAR* path = buffer.data(); *path != 0;
         path += Length(path) + 1) {
      volume.paths.emplace_back(path);
      counted += static_cast<DWORD>(Length(path) + 1);
      CONTRACT_EXPECT_EQ(true, EndsWithBackslash(volume.paths.back()));
    }
    if (volume.paths.empty()) {
      Report::Get().Note(Describe(volume.name) + " has no mount point");
      CONTRACT_CHECK(written <= 2);
      continue;
    }
    CONTRACT_EXPECT_EQ(counted, written);
    std::string mounts;
    for (const WString& path : volume.paths) mounts += " " + Describe(path);
    Report::Get().Note(Describe(volume.name) + " mounted at" + mounts);

    // One character short: ERROR_MORE_DATA and the length needed.
    std::vector<WCHAR> short_buffer(written - 1);
    DWORD needed = 0;
    SetLastError(0);
    CONTRACT_CHECK(!GetVolumePathNamesForVolumeNameW(
        volume.name.c_str(), short_buffer.data(), written - 1, &needed));
    CONTRACT_EXPECT_EQ(ERROR_MORE_DATA, GetLastError());
    CONTRACT_EXPECT_EQ(written, needed);

    // The smallest buffer the modules start with, 5 characters.
    WCHAR tiny[5];
    needed = 0;
    const BOOL tiny_listed =
        GetVolumePathNamesForVolumeNameW(volume.name.c_str(), tiny, 5, &needed);
    if (written > 5) {
      CONTRACT_CHECK(!tiny_listed);
      CONTRACT_EXPECT_EQ(ERROR_MORE_DATA, GetLastError());
    }
    CONTRACT_EXPECT_EQ(written, needed);

    // Exactly the length needed is enough.
    std::vector<WCHAR> exact(written);
    DWORD exact_written = 0;
    CONTRACT_CHECK(GetVolumePathNamesForVolumeNameW(
        volume.name.c_str(), exact.data(), written, &exact_written));
    CONTRACT_EXPECT_EQ(written, exact_written);
  }
}

struct VolumeInformation {
  BOOL ok = FALSE;
  DWORD error = 0;
  WString label;
  DWORD serial = 0;
  DWORD component_length = 0;
  DWORD flags = 0;
  WString filesystem;
};

VolumeInformation QueryVolumeInformation(const WString& root) {
  VolumeInformation info;
  WCHAR label[kNameCapacity] = {};
  WCHAR filesystem[kNameCapacity] = {};
  SetLastError(0);
  info.ok = GetVolumeInformationW(root.c_str(), label, kNameCapacity,
                                  &info.serial, &info.component_length,
                                  &info.flags, filesystem, kNameCapacity);
  info.error = GetLastError();
  info.label = label;
  info.filesystem = filesystem;
  return info;
}

void CheckVolumeInformation(const std::vector<Volume>& volumes) {
  Report::Get().BeginScenario("GetVolumeInformationW");
  for (const Volume& volume : volumes) {
    const VolumeInformation by_guid = QueryVolumeInformation(volume.name);
    CONTRACT_CHECK(by_guid.ok);
    CONTRACT_CHECK(!by_guid.filesystem.empty());
    for (const WString& path : volume.paths) {
      const VolumeInformation by_path = QueryVolumeInformation(path);
      CONTRACT_CHECK(by_path.ok);
      CONTRACT_EXPECT_EQ(by_guid.serial, by_path.serial);
      CONTRACT_EXPECT_EQ(by_guid.filesystem, by_path.filesystem);
      CONTRACT_EXPECT_EQ(by_guid.label, by_path.label);

      // The root must end with a backslash.
      const WString bare = path.substr(0, path.size() - 1);
      const VolumeInformation by_bare = QueryVolumeInformation(bare);
      CONTRACT_CHECK_DOCUMENTED(kVolumeInformationWithoutBackslash,
                                !by_bare.ok);
      CONTRACT_EXPECT_EQ_DOCUMENTED(kVolumeInformationWithoutBackslash,
                                    ERROR_INVALID_NAME, by_bare.error);
    }
  }
}

// A drive letter root that no volume is mounted at.
WString UnusedDriveRoot(const std::vector<Volume>& volumes) {
  for (WCHAR letter = W32TEXT('Q'); letter <= W32TEXT('Y'); ++letter) {
    const WString root = {letter, W32TEXT(':'), W32TEXT('\\')};
    bool used = false;
    for (const Volume& volume : volumes) {
      for (const WString& path : volume.paths) used = used || path == root;
    }
    if (!used) return root;
  }
  return W32TEXT("");
}

void CheckDriveTypes(const std::vector<Volume>& volumes) {
  Report::Get().BeginScenario("GetDriveTypeW");
  for (const Volume& volume : volumes) {
    if (volume.paths.empty()) continue;
    const UINT by_path = GetDriveTypeW(volume.paths.front().c_str());
    CONTRACT_CHECK(by_path >= DRIVE_REMOVABLE && by_path <= DRIVE_RAMDISK);
    for (const WString& path : volume.paths) {
      CONTRACT_EXPECT_EQ(by_path, GetDriveTypeW(path.c_str()));
    }
    CONTRACT_EXPECT_EQ_DOCUMENTED(kGuidPathDriveType, by_path,
                                  GetDriveTypeW(volume.name.c_str()));
  }
  const WString unused = UnusedDriveRoot(volumes);
  CONTRACT_CHECK(!unused.empty());
  CONTRACT_EXPECT_EQ(DRIVE_NO_ROOT_DIR, GetDriveTypeW(unused.c_str()));
}

void CheckDiskFreeSpace(const std::vector<Volume>& volumes) {
  Report::Get().BeginScenario("GetDiskFreeSpaceExW");
  for (const Volume& volume : volumes) {
    if (volume.paths.empty()) continue;
    const WString& root = volume.paths.front();
    ULARGE_INTEGER available, total, free;
    available.QuadPart = total.QuadPart = free.QuadPart = 0;
    CONTRACT_CHECK(
        GetDiskFreeSpaceExW(root.c_str(), &available, &total, &free));
    CONTRACT_CHECK(free.QuadPart <= total.QuadPart);
    CONTRACT_CHECK(available.QuadPart <= total.QuadPart);

    // Each pointer is optional; only those given are filled.
    ULARGE_INTEGER total_alone;
    total_alone.QuadPart = 0;
    CONTRACT_CHECK(
        GetDiskFreeSpaceExW(root.c_str(), nullptr, &total_alone, nullptr));
    CONTRACT_EXPECT_EQ(total.QuadPart, total_alone.QuadPart);
    CONTRACT_CHECK(GetDiskFreeSpaceExW(root.c_str(), nullptr, nullptr, nullptr));
  }
  const WString unused = UnusedDriveRoot(volumes);
  ULARGE_INTEGER total;
  SetLastError(0);
  CONTRACT_CHECK(!GetDiskFreeSpaceExW(unused.c_str(), nullptr, &total, nullptr));
  CONTRACT_CHECK(GetLastError() != 0);
}

// ---------------------------------------------------------------------------
// Windows and messages

enum class Phase { kOther, kWaiting, kPeeking };
thread_local Phase current_phase = Phase::kOther;

// What the window procedure saw of the probes sent to it.
struct Sightings {
  std::atomic<int> device_changes{0};
  std::atomic<DWORD> device_change_thread{0};
  std::atomic<Phase> device_change_phase{Phase::kOther};
  std::atomic<int> dispatched{0};
  std::atomic<LPARAM> dispatched_lparam{0};
  std::atomic<int> destruction_messages{0};
};
Sightings sightings;

LRESULT CALLBACK ContractWindowProc(HWND hwnd, UINT message, WPARAM wparam,
                                    LPARAM lparam) {
  if (message == WM_DEVICECHANGE && wparam == DBT_DEVICEARRIVAL && lparam != 0) {
    const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lparam);
    const auto* volume = reinterpret_cast<const DEV_BROADCAST_VOLUME*>(lparam);
    if (header->dbch_devicetype == DBT_DEVTYP_VOLUME &&
        volume->dbcv_unitmask == kProbeUnitMask) {
      sightings.device_change_thread = GetCurrentThreadId();
      sightings.device_change_phase = current_phase;
      ++sightings.device_changes;
      return kDeviceChangeAnswer;
    }
  }
  if (message == WM_DESTROY || message == WM_NCDESTROY) {
    ++sightings.destruction_messages;
  }
  if (message == kDispatchProbe) {
    sightings.dispatched_lparam = lparam;
    ++sightings.dispatched;
    return kDispatchAnswer;
  }
  return DefWindowProcW(hwnd, message, wparam, lparam);
}

HINSTANCE ThisModule() {
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                         GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&ContractWindowProc), &module);
  return module;
}

HWND CreateContractWindow() {
  return CreateWindowExW(0, kWindowClassName, nullptr, 0, CW_USEDEFAULT,
                         CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr,
                         nullptr, ThisModule(), nullptr);
}

// Takes everything out of the calling thread's queue, so later checks see
// only their own messages and WaitMessage's idea of "new" starts afresh.
void DrainQueue() {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    DispatchMessageW(&message);
  }
}

void CheckClassRegistration() {
  Report::Get().BeginScenario("class registration twice");
  HMODULE module = nullptr;
  CONTRACT_CHECK(GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
          GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(&ContractWindowProc), &module));
  CONTRACT_CHECK(module != nullptr);

  WNDCLASSEXW window_class = {};
  window_class.cbSize = sizeof window_class;
  window_class.lpfnWndProc = ContractWindowProc;
  window_class.hInstance = module;
  window_class.lpszClassName = kWindowClassName;
  CONTRACT_CHECK(RegisterClassExW(&window_class) != 0);
  SetLastError(0);
  CONTRACT_EXPECT_EQ(ATOM{0}, RegisterClassExW(&window_class));
  CONTRACT_EXPECT_EQ(ERROR_CLASS_ALREADY_EXISTS, GetLastError());
}

void CheckWindowAndProperties() {
  Report::Get().BeginScenario("window creation and properties");
  SetLastError(0);
  HWND unknown_class = CreateWindowExW(
      0, W32TEXT("Win32ContractNoSuchClass"), nullptr, 0, CW_USEDEFAULT,
      CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr,
      ThisModule(), nullptr);
  CONTRACT_CHECK(unknown_class == nullptr);
  CONTRACT_EXPECT_EQ_DOCUMENTED(kUnknownClassError,
                                ERROR_CANNOT_FIND_WND_CLASS, GetLastError());

  HWND window = CreateContractWindow();
  CONTRACT_CHECK(window != nullptr);
  if (window == nullptr) return;
  CONTRACT_CHECK(IsWindow(window));

  const WCHAR kArrive[] = W32TEXT("ARRIVE_CALLBACK");
  const WCHAR kRemove[] = W32TEXT("REMOVE_CALLBACK");
  const WCHAR kStop[] = W32TEXT("STOP_CALLBACK");
  HANDLE arrive_value = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7F001230));
  HANDLE remove_value = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7F004560));
  CONTRACT_CHECK(GetPropW(window, kArrive) == nullptr);
  CONTRACT_CHECK(SetPropW(window, kArrive, arrive_value));
  CONTRACT_CHECK(SetPropW(window, kRemove, remove_value));
  CONTRACT_EXPECT_EQ(static_cast<const void*>(arrive_value),
                     static_cast<const void*>(GetPropW(window, kArrive)));
  CONTRACT_EXPECT_EQ(static_cast<const void*>(remove_value),
                     static_cast<const void*>(GetPropW(window, kRemove)));
  CONTRACT_CHECK(GetPropW(window, kStop) == nullptr);
  // Setting a property again replaces its value.
  CONTRACT_CHECK(SetPropW(window, kRemove, arrive_value));
  CONTRACT_EXPECT_EQ(static_cast<const void*>(arrive_value),
                     static_cast<const void*>(GetPropW(window, kRemove)));
  // Removing hands back the value; the property is then gone.
  CONTRACT_EXPECT_EQ(static_cast<const void*>(arrive_value),
                     static_cast<const void*>(RemovePropW(window, kArrive)));
  CONTRACT_CHECK(GetPropW(window, kArrive) == nullptr);
  CONTRACT_CHECK(RemovePropW(window, kArrive) == nullptr);

  Report::Get().BeginScenario("device notification for the volume interface class");
  DEV_BROADCAST_DEVICEINTERFACE_W filter = VolumeInterfaceFilter();
  HDEVNOTIFY registration =
      RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  CONTRACT_CHECK(registration != nullptr);
  if (registration != nullptr) {
    CONTRACT_CHECK(UnregisterDeviceNotification(registration));
  }

  Report::Get().BeginScenario("window destruction");
  CONTRACT_CHECK(RemovePropW(window, kRemove) != nullptr);
  CONTRACT_CHECK(DestroyWindow(window));
  CONTRACT_CHECK(!IsWindow(window));
  SetLastError(0);
  CONTRACT_CHECK(!DestroyWindow(window));
  CONTRACT_EXPECT_EQ_DOCUMENTED(kDestroyInvalidWindowError,
                                ERROR_INVALID_WINDOW_HANDLE, GetLastError());
  SetLastError(0);
  CONTRACT_CHECK(!SetPropW(window, kStop, arrive_value));
  CONTRACT_EXPECT_EQ(ERROR_INVALID_WINDOW_HANDLE, GetLastError());
}

// SendMessageW to a window of another thread blocks the sender until the
// owner thread takes it in PeekMessageW, whatever that call's filter.
void CheckCrossThreadSend() {
  const Deadline deadline =
      BeginTimedScenario("SendMessageW of WM_DEVICECHANGE across threads");
  Signal ready;
  HWND target = nullptr;
  DWORD owner = 0;
  BOOL peek_result_on_delivery = TRUE;
  const int seen_before = sightings.device_changes;
  std::thread owner_thread([&] {
    owner = GetCurrentThreadId();
    HWND filter_window = CreateContractWindow();
    target = CreateContractWindow();
    DrainQueue();
    ready.Set();
    if (target == nullptr || filter_window == nullptr) return;
    // Each pass waits for something new, then looks with a filter that
    // matches neither the target window nor WM_DEVICECHANGE.
    for (int pass = 0; pass < 100 && sightings.device_changes == seen_before;
         ++pass) {
      current_phase = Phase::kWaiting;
      WaitMessage();
      current_phase = Phase::kPeeking;
      MSG message;
      peek_result_on_delivery =
          PeekMessageW(&message, filter_window, WM_USER, WM_USER, PM_REMOVE);
      current_phase = Phase::kOther;
    }
    DestroyWindow(target);
    DestroyWindow(filter_window);
  });
  const bool started = ready.WaitFor(kSignalLimit);
  CONTRACT_CHECK(started);
  CONTRACT_CHECK(target != nullptr);
  if (started && target != nullptr) {
    DEV_BROADCAST_VOLUME record = {};
    record.dbcv_size = sizeof record;
    record.dbcv_devicetype = DBT_DEVTYP_VOLUME;
    record.dbcv_unitmask = kProbeUnitMask;
    const LRESULT answer = SendMessageW(target, WM_DEVICECHANGE,
                                        DBT_DEVICEARRIVAL,
                                        reinterpret_cast<LPARAM>(&record));
    CONTRACT_EXPECT_EQ(kDeviceChangeAnswer, answer);
  }
  owner_thread.join();
  CONTRACT_EXPECT_EQ(seen_before + 1, sightings.device_changes.load());
  CONTRACT_EXPECT_EQ(owner, sightings.device_change_thread.load());
  CONTRACT_CHECK(sightings.device_change_phase.load() == Phase::kPeeking);
  CONTRACT_CHECK(!peek_result_on_delivery);  // a sent message is not returned
}

// Posting, the PeekMessageW window filter, PM_NOREMOVE and dispatch, all
// on the calling thread's own queue.
void CheckPostAndFilter() {
  const Deadline deadline =
      BeginTimedScenario("PostMessageW and the PeekMessageW window filter");
  HWND first = CreateContractWindow();
  HWND second = CreateContractWindow();
  CONTRACT_CHECK(first != nullptr && second != nullptr);
  if (first == nullptr || second == nullptr) return;
  DrainQueue();

  CONTRACT_CHECK(PostMessageW(first, WM_USER + 1, 11, 12));
  CONTRACT_CHECK(PostMessageW(second, WM_USER + 2, 21, 22));
  CONTRACT_CHECK(PostMessageW(nullptr, WM_USER + 3, 31, 32));  // thread message
  // Posting is allowed from any thread.
  std::thread poster([first] { PostMessageW(first, WM_USER + 4, 41, 42); });
  poster.join();

  MSG message = {};
  CONTRACT_CHECK(PeekMessageW(&message, second, 0, 0, PM_REMOVE));
  CONTRACT_CHECK(message.hwnd == second);
  CONTRACT_EXPECT_EQ(UINT{WM_USER + 2}, message.message);
  CONTRACT_EXPECT_EQ(WPARAM{21}, message.wParam);
  CONTRACT_EXPECT_EQ(LPARAM{22}, message.lParam);
  // A window filter excludes other windows and thread messages.
  CONTRACT_CHECK(!PeekMessageW(&message, second, 0, 0, PM_REMOVE));

  CONTRACT_CHECK(PeekMessageW(&message, first, 0, 0, PM_NOREMOVE));
  CONTRACT_EXPECT_EQ(UINT{WM_USER + 1}, message.message);
  CONTRACT_CHECK(PeekMessageW(&message, first, 0, 0, PM_REMOVE));
  CONTRACT_EXPECT_EQ(UINT{WM_USER + 1}, message.message);
  CONTRACT_EXPECT_EQ(WPARAM{11}, message.wParam);
  CONTRACT_CHECK(PeekMessageW(&message, first, 0, 0, PM_REMOVE));
  CONTRACT_EXPECT_EQ(UINT{WM_USER + 4}, message.message);
  CONTRACT_EXPECT_EQ(LPARAM{42}, message.lParam);
  CONTRACT_CHECK(!PeekMessageW(&message, first, 0, 0, PM_REMOVE));

  // The thread message is left for a null filter, with a null window.
  CONTRACT_CHECK(PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE));
  CONTRACT_CHECK(message.hwnd == nullptr);
  CONTRACT_EXPECT_EQ(UINT{WM_USER + 3}, message.message);
  CONTRACT_EXPECT_EQ(WPARAM{31}, message.wParam);
  CONTRACT_CHECK(!PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE));

  // DispatchMessageW hands a taken message to its window's procedure.
  const int dispatched_before = sightings.dispatched;
  CONTRACT_CHECK(PostMessageW(second, kDispatchProbe, 0, 77));
  CONTRACT_CHECK(PeekMessageW(&message, second, 0, 0, PM_REMOVE));
  CONTRACT_EXPECT_EQ(kDispatchAnswer, DispatchMessageW(&message));
  CONTRACT_EXPECT_EQ(dispatched_before + 1, sightings.dispatched.load());
  CONTRACT_EXPECT_EQ(LPARAM{77}, sightings.dispatched_lparam.load());

  CONTRACT_CHECK(DestroyWindow(first));
  SetLastError(0);
  CONTRACT_CHECK(!PostMessageW(first, WM_USER, 0, 0));
  CONTRACT_EXPECT_EQ(ERROR_INVALID_WINDOW_HANDLE, GetLastError());
  CONTRACT_CHECK(DestroyWindow(second));
  DrainQueue();
}

// WaitMessage returns for a message that arrived since the thread last
// looked at its queue, and not for one it has already seen.
void CheckWaitMessageRule() {
  const Deadline deadline = BeginTimedScenario("WaitMessage and new messages");
  Signal waiting;
  std::atomic<bool> posted{false};
  HWND window = nullptr;
  bool woke_for_unseen = false;
  bool woke_after_post = false;
  bool both_queued = false;
  std::thread waiter([&] {
    window = CreateContractWindow();
    DrainQueue();
    // Unseen since the last look: WaitMessage returns at once.
    PostMessageW(window, WM_USER + 5, 0, 0);
    WaitMessage();
    woke_for_unseen = true;
    // Seen (though left in the queue): no longer new.
    MSG message;
    PeekMessageW(&message, window, 0, 0, PM_NOREMOVE);
    waiting.Set();
    WaitMessage();
    woke_after_post = posted;
    both_queued = PeekMessageW(&message, window, WM_USER + 5, WM_USER + 5,
                               PM_REMOVE) &&
                  PeekMessageW(&message, window, WM_USER + 6, WM_USER + 6,
                               PM_REMOVE);
    DestroyWindow(window);
  });
  const bool started = waiting.WaitFor(kSignalLimit);
  CONTRACT_CHECK(started);
  if (started) {
    // A wait that wrongly returned for the old message has returned by now;
    // the pause only gives such a fault time to show, it never fails a
    // correct implementation.
    std::this_thread::sleep_for(milliseconds(300));
    posted = true;
    CONTRACT_CHECK(PostMessageW(window, WM_USER + 6, 0, 0));
  }
  waiter.join();
  CONTRACT_CHECK(woke_for_unseen);
  CONTRACT_CHECK(woke_after_post);
  CONTRACT_CHECK(both_queued);
}

void CheckForeignDestroy() {
  const Deadline deadline =
      BeginTimedScenario("DestroyWindow from a foreign thread");
  Signal created;
  Signal checked;
  HWND window = nullptr;
  BOOL destroyed_by_owner = FALSE;
  std::thread owner([&] {
    window = CreateContractWindow();
    created.Set();
    checked.WaitFor(kSignalLimit);
    destroyed_by_owner = DestroyWindow(window);
  });
  CONTRACT_CHECK(created.WaitFor(kSignalLimit));
  CONTRACT_CHECK(window != nullptr);
  SetLastError(0);
  CONTRACT_CHECK(!DestroyWindow(window));
  CONTRACT_EXPECT_EQ(ERROR_ACCESS_DENIED, GetLastError());
  CONTRACT_CHECK(IsWindow(window));
  checked.Set();
  owner.join();
  CONTRACT_CHECK(destroyed_by_owner);
  CONTRACT_CHECK(!IsWindow(window));
}

void CheckWindowsDieWithThread() {
  const Deadline deadline =
      BeginTimedScenario("windows destroyed with their thread");
  HWND plain = nullptr;
  HWND registered = nullptr;
  sightings.destruction_messages = 0;
  std::thread owner([&] {
    plain = CreateContractWindow();
    registered = CreateContractWindow();
    SetPropW(registered, W32TEXT("ARRIVE_CALLBACK"), registered);
    DEV_BROADCAST_DEVICEINTERFACE_W filter = VolumeInterfaceFilter();
    RegisterDeviceNotificationW(registered, &filter,
                                DEVICE_NOTIFY_WINDOW_HANDLE);
    // The thread ends without destroying anything.
  });
  owner.join();
  CONTRACT_CHECK(plain != nullptr && registered != nullptr);
  CONTRACT_CHECK(!IsWindow(plain));
  CONTRACT_CHECK(!IsWindow(registered));
  // The thread is past running code of its own when its windows go, so
  // their procedures are not called: no WM_DESTROY, no WM_NCDESTROY.
  CONTRACT_EXPECT_EQ_DOCUMENTED(kThreadExitDestructionMessages, 0,
                                sightings.destruction_messages.load());
}

// What the ending thread's own code sees of its window: its C++
// thread-local destructors and its per-thread slot callbacks (FLS on
// Windows, a key destructor on the double's platform) run before the
// system frees the thread's windows. -1 until the destructor has run.
std::atomic<int> window_alive_in_thread_local_destructor{-1};
std::atomic<int> window_alive_in_slot_callback{-1};

struct ThreadExitWitness {
  HWND window = nullptr;
  ~ThreadExitWitness() {
    if (window != nullptr) {
      window_alive_in_thread_local_destructor = IsWindow(window) ? 1 : 0;
    }
  }
};
thread_local ThreadExitWitness thread_exit_witness;

#if defined(_WIN32)
void WINAPI SeeWindowAtSlotEnd(void* window) {
  if (window != nullptr) {
    window_alive_in_slot_callback =
        IsWindow(static_cast<HWND>(window)) ? 1 : 0;
  }
}
#else
void SeeWindowAtSlotEnd(void* window) {
  window_alive_in_slot_callback = IsWindow(static_cast<HWND>(window)) ? 1 : 0;
}
#endif

void CheckThreadCodeEndsBeforeItsWindows() {
  (void)BeginTimedScenario("a thread's own code ends before its windows go");
  std::thread owner([] {
    // Made before the thread's first Win32 call, so destroyed after
    // whatever that call made of the thread's own.
    thread_exit_witness.window = nullptr;
    const HWND window = CreateContractWindow();
    thread_exit_witness.window = window;
#if defined(_WIN32)
    const DWORD slot = FlsAlloc(&SeeWindowAtSlotEnd);
    if (slot != FLS_OUT_OF_INDEXES) FlsSetValue(slot, window);
#else
    // Made after the system's own per-thread state, as a module's is.
    pthread_key_t slot;
    if (pthread_key_create(&slot, &SeeWindowAtSlotEnd) == 0) {
      pthread_setspecific(slot, window);
    }
#endif
  });
  owner.join();
  CONTRACT_EXPECT_EQ(1, window_alive_in_thread_local_destructor.load());
  CONTRACT_EXPECT_EQ(1, window_alive_in_slot_callback.load());
}

}  // namespace
}  // namespace contract

int main() {
  using namespace contract;
#if !defined(_WIN32)
  simwin::Reset();
  simwin::LoadDefaultMachine();
#endif
  std::vector<Volume> volumes = CheckVolumeEnumeration();
  CheckVolumePathNames(volumes);
  CheckVolumeInformation(volumes);
  CheckDriveTypes(volumes);
  CheckDiskFreeSpace(volumes);
  CheckClassRegistration();
  CheckWindowAndProperties();
  CheckCrossThreadSend();
  CheckPostAndFilter();
  CheckWaitMessageRule();
  CheckForeignDestroy();
  CheckWindowsDieWithThread();
  CheckThreadCodeEndsBeforeItsWindows();
  return Report::Get().Finish();
}
