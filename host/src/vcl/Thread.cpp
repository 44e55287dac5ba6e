#include <condition_variable>
#include <mutex>

#include "System.Classes.Streaming.hpp"
#include "System.Classes.hpp"

namespace System::Classes {
namespace {

std::atomic<TThread::TSleepHook> sleepHook{nullptr};
std::atomic<int> activeThreads{0};
thread_local TThread* current = nullptr;

bool OnMainThread() { return Kernel::CurrentThreadId() == Kernel::MainThreadId(); }

// --- Main-thread dispatch ---------------------------------------------------
// A Synchronize call waiting for the main thread. It lives on the caller's
// stack; the queue links the requests without allocating.
struct SyncRequest {
  enum State : int { kQueued, kRan, kDropped };
  TThreadMethod method;
  std::exception_ptr error;
  State state = kQueued;  // guarded by Dispatch::lock
  SyncRequest* next = nullptr;
  bool owned = false;  // made by Queue: nobody waits, the dispatch frees it
};

// Ends a request taken off the queue, run or dropped; under Dispatch::lock.
void Finish(SyncRequest* r, SyncRequest::State state, std::condition_variable& finished) {
  if (r->owned) {
    delete r;
    return;
  }
  r->state = state;  // `r` belongs to its caller once the lock is released
  finished.notify_all();
}

struct Dispatch {
  std::mutex lock;
  std::condition_variable arrived;
  // Callers of Synchronize wait here for their request to leave kQueued. (Not
  // std::atomic::wait: MinGW's libstdc++ has no futex there, and its
  // fallback was seen to miss notifications, leaving a caller blocked.)
  std::condition_variable finished;
  SyncRequest* head = nullptr;
  SyncRequest* tail = nullptr;
  TNotifyEvent wake;
};

Dispatch& dispatch() {
  static Dispatch d;
  return d;
}

// Appends `r` to the queue and wakes the main thread.
void Enqueue(SyncRequest* r) {
  Dispatch& d = dispatch();
  TNotifyEvent wake;
  {
    std::lock_guard guard(d.lock);
    (d.tail ? d.tail->next : d.head) = r;
    d.tail = r;
    wake = d.wake;
  }
  d.arrived.notify_all();
  if (wake) wake(nullptr);
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
  if (OnMainThread()) {
    method();
    return;
  }
  SyncRequest request;
  request.method = method;
  Dispatch& d = dispatch();
  Enqueue(&request);
  {
    std::unique_lock guard(d.lock);
    d.finished.wait(guard, [&] { return request.state != SyncRequest::kQueued; });
  }
  if (request.error) std::rethrow_exception(request.error);
}

void TThread::Queue(TThreadMethod method) {
  if (OnMainThread()) {
    method();
    return;
  }
  auto* request = new SyncRequest;
  request->method = method;
  request->owned = true;
  Enqueue(request);
}

void TThread::RemoveQueuedEvents(const void* object) {
  Dispatch& d = dispatch();
  std::lock_guard guard(d.lock);
  SyncRequest** link = &d.head;
  d.tail = nullptr;
  while (SyncRequest* r = *link) {
    if (r->method.data == object) {
      *link = r->next;
      Finish(r, SyncRequest::kDropped, d.finished);
    } else {
      d.tail = r;
      link = &r->next;
    }
  }
}

bool CheckSynchronize(int timeoutMs) {
  if (!OnMainThread()) throw EThread(u"CheckSynchronize called outside the main thread");
  Dispatch& d = dispatch();
  std::unique_lock guard(d.lock);
  if (!d.head && timeoutMs > 0)
    d.arrived.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return d.head != nullptr; });
  // Serve what is queued now, one call at a time: a call may drop later ones
  // (RemoveQueuedEvents), and callers that queue again while we run wait for
  // the next round.
  std::size_t pending = 0;
  for (SyncRequest* r = d.head; r; r = r->next) ++pending;
  const bool any = pending > 0;
  std::exception_ptr queuedError;  // the first a Queue call raised
  for (; pending > 0 && d.head; --pending) {
    SyncRequest* r = d.head;
    d.head = r->next;
    if (!d.head) d.tail = nullptr;
    guard.unlock();
    try {
      r->method();
    } catch (...) {
      r->error = std::current_exception();
    }
    guard.lock();
    if (r->owned && r->error && !queuedError) queuedError = r->error;
    Finish(r, SyncRequest::kRan, d.finished);
  }
  guard.unlock();
  if (queuedError) std::rethrow_exception(queuedError);
  return any;
}

TNotifyEvent SetWakeMainThread(TNotifyEvent hook) {
  Dispatch& d = dispatch();
  std::lock_guard guard(d.lock);
  TNotifyEvent previous = d.wake;
  d.wake = hook;
  return previous;
}

}  // namespace System::Classes
