// Modules of the process as Windows names them: an HMODULE is the address
// at which the module's image starts.
#pragma once

#include "simwin/api.h"

namespace simwin {

// The executable's module, which stands in where Windows takes a null
// instance handle to mean "the program".
HMODULE MainModule();

}  // namespace simwin
