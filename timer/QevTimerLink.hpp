// Internal to the timer unit: the lifetime protocol between a timer and its
// workers.
#pragma once

#include <atomic>
#include <thread>

#include "QevTimer.hpp"

namespace Qevtimer {

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
extern thread_local FireFrame* firing;

int FireFramesOnThisThread(const TQevTimer* timer);

bool OnMainThread();

// The hand-over call, run by the main thread's dispatch.
void RunHandOver(void* data);

}  // namespace detail

}  // namespace Qevtimer
