#include "QevTimerPack.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "QevTimer.hpp"
#include "QevTimerUnit.hpp"
#include "System.Classes.Register.hpp"
#include "System.Classes.Streaming.hpp"
#include "System.Kernel.hpp"
#include "System.Package.hpp"
#include "System.TypInfo.hpp"
#include "support/Wait.hpp"

namespace {

namespace K = System::Kernel;
using System::Classes::TComponentClass;
using System::HINSTANCE;

// What differs between the builds, chosen once.
struct Build {
  const char* registerName;    // the exported Register
  const char* typeInfoName;    // the exported type record of TQevTimer
  const char* beginPeriodName; // the exported _timeBeginPeriod
  const char* infoTableName;   // the exported GetPackageInfoTable, or null
  std::size_t packageInfoSize;
  std::uint32_t flags;
  std::vector<std::string> required;
  bool hashed;
  const char* description;
  std::size_t descriptionSize;
  std::size_t optionsSize;
  bool packageUnitInTable;     // the package unit's routines are in the unit table
  std::string (*moduleFile)(const std::string& base);
};

#if defined(QEV_TARGET_win32)
const Build build{"@Qevtimer@Register$qqrv", "@$xp$18Qevtimer@TQevTimer", "@Qevtimer@_timeBeginPeriod", nullptr,
                  644, 0x48000001, {"rtl250.bpl", "vcl250.bpl"}, false, "QevTimerPack", 28, 4, true,
                  [](const std::string& base) { return base + ".bpl"; }};
#elif defined(QEV_TARGET_win64)
const Build build{"_ZN8Qevtimer8RegisterEv", "_ZN8Qevtimer9TQevTimer8TypeInfoE", "_ZN8Qevtimer16_timeBeginPeriodE",
                  "@GetPackageInfoTable", 88, 0x4C100001, {"vcl200.bpl", "rtl200.bpl"}, true, "QevTimer 1.26", 28, 244,
                  false, [](const std::string& base) { return base + ".bpl"; }};
#else
const Build build{"_ZN8Qevtimer8RegisterEv", "_ZN8Qevtimer9TQevTimer8TypeInfoE", "_ZN8Qevtimer16_timeBeginPeriodE",
                  "GetPackageInfoTable", 108, 0x4C100001, {"libqevtimer-vcl.so.1", "libqevtimer-rtl.so.1"}, true,
                  "QevTimer 1.26", 28, 244, false, [](const std::string& base) { return "lib" + base + ".so"; }};
#endif

// The design host's side of RegisterComponents: records every call.
struct Registration {
  std::u16string page;
  std::vector<TComponentClass> classes;
  int highIndex;
};
std::vector<Registration> registrations;

void RecordRegistration(const System::UnicodeString& page, const TComponentClass* classes, int highIndex) {
  registrations.push_back({page.str(), {classes, classes + highIndex + 1}, highIndex});
}

struct HookInstalled {
  System::Classes::TRegisterComponentsProc previous;
  HookInstalled() : previous(System::Classes::SetRegisterComponentsProc(RecordRegistration)) { registrations.clear(); }
  ~HookInstalled() { System::Classes::SetRegisterComponentsProc(previous); }
};

void ExpectOneTimerRegistration(const Registration& r, TComponentClass expected) {
  EXPECT_EQ(r.page, u"Qev Soft");
  EXPECT_EQ(r.highIndex, 0);
  ASSERT_EQ(r.classes.size(), 1u);
  EXPECT_EQ(r.classes[0], expected);
  EXPECT_STREQ(r.classes[0]->Name, "TQevTimer");
}

template <class T>
T Entry(HINSTANCE module, const char* name) {
  return reinterpret_cast<T>(K::GetProcAddress(module, name));
}

// A module file in this program's folder, for the system's loader.
std::string BesideProgram(const std::string& file) {
#if defined(_WIN32)
  return file;  // the system's search begins with the program's folder
#else
  return (std::filesystem::read_symlink("/proc/self/exe").parent_path() / file).string();
#endif
}

std::uint8_t NameHash(const std::string& name) {
  std::uint32_t h = 0x811C9DC5;
  for (char c : name) h = (h ^ static_cast<std::uint8_t>(std::toupper(static_cast<unsigned char>(c)))) * 0x01000193;
  return static_cast<std::uint8_t>(h);
}

// ---------------------------------------------------------------------------
// The package's own objects, linked into this program.

TEST(PackageUnit, NestingCountsMoveOnlyWithTheUnitRoutines) {
  struct Case {
    const char* steps;  // i: initialization, f: finalization
    int count;
  };
  const Case cases[] = {{"", 0}, {"i", -1}, {"f", 1}, {"iiff", 0}, {"ifif", 0}, {"iif", -1}, {"fi", 0}};
  for (const Case& c : cases) {
    const int timerBefore = Qevtimer::detail::UnitNesting();
    const int packBefore = Qevtimerpack::detail::UnitNesting();
    for (const char* s = c.steps; *s; ++s) {
      if (*s == 'i') Qevtimer::initialization(), Qevtimerpack::Initialize();
      if (*s == 'f') Qevtimer::Finalization(), Qevtimerpack::Finalize();
    }
    EXPECT_EQ(Qevtimer::detail::UnitNesting() - timerBefore, c.count) << c.steps;
    EXPECT_EQ(Qevtimerpack::detail::UnitNesting() - packBefore, c.count) << c.steps;
    for (int n = Qevtimer::detail::UnitNesting(); n < timerBefore; ++n) Qevtimer::Finalization();
    for (int n = Qevtimer::detail::UnitNesting(); n > timerBefore; --n) Qevtimer::initialization();
    for (int n = Qevtimerpack::detail::UnitNesting(); n < packBefore; ++n) Qevtimerpack::Finalize();
    for (int n = Qevtimerpack::detail::UnitNesting(); n > packBefore; --n) Qevtimerpack::Initialize();
  }
  EXPECT_EQ(Qevtimer::_timeBeginPeriod.load(), nullptr);  // nothing of the timer is touched
}

TEST(PackageUnit, TwoLoadsAndTwoUnloadsThroughTheTableLeaveBothCountsAtZero) {
  Qevtimerpack::_PackageLoad();
  EXPECT_EQ(Qevtimer::detail::UnitNesting(), -1);
  EXPECT_EQ(Qevtimerpack::detail::UnitNesting(), build.packageUnitInTable ? -1 : 0);
  Qevtimerpack::_PackageLoad();
  Qevtimerpack::_PackageUnload();
  Qevtimerpack::_PackageUnload();
  EXPECT_EQ(Qevtimer::detail::UnitNesting(), 0);
  EXPECT_EQ(Qevtimerpack::detail::UnitNesting(), 0);
  EXPECT_EQ(Qevtimer::_timeBeginPeriod.load(), nullptr);
  EXPECT_EQ(Qevtimer::_timeGetDevCaps.load(), nullptr);
}

TEST(PackageUnit, TableListsTheUnitsInDependencyOrderAndTheTypeRecords) {
  const System::PackageInfoTable* table = Qevtimerpack::_GetPackageInfoTable();
  ASSERT_EQ(table->UnitCount, 3);
  const System::PackageUnitEntry* units = table->UnitInfo;
  EXPECT_NE(units[0].Init, nullptr);  // the start-up unit first
  if (build.packageUnitInTable) {
    EXPECT_EQ(units[1].Init, &Qevtimerpack::Initialize);
    EXPECT_EQ(units[1].FInit, &Qevtimerpack::Finalize);
    EXPECT_EQ(units[2].Init, &Qevtimer::initialization);
    EXPECT_EQ(units[2].FInit, &Qevtimer::Finalization);
  } else {
    EXPECT_EQ(units[1].Init, &Qevtimer::initialization);
    EXPECT_EQ(units[1].FInit, &Qevtimer::Finalization);
    EXPECT_EQ(units[2].Init, nullptr);
    EXPECT_EQ(units[2].FInit, nullptr);
  }
  const std::vector<const System::TTypeInfo*> types(table->TypeInfo.TypeTable,
                                                    table->TypeInfo.TypeTable + table->TypeInfo.TypeCount);
  const std::vector<const System::TTypeInfo*> expected{&Qevtimer::TQevTimer::TypeInfo, &Qevtimer::TTimerThread::TypeInfo,
                                                       &Qevtimer::TypeInfo_TTimeCaps, &Qevtimer::TypeInfo_PTimeCaps};
  EXPECT_EQ(types, expected);
}

TEST(PackageUnit, RegisterHandsExactlyTQevTimerWithHighestIndexZeroEveryTime) {
  HookInstalled hook;
  Qevtimer::Register();
  Qevtimer::Register();  // the designer reloading the package
  ASSERT_EQ(registrations.size(), 2u);
  for (const Registration& r : registrations) ExpectOneTimerRegistration(r, &Qevtimer::TQevTimer::TypeInfo);
}

TEST(PackageUnit, RegisterWithoutADesignHostRaisesAClearError) {
  const auto previous = System::Classes::SetRegisterComponentsProc(nullptr);
  try {
    Qevtimer::Register();
    ADD_FAILURE() << "no error";
  } catch (const System::Classes::EComponentError& e) {
    EXPECT_NE(e.Message().ToUtf8().find("no design host"), std::string::npos) << e.what();
  }
  System::Classes::SetRegisterComponentsProc(previous);
}

TEST(PackageUnit, ModuleEntryRegistersOnLoadAndUnregistersOnUnload) {
  int instance = 0;
  const HINSTANCE handle = &instance;
  Qevtimerpack::initialization();  // nothing pending: nothing happens
  EXPECT_EQ(System::FindLibModule(handle), nullptr);
  Qevtimerpack::detail::RecordStartup(Qevtimerpack::detail::StartupStep::Load, handle);
  Qevtimerpack::initialization();
  ASSERT_EQ(System::FindLibModule(handle), &Qevtimerpack::detail::ModuleRecord());
  EXPECT_EQ(Qevtimerpack::detail::ModuleRecord().ResInstance, handle);
  Qevtimerpack::detail::RecordStartup(Qevtimerpack::detail::StartupStep::Unload, handle);
  Qevtimerpack::initialization();
  EXPECT_EQ(System::FindLibModule(handle), nullptr);
}

TEST(PackageUnit, UnloadFreesASeparateResourceModuleOnly) {
  const System::UnicodeString name(BesideProgram(build.moduleFile("fake_no_entry")).c_str());
  int instance = 0;
  const HINSTANCE handle = &instance;
  auto& record = Qevtimerpack::detail::ModuleRecord();
  using Qevtimerpack::detail::StartupStep;

  // Resources in the module itself: nothing is freed.
  Qevtimerpack::detail::RecordStartup(StartupStep::Load, handle);
  Qevtimerpack::initialization();
  Qevtimerpack::detail::RecordStartup(StartupStep::Unload, handle);
  Qevtimerpack::initialization();

  // A separate resource module, loaded by the framework: freed on unload.
  Qevtimerpack::detail::RecordStartup(StartupStep::Load, handle);
  Qevtimerpack::initialization();
  ASSERT_EQ(K::GetModuleHandleW(name.c_str()), nullptr);
  const HINSTANCE resources = K::LoadLibraryW(name.c_str());
  ASSERT_NE(resources, nullptr);
  record.ResInstance = resources;
  Qevtimerpack::detail::RecordStartup(StartupStep::Unload, handle);
  Qevtimerpack::initialization();
  EXPECT_EQ(K::GetModuleHandleW(name.c_str()), nullptr);
  record.ResInstance = nullptr;
}

// ---------------------------------------------------------------------------
// The built package, loaded as a host loads it.

// Unloads what a test left loaded, once no worker thread runs its code.
class LoadedPackage : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_TRUE(qevtest::ServeUntil([] { return System::Classes::TThread::ActiveCount() == 0; },
                                    std::chrono::seconds(20)));
    for (HINSTANCE h : System::LoadedPackages()) System::UnloadPackage(h);
  }
};

TEST_F(LoadedPackage, LoadReadsTheIdentityTableRegistersTheModuleAndUnloadUndoesIt) {
  const HINSTANCE module = System::LoadPackage(QEV_PACKAGE_FILE);
  ASSERT_NE(module, nullptr);
  EXPECT_NE(System::FindLibModule(module), nullptr);
  const System::TPackageInfoRecord info = System::LoadedPackageInfo(module);
  EXPECT_EQ(info.Name, "QevTimerPack");
  ASSERT_EQ(info.Requires.size(), 2u);
  EXPECT_EQ(info.Requires[0].Name, build.required[0]);
  EXPECT_EQ(info.Requires[1].Name, build.required[1]);
  EXPECT_NE(Entry<void (*)()>(module, "Initialize"), nullptr);
  EXPECT_NE(Entry<void (*)()>(module, "Finalize"), nullptr);
  EXPECT_EQ(Entry<void*>(module, "@GetPackageInfoTable") != nullptr,
            build.infoTableName && std::string(build.infoTableName) == "@GetPackageInfoTable");
  EXPECT_EQ(Entry<void*>(module, "GetPackageInfoTable") != nullptr,
            build.infoTableName && std::string(build.infoTableName) == "GetPackageInfoTable");
  EXPECT_EQ(System::LoadPackage(QEV_PACKAGE_FILE), module);  // a second reference
  System::UnloadPackage(module);
  EXPECT_EQ(System::LoadedPackages().size(), 1u);
  System::UnloadPackage(module);
  EXPECT_TRUE(System::LoadedPackages().empty());
  EXPECT_EQ(System::FindLibModule(module), nullptr);  // the start-up unregistered it on unload
  EXPECT_THROW(System::UnloadPackage(module), System::EPackageError);
}

TEST_F(LoadedPackage, RegisterOfTheLoadedPackageHandsItsOwnTQevTimer) {
  HookInstalled hook;
  const HINSTANCE module = System::LoadPackage(QEV_PACKAGE_FILE);
  const auto reg = Entry<void (*)()>(module, build.registerName);
  const auto* type = Entry<const System::TTypeInfo*>(module, build.typeInfoName);
  ASSERT_NE(reg, nullptr);
  ASSERT_NE(type, nullptr);
  reg();
  reg();
  ASSERT_EQ(registrations.size(), 2u);
  for (const Registration& r : registrations) ExpectOneTimerRegistration(r, type);
}

std::atomic<int> ticks{0};
void Tick(void*, System::TObject*) { ++ticks; }

TEST_F(LoadedPackage, ExtraInitializeAndFinalizeChangeNothingAndATimerWorksAfterAReload) {
  HINSTANCE module = System::LoadPackage(QEV_PACKAGE_FILE);
  const auto* beginPeriod = Entry<const std::atomic<void*>*>(module, build.beginPeriodName);
  ASSERT_NE(beginPeriod, nullptr);
  Entry<void (*)()>(module, "Initialize")();  // the second initialization
  Entry<void (*)()>(module, "Finalize")();
  EXPECT_EQ(beginPeriod->load(), nullptr);
  System::UnloadPackage(module);  // the second finalization

  module = System::LoadPackage(QEV_PACKAGE_FILE);
  HookInstalled hook;
  Entry<void (*)()>(module, build.registerName)();
  ASSERT_EQ(registrations.size(), 1u);
  const System::Typinfo::TClassData* data = System::Typinfo::GetClassData(registrations[0].classes[0]);
  ASSERT_NE(data, nullptr);
  ticks = 0;
  auto* owner = new System::Classes::TComponent(nullptr);
  System::TObject* timer = data->Create(owner);
  System::Typinfo::SetPropValue(timer, "Interval", 0.002);
  System::Typinfo::SetPropValue(timer, "OnTimer",
                                System::Typinfo::TMethodValue{reinterpret_cast<System::Typinfo::TMethodCode>(&Tick), nullptr});
  EXPECT_TRUE(qevtest::WaitUntil([] { return ticks.load() >= 3; }));
  delete owner;  // frees the timer
}

// Loading failures: a clear error naming what is wrong, and nothing loaded.
TEST_F(LoadedPackage, FailuresNameWhatIsMissingAndLeaveNothingLoaded) {
  const std::filesystem::path folder = std::filesystem::temp_directory_path() / "qev-package-test";
  std::filesystem::create_directories(folder);
  const std::string junk = (folder / build.moduleFile("QevJunk")).string();
  std::ofstream(junk, std::ios::binary) << "this is no module at all";

  struct Case {
    std::string path;
    std::string message;   // part of the error
    std::string resident;  // a module that must not stay loaded, or empty
  };
  const Case cases[] = {
      {(folder / "QevNoSuchPackage.bpl").string(), "not found", ""},
      {"QevNoSuchPackage.bpl", "cannot load package", ""},
      {junk, "cannot load package", ""},
      {build.moduleFile("fake_requires_missing"), "QevNoSuchPackage.bpl", build.moduleFile("fake_requires_missing")},
      {build.moduleFile("fake_no_entry"), "no entry point Initialize", build.moduleFile("fake_no_entry")},
      {build.moduleFile("fake_damaged"), "damaged package identity table", build.moduleFile("fake_damaged")},
  };
  for (const Case& c : cases) {
    try {
      System::LoadPackage(System::UnicodeString(c.path.c_str()));
      ADD_FAILURE() << c.path << " loaded";
    } catch (const System::EPackageError& e) {
      EXPECT_NE(e.Message().ToUtf8().find(c.message), std::string::npos) << c.path << ": " << e.what();
    }
    EXPECT_TRUE(System::LoadedPackages().empty()) << c.path;
    if (!c.resident.empty()) {
      EXPECT_EQ(K::GetModuleHandleW(System::UnicodeString(c.resident.c_str()).c_str()), nullptr) << c.path;
    }
  }
  std::filesystem::remove_all(folder);
}

TEST_F(LoadedPackage, ARuntimeLibraryWithoutIdentityTableIsNoPackage) {
  const std::string rtl = build.required[0].find("rtl") != std::string::npos ? build.required[0] : build.required[1];
  try {
    System::LoadPackage(System::UnicodeString(rtl.c_str()));
    ADD_FAILURE() << "loaded";
  } catch (const System::EPackageError& e) {
    EXPECT_NE(e.Message().ToUtf8().find("no PACKAGEINFO"), std::string::npos) << e.what();
  }
  EXPECT_TRUE(System::LoadedPackages().empty());
}

TEST_F(LoadedPackage, AUnitContainedTwiceIsRefused) {
  const HINSTANCE module = System::LoadPackage(QEV_PACKAGE_FILE);
  try {
    System::LoadPackage(System::UnicodeString(build.moduleFile("fake_duplicate").c_str()));
    ADD_FAILURE() << "loaded";
  } catch (const System::EPackageError& e) {
    const std::string m = e.Message().ToUtf8();
    EXPECT_NE(m.find("qevtimer"), std::string::npos) << m;
    EXPECT_NE(m.find(QEV_PACKAGE_FILE), std::string::npos) << m;
  }
  EXPECT_EQ(System::LoadedPackages(), std::vector<HINSTANCE>{module});
}

// ---------------------------------------------------------------------------
// Resources, through the stand-in's lookup.

TEST_F(LoadedPackage, ResourcesHaveTheirSizesAndContents) {
  const HINSTANCE module = System::LoadPackage(QEV_PACKAGE_FILE);
  using System::FindResourceData;
  struct Case {
    System::TResourceId type, name;
    std::size_t size;
  };
  const Case cases[] = {
      {System::RtRcData, u"PACKAGEINFO", build.packageInfoSize},
      {System::RtRcData, u"DESCRIPTION", build.descriptionSize},
      {System::RtRcData, u"PLATFORMTARGETS", 2},
      {System::RtRcData, u"PACKAGEOPTIONS", build.optionsSize},
      {System::RtBitmap, u"TQEVTIMER", 1320},
      {System::RtIcon, 1, 296},
      {System::RtRcData, u"packageinfo", build.packageInfoSize},  // names compare without case
      {System::RtRcData, u"NOSUCHRESOURCE", 0},
  };
  for (const Case& c : cases)
    EXPECT_EQ(FindResourceData(module, c.type, c.name).size(), c.size)
        << System::UnicodeString(c.name.Text.c_str()).ToUtf8();

  const auto info = System::ParsePackageInfo(FindResourceData(module, System::RtRcData, u"PACKAGEINFO"));
  EXPECT_EQ(info.Flags, build.flags);
  // The record, padded to whole 32-bit words: by 2 bytes in the x86-64 and
  // ELF builds, whose required names end off a word.
  EXPECT_EQ(info.Size + (build.packageInfoSize == 644 ? 0 : 2), build.packageInfoSize);
  std::vector<std::pair<std::uint8_t, std::string>> named{{info.NameHash, info.Name}};
  for (const auto& r : info.Requires) named.emplace_back(r.Hash, r.Name);
  for (const auto& u : info.Contains) named.emplace_back(u.Hash, u.Name);
  for (const auto& [hash, name] : named) EXPECT_EQ(hash, build.hashed ? NameHash(name) : 0) << name;

  const auto description = FindResourceData(module, System::RtRcData, u"DESCRIPTION");
  EXPECT_EQ(System::UnicodeString(reinterpret_cast<const char16_t*>(description.data())).ToUtf8(), build.description);
  const auto targets = FindResourceData(module, System::RtRcData, u"PLATFORMTARGETS");
  EXPECT_EQ(targets[0] | (targets[1] << 8), 3);
  EXPECT_EQ(FindResourceData(module, System::RtRcData, u"PACKAGEOPTIONS")[0], 0x30);

  // The palette bitmap: header, then the colours of a corner, the rim and the face.
  const auto bmp = FindResourceData(module, System::RtBitmap, u"TQEVTIMER");
  auto le = [&](std::size_t at, int n) {
    std::uint32_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = (v << 8) | bmp[at + i];
    return v;
  };
  EXPECT_EQ(le(0, 4), 40u);
  EXPECT_EQ(le(4, 4), 16u);
  EXPECT_EQ(le(8, 4), 16u);  // positive: bottom-up
  EXPECT_EQ(le(14, 2), 8u);
  EXPECT_EQ(le(16, 4), 0u);
  auto colour = [&](int x, int yFromBottom) {
    const std::uint8_t index = bmp[40 + 1024 + 16 * yFromBottom + x];
    return le(40 + 4 * index, 3);  // blue, green, red
  };
  EXPECT_EQ(colour(0, 0), 0xFF00FFu);    // magenta corner, bottom left
  EXPECT_EQ(colour(15, 15), 0xFF00FFu);  // and top right
  EXPECT_EQ(colour(0, 7), 0x404040u);    // the rim
  EXPECT_EQ(colour(10, 4), 0xA6CAF0u);   // the face: red 166, green 202, blue 240
}

}  // namespace
