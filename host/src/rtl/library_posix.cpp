// Libraries on POSIX: the dynamic loader.
#include <dlfcn.h>

#include "os.hpp"

namespace System::os {

Kernel::HMODULE ModuleHandle(const char16_t* name) {
  const std::string file = Utf8(name);
  void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_NOLOAD);
  // Like GetModuleHandleW, keep no reference: the module stays loaded by
  // whoever loaded it, so the handle stays valid.
  if (handle) dlclose(handle);
  return handle;
}

Kernel::HMODULE LoadModule(const char16_t* name) {
  const std::string file = Utf8(name);
  return dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
}

// There is no system folder to hold to: dlopen's search by a bare name
// (LD_LIBRARY_PATH, the calling library's run path, the loader's cache and
// the system's library folders) already leaves out the current folder and
// the program's own folder unless one of those names them. Only a name
// with a folder in it, which dlopen would open as a path, is refused.
Kernel::HMODULE LoadSystemModule(const char16_t* name) {
  const std::string file = Utf8(name);
  if (file.empty() || file.find('/') != std::string::npos) return nullptr;
  return dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
}

void* ProcAddress(Kernel::HMODULE module, const char* name) { return dlsym(module, name); }

std::string ToAnsi(const std::u16string& text) { return Utf8(text); }

}  // namespace System::os
