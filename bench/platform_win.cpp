// Windows: CPU and memory figures, sleeps, the raised timer resolution and
// what the report says about the system.
#define PSAPI_VERSION 2
#include <windows.h>
// after windows.h
#include <mmsystem.h>
#include <psapi.h>

#include <cmath>
#include <cstdio>
#include <fstream>
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

namespace {

// An entry point that not every system has, looked up at run time.
template <typename F>
F Lookup(const wchar_t* module, const char* name) {
  const HMODULE m = GetModuleHandleW(module);
  return m ? reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(m, name))) : nullptr;
}

const char* WineVersion() {
  using Version = const char*(__cdecl*)();
  const auto v = Lookup<Version>(L"ntdll.dll", "wine_get_version");
  return v ? v() : nullptr;
}

// Windows 11 may drop a process's raised resolution while none of its windows
// is visible, and a console program's window is its terminal's, not its own:
// opt out, as an application that needs its ticks in the background does.
std::string KeepResolutionWhenHidden() {
  using SetInfo = BOOL(WINAPI*)(HANDLE, PROCESS_INFORMATION_CLASS, LPVOID, DWORD);
  const auto setInfo = Lookup<SetInfo>(L"kernel32.dll", "SetProcessInformation");
  if (!setInfo) return "no SetProcessInformation here (before Windows 8): nothing to opt out of";
  PROCESS_POWER_THROTTLING_STATE state{};
  state.Version = PROCESS_POWER_THROTTLING_CURRENT_VERSION;
  state.ControlMask = PROCESS_POWER_THROTTLING_IGNORE_TIMER_RESOLUTION;
  state.StateMask = 0;
  if (setInfo(GetCurrentProcess(), ProcessPowerThrottling, &state, sizeof state)) return "opted out";
  return "refused (error " + std::to_string(GetLastError()) +
         "; systems before Windows 11 do not throttle it): nothing to opt out of";
}

std::string Ms(ULONG hundredNs) {
  char b[32];
  std::snprintf(b, sizeof b, "%.3f ms", hundredNs / 10000.0);
  return b;
}

}  // namespace

std::string RaiseTimerResolution() {
  std::ostringstream s;
  TIMECAPS caps{};
  if (timeGetDevCaps(&caps, sizeof caps) != TIMERR_NOERROR) {
    s << "timeGetDevCaps failed, resolution not raised";
  } else {
    timeBeginPeriod(caps.wPeriodMin);
    s << "timeBeginPeriod(" << caps.wPeriodMin << ")";
  }
  // The resolution in force now, in 100 ns units: the coarsest, the finest and
  // the current one.
  using Query = LONG(NTAPI*)(PULONG, PULONG, PULONG);
  ULONG coarsest = 0, finest = 0, current = 0;
  if (const auto query = Lookup<Query>(L"ntdll.dll", "NtQueryTimerResolution");
      query && query(&coarsest, &finest, &current) >= 0)
    s << "; the system's timer resolution now " << Ms(current) << " (finest " << Ms(finest) << ", coarsest "
      << Ms(coarsest) << ")";
  else
    s << "; the system's timer resolution could not be read";
  s << "; timer-resolution throttling of hidden windows: " << KeepResolutionWhenHidden();
  return s.str();
}

bool SetThreadTimerSlackNs(unsigned long) { return false; }
unsigned long ThreadTimerSlackNs() { return 0; }

std::string MachineDescription() {
  std::ostringstream s;
  s << "- processor: " << std::thread::hardware_concurrency() << " logical CPUs; a "
    << (sizeof(void*) == 8 ? "win64 (x86-64)" : "win32 (x86)") << " build\n";
  // GetVersionEx reports what the program's manifest allows; RtlGetVersion
  // reports the system.
  using GetVersion = LONG(NTAPI*)(OSVERSIONINFOW*);
  OSVERSIONINFOW v{};
  v.dwOSVersionInfoSize = sizeof v;
  if (const auto get = Lookup<GetVersion>(L"ntdll.dll", "RtlGetVersion"); get && get(&v) >= 0) {
    s << "- system: Windows " << v.dwMajorVersion << "." << v.dwMinorVersion << " build " << v.dwBuildNumber;
    const unsigned version = v.dwMajorVersion * 100 + v.dwMinorVersion;
    if (version == 1000 && v.dwBuildNumber >= 22000)
      s << " (Windows 11: the raised resolution is per process and may be dropped while its windows are "
           "hidden)";
    else if (version == 1000)
      s << " (Windows 10"
        << (v.dwBuildNumber >= 19041 ? ", version 2004 or later: the raised resolution is per process" : "")
        << ")";
    else if (version == 603)
      s << " (Windows 8.1)";
    else if (version == 602)
      s << " (Windows 8)";
    else if (version == 601)
      s << " (Windows 7)";
    if (WineVersion()) s << ", as Wine reports it";
    s << "\n";
  } else {
    s << "- system: Windows, version unknown\n";
  }
  if (const char* wine = WineVersion()) {
    using HostVersion = void(__cdecl*)(const char**, const char**);
    const char *sys = nullptr, *release = nullptr;
    if (const auto host = Lookup<HostVersion>(L"ntdll.dll", "wine_get_host_version")) host(&sys, &release);
    s << "- under Wine " << wine << (sys ? std::string(" on ") + sys + " " + (release ? release : "") : "")
      << ": Wine does not reproduce the Windows timer tick (timeBeginPeriod changes nothing, Sleep is not "
         "rounded to a tick), so these figures are not those of Windows\n";
  } else {
    s << "- not under Wine\n";
  }
  return s.str();
}

double LoadAverage1() {
  if (!WineVersion()) return NAN;
  std::ifstream f("Z:\\proc\\loadavg");  // the host's, through Wine's view of
                                         // its file system
  double load = NAN;
  return f >> load ? load : NAN;
}

int SynchronizedScaleTarget() { return 100; }

}  // namespace bench
