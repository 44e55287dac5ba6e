// Ends the process with a message when a scope is not left in time: a test
// whose scenario can hang fails within its (scaled) limit instead of holding
// the runner for its whole timeout (keep the limit below the test's CTest
// timeout, 60 s scaled). The guard's thread meets the test's threads through
// nothing but its own lock.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "support/Wait.hpp"

namespace qevtest {

class HangGuard {
 public:
  HangGuard(const char* what, std::chrono::milliseconds limit = std::chrono::seconds(30))
      : thread_([this, what, deadline = std::chrono::steady_clock::now() + Scaled(limit)] {
          std::unique_lock lock(mutex_);
          if (cv_.wait_until(lock, deadline, [this] { return left_; })) return;
          std::fprintf(stderr, "HANG: %s did not end within its limit\n", what);
          std::fflush(nullptr);
          std::_Exit(1);
        }) {}
  ~HangGuard() {
    {
      std::lock_guard lock(mutex_);
      left_ = true;
    }
    cv_.notify_one();
    thread_.join();
  }
  HangGuard(const HangGuard&) = delete;
  HangGuard& operator=(const HangGuard&) = delete;

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool left_ = false;
  std::thread thread_;  // last: starts once the rest is built
};

}  // namespace qevtest
