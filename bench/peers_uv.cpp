// libuv's repeating uv_timer on its own loop thread.
#include <uv.h>

#include <thread>

#include "bench.hpp"

namespace bench {
namespace {

void OnUvTimer(uv_timer_t* t) {
  if (!static_cast<Recorder*>(t->data)->Tick()) uv_timer_stop(t);
}

bool RunUv(int ms, Recorder& rec) {
  uv_loop_t loop;
  if (uv_loop_init(&loop) != 0) return false;
  uv_timer_t timer;
  uv_timer_init(&loop, &timer);
  timer.data = &rec;
  uv_timer_start(&timer, &OnUvTimer, static_cast<std::uint64_t>(ms), static_cast<std::uint64_t>(ms));
  std::thread runner([&] { uv_run(&loop, UV_RUN_DEFAULT); });
  runner.join();
  uv_close(reinterpret_cast<uv_handle_t*>(&timer), nullptr);
  uv_run(&loop, UV_RUN_DEFAULT);
  uv_loop_close(&loop);
  return true;
}

}  // namespace

void AddUvKinds(Kinds& kinds) {
  kinds.push_back({"libuv", "libuv uv_timer, repeating", false,
                   [](int ms, std::size_t, Recorder& rec, Extra&) { return RunUv(ms, rec); }});
}

}  // namespace bench
