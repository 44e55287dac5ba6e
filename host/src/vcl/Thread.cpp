#include <chrono>
#include <deque>
#include <memory>
#include <mutex>

#include "System.Classes.Streaming.hpp"
#include "System.Classes.hpp"
#include "sync.hpp"

namespace System::Classes {
namespace {

std::atomic<TThread::TSleepHook> sleepHook{nullptr};
std::atomic<int> activeThreads{0};
thread_local TThread* current = nullptr;

// --- Main-thread dispatch ---------------------------------------------------
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
  bool owned = false;  // made by Queue: nobody waits, the dispatch frees it
  const void* group = nullptr;  // the caller's dispatch group, set before queueing
  // A Queue call's holders: the dispatch, and the queueing thread until its
  // Enqueue has returned; the last to let go frees it (Release).
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
  // Counts queued calls; CheckSynchronize waits for it to move. Bumped after
  // the request is pushed, so a change seen means the queue has it.
  std::atomic<std::uint32_t> arrivals{0};
  // Set by CheckSynchronize before it waits for `arrivals` to move; the
  // first call queued after that clears it and wakes it, the others wake
  // nobody. Fewer wakes, and fewer threads at once in the system's wake
  // call, which under Wine spins on a lock shared by all waiters on the
  // address.
  std::atomic<bool> awaited{false};
  // The wake hook, and its retirement. Generation g's hook is hooks[g & 1]
  // and each of its calls is counted in wakeCalls[g & 1] for the call's
  // time. A replacement writes the other slot's hook, starts the next
  // generation and then waits until the old slot's count is zero, so no
  // call of the replaced hook is under way once SetWakeMainThread returns.
  // Replacements take `retiring` in turn, so at most two generations have
  // calls at any time and two slots suffice (see WakeCall for the caller's
  // side).
  TNotifyEvent hooks[2];  // written under `retiring` only, as said above
  std::atomic<std::uint32_t> generation{0};
  std::atomic<std::uint32_t> wakeCalls[2]{};
  std::atomic<bool> draining{false};  // a replacement waits on wakeCalls
  sync::Lock retiring;
  // The main thread's alone: the calls it is running, and the exceptions of
  // Queue calls not yet rethrown, oldest first.
  RunningCall* running = nullptr;
  std::deque<std::exception_ptr> kept;
};

Dispatch& dispatch() {
  static Dispatch d;
  return d;
}

// The wake hook of the current generation, counted in its generation's slot
// for as long as this lives (see Dispatch).
class WakeCall {
 public:
  explicit WakeCall(Dispatch& d) : d_(d) {
    // Count ourselves in the generation we read, then check that it is
    // still current. If it is, a replacement that starts the next one sees
    // our count and waits for it. If it is not, a replacement may already
    // have found the slot empty: leave it and read again. Sequentially
    // consistent, all four, with the replacement's store and load: of our
    // check and its wait, at least one sees the other.
    for (;;) {
      const std::uint32_t g = d.generation.load(std::memory_order_seq_cst);
      calls_ = &d.wakeCalls[g & 1];
      calls_->fetch_add(1, std::memory_order_seq_cst);
      if (d.generation.load(std::memory_order_seq_cst) == g) {
        hook_ = d.hooks[g & 1];
        return;
      }
      Leave();
    }
  }
  ~WakeCall() { Leave(); }
  WakeCall(const WakeCall&) = delete;
  WakeCall& operator=(const WakeCall&) = delete;
  const TNotifyEvent& hook() const { return hook_; }

 private:
  // Release, pairing with SetWakeMainThread's acquire load: what the hook
  // did happens before the replaced hook's owner may free what it uses.
  // Wakes the replacement only if one waits: sequentially consistent with
  // its store of `draining` and its load of the count, so that either it
  // sees the count at zero or this sees it draining.
  void Leave() {
    if (calls_->fetch_sub(1, std::memory_order_seq_cst) == 1 && d_.draining.load(std::memory_order_seq_cst))
      sync::WakeOne(calls_);
  }

  Dispatch& d_;
  std::atomic<std::uint32_t>* calls_ = nullptr;
  TNotifyEvent hook_;
};

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

// Queues `r` and wakes the main thread: a CheckSynchronize waiting for an
// arrival, and the application's loop through the wake hook. An exception
// from the hook passes on; `r` is then still queued, and the caller takes it
// back (Withdraw).
void Enqueue(Dispatch& d, SyncRequest* r) {
  // Release pairs with the acquire exchange in Collect.
  r->next = d.incoming.load(std::memory_order_relaxed);
  while (!d.incoming.compare_exchange_weak(r->next, r, std::memory_order_release, std::memory_order_relaxed)) {
  }
  // Sequentially consistent, as is AwaitArrival's side: either it sees this
  // arrival, or this caller or an earlier one sees it waiting and wakes it.
  d.arrivals.fetch_add(1, std::memory_order_seq_cst);
  if (d.awaited.load(std::memory_order_relaxed) && d.awaited.exchange(false, std::memory_order_seq_cst))
    sync::WakeOne(&d.arrivals);
  const WakeCall call(d);
  if (call.hook()) call.hook()(nullptr);
}

// Takes `r` out of the queue if the main thread has not taken it yet;
// returns whether it did. `r` may have run already, but it is still its
// caller's (a Synchronize call's, or a Queue call's that its caller holds),
// so no other request can have its address.
bool Withdraw(Dispatch& d, const SyncRequest* r) {
  std::lock_guard guard(d.lock);
  Collect(d);
  SyncRequest* before = nullptr;
  for (SyncRequest** link = &d.head; *link; link = &(*link)->next) {
    if (*link == r) {
      *link = r->next;
      if (d.tail == r) d.tail = before;
      return true;
    }
    before = *link;
  }
  return false;
}

// Ends a request that has left the queue, run or dropped: the dispatch lets
// go of a Queue call's; a Synchronize call's goes back to its caller. The release store
// pairs with the caller's acquire load in Synchronize, which then sees
// `error`. From the store on, the request belongs to its caller and may be
// gone: the wake uses only its address.
void Finish(SyncRequest* r, SyncRequest::State state) {
  if (r->owned) {
    Release(r);
    return;
  }
  std::atomic<std::uint32_t>* word = &r->state;
  word->store(state, std::memory_order_release);
  sync::WakeOne(word);
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
  if (r->owned && r->error) d.kept.push_back(r->error);
  Finish(r, SyncRequest::kRan);
}

// The group of requests the calling thread queues.
const void* CallerGroup() {
  const TThread* t = TThread::Current();
  return t ? t->DispatchGroup() : nullptr;
}

// Waits until a call is queued or `timeoutMs` has passed.
void AwaitArrival(Dispatch& d, int timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  struct Clear {
    std::atomic<bool>& awaited;
    ~Clear() { awaited.store(false, std::memory_order_relaxed); }
  } clear{d.awaited};
  for (int waitMs = timeoutMs; waitMs > 0;) {
    // Announced before each look at the queue; see Enqueue.
    d.awaited.store(true, std::memory_order_seq_cst);
    const std::uint32_t seen = d.arrivals.load(std::memory_order_seq_cst);
    if (d.incoming.load(std::memory_order_relaxed)) return;
    {
      std::lock_guard guard(d.lock);
      if (d.head) return;
    }
    sync::WaitWhile(d.arrivals, seen, waitMs);
    // Whole milliseconds left; less than one is not worth another wait.
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    waitMs = static_cast<int>(left.count());
  }
}

}  // namespace

// --- TThread --------------------------------------------------------------------

TThread::TThread() = default;

TThread::~TThread() {
  if (!os_) return;
  if (Kernel::CurrentThreadId() == Kernel::ThreadId(os_)) {
    Kernel::DetachThread(os_);  // freeing itself after Execute
  } else {
    Terminate();
    Kernel::JoinThread(os_);
  }
}

const TTypeInfo* TThread::ClassInfo() const noexcept { return &TypeInfo_TThread; }

void TThread::Launch() {
  os_ = Kernel::CreateThread(&TThread::Run, this);
  if (!os_) {
    delete this;
    throw EThread(u"Thread creation error: the system refused a new thread");
  }
  Kernel::SetThreadPriority(os_, static_cast<int>(priority_.load()));
  activeThreads.fetch_add(1);
  Kernel::StartThread(os_);
}

void TThread::Run(void* self) {
  auto* t = static_cast<TThread*>(self);
  current = t;
  try {
    if (!t->Terminated()) t->Execute();
  } catch (...) {
    t->fatal_ = std::current_exception();
  }
  try {
    t->DoTerminate();
  } catch (...) {
    // Nowhere to report it: the thread is ending.
  }
  // Once finished_ is set, a thread that does not free itself may be deleted
  // by its creator at any moment: read what we need first.
  const bool freeSelf = t->FreeOnTerminate();
  t->finished_.store(true, std::memory_order_release);
  if (freeSelf) delete t;
  current = nullptr;
  activeThreads.fetch_sub(1);
}

void TThread::Terminate() {
  terminated_.store(true, std::memory_order_release);
  TerminatedSet();
}

TThreadPriority TThread::Priority() const {
  if (os_ && !Finished()) {
    const int step = Kernel::ThreadPriority(os_);
    if (step >= 0) return static_cast<TThreadPriority>(step);
  }
  return priority_.load();
}

void TThread::SetPriority(TThreadPriority priority) {
  priority_.store(priority);
  if (os_) Kernel::SetThreadPriority(os_, static_cast<int>(priority));
}

std::exception_ptr TThread::FatalException() const { return fatal_; }

std::uint64_t TThread::ThreadID() const noexcept { return os_ ? Kernel::ThreadId(os_) : 0; }

void TThread::WaitFor() {
  if (FreeOnTerminate()) throw EThread(u"Cannot wait for a thread that frees itself");
  if (!os_) return;
  Kernel::JoinThread(os_);
  os_ = nullptr;
}

void TThread::Sleep(int ms) {
  if (ms < 0) ms = 0;
  if (TSleepHook hook = sleepHook.load())
    hook(ms);
  else
    Kernel::Sleep(static_cast<std::uint32_t>(ms));
}

TThread::TSleepHook TThread::SetSleepHook(TSleepHook hook) noexcept { return sleepHook.exchange(hook); }

int TThread::ActiveCount() noexcept { return activeThreads.load(); }

TThread* TThread::Current() noexcept { return current; }

void TThread::Synchronize(TThreadMethod method) {
  if (Kernel::IsMainThread()) {
    method();
    return;
  }
  // On the heap rather than this stack: every thread's stack has the same
  // layout, so the callers' state words would share their low address bits,
  // and Wine's WaitOnAddress keeps one spinning lock per value of those bits.
  const auto owned = std::make_unique<SyncRequest>();
  SyncRequest& request = *owned;
  request.method = method;
  request.group = CallerGroup();
  Dispatch& d = dispatch();
  // Acquire pairs with the release store in Finish.
  auto awaitFinish = [&request] {
    while (request.state.load(std::memory_order_acquire) == SyncRequest::kQueued)
      sync::WaitWhile(request.state, SyncRequest::kQueued);
  };
  try {
    Enqueue(d, &request);
  } catch (...) {
    // The wake hook raised. The request is ours until we return: take it
    // back, or, if the main thread has it already, let that call end first.
    if (!Withdraw(d, &request)) awaitFinish();
    throw;
  }
  awaitFinish();
  if (request.error) std::rethrow_exception(request.error);
}

void TThread::Queue(TThreadMethod method) {
  if (Kernel::IsMainThread()) {
    method();
    return;
  }
  auto* request = new SyncRequest;
  request->method = method;
  request->owned = true;
  request->group = CallerGroup();
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

void TThread::RemoveQueuedEvents(const void* object) {
  Dispatch& d = dispatch();
  SyncRequest* dropped = nullptr;  // unlinked, released once the lock is left
  {
    std::lock_guard guard(d.lock);
    Collect(d);
    SyncRequest** link = &d.head;
    d.tail = nullptr;
    while (SyncRequest* r = *link) {
      if (r->method.data == object) {
        *link = r->next;
        r->next = dropped;
        dropped = r;
      } else {
        d.tail = r;
        link = &r->next;
      }
    }
  }
  while (SyncRequest* r = dropped) {
    dropped = r->next;  // read before the caller may take `r` back
    Finish(r, SyncRequest::kDropped);
  }
}

bool CheckSynchronize(int timeoutMs) {
  if (!Kernel::IsMainThread()) throw EThread(u"CheckSynchronize called outside the main thread");
  Dispatch& d = dispatch();
  if (timeoutMs > 0) AwaitArrival(d, timeoutMs);
  // Serve what is queued now, one call at a time: a call may drop later ones
  // (RemoveQueuedEvents), and callers that queue again while we run wait for
  // the next round.
  std::unique_lock guard(d.lock);
  Collect(d);
  std::size_t pending = 0;
  for (SyncRequest* r = d.head; r; r = r->next) ++pending;
  const bool any = pending > 0;
  for (; pending > 0 && d.head; --pending) {
    SyncRequest* r = d.head;
    d.head = r->next;
    if (!d.head) d.tail = nullptr;
    guard.unlock();
    RunCall(d, r);
    guard.lock();
  }
  guard.unlock();
  if (!d.kept.empty()) {
    const std::exception_ptr oldest = d.kept.front();
    d.kept.pop_front();
    std::rethrow_exception(oldest);
  }
  return any;
}

bool TThread::ServeGroup(const void* group) {
  if (!Kernel::IsMainThread()) throw EThread(u"ServeGroup called outside the main thread");
  Dispatch& d = dispatch();
  // The group's calls queued now, in queue order; as in CheckSynchronize, a
  // call queued while they run waits for the next time.
  std::unique_lock guard(d.lock);
  Collect(d);
  std::size_t pending = 0;
  for (SyncRequest* r = d.head; r; r = r->next) pending += r->group == group;
  const bool any = pending > 0;
  for (; pending > 0; --pending) {
    SyncRequest* before = nullptr;
    SyncRequest* r = d.head;
    while (r && r->group != group) {
      before = r;
      r = r->next;
    }
    if (!r) break;  // dropped meanwhile by RemoveQueuedEvents
    (before ? before->next : d.head) = r->next;
    if (d.tail == r) d.tail = before;
    guard.unlock();
    RunCall(d, r);
    guard.lock();
  }
  return any;
}

int TThread::GroupCallsRunning(const void* group) {
  if (!Kernel::IsMainThread()) throw EThread(u"GroupCallsRunning called outside the main thread");
  int n = 0;
  for (const RunningCall* c = dispatch().running; c; c = c->outer) n += !c->request->owned && c->request->group == group;
  return n;
}

TNotifyEvent SetWakeMainThread(TNotifyEvent hook) {
  Dispatch& d = dispatch();
  std::lock_guard turn(d.retiring);
  const std::uint32_t g = d.generation.load(std::memory_order_relaxed);  // only we change it
  // Nobody reads the next generation's slot: the calls of generation g - 1,
  // which used it, ended before the last replacement returned, and a caller
  // that still counts itself there finds the generation moved and leaves.
  d.hooks[(g + 1) & 1] = hook;
  d.generation.store(g + 1, std::memory_order_seq_cst);
  // The loads pair with WakeCall's decrements: the replaced hook's calls
  // have ended, and what they did is seen here.
  std::atomic<std::uint32_t>& calls = d.wakeCalls[g & 1];
  d.draining.store(true, std::memory_order_seq_cst);
  for (std::uint32_t n; (n = calls.load(std::memory_order_seq_cst)) != 0;) sync::WaitWhile(calls, n);
  d.draining.store(false, std::memory_order_relaxed);
  return d.hooks[g & 1];
}

}  // namespace System::Classes
