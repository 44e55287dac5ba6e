// The module start-up on POSIX: an ELF constructor and destructor hand the
// load and the unload to the package's module entry. ELF names cannot carry
// the framework's "@" names, so the loader's entry points are exported here
// under plain names.
#include <dlfcn.h>

#include "QevTimerPack.hpp"

namespace Qevtimerpack::detail {

namespace {

// This module's handle, without keeping a reference (as GetModuleHandle).
System::HINSTANCE OwnHandle() {
  Dl_info info{};
  if (!dladdr(reinterpret_cast<void*>(&OwnHandle), &info) || !info.dli_fname) return nullptr;
  void* handle = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
  if (handle) dlclose(handle);
  return handle;
}

__attribute__((constructor)) void Loaded() {
  RecordStartup(StartupStep::Load, OwnHandle());
  initialization();
}

__attribute__((destructor)) void Unloading() {
  RecordStartup(StartupStep::Unload, ModuleRecord().Instance);
  initialization();
}

}  // namespace
}  // namespace Qevtimerpack::detail

extern "C" {
QEV_EXPORT void Initialize() { Qevtimerpack::_PackageLoad(); }
QEV_EXPORT void Finalize() { Qevtimerpack::_PackageUnload(); }
QEV_EXPORT System::PackageInfo GetPackageInfoTable() { return Qevtimerpack::_GetPackageInfoTable(); }
}
