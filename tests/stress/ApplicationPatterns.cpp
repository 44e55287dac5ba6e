// The stress phase of application patterns around a destruction.
// What applications do: free a timer's owner from a call served while the
// timer is being destroyed, free each other's timers from two handlers, ask
// the main thread to free the handler's own timer or its owner, and queue a
// raising call while the main thread is in a `delete`. The handlers' state is
// set before their timer runs, or the main thread's alone.
#include "Stress.hpp"

#include <deque>

namespace stress {
namespace {

// Counts a destruction: owned by each timer (and form) of this phase.
struct Counted : TComponent {
  explicit Counted(TComponent* owner) : TComponent(owner) {}
  ~Counted() override {
    ++fig.timersDestroyed;
    watchdog.Progress();
  }
};

TQevTimer* PatternTimer(TComponent* owner, double interval, bool synchronized, TNotifyEvent handler) {
  auto* t = new TQevTimer(owner);
  ++fig.timersCreated;
  new Counted(t);
  t->SetInterval(interval);
  t->SetNeedSynchronization(synchronized);
  t->SetOnTimer(handler);
  t->Start();  // from now on at the interval, without the first second's wait
  return t;
}

// A form: a component that counts as one destruction, like a timer.
TComponent* NewForm() {
  ++fig.timersCreated;
  return new Counted(nullptr);
}

struct Pattern {
  TComponent* form = nullptr;  // set before the timers run
  int how = 0;                 // likewise
  bool entered = false, formFreed = false, callRan = false;  // the main thread's
  int asked[2] = {}, freedOther[2] = {};
  TQevTimer* timers[2] = {};

  void Entered() { entered = true; }
  void FreeForm() {
    callRan = true;
    if (!formFreed) {
      formFreed = true;
      delete form;
    }
  }
  // A long worker-thread handler; with `how` 2 it asks the main thread, which
  // is deleting its timer by then, to free the form.
  void OnLong(System::TObject*) {
    ++fig.handlerCalls;
    ++fig.workerCalls;
    TThread::Queue(System::Classes::TThreadMethod::Bind<&Pattern::Entered>(this));
    if (how == 2) {
      std::this_thread::sleep_for(50ms);
      TThread::Synchronize(System::Classes::TThreadMethod::Bind<&Pattern::FreeForm>(this));
    } else {
      std::this_thread::sleep_for(600ms);
    }
  }
  void OnCloseForm(System::TObject*) {
    ++fig.handlerCalls;
    FreeForm();
  }
  // Asks the main thread to free the form (how 1) or its own timer (0).
  void OnAskToFree(System::TObject* sender) {
    ++fig.handlerCalls;
    ++fig.workerCalls;
    struct Ask {
      Pattern* p;
      TComponent* victim;
      void Run() {
        if (!p->callRan) {
          p->callRan = true;
          p->formFreed = victim == p->form;
          delete victim;
        }
      }
    } ask{this, how == 1 ? form : static_cast<TQevTimer*>(sender)};
    TThread::Synchronize(System::Classes::TThreadMethod::Bind<&Ask::Run>(&ask));
  }
  // Two handlers that free each other's timers once both have arrived.
  void OnCross(System::TObject* sender) {
    ++fig.handlerCalls;
    if (!K::IsMainThread()) ++fig.workerCalls;
    for (;;) {
      struct Ask {
        Pattern* p;
        System::TObject* sender;
        bool both = false;
        TQevTimer* victim = nullptr;
        void Run() {
          const int me = sender == p->timers[0] ? 0 : sender == p->timers[1] ? 1 : -1;
          if (me < 0) return;
          p->asked[me] = 1;
          if (!p->asked[1 - me]) return;
          both = true;
          if (!p->freedOther[me]) {
            p->freedOther[me] = 1;
            victim = p->timers[1 - me];
          }
        }
      } ask{this, sender};
      TThread::Synchronize(System::Classes::TThreadMethod::Bind<&Ask::Run>(&ask));
      if (ask.both) {
        delete ask.victim;
        return;
      }
      if (K::IsMainThread())
        CheckSynchronize(1);
      else
        std::this_thread::sleep_for(1ms);
    }
  }
};

struct ERaisedQueued : std::runtime_error {
  ERaisedQueued() : std::runtime_error("raised by a queued call") {}
};
struct RaisingQueuer : TThread {
  static void Raise(void*) { throw ERaisedQueued(); }
  void Execute() override { TThread::Queue(System::Classes::TThreadMethod{&RaisingQueuer::Raise, nullptr}); }
};

}  // namespace

void ApplicationPatterns() {
  using Method = System::Classes::TThreadMethod;
  std::deque<Pattern> rounds;  // the handlers' state lives until the workers have ended
  // An owner freed while one of its timers is being destroyed: by another
  // thread's Synchronize call, by a second timer's synchronized handler, by
  // the timer's own worker-thread handler through Synchronize.
  for (int how = 0; how < 3; ++how) {
    static const char* const kSteps[] = {"owner freed by another thread's call", "owner freed by a second timer",
                                         "owner freed by the timer's own handler's call"};
    watchdog.Step(kSteps[how]);
    Pattern& p = rounds.emplace_back();
    p.how = how;
    p.form = NewForm();
    new Counted(p.form);
    ++fig.timersCreated;
    TQevTimer* t = PatternTimer(p.form, 0.002, false, TNotifyEvent::Bind<&Pattern::OnLong>(&p));
    if (!ServeUntil([&] { return p.entered; })) Wrong("patterns: the long handler never ran");
    std::thread other;
    TQevTimer* closer = nullptr;
    if (how == 0)
      other = std::thread([&p] { TThread::Synchronize(Method::Bind<&Pattern::FreeForm>(&p)); });
    else if (how == 1)
      closer = PatternTimer(nullptr, 0.002, true, TNotifyEvent::Bind<&Pattern::OnCloseForm>(&p));
    if (!p.formFreed) delete t;  // otherwise the form took it along
    ++fig.operations;
    if (!ServeUntil([&] { return p.formFreed; })) Wrong("patterns: the form was not freed");
    if (other.joinable()) other.join();
    delete closer;
  }
  // Two ownerless timers whose handlers free each other; the second one's
  // handler on a worker or on the main thread.
  for (const bool synchronized : {false, true}) {
    watchdog.Step(synchronized ? "handlers free each other's timers, one synchronized"
                               : "handlers free each other's timers");
    Pattern& p = rounds.emplace_back();
    const std::uint64_t before = fig.timersDestroyed;
    for (int i = 0; i < 2; ++i)
      p.timers[i] = PatternTimer(nullptr, 0.002, i == 1 && synchronized, TNotifyEvent::Bind<&Pattern::OnCross>(&p));
    ++fig.operations;
    if (!ServeUntil([&] { return fig.timersDestroyed - before == 2; }))
      Wrong("patterns: timers freeing each other were not both destroyed");
  }
  // A worker-thread handler asks the main thread to free its own timer, or
  // its owner: "close the form when done".
  for (int how = 0; how < 2; ++how) {
    watchdog.Step(how ? "handler frees its form through the main thread" : "handler frees its timer through the main thread");
    Pattern& p = rounds.emplace_back();
    p.how = how;
    p.form = NewForm();
    PatternTimer(p.form, 0.002, false, TNotifyEvent::Bind<&Pattern::OnAskToFree>(&p));
    ++fig.operations;
    if (!ServeUntil([&] { return p.callRan; })) Wrong("patterns: the handler's call to free never ran");
    if (!p.formFreed) delete p.form;
  }
  // A raising call queued by another thread while the main thread deletes a
  // timer whose handler runs long: the delete returns, the call's exception
  // comes out of a later CheckSynchronize.
  {
    watchdog.Step("delete meets a raising queued call");
    Pattern& p = rounds.emplace_back();
    TQevTimer* t = PatternTimer(nullptr, 0.002, false, TNotifyEvent::Bind<&Pattern::OnLong>(&p));
    if (!ServeUntil([&] { return p.entered; })) Wrong("patterns: the long handler never ran");
    auto* queuer = TThread::Create<RaisingQueuer>();
    queuer->WaitFor();
    delete queuer;
    delete t;
    ++fig.operations;
    bool raised = false;
    try {
      ServeUntil([] { return false; }, 100ms);
    } catch (const ERaisedQueued&) {
      raised = true;
    }
    if (!raised) Wrong("patterns: the queued call's exception was lost");
  }
  if (!AllWorkersEnded()) Wrong("patterns: workers left");
}

}  // namespace stress
