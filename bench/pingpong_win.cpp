// The Windows primitives of the ping-pong: SRWLOCK with CONDITION_VARIABLE,
// auto-reset events, and WaitOnAddress called directly.
#include <windows.h>

#include <atomic>

#include "pingpong.hpp"

namespace bench {
namespace {

// Waits with a timeout where `timed` (one far off), as a loop that must come
// back to other work waits: some systems take a slower path then.
template <bool timed>
class SrwCondition final : public PingPong {
 public:
  void Pass(int to) override {
    AcquireSRWLockExclusive(&lock_);
    turn_ = to;
    ReleaseSRWLockExclusive(&lock_);
    WakeConditionVariable(&cv_);
  }
  void Await(int self) override {
    AcquireSRWLockExclusive(&lock_);
    while (turn_ != self) SleepConditionVariableSRW(&cv_, &lock_, timed ? 60000 : INFINITE, 0);
    ReleaseSRWLockExclusive(&lock_);
  }

 private:
  SRWLOCK lock_ = SRWLOCK_INIT;
  CONDITION_VARIABLE cv_ = CONDITION_VARIABLE_INIT;
  int turn_ = 0;
};

class Events final : public PingPong {
 public:
  Events() : events_{CreateEventW(nullptr, FALSE, FALSE, nullptr), CreateEventW(nullptr, FALSE, FALSE, nullptr)} {}
  ~Events() override {
    CloseHandle(events_[0]);
    CloseHandle(events_[1]);
  }
  void Pass(int to) override { SetEvent(events_[to]); }
  void Await(int self) override { WaitForSingleObject(events_[self], INFINITE); }

 private:
  HANDLE events_[2];
};

template <bool timed>
class AddressWait final : public PingPong {
 public:
  void Pass(int to) override {
    turn_.store(to, std::memory_order_release);
    WakeByAddressSingle(&turn_);
  }
  void Await(int self) override {
    for (LONG t; (t = turn_.load(std::memory_order_acquire)) != self;)
      WaitOnAddress(&turn_, &t, sizeof t, timed ? 60000 : INFINITE);
  }

 private:
  std::atomic<LONG> turn_{0};
};

template <class T>
std::unique_ptr<PingPong> Make() {
  return std::make_unique<T>();
}

}  // namespace

void AddPlatformPrimitives(std::vector<Primitive>& all) {
  all.push_back({"srwlock-condition", &Make<SrwCondition<false>>});
  all.push_back({"srwlock-condition-timed", &Make<SrwCondition<true>>});
  all.push_back({"auto-reset-events", &Make<Events>});
  all.push_back({"wait-on-address", &Make<AddressWait<false>>});
  all.push_back({"wait-on-address-timed", &Make<AddressWait<true>>});
}

}  // namespace bench
