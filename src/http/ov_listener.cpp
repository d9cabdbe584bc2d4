#include "ov_listener.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace ov {

TOVListener OpenTcpListener(const std::string& address, int port, int backlog) {
  if (port < 0 || port > 65535) throw EListenError(TOVListenStep::Port, EINVAL, "port out of range");
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* res = nullptr;
  const int gai = ::getaddrinfo(address.empty() ? nullptr : address.c_str(), nullptr, &hints, &res);
  if (gai != 0 || !res) {
    if (res) ::freeaddrinfo(res);
    throw EListenError(TOVListenStep::Address, EINVAL, ::gai_strerror(gai));
  }
  sockaddr_in sa{};
  std::memcpy(&sa, res->ai_addr, sizeof sa);
  ::freeaddrinfo(res);
  sa.sin_port = htons(static_cast<std::uint16_t>(port));

  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) throw EListenError(TOVListenStep::Socket, errno, std::strerror(errno));
  const auto fail = [fd](TOVListenStep step) {
    const int err = errno;
    ::close(fd);
    return EListenError(step, err, std::strerror(err));
  };
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) throw fail(TOVListenStep::Bind);
  if (::listen(fd, backlog) != 0) throw fail(TOVListenStep::Listen);
  socklen_t len = sizeof sa;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
  return TOVListener{fd, ntohs(sa.sin_port)};
}

void SetConnectionOptions(int fd, std::optional<TOVKeepAlive> keepalive) noexcept {
  int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  if (!keepalive) return;
  ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &keepalive->idle_s, sizeof keepalive->idle_s);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &keepalive->interval_s, sizeof keepalive->interval_s);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &keepalive->count, sizeof keepalive->count);
}

std::uint64_t RaiseOpenFileLimit(std::uint64_t cap) noexcept {
  rlimit rl{};
  if (::getrlimit(RLIMIT_NOFILE, &rl) != 0) return cap;
  const rlim_t want = rl.rlim_max == RLIM_INFINITY ? cap : std::min<rlim_t>(rl.rlim_max, cap);
  if (rl.rlim_cur != RLIM_INFINITY && rl.rlim_cur < want) {
    rlimit raised{want, rl.rlim_max};
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) rl.rlim_cur = want;
  }
  return rl.rlim_cur == RLIM_INFINITY ? cap : static_cast<std::uint64_t>(rl.rlim_cur);
}

}  // namespace ov
