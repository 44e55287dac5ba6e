// Package support on Windows: the kernel's resource and module services.
#include <windows.h>

#include <filesystem>

#include "module_os.hpp"

namespace System::os {

namespace {
LPCWSTR Id(const TResourceId& id) {
  return id.Ordinal ? MAKEINTRESOURCEW(id.Ordinal) : reinterpret_cast<LPCWSTR>(id.Text.c_str());
}
}  // namespace

std::span<const std::uint8_t> ResourceData(Kernel::HMODULE module, const TResourceId& type,
                                           const TResourceId& name) {
  const auto instance = static_cast<HMODULE>(module);
  HRSRC found = ::FindResourceW(instance, Id(name), Id(type));
  if (!found) return {};
  HGLOBAL loaded = ::LoadResource(instance, found);
  const void* bytes = loaded ? ::LockResource(loaded) : nullptr;
  if (!bytes) return {};
  return {static_cast<const std::uint8_t*>(bytes), ::SizeofResource(instance, found)};
}

// The system's search already begins with the application's folder.
std::u16string ApplicationModule(const std::u16string& name) { return name; }

void ReleaseModule(Kernel::HMODULE module) { ::FreeLibrary(static_cast<HMODULE>(module)); }

namespace {
std::string SystemMessage(DWORD code) {
  char text[512] = {};
  const DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                   0, text, sizeof text, nullptr);
  std::string reason(text, n);
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' || reason.back() == ' '))
    reason.pop_back();
  return "system error " + std::to_string(code) + (reason.empty() ? "" : ": " + reason);
}
}  // namespace

// The system names no missing import; read the package's identity table as
// data and look for its required packages as the loader would.
std::string LoadFailure(const std::u16string& path) {
  const std::string reason = SystemMessage(::GetLastError());
  const auto wide = [](const std::u16string& s) { return reinterpret_cast<LPCWSTR>(s.c_str()); };
  HMODULE data = ::LoadLibraryExW(wide(path), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (!data) return reason;
  std::string missing;
  try {
    const auto info = ParsePackageInfo(ResourceData(data, RtRcData, u"PACKAGEINFO"));
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    for (const auto& required : info.Requires) {
      const std::u16string name = UnicodeString(required.Name.c_str()).str();
      wchar_t found[MAX_PATH];
      if (!std::filesystem::exists(folder / name) &&
          ::SearchPathW(nullptr, wide(name), nullptr, MAX_PATH, found, nullptr) == 0)
        missing += (missing.empty() ? "" : ", ") + required.Name;
    }
  } catch (const EPackageError&) {
    // Not a readable package: the system's reason is all there is.
  }
  ::FreeLibrary(data);
  return missing.empty() ? reason : "required package " + missing + " cannot be found (" + reason + ")";
}

}  // namespace System::os
