#include "simwin/api.h"

namespace {
// Per thread, as on Windows.
thread_local DWORD last_error = 0;
}  // namespace

DWORD WINAPI GetLastError(void) { return last_error; }
void WINAPI SetLastError(DWORD error) { last_error = error; }
