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
  std::string name;
  std::uint64_t va, size, raw, rawSize;
};

// The PE headers and the section table, as both readers need them.
struct PeLayout {
  std::uint64_t machine = 0, optional = 0, optionalSize = 0, directories = 0, directoryCount = 0;
  bool wide = false;
  std::vector<Section> sections;

  // The file offset of `rva`, in whichever section holds it.
  std::uint64_t Offset(std::uint64_t rva, const char* what) const {
    for (const Section& s : sections)
      if (rva >= s.va && rva < s.va + s.size) return rva - s.va + s.raw;
    throw ModuleError(std::string("the ") + what + " lies outside every section");
  }
  // The address of data directory `index`, or 0 if the headers have none.
  std::uint64_t Directory(const Bytes& f, std::uint64_t index, const char* what) const {
    if (directoryCount <= index) return 0;
    if (directories + 8 * (index + 1) > optional + optionalSize)
      throw ModuleError(std::string("the ") + what + " entry lies outside the optional header");
    return f.Le(directories + 8 * index, 4, "data directories");
  }
};

PeLayout ReadPeLayout(Bytes& f) {
  PeLayout out;
  const std::uint64_t pe = f.Le(0x3C, 4, "DOS header");
  if (f.Le(pe, 4, "PE header") != 0x4550) throw ModuleError("no PE signature where the DOS header points");
  out.machine = f.Le(pe + 4, 2, "PE header");
  const std::uint64_t sectionCount = f.Le(pe + 6, 2, "PE header");
  out.optional = pe + 24;
  out.optionalSize = f.Le(pe + 20, 2, "PE header");
  const std::uint64_t magic = f.Le(out.optional, 2, "optional header");
  if (magic != 0x10B && magic != 0x20B) throw ModuleError("unknown optional header magic " + std::to_string(magic));
  out.wide = magic == 0x20B;
  out.directoryCount = f.Le(out.optional + (out.wide ? 108 : 92), 4, "optional header");
  out.directories = out.optional + (out.wide ? 112 : 96);
  // The section table, read once (its size bounded by the file's).
  const std::uint64_t table = out.optional + out.optionalSize;
  f.Need(table, 40 * sectionCount, "section table");
  for (std::uint64_t i = 0; i < sectionCount; ++i) {
    const std::uint64_t s = table + 40 * i;
    const auto* name = reinterpret_cast<const char*>(f.data.data() + s);
    const std::uint64_t rawSize = f.Le(s + 16, 4, "section table");
    out.sections.push_back({std::string(name, std::find(name, name + 8, '\0')),
                            f.Le(s + 12, 4, "section table"), std::max(f.Le(s + 8, 4, "section table"), rawSize),
                            f.Le(s + 20, 4, "section table"), rawSize});
  }
  return out;
}

ModuleExports ReadPe(Bytes& f) {
  const PeLayout pe = ReadPeLayout(f);
  ModuleExports out;
  out.format = pe.wide ? "PE32+" : "PE32";
  const std::uint64_t exportRva = pe.Directory(f, 0, "export directory");
  if (exportRva == 0) return out;
  const std::uint64_t dir = pe.Offset(exportRva, "export directory");
  f.Need(dir, 40, "export directory");
  out.moduleName = f.Text(pe.Offset(f.Le(dir + 12, 4, "export directory"), "module name"), "module name");
  const std::uint64_t count = f.Le(dir + 24, 4, "export directory");
  if (count == 0) return out;
  const std::uint64_t names = pe.Offset(f.Le(dir + 32, 4, "export directory"), "export name table");
  // Checked whole before anything is read, so a huge count fails at once.
  f.Need(names, 4 * count, "export name table");
  for (std::uint64_t i = 0; i < count; ++i)
    out.names.push_back(f.Text(pe.Offset(f.Le(names + 4 * i, 4, "export name table"), "export name"), "export names"));
  return out;
}

std::string PeMachine(std::uint64_t machine) {
  if (machine == 0x8664) return "x86-64";
  if (machine == 0x14C) return "x86";
  if (machine == 0xAA64) return "ARM64";
  return "machine " + std::to_string(machine);
}

// The resource directory: a tree of type, name and language directories
// whose leaves are data entries. Every offset in it counts from its root.
// Each entry is visited once at the most per eight bytes of the file, so a
// tree whose offsets loop ends too.
void CheckPeResources(Bytes& f, const PeLayout& pe, std::uint64_t root) {
  std::uint64_t budget = f.data.size() / 8 + 1;
  std::vector<std::pair<std::uint64_t, int>> pending{{root, 0}};
  while (!pending.empty()) {
    const auto [at, level] = pending.back();
    pending.pop_back();
    const std::uint64_t count = f.Le(at + 12, 2, "resource directory") + f.Le(at + 14, 2, "resource directory");
    f.Need(at + 16, 8 * count, "resource directory");
    for (std::uint64_t i = 0; i < count; ++i) {
      if (budget-- == 0) throw ModuleError("the resource directory is damaged: its entries lead back into it");
      const std::uint64_t entry = at + 16 + 8 * i;
      if (const std::uint64_t name = f.Le(entry, 4, "resource directory"); name & 0x80000000) {
        const std::uint64_t text = root + (name & 0x7FFFFFFF);
        f.Need(text + 2, 2 * f.Le(text, 2, "resource names"), "resource names");
      }
      const std::uint64_t target = f.Le(entry + 4, 4, "resource directory");
      const bool directory = (target & 0x80000000) != 0;
      if (directory != (level < 2))
        throw ModuleError("the resource directory is damaged: not three levels (type, name, language)");
      if (directory) {
        pending.push_back({root + (target & 0x7FFFFFFF), level + 1});
        continue;
      }
      const std::uint64_t data = f.Le(root + target, 4, "resource data entries");
      f.Need(pe.Offset(data, "resource data"), f.Le(root + target + 4, 4, "resource data entries"), "resource data");
    }
  }
}

ModuleTarget CheckPe(Bytes& f) {
  const PeLayout pe = ReadPeLayout(f);
  for (const Section& s : pe.sections)
    if (s.rawSize) f.Need(s.raw, s.rawSize, ("section " + s.name).c_str());
  if (const std::uint64_t rva = pe.Directory(f, 2, "resource directory"))
    CheckPeResources(f, pe, pe.Offset(rva, "resource directory"));
  return {"Windows", PeMachine(pe.machine), pe.wide ? "PE32+" : "PE32"};
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

std::string ElfMachine(std::uint64_t machine) {
  if (machine == 62) return "x86-64";
  if (machine == 3) return "x86";
  if (machine == 183) return "ARM64";
  return "machine " + std::to_string(machine);
}

// The compiled resource file (.res) at `at`: a 32-bit size, then entries of
// a data size, a header size, the type and name (0xFFFF and an ordinal, or a
// zero-terminated UTF-16 text) and the rest of the header, each entry's data
// padded to 4 bytes: the layout the platform layer looks resources up in.
void CheckResourceFile(Bytes& f, std::uint64_t at) {
  const std::uint64_t begin = at + 4, end = begin + f.Le(at, 4, "embedded resource file");
  f.Need(begin, end - begin, "embedded resource file");
  for (std::uint64_t p = begin; end - p >= 8;) {
    const std::uint64_t dataSize = f.Le(p, 4, "embedded resource file"), headerSize = f.Le(p + 4, 4, "embedded resource file");
    const std::string where = " of the embedded resource file (the entry at byte " + std::to_string(p - begin) + ")";
    if (headerSize < 8 || headerSize > end - p || dataSize > end - p - headerSize)
      throw ModuleError("damaged resource header" + where + ": sizes beyond the file's end");
    std::uint64_t field = p + 8;
    for (int id = 0; id < 2; ++id) {  // the type, then the name
      const bool ordinal = field + 2 <= p + headerSize && f.Le(field, 2, "embedded resource file") == 0xFFFF;
      if (ordinal) {
        field += 4;
      } else {
        while (field + 2 <= p + headerSize && f.Le(field, 2, "embedded resource file") != 0) field += 2;
        field += 2;
      }
      if (field > p + headerSize) throw ModuleError("damaged resource header" + where + ": its name runs past it");
    }
    const std::uint64_t step = headerSize + ((dataSize + 3) & ~std::uint64_t(3));
    if (step > end - p) break;
    p += step;
  }
}

ModuleTarget CheckElf(Bytes& f) {
  const std::uint64_t elfClass = f.Le(4, 1, "ELF header"), order = f.Le(5, 1, "ELF header");
  const std::uint64_t machine = f.Le(0x12, 2, "ELF header");
  ModuleTarget out{"Linux", ElfMachine(machine), elfClass == 2 ? "ELF64" : "ELF32"};
  if (order != 1) out.format += " big-endian";
  if (elfClass != 2 || order != 1) return out;  // named, not read further
  const std::uint64_t phoff = f.Le(0x20, 8, "ELF header"), phentsize = f.Le(0x36, 2, "ELF header"),
                      phnum = f.Le(0x38, 2, "ELF header");
  f.Need(phoff, phentsize * phnum, "program headers");
  for (std::uint64_t i = 0; i < phnum && phentsize >= 0x28; ++i) {
    const std::uint64_t h = phoff + phentsize * i;
    if (f.Le(h, 4, "program headers") == 1)  // PT_LOAD
      f.Need(f.Le(h + 8, 8, "program headers"), f.Le(h + 0x20, 8, "program headers"), "loaded segments");
  }
  const std::uint64_t shoff = f.Le(0x28, 8, "ELF header"), shentsize = f.Le(0x3A, 2, "ELF header"),
                      shnum = f.Le(0x3C, 2, "ELF header");
  if (shnum == 0) return out;
  if (shentsize != 64) throw ModuleError("section header size " + std::to_string(shentsize) + ", not 64");
  f.Need(shoff, 64 * shnum, "section headers");
  struct ElfSection {
    std::uint64_t type, flags, address, offset, size, link;
  };
  std::vector<ElfSection> sections;
  for (std::uint64_t i = 0; i < shnum; ++i) {
    const std::uint64_t h = shoff + 64 * i;
    sections.push_back({f.Le(h + 4, 4, "section headers"), f.Le(h + 8, 8, "section headers"),
                        f.Le(h + 0x10, 8, "section headers"),
                        f.Le(h + 0x18, 8, "section headers"), f.Le(h + 0x20, 8, "section headers"),
                        f.Le(h + 0x28, 4, "section headers")});
    const ElfSection& s = sections.back();
    if (s.type != 0 && s.type != 8)  // neither unused nor without bytes in the file
      f.Need(s.offset, s.size, ("section " + std::to_string(i)).c_str());
  }
  // The resources, where the dynamic symbols name "_rsrc".
  for (const ElfSection& symbols : sections) {
    if (symbols.type != 11 || symbols.link >= shnum) continue;
    for (std::uint64_t at = symbols.offset; at + 24 <= symbols.offset + symbols.size; at += 24) {
      const std::uint64_t name = f.Le(at, 4, "dynamic symbol table");
      if (f.Text(sections[symbols.link].offset + name, "dynamic string table") != "_rsrc") continue;
      const std::uint64_t address = f.Le(at + 8, 8, "dynamic symbol table");
      for (const ElfSection& s : sections)
        if ((s.flags & 2) && s.type != 8 && address >= s.address && address - s.address < s.size)  // SHF_ALLOC
          CheckResourceFile(f, address - s.address + s.offset);
    }
  }
  return out;
}

// Whether `bytes` start as an ELF file (else as a PE one); throws for neither.
bool IsElf(std::span<const std::uint8_t> bytes) {
  if (bytes.size() >= 4 && bytes[0] == 0x7F && bytes[1] == 'E' && bytes[2] == 'L' && bytes[3] == 'F') return true;
  if (bytes.size() >= 2 && bytes[0] == 'M' && bytes[1] == 'Z') return false;
  throw ModuleError("neither a PE nor an ELF module");
}

}  // namespace

ModuleExports ParseExports(std::span<const std::uint8_t> bytes) {
  Bytes f{bytes};
  return IsElf(bytes) ? ReadElf(f) : ReadPe(f);
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

ModuleTarget CheckModule(std::span<const std::uint8_t> bytes) {
  Bytes f{bytes};
  return IsElf(bytes) ? CheckElf(f) : CheckPe(f);
}

}  // namespace qevtools
