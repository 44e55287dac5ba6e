// Runs from a folder that also holds a library named "winmm.dll" of the
// test's own (planted_winmm_win.cpp), with Wine told to prefer such native
// libraries. The timer must bind the system's multimedia library all the
// same: the planted one is never loaded.
#include <windows.h>

#include <gtest/gtest.h>

#include <cwctype>
#include <string>

#include "QevTimer.hpp"
#include "support/Wait.hpp"

namespace {

std::wstring Folder(std::wstring path) {
  const std::size_t slash = path.find_last_of(L"\\/");
  path.resize(slash == std::wstring::npos ? 0 : slash);
  for (wchar_t& c : path) c = static_cast<wchar_t>(std::towlower(c));
  return path;
}

std::wstring ModuleFolder(HMODULE module) {
  wchar_t path[MAX_PATH * 2];
  const DWORD n = ::GetModuleFileNameW(module, path, MAX_PATH * 2);
  return Folder(std::wstring(path, n));
}

std::wstring SystemFolder() {
  wchar_t path[MAX_PATH];
  const UINT n = ::GetSystemDirectoryW(path, MAX_PATH);
  return Folder(std::wstring(path, n) + L"\\x");
}

void* Entry(HMODULE module, const char* name) { return reinterpret_cast<void*>(::GetProcAddress(module, name)); }

bool PlantedLoaded() { return ::GetEnvironmentVariableW(L"QEV_PLANTED_WINMM", nullptr, 0) != 0; }

TEST(PlantedWinmm, TheTimerBindsTheSystemsLibraryOnly) {
  // The planted library is really there, where the system would look first.
  ASSERT_NE(::GetFileAttributesW((ModuleFolder(nullptr) + L"\\winmm.dll").c_str()), INVALID_FILE_ATTRIBUTES);
  ASSERT_EQ(::GetModuleHandleW(L"winmm.dll"), nullptr) << "the program itself must not link winmm";

  auto* timer = new Qevtimer::TQevTimer(nullptr);
  timer->SetInterval(0.001);
  ASSERT_TRUE(qevtest::ServeUntil([&] { return timer->GetCycleNumber() >= 2; }));
  delete timer;

  EXPECT_FALSE(PlantedLoaded()) << "the planted winmm.dll beside the program was loaded";
  const HMODULE winmm = ::GetModuleHandleW(L"winmm.dll");
  ASSERT_NE(winmm, nullptr);
  EXPECT_EQ(ModuleFolder(winmm), SystemFolder());
  // The resolution was raised through the system library's own entry points.
  EXPECT_EQ(reinterpret_cast<void*>(Qevtimer::_timeBeginPeriod.load()), Entry(winmm, "timeBeginPeriod"));
  EXPECT_EQ(reinterpret_cast<void*>(Qevtimer::_timeGetDevCaps.load()), Entry(winmm, "timeGetDevCaps"));
  EXPECT_NE(Qevtimer::_timeBeginPeriod.load(), nullptr);
}

}  // namespace
