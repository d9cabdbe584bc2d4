// Benchmark client: N web administrators subscribe to "bench", one of them asks the server
// to broadcast M events; prints delivered messages per second and the p99 delivery latency
// (server send stamp to client receipt, both CLOCK_MONOTONIC on this machine).  Every event is
// checked: each client must see the sequence numbers 0 .. M-1 in order, each with a pad of
// size bytes; a wrong event fails the run.
//   bench_ws_load <port> <N> <M> <size> [rate]
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "net_websocket.h"
#include "ws_bench_client.h"

using namespace ov;
using wsbench::SendAll;

namespace {

std::int64_t NowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

struct Conn {
  int fd = -1;
  TWSFrameParser parser{1ull << 30};
  std::int64_t got = 0;
  std::int64_t wrong = 0;  // events out of order or with a wrong pad
};

bool Open(Conn& c, int port) {
  c.fd = wsbench::Dial(port, "Authorization: Bearer bench");
  if (c.fd < 0 || !wsbench::Upgraded(c.fd) || !wsbench::WaitForText(c.fd, c.parser, "welcome")) return false;
  SendAll(c.fd, EncodeFrame(WS_OP_TEXT, R"({"type":"subscribe","events":["bench"]})", true, true));
  // The answer to a call sent after the subscription proves the subscription is in place.
  SendAll(c.fd, EncodeFrame(WS_OP_TEXT, R"({"type":"plugin_call","id":"sync"})", true, true));
  return wsbench::WaitForText(c.fd, c.parser, "plugin_call_result");
}

// The integer after the member name (spaced or compact JSON); -1 when absent.
std::int64_t Member(const std::string& p, const char* quoted_name) {
  std::size_t k = p.find(quoted_name);
  if (k == std::string::npos) return -1;
  k += std::strlen(quoted_name);
  while (k < p.size() && (p[k] == ' ' || p[k] == ':')) ++k;
  return std::strtoll(p.c_str() + k, nullptr, 10);
}

// The length of the "pad" text; -1 when absent.
std::int64_t PadLength(const std::string& p) {
  std::size_t k = p.find("\"pad\"");
  if (k == std::string::npos) return -1;
  k = p.find('"', k + 5);
  std::size_t e = k == std::string::npos ? k : p.find('"', k + 1);
  return e == std::string::npos ? -1 : static_cast<std::int64_t>(e - k - 1);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: bench_ws_load <port> <N> <M> <size>\n");
    return 2;
  }
  const int port = std::atoi(argv[1]);
  const int n = std::atoi(argv[2]);
  const std::int64_t m = std::atoll(argv[3]);
  const int size = std::atoi(argv[4]);
  const std::int64_t fire_rate = argc > 5 ? std::atoll(argv[5]) : 0;
  std::vector<Conn> conns(static_cast<std::size_t>(n));
  for (auto& c : conns)
    if (!Open(c, port)) {
      std::fprintf(stderr, "connect failed\n");
      return 1;
    }
  const int threads = std::min(4, n);
  std::vector<std::vector<std::int64_t>> lat(static_cast<std::size_t>(threads));
  std::atomic<std::int64_t> last_rx{0};
  std::atomic<bool> failed{false};
  std::vector<std::thread> ts;
  const std::int64_t t0 = NowNs();
  for (int t = 0; t < threads; ++t) {
    ts.emplace_back([&, t] {
      std::vector<Conn*> mine;
      for (int i = t; i < n; i += threads) mine.push_back(&conns[static_cast<std::size_t>(i)]);
      auto& l = lat[static_cast<std::size_t>(t)];
      l.reserve(static_cast<std::size_t>(m) * mine.size());
      // epoll: a wake-up costs what is ready, not the number of connections.
      int ep = ::epoll_create1(EPOLL_CLOEXEC);
      for (std::size_t i = 0; i < mine.size(); ++i) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = i;
        ::epoll_ctl(ep, EPOLL_CTL_ADD, mine[i]->fd, &ev);
      }
      std::vector<epoll_event> evs(256);
      std::size_t done = 0;
      std::vector<char> buf(1 << 20);
      while (done < mine.size()) {
        int r = ::epoll_wait(ep, evs.data(), static_cast<int>(evs.size()), 30000);
        if (r <= 0) {
          failed = true;
          ::close(ep);
          return;
        }
        for (int e = 0; e < r; ++e) {
          Conn& c = *mine[evs[static_cast<std::size_t>(e)].data.u64];
          ssize_t got = ::recv(c.fd, buf.data(), buf.size(), 0);
          if (got <= 0) {
            failed = true;
            ::close(ep);
            return;
          }
          c.parser.Append(buf.data(), static_cast<std::size_t>(got));
          TWSFrame f;
          std::int64_t now = NowNs();
          while (c.parser.Next(f) == TWSFrameParser::Result::Frame) {
            if (f.Opcode != WS_OP_TEXT) continue;
            std::int64_t stamp = Member(f.Payload, "\"t\"");
            if (stamp <= 0) continue;
            if (Member(f.Payload, "\"seq\"") != c.got || PadLength(f.Payload) != size) ++c.wrong;
            l.push_back(now - stamp);
            if (++c.got == m) {
              ++done;
              ::epoll_ctl(ep, EPOLL_CTL_DEL, c.fd, nullptr);
            }
          }
          std::int64_t prev = last_rx.load();
          while (now > prev && !last_rx.compare_exchange_weak(prev, now)) {
          }
        }
      }
      ::close(ep);
    });
  }
  SendAll(conns[0].fd, EncodeFrame(WS_OP_TEXT, "{\"type\":\"bench_fire\",\"count\":" + std::to_string(m) +
                                                   ",\"size\":" + std::to_string(size) +
                                                   ",\"rate\":" + std::to_string(fire_rate) + "}",
                                   true, true));
  for (auto& t : ts) t.join();
  if (failed) {
    std::fprintf(stderr, "a connection failed or timed out\n");
    return 1;
  }
  std::int64_t wrong = 0;
  for (auto& c : conns) wrong += c.wrong;
  if (wrong > 0) {
    std::fprintf(stderr, "%lld events arrived out of order or with a wrong pad\n", static_cast<long long>(wrong));
    return 1;
  }
  std::vector<std::int64_t> all;
  for (auto& l : lat) all.insert(all.end(), l.begin(), l.end());
  std::sort(all.begin(), all.end());
  const double secs = static_cast<double>(last_rx.load() - t0) / 1e9;
  const double rate = static_cast<double>(all.size()) / secs;
  const double p99 = static_cast<double>(all[static_cast<std::size_t>(static_cast<double>(all.size() - 1) * 0.99)]) / 1e6;
  const double p50 = static_cast<double>(all[all.size() / 2]) / 1e6;
  std::printf("delivered=%zu seconds=%.3f rate=%.0f p50_ms=%.2f p99_ms=%.2f\n", all.size(), secs, rate, p50, p99);
  for (auto& c : conns) ::close(c.fd);
  return 0;
}
