// The platform layer of the package support (Package.cpp): resources,
// unloading and load failures, implemented once per platform
// (module_win.cpp, module_linux.cpp).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <filesystem>

#include "System.Package.hpp"

namespace System::os {

// The bytes of a resource of a loaded module; empty if absent.
std::span<const std::uint8_t> ResourceData(Kernel::HMODULE module, const TResourceId& type,
                                           const TResourceId& name);
// Where a bare module name is looked for first, as Windows' search does with
// the application's folder: the path in the running program's folder if a
// file of that name is there, else the name unchanged for the system's search.
std::u16string ApplicationModule(const std::u16string& name);
// Releases one reference to a module loaded by LoadModule.
void ReleaseModule(Kernel::HMODULE module);
// Why the last LoadModule of `path` on this thread failed: the system's
// reason, and the required packages that cannot be found where the system
// does not name them.
std::string LoadFailure(const std::u16string& path);

}  // namespace System::os
