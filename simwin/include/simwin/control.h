// Control interface of the test double: what tests and the `simwin` Python
// module use to set up the simulated machine, inject faults and observe the
// Win32 calls that module code makes. Module code never includes this.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "simwin/api.h"

namespace simwin {

using WString = std::u16string;

// GUID_DEVINTERFACE_VOLUME, the device-interface class of volumes.
constexpr GUID kVolumeInterfaceClass = {
    0x53F5630D, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};
using PathList = std::vector<WString>;

// One volume of the simulated machine.
struct VolumeSpec {
  WString name;  // volume GUID path, "\\?\Volume{...}\"
  // Successive GetVolumePathNamesForVolumeNameW calls see successive lists;
  // the last one then stays. Empty: the volume has no mount point.
  std::vector<PathList> path_lists;
  WString label;
  uint32_t serial = 0;
  WString filesystem = u"NTFS";
  uint32_t drive_type = DRIVE_FIXED;
  uint64_t total_bytes = 0;
  uint64_t free_bytes = 0;
  uint32_t component_length = 255;
  uint32_t flags = 0;
};

// A Win32 call as recorded: the function and its significant arguments.
using CallArg = std::variant<int64_t, WString>;
struct Call {
  std::string function;
  std::vector<CallArg> args;
};

struct WindowInfo {
  uint64_t hwnd = 0;
  WString class_name;
  uint64_t thread = 0;
  std::vector<std::pair<WString, uint64_t>> props;  // in the order set
  std::vector<uint64_t> notifications;              // HDEVNOTIFY values
};

struct OpenObjects {
  int64_t volume_searches = 0;
  int64_t file_handles = 0;
  int64_t windows = 0;
  int64_t notifications = 0;
  int64_t props = 0;
};

enum class SendStatus {
  kDelivered,      // the window procedure ran and returned `result`
  kInvalidWindow,  // no such window
  kTimedOut,       // the owner thread did not process it in time
};

struct SendOutcome {
  SendStatus status = SendStatus::kInvalidWindow;
  LRESULT result = 0;
};

// Everything below is thread-safe.

// The empty machine: no volumes, handles, windows, classes, faults or
// recorded calls; recording on.
void Reset();
// The demo's laptop (see machine.cpp for its volumes). Replaces the volumes
// (and forgets volume searches and file handles); windows, classes, faults
// and recorded calls stay as they are.
void LoadDefaultMachine();

// Appends a volume; enumeration follows the order of these calls.
void AddVolume(const VolumeSpec& volume);
// False when no volume has that name.
bool RemoveVolume(const WString& name);
bool SetPaths(const WString& name, const std::vector<PathList>& path_lists);
// A file handle on the named volume; nullptr when no volume has that name.
HANDLE OpenHandle(const WString& name);
// False when the handle is not an open file handle.
bool CloseFileHandle(HANDLE handle);

// Whether `function` names a Win32 function of the double that can fail.
bool IsFaultableFunction(const std::string& function);
// The nth call from now of `function` (1 = the next one), and the count-1
// calls after it, fail with `error`; count -1: every call from the nth on.
void Fail(const std::string& function, DWORD error, int64_t nth,
          int64_t count);

void RecordCalls(bool on);
std::vector<Call> Calls();
void ClearCalls();

std::vector<WindowInfo> Windows();
std::vector<WString> Classes();
// The calling thread's id as WindowInfo::thread reports it.
uint64_t CurrentThread();
// The handle value that the next created window gets.
void NextWindowHandle(uint64_t value);
OpenObjects CountOpenObjects();

// SendMessageW with a bound: waits at most `timeout_seconds` for the owner
// thread. A message that times out before the owner starts it is withdrawn.
SendOutcome SendMessageWithTimeout(HWND hwnd, UINT msg, WPARAM wparam,
                                   LPARAM lparam, double timeout_seconds);

// WM_DEVICECHANGE with a DEV_BROADCAST_VOLUME (DBT_DEVTYP_VOLUME), a
// volume-interface DEV_BROADCAST_DEVICEINTERFACE_W (DBT_DEVTYP_DEVICEINTERFACE)
// or a null lParam. The record lives until the window procedure is done with
// it, even if the sender gave up waiting.
SendOutcome SendDeviceChange(HWND hwnd, WPARAM event, DWORD devicetype,
                             DWORD unitmask, bool null_lparam,
                             double timeout_seconds);

// Adds (plug) or removes (unplug) the volume and announces it as Windows
// does: the volume record to every top-level window, the device-interface
// record to every window registered for the volume interface class.
// Returns how many windows processed the volume record; a window that does
// not answer within the timeout is not counted.
int Plug(const VolumeSpec& volume, double timeout_seconds);
// -1 when no volume has that name.
int Unplug(const WString& name, double timeout_seconds);

}  // namespace simwin
