// Type records of the unit QevTimer: the classes TQevTimer and TTimerThread
// with TQevTimer's property metadata, and the types TTimeCaps and PTimeCaps.
#include <cstddef>

#include "QevTimer.hpp"
#include "System.Classes.Streaming.hpp"
#include "System.TypInfo.hpp"

namespace Qevtimer {

using namespace System::Typinfo;
using System::TObject;
using System::TTypeInfo;
using System::TTypeKind;

// The accessors read and write the fields that the metadata names; a friend
// of TQevTimer.
struct TimerMetadata {
  static const TQevTimer* Self(const TObject* o) { return static_cast<const TQevTimer*>(o); }
  static TQevTimer* Self(TObject* o) { return static_cast<TQevTimer*>(o); }

  // Published in this order, after TComponent's Name and Tag; then the
  // public ones, which are never stored.
  static constexpr int kPropCount = 8;
  static const TPropInfo Props[kPropCount];
};

const TPropInfo TimerMetadata::Props[kPropCount] = {
    {&TypeInfo_Boolean, "Enabled", "FEnabled", "SetEnabled",
     [](const TObject* o) { return ToValue(Self(o)->FEnabled.load()); },
     [](TObject* o, const TValue& v) { Self(o)->SetEnabled(FromValue<bool>(v)); },  //
     1, true, TMemberVisibility::mvPublished},
    {&TypeInfo_Double, "Interval", "FInterval", "SetInterval",
     [](const TObject* o) { return ToValue(Self(o)->FInterval.load()); },
     [](TObject* o, const TValue& v) { Self(o)->SetInterval(FromValue<double>(v)); },  //
     0, true, TMemberVisibility::mvPublished},
    {&TypeInfo_Boolean, "Cycled", "FCycled", "FCycled",
     [](const TObject* o) { return ToValue(Self(o)->FCycled.load()); },
     [](TObject* o, const TValue& v) { Self(o)->FCycled.store(FromValue<bool>(v)); },  //
     1, true, TMemberVisibility::mvPublished},
    {&TypeInfo_Cardinal, "RepeatCount", "FRepeatCount", "FRepeatCount",
     [](const TObject* o) { return ToValue(Self(o)->FRepeatCount.load()); },
     [](TObject* o, const TValue& v) { Self(o)->FRepeatCount.store(FromValue<std::uint32_t>(v)); },  //
     0, true, TMemberVisibility::mvPublished},
    {&System::Classes::TypeInfo_TNotifyEvent, "OnTimer", "FOnTimer", "SetOnTimer",
     [](const TObject* o) { return ToValue(Self(o)->FOnTimer.Load()); },
     [](TObject* o, const TValue& v) { Self(o)->SetOnTimer(FromValue<TNotifyEvent>(v)); },  //
     NoDefault, true, TMemberVisibility::mvPublished},
    {&System::Classes::TypeInfo_TThreadPriority, "Priority", "FPriority", "SetPriority",
     [](const TObject* o) { return ToValue(Self(o)->FPriority.load()); },
     [](TObject* o, const TValue& v) { Self(o)->SetPriority(FromValue<TThreadPriority>(v)); },  //
     static_cast<std::int64_t>(TThreadPriority::tpNormal), true, TMemberVisibility::mvPublished},
    {&TypeInfo_Boolean, "NeedSynchronization", "FNeedSynchronization", "FNeedSynchronization",
     [](const TObject* o) { return ToValue(Self(o)->FNeedSynchronization.load()); },
     [](TObject* o, const TValue& v) { Self(o)->FNeedSynchronization.store(FromValue<bool>(v)); },  //
     0, false, TMemberVisibility::mvPublic},
    {&TypeInfo_Double, "Version", "FVersion", nullptr,  //
     [](const TObject* o) { return ToValue(Self(o)->FVersion); }, nullptr,  //
     0, false, TMemberVisibility::mvPublic},
};

namespace {

const TClassData kTimerData{&System::Classes::TComponent::TypeInfo, "QevTimer", TimerMetadata::kPropCount,
                            TimerMetadata::Props, [](TObject* owner) -> TObject* {
                              return new TQevTimer(static_cast<TComponent*>(owner));
                            }};
const TClassData kThreadData{&System::Classes::TypeInfo_TThread, "QevTimer", 0, nullptr, nullptr};

static_assert(sizeof(TTimeCaps) == 8 && offsetof(TTimeCaps, wPeriodMin) == 0 && offsetof(TTimeCaps, wPeriodMax) == 4);
const TRecordField kTimeCapsFields[] = {
    {"wPeriodMin", &TypeInfo_Cardinal, offsetof(TTimeCaps, wPeriodMin)},
    {"wPeriodMax", &TypeInfo_Cardinal, offsetof(TTimeCaps, wPeriodMax)},
};
const TRecordData kTimeCapsData{sizeof(TTimeCaps), 2, kTimeCapsFields};
const TPointerData kPTimeCapsData{&TypeInfo_TTimeCaps};

// The reader finds TQevTimer by name while this module is loaded.
struct RegisterTimerClass {
  RegisterTimerClass() { System::Classes::RegisterClass(&TQevTimer::TypeInfo); }
  ~RegisterTimerClass() { System::Classes::UnRegisterClass(&TQevTimer::TypeInfo); }
} registerTimerClass;

}  // namespace

const TTypeInfo TQevTimer::TypeInfo{TTypeKind::tkClass, "TQevTimer", &kTimerData};
const TTypeInfo TTimerThread::TypeInfo{TTypeKind::tkClass, "TTimerThread", &kThreadData};
const TTypeInfo TypeInfo_TTimeCaps{TTypeKind::tkRecord, "TTimeCaps", &kTimeCapsData};
const TTypeInfo TypeInfo_PTimeCaps{TTypeKind::tkPointer, "PTimeCaps", &kPTimeCapsData};

}  // namespace Qevtimer
