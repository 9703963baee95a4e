// What the window manager's files share: threads and their queues, window
// lookup, calls into window procedures and messages sent across threads.
// The caller holds the machine lock for every function here.
#pragma once

#include <chrono>
#include <optional>
#include <vector>

#include "machine_state.h"

namespace simwin {

using Clock = std::chrono::steady_clock;
using Deadline = std::optional<Clock::time_point>;  // none: wait for ever

// --- Threads (threads.cpp) ---------------------------------------------------

uint64_t CurrentThreadIdValue();
// The calling thread's queue, created on first use.
ThreadQueuePtr CurrentQueue(Machine& machine);
// A live thread's queue, or null.
ThreadQueuePtr FindQueue(Machine& machine, uint64_t thread);
// Milliseconds since the machine started, as MSG::time counts them.
DWORD MessageTime();

// --- Windows (windows.cpp) ----------------------------------------------------

WindowPtr LookUpWindow(Machine& machine, uint64_t hwnd);
inline WindowPtr LookUpWindow(Machine& machine, HWND hwnd) {
  return LookUpWindow(machine, HandleValue(hwnd));
}
bool OwnedByCurrentThread(const Window& window);
// Top-level windows receive broadcasts; children and message-only
// windows do not.
bool IsTopLevel(const Window& window);
// Whether `window` is `ancestor` or one of its descendants.
bool IsSelfOrDescendant(Machine& machine, uint64_t window, uint64_t ancestor);

// Calls the window procedure on the calling thread, recording the entry;
// the lock is released during the call.
LRESULT CallWindowProcedure(MachineLock& lock, const WindowPtr& window, UINT message,
                            WPARAM wparam, LPARAM lparam);

// DestroyWindow's work: WM_DESTROY, the children, WM_NCDESTROY, removal.
void DestroyWindowTree(MachineLock& lock, const WindowPtr& window);

// Removes a window without calling its procedure: its properties go, its
// posted messages are dropped and messages sent to it fail.
void ForgetWindow(Machine& machine, const WindowPtr& window);

// --- Messages sent across threads (sent_messages.cpp) -------------------------

// Queues a message for the window's owner thread without waiting for it.
SentMessagePtr QueueSentMessage(const WindowPtr& window, UINT message, WPARAM wparam,
                                LPARAM lparam, std::shared_ptr<const void> record,
                                const ThreadQueuePtr& sender);
// Runs the window procedures for every message other threads have sent to
// the calling thread, oldest first.
void DeliverSentMessages(MachineLock& lock, ThreadQueue& self);
void FinishSentMessage(SentMessage& message, SentMessage::State state, LRESULT result);
// Waits until every message is finished or the deadline passes, delivering
// messages sent to this thread meanwhile. Messages not started by then are
// withdrawn; those in progress finish without a waiting sender.
void AwaitSentMessages(MachineLock& lock, ThreadQueue& self,
                       const std::vector<SentMessagePtr>& messages, Deadline deadline);
// SendMessageW's work: a direct call on the owner thread, otherwise queued
// to the owner and waited for.
SendOutcome SendToWindow(MachineLock& lock, const WindowPtr& window, UINT message,
                         WPARAM wparam, LPARAM lparam,
                         std::shared_ptr<const void> record, Deadline deadline);
// Drops posted messages and fails the sent messages of a queue.
void EmptyQueue(ThreadQueue& queue);

Deadline DeadlineAfter(double timeout_seconds);

}  // namespace simwin
