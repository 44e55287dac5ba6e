// qev-inspect: prints what a built package says about itself.
#include <cxxabi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "ModuleFile.hpp"
#include "System.Kernel.hpp"
#include "System.Package.hpp"

namespace {

using Span = std::span<const std::uint8_t>;

const char kHelp[] =
    "usage: qev-inspect PACKAGE\n"
    "Prints a built package's identity table (PACKAGEINFO: decoded flags,\n"
    "required packages, contained units), its description, platform mask,\n"
    "version block and exported names. The package is loaded as a module (its\n"
    "start-up runs, its units are not initialized), so run the tool of the\n"
    "package's own build: natively for Linux, under Wine for Windows.\n"
    "\n"
    "Exit status: 0 when the module was read whole; 1 when it cannot be read\n"
    "(no such file, a folder, empty, cut short or damaged in a named part, a\n"
    "module of another system or architecture, a damaged identity table); 2\n"
    "for a wrong command line.\n";

std::uint32_t Le(Span d, std::size_t at, int n) {
  std::uint32_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = (v << 8) | (at + i < d.size() ? d[at + i] : 0);
  return v;
}

std::string Utf16(Span d, std::size_t at, std::size_t* end = nullptr) {
  std::u16string s;
  for (; at + 1 < d.size(); at += 2) {
    const char16_t c = static_cast<char16_t>(Le(d, at, 2));
    if (!c) break;
    s.push_back(c);
  }
  if (end) *end = at + 2;
  return System::UnicodeString(s).ToUtf8();
}

void PrintIdentity(Span data) {
  std::printf("PACKAGEINFO (%zu bytes)\n", data.size());
  const System::TPackageInfoRecord info = System::ParsePackageInfo(data);
  const std::uint32_t f = info.Flags;
  std::printf("  flags 0x%08X:", f);
  if (f & System::pfNeverBuild) std::printf(" never-build");
  if (f & System::pfDesignOnly) std::printf(" design-only");
  if (f & System::pfRunOnly) std::printf(" run-only");
  if (!(f & (System::pfDesignOnly | System::pfRunOnly))) std::printf(" design-and-run");
  if (f & System::pfIgnoreDupUnits) std::printf(" ignore-duplicate-units");
  if (f & 0x00100000) std::printf(" bit20(64-bit-tools)");
  std::printf(" producer=%u module-type=%u%s\n", (f >> 26) & 3, f >> 30,
              (f & System::pfModuleTypeMask) == System::pfPackageModule ? " (package)" : "");
  std::printf("  requires %zu:\n", info.Requires.size());
  for (const auto& r : info.Requires) std::printf("    hash 0x%02X  %s\n", r.Hash, r.Name.c_str());
  std::printf("  contains %zu:\n", info.Contains.size());
  for (const auto& u : info.Contains) {
    std::string flags;
    if (u.Flags & System::ufMainUnit) flags += " main";
    if (u.Flags & System::ufPackageUnit) flags += " package";
    if (u.Flags & System::ufWeakUnit) flags += " weak";
    if (u.Flags & System::ufOrgWeakUnit) flags += " org-weak";
    std::printf("    flags 0x%02X hash 0x%02X  %-24s%s\n", u.Flags, u.Hash, u.Name.c_str(), flags.c_str());
  }
  std::printf("  package name: hash 0x%02X  %s\n", info.NameHash, info.Name.c_str());
  std::printf("  padding: %zu byte(s)\n", data.size() - info.Size);
}

// One node of a version block: length, value length, type, key, value,
// children, each aligned to 4 bytes from the block's start. A sound block
// nests three levels below its root (string tables, their strings); a
// damaged one is read no deeper than kMaxVersionDepth, and a child never
// beyond its parent's end, so the reading ends whatever the bytes say.
constexpr int kMaxVersionDepth = 8;

void PrintVersionNode(Span block, std::size_t at, int depth) {
  const std::size_t length = Le(block, at, 2), valueLength = Le(block, at + 2, 2), type = Le(block, at + 4, 2);
  // The node's own bytes: nothing of it is read past its end.
  const std::size_t end = std::min(at + length, block.size());
  const Span d = block.first(end);
  std::size_t keyEnd = 0;
  const std::string key = Utf16(d, at + 6, &keyEnd);
  std::size_t value = (keyEnd + 3) & ~std::size_t(3);
  const std::string indent(2 * depth, ' ');
  if (depth == 0) {
    const auto v = [&](int i) { return Le(d, value + 4 * i, 4); };
    std::printf("  fixed: signature 0x%08X\n", v(0));
    std::printf("    file version %u.%u.%u.%u, product version %u.%u.%u.%u\n", v(2) >> 16, v(2) & 0xFFFF,
                v(3) >> 16, v(3) & 0xFFFF, v(4) >> 16, v(4) & 0xFFFF, v(5) >> 16, v(5) & 0xFFFF);
    std::printf("    flag mask 0x%X, flags 0x%X, OS 0x%08X, type 0x%08X, subtype %u, date %u.%u\n", v(6), v(7),
                v(8), v(9), v(10), v(11), v(12));
  } else if (type == 1 && valueLength) {
    std::printf("%s%s = \"%s\"\n", indent.c_str(), key.c_str(), Utf16(d, value).c_str());
  } else if (valueLength) {
    std::printf("%s%s =", indent.c_str(), key.c_str());
    for (std::size_t i = 0; i < valueLength && value + i < end; i += 2) std::printf(" 0x%04X", Le(d, value + i, 2));
    std::printf("\n");
  } else {
    std::printf("%s%s\n", indent.c_str(), key.c_str());
  }
  std::size_t child = value + (type == 1 ? 2 * valueLength : valueLength);
  if (depth == kMaxVersionDepth) return;
  for (child = (child + 3) & ~std::size_t(3); child + 6 < end;) {
    const std::size_t childLength = Le(d, child, 2);
    if (childLength < 6 || child + childLength > end) break;  // damaged: nothing more to read here
    PrintVersionNode(d, child, depth + 1);
    child = (child + childLength + 3) & ~std::size_t(3);
  }
}

// The modules this tool can load: those of its own build.
#if defined(_WIN64)
const qevtools::ModuleTarget kOwnTarget{"Windows", "x86-64", "PE32+"};
#elif defined(_WIN32)
const qevtools::ModuleTarget kOwnTarget{"Windows", "x86", "PE32"};
#else
const qevtools::ModuleTarget kOwnTarget{"Linux", "x86-64", "ELF64"};
#endif

// Why the file at `path` is no module this tool can load, or nothing: the
// file itself (missing, a folder, empty), a part cut short or damaged, or
// a module of another system or architecture.
std::string WhyNotLoadable(const std::string& path) {
  if (path.empty()) return "no module named (the name is empty)";
  std::error_code error;
  const auto status = std::filesystem::status(path, error);
  if (!std::filesystem::exists(status)) return path + ": no such file";
  if (std::filesystem::is_directory(status)) return path + ": a folder, not a module file";
  std::ifstream in(path, std::ios::binary);
  const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
  if (!in && !in.eof()) return path + ": cannot be read";
  if (bytes.empty()) return path + ": empty (0 bytes)";
  qevtools::ModuleTarget target;
  try {
    target = qevtools::CheckModule(bytes);
  } catch (const qevtools::ModuleError& e) {
    return path + ": " + (e.what() + std::strlen("module file: "));
  }
  if (target.system != kOwnTarget.system || target.architecture != kOwnTarget.architecture ||
      target.format != kOwnTarget.format)
    return path + ": a module of another system or architecture (" + target.system + " " + target.architecture +
           ", " + target.format + "); this qev-inspect loads " + kOwnTarget.system + " " +
           kOwnTarget.architecture + " modules only: use the qev-inspect of that build";
  return {};
}

std::string Demangled(const std::string& name) {
  int status = 0;
  char* text = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
  std::string out = status == 0 && text ? text : "";
  std::free(text);
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 || !std::strcmp(argv[1], "--help")) {
    std::fputs(kHelp, argc == 2 ? stdout : stderr);
    return argc == 2 ? 0 : 2;
  }
  try {
    const std::string path = argv[1];
    if (const std::string why = WhyNotLoadable(path); !why.empty()) {
      std::fprintf(stderr, "qev-inspect: %s\n", why.c_str());
      return 1;
    }
    // By its full path: a bare name would send the system's loader searching
    // its own folders instead of reading this file.
    const System::UnicodeString widePath(std::filesystem::absolute(path).u16string());
    System::HINSTANCE module = System::Kernel::LoadLibraryW(widePath.c_str());
    if (!module) {
      std::fprintf(stderr,
                   "qev-inspect: %s: a sound module file, but the system's loader refused it (a library it "
                   "needs may be missing)\n",
                   path.c_str());
      return 1;
    }
    std::printf("%s\n", path.c_str());
    const auto rc = [&](const char16_t* name) {
      return System::FindResourceData(module, System::RtRcData, name);
    };
    if (const Span info = rc(u"PACKAGEINFO"); !info.empty())
      PrintIdentity(info);
    else
      std::printf("PACKAGEINFO: none (not a package)\n");
    if (const Span d = rc(u"DESCRIPTION"); !d.empty())
      std::printf("DESCRIPTION (%zu bytes): \"%s\"\n", d.size(), Utf16(d, 0).c_str());
    if (const Span d = rc(u"PLATFORMTARGETS"); !d.empty()) {
      const std::uint32_t mask = Le(d, 0, 2);
      std::printf("PLATFORMTARGETS (%zu bytes): 0x%04X%s%s\n", d.size(), mask, mask & 1 ? " Win32" : "",
                  mask & 2 ? " Win64" : "");
    }
    if (const Span d = rc(u"PACKAGEOPTIONS"); !d.empty())
      std::printf("PACKAGEOPTIONS (%zu bytes), first byte 0x%02X\n", d.size(), d[0]);
    if (const Span d = System::FindResourceData(module, System::RtBitmap, u"TQEVTIMER"); !d.empty())
      std::printf("BITMAP TQEVTIMER (%zu bytes): %d x %d, %u bits per pixel\n", d.size(),
                  static_cast<int>(Le(d, 4, 4)), static_cast<int>(Le(d, 8, 4)), Le(d, 14, 2));
    if (const Span d = System::FindResourceData(module, System::RtVersion, 1); !d.empty()) {
      std::printf("VERSION 1 (%zu bytes)\n", d.size());
      PrintVersionNode(d, 0, 0);
    }
    const qevtools::ModuleExports exports = qevtools::ReadExports(path);
    std::printf("exports (%s%s%s): %zu names\n", exports.format.c_str(), exports.moduleName.empty() ? "" : ", ",
                exports.moduleName.c_str(), exports.names.size());
    for (const auto& name : exports.names) {
      const std::string plain = Demangled(name);
      std::printf("  %s%s%s\n", name.c_str(), plain.empty() ? "" : "  = ", plain.c_str());
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qev-inspect: %s\n", e.what());
    return 1;
  }
  return 0;
}
