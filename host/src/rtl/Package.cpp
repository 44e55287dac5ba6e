#include "System.Package.hpp"

#include <algorithm>
#include <filesystem>
#include <mutex>

#include "module_os.hpp"

namespace System {

namespace {

// Never destroyed: modules unregister from their start-up code, which may run
// after this library's static destructors at process exit.
struct ModuleList {
  std::mutex lock;
  TLibModule* head = nullptr;
};
ModuleList& Modules() {
  static auto* list = new ModuleList;
  return *list;
}

}  // namespace

void RegisterModule(TLibModule* module) {
  ModuleList& list = Modules();
  std::lock_guard guard(list.lock);
  module->Next = list.head;
  list.head = module;
}

void UnregisterModule(TLibModule* module) {
  ModuleList& list = Modules();
  std::lock_guard guard(list.lock);
  for (TLibModule** link = &list.head; *link; link = &(*link)->Next) {
    if (*link == module) {
      *link = module->Next;
      module->Next = nullptr;
      return;
    }
  }
}

TLibModule* FindLibModule(HINSTANCE instance) {
  ModuleList& list = Modules();
  std::lock_guard guard(list.lock);
  for (TLibModule* m = list.head; m; m = m->Next)
    if (m->Instance == instance) return m;
  return nullptr;
}

void _PackageLoad(PackageInfo info, TLibModule*) {
  int done = 0;
  try {
    for (; done < info->UnitCount; ++done)
      if (info->UnitInfo[done].Init) info->UnitInfo[done].Init();
  } catch (...) {
    while (done-- > 0)
      if (info->UnitInfo[done].FInit) info->UnitInfo[done].FInit();
    throw;
  }
}

void _PackageUnload(PackageInfo info, TLibModule*) {
  for (int i = info->UnitCount; i-- > 0;)
    if (info->UnitInfo[i].FInit) info->UnitInfo[i].FInit();
}

std::span<const std::uint8_t> FindResourceData(HINSTANCE module, const TResourceId& type,
                                               const TResourceId& name) {
  return module ? os::ResourceData(module, type, name) : std::span<const std::uint8_t>{};
}

// ---------------------------------------------------------------------------
// Identity table

namespace {

struct Reader {
  std::span<const std::uint8_t> data;
  std::size_t at = 0;

  [[noreturn]] static void Damaged(const char* what) {
    throw EPackageError(UnicodeString(std::string("damaged package identity table: ") + what));
  }
  std::uint8_t Byte(const char* what) {
    if (at >= data.size()) Damaged(what);
    return data[at++];
  }
  std::uint32_t U32(const char* what) {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= std::uint32_t(Byte(what)) << (8 * i);
    return v;
  }
  int Count(const char* what) {
    const auto n = static_cast<std::int32_t>(U32(what));
    // Each item takes at least two bytes.
    if (n < 0 || std::size_t(n) > data.size()) Damaged(what);
    return n;
  }
  std::string Text(const char* what) {
    std::string s;
    for (std::uint8_t c; (c = Byte(what)) != 0;) s.push_back(static_cast<char>(c));
    return s;
  }
};

}  // namespace

TPackageInfoRecord ParsePackageInfo(std::span<const std::uint8_t> data) {
  Reader r{data};
  TPackageInfoRecord info;
  info.Flags = r.U32("flags");
  for (int n = r.Count("requires count"); n > 0; --n) {
    TPackageInfoRecord::Required item;
    item.Hash = r.Byte("required package");
    item.Name = r.Text("required package");
    info.Requires.push_back(std::move(item));
  }
  for (int n = r.Count("contains count"); n > 0; --n) {
    TPackageInfoRecord::Unit item;
    item.Flags = r.Byte("contained unit");
    item.Hash = r.Byte("contained unit");
    item.Name = r.Text("contained unit");
    info.Contains.push_back(std::move(item));
  }
  if ((info.Flags & pfModuleTypeMask) == pfPackageModule) {
    info.NameHash = r.Byte("package name");
    info.Name = r.Text("package name");
  }
  info.Size = r.at;
  return info;
}

// ---------------------------------------------------------------------------
// Loader

namespace {

using Path = std::filesystem::path;

struct LoadedPackage {
  HINSTANCE module;
  std::u16string path;
  TPackageInfoRecord info;
  int references;
  void (*finalize)();
  // What this package holds: required packages (by LoadPackage) and plain
  // runtime libraries (by the module loader), released in reverse order.
  std::vector<HINSTANCE> requiredPackages;
  std::vector<HINSTANCE> requiredLibraries;
};

// Guarded by a recursive mutex: loading a package loads its requirements.
struct PackageList {
  std::recursive_mutex lock;
  std::vector<LoadedPackage> packages;

  LoadedPackage* Find(HINSTANCE module) {
    for (auto& p : packages)
      if (p.module == module) return &p;
    return nullptr;
  }
};
PackageList& Packages() {
  static auto* list = new PackageList;
  return *list;
}

[[noreturn]] void Fail(const std::string& message) { throw EPackageError(UnicodeString(message)); }

std::string Utf8(const Path& p) { return UnicodeString(p.u16string()).ToUtf8(); }

// Unloads everything a failed or finished load holds, last taken first.
void ReleaseRequirements(LoadedPackage& package) {
  while (!package.requiredLibraries.empty()) {
    os::ReleaseModule(package.requiredLibraries.back());
    package.requiredLibraries.pop_back();
  }
  while (!package.requiredPackages.empty()) {
    UnloadPackage(package.requiredPackages.back());
    package.requiredPackages.pop_back();
  }
}

// Loads one required package: another package through LoadPackage, or a
// plain runtime library (a module without an identity table).
void LoadRequirement(LoadedPackage& package, const std::string& name, const Path& folder) {
  const Path beside = folder / Path(UnicodeString(name.c_str()).str());
  const Path candidate =
      std::filesystem::exists(beside) ? beside : Path(os::ApplicationModule(UnicodeString(name.c_str()).str()));
  HINSTANCE module = Kernel::LoadLibraryW(candidate.u16string().c_str());
  if (!module)
    Fail("package " + Utf8(Path(package.path).filename()) + " requires " + name +
         ", which cannot be loaded (" + os::LoadFailure(candidate.u16string()) + ")");
  if (os::ResourceData(module, RtRcData, u"PACKAGEINFO").empty()) {
    package.requiredLibraries.push_back(module);
    return;
  }
  try {
    HINSTANCE required = LoadPackage(UnicodeString(candidate.u16string()));
    os::ReleaseModule(module);  // LoadPackage holds its own reference
    package.requiredPackages.push_back(required);
  } catch (...) {
    os::ReleaseModule(module);
    throw;
  }
}

}  // namespace

HINSTANCE LoadPackage(const UnicodeString& path) {
  PackageList& list = Packages();
  std::lock_guard guard(list.lock);
  const Path file(path.str().find_first_of(u"/\\") == std::u16string::npos ? os::ApplicationModule(path.str())
                                                                            : path.str());
  const std::string shown = Utf8(file);
  // A bare name is left to the system's search.
  if (file.has_parent_path() && !std::filesystem::exists(file)) Fail("package " + shown + " not found");

  HINSTANCE module = Kernel::LoadLibraryW(file.u16string().c_str());
  if (!module) Fail("cannot load package " + shown + ": " + os::LoadFailure(file.u16string()));
  if (LoadedPackage* loaded = list.Find(module)) {
    os::ReleaseModule(module);  // the first load's reference is enough
    ++loaded->references;
    return module;
  }

  LoadedPackage package{module, file.u16string(), {}, 1, nullptr, {}, {}};
  try {
    const auto table = os::ResourceData(module, RtRcData, u"PACKAGEINFO");
    if (table.empty()) Fail(shown + " is not a package: it has no PACKAGEINFO resource");
    try {
      package.info = ParsePackageInfo(table);
    } catch (const EPackageError& e) {
      Fail(shown + ": " + e.Message().ToUtf8());
    }
    if ((package.info.Flags & pfModuleTypeMask) != pfPackageModule)
      Fail(shown + " is not a package: its identity table marks another module type");

    if (!(package.info.Flags & pfIgnoreDupUnits)) {
      for (const auto& unit : package.info.Contains) {
        if (unit.Flags & ufWeakUnit) continue;
        for (const auto& other : list.packages)
          for (const auto& theirs : other.info.Contains)
            if (!(theirs.Flags & ufWeakUnit) &&
                SameText(UnicodeString(unit.Name.c_str()), UnicodeString(theirs.Name.c_str())))
              Fail("cannot load package " + shown + ": it contains unit " + unit.Name +
                   ", which is also contained in package " + Utf8(Path(other.path).filename()));
      }
    }

    for (const auto& required : package.info.Requires) LoadRequirement(package, required.Name, file.parent_path());

    auto* initialize = reinterpret_cast<void (*)()>(Kernel::GetProcAddress(module, "Initialize"));
    package.finalize = reinterpret_cast<void (*)()>(Kernel::GetProcAddress(module, "Finalize"));
    if (!initialize) Fail("package " + shown + " has no entry point Initialize");
    if (!package.finalize) Fail("package " + shown + " has no entry point Finalize");
    initialize();
  } catch (...) {
    ReleaseRequirements(package);
    os::ReleaseModule(module);
    throw;
  }
  list.packages.push_back(std::move(package));
  return module;
}

namespace {
void Release(LoadedPackage& package) {
  package.finalize();
  os::ReleaseModule(package.module);
  ReleaseRequirements(package);
}
}  // namespace

void UnloadPackage(HINSTANCE module) {
  PackageList& list = Packages();
  std::lock_guard guard(list.lock);
  LoadedPackage* package = list.Find(module);
  if (!package) Fail("UnloadPackage: the module was not loaded as a package");
  if (--package->references > 0) return;
  LoadedPackage last = std::move(*package);
  std::erase_if(list.packages, [&](const LoadedPackage& p) { return p.module == module; });
  Release(last);
}

std::vector<HINSTANCE> LoadedPackages() {
  PackageList& list = Packages();
  std::lock_guard guard(list.lock);
  std::vector<HINSTANCE> modules;
  for (const auto& p : list.packages) modules.push_back(p.module);
  return modules;
}

TPackageInfoRecord LoadedPackageInfo(HINSTANCE module) {
  PackageList& list = Packages();
  std::lock_guard guard(list.lock);
  const LoadedPackage* package = list.Find(module);
  if (!package) Fail("LoadedPackageInfo: the module was not loaded as a package");
  return package->info;
}

}  // namespace System
