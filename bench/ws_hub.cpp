// Benchmark server: the WebSocket hub alone on a loopback port, with a "bench_fire" message
// that broadcasts count events of size bytes to the subscribed web administrators.  Any API
// key and token are accepted.
//   bench_ws_hub <port> [ping-interval-seconds]
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "ov_ws_server.h"

using namespace ov;

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench_ws_hub <port> [ping-interval-seconds]\n");
    return 2;
  }
  ::signal(SIGPIPE, SIG_IGN);
  TOVWSServer hub("127.0.0.1", std::atoi(argv[1]), argc > 2 ? std::atoi(argv[2]) : 3600, false, "", "", "tls1.2");
  hub.ValidateWebAdminFn = [](const std::string&) { return true; };
  hub.ValidateClientFn = [](const std::string&) { return true; };
  TOVWSServer::Tuning t;
  t.max_queue_bytes = 256u * 1024 * 1024;  // the benchmark fires in one burst
  hub.SetTuning(t);
  hub.RegisterMessageHandler("bench_fire", [&hub](std::int32_t, const TJSON& m) {
    const std::int64_t count = JInt(m, "count", 1000);
    const std::string pad(static_cast<std::size_t>(JInt(m, "size", 64)), 'x');
    const std::int64_t rate = JInt(m, "rate", 0);  // events per second; 0: one burst
    const auto start = std::chrono::steady_clock::now();
    for (std::int64_t i = 0; i < count; ++i) {
      if (rate > 0) std::this_thread::sleep_until(start + std::chrono::nanoseconds(i * 1000000000 / rate));
      timespec ts;
      clock_gettime(CLOCK_MONOTONIC, &ts);
      TJSON d = TJSON::object();
      d["seq"] = i;
      d["t"] = static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
      d["pad"] = pad;
      hub.BroadcastToWebAdmins("bench", &d);
    }
  });
  hub.Start();
  std::printf("ready %d\n", hub.Port());
  std::fflush(stdout);
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}
