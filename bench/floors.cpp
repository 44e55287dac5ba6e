// The floors that TQevTimer is held against: a bare thread looping on
// relative sleeps (what the timer's worker does, without the component), the
// same loop handing each tick to the main thread (what a synchronized timer
// does), N such threads, their start, and the round trips of the wait
// primitives.
#include <system_error>
#include <thread>

#include "bench.hpp"
#include "pingpong.hpp"

namespace bench {
namespace {

bool RunBareLoop(int intervalMs, Recorder& rec, bool lowSlack) {
  std::thread worker([&] {
    if (lowSlack) SetThreadTimerSlackNs(1);
    do RelativeSleepMs(intervalMs);
    while (rec.Tick());
  });
  worker.join();
  return true;
}

// A bare sleep loop that hands every tick to the main thread and waits for it
// to be taken, through the wait the main-thread dispatch uses (System::sync):
// the two thread wake-ups of a synchronized tick, without the component. The
// tick is recorded on the main thread, as a synchronized handler's would be.
// The worker sleeps at the timer slack the stand-in gives its own threads.
bool RunBareHandoff(int intervalMs, Recorder& rec) {
  constexpr int kWorker = 0, kMain = 1;
  const std::unique_ptr<PingPong> turn = MakeHostSync();
  // Written by the main thread before it passes the turn back, read by the
  // worker after taking it: the turn's release store and acquire load order
  // the two.
  std::atomic<bool> last{false};
  std::thread worker([&] {
    SetThreadTimerSlackNs(1);
    for (;;) {
      RelativeSleepMs(intervalMs);
      turn->Pass(kMain);
      turn->Await(kWorker);
      if (last.load(std::memory_order_relaxed)) break;
    }
  });
  for (bool more = true; more;) {
    turn->Await(kMain);
    more = rec.Tick();
    if (!more) last.store(true, std::memory_order_relaxed);
    turn->Pass(kWorker);
  }
  worker.join();
  return true;
}

class BareTickers final : public TickerSet {
 public:
  ~BareTickers() override { Stop(); }
  int Start(int n, int intervalMs) override {
    stop_.store(false);
    for (int i = 0; i < n; ++i) {
      try {
        threads_.emplace_back([this, intervalMs] {
          while (!stop_.load(std::memory_order_relaxed)) {
            RelativeSleepMs(intervalMs);
            ticks_.fetch_add(1, std::memory_order_relaxed);
          }
        });
      } catch (const std::system_error&) {
        return i;  // the system refused another thread
      }
    }
    return n;
  }
  std::uint64_t Ticks() const override { return ticks_.load(); }
  void Stop() override {
    stop_.store(true);
    for (auto& t : threads_) t.join();
    threads_.clear();
  }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<std::uint64_t> ticks_{0};
  std::vector<std::thread> threads_;
};

}  // namespace

void AddFloorKinds(Kinds& kinds) {
  kinds.push_back({"bare-sleep", "bare thread loop of relative sleeps (floor)", false,
                   [](int ms, std::size_t, Recorder& rec, Extra&) { return RunBareLoop(ms, rec, false); }});
  if (SetThreadTimerSlackNs(ThreadTimerSlackNs()))
    kinds.push_back({"bare-sleep-slack1", "bare loop of relative sleeps, timer slack 1 ns (floor)", false,
                     [](int ms, std::size_t, Recorder& rec, Extra&) { return RunBareLoop(ms, rec, true); }});
  kinds.push_back({"bare-handoff", "bare sleep loop handing each tick to the main thread and back (floor)",
                   false,
                   [](int ms, std::size_t, Recorder& rec, Extra&) { return RunBareHandoff(ms, rec); }});
}

std::unique_ptr<TickerSet> MakeBareTickers() { return std::make_unique<BareTickers>(); }

StartStop MeasureBareStartStop(int rounds) {
  StartStop r;
  for (int i = 0; i < rounds; ++i) {
    std::atomic<std::int64_t> first{0};
    const std::int64_t t0 = NowNs();
    std::thread t([&] {
      RelativeSleepMs(1);
      first.store(NowNs());
    });
    const std::int64_t t1 = NowNs();
    t.join();
    r.startCallUs.push_back((t1 - t0) / 1000.0);
    r.firstTickUs.push_back((first.load() - t0) / 1000.0);
  }
  return r;
}

// The worker wakes every 1 ms, stamps, and hands the turn to the main thread
// through `p`; the main thread hands it back. The round trip is from the stamp
// to the worker seeing the reply: the floor under the dispatch's two
// hand-overs.
std::vector<double> MeasureRoundTripUs(PingPong& p, int rounds) {
  constexpr int kWorker = 0, kMain = 1;
  std::vector<double> out;
  out.reserve(static_cast<std::size_t>(rounds));
  std::thread worker([&] {
    for (int i = 0; i < rounds; ++i) {
      RelativeSleepMs(1);
      const std::int64_t t0 = NowNs();
      p.Pass(kMain);
      p.Await(kWorker);
      out.push_back((NowNs() - t0) / 1000.0);
    }
  });
  for (int i = 0; i < rounds; ++i) {
    p.Await(kMain);
    p.Pass(kWorker);
  }
  worker.join();
  return out;
}

// A call through a pointer and a counter increment, as tight as it gets: the
// machine's ceiling for back-to-back ticks.
namespace {
void Empty(void*) {}
}  // namespace
double MeasureBareBackToBack(double seconds) {
  std::atomic<bool> stop{false};
  std::atomic<std::uint64_t> count{0};
  void (*volatile call)(void*) = &Empty;
  std::thread t([&] {
    std::uint64_t n = 0;
    while (!stop.load(std::memory_order_relaxed)) {
      call(nullptr);
      count.store(++n, std::memory_order_relaxed);
    }
  });
  RelativeSleepMs(50);
  const std::uint64_t c0 = count.load();
  const std::int64_t t0 = NowNs();
  RelativeSleepMs(static_cast<int>(seconds * 1000));
  const std::uint64_t c1 = count.load();
  const std::int64_t t1 = NowNs();
  stop.store(true);
  t.join();
  return (c1 - c0) / ((t1 - t0) / 1e9);
}

}  // namespace bench
