// libFuzzer target for qev-inspect's module reader and its checks of a
// module's layout. Any bytes either read, or fail with ModuleError saying what
// is damaged; what reads is consistent with the bytes it came from.
#include "inspect/ModuleFile.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>

namespace {

// A failure says what is damaged, after the reader's prefix.
void CheckMessage(const qevtools::ModuleError& e) {
  static const char kPrefix[] = "module file: ";
  const std::size_t n = std::strlen(e.what());
  if (std::strncmp(e.what(), kPrefix, sizeof kPrefix - 1) != 0 || n == sizeof kPrefix - 1) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  try {
    const qevtools::ModuleTarget target = qevtools::CheckModule(bytes);
    if (target.system != "Windows" && target.system != "Linux") std::abort();
  } catch (const qevtools::ModuleError& e) {
    CheckMessage(e);
  }
  qevtools::ModuleExports out;
  try {
    out = qevtools::ParseExports(bytes);
  } catch (const qevtools::ModuleError& e) {
    CheckMessage(e);
    return 0;
  }
  if (out.format != "PE32" && out.format != "PE32+" && out.format != "ELF64") std::abort();
  std::size_t text = out.moduleName.size();
  for (const std::string& name : out.names) {
    if (name.find('\0') != std::string::npos) std::abort();
    text += name.size() + 1;
  }
  if (text > 4 * size) std::abort();  // the reader's own bound
  return 0;
}
