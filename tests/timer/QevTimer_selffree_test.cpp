// Timers freed by their own worker-thread handlers (one-shot timers that
// clean up after themselves) while the main thread keeps using their owner,
// frees that owner, or is still inside a call on the timer.
//
// The main thread and the workers meet only through the library here: the
// handlers keep no state and the tests share no flag with them, so that
// ThreadSanitizer sees no ordering the library does not make itself.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "QevTimer.hpp"
#include "TimerProbe.hpp"
#include "support/Wait.hpp"

namespace {

using namespace std::chrono_literals;
using Qevtimer::TQevTimer;
using System::Classes::TComponent;
using System::Classes::TNotifyEvent;
using System::Classes::TThreadPriority;
using qevtest::AllThreadsEnded;
using qevtest::ServeUntil;

// A component owned by a timer, freed with it: counts the timers destroyed,
// and a timer destroyed twice frees its witness twice (AddressSanitizer).
std::atomic<int> destroyed{0};
struct Witness : TComponent {
  using TComponent::TComponent;
  ~Witness() override { ++destroyed; }
};

TQevTimer* WitnessedTimer(TComponent* owner) {
  auto* timer = new TQevTimer(owner);
  new Witness(timer);
  return timer;
}

struct FreesSender {
  void OnTimer(System::TObject* sender) { delete static_cast<TQevTimer*>(sender); }
};
struct SleepsThenFreesSender {
  void OnTimer(System::TObject* sender) {
    std::this_thread::sleep_for(300ms);
    delete sender;  // through the base: the same destruction
  }
};
FreesSender freesSender;
SleepsThenFreesSender sleepsThenFreesSender;

TNotifyEvent FreeSender() { return TNotifyEvent::Bind<&FreesSender::OnTimer>(&freesSender); }

// The main thread's ordinary use of an owner: make a component under it,
// list the owned components, free it again. False if the list was not whole.
bool UseOwner(TComponent* owner) {
  bool whole = true;
  for (int round = 0; round < 200; ++round) {
    auto* mine = new TComponent(owner);
    const int n = owner->ComponentCount();
    for (int i = 0; i < n; ++i) whole &= owner->Components(i) && owner->Components(i)->Owner() == owner;
    whole &= n >= 1 && owner->Components(n - 1) == mine;
    delete mine;
  }
  return whole;
}

TEST(SelfFreeingTimers, OwnerStaysWholeWhileTheMainThreadUsesIt) {
  destroyed = 0;
  constexpr int kTimers = 6;
  auto* owner = new TComponent(nullptr);
  for (int i = 0; i < kTimers; ++i) {
    auto* timer = WitnessedTimer(owner);
    timer->SetInterval(0.020 + 0.001 * i);
    timer->SetOnTimer(FreeSender());
    timer->Start();
  }
  // No pause between rounds: the main thread changes the list all the time.
  bool whole = true;
  const auto deadline = std::chrono::steady_clock::now() + qevtest::Scaled(30s);
  while (owner->ComponentCount() > 0 && std::chrono::steady_clock::now() < deadline) {
    whole &= UseOwner(owner);
    System::Classes::CheckSynchronize(0);
  }
  EXPECT_EQ(owner->ComponentCount(), 0);
  EXPECT_TRUE(whole);
  EXPECT_TRUE(AllThreadsEnded());
  EXPECT_EQ(destroyed.load(), kTimers);
  delete owner;
}

// Ownerless timers freed by threads of the application's own, outside their
// handlers, are destroyed there at once: the main thread serves no dispatch.
TEST(SelfFreeingTimers, OwnerlessTimersFreedByOtherThreadsGoAtOnce) {
  destroyed = 0;
  constexpr int kTimers = 4;
  TQevTimer* timers[kTimers];
  for (TQevTimer*& t : timers) t = WitnessedTimer(nullptr);
  std::thread helpers[kTimers];
  for (int i = 0; i < kTimers; ++i) helpers[i] = std::thread([t = timers[i]] { delete t; });
  for (std::thread& h : helpers) h.join();
  EXPECT_EQ(destroyed.load(), kTimers);
  EXPECT_TRUE(AllThreadsEnded());
}

// An ownerless timer that its handler has freed, freed again by another
// thread: that delete steps aside, and the main thread's dispatch destroys
// the timer once.
TEST(SelfFreeingTimers, OwnerlessTimerFreedByItsHandlerAndAnotherThreadGoesOnce) {
  destroyed = 0;
  auto* timer = WitnessedTimer(nullptr);
  timer->SetInterval(0.010);
  timer->SetOnTimer(FreeSender());
  timer->Start();
  std::this_thread::sleep_for(300ms);  // the handler has most likely freed it
  std::thread([timer] { delete timer; }).join();
  EXPECT_TRUE(ServeUntil([] { return destroyed.load() == 1; }));
  qevtest::ServeFor(50ms);  // nothing queued is left to destroy it again
  EXPECT_EQ(destroyed.load(), 1);
  EXPECT_TRUE(AllThreadsEnded());
}

// The owner is freed while the handlers are freeing the same timers: the
// owner's destructor reaches some timers first (their handlers then step
// aside) and finds others already handed over by their handlers.
struct OwnerFreedCase {
  const char* name;
  std::chrono::milliseconds delay;  // before the owner is freed
  bool serve;                       // serve the dispatch during the delay
};

class OwnerFreedWhileHandlersFreeTimers : public testing::TestWithParam<OwnerFreedCase> {};

TEST_P(OwnerFreedWhileHandlersFreeTimers, EachTimerIsDestroyedOnce) {
  const OwnerFreedCase& c = GetParam();
  destroyed = 0;
  constexpr int kTimers = 6;
  auto* owner = new TComponent(nullptr);
  for (int i = 0; i < kTimers; ++i) {
    auto* timer = WitnessedTimer(owner);
    timer->SetInterval(0.050);
    timer->SetOnTimer(TNotifyEvent::Bind<&SleepsThenFreesSender::OnTimer>(&sleepsThenFreesSender));
    timer->Start();
  }
  if (c.serve)
    qevtest::ServeFor(c.delay);
  else
    std::this_thread::sleep_for(c.delay);
  delete owner;
  EXPECT_TRUE(AllThreadsEnded());
  qevtest::ServeFor(50ms);  // nothing left queued may touch a freed timer
  EXPECT_EQ(destroyed.load(), kTimers);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OwnerFreedWhileHandlersFreeTimers,
    testing::Values(OwnerFreedCase{"WhileHandlersSleep", 150ms, false},
                    OwnerFreedCase{"AfterHandlersAskedUnserved", 500ms, false},
                    OwnerFreedCase{"AfterHandlersAskedServed", 450ms, true}),
    [](const testing::TestParamInfo<OwnerFreedCase>& info) { return info.param.name; });

// The main thread is still inside a call on the timer when the new worker's
// first tick (no pause: interval 0) frees it.
struct CallCase {
  const char* name;
  void (*call)(TQevTimer*);
  bool handlerFrees;  // the call leaves a worker that certainly ticks
};

class FreedWhileTheMainThreadIsInACall : public testing::TestWithParam<CallCase> {};

TEST_P(FreedWhileTheMainThreadIsInACall, MemoryOutlivesTheCall) {
  const CallCase& c = GetParam();
  destroyed = 0;
  auto* owner = new TComponent(nullptr);
  auto* timer = WitnessedTimer(owner);  // its first worker waits 1 s
  timer->SetEnabled(false);
  timer->SetInterval(0);
  timer->SetOnTimer(FreeSender());
  c.call(timer);
  // Not serving the dispatch for a while gives the handler time to free the
  // timer, without the dispatch's lock ordering this thread's last writes
  // before that (ThreadSanitizer would see no race then).
  std::this_thread::sleep_for(600ms);
  if (c.handlerFrees) {
    EXPECT_TRUE(ServeUntil([&] { return owner->ComponentCount() == 0; }));
    EXPECT_EQ(destroyed.load(), 1);
  }
  delete owner;  // frees the timer if its handler did not
  EXPECT_TRUE(AllThreadsEnded());
  EXPECT_EQ(destroyed.load(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Calls, FreedWhileTheMainThreadIsInACall,
    testing::Values(CallCase{"Start", [](TQevTimer* t) { t->Start(); }, true},
                    CallCase{"Restart", [](TQevTimer* t) { t->Restart(); }, true},
                    CallCase{"SetEnabled", [](TQevTimer* t) { t->SetEnabled(true); }, true},
                    CallCase{"StartThenSetPriority",
                             [](TQevTimer* t) {
                               t->Start();
                               for (int i = 0; i < 2000; ++i)
                                 t->SetPriority(i % 2 ? TThreadPriority::tpLower : TThreadPriority::tpNormal);
                             },
                             true},
                    CallCase{"StartThenStop",
                             [](TQevTimer* t) {
                               t->Start();
                               t->Stop();
                             },
                             false}),
    [](const testing::TestParamInfo<CallCase>& info) { return info.param.name; });

// Two deletes of one timer that overlap: one from inside its own
// worker-thread handler, one on the main thread (of the timer, or of its
// owner), in either order. The timer goes once, and the second delete
// touches nothing freed (the sanitizers check).
struct TwoDeletesCase {
  const char* name;
  bool handlerFirst;  // the handler's delete comes first
  bool viaOwner;      // the main thread frees the owner rather than the timer
};

struct DeletesItselfWhileRunning {
  bool handlerFirst;     // set before the timer runs
  bool entered = false;  // the main thread's
  void Entered() { entered = true; }
  void OnTimer(System::TObject* sender) {
    System::Classes::TThread::Queue(System::Classes::TThreadMethod::Bind<&DeletesItselfWhileRunning::Entered>(this));
    if (!handlerFirst) std::this_thread::sleep_for(150ms);  // the main thread's delete is under way
    delete sender;
    std::this_thread::sleep_for(handlerFirst ? 900ms : 750ms);
  }
};

class TwoDeletesOfOneTimer : public testing::TestWithParam<TwoDeletesCase> {};

TEST_P(TwoDeletesOfOneTimer, DestroyItOnce) {
  const TwoDeletesCase c = GetParam();
  destroyed = 0;
  auto* owner = c.viaOwner ? new TComponent(nullptr) : nullptr;
  auto* timer = WitnessedTimer(owner);
  timer->SetInterval(0.001);
  DeletesItselfWhileRunning handler{c.handlerFirst};
  timer->SetOnTimer(TNotifyEvent::Bind<&DeletesItselfWhileRunning::OnTimer>(&handler));
  timer->Start();
  if (c.handlerFirst)
    std::this_thread::sleep_for(qevtest::Scaled(200ms));  // not serving: the hand-over stays queued
  else
    ASSERT_TRUE(ServeUntil([&] { return handler.entered; }));
  if (c.viaOwner)
    delete owner;
  else
    delete timer;
  EXPECT_TRUE(ServeUntil([] { return destroyed.load() == 1; }));
  EXPECT_TRUE(AllThreadsEnded());
  qevtest::ServeFor(50ms);
  EXPECT_TRUE(handler.entered);
  EXPECT_EQ(destroyed.load(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    SelfFreeingTimers, TwoDeletesOfOneTimer,
    testing::Values(TwoDeletesCase{"HandlerThenMainThread", true, false},
                    TwoDeletesCase{"MainThreadThenHandler", false, false},
                    TwoDeletesCase{"HandlerThenOwner", true, true}, TwoDeletesCase{"OwnerThenHandler", false, true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
