// TQevTimer: the timer component.
#include "QevTimer.hpp"

#include "QevTimerLink.hpp"
#include "System.Kernel.hpp"

namespace Qevtimer {

using System::Classes::csDesigning;
using System::Classes::csDestroying;
using System::Classes::TThreadMethod;

// The builds differ in the component's version: 1.31 for x86, 1.26 for the
// others.
#if defined(QEV_TARGET_win32)
constexpr double kVersion = 1.31;
#else
constexpr double kVersion = 1.26;
#endif

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

}  // namespace Qevtimer
