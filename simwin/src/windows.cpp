// USER32 windows: creation with the messages Windows sends, destruction,
// IsWindow and DefWindowProcW.
#include <algorithm>

#include "call_gate.h"
#include "text.h"
#include "window_classes.h"
#include "window_manager.h"

using namespace simwin;

namespace {

bool IsAlive(Machine& machine, const WindowPtr& window) {
  return std::find(machine.windows.begin(), machine.windows.end(), window) !=
         machine.windows.end();
}

uint64_t AllocateWindowHandle(Machine& machine) {
  if (machine.forced_hwnd) {
    const uint64_t forced = *machine.forced_hwnd;
    machine.forced_hwnd.reset();
    if (forced != 0 && !LookUpWindow(machine, forced)) return forced;
  }
  uint64_t value;
  do {
    value = machine.next_hwnd;
    machine.next_hwnd += 2;
  } while (LookUpWindow(machine, value));
  return value;
}

}  // namespace

namespace simwin {

WindowPtr LookUpWindow(Machine& machine, uint64_t hwnd) {
  if (hwnd == 0) return nullptr;
  for (const WindowPtr& window : machine.windows) {
    if (window->hwnd == hwnd) return window;
  }
  return nullptr;
}

bool OwnedByCurrentThread(const Window& window) {
  return window.owner && window.owner->thread == CurrentThreadIdValue();
}

bool IsTopLevel(const Window& window) {
  return !window.message_only && (window.style & WS_CHILD) == 0;
}

bool IsSelfOrDescendant(Machine& machine, uint64_t window, uint64_t ancestor) {
  for (WindowPtr current = LookUpWindow(machine, window); current;) {
    if (current->hwnd == ancestor) return true;
    if ((current->style & WS_CHILD) == 0) break;
    current = LookUpWindow(machine, current->parent);
  }
  return false;
}

LRESULT CallWindowProcedure(MachineLock& lock, const WindowPtr& window, UINT message,
                            WPARAM wparam, LPARAM lparam) {
  Machine& machine = TheMachine();
  RecordCall(machine, "WndProc",
             {IntArg(static_cast<int64_t>(window->hwnd)), IntArg(message),
              IntArg(static_cast<int64_t>(wparam))});
  const WNDPROC procedure = window->window_class->procedure;
  const HWND hwnd = WindowHandle(window->hwnd);
  lock.unlock();
  // A class registered without a procedure behaves as the default one.
  const LRESULT result = procedure != nullptr ? procedure(hwnd, message, wparam, lparam)
                                              : DefWindowProcW(hwnd, message, wparam, lparam);
  lock.lock();
  return result;
}

void ForgetWindow(Machine& machine, const WindowPtr& window) {
  window->destroying = true;
  machine.windows.erase(std::remove(machine.windows.begin(), machine.windows.end(), window),
                        machine.windows.end());
  window->props.clear();
  ThreadQueue& owner = *window->owner;
  owner.posted.erase(std::remove_if(owner.posted.begin(), owner.posted.end(),
                                    [&](const PostedMessage& message) {
                                      return message.hwnd == window->hwnd;
                                    }),
                     owner.posted.end());
  for (auto it = owner.sent.begin(); it != owner.sent.end();) {
    if ((*it)->hwnd == window->hwnd) {
      FinishSentMessage(**it, SentMessage::State::kFailed, 0);
      it = owner.sent.erase(it);
    } else {
      ++it;
    }
  }
}

void DestroyWindowTree(MachineLock& lock, const WindowPtr& window) {
  Machine& machine = TheMachine();
  if (window->destroying) return;
  window->destroying = true;
  CallWindowProcedure(lock, window, WM_DESTROY, 0, 0);
  // Children and owned windows go before the window's own WM_NCDESTROY.
  for (;;) {
    WindowPtr child;
    for (const WindowPtr& candidate : machine.windows) {
      if (candidate->parent == window->hwnd && !candidate->destroying) {
        child = candidate;
        break;
      }
    }
    if (!child) break;
    // A window of another thread cannot run its procedure here; it is
    // removed without its destruction messages.
    if (OwnedByCurrentThread(*child)) {
      DestroyWindowTree(lock, child);
    } else {
      ForgetWindow(machine, child);
    }
  }
  // Reset may have forgotten the window while its procedure ran.
  if (IsAlive(machine, window)) CallWindowProcedure(lock, window, WM_NCDESTROY, 0, 0);
  ForgetWindow(machine, window);
}

void NextWindowHandle(uint64_t value) {
  Machine& machine = TheMachine();
  MachineLock lock(machine.mutex);
  machine.forced_hwnd = value;
}

}  // namespace simwin

HWND WINAPI CreateWindowExW(DWORD dwExStyle, LPCWSTR lpClassName, LPCWSTR lpWindowName,
                            DWORD dwStyle, int X, int Y, int nWidth, int nHeight,
                            HWND hWndParent, HMENU hMenu, HINSTANCE hInstance,
                            LPVOID lpParam) {
  const HWND kFailed = nullptr;
  Machine& machine = TheMachine();
  MachineLock lock(machine.mutex);
  if (auto fault = EnterCall(machine, "CreateWindowExW",
                             {TextArg(lpClassName), IntArg(dwExStyle), IntArg(dwStyle),
                              IntArg(hWndParent), IntArg(hInstance), TextArg(lpWindowName),
                              IntArg(X), IntArg(Y), IntArg(nWidth), IntArg(nHeight),
                              IntArg(hMenu), IntArg(lpParam)})) {
    return FailWith(*fault, kFailed);
  }
  const bool message_only = hWndParent == HWND_MESSAGE;
  if (hWndParent != nullptr && !message_only && !LookUpWindow(machine, hWndParent)) {
    return FailWith(ERROR_INVALID_WINDOW_HANDLE, kFailed);
  }
  if ((dwStyle & WS_CHILD) != 0 && hWndParent == nullptr) {
    return FailWith(ERROR_TLW_WITH_WSCHILD, kFailed);
  }
  WindowClassPtr window_class = FindWindowClass(machine, lpClassName, hInstance);
  if (!window_class) return FailWith(ERROR_CANNOT_FIND_WND_CLASS, kFailed);

  auto window = std::make_shared<Window>();
  window->hwnd = AllocateWindowHandle(machine);
  window->window_class = std::move(window_class);
  window->owner = CurrentQueue(machine);
  window->parent = message_only ? 0 : HandleValue(hWndParent);
  window->message_only = message_only;
  window->style = dwStyle;
  machine.windows.push_back(window);

  CREATESTRUCTW create{lpParam, hInstance,    hMenu,       hWndParent,
                       nHeight, nWidth,       Y,           X,
                       static_cast<LONG>(dwStyle), lpWindowName, lpClassName, dwExStyle};
  const auto create_param = reinterpret_cast<LPARAM>(&create);
  // The sequence Windows sends to a new window; a procedure may destroy the
  // window on the way, and then creation fails.
  if ((dwStyle & WS_THICKFRAME) != 0 || (dwStyle & (WS_POPUP | WS_CHILD)) == 0) {
    MINMAXINFO min_max{};
    CallWindowProcedure(lock, window, WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&min_max));
    if (!IsAlive(machine, window)) return kFailed;
  }
  if (CallWindowProcedure(lock, window, WM_NCCREATE, 0, create_param) == 0) {
    // Nothing but the non-client part was made: only WM_NCDESTROY follows.
    if (IsAlive(machine, window) && !window->destroying) {
      window->destroying = true;
      CallWindowProcedure(lock, window, WM_NCDESTROY, 0, 0);
      ForgetWindow(machine, window);
    }
    return kFailed;
  }
  if (!IsAlive(machine, window)) return kFailed;
  RECT client{};
  CallWindowProcedure(lock, window, WM_NCCALCSIZE, FALSE, reinterpret_cast<LPARAM>(&client));
  if (!IsAlive(machine, window)) return kFailed;
  if (CallWindowProcedure(lock, window, WM_CREATE, 0, create_param) == -1) {
    if (IsAlive(machine, window)) DestroyWindowTree(lock, window);
    return kFailed;
  }
  if (!IsAlive(machine, window)) return kFailed;
  return WindowHandle(window->hwnd);
}

BOOL WINAPI DestroyWindow(HWND hWnd) {
  Machine& machine = TheMachine();
  MachineLock lock(machine.mutex);
  if (auto fault = EnterCall(machine, "DestroyWindow", {IntArg(hWnd)})) {
    return FailWith(*fault, FALSE);
  }
  WindowPtr window = LookUpWindow(machine, hWnd);
  if (!window) return FailWith(ERROR_INVALID_WINDOW_HANDLE, FALSE);
  if (!OwnedByCurrentThread(*window)) return FailWith(ERROR_ACCESS_DENIED, FALSE);
  // A DestroyWindow from inside the window's own destruction finds the work
  // under way and has nothing more to do.
  DestroyWindowTree(lock, window);
  return TRUE;
}

BOOL WINAPI IsWindow(HWND hWnd) {
  Machine& machine = TheMachine();
  MachineLock lock(machine.mutex);
  if (auto fault = EnterCall(machine, "IsWindow", {IntArg(hWnd)})) {
    return FailWith(*fault, FALSE);
  }
  return LookUpWindow(machine, hWnd) ? TRUE : FALSE;
}

LRESULT WINAPI DefWindowProcW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  (void)lParam;
  Machine& machine = TheMachine();
  MachineLock lock(machine.mutex);
  if (auto fault = EnterCall(machine, "DefWindowProcW",
                             {IntArg(hWnd), IntArg(Msg), IntArg(static_cast<int64_t>(wParam))})) {
    return FailWith(*fault, LRESULT{0});
  }
  switch (Msg) {
    case WM_NCCREATE:
    case WM_NCACTIVATE:
    case WM_QUERYENDSESSION:
    case WM_QUERYOPEN:
      return TRUE;
    case WM_CLOSE: {
      WindowPtr window = LookUpWindow(machine, hWnd);
      if (window && OwnedByCurrentThread(*window)) DestroyWindowTree(lock, window);
      return 0;
    }
    default:
      return 0;
  }
}
