// A stand-in for "winmm.dll" on Linux that records what it is asked. Built
// in variants: FAKE_WINMM_NO_DEVCAPS lacks timeGetDevCaps;
// FAKE_WINMM_FAILING_DEVCAPS has one that fails without writing the record.
// Each successful capability query reports a new wPeriodMin (1, 2, 3, ...),
// so a test can tell which query an end period came from.
#include <cstdint>
#include <mutex>
#include <vector>

#include "fake_winmm.hpp"

namespace {
std::mutex lock;
FakeWinmmLog log;
}  // namespace

extern "C" {

#if !defined(FAKE_WINMM_NO_DEVCAPS)
__attribute__((visibility("default"))) std::uint32_t timeGetDevCaps(std::uint32_t* caps, std::uint32_t size) {
  std::lock_guard guard(lock);
  ++log.devCapsCalls;
#if defined(FAKE_WINMM_FAILING_DEVCAPS)
  (void)caps;
  (void)size;
  return 97;  // TIMERR_NOCANDO
#else
  if (size != 8) return 97;
  caps[0] = ++log.queries;
  caps[1] = 1000000;
  return 0;
#endif
}
#endif

__attribute__((visibility("default"))) std::uint32_t timeBeginPeriod(std::uint32_t period) {
  std::lock_guard guard(lock);
  log.begun.push_back(period);
  return 0;
}

__attribute__((visibility("default"))) std::uint32_t timeEndPeriod(std::uint32_t period) {
  std::lock_guard guard(lock);
  log.ended.push_back(period);
  return 0;
}

__attribute__((visibility("default"))) FakeWinmmLog FakeWinmmSnapshot() {
  std::lock_guard guard(lock);
  return log;
}

}  // extern "C"
