#include <chrono>
#include <deque>
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
// A Synchronize call waiting for the main thread. It lives on the caller's
// stack; the queue links the requests without allocating. The caller waits
// on its own request's state alone, so finishing one call wakes one caller.
struct SyncRequest {
  enum State : std::uint32_t { kQueued, kRan, kDropped };
  TThreadMethod method;
  std::exception_ptr error;  // written before the state leaves kQueued
  SyncRequest* next = nullptr;  // guarded by Dispatch::lock while queued
  std::atomic<std::uint32_t> state{kQueued};
  bool owned = false;  // made by Queue: nobody waits, the dispatch frees it
  const void* group = nullptr;  // the caller's dispatch group, set before queueing
};

// A request the main thread is running, innermost first: a running call may
// serve the dispatch again (CheckSynchronize, ServeGroup), which pushes more.
struct RunningCall {
  const SyncRequest* request;
  RunningCall* outer;
};

struct Dispatch {
  sync::Lock lock;
  SyncRequest* head = nullptr;  // guarded by lock
  SyncRequest* tail = nullptr;  // guarded by lock
  TNotifyEvent wake;            // guarded by lock
  // Counts queued calls; CheckSynchronize waits for it to move. Bumped after
  // the request is linked, so a change seen means the queue has it.
  std::atomic<std::uint32_t> arrivals{0};
  // Retiring the wake hook. Each call of the hook is counted, under the lock,
  // in the slot of the generation in which it read the hook; a replacement
  // starts a new generation and then waits until the old slot is empty, so
  // no call of the replaced hook is under way once SetWakeMainThread
  // returns. Replacements take `retiring` in turn, so at most two
  // generations have calls at any time and two slots suffice.
  std::uint32_t wakeGeneration = 0;  // guarded by lock
  std::atomic<std::uint32_t> wakeCalls[2]{};
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

// One call of the wake hook, counted in its generation's slot for the time
// of the call (see Dispatch).
class WakeCall {
 public:
  explicit WakeCall(std::atomic<std::uint32_t>& calls) : calls_(calls) {}
  // Release, pairing with SetWakeMainThread's acquire load: what the hook
  // did happens before the replaced hook's owner may free what it uses.
  ~WakeCall() {
    if (calls_.fetch_sub(1, std::memory_order_release) == 1) sync::WakeOne(&calls_);
  }
  WakeCall(const WakeCall&) = delete;
  WakeCall& operator=(const WakeCall&) = delete;

 private:
  std::atomic<std::uint32_t>& calls_;
};

// Appends `r` to the queue and wakes the main thread: a CheckSynchronize
// waiting for an arrival, and the application's loop through the wake hook.
// An exception from the hook passes on; `r` is then still linked, and the
// caller takes it back (Withdraw).
void Enqueue(Dispatch& d, SyncRequest* r) {
  TNotifyEvent wake;
  std::atomic<std::uint32_t>* calls = nullptr;
  {
    std::lock_guard guard(d.lock);
    (d.tail ? d.tail->next : d.head) = r;
    d.tail = r;
    wake = d.wake;
    if (wake) {
      calls = &d.wakeCalls[d.wakeGeneration & 1];
      // Relaxed: the lock orders it before a replacement's swap, which
      // then waits for this slot.
      calls->fetch_add(1, std::memory_order_relaxed);
    }
  }
  // Release pairs with the acquire load in AwaitArrival.
  d.arrivals.fetch_add(1, std::memory_order_release);
  sync::WakeOne(&d.arrivals);
  if (wake) {
    WakeCall counted(*calls);
    wake(nullptr);
  }
}

// Takes `r` out of the queue if the main thread has not taken it yet;
// returns whether it did. Only compares addresses: `r` may have been run and
// freed already.
bool Withdraw(Dispatch& d, const SyncRequest* r) {
  std::lock_guard guard(d.lock);
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

// Ends a request that has left the queue, run or dropped: a Queue call's is
// freed; a Synchronize call's goes back to its caller. The release store
// pairs with the caller's acquire load in Synchronize, which then sees
// `error`. From the store on, the request belongs to its caller and may be
// gone: the wake uses only its address.
void Finish(SyncRequest* r, SyncRequest::State state) {
  if (r->owned) {
    delete r;
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
  for (int waitMs = timeoutMs; waitMs > 0;) {
    // Acquire pairs with the release increment in Enqueue.
    const std::uint32_t seen = d.arrivals.load(std::memory_order_acquire);
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
  SyncRequest request;
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
    // The wake hook raised. The request lives on this stack: take it back,
    // or, if the main thread has it already, let that call end first.
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
  Dispatch& d = dispatch();
  try {
    Enqueue(d, request);
  } catch (...) {
    // The wake hook raised: take the call back unless the main thread has
    // it already (it then runs and frees it as usual).
    if (Withdraw(d, request)) delete request;
    throw;
  }
}

void TThread::RemoveQueuedEvents(const void* object) {
  Dispatch& d = dispatch();
  SyncRequest* dropped = nullptr;  // unlinked, released once the lock is left
  {
    std::lock_guard guard(d.lock);
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
  TNotifyEvent previous;
  std::atomic<std::uint32_t>* calls;
  {
    std::lock_guard guard(d.lock);
    previous = d.wake;
    d.wake = hook;
    calls = &d.wakeCalls[d.wakeGeneration & 1];
    ++d.wakeGeneration;
  }
  // Acquire pairs with WakeCall's release: the replaced hook's calls have
  // ended, and what they did is seen here.
  for (std::uint32_t n; (n = calls->load(std::memory_order_acquire)) != 0;) sync::WaitWhile(*calls, n);
  return previous;
}

}  // namespace System::Classes
