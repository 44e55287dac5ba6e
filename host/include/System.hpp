// System: the core of the host framework stand-in. TObject, UnicodeString,
// the framework's numeric routines, method pointers and its exception type.
// Thread-safe unless a comment says otherwise.
#pragma once

#include <cstdint>
#include <exception>
#include <new>
#include <string>
#include <string_view>

#include "System.Export.hpp"

namespace System {

// ---------------------------------------------------------------------------
// UnicodeString: the framework's UTF-16 string. A value type.
class QEV_RTL_API UnicodeString {
 public:
  UnicodeString() = default;
  UnicodeString(const char16_t* text) : s_(text ? text : u"") {}
  UnicodeString(std::u16string text) : s_(std::move(text)) {}
  // From UTF-8 text. Ill-formed sequences become U+FFFD.
  UnicodeString(const char* utf8) : UnicodeString(std::string_view(utf8 ? utf8 : "")) {}
  explicit UnicodeString(std::string_view utf8);

  const char16_t* c_str() const noexcept { return s_.c_str(); }
  const std::u16string& str() const noexcept { return s_; }
  std::size_t Length() const noexcept { return s_.size(); }
  bool IsEmpty() const noexcept { return s_.empty(); }

  // To UTF-8. Unpaired surrogates become U+FFFD.
  std::string ToUtf8() const;
  // To the platform's wide string: UTF-16 on Windows, UTF-32 elsewhere.
  std::wstring ToWide() const;

  friend bool operator==(const UnicodeString&, const UnicodeString&) = default;
  friend UnicodeString operator+(const UnicodeString& a, const UnicodeString& b) {
    return UnicodeString(a.s_ + b.s_);
  }

 private:
  std::u16string s_;
};

// The framework's 8-bit string in the system's default code page.
using AnsiString = std::string;

// Converts to the system's default code page (Windows: the ANSI code page;
// elsewhere UTF-8). Characters the code page lacks become '?'.
QEV_RTL_API AnsiString ToAnsi(const UnicodeString& text);

// Case-insensitive comparison of ASCII letters, as identifiers are compared.
QEV_RTL_API bool SameText(const UnicodeString& a, const UnicodeString& b) noexcept;

// ---------------------------------------------------------------------------
// Numeric routines. `Int` is the integral part, truncated toward zero, as a
// floating value. `Round` is the nearest integer, an exact half going to the
// even neighbour; the result is unspecified outside the 64-bit range (callers
// keep their values inside it). Each comes in double and in long double
// precision (80-bit extended on x86 targets).
QEV_RTL_API double Int(double x) noexcept;
QEV_RTL_API long double Int(long double x) noexcept;
QEV_RTL_API std::int64_t Round(double x) noexcept;
QEV_RTL_API std::int64_t Round(long double x) noexcept;

// ---------------------------------------------------------------------------
// Exception: base of the framework's exceptions. The message is UTF-16;
// what() gives it as UTF-8.
class QEV_RTL_API Exception : public std::exception {
 public:
  explicit Exception(const UnicodeString& message);
  const UnicodeString& Message() const noexcept { return message_; }
  const char* what() const noexcept override { return what_.c_str(); }

 private:
  UnicodeString message_;
  std::string what_;
};

// ---------------------------------------------------------------------------
// Run-time type information: every described type has one TTypeInfo record,
// whose TypeData points at the kind's own description (System.TypInfo.hpp).
enum class TTypeKind : std::uint8_t {
  tkUnknown, tkInteger, tkChar, tkEnumeration, tkFloat, tkString, tkSet,
  tkClass, tkMethod, tkWChar, tkLString, tkWString, tkVariant, tkArray,
  tkRecord, tkInterface, tkInt64, tkDynArray, tkUString, tkClassRef,
  tkPointer, tkProcedure
};

struct TTypeInfo {
  TTypeKind Kind;
  const char* Name;
  const void* TypeData;  // null where the kind has nothing more to say
};

// TObject: root of the framework's classes. Objects live on the heap; `delete`
// calls BeforeDestruction before any destructor body runs, so a destructor
// already sees the object's being-destroyed state.
class QEV_RTL_API TObject {
 public:
  TObject() = default;
  TObject(const TObject&) = delete;
  TObject& operator=(const TObject&) = delete;
  virtual ~TObject();

  // The class's run-time type record.
  virtual const TTypeInfo* ClassInfo() const noexcept;
  // The class's name, from its type record.
  UnicodeString ClassName() const;

  // Called by `delete` before the destructors run.
  virtual void BeforeDestruction() {}

  static void operator delete(TObject* self, std::destroying_delete_t);
};

// ---------------------------------------------------------------------------
// TMethod: a method pointer of two parts, code and object, as the framework's
// `procedure of object`. Unassigned while its code is null. Bind a member
// function with `TMethod<...>::Bind<&C::M>(object)`.
template <class... Args>
struct TMethod {
  using Code = void (*)(void* data, Args... args);

  Code code = nullptr;
  void* data = nullptr;

  template <auto Member, class C>
  static TMethod Bind(C* object) noexcept {
    return {[](void* d, Args... a) { (static_cast<C*>(d)->*Member)(a...); }, object};
  }

  explicit operator bool() const noexcept { return code != nullptr; }
  void operator()(Args... args) const { code(data, args...); }
  friend bool operator==(const TMethod&, const TMethod&) = default;
};

}  // namespace System
