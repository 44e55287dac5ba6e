// Windows: thread stacks by suspending each thread and unwinding its context
// (x86-64: the unwind tables; x86: the instruction pointer and the frame
// chain, best effort). Addresses are printed as module + offset.
#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <vector>

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

// The loaded images, and on x86-64 their function tables, read before any
// thread is suspended: the system's own lookups take the loader's lock, which
// a suspended thread may hold.
struct Image {
  DWORD_PTR base, end;
#if defined(_WIN64)
  const RUNTIME_FUNCTION* functions = nullptr;
  std::size_t count = 0;
#endif
};
std::vector<Image> images;

void ReadImages() {
  images.clear();
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return;
  MODULEENTRY32W module{};
  module.dwSize = sizeof module;
  for (BOOL ok = Module32FirstW(snapshot, &module); ok; ok = Module32NextW(snapshot, &module)) {
    const BYTE* base = module.modBaseAddr;
    Image image{reinterpret_cast<DWORD_PTR>(base), reinterpret_cast<DWORD_PTR>(base) + module.modBaseSize};
#if defined(_WIN64)
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& table = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXCEPTION];
    image.functions = reinterpret_cast<const RUNTIME_FUNCTION*>(base + table.VirtualAddress);
    image.count = table.Size / sizeof(RUNTIME_FUNCTION);
#endif
    images.push_back(image);
  }
  CloseHandle(snapshot);
}

const Image* ImageOf(DWORD_PTR address) {
  for (const Image& image : images)
    if (address >= image.base && address < image.end) return &image;
  return nullptr;
}

#if defined(_WIN64)
const RUNTIME_FUNCTION* LookUpFunction(DWORD64 pc, DWORD64* imageBase) {
  const Image* image = ImageOf(pc);
  if (!image) return nullptr;
  const auto rva = static_cast<DWORD>(pc - image->base);
  const RUNTIME_FUNCTION* end = image->functions + image->count;
  const RUNTIME_FUNCTION* f = std::upper_bound(image->functions, end, rva,
                                               [](DWORD r, const RUNTIME_FUNCTION& e) { return r < e.BeginAddress; });
  if (f == image->functions || rva >= (--f)->EndAddress) return nullptr;
  *imageBase = image->base;
  return f;
}
#endif

// The return addresses of the stack that `context` describes, innermost first.
// Prints nothing and takes no lock: the thread being read may hold the C
// runtime's locks or the loader's.
constexpr int kMostFrames = 40;
int CollectStack(CONTEXT context, DWORD_PTR (&frames)[kMostFrames]) {
  int n = 0;
#if defined(_WIN64)
  for (; n < kMostFrames && context.Rip; ++n) {
    frames[n] = context.Rip;
    DWORD64 imageBase = 0;
    auto* function = const_cast<PRUNTIME_FUNCTION>(LookUpFunction(context.Rip, &imageBase));
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
  // Code built without frame pointers breaks the chain: it ends at the first
  // return address outside every image.
  frames[n++] = context.Eip;
  for (DWORD ebp = context.Ebp; n < kMostFrames && ebp;) {
    const DWORD* link = reinterpret_cast<const DWORD*>(ebp);
    if (!Readable(link, 8) || !ImageOf(link[1])) break;
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
  ReadImages();
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
  // Each thread is suspended only while its stack is read: the addresses are
  // printed once it runs again.
  ReadImages();
  std::vector<DWORD> ids;
  ForEachThread([&](DWORD id) {
    if (id != GetCurrentThreadId()) ids.push_back(id);
  });
  for (const DWORD id : ids) {
    HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT | THREAD_QUERY_INFORMATION, FALSE, id);
    if (!thread) continue;
    DWORD_PTR frames[kMostFrames];
    int n = 0;
    if (SuspendThread(thread) != static_cast<DWORD>(-1)) {
      CONTEXT context{};
      context.ContextFlags = CONTEXT_FULL;
      if (GetThreadContext(thread, &context)) n = CollectStack(context, frames);
      ResumeThread(thread);
    }
    CloseHandle(thread);
    std::fprintf(stderr, "--- thread %lu\n", id);
    for (int i = 0; i < n; ++i) PrintAddress(frames[i]);
  }
  std::fflush(stderr);
}

void InstallCrashReport() { SetUnhandledExceptionFilter(OnFault); }

int SystemThreadCount() {
  int n = 0;
  ForEachThread([&](DWORD) { ++n; });
  return n;
}

}  // namespace stress
