// Threads on Windows: _beginthreadex (so the C runtime knows the thread),
// created suspended, with the seven framework priority steps mapped onto the
// seven SetThreadPriority levels.
#include <windows.h>
#include <process.h>

#include "os.hpp"

struct System::Kernel::OsThread {
  HANDLE handle = nullptr;
  DWORD id = 0;
  Kernel::ThreadEntry entry = nullptr;
  void* arg = nullptr;
};

namespace System::os {
namespace {

constexpr int kLevel[7] = {THREAD_PRIORITY_IDLE,         THREAD_PRIORITY_LOWEST,
                           THREAD_PRIORITY_BELOW_NORMAL, THREAD_PRIORITY_NORMAL,
                           THREAD_PRIORITY_ABOVE_NORMAL, THREAD_PRIORITY_HIGHEST,
                           THREAD_PRIORITY_TIME_CRITICAL};

unsigned __stdcall Trampoline(void* p) {
#if defined(QEV_TARGET_win32)
  // New threads start with the x87 unit at 53-bit precision; the framework's
  // long double arithmetic wants the full 64-bit mantissa, as on the main
  // thread.
  const unsigned short controlWord = 0x037F;
  __asm__ __volatile__("fldcw %0" : : "m"(controlWord));
#endif
  auto* t = static_cast<Kernel::OsThread*>(p);
  const Kernel::ThreadEntry entry = t->entry;  // `t` may be released by the entry
  void* const arg = t->arg;
  entry(arg);
  return 0;
}

}  // namespace

Kernel::OsThread* CreateThread(Kernel::ThreadEntry entry, void* arg) {
  auto* t = new Kernel::OsThread;
  t->entry = entry;
  t->arg = arg;
  unsigned id = 0;
  const uintptr_t h = _beginthreadex(nullptr, 0, Trampoline, t, CREATE_SUSPENDED, &id);
  if (h == 0) {
    delete t;
    return nullptr;
  }
  t->handle = reinterpret_cast<HANDLE>(h);
  t->id = id;
  return t;
}

void StartThread(Kernel::OsThread* t) { ::ResumeThread(t->handle); }

void SetThreadPriority(Kernel::OsThread* t, int step) {
  if (step >= 0 && step <= 6) ::SetThreadPriority(t->handle, kLevel[step]);
}

int ThreadPriority(Kernel::OsThread* t) {
  const int level = ::GetThreadPriority(t->handle);
  for (int step = 0; step < 7; ++step)
    if (kLevel[step] == level) return step;
  return -1;
}

std::uint64_t ThreadId(Kernel::OsThread* t) { return t->id; }

void JoinThread(Kernel::OsThread* t) {
  ::WaitForSingleObject(t->handle, INFINITE);
  ::CloseHandle(t->handle);
  delete t;
}

void DetachThread(Kernel::OsThread* t) {
  ::CloseHandle(t->handle);
  delete t;
}

std::uint64_t CurrentThreadId() { return ::GetCurrentThreadId(); }

void SleepMs(std::uint32_t ms) { ::Sleep(ms); }

}  // namespace System::os
