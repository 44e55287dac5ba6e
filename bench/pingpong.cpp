// pingpong: round trips of the wait primitives between two threads, back to
// back, as p50 / p99 / max in microseconds. A primitive that misses a wake
// stops the game: a watchdog then names it and ends the program with 1.
//
//   pingpong [--rounds N] [--gap-ms N] [--only name,name]
//
// With a gap, the round trips are started that many milliseconds apart, so
// that the other side is asleep when woken, as a timer's worker is.
#include "pingpong.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <thread>

#include "bench.hpp"

namespace bench {
namespace {

std::atomic<long> progress{0};
std::atomic<const char*> playing{""};

// Ends the program when no round finishes for 10 s.
void Watchdog() {
  long last = -1;
  for (int still = 0;; std::this_thread::sleep_for(std::chrono::seconds(1))) {
    const long now = progress.load();
    still = now == last ? still + 1 : 0;
    last = now;
    if (still >= 10) {
      std::fprintf(stderr, "pingpong: %s stuck after %ld rounds (a missed wake)\n", playing.load(), now);
      std::fflush(stderr);
      std::_Exit(1);
    }
  }
}

std::vector<double> Play(PingPong& p, int rounds, int gapMs) {
  std::vector<double> us;
  us.reserve(static_cast<std::size_t>(rounds));
  std::thread other([&] {
    for (int i = 0; i < rounds; ++i) {
      p.Await(1);
      p.Pass(0);
    }
  });
  for (int i = 0; i < rounds; ++i) {
    if (gapMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
    const std::int64_t t0 = NowNs();
    p.Pass(1);
    p.Await(0);
    us.push_back((NowNs() - t0) / 1000.0);
    progress.fetch_add(1, std::memory_order_relaxed);
  }
  other.join();
  return us;
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
  using namespace bench;
  int rounds = 20000, gapMs = 0;
  std::vector<std::string> only;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--rounds" && i + 1 < argc) {
      rounds = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--gap-ms" && i + 1 < argc) {
      gapMs = std::max(0, std::atoi(argv[++i]));
    } else if (a == "--only" && i + 1 < argc) {
      std::stringstream s(argv[++i]);
      for (std::string k; std::getline(s, k, ',');) only.push_back(k);
    } else {
      std::puts("usage: pingpong [--rounds N] [--gap-ms N] [--only name,name]");
      return a == "--help" ? 0 : 2;
    }
  }
  std::vector<Primitive> all;
  all.push_back({"std-condition", &MakeStdCondition});
  all.push_back({"host-sync", &MakeHostSync});
  AddPlatformPrimitives(all);

  std::thread(Watchdog).detach();
  std::printf("%d rounds, %d ms apart; one round trip, us\n", rounds, gapMs);
  std::printf("| primitive | p50 | p99 | max |\n|---|---:|---:|---:|\n");
  for (const Primitive& prim : all) {
    if (!only.empty() && std::find(only.begin(), only.end(), prim.name) == only.end()) continue;
    playing.store(prim.name.c_str());
    auto p = prim.make();
    std::vector<double> us = Play(*p, rounds, gapMs);
    std::sort(us.begin(), us.end());
    std::printf("| %s | %.1f | %.1f | %.1f |\n", prim.name.c_str(), Percentile(us, 50), Percentile(us, 99),
                us.back());
    std::fflush(stdout);
  }
  return 0;
}
