// The window procedure of the class "DriveDeviceMonitor" and the handling
// of the volume events it receives.
#pragma once

#include "win32/win32.h"

namespace plugwatch {

// Volume arrivals and completed removals go to HandleEvent; WM_CLOSE is
// answered without closing; everything else goes to DefWindowProcW. Runs on
// the window's thread without the interpreter lock.
LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wparam,
                                 LPARAM lparam);

// Calls the window's arrival (`arrival` true) or removal callable with the
// drive path of `header`. Never raises: failures are logged, judged fatal
// or not, and what cannot be handled goes to the unraisable report.
void HandleEvent(HWND window, const DEV_BROADCAST_HDR* header, bool arrival);

}  // namespace plugwatch
