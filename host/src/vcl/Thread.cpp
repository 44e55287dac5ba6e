// TThread: a system thread running Execute.
#include "System.Classes.Streaming.hpp"
#include "System.Classes.hpp"

namespace System::Classes {
namespace {

std::atomic<TThread::TSleepHook> sleepHook{nullptr};
std::atomic<int> activeThreads{0};
thread_local TThread* current = nullptr;

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

}  // namespace System::Classes
