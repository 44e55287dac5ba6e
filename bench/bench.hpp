// Shared pieces of the benchmark: the clock, the tick recorder that every
// timer kind writes into, the kinds table, statistics and the report.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace bench {

inline std::int64_t NowNs() noexcept {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::int64_t ProcessCpuNs();

// The tick times of one run. One thread ticks at a time; the storage is
// reserved up front so that recording allocates nothing.
class Recorder {
 public:
  // `warmup` ticks are left out of the figures; the process's CPU time is
  // read at the last of them and at the last tick of the run.
  void Reset(std::size_t ticks, bool deadlines, std::size_t warmup) {
    warmup_ = warmup;
    cpuAtWarmup_ = cpuAtEnd_ = 0;
    at_.assign(ticks, 0);
    due_.assign(deadlines ? ticks : 0, 0);
    n_.store(0);
    done_.store(false);
  }
  // Records a tick (and the deadline it was due at, for kinds that keep a
  // schedule). False once the run has all its ticks.
  bool Tick(std::int64_t dueNs = 0) noexcept {
    const std::size_t i = n_.load(std::memory_order_relaxed);
    if (i >= at_.size()) return false;
    at_[i] = NowNs();
    if (!due_.empty()) due_[i] = dueNs;
    if (i == warmup_) cpuAtWarmup_ = ProcessCpuNs();
    if (i + 1 == at_.size()) cpuAtEnd_ = ProcessCpuNs();
    n_.store(i + 1, std::memory_order_release);
    if (i + 1 < at_.size()) return true;
    {
      std::lock_guard lock(m_);
      done_.store(true, std::memory_order_release);
    }
    finished_.notify_all();
    return false;
  }
  bool Done() const noexcept { return done_.load(std::memory_order_acquire); }
  // (A condition variable, not std::atomic::wait, which misses notifications
  // in MinGW's libstdc++.)
  void Wait() {
    std::unique_lock lock(m_);
    finished_.wait(lock, [&] { return Done(); });
  }
  std::size_t Count() const noexcept { return n_.load(std::memory_order_acquire); }

  // Lateness in microseconds of every tick after the warm-up: against its
  // deadline where one was recorded, else spacing minus interval.
  std::vector<double> LatenessUs(double intervalMs) const;
  // CPU time of the whole process per tick after the warm-up, in us.
  double CpuUsPerTick() const {
    const std::size_t n = Count();
    if (n <= warmup_ + 1) return -1;
    return (cpuAtEnd_ - cpuAtWarmup_) / 1000.0 / static_cast<double>(n - 1 - warmup_);
  }

 private:
  std::vector<std::int64_t> at_;
  std::vector<std::int64_t> due_;
  std::atomic<std::size_t> n_{0};
  std::atomic<bool> done_{false};
  std::mutex m_;
  std::condition_variable finished_;
  std::size_t warmup_ = 0;
  std::int64_t cpuAtWarmup_ = 0, cpuAtEnd_ = 0;
};

// What a kind may report besides its recorder: samples that it measured
// itself (an external program), and CPU time spent outside this process.
struct Extra {
  std::vector<double> lateUs;
  std::int64_t cpuNs = -1;  // -1: take the process's CPU time
  std::string note;
};

// One timer to compare. `run` ticks `ticks` times at `intervalMs` and
// records them; false if the timer is not available here.
struct Kind {
  std::string name;
  std::string what;       // one line for the report
  bool deadline = false;  // lateness against a deadline, not spacing
  std::function<bool(int intervalMs, std::size_t ticks, Recorder&, Extra&)> run;
};

using Kinds = std::vector<Kind>;
void AddQevKinds(Kinds&);
void AddFloorKinds(Kinds&);
void AddPlatformKinds(Kinds&);  // cyclictest, Windows timers
void AddAsioKinds(Kinds&);
void AddUvKinds(Kinds&);
void AddQtKinds(Kinds&);

// --- platform -------------------------------------------------------------
struct Memory {
  double residentBytes = 0;  // resident set (working set)
  double reservedBytes = 0;  // address space reserved or committed
};
Memory MemoryNow();
// Sleeps `ms` milliseconds, relative, as a bare loop would.
void RelativeSleepMs(int ms);
// Raises the system timer resolution for the program's life and keeps it
// while the program's windows are hidden (Windows; a no-op elsewhere).
// Returns a description of what was obtained.
std::string RaiseTimerResolution();
// Sets the calling thread's timer slack, in ns (Linux; a no-op elsewhere).
// Returns false where there is no such thing.
bool SetThreadTimerSlackNs(unsigned long ns);
unsigned long ThreadTimerSlackNs();
// The machine, one "- what: value" line each: processor, system and its
// version, whether under Wine.
std::string MachineDescription();
// The system's 1-minute load average, or NaN where there is none (Windows;
// under Wine, the host's).
double LoadAverage1();
// The fewest synchronized timers at 10 ms that should keep 95% of the nominal
// rate here (fewer on Windows, where the tests run under Wine).
int SynchronizedScaleTarget();

// --- statistics -------------------------------------------------------------
struct Stats {
  double mean = 0, p50 = 0, p99 = 0, p999 = 0, max = 0;
  std::size_t n = 0;
};
Stats Summarize(std::vector<double> samples);
double Percentile(const std::vector<double>& sorted, double p);
double Median(std::vector<double> values);

// --- other measurements (qev_kinds.cpp and floors.cpp) ----------------------
// A set of N tickers of one family, for memory and scale.
struct TickerSet {
  virtual ~TickerSet() = default;
  // Starts up to n tickers; returns how many the system allowed.
  virtual int Start(int n, int intervalMs) = 0;
  virtual std::uint64_t Ticks() const = 0;  // all ticks so far
  virtual void Stop() = 0;                  // ends and frees every ticker
  // How the main thread spends `ms` while the tickers run: asleep, or
  // serving the dispatch for tickers whose handlers run there.
  virtual void Idle(int ms) { RelativeSleepMs(ms); }
};
std::unique_ptr<TickerSet> MakeQevTickers();
// TQevTimers with NeedSynchronization: their handlers run on the main thread.
std::unique_ptr<TickerSet> MakeQevSyncTickers();
std::unique_ptr<TickerSet> MakeBareTickers();

struct StartStop {
  std::vector<double> startCallUs, firstTickUs, stopCallUs;
};
StartStop MeasureQevStartStop(int rounds);
StartStop MeasureBareStartStop(int rounds);
std::vector<double> MeasureDispatchUs(int rounds);
std::vector<double> MeasureSynchronizeUs(int rounds);
struct PingPong;
// Hand-over round trips through `p`, one every 1 ms (floors.cpp).
std::vector<double> MeasureRoundTripUs(PingPong& p, int rounds);
double MeasureQevBackToBack(double seconds);   // ticks per second
double MeasureBareBackToBack(double seconds);  // empty calls per second, for scale

}  // namespace bench
