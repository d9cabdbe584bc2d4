// What the WebSocket benchmark clients share: a loopback connection with its upgrade request,
// and reading until a text frame arrives.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "net_websocket.h"

namespace wsbench {

inline bool SendAll(int fd, const std::string& s) {
  std::size_t off = 0;
  while (off < s.size()) {
    ssize_t n = ::send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return false;
    off += static_cast<std::size_t>(n);
  }
  return true;
}

// Connects to 127.0.0.1:port and sends an upgrade request carrying the credential header
// line ("X-API-Key: ..." or "Authorization: ..."); returns the socket, or -1.
inline int Dial(int port, const std::string& credential) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int on = 1;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0 ||
      !SendAll(fd, "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                   "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n" +
                       credential + "\r\n\r\n")) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Reads the answer head (byte by byte, so no frame is read with it); true for a 101.
inline bool Upgraded(int fd) {
  std::string head;
  char ch;
  while (head.find("\r\n\r\n") == std::string::npos) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 10000) <= 0 || ::recv(fd, &ch, 1, 0) != 1) return false;
    head.push_back(ch);
  }
  return head.find(" 101 ") != std::string::npos;
}

// Reads frames until a text frame containing needle arrives; false on a close frame, the end
// of the stream or ten seconds of silence.
inline bool WaitForText(int fd, ov::TWSFrameParser& parser, const std::string& needle) {
  char buf[4096];
  for (;;) {
    ov::TWSFrame f;
    while (parser.Next(f) == ov::TWSFrameParser::Result::Frame) {
      if (f.Opcode == ov::WS_OP_TEXT && f.Payload.find(needle) != std::string::npos) return true;
      if (f.Opcode == ov::WS_OP_CLOSE) return false;
    }
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 10000) <= 0) return false;
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return false;
    parser.Append(buf, static_cast<std::size_t>(n));
  }
}

}  // namespace wsbench
