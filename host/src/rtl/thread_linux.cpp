// Threads on Linux: pthreads, with per-thread nice values for priority,
// thread ids from gettid and the timer slack set through prctl.
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>

#include "os.hpp"

struct System::Kernel::OsThread {
  pthread_t handle{};
  Kernel::ThreadEntry entry = nullptr;
  void* arg = nullptr;
  std::atomic<pid_t> tid{0};
  std::atomic<bool> started{false};
};

namespace System::os {
namespace {

// The seven priority steps as nice values. Linux applies nice per thread
// (setpriority on the thread id); raising above 0 needs CAP_SYS_NICE, and a
// refusal leaves the thread as it was.
constexpr int kNice[7] = {19, 10, 5, 0, -5, -10, -15};

// Linux lets a sleeping thread's wake-up slip by its timer slack (50 us by
// default) so that wake-ups can be merged; that slip adds to every sleep. The
// threads made here sleep for precise periods, so they take the slack down
// to the least the system allows (0 would mean "the default"), as Windows
// threads run under a raised timer resolution. It is per thread and ends with
// the thread.
constexpr unsigned long kTimerSlackNs = 1;

void* Trampoline(void* p) {
  prctl(PR_SET_TIMERSLACK, kTimerSlackNs, 0, 0, 0);  // best effort
  auto* t = static_cast<Kernel::OsThread*>(p);
  t->tid.store(static_cast<pid_t>(gettid()));
  t->tid.notify_all();
  t->started.wait(false);
  // `t` may be released by the entry (a thread that frees itself): read it
  // now and never touch it again.
  const Kernel::ThreadEntry entry = t->entry;
  void* const arg = t->arg;
  entry(arg);
  return nullptr;
}

}  // namespace

Kernel::OsThread* CreateThread(Kernel::ThreadEntry entry, void* arg) {
  auto* t = new Kernel::OsThread;
  t->entry = entry;
  t->arg = arg;
  if (pthread_create(&t->handle, nullptr, Trampoline, t) != 0) {
    delete t;
    return nullptr;
  }
  // Wait until the thread has an id, so that its priority can be set before
  // it starts.
  t->tid.wait(0);
  return t;
}

void StartThread(Kernel::OsThread* t) {
  t->started.store(true);
  t->started.notify_all();
}

void SetThreadPriority(Kernel::OsThread* t, int step) {
  if (step < 0 || step > 6) return;
  setpriority(PRIO_PROCESS, static_cast<id_t>(t->tid.load()), kNice[step]);
}

int ThreadPriority(Kernel::OsThread* t) {
  errno = 0;
  const int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(t->tid.load()));
  if (nice == -1 && errno != 0) return -1;
  int best = 0;
  for (int step = 1; step < 7; ++step)
    if (std::abs(kNice[step] - nice) < std::abs(kNice[best] - nice)) best = step;
  return best;
}

std::uint64_t ThreadId(Kernel::OsThread* t) { return static_cast<std::uint64_t>(t->tid.load()); }

void JoinThread(Kernel::OsThread* t) {
  pthread_join(t->handle, nullptr);
  delete t;
}

void DetachThread(Kernel::OsThread* t) {
  pthread_detach(t->handle);
  delete t;
}

std::uint64_t CurrentThreadId() {
  // Asked of the kernel once per thread: gettid is a system call, and the
  // dispatch asks on every call.
  thread_local const auto id = static_cast<std::uint64_t>(gettid());
  return id;
}

void SleepMs(std::uint32_t ms) {
  timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (clock_nanosleep(CLOCK_MONOTONIC, 0, &left, &left) == EINTR) {
  }
}

}  // namespace System::os
