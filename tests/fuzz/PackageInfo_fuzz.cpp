// libFuzzer target for the package loader's reading of a package identity
// table ("PACKAGEINFO"). Any bytes either decode, or fail with EPackageError
// naming what is damaged. What decodes encodes back to exactly the bytes it
// was read from, so nothing is skipped or invented.
#include "System.Package.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <vector>

namespace {

void Put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void PutText(std::vector<std::uint8_t>& out, const std::string& text) {
  out.insert(out.end(), text.begin(), text.end());
  out.push_back(0);
}

std::vector<std::uint8_t> Encode(const System::TPackageInfoRecord& info) {
  std::vector<std::uint8_t> out;
  Put32(out, info.Flags);
  Put32(out, static_cast<std::uint32_t>(info.Requires.size()));
  for (const auto& r : info.Requires) {
    out.push_back(r.Hash);
    PutText(out, r.Name);
  }
  Put32(out, static_cast<std::uint32_t>(info.Contains.size()));
  for (const auto& u : info.Contains) {
    out.push_back(u.Flags);
    out.push_back(u.Hash);
    PutText(out, u.Name);
  }
  if ((info.Flags & System::pfModuleTypeMask) == System::pfPackageModule) {
    out.push_back(info.NameHash);
    PutText(out, info.Name);
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  System::TPackageInfoRecord info;
  try {
    info = System::ParsePackageInfo(std::span<const std::uint8_t>(data, size));
  } catch (const System::EPackageError& e) {
    // A clear error: it says that the table is damaged, and where.
    const std::string message = e.Message().ToUtf8();
    static const std::string kPrefix = "damaged package identity table: ";
    if (message.compare(0, kPrefix.size(), kPrefix) != 0 || message.size() == kPrefix.size()) std::abort();
    return 0;
  }
  if (info.Size > size) std::abort();
  const std::vector<std::uint8_t> again = Encode(info);
  if (again.size() != info.Size || std::memcmp(again.data(), data, info.Size) != 0) std::abort();
  return 0;
}
