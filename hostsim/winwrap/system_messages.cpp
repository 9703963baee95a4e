#include "hostsim/winwrap/system_messages.h"

namespace winwrap {
namespace {

struct SystemMessage {
  int error_code;
  const char* text;
};

// As FormatMessage gives them on an English system, without the line end.
constexpr SystemMessage kSystemMessages[] = {
    {0, "The operation completed successfully."},
    {1, "Incorrect function."},
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {8, "Not enough memory resources are available to process this "
        "command."},
    {13, "The data is invalid."},
    {14, "Not enough memory resources are available to complete this "
         "operation."},
    {18, "There are no more files."},
    {21, "The device is not ready."},
    {24, "The program issued a command but the command length is "
         "incorrect."},
    {31, "A device attached to the system is not functioning."},
    {87, "The parameter is incorrect."},
    {122, "The data area passed to a system call is too small."},
    {123, "The filename, directory name, or volume label syntax is "
          "incorrect."},
    {126, "The specified module could not be found."},
    {144, "The directory is not a subdirectory of the root directory."},
    {206, "The filename or extension is too long."},
    {234, "More data is available."},
    {1004, "Invalid flags."},
    {1400, "Invalid window handle."},
    {1407, "Cannot find window class."},
    {1408, "Invalid window; it belongs to other thread."},
    {1410, "Class already exists."},
    {1460, "This operation returned because the timeout period expired."},
};

}  // namespace

const char* SystemMessageText(int error_code) {
  for (const SystemMessage& message : kSystemMessages) {
    if (message.error_code == error_code) return message.text;
  }
  return "Unknown error";
}

}  // namespace winwrap
