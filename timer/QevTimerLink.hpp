// Internal to the timer unit: the lifetime protocol between a timer and its
// workers, in one type (TimerLink) and its two scoped helpers.
#pragma once

#include <atomic>

#include "QevTimer.hpp"

namespace Qevtimer::detail {

// ---------------------------------------------------------------------------
// Lifetime between a timer and its workers.
//
// Workers read the timer's fields, and the timer refers to its current
// worker, while either may be freed by another thread. The link, counted by
// the timer, by every worker and by a queued hand-over call, closes both gaps
// without a lock.
//
// Readers of the timer. A worker reads the timer only while it is `inside`
// (Presence) and the timer is not `released`. The timer's destruction
// releases the link (Release), then waits until no worker is inside
// (AwaitWorkersOut). Not counted against it: on the main thread, the workers
// whose Synchronize calls the main thread is running below the destruction
// on its own stack (they cannot leave before it returns; the dispatch counts
// them by the link, which is every worker's dispatch group). While it waits
// on the main thread, the destruction serves this timer's own workers'
// calls alone (TThread::ServeGroup), nothing else: no other thread's call
// runs inside a `delete`, and nothing is rethrown out of it.
//
// Readers of the worker pointer. Every thread that reads FTimerThread counts
// itself in `workerPointerUsers` for the time of that use (WorkerPointerUse):
// the main thread, and a worker whose handler stops or starts its own timer,
// possibly while the main thread is still inside Start storing that very
// worker (so a count, not a flag one of them could clear under the other).
// An ending worker clears FTimerThread (if it still names it) between two
// waits for the count to reach zero (AwaitNoWorkerPointerUsers), so a worker
// that ended by itself counts as absent and is never touched after it is
// freed.
//
// Who destroys the timer: `disposal` leaves kAlive once.
//  - Claim: a `delete` that destroys the timer now. On the main thread it
//    takes any timer not yet being destroyed, a handed-over one too (whose
//    queued call Finish then cancels); elsewhere only a timer nobody has
//    claimed. False: leave the timer to the destruction or hand-over under way.
//  - ClaimHandOver and QueueHandOver: a `delete` off the main thread that the
//    main thread must carry out (inside a handler, or of a timer with an
//    owner) marks the timer handed over and queues a call on the main thread.
//  - RunHandOver: that call, on the main thread; it destroys the timer unless
//    a `delete` on the main thread claimed it first.
//  - Finish: the end of the destruction; cancels a hand-over still queued and
//    drops the timer's reference.
// The hand-over call and the cancel both run on the main thread, so they
// never overlap.
//
// Memory orders. Two pairs are store-then-load on two variables (Dekker):
// `inside` and `released` (a worker enters, then looks; the destruction
// releases, then counts), and `workerPointerUsers` and FTimerThread (the
// timer counts itself, then reads the worker; an ending worker clears it,
// then counts). Each of those four accesses is sequentially consistent: with
// acquire and release alone both threads may read the old value and miss each
// other. The counts are given up with release, so that what a thread did to
// the timer (or the worker) happens before the load that lets the other free
// it. `disposal` is decided by its first read-modify-write (acquire-release);
// the hand-over flag is published by `inside` and by the dispatch's lock.
class TimerLink {
 public:
  explicit TimerLink(TQevTimer* timer) : timer_(timer) {}
  TimerLink(const TimerLink&) = delete;
  TimerLink& operator=(const TimerLink&) = delete;

  // --- References -----------------------------------------------------------
  // Only a holder of a reference takes another, so the link cannot be freed
  // meanwhile: no ordering needed.
  void Acquire() { references_.fetch_add(1, std::memory_order_relaxed); }
  // Release: this holder's uses of the link happen before the last Drop;
  // acquire: the last Drop sees all of them before it frees the link.
  void Drop() {
    if (references_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }

  // The dispatch group of the timer's workers: the link outlives the timer.
  const void* Group() const noexcept { return this; }

  // --- Who destroys the timer -----------------------------------------------
  bool Claim(bool onMainThread);
  bool ClaimHandOver();
  // Takes a reference for the call and queues it. After ClaimHandOver, with
  // the caller still inside (so a destruction begun meanwhile waits for it).
  void QueueHandOver();
  static void RunHandOver(void* link);

  // --- The destruction --------------------------------------------------------
  // No worker enters from now on. Sequentially consistent, against
  // Presence::Enter's load (the inside/released pair).
  void Release() { released_.store(true, std::memory_order_seq_cst); }
  // Acquire, pairing with Release's store: a worker back from a call in which
  // the handler destroyed the timer sees it here and leaves untouched.
  bool Released() const { return released_.load(std::memory_order_acquire); }
  // Waits until no worker reads the timer any more (see above); drops the
  // timer's queued synchronized ticks meanwhile.
  void AwaitWorkersOut();
  void Finish();

  // --- Readers of the worker pointer -------------------------------------------
  // Sequentially consistent: one side of the workerPointerUsers/FTimerThread
  // pair (pairs with WorkerPointerUse's increment; see TTimerThread::Detach).
  void AwaitNoWorkerPointerUsers() const;

 private:
  friend class Presence;
  friend class WorkerPointerUse;
  ~TimerLink() = default;

  enum Disposal : int { kAlive, kHandedOver, kDestroying };

  std::atomic<int> references_{1};
  std::atomic<bool> released_{false};
  std::atomic<int> inside_{0};
  std::atomic<int> workerPointerUsers_{0};
  std::atomic<int> disposal_{kAlive};
  // True while the hand-over call is queued: that call holds a reference.
  // Cleared on the main thread, by that call as it runs or by Finish as it
  // cancels it; whichever clears it drops the reference.
  std::atomic<bool> handOverQueued_{false};
  TQevTimer* const timer_;
};

// A worker's permission to read its timer, taken when needed and given up
// before a sleep (or at the end of its scope): the worker loop keeps it across
// ticks without a pause between them, so those pay no read-modify-write on
// the link, and still see `released` in every cycle.
class Presence {
 public:
  explicit Presence(TimerLink& link) : link_(link) {}
  ~Presence() { Leave(); }
  Presence(const Presence&) = delete;
  Presence& operator=(const Presence&) = delete;
  // True while the timer may be read; false once it is being released.
  bool Enter() {
    // Sequentially consistent, both: the worker's side of the inside/released
    // pair, against Release's store and AwaitWorkersOut's load.
    if (!entered_) {
      link_.inside_.fetch_add(1, std::memory_order_seq_cst);
      entered_ = true;
    }
    if (!link_.released_.load(std::memory_order_seq_cst)) return true;
    Leave();
    return false;
  }
  // Release, pairing with AwaitWorkersOut's load of `inside`: this thread's
  // reads of the timer happen before the destruction frees it.
  void Leave() {
    if (entered_) link_.inside_.fetch_sub(1, std::memory_order_release);
    entered_ = false;
  }

 private:
  TimerLink& link_;
  bool entered_ = false;
};

// A thread reading or writing FTimerThread, for one scope.
class WorkerPointerUse {
 public:
  // Sequentially consistent: the timer's side of the
  // workerPointerUsers/FTimerThread pair, against Detach's clear of
  // FTimerThread and AwaitNoWorkerPointerUsers's load.
  explicit WorkerPointerUse(TimerLink& link) : link_(link) {
    link_.workerPointerUsers_.fetch_add(1, std::memory_order_seq_cst);
  }
  // Release, pairing with AwaitNoWorkerPointerUsers: this thread's use of the
  // worker happens before the worker frees itself.
  ~WorkerPointerUse() { link_.workerPointerUsers_.fetch_sub(1, std::memory_order_release); }
  WorkerPointerUse(const WorkerPointerUse&) = delete;
  WorkerPointerUse& operator=(const WorkerPointerUse&) = delete;

 private:
  TimerLink& link_;
};

// A timer's fire step (DoTimer) running on this thread, for its scope. A
// `delete` off the main thread inside any fire step is handed over: the
// deleting handler never waits for another handler that may wait for it.
class FireStep {
 public:
  FireStep() { ++depth_; }
  ~FireStep() { --depth_; }
  FireStep(const FireStep&) = delete;
  FireStep& operator=(const FireStep&) = delete;
  static bool AnyOnThisThread() { return depth_ > 0; }

 private:
  static thread_local int depth_;
};

}  // namespace Qevtimer::detail
