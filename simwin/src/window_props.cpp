// USER32 window properties: SetPropW, GetPropW, RemovePropW. Property names
// are atoms, so they match without regard to case.
#include <algorithm>

#include "call_gate.h"
#include "text.h"
#include "window_manager.h"

using namespace simwin;

namespace {

using Property = std::pair<WString, HANDLE>;

std::vector<Property>::iterator FindProperty(Window& window, const WString& name) {
  return std::find_if(window.props.begin(), window.props.end(),
                      [&](const Property& property) { return EqualNoCase(property.first, name); });
}

}  // namespace

BOOL WINAPI SetPropW(HWND hWnd, LPCWSTR lpString, HANDLE hData) {
  Machine& machine = TheMachine();
  MachineLock lock(machine.mutex);
  if (auto fault = EnterCall(machine, "SetPropW",
                             {IntArg(hWnd), TextArg(lpString), IntArg(hData)})) {
    return FailWith(*fault, FALSE);
  }
  WindowPtr window = LookUpWindow(machine, hWnd);
  if (!window) return FailWith(ERROR_INVALID_WINDOW_HANDLE, FALSE);
  if (lpString == nullptr) return FailWith(ERROR_INVALID_PARAMETER, FALSE);
  const WString name = NameOrAtom(lpString);
  auto property = FindProperty(*window, name);
  if (property != window->props.end()) {
    property->second = hData;
  } else {
    window->props.emplace_back(name, hData);
  }
  return TRUE;
}

HANDLE WINAPI GetPropW(HWND hWnd, LPCWSTR lpString) {
  const HANDLE kNone = nullptr;
  Machine& machine = TheMachine();
  MachineLock lock(machine.mutex);
  if (auto fault = EnterCall(machine, "GetPropW", {IntArg(hWnd), TextArg(lpString)})) {
    return FailWith(*fault, kNone);
  }
  WindowPtr window = LookUpWindow(machine, hWnd);
  if (!window) return FailWith(ERROR_INVALID_WINDOW_HANDLE, kNone);
  auto property = FindProperty(*window, NameOrAtom(lpString));
  return property != window->props.end() ? property->second : kNone;
}

HANDLE WINAPI RemovePropW(HWND hWnd, LPCWSTR lpString) {
  const HANDLE kNone = nullptr;
  Machine& machine = TheMachine();
  MachineLock lock(machine.mutex);
  if (auto fault = EnterCall(machine, "RemovePropW", {IntArg(hWnd), TextArg(lpString)})) {
    return FailWith(*fault, kNone);
  }
  WindowPtr window = LookUpWindow(machine, hWnd);
  if (!window) return FailWith(ERROR_INVALID_WINDOW_HANDLE, kNone);
  auto property = FindProperty(*window, NameOrAtom(lpString));
  if (property == window->props.end()) return kNone;
  const HANDLE value = property->second;
  window->props.erase(property);
  return value;
}
