// A handler object for timer tests: counts calls, remembers where they ran,
// and runs an action the test chooses inside the handler.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>

#include "QevTimer.hpp"
#include "System.Kernel.hpp"
#include "support/Wait.hpp"

namespace qevtest {

struct TimerProbe {
  std::atomic<int> calls{0};
  std::atomic<std::uint64_t> thread{0};
  std::atomic<bool> afterDestroy{false};  // a call came after destruction began
  std::atomic<bool> destroying{false};
  std::function<void(Qevtimer::TQevTimer*)> action;  // set before the timer runs

  void OnTimer(System::TObject* sender) {
    auto* timer = static_cast<Qevtimer::TQevTimer*>(sender);
    if (destroying.load() || (timer->ComponentState() & System::Classes::csDestroying)) afterDestroy = true;
    thread = System::Kernel::CurrentThreadId();
    ++calls;
    if (action) action(timer);
  }
  System::Classes::TNotifyEvent Event() {
    return System::Classes::TNotifyEvent::Bind<&TimerProbe::OnTimer>(this);
  }
  // Deletes `timer`, recording that destruction has begun.
  void Destroy(Qevtimer::TQevTimer* timer) {
    destroying = true;
    delete timer;
  }
};

// Waits until every thread made by TThread has ended (workers free
// themselves), serving the dispatch meanwhile.
inline bool AllThreadsEnded(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
  return ServeUntil([] { return System::Classes::TThread::ActiveCount() == 0; }, limit);
}

}  // namespace qevtest
