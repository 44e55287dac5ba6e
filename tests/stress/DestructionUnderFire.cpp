// The stress phase of destruction under fire: a timer destroyed during a long
// handler, while its handler waits for the main thread, with a synchronized
// tick queued or running, from its own handler; stop and raise from a handler.
#include "Stress.hpp"

namespace stress {
namespace {

// A tick queued for the main thread, seen through the wake hook.
std::atomic<int> queuedTicks{0};
void OnWake(void*, System::TObject*) { ++queuedTicks; }

}  // namespace

void DestructionUnderFire() {
  // 1. During a handler that runs longer than the pause, on the worker thread.
  watchdog.Step("destroy during a long handler");
  {
    Slot& s = NewTimer(nullptr, 0.001, false, Act::Long);
    if (!ServeUntil([&] { return s.inHandler.load(); })) Wrong("long handler never ran");
    s.Destroy();
    if (!s.handlerDone.load()) Wrong("destructor returned while its handler still ran");
  }
  // 1b. While its worker-thread handler waits for the main thread, which is
  // inside the destructor: the destructor serves the dispatch while it waits.
  watchdog.Step("destroy while its handler waits for the main thread");
  {
    Slot& s = NewTimer(nullptr, 0.001, false, Act::AskMainLater);
    if (!WaitUntil([&] { return s.inHandler.load(); })) Wrong("handler asking the main thread never ran");
    s.Destroy();
    if (!s.handlerDone.load() || s.mainCalls.load() != 1)
      Wrong("destructor returned before its handler's call on the main thread");
  }
  // 2. With a synchronized tick queued and nobody serving it.
  watchdog.Step("destroy with a synchronized tick queued");
  {
    const TNotifyEvent previous = System::Classes::SetWakeMainThread({&OnWake, nullptr});
    const int before = queuedTicks.load();
    Slot& s = NewTimer(nullptr, 0.001, true, Act::Count);
    if (!WaitUntil([&] { return queuedTicks.load() != before; })) Wrong("no synchronized tick was queued");
    s.Destroy();
    System::Classes::SetWakeMainThread(previous);
    ServeUntil([] { return false; }, 50ms);
    if (s.calls.load() != 0) Wrong("a queued synchronized tick ran for a destroyed timer");
  }
  // 3. With a synchronized tick running: its handler serves the dispatch, in
  // which another timer's handler destroys the first timer.
  watchdog.Step("destroy with a synchronized tick running");
  {
    Slot& held = NewTimer(nullptr, 0.001, true, Act::HoldDispatch);
    Slot& killer = NewTimer(nullptr, 0.001, true, Act::DestroyTarget);
    killer.target = &held;
    if (!ServeUntil([&] { return held.gone.load() && held.handlerDone.load(); }))
      Wrong("the running synchronized tick's timer was not destroyed");
    killer.Destroy();
  }
  // 4. From its own handler, on either thread.
  for (const bool synchronized : {false, true}) {
    watchdog.Step(synchronized ? "destroy from a main-thread handler" : "destroy from a worker-thread handler");
    Slot& s = NewTimer(nullptr, 0.001, synchronized, Act::DestroySelf);
    if (!ServeUntil([&] { return s.gone.load(); })) Wrong("timer not destroyed by its handler");
  }
  // 5. Stopped from its own handler, on either thread: one tick counted.
  for (const bool synchronized : {false, true}) {
    watchdog.Step("stop from its own handler");
    Slot& s = NewTimer(nullptr, 0.001, synchronized, Act::StopSelf);
    if (!ServeUntil([&] { return s.calls.load() >= 1 && TThread::ActiveCount() == 0; }))
      Wrong("stopped timer's worker did not end");
    if (s.timer->GetCycleNumber() != 1 || s.calls.load() != 1) Wrong("stop from a handler: not exactly one tick");
    s.Destroy();
  }
  // 6. A handler raising, on either thread: the run ends, Enabled stays.
  for (const bool synchronized : {false, true}) {
    watchdog.Step("handler raising");
    Slot& s = NewTimer(nullptr, 0.001, synchronized, Act::Raise);
    if (!ServeUntil([&] { return s.calls.load() >= 1 && TThread::ActiveCount() == 0; }))
      Wrong("raising handler's worker did not end");
    if (!s.timer->Enabled() || s.calls.load() != 1) Wrong("raising handler: not one call, or disabled");
    s.Destroy();
  }
  if (!AllWorkersEnded()) Wrong("destruction: workers left");
}

}  // namespace stress
