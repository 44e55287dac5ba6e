#include "System.Kernel.hpp"

#include <atomic>

#include "os.hpp"

namespace System::Kernel {
namespace {

// One atomic per entry: a reader sees either the old or the new function.
struct Table {
  std::atomic<decltype(Services::GetModuleHandleW)> getModuleHandle{os::ModuleHandle};
  std::atomic<decltype(Services::LoadLibraryW)> loadLibrary{os::LoadModule};
  std::atomic<decltype(Services::LoadSystemLibraryW)> loadSystemLibrary{os::LoadSystemModule};
  std::atomic<decltype(Services::GetProcAddress)> getProcAddress{os::ProcAddress};
  std::atomic<decltype(Services::Sleep)> sleep{os::SleepMs};
  std::atomic<decltype(Services::CreateThread)> createThread{os::CreateThread};
};

Table& table() {
  static Table t;
  return t;
}

// Captured while the library loads, on the thread that loads it.
const std::uint64_t mainThread = os::CurrentThreadId();

}  // namespace

Services DefaultServices() noexcept {
  return {os::ModuleHandle, os::LoadModule, os::LoadSystemModule, os::ProcAddress, os::SleepMs, os::CreateThread};
}

Services Install(const Services& s) noexcept {
  Table& t = table();
  return {t.getModuleHandle.exchange(s.GetModuleHandleW), t.loadLibrary.exchange(s.LoadLibraryW),
          t.loadSystemLibrary.exchange(s.LoadSystemLibraryW), t.getProcAddress.exchange(s.GetProcAddress), t.sleep.exchange(s.Sleep),
          t.createThread.exchange(s.CreateThread)};
}

HMODULE GetModuleHandleW(const char16_t* name) { return table().getModuleHandle.load()(name); }
HMODULE LoadLibraryW(const char16_t* name) { return table().loadLibrary.load()(name); }
HMODULE LoadSystemLibraryW(const char16_t* name) { return table().loadSystemLibrary.load()(name); }
void* GetProcAddress(HMODULE module, const char* name) {
  return table().getProcAddress.load()(module, name);
}
void Sleep(std::uint32_t ms) { table().sleep.load()(ms); }
OsThread* CreateThread(ThreadEntry entry, void* arg) {
  return table().createThread.load()(entry, arg);
}

void StartThread(OsThread* t) noexcept { os::StartThread(t); }
void SetThreadPriority(OsThread* t, int step) noexcept { os::SetThreadPriority(t, step); }
int ThreadPriority(OsThread* t) noexcept { return os::ThreadPriority(t); }
std::uint64_t ThreadId(OsThread* t) noexcept { return os::ThreadId(t); }
void JoinThread(OsThread* t) noexcept { os::JoinThread(t); }
void DetachThread(OsThread* t) noexcept { os::DetachThread(t); }
std::uint64_t CurrentThreadId() noexcept { return os::CurrentThreadId(); }
std::uint64_t MainThreadId() noexcept { return mainThread; }
bool IsMainThread() noexcept { return os::CurrentThreadId() == mainThread; }

}  // namespace System::Kernel
