#include "System.TypInfo.hpp"

#include <limits>
#include <string>

namespace System::Typinfo {
namespace {

const char* const kBooleanNames[] = {"False", "True"};
const TEnumerationData kBooleanData{TOrdType::otUByte, 0, 1, kBooleanNames};
const TIntegerData kIntegerData{TOrdType::otSLong, std::numeric_limits<std::int32_t>::min(),
                                std::numeric_limits<std::int32_t>::max()};
const TIntegerData kCardinalData{TOrdType::otULong, 0, std::numeric_limits<std::uint32_t>::max()};
const TIntegerData kNativeIntData{sizeof(std::intptr_t) == 8 ? TOrdType::otSInt64 : TOrdType::otSLong,
                                  std::numeric_limits<std::intptr_t>::min(),
                                  std::numeric_limits<std::intptr_t>::max()};
const TFloatData kDoubleData{TFloatType::ftDouble};
const TClassData kObjectData{nullptr, "System", 0, nullptr, nullptr};

std::string Describe(const TTypeInfo* cls, const TPropInfo* prop) {
  return "property \"" + std::string(prop->Name) + "\" of " + cls->Name;
}

const char* KindOf(const TValue& v) {
  switch (v.index()) {
    case 0: return "an ordinal";
    case 1: return "a floating-point number";
    case 2: return "a string";
    default: return "a method";
  }
}

// The TValue alternative that a property of this kind takes, or -1.
int ExpectedIndex(TTypeKind kind) {
  switch (kind) {
    case TTypeKind::tkInteger:
    case TTypeKind::tkInt64:
    case TTypeKind::tkEnumeration: return 0;
    case TTypeKind::tkFloat: return 1;
    case TTypeKind::tkUString: return 2;
    case TTypeKind::tkMethod: return 3;
    default: return -1;
  }
}

// The range of an ordinal type.
bool OrdinalRange(const TTypeInfo* t, std::int64_t& lo, std::int64_t& hi) {
  if (t->Kind == TTypeKind::tkEnumeration) {
    const auto* d = static_cast<const TEnumerationData*>(t->TypeData);
    lo = d->MinValue;
    hi = d->MaxValue;
    return true;
  }
  if (t->Kind == TTypeKind::tkInteger || t->Kind == TTypeKind::tkInt64) {
    const auto* d = static_cast<const TIntegerData*>(t->TypeData);
    lo = d->MinValue;
    hi = d->MaxValue;
    return true;
  }
  return false;
}

const TTypeInfo* ClassOf(const TObject* instance) {
  if (!instance) throw EPropertyError(u"No object to access a property of");
  return instance->ClassInfo();
}

}  // namespace

const TTypeInfo TypeInfo_Boolean{TTypeKind::tkEnumeration, "Boolean", &kBooleanData};
const TTypeInfo TypeInfo_Integer{TTypeKind::tkInteger, "Integer", &kIntegerData};
const TTypeInfo TypeInfo_Cardinal{TTypeKind::tkInteger, "Cardinal", &kCardinalData};
const TTypeInfo TypeInfo_NativeInt{sizeof(std::intptr_t) == 8 ? TTypeKind::tkInt64 : TTypeKind::tkInteger,
                                   "NativeInt", &kNativeIntData};
const TTypeInfo TypeInfo_Double{TTypeKind::tkFloat, "Double", &kDoubleData};
const TTypeInfo TypeInfo_UnicodeString{TTypeKind::tkUString, "UnicodeString", nullptr};
const TTypeInfo TypeInfo_TObject{TTypeKind::tkClass, "TObject", &kObjectData};

bool SameIdent(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

const TClassData* GetClassData(const TTypeInfo* info) noexcept {
  return info && info->Kind == TTypeKind::tkClass ? static_cast<const TClassData*>(info->TypeData) : nullptr;
}

bool InheritsFrom(const TTypeInfo* cls, const TTypeInfo* ancestor) noexcept {
  for (; cls; cls = GetClassData(cls) ? GetClassData(cls)->ParentInfo : nullptr)
    if (cls == ancestor) return true;
  return false;
}

std::vector<const TPropInfo*> GetPropList(const TTypeInfo* cls) {
  std::vector<const TTypeInfo*> chain;
  for (const TTypeInfo* c = cls; GetClassData(c); c = GetClassData(c)->ParentInfo) chain.push_back(c);
  std::vector<const TPropInfo*> list;
  for (auto c = chain.rbegin(); c != chain.rend(); ++c) {
    const TClassData* d = GetClassData(*c);
    for (int i = 0; i < d->PropCount; ++i)
      if (d->Props[i].Visibility == TMemberVisibility::mvPublished) list.push_back(&d->Props[i]);
  }
  return list;
}

const TPropInfo* GetPropInfo(const TTypeInfo* cls, std::string_view name) noexcept {
  for (const TTypeInfo* c = cls; GetClassData(c); c = GetClassData(c)->ParentInfo) {
    const TClassData* d = GetClassData(c);
    for (int i = 0; i < d->PropCount; ++i)
      if (SameIdent(d->Props[i].Name, name)) return &d->Props[i];
  }
  return nullptr;
}

TValue GetPropValue(const TObject* instance, const TPropInfo* prop) {
  ClassOf(instance);
  return prop->Get(instance);
}

TValue GetPropValue(const TObject* instance, std::string_view name) {
  const TTypeInfo* cls = ClassOf(instance);
  const TPropInfo* prop = GetPropInfo(cls, name);
  if (!prop) throw EPropertyError(UnicodeString(cls->Name + (" has no property \"" + std::string(name) + "\"")));
  return prop->Get(instance);
}

void SetPropValue(TObject* instance, const TPropInfo* prop, const TValue& value) {
  const TTypeInfo* cls = ClassOf(instance);
  if (!prop->Set) throw EPropertyError(UnicodeString(Describe(cls, prop) + " is read-only"));
  const int expected = ExpectedIndex(prop->PropType->Kind);
  if (expected != static_cast<int>(value.index()))
    throw EPropertyError(UnicodeString(Describe(cls, prop) + " is of type " + prop->PropType->Name + ", not " +
                                       KindOf(value)));
  std::int64_t lo, hi;
  if (OrdinalRange(prop->PropType, lo, hi)) {
    const std::int64_t v = std::get<std::int64_t>(value);
    if (v < lo || v > hi)
      throw EPropertyError(UnicodeString(std::to_string(v) + " is out of range for " + Describe(cls, prop) + " (" +
                                         prop->PropType->Name + ": " + std::to_string(lo) + ".." +
                                         std::to_string(hi) + ")"));
  }
  prop->Set(instance, value);
}

void SetPropValue(TObject* instance, std::string_view name, const TValue& value) {
  const TTypeInfo* cls = ClassOf(instance);
  const TPropInfo* prop = GetPropInfo(cls, name);
  if (!prop) throw EPropertyError(UnicodeString(cls->Name + (" has no property \"" + std::string(name) + "\"")));
  SetPropValue(instance, prop, value);
}

bool IsDefaultPropValue(const TObject* instance, const TPropInfo* prop) {
  const TValue v = prop->Get(instance);
  switch (v.index()) {
    case 0: return prop->Default != NoDefault && std::get<std::int64_t>(v) == prop->Default;
    case 1: return std::get<double>(v) == static_cast<double>(prop->Default);
    case 2: return std::get<UnicodeString>(v).IsEmpty();
    default: return std::get<TMethodValue>(v).Code == nullptr;
  }
}

const char* GetEnumName(const TTypeInfo* info, std::int64_t value) noexcept {
  if (!info || info->Kind != TTypeKind::tkEnumeration) return nullptr;
  const auto* d = static_cast<const TEnumerationData*>(info->TypeData);
  if (value < d->MinValue || value > d->MaxValue) return nullptr;
  return d->Names[value - d->MinValue];
}

std::optional<std::int64_t> GetEnumValue(const TTypeInfo* info, std::string_view name) noexcept {
  if (!info || info->Kind != TTypeKind::tkEnumeration) return std::nullopt;
  const auto* d = static_cast<const TEnumerationData*>(info->TypeData);
  for (std::int64_t v = d->MinValue; v <= d->MaxValue; ++v)
    if (SameIdent(d->Names[v - d->MinValue], name)) return v;
  return std::nullopt;
}

}  // namespace System::Typinfo
