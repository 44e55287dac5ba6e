#include "QevTimer.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "System.Classes.Streaming.hpp"
#include "System.TypInfo.hpp"
#include "support/Wait.hpp"

namespace {

using namespace System::Typinfo;
using Qevtimer::TQevTimer;
using System::TTypeInfo;
using System::TTypeKind;
using System::Classes::TComponent;
using System::Classes::TThread;
using System::Classes::TThreadPriority;

// --- Property metadata ------------------------------------------------------

struct PropRow {
  const char* name;
  const TTypeInfo* type;
  const char* read;
  const char* write;  // null: read-only
  std::int64_t def;
  bool stored;
  TMemberVisibility visibility;
};

const PropRow kPublished[] = {
    {"Name", &TypeInfo_UnicodeString, "FName", "SetName", NoDefault, true, TMemberVisibility::mvPublished},
    {"Tag", &TypeInfo_NativeInt, "FTag", "FTag", 0, true, TMemberVisibility::mvPublished},
    {"Enabled", &TypeInfo_Boolean, "FEnabled", "SetEnabled", 1, true, TMemberVisibility::mvPublished},
    {"Interval", &TypeInfo_Double, "FInterval", "SetInterval", 0, true, TMemberVisibility::mvPublished},
    {"Cycled", &TypeInfo_Boolean, "FCycled", "FCycled", 1, true, TMemberVisibility::mvPublished},
    {"RepeatCount", &TypeInfo_Cardinal, "FRepeatCount", "FRepeatCount", 0, true, TMemberVisibility::mvPublished},
    {"OnTimer", &System::Classes::TypeInfo_TNotifyEvent, "FOnTimer", "SetOnTimer", NoDefault, true,
     TMemberVisibility::mvPublished},
    {"Priority", &System::Classes::TypeInfo_TThreadPriority, "FPriority", "SetPriority", 3, true,
     TMemberVisibility::mvPublished},
};
const PropRow kPublic[] = {
    {"NeedSynchronization", &TypeInfo_Boolean, "FNeedSynchronization", "FNeedSynchronization", 0, false,
     TMemberVisibility::mvPublic},
    {"Version", &TypeInfo_Double, "FVersion", nullptr, 0, false, TMemberVisibility::mvPublic},
};

void ExpectRow(const PropRow& want, const TPropInfo* got) {
  ASSERT_NE(got, nullptr) << want.name;
  EXPECT_STREQ(got->Name, want.name);
  EXPECT_EQ(got->PropType, want.type) << want.name;
  EXPECT_STREQ(got->ReadName, want.read) << want.name;
  if (want.write) {
    EXPECT_STREQ(got->WriteName, want.write) << want.name;
  } else {
    EXPECT_TRUE(got->WriteName == nullptr && got->Set == nullptr) << want.name;
  }
  EXPECT_EQ(got->Default, want.def) << want.name;
  EXPECT_EQ(got->Stored, want.stored) << want.name;
  EXPECT_EQ(got->Visibility, want.visibility) << want.name;
}

TEST(TimerTypes, PublishedPropertiesFollowTheComponentsInDeclaredOrder) {
  const std::vector<const TPropInfo*> list = GetPropList(&TQevTimer::TypeInfo);
  ASSERT_EQ(list.size(), std::size(kPublished));
  for (std::size_t i = 0; i < list.size(); ++i) ExpectRow(kPublished[i], list[i]);
}

TEST(TimerTypes, PublicPropertiesAreFoundByNameButNotListed) {
  for (const PropRow& row : kPublic) ExpectRow(row, GetPropInfo(&TQevTimer::TypeInfo, row.name));
  EXPECT_EQ(GetPropInfo(&TQevTimer::TypeInfo, "interval"), GetPropList(&TQevTimer::TypeInfo)[3]);
  EXPECT_EQ(GetPropInfo(&TQevTimer::TypeInfo, "FInterval"), nullptr);
}

TEST(TimerTypes, ClassRecords) {
  const TClassData* timer = GetClassData(&TQevTimer::TypeInfo);
  ASSERT_NE(timer, nullptr);
  EXPECT_STREQ(TQevTimer::TypeInfo.Name, "TQevTimer");
  EXPECT_STREQ(timer->UnitName, "QevTimer");
  EXPECT_EQ(timer->ParentInfo, &TComponent::TypeInfo);
  EXPECT_EQ(GetClassData(timer->ParentInfo)->ParentInfo, &TypeInfo_TObject);

  const TClassData* worker = GetClassData(&Qevtimer::TTimerThread::TypeInfo);
  ASSERT_NE(worker, nullptr);
  EXPECT_STREQ(Qevtimer::TTimerThread::TypeInfo.Name, "TTimerThread");
  EXPECT_STREQ(worker->UnitName, "QevTimer");
  EXPECT_EQ(worker->ParentInfo, &System::Classes::TypeInfo_TThread);
  EXPECT_EQ(worker->Create, nullptr);
  EXPECT_TRUE(InheritsFrom(&Qevtimer::TTimerThread::TypeInfo, &TypeInfo_TObject));
  EXPECT_FALSE(InheritsFrom(&Qevtimer::TTimerThread::TypeInfo, &TComponent::TypeInfo));
}

TEST(TimerTypes, TimeCapsRecordAndPointer) {
  ASSERT_EQ(Qevtimer::TypeInfo_TTimeCaps.Kind, TTypeKind::tkRecord);
  EXPECT_STREQ(Qevtimer::TypeInfo_TTimeCaps.Name, "TTimeCaps");
  const auto* rec = static_cast<const TRecordData*>(Qevtimer::TypeInfo_TTimeCaps.TypeData);
  EXPECT_EQ(rec->Size, 8u);
  ASSERT_EQ(rec->FieldCount, 2);
  EXPECT_STREQ(rec->Fields[0].Name, "wPeriodMin");
  EXPECT_EQ(rec->Fields[0].Offset, 0u);
  EXPECT_STREQ(rec->Fields[1].Name, "wPeriodMax");
  EXPECT_EQ(rec->Fields[1].Offset, 4u);
  for (int i = 0; i < 2; ++i) EXPECT_EQ(rec->Fields[i].Type, &TypeInfo_Cardinal);
  const auto* cardinal = static_cast<const TIntegerData*>(TypeInfo_Cardinal.TypeData);
  EXPECT_EQ(cardinal->OrdType, TOrdType::otULong);

  ASSERT_EQ(Qevtimer::TypeInfo_PTimeCaps.Kind, TTypeKind::tkPointer);
  EXPECT_STREQ(Qevtimer::TypeInfo_PTimeCaps.Name, "PTimeCaps");
  EXPECT_EQ(static_cast<const TPointerData*>(Qevtimer::TypeInfo_PTimeCaps.TypeData)->RefType,
            &Qevtimer::TypeInfo_TTimeCaps);
}

// --- Access by name, as a property inspector does ---------------------------

// Timers here live under a design-state owner, so no worker starts.
struct Inspector : ::testing::Test {
  TComponent* form = new TComponent(nullptr);
  TQevTimer* timer;
  Inspector() {
    form->SetDesigning(true);
    timer = new TQevTimer(form);
  }
  ~Inspector() override { delete form; }
};

TEST_F(Inspector, ReadsAndWritesThroughTheMetadata) {
  struct Case {
    const char* prop;
    TValue value;
  } cases[] = {
      {"Enabled", std::int64_t{0}},  {"Interval", 0.0025},       {"Cycled", std::int64_t{0}},
      {"RepeatCount", std::int64_t{4294967295}}, {"Priority", std::int64_t{6}},
      {"NeedSynchronization", std::int64_t{1}},  {"Tag", std::int64_t{-3}},
      {"Name", System::UnicodeString(u"Ticker")},
  };
  for (const Case& c : cases) {
    SetPropValue(timer, c.prop, c.value);
    EXPECT_EQ(GetPropValue(timer, c.prop), c.value) << c.prop;
  }
  EXPECT_FALSE(timer->Enabled());
  EXPECT_EQ(timer->Interval(), 0.0025);
  EXPECT_EQ(timer->RepeatCount(), 4294967295u);
  EXPECT_EQ(timer->Priority(), TThreadPriority::tpTimeCritical);
  EXPECT_TRUE(timer->NeedSynchronization());
  EXPECT_EQ(std::get<double>(GetPropValue(timer, "Version")), timer->Version());

  int calls = 0;
  struct Handler {
    int* calls;
    void Tick(System::TObject*) { ++*calls; }
  } handler{&calls};
  const auto event = System::Classes::TNotifyEvent::Bind<&Handler::Tick>(&handler);
  SetPropValue(timer, "OnTimer", ToValue(event));
  EXPECT_EQ(timer->OnTimer(), event);
  EXPECT_EQ(GetPropValue(timer, "OnTimer"), ToValue(event));
}

TEST_F(Inspector, RefusesWhatTheMetadataDoesNotAllow) {
  struct Case {
    const char* prop;
    TValue value;
    const char* error;  // part of the message
  } cases[] = {
      {"Intervall", 1.0, "no property \"Intervall\""},
      {"Version", 2.0, "read-only"},
      {"Interval", std::int64_t{1}, "of type Double, not an ordinal"},
      {"Enabled", 1.0, "of type Boolean, not a floating-point number"},
      {"OnTimer", std::int64_t{0}, "of type TNotifyEvent"},
      {"Name", std::int64_t{1}, "of type UnicodeString"},
      {"Enabled", std::int64_t{2}, "2 is out of range"},
      {"Priority", std::int64_t{7}, "7 is out of range for property \"Priority\" of TQevTimer (TThreadPriority: 0..6)"},
      {"Priority", std::int64_t{-1}, "-1 is out of range"},
      {"RepeatCount", std::int64_t{-1}, "-1 is out of range for property \"RepeatCount\""},
      {"RepeatCount", std::int64_t{4294967296}, "4294967296 is out of range"},
  };
  for (const Case& c : cases) {
    const TPropInfo* prop = GetPropInfo(&TQevTimer::TypeInfo, c.prop);
    const TValue before = prop ? GetPropValue(timer, prop) : TValue{};
    try {
      SetPropValue(timer, c.prop, c.value);
      ADD_FAILURE() << c.prop << ": no error";
    } catch (const EPropertyError& e) {
      EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
    }
    if (prop) {
      EXPECT_EQ(GetPropValue(timer, prop), before) << c.prop;
    }
  }
  EXPECT_THROW(GetPropValue(timer, "Enable"), EPropertyError);
}

// The writer, not the field, takes Enabled: at run time it ends the worker.
TEST(TimerTypes, EnabledIsWrittenThroughSetEnabled) {
  const int before = TThread::ActiveCount();
  auto* timer = new TQevTimer(nullptr);
  EXPECT_EQ(TThread::ActiveCount(), before + 1);
  SetPropValue(timer, "Enabled", std::int64_t{0});
  EXPECT_FALSE(timer->Enabled());
  EXPECT_TRUE(qevtest::ServeUntil([&] { return TThread::ActiveCount() == before; }));
  delete timer;
}

}  // namespace
