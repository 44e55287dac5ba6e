// The main thread's wait for a queued call: an event count on one word.
// Internal to the dispatch (Dispatch.cpp); ArrivalSignal.pml models it.
//
// The waiter announces its wait, which hands it a key, then looks for work,
// and sleeps while the word still holds that key. A caller that has made work
// available looks at the word afterwards: if a wait is announced, it moves the
// word on (a new epoch, the announcement cleared) and wakes the waiter. Only
// the caller that clears an announcement wakes; the others find none and wake
// nobody.
//
// No wake-up is lost: the announcement and the caller's publishing of its
// work are both sequentially consistent, so either the waiter's look sees the
// work, or the caller sees the announcement and changes the word, and then
// the waiter cannot sleep on its key (the system's wait compares the word
// first). Whatever happens to the work after that (taken back, dropped by
// another thread), the next wait is announced afresh, with a new key.
#pragma once

#include <atomic>
#include <cstdint>

#include "sync.hpp"

namespace System::Classes {

class ArrivalSignal {
 public:
  using Key = std::uint32_t;

  // The waiter (one thread), before it looks for work.
  Key PrepareWait() noexcept { return state_.fetch_or(kAnnounced, std::memory_order_seq_cst) | kAnnounced; }
  // The waiter, when it found work and will not wait: takes its announcement
  // back unless a caller has already taken it.
  void CancelWait(Key key) noexcept {
    state_.compare_exchange_strong(key, key & ~kAnnounced, std::memory_order_relaxed);
  }
  // The waiter: sleeps while no caller has taken the announcement of `key`,
  // for at most `timeoutMs`; may return early.
  void Wait(Key key, int timeoutMs) noexcept { sync::WaitWhile(state_, key, timeoutMs); }

  // A caller, after its work is published (sequentially consistent).
  void Notify() noexcept {
    std::uint32_t s = state_.load(std::memory_order_seq_cst);
    while (s & kAnnounced) {
      // The next epoch, not announced: (s + 2) keeps bit 0 set, the mask
      // clears it.
      if (state_.compare_exchange_weak(s, (s + 2) & ~kAnnounced, std::memory_order_seq_cst)) {
        sync::WakeOne(&state_);
        return;
      }
    }
  }

 private:
  static constexpr std::uint32_t kAnnounced = 1;  // bits 1-31: the epoch
  std::atomic<std::uint32_t> state_{0};
};

}  // namespace System::Classes
