#include "QevTimerPack.hpp"

#include <atomic>

#include "QevTimer.hpp"

namespace Qevtimerpack {

namespace {

std::atomic<std::int32_t> nesting{0};
System::TLibModule moduleRecord{};
std::atomic<detail::StartupStep> pendingStep{detail::StartupStep::None};
std::atomic<System::HINSTANCE> pendingInstance{nullptr};

// The framework's start-up unit. It has no work of its own in this
// stand-in; its pair keeps the place it has in every package's unit table.
std::atomic<std::int32_t> sysInitNesting{0};
void SysInitInitialization() { sysInitNesting.fetch_sub(1); }
void SysInitFinalization() { sysInitNesting.fetch_add(1); }

// The unit table, in dependency order: the start-up unit, then the
// package's own units. The x86 build lists the package unit's routines
// before the timer unit's; the other builds list the timer unit's and then
// an empty pair for the package unit.
#if defined(QEV_TARGET_win32)
constexpr System::PackageUnitEntry kUnits[] = {
    {SysInitInitialization, SysInitFinalization},
    {Qevtimerpack::Initialize, Qevtimerpack::Finalize},
    {Qevtimer::initialization, Qevtimer::Finalization},
};
#else
constexpr System::PackageUnitEntry kUnits[] = {
    {SysInitInitialization, SysInitFinalization},
    {Qevtimer::initialization, Qevtimer::Finalization},
    {nullptr, nullptr},
};
#endif

const System::TTypeInfo* const kTypes[] = {
    &Qevtimer::TQevTimer::TypeInfo,
    &Qevtimer::TTimerThread::TypeInfo,
    &Qevtimer::TypeInfo_TTimeCaps,
    &Qevtimer::TypeInfo_PTimeCaps,
};

const System::PackageInfoTable kPackageInfoTable = {
    static_cast<int>(std::size(kUnits)), kUnits, {static_cast<int>(std::size(kTypes)), kTypes}};

}  // namespace

void _PackageLoad() { System::_PackageLoad(&kPackageInfoTable, &moduleRecord); }

void _PackageUnload() { System::_PackageUnload(&kPackageInfoTable, &moduleRecord); }

System::PackageInfo _GetPackageInfoTable() { return &kPackageInfoTable; }

void Initialize() { nesting.fetch_sub(1); }

void Finalize() { nesting.fetch_add(1); }

void initialization() {
  const detail::StartupStep step = pendingStep.exchange(detail::StartupStep::None);
  if (step == detail::StartupStep::Load) {
    moduleRecord.Instance = pendingInstance.load();
    moduleRecord.CodeInstance = moduleRecord.Instance;
    moduleRecord.DataInstance = moduleRecord.Instance;
    moduleRecord.ResInstance = moduleRecord.Instance;
    System::RegisterModule(&moduleRecord);
  } else if (step == detail::StartupStep::Unload) {
    System::UnregisterModule(&moduleRecord);
    const System::HINSTANCE resources = moduleRecord.ResInstance;
    if (resources && resources != moduleRecord.Instance) detail::FreeResourceModule(resources);
  }
}

namespace detail {

void RecordStartup(StartupStep step, System::HINSTANCE instance) noexcept {
  pendingInstance.store(instance);
  pendingStep.store(step);
}

System::TLibModule& ModuleRecord() noexcept { return moduleRecord; }

std::int32_t UnitNesting() noexcept { return nesting.load(); }

}  // namespace detail
}  // namespace Qevtimerpack
