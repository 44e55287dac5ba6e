// Internal to the timer unit: the lifetime protocol between a timer and its
// workers, in one type (TimerLink) and its scoped helpers. QevTimerLink.pml
// models the destruction's side of it.
#pragma once

#include <atomic>
#include <cstdint>

#include "QevTimer.hpp"

namespace Qevtimer::detail {

// ---------------------------------------------------------------------------
// Lifetime between a timer and its workers.
//
// Workers read the timer's fields, and the timer refers to its current
// worker, while either may be freed by another thread. The link, counted by
// the timer, by every worker and by each queued call of the protocol, closes
// both gaps without a lock, and holds the worker slot.
//
// Readers of the timer. A worker reads the timer only between Enter and
// Leave, and Enter fails once the destruction has begun (Release). The
// destruction then settles (Settle) with the workers still inside:
//  - none inside: the timer is freed now;
//  - some inside that it can wait for: it waits, serving meanwhile (on the
//    main thread) this timer's own workers' calls to the main thread and
//    nothing else (TThread::ServeGroup), since a worker's handler may wait
//    for one of them;
//  - only workers it cannot wait for, because the main thread is running
//    their Synchronize calls further up its own stack (a modal loop inside a
//    call, a synchronized handler): the timer is abandoned. It stays
//    allocated, stopped and out of its owner's list; the last of them to
//    leave queues its disposal to the main thread (RunDisposal), which
//    destroys and frees it.
// One word holds the count and both marks, so that each of these decisions
// is one compare-and-swap against the workers' counting.
//
// The worker slot. Every thread that uses the slot counts itself in
// `slotUsers` for the time of that use (SlotUse): the main thread, and a
// worker whose handler stops or starts its own timer, possibly while the main
// thread is still storing that very worker (so a count, not a flag one of
// them could clear under the other). An ending worker clears the slot (if it
// still names itself) between two waits for the count to reach zero
// (WorkerEnds), so a worker that ended by itself counts as absent and is
// never touched after it is freed.
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
// never overlap. A timer no longer alive never starts a worker again
// (StartWorker looks after storing it).
//
// Memory orders. Three pairs are store-then-load on two variables (Dekker):
// `state` and `released` (a worker counts itself in, then looks; the
// destruction releases, then counts), `slotUsers` and the slot (a user counts
// itself, then reads the worker; an ending worker clears it, then counts),
// and the slot and `disposal` (a start stores its worker, then looks; a
// hand-over claims, then empties the slot). Each of those accesses is
// sequentially consistent: with acquire and release alone both threads may
// read the old value and miss each other. The counts are given up with
// release, so that what a thread did to the timer (or the worker) happens
// before the access that lets another free it.
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

  // The dispatch group of the timer's workers, never another timer's.
  System::Classes::TDispatchGroup Group() const noexcept { return group_; }

  // --- Who destroys the timer -----------------------------------------------
  bool Claim(bool onMainThread);
  bool ClaimHandOver();
  // Whether no destruction has begun or been handed over.
  bool Alive() const { return disposal_.load(std::memory_order_seq_cst) == kAlive; }
  // Takes a reference for the call and queues it. After ClaimHandOver, with
  // the caller still inside (so a destruction begun meanwhile waits for it).
  void QueueHandOver();
  static void RunHandOver(void* link);

  // A synchronized tick of `timer`: the call its workers hand the main thread.
  static System::Classes::TThreadMethod Tick(TQevTimer* timer);

  // --- Readers of the timer ---------------------------------------------------
  // Counts the caller in; true if it may read the timer until Leave, false
  // (counted out again) once the destruction has begun.
  bool Enter();
  // Release: this thread's reads of the timer happen before it is freed. The
  // last worker out of an abandoned timer queues its disposal.
  void Leave();

  // --- The destruction --------------------------------------------------------
  // No worker enters from now on. Sequentially consistent, against Enter's
  // load (the state/released pair).
  void Release() { released_.store(true, std::memory_order_seq_cst); }
  // Acquire, pairing with Release's store: a worker back from a call in which
  // the handler destroyed the timer sees it here and leaves untouched.
  bool Released() const { return released_.load(std::memory_order_acquire); }
  // After Release: drops the timer's queued synchronized ticks, then waits
  // until the workers inside have left, or, where `mayAbandon` and the only
  // ones left are those the main thread is running calls of further up its
  // stack, abandons the timer to them. True: free the timer now; false: it is
  // abandoned.
  bool Settle(bool mayAbandon);
  void Finish();

  // --- The worker slot ---------------------------------------------------------
  // Takes the current worker out, if any, and tells it to terminate.
  void StopWorker();
  // Makes a worker with `make` and stores it, unless a handler stored another
  // meanwhile, or the timer stopped being alive: then the new worker is told
  // to terminate.
  template <class Make>
  void StartWorker(Make make);
  void SetWorkerPriority(TThreadPriority priority);
  // An ending worker, on its own thread: afterwards nothing uses it through
  // the slot.
  void WorkerEnds(TTimerThread* worker);

 private:
  friend class SlotUse;
  ~TimerLink() = default;
  void AwaitNoSlotUsers() const;
  void PostDisposal();
  static void RunDisposal(void* link);

  enum Disposal : int { kAlive, kHandedOver, kDestroying };
  // `state`: the workers inside, in units of kInside, and two marks.
  static constexpr std::uint32_t kAbandoned = 1;  // the last one out disposes
  static constexpr std::uint32_t kDisposing = 2;  // the disposal is decided
  static constexpr std::uint32_t kInside = 4;

  std::atomic<int> references_{1};
  std::atomic<bool> released_{false};
  std::atomic<std::uint32_t> state_{0};
  std::atomic<int> disposal_{kAlive};
  // True while the hand-over call is queued: that call holds a reference.
  // Cleared on the main thread, by that call as it runs or by Finish as it
  // cancels it; whichever clears it drops the reference.
  std::atomic<bool> handOverQueued_{false};
  std::atomic<TTimerThread*> worker_{nullptr};
  std::atomic<int> slotUsers_{0};
  TQevTimer* const timer_;
  const System::Classes::TDispatchGroup group_ = TThread::NewDispatchGroup();
};

// A thread using the worker slot, for one scope.
class SlotUse {
 public:
  // Sequentially consistent: the user's side of the slotUsers/slot pair,
  // against WorkerEnds's clear and its load of the count.
  explicit SlotUse(TimerLink& link) : link_(link) { link_.slotUsers_.fetch_add(1, std::memory_order_seq_cst); }
  // Release, pairing with AwaitNoSlotUsers: this thread's use of the worker
  // happens before the worker frees itself.
  ~SlotUse() { link_.slotUsers_.fetch_sub(1, std::memory_order_release); }
  SlotUse(const SlotUse&) = delete;
  SlotUse& operator=(const SlotUse&) = delete;

 private:
  TimerLink& link_;
};

template <class Make>
void TimerLink::StartWorker(Make make) {
  const SlotUse use(*this);
  TTimerThread* worker = make();
  // The new worker's first tick may already have restarted this timer from
  // its handler, storing the worker that replaces it: then ours is the
  // replaced one. Storing over that worker would leave two running.
  TTimerThread* none = nullptr;
  if (!worker_.compare_exchange_strong(none, worker, std::memory_order_seq_cst)) {
    worker->Terminate();
    return;
  }
  // A hand-over that claimed the timer before our store may have found the
  // slot empty: take our worker back (unless it did).
  if (!Alive() && worker_.compare_exchange_strong(worker, nullptr, std::memory_order_seq_cst)) worker->Terminate();
}

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
    if (!entered_) return entered_ = link_.Enter();
    // Counted in already, so a destruction waits for us whatever this load
    // sees: acquire is enough here.
    if (!link_.Released()) return true;
    Leave();
    return false;
  }
  void Leave() {
    if (entered_) link_.Leave();
    entered_ = false;
  }

 private:
  TimerLink& link_;
  bool entered_ = false;
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
