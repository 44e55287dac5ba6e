/*
 * The main thread's wait for a queued call (ArrivalSignal.hpp, and its use in
 * Dispatch.cpp: Enqueue, Withdraw, Queued, AwaitArrival, Serve,
 * RemoveQueuedEvents), explored by SPIN.
 *
 *   spin -a ArrivalSignal.pml && cc -O2 -DSAFETY -o pan pan.c && ./pan
 *   spin -DBEFORE -a ArrivalSignal.pml ...   the earlier wait: must fail
 *
 * Modelled: three Synchronize callers. Each pushes its request, announces it
 * (Notify) and calls the wake hook. The hooks of A and C may raise, after
 * which their callers take their requests back (Withdraw) unless the main
 * thread has them; B's hook returns. A fourth thread drops A's request once,
 * at any moment (RemoveQueuedEvents). The main thread serves the dispatch
 * for ever: it waits for an arrival (AwaitArrival), then runs what is queued
 * (CheckSynchronize's round). Checked: when nothing can move any more, no
 * request is queued, so the main thread never sleeps for good while a call
 * waits (and every Synchronize caller returns).
 *
 * With -DBEFORE, the wait as it was: a counter `arrivals` and a wake token
 * `awaited` taken by the first caller after the main thread announced its
 * wait. A caller whose request leaves the queue before the main thread looks
 * (withdrawn or dropped) has taken the token; the main thread then sleeps
 * on a count that has already moved past that caller, and the next caller
 * finds no token and wakes nobody.
 *
 * Abstracted, and why that is sound:
 *  - Each atomic access is one step, all sequentially consistent (the code's
 *    accesses that this depends on are; the rest are ordered by the lock).
 *  - The queue is one state per request: which request is where, not the
 *    order of the lists. The property does not depend on order.
 *  - Each section under the dispatch's lock is one indivisible step: it
 *    touches only data guarded by the lock, besides one exchange of
 *    `incoming` (Collect) at its start.
 *  - CheckSynchronize's round runs everything queued in one step; the code
 *    takes the calls one by one and unlocks between them, where another
 *    thread may drop one: that is the same as dropping it before the round.
 *  - The system's wait on a word is a flag `asleep`, set only if the word
 *    still holds the value waited on, in one step (as the system compares
 *    and sleeps); a wake clears it only if it is set, so a wake before the
 *    sleep is lost, as in the code. Spurious returns are left out (they
 *    only add another look at the queue), and so is the timeout: a wait
 *    that only a timeout would end is the fault looked for.
 *  - The wake hook's retirement is left out (WakeHook.pml).
 */

#define NREQ 3
#define A 0
#define B 1
#define C 2

/* Where a request is. */
#define IDLE      0 /* not queued yet */
#define INCOMING  1 /* pushed onto Dispatch::incoming */
#define LISTED    2 /* moved to the list (Collect) */
#define RAN       3 /* taken and run by the main thread */
#define DROPPED   4 /* dropped by RemoveQueuedEvents */
#define WITHDRAWN 5 /* taken back by its caller (Withdraw) */

byte req[NREQ];

#define ANY(where) (req[A] == where || req[B] == where || req[C] == where)
#define ENDED(r) (req[r] == RAN || req[r] == DROPPED || req[r] == WITHDRAWN)

bool asleep;  /* the main thread sleeps in the system's wait on the word */

#ifdef BEFORE
byte arrivals;  /* Dispatch::arrivals */
bool awaited;   /* Dispatch::awaited, the wake token */
#else
byte state;     /* ArrivalSignal::state_: bit 0 announced, bits 1.. the epoch */
#endif

/* Collect: moves everything pushed onto `incoming` to the list. Under the
 * lock. */
inline Collect() {
  i = 0;
  do
  :: i < NREQ ->
     if
     :: req[i] == INCOMING -> req[i] = LISTED
     :: else -> skip
     fi;
     i++
  :: else -> break
  od
}

/* sync::WakeOne on the word the main thread waits on: wakes it if it
 * sleeps; nobody else waits there. */
inline WakeOne() {
  atomic { if :: asleep -> asleep = false :: else -> skip fi }
}

#ifndef BEFORE
/* ArrivalSignal::Notify, after the caller's push. */
inline Notify() {
  s = state;  /* state_.load() */
  do
  :: (s & 1) == 0 -> break  /* no wait announced: wake nobody */
  :: else ->
     atomic {  /* compare_exchange_weak(s, (s + 2) & ~1) */
       if
       :: state == s -> state = (s + 2) & 254; won = true
       :: state != s -> s = state; won = false
       :: true -> won = false  /* a weak compare-and-swap may fail anyway */
       fi
     }
     if
     :: won -> WakeOne(); break  /* only the caller that cleared it wakes */
     :: else -> skip
     fi
  od
}
#endif

/* TThread::Synchronize on a caller's thread. */
proctype Caller(byte me; bool mayRaise) {
  byte i;
#ifdef BEFORE
  bool take;
#else
  byte s;
  bool won;
#endif
  /* Enqueue: push onto incoming (seq_cst compare-and-swap) */
  req[me] = INCOMING;
#ifdef BEFORE
  /* Enqueue: arrivals.fetch_add(1) */
  arrivals++;
  /* Enqueue: awaited.load() && awaited.exchange(false) */
  if
  :: awaited -> atomic { take = awaited; awaited = false }
  :: else -> take = false
  fi;
  /* Enqueue: WakeOne(&arrivals) for the caller that took the token */
  if
  :: take -> WakeOne()
  :: else -> skip
  fi;
#else
  /* Enqueue: arrivals.Notify() */
  Notify();
#endif
  /* Enqueue: WakeCall(...).Run(): the application's hook returns, or it
   * raises and Synchronize takes the request back (Withdraw, under the lock:
   * Collect, then unlink ours) */
  if
  :: mayRaise ->
     d_step {
       Collect();
       if
       :: req[me] == LISTED -> req[me] = WITHDRAWN
       :: else -> skip
       fi
     }
  :: true -> skip
  fi;
  /* Synchronize: AwaitFinish (the main thread ran or dropped it), unless
   * withdrawn */
  ENDED(me)
}

/* CheckSynchronize(timeout) on the main thread, in the application's loop. */
active proctype Main() {
  byte i;
#ifdef BEFORE
  byte seen;
#else
  byte key;
  bool found;
#endif
serve:
#ifdef BEFORE
  /* AwaitArrival, as it was */
  do
  :: /* AwaitArrival: awaited.store(true), before each look */
     awaited = true;
     /* AwaitArrival: seen = arrivals.load() */
     seen = arrivals;
     if
     :: ANY(INCOMING) -> break  /* AwaitArrival: incoming.load() */
     :: else -> skip
     fi;
     if
     :: ANY(LISTED) -> break  /* AwaitArrival: d.head, under the lock */
     :: else -> skip
     fi;
     /* AwaitArrival: WaitWhile(arrivals, seen) */
     atomic {
       if
       :: arrivals == seen -> asleep = true
       :: else -> skip
       fi
     }
end_asleep:
     !asleep
  od;
  /* AwaitArrival: the Clear guard, awaited.store(false) */
  awaited = false;
#else
  /* AwaitArrival */
  do
  :: /* ArrivalSignal::PrepareWait: state_.fetch_or(1) | 1 */
     atomic { state = state | 1; key = state };
     if
     :: ANY(INCOMING) -> found = true  /* Queued: incoming.load() */
     :: else -> found = ANY(LISTED)    /* Queued: d.head, under the lock */
     fi;
     if
     :: found ->
        /* ArrivalSignal::CancelWait: compare_exchange_strong(key, key & ~1) */
        atomic { if :: state == key -> state = key & 254 :: else -> skip fi };
        break
     :: else -> skip
     fi;
     /* ArrivalSignal::Wait: WaitWhile(state_, key) */
     atomic {
       if
       :: state == key -> asleep = true
       :: else -> skip
       fi
     }
end_asleep:
     !asleep
  od;
#endif
  /* Serve (CheckSynchronize's round), under the lock: Collect, then run
   * every request listed */
  atomic {
    Collect();
    i = 0;
    do
    :: i < NREQ ->
       if
       :: req[i] == LISTED -> req[i] = RAN
       :: else -> skip
       fi;
       i++
    :: else -> break
    od
  }
  goto serve
}

active proctype Callers() {
  atomic {
    run Caller(A, true);
    run Caller(B, false);
    run Caller(C, true)
  }
}

/* RemoveQueuedEvents(A's object) on another thread, once, at any moment:
 * under the lock, Collect, then drop A's request. */
active proctype Remover() {
  byte i;
  d_step {
    Collect();
    if
    :: req[A] == LISTED -> req[A] = DROPPED
    :: else -> skip
    fi
  }
}

/* Once nothing can move, nothing is queued: the main thread does not sleep
 * for good while a call waits. */
active proctype NoLostWakeUp() {
  timeout -> assert(!ANY(INCOMING) && !ANY(LISTED))
}
