// The stress phase of dispatch and lifetime hazards, each repeated with random
// timing: a call queued while CheckSynchronize waits, after an earlier call
// was withdrawn (raising hook) or dropped (RemoveQueuedEvents); a worker-thread
// handler's Synchronize of a subclass's method while the timer is freed; a
// handed-over timer whose handler starts it again; a raising wake hook during
// hand-overs; a form closed again from a call served inside its destruction.
// The handlers' records outlive their timers.
#include "Stress.hpp"

#include <cstdio>
#include <deque>

namespace stress {

int onlyHazard = 0;

namespace {

// Serves the dispatch until `done` or 10 s (scaled), taking the raising
// hook's exceptions, which the dispatch keeps for CheckSynchronize, and then
// every exception still kept.
template <class F>
void ServeCatching(F done) {
  const auto deadline = Clock::now() + std::chrono::seconds(10 * kSlow);
  for (bool more = true; Clock::now() < deadline && (more || !done());) {
    try {
      more = CheckSynchronize(1);
    } catch (const EStress&) {
      more = true;
    }
    Heartbeat();
  }
}


using Method = System::Classes::TThreadMethod;

// How long a call queued while CheckSynchronize waits may take to run before
// it counts as a lost wake-up: far below the wait's timeout.
constexpr int kWaitMs = 3000;
constexpr auto kLate = 1500ms;

// A wake hook that raises while `raising` is above zero, once per count.
struct RaisingHook {
  std::atomic<int> raising{0};
  void Wake(System::TObject*) {
    if (raising.load() > 0 && raising.fetch_sub(1) > 0) {
      ++fig.hookRaises;
      throw EStress();
    }
  }
};

// One round of the lost wake-up: the record the queued calls write.
struct WakeRound {
  Clock::time_point queuedAt{}, ranAt{};
  bool ran = false;
  void Noop() {}
  void Mark() {
    ranAt = Clock::now();
    ran = true;
  }
};

void LostWakeUps(int rounds) {
  watchdog.Step("a call queued while CheckSynchronize waits", 2 * kWaitMs / 1000 + 20);
  RaisingHook hook;
  const TNotifyEvent previous = System::Classes::SetWakeMainThread(TNotifyEvent::Bind<&RaisingHook::Wake>(&hook));
  std::deque<WakeRound> records;
  int lost = 0;
  for (int i = 0; i < rounds && lost < 3; ++i) {
    WakeRound& r = records.emplace_back();
    const bool withdraw = i % 2 == 0;
    const int napUs = Pick(2000), gapUs = 2000 + Pick(3000);
    if (withdraw) hook.raising = 1;
    std::thread queuer([&r, withdraw, napUs, gapUs] {
      std::this_thread::sleep_for(std::chrono::microseconds(napUs));
      if (withdraw) {
        try {
          TThread::Queue(Method::Bind<&WakeRound::Noop>(&r));
        } catch (const EStress&) {
          // withdrawn unrun
        }
      } else {
        TThread::Queue(Method::Bind<&WakeRound::Noop>(&r));
        TThread::RemoveQueuedEvents(&r);
      }
      std::this_thread::sleep_for(std::chrono::microseconds(gapUs));
      r.queuedAt = Clock::now();
      TThread::Queue(Method::Bind<&WakeRound::Mark>(&r));
    });
    const auto deadline = Clock::now() + 3 * std::chrono::milliseconds(kWaitMs);
    while (!r.ran && Clock::now() < deadline) {
      try {
        CheckSynchronize(kWaitMs);
      } catch (const EStress&) {
      }
      watchdog.Progress();
    }
    queuer.join();
    ++fig.operations;
    hook.raising = 0;
    if (!r.ran) {
      Wrong("hazards: a queued call never ran");
      continue;
    }
    if (r.ranAt - r.queuedAt > kLate) {
      ++lost;
      ++fig.lostWakeUps;
      std::fprintf(stderr, "WRONG: a call queued while CheckSynchronize waited ran after %lld ms (%s)\n",
                   static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(r.ranAt - r.queuedAt).count()),
                   withdraw ? "an earlier call withdrawn" : "an earlier call dropped");
    }
  }
  System::Classes::SetWakeMainThread(previous);
  ServeCatching([] { return true; });
}

// A subclass whose worker-thread handler asks the main thread to run a method
// of its own while the main thread frees it. The record outlives the timer.
struct SyncRecord {
  std::atomic<bool> entered{false};
  std::atomic<int> returnedUnrun{0};
};
struct RefreshingTimer : TQevTimer {
  SyncRecord* record;
  bool refreshed = false;
  RefreshingTimer(SyncRecord* r) : TQevTimer(nullptr), record(r) {
    ++fig.timersCreated;
    SetInterval(0.001);
    SetOnTimer(TNotifyEvent::Bind<&RefreshingTimer::OnTick>(this));
  }
  ~RefreshingTimer() override { ++fig.timersDestroyed; }
  void Refresh() { refreshed = true; }
  void OnTick(System::TObject*) {
    ++fig.handlerCalls;
    ++fig.workerCalls;
    SyncRecord* r = record;
    r->entered = true;
    refreshed = false;
    try {
      TThread::Synchronize(Method::Bind<&RefreshingTimer::Refresh>(this));
    } catch (const EThread&) {
      return;  // dropped for good, and said so
    }
    if (!refreshed) ++r->returnedUnrun;
  }
};

void SynchronizeDuringDelete(int rounds) {
  watchdog.Step("a subclass's Synchronize while it is freed");
  std::deque<SyncRecord> records;
  for (int i = 0; i < rounds; ++i) {
    SyncRecord& r = records.emplace_back();
    auto* t = new RefreshingTimer(&r);
    t->Start();
    if (!WaitUntil([&] { return r.entered.load(); })) Wrong("hazards: the refreshing handler never ran");
    std::this_thread::sleep_for(std::chrono::microseconds(Pick(500)));
    delete t;
    ++fig.operations;
    if (r.returnedUnrun.load() > 0) {
      fig.syncsUnrun += static_cast<std::uint64_t>(r.returnedUnrun.load());
      std::fprintf(stderr, "WRONG: Synchronize returned without its call having run\n");
    }
  }
  if (!AllWorkersEnded()) Wrong("hazards: workers left after the refreshing timers");
}

// A timer deleted by another thread while its worker-thread handler runs;
// the handler then starts it again (Start, SetEnabled(true) or Restart).
struct RestartRecord {
  TQevTimer* timer = nullptr;  // set before it starts
  int how = 0;                 // likewise
  std::atomic<bool> entered{false}, deleted{false};
  std::atomic<int> late{0};
  void OnTick(System::TObject* sender) {
    if (deleted.load()) ++late;  // began after its delete returned
    ++fig.handlerCalls;
    ++fig.workerCalls;
    if (entered.exchange(true)) return;
    std::this_thread::sleep_for(20ms);
    auto* self = static_cast<TQevTimer*>(sender);
    try {
      if (how == 0) self->Start();
      else if (how == 1) self->SetEnabled(true);
      else self->Restart();
    } catch (const EThread&) {
    }
  }
};

void RestartAfterHandOver(int rounds) {
  watchdog.Step("a handed-over timer started again by its handler");
  std::deque<RestartRecord> records;
  for (int i = 0; i < rounds; ++i) {
    RestartRecord& r = records.emplace_back();
    r.how = i % 3;
    r.timer = new TQevTimer(nullptr);
    ++fig.timersCreated;
    r.timer->SetInterval(0.001);
    r.timer->SetOnTimer(TNotifyEvent::Bind<&RestartRecord::OnTick>(&r));
    r.timer->Start();
    const int napUs = Pick(10000);
    std::thread deleter([&r, napUs] {
      while (!r.entered.load()) std::this_thread::sleep_for(100us);
      std::this_thread::sleep_for(std::chrono::microseconds(napUs));
      delete r.timer;
      r.deleted = true;
    });
    ServeUntil([&] { return r.deleted.load(); });
    deleter.join();
    ++fig.timersDestroyed;
    ++fig.operations;
    ServeUntil([] { return TThread::ActiveCount() == 0; }, 2s);
    if (r.late.load() > 0) {
      fig.callsAfterDestroy += static_cast<std::uint64_t>(r.late.load());
      std::fprintf(stderr, "WRONG: %d handler calls began after the timer's delete returned\n", r.late.load());
    }
  }
  if (!AllWorkersEnded()) Wrong("hazards: workers left after the restarted timers");
}

// A worker-thread handler deletes its own timer while the wake hook raises:
// the delete is handed over to the main thread all the same.
struct SelfDeleteRecord {
  std::atomic<bool> deleted{false};
  void OnTick(System::TObject* sender) {
    ++fig.handlerCalls;
    ++fig.workerCalls;
    if (deleted.exchange(true)) return;
    delete static_cast<TQevTimer*>(sender);
  }
};
struct DestroyCounter : TComponent {
  explicit DestroyCounter(TComponent* owner) : TComponent(owner) {}
  ~DestroyCounter() override { ++fig.timersDestroyed; }
};

void RaisingHookDuringHandOver(int rounds) {
  watchdog.Step("a raising wake hook during hand-overs");
  RaisingHook hook;
  const TNotifyEvent previous = System::Classes::SetWakeMainThread(TNotifyEvent::Bind<&RaisingHook::Wake>(&hook));
  std::deque<SelfDeleteRecord> records;
  for (int i = 0; i < rounds; ++i) {
    SelfDeleteRecord& r = records.emplace_back();
    auto* t = new TQevTimer(nullptr);
    ++fig.timersCreated;
    new DestroyCounter(t);
    t->SetInterval(0.001);
    t->SetOnTimer(TNotifyEvent::Bind<&SelfDeleteRecord::OnTick>(&r));
    hook.raising = 1 + Pick(3);
    t->Start();
    const std::uint64_t destroyed = fig.timersDestroyed;
    ServeCatching([&] { return fig.timersDestroyed != destroyed; });
    ++fig.operations;
    if (fig.timersDestroyed == destroyed) Wrong("hazards: a timer deleting itself under a raising hook was not freed");
  }
  hook.raising = 0;
  System::Classes::SetWakeMainThread(previous);
  ServeCatching([] { return TThread::ActiveCount() == 0; });
  if (!AllWorkersEnded()) Wrong("hazards: workers left after the raising hook");
}

// The main thread closes a form; the destruction of its timer serves that
// timer's worker's call, which closes the form the usual way.
struct FormRecord {
  TComponent* form = nullptr;  // the main thread's
  std::atomic<bool> entered{false};
  void CloseForm() {
    if (form) {
      delete form;
      form = nullptr;
    }
  }
  void OnTick(System::TObject*) {
    ++fig.handlerCalls;
    ++fig.workerCalls;
    if (entered.exchange(true)) return;
    std::this_thread::sleep_for(30ms);
    TThread::Synchronize(Method::Bind<&FormRecord::CloseForm>(this));
  }
};

void FormClosedTwice(int rounds) {
  watchdog.Step("a form closed again inside its destruction");
  std::deque<FormRecord> records;
  for (int i = 0; i < rounds; ++i) {
    FormRecord& r = records.emplace_back();
    r.form = new DestroyCounter(nullptr);
    ++fig.timersCreated;
    auto* t = new TQevTimer(r.form);
    ++fig.timersCreated;
    new DestroyCounter(t);
    t->SetInterval(0.001);
    t->SetOnTimer(TNotifyEvent::Bind<&FormRecord::OnTick>(&r));
    t->Start();
    if (!WaitUntil([&] { return r.entered.load(); })) Wrong("hazards: the form's handler never ran");
    std::this_thread::sleep_for(std::chrono::microseconds(Pick(20000)));
    // "Close the form": the usual way, as the handler's call does it too.
    if (r.form) {
      delete r.form;
      r.form = nullptr;
    }
    ++fig.operations;
  }
  if (!AllWorkersEnded()) Wrong("hazards: workers left after the closed forms");
}

}  // namespace

void DispatchHazards() {
  // Most rounds end in a destruction's pause (half a second): few of them.
  const int rounds = kSlow > 1 ? 2 : 3;
  // A round of the wake-up costs a few milliseconds, unless it is lost.
  if (onlyHazard == 0 || onlyHazard == 1) LostWakeUps(200);
  if (onlyHazard == 0 || onlyHazard == 2) SynchronizeDuringDelete(rounds);
  if (onlyHazard == 0 || onlyHazard == 3) RestartAfterHandOver(rounds);
  if (onlyHazard == 0 || onlyHazard == 4) RaisingHookDuringHandOver(rounds);
  if (onlyHazard == 0 || onlyHazard == 5) FormClosedTwice(rounds);
}

}  // namespace stress
