// The main thread blocks in poll() on an eventfd; the wake hook, called on
// whichever thread queues a Synchronize call, signals the eventfd, and the
// loop runs CheckSynchronize. A synchronized 10 ms timer ticks for 3 s, then
// the timer is freed and the loop ends.
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <thread>

#include "QevTimer.hpp"

using namespace System::Classes;
using Clock = std::chrono::steady_clock;

namespace {

constexpr double kInterval = 0.010;
constexpr auto kRunTime = std::chrono::seconds(3);

// Signals the loop's eventfd; any thread.
struct Waker {
  int fd;
  void Wake(System::TObject*) {
    const std::uint64_t one = 1;
    while (write(fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
  }
};

// The application's form; everything here runs on the main thread.
struct Form : TComponent {
  using TComponent::TComponent;
  Qevtimer::TQevTimer* timer = nullptr;
  std::thread::id mainThread = std::this_thread::get_id();
  Clock::time_point start;
  Clock::duration elapsed{};
  int ticks = 0;
  std::atomic<int> ticksElsewhere{0};
  bool running = true;

  void OnTick(System::TObject*) {
    if (std::this_thread::get_id() != mainThread) {
      ++ticksElsewhere;  // counted, and the run fails; no other access from there
      return;
    }
    ++ticks;
    elapsed = Clock::now() - start;
    if (elapsed >= kRunTime) {
      timer->Stop();
      running = false;
    }
  }
};

}  // namespace

int main() {
  Waker waker{eventfd(0, EFD_CLOEXEC)};
  if (waker.fd < 0) return std::perror("eventfd"), 1;
  const TNotifyEvent previousHook = SetWakeMainThread(TNotifyEvent::Bind<&Waker::Wake>(&waker));

  auto* form = new Form(nullptr);
  form->timer = new Qevtimer::TQevTimer(form);
  form->timer->SetNeedSynchronization(true);
  form->timer->SetInterval(kInterval);
  form->timer->SetOnTimer(TNotifyEvent::Bind<&Form::OnTick>(form));
  form->start = Clock::now();
  form->timer->Start();

  int wakes = 0;
  while (form->running) {
    pollfd p{waker.fd, POLLIN, 0};
    if (poll(&p, 1, -1) < 0) {  // no timeout: only a wake ends the wait
      if (errno == EINTR) continue;
      return std::perror("poll"), 1;
    }
    std::uint64_t count = 0;
    if (read(waker.fd, &count, sizeof count) == sizeof count) ++wakes;
    CheckSynchronize();
  }

  const int ticks = form->ticks;
  const int ticksElsewhere = form->ticksElsewhere.load();
  const double seconds = std::chrono::duration<double>(form->elapsed).count();
  SetWakeMainThread(previousHook);
  delete form;  // frees the timer
  close(waker.fd);
  // The worker threads end after their timers; allow them a generous while.
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while (TThread::ActiveCount() > 0 && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));

  const int expected = static_cast<int>(seconds / kInterval) / 2;
  std::printf("main_loop: %d ticks on the main thread in %.2f s (at least %d expected), %d elsewhere, "
              "%d wakes, %d threads left\n",
              ticks, seconds, expected, ticksElsewhere, wakes, TThread::ActiveCount());
  return ticks >= expected && ticksElsewhere == 0 && TThread::ActiveCount() == 0 ? 0 : 1;
}
