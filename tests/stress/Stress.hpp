// Between the stress program's harness (TimerStress.cpp: figures, watchdog,
// the kernel seam, slots, options and main) and its phases (one file each):
// what a phase may use, and the phases the harness runs.
#pragma once

#include "QevTimer.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>

#include "StressPlatform.hpp"
#include "System.Classes.hpp"
#include "System.Kernel.hpp"
#include "support/Wait.hpp"

namespace stress {

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
  std::atomic<std::uint64_t> lostWakeUps{0};  // a call queued while CheckSynchronize waited, left to its timeout
  std::atomic<std::uint64_t> syncsUnrun{0};   // a Synchronize returned normally without its call having run
};
extern Figures fig;

// Counts a scenario that ended otherwise than it must, and says which.
void Wrong(const char* what);

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
  void Run(std::chrono::seconds runLimit);
  void Stop();

 private:
  [[noreturn]] void End(const char* figure, const char* what, int seconds);
};
extern Watchdog watchdog;

// --- Randomness (the main thread's generator) -------------------------------------

extern std::mt19937 rng;
int Pick(int n);
bool Chance(int percent);

// --- The kernel seam ------------------------------------------------------------------

extern K::Services systemServices;      // the services installed before ours
extern std::atomic<int> refusePercent;  // of thread creations refused, in percent

// How "winmm.dll" looks to the timer unit in a binding scenario.
enum class Library { Complete, Missing, NoEntryPoints, NoCapabilityQuery, FailingCapabilityQuery };

struct Multimedia {
  std::atomic<Library> shape{Library::Complete};
  std::atomic<K::HMODULE> module{nullptr};  // the library behind "winmm.dll"
  std::atomic<int> moduleLookups{0}, loads{0}, procLookups{0};
  // The real entry points, called by the recording ones.
  std::atomic<Qevtimer::TTimePeriodProc> begin{nullptr}, end{nullptr};
  std::atomic<Qevtimer::TTimeGetDevCapsProc> caps{nullptr};
  std::atomic<std::uint64_t> begun{0}, ended{0}, nonZeroPeriods{0};
};
extern Multimedia mm;
extern std::string fakeWinmm;  // Linux: the folder of the fake library's variants

// Makes "winmm.dll" look like `shape` from now on. Only while no worker
// exists: the entry points are unbound again, so that the next worker binds
// them through the scripted loader.
void UseLibrary(Library shape);

// --- Handlers and slots -----------------------------------------------------------------

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
  void Destroy();
  void OnTimer(System::TObject* sender);
  void OnMain() { ++mainCalls; }

 private:
  // Runs on the main thread inside the handler.
  static void SelfControl(TQevTimer* self);
};

// Makes a timer under `owner`, retrying while the seam refuses its worker
// (the failed construction pauses and cleans up as a destructor would).
Slot& NewTimer(TComponent* owner, double interval, bool synchronized, Act act);

// One of the changes that start or end workers: 0 Start, 1 Stop, 2 Restart,
// 3 a toggle of Enabled. A thread the seam refuses surfaces as EThread.
void StartStopChange(TQevTimer* t, int which);

// --- Waits -------------------------------------------------------------------------------

// The shared waits (support/Wait.hpp), reporting progress to the watchdog.
inline void Heartbeat() { watchdog.Progress(); }
template <class F>
bool ServeUntil(F done, std::chrono::milliseconds limit = 10s) {
  return qevtest::ServeUntil(done, limit, Heartbeat);
}
template <class F>
bool WaitUntil(F done, std::chrono::milliseconds limit = 10s) {
  return qevtest::WaitUntil(done, limit, Heartbeat);
}

bool AllWorkersEnded();

// Under Wine a thread that has ended lingers in the emulator for a while, each
// holding a few file descriptors; changes made faster than it retires them
// would exhaust those, and the run would test the emulator's limits instead
// of the timer. Serves the dispatch while too many such threads wait.
void LetEndedThreadsGo();

// --- The phases, in the order a pass runs them ---------------------------------------------

void Changes(std::uint64_t target, std::chrono::seconds budget);  // Changes.cpp
void DestructionUnderFire();                                      // DestructionUnderFire.cpp
void StopFromWorkerDuringStart(std::chrono::seconds budget);      // StopDuringStart.cpp
void OwnerWithRunningTimers();                                    // OwnerWithTimers.cpp
void ApplicationPatterns();                                       // ApplicationPatterns.cpp
void WakeHooks(std::chrono::seconds budget);                      // WakeHooks.cpp
void DispatchHazards();                                           // DispatchHazards.cpp
extern int onlyHazard;    // --hazard N: that hazard of DispatchHazards alone (0: all)
extern int hazardRounds;  // --rounds N: that many rounds of each hazard (0: as in CI)
void BindingFaults();                                             // BindingFaults.cpp
// Linux: the fake library's own record of every variant that was loaded.
void CheckFakeRecords();                                          // BindingFaults.cpp

}  // namespace stress
