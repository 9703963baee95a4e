#include "module_handle.h"

#include <dlfcn.h>
#include <link.h>

#include "call_gate.h"

using namespace simwin;

namespace {

int TakeFirstObject(struct dl_phdr_info* info, size_t, void* data) {
  for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& header = info->dlpi_phdr[i];
    if (header.p_type == PT_LOAD && header.p_offset == 0) {
      *static_cast<uintptr_t*>(data) = info->dlpi_addr + header.p_vaddr;
      break;
    }
  }
  return 1;  // the executable is listed first
}

}  // namespace

namespace simwin {

HMODULE MainModule() {
  uintptr_t base = 0;
  dl_iterate_phdr(TakeFirstObject, &base);
  return reinterpret_cast<HMODULE>(base);
}

}  // namespace simwin

BOOL WINAPI GetModuleHandleExW(DWORD dwFlags, LPCWSTR lpModuleName, HMODULE* phModule) {
  Machine& machine = TheMachine();
  MachineLock lock(machine.mutex);
  const bool from_address = (dwFlags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) != 0;
  const auto fault = EnterCall(
      machine, "GetModuleHandleExW",
      {IntArg(dwFlags), from_address ? IntArg(lpModuleName) : TextArg(lpModuleName)});
  lock.unlock();  // nothing below touches the machine

  // On failure the module handle is null, as Windows documents.
  if (phModule != nullptr) *phModule = nullptr;
  if (fault) return FailWith(*fault, FALSE);
  constexpr DWORD kKnownFlags = GET_MODULE_HANDLE_EX_FLAG_PIN |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT |
                                GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS;
  constexpr DWORD kExclusive =
      GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT;
  if (phModule == nullptr || (dwFlags & ~kKnownFlags) != 0 ||
      (dwFlags & kExclusive) == kExclusive) {
    return FailWith(ERROR_INVALID_PARAMETER, FALSE);
  }
  if (from_address) {
    Dl_info info{};
    if (dladdr(lpModuleName, &info) == 0 || info.dli_fbase == nullptr) {
      return FailWith(ERROR_MOD_NOT_FOUND, FALSE);
    }
    *phModule = static_cast<HMODULE>(info.dli_fbase);
    return TRUE;
  }
  if (lpModuleName == nullptr) {
    *phModule = MainModule();
    return TRUE;
  }
  // Modules are not looked up by file name on this machine.
  return FailWith(ERROR_MOD_NOT_FOUND, FALSE);
}
