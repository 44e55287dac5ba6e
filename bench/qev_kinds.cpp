// TQevTimer under measurement: its two timer kinds (handler on the worker,
// handler on the main thread), N timers at once, Start and Stop, the
// main-thread dispatch and back-to-back ticks.
#include <memory>
#include <system_error>
#include <thread>

#include "QevTimer.hpp"
#include "bench.hpp"

using namespace System::Classes;
using Qevtimer::TQevTimer;

namespace bench {
namespace {

struct RecordingSink {
  Recorder* rec;
  void OnTimer(System::TObject*) { rec->Tick(); }
};

// Destroying a timer pauses 500 ms on the calling thread; timers without an
// owner are freed side by side on helper threads so that a thousand of them
// do not take minutes.
void FreeTimers(std::vector<TQevTimer*>& timers) {
  for (TQevTimer* t : timers) t->Stop();
  constexpr std::size_t kHelpers = 64;
  std::vector<std::thread> helpers;
  std::size_t h = 0;
  try {
    for (; h < kHelpers && h < timers.size(); ++h)
      helpers.emplace_back([&timers, h] {
        for (std::size_t i = h; i < timers.size(); i += kHelpers) delete timers[i];
      });
  } catch (const std::system_error&) {
    // No more threads (a 32-bit address space full of stacks): this thread
    // frees the share of the helpers that did not start.
    for (std::size_t k = h; k < kHelpers; ++k)
      for (std::size_t i = k; i < timers.size(); i += kHelpers) delete timers[i];
  }
  for (auto& t : helpers) t.join();
  timers.clear();
}

bool RunQev(bool onMainThread, int intervalMs, Recorder& rec) {
  RecordingSink sink{&rec};
  auto* timer = new TQevTimer(nullptr);
  timer->SetInterval(intervalMs / 1000.0);
  timer->SetNeedSynchronization(onMainThread);
  timer->SetOnTimer(TNotifyEvent::Bind<&RecordingSink::OnTimer>(&sink));
  timer->Start();
  if (onMainThread) {
    while (!rec.Done()) CheckSynchronize(100);
  } else {
    rec.Wait();
  }
  timer->Stop();
  delete timer;
  return true;
}

// --- N timers -------------------------------------------------------------

struct CountingSink {
  std::atomic<std::uint64_t>* ticks;
  void OnTimer(System::TObject*) { ticks->fetch_add(1, std::memory_order_relaxed); }
};

class QevTickers final : public TickerSet {
 public:
  explicit QevTickers(bool synchronized) : synchronized_(synchronized) {}
  ~QevTickers() override { Stop(); }
  int Start(int n, int intervalMs) override {
    for (int i = 0; i < n; ++i) {
      TQevTimer* t = nullptr;
      try {
        t = new TQevTimer(nullptr);
        timers_.push_back(t);
        t->SetInterval(intervalMs / 1000.0);
        t->SetNeedSynchronization(synchronized_);
        t->SetOnTimer(TNotifyEvent::Bind<&CountingSink::OnTimer>(&sink_));
        t->Start();
      } catch (const System::Exception&) {
        return i;  // the system refused another thread
      }
    }
    return n;
  }
  std::uint64_t Ticks() const override { return ticks_.load(); }
  void Stop() override { FreeTimers(timers_); }
  // As an application's loop would: CheckSynchronize with a short timeout.
  void Idle(int ms) override {
    if (!synchronized_) return RelativeSleepMs(ms);
    const std::int64_t end = NowNs() + std::int64_t{ms} * 1000000;
    while (NowNs() < end) CheckSynchronize(5);
  }

 private:
  const bool synchronized_;
  std::atomic<std::uint64_t> ticks_{0};
  CountingSink sink_{&ticks_};
  std::vector<TQevTimer*> timers_;
};

// --- Start and Stop -----------------------------------------------------------

struct FirstTick {
  std::atomic<std::int64_t> at{0};
  void OnTimer(System::TObject*) {
    std::int64_t none = 0;
    at.compare_exchange_strong(none, NowNs());
  }
};

// --- Dispatch ---------------------------------------------------------------

// The worker's wake, seen through the sleep hook: the time its sleep returned.
std::atomic<std::int64_t> workerWokeNs{0};
void SleepAndStamp(int ms) {
  System::Kernel::Sleep(static_cast<std::uint32_t>(ms));
  workerWokeNs.store(NowNs(), std::memory_order_release);
}

struct DispatchSink {
  std::vector<double>* out;
  std::size_t want;
  void OnTimer(System::TObject*) {
    const std::int64_t now = NowNs();
    if (out->size() < want) out->push_back((now - workerWokeNs.load(std::memory_order_acquire)) / 1000.0);
  }
};

struct EmptySink {
  void OnTimer(System::TObject*) {}
};

}  // namespace

void AddQevKinds(Kinds& kinds) {
  kinds.push_back({"qev-worker", "TQevTimer, handler on its worker thread", false,
                   [](int ms, std::size_t, Recorder& rec, Extra&) { return RunQev(false, ms, rec); }});
  kinds.push_back({"qev-main", "TQevTimer, handler on the main thread through Synchronize", false,
                   [](int ms, std::size_t, Recorder& rec, Extra&) { return RunQev(true, ms, rec); }});
}

std::unique_ptr<TickerSet> MakeQevTickers() { return std::make_unique<QevTickers>(false); }
std::unique_ptr<TickerSet> MakeQevSyncTickers() { return std::make_unique<QevTickers>(true); }

StartStop MeasureQevStartStop(int rounds) {
  StartStop r;
  FirstTick sink;
  auto* timer = new TQevTimer(nullptr);
  timer->Stop();
  timer->SetInterval(0.001);
  timer->SetOnTimer(TNotifyEvent::Bind<&FirstTick::OnTimer>(&sink));
  for (int i = 0; i < rounds; ++i) {
    sink.at.store(0);
    const std::int64_t t0 = NowNs();
    timer->Start();
    const std::int64_t t1 = NowNs();
    while (sink.at.load() == 0) std::this_thread::yield();
    const std::int64_t t2 = sink.at.load();
    const std::int64_t t3 = NowNs();
    timer->Stop();
    const std::int64_t t4 = NowNs();
    r.startCallUs.push_back((t1 - t0) / 1000.0);
    r.firstTickUs.push_back((t2 - t0) / 1000.0);
    r.stopCallUs.push_back((t4 - t3) / 1000.0);
    RelativeSleepMs(2);  // let the stopped worker end
  }
  delete timer;
  return r;
}

std::vector<double> MeasureDispatchUs(int rounds) {
  std::vector<double> out;
  out.reserve(static_cast<std::size_t>(rounds));
  DispatchSink sink{&out, static_cast<std::size_t>(rounds)};
  const TThread::TSleepHook previous = TThread::SetSleepHook(&SleepAndStamp);
  auto* timer = new TQevTimer(nullptr);
  timer->SetInterval(0.001);
  timer->SetNeedSynchronization(true);
  timer->SetOnTimer(TNotifyEvent::Bind<&DispatchSink::OnTimer>(&sink));
  timer->Start();
  while (out.size() < sink.want) CheckSynchronize(100);
  timer->Stop();
  delete timer;
  TThread::SetSleepHook(previous);
  return out;
}

// A thread that is not a timer calls Synchronize every 1 ms; the main thread
// serves the dispatch. The round trip is from the call to its return: the
// figure to hold against a bare wait/wake pair's round trip.
namespace {
void Nothing(void*) {}
}  // namespace
std::vector<double> MeasureSynchronizeUs(int rounds) {
  std::vector<double> out;
  out.reserve(static_cast<std::size_t>(rounds));
  std::atomic<bool> done{false};
  std::thread caller([&] {
    for (int i = 0; i < rounds; ++i) {
      RelativeSleepMs(1);
      const std::int64_t t0 = NowNs();
      TThread::Synchronize(System::Classes::TThreadMethod{&Nothing, nullptr});
      out.push_back((NowNs() - t0) / 1000.0);
    }
    done.store(true);
  });
  while (!done.load()) CheckSynchronize(100);
  caller.join();
  return out;
}

double MeasureQevBackToBack(double seconds) {
  EmptySink sink;
  auto* timer = new TQevTimer(nullptr);
  timer->SetInterval(0);
  timer->SetOnTimer(TNotifyEvent::Bind<&EmptySink::OnTimer>(&sink));
  timer->Start();
  RelativeSleepMs(50);  // past the start
  const std::uint32_t c0 = timer->GetCycleNumber();
  const std::int64_t t0 = NowNs();
  RelativeSleepMs(static_cast<int>(seconds * 1000));
  const std::uint32_t c1 = timer->GetCycleNumber();
  const std::int64_t t1 = NowNs();
  timer->Stop();
  delete timer;
  return (c1 - c0) / ((t1 - t0) / 1e9);
}

}  // namespace bench
