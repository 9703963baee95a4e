// The texts Windows gives for the Win32 error codes the application meets.
#pragma once

namespace winwrap {

// The system's message for `error_code`, or "Unknown error".
const char* SystemMessageText(int error_code);

}  // namespace winwrap
