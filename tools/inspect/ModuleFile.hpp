// Reading a module file from disk, whatever the platform the tool runs on:
// the names a PE (Windows) or ELF module exports.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qevtools {

struct ModuleExports {
  std::string format;      // "PE32", "PE32+" or "ELF64"
  std::string moduleName;  // PE: the name in the export directory
  std::vector<std::string> names;
};

// Throws std::runtime_error for a file that is neither, or is cut short.
ModuleExports ReadExports(const std::string& path);

}  // namespace qevtools
