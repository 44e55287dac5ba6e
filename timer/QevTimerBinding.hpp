// Internal to the timer unit: the resolution routines the worker calls,
// bound to "winmm.dll" on first use (QevTimerBinding.cpp). Unit-private, with
// external linkage so that the package can list them.
#pragma once

#include <cstdint>

#include "QevTimer.hpp"

namespace Qevtimer {

std::uint32_t LinkedTimeGetDevCaps(PTimeCaps ptc, std::uint32_t cbtc);
std::uint32_t LinkedTimeBeginPeriod(std::uint32_t uPeriod);
std::uint32_t LinkedTimeEndPeriod(std::uint32_t uPeriod);
// Raise and release the system timer resolution to the device's finest.
std::uint32_t BeginMinTimerPeriod();
std::uint32_t EndMinTimerPeriod();

}  // namespace Qevtimer
