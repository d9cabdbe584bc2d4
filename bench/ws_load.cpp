// Benchmark client: N web administrators subscribe to "bench", one of them asks the server
// to broadcast M events; prints delivered messages per second and the p99 delivery latency
// (server send stamp to client receipt, both CLOCK_MONOTONIC on this machine).
//   bench_ws_load <port> <N> <M> <size> [rate]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
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

using namespace ov;

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
};

bool SendAll(int fd, const std::string& s) {
  std::size_t off = 0;
  while (off < s.size()) {
    ssize_t n = ::send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return false;
    off += static_cast<std::size_t>(n);
  }
  return true;
}

// Reads frames until one text frame containing needle arrives.
bool WaitFor(Conn& c, const std::string& needle) {
  char buf[65536];
  for (;;) {
    TWSFrame f;
    while (c.parser.Next(f) == TWSFrameParser::Result::Frame)
      if (f.Opcode == WS_OP_TEXT && f.Payload.find(needle) != std::string::npos) return true;
    pollfd p{c.fd, POLLIN, 0};
    if (::poll(&p, 1, 10000) <= 0) return false;
    ssize_t n = ::recv(c.fd, buf, sizeof buf, 0);
    if (n <= 0) return false;
    c.parser.Append(buf, static_cast<std::size_t>(n));
  }
}

bool Open(Conn& c, int port) {
  c.fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(c.fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return false;
  int on = 1;
  ::setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  if (!SendAll(c.fd, "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                     "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"
                     "Authorization: Bearer bench\r\n\r\n"))
    return false;
  std::string head;
  char ch;
  while (head.find("\r\n\r\n") == std::string::npos) {
    if (::recv(c.fd, &ch, 1, 0) != 1) return false;
    head.push_back(ch);
  }
  if (head.find(" 101 ") == std::string::npos) return false;
  if (!WaitFor(c, "welcome")) return false;
  SendAll(c.fd, EncodeFrame(WS_OP_TEXT, R"({"type":"subscribe","events":["bench"]})", true, true));
  // The answer to a call sent after the subscription proves the subscription is in place.
  SendAll(c.fd, EncodeFrame(WS_OP_TEXT, R"({"type":"plugin_call","id":"sync"})", true, true));
  return WaitFor(c, "plugin_call_result");
}

std::int64_t ParseStamp(const std::string& p) {
  std::size_t k = p.find("\"t\"");
  if (k == std::string::npos) return -1;
  k += 3;
  while (k < p.size() && (p[k] == ' ' || p[k] == ':')) ++k;
  return std::strtoll(p.c_str() + k, nullptr, 10);
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
      std::vector<pollfd> pf;
      for (auto* c : mine) pf.push_back({c->fd, POLLIN, 0});
      std::size_t done = 0;
      std::vector<char> buf(1 << 20);
      while (done < mine.size()) {
        int r = ::poll(pf.data(), pf.size(), 30000);
        if (r <= 0) {
          failed = true;
          return;
        }
        for (std::size_t i = 0; i < pf.size(); ++i) {
          if (!(pf[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
          Conn& c = *mine[i];
          ssize_t got = ::recv(c.fd, buf.data(), buf.size(), 0);
          if (got <= 0) {
            failed = true;
            return;
          }
          c.parser.Append(buf.data(), static_cast<std::size_t>(got));
          TWSFrame f;
          std::int64_t now = NowNs();
          while (c.parser.Next(f) == TWSFrameParser::Result::Frame) {
            if (f.Opcode != WS_OP_TEXT) continue;
            std::int64_t stamp = ParseStamp(f.Payload);
            if (stamp <= 0) continue;
            l.push_back(now - stamp);
            if (++c.got == m) {
              ++done;
              pf[i].fd = -1;
            }
          }
          std::int64_t prev = last_rx.load();
          while (now > prev && !last_rx.compare_exchange_weak(prev, now)) {
          }
        }
      }
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
