/*
 * The wake hook's retirement (WakeHook.hpp, WakeHook.cpp: WakeCall and
 * WakeHook::Replace), explored by SPIN.
 *
 *   spin -a WakeHook.pml && cc -O2 -DSAFETY -o pan pan.c && ./pan
 *   spin -DNO_RECHECK -a WakeHook.pml ...   without the caller's re-check:
 *                                           must fail
 *
 * Modelled: two threads that queue a call, each making two hook calls
 * (WakeCall), and two threads that replace the hook once each
 * (SetWakeMainThread), so that both slots are reused. Hooks 1 (installed
 * first), 2 and 3; a hook is retired once the Replace that took it out has
 * returned. Checked: a call of a hook begins and ends only while that hook
 * is not retired, and nobody blocks for good (no invalid end state: every
 * Replace's wait for the old slot ends).
 *
 * With -DNO_RECHECK, the caller counts itself in the slot of the generation
 * it read and calls that slot's hook at once: a replacement may have found
 * the slot empty in between and returned.
 *
 * Abstracted, and why that is sound:
 *  - Each atomic access is one step, all sequentially consistent (as the
 *    code's are, but for the draining flag's clear, which only spares wakes).
 *  - The retiring lock is a flag taken and given back in one step each;
 *    Replace's reads and writes of the hooks array happen under it, and a
 *    caller reads only the slot of a generation that is current.
 *  - The system's wait on a slot's count is a flag per slot, set only if the
 *    count still holds the value waited on, in one step; a wake clears it
 *    only if set, so a wake before the sleep is lost, as in the code.
 *    Spurious returns are left out (Replace loads the count again anyway).
 *  - The hook's body is its first and its last step, each asserting that its
 *    hook is not retired; what it does in between touches nothing here.
 *  - A hook that is null (no call) and the refusal of a Replace from inside
 *    a hook are left out: neither changes the counting.
 */

byte hooks[2];       /* WakeHook::hooks_ */
byte generation;     /* WakeHook::generation_ */
byte calls[2];       /* WakeHook::calls_ */
bool draining;       /* WakeHook::draining_ */
bool retiring;       /* WakeHook::retiring_, the lock */
bool asleep[2];      /* a Replace sleeps in the system's wait on calls[i] */
bool retired[4];     /* hook h has been replaced and Replace returned */
byte nextHook = 2;

/* The wake hook: the application's code, called by WakeCall::Run. */
inline HookBody(h) {
  assert(!retired[h]);  /* the call begins */
  assert(!retired[h])   /* the call ends */
}

/* WakeCall::Leave: calls_->fetch_sub(1), and the wake of a draining
 * Replace by the last call out. */
inline Leave() {
  atomic { prev = calls[slot]; calls[slot]-- };
  if
  :: prev == 1 && draining ->  /* draining_.load() */
     atomic { if :: asleep[slot] -> asleep[slot] = false :: else -> skip fi }  /* WakeOne(calls_) */
  :: else -> skip
  fi
}

/* Enqueue's hook call, on a queueing thread: WakeCall, Run, ~WakeCall. */
proctype Waker() {
  byte g, slot, prev, h, n;
  for (n : 1 .. 2) {
#ifdef NO_RECHECK
    /* WakeCall: generation_.load() */
    g = generation;
    slot = g & 1;
    /* WakeCall: calls_[g & 1].fetch_add(1), then hook_ = hooks_[g & 1] */
    calls[slot]++;
    h = hooks[slot];
#else
    do
    :: /* WakeCall: g = generation_.load() */
       g = generation;
       slot = g & 1;
       /* WakeCall: calls_[g & 1].fetch_add(1) */
       calls[slot]++;
       /* WakeCall: generation_.load() == g: still current, hook_ = hooks_[g & 1] */
       if
       :: generation == g -> h = hooks[slot]; break
       :: else -> Leave()  /* moved on: leave the slot and read again */
       fi
    od;
#endif
    /* WakeCall::Run: hook_(nullptr) */
    HookBody(h);
    /* ~WakeCall: Leave */
    Leave();
    g = 0; slot = 0; prev = 0; h = 0
  }
}

/* SetWakeMainThread on any thread: WakeHook::Replace. */
proctype Replacer() {
  byte g, n, hook, old;
  /* Replace: lock_guard turn(retiring_) */
  atomic { !retiring -> retiring = true; hook = nextHook; nextHook++ };
  /* Replace: g = generation_.load() (only a replacement changes it) */
  g = generation;
  /* Replace: hooks_[(g + 1) & 1] = hook */
  hooks[(g + 1) & 1] = hook;
  /* Replace: generation_.store(g + 1) */
  generation = g + 1;
  /* Replace: draining_.store(true) */
  draining = true;
  /* Replace: wait until calls_[g & 1] is zero */
  do
  :: n = calls[g & 1];  /* calls.load() */
     if
     :: n == 0 -> break
     :: else ->
        /* WaitWhile(calls, n) */
        atomic { if :: calls[g & 1] == n -> asleep[g & 1] = true :: else -> skip fi };
        !asleep[g & 1]
     fi
  od;
  /* Replace: draining_.store(false) */
  draining = false;
  /* Replace: return hooks_[g & 1], and leave the lock */
  atomic { old = hooks[g & 1]; retiring = false };
  /* SetWakeMainThread has returned: the old hook is retired */
  retired[old] = true
}

init {
  hooks[0] = 1;
  atomic {
    run Waker();
    run Waker();
    run Replacer();
    run Replacer()
  }
}
