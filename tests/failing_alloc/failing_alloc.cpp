// Preloaded (LD_PRELOAD) into a test's interpreter: fails chosen
// allocations, so that tests reach the paths that run out of memory.
//
// - The nth malloc, calloc or realloc made on the calling thread after
//   failing_alloc_arm_thread(n), whoever makes it: the interpreter, the C++
//   runtime, or glibc allocating the thread's block of a module's
//   thread-local variables. The Win32 test double's own allocations are
//   left alone: it stands in for Windows, whose failures the double's
//   fault rules inject.
// - The next `count` calls making a str from a C string (Python 2.7's
//   PyString_FromString, Python 3's PyUnicode_FromString) for the text given to
//   failing_alloc_arm_text, which fail as the interpreter's allocator does,
//   with MemoryError. The interpreter reaches its own exported functions
//   through the dynamic linker only as a shared library; elsewhere this
//   part never fires, and the tests that need it skip.
#include <dlfcn.h>
#include <execinfo.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* block, size_t size);
using PyObject = struct _object;
PyObject* PyErr_NoMemory();
}

namespace {

// Initial-exec: the preloaded library's thread-local block is part of the
// thread's own, so reading it allocates nothing.
__attribute__((tls_model("initial-exec"))) thread_local long countdown = 0;
__attribute__((tls_model("initial-exec"))) thread_local long fired = 0;

__attribute__((tls_model("initial-exec"))) thread_local bool walking = false;

bool CalledFromTheDouble() {
  void* frames[64];
  const int count = backtrace(frames, 64);
  for (int index = 1; index < count; ++index) {
    Dl_info info;
    if (dladdr(frames[index], &info) != 0 && info.dli_fname != nullptr &&
        std::strstr(info.dli_fname, "libsimwin") != nullptr) {
      return true;
    }
  }
  return false;
}

bool FailThisOne() {
  if (countdown == 0 || walking) return false;
  walking = true;
  const bool double_own = CalledFromTheDouble();
  walking = false;
  if (double_own || --countdown != 0) return false;
  ++fired;
  errno = ENOMEM;
  return true;
}

constexpr size_t kTextCapacity = 256;
char armed_text[kTextCapacity];
std::atomic<long> text_failures_left{0};
std::atomic<long> text_failures{0};

using FromStringFunction = PyObject* (*)(const char*);

// The interpreter's own function of that name; null in an interpreter
// without it (each version has one of the two).
FromStringFunction NextFromString(const char* name) {
  return reinterpret_cast<FromStringFunction>(dlsym(RTLD_NEXT, name));
}

FromStringFunction InterpreterStringFromString() {
  static const auto function = NextFromString("PyString_FromString");
  return function;
}

FromStringFunction InterpreterUnicodeFromString() {
  static const auto function = NextFromString("PyUnicode_FromString");
  return function;
}

bool FailThisText(const char* text) {
  if (text_failures_left.load() > 0 && std::strcmp(text, armed_text) == 0 &&
      text_failures_left.fetch_sub(1) > 0) {
    ++text_failures;
    return true;
  }
  return false;
}

// Looked up, and the unwinder loaded, before any test arms anything.
__attribute__((constructor)) void Prepare() {
  InterpreterStringFromString();
  InterpreterUnicodeFromString();
  void* frame;
  backtrace(&frame, 1);
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) void* malloc(size_t size) {
  return FailThisOne() ? nullptr : __libc_malloc(size);
}

__attribute__((visibility("default"))) void* calloc(size_t count,
                                                    size_t size) {
  return FailThisOne() ? nullptr : __libc_calloc(count, size);
}

__attribute__((visibility("default"))) void* realloc(void* block,
                                                     size_t size) {
  return FailThisOne() ? nullptr : __libc_realloc(block, size);
}

// The nth allocation of the calling thread from now fails; 0 disarms.
__attribute__((visibility("default"))) void failing_alloc_arm_thread(
    long nth) {
  countdown = nth;
  fired = 0;
}

// How many allocations of the calling thread failed since it was armed.
__attribute__((visibility("default"))) long failing_alloc_thread_fired() {
  return fired;
}

__attribute__((visibility("default"))) void failing_alloc_arm_text(
    const char* text, long count) {
  text_failures_left = 0;
  std::strncpy(armed_text, text, kTextCapacity - 1);
  text_failures = 0;
  text_failures_left = count;
}

__attribute__((visibility("default"))) long failing_alloc_text_fired() {
  return text_failures;
}

__attribute__((visibility("default"))) PyObject* PyString_FromString(
    const char* text) {
  return FailThisText(text) ? PyErr_NoMemory()
                            : InterpreterStringFromString()(text);
}

__attribute__((visibility("default"))) PyObject* PyUnicode_FromString(
    const char* text) {
  return FailThisText(text) ? PyErr_NoMemory()
                            : InterpreterUnicodeFromString()(text);
}

}  // extern "C"
