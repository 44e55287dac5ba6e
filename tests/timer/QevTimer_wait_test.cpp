#include "QevTimer.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <mutex>
#include <ostream>
#include <vector>

#include "TimerProbe.hpp"
#include "support/Wait.hpp"

// The sleeps one wait of the worker makes, observed through the thread
// layer's sleep hook, which records each call and returns at once.
namespace {

using Qevtimer::TQevTimer;
using System::Classes::TThread;
using qevtest::AllThreadsEnded;
using qevtest::ServeUntil;
using qevtest::TimerProbe;

constexpr int L = 2147483647;
constexpr bool kExtended =
#if defined(QEV_TARGET_win32)
    true;  // the x86 build's wait arithmetic is 80-bit
#else
    false;
#endif

struct Sleeps {
  std::mutex lock;
  std::vector<int> calls;
  std::size_t stopAfter = 0;  // 0: never; else end the worker after that many calls
};
Sleeps sleeps;

struct StopWaiting {};

void RecordSleep(int ms) {
  std::lock_guard guard(sleeps.lock);
  sleeps.calls.push_back(ms);
  // Unwinds the worker's Execute: the thread ends with this as its exception.
  if (sleeps.stopAfter && sleeps.calls.size() >= sleeps.stopAfter) throw StopWaiting{};
}

// Runs one wait of `interval` on a fresh worker and returns its sleeps.
// With `stopAfter`, the worker is ended after that many sleep calls.
std::vector<int> WaitPlan(double interval, std::size_t stopAfter, int* handlerCalls) {
  TimerProbe probe;
  auto* timer = new TQevTimer(nullptr);
  timer->Stop();
  EXPECT_TRUE(AllThreadsEnded());  // the constructor's worker is gone
  const auto previous = TThread::SetSleepHook(RecordSleep);
  {
    std::lock_guard guard(sleeps.lock);
    sleeps.calls.clear();
    sleeps.stopAfter = stopAfter;
  }
  timer->SetInterval(interval);
  timer->SetCycled(false);  // one wait, one tick
  timer->SetOnTimer(probe.Event());
  timer->Start();
  EXPECT_TRUE(AllThreadsEnded());
  TThread::SetSleepHook(previous);
  delete timer;
  *handlerCalls = probe.calls.load();
  std::lock_guard guard(sleeps.lock);
  return sleeps.calls;
}

struct WaitCase {
  double interval;
  std::vector<int> doublePlan;
  std::vector<int> extendedPlan;
};

void PrintTo(const WaitCase& c, std::ostream* os) { *os << c.interval; }

class WaitArithmetic : public testing::TestWithParam<WaitCase> {};

TEST_P(WaitArithmetic, SleepsInWholeMilliseconds) {
  const WaitCase& c = GetParam();
  int handlerCalls = 0;
  const std::vector<int> plan = WaitPlan(c.interval, 0, &handlerCalls);
  EXPECT_EQ(plan, kExtended ? c.extendedPlan : c.doublePlan);
  EXPECT_EQ(handlerCalls, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Intervals, WaitArithmetic,
    testing::Values(WaitCase{0.001, {1}, {1}}, WaitCase{0.5, {500}, {500}}, WaitCase{1.0, {1000}, {1000}},
                    WaitCase{0.0025, {2}, {3}},        // the half goes to the even neighbour
                    WaitCase{0.0105, {10}, {11}},      // in double; extended stays above it
                    WaitCase{0.0007, {}, {}},          // below 1 ms: no pause at all
                    WaitCase{0.0, {}, {}}, WaitCase{-3.0, {}, {}},
                    WaitCase{std::numeric_limits<double>::quiet_NaN(), {}, {}},
                    WaitCase{-std::numeric_limits<double>::infinity(), {}, {}},
                    WaitCase{2147483.647, {L}, {L}},             // exactly one sleep call's reach
                    WaitCase{2147483.648, {L, 1}, {L, 1}},       // one chunk and the remainder
                    WaitCase{4294968.0, {L, L, 706}, {L, L, 706}}));

// Intervals whose chunk count reaches 2^32 (about 9.2e15 s and more, and
// infinity): the count saturates instead of wrapping to a few chunks, so the
// worker sleeps (practically) for ever instead of ticking at once.
class SaturatedWait : public testing::TestWithParam<double> {};

TEST_P(SaturatedWait, BeginsWithWholeChunksAndNeverTicks) {
  int handlerCalls = 0;
  const std::vector<int> plan = WaitPlan(GetParam(), 5, &handlerCalls);
  EXPECT_EQ(plan, std::vector<int>(5, L));
  EXPECT_EQ(handlerCalls, 0);
}

INSTANTIATE_TEST_SUITE_P(HugeIntervals, SaturatedWait,
                         testing::Values(4294967296.0 * 2147483.647, 1e300,
                                         std::numeric_limits<double>::infinity()));

}  // namespace
