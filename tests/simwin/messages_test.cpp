// Per-thread message queues: posting, sending across threads, looking at
// and waiting for messages, and what happens when a thread ends.
#include <atomic>
#include <condition_variable>
#include <deque>

#include "support.h"

namespace simwin_test {
namespace {

constexpr UINT kPing = WM_USER + 7;

class MessagesTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    RegisterTestClass();
  }
};

TEST_F(MessagesTest, PostedMessagesQueueOnTheOwnerThread) {
  WindowThread owner;
  HWND hwnd = owner.Run([] { return CreateTestWindow(); });
  ASSERT_NE(hwnd, nullptr);
  EXPECT_EQ(simwin::Windows().at(0).thread, owner.id());

  std::promise<std::pair<WPARAM, LPARAM>> received;
  SetHandler([&](HWND window, UINT msg, WPARAM wparam, LPARAM lparam) -> LRESULT {
    if (msg == kPing) {
      EXPECT_EQ(GetCurrentThreadId(), owner.id());
      received.set_value({wparam, lparam});
    }
    return DefWindowProcW(window, msg, wparam, lparam);
  });
  ASSERT_TRUE(PostMessageW(hwnd, kPing, 3, -4));
  auto delivered = received.get_future();
  ASSERT_TRUE(Ready(delivered));
  EXPECT_EQ(delivered.get(), (std::pair<WPARAM, LPARAM>{3, -4}));
}

TEST_F(MessagesTest, PeekHonoursWindowAndRangeFiltersAndRemoval) {
  HWND first = CreateTestWindow();
  HWND second = CreateTestWindow();
  ASSERT_TRUE(PostMessageW(first, kPing, 1, 0));
  ASSERT_TRUE(PostMessageW(second, kPing + 1, 2, 0));
  ASSERT_TRUE(PostMessageW(nullptr, kPing + 2, 3, 0));  // a thread message

  MSG msg;
  const HWND kThreadOnly = AsWindow(static_cast<uint64_t>(-1));
  ASSERT_TRUE(PeekMessageW(&msg, kThreadOnly, 0, 0, PM_NOREMOVE));
  EXPECT_EQ(msg.hwnd, nullptr);
  EXPECT_EQ(msg.wParam, 3u);
  ASSERT_TRUE(PeekMessageW(&msg, second, 0, 0, PM_NOREMOVE));
  EXPECT_EQ(msg.wParam, 2u);
  ASSERT_TRUE(PeekMessageW(&msg, nullptr, kPing + 1, kPing + 2, PM_NOREMOVE));
  EXPECT_EQ(msg.wParam, 2u);
  EXPECT_FALSE(PeekMessageW(&msg, first, kPing + 1, kPing + 2, PM_REMOVE));

  std::vector<WPARAM> order;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) order.push_back(msg.wParam);
  EXPECT_EQ(order, (std::vector<WPARAM>{1, 2, 3}));
  EXPECT_FALSE(PeekMessageW(&msg, AsWindow(0x999), 0, 0, PM_REMOVE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
}

TEST_F(MessagesTest, PostingErrors) {
  EXPECT_FALSE(PostMessageW(AsWindow(0x999), kPing, 0, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
  HWND hwnd = CreateTestWindow();
  // Records behind a pointer cannot be posted.
  EXPECT_FALSE(PostMessageW(hwnd, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MESSAGE_SYNC_ONLY));
  EXPECT_TRUE(PostMessageW(hwnd, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0));

  // A thread without a queue has no thread messages.
  auto bare = std::async(std::launch::async, [] { return GetCurrentThreadId(); });
  ASSERT_TRUE(Ready(bare));
  EXPECT_FALSE(PostThreadMessageW(bare.get(), kPing, 0, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_THREAD_ID));
}

TEST_F(MessagesTest, DispatchCallsTheProcedureOfItsOwnWindowsOnly) {
  HWND hwnd = CreateTestWindow();
  SetHandler([](HWND window, UINT msg, WPARAM wparam, LPARAM lparam) -> LRESULT {
    if (msg == kPing) return static_cast<LRESULT>(wparam * 2);
    return DefWindowProcW(window, msg, wparam, lparam);
  });
  ASSERT_TRUE(PostMessageW(hwnd, kPing, 21, 0));
  MSG msg;
  ASSERT_TRUE(PeekMessageW(&msg, hwnd, 0, 0, PM_REMOVE));
  EXPECT_FALSE(TranslateMessage(&msg));
  EXPECT_EQ(DispatchMessageW(&msg), 42);
  msg.hwnd = nullptr;
  EXPECT_EQ(DispatchMessageW(&msg), 0);

  WindowThread other;
  HWND foreign = other.Run([] { return CreateTestWindow(); });
  msg.hwnd = foreign;
  EXPECT_EQ(DispatchMessageW(&msg), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MESSAGE_SYNC_ONLY));
}

TEST_F(MessagesTest, GetMessageEndsOnQuit) {
  ASSERT_TRUE(PostMessageW(nullptr, kPing, 0, 0));
  PostQuitMessage(7);
  MSG msg;
  EXPECT_EQ(GetMessageW(&msg, nullptr, 0, 0), TRUE);
  EXPECT_EQ(msg.message, kPing);
  EXPECT_EQ(GetMessageW(&msg, nullptr, 0, 0), FALSE);
  EXPECT_EQ(msg.message, static_cast<UINT>(WM_QUIT));
  EXPECT_EQ(msg.wParam, 7u);
  EXPECT_EQ(GetMessageW(&msg, AsWindow(0x999), 0, 0), -1);
}

TEST_F(MessagesTest, SendToOwnWindowIsADirectCall) {
  HWND hwnd = CreateTestWindow();
  std::atomic<DWORD> thread{0};
  SetHandler([&](HWND, UINT, WPARAM wparam, LPARAM) -> LRESULT {
    thread = GetCurrentThreadId();
    return static_cast<LRESULT>(wparam + 1);
  });
  EXPECT_EQ(SendMessageW(hwnd, kPing, 41, 0), 42);
  EXPECT_EQ(thread, GetCurrentThreadId());
  EXPECT_EQ(SendMessageW(AsWindow(0x999), kPing, 0, 0), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
}

// A thread that owns a window and pumps only when told to.
class IdleOwner {
 public:
  IdleOwner() {
    thread_ = std::thread([this] {
      hwnd_.set_value(CreateTestWindow());
      for (;;) {
        std::function<void()> step = steps_.Take();
        if (!step) break;
        step();
      }
      done_.set_value();
    });
    std::future<HWND> created = hwnd_.get_future();
    if (Ready(created)) window_ = created.get();
  }
  // A step still waiting for a message is woken, so a failed test ends.
  ~IdleOwner() {
    steps_.Give(nullptr);
    PostMessageW(window_, WM_NULL, 0, 0);
    std::future<void> finished = done_.get_future();
    if (Ready(finished)) {
      thread_.join();
    } else {
      ADD_FAILURE() << "the owner thread did not end";
      thread_.detach();
    }
  }
  HWND Window() const { return window_; }
  void Do(std::function<void()> step) { steps_.Give(std::move(step)); }

 private:
  struct Steps {
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<std::function<void()>> queue;
    void Give(std::function<void()> step) {
      std::lock_guard<std::mutex> lock(mutex);
      queue.push_back(std::move(step));
      ready.notify_all();
    }
    std::function<void()> Take() {
      std::unique_lock<std::mutex> lock(mutex);
      ready.wait(lock, [&] { return !queue.empty(); });
      std::function<void()> step = std::move(queue.front());
      queue.pop_front();
      return step;
    }
  };
  std::promise<HWND> hwnd_;
  std::promise<void> done_;
  HWND window_ = nullptr;
  Steps steps_;
  std::thread thread_;
};

TEST_F(MessagesTest, SendToAnotherThreadWaitsForItsPeekWhateverTheFilter) {
  IdleOwner owner;
  HWND hwnd = owner.Window();
  ASSERT_NE(hwnd, nullptr);
  std::atomic<bool> ran{false};
  SetHandler([&](HWND, UINT msg, WPARAM, LPARAM) -> LRESULT {
    if (msg == kPing) ran = true;
    return 99;
  });
  auto sent = std::async(std::launch::async, [hwnd] { return SendMessageW(hwnd, kPing, 0, 0); });
  EXPECT_FALSE(Ready(sent, kQuiet));
  EXPECT_FALSE(ran);

  // A peek whose filter matches nothing still delivers the sent message,
  // and then finds no posted message.
  std::promise<BOOL> peeked;
  owner.Do([&] {
    MSG msg;
    peeked.set_value(PeekMessageW(&msg, AsWindow(static_cast<uint64_t>(-1)), 1, 2, PM_REMOVE));
  });
  auto peek = peeked.get_future();
  ASSERT_TRUE(Ready(peek));
  EXPECT_FALSE(peek.get());
  ASSERT_TRUE(Ready(sent));
  EXPECT_EQ(sent.get(), 99);
  EXPECT_TRUE(ran);
}

TEST_F(MessagesTest, ThreadsSendingToEachOtherDoNotDeadlock) {
  WindowThread a;
  WindowThread b;
  HWND window_a = a.Run([] { return CreateTestWindow(); });
  HWND window_b = b.Run([] { return CreateTestWindow(); });
  SetHandler([&](HWND hwnd, UINT msg, WPARAM wparam, LPARAM) -> LRESULT {
    if (msg != kPing) return 0;
    // b's procedure calls back into a while a is blocked sending to b.
    if (hwnd == window_b) return SendMessageW(window_a, kPing, wparam + 1, 0) + 100;
    EXPECT_EQ(GetCurrentThreadId(), a.id());
    return static_cast<LRESULT>(wparam);
  });
  EXPECT_EQ(a.Run([&] { return SendMessageW(window_b, kPing, 1, 0); }), 102);
}

TEST_F(MessagesTest, WaitMessageWakesOnlyForNewMessages) {
  IdleOwner owner;
  ASSERT_NE(owner.Window(), nullptr);
  // The owner posts itself a message and looks at the queue without taking
  // it: that message is no longer news.
  std::promise<void> looked;
  owner.Do([&] {
    PostMessageW(nullptr, kPing, 0, 0);
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
    looked.set_value();
  });
  auto look = looked.get_future();
  ASSERT_TRUE(Ready(look));
  std::promise<BOOL> woke;
  owner.Do([&] { woke.set_value(WaitMessage()); });
  auto wait = woke.get_future();
  EXPECT_FALSE(Ready(wait, kQuiet));
  ASSERT_TRUE(PostMessageW(owner.Window(), kPing + 1, 0, 0));
  ASSERT_TRUE(Ready(wait));
  EXPECT_TRUE(wait.get());

  // Waking counted as a look: waiting again needs another new message.
  std::promise<BOOL> woke_again;
  owner.Do([&] { woke_again.set_value(WaitMessage()); });
  auto second_wait = woke_again.get_future();
  EXPECT_FALSE(Ready(second_wait, kQuiet));
  ASSERT_TRUE(PostThreadMessageW(static_cast<DWORD>(simwin::Windows().at(0).thread), kPing, 0, 0));
  ASSERT_TRUE(Ready(second_wait));
}

TEST_F(MessagesTest, WaitMessageWakesForASentMessage) {
  IdleOwner owner;
  HWND hwnd = owner.Window();
  ASSERT_NE(hwnd, nullptr);
  std::promise<BOOL> woke;
  owner.Do([&] {
    woke.set_value(WaitMessage());
    MSG msg;
    PeekMessageW(&msg, hwnd, 0, 0, PM_REMOVE);  // delivers the sent message
  });
  auto wait = woke.get_future();
  EXPECT_FALSE(Ready(wait, kQuiet));
  SetHandler([](HWND, UINT, WPARAM, LPARAM) -> LRESULT { return 5; });
  auto sent = std::async(std::launch::async, [hwnd] { return SendMessageW(hwnd, kPing, 0, 0); });
  ASSERT_TRUE(Ready(wait));
  ASSERT_TRUE(Ready(sent));
  EXPECT_EQ(sent.get(), 5);
}

TEST_F(MessagesTest, WindowsAreDestroyedWithTheirThread) {
  std::vector<std::pair<UINT, DWORD>> seen;
  std::mutex seen_mutex;
  SetHandler([&](HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
    if (msg == WM_DESTROY || msg == WM_NCDESTROY) {
      std::lock_guard<std::mutex> lock(seen_mutex);
      seen.emplace_back(msg, GetCurrentThreadId());
    }
    return DefWindowProcW(hwnd, msg, wparam, lparam);
  });
  DWORD thread_id = 0;
  HWND hwnd = nullptr;
  {
    WindowThread owner;
    thread_id = owner.id();
    hwnd = owner.Run([] {
      HWND window = CreateTestWindow();
      SetPropW(window, u"ARRIVE_CALLBACK", reinterpret_cast<HANDLE>(1));
      return window;
    });
    ASSERT_TRUE(IsWindow(hwnd));
    EXPECT_EQ(simwin::CountOpenObjects().props, 1);
  }
  EXPECT_FALSE(IsWindow(hwnd));
  EXPECT_EQ(simwin::CountOpenObjects().windows, 0);
  EXPECT_EQ(simwin::CountOpenObjects().props, 0);
  // The thread runs no code of its own any more: no destruction messages.
  EXPECT_EQ(seen, (std::vector<std::pair<UINT, DWORD>>{}));
  // Its queue went with it.
  EXPECT_FALSE(PostThreadMessageW(thread_id, kPing, 0, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_THREAD_ID));
}

TEST_F(MessagesTest, BoundedSendTimesOutAgainstAThreadThatNeverPumps) {
  IdleOwner owner;
  HWND hwnd = owner.Window();
  ASSERT_NE(hwnd, nullptr);
  std::atomic<int> calls{0};
  SetHandler([&](HWND, UINT msg, WPARAM, LPARAM) -> LRESULT {
    if (msg == kPing) ++calls;
    return 1;
  });
  const simwin::SendOutcome outcome = simwin::SendMessageWithTimeout(hwnd, kPing, 0, 0, 0.05);
  EXPECT_EQ(outcome.status, simwin::SendStatus::kTimedOut);
  // The withdrawn message never reaches the procedure.
  std::promise<void> pumped;
  owner.Do([&] {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    pumped.set_value();
  });
  auto pump = pumped.get_future();
  ASSERT_TRUE(Ready(pump));
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(simwin::SendMessageWithTimeout(AsWindow(0x999), kPing, 0, 0, 1.0).status,
            simwin::SendStatus::kInvalidWindow);
}

TEST_F(MessagesTest, BoundedSendInProgressCompletesWithoutItsSender) {
  WindowThread owner;
  HWND hwnd = owner.Run([] { return CreateTestWindow(); });
  std::promise<void> entered;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::promise<LRESULT> finished;
  SetHandler([&](HWND, UINT msg, WPARAM, LPARAM) -> LRESULT {
    if (msg != kPing) return 0;
    entered.set_value();
    released.wait_for(kWait);
    finished.set_value(77);
    return 77;
  });
  const simwin::SendOutcome outcome = simwin::SendMessageWithTimeout(hwnd, kPing, 0, 0, 0.2);
  auto started = entered.get_future();
  ASSERT_TRUE(Ready(started));
  EXPECT_EQ(outcome.status, simwin::SendStatus::kTimedOut);
  release.set_value();
  auto done = finished.get_future();
  ASSERT_TRUE(Ready(done));
  EXPECT_EQ(done.get(), 77);
  // The owner thread is still pumping normally.
  EXPECT_EQ(owner.Run([] { return 1; }), 1);
}

TEST_F(MessagesTest, SendToAWindowDestroyedMeanwhileFails) {
  IdleOwner owner;
  HWND hwnd = owner.Window();
  ASSERT_NE(hwnd, nullptr);
  auto sent = std::async(std::launch::async, [hwnd] {
    return simwin::SendMessageWithTimeout(hwnd, kPing, 0, 0, 10.0).status;
  });
  EXPECT_FALSE(Ready(sent, kQuiet));
  owner.Do([hwnd] { DestroyWindow(hwnd); });
  ASSERT_TRUE(Ready(sent));
  EXPECT_EQ(sent.get(), simwin::SendStatus::kInvalidWindow);
}

}  // namespace
}  // namespace simwin_test
