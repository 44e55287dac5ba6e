// The run-time binding of the system's timer-resolution services.
#include "QevTimerBinding.hpp"

#include "System.Kernel.hpp"

namespace Qevtimer {

// ---------------------------------------------------------------------------
// Timer resolution binding

std::atomic<TTimePeriodProc> _timeBeginPeriod{nullptr};
std::atomic<TTimePeriodProc> _timeEndPeriod{nullptr};
std::atomic<TTimeGetDevCapsProc> _timeGetDevCaps{nullptr};

void* LinkAPI(System::UnicodeString ModuleName, System::UnicodeString ProcName) {
  namespace K = System::Kernel;
  const char16_t* library = ModuleName.c_str();
  K::HMODULE module = K::GetModuleHandleW(library);
  // A bare name is looked for in the system folder first, so that a system
  // library (winmm.dll) never comes from a file of that name beside the
  // application; a library the system lacks, and a name with a folder in it
  // (which the system-folder load refuses), get the system's ordinary search.
  if (!module) module = K::LoadSystemLibraryW(library);
  if (!module) module = K::LoadLibraryW(library);
  if (!module) return nullptr;
  const System::AnsiString name = System::ToAnsi(ProcName);
  return K::GetProcAddress(module, name.c_str());
}

namespace {

// The entry point in `slot`, bound on first use. A failed binding leaves the
// slot null, so the next call tries again; a bound one is never replaced.
template <class Proc>
Proc Linked(std::atomic<Proc>& slot, const char16_t* procName) {
  Proc proc = slot.load(std::memory_order_acquire);
  if (!proc) {
    proc = reinterpret_cast<Proc>(LinkAPI(u"winmm.dll", procName));
    if (proc) slot.store(proc, std::memory_order_release);
  }
  return proc;
}

}  // namespace

// Unit-private routines; external linkage so the package can list them.
std::uint32_t LinkedTimeGetDevCaps(PTimeCaps ptc, std::uint32_t cbtc) {
  const TTimeGetDevCapsProc proc = Linked(_timeGetDevCaps, u"timeGetDevCaps");
  return proc ? proc(ptc, cbtc) : 0;
}

std::uint32_t LinkedTimeBeginPeriod(std::uint32_t uPeriod) {
  const TTimePeriodProc proc = Linked(_timeBeginPeriod, u"timeBeginPeriod");
  return proc ? proc(uPeriod) : 0;
}

std::uint32_t LinkedTimeEndPeriod(std::uint32_t uPeriod) {
  const TTimePeriodProc proc = Linked(_timeEndPeriod, u"timeEndPeriod");
  return proc ? proc(uPeriod) : 0;
}

// Each begin and each end asks the device afresh; nothing pairs them here.
std::uint32_t BeginMinTimerPeriod() {
  TTimeCaps caps{0, 0};
  LinkedTimeGetDevCaps(&caps, sizeof caps);
  return LinkedTimeBeginPeriod(caps.wPeriodMin);
}

std::uint32_t EndMinTimerPeriod() {
  TTimeCaps caps{0, 0};
  LinkedTimeGetDevCaps(&caps, sizeof caps);
  return LinkedTimeEndPeriod(caps.wPeriodMin);
}
}  // namespace Qevtimer
