// windows.winwrap: the host's native helpers for the Windows modules. It
// publishes RaiseWindowsError in a table of native entry points, the way
// Cython exports C functions, so native modules bind to it directly.
#include <Python.h>

#include "host/winwrap.h"
#include "hostsim/winwrap/raise_windows_error.h"
#include "pyapi/args.h"
#include "pyapi/function_arguments.h"
#include "pyapi/object.h"
#include "pyapi/version.h"
#include "win32/win32.h"

namespace winwrap {
namespace {

PyDoc_STRVAR(kRaiseWindowsErrorDoc,
             "RaiseWindowsError(error_code=None, message=None)\n\n"
             "Raises WindowsError for error_code (default: the calling "
             "thread's last\nWin32 error) with message as its text "
             "(default: the system's message\nfor the code). Never "
             "returns.");

PyObject* RaiseWindowsErrorFromPython(PyObject* /*module*/, PyObject* args,
                                      PyObject* kwargs) {
  // Read first: the code defaults to the error of the caller's last call.
  const int last_error = static_cast<int>(GetLastError());
  static const char* keywords[] = {"error_code", "message", nullptr};
  PyObject* error_code = Py_None;
  PyObject* message = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OO:RaiseWindowsError",
                                   const_cast<char**>(keywords), &error_code,
                                   &message)) {
    return nullptr;
  }
  host::RaiseWindowsErrorOptionalArgs optional = {0, last_error, nullptr};
  if (error_code != Py_None) {
    int64_t code = 0;
    if (!py::ToInt64(error_code, &code)) return nullptr;
    if (code < INT32_MIN || code > UINT32_MAX) {
      PyErr_SetString(PyExc_OverflowError,
                      "error_code does not fit a Win32 error code");
      return nullptr;
    }
    optional.count = 1;
    optional.error_code = static_cast<int>(static_cast<uint32_t>(code));
  }
  if (message != Py_None) {
    optional.count = 2;
    optional.message = message;
  }
  return RaiseWindowsError(0, &optional);
}

PyMethodDef kMethods[] = {
    {"RaiseWindowsError", py::AsCFunction(RaiseWindowsErrorFromPython),
     METH_VARARGS | METH_KEYWORDS, kRaiseWindowsErrorDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyDoc_STRVAR(kModuleDoc,
             "Native helpers of the Windows modules.\n\n"
             "__pyx_capi__ maps the name of each native entry point to a "
             "capsule named\nby its C signature.");

bool AddNativeEntryTable(PyObject* module) {
  py::Object table = py::Object::Steal(PyDict_New());
  if (!table) return false;
  host::RaiseWindowsErrorFunction entry = &RaiseWindowsError;
  py::Object capsule = py::Object::Steal(
      PyCapsule_New(reinterpret_cast<void*>(entry),
                    host::kRaiseWindowsErrorSignature, nullptr));
  if (!capsule) return false;
  if (PyDict_SetItemString(table.get(), host::kRaiseWindowsErrorName,
                           capsule.get()) != 0) {
    return false;
  }
  return PyObject_SetAttrString(module, host::kNativeEntryTableAttribute,
                                table.get()) == 0;
}

}  // namespace
}  // namespace winwrap

PYAPI_MODULE_INIT(winwrap) {
  PyObject* module = py::CreateModule("winwrap", winwrap::kMethods,
                                      winwrap::kModuleDoc);  // borrowed
  if (module != nullptr) winwrap::AddNativeEntryTable(module);
  return py::FinishModuleLoad();
}
