// The lifetime protocol's routines (QevTimerLink.hpp).
#include "QevTimerLink.hpp"

#include "System.Kernel.hpp"

namespace Qevtimer::detail {

thread_local FireFrame* firing = nullptr;

int FireFramesOnThisThread(const TQevTimer* timer) {
  int n = 0;
  for (const FireFrame* f = firing; f; f = f->outer) n += f->timer == timer;
  return n;
}

bool OnMainThread() { return System::Kernel::CurrentThreadId() == System::Kernel::MainThreadId(); }

void RunHandOver(void* data) {
  TimerLink& link = *static_cast<TimerLink*>(data);
  // Relaxed: only the main thread clears the flag, and the dispatch's lock
  // ordered the handing thread's store before this call.
  link.handOverQueued.store(false, std::memory_order_relaxed);
  // A delete on the main thread that came first has destroyed the timer, or
  // is destroying it now (serving the dispatch while it waits for workers).
  if (link.disposal.exchange(TimerLink::kDestroying, std::memory_order_acq_rel) == TimerLink::kHandedOver)
    System::TObject::operator delete(link.timer, std::destroying_delete);
  link.Drop();
}


}  // namespace Qevtimer::detail
