// Benchmark client: N idle thin clients on the hub's own port, pinged by the hub for a few
// cycles.  Connects them one after another (a client refused before its 101 and one dropped
// after it are counted apart), registers each, answers every ping frame with a pong, and reads
// the hub process's descriptors, threads, memory and CPU time from /proc: once with every
// client connected, and at the end of each ping cycle (every client has its JSON "ping").
//   bench_ws_idle <port> <hub-pid> <N> [cycles]
// Prints one line of name=value figures; exits 1 when a client was lost or a cycle stalled.
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <string>
#include <vector>

#include "net_websocket.h"
#include "ws_bench_client.h"

using namespace ov;
using wsbench::SendAll;

namespace {

struct Proc {
  long rss_kib = 0, vsz_kib = 0, threads = 0, fds = 0;
  double cpu_s = 0;
};

Proc ReadProc(int pid) {
  Proc p;
  std::ifstream st("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(st, line)) {
    if (line.rfind("VmRSS:", 0) == 0) p.rss_kib = std::atol(line.c_str() + 6);
    if (line.rfind("VmSize:", 0) == 0) p.vsz_kib = std::atol(line.c_str() + 7);
    if (line.rfind("Threads:", 0) == 0) p.threads = std::atol(line.c_str() + 8);
  }
  // CPU time in nanoseconds from every thread's schedstat (the tick counts of /proc/<pid>/stat
  // are too coarse for one ping cycle).
  if (DIR* d = ::opendir(("/proc/" + std::to_string(pid) + "/task").c_str())) {
    while (dirent* e = ::readdir(d)) {
      if (e->d_name[0] == '.') continue;
      std::ifstream ss("/proc/" + std::to_string(pid) + "/task/" + e->d_name + "/schedstat");
      unsigned long long ns = 0;
      if (ss >> ns) p.cpu_s += static_cast<double>(ns) / 1e9;
    }
    ::closedir(d);
  }
  if (DIR* d = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
    while (dirent* e = ::readdir(d))
      if (e->d_name[0] != '.') ++p.fds;
    ::closedir(d);
  }
  return p;
}

struct Client {
  int fd = -1;
  TWSFrameParser parser{1u << 20};
  int pings = 0;
};

enum class Outcome { Joined, Refused, Dropped };

// Upgrade, welcome, register.  Refused: closed before the 101; dropped: closed after it.
Outcome Join(Client& c, int port, int i) {
  c.fd = wsbench::Dial(port, "X-API-Key: bench");
  if (c.fd < 0 || !wsbench::Upgraded(c.fd)) return Outcome::Refused;
  if (!wsbench::WaitForText(c.fd, c.parser, "welcome")) return Outcome::Dropped;
  const std::string reg = "{\"type\":\"register\",\"client_name\":\"idle-" + std::to_string(i) +
                          "\",\"client_id\":\"idle-" + std::to_string(i) + "\",\"version\":\"1\"}";
  return SendAll(c.fd, EncodeFrame(WS_OP_TEXT, reg, true, true)) ? Outcome::Joined : Outcome::Dropped;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: bench_ws_idle <port> <hub-pid> <N> [cycles]\n");
    return 2;
  }
  const int port = std::atoi(argv[1]);
  const int pid = std::atoi(argv[2]);
  const int n = std::atoi(argv[3]);
  const int cycles = argc > 4 ? std::atoi(argv[4]) : 2;
  const Proc base = ReadProc(pid);
  std::vector<Client> clients(static_cast<std::size_t>(n));
  int joined = 0, refused = 0, dropped = 0;
  for (int i = 0; i < n; ++i) {
    Client& c = clients[static_cast<std::size_t>(i)];
    switch (Join(c, port, i)) {
      case Outcome::Joined: ++joined; continue;
      case Outcome::Refused: ++refused; break;
      case Outcome::Dropped: ++dropped; break;
    }
    if (c.fd >= 0) ::close(c.fd);
    c.fd = -1;
  }
  const Proc up = ReadProc(pid);
  int ep = ::epoll_create1(EPOLL_CLOEXEC);
  for (std::size_t i = 0; i < clients.size(); ++i) {
    if (clients[i].fd < 0) continue;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = i;
    ::epoll_ctl(ep, EPOLL_CTL_ADD, clients[i].fd, &ev);
  }
  // Cycle k ends when every joined client has its k-th JSON ping.  The first cycle is the
  // warm-up; each later one is measured from the end of the one before.
  std::vector<int> at_least(static_cast<std::size_t>(cycles + 2), 0);
  std::vector<Proc> ends;
  int lost = 0;
  int level = 0;
  std::vector<epoll_event> evs(1024);
  std::vector<char> buf(1 << 16);
  while (level <= cycles) {
    int k = ::epoll_wait(ep, evs.data(), static_cast<int>(evs.size()), 60000);
    if (k <= 0) break;
    for (int e = 0; e < k; ++e) {
      Client& c = clients[evs[static_cast<std::size_t>(e)].data.u64];
      ssize_t got = ::recv(c.fd, buf.data(), buf.size(), 0);
      if (got <= 0) {
        ++lost;
        ::epoll_ctl(ep, EPOLL_CTL_DEL, c.fd, nullptr);
        continue;
      }
      c.parser.Append(buf.data(), static_cast<std::size_t>(got));
      TWSFrame f;
      while (c.parser.Next(f) == TWSFrameParser::Result::Frame) {
        if (f.Opcode == WS_OP_PING) {
          SendAll(c.fd, EncodeFrame(WS_OP_PONG, f.Payload, true, true));
        } else if (f.Opcode == WS_OP_TEXT && f.Payload.find("\"ping\"") != std::string::npos) {
          ++c.pings;
          if (c.pings < static_cast<int>(at_least.size())) ++at_least[static_cast<std::size_t>(c.pings)];
        }
      }
    }
    while (level + 1 < static_cast<int>(at_least.size()) &&
           at_least[static_cast<std::size_t>(level + 1)] >= joined - lost) {
      ++level;
      ends.push_back(ReadProc(pid));
    }
  }
  const Proc end = ReadProc(pid);
  std::printf("clients=%d joined=%d refused=%d dropped_after_101=%d lost=%d fds=%ld threads=%ld rss_mb=%.1f "
              "rss_per_client_kb=%.1f vsz_gb=%.1f",
              n, joined, refused, dropped, lost, up.fds, up.threads, static_cast<double>(end.rss_kib) / 1024,
              joined ? static_cast<double>(end.rss_kib - base.rss_kib) / joined : 0.0,
              static_cast<double>(up.vsz_kib) / (1024 * 1024));
  for (std::size_t i = 1; i < ends.size(); ++i)
    std::printf(" cycle%zu_cpu_ms=%.0f", i, (ends[i].cpu_s - ends[i - 1].cpu_s) * 1000);
  std::printf("\n");
  for (auto& c : clients)
    if (c.fd >= 0) ::close(c.fd);
  const bool complete = static_cast<int>(ends.size()) == cycles + 1;
  if (!complete) std::fprintf(stderr, "only %zu of %d ping cycles completed\n", ends.size(), cycles + 1);
  return lost == 0 && complete && joined == n ? 0 : 1;
}
