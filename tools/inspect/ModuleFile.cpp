#include "ModuleFile.hpp"

#include <algorithm>
#include <fstream>
#include <iterator>

namespace qevtools {

namespace {

// The file's bytes, read only through checked offsets. Every read names the
// part of the file it belongs to, for the error when that part is cut short.
struct Bytes {
  std::span<const std::uint8_t> data;
  // Name text still to hand out. Export names hardly share bytes in a sound
  // module (an ELF string table may share a name's tail with a longer one),
  // so text of more than four times the file's size means names that
  // overlap or loop; the bound keeps the memory used in proportion.
  std::uint64_t textBudget = 4 * static_cast<std::uint64_t>(data.size());

  void Need(std::uint64_t at, std::uint64_t n, const char* part) const {
    if (at > data.size() || n > data.size() - at) throw ModuleError(std::string("cut short in the ") + part);
  }
  std::uint64_t Le(std::uint64_t at, int n, const char* part) const {
    Need(at, static_cast<std::uint64_t>(n), part);
    std::uint64_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = (v << 8) | data[at + static_cast<std::uint64_t>(i)];
    return v;
  }
  // A zero-terminated name; its bytes and terminator count against the budget.
  std::string Text(std::uint64_t at, const char* part) {
    Need(at, 1, part);
    const auto begin = data.begin() + static_cast<std::ptrdiff_t>(at);
    const auto limit = begin + static_cast<std::ptrdiff_t>(std::min<std::uint64_t>(data.size() - at, textBudget));
    const auto end = std::find(begin, limit, 0);
    if (end == limit) {
      if (limit == data.end()) throw ModuleError(std::string("unterminated name in the ") + part);
      throw ModuleError(std::string("names overlap in the ") + part + ": more name text than the file could hold");
    }
    textBudget -= static_cast<std::uint64_t>(end - begin) + 1;
    return std::string(begin, end);
  }
};

struct Section {
  std::uint64_t va, size, raw;
};

ModuleExports ReadPe(Bytes& f) {
  const std::uint64_t pe = f.Le(0x3C, 4, "DOS header");
  if (f.Le(pe, 4, "PE header") != 0x4550) throw ModuleError("no PE signature where the DOS header points");
  const std::uint64_t sectionCount = f.Le(pe + 6, 2, "PE header");
  const std::uint64_t optional = pe + 24;
  const std::uint64_t optionalSize = f.Le(pe + 20, 2, "PE header");
  const std::uint64_t magic = f.Le(optional, 2, "optional header");
  if (magic != 0x10B && magic != 0x20B) throw ModuleError("unknown optional header magic " + std::to_string(magic));
  ModuleExports out;
  out.format = magic == 0x20B ? "PE32+" : "PE32";
  const bool wide = magic == 0x20B;
  const std::uint64_t directoryCount = f.Le(optional + (wide ? 108 : 92), 4, "optional header");
  const std::uint64_t directories = optional + (wide ? 112 : 96);
  if (directoryCount == 0) return out;  // no export directory entry at all
  if (directories + 8 > optional + optionalSize) throw ModuleError("data directories outside the optional header");
  const std::uint64_t exportRva = f.Le(directories, 4, "data directories");
  if (exportRva == 0) return out;

  // The section table, read once (its size bounded by the file's).
  const std::uint64_t table = optional + optionalSize;
  f.Need(table, 40 * sectionCount, "section table");
  std::vector<Section> sections;
  for (std::uint64_t i = 0; i < sectionCount; ++i) {
    const std::uint64_t s = table + 40 * i;
    sections.push_back({f.Le(s + 12, 4, "section table"),
                        std::max(f.Le(s + 8, 4, "section table"), f.Le(s + 16, 4, "section table")),
                        f.Le(s + 20, 4, "section table")});
  }
  auto offset = [&](std::uint64_t rva, const char* what) {
    for (const Section& s : sections)
      if (rva >= s.va && rva < s.va + s.size) return rva - s.va + s.raw;
    throw ModuleError(std::string("the ") + what + " lies outside every section");
  };
  const std::uint64_t dir = offset(exportRva, "export directory");
  f.Need(dir, 40, "export directory");
  out.moduleName = f.Text(offset(f.Le(dir + 12, 4, "export directory"), "module name"), "module name");
  const std::uint64_t count = f.Le(dir + 24, 4, "export directory");
  if (count == 0) return out;
  const std::uint64_t names = offset(f.Le(dir + 32, 4, "export directory"), "export name table");
  // Checked whole before anything is read, so a huge count fails at once.
  f.Need(names, 4 * count, "export name table");
  for (std::uint64_t i = 0; i < count; ++i)
    out.names.push_back(f.Text(offset(f.Le(names + 4 * i, 4, "export name table"), "export name"), "export names"));
  return out;
}

ModuleExports ReadElf(Bytes& f) {
  if (f.Le(4, 1, "ELF header") != 2) throw ModuleError("only 64-bit ELF files are read");
  if (f.Le(5, 1, "ELF header") != 1) throw ModuleError("only little-endian ELF files are read");
  ModuleExports out;
  out.format = "ELF64";
  const std::uint64_t shoff = f.Le(0x28, 8, "ELF header"), shentsize = f.Le(0x3A, 2, "ELF header"),
                      shnum = f.Le(0x3C, 2, "ELF header");
  if (shnum == 0) return out;
  if (shentsize != 64) throw ModuleError("section header size " + std::to_string(shentsize) + ", not 64");
  if (shoff > f.data.size()) throw ModuleError("section headers outside the file");
  f.Need(shoff, 64 * shnum, "section headers");
  bool seen = false;
  for (std::uint64_t i = 0; i < shnum; ++i) {
    const std::uint64_t s = shoff + 64 * i;
    if (f.Le(s + 4, 4, "section headers") != 11) continue;  // SHT_DYNSYM
    if (seen) throw ModuleError("more than one dynamic symbol table");
    seen = true;
    const std::uint64_t symbols = f.Le(s + 0x18, 8, "section headers"), size = f.Le(s + 0x20, 8, "section headers"),
                        entry = f.Le(s + 0x38, 8, "section headers"), link = f.Le(s + 0x28, 4, "section headers");
    if (entry != 24) throw ModuleError("dynamic symbol size " + std::to_string(entry) + ", not 24");
    if (link >= shnum) throw ModuleError("the dynamic symbols' string table is no section");
    f.Need(symbols, size, "dynamic symbol table");
    const std::uint64_t strings = f.Le(shoff + 64 * link + 0x18, 8, "section headers");
    for (std::uint64_t at = symbols; at + entry <= symbols + size; at += entry) {
      const std::uint64_t bind = f.Le(at + 4, 1, "dynamic symbol table") >> 4,
                          visibility = f.Le(at + 5, 1, "dynamic symbol table") & 3,
                          section = f.Le(at + 6, 2, "dynamic symbol table");
      if ((bind == 1 || bind == 2) && visibility == 0 && section != 0)
        out.names.push_back(f.Text(strings + f.Le(at, 4, "dynamic symbol table"), "dynamic string table"));
    }
  }
  std::sort(out.names.begin(), out.names.end());
  return out;
}

}  // namespace

ModuleExports ParseExports(std::span<const std::uint8_t> bytes) {
  Bytes f{bytes};
  if (bytes.size() >= 4 && bytes[0] == 0x7F && bytes[1] == 'E' && bytes[2] == 'L' && bytes[3] == 'F')
    return ReadElf(f);
  if (bytes.size() >= 2 && bytes[0] == 'M' && bytes[1] == 'Z') return ReadPe(f);
  throw ModuleError("neither a PE nor an ELF module");
}

ModuleExports ReadExports(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ModuleError("cannot open " + path);
  const std::vector<std::uint8_t> data{std::istreambuf_iterator<char>(in), {}};
  try {
    return ParseExports(data);
  } catch (const ModuleError& e) {
    throw ModuleError(path + ": " + (e.what() + std::string_view("module file: ").size()));
  }
}

}  // namespace qevtools
