// Linux: CPU and memory figures, sleeps, timer slack, and the two floors
// that only exist here: an absolute-deadline clock_nanosleep loop and
// cyclictest.
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "bench.hpp"

namespace bench {

std::int64_t ProcessCpuNs() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

Memory MemoryNow() {
  std::ifstream statm("/proc/self/statm");
  double size = 0, resident = 0;
  statm >> size >> resident;
  const double page = static_cast<double>(sysconf(_SC_PAGESIZE));
  return {resident * page, size * page};
}

void RelativeSleepMs(int ms) {
  timespec left{ms / 1000, (ms % 1000) * 1000000L};
  while (clock_nanosleep(CLOCK_MONOTONIC, 0, &left, &left) == EINTR) {
  }
}

std::string RaiseTimerResolution() { return "not applicable (Linux high-resolution timers)"; }

bool SetThreadTimerSlackNs(unsigned long ns) { return prctl(PR_SET_TIMERSLACK, ns, 0, 0, 0) == 0; }
unsigned long ThreadTimerSlackNs() {
  return static_cast<unsigned long>(prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0));
}

std::string MachineDescription() {
  std::string model = "unknown CPU";
  std::ifstream cpuinfo("/proc/cpuinfo");
  for (std::string line; std::getline(cpuinfo, line);)
    if (line.rfind("model name", 0) == 0) {
      model = line.substr(line.find(':') + 2);
      break;
    }
  std::string distribution = "unknown distribution";
  std::ifstream osRelease("/etc/os-release");
  for (std::string line; std::getline(osRelease, line);)
    if (line.rfind("PRETTY_NAME=", 0) == 0) {
      distribution = line.substr(12);
      std::erase(distribution, '"');
    }
  utsname u{};
  uname(&u);
  std::ostringstream s;
  s << "- processor: " << model << ", " << std::thread::hardware_concurrency() << " logical CPUs\n"
    << "- system: Linux " << u.release << " (" << u.machine << "), " << distribution << "\n";
  return s.str();
}

double LoadAverage1() {
  std::ifstream f("/proc/loadavg");
  double load = NAN;
  return f >> load ? load : NAN;
}

namespace {

// Sleeps to absolute deadlines one interval apart; lateness against them.
bool RunAbsoluteLoop(int intervalMs, Recorder& rec) {
  std::thread worker([&] {
    timespec next{};
    clock_gettime(CLOCK_MONOTONIC, &next);
    for (;;) {
      next.tv_nsec += intervalMs * 1000000L;
      while (next.tv_nsec >= 1000000000L) {
        next.tv_nsec -= 1000000000L;
        ++next.tv_sec;
      }
      while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr) == EINTR) {
      }
      // steady_clock is CLOCK_MONOTONIC on Linux.
      if (!rec.Tick(static_cast<std::int64_t>(next.tv_sec) * 1000000000 + next.tv_nsec)) break;
    }
  });
  worker.join();
  return true;
}

std::int64_t ChildrenCpuNs() {
  rusage u{};
  getrusage(RUSAGE_CHILDREN, &u);
  return (static_cast<std::int64_t>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000000 + u.ru_utime.tv_usec +
          u.ru_stime.tv_usec) *
         1000;
}

// cyclictest, one thread at the default policy (SCHED_OTHER, nice 0, as the
// timer's workers at normal priority), without touching /dev/cpu_dma_latency
// (--laptop) so that every kind runs under the same conditions. Its
// histogram (1 us bins) gives the samples.
bool RunCyclictest(int intervalMs, std::size_t ticks, Extra& extra) {
  constexpr int kBins = 20000;
  char cmd[256];
  std::snprintf(cmd, sizeof cmd, "cyclictest --policy=other --laptop -t1 -q -i%d -l%zu -h%d 2>/dev/null",
                intervalMs * 1000, ticks, kBins);
  const std::int64_t cpu0 = ChildrenCpuNs();
  FILE* p = popen(cmd, "r");
  if (!p) return false;
  char line[256];
  long overflows = 0;
  while (std::fgets(line, sizeof line, p)) {
    long bin = 0, count = 0;
    if (line[0] != '#' && std::sscanf(line, "%ld %ld", &bin, &count) == 2) {
      for (long i = 0; i < count; ++i) extra.lateUs.push_back(static_cast<double>(bin));
    } else if (std::sscanf(line, "# Histogram Overflows: %ld", &overflows) == 1) {
      for (long i = 0; i < overflows; ++i) extra.lateUs.push_back(kBins);
    }
  }
  const int status = pclose(p);
  extra.cpuNs = ChildrenCpuNs() - cpu0;
  if (overflows) extra.note = std::to_string(overflows) + " samples beyond " + std::to_string(kBins) + " us";
  return status == 0 && !extra.lateUs.empty();
}

}  // namespace

void AddPlatformKinds(Kinds& kinds) {
  kinds.push_back({"abs-deadline", "clock_nanosleep loop to absolute deadlines (floor)", true,
                   [](int ms, std::size_t, Recorder& rec, Extra&) { return RunAbsoluteLoop(ms, rec); }});
  if (std::system("command -v cyclictest >/dev/null 2>&1") == 0)
    kinds.push_back(
        {"cyclictest", "rt-tests cyclictest, SCHED_OTHER (floor)", true,
         [](int ms, std::size_t n, Recorder&, Extra& extra) { return RunCyclictest(ms, n, extra); }});
}

int SynchronizedScaleTarget() { return 200; }

}  // namespace bench
