// A subclass of TQevTimer defined in the application, as component libraries
// are extended: it links against the package, ticks, and is destroyed once
// whichever pointer deletes it.
#include "QevTimer.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ostream>
#include <string>
#include <thread>

#include "TimerProbe.hpp"
#include "support/HangGuard.hpp"
#include "support/Wait.hpp"

namespace {

using namespace std::chrono_literals;
using Qevtimer::TQevTimer;
using System::Classes::TComponent;
using System::Classes::TNotifyEvent;
using System::Classes::TThread;
using System::Classes::TThreadMethod;
using qevtest::AllThreadsEnded;
using qevtest::ServeUntil;

std::atomic<int> destroyed{0};

struct MyTimer : TQevTimer {
  using TQevTimer::TQevTimer;
  ~MyTimer() override { ++destroyed; }
  int extra = 42;  // a field of the subclass's own, read in the handler
};

enum class DeleteThrough { Subclass, Base, Component, Owner };

void PrintTo(DeleteThrough d, std::ostream* os) {
  static const char* names[] = {"MyTimer*", "TQevTimer*", "TComponent*", "its owner"};
  *os << names[int(d)];
}

class SubclassDeleted : public testing::TestWithParam<DeleteThrough> {};

TEST_P(SubclassDeleted, TicksAndIsDestroyedOnce) {
  const DeleteThrough how = GetParam();
  destroyed = 0;
  auto* owner = how == DeleteThrough::Owner ? new TComponent(nullptr) : nullptr;
  auto* timer = new MyTimer(owner);
  qevtest::TimerProbe probe;
  std::atomic<int> seen{0};
  probe.action = [&](TQevTimer* sender) { seen = static_cast<MyTimer*>(sender)->extra; };
  timer->SetOnTimer(probe.Event());
  timer->SetInterval(0.002);
  ASSERT_TRUE(ServeUntil([&] { return probe.calls.load() >= 2; }));
  EXPECT_EQ(seen.load(), 42);

  // The run-time type and the class record come through the package.
  TComponent* component = timer;
  EXPECT_EQ(dynamic_cast<MyTimer*>(component), timer);
  EXPECT_EQ(dynamic_cast<TQevTimer*>(component), timer);
  EXPECT_EQ(timer->ClassInfo(), &TQevTimer::TypeInfo);

  switch (how) {
    case DeleteThrough::Subclass:
      delete timer;
      break;
    case DeleteThrough::Base:
      delete static_cast<TQevTimer*>(timer);
      break;
    case DeleteThrough::Component:
      delete component;
      break;
    case DeleteThrough::Owner:
      delete owner;
      break;
  }
  EXPECT_TRUE(ServeUntil([] { return destroyed.load() == 1; }));
  EXPECT_TRUE(AllThreadsEnded());
  EXPECT_EQ(destroyed.load(), 1);
}

INSTANTIATE_TEST_SUITE_P(Pointers, SubclassDeleted,
                         testing::Values(DeleteThrough::Subclass, DeleteThrough::Base, DeleteThrough::Component,
                                         DeleteThrough::Owner));

// --- A subclass destroyed while its worker-thread handler runs ----------------------

// What the handler saw, written on the worker before it queues Report, read
// on the main thread when Report runs.
struct Seen {
  bool entered = false;       // the main thread's
  int refreshes = 0;          // likewise
  int reports = 0;            // likewise
  bool refreshedFirst = false, raised = false, alive = false;  // the worker's, until reported
  std::string name;
  bool reportedRefreshed = false, reportedRaised = false, reportedAlive = false;  // the main thread's
  std::string reportedName;
  void Entered() { entered = true; }
  void Report() {
    ++reports;
    reportedRefreshed = refreshedFirst;
    reportedRaised = raised;
    reportedAlive = alive;
    reportedName = name;
  }
};

// A subclass whose handler is its own method and uses its members; its
// destructor changes one of them.
struct Refreshing : TQevTimer {
  Seen* seen;
  bool viaSynchronize;
  std::string caption = "a caption longer than any short-string buffer";
  bool alive = true;
  Refreshing(Seen* s, bool sync) : TQevTimer(nullptr), seen(s), viaSynchronize(sync) {
    SetInterval(0.001);
    SetOnTimer(TNotifyEvent::Bind<&Refreshing::OnTick>(this));
  }
  ~Refreshing() override {
    alive = false;
    ++destroyed;
  }
  void Refresh() { ++seen->refreshes; }
  void OnTick(System::TObject*) {
    TThread::Queue(TThreadMethod::Bind<&Seen::Entered>(seen));
    SetOnTimer({});  // one call
    if (viaSynchronize) {
      std::this_thread::sleep_for(100ms);  // the main thread is in `delete` by now
      try {
        TThread::Synchronize(TThreadMethod::Bind<&Refreshing::Refresh>(this));
        seen->refreshedFirst = seen->refreshes == 1;  // ordered by Synchronize
      } catch (const System::Classes::EThread&) {
        seen->raised = true;
      }
    } else {
      std::this_thread::sleep_for(700ms);  // longer than the destructor's pause
    }
    seen->alive = alive;
    seen->name = caption;
    TThread::Queue(TThreadMethod::Bind<&Seen::Report>(seen));
  }
};

class SubclassDeletedWhileItsHandlerRuns : public testing::TestWithParam<bool> {};

// Synchronize of a subclass method: the destruction runs it (it is one of the
// workers' calls it waits for) before Synchronize returns. Either way the
// subclass stays whole until its handler has returned.
TEST_P(SubclassDeletedWhileItsHandlerRuns, ItsMembersAndCallsOutliveTheHandler) {
  const bool viaSynchronize = GetParam();
  const qevtest::HangGuard guard("a subclass deleted while its handler runs");
  destroyed = 0;
  Seen seen;
  auto* timer = new Refreshing(&seen, viaSynchronize);
  timer->Start();
  ASSERT_TRUE(ServeUntil([&] { return seen.entered; }));
  delete timer;
  EXPECT_TRUE(ServeUntil([&] { return seen.reports == 1; }));
  EXPECT_TRUE(AllThreadsEnded());
  EXPECT_EQ(destroyed.load(), 1);
  if (viaSynchronize) {
    EXPECT_FALSE(seen.reportedRaised);
    EXPECT_TRUE(seen.reportedRefreshed) << "Synchronize returned without having run";
    EXPECT_EQ(seen.refreshes, 1);
  }
  EXPECT_TRUE(seen.reportedAlive) << "the subclass's destructor ran before its handler returned";
  EXPECT_EQ(seen.reportedName, "a caption longer than any short-string buffer");
}

INSTANTIATE_TEST_SUITE_P(Pointers, SubclassDeletedWhileItsHandlerRuns, testing::Bool(),
                         [](const auto& info) { return info.param ? "SynchronizeOfAMethod" : "MembersInUse"; });

// --- A modal loop inside a handler's call frees the form --------------------------

// The handler asks the main thread through Synchronize (or, synchronized,
// runs it there itself); the call runs a modal loop in which the dialog
// closes the form that owns the timer; afterwards the handler reads its
// sender's interval.
struct Dialog {
  TComponent* form;  // the main thread's
  double interval = 0;    // the handler's, until reported
  double reported = -1;   // the main thread's
  bool reportedOnce = false;
  int destroyedInTheCall = -1;  // the main thread's
  void Modal() {
    for (int round = 0; round < 20; ++round) System::Classes::CheckSynchronize(1);
    delete form;  // the user closes the form
    form = nullptr;
    for (int round = 0; round < 20; ++round) System::Classes::CheckSynchronize(1);
    destroyedInTheCall = destroyed.load();  // the handler has not returned yet
  }
  void Report() {
    reported = interval;
    reportedOnce = true;
  }
  void OnTimer(System::TObject* sender) {
    TThread::Synchronize(TThreadMethod::Bind<&Dialog::Modal>(this));  // at once on the main thread
    interval = static_cast<TQevTimer*>(sender)->Interval();
    TThread::Queue(TThreadMethod::Bind<&Dialog::Report>(this));
  }
};

struct CountedTimer : TQevTimer {
  using TQevTimer::TQevTimer;
  ~CountedTimer() override { ++destroyed; }
};

class FormFreedInAModalLoop : public testing::TestWithParam<bool> {};

TEST_P(FormFreedInAModalLoop, TheHandlerStillSeesItsTimer) {
  const bool synchronized = GetParam();
  const qevtest::HangGuard guard("a form freed in a handler's modal loop");
  destroyed = 0;
  Dialog dialog{new TComponent(nullptr)};
  auto* timer = new CountedTimer(dialog.form);
  timer->SetInterval(0.005);
  timer->SetCycled(false);
  timer->SetNeedSynchronization(synchronized);
  timer->SetOnTimer(TNotifyEvent::Bind<&Dialog::OnTimer>(&dialog));
  timer->Start();
  EXPECT_TRUE(ServeUntil([&] { return dialog.reportedOnce && destroyed.load() == 1; }, 20s));
  EXPECT_EQ(dialog.form, nullptr);
  EXPECT_EQ(dialog.destroyedInTheCall, 0) << "freed before its handler returned";
  EXPECT_EQ(dialog.reported, 0.005);
  EXPECT_TRUE(AllThreadsEnded());
  EXPECT_EQ(destroyed.load(), 1);
}

INSTANTIATE_TEST_SUITE_P(Pointers, FormFreedInAModalLoop, testing::Bool(),
                         [](const auto& info) { return info.param ? "SynchronizedHandler" : "WorkerThreadHandler"; });

}  // namespace
