#include "System.Classes.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/Services.hpp"
#include "support/Wait.hpp"

namespace {

using namespace System::Classes;
using namespace std::chrono_literals;
using qevtest::ServeFor;
using qevtest::ServeUntil;

// A thread whose body the test supplies, with flags the test can watch.
struct Flags {
  std::atomic<bool> ran{false}, destroyed{false}, release{false};
  std::atomic<std::uint64_t> bodyThread{0}, destructorThread{0};
  void Release() { release.store(true); }
  // Polls: std::atomic::wait misses notifications in MinGW's runtime.
  void AwaitRelease() {
    while (!release.load()) std::this_thread::sleep_for(1ms);
  }
};

template <class Body>
struct Worker : TThread {
  Flags* flags;
  Body body;
  Worker(Flags* f, Body b, bool freeSelf) : flags(f), body(b) { SetFreeOnTerminate(freeSelf); }
  ~Worker() override {
    flags->destructorThread = System::Kernel::CurrentThreadId();
    flags->destroyed = true;
  }
  void Execute() override {
    flags->bodyThread = System::Kernel::CurrentThreadId();
    body(*this);
    flags->ran = true;
  }
};

template <class Body>
Worker<Body>* Start(Flags* f, Body b, bool freeSelf = false) {
  return TThread::Create<Worker<Body>>(f, b, freeSelf);
}

TEST(Thread, ExecuteBeginsOnlyAfterTheWholeConstruction) {
  struct Slow : TThread {
    std::atomic<bool> constructed{false}, sawConstructed{false};
    Slow() {
      std::this_thread::sleep_for(50ms);  // give an early start every chance
      constructed = true;
    }
    void Execute() override { sawConstructed = constructed.load(); }
  };
  auto* t = TThread::Create<Slow>();
  t->WaitFor();
  EXPECT_TRUE(t->sawConstructed);
  delete t;
}

TEST(Thread, TerminateNeitherWaitsNorWakes) {
  Flags f;
  auto* blocked = Start(&f, [](auto& self) { self.flags->AwaitRelease(); });
  blocked->Terminate();  // would hang here if it waited for the thread
  EXPECT_TRUE(blocked->Terminated());
  EXPECT_FALSE(blocked->Finished());
  f.Release();
  blocked->WaitFor();
  delete blocked;

  Flags g;
  std::atomic<long long> sleptMs{0};
  std::atomic<bool> sleeping{false};
  auto* sleeper = Start(&g, [&](auto&) {
    const auto t0 = std::chrono::steady_clock::now();
    sleeping = true;
    TThread::Sleep(200);
    sleptMs = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
  });
  ASSERT_TRUE(qevtest::WaitUntil([&] { return sleeping.load(); }));
  sleeper->Terminate();
  sleeper->WaitFor();
  EXPECT_GE(sleptMs.load(), 190);  // the sleep ran to its end
  delete sleeper;
}

TEST(Thread, FreeOnTerminateDeletesOnTheThreadItself) {
  Flags f;
  const int before = TThread::ActiveCount();
  Start(&f, [](auto&) {}, true);
  ASSERT_TRUE(ServeUntil([&] { return f.destroyed.load(); }));
  EXPECT_EQ(f.destructorThread.load(), f.bodyThread.load());
  EXPECT_NE(f.destructorThread.load(), System::Kernel::MainThreadId());
  EXPECT_TRUE(ServeUntil([&] { return TThread::ActiveCount() == before; }));
}

TEST(Thread, ExceptionFromExecuteIsKeptAndTheThreadStillEnds) {
  Flags f;
  auto* kept = Start(&f, [](auto&) { throw std::runtime_error("boom"); });
  kept->WaitFor();
  ASSERT_TRUE(kept->FatalException());
  EXPECT_THROW(std::rethrow_exception(kept->FatalException()), std::runtime_error);
  EXPECT_FALSE(f.ran);
  delete kept;

  Flags g;  // a thread that frees itself still does so
  Start(&g, [](auto&) { throw std::runtime_error("boom"); }, true);
  EXPECT_TRUE(ServeUntil([&] { return g.destroyed.load(); }));
}

// Counts thread creations and refuses them while `refuse` is set.
std::atomic<int> creations{0};
std::atomic<bool> refuse{false};
System::Kernel::OsThread* CountingCreate(System::Kernel::ThreadEntry e, void* arg) {
  ++creations;
  return refuse ? nullptr : qevtest::SystemServices().CreateThread(e, arg);
}

TEST(Thread, RefusedCreationDestroysTheObjectAndThrows) {
  auto services = System::Kernel::DefaultServices();
  services.CreateThread = CountingCreate;
  const qevtest::ScopedServices counting(services);
  creations = 0;
  refuse = true;
  Flags f;
  EXPECT_THROW(Start(&f, [](auto&) {}), EThread);
  EXPECT_EQ(creations.load(), 1);
  EXPECT_TRUE(f.destroyed);  // the derived destructor ran
  EXPECT_FALSE(f.ran);

  refuse = false;  // passes through to the system again
  Flags g;
  Start(&g, [](auto&) {}, true);
  EXPECT_TRUE(ServeUntil([&] { return g.destroyed.load(); }));
  EXPECT_EQ(creations.load(), 2);
}

TEST(Thread, PriorityReachesTheSystemThread) {
  Flags f;
  auto* t = Start(&f, [](auto& self) { self.flags->AwaitRelease(); });
  for (int step = 0; step <= 6; ++step) {
    const auto p = static_cast<TThreadPriority>(step);
    t->SetPriority(p);
    EXPECT_EQ(t->Priority(), p) << "step " << step;
  }
  t->SetPriority(TThreadPriority::tpNormal);
  f.Release();
  t->WaitFor();
  delete t;
}

TEST(Thread, PrioritySetBeforeStartIsAppliedAtStart) {
  struct Low : TThread {
    std::atomic<int> seen{-1};
    Low() { SetPriority(TThreadPriority::tpLower); }
    void Execute() override { seen = static_cast<int>(Priority()); }
  };
  auto* t = TThread::Create<Low>();
  t->WaitFor();
  EXPECT_EQ(t->seen.load(), static_cast<int>(TThreadPriority::tpLower));
  delete t;
}

std::atomic<int> hookCalls{0}, hookLastMs{-1};
void RecordingSleep(int ms) {
  ++hookCalls;
  hookLastMs = ms;
}

TEST(Thread, SleepGoesThroughTheHook) {
  const auto previous = TThread::SetSleepHook(RecordingSleep);
  TThread::Sleep(2147483647);  // returns at once through the hook
  TThread::Sleep(-5);
  TThread::SetSleepHook(previous);
  EXPECT_EQ(hookCalls.load(), 2);
  EXPECT_EQ(hookLastMs.load(), 0);  // negative waits are none
}

// --- Main-thread dispatch ---------------------------------------------------

struct Target {
  std::atomic<int> calls{0};
  std::atomic<std::uint64_t> thread{0};
  void Run() {
    thread = System::Kernel::CurrentThreadId();
    ++calls;
  }
  void Fail() { throw std::logic_error("from the main thread"); }
};

TEST(Synchronize, RunsOnTheMainThreadAndBlocksTheCaller) {
  Target target;
  Flags f;
  std::atomic<bool> returned{false};
  auto* t = Start(&f, [&](auto&) {
    TThread::Synchronize(TThreadMethod::Bind<&Target::Run>(&target));
    returned = true;
  });
  std::this_thread::sleep_for(50ms);  // the dispatch is not served: no progress
  EXPECT_EQ(target.calls.load(), 0);
  EXPECT_FALSE(returned);
  ASSERT_TRUE(ServeUntil([&] { return returned.load(); }));
  EXPECT_EQ(target.calls.load(), 1);
  EXPECT_EQ(target.thread.load(), System::Kernel::MainThreadId());
  t->WaitFor();
  delete t;
}

TEST(Synchronize, PassesAnExceptionBackToTheCaller) {
  Target target;
  Flags f;
  std::atomic<bool> caught{false};
  auto* t = Start(&f, [&](auto&) {
    try {
      TThread::Synchronize(TThreadMethod::Bind<&Target::Fail>(&target));
    } catch (const std::logic_error&) {
      caught = true;
    }
  });
  EXPECT_TRUE(ServeUntil([&] { return caught.load(); }));
  t->WaitFor();
  delete t;
}

TEST(Synchronize, RunsAtOnceOnTheMainThread) {
  Target target;
  TThread::Synchronize(TThreadMethod::Bind<&Target::Run>(&target));
  EXPECT_EQ(target.calls.load(), 1);
  EXPECT_THROW(TThread::Synchronize(TThreadMethod::Bind<&Target::Fail>(&target)), std::logic_error);
}

std::atomic<int> wakes{0};
struct WakeCounter {
  void Wake(System::TObject*) { ++wakes; }
} wakeCounter;

TEST(Synchronize, DroppedCallsNeverRunAndReleaseTheirCallers) {
  const auto previous = SetWakeMainThread(TNotifyEvent::Bind<&WakeCounter::Wake>(&wakeCounter));
  wakes = 0;
  Target dropped, kept;
  Flags f;
  std::atomic<int> returned{0};
  std::string droppedSaw;
  auto* a = Start(&f, [&](auto&) {
    try {
      TThread::Synchronize(TThreadMethod::Bind<&Target::Run>(&dropped));
      droppedSaw = "returned";
    } catch (const EThread&) {
      droppedSaw = "EThread";
    }
    ++returned;
  });
  auto* b = Start(&f, [&](auto&) {
    TThread::Synchronize(TThreadMethod::Bind<&Target::Run>(&kept));
    ++returned;
  });
  // Both calls are queued once the wake hook has fired twice.
  ASSERT_TRUE(qevtest::WaitUntil([&] { return wakes.load() == 2; }));
  TThread::RemoveQueuedEvents(&dropped);
  ASSERT_TRUE(ServeUntil([&] { return returned.load() == 2; }));
  ServeFor(20ms);
  EXPECT_EQ(dropped.calls.load(), 0);
  EXPECT_EQ(kept.calls.load(), 1);
  a->WaitFor();
  EXPECT_EQ(droppedSaw, "EThread");  // never as if it had run
  b->WaitFor();
  delete a;
  delete b;
  SetWakeMainThread(previous);
}

TEST(Queue, ReturnsAtOnceAndRunsInTheDispatchUnlessDropped) {
  Target queued, dropped;
  Flags f;
  auto* t = Start(&f, [&](auto&) {
    TThread::Queue(TThreadMethod::Bind<&Target::Run>(&queued));
    TThread::Queue(TThreadMethod::Bind<&Target::Run>(&dropped));
  });
  t->WaitFor();  // returned without the main thread's help
  EXPECT_EQ(queued.calls.load(), 0);
  TThread::RemoveQueuedEvents(&dropped);  // freed unrun (LeakSanitizer checks)
  EXPECT_TRUE(CheckSynchronize(0));
  EXPECT_EQ(queued.calls.load(), 1);
  EXPECT_EQ(queued.thread.load(), System::Kernel::MainThreadId());
  ServeFor(20ms);
  EXPECT_EQ(queued.calls.load(), 1);
  EXPECT_EQ(dropped.calls.load(), 0);
  delete t;
}

// Many threads queue at once while the main thread serves and another
// thread drops some of one thread's calls: every call that runs, runs once,
// after the calls its thread queued before it. The threads meet only
// through the dispatch and TThread.
TEST(Queue, EachThreadsCallsRunInTheirOrderWhileManyQueueAndOneDrops) {
  constexpr int kThreads = 8, kCalls = 400;
  struct Step {
    int thread, index;
    int* last;  // per thread, the index of its last call that ran: main thread only
    int* outOfOrder;
    void Run() {
      if (index <= last[thread]) ++*outOfOrder;
      last[thread] = index;
    }
  };
  int last[kThreads], outOfOrder = 0;
  std::fill(std::begin(last), std::end(last), -1);
  std::vector<std::vector<Step>> steps(kThreads);
  for (int t = 0; t < kThreads; ++t)
    for (int i = 0; i < kCalls; ++i) steps[t].push_back({t, i, last, &outOfOrder});
  struct Ran {
    int* count;
    void Run() { ++*count; }
  };
  int ran[kThreads] = {};
  std::vector<Ran> counters;
  for (int t = 0; t < kThreads; ++t) counters.push_back({&ran[t]});
  Flags f;
  std::vector<TThread*> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.push_back(Start(&f, [&, t](auto&) {
      for (Step& s : steps[t]) {
        TThread::Queue(TThreadMethod::Bind<&Step::Run>(&s));
        TThread::Queue(TThreadMethod::Bind<&Ran::Run>(&counters[t]));
      }
    }));
  // Drops thread 0's even steps, whether queued yet or not.
  threads.push_back(Start(&f, [&](auto&) {
    for (int i = 0; i < kCalls; i += 2) TThread::RemoveQueuedEvents(&steps[0][i]);
  }));
  const auto allFinished = [&] {
    return std::all_of(threads.begin(), threads.end(), [](TThread* t) { return t->Finished(); });
  };
  EXPECT_TRUE(ServeUntil(allFinished, 60s));
  while (CheckSynchronize(0)) {
  }
  EXPECT_EQ(outOfOrder, 0);
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(ran[t], kCalls) << "thread " << t;
    if (t > 0) {
      EXPECT_EQ(last[t], kCalls - 1) << "thread " << t;
    }
  }
  for (TThread* t : threads) {
    t->WaitFor();
    delete t;
  }
}

TEST(Queue, AnExceptionLeavesCheckSynchronizeOnceTheRoundHasRun) {
  Target failing, after;
  Flags f;
  auto* t = Start(&f, [&](auto&) {
    TThread::Queue(TThreadMethod::Bind<&Target::Fail>(&failing));
    TThread::Queue(TThreadMethod::Bind<&Target::Run>(&after));
  });
  t->WaitFor();
  EXPECT_THROW(CheckSynchronize(0), std::logic_error);
  EXPECT_EQ(after.calls.load(), 1);
  EXPECT_FALSE(CheckSynchronize(0));  // nothing left
  delete t;
}

TEST(Queue, RunsAtOnceOnTheMainThread) {
  Target target;
  TThread::Queue(TThreadMethod::Bind<&Target::Run>(&target));
  EXPECT_EQ(target.calls.load(), 1);
}

// CheckSynchronize(timeout) sleeps until a call arrives: an arrival ends the
// wait at once (a missed wake would hold it for the whole timeout), and with
// none it returns false after about the timeout.
TEST(Synchronize, CheckSynchronizeWaitsForAnArrivalOrTheTimeout) {
  using Clock = std::chrono::steady_clock;
  auto start = Clock::now();
  EXPECT_FALSE(CheckSynchronize(50));
  EXPECT_GE(Clock::now() - start, 40ms);  // whole milliseconds: at most 1 ms short

  for (int round = 0; round < 3; ++round) {
    Target target;
    Flags f;
    auto* t = Start(&f, [&](auto&) { TThread::Synchronize(TThreadMethod::Bind<&Target::Run>(&target)); });
    start = Clock::now();
    EXPECT_TRUE(CheckSynchronize(30000));
    EXPECT_LT(Clock::now() - start, qevtest::Scaled(3000ms)) << "round " << round;
    EXPECT_EQ(target.calls.load(), 1);
    t->WaitFor();
    delete t;
  }
}

// Many callers wait at once; each returns only after its own call has run,
// however the main thread's serving and their wake-ups interleave.
TEST(Synchronize, EachCallerReturnsAfterItsOwnCall) {
  constexpr int kThreads = 16, kCalls = 200;
  struct Caller {
    std::atomic<int> ran{0};
    void Run() { ran.fetch_add(1); }
  };
  Caller callers[kThreads];
  std::atomic<int> early{0}, finished{0};
  Flags f;
  std::vector<TThread*> threads;
  for (Caller& c : callers)
    threads.push_back(Start(&f, [&c, &early, &finished](auto&) {
      for (int i = 1; i <= kCalls; ++i) {
        TThread::Synchronize(TThreadMethod::Bind<&Caller::Run>(&c));
        if (c.ran.load() != i) early.fetch_add(1);
      }
      finished.fetch_add(1);
    }));
  EXPECT_TRUE(ServeUntil([&] { return finished.load() == kThreads; }, 60s));
  EXPECT_EQ(early.load(), 0);
  for (TThread* t : threads) {
    t->WaitFor();
    delete t;
  }
}

// Callers arriving together while the main thread waits in CheckSynchronize:
// each wait ends with an arrival, never at its timeout. Every caller blocks
// in Synchronize until its call has run, so a wake-up lost between them
// would leave nothing else to end the wait.
TEST(Synchronize, CheckSynchronizeWakesForCallersArrivingTogether) {
  struct Case {
    int threads, calls;
  };
  static const Case kCases[] = {{2, 2000}, {16, 200}, {64, 30}};
  struct Counter {
    std::atomic<int> ran{0};
    void Run() { ran.fetch_add(1); }
  };
  for (const Case& c : kCases) {
    Counter counter;  // counts on the main thread: the threads meet only through the dispatch
    Flags f;
    std::vector<TThread*> threads;
    for (int t = 0; t < c.threads; ++t)
      threads.push_back(Start(&f, [&](auto&) {
        for (int i = 0; i < c.calls; ++i) TThread::Synchronize(TThreadMethod::Bind<&Counter::Run>(&counter));
      }));
    int timedOut = 0;
    using Clock = std::chrono::steady_clock;
    const Clock::time_point end = Clock::now() + 120s;
    while (counter.ran.load() < c.threads * c.calls && Clock::now() < end) {
      const Clock::time_point start = Clock::now();
      // Returns at an arrival; only a lost wake-up lets it reach its timeout
      // (a wait ends after 1 s on Windows, so there this cannot fail).
      if (!CheckSynchronize(20000) && Clock::now() - start >= 19s) ++timedOut;
    }
    EXPECT_EQ(timedOut, 0) << c.threads << " threads";
    EXPECT_EQ(counter.ran.load(), c.threads * c.calls) << c.threads << " threads";
    for (TThread* t : threads) {
      t->WaitFor();
      delete t;
    }
  }
}

TEST(Synchronize, ServingTheDispatchOutsideTheMainThreadRaises) {
  static const TDispatchGroup key = TThread::NewDispatchGroup();
  static void (*const kCalls[])() = {
      [] { CheckSynchronize(0); },
      [] { TThread::ServeGroup(key); },
      [] { TThread::GroupCallsRunning(key); },
  };
  for (auto* call : kCalls) {
    std::atomic<bool> raised{false};
    std::thread other([&] {
      try {
        call();
      } catch (const EThread&) {
        raised = true;
      }
    });
    other.join();
    EXPECT_TRUE(raised);
  }
}

// --- Kept errors and dispatch groups -------------------------------------------

struct Raises {
  int id;
  void Fail() { throw std::runtime_error(std::to_string(id)); }
};

// The message of the exception that `call` raises, or "none".
template <class F>
std::string Raised(F call) {
  try {
    call();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "none";
}

TEST(Queue, EveryExceptionOfARoundLeavesACheckSynchronizeInTurn) {
  Raises first{1}, second{2};
  Target after;
  Flags f;
  auto* t = Start(&f, [&](auto&) {
    TThread::Queue(TThreadMethod::Bind<&Raises::Fail>(&first));
    TThread::Queue(TThreadMethod::Bind<&Raises::Fail>(&second));
    TThread::Queue(TThreadMethod::Bind<&Target::Run>(&after));
  });
  t->WaitFor();
  EXPECT_EQ(Raised([] { CheckSynchronize(0); }), "1");
  EXPECT_EQ(after.calls.load(), 1);  // the round ran to its end
  EXPECT_EQ(Raised([] { CheckSynchronize(0); }), "2");
  EXPECT_EQ(Raised([] { EXPECT_FALSE(CheckSynchronize(0)); }), "none");
  delete t;
}

// Three threads in two groups and one in none queue calls; serving a group
// runs its calls alone, in queue order, and never raises.
TEST(DispatchGroup, ServingAGroupRunsItsCallsAloneInOrder) {
  const TDispatchGroup groupA = TThread::NewDispatchGroup(), groupB = TThread::NewDispatchGroup();
  std::vector<int> order;  // the main thread's alone
  struct Step {
    std::vector<int>* order;
    int id;
    void Run() { order->push_back(id); }
  };
  Step a1{&order, 1}, a2{&order, 2}, b{&order, 3}, none{&order, 4};
  Raises failing{5};
  Flags f;
  auto* ta = Start(&f, [&](auto& self) {
    self.SetDispatchGroup(groupA);
    TThread::Queue(TThreadMethod::Bind<&Step::Run>(&a1));
    TThread::Queue(TThreadMethod::Bind<&Raises::Fail>(&failing));
  });
  ta->WaitFor();
  auto* tb = Start(&f, [&](auto& self) {
    self.SetDispatchGroup(groupB);
    TThread::Queue(TThreadMethod::Bind<&Step::Run>(&b));
  });
  tb->WaitFor();
  std::thread([&] { TThread::Queue(TThreadMethod::Bind<&Step::Run>(&none)); }).join();
  auto* ta2 = Start(&f, [&](auto& self) {
    self.SetDispatchGroup(groupA);
    TThread::Queue(TThreadMethod::Bind<&Step::Run>(&a2));
  });
  ta2->WaitFor();

  EXPECT_EQ(Raised([&] { EXPECT_TRUE(TThread::ServeGroup(groupA)); }), "none");
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
  EXPECT_FALSE(TThread::ServeGroup(groupA));
  // The kept exception comes out of the next CheckSynchronize, after its round.
  EXPECT_EQ(Raised([] { CheckSynchronize(0); }), "5");
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4}));
  for (TThread* t : {static_cast<TThread*>(ta), static_cast<TThread*>(tb), static_cast<TThread*>(ta2)}) delete t;
}

// A Synchronize call served by ServeGroup gets its exception back as usual.
TEST(DispatchGroup, ASynchronizeCallServedByItsGroupPassesItsExceptionBack) {
  const TDispatchGroup group = TThread::NewDispatchGroup();
  Raises failing{6};
  Flags f;
  std::string caught;  // read after WaitFor
  auto* t = Start(&f, [&](auto& self) {
    self.SetDispatchGroup(group);
    caught = Raised([&] { TThread::Synchronize(TThreadMethod::Bind<&Raises::Fail>(&failing)); });
  });
  const auto deadline = std::chrono::steady_clock::now() + qevtest::Scaled(10s);
  while (!TThread::ServeGroup(group) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(1ms);
  t->WaitFor();
  EXPECT_EQ(caught, "6");
  EXPECT_FALSE(CheckSynchronize(0));  // nothing kept, nothing left
  delete t;
}

// The main thread runs a Synchronize call of group A, which starts a second
// thread of the group and serves the group until that thread's Synchronize
// call has run nested in it: both are counted while they run; neither a Queue
// call nor another group's calls are.
TEST(DispatchGroup, GroupCallsRunningCountsTheRunningSynchronizeCallsOfTheGroup) {
  static const TDispatchGroup groupA = TThread::NewDispatchGroup(), groupB = TThread::NewDispatchGroup();
  struct Probe {
    // The main thread's alone.
    int outerSees = -1, innerSees = -1, otherGroupSees = -1, queuedSees = -1;
    TThread* inner = nullptr;
    Flags flags;
    void Outer() {
      outerSees = TThread::GroupCallsRunning(groupA);
      inner = Start(&flags, [this](auto& self) {
        self.SetDispatchGroup(groupA);
        TThread::Synchronize(TThreadMethod::Bind<&Probe::Inner>(this));
      });
      const auto deadline = std::chrono::steady_clock::now() + qevtest::Scaled(10s);
      while (innerSees < 0 && std::chrono::steady_clock::now() < deadline) {
        TThread::ServeGroup(groupA);
        std::this_thread::sleep_for(1ms);
      }
    }
    void Inner() {
      innerSees = TThread::GroupCallsRunning(groupA);
      otherGroupSees = TThread::GroupCallsRunning(groupB);
    }
    void Queued() { queuedSees = TThread::GroupCallsRunning(groupA); }
  } probe;
  Flags f;
  auto* outer = Start(&f, [&](auto& self) {
    self.SetDispatchGroup(groupA);
    TThread::Synchronize(TThreadMethod::Bind<&Probe::Outer>(&probe));
  });
  EXPECT_TRUE(ServeUntil([&] { return probe.innerSees >= 0; }));
  outer->WaitFor();
  // A Queue call of the group, running alone, counts nothing: itself neither.
  auto* queued = Start(&f, [&](auto& self) {
    self.SetDispatchGroup(groupA);
    TThread::Queue(TThreadMethod::Bind<&Probe::Queued>(&probe));
  });
  queued->WaitFor();
  EXPECT_TRUE(TThread::ServeGroup(groupA));
  EXPECT_EQ(probe.outerSees, 1);
  EXPECT_EQ(probe.innerSees, 2);
  EXPECT_EQ(probe.otherGroupSees, 0);
  EXPECT_EQ(probe.queuedSees, 0);
  EXPECT_EQ(TThread::GroupCallsRunning(groupA), 0);
  probe.inner->WaitFor();
  for (TThread* t : {static_cast<TThread*>(outer), static_cast<TThread*>(queued), probe.inner}) delete t;
}

}  // namespace
