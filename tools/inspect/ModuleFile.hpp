// Reading a module file from disk, whatever the platform the tool runs on:
// the names a PE (Windows) or ELF module exports.
#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace qevtools {

struct ModuleExports {
  std::string format;      // "PE32", "PE32+" or "ELF64"
  std::string moduleName;  // PE: the name in the export directory
  std::vector<std::string> names;
};

// A file that is not a module this reader knows, or is damaged. The message
// starts with "module file: " and says what is wrong and where.
class ModuleError : public std::runtime_error {
 public:
  explicit ModuleError(const std::string& what) : std::runtime_error("module file: " + what) {}
};

// The exports of the module in `bytes`. Reads a little-endian PE32, PE32+ or
// ELF64 file; throws ModuleError for anything else. The work and the memory
// are bounded by the file's size: the names read never hold more than four
// times as much text as the file has bytes.
ModuleExports ParseExports(std::span<const std::uint8_t> bytes);

// The same for a file; also throws ModuleError if it cannot be opened.
ModuleExports ReadExports(const std::string& path);

}  // namespace qevtools
