// The stress phase of dispatch and lifetime hazards, each repeated with random
// timing: a call queued while CheckSynchronize waits, after an earlier call
// was withdrawn (raising hook) or dropped (RemoveQueuedEvents); a worker-thread
// handler's Synchronize of a subclass's method while the timer is freed; a
// handed-over timer whose handler starts it again; a raising wake hook during
// hand-overs; a form closed again from a call served inside its destruction;
// a freed timer's queued calls met by the next timer's delete; a modal loop
// below a handler (worker-thread or synchronized) that frees its form or its
// timer. The handlers' records outlive their timers.
#include "Stress.hpp"

#include <algorithm>
#include <cstdio>
#include <deque>

namespace stress {

int onlyHazard = 0;
int hazardRounds = 0;

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

// --- A freed timer's queued calls, met by the next timer's delete --------------

// The record of one timer's queued updates. Records outlive their timers.
// `queued` is the handler's count; the rest belongs to the main thread.
struct UpdateRecord {
  std::atomic<int> queued{0};
  int ran = 0;
  bool longCall = false;  // the handler's second call outlasts the delete's pause
  void Update();
  void OnTick(System::TObject*) {
    ++fig.handlerCalls;
    ++fig.workerCalls;
    // Relaxed: a count, and no edge between the handler and the main thread.
    const int n = queued.fetch_add(1, std::memory_order_relaxed) + 1;
    TThread::Queue(Method::Bind<&UpdateRecord::Update>(this));
    if (longCall && n == 2) std::this_thread::sleep_for(550ms + 50ms * kSlow);
  }
};

// The record whose timer the main thread is deleting right now, if any.
const UpdateRecord* deleting = nullptr;
int ranInsideAnotherDelete = 0;
int ranInsideOwnDelete = 0;

// A form whose timer queues its updates; closing the form drops them. The
// main thread keeps the addresses of closed forms' records, so that an update
// run after its form was freed is seen without reading the freed form.
struct UpdatingForm : TComponent {
  static inline std::deque<const UpdateRecord*> closed;
  static inline int ranClosed = 0;
  UpdateRecord updates;
  UpdatingForm() : TComponent(nullptr) {
    ++fig.timersCreated;
    std::erase(closed, &updates);  // a new form in a closed one's memory
  }
  ~UpdatingForm() override {
    TThread::RemoveQueuedEvents(&updates);
    closed.push_back(&updates);
    ++fig.timersDestroyed;
  }
  static bool Closed(const UpdateRecord* r) { return std::find(closed.begin(), closed.end(), r) != closed.end(); }
};

void UpdateRecord::Update() {
  if (UpdatingForm::Closed(this)) {
    ++UpdatingForm::ranClosed;
    return;
  }
  ++ran;
  if (deleting && deleting != this) ++ranInsideAnotherDelete;
  if (deleting == this) ++ranInsideOwnDelete;
}

TQevTimer* UpdatingTimer(TComponent* owner, UpdateRecord& r, std::uint32_t ticks) {
  auto* t = new TQevTimer(owner);
  ++fig.timersCreated;
  new DestroyCounter(t);
  t->SetInterval(0.001);
  t->SetRepeatCount(ticks);
  t->SetOnTimer(TNotifyEvent::Bind<&UpdateRecord::OnTick>(&r));
  t->Start();
  return t;
}

// Timer A's handler queues updates and A is freed with them still queued; a
// form's timer likewise, and the form drops its updates as it closes. Then B
// is made at once (so that it likely takes A's memory) and freed while its
// handler runs: its delete serves B's own workers' calls meanwhile, and must
// run none of A's, nor the closed form's. A's updates run later, in the
// dispatch; the form's never.
void StaleCallsAtTheNextDelete(int rounds) {
  watchdog.Step("a freed timer's queued calls at the next timer's delete");
  std::deque<UpdateRecord> records;
  const int ranClosed0 = UpdatingForm::ranClosed;
  ranInsideAnotherDelete = ranInsideOwnDelete = 0;
  for (int i = 0; i < rounds; ++i) {
    UpdateRecord& a = records.emplace_back();
    const auto ticks = static_cast<std::uint32_t>(2 + Pick(3));
    TQevTimer* timerA = UpdatingTimer(nullptr, a, ticks);
    auto* form = new UpdatingForm();
    TQevTimer* formTimer = UpdatingTimer(form, form->updates, ticks);
    // Their ticks are all queued and no worker holds them; no dispatch yet.
    if (!WaitUntil([&] {
          return timerA->GetCycleNumber() >= ticks && formTimer->GetCycleNumber() >= ticks &&
                 TThread::ActiveCount() == 0;
        }))
      Wrong("hazards: the updating timers did not tick");
    delete form;
    delete timerA;

    UpdateRecord& b = records.emplace_back();
    b.longCall = true;
    TQevTimer* timerB = UpdatingTimer(nullptr, b, 0);
    if (!WaitUntil([&] { return timerB->GetCycleNumber() >= 1; })) Wrong("hazards: the next timer did not tick");
    std::this_thread::sleep_for(20ms);  // in its long call by now
    deleting = &b;
    delete timerB;
    deleting = nullptr;
    ++fig.operations;
    if (!ServeUntil([&] { return a.ran == a.queued.load() && b.ran == b.queued.load(); }))
      Wrong("hazards: a freed timer's queued update never ran");
  }
  ServeCatching([] { return true; });
  if (ranInsideOwnDelete == 0)
    std::printf("note: no delete served its own timer's updates while its handler ran (the hazard did not arise)\n");
  if (ranInsideAnotherDelete > 0) {
    ++fig.wrongOutcomes;
    std::fprintf(stderr, "WRONG: %d queued calls of another timer ran inside a timer's delete\n",
                 ranInsideAnotherDelete);
  }
  if (const int n = UpdatingForm::ranClosed - ranClosed0; n > 0) {
    ++fig.wrongOutcomes;
    std::fprintf(stderr, "WRONG: %d updates dropped by their closed form ran\n", n);
  }
  if (!AllWorkersEnded()) Wrong("hazards: workers left after the updating timers");
}

// --- A modal loop below a handler frees its form or its timer -------------------

// A dialog that a handler shows through Synchronize (at once, on the main
// thread, for a synchronized handler): its modal loop serves the dispatch
// until the user, another thread, closes it; the close frees the form that
// owns the timer, or the timer. Afterwards the handler reads its sender and
// reports what it read through the dispatch. Records outlive their timers;
// the handler's fields are published to the main thread by the Queue call.
struct DialogRecord {
  TComponent* form = nullptr;   // the main thread's
  TQevTimer* timer = nullptr;   // likewise
  bool freeForm = false;        // set before the timer starts
  double interval = 0;          // likewise
  bool shown = false, closed = false, freedInDialog = false;  // the main thread's
  bool reported = false, destroyed = false;                    // likewise
  int reports = 0;
  double seenInterval = -1;  // the handler's, until reported
  bool seenEnabled = true;   // likewise
  double reportedInterval = -1;
  bool reportedEnabled = true;
  std::thread user;

  void Close() {
    if (freeForm) {
      delete form;
      form = nullptr;
    } else {
      delete timer;
    }
    closed = true;
  }
  void Modal() {
    if (shown) return;  // one dialog per record
    shown = true;
    const int napUs = Pick(5000);
    user = std::thread([this, napUs] {
      std::this_thread::sleep_for(std::chrono::microseconds(napUs));
      TThread::Queue(Method::Bind<&DialogRecord::Close>(this));  // the user closes the dialog
    });
    const auto deadline = Clock::now() + std::chrono::seconds(10 * kSlow);
    while (!closed && Clock::now() < deadline) {
      CheckSynchronize(1);
      Heartbeat();
    }
    for (int round = Pick(20); round > 0; --round) CheckSynchronize(1);
    user.join();
    freedInDialog = destroyed;  // the handler has not returned yet
  }
  void Report() {
    reportedInterval = seenInterval;
    reportedEnabled = seenEnabled;
    reported = true;
    ++reports;
  }
  void OnTick(System::TObject* sender) {
    ++fig.handlerCalls;
    if (!K::IsMainThread()) ++fig.workerCalls;
    TThread::Synchronize(Method::Bind<&DialogRecord::Modal>(this));
    auto* self = static_cast<TQevTimer*>(sender);
    seenInterval = self->Interval();  // a live timer: allocated and stopped
    seenEnabled = self->Enabled();
    TThread::Queue(Method::Bind<&DialogRecord::Report>(this));
  }
};

struct DialogTimer : TQevTimer {
  DialogRecord* record;
  DialogTimer(TComponent* owner, DialogRecord* r) : TQevTimer(owner), record(r) { ++fig.timersCreated; }
  ~DialogTimer() override {
    record->destroyed = true;
    ++fig.timersDestroyed;
  }
};

// Each round a worker-thread handler or a synchronized one (alternately);
// what the dialog frees, and whether the timer is cycled, at random.
void ModalLoopFreesTheTimer(int rounds) {
  watchdog.Step("a modal loop below a handler frees its form or its timer");
  std::deque<DialogRecord> records;
  for (int i = 0; i < rounds; ++i) {
    DialogRecord& r = records.emplace_back();
    r.form = new DestroyCounter(nullptr);
    ++fig.timersCreated;
    r.freeForm = Chance(50);
    r.interval = 0.001 * (1 + Pick(3));
    auto* t = new DialogTimer(r.form, &r);
    r.timer = t;
    t->SetInterval(r.interval);
    t->SetCycled(Chance(50));
    t->SetNeedSynchronization(i % 2 == 1);
    t->SetOnTimer(TNotifyEvent::Bind<&DialogRecord::OnTick>(&r));
    t->Start();
    if (!ServeUntil([&] { return r.reported && r.destroyed; }, 20s))
      Wrong(r.reported ? "hazards: a timer freed in a modal loop was never freed"
                       : "hazards: a handler whose dialog freed its timer never reported");
    ++fig.operations;
    if (r.freedInDialog) Wrong("hazards: a timer freed in a modal loop was destroyed before its handler returned");
    if (r.reported && (r.reportedInterval != r.interval || r.reportedEnabled || r.reports != 1))
      Wrong("hazards: a handler read a timer freed in its modal loop as other than stopped and whole");
    delete r.form;  // the form itself, where the dialog freed the timer alone
    r.form = nullptr;
  }
  ServeCatching([] { return true; });
  if (!AllWorkersEnded()) Wrong("hazards: workers left after the modal loops");
}

}  // namespace

void DispatchHazards() {
  // Most rounds end in a destruction's pause (half a second): few of them.
  const int rounds = hazardRounds > 0 ? hazardRounds : kSlow > 1 ? 2 : 3;
  // A round of the wake-up costs a few milliseconds, unless it is lost.
  if (onlyHazard == 0 || onlyHazard == 1) LostWakeUps(hazardRounds > 0 ? 70 * hazardRounds : 200);
  if (onlyHazard == 0 || onlyHazard == 2) SynchronizeDuringDelete(rounds);
  if (onlyHazard == 0 || onlyHazard == 3) RestartAfterHandOver(rounds);
  if (onlyHazard == 0 || onlyHazard == 4) RaisingHookDuringHandOver(rounds);
  if (onlyHazard == 0 || onlyHazard == 5) FormClosedTwice(rounds);
  // Three destructions a round, each with its pause: one round.
  if (onlyHazard == 0 || onlyHazard == 6) StaleCallsAtTheNextDelete(hazardRounds > 0 ? hazardRounds : 1);
  // One destruction a round, the handler on a worker thread and on the main
  // thread in turn.
  if (onlyHazard == 0 || onlyHazard == 7) ModalLoopFreesTheTimer(hazardRounds > 0 ? hazardRounds : 2);
}

}  // namespace stress
