#include "QevTimer.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <ostream>
#include <stdexcept>
#include <thread>

#include "TimerProbe.hpp"
#include "support/Services.hpp"
#include "support/Wait.hpp"

namespace {

using namespace std::chrono_literals;
using Qevtimer::TQevTimer;
using System::Classes::TThread;
using System::Classes::TThreadPriority;
using qevtest::AllThreadsEnded;
using qevtest::ServeFor;
using qevtest::ServeUntil;
using qevtest::TimerProbe;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

TEST(TQevTimer, ConstructionGivesTheDefaultsAndStartsTicking) {
  auto* timer = new TQevTimer(nullptr);
  EXPECT_TRUE(timer->Enabled());
  EXPECT_EQ(timer->Interval(), 1.0);
  EXPECT_TRUE(timer->Cycled());
  EXPECT_EQ(timer->RepeatCount(), 0u);
  EXPECT_EQ(timer->Priority(), TThreadPriority::tpNormal);
  EXPECT_FALSE(timer->NeedSynchronization());
  EXPECT_FALSE(timer->OnTimer());
  EXPECT_EQ(timer->GetCycleNumber(), 0u);
#if defined(QEV_TARGET_win32)
  EXPECT_EQ(timer->Version(), 1.31);
#else
  EXPECT_EQ(timer->Version(), 1.26);
#endif
  EXPECT_EQ(TThread::ActiveCount(), 1);  // its worker runs already
  // Without a handler the ticks are still counted, one a second.
  EXPECT_TRUE(ServeUntil([&] { return timer->GetCycleNumber() >= 1; }, 5s));
  delete timer;
  EXPECT_TRUE(AllThreadsEnded());
}

// --- State transitions ------------------------------------------------------

enum class From { Stopped, Running, Ended };
enum class Event { Start, Restart, Stop, EnableTrue, EnableFalse };

struct Transition {
  From from;
  Event event;
  bool enabledAfter;
  bool ticksAfter;
  bool counterReset;
};

void PrintTo(const Transition& t, std::ostream* os) {
  static const char* from[] = {"Stopped", "Running", "Ended"};
  static const char* event[] = {"Start", "Restart", "Stop", "Enabled:=True", "Enabled:=False"};
  *os << from[int(t.from)] << " + " << event[int(t.event)];
}

class StateTable : public testing::TestWithParam<Transition> {};

TEST_P(StateTable, Transition) {
  const Transition t = GetParam();
  auto* timer = new TQevTimer(nullptr);
  timer->SetInterval(0.005);
  switch (t.from) {
    case From::Stopped:
      timer->Stop();
      break;
    case From::Running:
      // Count a few ticks, then slow down so the counter holds still.
      ASSERT_TRUE(ServeUntil([&] { return timer->GetCycleNumber() >= 3; }));
      timer->SetInterval(0.5);
      break;
    case From::Ended:
      timer->SetRepeatCount(2);
      timer->Start();
      ASSERT_TRUE(AllThreadsEnded());
      ASSERT_EQ(timer->GetCycleNumber(), 2u);
      break;
  }
  ASSERT_TRUE(ServeUntil([] { return TThread::ActiveCount() <= 1; }));
  const std::uint32_t before = timer->GetCycleNumber();

  switch (t.event) {
    case Event::Start: timer->Start(); break;
    case Event::Restart: timer->Restart(); break;
    case Event::Stop: timer->Stop(); break;
    case Event::EnableTrue: timer->SetEnabled(true); break;
    case Event::EnableFalse: timer->SetEnabled(false); break;
  }
  const std::uint32_t after = timer->GetCycleNumber();
  EXPECT_EQ(timer->Enabled(), t.enabledAfter);
  if (t.counterReset) {
    EXPECT_LE(after, 1u);  // a worker inside its fire step may still count once
  } else {
    EXPECT_GE(after, before);
  }

  timer->SetInterval(0.005);  // from the next wait on
  timer->SetRepeatCount(0);
  if (t.ticksAfter) {
    EXPECT_TRUE(ServeUntil([&] { return timer->GetCycleNumber() >= after + 2; }));
  } else {
    ServeFor(150ms);
    EXPECT_EQ(timer->GetCycleNumber(), after);
  }
  delete timer;
  EXPECT_TRUE(AllThreadsEnded());
}

INSTANTIATE_TEST_SUITE_P(
    Transitions, StateTable,
    testing::Values(Transition{From::Stopped, Event::Start, true, true, true},
                    Transition{From::Stopped, Event::Restart, true, true, true},
                    Transition{From::Stopped, Event::EnableTrue, true, true, true},
                    Transition{From::Stopped, Event::Stop, false, false, true},
                    Transition{From::Stopped, Event::EnableFalse, false, false, true},
                    Transition{From::Running, Event::Start, true, true, true},
                    Transition{From::Running, Event::Restart, true, true, true},
                    Transition{From::Running, Event::Stop, false, false, true},
                    Transition{From::Running, Event::EnableFalse, false, false, true},
                    Transition{From::Running, Event::EnableTrue, true, true, false},
                    Transition{From::Ended, Event::Start, true, true, true},
                    Transition{From::Ended, Event::Restart, true, true, true},
                    Transition{From::Ended, Event::Stop, false, false, true},
                    Transition{From::Ended, Event::EnableFalse, false, false, true},
                    Transition{From::Ended, Event::EnableTrue, true, false, false}));

// --- Runs of a set length ---------------------------------------------------

struct RunCase {
  bool cycled;
  std::uint32_t repeatCount;
  int expectedCalls;
};

class RunLength : public testing::TestWithParam<RunCase> {};

TEST_P(RunLength, EndsByItselfAndStaysEnabled) {
  const RunCase c = GetParam();
  TimerProbe probe;
  auto* timer = new TQevTimer(nullptr);
  // Long enough that Start has reset the count before the first tick.
  timer->SetInterval(0.1);
  timer->SetCycled(c.cycled);
  timer->SetRepeatCount(c.repeatCount);
  timer->SetOnTimer(probe.Event());
  for (int run = 0; run < 2; ++run) {  // Start begins a whole new run
    timer->Start();
    ASSERT_TRUE(AllThreadsEnded());
    ServeFor(60ms);  // silence afterwards
    EXPECT_EQ(probe.calls.load(), c.expectedCalls * (run + 1));
    EXPECT_EQ(timer->GetCycleNumber(), static_cast<std::uint32_t>(c.expectedCalls));
    EXPECT_TRUE(timer->Enabled());
    timer->SetEnabled(true);  // no change of value: nothing starts
    EXPECT_EQ(TThread::ActiveCount(), 0);
  }
  delete timer;
}

INSTANTIATE_TEST_SUITE_P(Runs, RunLength,
                         testing::Values(RunCase{false, 0, 1}, RunCase{true, 3, 3}, RunCase{false, 5, 1},
                                         RunCase{true, 1, 1}));

TEST(TQevTimer, RepeatCountChangedDuringARun) {
  TimerProbe probe;
  auto* timer = new TQevTimer(nullptr);
  timer->SetOnTimer(probe.Event());
  timer->SetInterval(0.2);
  timer->Start();
  ASSERT_TRUE(ServeUntil([&] { return timer->GetCycleNumber() >= 2; }));
  // Lowered to at or below the count: one more tick, then the worker ends.
  timer->SetRepeatCount(1);
  ASSERT_TRUE(AllThreadsEnded());
  EXPECT_EQ(probe.calls.load(), static_cast<int>(timer->GetCycleNumber()));
  EXPECT_LE(timer->GetCycleNumber(), 4u);

  // Set to 0 during a run: no limit any more.
  timer->SetRepeatCount(3);
  timer->SetInterval(0.05);
  timer->Start();
  ASSERT_TRUE(ServeUntil([&] { return timer->GetCycleNumber() >= 1; }));
  timer->SetRepeatCount(0);
  EXPECT_TRUE(ServeUntil([&] { return timer->GetCycleNumber() >= 10; }));
  delete timer;
}

class StopFromHandler : public testing::TestWithParam<bool> {};

TEST_P(StopFromHandler, LeavesTheCountAtOne) {
  TimerProbe probe;
  probe.action = [](TQevTimer* t) { t->Stop(); };
  auto* timer = new TQevTimer(nullptr);
  timer->SetNeedSynchronization(GetParam());
  timer->SetInterval(0.1);  // the first tick comes after Start has reset the count
  timer->SetOnTimer(probe.Event());
  timer->Start();
  ASSERT_TRUE(AllThreadsEnded());
  EXPECT_EQ(probe.calls.load(), 1);
  EXPECT_EQ(timer->GetCycleNumber(), 1u);
  EXPECT_FALSE(timer->Enabled());
  EXPECT_EQ(probe.thread.load() == System::Kernel::MainThreadId(), GetParam());
  delete timer;
}

INSTANTIATE_TEST_SUITE_P(OnWorkerOrMainThread, StopFromHandler, testing::Bool());

TEST(TQevTimer, StartOnARunningTimerRestartsTheSchedule) {
  TimerProbe probe;
  auto* timer = new TQevTimer(nullptr);
  timer->SetOnTimer(probe.Event());
  timer->SetInterval(0.3);
  timer->Start();
  ServeFor(200ms);  // the old schedule's tick would come in 100 ms
  const auto restarted = Clock::now();
  std::atomic<Clock::time_point::rep> firstTick{0};
  probe.action = [&](TQevTimer*) {
    if (firstTick.load() == 0) firstTick = Clock::now().time_since_epoch().count();
  };
  timer->Start();
  EXPECT_EQ(timer->GetCycleNumber(), 0u);
  ASSERT_TRUE(ServeUntil([&] { return firstTick.load() != 0; }));
  const auto tick = Clock::time_point(Clock::duration(firstTick.load()));
  EXPECT_GE(Seconds(tick - restarted), 0.3 * 0.95);
  delete timer;
}

// Real sleeps that report when they begin.
std::atomic<int> sleepsBegun{0};
void ReportingSleep(int ms) {
  ++sleepsBegun;
  System::Kernel::Sleep(static_cast<std::uint32_t>(ms));
}

TEST(TQevTimer, IntervalChangeWaitsForTheNextWait) {
  TimerProbe probe;
  const auto previous = TThread::SetSleepHook(ReportingSleep);
  auto* timer = new TQevTimer(nullptr);  // its first wait is the default 1.0 s
  const auto created = Clock::now();
  timer->SetOnTimer(probe.Event());
  ASSERT_TRUE(ServeUntil([&] { return sleepsBegun.load() == 1; }));
  timer->SetInterval(0.005);  // during the wait
  ASSERT_TRUE(ServeUntil([&] { return probe.calls.load() >= 1; }));
  EXPECT_GE(Seconds(Clock::now() - created), 1.0 * 0.95);
  const auto firstDone = Clock::now();
  ASSERT_TRUE(ServeUntil([&] { return probe.calls.load() >= 6; }));  // now every 5 ms
  EXPECT_LT(Seconds(Clock::now() - firstDone), 0.9 * QEV_TIMEOUT_MULTIPLIER);
  delete timer;
  TThread::SetSleepHook(previous);
}

TEST(TQevTimer, IntervalBelowOneMillisecondDoesNotPause) {
  for (double interval : {0.0, -1.0, 0.0007}) {
    auto* timer = new TQevTimer(nullptr);
    timer->SetInterval(interval);
    timer->Start();
    EXPECT_TRUE(ServeUntil([&] { return timer->GetCycleNumber() >= 1000; }, 5s)) << interval;
    delete timer;
  }
}

TEST(TQevTimer, PriorityReachesTheRunningWorkerAndEveryNewOne) {
  std::atomic<int> seen{-1};
  TimerProbe probe;
  probe.action = [&](TQevTimer*) { seen = static_cast<int>(TThread::Current()->Priority()); };
  auto* timer = new TQevTimer(nullptr);
  timer->SetOnTimer(probe.Event());
  timer->SetInterval(0.005);
  timer->Start();
  ASSERT_TRUE(ServeUntil([&] { return seen.load() == int(TThreadPriority::tpNormal); }));
  timer->SetPriority(TThreadPriority::tpLower);
  EXPECT_TRUE(ServeUntil([&] { return seen.load() == int(TThreadPriority::tpLower); }));
  timer->Stop();
  timer->SetPriority(TThreadPriority::tpLowest);  // no worker: only stored
  seen = -1;
  timer->Start();
  EXPECT_TRUE(ServeUntil([&] { return seen.load() == int(TThreadPriority::tpLowest); }));
  delete timer;
}

TEST(TQevTimer, SynchronizedTicksWaitForTheMainThread) {
  TimerProbe probe;
  auto* timer = new TQevTimer(nullptr);
  timer->SetNeedSynchronization(true);
  timer->SetOnTimer(probe.Event());
  timer->SetInterval(0.001);
  timer->Start();
  std::this_thread::sleep_for(150ms);  // no dispatch served
  EXPECT_EQ(timer->GetCycleNumber(), 0u);
  EXPECT_EQ(probe.calls.load(), 0);
  ASSERT_TRUE(ServeUntil([&] { return probe.calls.load() >= 3; }));
  EXPECT_EQ(probe.thread.load(), System::Kernel::MainThreadId());
  delete timer;
}

class HandlerException : public testing::TestWithParam<bool> {};

TEST_P(HandlerException, EndsTheWorkerAndLeavesTheTimerEnabled) {
  TimerProbe probe;
  probe.action = [](TQevTimer*) { throw std::runtime_error("handler failed"); };
  auto* timer = new TQevTimer(nullptr);
  timer->SetNeedSynchronization(GetParam());
  timer->SetInterval(0.005);
  timer->SetOnTimer(probe.Event());
  timer->Start();
  ASSERT_TRUE(AllThreadsEnded());
  ServeFor(50ms);
  EXPECT_EQ(probe.calls.load(), 1);
  EXPECT_TRUE(timer->Enabled());
  EXPECT_EQ(timer->GetCycleNumber(), 0u);  // the failed tick was not counted
  probe.action = nullptr;
  timer->Start();  // a new run works
  EXPECT_TRUE(ServeUntil([&] { return probe.calls.load() >= 3; }));
  delete timer;
}

INSTANTIATE_TEST_SUITE_P(OnWorkerOrMainThread, HandlerException, testing::Bool());

TEST(TQevTimer, DesignStateStartsAndResetsNothing) {
  const int before = TThread::ActiveCount();  // workers of earlier tests may still be ending
  auto* form = new System::Classes::TComponent(nullptr);
  form->SetDesigning(true);
  auto* timer = new TQevTimer(form);
  EXPECT_TRUE(timer->ComponentState() & System::Classes::csDesigning);
  timer->Start();
  timer->Restart();
  timer->SetEnabled(false);
  timer->SetEnabled(true);
  timer->Stop();
  timer->SetPriority(TThreadPriority::tpHigher);
  EXPECT_LE(TThread::ActiveCount(), before);
  EXPECT_FALSE(timer->Enabled());  // settings are held
  EXPECT_EQ(timer->Priority(), TThreadPriority::tpHigher);
  const auto t0 = Clock::now();
  delete form;  // frees the timer, pausing as always
  EXPECT_GE(Seconds(Clock::now() - t0), 0.5 * 0.95);
}

TEST(TQevTimer, DestructionPausesHalfASecondWithOrWithoutAWorker) {
  for (bool running : {true, false}) {
    auto* timer = new TQevTimer(nullptr);
    if (!running) timer->Stop();
    const auto t0 = Clock::now();
    delete timer;
    EXPECT_GE(Seconds(Clock::now() - t0), 0.5 * 0.95) << running;
  }
}

// --- Refused worker threads -----------------------------------------------

std::atomic<bool> refuseThreads{false};
System::Kernel::OsThread* MaybeRefuse(System::Kernel::ThreadEntry e, void* arg) {
  return refuseThreads ? nullptr : qevtest::SystemServices().CreateThread(e, arg);
}

System::Kernel::Services MaybeRefusingServices() {
  auto s = System::Kernel::DefaultServices();
  s.CreateThread = MaybeRefuse;
  return s;
}

struct RefusedThreads : testing::Test {
  qevtest::ScopedServices services{MaybeRefusingServices()};
  void TearDown() override { refuseThreads = false; }
};

TEST_F(RefusedThreads, StartRaisesAndLeavesNoWorker) {
  auto* timer = new TQevTimer(nullptr);
  timer->SetInterval(0.005);
  ASSERT_TRUE(ServeUntil([&] { return timer->GetCycleNumber() >= 2; }));
  timer->SetInterval(0.5);
  refuseThreads = true;
  EXPECT_THROW(timer->Start(), System::Classes::EThread);
  EXPECT_TRUE(timer->Enabled());
  EXPECT_GE(timer->GetCycleNumber(), 2u);  // not reset
  timer->SetPriority(TThreadPriority::tpLower);  // no current worker to reach
  EXPECT_TRUE(AllThreadsEnded());  // the old worker was told to stop
  refuseThreads = false;
  timer->Start();
  EXPECT_EQ(TThread::ActiveCount(), 1);
  delete timer;
}

TEST_F(RefusedThreads, ConstructorRaisesAfterTearingDown) {
  refuseThreads = true;
  auto* owner = new System::Classes::TComponent(nullptr);
  const auto t0 = Clock::now();
  EXPECT_THROW((void)new TQevTimer(owner), System::Classes::EThread);
  EXPECT_GE(Seconds(Clock::now() - t0), 0.5 * 0.95);
  EXPECT_EQ(owner->ComponentCount(), 0);  // nothing half-built left with the owner
  delete owner;
}

// --- Lifetime hazards -------------------------------------------------------
// Each ends with every worker gone; ASan and TSan check the memory.

TEST(Lifetime, WorkerThatEndedByItselfCountsAsAbsent) {
  auto* timer = new TQevTimer(nullptr);
  timer->SetInterval(0.001);
  timer->SetCycled(false);
  timer->Start();
  ASSERT_TRUE(AllThreadsEnded());  // the worker has freed itself
  timer->SetPriority(TThreadPriority::tpLower);
  timer->Stop();
  EXPECT_EQ(timer->GetCycleNumber(), 0u);
  timer->Start();
  timer->SetCycled(true);
  EXPECT_TRUE(ServeUntil([&] { return timer->GetCycleNumber() >= 1; }));
  delete timer;
}

// A worker whose first tick comes at once can stop its timer from its own
// thread while the main thread is still inside Start, storing that worker.
// The worker must not free itself before the store, or the timer keeps a
// freed worker (AddressSanitizer reports its use by the next Start).
TEST(Lifetime, WorkerStoppingItsTimerWhileStartStoresIt) {
  TimerProbe probe;
  probe.action = [](TQevTimer* t) { t->Stop(); };
  auto* timer = new TQevTimer(nullptr);
  timer->SetInterval(0);
  timer->SetOnTimer(probe.Event());
  // The main thread keeps busy with the timer while the worker runs, so that
  // the worker's start often preempts it inside Start.
  const auto end = Clock::now() + 3s;
  for (int round = 0; round < 20000 && Clock::now() < end; ++round) {
    timer->Start();
    for (int i = 0; TThread::ActiveCount() > 0; ++i)
      timer->SetPriority(i % 2 ? TThreadPriority::tpLower : TThreadPriority::tpNormal);
  }
  EXPECT_FALSE(timer->Enabled());
  EXPECT_GE(probe.calls.load(), 1);
  delete timer;
}

// Likewise a handler that restarts its timer while Start stores the worker:
// one worker must run on, not two. The race is narrow, hence the 3 s of
// rounds.
TEST(Lifetime, WorkerRestartingItsTimerWhileStartStoresIt) {
  std::atomic<bool> armed{false}, restarted{false};
  TimerProbe probe;
  probe.action = [&](TQevTimer* t) {
    if (armed.exchange(false)) {
      t->Restart();
      restarted = true;
    }
  };
  auto* timer = new TQevTimer(nullptr);
  timer->SetInterval(0);
  timer->SetOnTimer(probe.Event());
  timer->Stop();
  ASSERT_TRUE(AllThreadsEnded());
  const auto end = Clock::now() + 3s;
  for (int round = 0; round < 20000 && Clock::now() < end; ++round) {
    restarted = false;
    armed = true;
    timer->Start();
    for (int i = 0; !restarted.load(); ++i)
      timer->SetPriority(i % 2 ? TThreadPriority::tpLower : TThreadPriority::tpNormal);
    // The replaced worker ends at once (no pause between ticks).
    ASSERT_TRUE(ServeUntil([] { return TThread::ActiveCount() <= 1; })) << "two workers in round " << round;
    timer->Stop();
    ASSERT_TRUE(AllThreadsEnded());
  }
  delete timer;
}

TEST(Lifetime, DestroyWhileAHandlerRunsLongerThanThePause) {
  TimerProbe probe;
  std::atomic<bool> inHandler{false}, handlerDone{false};
  probe.action = [&](TQevTimer* t) {
    inHandler = true;
    std::this_thread::sleep_for(800ms);
    (void)t->Cycled();  // still a live timer here
    handlerDone = true;
  };
  auto* timer = new TQevTimer(nullptr);
  timer->SetInterval(0.001);
  timer->SetOnTimer(probe.Event());
  timer->Start();
  ASSERT_TRUE(ServeUntil([&] { return inHandler.load(); }));
  probe.Destroy(timer);
  EXPECT_TRUE(handlerDone);  // destruction waited for the handler to return
  EXPECT_TRUE(AllThreadsEnded());
  EXPECT_FALSE(probe.afterDestroy);
  EXPECT_EQ(probe.calls.load(), 1);
}

TEST(Lifetime, DestroyWithASynchronizedTickQueued) {
  TimerProbe probe;
  auto* timer = new TQevTimer(nullptr);
  timer->SetNeedSynchronization(true);
  timer->SetInterval(0.001);
  timer->SetOnTimer(probe.Event());
  timer->Start();
  std::this_thread::sleep_for(100ms);  // the tick is queued: nobody serves it
  probe.Destroy(timer);
  EXPECT_TRUE(AllThreadsEnded());
  EXPECT_EQ(probe.calls.load(), 0);  // the queued call never ran
}

class DestroyFromHandler : public testing::TestWithParam<bool> {};

TEST_P(DestroyFromHandler, OnEitherThread) {
  TimerProbe probe;
  probe.action = [&](TQevTimer* t) {
    if (probe.calls.load() == 1) probe.Destroy(t);
  };
  auto* timer = new TQevTimer(nullptr);
  timer->SetNeedSynchronization(GetParam());
  timer->SetInterval(0.001);
  timer->SetOnTimer(probe.Event());
  timer->Start();
  EXPECT_TRUE(AllThreadsEnded());
  ServeFor(50ms);
  EXPECT_EQ(probe.calls.load(), 1);
  EXPECT_FALSE(probe.afterDestroy);
}

INSTANTIATE_TEST_SUITE_P(OnWorkerOrMainThread, DestroyFromHandler, testing::Bool());

TEST(Lifetime, OwnerFreesRunningTimers) {
  TimerProbe probe;
  auto* owner = new System::Classes::TComponent(nullptr);
  for (int i = 0; i < 5; ++i) {
    auto* timer = new TQevTimer(owner);
    timer->SetInterval(0.001);
    timer->SetNeedSynchronization(i % 2 == 0);
    timer->SetOnTimer(probe.Event());
    timer->Start();
  }
  ASSERT_TRUE(ServeUntil([&] { return probe.calls.load() >= 20; }));
  delete owner;
  EXPECT_TRUE(AllThreadsEnded());
  EXPECT_FALSE(probe.afterDestroy);
}

}  // namespace
