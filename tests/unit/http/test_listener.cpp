#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "ov_listener.h"

using namespace ov;

namespace {

int ConnectTo(std::uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

int IntOption(int fd, int level, int name) {
  int v = -1;
  socklen_t len = sizeof v;
  ::getsockopt(fd, level, name, &v, &len);
  return v;
}

}  // namespace

TEST(Listener, OpensOnAFreePortAndReportsEachFailedStep) {
  TOVListener l = OpenTcpListener("127.0.0.1", 0, 8);
  ASSERT_GE(l.fd, 0);
  EXPECT_NE(l.port, 0);
  EXPECT_NE(::fcntl(l.fd, F_GETFD) & FD_CLOEXEC, 0);
  EXPECT_EQ(IntOption(l.fd, SOL_SOCKET, SO_REUSEADDR), 1);

  // An accepted connection: no Nagle delay; keep-alive only when asked for.
  int client = ConnectTo(l.port);
  ASSERT_GE(client, 0);
  int conn = -1;
  for (int i = 0; i < 200 && conn < 0; ++i) {
    conn = ::accept4(l.fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (conn < 0) ::usleep(5000);
  }
  ASSERT_GE(conn, 0);
  SetConnectionOptions(conn);
  EXPECT_EQ(IntOption(conn, IPPROTO_TCP, TCP_NODELAY), 1);
  EXPECT_EQ(IntOption(conn, SOL_SOCKET, SO_KEEPALIVE), 0);
  SetConnectionOptions(conn, TOVKeepAlive{40, 7, 2});
  EXPECT_EQ(IntOption(conn, SOL_SOCKET, SO_KEEPALIVE), 1);
  EXPECT_EQ(IntOption(conn, IPPROTO_TCP, TCP_KEEPIDLE), 40);
  EXPECT_EQ(IntOption(conn, IPPROTO_TCP, TCP_KEEPINTVL), 7);
  EXPECT_EQ(IntOption(conn, IPPROTO_TCP, TCP_KEEPCNT), 2);
  ::close(conn);
  ::close(client);

  struct Refusal {
    const char* address;
    int port;
    TOVListenStep step;
  };
  for (const Refusal& r : {Refusal{"127.0.0.1", l.port, TOVListenStep::Bind}, Refusal{"127.0.0.1", -1, TOVListenStep::Port},
                           Refusal{"127.0.0.1", 65536, TOVListenStep::Port},
                           Refusal{"192.0.2.1", 0, TOVListenStep::Bind}}) {  // not an address of this host
    SCOPED_TRACE(std::string(r.address) + ":" + std::to_string(r.port));
    try {
      TOVListener other = OpenTcpListener(r.address, r.port, 8);
      ::close(other.fd);
      ADD_FAILURE() << "opened";
    } catch (const EListenError& e) {
      EXPECT_EQ(e.Step(), r.step);
      EXPECT_NE(e.Error(), 0);
      EXPECT_NE(std::string(e.what()), "");
    }
  }
  ::close(l.fd);
}
