// The part both main-loop examples share: a form with one synchronized 10 ms
// timer that asks the loop to end after 3 s, and the check after the loop.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "QevTimer.hpp"

namespace example {

using Clock = std::chrono::steady_clock;
constexpr double kInterval = 0.010;
constexpr auto kRunTime = std::chrono::seconds(3);

// Created, run and freed on the main thread; `quit` ends the loop.
struct TickingForm : System::Classes::TComponent {
  explicit TickingForm(void (*quit)()) : TComponent(nullptr), quit(quit) {}

  void Start() {
    timer = new Qevtimer::TQevTimer(this);
    timer->SetNeedSynchronization(true);
    timer->SetInterval(kInterval);
    timer->SetOnTimer(System::Classes::TNotifyEvent::Bind<&TickingForm::OnTick>(this));
    start = Clock::now();
    timer->Start();
  }

  void OnTick(System::TObject*) {
    if (std::this_thread::get_id() != mainThread) {
      ticksElsewhere.fetch_add(1);  // counted, and the run fails
      return;
    }
    ++ticks;
    elapsed = Clock::now() - start;
    if (elapsed >= kRunTime) {
      timer->Stop();
      quit();
    }
  }

  void (*quit)();
  Qevtimer::TQevTimer* timer = nullptr;
  std::thread::id mainThread = std::this_thread::get_id();
  Clock::time_point start;
  Clock::duration elapsed{};
  int ticks = 0;
  std::atomic<int> ticksElsewhere{0};
};

// Frees the form and its timer after the loop has ended and the wake hook is
// restored, waits for the timer's worker to end, prints the run's figures
// and returns the exit code: ticks on the main thread at no less than a
// quarter of the nominal rate (a busy machine runs the loop late), none
// elsewhere, no thread left.
inline int Finish(TickingForm* form, int wakes) {
  using System::Classes::TThread;
  const int ticks = form->ticks;
  const int ticksElsewhere = form->ticksElsewhere.load();
  const double seconds = std::chrono::duration<double>(form->elapsed).count();
  delete form;
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while (TThread::ActiveCount() > 0 && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));

  const int expected = static_cast<int>(seconds / kInterval) / 4;
  std::printf("main_loop: %d ticks on the main thread in %.2f s (at least %d expected), %d elsewhere, "
              "%d wakes, %d threads left\n",
              ticks, seconds, expected, ticksElsewhere, wakes, TThread::ActiveCount());
  return ticks >= expected && ticksElsewhere == 0 && TThread::ActiveCount() == 0 ? 0 : 1;
}

}  // namespace example
