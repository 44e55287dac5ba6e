// Waits on Windows: WaitOnAddress and WakeByAddressSingle (synchronization
// library), SRWLOCK for the lock. Under Wine these cost a fraction of the
// winpthreads condition variables that std::condition_variable is built on.
#include <windows.h>

#include <new>

#include "sync.hpp"

namespace System::sync {

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));

// The longest single wait, timed or not. An unbounded WaitOnAddress
// (INFINITE) was seen to leave a synchronized timer's worker asleep for good
// under Wine's x86 build, its request already finished; a bounded wait,
// repeated by the caller, did not. Callers re-check the word (and their
// deadline) after every return, so a wait that ends at this bound is one
// more spurious return; short enough that a wake lost that way would delay
// a caller by a second at most, not stop it.
constexpr DWORD kLongestWaitMs = 1000;

void WaitWhile(const std::atomic<std::uint32_t>& word, std::uint32_t expected, int timeoutMs) noexcept {
  const DWORD ms = timeoutMs < 0 || static_cast<DWORD>(timeoutMs) > kLongestWaitMs ? kLongestWaitMs
                                                                                  : static_cast<DWORD>(timeoutMs);
  // WaitOnAddress compares plainly; the caller's atomic load after the
  // return supplies the ordering.
  ::WaitOnAddress(const_cast<std::atomic<std::uint32_t>*>(&word), &expected, sizeof expected, ms);
}

void WakeOne(const std::atomic<std::uint32_t>* word) noexcept {
  ::WakeByAddressSingle(const_cast<std::atomic<std::uint32_t>*>(word));
}

namespace {
SRWLOCK* Srw(unsigned char* storage) { return std::launder(reinterpret_cast<SRWLOCK*>(storage)); }
}  // namespace

Lock::Lock() noexcept {
  static_assert(sizeof(SRWLOCK) <= sizeof storage_ && alignof(SRWLOCK) <= 8);
  ::InitializeSRWLock(new (storage_) SRWLOCK);
}

Lock::~Lock() = default;  // an SRWLOCK holds no resources

void Lock::lock() noexcept { ::AcquireSRWLockExclusive(Srw(storage_)); }

void Lock::unlock() noexcept { ::ReleaseSRWLockExclusive(Srw(storage_)); }

}  // namespace System::sync
