// The stress phase of binding faults: the multimedia library missing, without
// entry points, without or with a failing capability query, and complete.
#include "Stress.hpp"

#include <cstdio>
#include <string>
#include <string_view>

#include "timer/fake_winmm.hpp"

namespace stress {
namespace {

struct BindingCase {
  const char* name;
  Library shape;
  bool periodsCalled;  // the period entry points are reached at all
  bool nonZeroPeriods;
};

}  // namespace

void BindingFaults() {
  static constexpr BindingCase kCases[] = {
      {"missing library", Library::Missing, false, false},
      {"no entry points", Library::NoEntryPoints, false, false},
      {"no capability query", Library::NoCapabilityQuery, true, false},
      {"failing capability query", Library::FailingCapabilityQuery, true, false},
      {"complete library", Library::Complete, true, true},
  };
  // Two timers serve every case, stopped while the library changes: each
  // destruction costs a pause.
  watchdog.Step("binding: timers");
  auto* form = new TComponent(nullptr);
  Slot* pool[] = {&NewTimer(form, 0.001, false, Act::Count), &NewTimer(form, 0.0, true, Act::Count)};
  for (const BindingCase& c : kCases) {
    for (Slot* s : pool) s->timer->Stop();
    if (!AllWorkersEnded()) Wrong("binding: workers alive before the library changes");
    watchdog.Step(c.name);
    UseLibrary(c.shape);
    const std::uint64_t begun0 = mm.begun, ended0 = mm.ended, nonZero0 = mm.nonZeroPeriods;
    const int lookups0 = mm.moduleLookups, loads0 = mm.loads;
    refusePercent = 5;
    for (int i = 0; i < 300; ++i) {
      TQevTimer* t = pool[i % 2]->timer;
      try {
        StartStopChange(t, Pick(4));
      } catch (const EThread&) {
        // refused by the seam: the timer has no worker now
      }
      ++fig.operations;
      CheckSynchronize(1);
      watchdog.Progress();
    }
    refusePercent = 0;
    for (Slot* s : pool) s->timer->Stop();
    if (!AllWorkersEnded()) Wrong("binding: workers left");
    const std::uint64_t begun = mm.begun - begun0, ended = mm.ended - ended0;
    const std::uint64_t nonZero = mm.nonZeroPeriods - nonZero0;
    fig.unbalancedPeriods += begun > ended ? begun - ended : ended - begun;
    std::printf("binding %s: periods begun %llu, ended %llu, non-zero %llu, library lookups %d, loads %d\n", c.name,
                static_cast<unsigned long long>(begun), static_cast<unsigned long long>(ended),
                static_cast<unsigned long long>(nonZero), mm.moduleLookups - lookups0, mm.loads - loads0);
    if ((begun > 0) != c.periodsCalled) Wrong("binding: period entry points reached or not, against the case");
    if ((nonZero > 0) != c.nonZeroPeriods) Wrong("binding: periods other than expected");
    if (c.shape == Library::Missing && mm.loads - loads0 < 2) Wrong("binding: a missing library is not retried");
  }
  delete form;
}

// Linux: the fake library's own record of every variant that was loaded.
void CheckFakeRecords() {
  if (fakeWinmm.empty()) return;
  for (const char* variant : {"full", "no-devcaps", "failing-devcaps"}) {
    const std::string file = fakeWinmm + "/" + variant + "/winmm.dll";
    const System::UnicodeString path = System::UnicodeString(std::string_view(file));
    const K::HMODULE module = systemServices.GetModuleHandleW(path.c_str());
    if (!module) continue;
    auto snapshot = reinterpret_cast<FakeWinmmSnapshotProc>(systemServices.GetProcAddress(module, "FakeWinmmSnapshot"));
    if (!snapshot) {
      Wrong("the fake library has no record");
      continue;
    }
    const FakeWinmmLog log = snapshot();
    const std::size_t begun = log.begun.size(), ended = log.ended.size();
    std::printf("fake library %s: periods begun %zu, ended %zu\n", variant, begun, ended);
    fig.unbalancedPeriods += begun > ended ? begun - ended : ended - begun;
  }
}

}  // namespace stress
