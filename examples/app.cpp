// An application built against the installed package: every public header,
// a timer (of a subclass defined here) ticking on its worker thread, the
// timer freed, no thread left.
#include "QevTimer.hpp"
#include "System.Classes.Register.hpp"
#include "System.Classes.Streaming.hpp"
#include "System.Classes.hpp"
#include "System.Export.hpp"
#include "System.Kernel.hpp"
#include "System.Package.hpp"
#include "System.TypInfo.hpp"
#include "System.hpp"

#include <atomic>
#include <chrono>
#include <cstdio>

using namespace System::Classes;
using Clock = std::chrono::steady_clock;

namespace {

struct Form : TComponent {
  using TComponent::TComponent;
  std::atomic<int> ticks{0};
  void OnTick(System::TObject*) { ticks.fetch_add(1, std::memory_order_relaxed); }  // worker thread
};

// The application's own kind of timer, with its own default interval.
struct FastTimer : Qevtimer::TQevTimer {
  explicit FastTimer(TComponent* owner) : TQevTimer(owner) { SetInterval(0.010); }
};

// Waits until `done` holds, serving the main-thread dispatch meanwhile.
template <class F>
bool ServeUntil(F done, std::chrono::seconds limit) {
  const auto deadline = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() > deadline) return false;
    CheckSynchronize(10);
  }
  return true;
}

}  // namespace

int main() {
  auto* form = new Form(nullptr);
  Qevtimer::TQevTimer* timer = new FastTimer(form);
  timer->SetOnTimer(TNotifyEvent::Bind<&Form::OnTick>(form));
  timer->Start();
  const bool ticked = ServeUntil([&] { return form->ticks.load() >= 20; }, std::chrono::seconds(30));
  const double version = timer->Version();
  const int ticks = form->ticks.load();
  delete form;  // frees the timer
  const bool ended = ServeUntil([] { return TThread::ActiveCount() == 0; }, std::chrono::seconds(30));
  std::printf("app: TQevTimer %.2f, %d ticks, %d threads left\n", version, ticks, TThread::ActiveCount());
  return ticked && ended ? 0 : 1;
}
