// The parts of the `simwin` control module, one table of functions per
// concern, put together by simwinmodule.cpp.
#pragma once

#include <Python.h>

namespace simwin_module {

extern PyMethodDef kMachineFunctions[];     // machine.cpp
extern PyMethodDef kCallFunctions[];        // calls.cpp
extern PyMethodDef kWindowFunctions[];      // windows.cpp
extern PyMethodDef kTestWindowFunctions[];  // test_windows.cpp

// simwin.Timeout (borrowed; set once the module is initialised).
PyObject* TimeoutType();

// Drops what the test windows keep for windows that no longer exist;
// reset() calls it after the machine forgot every window.
void ForgetTestWindows();

}  // namespace simwin_module
