// Demo: a worker thread ticks every 100 ms and hands each tick to the main
// thread through the dispatch; the main thread serves it and reports.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "System.Classes.hpp"

using namespace System::Classes;

namespace {

struct Ticks {
  int count = 0;  // touched on the main thread only
  void OnTick() { ++count; }
};

struct Ticker : TThread {
  Ticks* ticks;
  explicit Ticker(Ticks* t) : ticks(t) {}
  void Execute() override {
    while (!Terminated()) {
      Sleep(100);
      Synchronize(TThreadMethod::Bind<&Ticks::OnTick>(ticks));
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  int seconds = 3;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--help")) {
      std::puts("usage: demo [--seconds N]\nTicks a worker thread on the main thread through the dispatch.");
      return 0;
    }
    if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc) seconds = std::atoi(argv[++i]);
  }
  Ticks ticks;
  auto* ticker = TThread::Create<Ticker>(&ticks);
  const auto start = std::chrono::steady_clock::now();
  for (int s = 1; s <= seconds; ++s) {
    while (std::chrono::steady_clock::now() - start < std::chrono::seconds(s)) CheckSynchronize(10);
    std::printf("%d s: %d ticks on the main thread\n", s, ticks.count);
    std::fflush(stdout);
  }
  ticker->Terminate();
  // The ticker may be waiting in Synchronize: serve until it has ended.
  while (!ticker->Finished()) CheckSynchronize(10);
  delete ticker;
  std::printf("done: %d ticks in %d s\n", ticks.count, seconds);
  return 0;
}
