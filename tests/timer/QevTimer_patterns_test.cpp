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
#include <stdexcept>
#include <string>
#include <thread>

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

enum class OwnerFreer { AnotherThreadsSynchronize, SecondTimersHandler, TheTimersOwnHandler };

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
  // The timer's handler, on its worker: runs long; in one case asks the main
  // thread, inside the timer's destruction, to free the owner.
  void OnLong(System::TObject*) {
    TThread::Queue(TThreadMethod::Bind<&OwnerFreed::Entered>(this));
    if (how == OwnerFreer::TheTimersOwnHandler) {
      std::this_thread::sleep_for(100ms);  // the main thread is in `delete` by now
      TThread::Synchronize(TThreadMethod::Bind<&OwnerFreed::FreeOwner>(this));
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
  if (!s.ownerFreed) delete timer;  // otherwise the owner took it with it
  EXPECT_TRUE(ServeUntil([&] { return s.ownerFreed; }));
  if (other.joinable()) other.join();
  delete closer;
  EXPECT_EQ(destroyed, 3);  // the owner, its witness and the timer's
  EXPECT_TRUE(AllThreadsEnded());
}

INSTANTIATE_TEST_SUITE_P(
    Patterns, OwnerFreedDuringDestruction,
    testing::Values(OwnerFreedCase{"AnotherThreadsSynchronize", OwnerFreer::AnotherThreadsSynchronize},
                    OwnerFreedCase{"SecondTimersSynchronizedHandler", OwnerFreer::SecondTimersHandler},
                    OwnerFreedCase{"TheTimersOwnWorkerThreadHandler", OwnerFreer::TheTimersOwnHandler}),
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

}  // namespace
