// Runs from a folder that also holds a library named "winmm.dll" of the
// test's own (planted_winmm_win.cpp), with Wine told to prefer such native
// libraries. The timer must bind the system's multimedia library all the
// same: the planted one is never loaded. The application's own libraries in
// that folder bind through LinkAPI by their bare name and by full path.
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

bool Loaded(const wchar_t* name) {
  return ::GetEnvironmentVariableW((std::wstring(L"QEV_LOADED_") + name).c_str(), nullptr, 0) != 0;
}

// Under Wine, a library beside the program is tried first only when Wine is
// told to prefer native ones; without that this test could not fail.
bool UnderWineWithoutNativeWinmm() {
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  if (!ntdll || !::GetProcAddress(ntdll, "wine_get_version")) return false;
  wchar_t overrides[512] = {};
  ::GetEnvironmentVariableW(L"WINEDLLOVERRIDES", overrides, 512);
  return std::wstring(overrides).find(L"winmm=n") == std::wstring::npos;
}

TEST(PlantedWinmm, TheTimerBindsTheSystemsLibraryOnly) {
  ASSERT_FALSE(UnderWineWithoutNativeWinmm()) << "WINEDLLOVERRIDES does not prefer a native winmm.dll";
  // The planted library is really there, where the system would look first.
  ASSERT_NE(::GetFileAttributesW((ModuleFolder(nullptr) + L"\\winmm.dll").c_str()), INVALID_FILE_ATTRIBUTES);
  ASSERT_EQ(::GetModuleHandleW(L"winmm.dll"), nullptr) << "the program itself must not link winmm";

  auto* timer = new Qevtimer::TQevTimer(nullptr);
  timer->SetInterval(0.001);
  ASSERT_TRUE(qevtest::ServeUntil([&] { return timer->GetCycleNumber() >= 2; }));
  delete timer;

  EXPECT_FALSE(Loaded(L"WINMM")) << "the planted winmm.dll beside the program was loaded";
  EXPECT_EQ(Qevtimer::LinkAPI(u"winmm.dll", u"PlantedEntry"), nullptr);
  const HMODULE winmm = ::GetModuleHandleW(L"winmm.dll");
  ASSERT_NE(winmm, nullptr);
  EXPECT_EQ(ModuleFolder(winmm), SystemFolder());
  // The resolution was raised through the system library's own entry points.
  EXPECT_EQ(reinterpret_cast<void*>(Qevtimer::_timeBeginPeriod.load()), Entry(winmm, "timeBeginPeriod"));
  EXPECT_EQ(reinterpret_cast<void*>(Qevtimer::_timeGetDevCaps.load()), Entry(winmm, "timeGetDevCaps"));
  EXPECT_NE(Qevtimer::_timeBeginPeriod.load(), nullptr);
}

// A library the system folder lacks gets LoadLibraryW's own search, which
// starts in the application's folder; a full path loads that file.
TEST(PlantedWinmm, LinkAPIBindsTheApplicationsOwnLibraries) {
  const std::wstring beside = ModuleFolder(nullptr);
  const std::u16string fullPath(reinterpret_cast<const char16_t*>((beside + L"\\qev_own_path.dll").c_str()));
  const struct {
    const wchar_t* module;
    std::u16string name;
  } cases[] = {{L"qev_own_bare.dll", u"qev_own_bare.dll"}, {L"qev_own_path.dll", fullPath}};
  for (const auto& c : cases) {
    ASSERT_EQ(::GetModuleHandleW(c.module), nullptr) << "already loaded: " << c.module;
    void* entry = Qevtimer::LinkAPI(System::UnicodeString(c.name), u"PlantedEntry");
    const HMODULE module = ::GetModuleHandleW(c.module);
    ASSERT_NE(module, nullptr) << c.module;
    EXPECT_EQ(ModuleFolder(module), beside) << c.module;
    EXPECT_EQ(entry, Entry(module, "PlantedEntry")) << c.module;
    EXPECT_NE(entry, nullptr) << c.module;
  }
  EXPECT_FALSE(Loaded(L"WINMM"));
}

}  // namespace
