// Helpers for tests that wait on real threads: wait for an event with a
// generous deadline, never for a fixed time.
#pragma once

#include <chrono>
#include <thread>

#include "System.Classes.hpp"

namespace qevtest {

// Deadlines are multiplied for slow emulators (Wine).
constexpr std::chrono::milliseconds Scaled(std::chrono::milliseconds ms) {
  return ms * QEV_TIMEOUT_MULTIPLIER;
}

// The waits below call `progress()` after every round (a watchdog's
// heartbeat, say); by default nothing.
struct NoProgress {
  void operator()() const {}
};

// Serves the main-thread dispatch until `done()` holds or `limit` passes.
// Returns whether `done()` held. Call on the main thread.
template <class F, class P = NoProgress>
bool ServeUntil(F done, std::chrono::milliseconds limit = std::chrono::seconds(10), P progress = {}) {
  const auto deadline = std::chrono::steady_clock::now() + Scaled(limit);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    System::Classes::CheckSynchronize(1);
    progress();
  }
  return true;
}

// Polls `done()` without serving the dispatch, until it holds or `limit`
// passes. Returns whether it held.
template <class F, class P = NoProgress>
bool WaitUntil(F done, std::chrono::milliseconds limit = std::chrono::seconds(10), P progress = {}) {
  const auto deadline = std::chrono::steady_clock::now() + Scaled(limit);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    progress();
  }
  return true;
}

// Serves the dispatch for `ms`, for tests that show something does not happen.
inline void ServeFor(std::chrono::milliseconds ms) {
  const auto end = std::chrono::steady_clock::now() + ms;
  while (std::chrono::steady_clock::now() < end) System::Classes::CheckSynchronize(1);
}

}  // namespace qevtest
