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
  EXPECT_EQ(K::LoadSystemLibraryW(kAbsentLibrary), nullptr);
}

// The system-folder load takes a bare file name; one with a folder in it
// (which would name any file) is refused, whatever exists there.
TEST(Kernel, SystemLibraryLoadRefusesNamesWithAFolder) {
  const char16_t* const refused[] = {u"", u"./x.dll", u"sub/x.dll", u"/abs/x.dll",
#if defined(_WIN32)
                                     u".\\x.dll", u"C:x.dll", u"C:\\Windows\\System32\\kernel32.dll",
#else
                                     u"/lib/x86_64-linux-gnu/libc.so.6",
#endif
  };
  for (const char16_t* name : refused)
    EXPECT_EQ(K::LoadSystemLibraryW(name), nullptr) << System::UnicodeString(name).ToUtf8();
  // A bare name of the system's is found.
  EXPECT_NE(K::LoadSystemLibraryW(kLoadedLibrary), nullptr);
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
K::HMODULE RecordSystemLoad(const char16_t* n) {
  calls.push_back("system load " + System::UnicodeString(n).ToUtf8());
  return refuseAll ? nullptr : system.LoadSystemLibraryW(n);
}
void* RecordProc(K::HMODULE m, const char* n) {
  calls.push_back(std::string("proc ") + n);
  return refuseAll ? nullptr : system.GetProcAddress(m, n);
}
void RecordSleep(std::uint32_t ms) { calls.push_back("sleep " + std::to_string(ms)); }

TEST(Kernel, InstalledServicesSeeEveryCallAndCanRefuse) {
  system = K::DefaultServices();
  const K::Services previous =
      K::Install({RecordModule, RecordLoad, RecordSystemLoad, RecordProc, RecordSleep, system.CreateThread});
  calls.clear();
  refuseAll = false;
  EXPECT_NE(K::GetModuleHandleW(kLoadedLibrary), nullptr);
  K::Sleep(100000);  // recorded, not slept
  refuseAll = true;
  EXPECT_EQ(K::GetModuleHandleW(kLoadedLibrary), nullptr);
  EXPECT_EQ(K::LoadLibraryW(kLoadedLibrary), nullptr);
  EXPECT_EQ(K::LoadSystemLibraryW(kLoadedLibrary), nullptr);
  EXPECT_EQ(K::GetProcAddress(nullptr, "x"), nullptr);
  const K::Services mine = K::Install(previous);
  EXPECT_EQ(mine.Sleep, &RecordSleep);
  const std::string lib = System::UnicodeString(kLoadedLibrary).ToUtf8();
  EXPECT_EQ(calls, (std::vector<std::string>{"module " + lib, "sleep 100000", "module " + lib, "load " + lib,
                                             "system load " + lib, "proc x"}));
  EXPECT_NE(K::GetModuleHandleW(kLoadedLibrary), nullptr);  // the system again
}

}  // namespace
