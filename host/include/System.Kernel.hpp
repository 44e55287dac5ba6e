// System::Kernel: the operating-system services that the framework and the
// libraries built on it call, behind one replaceable table.
//
// Every call goes through the installed `Services`. Tests install their own
// entries to count calls or to make them fail, and call the saved previous
// entries to pass the call on. Entries are read and written atomically, so a
// table may be installed while threads run; restore the previous one when done.
//
// The default table maps onto Windows (GetModuleHandleW, LoadLibraryW,
// LoadLibraryExW limited to the system folder, GetProcAddress, Sleep,
// _beginthreadex) or, elsewhere, onto the dynamic loader (dlopen with
// RTLD_NOLOAD, dlopen, dlsym), clock_nanosleep on the monotonic clock and
// pthreads.
#pragma once

#include <cstdint>

#include "System.Export.hpp"

namespace System::Kernel {

using HMODULE = void*;
using ThreadEntry = void (*)(void* arg);
struct OsThread;  // a system thread made by CreateThread

struct Services {
  // Handle of an already loaded library, without loading it; null if none.
  HMODULE (*GetModuleHandleW)(const char16_t* name);
  // Loads a library by name (the system's search rules); null on failure.
  HMODULE (*LoadLibraryW)(const char16_t* name);
  // Loads a library of the system by its file name, from the system folder
  // only: on Windows LoadLibraryExW with LOAD_LIBRARY_SEARCH_SYSTEM32, or,
  // where the system refuses that flag (Windows 7 without its update), the
  // file of that name in GetSystemDirectoryW; never the application's
  // folder, the current folder or PATH. Elsewhere dlopen's own search
  // (LD_LIBRARY_PATH, the run path, the system's library folders), which
  // never looks in the current folder by itself. A name with a folder in it
  // is refused. Null on failure.
  HMODULE (*LoadSystemLibraryW)(const char16_t* name);
  // Address of an exported entry point; null if the module lacks it.
  void* (*GetProcAddress)(HMODULE module, const char* name);
  // Blocks the calling thread for `ms` milliseconds. Every sleep of the
  // libraries comes here, TThread::Sleep too unless its own hook is set
  // (System.Classes.hpp says which of the two a test replaces).
  void (*Sleep)(std::uint32_t ms);
  // Creates a system thread that stays parked until StartThread; null when
  // the system refuses.
  OsThread* (*CreateThread)(ThreadEntry entry, void* arg);
};

// The platform's own services.
QEV_RTL_API Services DefaultServices() noexcept;
// Installs `services` and returns the table that was installed before.
QEV_RTL_API Services Install(const Services& services) noexcept;

// Calls through the installed table.
QEV_RTL_API HMODULE GetModuleHandleW(const char16_t* name);
QEV_RTL_API HMODULE LoadLibraryW(const char16_t* name);
QEV_RTL_API HMODULE LoadSystemLibraryW(const char16_t* name);
QEV_RTL_API void* GetProcAddress(HMODULE module, const char* name);
QEV_RTL_API void Sleep(std::uint32_t ms);
QEV_RTL_API OsThread* CreateThread(ThreadEntry entry, void* arg);

// Operations on a created thread. Priority steps are 0 (idle) to 6
// (time-critical); setting is best effort and never fails: what the system
// refuses is left as it was. ThreadPriority reads the step back from the
// system (the nearest step where the system's scale is finer).
QEV_RTL_API void StartThread(OsThread* thread) noexcept;
QEV_RTL_API void SetThreadPriority(OsThread* thread, int step) noexcept;
QEV_RTL_API int ThreadPriority(OsThread* thread) noexcept;
QEV_RTL_API std::uint64_t ThreadId(OsThread* thread) noexcept;
// Waits for the thread to end and releases it. Never on the thread itself.
QEV_RTL_API void JoinThread(OsThread* thread) noexcept;
// Releases a thread without waiting; it runs on and ends by itself.
QEV_RTL_API void DetachThread(OsThread* thread) noexcept;

// Identifier of the calling thread.
QEV_RTL_API std::uint64_t CurrentThreadId() noexcept;
// Identifier of the thread that loaded the stand-in: the application's main
// thread.
QEV_RTL_API std::uint64_t MainThreadId() noexcept;
// Whether the calling thread is the main thread.
QEV_RTL_API bool IsMainThread() noexcept;

}  // namespace System::Kernel
