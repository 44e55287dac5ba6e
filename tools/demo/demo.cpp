// Demo: an application built with the runtime package QevTimerPack. It loads
// the package as a host application does, restores a stored form with two
// timers, serves the main thread, and reports the ticks each second and the
// measured periods at the end.
//
//   FastTimer  1 ms,   handler on the worker thread
//   SlowTimer  100 ms, handler on the main thread through the dispatch
#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <string>

#include "QevTimer.hpp"
#include "System.Classes.Streaming.hpp"
#include "System.Package.hpp"

namespace {

using Clock = std::chrono::steady_clock;
namespace C = System::Classes;

const char kHelp[] =
    "usage: demo [--seconds N] [--form FILE]\n"
    "\n"
    "Loads the package QevTimerPack, restores a stored form with two timers\n"
    "(FastTimer every 1 ms, its handler on the worker thread; SlowTimer every\n"
    "100 ms, its handler on the main thread through the dispatch), serves the\n"
    "main thread and prints one line per second with the tick counts, then a\n"
    "summary of the measured periods. Stops after N seconds (default 5) or at\n"
    "Ctrl-C. --form reads the stored form from FILE instead of the built-in one\n"
    "(its handlers are FastTimerTimer and SlowTimerTimer).\n";

// The stored form, as the designer saves it.
const char kStoredForm[] =
    "object DemoForm: TDataModule\n"
    "  object FastTimer: TQevTimer\n"
    "    Interval = 0.001\n"
    "    OnTimer = FastTimerTimer\n"
    "    Priority = tpHigher\n"
    "  end\n"
    "  object SlowTimer: TQevTimer\n"
    "    Interval = 0.1\n"
    "    OnTimer = SlowTimerTimer\n"
    "  end\n"
    "end\n";

// The package's file name on this target, from the build.
constexpr const char16_t* kPackage = u"" QEV_PACKAGE_FILE;

std::atomic<bool> interrupted{false};
extern "C" void OnInterrupt(int) { interrupted = true; }

// Tick counts and the spacing of the ticks of one timer. Record runs on the
// timer's handler thread; the main thread reads.
class Periods {
 public:
  void Record() {
    const auto now = Clock::now();
    std::lock_guard guard(lock_);
    if (ticks_ > 0) {
      const double ms = std::chrono::duration<double, std::milli>(now - last_).count();
      sum_ += ms;
      squares_ += ms * ms;
      min_ = std::min(min_, ms);
      max_ = std::max(max_, ms);
    }
    last_ = now;
    ++ticks_;
  }
  long Ticks() const {
    std::lock_guard guard(lock_);
    return ticks_;
  }
  void Summary(const char* name, double intervalMs) const {
    std::lock_guard guard(lock_);
    const long gaps = ticks_ - 1;
    if (gaps < 1) {
      std::printf("  %-9s %6ld ticks, too few to measure a period\n", name, ticks_);
      return;
    }
    const double mean = sum_ / gaps;
    const double sd = std::sqrt(std::max(0.0, squares_ / gaps - mean * mean));
    std::printf("  %-9s %6ld ticks, period %.3f ms (set %.3f ms): min %.3f, max %.3f, std dev %.3f ms\n", name,
                ticks_, mean, intervalMs, min_, max_, sd);
  }

 private:
  mutable std::mutex lock_;
  long ticks_ = 0;
  Clock::time_point last_;
  double sum_ = 0, squares_ = 0, min_ = 1e300, max_ = 0;
};

struct Stats {
  Periods fast, slow;
};

// The form's class: publishes the handlers the stored form names.
class DemoForm : public C::TDataModule {
 public:
  explicit DemoForm(Stats* stats) : TDataModule(nullptr), stats_(stats) {
    PublishMethod("FastTimerTimer", C::TNotifyEvent::Bind<&DemoForm::FastTimerTimer>(this));
    PublishMethod("SlowTimerTimer", C::TNotifyEvent::Bind<&DemoForm::SlowTimerTimer>(this));
  }
  void FastTimerTimer(System::TObject*) { stats_->fast.Record(); }
  void SlowTimerTimer(System::TObject*) { stats_->slow.Record(); }

 private:
  Stats* stats_;
};

Qevtimer::TQevTimer* Timer(DemoForm& form, const char16_t* name) {
  C::TComponent* c = form.FindComponent(name);
  if (!c || c->ClassInfo() != &Qevtimer::TQevTimer::TypeInfo)
    throw System::Exception(System::UnicodeString(u"the stored form has no timer ") + name);
  return static_cast<Qevtimer::TQevTimer*>(c);
}

struct Options {
  int seconds = 5;
  std::string formText = kStoredForm;
};

// Reads the command line into `options`; an exit status when the demo is done
// (--help) or the line is wrong.
std::optional<int> ParseArguments(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--help")) {
      std::fputs(kHelp, stdout);
      return 0;
    } else if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc) {
      // Whole seconds, at most a day; anything else is refused, not guessed.
      const char* text = argv[++i];
      const char* end = text + std::strlen(text);
      const auto r = std::from_chars(text, end, options.seconds);
      if (r.ec != std::errc() || r.ptr != end || options.seconds < 1 || options.seconds > 86400) {
        std::fprintf(stderr, "demo: --seconds needs a whole number from 1 to 86400, not '%s'\n", text);
        return 2;
      }
    } else if (!std::strcmp(argv[i], "--form") && i + 1 < argc) {
      std::ifstream in(argv[++i], std::ios::binary);
      if (!in) {
        std::fprintf(stderr, "demo: cannot read %s\n", argv[i]);
        return 1;
      }
      options.formText.assign(std::istreambuf_iterator<char>(in), {});
    } else {
      std::fputs(kHelp, stderr);
      return 2;
    }
  }
  return std::nullopt;
}

// The form's two timers.
struct Timers {
  Qevtimer::TQevTimer* fast;
  Qevtimer::TQevTimer* slow;
};

// Restores the stored form and sets the two timers up as the application's
// code does after the form has been read.
Timers RestoreForm(DemoForm& form, const std::string& text) {
  C::ReadFormText(text, form);
  Qevtimer::TQevTimer* fast = Timer(form, u"FastTimer");
  Qevtimer::TQevTimer* slow = Timer(form, u"SlowTimer");
  // Not stored with forms: the application sets it in code.
  slow->SetNeedSynchronization(true);
  // The workers began with the 1 s default before the stored intervals
  // arrived; start afresh so the first waits use the stored ones.
  fast->Restart();
  slow->Restart();
  std::printf("form %s restored: FastTimer %g s on the worker thread, SlowTimer %g s on the main thread\n",
              System::UnicodeString(form.Name()).ToUtf8().c_str(), fast->Interval(), slow->Interval());
  std::fflush(stdout);
  return {fast, slow};
}

// Serves the main thread and prints one line of tick counts per second, for
// `seconds` or until Ctrl-C; returns the seconds it ran.
double ServeAndReport(const Timers& timers, const Stats& stats, int seconds) {
  const auto start = Clock::now();
  long fastBefore = 0, slowBefore = 0;
  int elapsed = 0;
  while (elapsed < seconds && !interrupted) {
    const auto next = start + std::chrono::seconds(elapsed + 1);
    while (Clock::now() < next && !interrupted) C::CheckSynchronize(5);
    if (interrupted) break;
    ++elapsed;
    const long f = stats.fast.Ticks(), s = stats.slow.Ticks();
    std::printf("%2d s: FastTimer %5ld ticks (%6ld in all, counter %u)   SlowTimer %3ld ticks (%4ld in all, counter %u)\n",
                elapsed, f - fastBefore, f, timers.fast->GetCycleNumber(), s - slowBefore, s,
                timers.slow->GetCycleNumber());
    std::fflush(stdout);
    fastBefore = f;
    slowBefore = s;
  }
  if (interrupted) std::printf("interrupted\n");
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Stops the timers, frees the form with them and serves the dispatch until
// their workers have ended (one may still wait for it).
void FreeForm(DemoForm* form, const Timers& timers) {
  timers.fast->Stop();
  timers.slow->Stop();
  delete form;
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (C::TThread::ActiveCount() > 0 && Clock::now() < deadline) C::CheckSynchronize(5);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (const auto status = ParseArguments(argc, argv, options)) return *status;
  std::signal(SIGINT, OnInterrupt);

  try {
    // The application is linked against the package; as a host application
    // does at start-up, it has the framework initialize the package's units.
    const System::HINSTANCE package = System::LoadPackage(kPackage);
    const System::TPackageInfoRecord info = System::LoadedPackageInfo(package);
    std::printf("package %s loaded (%zu units)\n", info.Name.c_str(), info.Contains.size());

    Stats stats;
    auto* form = new DemoForm(&stats);
    const Timers timers = RestoreForm(*form, options.formText);
    const double secondsRun = ServeAndReport(timers, stats, options.seconds);
    const double fastMs = timers.fast->Interval() * 1000, slowMs = timers.slow->Interval() * 1000;
    FreeForm(form, timers);  // frees both timers

    std::printf("summary of %.1f s:\n", secondsRun);
    stats.fast.Summary("FastTimer", fastMs);
    stats.slow.Summary("SlowTimer", slowMs);
    System::UnloadPackage(package);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "demo: %s\n", e.what());
    return 1;
  }
  return 0;
}
