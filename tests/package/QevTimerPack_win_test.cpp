// The built package read back through the Windows API itself (under Wine in
// this project's runs): resources, version values and the palette bitmap.
#include "QevTimerPack.hpp"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#if defined(QEV_TARGET_win32)
#  include "version_stamp.h"
#endif

namespace {

std::wstring PackagePath() {
  wchar_t exe[MAX_PATH];
  const DWORD n = ::GetModuleFileNameW(nullptr, exe, MAX_PATH);
  std::wstring path(exe, n);
  path.resize(path.find_last_of(L"\\/") + 1);
  return path + L"" QEV_PACKAGE_FILE_W;
}

struct Module {
  HMODULE handle = ::LoadLibraryExW(PackagePath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ~Module() {
    if (handle) ::FreeLibrary(handle);
  }
};

TEST(PackageWindowsApi, FindResourceAndSizeofResourceSeeEveryResource) {
  Module m;
  ASSERT_NE(m.handle, nullptr);
  struct Case {
    LPCWSTR type, name;
    WORD language;
    DWORD size;
  };
#if defined(QEV_TARGET_win32)
  const DWORD info = 644, options = 4;
#else
  const DWORD info = 88, options = 244;
#endif
  const Case cases[] = {
      {MAKEINTRESOURCEW(10), L"PACKAGEINFO", 0, info},
      {MAKEINTRESOURCEW(10), L"DESCRIPTION", 0, 28},
      {MAKEINTRESOURCEW(10), L"PACKAGEOPTIONS", 0, options},
      {MAKEINTRESOURCEW(10), L"PLATFORMTARGETS", 1033, 2},
      {MAKEINTRESOURCEW(2), L"TQEVTIMER", 1033, 1320},
      {MAKEINTRESOURCEW(3), MAKEINTRESOURCEW(1), 1033, 296},
#if defined(QEV_TARGET_win64)
      {MAKEINTRESOURCEW(3), MAKEINTRESOURCEW(2), 1033, 744},
      {MAKEINTRESOURCEW(14), L"MAINICON", 1033, 20},
#endif
  };
  for (const Case& c : cases) {
    HRSRC found = ::FindResourceExW(m.handle, c.type, c.name, c.language);
    ASSERT_NE(found, nullptr) << c.size;
    EXPECT_EQ(::SizeofResource(m.handle, found), c.size);
  }
  // FindResourceEx falls back to other languages, so the languages
  // themselves are checked with pefile (check_pe.py).
#if defined(QEV_TARGET_win32)
  EXPECT_EQ(::FindResourceW(m.handle, L"MAINICON", MAKEINTRESOURCEW(14)), nullptr);
#endif
}

std::wstring QueryString(const std::vector<char>& block, const wchar_t* key) {
  void* value = nullptr;
  UINT size = 0;
  const std::wstring path = std::wstring(L"\\StringFileInfo\\040904E4\\") + key;
  if (!::VerQueryValueW(block.data(), path.c_str(), &value, &size) || !value) return L"<absent>";
  return static_cast<const wchar_t*>(value);
}

TEST(PackageWindowsApi, VersionValues) {
  DWORD ignored = 0;
  const std::wstring path = PackagePath();
  const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &ignored);
  ASSERT_GT(size, 0u);
  std::vector<char> block(size);
  ASSERT_TRUE(::GetFileVersionInfoW(path.c_str(), 0, size, block.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(::VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(fixed->dwFileFlagsMask, 0x3Fu);
  EXPECT_EQ(fixed->dwFileFlags, 0u);
  EXPECT_EQ(fixed->dwFileOS, 0x4u);
  EXPECT_EQ(fixed->dwFileType, 0x1u);
  EXPECT_EQ(fixed->dwFileSubtype, 0u);
  EXPECT_EQ(fixed->dwFileDateMS | fixed->dwFileDateLS, 0u);

  struct Key {
    const wchar_t* name;
    std::wstring value;
  };
#if defined(QEV_TARGET_win32)
  EXPECT_EQ(fixed->dwFileVersionMS, 0x00010003u);
  EXPECT_EQ(fixed->dwFileVersionLS, (DWORD(QEV_STAMP_DAYS) << 16) | QEV_STAMP_HALF_SECONDS);
  EXPECT_EQ(fixed->dwProductVersionMS, 0x00010003u);
  EXPECT_EQ(fixed->dwProductVersionLS, 0x00010000u);
  const Key keys[] = {{L"CompanyName", L"Qev Soft"},        {L"FileVersion", L"1.3.1.0"},
                      {L"ProductName", L"QevTimer"},        {L"ProductVersion", L"1.3.1.0"},
                      {L"FileDescription", L"QevTimerPack"}, {L"ProgramID", L"com.qevsoft.QevTimerPack"}};
#else
  EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
  EXPECT_EQ(fixed->dwFileVersionLS, 0u);
  EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
  EXPECT_EQ(fixed->dwProductVersionLS, 0u);
  const Key keys[] = {{L"FileVersion", L"1.0.0.0"}, {L"ProductVersion", L"1.0.0.0"},
                      {L"CompanyName", L"<absent>"}, {L"ProductName", L"<absent>"}};
#endif
  for (const Key& k : keys) EXPECT_EQ(QueryString(block, k.name), k.value) << std::string(k.name, k.name + wcslen(k.name));

  WORD* translation = nullptr;
  ASSERT_TRUE(::VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &length));
  ASSERT_EQ(length, 4u);
  EXPECT_EQ(translation[0], 0x0409);
  EXPECT_EQ(translation[1], 0x04E4);
}

TEST(PackageWindowsApi, LoadImageReadsThePaletteBitmap) {
  HMODULE module = ::LoadLibraryW(PackagePath().c_str());
  ASSERT_NE(module, nullptr);
  HANDLE image = ::LoadImageW(module, L"TQEVTIMER", IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION);
  ASSERT_NE(image, nullptr);
  DIBSECTION dib{};
  ASSERT_EQ(::GetObjectW(image, sizeof dib, &dib), static_cast<int>(sizeof dib));
  EXPECT_EQ(dib.dsBm.bmWidth, 16);
  EXPECT_EQ(dib.dsBm.bmHeight, 16);
  EXPECT_EQ(dib.dsBm.bmBitsPixel, 8);
  EXPECT_EQ(dib.dsBmih.biCompression, static_cast<DWORD>(BI_RGB));
  const auto* pixels = static_cast<const std::uint8_t*>(dib.dsBm.bmBits);
  ASSERT_NE(pixels, nullptr);
  HDC dc = ::CreateCompatibleDC(nullptr);
  HGDIOBJ old = ::SelectObject(dc, image);
  RGBQUAD colours[256];
  ASSERT_EQ(::GetDIBColorTable(dc, 0, 256, colours), 256u);
  ::SelectObject(dc, old);
  ::DeleteDC(dc);
  const RGBQUAD corner = colours[pixels[0]];  // bottom-left: rows are bottom-up
  EXPECT_EQ(corner.rgbRed, 255);
  EXPECT_EQ(corner.rgbGreen, 0);
  EXPECT_EQ(corner.rgbBlue, 255);
  const RGBQUAD face = colours[pixels[16 * 4 + 10]];
  EXPECT_EQ(face.rgbRed, 166);
  EXPECT_EQ(face.rgbGreen, 202);
  EXPECT_EQ(face.rgbBlue, 240);
  ::DeleteObject(image);
  ::FreeLibrary(module);
}

}  // namespace
