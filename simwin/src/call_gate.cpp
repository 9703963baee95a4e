#include "call_gate.h"

#include <algorithm>
#include <set>

#include "text.h"

namespace simwin {
namespace {

// The functions that fault injection can make fail, with the arguments that
// a recorded call carries (in this order):
//
//   FindFirstVolumeW                  cch
//   FindNextVolumeW                   search handle, cch
//   FindVolumeClose                   search handle
//   GetVolumePathNamesForVolumeNameW  volume name, cch
//   GetVolumeInformationW             root, label cch, file-system cch
//   GetVolumeInformationByHandleW     file handle, label cch, file-system cch
//   GetDriveTypeW                     root
//   GetDiskFreeSpaceExW               directory
//   CloseHandle                       handle
//   GetModuleHandleExW                flags, module name (the address, as an
//                                     integer, with ..._FROM_ADDRESS)
//   RegisterClassExW                  class name, size, style, procedure,
//                                     class and window extra bytes,
//                                     instance, icon, cursor, background,
//                                     menu name, small icon
//   UnregisterClassW                  class name, instance
//   CreateWindowExW                   class, extended style, style, parent,
//                                     instance, window name, x, y, width,
//                                     height, menu, creation parameter
//   DestroyWindow                     hwnd
//   IsWindow                          hwnd
//   DefWindowProcW                    hwnd, msg, wparam
//   SetPropW                          hwnd, name, value
//   GetPropW                          hwnd, name
//   RemovePropW                       hwnd, name
//   RegisterDeviceNotificationW       recipient, filter device type, flags;
//                                     for a device-interface filter also
//                                     its size, reserved field, class GUID
//                                     (text) and first name unit
//   UnregisterDeviceNotification      notification handle
//   WaitMessage                       -
//   PeekMessageW                      hwnd, min, max, remove flags
//   GetMessageW                       hwnd, min, max
//   TranslateMessage                  hwnd, msg
//   DispatchMessageW                  hwnd, msg, wparam
//   PostMessageW                      hwnd, msg, wparam, lparam
//   PostThreadMessageW                thread id, msg, wparam, lparam
//   SendMessageW                      hwnd, msg, wparam, lparam
//   PostQuitMessage                   exit code
//
// A call failed by a rule does nothing but set the last error and return
// the function's failure value: INVALID_HANDLE_VALUE (FindFirstVolumeW),
// DRIVE_UNKNOWN (GetDriveTypeW), -1 (GetMessageW), 0 (RegisterClassExW,
// DefWindowProcW, SendMessageW, DispatchMessageW), null (CreateWindowExW,
// GetPropW, RemovePropW, RegisterDeviceNotificationW, and the module handle
// of GetModuleHandleExW), FALSE for the others, TranslateMessage included;
// PostQuitMessage posts nothing.
//
// Also recorded, never failing: GetCurrentThreadId (no arguments), and
// "WndProc" (hwnd, msg, wparam) each time a window procedure is entered.
// GetLastError and SetLastError are neither recorded nor counted.
const std::set<std::string>& FaultableFunctions() {
  static const std::set<std::string> names = {
      "FindFirstVolumeW",
      "FindNextVolumeW",
      "FindVolumeClose",
      "GetVolumePathNamesForVolumeNameW",
      "GetVolumeInformationW",
      "GetVolumeInformationByHandleW",
      "GetDriveTypeW",
      "GetDiskFreeSpaceExW",
      "CloseHandle",
      "GetModuleHandleExW",
      "RegisterClassExW",
      "UnregisterClassW",
      "CreateWindowExW",
      "DestroyWindow",
      "IsWindow",
      "DefWindowProcW",
      "SetPropW",
      "GetPropW",
      "RemovePropW",
      "RegisterDeviceNotificationW",
      "UnregisterDeviceNotification",
      "WaitMessage",
      "PeekMessageW",
      "GetMessageW",
      "TranslateMessage",
      "DispatchMessageW",
      "PostMessageW",
      "PostThreadMessageW",
      "SendMessageW",
      "PostQuitMessage",
  };
  return names;
}

}  // namespace

CallArg IntArg(int64_t value) { return CallArg(value); }

CallArg IntArg(const void* handle) {
  return CallArg(static_cast<int64_t>(reinterpret_cast<intptr_t>(handle)));
}

CallArg TextArg(LPCWSTR text) {
  if (text == nullptr || IsIntegerAtom(text)) return IntArg(text);
  return CallArg(WString(text));
}

void RecordCall(Machine& machine, const char* function,
                std::vector<CallArg> args) {
  if (machine.recording) machine.calls.push_back(Call{function, std::move(args)});
}

std::optional<DWORD> EnterCall(Machine& machine, const char* function,
                               std::vector<CallArg> args) {
  RecordCall(machine, function, std::move(args));
  // Every rule counts every call of its function; when several fail the same
  // call, the rule given first decides the error.
  std::optional<DWORD> error;
  for (FaultRule& rule : machine.faults) {
    if (rule.function != function) continue;
    if (rule.skip > 0) {
      --rule.skip;
      continue;
    }
    if (rule.remaining == 0) continue;
    if (!error) error = rule.error;
    if (rule.remaining > 0) --rule.remaining;
  }
  machine.faults.erase(
      std::remove_if(machine.faults.begin(), machine.faults.end(),
                     [](const FaultRule& rule) { return rule.remaining == 0; }),
      machine.faults.end());
  return error;
}

bool IsFaultableFunction(const std::string& function) {
  return FaultableFunctions().count(function) != 0;
}

void Fail(const std::string& function, DWORD error, int64_t nth,
          int64_t count) {
  if (!IsFaultableFunction(function) || count == 0) return;
  Machine& machine = TheMachine();
  MachineLock lock(machine.mutex);
  machine.faults.push_back(FaultRule{function, error, std::max<int64_t>(nth, 1) - 1,
                                     count < 0 ? -1 : count});
}

void RecordCalls(bool on) {
  Machine& machine = TheMachine();
  MachineLock lock(machine.mutex);
  machine.recording = on;
}

std::vector<Call> Calls() {
  Machine& machine = TheMachine();
  MachineLock lock(machine.mutex);
  return machine.calls;
}

void ClearCalls() {
  Machine& machine = TheMachine();
  MachineLock lock(machine.mutex);
  machine.calls.clear();
}

}  // namespace simwin
