// USER32 message queues: posting, looking at and waiting for messages, and
// dispatching them to window procedures. Messages that other threads sent
// are delivered inside PeekMessageW and GetMessageW before anything else,
// whatever their filters say.
#include <algorithm>

#include "call_gate.h"
#include "window_manager.h"

using namespace simwin;

namespace {

// Windows refuses to post a message whose parameters point at data the
// receiver would have to read after the sender moved on.
bool CarriesPointer(UINT message, WPARAM wparam) {
  switch (message) {
    case WM_CREATE:
    case WM_SETTEXT:
    case WM_GETTEXT:
    case WM_GETMINMAXINFO:
    case WM_WINDOWPOSCHANGING:
    case WM_WINDOWPOSCHANGED:
    case WM_COPYDATA:
    case WM_NCCREATE:
    case WM_NCCALCSIZE:
      return true;
    case WM_DEVICECHANGE:
      return (wparam & 0x8000) != 0;  // the DBT_ events with a record
    default:
      return false;
  }
}

// The most messages a queue holds, as Windows' default quota.
constexpr size_t kPostedMessageQuota = 10000;

BOOL PostToQueue(ThreadQueue& queue, uint64_t hwnd, UINT message, WPARAM wparam,
                 LPARAM lparam) {
  if (queue.posted.size() >= kPostedMessageQuota) return FailWith(ERROR_NOT_ENOUGH_QUOTA, FALSE);
  queue.posted.push_back(PostedMessage{hwnd, message, wparam, lparam, MessageTime()});
  queue.Arrived();
  return TRUE;
}

const HWND kThreadMessagesOnly = reinterpret_cast<HWND>(static_cast<intptr_t>(-1));

struct Filter {
  HWND hwnd;
  UINT min;
  UINT max;

  bool Matches(Machine& machine, const PostedMessage& message) const {
    if (hwnd == kThreadMessagesOnly) {
      if (message.hwnd != 0) return false;
    } else if (hwnd != nullptr && !IsSelfOrDescendant(machine, message.hwnd, HandleValue(hwnd))) {
      return false;
    }
    // (0, 0) means every message; so does a range that is upside down.
    if (min > max || (min == 0 && max == 0)) return true;
    return message.message >= min && message.message <= max;
  }
};

bool IsValidFilterWindow(Machine& machine, HWND hwnd) {
  return hwnd == nullptr || hwnd == kThreadMessagesOnly || LookUpWindow(machine, hwnd);
}

void Fill(MSG* out, const PostedMessage& message) {
  *out = MSG{};
  out->hwnd = WindowHandle(message.hwnd);
  out->message = message.message;
  out->wParam = message.wparam;
  out->lParam = message.lparam;
  out->time = message.time;
}

// One look at the queue: sent messages are delivered, then the first posted
// message that matches is taken; WM_QUIT comes when no posted one matches.
// Returns whether a message was retrieved into *out.
bool LookAtQueue(MachineLock& lock, ThreadQueue& self, const Filter& filter, bool remove,
                 MSG* out) {
  Machine& machine = TheMachine();
  DeliverSentMessages(lock, self);
  self.changed = false;
  auto found = std::find_if(self.posted.begin(), self.posted.end(),
                            [&](const PostedMessage& message) {
                              return filter.Matches(machine, message);
                            });
  if (found != self.posted.end()) {
    Fill(out, *found);
    if (remove) self.posted.erase(found);
    return true;
  }
  if (self.quit) {
    Fill(out, PostedMessage{0, WM_QUIT, static_cast<WPARAM>(self.quit_code), 0, MessageTime()});
    if (remove) self.quit = false;
    return true;
  }
  return false;
}

bool HasNews(const ThreadQueue& queue) { return queue.changed || !queue.sent.empty(); }

}  // namespace

BOOL WINAPI PostMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  Machine& machine = TheMachine();
  MachineLock lock(machine.mutex);
  if (auto fault = EnterCall(machine, "PostMessageW",
                             {IntArg(hWnd), IntArg(Msg), IntArg(static_cast<int64_t>(wParam)),
                              IntArg(static_cast<int64_t>(lParam))})) {
    return FailWith(*fault, FALSE);
  }
  if (CarriesPointer(Msg, wParam)) return FailWith(ERROR_MESSAGE_SYNC_ONLY, FALSE);
  if (hWnd == nullptr) return PostToQueue(*CurrentQueue(machine), 0, Msg, wParam, lParam);
  if (hWnd == HWND_BROADCAST) {
    const std::vector<WindowPtr> windows = machine.windows;
    for (const WindowPtr& window : windows) {
      if (IsTopLevel(*window)) PostToQueue(*window->owner, window->hwnd, Msg, wParam, lParam);
    }
    return TRUE;
  }
  WindowPtr window = LookUpWindow(machine, hWnd);
  if (!window) return FailWith(ERROR_INVALID_WINDOW_HANDLE, FALSE);
  return PostToQueue(*window->owner, window->hwnd, Msg, wParam, lParam);
}

BOOL WINAPI PostThreadMessageW(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam) {
  Machine& machine = TheMachine();
  MachineLock lock(machine.mutex);
  if (auto fault = EnterCall(machine, "PostThreadMessageW",
                             {IntArg(idThread), IntArg(Msg), IntArg(static_cast<int64_t>(wParam)),
                              IntArg(static_cast<int64_t>(lParam))})) {
    return FailWith(*fault, FALSE);
  }
  if (CarriesPointer(Msg, wParam)) return FailWith(ERROR_MESSAGE_SYNC_ONLY, FALSE);
  // Only a thread that has a message queue can receive thread messages.
  ThreadQueuePtr queue = idThread == CurrentThreadIdValue() ? CurrentQueue(machine)
                                                           : FindQueue(machine, idThread);
  if (!queue) return FailWith(ERROR_INVALID_THREAD_ID, FALSE);
  return PostToQueue(*queue, 0, Msg, wParam, lParam);
}

void WINAPI PostQuitMessage(int nExitCode) {
  Machine& machine = TheMachine();
  MachineLock lock(machine.mutex);
  if (auto fault = EnterCall(machine, "PostQuitMessage", {IntArg(nExitCode)})) {
    SetLastError(*fault);
    return;
  }
  ThreadQueuePtr queue = CurrentQueue(machine);
  queue->quit = true;
  queue->quit_code = nExitCode;
  queue->Arrived();
}

BOOL WINAPI PeekMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax,
                         UINT wRemoveMsg) {
  Machine& machine = TheMachine();
  MachineLock lock(machine.mutex);
  if (auto fault = EnterCall(machine, "PeekMessageW",
                             {IntArg(hWnd), IntArg(wMsgFilterMin), IntArg(wMsgFilterMax),
                              IntArg(wRemoveMsg)})) {
    return FailWith(*fault, FALSE);
  }
  if (lpMsg == nullptr) return FailWith(ERROR_NOACCESS, FALSE);
  if (!IsValidFilterWindow(machine, hWnd)) return FailWith(ERROR_INVALID_WINDOW_HANDLE, FALSE);
  ThreadQueuePtr self = CurrentQueue(machine);
  const Filter filter{hWnd, wMsgFilterMin, wMsgFilterMax};
  return LookAtQueue(lock, *self, filter, (wRemoveMsg & PM_REMOVE) != 0, lpMsg) ? TRUE : FALSE;
}

BOOL WINAPI GetMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax) {
  const BOOL kError = -1;
  Machine& machine = TheMachine();
  MachineLock lock(machine.mutex);
  if (auto fault = EnterCall(machine, "GetMessageW",
                             {IntArg(hWnd), IntArg(wMsgFilterMin), IntArg(wMsgFilterMax)})) {
    return FailWith(*fault, kError);
  }
  if (lpMsg == nullptr) return FailWith(ERROR_NOACCESS, kError);
  if (!IsValidFilterWindow(machine, hWnd)) return FailWith(ERROR_INVALID_WINDOW_HANDLE, kError);
  ThreadQueuePtr self = CurrentQueue(machine);
  const Filter filter{hWnd, wMsgFilterMin, wMsgFilterMax};
  while (!LookAtQueue(lock, *self, filter, true, lpMsg)) {
    self->wake.wait(lock, [&] { return HasNews(*self); });
  }
  return lpMsg->message == WM_QUIT ? FALSE : TRUE;
}

BOOL WINAPI WaitMessage(void) {
  Machine& machine = TheMachine();
  MachineLock lock(machine.mutex);
  if (auto fault = EnterCall(machine, "WaitMessage", {})) return FailWith(*fault, FALSE);
  ThreadQueuePtr self = CurrentQueue(machine);
  // Only what arrived since the thread last looked wakes it, and waking
  // counts as a look; a message sent to the thread wakes it until a
  // PeekMessageW or GetMessageW delivers it.
  self->wake.wait(lock, [&] { return HasNews(*self); });
  self->changed = false;
  return TRUE;
}

// Keyboard input never reaches this machine's queues, so there is nothing
// to translate into character messages; the result tells, as on Windows,
// whether the message is a key message.
BOOL WINAPI TranslateMessage(const MSG* lpMsg) {
  Machine& machine = TheMachine();
  MachineLock lock(machine.mutex);
  if (auto fault = EnterCall(machine, "TranslateMessage",
                             {IntArg(lpMsg != nullptr ? lpMsg->hwnd : nullptr),
                              IntArg(lpMsg != nullptr ? lpMsg->message : 0)})) {
    return FailWith(*fault, FALSE);
  }
  if (lpMsg == nullptr) return FALSE;
  switch (lpMsg->message) {
    case WM_KEYDOWN:
    case WM_KEYUP:
    case WM_SYSKEYDOWN:
    case WM_SYSKEYUP:
      return TRUE;
    default:
      return FALSE;
  }
}

LRESULT WINAPI DispatchMessageW(const MSG* lpMsg) {
  Machine& machine = TheMachine();
  MachineLock lock(machine.mutex);
  if (auto fault = EnterCall(
          machine, "DispatchMessageW",
          {IntArg(lpMsg != nullptr ? lpMsg->hwnd : nullptr),
           IntArg(lpMsg != nullptr ? lpMsg->message : 0),
           IntArg(lpMsg != nullptr ? static_cast<int64_t>(lpMsg->wParam) : 0)})) {
    return FailWith(*fault, LRESULT{0});
  }
  if (lpMsg == nullptr) return FailWith(ERROR_NOACCESS, LRESULT{0});
  if (lpMsg->hwnd == nullptr) return 0;  // thread messages have no procedure
  WindowPtr window = LookUpWindow(machine, lpMsg->hwnd);
  if (!window) return FailWith(ERROR_INVALID_WINDOW_HANDLE, LRESULT{0});
  if (!OwnedByCurrentThread(*window)) return FailWith(ERROR_MESSAGE_SYNC_ONLY, LRESULT{0});
  return CallWindowProcedure(lock, window, lpMsg->message, lpMsg->wParam, lpMsg->lParam);
}
