#include "QevTimer.hpp"

#include <limits>
#include <thread>

#include "System.Kernel.hpp"

namespace Qevtimer {

using System::Classes::csDesigning;
using System::Classes::csDestroying;
using System::Classes::TThreadMethod;

// The builds differ in the component's version and in the precision of the
// worker's wait arithmetic: the x86 build computes in 80-bit extended
// precision, the others in double.
#if defined(QEV_TARGET_win32)
using WaitReal = long double;
constexpr double kVersion = 1.31;
#else
using WaitReal = double;
constexpr double kVersion = 1.26;
#endif

// ---------------------------------------------------------------------------
// Timer resolution binding

std::atomic<TTimePeriodProc> _timeBeginPeriod{nullptr};
std::atomic<TTimePeriodProc> _timeEndPeriod{nullptr};
std::atomic<TTimeGetDevCapsProc> _timeGetDevCaps{nullptr};

void* LinkAPI(System::UnicodeString ModuleName, System::UnicodeString ProcName) {
  namespace K = System::Kernel;
  K::HMODULE module = K::GetModuleHandleW(ModuleName.c_str());
  if (!module) module = K::LoadSystemLibraryW(ModuleName.c_str());  // never the application's folder
  if (!module) return nullptr;
  const System::AnsiString name = System::ToAnsi(ProcName);
  return K::GetProcAddress(module, name.c_str());
}

namespace {

// The entry point in `slot`, bound on first use. A failed binding leaves the
// slot null, so the next call tries again; a bound one is never replaced.
template <class Proc>
Proc Linked(std::atomic<Proc>& slot, const char16_t* procName) {
  Proc proc = slot.load(std::memory_order_acquire);
  if (!proc) {
    proc = reinterpret_cast<Proc>(LinkAPI(u"winmm.dll", procName));
    if (proc) slot.store(proc, std::memory_order_release);
  }
  return proc;
}

}  // namespace

// Unit-private routines; external linkage so the package can list them.
std::uint32_t LinkedTimeGetDevCaps(PTimeCaps ptc, std::uint32_t cbtc) {
  const TTimeGetDevCapsProc proc = Linked(_timeGetDevCaps, u"timeGetDevCaps");
  return proc ? proc(ptc, cbtc) : 0;
}

std::uint32_t LinkedTimeBeginPeriod(std::uint32_t uPeriod) {
  const TTimePeriodProc proc = Linked(_timeBeginPeriod, u"timeBeginPeriod");
  return proc ? proc(uPeriod) : 0;
}

std::uint32_t LinkedTimeEndPeriod(std::uint32_t uPeriod) {
  const TTimePeriodProc proc = Linked(_timeEndPeriod, u"timeEndPeriod");
  return proc ? proc(uPeriod) : 0;
}

// Each begin and each end asks the device afresh; nothing pairs them here.
std::uint32_t BeginMinTimerPeriod() {
  TTimeCaps caps{0, 0};
  LinkedTimeGetDevCaps(&caps, sizeof caps);
  return LinkedTimeBeginPeriod(caps.wPeriodMin);
}

std::uint32_t EndMinTimerPeriod() {
  TTimeCaps caps{0, 0};
  LinkedTimeGetDevCaps(&caps, sizeof caps);
  return LinkedTimeEndPeriod(caps.wPeriodMin);
}

// ---------------------------------------------------------------------------
// Lifetime between a timer and its workers.
//
// Workers read the timer's fields, and the timer refers to its current
// worker, while either may be freed by another thread. The link, counted by
// the timer and by every worker, closes both gaps without a lock:
//  - a worker reads the timer only while it is `inside` and the timer is not
//    `released`; the timer's destructor sets `released`, then waits until no
//    worker is inside (except those whose fire step is running on the
//    destructor's own thread, which cannot leave before it returns);
//  - every thread that uses FTimerThread counts itself in `timerUsing` for
//    the time of that use: the main thread, and a worker whose handler stops
//    or starts its own timer, possibly while the main thread is still inside
//    Start storing that very worker (so a count, not a flag one of them could
//    clear under the other); an ending worker clears FTimerThread (if it
//    still names it) between two waits for `timerUsing` to reach zero, so a
//    worker that ended by itself counts as absent and is never touched after
//    it is freed;
//  - the timer is destroyed on the main thread only. A `delete` elsewhere
//    hands it over: it marks the link, stops the timer and queues a call that
//    destroys it on the main thread. Whichever of that call and a `delete` on
//    the main thread (an owner being freed, say) moves `disposal` on first
//    destroys it; the other steps aside. A thread still inside a call on the
//    timer is therefore never cut short by a handler on another thread.
//
// Memory orders. Two pairs are store-then-load on two variables (Dekker):
// `inside` and `released` (a worker enters, then looks; the destructor marks,
// then counts), and `timerUsing` and FTimerThread (the timer counts itself,
// then reads the worker; an ending worker clears it, then counts). Each of
// those four accesses is sequentially consistent: with acquire and release
// alone both threads may read the old value and miss each other. The counts
// are given up with release, so that what a thread did to the timer (or the
// worker) happens before the load that lets the other free it.
namespace detail {

struct TimerLink {
  std::atomic<int> references{1};
  std::atomic<bool> released{false};
  std::atomic<int> inside{0};
  std::atomic<int> timerUsing{0};
  // Who destroys the timer: it leaves kAlive once, to kDestroying on the
  // main thread that destroys it at once, or to kHandedOver off it.
  enum Disposal : int { kAlive, kHandedOver, kDestroying };
  std::atomic<int> disposal{kAlive};
  // True while the hand-over call is queued: that call holds a reference.
  // Cleared on the main thread, by that call as it runs or by the destructor
  // as it cancels it; whichever clears it drops the reference.
  std::atomic<bool> handOverQueued{false};
  TQevTimer* timer = nullptr;  // set before any worker or hand-over exists

  // Only a holder of a reference takes another, so the link cannot be
  // freed meanwhile: no ordering needed.
  void Acquire() { references.fetch_add(1, std::memory_order_relaxed); }
  // Release: this holder's uses of the link happen before the last Drop;
  // acquire: the last Drop sees all of them before it frees the link.
  void Drop() {
    if (references.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }
  // Sequentially consistent: one side of the timerUsing/FTimerThread pair
  // (pairs with Using's increment; see Detach).
  void AwaitTimerIdle() const {
    while (timerUsing.load(std::memory_order_seq_cst) != 0) std::this_thread::yield();
  }
};

// A worker's permission to read its timer, taken when needed and given up
// before a sleep (or at the end of its scope): the worker loop keeps it across
// ticks without a pause between them, so those pay no read-modify-write on
// the link, and still see `released` in every cycle.
class Presence {
 public:
  explicit Presence(TimerLink& link) : link_(link) {}
  ~Presence() { Leave(); }
  // True while the timer may be read; false once it is being released.
  bool Enter() {
    // Sequentially consistent, both: the worker's side of the inside/released
    // pair, against Teardown's store of `released` and load of `inside`.
    if (!entered_) {
      link_.inside.fetch_add(1, std::memory_order_seq_cst);
      entered_ = true;
    }
    if (!link_.released.load(std::memory_order_seq_cst)) return true;
    Leave();
    return false;
  }
  // Release, pairing with Teardown's load of `inside`: this thread's reads of
  // the timer happen before the destructor frees it.
  void Leave() {
    if (entered_) link_.inside.fetch_sub(1, std::memory_order_release);
    entered_ = false;
  }

 private:
  TimerLink& link_;
  bool entered_ = false;
};

// A thread using FTimerThread, for one scope.
class Using {
 public:
  // Sequentially consistent: the timer's side of the timerUsing/FTimerThread
  // pair, against Detach's clear of FTimerThread and AwaitTimerIdle's load.
  explicit Using(TimerLink& link) : link_(link) { link_.timerUsing.fetch_add(1, std::memory_order_seq_cst); }
  // Release, pairing with AwaitTimerIdle: this thread's use of the worker
  // happens before the worker frees itself.
  ~Using() { link_.timerUsing.fetch_sub(1, std::memory_order_release); }

 private:
  TimerLink& link_;
};

// The DoTimer calls running on this thread, innermost first.
struct FireFrame {
  const TQevTimer* timer;
  FireFrame* outer;
};
thread_local FireFrame* firing = nullptr;

int FireFramesOnThisThread(const TQevTimer* timer) {
  int n = 0;
  for (const FireFrame* f = firing; f; f = f->outer) n += f->timer == timer;
  return n;
}

bool OnMainThread() { return System::Kernel::CurrentThreadId() == System::Kernel::MainThreadId(); }

// The hand-over call, run by the main thread's dispatch.
void RunHandOver(void* data) {
  TimerLink& link = *static_cast<TimerLink*>(data);
  // Relaxed: only the main thread clears the flag, and the dispatch's lock
  // ordered the handing thread's store before this call.
  link.handOverQueued.store(false, std::memory_order_relaxed);
  // A delete on the main thread that came first has destroyed the timer, or
  // is destroying it now (serving the dispatch while it waits for workers).
  if (link.disposal.exchange(TimerLink::kDestroying, std::memory_order_acq_rel) == TimerLink::kHandedOver)
    System::TObject::operator delete(link.timer, std::destroying_delete);
  link.Drop();
}

}  // namespace detail

// ---------------------------------------------------------------------------
// TQevTimer

// No worker exists yet, so the order of the defaults is not observable.
TQevTimer::TQevTimer(TComponent* AOwner)
    : TComponent(AOwner),
      FVersion(kVersion),
      FInterval(1.0),
      FEnabled(true),
      FTimerThread(nullptr),
      FCycled(true),
      FRepeatCount(0),
      FCounter(0),
      FPriority(TThreadPriority::tpNormal),
      FNeedSynchronization(false),
      FLink(new detail::TimerLink) {
  FLink->timer = this;
  try {
    UpdateTimer();
  } catch (...) {
    Teardown();  // as the destructor would, then pass the failure on
    throw;
  }
}

TQevTimer::~TQevTimer() { Teardown(); }

void TQevTimer::operator delete(TQevTimer* self, std::destroying_delete_t) {
  // Off the main thread, a delete from the timer's own handler, or of a
  // timer whose owner the main thread may be using, is handed over. An
  // ownerless timer freed by some other thread of the application (many
  // timers freed in parallel, say) is destroyed there at once, as on the
  // main thread: no list of the main thread's changes, and no call of the
  // timer's can be under way on another thread.
  const bool onMainThread = detail::OnMainThread();
  if (!onMainThread && (detail::FireFramesOnThisThread(self) > 0 || self->Owner())) {
    self->HandOver();
    return;
  }
  // Acquire-release, against HandOver's compare-exchange and the hand-over
  // call's exchange: the first read-modify-write of the word decides; the
  // flag and the queued call that a hand-over leaves are published by
  // `inside` and by the dispatch's lock, so no other access leans on this.
  std::atomic<int>& disposal = self->FLink->disposal;
  if (onMainThread) {
    // Already being destroyed: a delete nested in its own destruction. A
    // timer handed over is destroyed now, and its queued call cancelled
    // (the call runs on this thread too, so the two cannot overlap).
    if (disposal.exchange(detail::TimerLink::kDestroying, std::memory_order_acq_rel) == detail::TimerLink::kDestroying)
      return;
  } else {
    // Elsewhere only a timer nobody has claimed: one handed over is left to
    // the main thread, whose call could otherwise run while this thread
    // cancels it.
    int alive = detail::TimerLink::kAlive;
    if (!disposal.compare_exchange_strong(alive, detail::TimerLink::kDestroying, std::memory_order_acq_rel,
                                          std::memory_order_acquire))
      return;
  }
  System::TObject::operator delete(self, std::destroying_delete);
}

void TQevTimer::HandOver() noexcept {
  detail::TimerLink& link = *FLink;
  // Counted inside, so that a destructor already begun on the main thread
  // waits until the hand-over call is queued and marked before it looks.
  detail::Presence at(link);
  if (!at.Enter()) return;  // released: destruction is under way
  int alive = detail::TimerLink::kAlive;
  if (!link.disposal.compare_exchange_strong(alive, detail::TimerLink::kHandedOver, std::memory_order_acq_rel,
                                             std::memory_order_acquire))
    return;
  FEnabled.store(false);  // no handler call starts from now on
  DropWorker();
  link.Acquire();
  // Relaxed: the queue's lock publishes it to the call, and leaving `inside`
  // (release) to a destructor that has begun meanwhile.
  link.handOverQueued.store(true, std::memory_order_relaxed);
  TThread::Queue(TThreadMethod{&detail::RunHandOver, &link});
}

const System::TTypeInfo* TQevTimer::ClassInfo() const noexcept { return &TypeInfo; }

void TQevTimer::Teardown() noexcept {
  FEnabled.store(false);
  DropWorker();
  System::Kernel::Sleep(500);

  // Wait until no worker reads this timer any more.
  detail::TimerLink& link = *FLink;
  // Sequentially consistent, with the load of `inside` below: this side of
  // the inside/released pair (see Presence::Enter).
  link.released.store(true, std::memory_order_seq_cst);
  const int ownFrames = detail::FireFramesOnThisThread(this);
  const bool onMainThread = detail::OnMainThread();
  for (;;) {
    // Workers waiting in Synchronize for a tick of this timer return at once.
    TThread::RemoveQueuedEvents(this);
    if (link.inside.load(std::memory_order_seq_cst) <= ownFrames) break;
    // A worker's handler may itself wait for the main thread: serve it.
    if (onMainThread)
      System::Classes::CheckSynchronize(1);
    else
      System::Kernel::Sleep(1);
  }
  // A hand-over still queued must not run: cancel it and drop its reference.
  // Relaxed: a handing thread stored the flag before it left `inside`, whose
  // release the loop above acquired; the call that clears it otherwise runs
  // on this thread.
  if (link.handOverQueued.exchange(false, std::memory_order_relaxed)) {
    TThread::RemoveQueuedEvents(&link);
    link.Drop();
  }
  link.Drop();
}

void TQevTimer::DropWorker() {
  detail::Using using_(*FLink);
  // Sequentially consistent: a read of FTimerThread inside the
  // timerUsing/FTimerThread pair (see Detach).
  if (TTimerThread* worker = FTimerThread.exchange(nullptr, std::memory_order_seq_cst)) worker->Terminate();
}

void TQevTimer::UpdateTimer() {
  if (ComponentState() & csDesigning) return;
  DropWorker();
  if (FEnabled.load()) {
    detail::Using using_(*FLink);
    TTimerThread* worker = TThread::Create<TTimerThread>(this);
    // The new worker's first tick may already have restarted this timer
    // from its handler, storing the worker that replaces it: then ours is the
    // replaced one. Storing over that worker would leave two running.
    TTimerThread* none = nullptr;
    if (!FTimerThread.compare_exchange_strong(none, worker, std::memory_order_seq_cst)) worker->Terminate();
  }
  // Relaxed: the count alone; nothing else is read through it.
  FCounter.store(0, std::memory_order_relaxed);
}

void TQevTimer::DoTimer() {
  detail::FireFrame frame{this, detail::firing};
  detail::firing = &frame;
  struct Pop {
    detail::FireFrame& frame;
    ~Pop() { detail::firing = frame.outer; }
  } pop{frame};
  // The handler may free this timer: nothing here touches it afterwards.
  const TNotifyEvent handler = FOnTimer.Load();
  if (handler && FEnabled.load() && !(ComponentState() & csDestroying)) handler(this);
}

void TQevTimer::SetEnabled(bool Value) {
  if (Value == FEnabled.load()) return;
  FEnabled.store(Value);
  UpdateTimer();
}

void TQevTimer::SetInterval(double Value) {
  if (Value != FInterval.load()) FInterval.store(Value);
}

void TQevTimer::SetOnTimer(TNotifyEvent Value) { FOnTimer.Store(Value); }

void TQevTimer::SetPriority(TThreadPriority Value) {
  if (Value == FPriority.load()) return;
  FPriority.store(Value);
  detail::Using using_(*FLink);
  if (TTimerThread* worker = FTimerThread.load(std::memory_order_seq_cst)) worker->SetPriority(Value);
}

void TQevTimer::Start() {
  FEnabled.store(true);
  UpdateTimer();
}

void TQevTimer::Restart() { Start(); }

void TQevTimer::Stop() {
  FEnabled.store(false);
  UpdateTimer();
}

// Acquire, pairing with the worker's release store of the count: a caller
// that sees a tick counted also sees what that tick's handler did.
std::uint32_t TQevTimer::GetCycleNumber() { return FCounter.load(std::memory_order_acquire); }

// ---------------------------------------------------------------------------
// TTimerThread

TTimerThread::TTimerThread(TQevTimer* AOwner) : Owner(AOwner), FLink(AOwner->FLink) {
  FLink->Acquire();
  SetPriority(Owner->FPriority.load());
  SetFreeOnTerminate(true);
  BeginMinTimerPeriod();
}

TTimerThread::~TTimerThread() {
  Detach();
  EndMinTimerPeriod();
  FLink->Drop();
}

const System::TTypeInfo* TTimerThread::ClassInfo() const noexcept { return &TypeInfo; }

void TTimerThread::Detach() noexcept {
  // A worker whose system thread never started was never stored.
  if (ThreadID() != System::Kernel::CurrentThreadId()) return;
  FLink->AwaitTimerIdle();  // the timer may be storing us right now
  {
    detail::Presence at(*FLink);
    if (at.Enter()) {
      // Sequentially consistent: this worker's side of the
      // timerUsing/FTimerThread pair. A thread that counted itself in
      // `timerUsing` before this clear is seen by the wait below; one that
      // counts itself after it reads null here.
      TTimerThread* self = this;
      Owner->FTimerThread.compare_exchange_strong(self, nullptr, std::memory_order_seq_cst);
    }
  }
  FLink->AwaitTimerIdle();  // the timer may have read us just before
}

void TTimerThread::CustomSleep(std::uint32_t Milliseconds) { Sleep(static_cast<int>(Milliseconds)); }

// Sleeps for `interval` seconds in whole milliseconds: below 1 ms not at
// all; beyond one sleep call's reach (L = 2147483647 ms) in n calls of L and
// one for the remainder. Gives up `at` before the first sleep call.
void TTimerThread::Wait(double interval, detail::Presence& at) {
  constexpr std::uint32_t kLongestSleep = 2147483647;
  constexpr std::uint32_t kMostChunks = std::numeric_limits<std::uint32_t>::max();
  const WaitReal I = interval;
  const WaitReal L = static_cast<WaitReal>(2147483.647L);
  if (I > L) {
    const WaitReal q = System::Int(I / L);
    const WaitReal r = I - q * L;
    // n saturates: a 32-bit count taken from q would wrap from 2^32 on, and
    // q is infinite for an infinite interval.
    const std::uint32_t n = q >= kMostChunks ? kMostChunks : static_cast<std::uint32_t>(System::Round(q));
    if (n > 0) at.Leave();
    for (std::uint32_t i = 0; i < n; ++i) CustomSleep(kLongestSleep);
    if (System::Int(r * 1000) > 0) {
      at.Leave();
      // For huge intervals r carries I's rounding error; keep the call legal.
      const WaitReal ms = r * 1000;
      CustomSleep(ms >= kLongestSleep ? kLongestSleep : static_cast<std::uint32_t>(System::Round(ms)));
    }
  } else if (System::Int(I * 1000) > 0) {
    at.Leave();
    CustomSleep(static_cast<std::uint32_t>(System::Round(I * 1000)));
  }
}

void TTimerThread::Execute() {
  detail::Presence at(*FLink);
  while (!Terminated()) {
    if (!at.Enter() || !Owner->FEnabled.load()) break;
    Wait(Owner->FInterval.load(), at);  // a wait, once begun, runs to its end
    if (Terminated()) break;

    if (!at.Enter()) break;
    if (Owner->FEnabled.load()) {
      if (Owner->FNeedSynchronization.load())
        Synchronize(TThreadMethod::Bind<&TQevTimer::DoTimer>(Owner));
      else
        Owner->DoTimer();
      // The handler may have destroyed the timer on the main thread inside
      // Synchronize; then leave without touching it. Acquire, pairing with
      // Teardown's store (the dispatch's lock orders the two as well).
      if (FLink->released.load(std::memory_order_acquire)) break;
    }
    if (!Owner->FCycled.load()) Terminate();
    // A plain read and write of the count, as the loop has always made it (a
    // reset by Start in between may be lost). Relaxed read: this thread wrote
    // the count last, unless a reset came. Release write, pairing with
    // GetCycleNumber's load: a caller that sees the new count also sees what
    // this tick's handler did.
    const std::uint32_t counted = Owner->FCounter.load(std::memory_order_relaxed);
    if (counted < std::numeric_limits<std::uint32_t>::max())
      Owner->FCounter.store(counted + 1, std::memory_order_release);
    const std::uint32_t limit = Owner->FRepeatCount.load();
    if (limit != 0 && Owner->FCounter.load(std::memory_order_relaxed) >= limit) Terminate();
  }
}

}  // namespace Qevtimer
