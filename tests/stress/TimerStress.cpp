// Stress run of TQevTimer against live workers, with faults injected through
// the kernel seam. Prints what it did and found, one figure a line, and fails
// when a handler is called after its timer's destruction, a period begun is
// not ended, a worker thread is left over, progress stops (the watchdog dumps
// every thread's stack) or a scenario ends otherwise than it must.
//
//   timer_stress [--operations N] [--seconds S] [--limit S] [--seed N] [--fake-winmm DIR]
//                [--minutes M] [--hazard N] [--rounds N]
//   timer_stress --deadlock    (checks the watchdog: waits for ever, see below)
//   timer_stress --crash       (checks the fault report: a handler faults)
//
// --minutes (soak): repeats all phases, each pass as a plain run does, until
// M minutes have passed, printing each pass's figures and the totals; the
// whole-run limit then counts on top of the M minutes. A soak judges faults
// only: the changes' pace is reported, not held to the target.
//
// --fake-winmm (Linux): the folder holding the fake "winmm.dll" variants
// full/, no-devcaps/ and failing-devcaps/; without it the system's library
// is used, as on Windows.
#include "Stress.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "timer/fake_winmm.hpp"

namespace stress {

// --- Figures ----------------------------------------------------------------

Figures fig;

void Wrong(const char* what) {
  ++fig.wrongOutcomes;
  std::fprintf(stderr, "WRONG: %s\n", what);
}

// --- Watchdog -------------------------------------------------------------------

void Watchdog::Run(std::chrono::seconds runLimit) {
  thread = std::thread([this, runLimit, limit = Clock::now() + runLimit] {
    while (!done.load()) {
      std::this_thread::sleep_for(100ms);
      const auto now = Clock::now();
      const auto quiet = now - Clock::time_point(Clock::duration(last.load()));
      if (quiet > std::chrono::seconds(allowanceSeconds.load()))
        End("deadlocks", "no progress for", allowanceSeconds.load());
      if (now > limit) End("overruns", "the run took longer than its limit of", static_cast<int>(runLimit.count()));
    }
  });
}

void Watchdog::Stop() {
  done = true;
  thread.join();
}

void Watchdog::End(const char* figure, const char* what, int seconds) {
  std::fprintf(stderr, "%s: 1\n%s %d s in step \"%s\"; stacks follow\n", figure, what, seconds, step.load());
  std::fflush(stderr);
  // Nor may the dump itself hold the run up.
  std::thread([] {
    std::this_thread::sleep_for(25s);
    std::fflush(nullptr);
    std::_Exit(3);
  }).detach();
  DumpAllStacks();
  std::fflush(nullptr);
  std::_Exit(3);
}

Watchdog watchdog;

// --- Randomness -------------------------------------------------------------------
// One generator for the main thread; the seam draws from an atomic counter
// (any thread may create a worker).

std::mt19937 rng;
int Pick(int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); }
bool Chance(int percent) { return Pick(100) < percent; }

std::atomic<std::uint64_t> seamDraws{0};
std::uint64_t seamSeed = 0;
std::uint64_t SeamDraw() {
  std::uint64_t z = seamSeed + 0x9E3779B97F4A7C15ull * (seamDraws.fetch_add(1) + 1);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// --- The kernel seam: refused threads and a scripted multimedia library ------------

K::Services systemServices;  // the services installed before ours

std::atomic<int> refusePercent{0};
K::OsThread* MaybeRefuseThread(K::ThreadEntry entry, void* arg) {
  if (const int p = refusePercent.load(); p > 0 && static_cast<int>(SeamDraw() % 100) < p) {
    ++fig.threadsRefused;
    return nullptr;
  }
  return systemServices.CreateThread(entry, arg);
}

Multimedia mm;

std::uint32_t QEV_WINAPI RecordingBegin(std::uint32_t period) {
  ++mm.begun;
  mm.nonZeroPeriods += period != 0;
  return mm.begin.load()(period);
}
std::uint32_t QEV_WINAPI RecordingEnd(std::uint32_t period) {
  ++mm.ended;
  mm.nonZeroPeriods += period != 0;
  return mm.end.load()(period);
}
std::uint32_t QEV_WINAPI ForwardingCaps(Qevtimer::PTimeCaps caps, std::uint32_t size) {
  return mm.caps.load()(caps, size);
}
std::uint32_t QEV_WINAPI FailingCaps(Qevtimer::PTimeCaps, std::uint32_t) { return 97; }  // TIMERR_NOCANDO

bool IsWinmm(const char16_t* name) { return std::u16string_view(name) == u"winmm.dll"; }

K::HMODULE ScriptedModule(const char16_t* name) {
  if (!IsWinmm(name)) return systemServices.GetModuleHandleW(name);
  ++mm.moduleLookups;
  return mm.shape.load() == Library::Missing ? nullptr : mm.module.load();
}
K::HMODULE ScriptedLoad(const char16_t* name) {
  if (!IsWinmm(name)) return systemServices.LoadLibraryW(name);
  ++mm.loads;
  return mm.shape.load() == Library::Missing ? nullptr : mm.module.load();
}
K::HMODULE ScriptedSystemLoad(const char16_t* name) {
  if (!IsWinmm(name)) return systemServices.LoadSystemLibraryW(name);
  ++mm.loads;
  return mm.shape.load() == Library::Missing ? nullptr : mm.module.load();
}
void* ScriptedProc(K::HMODULE module, const char* name) {
  if (module != mm.module.load()) return systemServices.GetProcAddress(module, name);
  ++mm.procLookups;
  const Library shape = mm.shape.load();
  if (shape == Library::NoEntryPoints) return nullptr;
  void* real = systemServices.GetProcAddress(module, name);
  if (!real) return nullptr;
  const std::string_view n(name);
  if (n == "timeBeginPeriod") {
    mm.begin = reinterpret_cast<Qevtimer::TTimePeriodProc>(real);
    return reinterpret_cast<void*>(&RecordingBegin);
  }
  if (n == "timeEndPeriod") {
    mm.end = reinterpret_cast<Qevtimer::TTimePeriodProc>(real);
    return reinterpret_cast<void*>(&RecordingEnd);
  }
  if (n == "timeGetDevCaps") {
    if (shape == Library::NoCapabilityQuery) return nullptr;
    if (shape == Library::FailingCapabilityQuery) return reinterpret_cast<void*>(&FailingCaps);
    mm.caps = reinterpret_cast<Qevtimer::TTimeGetDevCapsProc>(real);
    return reinterpret_cast<void*>(&ForwardingCaps);
  }
  return real;
}

std::string fakeWinmm;  // Linux: the folder of the fake library's variants

void UseLibrary(Library shape) {
  std::string file = "winmm.dll";
  if (!fakeWinmm.empty()) {
    // The fake's variants lack the capability query, or have one that fails.
    const char* variant = shape == Library::NoCapabilityQuery        ? "no-devcaps"
                          : shape == Library::FailingCapabilityQuery ? "failing-devcaps"
                                                                     : "full";
    file = fakeWinmm + "/" + variant + "/winmm.dll";
  }
  const System::UnicodeString path = System::UnicodeString(std::string_view(file));
  mm.module = systemServices.LoadLibraryW(path.c_str());
  if (!mm.module.load()) {
    std::fprintf(stderr, "cannot load %s\n", file.c_str());
    std::exit(2);
  }
  // The fake's variants lack the capability query, or fail it, themselves;
  // with the system's library the scripted loader does.
  const bool variantDoesIt = shape == Library::NoCapabilityQuery || shape == Library::FailingCapabilityQuery;
  mm.shape = !fakeWinmm.empty() && variantDoesIt ? Library::Complete : shape;
  Qevtimer::_timeGetDevCaps = nullptr;
  Qevtimer::_timeBeginPeriod = nullptr;
  Qevtimer::_timeEndPeriod = nullptr;
}

// --- Slots -------------------------------------------------------------------------


// Destroys the timer and records when its destructor has returned.
void Slot::Destroy() {
  TQevTimer* t = timer;
  timer = nullptr;
  destroyer = K::CurrentThreadId();
  delete t;
  gone = true;
  ++fig.timersDestroyed;
}

void Slot::OnTimer(System::TObject* sender) {
  // A call that starts, or is still running, once the timer's destructor
  // has returned is a call after destroy; except where the destructor ran
  // on this call's own thread, inside it, and so could not wait for it.
  struct Late {
    Slot* slot;
    bool late;
    ~Late() {
      if (!late && slot->gone.load() && slot->destroyer.load() != K::CurrentThreadId()) late = true;
      if (late) ++fig.callsAfterDestroy;
    }
  } late{this, gone.load()};
  ++fig.handlerCalls;
  ++calls;
  const bool main = K::IsMainThread();
  if (!main) ++fig.workerCalls;
  auto* self = static_cast<TQevTimer*>(sender);
  switch (act.load()) {
    case Act::Count:
      break;
    case Act::Raise:
      ++fig.handlerExceptions;
      throw EStress();
    case Act::Nap:
      if (!main) std::this_thread::sleep_for(1ms);
      break;
    case Act::SelfControl:
      if (main) SelfControl(self);
      break;
    case Act::Long:
      inHandler = true;
      std::this_thread::sleep_for(700ms);
      (void)self->Interval();  // still a live timer
      handlerDone = true;
      break;
    case Act::DestroySelf:
      if (calls.load() == 1) Destroy();
      break;
    case Act::StopSelf:
      self->Stop();
      break;
    case Act::RestartOnce:
      if (armed.exchange(false)) {
        self->Restart();
        handlerDone = true;
      }
      break;
    case Act::HoldDispatch: {
      inHandler = true;
      const auto deadline = Clock::now() + 10s * kSlow;
      while (!gone.load() && Clock::now() < deadline) {
        CheckSynchronize(1);
        watchdog.Progress();
      }
      handlerDone = true;
      break;
    }
    case Act::DestroyTarget:
      if (target && target->timer && target->inHandler.load()) target->Destroy();
      break;
    case Act::AskMain:
      if (!main) TThread::Synchronize(System::Classes::TThreadMethod::Bind<&Slot::OnMain>(this));
      break;
    case Act::Fault: {
      volatile int* volatile nowhere = nullptr;
      *nowhere = 1;
      break;
    }
    case Act::AskMainLater:
      if (!main && calls.load() == 1) {
        inHandler = true;
        std::this_thread::sleep_for(100ms);
        TThread::Synchronize(System::Classes::TThreadMethod::Bind<&Slot::OnMain>(this));
        handlerDone = true;
      }
      break;
  }
}

void Slot::SelfControl(TQevTimer* self) {
  switch (Pick(5)) {
    case 0:
      self->Stop();
      break;
    case 1:
      self->Restart();  // may raise EThread: it reaches the worker, which ends
      break;
    case 2:
      self->SetInterval(Chance(50) ? 0.0 : 0.001);
      break;
    case 3:
      self->SetRepeatCount(static_cast<std::uint32_t>(Pick(4)));
      break;
    default:
      self->SetCycled(Chance(80));
      break;
  }
}

std::deque<Slot> slots;  // never shrinks: late calls must find their slot

// A component that records, from its destructor, that the timer created
// right after it is gone: an owner frees its components last created first.
struct GoneMarker : TComponent {
  Slot* slot;
  GoneMarker(TComponent* owner, Slot* s) : TComponent(owner), slot(s) {}
  ~GoneMarker() override {
    watchdog.Progress();  // an owner may free many paused timers in a row
    if (slot->timer) {
      slot->timer = nullptr;
      slot->destroyer = K::CurrentThreadId();
      slot->gone = true;
      ++fig.timersDestroyed;
    }
  }
};

// Makes a timer under `owner`, retrying while the seam refuses its worker
// (the failed construction pauses and cleans up as a destructor would).
Slot& NewTimer(TComponent* owner, double interval, bool synchronized, Act act) {
  Slot& s = slots.emplace_back();
  s.act = act;
  if (owner) new GoneMarker(owner, &s);
  for (;;) {
    try {
      s.timer = new TQevTimer(owner);
      break;
    } catch (const EThread&) {
      watchdog.Progress();
    }
  }
  ++fig.timersCreated;
  s.timer->SetInterval(interval);
  s.timer->SetNeedSynchronization(synchronized);
  s.timer->SetOnTimer(s.Event());
  return s;
}

bool AllWorkersEnded() {
  return ServeUntil([] { return TThread::ActiveCount() == 0; }, 20s);
}

// The process's threads once the libraries are loaded and no worker runs.
int threadBaseline = 0;

// The count costs milliseconds under Wine, so it is taken at most every 100 ms.
void LetEndedThreadsGo() {
  constexpr int kBacklog = 128;
  static Clock::time_point next{};
  if (Clock::now() < next) return;
  while (stress::SystemThreadCount() - TThread::ActiveCount() > threadBaseline + kBacklog) {
    CheckSynchronize(1);
    watchdog.Progress();
  }
  next = Clock::now() + 100ms;
}

// One of the changes that start or end workers: 0 Start, 1 Stop, 2 Restart,
// 3 a toggle of Enabled. A thread the seam refuses surfaces as EThread.
void StartStopChange(TQevTimer* t, int which) {
  switch (which) {
    case 0: t->Start(); break;
    case 1: t->Stop(); break;
    case 2: t->Restart(); break;
    default: t->SetEnabled(!t->Enabled()); break;
  }
}

// --- Settings and the run -----------------------------------------------------------

namespace {

struct Settings {
  std::uint64_t operations = QEV_STRESS_OPERATIONS;
  int seconds = QEV_STRESS_SECONDS;  // at most for the changes
  int limit = QEV_STRESS_LIMIT;      // at most for the whole run (one pass)
  int minutes = 0;                   // soak: repeat the passes this long
  std::uint32_t seed = 0;
  bool deadlock = false;
  bool crash = false;
};

Settings Parse(int argc, char** argv) {
  Settings s;
  s.seed = static_cast<std::uint32_t>(Clock::now().time_since_epoch().count());
  for (int i = 1; i < argc; i += 2) {
    const std::string key = argv[i];
    if (key == "--deadlock" || key == "--crash") {
      (key == "--crash" ? s.crash : s.deadlock) = true;
      --i;
      continue;
    }
    if (i + 1 == argc) {
      std::fprintf(stderr, "%s needs a value\n", key.c_str());
      std::exit(2);
    }
    const char* value = argv[i + 1];
    if (key == "--operations")
      s.operations = std::strtoull(value, nullptr, 10);
    else if (key == "--seconds")
      s.seconds = std::atoi(value);
    else if (key == "--limit")
      s.limit = std::atoi(value);
    else if (key == "--minutes")
      s.minutes = std::atoi(value);
    else if (key == "--hazard")
      onlyHazard = std::atoi(value);
    else if (key == "--rounds")
      hazardRounds = std::atoi(value);
    else if (key == "--seed")
      s.seed = static_cast<std::uint32_t>(std::strtoul(value, nullptr, 10));
    else if (key == "--fake-winmm")
      fakeWinmm = value;
    else {
      std::fprintf(stderr, "unknown option %s\n", key.c_str());
      std::exit(2);
    }
  }
  return s;
}

}  // namespace
}  // namespace stress

using namespace stress;


int main(int argc, char** argv) {
  stress::InstallCrashReport();
  const Settings settings = Parse(argc, argv);
  rng.seed(settings.seed);
  seamSeed = settings.seed;
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  std::printf("seed: %u\n", settings.seed);
  const auto t0 = Clock::now();

  K::Services ours = K::DefaultServices();
  ours.CreateThread = MaybeRefuseThread;
  ours.GetModuleHandleW = ScriptedModule;
  ours.LoadLibraryW = ScriptedLoad;
  ours.LoadSystemLibraryW = ScriptedSystemLoad;
  ours.GetProcAddress = ScriptedProc;
  systemServices = K::Install(ours);
  UseLibrary(Library::Complete);

  watchdog.Run(std::chrono::seconds(settings.limit) + std::chrono::minutes(settings.minutes));
  // The system's thread count once the library is loaded and one worker has
  // come and gone: what the run must come back to.
  {
    Slot& warm = NewTimer(nullptr, 0.001, false, Act::Count);
    ServeUntil([&] { return warm.calls.load() > 0; });
    warm.Destroy();
    AllWorkersEnded();
  }
  const int baseline = threadBaseline = stress::SystemThreadCount();

  if (settings.deadlock) {
    // The main thread waits, without serving the dispatch, for a handler that
    // waits for the main thread: the watchdog must end the run.
    watchdog.Step("deadlock on purpose", 3);
    Slot& s = NewTimer(nullptr, 0.001, false, Act::AskMain);
    while (s.mainCalls.load() == 0) std::this_thread::sleep_for(10ms);
  }
  if (settings.crash) {
    Slot& s = NewTimer(nullptr, 0.001, false, Act::Fault);
    ServeUntil([&] { return s.calls.load() > 1; });
    std::printf("the handler did not fault\n");
    return 1;
  }

  // Each phase, with the seconds it took.
  auto phase = [](const char* name, auto run) {
    const auto start = Clock::now();
    run();
    std::printf("phase %s: %.1f s\n", name, std::chrono::duration<double>(Clock::now() - start).count());
  };
  // One pass of every phase; a soak repeats it until its minutes have passed.
  std::uint64_t changes = 0;  // the fewest of any pass
  bool reached = true;
  double changesSeconds = 0;  // the first pass's
  const auto soakEnd = t0 + std::chrono::minutes(settings.minutes);
  int passes = 0;
  do {
    ++passes;
    const auto passStart = Clock::now();
    const std::uint64_t operations0 = fig.operations;
    phase("changes", [&] { Changes(settings.operations, std::chrono::seconds(settings.seconds)); });
    const std::uint64_t passChanges = fig.operations - operations0;
    changes = passes == 1 ? passChanges : std::min(changes, passChanges);
    reached &= passChanges >= settings.operations;
    if (passes == 1) changesSeconds = std::chrono::duration<double>(Clock::now() - t0).count();
    const std::uint64_t begun0 = mm.begun, ended0 = mm.ended;
    phase("destruction under fire", DestructionUnderFire);
    phase("stop from a worker during Start", [] { StopFromWorkerDuringStart(1s); });
    phase("owner with 8 timers", OwnerWithRunningTimers);
    phase("application patterns", ApplicationPatterns);
    phase("wake hooks", [] { WakeHooks(2s); });
    phase("dispatch hazards", DispatchHazards);
    const std::uint64_t begun = mm.begun - begun0, ended = mm.ended - ended0;
    fig.unbalancedPeriods += begun > ended ? begun - ended : ended - begun;
    if (mm.begun == 0) Wrong("no period was begun with the complete library");
    phase("binding faults", BindingFaults);
    if (settings.minutes > 0)
      std::printf("pass %d: %.1f s; totals: operations %llu, handler calls %llu, faults %llu\n", passes,
                  std::chrono::duration<double>(Clock::now() - passStart).count(),
                  static_cast<unsigned long long>(fig.operations.load()),
                  static_cast<unsigned long long>(fig.handlerCalls.load()),
                  static_cast<unsigned long long>(fig.callsAfterDestroy + fig.unbalancedPeriods + fig.wrongOutcomes +
                                                  fig.wakesAfterRetire + fig.lostWakeUps + fig.syncsUnrun));
  } while (Clock::now() < soakEnd);
  CheckFakeRecords();

  // The end: every timer destroyed, every wait over.
  watchdog.Step("end");
  AllWorkersEnded();
  fig.leakedThreads = static_cast<std::uint64_t>(TThread::ActiveCount());
  ServeUntil([&] { return stress::SystemThreadCount() <= baseline; }, 10s);
  const int extra = stress::SystemThreadCount() - baseline;
  if (extra > 0) fig.leakedThreads += static_cast<std::uint64_t>(extra);
  watchdog.Stop();
  K::Install(systemServices);

  const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  auto line = [](const char* name, std::uint64_t v) {
    std::printf("%s: %llu\n", name, static_cast<unsigned long long>(v));
  };
  line("operations", fig.operations);
  line("passes", static_cast<std::uint64_t>(passes));
  line("changes against live workers", changes);  // in the pass with the fewest
  line("changes target", settings.operations);
  line("handler calls", fig.handlerCalls);
  line("handler calls on worker threads", fig.workerCalls);
  line("handler exceptions", fig.handlerExceptions);
  line("thread creations refused", fig.threadsRefused);
  line("timers created", fig.timersCreated);
  line("timers destroyed", fig.timersDestroyed);
  line("periods begun", mm.begun);
  line("periods ended", mm.ended);
  line("handler calls after destroy", fig.callsAfterDestroy);
  line("crashes", 0);
  line("deadlocks", 0);
  line("overruns", 0);
  line("leaked threads", fig.leakedThreads);
  line("unbalanced periods", fig.unbalancedPeriods);
  line("wrong outcomes", fig.wrongOutcomes);
  line("wake hooks swapped", fig.hookSwaps);
  line("wake hook exceptions", fig.hookRaises);
  line("wakes after a hook was replaced", fig.wakesAfterRetire);
  line("lost wake-ups", fig.lostWakeUps);
  line("Synchronize calls returned unrun", fig.syncsUnrun);
  line("faults", fig.callsAfterDestroy + fig.leakedThreads + fig.unbalancedPeriods + fig.wrongOutcomes +
                     fig.wakesAfterRetire + fig.lostWakeUps + fig.syncsUnrun);
  std::printf("seconds for the changes: %.1f\n", changesSeconds);
  std::printf("seconds: %.1f\n", seconds);

  // A soak runs for an hour on whatever else the machine does: it judges
  // faults, and reports the changes' pace without judging it.
  const bool paceJudged = settings.minutes == 0;
  const bool ok = (reached || !paceJudged) && fig.callsAfterDestroy == 0 && fig.wakesAfterRetire == 0 &&
                  fig.leakedThreads == 0 && fig.unbalancedPeriods == 0 && fig.wrongOutcomes == 0 &&
                  fig.lostWakeUps == 0 && fig.syncsUnrun == 0 &&
                  fig.timersCreated == fig.timersDestroyed;
  if (!reached)
    std::printf("%s: fewer changes than the target within %d s%s\n", paceJudged ? "FAILED" : "note", settings.seconds,
                paceJudged ? "" : " in at least one pass (a soak does not judge the pace)");
  if (fig.timersCreated != fig.timersDestroyed) std::printf("FAILED: timers created and destroyed differ\n");
  std::printf("%s\n", ok ? "PASSED" : "FAILED");
  return ok ? 0 : 1;
}
