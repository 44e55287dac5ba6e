// Package support of the host framework stand-in: the module list, the unit
// initialization of a package, the package loader and resource lookup.
//
// A package is a shared library with a "PACKAGEINFO" resource (its identity
// table) and the entry points "Initialize" and "Finalize". Its start-up
// registers its module record (RegisterModule) when it is loaded and
// unregisters it on unload; the loader calls Initialize, which hands the
// package's unit table to _PackageLoad.
//
// All routines here are thread-safe; LoadPackage and UnloadPackage are meant
// for the application's main thread (they run unit initialization code).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "System.Kernel.hpp"
#include "System.hpp"

namespace System {

using HINSTANCE = Kernel::HMODULE;

// ---------------------------------------------------------------------------
// Package information table: what a package's build fills in and hands to
// _PackageLoad and _PackageUnload.

using TUnitProc = void (*)();

// One unit whose initialization the package depends on. Either may be null.
struct PackageUnitEntry {
  TUnitProc Init;
  TUnitProc FInit;
};

struct PackageTypeInfo {
  int TypeCount;
  const TTypeInfo* const* TypeTable;  // the type records the package lists
};

struct PackageInfoTable {
  int UnitCount;
  const PackageUnitEntry* UnitInfo;  // in dependency order
  PackageTypeInfo TypeInfo;
};
using PackageInfo = const PackageInfoTable*;

// The module record: one per loaded module, owned by that module.
struct TLibModule {
  TLibModule* Next;
  HINSTANCE Instance;
  HINSTANCE CodeInstance;
  HINSTANCE DataInstance;
  HINSTANCE ResInstance;  // a separate resource module, or the module itself, or null
  std::uintptr_t Reserved;
};

// Adds `module` to the list of loaded modules (most recent first).
QEV_RTL_API void RegisterModule(TLibModule* module);
// Removes `module` from the list; nothing happens if it is not listed.
QEV_RTL_API void UnregisterModule(TLibModule* module);
// The registered record of a module instance, or null.
QEV_RTL_API TLibModule* FindLibModule(HINSTANCE instance);

// Runs the table's initialization routines in order. If one raises, the
// finalization routines of the units already initialized run (in reverse)
// and the exception passes on.
QEV_RTL_API void _PackageLoad(PackageInfo info, TLibModule* module);
// Runs the table's finalization routines in reverse order.
QEV_RTL_API void _PackageUnload(PackageInfo info, TLibModule* module);

// ---------------------------------------------------------------------------
// Resources of a loaded module. On Windows the system's resource lookup;
// elsewhere the compiled resource file a module embeds.

// A resource type or name: an ordinal (1 to 65535) or a text, compared
// without regard to ASCII case.
struct TResourceId {
  std::uint16_t Ordinal = 0;
  std::u16string Text;
  TResourceId(int ordinal) : Ordinal(static_cast<std::uint16_t>(ordinal)) {}
  TResourceId(const char16_t* text) : Text(text) {}
};

inline constexpr int RtIcon = 3;
inline constexpr int RtBitmap = 2;
inline constexpr int RtRcData = 10;
inline constexpr int RtGroupIcon = 14;
inline constexpr int RtVersion = 16;

// The bytes of the resource, in any language, or an empty span if the module
// has none. The bytes live as long as the module stays loaded.
QEV_RTL_API std::span<const std::uint8_t> FindResourceData(HINSTANCE module, const TResourceId& type,
                                                           const TResourceId& name);

// ---------------------------------------------------------------------------
// The package identity table ("PACKAGEINFO").

inline constexpr std::uint32_t pfNeverBuild = 0x00000001;
inline constexpr std::uint32_t pfDesignOnly = 0x00000002;
inline constexpr std::uint32_t pfRunOnly = 0x00000004;
inline constexpr std::uint32_t pfIgnoreDupUnits = 0x00000008;
inline constexpr std::uint32_t pfProducerMask = 0x0C000000;
inline constexpr std::uint32_t pfModuleTypeMask = 0xC0000000;
inline constexpr std::uint32_t pfPackageModule = 0x40000000;

inline constexpr std::uint8_t ufMainUnit = 0x01;
inline constexpr std::uint8_t ufPackageUnit = 0x02;
inline constexpr std::uint8_t ufWeakUnit = 0x04;
inline constexpr std::uint8_t ufOrgWeakUnit = 0x08;

struct TPackageInfoRecord {
  struct Required {
    std::uint8_t Hash;
    std::string Name;
  };
  struct Unit {
    std::uint8_t Flags;
    std::uint8_t Hash;
    std::string Name;
  };
  std::uint32_t Flags = 0;
  std::vector<Required> Requires;
  std::vector<Unit> Contains;
  std::uint8_t NameHash = 0;
  std::string Name;  // present when the module type is package
  std::size_t Size = 0;  // bytes read, before the padding
};

class QEV_RTL_API EPackageError : public Exception {
 public:
  using Exception::Exception;
};

// Decodes an identity table. Raises EPackageError if it is cut short or a
// count is negative.
QEV_RTL_API TPackageInfoRecord ParsePackageInfo(std::span<const std::uint8_t> data);

// ---------------------------------------------------------------------------
// The package loader.

// Loads the package at `path`: loads the module, reads and checks its
// identity table (a package module; no contained unit already in a loaded
// package), loads the packages it requires (from the package's folder, then
// by the system's search), then calls its Initialize. Loading a package that
// is already loaded only counts another reference. Raises EPackageError
// naming what is missing or damaged, and then leaves nothing loaded.
QEV_RTL_API HINSTANCE LoadPackage(const UnicodeString& path);
// Drops one reference; at the last, calls Finalize, unloads the module and
// releases the packages it required. Raises EPackageError for a module that
// LoadPackage did not load.
QEV_RTL_API void UnloadPackage(HINSTANCE module);
// The packages loaded through LoadPackage, in load order.
QEV_RTL_API std::vector<HINSTANCE> LoadedPackages();
// The identity table read when the package was loaded.
QEV_RTL_API TPackageInfoRecord LoadedPackageInfo(HINSTANCE module);

}  // namespace System
