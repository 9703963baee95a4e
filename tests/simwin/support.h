// What the double's tests share: a fresh machine per test, a window class
// whose procedure a test can script, threads that own windows and pump
// their messages, and bounded waits.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "simwin/control.h"

namespace simwin_test {

using simwin::WString;

// How long a test waits for something that should happen; a bug then fails
// the test instead of hanging it.
constexpr auto kWait = std::chrono::seconds(10);
// How long a test watches for something that must not happen.
constexpr auto kQuiet = std::chrono::milliseconds(150);

constexpr const char16_t* kTestClass = u"SimwinTestWindow";

// --- A scriptable window procedure -----------------------------------------

using Handler = std::function<LRESULT(HWND, UINT, WPARAM, LPARAM)>;

struct HandlerSlot {
  std::mutex mutex;
  Handler handler;
};
inline HandlerSlot& CurrentHandler() {
  static HandlerSlot slot;
  return slot;
}
// The behaviour of every window of the test class; unset: DefWindowProcW.
inline void SetHandler(Handler handler) {
  std::lock_guard<std::mutex> lock(CurrentHandler().mutex);
  CurrentHandler().handler = std::move(handler);
}

inline LRESULT CALLBACK TestWindowProcedure(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  Handler handler;
  {
    std::lock_guard<std::mutex> lock(CurrentHandler().mutex);
    handler = CurrentHandler().handler;
  }
  if (handler) return handler(hwnd, msg, wparam, lparam);
  return DefWindowProcW(hwnd, msg, wparam, lparam);
}

inline WNDCLASSEXW TestClassDescription(const char16_t* name, HINSTANCE instance = nullptr) {
  WNDCLASSEXW description{};
  description.cbSize = sizeof(description);
  description.lpfnWndProc = TestWindowProcedure;
  description.hInstance = instance;
  description.lpszClassName = name;
  return description;
}

inline ATOM RegisterTestClass(const char16_t* name = kTestClass) {
  const WNDCLASSEXW description = TestClassDescription(name);
  return RegisterClassExW(&description);
}

inline HWND CreateTestWindow(HWND parent = nullptr, DWORD style = 0,
                             const char16_t* class_name = kTestClass) {
  return CreateWindowExW(0, class_name, nullptr, style, CW_USEDEFAULT, CW_USEDEFAULT,
                         CW_USEDEFAULT, CW_USEDEFAULT, parent, nullptr, nullptr, nullptr);
}

// --- Machine set-up -------------------------------------------------------------

inline simwin::VolumeSpec VolumeNamed(const WString& name,
                                      std::vector<simwin::PathList> lists = {}) {
  simwin::VolumeSpec definition;
  definition.name = name;
  definition.path_lists = std::move(lists);
  return definition;
}

// The filter a window registers with for volume arrivals and removals.
inline DEV_BROADCAST_DEVICEINTERFACE_W VolumeInterfaceFilter() {
  DEV_BROADCAST_DEVICEINTERFACE_W filter{};
  filter.dbcc_size = sizeof(filter);
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = simwin::kVolumeInterfaceClass;
  return filter;
}

// --- Recorded calls -----------------------------------------------------------

inline uint64_t Value(const void* handle) {
  return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(handle));
}
inline HWND AsWindow(uint64_t value) { return reinterpret_cast<HWND>(static_cast<uintptr_t>(value)); }

inline simwin::CallArg Int(int64_t value) { return simwin::CallArg(value); }
inline simwin::CallArg Int(const void* handle) {
  return simwin::CallArg(static_cast<int64_t>(reinterpret_cast<intptr_t>(handle)));
}
inline simwin::CallArg Text(const char16_t* text) { return simwin::CallArg(WString(text)); }

inline std::vector<simwin::Call> CallsOf(const std::string& function) {
  std::vector<simwin::Call> matching;
  for (simwin::Call& call : simwin::Calls()) {
    if (call.function == function) matching.push_back(std::move(call));
  }
  return matching;
}

// The messages the procedure of `hwnd` was entered with, in order.
inline std::vector<UINT> MessagesSeen(HWND hwnd) {
  std::vector<UINT> messages;
  for (const simwin::Call& call : CallsOf("WndProc")) {
    if (call.args[0] == Int(hwnd) &&
        std::holds_alternative<int64_t>(call.args[1])) {
      messages.push_back(static_cast<UINT>(std::get<int64_t>(call.args[1])));
    }
  }
  return messages;
}

// --- Threads ------------------------------------------------------------------

template <typename T>
bool Ready(std::future<T>& future, std::chrono::milliseconds wait) {
  return future.wait_for(wait) == std::future_status::ready;
}
template <typename T>
bool Ready(std::future<T>& future) {
  return future.wait_for(kWait) == std::future_status::ready;
}

// A thread that owns a message queue and pumps it with GetMessageW; tests
// hand it work with Run, which is delivered as a posted thread message.
class WindowThread {
 public:
  static constexpr UINT kRunTask = 0x8000 + 0x51;  // WM_APP + n

  WindowThread() {
    std::future<DWORD> id = started_.get_future();
    thread_ = std::thread([this] { Main(); });
    if (!Ready(id)) {
      ADD_FAILURE() << "the window thread did not start";
      return;
    }
    id_ = id.get();
  }

  ~WindowThread() { Stop(); }

  WindowThread(const WindowThread&) = delete;
  WindowThread& operator=(const WindowThread&) = delete;

  DWORD id() const { return id_; }

  // Runs `task` on the thread, between two messages, and returns its result.
  template <typename Task>
  auto Run(Task task) -> decltype(task()) {
    using Result = decltype(task());
    auto packaged = std::make_shared<std::packaged_task<Result()>>(std::move(task));
    std::future<Result> result = packaged->get_future();
    auto* work = new std::function<void()>([packaged] { (*packaged)(); });
    if (!PostThreadMessageW(id_, kRunTask, 0, reinterpret_cast<LPARAM>(work))) {
      delete work;
      throw std::runtime_error("could not post to the window thread");
    }
    if (!Ready(result)) throw std::runtime_error("the window thread did not run the task");
    return result.get();
  }

  // Ends the pump and joins; true when the thread ended in time.
  bool Stop() {
    if (!thread_.joinable()) return true;
    PostThreadMessageW(id_, WM_QUIT, 0, 0);  // ends the GetMessageW loop
    if (!Ready(finished_)) {
      ADD_FAILURE() << "the window thread did not stop";
      thread_.detach();
      return false;
    }
    thread_.join();
    return true;
  }

 private:
  void Main() {
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);  // makes the queue
    started_.set_value(GetCurrentThreadId());
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
      if (msg.hwnd == nullptr && msg.message == kRunTask) {
        std::unique_ptr<std::function<void()>> work(
            reinterpret_cast<std::function<void()>*>(msg.lParam));
        (*work)();
        continue;
      }
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    done_.set_value();
  }

  std::promise<DWORD> started_;
  std::promise<void> done_;
  std::future<void> finished_ = done_.get_future();
  std::thread thread_;
  DWORD id_ = 0;
};

// Every test starts from the empty machine and leaves it empty.
class MachineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    simwin::Reset();
    SetHandler(nullptr);
  }
  void TearDown() override {
    SetHandler(nullptr);
    simwin::Reset();
  }
};

}  // namespace simwin_test
