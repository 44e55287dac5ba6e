// Package support on Linux: the dynamic loader (with glibc's dlinfo and the
// program's path from /proc/self/exe), and resources from the compiled
// resource file (.res) that a module embeds under the symbol "_rsrc" (a
// 32-bit little-endian size, then the file).
#include <dlfcn.h>
#include <link.h>

#include <cstring>
#include <filesystem>

#include "module_os.hpp"

namespace System::os {

namespace {

std::uint32_t Le32(const std::uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (std::uint32_t(p[3]) << 24);
}
std::uint16_t Le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

char16_t Upper(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c; }

// Reads one type or name field of an entry header at `p` (at most `end`) and
// tells whether it is `id`; advances `p` past the field. False at a cut.
bool MatchId(const std::uint8_t*& p, const std::uint8_t* end, const TResourceId& id, bool& matches) {
  if (end - p < 2) return false;
  if (Le16(p) == 0xFFFF) {
    if (end - p < 4) return false;
    matches = id.Ordinal != 0 && Le16(p + 2) == id.Ordinal;
    p += 4;
    return true;
  }
  matches = id.Ordinal == 0;
  std::size_t i = 0;
  for (;; p += 2, ++i) {
    if (end - p < 2) return false;
    const char16_t c = Le16(p);
    if (c == 0) break;
    if (i >= id.Text.size() || Upper(c) != Upper(id.Text[i])) matches = false;
  }
  if (i != id.Text.size()) matches = false;
  p += 2;
  return true;
}

}  // namespace

std::span<const std::uint8_t> ResourceData(Kernel::HMODULE module, const TResourceId& type,
                                           const TResourceId& name) {
  const auto* file = static_cast<const std::uint8_t*>(dlsym(module, "_rsrc"));
  if (!file) return {};
  // dlsym also searches the module's dependencies: take only the module's own.
  Dl_info owner{};
  link_map* map = nullptr;
  if (!dladdr(file, &owner) || dlinfo(module, RTLD_DI_LINKMAP, &map) != 0 || !map ||
      std::strcmp(owner.dli_fname, map->l_name) != 0)
    return {};
  const std::uint8_t* p = file + 4;
  const std::uint8_t* const end = p + Le32(file);
  while (end - p >= 8) {
    const std::uint32_t dataSize = Le32(p);
    const std::uint32_t headerSize = Le32(p + 4);
    if (headerSize < 8 || headerSize > std::size_t(end - p) || dataSize > std::size_t(end - p) - headerSize)
      return {};
    const std::uint8_t* field = p + 8;
    const std::uint8_t* headerEnd = p + headerSize;
    bool typeMatches = false, nameMatches = false;
    if (!MatchId(field, headerEnd, type, typeMatches) || !MatchId(field, headerEnd, name, nameMatches))
      return {};
    if (typeMatches && nameMatches && dataSize > 0) return {p + headerSize, dataSize};
    const std::size_t step = headerSize + ((dataSize + 3) & ~std::uint32_t(3));
    if (step > std::size_t(end - p)) break;
    p += step;
  }
  return {};
}

std::u16string ApplicationModule(const std::u16string& name) {
  std::error_code error;
  const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return name;
  const std::filesystem::path beside = program.parent_path() / name;
  return std::filesystem::exists(beside, error) ? beside.u16string() : name;
}

void ReleaseModule(Kernel::HMODULE module) { dlclose(module); }

std::string LoadFailure(const std::u16string&) {
  const char* reason = dlerror();
  return reason ? reason : "unknown reason";
}

}  // namespace System::os
