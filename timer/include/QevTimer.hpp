// The unit QevTimer: TQevTimer, a periodic timer component whose worker
// thread sleeps for the interval in whole milliseconds and then calls the
// OnTimer handler, and the run-time binding of the system's timer-resolution
// services.
//
//   auto* timer = new Qevtimer::TQevTimer(form);   // ticking at once, every 1 s
//   timer->SetInterval(0.010);                      // from the next wait on
//   timer->SetOnTimer(TNotifyEvent::Bind<&Form::OnTick>(form));
//   timer->SetNeedSynchronization(true);            // handler on the main thread
//
// Threads: a timer is created, configured, started and stopped on the
// application's main thread, or by its own handler. It is destroyed on the
// main thread, or on the thread that deletes it when it has no owner and that
// thread is inside no timer's handler; any other `delete` hands the
// destruction to the main thread's dispatch (see operator delete). Its
// handler runs on the worker thread, or on the main thread through
// TThread::Synchronize when NeedSynchronization is set; synchronized ticks
// wait while the main thread serves no dispatch (CheckSynchronize).
// docs/threads.md gives the whole set of rules.
#pragma once

#include <atomic>
#include <cstdint>
#include <new>

#include "System.Classes.hpp"
#include "System.hpp"

// The package's exports are one table of names (package/exports.py):
// on Windows its module-definition files export them, elsewhere default
// visibility limited by a version script.
#if defined(QEV_BUILDING_PACKAGE) && defined(_WIN32)
#  define QEV_PACKAGE_API
#elif defined(QEV_BUILDING_PACKAGE)
#  define QEV_PACKAGE_API QEV_EXPORT
#else
#  define QEV_PACKAGE_API QEV_IMPORT
#endif
// Classes whose virtual tables the package exports.
#if defined(_WIN32)
#  define QEV_PACKAGE_CLASS
#else
#  define QEV_PACKAGE_CLASS __attribute__((visibility("default")))
#endif

// The calling convention of the Windows API on x86.
#if defined(_WIN32) && defined(__i386__)
#  define QEV_WINAPI __attribute__((stdcall))
#else
#  define QEV_WINAPI
#endif

namespace Qevtimer {

using System::Classes::TComponent;
using System::Classes::TNotifyEvent;
using System::Classes::TThread;
using System::Classes::TThreadPriority;

// ---------------------------------------------------------------------------
// Timer resolution binding.

// The timer device's capabilities, as timeGetDevCaps fills them.
struct TTimeCaps {
  std::uint32_t wPeriodMin;  // finest period supported
  std::uint32_t wPeriodMax;  // coarsest period supported
};
using PTimeCaps = TTimeCaps*;
// Their type records: a record of two Cardinal fields, a pointer to it.
QEV_PACKAGE_API extern const System::TTypeInfo TypeInfo_TTimeCaps;
QEV_PACKAGE_API extern const System::TTypeInfo TypeInfo_PTimeCaps;

using TTimePeriodProc = std::uint32_t(QEV_WINAPI*)(std::uint32_t period);
using TTimeGetDevCapsProc = std::uint32_t(QEV_WINAPI*)(PTimeCaps caps, std::uint32_t size);

// The bound entry points of "winmm.dll": null until first bound, never reset
// afterwards. A value stored here before first use is called as it is.
QEV_PACKAGE_API extern std::atomic<TTimePeriodProc> _timeBeginPeriod;
QEV_PACKAGE_API extern std::atomic<TTimePeriodProc> _timeEndPeriod;
QEV_PACKAGE_API extern std::atomic<TTimeGetDevCapsProc> _timeGetDevCaps;

// The address of `ProcName` in the library `ModuleName`, loading the library
// if it is not loaded yet; null if either is missing. Keeps nothing. A bare
// name is loaded from the system folder if it is there, otherwise (and a
// name with a folder in it) by LoadLibraryW's own search.
QEV_PACKAGE_API void* LinkAPI(System::UnicodeString ModuleName, System::UnicodeString ProcName);

// ---------------------------------------------------------------------------
// Unit routines.

// Design-time registration: hands TQevTimer to RegisterComponents for the
// palette page "Qev Soft". The designer calls it once the package is loaded.
QEV_PACKAGE_API void Register();
// The unit's initialization and finalization, listed in the package's unit
// table and called by the framework's package loader. They keep the unit's
// nesting count and do nothing else.
QEV_PACKAGE_API void initialization();
QEV_PACKAGE_API void Finalization();

// ---------------------------------------------------------------------------
class TTimerThread;

namespace detail {
class TimerLink;
class Presence;

// A two-part handler that readers on other threads see whole: a sequence
// lock with a single writer (the timer's thread) and retrying readers.
class AtomicNotifyEvent {
 public:
  // Sequentially consistent at every access, so that all of them fall in one
  // order: a reader that saw a part of a new value (a load after the
  // writer's odd store) sees the sequence moved on in its second load, and
  // retries. Relaxed part accesses would need standalone fences around them,
  // which ThreadSanitizer does not model.
  TNotifyEvent Load() const noexcept {
    for (;;) {
      const std::uint32_t before = sequence_.load(std::memory_order_seq_cst);  // pairs with Store's even store
      const TNotifyEvent value{code_.load(std::memory_order_seq_cst), data_.load(std::memory_order_seq_cst)};
      if ((before & 1) == 0 && sequence_.load(std::memory_order_seq_cst) == before) return value;
    }
  }
  void Store(TNotifyEvent value) noexcept {
    // Relaxed: the single writer reads its own last store.
    const std::uint32_t s = sequence_.load(std::memory_order_relaxed);
    sequence_.store(s + 1, std::memory_order_seq_cst);  // odd: a write is under way
    code_.store(value.code, std::memory_order_seq_cst);
    data_.store(value.data, std::memory_order_seq_cst);
    sequence_.store(s + 2, std::memory_order_seq_cst);  // even: whole again
  }

 private:
  std::atomic<std::uint32_t> sequence_{0};
  std::atomic<TNotifyEvent::Code> code_{nullptr};
  std::atomic<void*> data_{nullptr};
};
}  // namespace detail

// TQevTimer: the timer component.
//
// Property form: a reader named as the property, a writer named Set + the
// property. Enabled, Interval, Cycled, RepeatCount, OnTimer and Priority are
// published (shown in the designer, stored with forms); NeedSynchronization
// and the read-only Version are public only.
class QEV_PACKAGE_CLASS TQevTimer : public TComponent {
 public:
  // Builds the timer with its defaults (enabled, 1.0 s, cycled, no repeat
  // limit, normal priority) and, outside design state, starts ticking at
  // once. Raises EThread if the system refuses the worker thread.
  QEV_PACKAGE_API explicit TQevTimer(TComponent* AOwner);
  // Ends the timer's link. `delete` has done the rest before any destructor
  // runs (see operator delete); a timer destroyed otherwise (a constructor
  // that failed) stops, pauses and waits here.
  QEV_PACKAGE_API ~TQevTimer() override;
  // Who destroys the timer. `delete` on the main thread destroys it at once.
  // On another thread, inside any timer's handler or for a timer with an
  // owner, it stops the timer and hands the destruction to the main thread's
  // dispatch (CheckSynchronize), so that the owner's list changes on the main
  // thread only and no handler waits for another; an ownerless timer freed by
  // a thread inside no handler is destroyed at once on that thread. A timer
  // whose destruction has begun or been handed over is left to it, and never
  // starts again.
  //
  // The destruction, before any destructor of the object runs (so a
  // subclass's members stay alive for its handler): tells the worker to stop,
  // pauses 500 ms, drops the timer's synchronized ticks not yet run, and waits
  // until no worker of this timer can touch it any more. A handler call may
  // begin while the destruction begins (the worker checks, then calls): the
  // destruction waits for it to return; no call begins once `delete` has
  // returned. While it waits on the main thread it runs this timer's own
  // workers' calls to the main thread (a worker-thread handler waiting in
  // Synchronize), and no other queued call. A worker whose Synchronize call
  // the main thread is running further up its stack (a handler that asks the
  // main thread to free its timer or form, or to run a modal loop in which
  // that happens) cannot be waited for: the timer then stays allocated and
  // readable, stopped and out of its owner's list, until that handler has
  // returned, and the main thread's dispatch frees it afterwards.
  // Exported, as is ClassInfo, for subclasses defined outside the package,
  // whose deleting destructors and virtual tables refer to both.
  QEV_PACKAGE_API static void operator delete(TQevTimer* self, std::destroying_delete_t);

  QEV_PACKAGE_API const System::TTypeInfo* ClassInfo() const noexcept override;

  // Whether the timer is meant to run. Setting a new value starts or stops.
  bool Enabled() const noexcept { return FEnabled.load(); }
  QEV_PACKAGE_API void SetEnabled(bool Value);
  // The period in seconds, rounded to whole milliseconds by the worker; below
  // 1 ms there is no pause. A change applies from the worker's next wait.
  double Interval() const noexcept { return FInterval.load(); }
  QEV_PACKAGE_API void SetInterval(double Value);
  // True: tick repeatedly; False: once per start.
  bool Cycled() const noexcept { return FCycled.load(); }
  void SetCycled(bool Value) noexcept { FCycled.store(Value); }
  // Ticks after which the worker ends; 0: no limit.
  std::uint32_t RepeatCount() const noexcept { return FRepeatCount.load(); }
  void SetRepeatCount(std::uint32_t Value) noexcept { FRepeatCount.store(Value); }
  // The handler, called with the timer as sender.
  TNotifyEvent OnTimer() const noexcept { return FOnTimer.Load(); }
  QEV_PACKAGE_API void SetOnTimer(TNotifyEvent Value);
  // The worker's scheduling priority; reaches a running worker at once.
  TThreadPriority Priority() const noexcept { return FPriority.load(); }
  QEV_PACKAGE_API void SetPriority(TThreadPriority Value);
  // True: the handler runs on the main thread through Synchronize.
  bool NeedSynchronization() const noexcept { return FNeedSynchronization.load(); }
  void SetNeedSynchronization(bool Value) noexcept { FNeedSynchronization.store(Value); }
  // The component's version: 1.26 (x86-64 and Linux builds) or 1.31 (x86).
  double Version() const noexcept { return FVersion; }

  // Enables the timer and starts a new worker (replacing a running one);
  // resets the tick count.
  QEV_PACKAGE_API void Start();
  // Same as Start.
  QEV_PACKAGE_API void Restart();
  // Disables the timer and ends its worker; resets the tick count.
  QEV_PACKAGE_API void Stop();
  // Ticks since the last start or stop; stays at 4294967295 once there.
  QEV_PACKAGE_API std::uint32_t GetCycleNumber();

  QEV_PACKAGE_API static const System::TTypeInfo TypeInfo;

 private:
  friend class TTimerThread;
  friend class detail::TimerLink;
  friend struct TimerMetadata;

  QEV_PACKAGE_API void UpdateTimer();
  QEV_PACKAGE_API void DoTimer();
  void BeginDestruction() noexcept;
  void Dispose() noexcept;
  void HandOver() noexcept;

  double FVersion;
  std::atomic<double> FInterval;
  detail::AtomicNotifyEvent FOnTimer;
  std::atomic<bool> FEnabled;
  std::atomic<bool> FCycled;
  std::atomic<std::uint32_t> FRepeatCount;
  std::atomic<std::uint32_t> FCounter;
  std::atomic<TThreadPriority> FPriority;
  std::atomic<bool> FNeedSynchronization;
  // Shared with the workers, outlives the timer, and holds the current
  // worker (FTimerThread's slot).
  detail::TimerLink* FLink;
};

// TTimerThread: the worker of one run of a timer. Create it with
// TThread::Create<TTimerThread>(timer); it frees itself when it ends.
class QEV_PACKAGE_CLASS TTimerThread : public TThread {
 public:
  // Links the worker to `AOwner`, takes its priority, sets FreeOnTerminate
  // and raises the system timer resolution.
  QEV_PACKAGE_API explicit TTimerThread(TQevTimer* AOwner);
  // Detaches from the timer and releases the raised timer resolution.
  QEV_PACKAGE_API ~TTimerThread() override;

  const System::TTypeInfo* ClassInfo() const noexcept override;
  QEV_PACKAGE_API static const System::TTypeInfo TypeInfo;

 protected:
  QEV_PACKAGE_API void Execute() override;
  // TThread::Sleep, with `Milliseconds` at most 2147483647.
  QEV_PACKAGE_API void CustomSleep(std::uint32_t Milliseconds);

 private:
  void Wait(double interval, detail::Presence& at);

  TQevTimer* Owner;
  detail::TimerLink* FLink;
};

}  // namespace Qevtimer
