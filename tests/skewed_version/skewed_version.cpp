// Preloaded (LD_PRELOAD) into a test's interpreter: reports the version in
// SKEWED_PYTHON_VERSION to every caller of Py_GetVersion outside the
// interpreter itself, so the extension modules load as if into an
// interpreter other than the one they were built for, while the
// interpreter's own sys.version stays true. Works where the interpreter
// is a shared library; a statically linked interpreter binds its own.
#include <dlfcn.h>

#include <cstdlib>

namespace {

using GetVersionFunction = const char* (*)();

GetVersionFunction InterpreterGetVersion() {
  static const auto function =
      reinterpret_cast<GetVersionFunction>(dlsym(RTLD_NEXT, "Py_GetVersion"));
  return function;
}

bool SameObject(const void* first, const void* second) {
  Dl_info first_info{};
  Dl_info second_info{};
  return dladdr(first, &first_info) != 0 &&
         dladdr(second, &second_info) != 0 &&
         first_info.dli_fbase == second_info.dli_fbase;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) const char* Py_GetVersion() {
  const GetVersionFunction interpreter = InterpreterGetVersion();
  const char* skewed = std::getenv("SKEWED_PYTHON_VERSION");
  const void* caller = __builtin_return_address(0);
  if (skewed != nullptr &&
      !SameObject(caller, reinterpret_cast<const void*>(interpreter))) {
    return skewed;
  }
  return interpreter != nullptr ? interpreter() : "";
}
