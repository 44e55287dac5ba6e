/*
 * A timer's lifetime between its destruction on the main thread and its
 * workers (QevTimerLink.hpp, QevTimerLink.cpp: TimerLink::Enter, Leave,
 * Release, Settle, PostDisposal, RunDisposal; QevTimer.cpp: TQevTimer's
 * operator delete, Dispose, BeginDestruction), explored by SPIN.
 *
 *   spin -a QevTimerLink.pml && cc -O2 -DSAFETY -o pan pan.c && ./pan
 *   spin -DBEFORE -a QevTimerLink.pml ...   the earlier destruction: must fail
 *
 * Modelled: the main thread frees the timer, either from inside the
 * Synchronize call of worker W1's handler (a modal loop in that call: the
 * destruction cannot wait for W1, whose call runs further down the main
 * thread's stack) or from its own loop (it then waits for W1 and serves W1's
 * call meanwhile). W1 is inside, asks the main thread for that call, reads
 * the timer once the call has returned, and leaves. W2 (a handler on its own
 * worker) and W3 (a replaced worker that wakes up late) each enter at any
 * moment, read the timer if they got in, and leave. The main thread then
 * serves the disposal that the last worker out queues, if the destruction
 * abandoned the timer. Checked: nobody reads the timer once it is freed (a
 * reader count, asserted zero at the free, and each read asserts the timer
 * is live); it is freed at most once; when nothing can move any more it has
 * been freed and no disposal is left queued; nobody blocks for good.
 *
 * With -DBEFORE, the destruction as it was: no abandoned state; it frees the
 * timer as soon as no more workers are inside than it has calls running
 * below it (inside <= GroupCallsRunning), and leaving only counts out.
 *
 * Abstracted, and why that is sound:
 *  - Each atomic access is one step, all sequentially consistent (the
 *    accesses the decisions depend on are; the others are releases whose
 *    only role is to order the readers' reads before the free, which the
 *    reader count stands for here).
 *  - The timer's fields are one flag `freed`; a read is an assertion on it.
 *  - The destruction's pause, the stop of the worker and the removal of
 *    queued ticks are left out: they decide nothing in this protocol.
 *  - The main thread's dispatch is W1's one Synchronize request and the
 *    disposal call; GroupCallsRunning is `running`, which only the main
 *    thread changes. Running W1's call from inside the destruction's wait is
 *    one step: W1's handler waits meanwhile, and no other state changes.
 *  - Settle's Sleep(1), when no call of its workers is queued, waits until
 *    the state word moves or W1's call is queued: the next look depends on
 *    nothing else, and a wait that nothing ends here is one that would look
 *    for ever in the code.
 */

#define INSIDE    4  /* one worker inside */
#define ABANDONED 1  /* TimerLink::kAbandoned */
#define DISPOSING 2  /* TimerLink::kDisposing */

byte state;            /* TimerLink::state_ */
bool released;         /* TimerLink::released_ */
bool freed;            /* the timer's memory is gone */
byte readers;          /* workers between a successful Enter and their Leave */
byte running;          /* TThread::GroupCallsRunning(group) */
bool w1Queued;         /* W1's Synchronize request is queued */
bool w1Ran;            /* ... and has run (Finish) */
byte disposalQueued;   /* TimerLink::PostDisposal's calls queued */
byte workersDone;

/* The timer's memory goes: TObject's destroying operator delete. */
inline Free() {
  atomic { assert(!freed && readers == 0); freed = true }
}

/* TimerLink::Leave on a worker: the count goes down, and the last one out of
 * an abandoned timer queues its disposal. */
inline Leave() {
  atomic {
    prev = state;  /* state_.fetch_sub(kInside) */
    state = state - INSIDE;
    if :: reading -> readers--; reading = false :: else -> skip fi
  };
#ifndef BEFORE
  if
  :: prev == INSIDE + ABANDONED ->
     /* Leave: state_.compare_exchange_strong(kAbandoned, kAbandoned + kDisposing) */
     atomic {
       if
       :: state == ABANDONED -> state = ABANDONED + DISPOSING; post = true
       :: else -> post = false
       fi
     };
     if
     :: post -> disposalQueued++  /* TimerLink::PostDisposal */
     :: else -> skip
     fi
  :: else -> skip
  fi
#endif
}

/* TimerLink::Enter on a worker: counts itself in, then looks. */
inline Enter() {
  state = state + INSIDE;  /* state_.fetch_add(kInside) */
  atomic {                 /* released_.load() */
    if
    :: released -> entered = false
    :: else -> entered = true; reading = true; readers++
    fi
  };
  if
  :: !entered -> Leave()  /* Enter: too late, leave again */
  :: else -> skip
  fi
}

/* W1: a worker-thread handler that asks the user through the main thread. */
active proctype W1() {
  byte prev;
  bool entered, reading, post;
  /* TTimerThread::Execute: Presence::Enter */
  Enter();
  if
  :: entered ->
     assert(!freed);       /* DoTimer / OnTimer read the timer */
     w1Queued = true;      /* TThread::Synchronize(AskUser): Enqueue */
     w1Ran;                /* Synchronize: AwaitFinish */
     assert(!freed);       /* OnTimer: Sender->Interval() after Synchronize */
     Leave()               /* Presence::Leave */
  :: else -> skip
  fi;
  workersDone++
}

/* W2, a handler on its own worker that may be inside when the destruction
 * begins, and W3, a replaced worker that wakes up late: each enters at any
 * moment and reads the timer if it got in. */
proctype Worker() {
  byte prev;
  bool entered, reading, post;
  /* TTimerThread::Execute: Presence::Enter */
  Enter();
  if
  :: entered ->
     assert(!freed);  /* DoTimer reads the timer */
     Leave()          /* Presence::Leave */
  :: else -> skip
  fi;
  workersDone++
}

/* Settle's wait, on the main thread: TThread::ServeGroup runs W1's call if
 * it is queued, or else Sleep(1). */
inline ServeOrSleep() {
  if
  :: w1Queued -> atomic { w1Queued = false; w1Ran = true }  /* ServeGroup: W1's call */
  :: else -> (state != s || w1Queued)                        /* Sleep(1) */
  fi
}

/* TQevTimer::Dispose on the main thread. */
inline Dispose() {
  /* BeginDestruction: TimerLink::Release */
  released = true;
#ifdef BEFORE
  /* AwaitWorkersOut: wait until inside <= GroupCallsRunning, then free */
  do
  :: s = state;
     if
     :: s / INSIDE <= running -> Free(); break
     :: else -> ServeOrSleep()
     fi
  od
#else
  /* TimerLink::Settle(true) */
  do
  :: s = state;  /* Settle: state_.load() */
     n = s / INSIDE;
     if
     :: n == 0 ->
        /* Settle: compare_exchange_strong(s, s | kDisposing); Dispose frees */
        atomic { if :: state == s -> state = s | DISPOSING; done = true :: else -> done = false fi };
        if :: done -> Free(); break :: else -> skip fi
     :: n > 0 && n <= running ->
        /* Settle: compare_exchange_strong(s, s | kAbandoned); Dispose
         * returns and the timer stays */
        atomic { if :: state == s -> state = s | ABANDONED; done = true :: else -> done = false fi };
        if :: done -> abandoned = true; break :: else -> skip fi
     :: else -> ServeOrSleep()
     fi
  od
#endif
}

/* The main thread: TQevTimer's operator delete, Claim, then Dispose. */
active proctype Main() {
  byte s, n;
  bool done, abandoned;
  if
  :: /* CheckSynchronize runs W1's call (RunCall), a modal loop that frees
      * the timer: the destruction runs inside it */
     w1Queued -> atomic { w1Queued = false; running = 1 };
     Dispose();
     /* RunCall: the call returns, Finish */
     atomic { running = 0; w1Ran = true }
  :: /* the application's loop frees the timer */
     Dispose()
  fi;
  /* CheckSynchronize: TimerLink::RunDisposal, once the last worker out of an
   * abandoned timer queued it */
  if
  :: abandoned -> disposalQueued > 0; atomic { disposalQueued--; Free() }
  :: else -> skip
  fi
}

init {
  atomic {
    run Worker();  /* W2 */
    run Worker()   /* W3 */
  }
}

/* Once nothing can move: the timer has been freed, and no disposal waits. */
active proctype NoLeak() {
  timeout -> assert(freed && disposalQueued == 0)
}
