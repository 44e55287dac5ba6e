// The unit's design-time registration and its initialization and
// finalization routines.
#include "QevTimer.hpp"

#include <atomic>

#include "QevTimerUnit.hpp"
#include "System.Classes.Register.hpp"

namespace Qevtimer {

namespace {
std::atomic<std::int32_t> nesting{0};
}  // namespace

void Register() {
  const System::Classes::TComponentClass classes[1] = {&TQevTimer::TypeInfo};
  System::Classes::RegisterComponents(u"Qev Soft", classes, 0);
}

void initialization() { nesting.fetch_sub(1); }

void Finalization() { nesting.fetch_add(1); }

std::int32_t detail::UnitNesting() noexcept { return nesting.load(); }

}  // namespace Qevtimer
