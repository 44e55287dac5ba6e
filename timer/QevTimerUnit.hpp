// Internal to the package: the nesting count of the unit QevTimer.
#pragma once

#include <cstdint>

namespace Qevtimer::detail {

// 0 when the module is loaded; initialization subtracts 1, Finalization adds 1.
std::int32_t UnitNesting() noexcept;

}  // namespace Qevtimer::detail
