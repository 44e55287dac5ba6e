// The wake hook's calls and its retirement (WakeHook.hpp).
#include "WakeHook.hpp"

#include <mutex>

namespace System::Classes {
namespace {
// Hook calls under way on this thread: a hook that replaces the hook would
// wait for its own call to end.
thread_local int hookCallsHere = 0;
}  // namespace

WakeCall::WakeCall(WakeHook& hooks) : hooks_(hooks) {
  // Count ourselves in the generation we read, then check that it is still
  // current. If it is, a replacement that starts the next one sees our count
  // and waits for it. If it is not, a replacement may already have found the
  // slot empty: leave it and read again. Sequentially consistent, all four,
  // with the replacement's store and load: of our check and its wait, at
  // least one sees the other.
  for (;;) {
    const std::uint32_t g = hooks.generation_.load(std::memory_order_seq_cst);
    calls_ = &hooks.calls_[g & 1];
    calls_->fetch_add(1, std::memory_order_seq_cst);
    if (hooks.generation_.load(std::memory_order_seq_cst) == g) {
      hook_ = hooks.hooks_[g & 1];
      return;
    }
    Leave();
  }
}

void WakeCall::Run() const {
  if (!hook_) return;
  struct Here {
    Here() { ++hookCallsHere; }
    ~Here() { --hookCallsHere; }
  } here;
  hook_(nullptr);
}

// Release, pairing with Replace's acquire load: what the hook did happens
// before the replaced hook's owner may free what it uses. Wakes the
// replacement only if one waits: sequentially consistent with its store of
// `draining` and its load of the count, so that either it sees the count at
// zero or this sees it draining.
void WakeCall::Leave() {
  if (calls_->fetch_sub(1, std::memory_order_seq_cst) == 1 && hooks_.draining_.load(std::memory_order_seq_cst))
    sync::WakeOne(calls_);
}

TNotifyEvent WakeHook::Replace(TNotifyEvent hook) {
  if (hookCallsHere > 0) throw EThread(u"SetWakeMainThread called from inside a wake hook");
  std::lock_guard turn(retiring_);
  const std::uint32_t g = generation_.load(std::memory_order_relaxed);  // only we change it
  // Nobody reads the next generation's slot: the calls of generation g - 1,
  // which used it, ended before the last replacement returned, and a caller
  // that still counts itself there finds the generation moved and leaves.
  hooks_[(g + 1) & 1] = hook;
  generation_.store(g + 1, std::memory_order_seq_cst);
  // The loads pair with WakeCall's decrements: the replaced hook's calls
  // have ended, and what they did is seen here.
  std::atomic<std::uint32_t>& calls = calls_[g & 1];
  draining_.store(true, std::memory_order_seq_cst);
  for (std::uint32_t n; (n = calls.load(std::memory_order_seq_cst)) != 0;) sync::WaitWhile(calls, n);
  draining_.store(false, std::memory_order_relaxed);
  return hooks_[g & 1];
}

}  // namespace System::Classes
