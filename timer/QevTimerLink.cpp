// The lifetime protocol's transitions (QevTimerLink.hpp).
#include "QevTimerLink.hpp"

#include <thread>

#include "System.Kernel.hpp"

namespace Qevtimer::detail {

using System::Classes::TThread;
using System::Classes::TThreadMethod;

thread_local int FireStep::depth_ = 0;

// Sequentially consistent, against the other transitions of `disposal` and
// against StartWorker's look (the slot/disposal pair): the first
// read-modify-write of the word decides.
bool TimerLink::Claim(bool onMainThread) {
  if (onMainThread) {
    // Already being destroyed: a delete nested in its own destruction. A
    // timer handed over is destroyed now, and its queued call cancelled
    // (the call runs on this thread too, so the two cannot overlap).
    return disposal_.exchange(kDestroying, std::memory_order_seq_cst) != kDestroying;
  }
  // Elsewhere only a timer nobody has claimed: one handed over is left to
  // the main thread, whose call could otherwise run while this thread
  // cancels it.
  int alive = kAlive;
  return disposal_.compare_exchange_strong(alive, kDestroying, std::memory_order_seq_cst);
}

bool TimerLink::ClaimHandOver() {
  int alive = kAlive;
  return disposal_.compare_exchange_strong(alive, kHandedOver, std::memory_order_seq_cst);
}

void TimerLink::QueueHandOver() {
  Acquire();
  // Relaxed: the queue publishes it to the call, and leaving (release) to a
  // destruction that has begun meanwhile.
  handOverQueued_.store(true, std::memory_order_relaxed);
  // In no timer's dispatch group: a destruction that serves its own workers'
  // calls must not destroy another timer under that timer's handler running
  // further up the main thread's stack.
  TThread::QueueOwnCall(TThreadMethod{&TimerLink::RunHandOver, this}, 0);
}

void TimerLink::RunHandOver(void* data) {
  TimerLink& link = *static_cast<TimerLink*>(data);
  // Relaxed: only the main thread clears the flag, and the queue ordered the
  // handing thread's store before this call.
  link.handOverQueued_.store(false, std::memory_order_relaxed);
  // A delete on the main thread that came first has destroyed the timer, or
  // is destroying it now (the call may run inside that destruction, which
  // serves its own workers' calls while it waits).
  if (link.disposal_.exchange(kDestroying, std::memory_order_seq_cst) == kHandedOver) link.timer_->Dispose();
  link.Drop();
}

TThreadMethod TimerLink::Tick(TQevTimer* timer) { return TThreadMethod::Bind<&TQevTimer::DoTimer>(timer); }

bool TimerLink::Enter() {
  // Sequentially consistent, both: the worker's side of the state/released
  // pair, against Release's store and Settle's load.
  state_.fetch_add(kInside, std::memory_order_seq_cst);
  if (!released_.load(std::memory_order_seq_cst)) return true;
  Leave();
  return false;
}

void TimerLink::Leave() {
  // Release: our reads of the timer happen before its disposal, which the
  // last one out (acquiring the whole sequence of counts) queues.
  if (state_.fetch_sub(kInside, std::memory_order_acq_rel) != kInside + kAbandoned) return;
  // The last one out of an abandoned timer; a worker that counted itself in
  // meanwhile, and out again, may take the disposal instead: it goes to
  // whichever sets kDisposing.
  std::uint32_t abandoned = kAbandoned;
  if (state_.compare_exchange_strong(abandoned, kAbandoned + kDisposing, std::memory_order_acq_rel)) PostDisposal();
}

bool TimerLink::Settle(bool mayAbandon) {
  const bool onMainThread = System::Kernel::IsMainThread();
  const TThreadMethod tick = Tick(timer_);
  for (;;) {
    // Workers waiting in Synchronize for a tick of this timer return at once;
    // their other calls are served below, not dropped.
    TThread::RemoveQueuedEvents(tick);
    // Sequentially consistent: this side of the state/released pair.
    std::uint32_t s = state_.load(std::memory_order_seq_cst);
    const std::uint32_t inside = s / kInside;
    if (inside == 0) {
      if (state_.compare_exchange_strong(s, s | kDisposing, std::memory_order_seq_cst)) return true;
      continue;  // one counted itself in meanwhile: look again
    }
    // Off the main thread only an ownerless timer freed outside every fire
    // step is destroyed: no call of its workers runs below us on this stack.
    // On the main thread, a worker whose Synchronize call the main thread is
    // running further up this stack cannot leave before we return; such a
    // call, a synchronized tick included, is counted once, by the dispatch.
    const int below = onMainThread ? TThread::GroupCallsRunning(group_) : 0;
    if (mayAbandon && inside <= static_cast<std::uint32_t>(below)) {
      if (state_.compare_exchange_strong(s, s | kAbandoned, std::memory_order_seq_cst)) return false;
      continue;
    }
    // A worker's handler may itself wait for the main thread: serve this
    // timer's workers, and only them.
    if (!(onMainThread && TThread::ServeGroup(group_))) System::Kernel::Sleep(1);
  }
}

void TimerLink::PostDisposal() {
  Acquire();
  TThread::QueueOwnCall(TThreadMethod{&TimerLink::RunDisposal, this}, 0);
}

void TimerLink::RunDisposal(void* data) {
  TimerLink& link = *static_cast<TimerLink*>(data);
  System::TObject::operator delete(link.timer_, std::destroying_delete);
  link.Drop();
}

void TimerLink::Finish() {
  // A hand-over still queued must not run: cancel it and drop its reference.
  // Relaxed: a handing thread stored the flag before it left (release), which
  // Settle acquired; the call that clears it otherwise runs on this thread.
  if (handOverQueued_.exchange(false, std::memory_order_relaxed)) {
    TThread::RemoveQueuedEvents(TThreadMethod{&TimerLink::RunHandOver, this});
    Drop();
  }
  Drop();
}

void TimerLink::StopWorker() {
  const SlotUse use(*this);
  // Sequentially consistent: a read of the slot inside the slotUsers/slot
  // pair (see WorkerEnds), and the hand-over's side of the slot/disposal
  // pair.
  if (TTimerThread* worker = worker_.exchange(nullptr, std::memory_order_seq_cst)) worker->Terminate();
}

void TimerLink::SetWorkerPriority(TThreadPriority priority) {
  const SlotUse use(*this);
  if (TTimerThread* worker = worker_.load(std::memory_order_seq_cst)) worker->SetPriority(priority);
}

void TimerLink::WorkerEnds(TTimerThread* worker) {
  AwaitNoSlotUsers();  // a start may be storing us right now
  // Sequentially consistent: this worker's side of the slotUsers/slot pair. A
  // user that counted itself before this clear is seen by the wait below;
  // one that counts itself after it reads null.
  worker_.compare_exchange_strong(worker, nullptr, std::memory_order_seq_cst);
  AwaitNoSlotUsers();  // a user may have read us just before
}

void TimerLink::AwaitNoSlotUsers() const {
  while (slotUsers_.load(std::memory_order_seq_cst) != 0) std::this_thread::yield();
}

}  // namespace Qevtimer::detail
