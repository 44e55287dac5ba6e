#include "System.Kernel.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "System.hpp"

namespace {

namespace K = System::Kernel;

#if defined(_WIN32)
constexpr const char16_t* kLoadedLibrary = u"kernel32.dll";
constexpr const char* kLoadedEntry = "GetTickCount";
#else
constexpr const char16_t* kLoadedLibrary = u"libc.so.6";
constexpr const char* kLoadedEntry = "malloc";
#endif
constexpr const char16_t* kAbsentLibrary = u"qev-no-such-library.dll";

TEST(Kernel, DefaultServicesReachTheSystemLoader) {
  const K::HMODULE loaded = K::GetModuleHandleW(kLoadedLibrary);
  ASSERT_NE(loaded, nullptr);
  EXPECT_NE(K::GetProcAddress(loaded, kLoadedEntry), nullptr);
  EXPECT_EQ(K::GetProcAddress(loaded, "qevNoSuchEntryPoint"), nullptr);
  EXPECT_EQ(K::GetModuleHandleW(kAbsentLibrary), nullptr);
  EXPECT_EQ(K::LoadLibraryW(kAbsentLibrary), nullptr);
}

// A table that records every call and refuses what the test says.
std::vector<std::string> calls;
bool refuseAll = false;
K::Services system;

K::HMODULE RecordModule(const char16_t* n) {
  calls.push_back("module " + System::UnicodeString(n).ToUtf8());
  return refuseAll ? nullptr : system.GetModuleHandleW(n);
}
K::HMODULE RecordLoad(const char16_t* n) {
  calls.push_back("load " + System::UnicodeString(n).ToUtf8());
  return refuseAll ? nullptr : system.LoadLibraryW(n);
}
void* RecordProc(K::HMODULE m, const char* n) {
  calls.push_back(std::string("proc ") + n);
  return refuseAll ? nullptr : system.GetProcAddress(m, n);
}
void RecordSleep(std::uint32_t ms) { calls.push_back("sleep " + std::to_string(ms)); }

TEST(Kernel, InstalledServicesSeeEveryCallAndCanRefuse) {
  system = K::DefaultServices();
  const K::Services previous = K::Install({RecordModule, RecordLoad, RecordProc, RecordSleep, system.CreateThread});
  calls.clear();
  refuseAll = false;
  EXPECT_NE(K::GetModuleHandleW(kLoadedLibrary), nullptr);
  K::Sleep(100000);  // recorded, not slept
  refuseAll = true;
  EXPECT_EQ(K::GetModuleHandleW(kLoadedLibrary), nullptr);
  EXPECT_EQ(K::LoadLibraryW(kLoadedLibrary), nullptr);
  EXPECT_EQ(K::GetProcAddress(nullptr, "x"), nullptr);
  const K::Services mine = K::Install(previous);
  EXPECT_EQ(mine.Sleep, &RecordSleep);
  const std::string lib = System::UnicodeString(kLoadedLibrary).ToUtf8();
  EXPECT_EQ(calls, (std::vector<std::string>{"module " + lib, "sleep 100000", "module " + lib, "load " + lib,
                                             "proc x"}));
  EXPECT_NE(K::GetModuleHandleW(kLoadedLibrary), nullptr);  // the system again
}

}  // namespace
