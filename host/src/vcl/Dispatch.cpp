// The main-thread dispatch: the calls other threads hand to the main thread
// (TThread::Synchronize, Queue and a component's own calls), their queue, and
// their serving on the main thread (CheckSynchronize, TThread::ServeGroup).
#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <mutex>

#include "ArrivalSignal.hpp"
#include "System.Classes.hpp"
#include "WakeHook.hpp"
#include "sync.hpp"

namespace System::Classes {
namespace {

// A call waiting for the main thread; the queue links the requests. A
// Synchronize call's belongs to its caller, a Queue call's to the dispatch.
// The caller of Synchronize waits on its own request's state alone, so
// finishing one call wakes one caller.
struct SyncRequest {
  enum State : std::uint32_t { kQueued, kRan, kDropped };
  TThreadMethod method;
  std::exception_ptr error;  // written before the state leaves kQueued
  // The next request: in Dispatch::incoming, the one pushed before; in the
  // list, the one queued after (guarded by Dispatch::lock).
  SyncRequest* next = nullptr;
  std::atomic<std::uint32_t> state{kQueued};
  bool owned = false;        // made by Queue: nobody waits, the dispatch frees it
  TDispatchGroup group = 0;  // set before queueing
  // A Queue call's holders: the dispatch, and the queueing thread while it
  // may still take the call back (until its Enqueue has returned); the last
  // to let go frees it (Release).
  std::atomic<std::uint8_t> holders{1};
};

// Lets go of a Queue call's request; the last holder frees it. Acquire and
// release: the other holder's last use happens before the delete.
void Release(SyncRequest* r) {
  if (r->holders.fetch_sub(1, std::memory_order_acq_rel) == 1) delete r;
}

// A request the main thread is running, innermost first: a running call may
// serve the dispatch again (CheckSynchronize, ServeGroup), which pushes more.
struct RunningCall {
  const SyncRequest* request;
  RunningCall* outer;
};

// The queue has two parts. Callers push onto `incoming` with one
// compare-and-swap and take no lock, so that many threads queueing at once
// never wait for each other or for a preempted lock holder. Whoever takes
// calls out (the main thread; RemoveQueuedEvents and Withdraw on any thread)
// does so under `lock`, after moving `incoming` to the end of the list in
// queue order (Collect).
struct Dispatch {
  std::atomic<SyncRequest*> incoming{nullptr};  // newest first
  sync::Lock lock;
  SyncRequest* head = nullptr;  // oldest first; guarded by lock
  SyncRequest* tail = nullptr;  // guarded by lock
  // CheckSynchronize's wait for a call to arrive.
  ArrivalSignal arrivals;
  WakeHook wake;
  // Exceptions not yet rethrown by CheckSynchronize, oldest first: of Queue
  // calls, and of wake hooks that a component's own call met. Guarded by
  // lock.
  std::deque<std::exception_ptr> kept;
  // kept's size, for a look without the lock: written under it.
  std::atomic<std::size_t> keptCount{0};
  // The calls the main thread is running; the main thread's alone.
  RunningCall* running = nullptr;
};

Dispatch& dispatch() {
  static Dispatch d;
  return d;
}

void Keep(Dispatch& d, std::exception_ptr error) {
  std::lock_guard guard(d.lock);
  d.kept.push_back(std::move(error));
  d.keptCount.store(d.kept.size(), std::memory_order_release);
}

// Takes the oldest kept exception, if any.
std::exception_ptr TakeKept(Dispatch& d) {
  // Acquire, pairing with Keep's release: an exception kept before what this
  // thread has seen is found without the lock.
  if (d.keptCount.load(std::memory_order_acquire) == 0) return nullptr;
  std::lock_guard guard(d.lock);
  if (d.kept.empty()) return nullptr;
  std::exception_ptr oldest = std::move(d.kept.front());
  d.kept.pop_front();
  d.keptCount.store(d.kept.size(), std::memory_order_relaxed);
  return oldest;
}

// Moves the calls pushed since the last time to the end of the list. The
// caller holds d.lock.
void Collect(Dispatch& d) {
  // Acquire pairs with the release push in Enqueue: the request's fields
  // are seen.
  SyncRequest* pushed = d.incoming.exchange(nullptr, std::memory_order_acquire);
  if (!pushed) return;
  SyncRequest* const last = pushed;  // the oldest, once reversed
  SyncRequest* first = nullptr;
  while (pushed) {
    SyncRequest* next = pushed->next;
    pushed->next = first;
    first = pushed;
    pushed = next;
  }
  (d.tail ? d.tail->next : d.head) = first;
  d.tail = last;
}

// Takes `r`, which follows `before` (null: r is the head), out of the list.
// The caller holds d.lock.
void Unlink(Dispatch& d, SyncRequest* before, SyncRequest* r) {
  (before ? before->next : d.head) = r->next;
  if (d.tail == r) d.tail = before;
}

// Queues `r` and wakes the main thread: a CheckSynchronize waiting for an
// arrival, and the application's loop through the wake hook. An exception
// from the hook passes on, with `r` still queued.
void Enqueue(Dispatch& d, SyncRequest* r) {
  // Sequentially consistent (and so a release, pairing with the acquire
  // exchange in Collect): the push is the work that Notify announces.
  r->next = d.incoming.load(std::memory_order_relaxed);
  while (!d.incoming.compare_exchange_weak(r->next, r, std::memory_order_seq_cst, std::memory_order_relaxed)) {
  }
  d.arrivals.Notify();
  WakeCall(d.wake).Run();
}

// Enqueue for a component's own call: a raising hook leaves the call queued
// and its exception kept.
void EnqueueOwn(Dispatch& d, SyncRequest* r) {
  try {
    Enqueue(d, r);
  } catch (...) {
    Keep(d, std::current_exception());
  }
}

// Takes `r` out of the queue if the main thread has not taken it yet;
// returns whether it did. `r` may have run already, but it is still its
// caller's (a Synchronize call's, or a Queue call's that its caller holds),
// so no other request can have its address.
bool Withdraw(Dispatch& d, const SyncRequest* r) {
  std::lock_guard guard(d.lock);
  Collect(d);
  SyncRequest* before = nullptr;
  for (SyncRequest* q = d.head; q; before = q, q = q->next) {
    if (q == r) {
      Unlink(d, before, q);
      return true;
    }
  }
  return false;
}

// Ends a request that has left the queue, run or dropped: the dispatch lets
// go of a Queue call's; a Synchronize call's goes back to its caller. The
// release store pairs with the caller's acquire load in AwaitFinish, which
// then sees `error`. From the store on, the request belongs to its caller and
// may be gone: the wake uses only its address.
void Finish(SyncRequest* r, SyncRequest::State state) {
  if (r->owned) {
    Release(r);
    return;
  }
  std::atomic<std::uint32_t>* word = &r->state;
  word->store(state, std::memory_order_release);
  sync::WakeOne(word);
}

// Waits until the main thread has run or dropped a Synchronize request, and
// says which. Acquire pairs with the release store in Finish.
SyncRequest::State AwaitFinish(const SyncRequest& r) {
  std::uint32_t state;
  while ((state = r.state.load(std::memory_order_acquire)) == SyncRequest::kQueued)
    sync::WaitWhile(r.state, SyncRequest::kQueued);
  return static_cast<SyncRequest::State>(state);
}

// Runs a request that has left the queue, on the main thread, and ends it. A
// Synchronize call's exception goes back to its caller; a Queue call's is
// kept for a later CheckSynchronize.
void RunCall(Dispatch& d, SyncRequest* r) {
  RunningCall frame{r, d.running};
  d.running = &frame;
  try {
    r->method();
  } catch (...) {
    r->error = std::current_exception();
  }
  d.running = frame.outer;
  if (r->owned && r->error) Keep(d, r->error);
  Finish(r, SyncRequest::kRan);
}

// Runs, in queue order, the calls queued now that `group` selects (null:
// every call), one at a time: a call may drop later ones
// (RemoveQueuedEvents), and callers that queue again while they run wait for
// the next time. Returns whether any ran. Main thread only.
bool Serve(Dispatch& d, const TDispatchGroup* group) {
  auto selected = [group](const SyncRequest* r) { return !group || r->group == *group; };
  std::unique_lock guard(d.lock);
  Collect(d);
  std::size_t pending = 0;
  for (const SyncRequest* r = d.head; r; r = r->next) pending += selected(r);
  const bool any = pending > 0;
  for (; pending > 0; --pending) {
    SyncRequest* before = nullptr;
    SyncRequest* r = d.head;
    for (; r && !selected(r); r = r->next) before = r;
    if (!r) break;  // dropped meanwhile by RemoveQueuedEvents
    Unlink(d, before, r);
    guard.unlock();
    RunCall(d, r);
    if (pending == 1) break;  // the round's last: no need for the lock again
    guard.lock();
  }
  return any;
}

// Whether a call waits to be served: pushed, or already collected into the
// list by another thread (RemoveQueuedEvents, Withdraw).
bool Queued(Dispatch& d) {
  // Sequentially consistent: the waiter's look, after its PrepareWait.
  if (d.incoming.load(std::memory_order_seq_cst)) return true;
  std::lock_guard guard(d.lock);
  return d.head != nullptr;
}

// Waits until a call is queued or `timeoutMs` has passed.
void AwaitArrival(Dispatch& d, int timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    // Announced before each look at the queue (ArrivalSignal.hpp).
    const ArrivalSignal::Key key = d.arrivals.PrepareWait();
    // Whole milliseconds left; less than one is not worth another wait.
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0 || Queued(d)) {
      d.arrivals.CancelWait(key);
      return;
    }
    d.arrivals.Wait(key, static_cast<int>(left));
  }
}

// Drops the queued calls that `match` selects; their callers return.
template <class Match>
void Drop(Match match) {
  Dispatch& d = dispatch();
  SyncRequest* dropped = nullptr;  // unlinked, finished once the lock is left
  {
    std::lock_guard guard(d.lock);
    Collect(d);
    SyncRequest* before = nullptr;
    for (SyncRequest* r = d.head; r;) {
      SyncRequest* const next = r->next;
      if (match(r->method)) {
        Unlink(d, before, r);
        r->next = dropped;
        dropped = r;
      } else {
        before = r;
      }
      r = next;
    }
  }
  while (SyncRequest* r = dropped) {
    dropped = r->next;  // read before the caller may take `r` back
    Finish(r, SyncRequest::kDropped);
  }
}

// A request of the calling thread (Synchronize, Queue), in its dispatch
// group. On the heap rather than the caller's stack: every thread's stack has
// the same layout, so the callers' state words would share their low address
// bits, and Wine's WaitOnAddress keeps one spinning lock per value of those
// bits.
std::unique_ptr<SyncRequest> NewRequest(TThreadMethod method) {
  auto r = std::make_unique<SyncRequest>();
  r->method = method;
  const TThread* t = TThread::Current();
  r->group = t ? t->DispatchGroup() : 0;
  return r;
}

void RequireMainThread(const char16_t* message) {
  if (!Kernel::IsMainThread()) throw EThread(message);
}

}  // namespace

TDispatchGroup TThread::NewDispatchGroup() noexcept {
  static std::atomic<TDispatchGroup> next{1};
  return next.fetch_add(1, std::memory_order_relaxed);
}

void TThread::Synchronize(TThreadMethod method) {
  if (Kernel::IsMainThread()) {
    method();
    return;
  }
  const auto request = NewRequest(method);
  Dispatch& d = dispatch();
  try {
    Enqueue(d, request.get());
  } catch (...) {
    // The wake hook raised. The request is ours until we return: take it
    // back, or, if the main thread has it already, let that call end first.
    if (!Withdraw(d, request.get())) AwaitFinish(*request);
    throw;
  }
  if (AwaitFinish(*request) == SyncRequest::kDropped)
    throw EThread(u"Synchronize: the call was removed from the queue before it ran");
  if (request->error) std::rethrow_exception(request->error);
}

bool TThread::SynchronizeOwnCall(TThreadMethod method) {
  if (Kernel::IsMainThread()) {
    method();
    return true;
  }
  const auto request = NewRequest(method);
  EnqueueOwn(dispatch(), request.get());
  if (AwaitFinish(*request) == SyncRequest::kDropped) return false;
  if (request->error) std::rethrow_exception(request->error);
  return true;
}

void TThread::Queue(TThreadMethod method) {
  if (Kernel::IsMainThread()) {
    method();
    return;
  }
  auto* request = NewRequest(method).release();
  request->owned = true;
  request->holders.store(2, std::memory_order_relaxed);  // the dispatch's and ours
  Dispatch& d = dispatch();
  try {
    Enqueue(d, request);
  } catch (...) {
    // The wake hook raised: take the call back unless the main thread has
    // it already (it then runs and lets go of it as usual).
    if (Withdraw(d, request)) Release(request);  // for the dispatch
    Release(request);
    throw;
  }
  Release(request);
}

void TThread::QueueOwnCall(TThreadMethod method, TDispatchGroup group) {
  // Never run at once, even on the main thread: the caller may be in the
  // middle of what the call ends (a destruction handed over).
  auto* request = new SyncRequest;
  request->method = method;
  request->group = group;
  request->owned = true;  // the dispatch's alone from the push on
  EnqueueOwn(dispatch(), request);
}

void TThread::RemoveQueuedEvents(const void* object) {
  Drop([object](const TThreadMethod& m) { return m.data == object; });
}

void TThread::RemoveQueuedEvents(TThreadMethod method) {
  Drop([method](const TThreadMethod& m) { return m == method; });
}

bool CheckSynchronize(int timeoutMs) {
  RequireMainThread(u"CheckSynchronize called outside the main thread");
  Dispatch& d = dispatch();
  if (timeoutMs > 0) AwaitArrival(d, timeoutMs);
  const bool any = Serve(d, nullptr);
  if (std::exception_ptr oldest = TakeKept(d)) std::rethrow_exception(oldest);
  return any;
}

bool TThread::ServeGroup(TDispatchGroup group) {
  RequireMainThread(u"ServeGroup called outside the main thread");
  return Serve(dispatch(), &group);
}

int TThread::GroupCallsRunning(TDispatchGroup group) {
  RequireMainThread(u"GroupCallsRunning called outside the main thread");
  int n = 0;
  for (const RunningCall* c = dispatch().running; c; c = c->outer) n += !c->request->owned && c->request->group == group;
  return n;
}

TNotifyEvent SetWakeMainThread(TNotifyEvent hook) { return dispatch().wake.Replace(hook); }

}  // namespace System::Classes
