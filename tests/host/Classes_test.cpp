#include "System.Classes.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "support/HangGuard.hpp"

namespace {

using namespace System::Classes;
using namespace std::chrono_literals;

// Records what the component saw in its own constructor and destructor.
struct Probe : TComponent {
  std::vector<TComponentState>* log;
  Probe(TComponent* owner, std::vector<TComponentState>* l) : TComponent(owner), log(l) {
    log->push_back(ComponentState());
  }
  ~Probe() override { log->push_back(ComponentState()); }
};

TEST(ComponentState, FlagsHaveTheFrameworkBitValues) {
  EXPECT_EQ(csDestroying, 8);
  EXPECT_EQ(csDesigning, 16);
}

TEST(ComponentState, DesignStateIsSetBeforeTheDerivedConstructorRuns) {
  std::vector<TComponentState> log;
  auto* form = new TComponent(nullptr);
  form->SetDesigning(true);
  new Probe(form, &log);
  auto* plain = new TComponent(nullptr);
  new Probe(plain, &log);
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0] & csDesigning, csDesigning);
  EXPECT_EQ(log[1] & csDesigning, 0);
  delete form;
  delete plain;
}

TEST(ComponentState, BeingDestroyedIsSetWhileTheDerivedDestructorRuns) {
  std::vector<TComponentState> log;
  TComponent* p = new Probe(nullptr, &log);  // deleted through the base
  delete p;
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0] & csDestroying, 0);
  EXPECT_EQ(log[1] & csDestroying, csDestroying);
}

// Records its id in `freed` when it is destroyed.
struct Tracked : TComponent {
  std::vector<int>* freed;
  int id;
  Tracked(TComponent* o, std::vector<int>* f, int i) : TComponent(o), freed(f), id(i) {}
  ~Tracked() override { freed->push_back(id); }
};

TEST(Ownership, OwnerFreesItsComponentsLastFirst) {
  std::vector<int> freed;
  auto* owner = new TComponent(nullptr);
  auto* a = new Tracked(owner, &freed, 1);
  new Tracked(a, &freed, 11);  // owned by a
  new Tracked(owner, &freed, 2);
  EXPECT_EQ(owner->ComponentCount(), 2);
  delete owner;
  EXPECT_EQ(freed, (std::vector<int>{2, 1, 11}));
}

TEST(Ownership, ComponentFreedByHandLeavesItsOwner) {
  auto* owner = new TComponent(nullptr);
  auto* child = new TComponent(owner);
  delete child;
  EXPECT_EQ(owner->ComponentCount(), 0);
  delete owner;
}

// A component whose destruction frees its owner (as a call served while it
// waits may), and whose `delete` nested in its own destruction leaves it to
// that destruction, as a timer's does.
struct FreesItsOwner : TComponent {
  std::vector<int>* freed;
  TComponent* toFree;
  bool begun = false;
  FreesItsOwner(TComponent* o, std::vector<int>* f) : TComponent(o), freed(f), toFree(o) {}
  ~FreesItsOwner() override {
    delete std::exchange(toFree, nullptr);
    freed->push_back(0);
  }
  static void operator delete(FreesItsOwner* self, std::destroying_delete_t) {
    if (std::exchange(self->begun, true)) return;
    System::TObject::operator delete(self, std::destroying_delete);
  }
};

TEST(Ownership, OwnerFreedWhileOneOfItsComponentsIsBeingDestroyed) {
  std::vector<int> freed;
  auto* owner = new Tracked(nullptr, &freed, 9);
  new Tracked(owner, &freed, 1);
  auto* component = new FreesItsOwner(owner, &freed);
  new Tracked(owner, &freed, 2);
  {
    const qevtest::HangGuard guard("freeing an owner inside its component's destruction", 20s);
    delete component;
  }
  // Each freed once (the owner's own body before its components), and the
  // component's end comes last, without touching the freed owner.
  EXPECT_EQ(freed, (std::vector<int>{9, 2, 1, 0}));
}

// "Close the form" code run inside the form's own teardown: a component
// whose destructor frees the application's form, if it is still there.
struct Counted : TComponent {
  int* count;
  Counted(TComponent* owner, int* c) : TComponent(owner), count(c) {}
  ~Counted() override { ++*count; }
};
struct ClosesForm : Counted {
  TComponent** form;
  ClosesForm(TComponent* owner, int* c, TComponent** f) : Counted(owner, c), form(f) {}
  ~ClosesForm() override {
    if (*form) {
      delete *form;
      *form = nullptr;
    }
  }
};

// How far up the stack of destructions the component that closes the form
// sits: 0, it is the form itself; 1, the form owns it; 2, the form owns its
// owner.
class NestedDelete : public ::testing::TestWithParam<int> {};

TEST_P(NestedDelete, OfAComponentBeingDestroyedIsIgnored) {
  const int depth = GetParam();
  int destroyed = 0;
  TComponent* form = nullptr;
  TComponent* top = nullptr;
  if (depth == 0) {
    top = new ClosesForm(nullptr, &destroyed, &form);
  } else {
    top = new Counted(nullptr, &destroyed);
    TComponent* parent = depth == 2 ? new Counted(top, &destroyed) : top;
    new ClosesForm(parent, &destroyed, &form);
  }
  form = top;
  {
    const qevtest::HangGuard guard("a nested delete of the form", 20s);
    delete top;
  }
  EXPECT_EQ(destroyed, depth + 1);  // each component once
}

std::string DepthName(const testing::TestParamInfo<int>& info) {
  static const char* const names[] = {"ItsOwnDestructor", "ItsOwner", "ItsOwnersOwner"};
  return names[info.param];
}
INSTANTIATE_TEST_SUITE_P(Ownership, NestedDelete, testing::Values(0, 1, 2), DepthName);

TEST(ComponentName, MustBeAnIdentifierUniqueWithinTheOwner) {
  auto* owner = new TComponent(nullptr);
  auto* a = new TComponent(owner);
  auto* b = new TComponent(owner);
  a->SetName(u"Timer1");
  EXPECT_EQ(owner->FindComponent(u"TIMER1"), a);
  EXPECT_THROW(b->SetName(u"timer1"), EComponentError);
  for (const char16_t* bad : {u"1Timer", u"Timer 1", u"Tim-er"})
    EXPECT_THROW(b->SetName(bad), EComponentError) << System::UnicodeString(bad).ToUtf8();
  // As long as form text can store it, and no longer.
  const std::u16string longest(System::Classes::MaxIdentLength, u'T');
  b->SetName(longest);
  EXPECT_THROW(b->SetName(longest + u'T'), EComponentError);
  b->SetName(u"_Timer2");
  a->SetName(u"");  // unnamed is allowed, and frees the name
  b->SetName(u"Timer1");
  EXPECT_EQ(b->Name(), System::UnicodeString(u"Timer1"));
  delete owner;
}

TEST(Method, BindsAnyClassAndTestsUnassignedByItsCode) {
  struct Listener {
    System::TObject* last = nullptr;
    void OnEvent(System::TObject* sender) { last = sender; }
  } listener;
  TNotifyEvent none;
  EXPECT_FALSE(none);
  TNotifyEvent e = TNotifyEvent::Bind<&Listener::OnEvent>(&listener);
  ASSERT_TRUE(e);
  EXPECT_EQ(e.data, &listener);
  TComponent sender_owner(nullptr);
  e(&sender_owner);
  EXPECT_EQ(listener.last, &sender_owner);
  TNotifyEvent codeless{nullptr, &listener};
  EXPECT_FALSE(codeless);
}

}  // namespace
