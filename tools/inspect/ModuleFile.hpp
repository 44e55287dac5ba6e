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

// What a module file is built for, read from its headers.
struct ModuleTarget {
  std::string system;        // "Windows" (PE) or "Linux" (ELF)
  std::string architecture;  // "x86-64", "x86" or the machine number
  std::string format;        // as in ModuleExports
};

// Checks the parts of the module in `bytes` that a loader reads before its
// code: the headers, the section table, that every section's bytes are in
// the file, and the resources (PE: the resource directory; ELF: the
// compiled resource file embedded under the symbol "_rsrc", when there is
// one). Throws ModuleError naming the first part that is cut short or
// damaged. A 32-bit or big-endian ELF file is only named ("ELF32", "ELF64
// big-endian"), not read further. The work is bounded by the file's size.
ModuleTarget CheckModule(std::span<const std::uint8_t> bytes);

}  // namespace qevtools
