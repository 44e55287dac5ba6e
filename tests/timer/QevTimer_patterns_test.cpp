// Application patterns around a timer's destruction: an owner freed while a
// timer is being destroyed, handlers that free each other's timers, a raising
// queued call met by a delete, and worker-thread handlers that ask the main
// thread to free their own timer or its owner ("close the form when done").
//
// The main thread and the workers meet only through the library here
// (Synchronize, Queue, the dispatch, WaitFor): what the handlers share is set
// before their timer runs, or read and written on the main thread alone. A
// scenario that hangs ends the process through a HangGuard, in bounded time.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

#include "QevTimer.hpp"
#include "TimerProbe.hpp"
#include "support/HangGuard.hpp"
#include "support/Wait.hpp"

namespace {

using namespace std::chrono_literals;
using Qevtimer::TQevTimer;
using System::Classes::CheckSynchronize;
using System::Classes::TComponent;
using System::Classes::TNotifyEvent;
using System::Classes::TThread;
using System::Classes::TThreadMethod;
using qevtest::AllThreadsEnded;
using qevtest::HangGuard;
using qevtest::ServeUntil;

// Components destroyed so far; every destruction here runs on the main
// thread, so the count is the main thread's alone.
int destroyed = 0;
struct Witness : TComponent {
  using TComponent::TComponent;
  ~Witness() override { ++destroyed; }
};

TQevTimer* WitnessedTimer(TComponent* owner, double interval) {
  auto* timer = new TQevTimer(owner);
  new Witness(timer);
  timer->SetInterval(interval);
  return timer;
}

// --- An owner freed while one of its timers is being destroyed -------------------

enum class OwnerFreer { AnotherThreadsSynchronize, SecondTimersHandler, TheTimersOwnHandler, FormClosedWhileClosing };

struct OwnerFreedCase {
  const char* name;
  OwnerFreer how;
};

struct OwnerFreed {
  OwnerFreer how;     // set before the timers run
  TComponent* owner;  // likewise; freed on the main thread
  bool entered = false, ownerFreed = false;  // the main thread's

  void Entered() { entered = true; }
  void FreeOwner() {
    if (!ownerFreed) {
      ownerFreed = true;
      delete owner;
    }
  }
  // "Close the form" as applications write it: the pointer is cleared only
  // once the delete has returned.
  void CloseForm() {
    if (owner) {
      delete owner;
      owner = nullptr;
    }
  }
  // The timer's handler, on its worker: runs long; in one case asks the main
  // thread, inside the timer's destruction, to free the owner.
  void OnLong(System::TObject*) {
    TThread::Queue(TThreadMethod::Bind<&OwnerFreed::Entered>(this));
    if (how == OwnerFreer::TheTimersOwnHandler || how == OwnerFreer::FormClosedWhileClosing) {
      std::this_thread::sleep_for(100ms);  // the main thread is in `delete` by now
      TThread::Synchronize(how == OwnerFreer::FormClosedWhileClosing
                               ? TThreadMethod::Bind<&OwnerFreed::CloseForm>(this)
                               : TThreadMethod::Bind<&OwnerFreed::FreeOwner>(this));
    } else {
      std::this_thread::sleep_for(800ms);  // longer than the destructor's pause
    }
  }
  // A second timer's synchronized handler: closes the form.
  void OnClose(System::TObject*) { FreeOwner(); }
};

class OwnerFreedDuringDestruction : public ::testing::TestWithParam<OwnerFreedCase> {};

TEST_P(OwnerFreedDuringDestruction, EveryComponentGoesOnceAndDeleteReturns) {
  const HangGuard guard(GetParam().name);
  destroyed = 0;
  OwnerFreed s{GetParam().how, new Witness(nullptr)};
  new Witness(s.owner);
  TQevTimer* timer = WitnessedTimer(s.owner, 0.010);
  timer->SetOnTimer(TNotifyEvent::Bind<&OwnerFreed::OnLong>(&s));
  ASSERT_TRUE(ServeUntil([&] { return s.entered; }));

  std::thread other;
  TQevTimer* closer = nullptr;
  if (s.how == OwnerFreer::AnotherThreadsSynchronize) {
    other = std::thread([&s] { TThread::Synchronize(TThreadMethod::Bind<&OwnerFreed::FreeOwner>(&s)); });
  } else if (s.how == OwnerFreer::SecondTimersHandler) {
    closer = new TQevTimer(nullptr);
    closer->SetInterval(0.005);
    closer->SetNeedSynchronization(true);
    closer->SetOnTimer(TNotifyEvent::Bind<&OwnerFreed::OnClose>(&s));
    closer->Start();  // ticks from now on, without the first second's wait
  }
  if (s.how == OwnerFreer::FormClosedWhileClosing)
    s.CloseForm();  // the timer's destruction runs the handler's CloseForm
  else if (!s.ownerFreed)
    delete timer;  // otherwise the owner took it with it
  EXPECT_TRUE(ServeUntil([&] { return s.ownerFreed || !s.owner; }));
  if (other.joinable()) other.join();
  delete closer;
  EXPECT_EQ(destroyed, 3);  // the owner, its witness and the timer's
  EXPECT_TRUE(AllThreadsEnded());
}

INSTANTIATE_TEST_SUITE_P(
    Patterns, OwnerFreedDuringDestruction,
    testing::Values(OwnerFreedCase{"AnotherThreadsSynchronize", OwnerFreer::AnotherThreadsSynchronize},
                    OwnerFreedCase{"SecondTimersSynchronizedHandler", OwnerFreer::SecondTimersHandler},
                    OwnerFreedCase{"TheTimersOwnWorkerThreadHandler", OwnerFreer::TheTimersOwnHandler},
                    OwnerFreedCase{"FormClosedAgainWhileClosing", OwnerFreer::FormClosedWhileClosing}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Two ownerless timers whose handlers free each other --------------------------

// Each handler asks the main thread whether the other has arrived in its
// handler too, until both have; then each frees the other's timer (once).
struct CrossDelete {
  TQevTimer* timers[2] = {};                   // the main thread's
  bool arrived[2] = {}, freedOther[2] = {};    // likewise

  struct Ask {
    CrossDelete* self;
    System::TObject* sender;
    bool both = false;
    TQevTimer* victim = nullptr;
    void Run() {
      const int me = sender == self->timers[0] ? 0 : sender == self->timers[1] ? 1 : -1;
      if (me < 0) return;
      self->arrived[me] = true;
      if (!self->arrived[1 - me]) return;
      both = true;
      if (!self->freedOther[me]) {
        self->freedOther[me] = true;
        victim = self->timers[1 - me];
      }
    }
  };

  void OnTimer(System::TObject* sender) {
    for (;;) {
      Ask ask{this, sender};
      TThread::Synchronize(TThreadMethod::Bind<&Ask::Run>(&ask));
      if (ask.both) {
        delete ask.victim;
        return;
      }
      // A synchronized handler serves the other's questions meanwhile.
      if (System::Kernel::IsMainThread())
        CheckSynchronize(1);
      else
        std::this_thread::sleep_for(1ms);
    }
  }
};

class HandlersFreeEachOthersTimers : public ::testing::TestWithParam<bool> {};

TEST_P(HandlersFreeEachOthersTimers, BothGoOnceAndNoThreadHangs) {
  const bool secondSynchronized = GetParam();
  const HangGuard guard(secondSynchronized ? "cross delete, one handler synchronized" : "cross delete");
  destroyed = 0;
  CrossDelete s;
  for (int i = 0; i < 2; ++i) {
    s.timers[i] = WitnessedTimer(nullptr, 0.010);
    s.timers[i]->SetNeedSynchronization(i == 1 && secondSynchronized);
    s.timers[i]->SetOnTimer(TNotifyEvent::Bind<&CrossDelete::OnTimer>(&s));
  }
  EXPECT_TRUE(ServeUntil([&] { return destroyed == 2; }, 20s));
  EXPECT_TRUE(s.freedOther[0] && s.freedOther[1]);
  EXPECT_TRUE(AllThreadsEnded());
  qevtest::ServeFor(50ms);
  EXPECT_EQ(destroyed, 2);
}

INSTANTIATE_TEST_SUITE_P(Patterns, HandlersFreeEachOthersTimers, testing::Bool(),
                         [](const auto& info) { return info.param ? "SecondSynchronized" : "BothOnWorkers"; });

// --- A delete that meets another thread's raising queued call ------------------------

struct ERaised : std::runtime_error {
  ERaised() : std::runtime_error("raised by a queued call") {}
};

struct Raiser : TThread {
  static void Fail(void*) { throw ERaised(); }
  void Execute() override { TThread::Queue(TThreadMethod{&Raiser::Fail, nullptr}); }
};

struct LongHandler {
  bool entered = false;  // the main thread's
  void Entered() { entered = true; }
  void OnTimer(System::TObject*) {
    TThread::Queue(TThreadMethod::Bind<&LongHandler::Entered>(this));
    std::this_thread::sleep_for(800ms);
  }
};

TEST(Patterns, ADeleteLeavesAnotherThreadsRaisingQueuedCallToTheDispatch) {
  const HangGuard guard("delete with a raising call queued");
  destroyed = 0;
  LongHandler handler;
  TQevTimer* timer = WitnessedTimer(nullptr, 0.010);
  timer->SetOnTimer(TNotifyEvent::Bind<&LongHandler::OnTimer>(&handler));
  ASSERT_TRUE(ServeUntil([&] { return handler.entered; }));
  auto* raiser = TThread::Create<Raiser>();
  raiser->WaitFor();  // its call is queued
  delete raiser;
  delete timer;  // waits for the handler; must neither throw nor run the call
  EXPECT_EQ(destroyed, 1);
  EXPECT_THROW(ServeUntil([] { return false; }, 5s), ERaised);
  EXPECT_TRUE(AllThreadsEnded());
}

// --- A worker-thread handler asks the main thread to free its timer or the form ------

struct SynchronizedDelete {
  TComponent* victim;  // set before the timer runs
  bool done = false;   // the main thread's
  void Run() {
    if (!done) {
      done = true;
      delete victim;
    }
  }
  void OnTimer(System::TObject*) { TThread::Synchronize(TThreadMethod::Bind<&SynchronizedDelete::Run>(this)); }
};

class HandlerClosesThroughSynchronize : public ::testing::TestWithParam<bool> {};

TEST_P(HandlerClosesThroughSynchronize, TheDestructionDoesNotWaitForItsCaller) {
  const bool freeOwner = GetParam();
  const HangGuard guard(freeOwner ? "synchronized delete of the owner" : "synchronized delete of the own timer");
  destroyed = 0;
  auto* form = new Witness(nullptr);
  TQevTimer* timer = WitnessedTimer(form, 0.010);
  SynchronizedDelete s{freeOwner ? static_cast<TComponent*>(form) : timer};
  timer->SetOnTimer(TNotifyEvent::Bind<&SynchronizedDelete::OnTimer>(&s));
  timer->Start();
  EXPECT_TRUE(ServeUntil([&] { return s.done; }, 20s));
  // The delete could not wait for the handler whose call it ran in: the timer
  // left its owner at once, and the dispatch frees it once the handler left.
  if (!freeOwner) {
    EXPECT_EQ(form->ComponentCount(), 0);
  }
  EXPECT_TRUE(AllThreadsEnded());
  EXPECT_TRUE(ServeUntil([&] { return destroyed == (freeOwner ? 2 : 1); }));
  if (!freeOwner) delete form;
  EXPECT_EQ(destroyed, 2);  // the form and the timer's witness
}

INSTANTIATE_TEST_SUITE_P(Patterns, HandlerClosesThroughSynchronize, testing::Bool(),
                         [](const auto& info) { return info.param ? "TheOwner" : "ItsOwnTimer"; });

// --- A freed timer's queued calls, met by a later timer's delete -------------------

// The first timer's handler queues an update for the main thread and the
// timer is freed with it still queued; the next timer (made at once, so that
// it likely takes the freed timer's memory) is freed while its handler runs,
// so its delete waits and serves its own workers' calls, and no other's.
struct Updates {
  bool deleting = false;          // the main thread's
  int ranInsideAnotherDelete = 0;  // likewise
  void Update() { ranInsideAnotherDelete += deleting; }
  void OnTimer(System::TObject*) { TThread::Queue(TThreadMethod::Bind<&Updates::Update>(this)); }
};
struct Sleeper {
  void OnTimer(System::TObject*) { std::this_thread::sleep_for(1000ms); }  // longer than the pause
};

TEST(Patterns, AFreedTimersQueuedCallsDoNotRunInsideTheNextTimersDelete) {
  const HangGuard guard("freed timers' queued calls", 50s);
  Updates updates;
  Sleeper sleeper;
  auto threadsEnded = [] { return TThread::ActiveCount() == 0; };
  for (int round = 0; round < 3; ++round) {
    auto* first = new TQevTimer(nullptr);
    first->SetInterval(0.001);
    first->SetRepeatCount(1);
    first->SetOnTimer(TNotifyEvent::Bind<&Updates::OnTimer>(&updates));
    first->Start();
    // Its one tick has queued the update; no worker holds the timer.
    ASSERT_TRUE(qevtest::WaitUntil([&] { return first->GetCycleNumber() >= 1; }));
    ASSERT_TRUE(qevtest::WaitUntil(threadsEnded));
    delete first;

    auto* next = new TQevTimer(nullptr);
    next->SetInterval(0.001);
    next->SetOnTimer(TNotifyEvent::Bind<&Sleeper::OnTimer>(&sleeper));
    next->Start();
    ASSERT_TRUE(qevtest::WaitUntil([&] { return next->GetCycleNumber() >= 1; }, 20s));
    std::this_thread::sleep_for(20ms);  // in its next call by now
    updates.deleting = true;
    delete next;
    updates.deleting = false;
    qevtest::ServeFor(20ms);
    EXPECT_TRUE(AllThreadsEnded());
  }
  EXPECT_EQ(updates.ranInsideAnotherDelete, 0);
}

// --- A raising wake hook while a timer hands itself over or ticks ------------------

struct RaisingWaker {
  void Wake(System::TObject*) { throw ERaised(); }
};

// Serves the dispatch until `done()` holds (and `extra` longer), counting the
// exceptions that come out of it.
template <class F>
int ServeCountingRaised(F done, std::chrono::milliseconds extra = 50ms) {
  int raised = 0;
  const auto serve = [&raised] {
    try {
      CheckSynchronize(1);
    } catch (const ERaised&) {
      ++raised;
    }
  };
  const auto deadline = std::chrono::steady_clock::now() + qevtest::Scaled(10s);
  while (!done() && std::chrono::steady_clock::now() < deadline) serve();
  for (const auto end = std::chrono::steady_clock::now() + extra; std::chrono::steady_clock::now() < end;) serve();
  return raised;
}

enum class HandedOver { ItsOwnTimer, ItsOwnOwnedTimer, AnotherOwnersTimer };

// A worker-thread handler that frees `victim` once: a delete handed over to
// the main thread. Only the handler's worker touches `victim` after the start.
struct FreesOnce {
  TComponent* victim;
  void OnTimer(System::TObject*) {
    if (victim) delete std::exchange(victim, nullptr);
  }
};

class RaisingHookAtAHandOver : public ::testing::TestWithParam<HandedOver> {};

// The delete returns (the process goes on), the timer is still destroyed by
// the next dispatch, and the hook's exception comes out of a CheckSynchronize.
TEST_P(RaisingHookAtAHandOver, TheHandOverStillHappens) {
  const HandedOver how = GetParam();
  const HangGuard guard("a hand-over with a raising wake hook");
  destroyed = 0;
  auto* form = new TComponent(nullptr);
  auto* otherForm = new TComponent(nullptr);
  TQevTimer* victim = WitnessedTimer(how == HandedOver::ItsOwnTimer ? nullptr : form, 0.005);
  TQevTimer* ticking = victim;
  if (how == HandedOver::AnotherOwnersTimer) {
    ticking = new TQevTimer(otherForm);
    ticking->SetInterval(0.005);
    victim->SetEnabled(false);
  }
  FreesOnce handler{victim};
  RaisingWaker raising;
  const TNotifyEvent previous = System::Classes::SetWakeMainThread(TNotifyEvent::Bind<&RaisingWaker::Wake>(&raising));
  ticking->SetOnTimer(TNotifyEvent::Bind<&FreesOnce::OnTimer>(&handler));
  ticking->Start();
  const int raised = ServeCountingRaised([] { return destroyed == 1; });
  System::Classes::SetWakeMainThread(previous);
  EXPECT_EQ(destroyed, 1);
  EXPECT_GE(raised, 1);
  EXPECT_EQ(form->ComponentCount(), 0);
  delete otherForm;  // and the ticking timer with it
  delete form;
  EXPECT_TRUE(AllThreadsEnded());
}

INSTANTIATE_TEST_SUITE_P(Patterns, RaisingHookAtAHandOver,
                         testing::Values(HandedOver::ItsOwnTimer, HandedOver::ItsOwnOwnedTimer,
                                         HandedOver::AnotherOwnersTimer),
                         [](const auto& info) {
                           return std::string(info.param == HandedOver::ItsOwnTimer        ? "ItsOwnTimer"
                                              : info.param == HandedOver::ItsOwnOwnedTimer ? "ItsOwnOwnedTimer"
                                                                                           : "AnotherOwnersTimer");
                         });

// A synchronized tick whose wake raised stays queued: the next dispatch runs
// it, the hook's exception comes out of a CheckSynchronize, and the timer
// goes on ticking.
TEST(Patterns, ASynchronizedTickWhoseWakeRaisedStillRuns) {
  const HangGuard guard("synchronized ticks with a raising wake hook");
  struct Counter {
    int calls = 0;  // the main thread's: the handler runs there
    void OnTimer(System::TObject*) { ++calls; }
  } counter;
  auto* timer = new TQevTimer(nullptr);
  timer->SetInterval(0.005);
  timer->SetNeedSynchronization(true);
  timer->SetOnTimer(TNotifyEvent::Bind<&Counter::OnTimer>(&counter));
  RaisingWaker raising;
  const TNotifyEvent previous = System::Classes::SetWakeMainThread(TNotifyEvent::Bind<&RaisingWaker::Wake>(&raising));
  timer->Start();
  const int raised = ServeCountingRaised([&] { return counter.calls >= 3; });
  System::Classes::SetWakeMainThread(previous);
  EXPECT_GE(counter.calls, 3);
  EXPECT_GE(raised, 1);
  EXPECT_TRUE(timer->Enabled());
  // Wakes that raised before the hook was put back still have their
  // exceptions kept: the dispatch passes them on meanwhile.
  const std::uint32_t ticks = timer->GetCycleNumber();
  ServeCountingRaised([&] { return timer->GetCycleNumber() > ticks; });
  EXPECT_GT(timer->GetCycleNumber(), ticks);
  delete timer;
  EXPECT_TRUE(AllThreadsEnded());
}

// --- A handed-over timer started again by its running handler -----------------------

enum class Revive { Start, SetEnabled, Restart };
constexpr double kFetched = 0.002;

// Another thread frees a timer that has an owner while its handler runs; once
// that delete has returned, and before the main thread serves the hand-over,
// the handler starts the timer again. Every handler call first tells the main
// thread it began. The handler tells the deleting thread through the timer's
// interval that it knows that thread.
struct Revival {
  Revive how;                  // set before the timer runs
  TThread* deleter = nullptr;  // the main thread's
  bool fetched = false;        // likewise: the handler has the deleter
  int began = 0;               // likewise: handler calls begun

  struct Ask {
    Revival* self;
    int index = 0;
    TThread* deleter = nullptr;
    void Begin() { index = self->began++; }
    void FetchDeleter() {
      deleter = self->deleter;
      self->fetched = deleter != nullptr;
    }
  };
  template <void (Ask::*M)()>
  Ask Asked() {
    Ask ask{this};
    TThread::Synchronize(TThreadMethod::Bind<M>(&ask));
    return ask;
  }

  void OnTimer(System::TObject* sender) {
    if (Asked<&Ask::Begin>().index > 0) return;  // counted: began after the first
    TThread* d;
    while (!(d = Asked<&Ask::FetchDeleter>().deleter)) std::this_thread::sleep_for(1ms);
    auto* timer = static_cast<TQevTimer*>(sender);
    timer->SetInterval(kFetched);
    d->WaitFor();  // its delete has returned
    switch (how) {
      case Revive::Start:
        timer->Start();
        break;
      case Revive::SetEnabled:
        timer->SetEnabled(true);
        break;
      case Revive::Restart:
        timer->Restart();
        break;
    }
    std::this_thread::sleep_for(300ms);  // still running: the destruction waits
  }
};

struct Deleter : TThread {
  TQevTimer* victim;
  explicit Deleter(TQevTimer* v) : victim(v) {}
  void Execute() override {
    while (victim->Interval() != kFetched) std::this_thread::sleep_for(1ms);
    delete victim;  // handed over: the timer has an owner
  }
};

class HandedOverTimerStartedAgain : public ::testing::TestWithParam<Revive> {};

TEST_P(HandedOverTimerStartedAgain, NoHandlerCallBeginsAndTheDispatchDestroysIt) {
  const HangGuard guard("a handed-over timer started again");
  destroyed = 0;
  auto* form = new TComponent(nullptr);
  TQevTimer* timer = WitnessedTimer(form, 0.001);
  Revival s{GetParam()};
  timer->SetOnTimer(TNotifyEvent::Bind<&Revival::OnTimer>(&s));
  timer->Start();
  ASSERT_TRUE(ServeUntil([&] { return s.began == 1; }));
  s.deleter = TThread::Create<Deleter>(timer);
  ASSERT_TRUE(ServeUntil([&] { return s.fetched; }));
  ASSERT_TRUE(qevtest::WaitUntil([&] { return s.deleter->Finished(); }));  // the handler waits for it
  std::this_thread::sleep_for(100ms);  // the hand-over waits; the handler starts the timer
  EXPECT_TRUE(ServeUntil([&] { return destroyed == 1; }, 20s));
  delete s.deleter;
  EXPECT_TRUE(AllThreadsEnded());
  qevtest::ServeFor(50ms);
  EXPECT_EQ(s.began, 1);
  EXPECT_EQ(form->ComponentCount(), 0);
  delete form;
}

INSTANTIATE_TEST_SUITE_P(Patterns, HandedOverTimerStartedAgain,
                         testing::Values(Revive::Start, Revive::SetEnabled, Revive::Restart),
                         [](const auto& info) {
                           return std::string(info.param == Revive::Start        ? "Start"
                                              : info.param == Revive::SetEnabled ? "SetEnabled"
                                                                                 : "Restart");
                         });

}  // namespace
