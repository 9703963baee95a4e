// The native entry point that raises WindowsError for a Win32 failure.
#pragma once

#include "host/winwrap.h"

namespace winwrap {

// Of type host::RaiseWindowsErrorFunction. The code is `optional->error_code`
// when count >= 1, otherwise the calling thread's last Win32 error; the text
// is `optional->message` when count == 2, otherwise the system's message
// for the code. Raises the built-in WindowsError(code, text) and returns
// nullptr, always.
PyObject* RaiseWindowsError(int skip_dispatch,
                            host::RaiseWindowsErrorOptionalArgs* optional);

}  // namespace winwrap
