// Windows: CPU and memory figures, sleeps and the raised timer resolution.
#define PSAPI_VERSION 2
#include <windows.h>
// after windows.h
#include <mmsystem.h>
#include <psapi.h>

#include <sstream>
#include <thread>

#include "bench.hpp"

namespace bench {

std::int64_t ProcessCpuNs() {
  FILETIME created, exited, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  auto ns = [](FILETIME f) {
    return ((static_cast<std::int64_t>(f.dwHighDateTime) << 32) | f.dwLowDateTime) * 100;
  };
  return ns(kernel) + ns(user);
}

Memory MemoryNow() {
  Memory m;
  PROCESS_MEMORY_COUNTERS c{};
  if (GetProcessMemoryInfo(GetCurrentProcess(), &c, sizeof c))
    m.residentBytes = static_cast<double>(c.WorkingSetSize);
  // Reserved and committed address space, private regions only (thread
  // stacks and heaps, not mapped images).
  MEMORY_BASIC_INFORMATION info{};
  for (char* p = nullptr; VirtualQuery(p, &info, sizeof info) == sizeof info;) {
    if (info.State != MEM_FREE && info.Type == MEM_PRIVATE)
      m.reservedBytes += static_cast<double>(info.RegionSize);
    char* next = static_cast<char*>(info.BaseAddress) + info.RegionSize;
    if (next <= p) break;
    p = next;
  }
  return m;
}

void RelativeSleepMs(int ms) { ::Sleep(static_cast<DWORD>(ms)); }

std::string RaiseTimerResolution() {
  TIMECAPS caps{};
  if (timeGetDevCaps(&caps, sizeof caps) != TIMERR_NOERROR) return "timeGetDevCaps failed";
  timeBeginPeriod(caps.wPeriodMin);
  return "timeBeginPeriod(" + std::to_string(caps.wPeriodMin) + ")";
}

bool SetThreadTimerSlackNs(unsigned long) { return false; }
unsigned long ThreadTimerSlackNs() { return 0; }

std::string MachineDescription() {
  std::ostringstream s;
  s << (sizeof(void*) == 8 ? "win64" : "win32") << " build, " << std::thread::hardware_concurrency()
    << " logical CPUs";
  using WineVersion = const char*(__cdecl*)();
  if (HMODULE ntdll = GetModuleHandleW(L"ntdll.dll"))
    if (auto v =
            reinterpret_cast<WineVersion>(reinterpret_cast<void*>(GetProcAddress(ntdll, "wine_get_version"))))
      s << ", under Wine " << v();
  return s.str();
}

int SynchronizedScaleTarget() { return 100; }

}  // namespace bench
