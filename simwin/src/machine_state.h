// The simulated machine: one process-wide state behind one mutex.
//
// Every Win32 function of the double and every control function locks
// `Machine::mutex` for its whole body, except while it calls a window
// procedure or waits for another thread: window procedures re-enter the API,
// and a waiting thread must let the others run.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "simwin/control.h"

namespace simwin {

using MachineLock = std::unique_lock<std::mutex>;

// --- Volumes ----------------------------------------------------------------

struct Volume {
  VolumeSpec definition;
  // GetVolumePathNamesForVolumeNameW calls answered so far; the next call
  // sees definition.path_lists[min(path_queries, size - 1)].
  size_t path_queries = 0;
  // Every root by which the volume is known: its GUID path, then each mount
  // path it ever lists, without repeats. Kept in step with path_lists.
  std::vector<WString> roots;
};
using VolumePtr = std::shared_ptr<Volume>;

// The machine's volumes in AddVolume order, indexed by GUID path and by
// root as the mount manager keeps them, so that no query walks them all.
// Names and roots match without regard to case; where several volumes share
// one, the earliest added answers.
class VolumeTable {
 public:
  const std::vector<VolumePtr>& InOrder() const { return volumes_; }
  bool empty() const { return volumes_.empty(); }

  void Add(VolumePtr volume);
  // Removes every volume with that GUID path; false when there was none.
  bool EraseNamed(const WString& name);
  void Clear();
  // Gives every volume with that GUID path new path lists; false when there
  // was none.
  bool SetPaths(const WString& name, const std::vector<PathList>& path_lists);

  VolumePtr Named(const WString& name) const;
  // The volume known by exactly that root, or null.
  VolumePtr WithRoot(const WString& root) const;
  // The volume whose root is the longest prefix of `path`, or null.
  VolumePtr Holding(const WString& path) const;

 private:
  void Index(const VolumePtr& volume);
  void Reindex();

  std::vector<VolumePtr> volumes_;
  // Keys upper-cased.
  std::unordered_map<WString, VolumePtr> by_name_;
  std::unordered_map<WString, VolumePtr> by_root_;
  // The lengths of the roots, longest first: the only prefixes of a path
  // worth looking up.
  std::set<size_t, std::greater<size_t>> root_lengths_;
};

// A FindFirstVolumeW search walks the names as they were when it started.
struct VolumeSearch {
  std::vector<WString> names;
  size_t next = 0;
};

// A file handle keeps its volume's record, so it answers the same after the
// volume has been removed.
struct FileHandle {
  VolumePtr volume;
};

// --- Window manager ---------------------------------------------------------

struct WindowClass {
  WString name;  // as registered
  ATOM atom = 0;
  HINSTANCE instance = nullptr;
  UINT style = 0;
  WNDPROC procedure = nullptr;
};
using WindowClassPtr = std::shared_ptr<const WindowClass>;

struct ThreadQueue;

struct Window {
  uint64_t hwnd = 0;
  WindowClassPtr window_class;
  std::shared_ptr<ThreadQueue> owner;
  uint64_t parent = 0;  // 0 for a top-level window
  bool message_only = false;
  DWORD style = 0;
  bool destroying = false;  // DestroyWindow has begun
  std::vector<std::pair<WString, HANDLE>> props;  // in the order first set
};
using WindowPtr = std::shared_ptr<Window>;

// A RegisterDeviceNotificationW registration.
struct Registration {
  uint64_t handle = 0;
  uint64_t recipient = 0;
  bool window_recipient = true;
  DWORD devicetype = 0;  // DBT_DEVTYP_DEVICEINTERFACE or DBT_DEVTYP_HANDLE
  GUID class_guid{};
  bool all_classes = false;
};

// --- Message queues ---------------------------------------------------------

struct PostedMessage {
  uint64_t hwnd = 0;  // 0 for a thread message
  UINT message = 0;
  WPARAM wparam = 0;
  LPARAM lparam = 0;
  DWORD time = 0;
};

// A message sent to a window of another thread: queued on the owner thread
// until that thread processes it inside one of its message calls.
struct SentMessage {
  enum class State { kQueued, kRunning, kDone, kFailed, kWithdrawn };

  uint64_t hwnd = 0;
  UINT message = 0;
  WPARAM wparam = 0;
  LPARAM lparam = 0;
  // Whatever lParam points into, kept alive until the procedure returns.
  std::shared_ptr<const void> record;
  std::weak_ptr<ThreadQueue> receiver;
  // Woken when the message is finished; reset when the sender stops waiting.
  std::weak_ptr<ThreadQueue> sender;
  State state = State::kQueued;
  LRESULT result = 0;
};
using SentMessagePtr = std::shared_ptr<SentMessage>;

// One thread's message queue, created on the thread's first call of a
// window-manager function and freed when the thread exits.
struct ThreadQueue {
  explicit ThreadQueue(uint64_t thread_id) : thread(thread_id) {}

  // A posted, sent or quit message arrived: it is news to WaitMessage, and
  // a waiting thread wakes for it.
  void Arrived() {
    changed = true;
    wake.notify_all();
  }

  const uint64_t thread;
  // Notified for every change a thread of this queue may wait for: a
  // posted or sent message arriving, a reply to a message it sent.
  std::condition_variable wake;
  std::deque<PostedMessage> posted;
  std::deque<SentMessagePtr> sent;  // not yet started, in arrival order
  // A message arrived since the thread last looked at its queue with
  // PeekMessageW, GetMessageW or WaitMessage; WaitMessage returns when this
  // is set.
  bool changed = false;
  bool quit = false;
  int quit_code = 0;
};
using ThreadQueuePtr = std::shared_ptr<ThreadQueue>;

// --- Faults and recording ---------------------------------------------------

struct FaultRule {
  std::string function;
  DWORD error = 0;
  int64_t skip = 0;       // calls to let through first
  int64_t remaining = 0;  // calls to fail after that; -1: all
};

// --- The machine --------------------------------------------------------------

struct Machine {
  std::mutex mutex;

  VolumeTable volumes;
  std::map<uint64_t, VolumeSearch> volume_searches;
  std::map<uint64_t, FileHandle> file_handles;
  uint64_t next_kernel_handle = 0x1a4;

  std::vector<FaultRule> faults;
  bool recording = true;
  std::vector<Call> calls;

  std::vector<std::shared_ptr<WindowClass>> classes;  // in registration order
  std::map<WString, ATOM> atoms;                      // by case-folded name
  ATOM next_atom = 0xC0A1;

  std::vector<WindowPtr> windows;  // in creation order
  uint64_t next_hwnd = 0x000200B6;
  std::optional<uint64_t> forced_hwnd;

  std::vector<Registration> registrations;
  uint64_t next_notification = 0x0000024D3F1A0010;

  std::map<uint64_t, ThreadQueuePtr> queues;  // by thread id
};

// The one machine of the process. It is never destroyed, so threads that
// exit while the process ends still find it.
Machine& TheMachine();

// --- Handle values ------------------------------------------------------------

inline uint64_t HandleValue(const void* handle) {
  return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(handle));
}
inline HWND WindowHandle(uint64_t value) {
  return reinterpret_cast<HWND>(static_cast<uintptr_t>(value));
}
inline HANDLE KernelHandle(uint64_t value) {
  return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(value));
}

// Sets the calling thread's last error and returns the failure value.
template <typename T>
T FailWith(DWORD error, T failure_value) {
  SetLastError(error);
  return failure_value;
}

}  // namespace simwin
