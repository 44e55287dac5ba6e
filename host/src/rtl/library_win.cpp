// Libraries on Windows: the kernel's own module services.
#include <windows.h>

#include <string>
#include <string_view>

#include "os.hpp"

namespace System::os {

static LPCWSTR Wide(const char16_t* text) { return reinterpret_cast<LPCWSTR>(text); }

Kernel::HMODULE ModuleHandle(const char16_t* name) { return ::GetModuleHandleW(Wide(name)); }

Kernel::HMODULE LoadModule(const char16_t* name) { return ::LoadLibraryW(Wide(name)); }

// A library that is not one of the system's known DLLs is searched in the
// application's folder first by LoadLibraryW: a file planted there would be
// loaded instead of the system's. Only the system folder is searched here.
Kernel::HMODULE LoadSystemModule(const char16_t* name) {
  const std::u16string_view file(name);
  if (file.empty() || file.find_first_of(u"\\/:") != std::u16string_view::npos) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (HMODULE module = ::LoadLibraryExW(Wide(name), nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32)) return module;
  // Windows 7 without KB2533623 does not know the flag: load the file of
  // that name from the system folder by its full path instead.
  if (::GetLastError() != ERROR_INVALID_PARAMETER) return nullptr;
  const UINT size = ::GetSystemDirectoryW(nullptr, 0);
  if (size == 0) return nullptr;
  std::u16string path(size, u'\0');
  const UINT length = ::GetSystemDirectoryW(reinterpret_cast<LPWSTR>(path.data()), size);
  if (length == 0 || length >= size) return nullptr;
  path.resize(length);
  path += u'\\';
  path += file;
  return ::LoadLibraryExW(Wide(path.c_str()), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

void* ProcAddress(Kernel::HMODULE module, const char* name) {
  return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(module), name));
}

std::string ToAnsi(const std::u16string& text) {
  if (text.empty()) return {};
  const int n = static_cast<int>(text.size());
  const int size = ::WideCharToMultiByte(CP_ACP, 0, Wide(text.c_str()), n, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(size), '\0');
  ::WideCharToMultiByte(CP_ACP, 0, Wide(text.c_str()), n, out.data(), size, nullptr, nullptr);
  return out;
}

}  // namespace System::os
