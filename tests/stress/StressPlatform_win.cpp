// Windows: thread stacks by suspending each thread and unwinding its context
// (x86-64: the unwind tables; x86: the instruction pointer and the frame
// chain, best effort). Addresses are printed as module + offset.
#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>

#include "StressPlatform.hpp"

namespace stress {
namespace {

void PrintAddress(DWORD_PTR address) {
  HMODULE module = nullptr;
  char name[MAX_PATH] = "?";
  if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         reinterpret_cast<LPCSTR>(address), &module))
    GetModuleFileNameA(module, name, sizeof name);
  const char* base = name;
  for (const char* p = name; *p; ++p)
    if (*p == '\\' || *p == '/') base = p + 1;
  std::fprintf(stderr, "  %s+0x%llx\n", base,
               static_cast<unsigned long long>(address - reinterpret_cast<DWORD_PTR>(module)));
}

bool Readable(const void* p, std::size_t size) {
  MEMORY_BASIC_INFORMATION info;
  if (!VirtualQuery(p, &info, sizeof info) || info.State != MEM_COMMIT) return false;
  if (info.Protect & (PAGE_NOACCESS | PAGE_GUARD)) return false;
  return static_cast<const char*>(p) + size <= static_cast<const char*>(info.BaseAddress) + info.RegionSize;
}

// The return addresses of the stack that `context` describes, innermost first.
// Prints nothing itself: the thread being read may hold the C runtime's locks.
constexpr int kMostFrames = 40;
int CollectStack(CONTEXT context, DWORD_PTR (&frames)[kMostFrames]) {
  int n = 0;
#if defined(_WIN64)
  for (; n < kMostFrames && context.Rip; ++n) {
    frames[n] = context.Rip;
    DWORD64 imageBase = 0;
    PRUNTIME_FUNCTION function = RtlLookupFunctionEntry(context.Rip, &imageBase, nullptr);
    if (!function) {  // a leaf: the return address is on top of the stack
      if (!Readable(reinterpret_cast<void*>(context.Rsp), 8)) break;
      context.Rip = *reinterpret_cast<DWORD64*>(context.Rsp);
      context.Rsp += 8;
      continue;
    }
    void* handlerData = nullptr;
    DWORD64 establisher = 0;
    RtlVirtualUnwind(UNW_FLAG_NHANDLER, imageBase, context.Rip, function, &context, &handlerData, &establisher,
                     nullptr);
  }
#else
  frames[n++] = context.Eip;
  for (DWORD ebp = context.Ebp; n < kMostFrames && ebp;) {
    const DWORD* link = reinterpret_cast<const DWORD*>(ebp);
    if (!Readable(link, 8) || link[1] == 0) break;
    frames[n++] = link[1];
    if (link[0] <= ebp) break;
    ebp = link[0];
  }
#endif
  return n;
}

void PrintStack(const CONTEXT& context) {
  DWORD_PTR frames[kMostFrames];
  const int n = CollectStack(context, frames);
  for (int i = 0; i < n; ++i) PrintAddress(frames[i]);
}

LONG WINAPI OnFault(EXCEPTION_POINTERS* info) {
  std::fprintf(stderr, "crashes: 1\nexception 0x%08lx on thread %lu\n",
               static_cast<unsigned long>(info->ExceptionRecord->ExceptionCode), GetCurrentThreadId());
  PrintStack(*info->ContextRecord);
  std::fflush(stderr);
  TerminateProcess(GetCurrentProcess(), 70);
  return EXCEPTION_EXECUTE_HANDLER;
}

template <class F>
void ForEachThread(F f) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL ok = Thread32First(snapshot, &entry); ok; ok = Thread32Next(snapshot, &entry))
    if (entry.th32OwnerProcessID == GetCurrentProcessId()) f(entry.th32ThreadID);
  CloseHandle(snapshot);
}

}  // namespace

void DumpAllStacks() {
  ForEachThread([](DWORD id) {
    if (id == GetCurrentThreadId()) return;
    HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT | THREAD_QUERY_INFORMATION, FALSE, id);
    if (!thread) return;
    DWORD_PTR frames[kMostFrames];
    int n = 0;
    if (SuspendThread(thread) != static_cast<DWORD>(-1)) {
      CONTEXT context{};
      context.ContextFlags = CONTEXT_FULL;
      if (GetThreadContext(thread, &context)) n = CollectStack(context, frames);
      ResumeThread(thread);
    }
    std::fprintf(stderr, "--- thread %lu\n", id);
    for (int i = 0; i < n; ++i) PrintAddress(frames[i]);
    CloseHandle(thread);
  });
  std::fflush(stderr);
}

void InstallCrashReport() { SetUnhandledExceptionFilter(OnFault); }

int SystemThreadCount() {
  int n = 0;
  ForEachThread([&](DWORD) { ++n; });
  return n;
}

}  // namespace stress
