#include "System.hpp"

#include <cmath>

#include "System.TypInfo.hpp"
#include "os.hpp"

namespace System {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// Calls `emit` with each code point of UTF-16 text.
template <class F>
void ForEachCodePoint(std::u16string_view s, F emit) {
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char16_t c = s[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000) {
      emit(0x10000 + ((char32_t(c) - 0xD800) << 10) + (char32_t(s[i + 1]) - 0xDC00));
      ++i;
    } else if (c >= 0xD800 && c < 0xE000) {
      emit(kReplacement);
    } else {
      emit(c);
    }
  }
}

}  // namespace

namespace os {
std::string Utf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  ForEachCodePoint(text, [&](char32_t c) { AppendUtf8(out, c); });
  return out;
}
}  // namespace os

UnicodeString::UnicodeString(std::string_view in) {
  s_.reserve(in.size());
  auto push = [this](char32_t c) {
    if (c >= 0x10000) {
      c -= 0x10000;
      s_ += static_cast<char16_t>(0xD800 + (c >> 10));
      s_ += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      s_ += static_cast<char16_t>(c);
    }
  };
  for (std::size_t i = 0; i < in.size();) {
    const auto b = static_cast<unsigned char>(in[i]);
    const int extra = b < 0x80 ? 0 : (b >> 5) == 0x6 ? 1 : (b >> 4) == 0xE ? 2 : (b >> 3) == 0x1E ? 3 : -1;
    const bool truncated = extra > 0 && i + static_cast<std::size_t>(extra) >= in.size();
    if (extra < 0 || truncated) {
      push(kReplacement);
      ++i;
      continue;
    }
    char32_t c = extra == 0 ? b : b & (0x3F >> extra);
    bool ok = true;
    for (int k = 1; k <= extra; ++k) {
      const auto cont = static_cast<unsigned char>(in[i + k]);
      if ((cont & 0xC0) != 0x80) {
        ok = false;
        break;
      }
      c = (c << 6) | (cont & 0x3F);
    }
    static constexpr char32_t kMin[4] = {0, 0x80, 0x800, 0x10000};
    if (!ok || c < kMin[extra] || c > 0x10FFFF || (c >= 0xD800 && c < 0xE000)) {
      push(kReplacement);
      ++i;
      continue;
    }
    push(c);
    i += static_cast<std::size_t>(extra) + 1;
  }
}

std::string UnicodeString::ToUtf8() const { return os::Utf8(s_); }

std::wstring UnicodeString::ToWide() const {
  if constexpr (sizeof(wchar_t) == sizeof(char16_t)) {
    return std::wstring(s_.begin(), s_.end());
  } else {
    std::wstring out;
    ForEachCodePoint(s_, [&](char32_t c) { out += static_cast<wchar_t>(c); });
    return out;
  }
}

AnsiString ToAnsi(const UnicodeString& text) { return os::ToAnsi(text.str()); }

bool SameText(const UnicodeString& a, const UnicodeString& b) noexcept {
  if (a.Length() != b.Length()) return false;
  auto lower = [](char16_t c) { return c >= u'A' && c <= u'Z' ? char16_t(c + 32) : c; };
  for (std::size_t i = 0; i < a.Length(); ++i)
    if (lower(a.str()[i]) != lower(b.str()[i])) return false;
  return true;
}

// llrint rounds in the current rounding mode, which the framework never
// changes from round-to-nearest-even.
double Int(double x) noexcept { return std::trunc(x); }
long double Int(long double x) noexcept { return std::trunc(x); }
std::int64_t Round(double x) noexcept { return std::llrint(x); }
std::int64_t Round(long double x) noexcept { return std::llrint(x); }

Exception::Exception(const UnicodeString& message) : message_(message), what_(message.ToUtf8()) {}

TObject::~TObject() = default;

const TTypeInfo* TObject::ClassInfo() const noexcept { return &Typinfo::TypeInfo_TObject; }

UnicodeString TObject::ClassName() const { return UnicodeString(ClassInfo()->Name); }

void TObject::operator delete(TObject* self, std::destroying_delete_t) {
  self->BeforeDestruction();
  void* const block = dynamic_cast<void*>(self);  // the complete object
  self->~TObject();
  ::operator delete(block);
}

}  // namespace System
