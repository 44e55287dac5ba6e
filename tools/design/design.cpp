// qev-design: a design host. Loads a package as the designer does, calls the
// Register routine of each unit it contains, shows the palette, lists a
// class's published properties like a property inspector, and creates a
// component in design state on a new form, sets its properties by name and
// saves the form as text.
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "System.Classes.Register.hpp"
#include "System.Classes.Streaming.hpp"
#include "System.Kernel.hpp"
#include "System.Package.hpp"
#include "System.TypInfo.hpp"

namespace {

namespace C = System::Classes;
namespace T = System::Typinfo;

const char kHelp[] =
    "usage: qev-design [--package FILE] [--class NAME] [--set PROP=VALUE]... [--save FILE]\n"
    "\n"
    "Loads the package (default: QevTimerPack's file beside this tool, found by\n"
    "the system's search), calls the Register routine of every unit it\n"
    "contains, and prints the component palette. Then, for the class (default\n"
    "TQevTimer), lists its published properties with their types, the values of\n"
    "a new instance and the recorded defaults. With --set or --save it creates\n"
    "the component in design state on a new form (a TDataModule named Form1),\n"
    "sets the properties by name (enumerations and Booleans by name, events as\n"
    "the name of a form method, which the designer adds), prints the property\n"
    "list again and saves the form text to FILE (\"-\" for standard output).\n"
    "A public property (NeedSynchronization) can be set too, but the form\n"
    "never stores it: the listing says so.\n"
    "\n"
    "Exit status: 0 when done (\"saved Form1 to FILE\" only after the whole\n"
    "file was written and closed), 1 when the package, a property or the\n"
    "save failed (the message says which), 2 for a wrong command line.\n";

// The package's file name on this target, from the build.
constexpr const char* kDefaultPackage = QEV_PACKAGE_FILE;

// The palette: page -> classes, in registration order; classes appear once.
std::map<std::u16string, std::vector<C::TComponentClass>> palette;

void RegisterOnPalette(const System::UnicodeString& page, const C::TComponentClass* classes, int highIndex) {
  auto& entries = palette[page.str()];
  for (int i = 0; i <= highIndex; ++i) {
    bool known = false;
    for (auto* c : entries) known = known || c == classes[i];
    if (!known) entries.push_back(classes[i]);
    C::RegisterClass(classes[i]);
  }
}

// The names a unit's Register routine is exported under: the framework's
// own mangling (unit name with only its first letter in capitals) or the
// Itanium one.
std::vector<std::string> RegisterNames(std::string unit) {
  for (std::size_t i = 1; i < unit.size(); ++i) unit[i] = static_cast<char>(std::tolower(unit[i]));
  return {"@" + unit + "@Register$qqrv", "_ZN" + std::to_string(unit.size()) + unit + "8RegisterEv"};
}

std::string Shortest(double v) {
  char text[64];
  const auto r = std::to_chars(text, text + sizeof text, v);
  return std::string(text, r.ptr);
}

std::string ShowValue(const T::TPropInfo& p, const T::TValue& v, const C::TDataModule* root) {
  if (const auto* i = std::get_if<std::int64_t>(&v)) {
    if (p.PropType->Kind == System::TTypeKind::tkEnumeration) {
      const char* name = T::GetEnumName(p.PropType, *i);
      return name ? name : std::to_string(*i);
    }
    return std::to_string(*i);
  }
  if (const auto* d = std::get_if<double>(&v)) return Shortest(*d);
  if (const auto* s = std::get_if<System::UnicodeString>(&v)) return "'" + s->ToUtf8() + "'";
  const auto& m = std::get<T::TMethodValue>(v);
  if (!m.Code) return "(none)";
  const std::string name = root ? root->MethodName(m) : "";
  return name.empty() ? "(assigned)" : name;
}

// The default the metadata records and when the form writer leaves a value
// out. Floating-point, string and event properties get no default of their
// own ("none given"): a floating-point one records 0, so a value of 0 is left
// out; a string is left out when empty, an event when unassigned. A
// component's Name goes into its object line, never into a property line.
std::string ShowDefault(const T::TPropInfo& p) {
  using K = System::TTypeKind;
  const K kind = p.PropType->Kind;
  if (kind == K::tkUString && std::strcmp(p.Name, "Name") == 0) return "(none given; in the object line)";
  if (kind == K::tkFloat) {
    const std::string recorded = Shortest(static_cast<double>(p.Default));
    return recorded + " (none given; a value of " + recorded + " is left out)";
  }
  if (kind == K::tkMethod) return "(none given; left out while unassigned)";
  if (kind == K::tkUString) return "(none given; left out when empty)";
  if (p.Default == T::NoDefault) return "(none given; always stored)";
  return ShowValue(p, T::TValue(p.Default), nullptr);
}

// Lists the published properties, then the public ones in `publicSet` (set
// by name, but never stored with the form: the designer does not show them).
void ListProperties(const System::TTypeInfo* cls, const System::TObject* instance, const C::TDataModule* root,
                    const std::vector<const T::TPropInfo*>& publicSet = {}) {
  std::printf("published properties of %s:\n", cls->Name);
  std::printf("  %-14s %-16s %-16s %s\n", "property", "type", "value", "default");
  const auto row = [&](const T::TPropInfo* p, const std::string& note) {
    std::printf("  %-14s %-16s %-16s %s\n", p->Name, p->PropType->Name,
                ShowValue(*p, T::GetPropValue(instance, p), root).c_str(), note.c_str());
  };
  for (const T::TPropInfo* p : T::GetPropList(cls)) row(p, ShowDefault(*p) + (p->Stored ? "" : " (not stored)"));
  if (publicSet.empty()) return;
  std::printf("public properties set (not published: not stored with the form):\n");
  for (const T::TPropInfo* p : publicSet) row(p, "(public; not stored)");
}

// A form method that the designer adds for an event: empty at design time.
void DesignTimeHandler(void*, System::TObject*) {}

T::TValue ParseValue(const T::TPropInfo& p, const std::string& text, C::TDataModule& root) {
  switch (p.PropType->Kind) {
    case System::TTypeKind::tkEnumeration: {
      const auto v = T::GetEnumValue(p.PropType, text);
      if (!v) throw std::runtime_error("'" + text + "' is no value of " + p.PropType->Name);
      return *v;
    }
    case System::TTypeKind::tkInteger:
    case System::TTypeKind::tkInt64: {
      std::int64_t v = 0;
      const auto r = std::from_chars(text.data(), text.data() + text.size(), v);
      if (r.ec != std::errc() || r.ptr != text.data() + text.size()) throw std::runtime_error("not an integer: " + text);
      return v;
    }
    case System::TTypeKind::tkFloat: {
      double v = 0;
      const auto r = std::from_chars(text.data(), text.data() + text.size(), v);
      if (r.ec != std::errc() || r.ptr != text.data() + text.size()) throw std::runtime_error("not a number: " + text);
      return v;
    }
    case System::TTypeKind::tkMethod: {
      if (root.MethodAddress(text).Code == nullptr)
        root.PublishMethod(text, C::TNotifyEvent{&DesignTimeHandler, &root});
      return root.MethodAddress(text);
    }
    default:
      return System::UnicodeString(text.c_str());
  }
}

// What the command line asks for.
struct Options {
  std::string package = kDefaultPackage, className = "TQevTimer", save;
  std::vector<std::pair<std::string, std::string>> sets;
};

// Reads the command line into `options`; an exit status when the tool is done
// (--help) or the line is wrong.
std::optional<int> ParseArguments(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--help") {
      std::fputs(kHelp, stdout);
      return 0;
    } else if (arg == "--package" && hasValue) {
      options.package = argv[++i];
    } else if (arg == "--class" && hasValue) {
      options.className = argv[++i];
    } else if (arg == "--save" && hasValue) {
      options.save = argv[++i];
    } else if (arg == "--set" && hasValue) {
      const std::string s = argv[++i];
      const auto eq = s.find('=');
      if (eq == std::string::npos) {
        std::fprintf(stderr, "qev-design: --set needs PROP=VALUE, not %s\n", s.c_str());
        return 2;
      }
      options.sets.emplace_back(s.substr(0, eq), s.substr(eq + 1));
    } else {
      std::fputs(kHelp, stderr);
      return 2;
    }
  }
  return std::nullopt;
}

// Loads the package as the designer does and calls the Register routine of
// each unit it contains; the classes arrive through the installed hook.
System::HINSTANCE LoadAndRegister(const std::string& package) {
  const System::HINSTANCE module = System::LoadPackage(System::UnicodeString(package.c_str()));
  const System::TPackageInfoRecord info = System::LoadedPackageInfo(module);
  std::printf("package %s loaded: %zu unit(s), requires", info.Name.c_str(), info.Contains.size());
  for (const auto& r : info.Requires) std::printf(" %s", r.Name.c_str());
  std::printf("\n");
  for (const auto& unit : info.Contains) {
    for (const std::string& name : RegisterNames(unit.Name)) {
      if (auto* reg = reinterpret_cast<void (*)()>(System::Kernel::GetProcAddress(module, name.c_str()))) {
        std::printf("calling %s of unit %s\n", name.c_str(), unit.Name.c_str());
        reg();
        break;
      }
    }
  }
  return module;
}

void ShowPalette() {
  std::printf("palette:\n");
  for (const auto& [page, classes] : palette) {
    std::printf("  page \"%s\":", System::UnicodeString(page).ToUtf8().c_str());
    for (auto* c : classes) std::printf(" %s", c->Name);
    std::printf("\n");
  }
}

// Writes `text` to the file `path`; throws, naming the step that failed,
// unless every byte reached the file and it was closed.
void WriteFile(const std::string& path, const std::string& text) {
  std::error_code error;
  if (std::filesystem::is_directory(path, error)) throw std::runtime_error("cannot save to " + path + ": it is a folder");
  const std::filesystem::path folder = std::filesystem::path(path).parent_path();
  if (!folder.empty() && !std::filesystem::is_directory(folder, error))
    throw std::runtime_error("cannot save to " + path + ": there is no folder " + folder.string());
  const auto failed = [&](const char* step) {
    return std::runtime_error("cannot save to " + path + ": " + step + " failed: " + std::strerror(errno));
  };
  errno = 0;
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) throw failed("opening it");
  const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size() && std::fflush(file) == 0;
  const int writeError = errno;
  const bool closed = std::fclose(file) == 0;
  if (!written) {
    errno = writeError;
    throw failed("writing it");
  }
  if (!closed) throw failed("closing it");
}

void SaveForm(const C::TDataModule& form, const std::string& save) {
  const std::string text = C::WriteFormText(form);
  if (save == "-") {
    if (std::fputs(text.c_str(), stdout) < 0 || std::fflush(stdout) != 0)
      throw std::runtime_error(std::string("cannot write the form to standard output: ") + std::strerror(errno));
  } else {
    WriteFile(save, text);
    std::printf("saved Form1 to %s\n", save.c_str());
  }
}

// Puts the class on a new form in design state, lists its properties, sets
// the requested ones, lists them again and saves the form.
void DesignOnNewForm(C::TComponentClass cls, const Options& options) {
  const std::unique_ptr<C::TDataModule> form(new C::TDataModule(nullptr));
  form->SetDesigning(true);
  form->SetName(u"Form1");
  C::TComponent* component = C::CreateComponent(cls, form.get());
  const std::string name = std::string(cls->Name).substr(cls->Name[0] == 'T' ? 1 : 0) + "1";
  component->SetName(System::UnicodeString(name.c_str()));
  std::printf("created %s: %s on Form1, %s\n", name.c_str(), cls->Name,
              component->ComponentState() & C::csDesigning ? "in design state" : "running");
  ListProperties(cls, component, form.get());
  std::vector<const T::TPropInfo*> publicSet;
  for (const auto& [prop, text] : options.sets) {
    const T::TPropInfo* p = T::GetPropInfo(cls, prop);
    if (!p) throw std::runtime_error(std::string(cls->Name) + " has no property " + prop);
    T::SetPropValue(component, p, ParseValue(*p, text, *form));
    const bool isPublic = p->Visibility == T::TMemberVisibility::mvPublic;
    std::printf("set %s = %s%s\n", p->Name, text.c_str(),
                isPublic ? " (a public property, not published: not stored with the form)" : "");
    if (isPublic && std::find(publicSet.begin(), publicSet.end(), p) == publicSet.end()) publicSet.push_back(p);
  }
  if (!options.sets.empty()) ListProperties(cls, component, form.get(), publicSet);
  if (!options.save.empty()) SaveForm(*form, options.save);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (const auto status = ParseArguments(argc, argv, options)) return *status;

  const auto previousHook = C::SetRegisterComponentsProc(RegisterOnPalette);
  System::HINSTANCE module = nullptr;
  int status = 0;
  try {
    module = LoadAndRegister(options.package);
    ShowPalette();
    const C::TComponentClass cls = C::GetClass(options.className);
    if (!cls) throw std::runtime_error("class " + options.className + " is on no palette page");
    DesignOnNewForm(cls, options);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qev-design: %s\n", e.what());
    status = 1;
  }
  for (const auto& [page, classes] : palette)
    for (auto* c : classes) C::UnRegisterClass(c);
  if (module) System::UnloadPackage(module);
  C::SetRegisterComponentsProc(previousHook);
  return status;
}
