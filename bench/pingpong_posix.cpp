// No primitives beyond the standard library's and the stand-in's on POSIX.
#include "pingpong.hpp"

namespace bench {
void AddPlatformPrimitives(std::vector<Primitive>&) {}
}  // namespace bench
