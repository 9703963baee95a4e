// USER32 window classes: RegisterClassExW and UnregisterClassW.
#include "window_classes.h"

#include <algorithm>

#include "call_gate.h"
#include "module_handle.h"
#include "text.h"

using namespace simwin;

namespace {

bool IsGlobal(const WindowClass& window_class) {
  return (window_class.style & CS_GLOBALCLASS) != 0;
}

bool NameMatches(const WindowClass& window_class, LPCWSTR name) {
  if (IsIntegerAtom(name)) return window_class.atom == reinterpret_cast<uintptr_t>(name);
  return EqualNoCase(window_class.name, FromWide(name));
}

// Class names live in the atom table: one atom per name, whatever the case.
ATOM AtomFor(Machine& machine, const WString& name, LPCWSTR given) {
  if (IsIntegerAtom(given)) return static_cast<ATOM>(reinterpret_cast<uintptr_t>(given));
  const WString key = UpperCased(name);
  auto found = machine.atoms.find(key);
  if (found != machine.atoms.end()) return found->second;
  ATOM atom = machine.next_atom;
  machine.next_atom = static_cast<ATOM>(atom == 0xFFFF ? 0xC000 : atom + 1);
  machine.atoms[key] = atom;
  return atom;
}

void ReleaseAtomIfUnused(Machine& machine, const WString& name) {
  const bool used = std::any_of(machine.classes.begin(), machine.classes.end(),
                                [&](const std::shared_ptr<WindowClass>& window_class) {
                                  return EqualNoCase(window_class->name, name);
                                });
  if (!used) machine.atoms.erase(UpperCased(name));
}

// A recorded RegisterClassExW carries the class name, then the other fields
// of the description in their declaration order.
std::vector<CallArg> ClassDescriptionArgs(const WNDCLASSEXW* lpwcx) {
  if (lpwcx == nullptr) return {TextArg(nullptr)};
  return {TextArg(lpwcx->lpszClassName),
          IntArg(lpwcx->cbSize),
          IntArg(lpwcx->style),
          IntArg(reinterpret_cast<intptr_t>(lpwcx->lpfnWndProc)),
          IntArg(lpwcx->cbClsExtra),
          IntArg(lpwcx->cbWndExtra),
          IntArg(lpwcx->hInstance),
          IntArg(lpwcx->hIcon),
          IntArg(lpwcx->hCursor),
          IntArg(lpwcx->hbrBackground),
          TextArg(lpwcx->lpszMenuName),
          IntArg(lpwcx->hIconSm)};
}

HINSTANCE ModuleOrProgram(HINSTANCE instance) {
  return instance != nullptr ? instance : MainModule();
}

}  // namespace

namespace simwin {

WindowClassPtr FindWindowClass(Machine& machine, LPCWSTR name, HINSTANCE instance) {
  if (name == nullptr) return nullptr;
  instance = ModuleOrProgram(instance);
  for (const auto& window_class : machine.classes) {
    if (!IsGlobal(*window_class) && window_class->instance == instance &&
        NameMatches(*window_class, name)) {
      return window_class;
    }
  }
  for (const auto& window_class : machine.classes) {
    if (IsGlobal(*window_class) && NameMatches(*window_class, name)) return window_class;
  }
  return nullptr;
}

std::vector<WString> Classes() {
  Machine& machine = TheMachine();
  MachineLock lock(machine.mutex);
  std::vector<WString> names;
  for (const auto& window_class : machine.classes) names.push_back(window_class->name);
  return names;
}

}  // namespace simwin

ATOM WINAPI RegisterClassExW(const WNDCLASSEXW* lpwcx) {
  Machine& machine = TheMachine();
  MachineLock lock(machine.mutex);
  if (auto fault = EnterCall(machine, "RegisterClassExW", ClassDescriptionArgs(lpwcx))) {
    return FailWith(*fault, ATOM{0});
  }
  if (lpwcx == nullptr || lpwcx->cbSize != sizeof(WNDCLASSEXW) ||
      lpwcx->lpszClassName == nullptr) {
    return FailWith(ERROR_INVALID_PARAMETER, ATOM{0});
  }
  auto window_class = std::make_shared<WindowClass>();
  window_class->name = NameOrAtom(lpwcx->lpszClassName);
  window_class->instance = ModuleOrProgram(lpwcx->hInstance);
  window_class->style = lpwcx->style;
  window_class->procedure = lpwcx->lpfnWndProc;
  const bool exists = std::any_of(
      machine.classes.begin(), machine.classes.end(), [&](const auto& known) {
        return EqualNoCase(known->name, window_class->name) &&
               (IsGlobal(*known) ? IsGlobal(*window_class)
                                 : known->instance == window_class->instance);
      });
  if (exists) return FailWith(ERROR_CLASS_ALREADY_EXISTS, ATOM{0});
  window_class->atom = AtomFor(machine, window_class->name, lpwcx->lpszClassName);
  machine.classes.push_back(window_class);
  return window_class->atom;
}

BOOL WINAPI UnregisterClassW(LPCWSTR lpClassName, HINSTANCE hInstance) {
  Machine& machine = TheMachine();
  MachineLock lock(machine.mutex);
  if (auto fault = EnterCall(machine, "UnregisterClassW",
                             {TextArg(lpClassName), IntArg(hInstance)})) {
    return FailWith(*fault, FALSE);
  }
  const WindowClassPtr window_class = FindWindowClass(machine, lpClassName, hInstance);
  if (!window_class) return FailWith(ERROR_CLASS_DOES_NOT_EXIST, FALSE);
  const bool in_use = std::any_of(machine.windows.begin(), machine.windows.end(),
                                  [&](const WindowPtr& window) {
                                    return window->window_class == window_class;
                                  });
  if (in_use) return FailWith(ERROR_CLASS_HAS_WINDOWS, FALSE);
  machine.classes.erase(std::find(machine.classes.begin(), machine.classes.end(), window_class));
  ReleaseAtomIfUnused(machine, window_class->name);
  return TRUE;
}
