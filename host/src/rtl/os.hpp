// The platform layer of the rtl package: one set of functions, implemented
// once per platform (library_*.cpp: modules, entry points and the code-page
// conversion; thread_*.cpp: threads and sleeping). The package support has
// its own layer, module_os.hpp.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "System.Kernel.hpp"

namespace System::os {

Kernel::HMODULE ModuleHandle(const char16_t* name);
Kernel::HMODULE LoadModule(const char16_t* name);
Kernel::HMODULE LoadSystemModule(const char16_t* name);
void* ProcAddress(Kernel::HMODULE module, const char* name);
void SleepMs(std::uint32_t ms);

Kernel::OsThread* CreateThread(Kernel::ThreadEntry entry, void* arg);
void StartThread(Kernel::OsThread* thread);
void SetThreadPriority(Kernel::OsThread* thread, int step);
int ThreadPriority(Kernel::OsThread* thread);
std::uint64_t ThreadId(Kernel::OsThread* thread);
void JoinThread(Kernel::OsThread* thread);
void DetachThread(Kernel::OsThread* thread);
std::uint64_t CurrentThreadId();

// UTF-16 to the system's default code page.
std::string ToAnsi(const std::u16string& text);

// UTF-16 to UTF-8 (shared by every platform; System.cpp).
std::string Utf8(std::u16string_view text);

}  // namespace System::os
