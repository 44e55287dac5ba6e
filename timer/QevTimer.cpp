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

// The destructor's pause, always taken: the component has always paused this
// long, so that a worker that has just ended its wait sees the timer disabled
// and leaves; applications rely on destruction taking at least this long.
constexpr std::uint32_t kDestructionPauseMs = 500;

// ---------------------------------------------------------------------------
// TQevTimer

// No worker exists yet, so the order of the defaults is not observable.
TQevTimer::TQevTimer(TComponent* AOwner)
    : TComponent(AOwner),
      FVersion(kVersion),
      FInterval(1.0),
      FEnabled(true),
      FCycled(true),
      FRepeatCount(0),
      FCounter(0),
      FPriority(TThreadPriority::tpNormal),
      FNeedSynchronization(false),
      FLink(new detail::TimerLink(this)) {
  try {
    UpdateTimer();
  } catch (...) {
    // As a destruction would, then pass the failure on (no worker was
    // stored, so none is waited for).
    BeginDestruction();
    FLink->Settle(false);
    FLink->Finish();
    throw;
  }
}

TQevTimer::~TQevTimer() {
  if (!FLink->Released()) {
    // Not freed by delete: nothing may stay behind in this memory.
    BeginDestruction();
    FLink->Settle(false);
  }
  FLink->Finish();
}

void TQevTimer::operator delete(TQevTimer* self, std::destroying_delete_t) {
  // Off the main thread, a delete from inside any timer's handler, or of a
  // timer whose owner the main thread may be using, is handed over. An
  // ownerless timer freed by some other thread of the application (many
  // timers freed in parallel, say) is destroyed there at once, as on the
  // main thread: no list of the main thread's changes, and no handler on
  // this thread that another handler may be waiting for.
  const bool onMainThread = System::Kernel::IsMainThread();
  if (!onMainThread && (detail::FireStep::AnyOnThisThread() || self->Owner())) {
    self->HandOver();
    return;
  }
  if (self->FLink->Claim(onMainThread)) self->Dispose();
}

void TQevTimer::BeginDestruction() noexcept {
  SetState(csDestroying, true);  // no handler call starts from now on
  FEnabled.store(false);
  FLink->StopWorker();
  System::Kernel::Sleep(kDestructionPauseMs);
  FLink->Release();
}

void TQevTimer::Dispose() noexcept {
  BeginDestruction();
  if (FLink->Settle(true)) {
    System::TObject::operator delete(this, std::destroying_delete);
    return;
  }
  // Abandoned to a handler still running above us on this stack (Settle):
  // out of the owner's list now, freed by the main thread once it returned.
  if (TComponent* owner = Owner()) owner->RemoveComponent(this);
}

void TQevTimer::HandOver() noexcept {
  detail::TimerLink& link = *FLink;
  // Counted inside, so that a destruction already begun on the main thread
  // waits until the hand-over call is queued and marked before it looks.
  detail::Presence at(link);
  if (!at.Enter() || !link.ClaimHandOver()) return;  // destruction under way
  SetState(csDestroying, true);  // no handler call starts from now on
  FEnabled.store(false);
  link.StopWorker();
  link.QueueHandOver();
}

const System::TTypeInfo* TQevTimer::ClassInfo() const noexcept { return &TypeInfo; }

void TQevTimer::UpdateTimer() {
  if (ComponentState() & csDesigning) return;
  FLink->StopWorker();
  if (FEnabled.load()) {
    FLink->StartWorker([this] { return TThread::Create<TTimerThread>(this); });
    // Handed over meanwhile (another thread's delete): it stays stopped.
    if (!FLink->Alive()) FEnabled.store(false);
  }
  // Relaxed: the count alone; nothing else is read through it.
  FCounter.store(0, std::memory_order_relaxed);
}

void TQevTimer::DoTimer() {
  const detail::FireStep step;
  // The handler may free this timer: nothing here touches it afterwards.
  const TNotifyEvent handler = FOnTimer.Load();
  if (handler && FEnabled.load() && !(ComponentState() & csDestroying)) handler(this);
}

void TQevTimer::SetEnabled(bool Value) {
  // A timer being destroyed, or handed over for it, never starts again.
  if (Value == FEnabled.load() || (Value && !FLink->Alive())) return;
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
  FLink->SetWorkerPriority(Value);
}

void TQevTimer::Start() {
  if (!FLink->Alive()) return;  // as in SetEnabled
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
