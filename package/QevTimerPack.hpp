// The package unit QevTimerPack: the package's entry points, its information
// table and its module record. Internal to the package and its tests; hosts
// reach these through the exported names only.
#pragma once

#include <cstdint>

#include "QevTimer.hpp"
#include "System.Package.hpp"

namespace Qevtimerpack {

// Entry points for the framework's package loader. The module exports them
// as "Initialize", "Finalize" and "@GetPackageInfoTable" (plain
// "GetPackageInfoTable" in the ELF build; not exported by the x86 build).
QEV_PACKAGE_API void _PackageLoad();    // hands the table and the module record to System::_PackageLoad
QEV_PACKAGE_API void _PackageUnload();  // the same to System::_PackageUnload
QEV_PACKAGE_API System::PackageInfo _GetPackageInfoTable();

// The module entry: performs the start-up step that the platform's entry
// (DllMain, or the ELF constructor and destructor) has just recorded, and
// nothing when none is pending. Registers the module record on load;
// unregisters it, and frees a separate resource module, on unload.
QEV_PACKAGE_API void initialization();

// The package unit's own initialization and finalization (listed in the
// unit table of the x86 build only): they keep its nesting count.
QEV_PACKAGE_API void Initialize();
QEV_PACKAGE_API void Finalize();

namespace detail {

enum class StartupStep { None, Load, Unload };
// Called by the platform's entry with the module's instance handle.
void RecordStartup(StartupStep step, System::HINSTANCE instance) noexcept;
System::TLibModule& ModuleRecord() noexcept;
std::int32_t UnitNesting() noexcept;
// Frees a module that the framework loaded for this one's resources.
void FreeResourceModule(System::HINSTANCE module) noexcept;

}  // namespace detail
}  // namespace Qevtimerpack
