// qev-bench: tick precision, cost and scale of TQevTimer against floors and
// peer timers, measured in one run with the kinds interleaved (A B A B ...)
// over several repeats; reports medians over the repeats with their range,
// and ratios taken within each repeat. Usage: kUsage below.
//
// With --kinds, the scale searches follow the kinds chosen: TQevTimer's with
// qev-worker, the synchronized one with qev-main, the bare threads' with
// bare-sleep.
// Writes DIR/results.md (the tables) and DIR/lateness-1ms.svg,
// DIR/lateness-10ms.svg (the plots), and prints the tables.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <thread>

#include "bench.hpp"
#include "pingpong.hpp"
#include "report.hpp"

namespace bench {
namespace {

const char* const kUsage =
    "usage: qev-bench [--quick] [--out DIR] [--repeats N] [--ticks1 N] [--ticks10 N] [--kinds a,b]\n"
    "                 [--no-scale] [--no-costs] [--lateness-only] [--count N] [--count-only] [--smoke]\n"
    "\n"
    "Measures how late TQevTimer's ticks come at 1 ms and 10 ms, on its worker thread and on the\n"
    "main thread, against bare sleep loops and the system's own timers, and what a timer costs.\n"
    "Writes DIR/results.md and the plots DIR/lateness-1ms.svg and DIR/lateness-10ms.svg.\n"
    "\n"
    "  --quick          about two minutes: 3 repeats of 1000 ticks at 1 ms and 100 at 10 ms,\n"
    "                   the hand-off and back-to-back costs, N timers at once, no memory or\n"
    "                   scale searches\n"
    "  --out DIR        where the report goes (default qev-bench-results)\n"
    "  --repeats N      repeats of every measurement (default 5; --quick 3)\n"
    "  --ticks1 N       ticks a run at 1 ms (default 5000); --ticks10 N at 10 ms (default 500)\n"
    "  --kinds a,b      only these timer kinds (names as in the report)\n"
    "  --no-scale       without the searches for the most timers at once\n"
    "  --count N        N timers at 10 ms against one, synchronized and not (default: the target,\n"
    "                   200 on Linux, 100 on Windows; -1: not measured); --count-only: just that\n"
    "  --no-costs       without the cost table; --lateness-only: without both\n"
    "  --smoke          a few hundred ticks of every kind, to check that the program runs\n"
    "\n"
    "Options given with --quick or --smoke override their settings. Without --quick the full\n"
    "measurement takes 10 to 40 minutes, most of it the scale searches.\n";

struct Options {
  std::string out = "qev-bench-results";
  int repeats = 5;
  std::size_t ticks1 = 5000;
  std::size_t ticks10 = 500;
  std::vector<std::string> only;
  bool lateness = true;
  bool scale = true;      // the searches for the most timers at once
  int count = 0;          // timers at once against one (0: the target count; -1: not measured)
  bool costs = true;
  bool quick = false;
  bool smoke = false;
  std::string commandLine;
};

std::string Fmt(double v, int decimals = 1) {
  if (std::isnan(v)) return "n/a";
  char b[48];
  std::snprintf(b, sizeof b, "%.*f", decimals, v);
  return b;
}

std::string Ratio(double v) { return std::isnan(v) ? "n/a" : Fmt(v, 2) + "x"; }

// The median of the repeats and, beside it, their range: "52.1 [48.0, 60.2]".
std::string WithSpread(const std::vector<double>& values, int decimals = 1) {
  std::vector<double> v;
  for (double x : values)
    if (!std::isnan(x)) v.push_back(x);
  if (v.empty()) return "n/a";
  if (v.size() == 1) return Fmt(v[0], decimals);
  const auto [lo, hi] = std::minmax_element(v.begin(), v.end());
  return Fmt(Median(v), decimals) + " [" + Fmt(*lo, decimals) + ", " + Fmt(*hi, decimals) + "]";
}

// The figures of one kind at one interval, per repeat.
struct KindRuns {
  std::vector<Stats> stats;
  std::vector<double> cpuUsPerTick;
  std::vector<double> pooled;  // every sample, for the plot
  std::string note;
};

struct LatenessResult {
  int intervalMs;
  std::vector<std::string> order;
  std::map<std::string, KindRuns> runs;
};

LatenessResult MeasureLateness(const Kinds& kinds, int intervalMs, std::size_t ticks, int repeats) {
  LatenessResult r{intervalMs, {}, {}};
  const std::size_t warmup = std::min<std::size_t>(10, ticks / 10);
  Recorder rec;
  for (int rep = 0; rep < repeats; ++rep) {
    for (const Kind& k : kinds) {
      rec.Reset(ticks, k.deadline, warmup);
      Extra extra;
      bool ok = false;
      try {
        ok = k.run(intervalMs, ticks, rec, extra);
      } catch (const std::exception& e) {
        std::fprintf(stderr, "  %s: %s\n", k.name.c_str(), e.what());
      }
      if (!ok) {
        std::fprintf(stderr, "  %s: not available\n", k.name.c_str());
        continue;
      }
      std::vector<double> late = extra.lateUs.empty() ? rec.LatenessUs(intervalMs) : extra.lateUs;
      KindRuns& kr = r.runs[k.name];
      if (kr.stats.empty()) r.order.push_back(k.name);
      kr.pooled.insert(kr.pooled.end(), late.begin(), late.end());
      kr.stats.push_back(Summarize(std::move(late)));
      // Steady state: from the end of the warm-up to the last tick. An
      // external program reports its whole run.
      kr.cpuUsPerTick.push_back(extra.cpuNs >= 0 ? extra.cpuNs / 1000.0 / static_cast<double>(ticks)
                                                 : rec.CpuUsPerTick());
      if (!extra.note.empty()) kr.note = extra.note;
      const Stats& s = kr.stats.back();
      std::fprintf(stderr, "  %2d ms rep %d %-18s mean %8.1f p99 %8.1f max %9.1f us  cpu %6.2f us/tick\n",
                   intervalMs, rep + 1, k.name.c_str(), s.mean, s.p99, s.max, kr.cpuUsPerTick.back());
    }
  }
  return r;
}

std::vector<double> Column(const KindRuns& kr, double Stats::*field) {
  std::vector<double> v;
  for (const Stats& s : kr.stats) v.push_back(s.*field);
  return v;
}

// a[i] / b[i], the ratio taken within each repeat. Pairs with a figure not
// above 0 are left out: a lateness that is no ratio's base, or a CPU time
// below the resolution of the process's CPU clock (coarse under Wine).
std::vector<double> RatiosPerRepeat(const std::vector<double>& a, const std::vector<double>& b) {
  std::vector<double> v;
  for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i)
    if (a[i] > 0 && b[i] > 0) v.push_back(a[i] / b[i]);
  return v;
}

double PerRepeatRatio(const std::vector<double>& a, const std::vector<double>& b) {
  return Median(RatiosPerRepeat(a, b));
}

const KindRuns* Find(const LatenessResult& r, const std::string& name) {
  const auto i = r.runs.find(name);
  return i == r.runs.end() ? nullptr : &i->second;
}

std::vector<double> PairedRatios(const LatenessResult& r, const std::string& a, const std::string& b,
                                 double Stats::*field) {
  const KindRuns *ka = Find(r, a), *kb = Find(r, b);
  return ka && kb ? RatiosPerRepeat(Column(*ka, field), Column(*kb, field)) : std::vector<double>{};
}

std::vector<double> PairedCpuRatios(const LatenessResult& r, const std::string& a, const std::string& b) {
  const KindRuns *ka = Find(r, a), *kb = Find(r, b);
  return ka && kb ? RatiosPerRepeat(ka->cpuUsPerTick, kb->cpuUsPerTick) : std::vector<double>{};
}

// What a worker's ticks are held against: a bare loop of the same relative
// sleeps at the same timer slack (Linux: the stand-in gives its threads 1 ns),
// else the plain bare loop.
std::string SleepFloor(const LatenessResult& r) {
  return Find(r, "bare-sleep-slack1") ? "bare-sleep-slack1" : "bare-sleep";
}

double MedianCpu(const LatenessResult& r, const std::string& name) {
  const KindRuns* k = Find(r, name);
  return k ? Median(k->cpuUsPerTick) : NAN;
}

void LatenessTable(std::ostream& o, const LatenessResult& r, const Kinds& kinds, std::size_t ticks) {
  o << "\n### Lateness at " << r.intervalMs << " ms (" << ticks << " ticks a run; median of "
    << (r.runs.empty() ? 0 : r.runs.begin()->second.stats.size()) << " runs [lowest, highest])\n\n";
  o << "| timer | what | measured | mean us | p50 us | p99 us | max us | CPU us/tick |\n";
  o << "|---|---|---|---:|---:|---:|---:|---:|\n";
  for (const std::string& name : r.order) {
    const KindRuns& kr = r.runs.at(name);
    const auto k = std::find_if(kinds.begin(), kinds.end(), [&](const Kind& x) { return x.name == name; });
    o << "| " << name << " | " << k->what << " | " << (k->deadline ? "vs deadline" : "spacing - interval")
      << " | " << WithSpread(Column(kr, &Stats::mean)) << " | " << WithSpread(Column(kr, &Stats::p50))
      << " | " << WithSpread(Column(kr, &Stats::p99)) << " | " << WithSpread(Column(kr, &Stats::max)) << " | "
      << WithSpread(kr.cpuUsPerTick, 2) << " |" << (kr.note.empty() ? "" : " " + kr.note) << "\n";
  }
}

// --- N timers ---------------------------------------------------------------

struct MemoryFigures {
  std::vector<double> qevRss, qevReserved, bareRss, bareReserved;
};

// Per ticker; false if the system refused some of the n threads.
bool MeasureMemoryOnce(TickerSet& set, int n, double& rss, double& reserved) {
  const Memory m0 = MemoryNow();
  const int started = set.Start(n, 100);
  // Every ticker has ticked a few times, and the workers that new timers
  // start at their default 1 s interval (replaced at once) have ended.
  RelativeSleepMs(1500);
  const Memory m1 = MemoryNow();
  set.Stop();
  rss = (m1.residentBytes - m0.residentBytes) / std::max(1, started);
  reserved = (m1.reservedBytes - m0.reservedBytes) / std::max(1, started);
  if (started < n) std::fprintf(stderr, "  memory: only %d of %d threads started\n", started, n);
  return started == n;
}

// Ticks per second per ticker of `n` tickers, over a window that begins
// `warmupMs` after they started (by default 20 intervals, at least 200 ms).
double RatePerTicker(TickerSet& set, int n, int intervalMs, double windowS, int warmupMs = 0) {
  if (set.Start(n, intervalMs) < n) {
    set.Stop();
    std::fprintf(stderr, "  scale: the system refused some of %d threads\n", n);
    return 0;
  }
  set.Idle(warmupMs > 0 ? warmupMs : std::max(200, intervalMs * 20));
  const std::uint64_t c0 = set.Ticks();
  const std::int64_t t0 = NowNs();
  set.Idle(static_cast<int>(windowS * 1000));
  const std::uint64_t c1 = set.Ticks();
  const std::int64_t t1 = NowNs();
  set.Stop();
  return (c1 - c0) / ((t1 - t0) / 1e9) / n;
}

struct ScaleResult {
  double single = 0;                          // one ticker's rate, per second
  double nominal = 0;                         // if not 0, what N tickers are held against instead
  int largest = 0;                            // largest N tried that kept 95%
  int firstFail = 0;                          // smallest N tried that did not (0: none did up to the cap)
  std::vector<std::pair<int, double>> tried;  // N, fraction of the single rate
};

// Each N is measured right after a single ticker and held against the median
// single rate so far (or against the nominal rate, 1000 / intervalMs, when
// `nominal` is set); a step that falls short is measured once more, so that
// one burst of other load on the machine does not end the search.
ScaleResult MeasureScale(TickerSet& set, int intervalMs, int cap, double windowS, bool nominal = false) {
  ScaleResult r;
  if (nominal) r.nominal = 1000.0 / intervalMs;
  std::vector<double> singles;
  r.largest = 1;
  auto keeps = [&](int n) {
    double frac = 0;
    for (int attempt = 0; attempt < 2 && frac < 0.95; ++attempt) {
      singles.push_back(RatePerTicker(set, 1, intervalMs, windowS));
      r.single = Median(singles);
      frac = RatePerTicker(set, n, intervalMs, windowS) / (nominal ? r.nominal : r.single);
      std::fprintf(stderr, "  scale %2d ms N=%5d: %.3f of the %s rate\n", intervalMs, n, frac,
                   nominal ? "nominal" : "single");
    }
    r.tried.emplace_back(n, frac);
    return frac >= 0.95;
  };
  int n = 2;
  for (; n <= cap; n *= 2) {
    if (!keeps(n)) break;
    r.largest = n;
  }
  if (n > cap) return r;
  int lo = r.largest, hi = n;  // lo keeps, hi does not
  while (hi - lo > std::max(1, lo / 8)) {
    const int mid = (lo + hi) / 2;
    (keeps(mid) ? lo : hi) = mid;
  }
  r.largest = lo;
  r.firstFail = hi;
  return r;
}

std::string Summary(const std::vector<double>& v) {
  std::vector<double> s = v;
  std::sort(s.begin(), s.end());
  return Fmt(Percentile(s, 50)) + " / " + Fmt(Percentile(s, 99));
}

std::vector<double> Concat(const std::vector<std::vector<double>>& parts) {
  std::vector<double> all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

Kinds SelectKinds(const Options& opt) {
  Kinds all;
  AddQevKinds(all);
  AddFloorKinds(all);
  AddPlatformKinds(all);
#ifdef QEV_BENCH_ASIO
  AddAsioKinds(all);
#endif
#ifdef QEV_BENCH_UV
  AddUvKinds(all);
#endif
#ifdef QEV_BENCH_QT
  AddQtKinds(all);
#endif
  Kinds kinds;
  for (Kind& k : all)
    if (opt.only.empty() || std::find(opt.only.begin(), opt.only.end(), k.name) != opt.only.end())
      kinds.push_back(std::move(k));
  return kinds;
}

std::string UtcNow() {
  const std::time_t t = std::time(nullptr);
  char b[32];
  std::strftime(b, sizeof b, "%Y-%m-%d %H:%M:%S UTC", std::gmtime(&t));
  return b;
}

// A 1-minute load average above half a load per logical CPU: other work ran
// alongside, and the targets are not judged.
bool Loaded(double load) {
  return !std::isnan(load) && load > 0.5 * std::max(1u, std::thread::hardware_concurrency());
}

std::string Load(double load) { return std::isnan(load) ? "not available" : Fmt(load, 2); }

// The smallest step of the process's CPU clock seen while spinning (at most
// 100 ms): nanoseconds natively, 10 ms or so under Wine.
double CpuClockStepNs() {
  std::int64_t last = ProcessCpuNs(), step = 0;
  const std::int64_t end = NowNs() + 100000000;
  for (int seen = 0; seen < 3 && NowNs() < end;)
    if (const std::int64_t now = ProcessCpuNs(); now != last) {
      step = seen++ ? std::min(step, now - last) : now - last;
      last = now;
    }
  return step > 0 ? static_cast<double>(step) : NAN;
}

// What ran where and how: the top of the report.
struct Context {
  std::string started, lateDone, finished;
  std::string resolution;
  std::vector<double> sleep1Ms;  // RelativeSleepMs(1), measured
  double loadAtStart = NAN, loadAfterLateness = NAN;
  double cpuStepNs = NAN;  // the step of the process's CPU clock
  bool Loaded() const { return bench::Loaded(loadAtStart) || bench::Loaded(loadAfterLateness); }
};

void Preamble(std::ostream& md, const Options& opt, const Context& c) {
  md << "# qev-bench report\n\n";
  md << MachineDescription();
  md << "- timer resolution: " << c.resolution << "\n";
  if (ThreadTimerSlackNs()) md << "- timer slack of the main thread: " << ThreadTimerSlackNs() << " ns\n";
  {
    std::vector<double> s = c.sleep1Ms;
    std::sort(s.begin(), s.end());
    md << "- a 1 ms relative sleep (Sleep(1) on Windows) took " << Fmt(Percentile(s, 50), 3) << " ms (p50), "
       << Fmt(Percentile(s, 90), 3) << " ms (p90) over " << s.size() << " calls\n";
  }
  md << "- run: " << c.started << " to " << c.finished << ", "
     << (opt.quick   ? "quick"
         : opt.smoke ? "smoke"
                     : "full")
     << " (" << opt.commandLine << ")\n";
  md << "- the process's CPU clock moves in steps of "
     << (c.cpuStepNs >= 1e6 ? Fmt(c.cpuStepNs / 1e6, 1) + " ms" : Fmt(c.cpuStepNs / 1e3, 3) + " us") << "\n";
  md << "- load average (1 min): " << Load(c.loadAtStart) << " at the start, " << Load(c.loadAfterLateness)
     << " after the lateness runs" << (c.Loaded() ? ": the machine was not idle" : "") << "\n\n";
  md << "Lateness is how late a tick comes: spacing minus interval for timers that re-arm from the tick (as "
        "TQevTimer does), wake time minus deadline for those that keep a schedule. Each figure is the median "
        "over "
     << opt.repeats
     << " repeats with [the lowest, the highest] beside it; the kinds run interleaved within each repeat, "
        "and a ratio is taken within each repeat. TQevTimer's worker ticks are held against a bare loop of "
        "the same sleeps; its main-thread ticks against the same loop handing each tick to the main thread "
        "(bare-handoff).\n";
}

void WritePlots(const Options& opt, const LatenessResult& r) {
  std::vector<std::pair<std::string, std::vector<double>>> series;
  for (const std::string& name : r.order) series.emplace_back(name, r.runs.at(name).pooled);
  WriteLatenessSvg(opt.out + "/lateness-" + std::to_string(r.intervalMs) + "ms.svg",
                   "Tick lateness at " + std::to_string(r.intervalMs) + " ms, all runs pooled", series);
}

// --- Costs ------------------------------------------------------------------

// Samples of one round-trip figure over the repeats.
struct RoundTrips {
  std::vector<std::vector<double>> all;  // per repeat
  std::vector<double> p50;               // per repeat

  void Add(std::vector<double> us) {
    std::sort(us.begin(), us.end());
    p50.push_back(Percentile(us, 50));
    all.push_back(std::move(us));
  }
};

struct CostResult {
  std::vector<double> qevB2b, bareB2b;
  // The dispatch, and its floors: the stand-in's own address wait (what the
  // dispatch hands over with) and std::condition_variable.
  RoundTrips dispatch, addressWait, condvar;
  // A Synchronize call's round trip, from a thread calling every 1 ms.
  RoundTrips synchronize;
  std::vector<StartStop> qevSS, bareSS;
  MemoryFigures mem100, mem1000;
};

void MeasureMemory(const Options& opt, CostResult& c) {
  for (auto [n, m] : {std::pair{100, &c.mem100}, std::pair{1000, &c.mem1000}}) {
    if ((opt.smoke || opt.quick) && n > 100) continue;
    double qr = 0, qv = 0, br = 0, bv = 0;
    auto qev = MakeQevTickers();
    auto bare = MakeBareTickers();
    try {
      if (!MeasureMemoryOnce(*qev, n, qr, qv) || !MeasureMemoryOnce(*bare, n, br, bv)) continue;
    } catch (const std::exception& e) {
      std::fprintf(stderr, "  memory at %d: %s\n", n, e.what());
      continue;
    }
    m->qevRss.push_back(qr);
    m->qevReserved.push_back(qv);
    m->bareRss.push_back(br);
    m->bareReserved.push_back(bv);
  }
}

// --quick: the hand-off and back-to-back figures only, shorter.
CostResult MeasureCosts(const Options& opt) {
  CostResult c;
  const bool brief = opt.smoke || opt.quick;
  const int rounds = opt.smoke ? 20 : 200;
  const int dispatchRounds = opt.smoke ? 100 : opt.quick ? 500 : 2000;
  std::fprintf(stderr, "costs\n");
  for (int rep = 0; rep < opt.repeats; ++rep) {
    c.qevB2b.push_back(MeasureQevBackToBack(brief ? 0.2 : 1.0));
    c.bareB2b.push_back(MeasureBareBackToBack(brief ? 0.2 : 1.0));
    if (!opt.quick) {
      c.qevSS.push_back(MeasureQevStartStop(rounds));
      c.bareSS.push_back(MeasureBareStartStop(rounds));
    }
    c.dispatch.Add(MeasureDispatchUs(dispatchRounds));
    c.synchronize.Add(MeasureSynchronizeUs(dispatchRounds));
    c.addressWait.Add(MeasureRoundTripUs(*MakeHostSync(), dispatchRounds));
    c.condvar.Add(MeasureRoundTripUs(*MakeStdCondition(), dispatchRounds));
    if (!opt.quick) MeasureMemory(opt, c);
    std::fprintf(stderr,
                 "  rep %d: back-to-back %.2f M/s (bare %.2f M/s), dispatch p50 %.1f us, Synchronize p50 %.1f us, "
                 "round trip p50 %.1f us (address wait), %.1f us (condition variable)\n",
                 rep + 1, c.qevB2b.back() / 1e6, c.bareB2b.back() / 1e6, c.dispatch.p50.back(), c.synchronize.p50.back(),
                 c.addressWait.p50.back(), c.condvar.p50.back());
  }
  return c;
}

std::string Summary(const RoundTrips& r) { return Summary(Concat(r.all)); }

void CostTable(std::ostream& md, const CostResult& c, const LatenessResult& at1, int repeats) {
  md << "\n### Costs (median of " << repeats << " runs; TQevTimer and its floor interleaved)\n\n";
  md << "| figure | TQevTimer | floor | ratio |\n|---|---:|---:|---:|\n";
  md << "| back-to-back ticks per second, interval 0, empty handler (floor: a bare loop calling an empty "
        "function) | "
     << Fmt(Median(c.qevB2b) / 1e6, 2) << " M | " << Fmt(Median(c.bareB2b) / 1e6, 2) << " M | "
     << Ratio(PerRepeatRatio(c.qevB2b, c.bareB2b)) << " |\n";
  md << "| main-thread dispatch, worker wake to handler start, p50 / p99 us, all repeats pooled (floor: "
        "round trip of the address wait it hands over with, a bare wait/wake pair 1 ms apart) | "
     << Summary(c.dispatch) << " | " << Summary(c.addressWait) << " | "
     << Ratio(PerRepeatRatio(c.dispatch.p50, c.addressWait.p50)) << " (p50) |\n";
  md << "| Synchronize round trip from a thread calling every 1 ms, p50 / p99 us, all repeats pooled (floor: "
        "the same bare wait/wake pair) | "
     << Summary(c.synchronize) << " | " << Summary(c.addressWait) << " | "
     << Ratio(PerRepeatRatio(c.synchronize.p50, c.addressWait.p50)) << " (p50) |\n";
  md << "| the same against a std::condition_variable round trip | " << Summary(c.dispatch) << " | "
     << Summary(c.condvar) << " | " << Ratio(PerRepeatRatio(c.dispatch.p50, c.condvar.p50)) << " (p50) |\n";
  if (!c.qevSS.empty()) {
    std::vector<std::vector<double>> qs, bs, qf, bf, qstop;
    for (const auto& s : c.qevSS)
      qs.push_back(s.startCallUs), qf.push_back(s.firstTickUs), qstop.push_back(s.stopCallUs);
    for (const auto& s : c.bareSS) bs.push_back(s.startCallUs), bf.push_back(s.firstTickUs);
    md << "| Start call, p50 / p99 us (floor: std::thread construction) | " << Summary(Concat(qs)) << " | "
       << Summary(Concat(bs)) << " | |\n";
    md << "| Start to first tick at 1 ms, p50 / p99 us (floor: thread start + 1 ms sleep) | "
       << Summary(Concat(qf)) << " | " << Summary(Concat(bf)) << " | |\n";
    md << "| Stop call, p50 / p99 us | " << Summary(Concat(qstop)) << " | | |\n";
  }
  for (auto [n, m] : {std::pair{100, &c.mem100}, std::pair{1000, &c.mem1000}}) {
    if (m->qevRss.empty()) continue;
    md << "| resident memory per running timer at " << n << " timers, KiB (floor: a bare sleeping thread) | "
       << Fmt(Median(m->qevRss) / 1024) << " | " << Fmt(Median(m->bareRss) / 1024) << " | "
       << Ratio(PerRepeatRatio(m->qevRss, m->bareRss)) << " |\n";
    md << "| reserved address space per running timer at " << n << " timers, KiB | "
       << Fmt(Median(m->qevReserved) / 1024, 0) << " | " << Fmt(Median(m->bareReserved) / 1024, 0) << " | "
       << Ratio(PerRepeatRatio(m->qevReserved, m->bareReserved)) << " |\n";
  }
  const std::string floor = SleepFloor(at1);
  md << "| CPU per tick at 1 ms, us (floor: " << floor << ") | " << Fmt(MedianCpu(at1, "qev-worker"), 2)
     << " | " << Fmt(MedianCpu(at1, floor), 2) << " | "
     << Ratio(Median(PairedCpuRatios(at1, "qev-worker", floor))) << " |\n";
}

// --- Scale ------------------------------------------------------------------

// N timers at 10 ms against one of the same kind, repeat by repeat: each
// repeat measures one timer, then N, each over 3 s after 0.5 s (a smoke run:
// 0.3 s after 0.2 s).
struct AtCount {
  int n = 0;
  double windowS = 0;
  int warmupMs = 0;
  std::vector<double> syncSingle, syncFraction, workerSingle, workerFraction;
};

struct ScaleFigures {
  ScaleResult qev1, bare1, qev10, bare10, sync10;  // not tried: not chosen
  AtCount atTarget;                                // n == 0: not measured
};

AtCount MeasureAtCount(int n, int repeats, bool smoke) {
  std::fprintf(stderr, "%d timers at 10 ms\n", n);
  AtCount r;
  r.n = n;
  const double window = r.windowS = smoke ? 0.3 : 3.0;
  const int warmupMs = r.warmupMs = smoke ? 200 : 500;
  auto fraction = [&](TickerSet& set, std::vector<double>& singles, const char* what) {
    const double one = RatePerTicker(set, 1, 10, window, warmupMs);
    const double many = RatePerTicker(set, n, 10, window, warmupMs);
    singles.push_back(one);
    // No rate for one timer (the system refused its thread): no figure.
    const double ratio = one > 0 ? many / one : NAN;
    std::fprintf(stderr, "  %s: one %.2f/s, %d: %.2f/s each, %.3f\n", what, one, n, many, ratio);
    return ratio;
  };
  for (int rep = 0; rep < repeats; ++rep) {
    r.syncFraction.push_back(fraction(*MakeQevSyncTickers(), r.syncSingle, "synchronized"));
    r.workerFraction.push_back(fraction(*MakeQevTickers(), r.workerSingle, "worker"));
  }
  return r;
}

bool Chosen(const Options& opt, const std::string& kind) {
  return opt.only.empty() || std::find(opt.only.begin(), opt.only.end(), kind) != opt.only.end();
}

ScaleFigures MeasureScales(const Options& opt) {
  std::fprintf(stderr, "scale\n");
  ScaleFigures f;
  auto measure = [&](std::unique_ptr<TickerSet> set, int ms, int cap, bool nominal = false) {
    const double window = opt.smoke ? 0.2 : (ms == 1 ? 0.5 : 1.0);
    return MeasureScale(*set, ms, opt.smoke ? 2 : cap, window, nominal);
  };
  // A smoke run checks the search once; the N-timer measurement and the
  // memory figures exercise the other kinds of tickers.
  if (opt.smoke) {
    f.qev10 = measure(MakeQevTickers(), 10, 4096);
    return f;
  }
  if (Chosen(opt, "qev-worker")) f.qev1 = measure(MakeQevTickers(), 1, 1024);
  if (Chosen(opt, "bare-sleep")) f.bare1 = measure(MakeBareTickers(), 1, 1024);
  if (Chosen(opt, "qev-worker")) f.qev10 = measure(MakeQevTickers(), 10, 4096);
  if (Chosen(opt, "bare-sleep")) f.bare10 = measure(MakeBareTickers(), 10, 4096);
  if (Chosen(opt, "qev-main")) f.sync10 = measure(MakeQevSyncTickers(), 10, 1024);
  return f;
}

void AtCountTable(std::ostream& md, const AtCount& a, int repeats) {
  md << "\n### " << a.n << " timers at 10 ms against one of the same kind (each over " << Fmt(a.windowS)
     << " s after " << Fmt(a.warmupMs / 1000.0) << " s; median of " << repeats << " repeats [lowest, highest])\n\n";
  md << "| handlers run on | one timer's ticks/s | each of " << a.n << " timers' / one timer's |\n|---|---:|---:|\n";
  md << "| the main thread (NeedSynchronization; it loops on CheckSynchronize(5)) | " << WithSpread(a.syncSingle, 2)
     << " | " << WithSpread(a.syncFraction, 3) << " |\n";
  md << "| the timers' worker threads | " << WithSpread(a.workerSingle, 2) << " | "
     << WithSpread(a.workerFraction, 3) << " |\n";
}

std::string ScaleCell(const ScaleResult& s) {
  if (s.tried.empty()) return "not measured";
  std::string c = std::to_string(s.largest) +
                  (s.firstFail ? " (" + std::to_string(s.firstFail) + " did not)" : " (the cap tried)");
  return c + ", single rate " + Fmt(s.single, 0) + "/s" +
         (s.nominal > 0 ? " (held against the nominal " + Fmt(s.nominal, 0) + "/s)" : "");
}

void ScaleTable(std::ostream& md, const ScaleFigures& f) {
  md << "\n### Scale: the most timers that keep 95% of one timer's tick rate\n\n";
  md << "| interval | TQevTimer | bare sleeping threads |\n|---|---|---|\n";
  md << "| 1 ms | " << ScaleCell(f.qev1) << " | " << ScaleCell(f.bare1) << " |\n";
  md << "| 10 ms | " << ScaleCell(f.qev10) << " | " << ScaleCell(f.bare10) << " |\n";
  md << "| 10 ms, handlers on the main thread (NeedSynchronization; the main thread loops on "
        "CheckSynchronize(5)), against one such timer | "
     << ScaleCell(f.sync10) << " | |\n";
}

// --- Targets ----------------------------------------------------------------

// One target: the per-repeat values of a figure, held against a limit by
// their median. On a machine that was not idle it is not judged.
// `unresolved`, when not empty, says why the figure cannot be judged.
void Target(std::ostream& md, const std::string& what, const std::vector<double>& perRepeat, double limit,
            bool atMost, const std::string& notJudged, const std::string& unresolved = "") {
  const double median = Median(perRepeat);
  std::string verdict = "n/a";
  if (!unresolved.empty()) {
    verdict = "n/a: " + unresolved;
  } else if (!std::isnan(median)) {
    const bool met = atMost ? median <= limit : median >= limit;
    verdict = !notJudged.empty()
                  ? "not judged: " + notJudged + " (" + (met ? "within" : "beyond") + " the limit)"
              : met ? "yes"
                    : "no";
  }
  md << "| " << what << " | " << (atMost ? "at most " : "at least ")
     << Fmt(limit, limit == std::floor(limit) ? 0 : 2) << " | " << WithSpread(perRepeat, 2) << " | "
     << verdict << " |\n";
}

// The targets taken from the lateness runs at 1 ms.
template <class Unresolved>
void LatenessTargets(std::ostream& md, const LatenessResult& at1, const std::string& notJudged,
                     const Unresolved& cpuUnresolved) {
  const std::string floor = SleepFloor(at1);
  Target(md, "worker ticks: mean lateness at 1 ms, qev-worker / " + floor,
         PairedRatios(at1, "qev-worker", floor, &Stats::mean), 1.1, true, notJudged);
  if (Find(at1, "cyclictest"))
    Target(md, "worker ticks: p99 lateness at 1 ms, qev-worker / cyclictest",
           PairedRatios(at1, "qev-worker", "cyclictest", &Stats::p99), 1.3, true, notJudged);
  Target(md, "worker ticks: CPU per tick at 1 ms, qev-worker / " + floor,
         PairedCpuRatios(at1, "qev-worker", floor), 1.2, true, notJudged, cpuUnresolved(floor));
  Target(md, "main-thread ticks: mean lateness at 1 ms, qev-main / bare-handoff",
         PairedRatios(at1, "qev-main", "bare-handoff", &Stats::mean), 1.3, true, notJudged);
  Target(md, "main-thread ticks: CPU per tick at 1 ms, qev-main / bare-handoff",
         PairedCpuRatios(at1, "qev-main", "bare-handoff"), 1.5, true, notJudged,
         cpuUnresolved("bare-handoff"));
}

void TargetTable(std::ostream& md, const LatenessResult& at1, std::size_t ticks1, const CostResult* c,
                 const ScaleFigures& scale, const std::string& notJudged, double cpuStepNs) {
  // A CPU time per tick is resolved when the clock's step, spread over the
  // run's ticks, is under a twentieth of the floor's figure.
  auto cpuUnresolved = [&](const std::string& floor) -> std::string {
    const double floorUs = MedianCpu(at1, floor), stepUs = cpuStepNs / 1000.0 / static_cast<double>(ticks1);
    if (std::isnan(cpuStepNs) || std::isnan(floorUs) || stepUs * 20 <= floorUs) return "";
    return "the process's CPU clock (steps of " + Fmt(cpuStepNs / 1e6, 1) + " ms) is too coarse for " +
           std::to_string(ticks1) + " ticks";
  };
  md << "\n### Targets\n\nEach figure is held against one measured in the same run, repeat by repeat; a "
        "target is met when the median over the repeats meets it.\n\n";
  md << "| target | limit | median [lowest, highest] | met |\n|---|---|---|---|\n";
  if (!at1.runs.empty()) LatenessTargets(md, at1, notJudged, cpuUnresolved);
  if (c) {
    Target(md, "dispatch p50 / round trip p50 of a bare wait/wake pair 1 ms apart",
           RatiosPerRepeat(c->dispatch.p50, c->addressWait.p50), 1.5, true, notJudged);
    Target(md, "Synchronize round trip p50 / round trip p50 of a bare wait/wake pair 1 ms apart",
           RatiosPerRepeat(c->synchronize.p50, c->addressWait.p50), 1.5, true, notJudged);
    Target(md, "back-to-back ticks per second / a bare loop calling an empty function",
           RatiosPerRepeat(c->qevB2b, c->bareB2b), 0.05, false, notJudged);
    if (!c->mem1000.qevRss.empty())
      Target(md, "resident memory per timer at 1000 timers / a bare sleeping thread",
             RatiosPerRepeat(c->mem1000.qevRss, c->mem1000.bareRss), 1.2, true, notJudged);
  }
  if (scale.atTarget.n > 0) {
    const std::string n = std::to_string(scale.atTarget.n);
    Target(md, n + " synchronized timers at 10 ms: each one's tick rate / one such timer's",
           scale.atTarget.syncFraction, 0.95, false, notJudged);
    Target(md, n + " worker-thread timers at 10 ms: each one's tick rate / one such timer's",
           scale.atTarget.workerFraction, 0.95, false, notJudged);
  }
  if (!scale.sync10.tried.empty()) {
    // One search, not repeats: the largest count that kept 95% of one such
    // timer's rate.
    Target(md, "synchronized timers at 10 ms keeping 95% of one synchronized timer's rate",
           {static_cast<double>(scale.sync10.largest)}, SynchronizedScaleTarget(), false, notJudged);
  }
}

int Run(const Options& opt) {
  std::filesystem::create_directories(opt.out);
  Context ctx;
  ctx.started = UtcNow();
  ctx.loadAtStart = LoadAverage1();
  ctx.resolution = RaiseTimerResolution();
  ctx.cpuStepNs = CpuClockStepNs();
  for (int i = 0; i < 100; ++i) {
    const std::int64_t t0 = NowNs();
    RelativeSleepMs(1);
    ctx.sleep1Ms.push_back((NowNs() - t0) / 1e6);
  }
  const Kinds kinds = SelectKinds(opt);
  std::ostringstream md;

  LatenessResult at1{1, {}, {}};
  if (opt.lateness) {
    std::fprintf(stderr, "lateness at 1 ms\n");
    at1 = MeasureLateness(kinds, 1, opt.ticks1, opt.repeats);
    std::fprintf(stderr, "lateness at 10 ms\n");
    const LatenessResult at10 = MeasureLateness(kinds, 10, opt.ticks10, opt.repeats);
    LatenessTable(md, at1, kinds, opt.ticks1);
    LatenessTable(md, at10, kinds, opt.ticks10);
    WritePlots(opt, at1);
    WritePlots(opt, at10);
  }
  ctx.loadAfterLateness = LoadAverage1();

  std::unique_ptr<CostResult> costs;
  if (opt.costs) {
    costs = std::make_unique<CostResult>(MeasureCosts(opt));
    CostTable(md, *costs, at1, opt.repeats);
  }
  ScaleFigures scale;
  if (opt.scale) {
    scale = MeasureScales(opt);
    ScaleTable(md, scale);
  }
  if (opt.count >= 0 && Chosen(opt, "qev-main")) {
    scale.atTarget = MeasureAtCount(opt.count ? opt.count : SynchronizedScaleTarget(), opt.repeats, opt.smoke);
    AtCountTable(md, scale.atTarget, opt.repeats);
  }
  TargetTable(md, at1, opt.ticks1, costs.get(), scale,
              opt.smoke      ? "a smoke run"
              : ctx.Loaded() ? "the machine was not idle"
                             : "",
              ctx.cpuStepNs);
  if (opt.lateness)
    md << "\nPlots: lateness-1ms.svg, lateness-10ms.svg (the fraction of ticks later than x, every repeat "
        "pooled).\n";
  ctx.finished = UtcNow();

  std::ostringstream report;
  Preamble(report, opt, ctx);
  const std::string text = report.str() + md.str();
  std::ofstream(opt.out + "/results.md") << text;
  std::cout << text;
  return 0;
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
  bench::Options opt;
  // --quick and --smoke first, so that the options given with them override
  // their settings.
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--quick") {
      opt.quick = true;
      opt.repeats = 3;
      opt.ticks1 = 1000;
      opt.ticks10 = 100;
      opt.scale = false;
    } else if (a == "--smoke") {
      opt.smoke = true;
      opt.repeats = 1;
      opt.ticks1 = 300;
      opt.ticks10 = 50;
      opt.count = 4;
    }
  }
  opt.commandLine = "qev-bench";
  for (int i = 1; i < argc; ++i) opt.commandLine += std::string(" ") + argv[i];
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
    if (a == "--quick" || a == "--smoke")
      continue;
    else if (a == "--out")
      opt.out = next();
    else if (a == "--repeats")
      opt.repeats = std::max(1, std::atoi(next().c_str()));
    else if (a == "--ticks1")
      opt.ticks1 = std::max(50, std::atoi(next().c_str()));
    else if (a == "--ticks10")
      opt.ticks10 = std::max(50, std::atoi(next().c_str()));
    else if (a == "--no-scale")
      opt.scale = false;
    else if (a == "--no-costs")
      opt.costs = false;
    else if (a == "--lateness-only")
      opt.scale = opt.costs = false, opt.count = -1;
    else if (a == "--count")
      opt.count = std::max(-1, std::atoi(next().c_str()));
    else if (a == "--count-only")
      opt.lateness = opt.scale = opt.costs = false;
    else if (a == "--kinds") {
      std::stringstream s(next());
      for (std::string k; std::getline(s, k, ',');) opt.only.push_back(k);
    } else {
      std::fputs(bench::kUsage, a == "--help" ? stdout : stderr);
      return a == "--help" ? 0 : 2;
    }
  }
  if (opt.out.empty()) {
    std::fputs(bench::kUsage, stderr);
    return 2;
  }
  std::fprintf(stderr, "qev-bench: %s run; the report goes to %s\n",
               opt.quick   ? "a quick (about two minutes)"
               : opt.smoke ? "a smoke"
                           : "a full",
               opt.out.c_str());
  return bench::Run(opt);
}
