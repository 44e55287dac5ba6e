// Boost.Asio steady_timer on its own io_context thread, re-armed from now
// (as a relative sleeper) and from the previous expiry (as a schedule).
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <thread>

#include "bench.hpp"

namespace bench {
namespace {

using Timer = boost::asio::steady_timer;

struct Ticker {
  Timer timer;
  std::chrono::milliseconds interval;
  Recorder& rec;
  bool fromExpiry;

  void Arm() {
    if (fromExpiry)
      timer.expires_at(timer.expiry() + interval);
    else
      timer.expires_after(interval);
    timer.async_wait([this](const boost::system::error_code& e) {
      if (e) return;
      const std::int64_t due =
          std::chrono::duration_cast<std::chrono::nanoseconds>(timer.expiry().time_since_epoch()).count();
      if (rec.Tick(due)) Arm();
    });
  }
};

bool RunAsio(int ms, Recorder& rec, bool fromExpiry) {
  boost::asio::io_context io;
  Ticker t{Timer(io), std::chrono::milliseconds(ms), rec, fromExpiry};
  t.timer.expires_at(std::chrono::steady_clock::now());
  t.Arm();
  std::thread runner([&] { io.run(); });
  runner.join();
  return true;
}

}  // namespace

void AddAsioKinds(Kinds& kinds) {
  kinds.push_back({"asio-now", "Boost.Asio steady_timer, re-armed from now", false,
                   [](int ms, std::size_t, Recorder& rec, Extra&) { return RunAsio(ms, rec, false); }});
  kinds.push_back({"asio-expiry", "Boost.Asio steady_timer, re-armed from the previous expiry", true,
                   [](int ms, std::size_t, Recorder& rec, Extra&) { return RunAsio(ms, rec, true); }});
}

}  // namespace bench
