// System.TypInfo: what a run-time type record (TTypeInfo) says about its
// type, the property metadata of classes, and access to properties by name,
// as a designer's property inspector and the form reader and writer use it.
//
// Type records are constant data: any thread may read them. GetPropValue and
// SetPropValue run the property's reader or writer, so they belong on the
// thread that uses the object (for components, the main thread).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "System.hpp"

namespace System::Typinfo {

// ---------------------------------------------------------------------------
// Kind-specific type data, pointed at by TTypeInfo::TypeData.

// Storage of an ordinal type: width and sign.
enum class TOrdType : std::uint8_t { otSByte, otUByte, otSWord, otUWord, otSLong, otULong, otSInt64 };
enum class TFloatType : std::uint8_t { ftSingle, ftDouble, ftExtended };

// tkInteger, tkInt64: the range of an integer type.
struct TIntegerData {
  TOrdType OrdType;
  std::int64_t MinValue;
  std::int64_t MaxValue;
};

// tkEnumeration: ordinals MinValue..MaxValue, named Names[0..Max-Min].
// Boolean is one, with the names False and True.
struct TEnumerationData {
  TOrdType OrdType;
  std::int64_t MinValue;
  std::int64_t MaxValue;
  const char* const* Names;
};

// tkFloat.
struct TFloatData {
  TFloatType FloatType;
};

// tkMethod: an event type, a method pointer of two parts (code, object).
struct TParamData {
  const char* Name;
  const TTypeInfo* Type;
};
struct TMethodData {
  int ParamCount;
  const TParamData* Params;
};

// tkRecord: a plain record; fields in declaration order.
struct TRecordField {
  const char* Name;
  const TTypeInfo* Type;
  std::size_t Offset;
};
struct TRecordData {
  std::size_t Size;
  int FieldCount;
  const TRecordField* Fields;
};

// tkPointer: a typed pointer.
struct TPointerData {
  const TTypeInfo* RefType;
};

// ---------------------------------------------------------------------------
// Property values, as readers give them and writers take them. Ordinals
// (integers, enumerations, Boolean) travel as int64_t, floating types as
// double, strings as UnicodeString and events as TMethodValue.
using TMethodCode = void (*)();
struct TMethodValue {
  TMethodCode Code = nullptr;  // null: unassigned
  void* Data = nullptr;
  friend bool operator==(const TMethodValue&, const TMethodValue&) = default;
};
using TValue = std::variant<std::int64_t, double, UnicodeString, TMethodValue>;

// Converts a property's own C++ type to and from a TValue; for the small
// accessor functions of the metadata.
template <class T>
TValue ToValue(const T& v) {
  if constexpr (std::is_enum_v<T> || std::is_integral_v<T>)
    return static_cast<std::int64_t>(v);
  else if constexpr (std::is_floating_point_v<T>)
    return static_cast<double>(v);
  else if constexpr (std::is_same_v<T, UnicodeString>)
    return v;
  else
    return TMethodValue{reinterpret_cast<TMethodCode>(v.code), v.data};
}
template <class T>
T FromValue(const TValue& v) {
  if constexpr (std::is_same_v<T, bool>)
    return std::get<std::int64_t>(v) != 0;
  else if constexpr (std::is_enum_v<T> || std::is_integral_v<T>)
    return static_cast<T>(std::get<std::int64_t>(v));
  else if constexpr (std::is_floating_point_v<T>)
    return static_cast<T>(std::get<double>(v));
  else if constexpr (std::is_same_v<T, UnicodeString>)
    return std::get<UnicodeString>(v);
  else
    return T{reinterpret_cast<typename T::Code>(std::get<TMethodValue>(v).Code), std::get<TMethodValue>(v).Data};
}

// ---------------------------------------------------------------------------
// Property metadata.

using TPropGetter = TValue (*)(const TObject* instance);
using TPropSetter = void (*)(TObject* instance, const TValue& value);

enum class TMemberVisibility : std::uint8_t { mvPublic, mvPublished };

// Recorded for properties that give no ordinal default (strings, events).
inline constexpr std::int64_t NoDefault = INT64_MIN;

struct TPropInfo {
  const TTypeInfo* PropType;
  const char* Name;
  const char* ReadName;   // what the property reads: a field ("FEnabled") or a reader
  const char* WriteName;  // what it writes: a field or a writer ("SetEnabled"); null: read-only
  TPropGetter Get;
  TPropSetter Set;       // null: read-only
  std::int64_t Default;  // the recorded default: an ordinal, 0 for floating types, or NoDefault
  bool Stored;           // the stored specifier
  TMemberVisibility Visibility;
};

// tkClass: a class, its parent, its own properties in declaration order and,
// for component classes, how to construct one with an owner.
struct TClassData {
  const TTypeInfo* ParentInfo;  // null for TObject
  const char* UnitName;
  int PropCount;
  const TPropInfo* Props;
  // Constructs an instance whose owner is `owner` (a TComponent or null);
  // null for classes that are not constructed so.
  TObject* (*Create)(TObject* owner);
};

// ---------------------------------------------------------------------------
// Type records of the primitive types that properties use.
QEV_RTL_API extern const TTypeInfo TypeInfo_Boolean;        // tkEnumeration False, True
QEV_RTL_API extern const TTypeInfo TypeInfo_Integer;        // signed 32-bit
QEV_RTL_API extern const TTypeInfo TypeInfo_Cardinal;       // unsigned 32-bit
QEV_RTL_API extern const TTypeInfo TypeInfo_NativeInt;      // signed, pointer-sized
QEV_RTL_API extern const TTypeInfo TypeInfo_Double;         // tkFloat ftDouble
QEV_RTL_API extern const TTypeInfo TypeInfo_UnicodeString;  // tkUString
QEV_RTL_API extern const TTypeInfo TypeInfo_TObject;        // the root class

// Raised by the property access below.
class QEV_RTL_API EPropertyError : public Exception {
 public:
  using Exception::Exception;
};

// The class data of a class record; null for other kinds.
QEV_RTL_API const TClassData* GetClassData(const TTypeInfo* info) noexcept;
// Whether `cls` is `ancestor` or derives from it.
QEV_RTL_API bool InheritsFrom(const TTypeInfo* cls, const TTypeInfo* ancestor) noexcept;

// The published properties of a class: the parent's first, each class's in
// declaration order.
QEV_RTL_API std::vector<const TPropInfo*> GetPropList(const TTypeInfo* cls);
// A published or public property of a class or its ancestors, by name
// (compared as identifiers); null if there is none.
QEV_RTL_API const TPropInfo* GetPropInfo(const TTypeInfo* cls, std::string_view name) noexcept;

// Reads a property through its reader. By name: EPropertyError if the
// object's class has no such property.
QEV_RTL_API TValue GetPropValue(const TObject* instance, const TPropInfo* prop);
QEV_RTL_API TValue GetPropValue(const TObject* instance, std::string_view name);
// Writes a property through its writer, after checking: EPropertyError for an
// unknown or read-only property, a value of the wrong kind, or an ordinal
// outside its type's range.
QEV_RTL_API void SetPropValue(TObject* instance, const TPropInfo* prop, const TValue& value);
QEV_RTL_API void SetPropValue(TObject* instance, std::string_view name, const TValue& value);

// Whether the property's value equals the default that its metadata records
// (for events: unassigned; for strings: empty). Such values are not stored.
QEV_RTL_API bool IsDefaultPropValue(const TObject* instance, const TPropInfo* prop);

// The name of an enumeration's value, or null outside its range.
QEV_RTL_API const char* GetEnumName(const TTypeInfo* info, std::int64_t value) noexcept;
// The value of an enumeration's name (compared as identifiers), if any.
QEV_RTL_API std::optional<std::int64_t> GetEnumValue(const TTypeInfo* info, std::string_view name) noexcept;

// Identifier comparison: ASCII letters without regard to case.
QEV_RTL_API bool SameIdent(std::string_view a, std::string_view b) noexcept;

}  // namespace System::Typinfo
