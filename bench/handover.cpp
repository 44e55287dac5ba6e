// Hand-overs between two threads that every platform has: the standard
// library's condition variable, and the stand-in's own address wait.
#include <condition_variable>
#include <mutex>

#include "pingpong.hpp"
#include "sync.hpp"

namespace bench {
namespace {

class StdCondition final : public PingPong {
 public:
  void Pass(int to) override {
    {
      std::lock_guard guard(m_);
      turn_ = to;
    }
    cv_.notify_one();
  }
  void Await(int self) override {
    std::unique_lock guard(m_);
    cv_.wait(guard, [&] { return turn_ == self; });
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  int turn_ = 0;
};

class HostSync final : public PingPong {
 public:
  void Pass(int to) override {
    turn_.store(static_cast<std::uint32_t>(to), std::memory_order_release);
    System::sync::WakeOne(&turn_);
  }
  void Await(int self) override {
    for (std::uint32_t t; (t = turn_.load(std::memory_order_acquire)) != static_cast<std::uint32_t>(self);)
      System::sync::WaitWhile(turn_, t);
  }

 private:
  std::atomic<std::uint32_t> turn_{0};
};

}  // namespace

std::unique_ptr<PingPong> MakeStdCondition() { return std::make_unique<StdCondition>(); }
std::unique_ptr<PingPong> MakeHostSync() { return std::make_unique<HostSync>(); }

}  // namespace bench
