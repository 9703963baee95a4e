#include "hostsim/winwrap/raise_windows_error.h"

#include "hostsim/winwrap/system_messages.h"
#include "pyapi/names.h"
#include "pyapi/object.h"
#include "pyapi/version.h"
#include "win32/win32.h"

namespace winwrap {

PyObject* RaiseWindowsError(int /*skip_dispatch*/,
                            host::RaiseWindowsErrorOptionalArgs* optional) {
  // Read before anything else can make a Win32 call on this thread.
  const int last_error = static_cast<int>(GetLastError());
  const int count = optional != nullptr ? optional->count : 0;
  const int error_code = count >= 1 ? optional->error_code : last_error;

  py::Object text;
  if (count >= 2 && optional->message != nullptr) {
    text = py::Object::Borrow(optional->message);
  } else {
    text = py::String(SystemMessageText(error_code));
  }
  py::Object code = py::IntFromLong(error_code);
  if (!text || !code) return nullptr;
  py::Object windows_error = py::LookupBuiltin("WindowsError");
  if (!windows_error) return nullptr;
  py::Object error = py::CallWith(windows_error, code, text);
  if (!error) return nullptr;
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())),
                  error.get());
  return nullptr;
}

}  // namespace winwrap
