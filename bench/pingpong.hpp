// The ping-pong of the wait primitives: two threads hand a turn back and forth
// through one primitive; one round trip is the floor under the main-thread
// dispatch's two hand-overs.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace bench {

// One primitive. Each side waits only for its own turn; Pass gives the turn
// to the other side and wakes it.
struct PingPong {
  virtual ~PingPong() = default;
  virtual void Pass(int to) = 0;
  virtual void Await(int self) = 0;
};

struct Primitive {
  std::string name;
  std::unique_ptr<PingPong> (*make)();
};

// std::condition_variable with std::mutex, and the stand-in's own address
// wait (System::sync) as the main-thread dispatch uses it (handover.cpp).
std::unique_ptr<PingPong> MakeStdCondition();
std::unique_ptr<PingPong> MakeHostSync();

// The platform's own primitives (pingpong_win.cpp; none elsewhere).
void AddPlatformPrimitives(std::vector<Primitive>&);

}  // namespace bench
