// Type records of System::Classes, the class registry and TDataModule.
#include <algorithm>
#include <mutex>

#include "System.Classes.Streaming.hpp"

namespace System::Classes {

using namespace System::Typinfo;

namespace {

// TComponent: Name and Tag.
const TPropInfo kComponentProps[] = {
    {&TypeInfo_UnicodeString, "Name", "FName", "SetName",
     [](const TObject* o) { return ToValue(static_cast<const TComponent*>(o)->Name()); },
     [](TObject* o, const TValue& v) { static_cast<TComponent*>(o)->SetName(FromValue<UnicodeString>(v)); },
     NoDefault, true, TMemberVisibility::mvPublished},
    {&TypeInfo_NativeInt, "Tag", "FTag", "FTag",
     [](const TObject* o) { return ToValue(static_cast<const TComponent*>(o)->Tag()); },
     [](TObject* o, const TValue& v) { static_cast<TComponent*>(o)->SetTag(FromValue<std::intptr_t>(v)); },
     0, true, TMemberVisibility::mvPublished},
};
const TClassData kComponentData{&TypeInfo_TObject, "System.Classes", 2, kComponentProps,
                                [](TObject* owner) -> TObject* {
                                  return new TComponent(static_cast<TComponent*>(owner));
                                }};

const TClassData kThreadData{&TypeInfo_TObject, "System.Classes", 0, nullptr, nullptr};

const char* const kPriorityNames[] = {"tpIdle",   "tpLowest",  "tpLower",       "tpNormal",
                                      "tpHigher", "tpHighest", "tpTimeCritical"};
const TEnumerationData kPriorityData{TOrdType::otUByte, 0, 6, kPriorityNames};

const TParamData kNotifyParams[] = {{"Sender", &TypeInfo_TObject}};
const TMethodData kNotifyData{1, kNotifyParams};

const TClassData kDataModuleData{&TComponent::TypeInfo, "System.Classes", 0, nullptr,
                                 [](TObject* owner) -> TObject* {
                                   return new TDataModule(static_cast<TComponent*>(owner));
                                 }};

// The registry may change while a module loads on another thread.
struct Registry {
  std::mutex lock;
  std::vector<TComponentClass> classes;
};
Registry& registry() {
  static Registry r;
  return r;
}

// Registered on load, as the units that define them do.
struct RegisterOwnClasses {
  RegisterOwnClasses() {
    RegisterClass(&TComponent::TypeInfo);
    RegisterClass(&TDataModule::TypeInfo);
  }
} registerOwnClasses;

}  // namespace

const TTypeInfo TComponent::TypeInfo{TTypeKind::tkClass, "TComponent", &kComponentData};
const TTypeInfo TypeInfo_TThread{TTypeKind::tkClass, "TThread", &kThreadData};
const TTypeInfo TypeInfo_TThreadPriority{TTypeKind::tkEnumeration, "TThreadPriority", &kPriorityData};
const TTypeInfo TypeInfo_TNotifyEvent{TTypeKind::tkMethod, "TNotifyEvent", &kNotifyData};
const TTypeInfo TDataModule::TypeInfo{TTypeKind::tkClass, "TDataModule", &kDataModuleData};

// --- Class registry ------------------------------------------------------------

void RegisterClass(TComponentClass cls) {
  Registry& r = registry();
  std::lock_guard guard(r.lock);
  if (std::find(r.classes.begin(), r.classes.end(), cls) == r.classes.end()) r.classes.push_back(cls);
}

void UnRegisterClass(TComponentClass cls) {
  Registry& r = registry();
  std::lock_guard guard(r.lock);
  std::erase(r.classes, cls);
}

TComponentClass GetClass(std::string_view name) {
  Registry& r = registry();
  std::lock_guard guard(r.lock);
  for (TComponentClass c : r.classes)
    if (SameIdent(c->Name, name)) return c;
  return nullptr;
}

TComponent* CreateComponent(TComponentClass cls, TComponent* owner) {
  const TClassData* data = GetClassData(cls);
  if (!data || !data->Create || !InheritsFrom(cls, &TComponent::TypeInfo))
    throw EClassNotFound(UnicodeString(std::string(cls ? cls->Name : "(null)") + " is not a component class"));
  return static_cast<TComponent*>(data->Create(owner));
}

// --- TDataModule ---------------------------------------------------------------

TDataModule::TDataModule(TComponent* owner) : TComponent(owner) {}

const TTypeInfo* TDataModule::ClassInfo() const noexcept { return &TypeInfo; }

void TDataModule::PublishMethod(std::string_view name, TNotifyEvent method) {
  const auto identChar = [](char c, bool first) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || (!first && c >= '0' && c <= '9');
  };
  bool ident = !name.empty();
  for (std::size_t i = 0; i < name.size(); ++i) ident = ident && identChar(name[i], i == 0);
  if (!ident || !method || MethodAddress(name).Code)
    throw EComponentError(UnicodeString("Cannot publish a method as \"" + std::string(name) + "\""));
  methods_.emplace_back(std::string(name), std::get<TMethodValue>(ToValue(method)));
}

TMethodValue TDataModule::MethodAddress(std::string_view name) const {
  for (const auto& [n, m] : methods_)
    if (SameIdent(n, name)) return m;
  return {};
}

std::string TDataModule::MethodName(const TMethodValue& method) const {
  for (const auto& [n, m] : methods_)
    if (m == method) return n;
  return {};
}

}  // namespace System::Classes
