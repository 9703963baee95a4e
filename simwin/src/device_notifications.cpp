// USER32 device notifications: RegisterDeviceNotificationW and
// UnregisterDeviceNotification.
//
// A registration outlives its window, as on Windows: destroying the window
// stops the deliveries, and the handle stays open until it is unregistered.
#include <algorithm>

#include "call_gate.h"
#include "text.h"
#include "window_manager.h"

using namespace simwin;

namespace {

// A recorded call carries the recipient, the filter's device type and the
// flags; for a device-interface filter, then its size, reserved field,
// class GUID (as text) and the first unit of its name.
std::vector<CallArg> RegistrationArgs(HANDLE recipient, const DEV_BROADCAST_HDR* filter,
                                      DWORD flags) {
  std::vector<CallArg> args = {IntArg(recipient),
                               IntArg(filter != nullptr ? filter->dbch_devicetype : 0),
                               IntArg(flags)};
  if (filter != nullptr && filter->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE &&
      filter->dbch_size >= sizeof(DEV_BROADCAST_DEVICEINTERFACE_W)) {
    const auto* interface_filter = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(filter);
    args.push_back(IntArg(interface_filter->dbcc_size));
    args.push_back(IntArg(interface_filter->dbcc_reserved));
    args.push_back(CallArg(GuidText(interface_filter->dbcc_classguid)));
    args.push_back(IntArg(interface_filter->dbcc_name[0]));
  }
  return args;
}

}  // namespace

HDEVNOTIFY WINAPI RegisterDeviceNotificationW(HANDLE hRecipient, LPVOID NotificationFilter,
                                              DWORD Flags) {
  const HDEVNOTIFY kFailed = nullptr;
  const auto* filter = static_cast<const DEV_BROADCAST_HDR*>(NotificationFilter);
  Machine& machine = TheMachine();
  MachineLock lock(machine.mutex);
  if (auto fault = EnterCall(machine, "RegisterDeviceNotificationW",
                             RegistrationArgs(hRecipient, filter, Flags))) {
    return FailWith(*fault, kFailed);
  }
  constexpr DWORD kKnownFlags = DEVICE_NOTIFY_SERVICE_HANDLE | DEVICE_NOTIFY_ALL_INTERFACE_CLASSES;
  if ((Flags & ~kKnownFlags) != 0) return FailWith(ERROR_INVALID_PARAMETER, kFailed);
  const bool window_recipient = (Flags & DEVICE_NOTIFY_SERVICE_HANDLE) == 0;
  if (window_recipient && !LookUpWindow(machine, static_cast<HWND>(hRecipient))) {
    return FailWith(ERROR_INVALID_WINDOW_HANDLE, kFailed);
  }
  if (filter == nullptr) return FailWith(ERROR_INVALID_DATA, kFailed);

  Registration registration;
  registration.recipient = HandleValue(hRecipient);
  registration.window_recipient = window_recipient;
  registration.devicetype = filter->dbch_devicetype;
  switch (filter->dbch_devicetype) {
    case DBT_DEVTYP_DEVICEINTERFACE: {
      if (filter->dbch_size < sizeof(DEV_BROADCAST_DEVICEINTERFACE_W)) {
        return FailWith(ERROR_INVALID_DATA, kFailed);
      }
      const auto* interface_filter =
          static_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(NotificationFilter);
      registration.class_guid = interface_filter->dbcc_classguid;
      registration.all_classes = (Flags & DEVICE_NOTIFY_ALL_INTERFACE_CLASSES) != 0;
      break;
    }
    case DBT_DEVTYP_HANDLE: {
      if (filter->dbch_size < sizeof(DEV_BROADCAST_HANDLE)) {
        return FailWith(ERROR_INVALID_DATA, kFailed);
      }
      const auto* handle_filter = static_cast<const DEV_BROADCAST_HANDLE*>(NotificationFilter);
      if (machine.file_handles.count(HandleValue(handle_filter->dbch_handle)) == 0) {
        return FailWith(ERROR_INVALID_HANDLE, kFailed);
      }
      break;
    }
    default:
      return FailWith(ERROR_INVALID_DATA, kFailed);
  }
  registration.handle = machine.next_notification;
  machine.next_notification += 0x10;
  machine.registrations.push_back(registration);
  return reinterpret_cast<HDEVNOTIFY>(static_cast<uintptr_t>(registration.handle));
}

BOOL WINAPI UnregisterDeviceNotification(HDEVNOTIFY Handle) {
  Machine& machine = TheMachine();
  MachineLock lock(machine.mutex);
  if (auto fault = EnterCall(machine, "UnregisterDeviceNotification", {IntArg(Handle)})) {
    return FailWith(*fault, FALSE);
  }
  auto& registrations = machine.registrations;
  auto found = std::find_if(registrations.begin(), registrations.end(),
                            [&](const Registration& registration) {
                              return registration.handle == HandleValue(Handle);
                            });
  if (found == registrations.end()) return FailWith(ERROR_INVALID_HANDLE, FALSE);
  registrations.erase(found);
  return TRUE;
}
