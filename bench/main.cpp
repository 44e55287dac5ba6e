// bench: tick precision, cost and scale of TQevTimer against floors and peer
// timers, measured in one run with the kinds interleaved (A B A B ...) over
// several repeats; reports medians over the repeats and ratios taken within
// each repeat.
//
//   bench [--out DIR] [--repeats N] [--ticks1 N] [--ticks10 N] [--kinds a,b]
//         [--no-scale] [--no-costs] [--lateness-only] [--smoke]
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

struct Options {
  std::string out = "bench-results";
  int repeats = 5;
  std::size_t ticks1 = 5000;
  std::size_t ticks10 = 500;
  std::vector<std::string> only;
  bool scale = true;
  bool costs = true;
  bool smoke = false;
};

std::string Fmt(double v, int decimals = 1) {
  if (std::isnan(v)) return "n/a";
  char b[48];
  std::snprintf(b, sizeof b, "%.*f", decimals, v);
  return b;
}

std::string Ratio(double v) { return std::isnan(v) ? "n/a" : Fmt(v, 2) + "x"; }

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

double MedianOf(const KindRuns& kr, double Stats::*field) { return Median(Column(kr, field)); }

// Median over the repeats of a[i] / b[i], the ratio taken within each repeat.
// Pairs with a figure not above 0 are left out: a lateness that is no ratio's
// base, or a CPU time below the resolution of the process's CPU clock (coarse
// under Wine).
double PerRepeatRatio(const std::vector<double>& a, const std::vector<double>& b) {
  std::vector<double> v;
  for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i)
    if (a[i] > 0 && b[i] > 0) v.push_back(a[i] / b[i]);
  return Median(v);
}

const KindRuns* Find(const LatenessResult& r, const std::string& name) {
  const auto i = r.runs.find(name);
  return i == r.runs.end() ? nullptr : &i->second;
}

double PairedRatio(const LatenessResult& r, const std::string& a, const std::string& b, double Stats::*field) {
  const KindRuns *ka = Find(r, a), *kb = Find(r, b);
  return ka && kb ? PerRepeatRatio(Column(*ka, field), Column(*kb, field)) : NAN;
}

double PairedCpuRatio(const LatenessResult& r, const std::string& a, const std::string& b) {
  const KindRuns *ka = Find(r, a), *kb = Find(r, b);
  return ka && kb ? PerRepeatRatio(ka->cpuUsPerTick, kb->cpuUsPerTick) : NAN;
}

double MedianCpu(const LatenessResult& r, const std::string& name) {
  const KindRuns* k = Find(r, name);
  return k ? Median(k->cpuUsPerTick) : NAN;
}

void LatenessTable(std::ostream& o, const LatenessResult& r, const Kinds& kinds, std::size_t ticks) {
  o << "\n### Lateness at " << r.intervalMs << " ms (" << ticks << " ticks a run, median of "
    << (r.runs.empty() ? 0 : r.runs.begin()->second.stats.size()) << " runs)\n\n";
  o << "| timer | measured | mean us | p50 us | p99 us | p99.9 us | max us | CPU us/tick |\n";
  o << "|---|---|---:|---:|---:|---:|---:|---:|\n";
  for (const std::string& name : r.order) {
    const KindRuns& kr = r.runs.at(name);
    const auto k = std::find_if(kinds.begin(), kinds.end(), [&](const Kind& x) { return x.name == name; });
    o << "| " << name << " | " << (k->deadline ? "vs deadline" : "spacing - interval") << " | "
      << Fmt(MedianOf(kr, &Stats::mean)) << " | " << Fmt(MedianOf(kr, &Stats::p50)) << " | "
      << Fmt(MedianOf(kr, &Stats::p99)) << " | " << Fmt(MedianOf(kr, &Stats::p999)) << " | "
      << Fmt(MedianOf(kr, &Stats::max)) << " | " << Fmt(Median(kr.cpuUsPerTick), 2) << " |"
      << (kr.note.empty() ? "" : " " + kr.note) << "\n";
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

// Ticks per second per ticker of `n` tickers, over a window.
double RatePerTicker(TickerSet& set, int n, int intervalMs, double windowS) {
  if (set.Start(n, intervalMs) < n) {
    set.Stop();
    std::fprintf(stderr, "  scale: the system refused some of %d threads\n", n);
    return 0;
  }
  set.Idle(std::max(200, intervalMs * 20));
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

void Preamble(std::ostream& md, const Options& opt, const std::string& resolution) {
  md << "Machine: " << MachineDescription() << "; timer resolution: " << resolution
     << "; timer slack of the main thread: " << ThreadTimerSlackNs() << " ns.\n";
  md << "Lateness is how late a tick comes: spacing minus interval for timers that re-arm from the tick, "
        "wake time minus deadline for those that keep a schedule. Medians over "
     << opt.repeats
     << " repeats, the kinds interleaved within each repeat; ratios are taken within each repeat "
        "and their median is shown.\n";
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
  std::vector<StartStop> qevSS, bareSS;
  MemoryFigures mem100, mem1000;
};

void MeasureMemory(const Options& opt, CostResult& c) {
  for (auto [n, m] : {std::pair{100, &c.mem100}, std::pair{1000, &c.mem1000}}) {
    if (opt.smoke && n > 100) continue;
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

CostResult MeasureCosts(const Options& opt) {
  CostResult c;
  const int rounds = opt.smoke ? 20 : 200;
  const int dispatchRounds = opt.smoke ? 100 : 2000;
  std::fprintf(stderr, "costs\n");
  for (int rep = 0; rep < opt.repeats; ++rep) {
    c.qevB2b.push_back(MeasureQevBackToBack(opt.smoke ? 0.1 : 1.0));
    c.bareB2b.push_back(MeasureBareBackToBack(opt.smoke ? 0.1 : 1.0));
    c.qevSS.push_back(MeasureQevStartStop(rounds));
    c.bareSS.push_back(MeasureBareStartStop(rounds));
    c.dispatch.Add(MeasureDispatchUs(dispatchRounds));
    c.addressWait.Add(MeasureRoundTripUs(*MakeHostSync(), dispatchRounds));
    c.condvar.Add(MeasureRoundTripUs(*MakeStdCondition(), dispatchRounds));
    MeasureMemory(opt, c);
    std::fprintf(stderr,
                 "  rep %d: back-to-back %.2f M/s (bare %.2f M/s), dispatch p50 %.1f us, round trip p50 %.1f us "
                 "(address wait), %.1f us (condition variable)\n",
                 rep + 1, c.qevB2b.back() / 1e6, c.bareB2b.back() / 1e6, c.dispatch.p50.back(),
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
  md << "| main-thread dispatch, worker wake to handler start, p50 / p99 us (floor: round trip of the "
        "address wait it hands over with) | "
     << Summary(c.dispatch) << " | " << Summary(c.addressWait) << " | "
     << Ratio(PerRepeatRatio(c.dispatch.p50, c.addressWait.p50)) << " (p50) |\n";
  md << "| the same against a std::condition_variable round trip | " << Summary(c.dispatch) << " | "
     << Summary(c.condvar) << " | " << Ratio(PerRepeatRatio(c.dispatch.p50, c.condvar.p50)) << " (p50) |\n";
  {
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
  md << "| CPU per tick at 1 ms, us (floor: bare sleep loop) | " << Fmt(MedianCpu(at1, "qev-worker"), 2) << " | "
     << Fmt(MedianCpu(at1, "bare-sleep"), 2) << " | " << Ratio(PairedCpuRatio(at1, "qev-worker", "bare-sleep"))
     << " |\n";
}

// --- Scale ------------------------------------------------------------------

struct ScaleFigures {
  ScaleResult qev1, bare1, qev10, bare10, sync10;  // not tried: not chosen
};

bool Chosen(const Options& opt, const std::string& kind) {
  return opt.only.empty() || std::find(opt.only.begin(), opt.only.end(), kind) != opt.only.end();
}

ScaleFigures MeasureScales(const Options& opt) {
  std::fprintf(stderr, "scale\n");
  ScaleFigures f;
  auto measure = [&](std::unique_ptr<TickerSet> set, int ms, int cap, bool nominal = false) {
    const double window = opt.smoke ? 0.2 : (ms == 1 ? 0.5 : 1.0);
    return MeasureScale(*set, ms, opt.smoke ? 4 : cap, window, nominal);
  };
  if (Chosen(opt, "qev-worker")) f.qev1 = measure(MakeQevTickers(), 1, 1024);
  if (Chosen(opt, "bare-sleep")) f.bare1 = measure(MakeBareTickers(), 1, 1024);
  if (Chosen(opt, "qev-worker")) f.qev10 = measure(MakeQevTickers(), 10, 4096);
  if (Chosen(opt, "bare-sleep")) f.bare10 = measure(MakeBareTickers(), 10, 4096);
  if (Chosen(opt, "qev-main")) f.sync10 = measure(MakeQevSyncTickers(), 10, 1024, true);
  return f;
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
        "CheckSynchronize(5)), 95% of the nominal rate | "
     << ScaleCell(f.sync10) << " | |\n";
}

// --- Targets ----------------------------------------------------------------

void Target(std::ostream& md, const std::string& what, double value, double limit, bool atMost) {
  const bool met = !std::isnan(value) && (atMost ? value <= limit : value >= limit);
  md << "| " << what << " | " << (std::isnan(value) ? "n/a" : Fmt(value, 2)) << " | "
     << (std::isnan(value) ? "n/a"
         : met             ? "yes"
                           : "no")
     << " |\n";
}

void TargetTable(std::ostream& md, const LatenessResult& at1, const CostResult* c, const ScaleFigures& scale) {
  md << "\n### Targets\n\n| target | figure | met |\n|---|---|---|\n";
  Target(md, "mean lateness at 1 ms / bare sleep loop, at most 1.02",
         PairedRatio(at1, "qev-worker", "bare-sleep", &Stats::mean), 1.02, true);
  Target(md, "p99 lateness at 1 ms / cyclictest p99, at most 1.3",
         PairedRatio(at1, "qev-worker", "cyclictest", &Stats::p99), 1.3, true);
  Target(md, "CPU per tick at 1 ms / bare sleep loop, at most 1.2", PairedCpuRatio(at1, "qev-worker", "bare-sleep"),
         1.2, true);
  Target(md, "main thread: mean lateness at 1 ms, qev-main / qev-worker, at most 1.3",
         PairedRatio(at1, "qev-main", "qev-worker", &Stats::mean), 1.3, true);
  Target(md, "main thread: CPU per tick at 1 ms, qev-main / qev-worker, at most 1.5",
         PairedCpuRatio(at1, "qev-main", "qev-worker"), 1.5, true);
  if (c) {
    if (!c->mem1000.qevRss.empty())
      Target(md, "resident memory per timer at 1000 / bare thread, at most 1.2",
             PerRepeatRatio(c->mem1000.qevRss, c->mem1000.bareRss), 1.2, true);
    Target(md, "dispatch p50 / address-wait round trip p50, at most 2",
           PerRepeatRatio(c->dispatch.p50, c->addressWait.p50), 2, true);
    Target(md, "back-to-back ticks per second, millions, at least 20", Median(c->qevB2b) / 1e6, 20, false);
  }
  if (!scale.sync10.tried.empty()) {
    const int want = SynchronizedScaleTarget();
    Target(md, "synchronized timers at 10 ms keeping 95% of the nominal rate, at least " + std::to_string(want),
           scale.sync10.largest, want, false);
  }
}

int Run(const Options& opt) {
  std::filesystem::create_directories(opt.out);
  const std::string resolution = RaiseTimerResolution();
  const Kinds kinds = SelectKinds(opt);
  std::ostringstream md;
  Preamble(md, opt, resolution);

  std::fprintf(stderr, "lateness at 1 ms\n");
  const LatenessResult at1 = MeasureLateness(kinds, 1, opt.ticks1, opt.repeats);
  std::fprintf(stderr, "lateness at 10 ms\n");
  const LatenessResult at10 = MeasureLateness(kinds, 10, opt.ticks10, opt.repeats);
  LatenessTable(md, at1, kinds, opt.ticks1);
  LatenessTable(md, at10, kinds, opt.ticks10);
  WritePlots(opt, at1);
  WritePlots(opt, at10);

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
  TargetTable(md, at1, costs.get(), scale);

  const std::string text = md.str();
  std::ofstream(opt.out + "/results.md") << text;
  std::cout << text;
  return 0;
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
  bench::Options opt;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
    if (a == "--out")
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
      opt.scale = opt.costs = false;
    else if (a == "--kinds") {
      std::stringstream s(next());
      for (std::string k; std::getline(s, k, ',');) opt.only.push_back(k);
    } else if (a == "--smoke") {
      opt.smoke = true;
      opt.repeats = 1;
      opt.ticks1 = 300;
      opt.ticks10 = 50;
    } else {
      std::puts(
          "usage: bench [--out DIR] [--repeats N] [--ticks1 N] [--ticks10 N] [--kinds a,b] [--no-scale] "
          "[--no-costs] [--lateness-only] [--smoke]");
      return a == "--help" ? 0 : 2;
    }
  }
  return bench::Run(opt);
}
