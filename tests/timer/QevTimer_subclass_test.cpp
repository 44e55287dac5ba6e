// A subclass of TQevTimer defined in the application, as component libraries
// are extended: it links against the package, ticks, and is destroyed once
// whichever pointer deletes it.
#include "QevTimer.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <ostream>

#include "TimerProbe.hpp"
#include "support/Wait.hpp"

namespace {

using Qevtimer::TQevTimer;
using System::Classes::TComponent;
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

}  // namespace
