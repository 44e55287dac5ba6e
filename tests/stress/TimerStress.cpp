// Stress run of TQevTimer against live workers, with faults injected through
// the kernel seam. Prints what it did and found, one figure a line, and fails
// when a handler is called after its timer's destruction, a period begun is
// not ended, a worker thread is left over, progress stops (the watchdog dumps
// every thread's stack) or a scenario ends otherwise than it must.
//
//   timer_stress [--operations N] [--seconds S] [--limit S] [--seed N] [--fake-winmm DIR]
//                [--minutes M]
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
#include "QevTimer.hpp"

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

#include "StressPlatform.hpp"
#include "System.Classes.hpp"
#include "System.Kernel.hpp"
#include "support/Wait.hpp"
#include "timer/fake_winmm.hpp"

namespace {

namespace K = System::Kernel;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Qevtimer::TQevTimer;
using System::Classes::CheckSynchronize;
using System::Classes::EThread;
using System::Classes::TComponent;
using System::Classes::TNotifyEvent;
using System::Classes::TThread;
using System::Classes::TThreadPriority;

// Deadlines are multiplied for slow runs (Wine, sanitizers).
constexpr int kSlow = QEV_TIMEOUT_MULTIPLIER;

// --- Figures ----------------------------------------------------------------

struct Figures {
  std::atomic<std::uint64_t> operations{0};         // changes made from the main thread
  std::atomic<std::uint64_t> handlerCalls{0};
  std::atomic<std::uint64_t> workerCalls{0};        // of those, on a worker thread
  std::atomic<std::uint64_t> handlerExceptions{0};  // raised on purpose
  std::atomic<std::uint64_t> threadsRefused{0};     // by the seam
  std::atomic<std::uint64_t> timersCreated{0};
  std::atomic<std::uint64_t> timersDestroyed{0};
  std::atomic<std::uint64_t> callsAfterDestroy{0};
  std::atomic<std::uint64_t> unbalancedPeriods{0};
  std::atomic<std::uint64_t> leakedThreads{0};
  std::atomic<std::uint64_t> wrongOutcomes{0};  // a scenario that ended otherwise than it must
  std::atomic<std::uint64_t> hookSwaps{0};
  std::atomic<std::uint64_t> hookRaises{0};        // raised on purpose
  std::atomic<std::uint64_t> wakesAfterRetire{0};  // a replaced hook called after SetWakeMainThread returned
};
Figures fig;

void Wrong(const char* what) {
  ++fig.wrongOutcomes;
  std::fprintf(stderr, "WRONG: %s\n", what);
}

// --- Watchdog -------------------------------------------------------------------
// The main thread reports progress; if none comes for `kQuiet`, or the whole
// run outlasts its limit, the run ends with a failure and every thread's
// stack, well before the test runner would kill it without either.

constexpr auto kQuiet = 20s;

struct Watchdog {
  std::atomic<Clock::rep> last{Clock::now().time_since_epoch().count()};
  std::atomic<int> allowanceSeconds{static_cast<int>(kQuiet.count())};
  std::atomic<const char*> step{"start"};
  std::atomic<bool> done{false};
  std::thread thread;

  void Progress() { last.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed); }
  void Step(const char* name, int allowance = static_cast<int>(kQuiet.count())) {
    step = name;
    allowanceSeconds = allowance;
    Progress();
  }
  void Run(std::chrono::seconds runLimit) {
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
  void Stop() {
    done = true;
    thread.join();
  }

 private:
  [[noreturn]] void End(const char* figure, const char* what, int seconds) {
    std::fprintf(stderr, "%s: 1\n%s %d s in step \"%s\"; stacks follow\n", figure, what, seconds, step.load());
    std::fflush(stderr);
    // Nor may the dump itself hold the run up.
    std::thread([] {
      std::this_thread::sleep_for(25s);
      std::fflush(nullptr);
      std::_Exit(3);
    }).detach();
    stress::DumpAllStacks();
    std::fflush(nullptr);
    std::_Exit(3);
  }
};
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

// How "winmm.dll" looks to the timer unit in a binding scenario.
enum class Library { Complete, Missing, NoEntryPoints, NoCapabilityQuery, FailingCapabilityQuery };

struct Multimedia {
  std::atomic<Library> shape{Library::Complete};
  std::atomic<K::HMODULE> module{nullptr};  // the library behind "winmm.dll"
  std::atomic<int> moduleLookups{0}, loads{0}, procLookups{0};
  // The real entry points, called by the recording ones below.
  std::atomic<Qevtimer::TTimePeriodProc> begin{nullptr}, end{nullptr};
  std::atomic<Qevtimer::TTimeGetDevCapsProc> caps{nullptr};
  std::atomic<std::uint64_t> begun{0}, ended{0}, nonZeroPeriods{0};
};
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

// Makes "winmm.dll" look like `shape` from now on. Only while no worker
// exists: the entry points are unbound again, so that the next worker binds
// them through the scripted loader.
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

// --- Handlers -------------------------------------------------------------------------

struct EStress : std::runtime_error {
  EStress() : std::runtime_error("raised by a stress handler") {}
};

// What a timer's handler does at each call.
enum class Act : int {
  Count,          // count the call
  Raise,          // raise an exception
  Nap,            // on a worker thread: sleep a millisecond
  SelfControl,    // on the main thread: stop, restart or retune its own timer
  Long,           // run 700 ms, longer than the destructor's pause
  DestroySelf,    // destroy its own timer
  StopSelf,       // stop its own timer
  HoldDispatch,   // on the main thread: serve the dispatch until the timer is gone
  DestroyTarget,  // destroy another timer (`target`)
  AskMain,        // on a worker thread: wait for a call on the main thread
  AskMainLater,   // as AskMain, after 100 ms, once
  Fault,          // write through a null pointer
  RestartOnce,    // restart its own timer, once per `armed`
};

// One timer and what the stress knows about it. Slots outlive their timers,
// so a late handler call still finds its slot.
struct Slot {
  TQevTimer* timer = nullptr;
  std::atomic<Act> act{Act::Count};
  std::atomic<bool> gone{false};  // its destructor has returned
  std::atomic<std::uint64_t> destroyer{0};  // the thread that destroyed it
  std::atomic<int> calls{0};
  std::atomic<int> mainCalls{0};  // calls the handler asked of the main thread
  std::atomic<bool> inHandler{false}, handlerDone{false};
  std::atomic<bool> armed{false};
  Slot* target = nullptr;

  TNotifyEvent Event() { return TNotifyEvent::Bind<&Slot::OnTimer>(this); }

  // Destroys the timer and records when its destructor has returned.
  void Destroy() {
    TQevTimer* t = timer;
    timer = nullptr;
    destroyer = K::CurrentThreadId();
    delete t;
    gone = true;
    ++fig.timersDestroyed;
  }

  void OnTimer(System::TObject* sender) {
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

  void OnMain() { ++mainCalls; }

  // Runs on the main thread inside the handler.
  static void SelfControl(TQevTimer* self) {
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
};

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

// The shared waits (support/Wait.hpp), reporting progress to the watchdog.
void Heartbeat() { watchdog.Progress(); }
template <class F>
bool ServeUntil(F done, std::chrono::milliseconds limit = 10s) {
  return qevtest::ServeUntil(done, limit, Heartbeat);
}
template <class F>
bool WaitUntil(F done, std::chrono::milliseconds limit = 10s) {
  return qevtest::WaitUntil(done, limit, Heartbeat);
}

bool AllWorkersEnded() {
  return ServeUntil([] { return TThread::ActiveCount() == 0; }, 20s);
}

// The process's threads once the libraries are loaded and no worker runs.
int threadBaseline = 0;

// Under Wine a thread that has ended lingers in the emulator for a while, each
// holding a few file descriptors; changes made faster than it retires them
// would exhaust those, and the run would test the emulator's limits instead
// of the timer. Serves the dispatch while too many such threads wait. The
// count costs milliseconds there, so it is taken at most every 100 ms.
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

// --- Phase 1: changes from the main thread against live workers -----------------


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

void Changes(std::uint64_t target, std::chrono::seconds budget) {
  watchdog.Step("changes");
  auto* form = new TComponent(nullptr);
  std::vector<Slot*> pool;
  refusePercent = 2;
  for (int i = 0; i < 6; ++i) pool.push_back(&NewTimer(form, i % 2 ? 0.0 : 0.001, i % 3 == 0, Act::Count));
  const auto end = Clock::now() + budget;
  static constexpr Act kActs[] = {Act::Count, Act::Count,       Act::Count,  Act::Nap,
                                  Act::Raise, Act::SelfControl, Act::AskMain};
  const std::uint64_t first = fig.operations.load();
  while (fig.operations.load() - first < target && Clock::now() < end) {
    for (int burst = 0; burst < 64; ++burst) {
      Slot& s = *pool[Pick(static_cast<int>(pool.size()))];
      TQevTimer* t = s.timer;
      try {
        const int choice = Pick(11);
        switch (choice) {
          case 0:
          case 1:
          case 2:
            StartStopChange(t, choice);
            break;
          case 3:
            t->SetEnabled(Chance(60));
            break;
          case 4:
            t->SetInterval(Chance(50) ? 0.0 : 0.001);
            break;
          case 5:
            t->SetPriority(static_cast<TThreadPriority>(Pick(4)));  // idle to normal
            break;
          case 6:
            s.act = kActs[Pick(static_cast<int>(std::size(kActs)))];
            t->SetOnTimer(Chance(10) ? TNotifyEvent{} : s.Event());
            break;
          case 7:
            t->SetCycled(Chance(80));
            break;
          case 8:
            t->SetRepeatCount(Chance(50) ? 0u : static_cast<std::uint32_t>(Pick(5)));
            break;
          case 9:
            t->SetNeedSynchronization(Chance(50));
            break;
          default:
            (void)t->GetCycleNumber();
            StartStopChange(t, 3);
            break;
        }
      } catch (const EThread&) {
        // refused by the seam: counted there; the timer has no worker now
      }
      ++fig.operations;
      CheckSynchronize(0);  // serve the dispatch between changes
    }
    LetEndedThreadsGo();
    watchdog.Progress();
  }
  refusePercent = 0;
  watchdog.Step("changes: freeing the form");
  delete form;
  if (!AllWorkersEnded()) Wrong("changes: workers left after the form was freed");
}

// --- Phase 2: destruction under fire ----------------------------------------------

// A tick queued for the main thread, seen through the wake hook.
std::atomic<int> queuedTicks{0};
void OnWake(void*, System::TObject*) { ++queuedTicks; }

void DestructionUnderFire() {
  // 1. During a handler that runs longer than the pause, on the worker thread.
  watchdog.Step("destroy during a long handler");
  {
    Slot& s = NewTimer(nullptr, 0.001, false, Act::Long);
    if (!ServeUntil([&] { return s.inHandler.load(); })) Wrong("long handler never ran");
    s.Destroy();
    if (!s.handlerDone.load()) Wrong("destructor returned while its handler still ran");
  }
  // 1b. While its worker-thread handler waits for the main thread, which is
  // inside the destructor: the destructor serves the dispatch while it waits.
  watchdog.Step("destroy while its handler waits for the main thread");
  {
    Slot& s = NewTimer(nullptr, 0.001, false, Act::AskMainLater);
    if (!WaitUntil([&] { return s.inHandler.load(); })) Wrong("handler asking the main thread never ran");
    s.Destroy();
    if (!s.handlerDone.load() || s.mainCalls.load() != 1)
      Wrong("destructor returned before its handler's call on the main thread");
  }
  // 2. With a synchronized tick queued and nobody serving it.
  watchdog.Step("destroy with a synchronized tick queued");
  {
    const TNotifyEvent previous = System::Classes::SetWakeMainThread({&OnWake, nullptr});
    const int before = queuedTicks.load();
    Slot& s = NewTimer(nullptr, 0.001, true, Act::Count);
    if (!WaitUntil([&] { return queuedTicks.load() != before; })) Wrong("no synchronized tick was queued");
    s.Destroy();
    System::Classes::SetWakeMainThread(previous);
    ServeUntil([] { return false; }, 50ms);
    if (s.calls.load() != 0) Wrong("a queued synchronized tick ran for a destroyed timer");
  }
  // 3. With a synchronized tick running: its handler serves the dispatch, in
  // which another timer's handler destroys the first timer.
  watchdog.Step("destroy with a synchronized tick running");
  {
    Slot& held = NewTimer(nullptr, 0.001, true, Act::HoldDispatch);
    Slot& killer = NewTimer(nullptr, 0.001, true, Act::DestroyTarget);
    killer.target = &held;
    if (!ServeUntil([&] { return held.gone.load() && held.handlerDone.load(); }))
      Wrong("the running synchronized tick's timer was not destroyed");
    killer.Destroy();
  }
  // 4. From its own handler, on either thread.
  for (const bool synchronized : {false, true}) {
    watchdog.Step(synchronized ? "destroy from a main-thread handler" : "destroy from a worker-thread handler");
    Slot& s = NewTimer(nullptr, 0.001, synchronized, Act::DestroySelf);
    if (!ServeUntil([&] { return s.gone.load(); })) Wrong("timer not destroyed by its handler");
  }
  // 5. Stopped from its own handler, on either thread: one tick counted.
  for (const bool synchronized : {false, true}) {
    watchdog.Step("stop from its own handler");
    Slot& s = NewTimer(nullptr, 0.001, synchronized, Act::StopSelf);
    if (!ServeUntil([&] { return s.calls.load() >= 1 && TThread::ActiveCount() == 0; }))
      Wrong("stopped timer's worker did not end");
    if (s.timer->GetCycleNumber() != 1 || s.calls.load() != 1) Wrong("stop from a handler: not exactly one tick");
    s.Destroy();
  }
  // 6. A handler raising, on either thread: the run ends, Enabled stays.
  for (const bool synchronized : {false, true}) {
    watchdog.Step("handler raising");
    Slot& s = NewTimer(nullptr, 0.001, synchronized, Act::Raise);
    if (!ServeUntil([&] { return s.calls.load() >= 1 && TThread::ActiveCount() == 0; }))
      Wrong("raising handler's worker did not end");
    if (!s.timer->Enabled() || s.calls.load() != 1) Wrong("raising handler: not one call, or disabled");
    s.Destroy();
  }
  if (!AllWorkersEnded()) Wrong("destruction: workers left");
}

// --- Phase 2b: a worker stopping or restarting its timer while Start stores it
// Interval 0: the new worker's first tick comes at once and its handler stops
// (or restarts) the timer from the worker thread, often while the main thread
// is still in Start; the main thread keeps changing the timer meanwhile.

void StopFromWorkerDuringStart(std::chrono::seconds budget) {
  watchdog.Step("stop from a worker handler during Start");
  Slot& s = NewTimer(nullptr, 0.0, false, Act::StopSelf);
  const auto end = Clock::now() + budget;
  while (Clock::now() < end) {
    s.timer->Start();
    ++fig.operations;
    for (int i = 0; TThread::ActiveCount() > 0; ++i) {
      s.timer->SetPriority(static_cast<TThreadPriority>(2 + (i & 1)));
      if ((i & 7) == 7) s.timer->Stop();
    }
    ++fig.operations;  // the priority changes and stops of the round, as one
    LetEndedThreadsGo();
    watchdog.Progress();
  }
  s.Destroy();

  // The same with a handler that restarts its timer once: whatever the order,
  // one worker runs on, and Stop ends it.
  Slot& r = NewTimer(nullptr, 0.0, false, Act::RestartOnce);
  r.timer->Stop();
  AllWorkersEnded();
  const auto end2 = Clock::now() + budget;
  while (Clock::now() < end2) {
    r.handlerDone = false;
    r.armed = true;
    r.timer->Start();
    ++fig.operations;
    const auto deadline = Clock::now() + 5s * kSlow;
    while (!r.handlerDone.load() && Clock::now() < deadline) {
      r.timer->SetPriority(TThreadPriority::tpNormal);
      watchdog.Progress();
    }
    // The worker it replaced ends at once (no pause): one worker is left.
    if (!ServeUntil([] { return TThread::ActiveCount() <= 1; }, 5s)) {
      Wrong("two workers run one timer (its handler restarted it during Start)");
      break;
    }
    r.timer->Stop();
    ++fig.operations;
    if (!ServeUntil([] { return TThread::ActiveCount() == 0; }, 5s)) {
      Wrong("a worker runs on after Stop (the handler restarted its timer during Start)");
      break;
    }
    LetEndedThreadsGo();
    watchdog.Progress();
  }
  r.Destroy();
}

// --- Phase 3: an owner freed with 8 running timers ------------------------------

// Each timer's destructor pauses 500 ms, one after another: 8 show what 100
// show, in 4 s instead of 50.
constexpr int kOwnedTimers = 8;

void OwnerWithRunningTimers() {
  watchdog.Step("owner with 8 timers: starting");
  auto* form = new TComponent(nullptr);
  std::vector<Slot*> pool;
  refusePercent = 2;
  // Every tenth without a pause; of those on worker threads, all but one nap
  // in their handler, so that the run does not spin ten threads for a minute.
  for (int i = 0; i < kOwnedTimers; ++i)
    pool.push_back(&NewTimer(form, i % 10 == 0 ? 0.0 : 0.001, i % 2 == 1,
                             i % 10 == 0 && i > 0 ? Act::Nap : Act::Count));
  refusePercent = 0;
  if (!ServeUntil([&] { return std::all_of(pool.begin(), pool.end(), [](Slot* s) { return s->calls.load() > 0; }); }))
    Wrong("not every one of the owner's timers ticked");
  watchdog.Step("owner with 8 timers: freeing");
  delete form;
  if (!std::all_of(pool.begin(), pool.end(), [](Slot* s) { return s->gone.load(); }))
    Wrong("owner left timers behind");
  if (!AllWorkersEnded()) Wrong("owner: workers left");
}

// --- Phase 4: application patterns around a destruction ------------------------------
// What applications do: free a timer's owner from a call served while the
// timer is being destroyed, free each other's timers from two handlers, ask
// the main thread to free the handler's own timer or its owner, and queue a
// raising call while the main thread is in a `delete`. The handlers' state is
// set before their timer runs, or the main thread's alone.

// Counts a destruction: owned by each timer (and form) of this phase.
struct Counted : TComponent {
  explicit Counted(TComponent* owner) : TComponent(owner) {}
  ~Counted() override {
    ++fig.timersDestroyed;
    watchdog.Progress();
  }
};

TQevTimer* PatternTimer(TComponent* owner, double interval, bool synchronized, TNotifyEvent handler) {
  auto* t = new TQevTimer(owner);
  ++fig.timersCreated;
  new Counted(t);
  t->SetInterval(interval);
  t->SetNeedSynchronization(synchronized);
  t->SetOnTimer(handler);
  t->Start();  // from now on at the interval, without the first second's wait
  return t;
}

// A form: a component that counts as one destruction, like a timer.
TComponent* NewForm() {
  ++fig.timersCreated;
  return new Counted(nullptr);
}

struct Pattern {
  TComponent* form = nullptr;  // set before the timers run
  int how = 0;                 // likewise
  bool entered = false, formFreed = false, callRan = false;  // the main thread's
  int asked[2] = {}, freedOther[2] = {};
  TQevTimer* timers[2] = {};

  void Entered() { entered = true; }
  void FreeForm() {
    callRan = true;
    if (!formFreed) {
      formFreed = true;
      delete form;
    }
  }
  // A long worker-thread handler; with `how` 2 it asks the main thread, which
  // is deleting its timer by then, to free the form.
  void OnLong(System::TObject*) {
    ++fig.handlerCalls;
    ++fig.workerCalls;
    TThread::Queue(System::Classes::TThreadMethod::Bind<&Pattern::Entered>(this));
    if (how == 2) {
      std::this_thread::sleep_for(50ms);
      TThread::Synchronize(System::Classes::TThreadMethod::Bind<&Pattern::FreeForm>(this));
    } else {
      std::this_thread::sleep_for(600ms);
    }
  }
  void OnCloseForm(System::TObject*) {
    ++fig.handlerCalls;
    FreeForm();
  }
  // Asks the main thread to free the form (how 1) or its own timer (0).
  void OnAskToFree(System::TObject* sender) {
    ++fig.handlerCalls;
    ++fig.workerCalls;
    struct Ask {
      Pattern* p;
      TComponent* victim;
      void Run() {
        if (!p->callRan) {
          p->callRan = true;
          p->formFreed = victim == p->form;
          delete victim;
        }
      }
    } ask{this, how == 1 ? form : static_cast<TQevTimer*>(sender)};
    TThread::Synchronize(System::Classes::TThreadMethod::Bind<&Ask::Run>(&ask));
  }
  // Two handlers that free each other's timers once both have arrived.
  void OnCross(System::TObject* sender) {
    ++fig.handlerCalls;
    if (!K::IsMainThread()) ++fig.workerCalls;
    for (;;) {
      struct Ask {
        Pattern* p;
        System::TObject* sender;
        bool both = false;
        TQevTimer* victim = nullptr;
        void Run() {
          const int me = sender == p->timers[0] ? 0 : sender == p->timers[1] ? 1 : -1;
          if (me < 0) return;
          p->asked[me] = 1;
          if (!p->asked[1 - me]) return;
          both = true;
          if (!p->freedOther[me]) {
            p->freedOther[me] = 1;
            victim = p->timers[1 - me];
          }
        }
      } ask{this, sender};
      TThread::Synchronize(System::Classes::TThreadMethod::Bind<&Ask::Run>(&ask));
      if (ask.both) {
        delete ask.victim;
        return;
      }
      if (K::IsMainThread())
        CheckSynchronize(1);
      else
        std::this_thread::sleep_for(1ms);
    }
  }
};

struct ERaisedQueued : std::runtime_error {
  ERaisedQueued() : std::runtime_error("raised by a queued call") {}
};
struct RaisingQueuer : TThread {
  static void Raise(void*) { throw ERaisedQueued(); }
  void Execute() override { TThread::Queue(System::Classes::TThreadMethod{&RaisingQueuer::Raise, nullptr}); }
};

// One round of each pattern; every timer and form of the round is freed.
void ApplicationPatterns() {
  using Method = System::Classes::TThreadMethod;
  std::deque<Pattern> rounds;  // the handlers' state lives until the workers have ended
  // An owner freed while one of its timers is being destroyed: by another
  // thread's Synchronize call, by a second timer's synchronized handler, by
  // the timer's own worker-thread handler through Synchronize.
  for (int how = 0; how < 3; ++how) {
    static const char* const kSteps[] = {"owner freed by another thread's call", "owner freed by a second timer",
                                         "owner freed by the timer's own handler's call"};
    watchdog.Step(kSteps[how]);
    Pattern& p = rounds.emplace_back();
    p.how = how;
    p.form = NewForm();
    new Counted(p.form);
    ++fig.timersCreated;
    TQevTimer* t = PatternTimer(p.form, 0.002, false, TNotifyEvent::Bind<&Pattern::OnLong>(&p));
    if (!ServeUntil([&] { return p.entered; })) Wrong("patterns: the long handler never ran");
    std::thread other;
    TQevTimer* closer = nullptr;
    if (how == 0)
      other = std::thread([&p] { TThread::Synchronize(Method::Bind<&Pattern::FreeForm>(&p)); });
    else if (how == 1)
      closer = PatternTimer(nullptr, 0.002, true, TNotifyEvent::Bind<&Pattern::OnCloseForm>(&p));
    if (!p.formFreed) delete t;  // otherwise the form took it along
    ++fig.operations;
    if (!ServeUntil([&] { return p.formFreed; })) Wrong("patterns: the form was not freed");
    if (other.joinable()) other.join();
    delete closer;
  }
  // Two ownerless timers whose handlers free each other; the second one's
  // handler on a worker or on the main thread.
  for (const bool synchronized : {false, true}) {
    watchdog.Step(synchronized ? "handlers free each other's timers, one synchronized"
                               : "handlers free each other's timers");
    Pattern& p = rounds.emplace_back();
    const std::uint64_t before = fig.timersDestroyed;
    for (int i = 0; i < 2; ++i)
      p.timers[i] = PatternTimer(nullptr, 0.002, i == 1 && synchronized, TNotifyEvent::Bind<&Pattern::OnCross>(&p));
    ++fig.operations;
    if (!ServeUntil([&] { return fig.timersDestroyed - before == 2; }))
      Wrong("patterns: timers freeing each other were not both destroyed");
  }
  // A worker-thread handler asks the main thread to free its own timer, or
  // its owner: "close the form when done".
  for (int how = 0; how < 2; ++how) {
    watchdog.Step(how ? "handler frees its form through the main thread" : "handler frees its timer through the main thread");
    Pattern& p = rounds.emplace_back();
    p.how = how;
    p.form = NewForm();
    PatternTimer(p.form, 0.002, false, TNotifyEvent::Bind<&Pattern::OnAskToFree>(&p));
    ++fig.operations;
    if (!ServeUntil([&] { return p.callRan; })) Wrong("patterns: the handler's call to free never ran");
    if (!p.formFreed) delete p.form;
  }
  // A raising call queued by another thread while the main thread deletes a
  // timer whose handler runs long: the delete returns, the call's exception
  // comes out of a later CheckSynchronize.
  {
    watchdog.Step("delete meets a raising queued call");
    Pattern& p = rounds.emplace_back();
    TQevTimer* t = PatternTimer(nullptr, 0.002, false, TNotifyEvent::Bind<&Pattern::OnLong>(&p));
    if (!ServeUntil([&] { return p.entered; })) Wrong("patterns: the long handler never ran");
    auto* queuer = TThread::Create<RaisingQueuer>();
    queuer->WaitFor();
    delete queuer;
    delete t;
    ++fig.operations;
    bool raised = false;
    try {
      ServeUntil([] { return false; }, 100ms);
    } catch (const ERaisedQueued&) {
      raised = true;
    }
    if (!raised) Wrong("patterns: the queued call's exception was lost");
  }
  if (!AllWorkersEnded()) Wrong("patterns: workers left");
}

// --- Phase 5: wake hooks swapped while calls are queued, some raising ------------------
// Threads queue calls (Synchronize and Queue) and synchronized timers tick
// without a pause, while the main thread installs a new hook again and again
// and retires the one it replaced; some hooks raise. A replaced hook must
// never be called once SetWakeMainThread has returned; a raising hook's
// exception reaches the queueing thread, whose request is withdrawn.

struct Waker {
  std::atomic<bool> retired{false};
  int raiseEvery = 0;  // set before it is installed
  std::atomic<std::uint64_t> calls{0};
  void Wake(System::TObject*) {
    // Acquire, pairing with the main thread's release once the swap returned.
    if (retired.load(std::memory_order_acquire)) ++fig.wakesAfterRetire;
    const std::uint64_t n = ++calls;
    if (raiseEvery > 0 && n % static_cast<std::uint64_t>(raiseEvery) == 0) {
      ++fig.hookRaises;
      throw EStress();
    }
  }
};

struct Queuer : TThread {
  std::atomic<std::uint64_t> ran{0};
  void Count() { ++ran; }
  void Execute() override {
    for (std::uint64_t i = 0; !Terminated(); ++i) {
      try {
        const auto method = System::Classes::TThreadMethod::Bind<&Queuer::Count>(this);
        if (i & 1)
          Synchronize(method);
        else
          Queue(method);
      } catch (const EStress&) {
        // the hook raised: the call was withdrawn, or ran already
      }
      if ((i & 63) == 63) std::this_thread::sleep_for(1ms);  // let the main thread keep up
    }
  }
};

void WakeHooks(std::chrono::seconds budget) {
  watchdog.Step("wake hooks swapped while calls are queued");
  std::deque<Waker> wakers;  // kept to the end: a late call finds its hook retired
  const TNotifyEvent original = System::Classes::SetWakeMainThread({});
  std::vector<Queuer*> queuers;
  for (int i = 0; i < 3; ++i) queuers.push_back(TThread::Create<Queuer>());
  Slot* ticking[] = {&NewTimer(nullptr, 0.0, true, Act::Count), &NewTimer(nullptr, 0.0, true, Act::Count)};
  Waker* current = nullptr;
  const auto end = Clock::now() + budget;
  for (int round = 0; Clock::now() < end && round < 20000; ++round) {
    Waker& next = wakers.emplace_back();
    next.raiseEvery = Chance(30) ? 1 + Pick(5) : 0;
    System::Classes::SetWakeMainThread(TNotifyEvent::Bind<&Waker::Wake>(&next));
    // Release, pairing with Wake's acquire: a call that sees the flag began
    // after this swap had returned.
    if (current) current->retired.store(true, std::memory_order_release);
    current = &next;
    ++fig.hookSwaps;
    ++fig.operations;
    // A synchronized tick whose hook raised stays queued; the hook's
    // exception comes out of the dispatch.
    try {
      CheckSynchronize(0);
    } catch (const EStress&) {
    }
    if ((round & 63) == 63) watchdog.Progress();
  }
  System::Classes::SetWakeMainThread(original);
  if (current) current->retired.store(true, std::memory_order_release);
  for (Queuer* q : queuers) q->Terminate();
  for (Slot* s : ticking) s->Destroy();
  if (!ServeUntil([&] { return std::all_of(queuers.begin(), queuers.end(), [](Queuer* q) { return q->Finished(); }); }))
    Wrong("wake hooks: a queueing thread did not end");
  // Their last Queue calls name them: run those before the threads go (and
  // the hooks' kept exceptions come out meanwhile).
  for (bool more = true; more;) {
    try {
      more = CheckSynchronize(0);
    } catch (const EStress&) {
    }
  }
  std::uint64_t ran = 0;
  for (Queuer* q : queuers) {
    q->WaitFor();
    ran += q->ran;
    delete q;
  }
  ServeUntil([] { return false; }, 20ms);
  if (ran == 0) Wrong("wake hooks: no queued call ran");
  if (!AllWorkersEnded()) Wrong("wake hooks: workers left");
}

// --- Phase 6: binding faults -------------------------------------------------------

struct BindingCase {
  const char* name;
  Library shape;
  bool periodsCalled;  // the period entry points are reached at all
  bool nonZeroPeriods;
};

void BindingFaults() {
  static constexpr BindingCase kCases[] = {
      {"missing library", Library::Missing, false, false},
      {"no entry points", Library::NoEntryPoints, false, false},
      {"no capability query", Library::NoCapabilityQuery, true, false},
      {"failing capability query", Library::FailingCapabilityQuery, true, false},
      {"complete library", Library::Complete, true, true},
  };
  // Two timers serve every case, stopped while the library changes: each
  // destruction costs a pause.
  watchdog.Step("binding: timers");
  auto* form = new TComponent(nullptr);
  Slot* pool[] = {&NewTimer(form, 0.001, false, Act::Count), &NewTimer(form, 0.0, true, Act::Count)};
  for (const BindingCase& c : kCases) {
    for (Slot* s : pool) s->timer->Stop();
    if (!AllWorkersEnded()) Wrong("binding: workers alive before the library changes");
    watchdog.Step(c.name);
    UseLibrary(c.shape);
    const std::uint64_t begun0 = mm.begun, ended0 = mm.ended, nonZero0 = mm.nonZeroPeriods;
    const int lookups0 = mm.moduleLookups, loads0 = mm.loads;
    refusePercent = 5;
    for (int i = 0; i < 300; ++i) {
      TQevTimer* t = pool[i % 2]->timer;
      try {
        StartStopChange(t, Pick(4));
      } catch (const EThread&) {
        // refused by the seam: the timer has no worker now
      }
      ++fig.operations;
      CheckSynchronize(1);
      watchdog.Progress();
    }
    refusePercent = 0;
    for (Slot* s : pool) s->timer->Stop();
    if (!AllWorkersEnded()) Wrong("binding: workers left");
    const std::uint64_t begun = mm.begun - begun0, ended = mm.ended - ended0;
    const std::uint64_t nonZero = mm.nonZeroPeriods - nonZero0;
    fig.unbalancedPeriods += begun > ended ? begun - ended : ended - begun;
    std::printf("binding %s: periods begun %llu, ended %llu, non-zero %llu, library lookups %d, loads %d\n", c.name,
                static_cast<unsigned long long>(begun), static_cast<unsigned long long>(ended),
                static_cast<unsigned long long>(nonZero), mm.moduleLookups - lookups0, mm.loads - loads0);
    if ((begun > 0) != c.periodsCalled) Wrong("binding: period entry points reached or not, against the case");
    if ((nonZero > 0) != c.nonZeroPeriods) Wrong("binding: periods other than expected");
    if (c.shape == Library::Missing && mm.loads - loads0 < 2) Wrong("binding: a missing library is not retried");
  }
  delete form;
}

// Linux: the fake library's own record of every variant that was loaded.
void CheckFakeRecords() {
  if (fakeWinmm.empty()) return;
  for (const char* variant : {"full", "no-devcaps", "failing-devcaps"}) {
    const std::string file = fakeWinmm + "/" + variant + "/winmm.dll";
    const System::UnicodeString path = System::UnicodeString(std::string_view(file));
    const K::HMODULE module = systemServices.GetModuleHandleW(path.c_str());
    if (!module) continue;
    auto snapshot = reinterpret_cast<FakeWinmmSnapshotProc>(systemServices.GetProcAddress(module, "FakeWinmmSnapshot"));
    if (!snapshot) {
      Wrong("the fake library has no record");
      continue;
    }
    const FakeWinmmLog log = snapshot();
    const std::size_t begun = log.begun.size(), ended = log.ended.size();
    std::printf("fake library %s: periods begun %zu, ended %zu\n", variant, begun, ended);
    fig.unbalancedPeriods += begun > ended ? begun - ended : ended - begun;
  }
}

// --- Settings and the run -----------------------------------------------------------

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
                                                  fig.wakesAfterRetire));
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
  line("faults", fig.callsAfterDestroy + fig.leakedThreads + fig.unbalancedPeriods + fig.wrongOutcomes +
                     fig.wakesAfterRetire);
  std::printf("seconds for the changes: %.1f\n", changesSeconds);
  std::printf("seconds: %.1f\n", seconds);

  // A soak runs for an hour on whatever else the machine does: it judges
  // faults, and reports the changes' pace without judging it.
  const bool paceJudged = settings.minutes == 0;
  const bool ok = (reached || !paceJudged) && fig.callsAfterDestroy == 0 && fig.wakesAfterRetire == 0 &&
                  fig.leakedThreads == 0 && fig.unbalancedPeriods == 0 && fig.wrongOutcomes == 0 &&
                  fig.timersCreated == fig.timersDestroyed;
  if (!reached)
    std::printf("%s: fewer changes than the target within %d s%s\n", paceJudged ? "FAILED" : "note", settings.seconds,
                paceJudged ? "" : " in at least one pass (a soak does not judge the pace)");
  if (fig.timersCreated != fig.timersDestroyed) std::printf("FAILED: timers created and destroyed differ\n");
  std::printf("%s\n", ok ? "PASSED" : "FAILED");
  return ok ? 0 : 1;
}
