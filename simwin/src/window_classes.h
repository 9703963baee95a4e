// Window classes. The caller holds the machine lock.
#pragma once

#include "machine_state.h"

namespace simwin {

// The class CreateWindowExW gets for a class name or atom: a class of that
// module first, then an application-global class.
WindowClassPtr FindWindowClass(Machine& machine, LPCWSTR name, HINSTANCE instance);

}  // namespace simwin
