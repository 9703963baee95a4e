// SendMessageW and the control module's bounded send: a message for a window
// of the calling thread is a direct call; one for another thread's window
// waits in that thread's queue until the thread looks at its messages, while
// the sender keeps answering messages sent to itself, so two threads sending
// to each other do not deadlock.
#include <algorithm>
#include <cmath>

#include "call_gate.h"
#include "window_manager.h"

using namespace simwin;

namespace {

bool IsFinished(const SentMessage& message) {
  return message.state != SentMessage::State::kQueued &&
         message.state != SentMessage::State::kRunning;
}

// Takes the oldest message sent to this thread and runs its procedure.
void DeliverOneSentMessage(MachineLock& lock, ThreadQueue& self) {
  SentMessagePtr message = self.sent.front();
  self.sent.pop_front();
  WindowPtr window = LookUpWindow(TheMachine(), message->hwnd);
  if (!window || window->owner.get() != &self) {
    FinishSentMessage(*message, SentMessage::State::kFailed, 0);
    return;
  }
  message->state = SentMessage::State::kRunning;
  const LRESULT result =
      CallWindowProcedure(lock, window, message->message, message->wparam, message->lparam);
  FinishSentMessage(*message, SentMessage::State::kDone, result);
}

}  // namespace

namespace simwin {

Deadline DeadlineAfter(double timeout_seconds) {
  // Beyond a year counts as for ever (and keeps the clock arithmetic sane).
  if (std::isnan(timeout_seconds) || timeout_seconds > 365.0 * 24 * 3600) return std::nullopt;
  const auto timeout = std::chrono::duration<double>(std::max(timeout_seconds, 0.0));
  return Clock::now() + std::chrono::duration_cast<Clock::duration>(timeout);
}

SentMessagePtr QueueSentMessage(const WindowPtr& window, UINT message, WPARAM wparam,
                                LPARAM lparam, std::shared_ptr<const void> record,
                                const ThreadQueuePtr& sender) {
  auto sent = std::make_shared<SentMessage>();
  sent->hwnd = window->hwnd;
  sent->message = message;
  sent->wparam = wparam;
  sent->lparam = lparam;
  sent->record = std::move(record);
  sent->receiver = window->owner;
  sent->sender = sender;
  ThreadQueue& receiver = *window->owner;
  receiver.sent.push_back(sent);
  receiver.Arrived();
  return sent;
}

void FinishSentMessage(SentMessage& message, SentMessage::State state, LRESULT result) {
  message.state = state;
  message.result = result;
  if (ThreadQueuePtr sender = message.sender.lock()) sender->wake.notify_all();
}

void DeliverSentMessages(MachineLock& lock, ThreadQueue& self) {
  while (!self.sent.empty()) DeliverOneSentMessage(lock, self);
}

void AwaitSentMessages(MachineLock& lock, ThreadQueue& self,
                       const std::vector<SentMessagePtr>& messages, Deadline deadline) {
  for (;;) {
    const bool all_finished = std::all_of(
        messages.begin(), messages.end(),
        [](const SentMessagePtr& message) { return IsFinished(*message); });
    if (all_finished) break;
    if (!self.sent.empty()) {
      DeliverOneSentMessage(lock, self);
      continue;
    }
    if (!deadline) {
      self.wake.wait(lock);
    } else if (self.wake.wait_until(lock, *deadline) == std::cv_status::timeout) {
      if (self.sent.empty()) break;
    }
  }
  for (const SentMessagePtr& message : messages) {
    if (message->state == SentMessage::State::kQueued) {
      if (ThreadQueuePtr receiver = message->receiver.lock()) {
        auto& queued = receiver->sent;
        queued.erase(std::remove(queued.begin(), queued.end(), message), queued.end());
      }
      message->state = SentMessage::State::kWithdrawn;
    }
    message->sender.reset();
  }
}

SendOutcome SendToWindow(MachineLock& lock, const WindowPtr& window, UINT message,
                         WPARAM wparam, LPARAM lparam, std::shared_ptr<const void> record,
                         Deadline deadline) {
  Machine& machine = TheMachine();
  if (OwnedByCurrentThread(*window)) {
    const LRESULT result = CallWindowProcedure(lock, window, message, wparam, lparam);
    return SendOutcome{SendStatus::kDelivered, result};
  }
  ThreadQueuePtr self = CurrentQueue(machine);
  SentMessagePtr sent =
      QueueSentMessage(window, message, wparam, lparam, std::move(record), self);
  AwaitSentMessages(lock, *self, {sent}, deadline);
  switch (sent->state) {
    case SentMessage::State::kDone:
      return SendOutcome{SendStatus::kDelivered, sent->result};
    case SentMessage::State::kFailed:
      return SendOutcome{SendStatus::kInvalidWindow, 0};
    default:
      return SendOutcome{SendStatus::kTimedOut, 0};
  }
}

void EmptyQueue(ThreadQueue& queue) {
  queue.posted.clear();
  for (const SentMessagePtr& message : queue.sent) {
    FinishSentMessage(*message, SentMessage::State::kFailed, 0);
  }
  queue.sent.clear();
  queue.quit = false;
  queue.changed = false;
}

SendOutcome SendMessageWithTimeout(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam,
                                   double timeout_seconds) {
  Machine& machine = TheMachine();
  MachineLock lock(machine.mutex);
  WindowPtr window = LookUpWindow(machine, hwnd);
  if (!window) return SendOutcome{SendStatus::kInvalidWindow, 0};
  return SendToWindow(lock, window, msg, wparam, lparam, nullptr,
                      DeadlineAfter(timeout_seconds));
}

}  // namespace simwin

LRESULT WINAPI SendMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  Machine& machine = TheMachine();
  MachineLock lock(machine.mutex);
  if (auto fault = EnterCall(machine, "SendMessageW",
                             {IntArg(hWnd), IntArg(Msg), IntArg(static_cast<int64_t>(wParam)),
                              IntArg(static_cast<int64_t>(lParam))})) {
    return FailWith(*fault, LRESULT{0});
  }
  WindowPtr window = LookUpWindow(machine, hWnd);
  if (!window) return FailWith(ERROR_INVALID_WINDOW_HANDLE, LRESULT{0});
  return SendToWindow(lock, window, Msg, wParam, lParam, nullptr, std::nullopt).result;
}
