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
      FTimerThread(nullptr),
      FCycled(true),
      FRepeatCount(0),
      FCounter(0),
      FPriority(TThreadPriority::tpNormal),
      FNeedSynchronization(false),
      FLink(new detail::TimerLink(this)) {
  try {
    UpdateTimer();
  } catch (...) {
    Teardown();  // as the destructor would, then pass the failure on
    throw;
  }
}

TQevTimer::~TQevTimer() { Teardown(); }

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
  if (self->FLink->Claim(onMainThread)) System::TObject::operator delete(self, std::destroying_delete);
}

void TQevTimer::HandOver() noexcept {
  detail::TimerLink& link = *FLink;
  // Counted inside, so that a destruction already begun on the main thread
  // waits until the hand-over call is queued and marked before it looks.
  detail::Presence at(link);
  if (!at.Enter() || !link.ClaimHandOver()) return;  // destruction under way
  FEnabled.store(false);  // no handler call starts from now on
  DropWorker();
  link.QueueHandOver();
}

const System::TTypeInfo* TQevTimer::ClassInfo() const noexcept { return &TypeInfo; }

void TQevTimer::Teardown() noexcept {
  FEnabled.store(false);
  DropWorker();
  System::Kernel::Sleep(kDestructionPauseMs);
  FLink->Release();
  FLink->AwaitWorkersOut();
  FLink->Finish();
}

void TQevTimer::DropWorker() {
  detail::WorkerPointerUse use(*FLink);
  // Sequentially consistent: a read of FTimerThread inside the
  // workerPointerUsers/FTimerThread pair (see Detach).
  if (TTimerThread* worker = FTimerThread.exchange(nullptr, std::memory_order_seq_cst)) worker->Terminate();
}

void TQevTimer::UpdateTimer() {
  if (ComponentState() & csDesigning) return;
  DropWorker();
  if (FEnabled.load()) {
    detail::WorkerPointerUse use(*FLink);
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
  const detail::FireStep step;
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
  detail::WorkerPointerUse use(*FLink);
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
