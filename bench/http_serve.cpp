// Serves a directory with the HTTP front end, for load tests (bench/http.sh).
//   bench_http_serve <web-root> <port> [max-connections]
// Stops on SIGINT or SIGTERM.
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "ov_http_server.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s <web-root> <port> [max-connections]\n", argv[0]);
    return 2;
  }
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  signal(SIGPIPE, SIG_IGN);

  ov::TOVHttpServerOptions o;
  o.address = "127.0.0.1";
  o.port = std::atoi(argv[2]);
  o.web_root = argv[1];
  o.plugin_root = argv[1];
  o.register_routes = false;
  if (argc > 3) o.max_connections = static_cast<std::size_t>(std::atoi(argv[3]));
  ov::TOVHttpServerWrapper srv(o);
  std::printf("listening on 127.0.0.1:%u\n", static_cast<unsigned>(srv.Port()));
  std::fflush(stdout);
  std::thread sig([&] {
    int s = 0;
    sigwait(&set, &s);
    srv.Stop();
  });
  srv.Start();
  sig.join();
  return 0;
}
