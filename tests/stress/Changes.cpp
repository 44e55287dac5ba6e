// The stress phase of changes from the main thread against live workers:
// six timers, random changes, served dispatch between them, 2 % of threads
// refused.
#include "Stress.hpp"

#include <vector>

namespace stress {

void Changes(std::uint64_t target, std::chrono::seconds budget) {
  watchdog.Step("changes");
  auto* form = new TComponent(nullptr);
  std::vector<Slot*> pool;
  refusePercent = 2;
  for (int i = 0; i < 6; ++i) pool.push_back(&NewTimer(form, i % 2 ? 0.0 : 0.001, i % 3 == 0, Act::Count));
  const auto end = Clock::now() + budget;
  static constexpr Act kActs[] = {Act::Count, Act::Count,       Act::Count,  Act::Nap,
                                  Act::Raise, Act::SelfControl, Act::AskMain};
  const std::uint64_t first = fig.operations.load();
  while (fig.operations.load() - first < target && Clock::now() < end) {
    for (int burst = 0; burst < 64; ++burst) {
      Slot& s = *pool[Pick(static_cast<int>(pool.size()))];
      TQevTimer* t = s.timer;
      try {
        const int choice = Pick(11);
        switch (choice) {
          case 0:
          case 1:
          case 2:
            StartStopChange(t, choice);
            break;
          case 3:
            t->SetEnabled(Chance(60));
            break;
          case 4:
            t->SetInterval(Chance(50) ? 0.0 : 0.001);
            break;
          case 5:
            t->SetPriority(static_cast<TThreadPriority>(Pick(4)));  // idle to normal
            break;
          case 6:
            s.act = kActs[Pick(static_cast<int>(std::size(kActs)))];
            t->SetOnTimer(Chance(10) ? TNotifyEvent{} : s.Event());
            break;
          case 7:
            t->SetCycled(Chance(80));
            break;
          case 8:
            t->SetRepeatCount(Chance(50) ? 0u : static_cast<std::uint32_t>(Pick(5)));
            break;
          case 9:
            t->SetNeedSynchronization(Chance(50));
            break;
          default:
            (void)t->GetCycleNumber();
            StartStopChange(t, 3);
            break;
        }
      } catch (const EThread&) {
        // refused by the seam: counted there; the timer has no worker now
      }
      ++fig.operations;
      CheckSynchronize(0);  // serve the dispatch between changes
    }
    LetEndedThreadsGo();
    watchdog.Progress();
  }
  refusePercent = 0;
  watchdog.Step("changes: freeing the form");
  delete form;
  if (!AllWorkersEnded()) Wrong("changes: workers left after the form was freed");
}

}  // namespace stress
