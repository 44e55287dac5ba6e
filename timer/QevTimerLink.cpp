// The lifetime protocol's transitions (QevTimerLink.hpp).
#include "QevTimerLink.hpp"

#include <thread>

#include "System.Kernel.hpp"

namespace Qevtimer::detail {

using System::Classes::TThread;
using System::Classes::TThreadMethod;

thread_local int FireStep::depth_ = 0;

// Acquire-release, against the other transitions of `disposal`: the first
// read-modify-write of the word decides; the hand-over flag and the queued
// call that a hand-over leaves are published by `inside` and by the
// dispatch's lock, so no other access leans on this.
bool TimerLink::Claim(bool onMainThread) {
  if (onMainThread) {
    // Already being destroyed: a delete nested in its own destruction. A
    // timer handed over is destroyed now, and its queued call cancelled
    // (the call runs on this thread too, so the two cannot overlap).
    return disposal_.exchange(kDestroying, std::memory_order_acq_rel) != kDestroying;
  }
  // Elsewhere only a timer nobody has claimed: one handed over is left to
  // the main thread, whose call could otherwise run while this thread
  // cancels it.
  int alive = kAlive;
  return disposal_.compare_exchange_strong(alive, kDestroying, std::memory_order_acq_rel, std::memory_order_acquire);
}

bool TimerLink::ClaimHandOver() {
  int alive = kAlive;
  return disposal_.compare_exchange_strong(alive, kHandedOver, std::memory_order_acq_rel, std::memory_order_acquire);
}

void TimerLink::QueueHandOver() {
  Acquire();
  // Relaxed: the queue's lock publishes it to the call, and leaving `inside`
  // (release) to a destruction that has begun meanwhile.
  handOverQueued_.store(true, std::memory_order_relaxed);
  // The call belongs to no timer's dispatch group: a destruction that serves
  // its own workers' calls must not destroy another timer under that timer's
  // handler running further up the main thread's stack.
  TThread* const thread = TThread::Current();
  const void* const group = thread ? thread->DispatchGroup() : nullptr;
  if (thread) thread->SetDispatchGroup(nullptr);
  TThread::Queue(TThreadMethod{&TimerLink::RunHandOver, this});
  if (thread) thread->SetDispatchGroup(group);
}

void TimerLink::RunHandOver(void* data) {
  TimerLink& link = *static_cast<TimerLink*>(data);
  // Relaxed: only the main thread clears the flag, and the dispatch's lock
  // ordered the handing thread's store before this call.
  link.handOverQueued_.store(false, std::memory_order_relaxed);
  // A delete on the main thread that came first has destroyed the timer, or
  // is destroying it now (the call may run inside that destruction, which
  // serves its own workers' calls while it waits).
  if (link.disposal_.exchange(kDestroying, std::memory_order_acq_rel) == kHandedOver)
    System::TObject::operator delete(link.timer_, std::destroying_delete);
  link.Drop();
}

void TimerLink::AwaitWorkersOut() {
  if (!System::Kernel::IsMainThread()) {
    // Off the main thread only an ownerless timer freed outside every fire
    // step is destroyed: no call of its workers runs below us on this stack.
    for (;;) {
      TThread::RemoveQueuedEvents(timer_);
      // Sequentially consistent: this side of the inside/released pair.
      if (inside_.load(std::memory_order_seq_cst) == 0) return;
      System::Kernel::Sleep(1);
    }
  }
  for (;;) {
    // Workers waiting in Synchronize for a tick of this timer return at once.
    TThread::RemoveQueuedEvents(timer_);
    // Sequentially consistent: this side of the inside/released pair. A
    // worker whose Synchronize call the main thread is running further up
    // this stack cannot leave before we return: it is not waited for. Such a
    // call, a synchronized tick included, is counted once, by the dispatch.
    if (inside_.load(std::memory_order_seq_cst) <= TThread::GroupCallsRunning(Group())) return;
    // A worker's handler may itself wait for the main thread: serve this
    // timer's workers, and only them.
    if (!TThread::ServeGroup(Group())) System::Kernel::Sleep(1);
  }
}

void TimerLink::Finish() {
  // A hand-over still queued must not run: cancel it and drop its reference.
  // Relaxed: a handing thread stored the flag before it left `inside`, whose
  // release AwaitWorkersOut acquired; the call that clears it otherwise runs
  // on this thread.
  if (handOverQueued_.exchange(false, std::memory_order_relaxed)) {
    TThread::RemoveQueuedEvents(this);
    Drop();
  }
  Drop();
}

void TimerLink::AwaitNoWorkerPointerUsers() const {
  while (workerPointerUsers_.load(std::memory_order_seq_cst) != 0) std::this_thread::yield();
}

}  // namespace Qevtimer::detail
