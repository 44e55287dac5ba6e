#include "ModuleFile.hpp"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace qevtools {

namespace {

struct Bytes {
  std::vector<std::uint8_t> data;

  void Need(std::uint64_t at, std::uint64_t n) const {
    if (at > data.size() || n > data.size() - at) throw std::runtime_error("module file cut short");
  }
  std::uint64_t Le(std::uint64_t at, int n) const {
    Need(at, static_cast<std::uint64_t>(n));
    std::uint64_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = (v << 8) | data[at + static_cast<std::uint64_t>(i)];
    return v;
  }
  std::string Text(std::uint64_t at) const {
    Need(at, 1);
    const auto begin = data.begin() + static_cast<std::ptrdiff_t>(at);
    const auto end = std::find(begin, data.end(), 0);
    if (end == data.end()) throw std::runtime_error("module file cut short");
    return std::string(begin, end);
  }
};

ModuleExports ReadPe(const Bytes& f) {
  const std::uint64_t pe = f.Le(0x3C, 4);
  if (f.Le(pe, 4) != 0x4550) throw std::runtime_error("not a PE file");
  const std::uint64_t sections = f.Le(pe + 6, 2);
  const std::uint64_t optional = pe + 24;
  const std::uint64_t magic = f.Le(optional, 2);
  ModuleExports out;
  out.format = magic == 0x20B ? "PE32+" : "PE32";
  const std::uint64_t directories = optional + (magic == 0x20B ? 112 : 96);
  const std::uint64_t exportRva = f.Le(directories, 4);
  const std::uint64_t table = optional + f.Le(pe + 20, 2);
  auto offset = [&](std::uint64_t rva) {
    for (std::uint64_t i = 0; i < sections; ++i) {
      const std::uint64_t s = table + 40 * i;
      const std::uint64_t va = f.Le(s + 12, 4), size = std::max(f.Le(s + 8, 4), f.Le(s + 16, 4));
      if (rva >= va && rva < va + size) return rva - va + f.Le(s + 20, 4);
    }
    throw std::runtime_error("address outside every section");
  };
  if (exportRva == 0) return out;
  const std::uint64_t dir = offset(exportRva);
  out.moduleName = f.Text(offset(f.Le(dir + 12, 4)));
  const std::uint64_t count = f.Le(dir + 24, 4);
  const std::uint64_t names = count ? offset(f.Le(dir + 32, 4)) : 0;
  for (std::uint64_t i = 0; i < count; ++i) out.names.push_back(f.Text(offset(f.Le(names + 4 * i, 4))));
  return out;
}

ModuleExports ReadElf(const Bytes& f) {
  if (f.Le(4, 1) != 2) throw std::runtime_error("only 64-bit ELF files are read");
  ModuleExports out;
  out.format = "ELF64";
  const std::uint64_t shoff = f.Le(0x28, 8), shentsize = f.Le(0x3A, 2), shnum = f.Le(0x3C, 2);
  for (std::uint64_t i = 0; i < shnum; ++i) {
    const std::uint64_t s = shoff + shentsize * i;
    if (f.Le(s + 4, 4) != 11) continue;  // SHT_DYNSYM
    const std::uint64_t symbols = f.Le(s + 0x18, 8), size = f.Le(s + 0x20, 8), entry = f.Le(s + 0x38, 8);
    const std::uint64_t strings = f.Le(shoff + shentsize * f.Le(s + 0x28, 4) + 0x18, 8);
    for (std::uint64_t at = symbols; entry && at + entry <= symbols + size; at += entry) {
      const std::uint64_t bind = f.Le(at + 4, 1) >> 4, visibility = f.Le(at + 5, 1) & 3, section = f.Le(at + 6, 2);
      if ((bind == 1 || bind == 2) && visibility == 0 && section != 0)
        out.names.push_back(f.Text(strings + f.Le(at, 4)));
    }
  }
  std::sort(out.names.begin(), out.names.end());
  return out;
}

}  // namespace

ModuleExports ReadExports(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + path);
  Bytes f{std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {})};
  if (f.data.size() >= 4 && f.data[0] == 0x7F && f.data[1] == 'E' && f.data[2] == 'L' && f.data[3] == 'F')
    return ReadElf(f);
  if (f.data.size() >= 2 && f.data[0] == 'M' && f.data[1] == 'Z') return ReadPe(f);
  throw std::runtime_error(path + " is neither a PE nor an ELF module");
}

}  // namespace qevtools
