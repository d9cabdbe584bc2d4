// A TCP relay on a loopback port in front of a database server, standing in for the network
// and for the server's life in tests of lost connections: it relays (Forward), accepts and
// never answers (Silent: a server that does not answer), refuses (Refuse: a stopped server),
// accepts and closes at once (Close: a server that is going away), keeps every connection open
// and answers nothing on any of them (Hold: a network partition; the server's ends are closed),
// and drops every connection it holds (CutAll: what clients see of a restart, or of TCP giving
// up on a partition).
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace ovtest {

class LoopbackProxy {
 public:
  enum class Mode { Forward, Silent, Refuse, Close, Hold };

  // Listens on a free port of 127.0.0.1, relaying to 127.0.0.1:target_port.
  explicit LoopbackProxy(int target_port) : target_port_(target_port) {
    if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("LoopbackProxy: pipe failed");
    Listen();
    thread_ = std::thread([this] { Loop(); });
  }
  ~LoopbackProxy() {
    Command([this] { stop_ = true; });
    thread_.join();
    ::close(wake_[0]);
    ::close(wake_[1]);
  }
  LoopbackProxy(const LoopbackProxy&) = delete;
  LoopbackProxy& operator=(const LoopbackProxy&) = delete;

  int Port() const { return port_; }

  // From now on: relay, hold silently, refuse or close new connections.  Refuse and Close also
  // drop the connections held so far.  Returns once in effect.
  void SetMode(Mode m) {
    Command([this, m] {
      mode_ = m;
      if (m == Mode::Refuse || m == Mode::Close) DropAll();
      if (m == Mode::Hold)
        for (Pair& p : pairs_)
          if (p.server >= 0) {
            ::close(p.server);
            p.server = -1;
          }
      if (m == Mode::Refuse) {
        ::close(listen_fd_);
        listen_fd_ = -1;
      } else if (listen_fd_ < 0) {
        Listen();
      }
    });
  }
  // Closes both ends of every connection held now, as a server that restarts does.
  void CutAll() {
    Command([this] { DropAll(); });
  }
  // Connections accepted so far.
  int Accepted() {
    int n = 0;
    Command([this, &n] { n = accepted_; });
    return n;
  }

 private:
  struct Pair {
    int client = -1;
    int server = -1;  // -1 while held silently
  };

  void Listen() {
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port_));
    if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listen_fd_, 64) != 0)
      throw std::runtime_error("LoopbackProxy: cannot listen on port " + std::to_string(port_));
    socklen_t len = sizeof a;
    ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }

  int ConnectTarget() const {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(target_port_));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      ::close(fd);
      return -1;
    }
    return fd;
  }

  // Runs f on the relay thread and waits for it.
  template <class F>
  void Command(F f) {
    std::unique_lock<std::mutex> g(lock_);
    const std::uint64_t ticket = ++asked_;
    pending_.push_back(std::move(f));
    const char c = 1;
    [[maybe_unused]] const auto written = ::write(wake_[1], &c, 1);
    done_cv_.wait(g, [&] { return done_ >= ticket; });
  }

  void DropAll() {
    for (Pair& p : pairs_) Close(p);
    pairs_.clear();
  }
  static void Close(Pair& p) {
    if (p.client >= 0) ::close(p.client);
    if (p.server >= 0) ::close(p.server);
    p.client = p.server = -1;
  }

  // Moves what one end has sent to the other; false when either end is done.
  static bool Relay(int from, int to) {
    char buf[65536];
    const ssize_t n = ::recv(from, buf, sizeof buf, 0);
    if (n <= 0) return false;
    for (ssize_t off = 0; off < n;) {
      const ssize_t w = ::send(to, buf + off, static_cast<std::size_t>(n - off), MSG_NOSIGNAL);
      if (w <= 0) return false;
      off += w;
    }
    return true;
  }

  void Loop() {
    while (!stop_) {
      std::vector<pollfd> fds{{wake_[0], POLLIN, 0}};
      if (listen_fd_ >= 0) fds.push_back({listen_fd_, POLLIN, 0});
      const std::size_t first_pair = fds.size();
      for (const Pair& p : pairs_) {
        fds.push_back({p.client, static_cast<short>(p.server >= 0 ? POLLIN : 0), 0});
        fds.push_back({p.server, POLLIN, 0});  // ignored while -1
      }
      const std::size_t polled = pairs_.size();  // an accept below adds one not in fds
      if (::poll(fds.data(), fds.size(), -1) < 0) continue;
      if (fds[0].revents) {
        char drain[64];
        while (::read(wake_[0], drain, sizeof drain) > 0) {
        }
        std::lock_guard<std::mutex> g(lock_);
        for (auto& f : pending_) f();
        pending_.clear();
        done_ = asked_;
        done_cv_.notify_all();
        continue;  // the sockets may have changed
      }
      if (listen_fd_ >= 0 && fds[1].revents) {
        const int c = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c >= 0) {
          ++accepted_;
          Pair p{c, -1};
          if (mode_ == Mode::Close) {
            ::close(c);
          } else if (mode_ == Mode::Forward && (p.server = ConnectTarget()) < 0) {
            ::close(c);
          } else {
            pairs_.push_back(p);
          }
        }
      }
      for (std::size_t i = 0; i < polled; ++i) {
        Pair& p = pairs_[i];
        const pollfd& c = fds[first_pair + 2 * i];
        const pollfd& s = fds[first_pair + 2 * i + 1];
        bool alive = p.server >= 0 || c.revents == 0;  // a silent one ends only when its client does
        if (p.server >= 0 && (c.revents & (POLLIN | POLLHUP | POLLERR))) alive = Relay(p.client, p.server);
        if (alive && p.server >= 0 && (s.revents & (POLLIN | POLLHUP | POLLERR))) alive = Relay(p.server, p.client);
        if (!alive) Close(p);
      }
      std::erase_if(pairs_, [](const Pair& p) { return p.client < 0; });
    }
    DropAll();
    if (listen_fd_ >= 0) ::close(listen_fd_);
  }

  const int target_port_;
  int port_ = 0;
  int wake_[2] = {-1, -1};
  std::thread thread_;

  // The relay thread's own (commands run on it).
  int listen_fd_ = -1;
  Mode mode_ = Mode::Forward;
  std::vector<Pair> pairs_;
  int accepted_ = 0;
  bool stop_ = false;

  std::mutex lock_;
  std::condition_variable done_cv_;
  std::vector<std::function<void()>> pending_;  // guarded by lock_
  std::uint64_t asked_ = 0, done_ = 0;          // guarded by lock_
};

}  // namespace ovtest
