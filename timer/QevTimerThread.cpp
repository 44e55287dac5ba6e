// TTimerThread: the worker of one run of a timer.
#include "QevTimer.hpp"

#include <limits>

#include "QevTimerBinding.hpp"
#include "QevTimerLink.hpp"
#include "System.Kernel.hpp"

namespace Qevtimer {

using System::Classes::TThreadMethod;

// The worker's wait arithmetic: the x86 build computes in 80-bit extended
// precision, the others in double.
#if defined(QEV_TARGET_win32)
using WaitReal = long double;
#else
using WaitReal = double;
#endif

// ---------------------------------------------------------------------------
// TTimerThread

TTimerThread::TTimerThread(TQevTimer* AOwner) : Owner(AOwner), FLink(AOwner->FLink) {
  FLink->Acquire();
  SetDispatchGroup(FLink->Group());
  SetPriority(Owner->FPriority.load());
  SetFreeOnTerminate(true);
  BeginMinTimerPeriod();
}

TTimerThread::~TTimerThread() {
  // A worker whose system thread never started was never stored.
  if (ThreadID() == System::Kernel::CurrentThreadId()) FLink->WorkerEnds(this);
  EndMinTimerPeriod();
  FLink->Drop();
}

const System::TTypeInfo* TTimerThread::ClassInfo() const noexcept { return &TypeInfo; }

void TTimerThread::CustomSleep(std::uint32_t Milliseconds) { Sleep(static_cast<int>(Milliseconds)); }

// Sleeps for `interval` seconds in whole milliseconds: below 1 ms not at
// all; beyond one sleep call's reach (L = 2147483647 ms) in n calls of L and
// one for the remainder. Gives up `at` before the first sleep call.
void TTimerThread::Wait(double interval, detail::Presence& at) {
  constexpr std::uint32_t kLongestSleep = 2147483647;
  constexpr std::uint32_t kMostChunks = std::numeric_limits<std::uint32_t>::max();
  const WaitReal I = interval;
  const WaitReal L = static_cast<WaitReal>(2147483.647L);
  if (I > L) {
    const WaitReal q = System::Int(I / L);
    const WaitReal r = I - q * L;
    // n saturates: a 32-bit count taken from q would wrap from 2^32 on, and
    // q is infinite for an infinite interval.
    const std::uint32_t n = q >= kMostChunks ? kMostChunks : static_cast<std::uint32_t>(System::Round(q));
    if (n > 0) at.Leave();
    for (std::uint32_t i = 0; i < n; ++i) CustomSleep(kLongestSleep);
    if (System::Int(r * 1000) > 0) {
      at.Leave();
      // For huge intervals r carries I's rounding error; keep the call legal.
      const WaitReal ms = r * 1000;
      CustomSleep(ms >= kLongestSleep ? kLongestSleep : static_cast<std::uint32_t>(System::Round(ms)));
    }
  } else if (System::Int(I * 1000) > 0) {
    at.Leave();
    CustomSleep(static_cast<std::uint32_t>(System::Round(I * 1000)));
  }
}

void TTimerThread::Execute() {
  detail::Presence at(*FLink);
  while (!Terminated()) {
    if (!at.Enter() || !Owner->FEnabled.load()) break;
    Wait(Owner->FInterval.load(), at);  // a wait, once begun, runs to its end
    if (Terminated()) break;

    if (!at.Enter()) break;
    if (Owner->FEnabled.load()) {
      // A tick dropped by the destruction, or whose wake failed, is not
      // lost unseen: the first leaves the timer at once (below), the second
      // stays queued for the next dispatch, which rethrows the wake's error.
      if (Owner->FNeedSynchronization.load())
        SynchronizeOwnCall(detail::TimerLink::Tick(Owner));
      else
        Owner->DoTimer();
      // The handler may have begun the timer's destruction on the main
      // thread inside Synchronize (or in a call it asked of the main thread);
      // then leave without touching it.
      if (FLink->Released()) break;
    }
    if (!Owner->FCycled.load()) Terminate();
    // A plain read and write of the count, as the loop has always made it (a
    // reset by Start in between may be lost). Relaxed read: this thread wrote
    // the count last, unless a reset came. Release write, pairing with
    // GetCycleNumber's load: a caller that sees the new count also sees what
    // this tick's handler did.
    const std::uint32_t counted = Owner->FCounter.load(std::memory_order_relaxed);
    if (counted < std::numeric_limits<std::uint32_t>::max())
      Owner->FCounter.store(counted + 1, std::memory_order_release);
    const std::uint32_t limit = Owner->FRepeatCount.load();
    if (limit != 0 && Owner->FCounter.load(std::memory_order_relaxed) >= limit) Terminate();
  }
}

}  // namespace Qevtimer
