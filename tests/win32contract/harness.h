// A self-contained check harness for the Win32 contract program, so that the
// same program runs natively against the test double and as a Windows
// executable under Wine, where no test framework is installed.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "win32/win32.h"

namespace contract {

using WString = std::basic_string<WCHAR>;

// A departure of Wine from Windows' documented behaviour. A check tied to
// one is skipped (and reported by name) only when the program runs under
// Wine and the check fails there; on the test double it must pass.
struct WineLimitation {
  const char* name;
  const char* departure;
};

inline bool RunningUnderWine() {
#if defined(_WIN32)
  // Wine's ntdll exports its version query; Windows' does not.
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
  return false;
#endif
}

// Printable forms of checked values.
inline std::string Describe(const WString& text) {
  std::string printable = "\"";
  for (WCHAR unit : text) {
    if (unit >= 0x20 && unit < 0x7f) {
      printable += static_cast<char>(unit);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x",
                    static_cast<unsigned>(unit));
      printable += escaped;
    }
  }
  return printable + "\"";
}
inline std::string Describe(const WCHAR* text) {
  return text == nullptr ? std::string("null") : Describe(WString(text));
}
inline std::string Describe(const void* pointer) {
  char text[32];
  std::snprintf(text, sizeof text, "%p", pointer);
  return text;
}
inline std::string Describe(bool value) { return value ? "true" : "false"; }
template <typename Number,
          typename = std::enable_if_t<std::is_integral<Number>::value>>
std::string Describe(Number value) {
  return std::is_signed<Number>::value
             ? std::to_string(static_cast<long long>(value))
             : std::to_string(static_cast<unsigned long long>(value));
}

// Equality of checked values. Win32 constants and results differ in
// signedness between the platforms (234L against a DWORD), so integers are
// compared by value rather than through the usual conversions.
template <typename Left, typename Right>
bool SameValue(const Left& left, const Right& right) {
  if constexpr (std::is_integral<Left>::value &&
                std::is_integral<Right>::value) {
    return static_cast<unsigned long long>(left) ==
           static_cast<unsigned long long>(right);
  } else {
    return left == right;
  }
}

// Counts and prints the outcome of every check. Thread-safe.
class Report {
 public:
  static Report& Get() {
    static Report report;
    return report;
  }

  void BeginScenario(const char* name) {
    std::lock_guard<std::mutex> lock(mutex_);
    scenario_ = name;
    std::printf("[ scenario ] %s\n", name);
    std::fflush(stdout);
  }

  // What the machine under test looks like, for reading a failure.
  void Note(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::printf("             %s\n", text.c_str());
    std::fflush(stdout);
  }

  void Record(bool ok, const std::string& what, const char* file, int line) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (ok) {
      ++passed_;
      return;
    }
    ++failed_;
    std::printf("[   FAIL   ] %s: %s (%s:%d)\n", scenario_.c_str(),
                what.c_str(), file, line);
    std::fflush(stdout);
  }

  void RecordDocumented(const WineLimitation& limitation, bool ok,
                        const std::string& what, const char* file, int line) {
    if (ok || !RunningUnderWine()) {
      Record(ok, what, file, line);
      return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    skipped_.push_back(scenario_ + ": " + what + " -- Wine limitation " +
                       limitation.name + ": " + limitation.departure);
    std::printf("[   SKIP   ] %s\n", skipped_.back().c_str());
    std::fflush(stdout);
  }

  // Prints the summary; the process exit code.
  int Finish() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::printf("Win32 contract on %s:\n",
                RunningUnderWine() ? "Wine" : "the test double");
    for (const std::string& skip : skipped_) {
      std::printf("  skipped %s\n", skip.c_str());
    }
    std::printf("%d passed, %d failed, %d skipped\n", passed_, failed_,
                static_cast<int>(skipped_.size()));
    std::fflush(stdout);
    return failed_ == 0 && passed_ > 0 ? 0 : 1;
  }

 private:
  std::mutex mutex_;
  std::string scenario_;
  int passed_ = 0;
  int failed_ = 0;
  std::vector<std::string> skipped_;
};

// Ends the process with a failure if the scenario is not over in time, so a
// message that is never delivered fails the run instead of hanging it.
class Deadline {
 public:
  Deadline(const char* scenario, std::chrono::seconds limit)
      : watcher_([this, scenario, limit] {
          std::unique_lock<std::mutex> lock(mutex_);
          if (!over_.wait_for(lock, limit, [this] { return done_; })) {
            std::printf("[   FAIL   ] %s did not finish within %lld s\n",
                        scenario, static_cast<long long>(limit.count()));
            std::fflush(stdout);
            std::_Exit(2);
          }
        }) {}
  ~Deadline() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    over_.notify_all();
    watcher_.join();
  }
  Deadline(const Deadline&) = delete;
  Deadline& operator=(const Deadline&) = delete;

 private:
  std::mutex mutex_;
  std::condition_variable over_;
  bool done_ = false;
  std::thread watcher_;  // last: starts once the fields above exist
};

// A one-shot signal between two threads; waits are bounded.
class Signal {
 public:
  void Set() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      set_ = true;
    }
    changed_.notify_all();
  }
  // False when the signal did not come within `limit`.
  bool WaitFor(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [this] { return set_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool set_ = false;
};

}  // namespace contract

#define CONTRACT_CHECK(condition)                                      \
  ::contract::Report::Get().Record(static_cast<bool>(condition),       \
                                   #condition, __FILE__, __LINE__)

#define CONTRACT_EXPECT_EQ(expected, actual)                                  \
  do {                                                                        \
    const auto& contract_expected_ = (expected);                             \
    const auto& contract_actual_ = (actual);                                 \
    ::contract::Report::Get().Record(                                         \
        ::contract::SameValue(contract_expected_, contract_actual_),          \
        std::string(#actual " == " #expected " (expected ") +                 \
            ::contract::Describe(contract_expected_) + ", got " +            \
            ::contract::Describe(contract_actual_) + ")",                     \
        __FILE__, __LINE__);                                                  \
  } while (0)

// As CONTRACT_EXPECT_EQ, but a failure under Wine is the named limitation.
#define CONTRACT_EXPECT_EQ_DOCUMENTED(limitation, expected, actual)           \
  do {                                                                        \
    const auto& contract_expected_ = (expected);                             \
    const auto& contract_actual_ = (actual);                                 \
    ::contract::Report::Get().RecordDocumented(                               \
        limitation, ::contract::SameValue(contract_expected_, contract_actual_), \
        std::string(#actual " == " #expected " (expected ") +                 \
            ::contract::Describe(contract_expected_) + ", got " +            \
            ::contract::Describe(contract_actual_) + ")",                     \
        __FILE__, __LINE__);                                                  \
  } while (0)

// As CONTRACT_CHECK, but a failure under Wine is the named limitation.
#define CONTRACT_CHECK_DOCUMENTED(limitation, condition)                     \
  ::contract::Report::Get().RecordDocumented(                                \
      limitation, static_cast<bool>(condition), #condition, __FILE__,       \
      __LINE__)
