// Waits on Linux: the address wait is a private futex, the lock a std::mutex
// (itself a futex in glibc).
#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <mutex>
#include <new>

#include "sync.hpp"

namespace System::sync {

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));

namespace {
long Futex(const std::atomic<std::uint32_t>* word, int op, std::uint32_t value, const timespec* timeout) {
  return syscall(SYS_futex, const_cast<std::atomic<std::uint32_t>*>(word), op | FUTEX_PRIVATE_FLAG, value,
                 timeout, nullptr, 0);
}
}  // namespace

void WaitWhile(const std::atomic<std::uint32_t>& word, std::uint32_t expected, int timeoutMs) noexcept {
  // The kernel compares the word with `expected` and sleeps in one step; a
  // wake between the caller's load and this call makes it return at once.
  // (A relative timeout: an interruption restarts it, which the callers
  // allow for by waiting against their own deadline.)
  if (timeoutMs < 0) {
    Futex(&word, FUTEX_WAIT, expected, nullptr);
  } else {
    const timespec t{static_cast<time_t>(timeoutMs / 1000), static_cast<long>(timeoutMs % 1000) * 1000000L};
    Futex(&word, FUTEX_WAIT, expected, &t);
  }
}

void WakeOne(const std::atomic<std::uint32_t>* word) noexcept { Futex(word, FUTEX_WAKE, 1, nullptr); }

namespace {
std::mutex* Mutex(unsigned char* storage) { return std::launder(reinterpret_cast<std::mutex*>(storage)); }
}  // namespace

Lock::Lock() noexcept {
  static_assert(sizeof(std::mutex) <= sizeof storage_ && alignof(std::mutex) <= 8);
  new (storage_) std::mutex;
}

Lock::~Lock() { Mutex(storage_)->~mutex(); }

void Lock::lock() noexcept { Mutex(storage_)->lock(); }

void Lock::unlock() noexcept { Mutex(storage_)->unlock(); }

}  // namespace System::sync
