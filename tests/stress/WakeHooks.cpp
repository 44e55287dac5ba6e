// The stress phase of wake hooks swapped while calls are queued, some raising.
// Threads queue calls (Synchronize and Queue) and synchronized timers tick
// without a pause, while the main thread installs a new hook again and again
// and retires the one it replaced; some hooks raise. A replaced hook must
// never be called once SetWakeMainThread has returned; a raising hook's
// exception reaches the queueing thread, whose request is withdrawn.
#include "Stress.hpp"

#include <algorithm>
#include <deque>
#include <vector>

namespace stress {
namespace {

struct Waker {
  std::atomic<bool> retired{false};
  int raiseEvery = 0;  // set before it is installed
  std::atomic<std::uint64_t> calls{0};
  void Wake(System::TObject*) {
    // Acquire, pairing with the main thread's release once the swap returned.
    if (retired.load(std::memory_order_acquire)) ++fig.wakesAfterRetire;
    const std::uint64_t n = ++calls;
    if (raiseEvery > 0 && n % static_cast<std::uint64_t>(raiseEvery) == 0) {
      ++fig.hookRaises;
      throw EStress();
    }
  }
};

struct Queuer : TThread {
  std::atomic<std::uint64_t> ran{0};
  void Count() { ++ran; }
  void Execute() override {
    for (std::uint64_t i = 0; !Terminated(); ++i) {
      try {
        const auto method = System::Classes::TThreadMethod::Bind<&Queuer::Count>(this);
        if (i & 1)
          Synchronize(method);
        else
          Queue(method);
      } catch (const EStress&) {
        // the hook raised: the call was withdrawn, or ran already
      }
      if ((i & 63) == 63) std::this_thread::sleep_for(1ms);  // let the main thread keep up
    }
  }
};

}  // namespace

void WakeHooks(std::chrono::seconds budget) {
  watchdog.Step("wake hooks swapped while calls are queued");
  std::deque<Waker> wakers;  // kept to the end: a late call finds its hook retired
  const TNotifyEvent original = System::Classes::SetWakeMainThread({});
  std::vector<Queuer*> queuers;
  for (int i = 0; i < 3; ++i) queuers.push_back(TThread::Create<Queuer>());
  Slot* ticking[] = {&NewTimer(nullptr, 0.0, true, Act::Count), &NewTimer(nullptr, 0.0, true, Act::Count)};
  // Every queueing thread has had a call run before the swaps begin: on a
  // busy machine a thread may otherwise start only after they have ended.
  if (!ServeUntil([&] { return std::all_of(queuers.begin(), queuers.end(), [](Queuer* q) { return q->ran > 0; }); }, 30s))
    Wrong("wake hooks: a queueing thread's calls did not run");
  const auto ranSoFar = [&] {
    std::uint64_t n = 0;
    for (Queuer* q : queuers) n += q->ran;
    return n;
  };
  const std::uint64_t ranBefore = ranSoFar();
  Waker* current = nullptr;
  // The swaps go on past their budget, up to a generous limit, until a
  // queued call has run meanwhile: a busy machine may keep the queueing
  // threads off the processors for a while.
  const auto end = Clock::now() + budget, limit = end + 30s;
  for (int round = 0; ((Clock::now() < end && round < 20000) || ranSoFar() == ranBefore) && Clock::now() < limit;
       ++round) {
    Waker& next = wakers.emplace_back();
    next.raiseEvery = Chance(30) ? 1 + Pick(5) : 0;
    System::Classes::SetWakeMainThread(TNotifyEvent::Bind<&Waker::Wake>(&next));
    // Release, pairing with Wake's acquire: a call that sees the flag began
    // after this swap had returned.
    if (current) current->retired.store(true, std::memory_order_release);
    current = &next;
    ++fig.hookSwaps;
    ++fig.operations;
    // A synchronized tick whose hook raised stays queued; the hook's
    // exception comes out of the dispatch.
    try {
      CheckSynchronize(0);
    } catch (const EStress&) {
    }
    if ((round & 63) == 63) watchdog.Progress();
  }
  const bool ranDuringSwaps = ranSoFar() > ranBefore;
  System::Classes::SetWakeMainThread(original);
  if (current) current->retired.store(true, std::memory_order_release);
  for (Queuer* q : queuers) q->Terminate();
  for (Slot* s : ticking) s->Destroy();
  if (!ServeUntil([&] { return std::all_of(queuers.begin(), queuers.end(), [](Queuer* q) { return q->Finished(); }); }))
    Wrong("wake hooks: a queueing thread did not end");
  // Their last Queue calls name them: run those before the threads go.
  // (the hooks' kept exceptions come out meanwhile)
  for (bool more = true; more;) {
    try {
      more = CheckSynchronize(0);
    } catch (const EStress&) {
    }
  }
  for (Queuer* q : queuers) {
    q->WaitFor();
    delete q;
  }
  ServeUntil([] { return false; }, 20ms);
  if (!ranDuringSwaps) Wrong("wake hooks: no queued call ran while the hooks were being swapped");
  if (!AllWorkersEnded()) Wrong("wake hooks: workers left");
}

}  // namespace stress
