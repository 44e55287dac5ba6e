// The main thread blocks in poll() on an eventfd; the wake hook, called on
// whichever thread queues a Synchronize call, signals the eventfd, and the
// loop runs CheckSynchronize.
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "ticking_form.hpp"

using namespace System::Classes;

namespace {

bool running = true;  // main thread

// Signals the loop's eventfd; any thread.
struct Waker {
  int fd;
  void Wake(System::TObject*) {
    const std::uint64_t one = 1;
    while (write(fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
  }
};

}  // namespace

int main() {
  Waker waker{eventfd(0, EFD_CLOEXEC)};
  if (waker.fd < 0) return std::perror("eventfd"), 1;
  const TNotifyEvent previousHook = SetWakeMainThread(TNotifyEvent::Bind<&Waker::Wake>(&waker));

  auto* form = new example::TickingForm([] { running = false; });
  form->Start();

  int wakes = 0;
  while (running) {
    pollfd p{waker.fd, POLLIN, 0};
    if (poll(&p, 1, -1) < 0) {  // no timeout: only a wake ends the wait
      if (errno == EINTR) continue;
      return std::perror("poll"), 1;
    }
    std::uint64_t count = 0;
    if (read(waker.fd, &count, sizeof count) == sizeof count) ++wakes;
    CheckSynchronize();
  }

  SetWakeMainThread(previousHook);
  const int result = example::Finish(form, wakes);
  close(waker.fd);
  return result;
}
