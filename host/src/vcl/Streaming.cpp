// The text form of a component tree: writer and reader.
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <string>
#include <system_error>
#include <utility>

#include "System.Classes.Streaming.hpp"

namespace System::Classes {

using namespace System::Typinfo;

namespace {

bool IdentStart(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool IdentChar(char c) { return IdentStart(c) || (c >= '0' && c <= '9'); }
bool Digit(char c) { return c >= '0' && c <= '9'; }

// The component's name is written in its block's first line.
bool IsNameProperty(const TPropInfo* prop) {
  return prop->PropType == &TypeInfo_UnicodeString && SameIdent(prop->Name, "Name");
}

// --- Writer ------------------------------------------------------------------

std::string FormatDouble(double d) {
  if (std::isnan(d)) return "NaN";
  if (std::isinf(d)) return d < 0 ? "-Inf" : "Inf";
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, d);  // shortest text that reads back exactly
  return std::string(buf, r.ptr);
}

// Printable ASCII inside quotes, every other UTF-16 code unit as #n, so that
// any string, unpaired surrogates included, reads back unchanged.
std::string QuoteString(const std::u16string& s) {
  if (s.empty()) return "''";
  std::string out;
  bool quoted = false;
  for (char16_t c : s) {
    if (c >= 0x20 && c < 0x7F) {
      if (!quoted) out += '\'';
      quoted = true;
      out += static_cast<char>(c);
      if (c == u'\'') out += '\'';
    } else {
      if (quoted) out += '\'';
      quoted = false;
      out += '#' + std::to_string(static_cast<unsigned>(c));
    }
  }
  if (quoted) out += '\'';
  return out;
}

std::string Path(const TComponent& c) {
  std::string name = c.Name().ToUtf8();
  return name.empty() ? "a " + c.ClassName().ToUtf8() : name;
}

std::string ValueText(const TDataModule& root, const TComponent& c, const TPropInfo* prop, const TValue& v) {
  switch (prop->PropType->Kind) {
    case TTypeKind::tkEnumeration:
      if (const char* name = GetEnumName(prop->PropType, std::get<std::int64_t>(v))) return name;
      break;
    case TTypeKind::tkInteger:
    case TTypeKind::tkInt64: return std::to_string(std::get<std::int64_t>(v));
    case TTypeKind::tkFloat: return FormatDouble(std::get<double>(v));
    case TTypeKind::tkUString: return QuoteString(std::get<UnicodeString>(v).str());
    case TTypeKind::tkMethod: {
      std::string name = root.MethodName(std::get<TMethodValue>(v));
      if (!name.empty()) return name;
      throw EWriteError(UnicodeString(Path(c) + "." + prop->Name + " holds a handler that the root " + Path(root) +
                                      " does not publish"));
    }
    default: break;
  }
  throw EWriteError(UnicodeString(Path(c) + "." + prop->Name + " cannot be written to a form"));
}

void WriteObject(std::string& out, const TDataModule& root, const TComponent& c, int depth) {
  const std::string indent(static_cast<std::size_t>(depth) * 2, ' ');
  const std::string name = c.Name().ToUtf8();
  out += indent + "object " + (name.empty() ? "" : name + ": ") + c.ClassName().ToUtf8() + "\n";
  for (const TPropInfo* prop : GetPropList(c.ClassInfo())) {
    if (IsNameProperty(prop) || !prop->Stored || IsDefaultPropValue(&c, prop)) continue;
    out += indent + "  " + prop->Name + " = " + ValueText(root, c, prop, GetPropValue(&c, prop)) + "\n";
  }
  for (int i = 0; i < c.ComponentCount(); ++i) WriteObject(out, root, *c.Components(i), depth + 1);
  out += indent + "end\n";
}

// --- Reader ------------------------------------------------------------------

struct Token {
  enum Kind { kIdent, kNumber, kString, kSymbol, kEndOfLine, kEndOfText } kind = kEndOfText;
  std::string_view text;  // as written
  std::u16string str;     // a string's value
  int line = 1, column = 1;
};

class Reader {
 public:
  Reader(std::string_view text, TDataModule& root) : s_(text), root_(root) {}

  void Read() {
    SkipByteOrderMark();
    Next();
    SkipEndsOfLine();
    ReadObject(nullptr, 1);
    SkipEndsOfLine();
    if (tok_.kind != Token::kEndOfText) Fail(tok_, "text after the end of the form");
  }

  // Deletes what this read constructed, last first: owned ones go before
  // their owners.
  void Undo() noexcept {
    for (auto c = created_.rbegin(); c != created_.rend(); ++c) delete *c;
    created_.clear();
  }

 private:
  [[noreturn]] void Fail(const Token& at, const std::string& what) { throw EReadError(at.line, at.column, what); }

  // Windows editors often begin UTF-8 text with a byte order mark. It is
  // accepted at the very start only, and columns count from after it.
  void SkipByteOrderMark() {
    if (s_.starts_with("\xEF\xBB\xBF")) pos_ = lineStart_ = 3;
  }

  char Peek(std::size_t ahead = 0) const { return pos_ + ahead < s_.size() ? s_[pos_ + ahead] : '\0'; }
  bool AtEnd(std::size_t ahead = 0) const { return pos_ + ahead >= s_.size(); }

  void Next() {
    while (!AtEnd() && (Peek() == ' ' || Peek() == '\t')) ++pos_;
    Token t;
    t.line = line_;
    t.column = static_cast<int>(pos_ - lineStart_) + 1;
    const std::size_t start = pos_;
    if (AtEnd()) {
      t.kind = Token::kEndOfText;
    } else if (Peek() == '\n' || (Peek() == '\r' && Peek(1) == '\n')) {
      pos_ += Peek() == '\r' ? 2 : 1;
      t.kind = Token::kEndOfLine;
      ++line_;
      lineStart_ = pos_;
    } else if (IdentStart(Peek())) {
      while (!AtEnd() && IdentChar(Peek())) ++pos_;
      t.kind = Token::kIdent;
      if (pos_ - start > MaxIdentLength)
        Fail(t, "identifier longer than " + std::to_string(MaxIdentLength) + " characters");
    } else if (Digit(Peek()) || ((Peek() == '-' || Peek() == '+') && (Digit(Peek(1)) || IdentStart(Peek(1))))) {
      ScanNumber(t);
    } else if (Peek() == '\'' || Peek() == '#') {
      ScanString(t);
    } else if (Peek() == ':' || Peek() == '=') {
      ++pos_;
      t.kind = Token::kSymbol;
    } else {
      const auto b = static_cast<unsigned char>(Peek());
      char hex[8];
      std::snprintf(hex, sizeof hex, "0x%02X", b);
      Fail(t, b >= 0x20 && b < 0x7F ? std::string("unexpected character '") + Peek() + "'"
                                     : std::string("unexpected byte ") + hex);
    }
    t.text = s_.substr(start, pos_ - start);
    tok_ = std::move(t);
  }

  // [+-] digits [. digits] [e [+-] digits], or [+-] followed by a name (-Inf).
  void ScanNumber(Token& t) {
    t.kind = Token::kNumber;
    if (Peek() == '-' || Peek() == '+') ++pos_;
    if (IdentStart(Peek())) {
      while (!AtEnd() && IdentChar(Peek())) ++pos_;
      return;
    }
    auto digits = [&] {
      const std::size_t from = pos_;
      while (Digit(Peek())) ++pos_;
      return pos_ > from;
    };
    digits();
    if (Peek() == '.') {
      ++pos_;
      if (!digits()) Fail(t, "malformed number");
    }
    if (Peek() == 'e' || Peek() == 'E') {
      ++pos_;
      if (Peek() == '-' || Peek() == '+') ++pos_;
      if (!digits()) Fail(t, "malformed number");
    }
    if (IdentChar(Peek()) || Peek() == '.') Fail(t, "malformed number");
  }

  // Quoted parts ('' is a quote) and #n code units, in any sequence.
  void ScanString(Token& t) {
    t.kind = Token::kString;
    for (;;) {
      if (Peek() == '\'') {
        ++pos_;
        std::string part;
        for (;;) {
          if (AtEnd() || Peek() == '\n' || Peek() == '\r') Fail(t, "unterminated string");
          if (Peek() == '\'') {
            if (Peek(1) != '\'') break;
            ++pos_;
          }
          part += Peek();
          ++pos_;
        }
        ++pos_;
        t.str += UnicodeString(std::string_view(part)).str();
      } else if (Peek() == '#') {
        ++pos_;
        std::uint32_t unit = 0;
        const auto r = std::from_chars(s_.data() + pos_, s_.data() + s_.size(), unit);
        if (r.ec != std::errc() || unit > 0xFFFF) Fail(t, "#n needs a code unit from 0 to 65535");
        pos_ = static_cast<std::size_t>(r.ptr - s_.data());
        t.str += static_cast<char16_t>(unit);
      } else {
        return;
      }
    }
  }

  void SkipEndsOfLine() {
    while (tok_.kind == Token::kEndOfLine) Next();
  }

  void ExpectEndOfLine() {
    if (tok_.kind != Token::kEndOfLine && tok_.kind != Token::kEndOfText) Fail(tok_, "end of line expected");
  }

  bool IsWord(const char* word) const { return tok_.kind == Token::kIdent && SameIdent(tok_.text, word); }

  Token ExpectIdent(const char* what) {
    if (tok_.kind != Token::kIdent) Fail(tok_, std::string(what) + " expected");
    Token t = tok_;
    Next();
    return t;
  }

  // An "object" block and everything in it, up to its "end". `owner` is
  // null for the root block.
  void ReadObject(TComponent* owner, int depth) {
    const Token head = tok_;
    if (!IsWord("object")) Fail(tok_, "'object' expected");
    if (depth > MaxFormDepth)
      Fail(head, "components nested deeper than " + std::to_string(MaxFormDepth) + " levels");
    Next();
    Token name = ExpectIdent("component name or class name");
    Token cls = name;
    if (tok_.kind == Token::kSymbol && tok_.text == ":") {
      Next();
      cls = ExpectIdent("class name");
    } else {
      name = Token{};  // an unnamed component
    }
    ExpectEndOfLine();

    TComponent* c;
    if (!owner) {
      if (!SameIdent(cls.text, root_.ClassInfo()->Name))
        Fail(cls, "the root is a " + std::string(root_.ClassInfo()->Name) + ", not a " + std::string(cls.text));
      c = &root_;
    } else {
      const TComponentClass type = GetClass(cls.text);
      if (!type) Fail(cls, "unknown class " + std::string(cls.text));
      if (!name.text.empty() && owner->FindComponent(UnicodeString(name.text)))
        Fail(name, "duplicate component name " + std::string(name.text));
      c = Guarded(cls, [&] { return CreateComponent(type, owner); });
      created_.push_back(c);
    }
    if (!name.text.empty()) Guarded(name, [&] { c->SetName(UnicodeString(name.text)); });

    for (;;) {
      SkipEndsOfLine();
      if (tok_.kind == Token::kEndOfText) Fail(tok_, "unexpected end of text: 'end' of " + Path(*c) + " expected");
      if (IsWord("end")) {
        Next();
        ExpectEndOfLine();
        return;
      }
      if (IsWord("object"))
        ReadObject(c, depth + 1);
      else
        ReadProperty(*c);
    }
  }

  void ReadProperty(TComponent& c) {
    const Token name = ExpectIdent("property name, 'object' or 'end'");
    const TPropInfo* prop = GetPropInfo(c.ClassInfo(), name.text);
    if (!prop || prop->Visibility != TMemberVisibility::mvPublished)
      Fail(name, "unknown property " + std::string(name.text) + " of " + c.ClassName().ToUtf8());
    if (tok_.kind != Token::kSymbol || tok_.text != "=") Fail(tok_, "'=' expected");
    Next();
    const Token value = tok_;
    if (value.kind == Token::kEndOfLine || value.kind == Token::kEndOfText) Fail(value, "value expected");
    TValue v = Convert(prop, value);
    Next();
    ExpectEndOfLine();
    Guarded(value, [&] { SetPropValue(&c, prop, v); });
  }

  TValue Convert(const TPropInfo* prop, const Token& t) {
    const TTypeInfo* type = prop->PropType;
    const std::string what = std::string(type->Name) + " value for " + prop->Name;
    switch (type->Kind) {
      case TTypeKind::tkEnumeration:
        if (t.kind == Token::kIdent)
          if (auto v = GetEnumValue(type, t.text)) return *v;
        Fail(t, std::string(t.text) + " is not a " + what);
      case TTypeKind::tkInteger:
      case TTypeKind::tkInt64: {
        if (t.kind != Token::kNumber) Fail(t, "an integer expected as " + what);
        std::string_view text = t.text;
        if (text[0] == '+') text.remove_prefix(1);
        std::int64_t v = 0;
        const auto r = std::from_chars(text.data(), text.data() + text.size(), v);
        if (r.ec == std::errc::result_out_of_range) Fail(t, std::string(t.text) + " is out of range for " + prop->Name);
        if (r.ec != std::errc() || r.ptr != text.data() + text.size())
          Fail(t, "an integer expected as " + what);
        return v;
      }
      case TTypeKind::tkFloat: {
        if (t.kind != Token::kNumber && t.kind != Token::kIdent) Fail(t, "a number expected as " + what);
        std::string_view text = t.text;
        const bool negative = text[0] == '-';
        if (text[0] == '+' || text[0] == '-') text.remove_prefix(1);
        if (SameIdent(text, "Inf")) return negative ? -HUGE_VAL : HUGE_VAL;
        if (SameIdent(text, "NaN")) return std::nan("");
        double v = 0;
        const auto r = std::from_chars(text.data(), text.data() + text.size(), v);
        if (r.ec == std::errc::result_out_of_range) Fail(t, std::string(t.text) + " is out of range for a Double");
        if (r.ec != std::errc() || r.ptr != text.data() + text.size() || !Digit(text[0]))
          Fail(t, "a number expected as " + what);
        return negative ? -v : v;
      }
      case TTypeKind::tkUString:
        if (t.kind != Token::kString) Fail(t, "a quoted string expected as " + what);
        return UnicodeString(t.str);
      case TTypeKind::tkMethod: {
        if (t.kind != Token::kIdent) Fail(t, "a method name expected as " + what);
        const TMethodValue m = root_.MethodAddress(t.text);
        if (!m.Code) Fail(t, "the root " + Path(root_) + " publishes no method " + std::string(t.text));
        if (type != &TypeInfo_TNotifyEvent) Fail(t, "method " + std::string(t.text) + " does not fit " + what);
        return m;
      }
      default: Fail(t, std::string(prop->Name) + " cannot be read from a form");
    }
  }

  // Runs `f`, turning the framework's exceptions into a read error at `at`.
  template <class F>
  auto Guarded(const Token& at, F f) -> decltype(f()) {
    try {
      return f();
    } catch (const EReadError&) {
      throw;
    } catch (const Exception& e) {
      Fail(at, e.Message().ToUtf8());
    }
  }

  std::string_view s_;
  std::size_t pos_ = 0;
  int line_ = 1;
  std::size_t lineStart_ = 0;
  Token tok_;
  TDataModule& root_;
  std::vector<TComponent*> created_;
};

}  // namespace

EReadError::EReadError(int line, int column, const std::string& what)
    : EFilerError(UnicodeString("line " + std::to_string(line) + ", column " + std::to_string(column) + ": " + what)),
      line_(line),
      column_(column) {}

std::string WriteFormText(const TDataModule& root) {
  std::string out;
  WriteObject(out, root, root, 0);
  return out;
}

void ReadFormText(std::string_view text, TDataModule& root) {
  if (text.size() > MaxFormText)
    throw EReadError(1, 1, "a form text of " + std::to_string(text.size()) + " bytes exceeds the limit of " +
                               std::to_string(MaxFormText) + " bytes");
  // The root's own values, to put back if the read fails.
  std::vector<std::pair<const TPropInfo*, TValue>> saved;
  for (const TPropInfo* prop : GetPropList(root.ClassInfo()))
    if (prop->Set) saved.emplace_back(prop, GetPropValue(&root, prop));

  Reader reader(text, root);
  try {
    reader.Read();
  } catch (...) {
    reader.Undo();
    for (const auto& [prop, value] : saved) {
      try {
        SetPropValue(&root, prop, value);
      } catch (const Exception&) {
        // A value that the root held before can be set again; nothing to do.
      }
    }
    throw;
  }
}

}  // namespace System::Classes
