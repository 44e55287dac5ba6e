// Libraries on Windows: the kernel's own module services.
#include <windows.h>

#include "os.hpp"

namespace System::os {

static LPCWSTR Wide(const char16_t* text) { return reinterpret_cast<LPCWSTR>(text); }

Kernel::HMODULE ModuleHandle(const char16_t* name) { return ::GetModuleHandleW(Wide(name)); }

Kernel::HMODULE LoadModule(const char16_t* name) { return ::LoadLibraryW(Wide(name)); }

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
