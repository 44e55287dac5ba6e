// The stress phase of an owner freed with 8 running timers.
#include "Stress.hpp"

#include <algorithm>
#include <vector>

namespace stress {
namespace {

// Each timer's destructor pauses 500 ms, one after another: 8 show what 100
// show, in 4 s instead of 50.
constexpr int kOwnedTimers = 8;

}  // namespace

void OwnerWithRunningTimers() {
  watchdog.Step("owner with 8 timers: starting");
  auto* form = new TComponent(nullptr);
  std::vector<Slot*> pool;
  refusePercent = 2;
  // Every tenth without a pause; of those on worker threads, all but one nap
  // in their handler, so that the run does not spin ten threads for a minute.
  for (int i = 0; i < kOwnedTimers; ++i)
    pool.push_back(&NewTimer(form, i % 10 == 0 ? 0.0 : 0.001, i % 2 == 1,
                             i % 10 == 0 && i > 0 ? Act::Nap : Act::Count));
  refusePercent = 0;
  if (!ServeUntil([&] { return std::all_of(pool.begin(), pool.end(), [](Slot* s) { return s->calls.load() > 0; }); }))
    Wrong("not every one of the owner's timers ticked");
  watchdog.Step("owner with 8 timers: freeing");
  delete form;
  if (!std::all_of(pool.begin(), pool.end(), [](Slot* s) { return s->gone.load(); }))
    Wrong("owner left timers behind");
  if (!AllWorkersEnded()) Wrong("owner: workers left");
}

}  // namespace stress
