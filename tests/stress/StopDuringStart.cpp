// The stress phase of a worker stopping or restarting its timer while Start
// stores it. Interval 0: the new worker's first tick comes at once and its
// handler stops (or restarts) the timer from the worker thread, often while
// the main thread is still in Start; the main thread keeps changing the timer
// meanwhile.
#include "Stress.hpp"

namespace stress {

void StopFromWorkerDuringStart(std::chrono::seconds budget) {
  watchdog.Step("stop from a worker handler during Start");
  Slot& s = NewTimer(nullptr, 0.0, false, Act::StopSelf);
  const auto end = Clock::now() + budget;
  while (Clock::now() < end) {
    s.timer->Start();
    ++fig.operations;
    for (int i = 0; TThread::ActiveCount() > 0; ++i) {
      s.timer->SetPriority(static_cast<TThreadPriority>(2 + (i & 1)));
      if ((i & 7) == 7) s.timer->Stop();
    }
    ++fig.operations;  // the priority changes and stops of the round, as one
    LetEndedThreadsGo();
    watchdog.Progress();
  }
  s.Destroy();

  // The same with a handler that restarts its timer once: whatever the order,
  // one worker runs on, and Stop ends it.
  Slot& r = NewTimer(nullptr, 0.0, false, Act::RestartOnce);
  r.timer->Stop();
  AllWorkersEnded();
  const auto end2 = Clock::now() + budget;
  while (Clock::now() < end2) {
    r.handlerDone = false;
    r.armed = true;
    r.timer->Start();
    ++fig.operations;
    const auto deadline = Clock::now() + 5s * kSlow;
    while (!r.handlerDone.load() && Clock::now() < deadline) {
      r.timer->SetPriority(TThreadPriority::tpNormal);
      watchdog.Progress();
    }
    // The worker it replaced ends at once (no pause): one worker is left.
    if (!ServeUntil([] { return TThread::ActiveCount() <= 1; }, 5s)) {
      Wrong("two workers run one timer (its handler restarted it during Start)");
      break;
    }
    r.timer->Stop();
    ++fig.operations;
    if (!ServeUntil([] { return TThread::ActiveCount() == 0; }, 5s)) {
      Wrong("a worker runs on after Stop (the handler restarted its timer during Start)");
      break;
    }
    LetEndedThreadsGo();
    watchdog.Progress();
  }
  r.Destroy();
}

}  // namespace stress
