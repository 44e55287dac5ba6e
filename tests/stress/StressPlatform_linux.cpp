// Linux: thread stacks through gdb when it is installed, otherwise through a
// signal sent to each thread, whose handler prints its own backtrace.
#include <dirent.h>
#include <execinfo.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "StressPlatform.hpp"

namespace stress {
namespace {

void WriteErr(const char* text) {
  for (std::size_t n = std::char_traits<char>::length(text); n > 0;) {
    const ssize_t w = write(STDERR_FILENO, text, n);
    if (w <= 0) return;
    text += w;
    n -= static_cast<std::size_t>(w);
  }
}

void PrintOwnStack() {
  void* frames[64];
  const int n = backtrace(frames, 64);
  backtrace_symbols_fd(frames, n, STDERR_FILENO);
}

void OnDumpSignal(int) {
  char line[64];
  std::snprintf(line, sizeof line, "--- thread %ld\n", static_cast<long>(syscall(SYS_gettid)));
  WriteErr(line);
  PrintOwnStack();
}

bool DumpWithGdb() {
  if (access("/usr/bin/gdb", X_OK) != 0) return false;
  prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY, 0, 0, 0);
  const std::string pid = std::to_string(getpid());
  const pid_t child = fork();
  if (child < 0) return false;
  if (child == 0) {
    dup2(STDERR_FILENO, STDOUT_FILENO);
    execl("/usr/bin/gdb", "gdb", "-batch", "-nx", "-p", pid.c_str(), "-ex", "thread apply all bt", nullptr);
    _exit(127);
  }
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (waitpid(child, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void OnFault(int sig) {
  char line[96];
  std::snprintf(line, sizeof line, "crashes: 1\nsignal %d on thread %ld\n", sig,
                static_cast<long>(syscall(SYS_gettid)));
  WriteErr(line);
  PrintOwnStack();
  _exit(70);
}

}  // namespace

void DumpAllStacks() {
  if (DumpWithGdb()) return;
  WriteErr("(no gdb: each thread prints its own stack)\n");
  struct sigaction sa {};
  sa.sa_handler = OnDumpSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGUSR2, &sa, nullptr);
  const long self = syscall(SYS_gettid);
  if (DIR* dir = opendir("/proc/self/task")) {
    while (dirent* e = readdir(dir)) {
      const long tid = std::atol(e->d_name);
      if (tid <= 0 || tid == self) continue;
      syscall(SYS_tgkill, getpid(), tid, SIGUSR2);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    closedir(dir);
  }
}

void InstallCrashReport() {
  // The first backtrace loads the unwinder, which allocates: not in a handler.
  void* frame[1];
  (void)backtrace(frame, 1);
  struct sigaction sa {};
  sa.sa_handler = OnFault;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESETHAND;
  for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) sigaction(sig, &sa, nullptr);
}

int SystemThreadCount() {
  int n = 0;
  if (DIR* dir = opendir("/proc/self/task")) {
    while (dirent* e = readdir(dir)) n += e->d_name[0] != '.';
    closedir(dir);
  }
  return n;
}

}  // namespace stress
