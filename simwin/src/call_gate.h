// The entry of every Win32 function of the double: the call is recorded and
// the fault rules decide whether it fails.
#pragma once

#include <optional>
#include <vector>

#include "machine_state.h"

namespace simwin {

// Arguments as recorded: handles and numbers as integers, strings as text
// (an atom or a null string as its integer value).
CallArg IntArg(int64_t value);
CallArg IntArg(const void* handle);
CallArg TextArg(LPCWSTR text);

// Records the call (when recording is on) and counts it against the fault
// rules; returns the error to fail with, if a rule makes this call fail.
// The caller holds the machine lock.
std::optional<DWORD> EnterCall(Machine& machine, const char* function,
                               std::vector<CallArg> args);

// Records without counting against fault rules (window procedure entries).
void RecordCall(Machine& machine, const char* function,
                std::vector<CallArg> args);

}  // namespace simwin
