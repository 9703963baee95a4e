// The host module windows.winwrap as the two deliverables see it.
//
// windows.winwrap publishes its native entry points the way Cython exports C
// functions: a module attribute "__pyx_capi__" holding a dictionary from
// function name to a capsule whose name is the function's C signature.
// Both texts live here only, so the binding side and the stand-in that
// provides the table cannot drift apart.
#pragma once

#include <Python.h>

namespace host {

// Optional arguments of RaiseWindowsError, as Cython lays them out for a
// function with defaulted parameters: the count given, then the fields.
struct RaiseWindowsErrorOptionalArgs {
  int count;       // how many of the fields below are given
  int error_code;  // read when count >= 1
  PyObject* message;  // read when count == 2
};

// Always raises WindowsError and returns nullptr. `skip_dispatch` is the
// flag of a Cython cpdef function; callers pass 0.
using RaiseWindowsErrorFunction =
    PyObject* (*)(int skip_dispatch, RaiseWindowsErrorOptionalArgs* optional);

constexpr const char kWinwrapModuleName[] = "windows.winwrap";
constexpr const char kNativeEntryTableAttribute[] = "__pyx_capi__";
constexpr const char kRaiseWindowsErrorName[] = "RaiseWindowsError";
constexpr const char kRaiseWindowsErrorSignature[] =
    "PyObject *(int __pyx_skip_dispatch, "
    "struct __pyx_opt_args_7windows_7winwrap_RaiseWindowsError "
    "*__pyx_optional_args)";

// Imports windows.winwrap and returns its RaiseWindowsError, or nullptr with
// an exception pending (ImportError or TypeError with the host's texts).
RaiseWindowsErrorFunction BindRaiseWindowsError();

// Calls `bound`, the RaiseWindowsError that the load of `module_name` bound,
// with `optional` (null for the thread's last Win32 error). Always returns
// nullptr with an exception pending: SystemError "<module_name> did not
// finish loading: RaiseWindowsError is not bound" when a load that stopped
// early left `bound` null (the module's first functions stay reachable
// through sys.modules), and SystemError "windows.winwrap.RaiseWindowsError
// returned without raising" should it not raise, so the failure being
// reported never passes as a result.
PyObject* CallRaiseWindowsError(RaiseWindowsErrorFunction bound,
                                const char* module_name,
                                RaiseWindowsErrorOptionalArgs* optional);

}  // namespace host
