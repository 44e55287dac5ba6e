#include "QevTimer.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <numeric>
#include <ostream>
#include <string>
#include <vector>

#include "System.Kernel.hpp"
#include "TimerProbe.hpp"
#include "fake_winmm.hpp"
#include "support/Services.hpp"
#include "support/Wait.hpp"

namespace {

namespace K = System::Kernel;
using Qevtimer::LinkAPI;
using Qevtimer::PTimeCaps;
using Qevtimer::TQevTimer;
using qevtest::AllThreadsEnded;
using qevtest::ServeUntil;

// --- A scripted system loader ---------------------------------------------
// Knows "loaded.dll" (already loaded), "loadable.dll" (in the system folder)
// and the application's own library, found by the ordinary search by its bare
// name and by its full path; in all of them it finds the entry points named in
// `procs`. Every call is logged.

struct Loader {
  std::mutex lock;
  std::vector<std::string> log;
  std::vector<std::pair<std::string, void*>> procs;
  std::vector<std::string> loaded{"loaded.dll"};
  std::vector<std::string> loadable{"loadable.dll"};
  std::vector<std::string> ownLibrary{"own.dll", "C:\\app\\own.dll", "/app/own.dll"};
  void Add(const std::string& entry) {
    std::lock_guard guard(lock);
    log.push_back(entry);
  }
  std::vector<std::string> Take() {
    std::lock_guard guard(lock);
    return std::exchange(log, {});
  }
};
Loader loader;
char moduleToken;  // the one fake module handle

K::HMODULE FakeModule(const char16_t* n) {
  const std::string name = System::UnicodeString(n).ToUtf8();
  loader.Add("module " + name);
  const auto& l = loader.loaded;
  return std::find(l.begin(), l.end(), name) != l.end() ? &moduleToken : nullptr;
}
bool Knows(const std::vector<std::string>& libraries, const std::string& name) {
  return std::find(libraries.begin(), libraries.end(), name) != libraries.end();
}
// The ordinary search finds the system's libraries and the application's own.
K::HMODULE FakeLoad(const char16_t* n) {
  const std::string name = System::UnicodeString(n).ToUtf8();
  loader.Add("load " + name);
  return Knows(loader.loadable, name) || Knows(loader.ownLibrary, name) ? &moduleToken : nullptr;
}
// The system-folder load finds the system's libraries only, and refuses a
// name with a folder in it as the real one does.
K::HMODULE FakeSystemLoad(const char16_t* n) {
  const std::string name = System::UnicodeString(n).ToUtf8();
  loader.Add("system load " + name);
  if (name.find_first_of("/\\") != std::string::npos) return nullptr;
  return Knows(loader.loadable, name) ? &moduleToken : nullptr;
}
void* FakeProc(K::HMODULE m, const char* n) {
  loader.Add(std::string("proc ") + n);
  EXPECT_EQ(m, &moduleToken);
  for (const auto& [name, address] : loader.procs)
    if (name == n) return address;
  return nullptr;
}

// The multimedia entry points that the scripted loader hands out: each
// capability query reports a new minimum period (1, 2, ...), or fails.
struct Multimedia {
  std::mutex lock;
  std::uint32_t queries = 0;
  bool failQuery = false;
  std::vector<std::uint32_t> begun, ended;
};
Multimedia mm;

std::uint32_t QEV_WINAPI FakeDevCaps(PTimeCaps caps, std::uint32_t size) {
  std::lock_guard guard(mm.lock);
  if (mm.failQuery || size != sizeof *caps) return 97;
  caps->wPeriodMin = ++mm.queries;
  caps->wPeriodMax = 1000000;
  return 0;
}
std::uint32_t QEV_WINAPI FakeBegin(std::uint32_t period) {
  std::lock_guard guard(mm.lock);
  mm.begun.push_back(period);
  return 0;
}
std::uint32_t QEV_WINAPI FakeEnd(std::uint32_t period) {
  std::lock_guard guard(mm.lock);
  mm.ended.push_back(period);
  return 0;
}

// Installs the scripted loader, and starts every test from unbound entry
// points (they are never reset by the unit itself).
K::Services ScriptedServices() {
  K::Services s = K::DefaultServices();
  s.GetModuleHandleW = FakeModule;
  s.LoadLibraryW = FakeLoad;
  s.LoadSystemLibraryW = FakeSystemLoad;
  s.GetProcAddress = FakeProc;
  return s;
}

struct ScriptedLoader : testing::Test {
  qevtest::ScopedServices services{ScriptedServices()};
  void SetUp() override {
    Qevtimer::_timeGetDevCaps = nullptr;
    Qevtimer::_timeBeginPeriod = nullptr;
    Qevtimer::_timeEndPeriod = nullptr;
    loader.Take();
    loader.loaded = {"loaded.dll"};
    loader.procs = {{"Entry", reinterpret_cast<void*>(&FakeBegin)}};
    std::lock_guard guard(mm.lock);
    mm.queries = 0;
    mm.failQuery = false;
    mm.begun.clear();
    mm.ended.clear();
  }
  void TearDown() override {
    EXPECT_TRUE(AllThreadsEnded());
    Qevtimer::_timeGetDevCaps = nullptr;
    Qevtimer::_timeBeginPeriod = nullptr;
    Qevtimer::_timeEndPeriod = nullptr;
  }
  // Runs exactly one worker from start to end (the timer is made in design
  // state, so its constructor starts none).
  static void RunOneWorker() {
    auto* form = new System::Classes::TComponent(nullptr);
    form->SetDesigning(true);
    auto* timer = new TQevTimer(form);
    timer->SetDesigning(false);
    timer->SetInterval(0.001);
    timer->SetCycled(false);
    timer->Start();
    ASSERT_TRUE(AllThreadsEnded());
    delete form;
  }
  void UseWinmm(bool withDevCaps) {
    loader.loaded = {"winmm.dll"};
    loader.procs = {{"timeBeginPeriod", reinterpret_cast<void*>(&FakeBegin)},
                    {"timeEndPeriod", reinterpret_cast<void*>(&FakeEnd)}};
    if (withDevCaps) loader.procs.push_back({"timeGetDevCaps", reinterpret_cast<void*>(&FakeDevCaps)});
  }
};

struct LinkCase {
  const char* library;
  const char* entry;
  bool found;
  std::vector<std::string> calls;
};

TEST_F(ScriptedLoader, LinkAPILooksUpBeforeLoadingAndOnlyWithAModule) {
  const LinkCase cases[] = {
      {"loaded.dll", "Entry", true, {"module loaded.dll", "proc Entry"}},
      {"loadable.dll", "Entry", true, {"module loadable.dll", "system load loadable.dll", "proc Entry"}},
      {"missing.dll", "Entry", false, {"module missing.dll", "system load missing.dll", "load missing.dll"}},
      {"loaded.dll", "Missing", false, {"module loaded.dll", "proc Missing"}},
      // The application's own library: not in the system folder, so the
      // ordinary search with the same text, by bare name and by full path.
      {"own.dll", "Entry", true, {"module own.dll", "system load own.dll", "load own.dll", "proc Entry"}},
      {"C:\\app\\own.dll", "Entry", true,
       {"module C:\\app\\own.dll", "system load C:\\app\\own.dll", "load C:\\app\\own.dll", "proc Entry"}},
      {"/app/own.dll", "Entry", true, {"module /app/own.dll", "system load /app/own.dll", "load /app/own.dll", "proc Entry"}},
  };
  for (const LinkCase& c : cases) {
    for (int attempt = 0; attempt < 2; ++attempt) {  // nothing is kept between calls
      void* address = LinkAPI(System::UnicodeString(c.library), System::UnicodeString(c.entry));
      EXPECT_EQ(address != nullptr, c.found) << c.library << " " << c.entry;
      EXPECT_EQ(loader.Take(), c.calls) << c.library << " " << c.entry;
    }
  }
}

TEST_F(ScriptedLoader, MissingLibraryIsRetriedOnEveryCallAndTimersStillRun) {
  loader.loaded = {};
  RunOneWorker();
  RunOneWorker();
  // Each begin and each end: the capability query and the period call each
  // look for the library and try both loads; no entry point is looked up.
  std::vector<std::string> expected;
  for (int call = 0; call < 2 * 4; ++call)
    expected.insert(expected.end(), {"module winmm.dll", "system load winmm.dll", "load winmm.dll"});
  EXPECT_EQ(loader.Take(), expected);
  EXPECT_EQ(Qevtimer::_timeGetDevCaps.load(), nullptr);
}

TEST_F(ScriptedLoader, EachEntryPointIsBoundOnceOnItsFirstUse) {
  UseWinmm(true);
  RunOneWorker();
  EXPECT_EQ(loader.Take(), (std::vector<std::string>{"module winmm.dll", "proc timeGetDevCaps", "module winmm.dll",
                                                     "proc timeBeginPeriod", "module winmm.dll",
                                                     "proc timeEndPeriod"}));
  RunOneWorker();
  EXPECT_TRUE(loader.Take().empty());  // bound: straight to the entry points
  std::lock_guard guard(mm.lock);
  // Every begin and end passes the minimum its own query returned.
  EXPECT_EQ(mm.begun, (std::vector<std::uint32_t>{1, 3}));
  EXPECT_EQ(mm.ended, (std::vector<std::uint32_t>{2, 4}));
}

struct BrokenQuery {
  bool withDevCaps;
  bool failQuery;
};

void PrintTo(const BrokenQuery& q, std::ostream* os) {
  *os << (q.withDevCaps ? "failing query" : "no capability query");
}

class BrokenCapabilityQuery : public ScriptedLoader, public testing::WithParamInterface<BrokenQuery> {};

TEST_P(BrokenCapabilityQuery, BeginsAndEndsPeriodZero) {
  UseWinmm(GetParam().withDevCaps);
  mm.failQuery = GetParam().failQuery;
  RunOneWorker();
  RunOneWorker();
  std::lock_guard guard(mm.lock);
  EXPECT_EQ(mm.begun, (std::vector<std::uint32_t>{0, 0}));
  EXPECT_EQ(mm.ended, (std::vector<std::uint32_t>{0, 0}));
}

INSTANTIATE_TEST_SUITE_P(MissingOrFailing, BrokenCapabilityQuery,
                         testing::Values(BrokenQuery{false, false}, BrokenQuery{true, true}));

TEST_F(ScriptedLoader, PresetEntryPointsAreCalledWithoutAnyLookup) {
  Qevtimer::_timeGetDevCaps = FakeDevCaps;
  Qevtimer::_timeBeginPeriod = FakeBegin;
  Qevtimer::_timeEndPeriod = FakeEnd;
  RunOneWorker();
  EXPECT_TRUE(loader.Take().empty());
  std::lock_guard guard(mm.lock);
  EXPECT_EQ(mm.begun, (std::vector<std::uint32_t>{1}));
  EXPECT_EQ(mm.ended, (std::vector<std::uint32_t>{2}));
}

TEST_F(ScriptedLoader, ConcurrentWorkersBalanceTheirPeriods) {
  UseWinmm(true);
  std::vector<TQevTimer*> timers;
  for (int i = 0; i < 4; ++i) {
    timers.push_back(new TQevTimer(nullptr));
    timers.back()->SetInterval(0.001);
    timers.back()->Start();
  }
  ASSERT_TRUE(ServeUntil([&] {
    return std::all_of(timers.begin(), timers.end(), [](TQevTimer* t) { return t->GetCycleNumber() >= 2; });
  }));
  for (TQevTimer* t : timers) delete t;
  ASSERT_TRUE(AllThreadsEnded());
  std::lock_guard guard(mm.lock);
  // Eight workers (each constructor's and each Start's): eight begins, eight
  // ends, and every query's minimum used exactly once.
  ASSERT_EQ(mm.begun.size(), 8u);
  ASSERT_EQ(mm.ended.size(), 8u);
  std::vector<std::uint32_t> all = mm.begun;
  all.insert(all.end(), mm.ended.begin(), mm.ended.end());
  std::sort(all.begin(), all.end());
  std::vector<std::uint32_t> expected(16);
  std::iota(expected.begin(), expected.end(), 1u);
  EXPECT_EQ(all, expected);
}

// --- The system's own loader ------------------------------------------------
// On Windows the real "winmm.dll". On Linux a fake library of that name,
// selected by the test runner through LD_LIBRARY_PATH and QEV_FAKE_WINMM
// (none when unset).

std::string Variant() {
#if defined(_WIN32)
  return "system";
#else
  const char* v = std::getenv("QEV_FAKE_WINMM");
  return v ? v : "none";
#endif
}

// Forwards to the bound timeBeginPeriod, remembering the period.
std::atomic<std::uint32_t> lastBegun{0};
Qevtimer::TTimePeriodProc realBegin = nullptr;
std::uint32_t QEV_WINAPI RecordingBegin(std::uint32_t period) {
  lastBegun = period;
  return realBegin(period);
}

TEST(SystemWinmm, BindsWhatTheSystemHas) {
  const std::string variant = Variant();
  auto* timer = new TQevTimer(nullptr);
  timer->SetInterval(0.001);
  timer->Start();
  ASSERT_TRUE(ServeUntil([&] { return timer->GetCycleNumber() >= 3; }));
  delete timer;
  ASSERT_TRUE(AllThreadsEnded());
  const int workers = 2;

  if (variant == "none") {
    EXPECT_EQ(LinkAPI(u"winmm.dll", u"timeBeginPeriod"), nullptr);
    EXPECT_EQ(Qevtimer::_timeBeginPeriod.load(), nullptr);
    return;
  }
  const K::HMODULE winmm = K::GetModuleHandleW(u"winmm.dll");
  ASSERT_NE(winmm, nullptr);
  EXPECT_EQ(reinterpret_cast<void*>(Qevtimer::_timeBeginPeriod.load()), K::GetProcAddress(winmm, "timeBeginPeriod"));
  EXPECT_EQ(reinterpret_cast<void*>(Qevtimer::_timeEndPeriod.load()), K::GetProcAddress(winmm, "timeEndPeriod"));

  if (variant == "system") {
    // The period begun is the device's minimum.
    Qevtimer::TTimeCaps caps{0, 0};
    ASSERT_NE(Qevtimer::_timeGetDevCaps.load(), nullptr);
    ASSERT_EQ(Qevtimer::_timeGetDevCaps.load()(&caps, sizeof caps), 0u);
    realBegin = Qevtimer::_timeBeginPeriod.load();
    Qevtimer::_timeBeginPeriod = RecordingBegin;
    auto* again = new TQevTimer(nullptr);
    delete again;
    ASSERT_TRUE(AllThreadsEnded());
    EXPECT_EQ(lastBegun.load(), caps.wPeriodMin);
    EXPECT_GE(caps.wPeriodMin, 1u);
    return;
  }

  auto snapshot = reinterpret_cast<FakeWinmmSnapshotProc>(K::GetProcAddress(winmm, "FakeWinmmSnapshot"));
  ASSERT_NE(snapshot, nullptr) << "LD_LIBRARY_PATH does not lead to the fake library";
  const FakeWinmmLog log = snapshot();
  ASSERT_EQ(log.begun.size(), std::size_t(workers));
  ASSERT_EQ(log.ended.size(), std::size_t(workers));
  if (variant == "full") {
    std::vector<std::uint32_t> all = log.begun;
    all.insert(all.end(), log.ended.begin(), log.ended.end());
    std::sort(all.begin(), all.end());
    EXPECT_EQ(all, (std::vector<std::uint32_t>{1, 2, 3, 4}));
  } else if (variant == "no-devcaps" || variant == "failing-devcaps") {
    EXPECT_EQ(log.begun, (std::vector<std::uint32_t>(workers, 0)));
    EXPECT_EQ(log.ended, (std::vector<std::uint32_t>(workers, 0)));
    EXPECT_EQ(log.devCapsCalls, variant == "failing-devcaps" ? 2u * workers : 0u);
  } else {
    FAIL() << "unknown variant " << variant;
  }
}

}  // namespace
