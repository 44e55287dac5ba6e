// The main thread's wake hook: replaced while other threads queue calls, and
// raising inside Synchronize and Queue.
#include "System.Classes.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <vector>

#include "support/HangGuard.hpp"
#include "support/Wait.hpp"

namespace {

using namespace System::Classes;
using namespace std::chrono_literals;

struct Target {
  std::atomic<int> calls{0};
  void Run() { calls.fetch_add(1); }
};

// A thread that queues `count` calls on `target`.
struct Queuer : TThread {
  Target* target;
  int count;
  Queuer(Target* t, int n) : target(t), count(n) {}
  void Execute() override {
    for (int i = 0; i < count; ++i) TThread::Queue(TThreadMethod::Bind<&Target::Run>(target));
  }
};

constexpr int kQueuers = 3, kCalls = 5000;

// Replaces the hook with `hook(i)` for i = 0, 1, ... while `queuers` run,
// serving their calls between swaps, then waits for them and drains the
// queue. Returns the number of swaps.
template <class NewHook>
int SwapWhileQueueing(NewHook hook) {
  const TNotifyEvent original = SetWakeMainThread({});
  Target target;
  std::vector<TThread*> queuers;
  for (int i = 0; i < kQueuers; ++i) queuers.push_back(TThread::Create<Queuer>(&target, kCalls));
  auto finished = [&] {
    for (TThread* q : queuers)
      if (!q->Finished()) return false;
    return true;
  };
  int swaps = 0;
  for (const auto limit = std::chrono::steady_clock::now() + qevtest::Scaled(60s);
       !finished() && std::chrono::steady_clock::now() < limit; ++swaps) {
    hook(swaps);
    CheckSynchronize(0);
  }
  EXPECT_TRUE(finished());
  for (TThread* q : queuers) {
    q->WaitFor();
    delete q;
  }
  SetWakeMainThread(original);
  while (CheckSynchronize(0)) {
  }
  EXPECT_EQ(target.calls.load(), kQueuers * kCalls);
  return swaps;
}

// A few microseconds of work, as posting a message takes.
void Busy() {
  for (const auto end = std::chrono::steady_clock::now() + 20us; std::chrono::steady_clock::now() < end;) {
  }
}

// A waker that notes calls it gets once its owner has retired it, looking at
// both ends of its work.
struct NotingWaker {
  std::atomic<bool> retired{false};
  std::atomic<int>* late;
  void Wake(System::TObject*) {
    bool wasRetired = retired.load();
    Busy();
    wasRetired = wasRetired || retired.load();
    if (wasRetired) late->fetch_add(1);
  }
};

// A waker freed as soon as it is replaced, as an application's loop frees
// its waker and window: AddressSanitizer and ThreadSanitizer see any call
// that reaches it afterwards.
struct FreedWaker {
  std::atomic<int> wakes{0};
  void Wake(System::TObject*) {
    Busy();
    wakes.fetch_add(1);
  }
};

// Once SetWakeMainThread has returned, the hook it replaced is never called
// again, while other threads keep queueing calls.
TEST(WakeHook, AReplacedHookIsNeverCalledAgain) {
  std::atomic<int> late{0};
  std::vector<NotingWaker*> wakers;
  const int swaps = SwapWhileQueueing([&](int) {
    auto* waker = new NotingWaker;
    waker->late = &late;
    wakers.push_back(waker);
    SetWakeMainThread(TNotifyEvent::Bind<&NotingWaker::Wake>(waker));
    if (wakers.size() > 1) wakers[wakers.size() - 2]->retired.store(true);
  });
  if (!wakers.empty()) wakers.back()->retired.store(true);  // replaced by the original
  EXPECT_EQ(late.load(), 0) << "calls of a retired hook, in " << swaps << " swaps";
  for (NotingWaker* w : wakers) delete w;
}

// The same, with the threads meeting only through the library: each waker is
// freed right after its replacement.
TEST(WakeHook, AWakerFreedAfterItsReplacementIsNotTouched) {
  FreedWaker* current = nullptr;
  SwapWhileQueueing([&](int) {
    auto* next = new FreedWaker;
    SetWakeMainThread(TNotifyEvent::Bind<&FreedWaker::Wake>(next));
    delete current;
    current = next;
  });
  // The original hook is back: the last waker is retired too.
  delete current;
}

struct RaisingWaker {
  void Wake(System::TObject*) { throw std::runtime_error("no loop to wake"); }
};

// A hook that raises passes its exception to the queueing thread and leaves
// nothing in the queue: the main thread had not begun the call, so it is
// withdrawn unrun (and a Queue call's request freed: LeakSanitizer checks).
TEST(WakeHook, ARaisingHookLeavesNoRequestBehind) {
  enum class Kind { kSynchronize, kQueue };
  for (Kind kind : {Kind::kSynchronize, Kind::kQueue}) {
    SCOPED_TRACE(kind == Kind::kSynchronize ? "Synchronize" : "Queue");
    struct Caller : TThread {
      Kind kind;
      Target* target;
      std::atomic<bool> raised{false};
      Caller(Kind k, Target* t) : kind(k), target(t) {}
      void Execute() override {
        try {
          const TThreadMethod method = TThreadMethod::Bind<&Target::Run>(target);
          kind == Kind::kSynchronize ? TThread::Synchronize(method) : TThread::Queue(method);
        } catch (const std::runtime_error&) {
          raised = true;
        }
      }
    };
    RaisingWaker raising;
    Target target;
    const TNotifyEvent previous = SetWakeMainThread(TNotifyEvent::Bind<&RaisingWaker::Wake>(&raising));
    auto* caller = TThread::Create<Caller>(kind, &target);
    caller->WaitFor();  // its stack, and any request on it, is gone now
    SetWakeMainThread(previous);
    EXPECT_TRUE(caller->raised.load());
    EXPECT_FALSE(CheckSynchronize(0));
    EXPECT_EQ(target.calls.load(), 0);
    delete caller;
  }
}

// A hook that tries to replace the hook, which it must not: the replacement
// would wait for the very call it is made from.
struct ReplacingWaker {
  void Wake(System::TObject*) { SetWakeMainThread({}); }
};

// The replacement is refused with EThread, which Queue passes to its caller
// as any exception of the hook (the call withdrawn), and the hook stays.
TEST(WakeHook, AHookThatReplacesTheHookIsRefused) {
  const qevtest::HangGuard guard("a wake hook that replaces the hook", 20s);
  struct Caller : TThread {
    Target* target;
    bool refused = false;  // read after WaitFor
    explicit Caller(Target* t) : target(t) {}
    void Execute() override {
      try {
        TThread::Queue(TThreadMethod::Bind<&Target::Run>(target));
      } catch (const EThread&) {
        refused = true;
      }
    }
  };
  ReplacingWaker replacing;
  Target target;
  const TNotifyEvent previous = SetWakeMainThread(TNotifyEvent::Bind<&ReplacingWaker::Wake>(&replacing));
  auto* caller = TThread::Create<Caller>(&target);
  caller->WaitFor();
  EXPECT_TRUE(caller->refused);
  EXPECT_EQ(SetWakeMainThread(previous).data, &replacing);
  EXPECT_FALSE(CheckSynchronize(0));
  EXPECT_EQ(target.calls.load(), 0);
  delete caller;
}

// A long CheckSynchronize wait with nothing arriving lasts its whole timeout,
// however the system's waits are bounded inside it.
TEST(WakeHook, CheckSynchronizeWaitsBeyondOneSecond) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(CheckSynchronize(1500));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 1490ms);
}

}  // namespace
