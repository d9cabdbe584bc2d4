#include "ov_stream.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace ov {

const char* IoStatusText(IoStatus s) noexcept {
  switch (s) {
    case IoStatus::Ok: return "ok";
    case IoStatus::Timeout: return "timeout";
    case IoStatus::Closed: return "closed";
    case IoStatus::Error: return "error";
  }
  return "error";
}

void SocketPeer(int fd, std::string& address, std::uint16_t& port) noexcept {
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0) ss.ss_family = AF_UNSPEC;
  SocketAddressText(ss, address, port);
}

void SocketAddressText(const sockaddr_storage& ss, std::string& address, std::uint16_t& port) noexcept {
  address.clear();
  port = 0;
  char buf[INET6_ADDRSTRLEN] = {0};
  if (ss.ss_family == AF_INET) {
    auto* a = reinterpret_cast<const sockaddr_in*>(&ss);
    if (::inet_ntop(AF_INET, &a->sin_addr, buf, sizeof buf)) address = buf;
    port = ntohs(a->sin_port);
  } else if (ss.ss_family == AF_INET6) {
    auto* a = reinterpret_cast<const sockaddr_in6*>(&ss);
    if (::inet_ntop(AF_INET6, &a->sin6_addr, buf, sizeof buf)) address = buf;
    port = ntohs(a->sin6_port);
  }
}

Stream::Stream(int fd) : fd_(fd) {
  if (fd_ >= 0) {
    int fl = ::fcntl(fd_, F_GETFL);
    if (fl >= 0 && !(fl & O_NONBLOCK)) ::fcntl(fd_, F_SETFL, fl | O_NONBLOCK);
    int fdfl = ::fcntl(fd_, F_GETFD);
    if (fdfl >= 0 && !(fdfl & FD_CLOEXEC)) ::fcntl(fd_, F_SETFD, fdfl | FD_CLOEXEC);
    SocketPeer(fd_, peer_address_, peer_port_);
  }
}

Stream::Stream(const TOVAcceptedSocket& s) : fd_(s.fd), peer_address_(s.peer_address), peer_port_(s.peer_port) {}

Stream::~Stream() { Close(); }

void Stream::Close() noexcept {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

void Stream::Abort() noexcept {
  if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
}

bool Stream::WaitReady(short events, Deadline deadline, IoStatus& status) const noexcept {
  if (fd_ < 0) {
    status = IoStatus::Error;
    return false;
  }
  for (;;) {
    auto now = StreamClock::now();
    if (now >= deadline) {
      // One last non-waiting look: data that is already there is not a time-out.
      pollfd p{fd_, events, 0};
      int r = ::poll(&p, 1, 0);
      if (r > 0) return true;
      status = IoStatus::Timeout;
      return false;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
    pollfd p{fd_, events, 0};
    int r = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, 60000)));
    if (r > 0) return true;  // readiness, hang-up or error: the next call says which
    if (r < 0 && errno != EINTR) {
      status = IoStatus::Error;
      return false;
    }
  }
}

void Stream::LingeringClose(std::chrono::milliseconds max_wait, std::size_t max_bytes) noexcept {
  if (fd_ < 0) return;
  Deadline deadline = DeadlineIn(max_wait);
  Shutdown(deadline);
  // Discard at the socket level: the content no longer matters, only that the kernel's
  // receive queue is empty when the socket is closed.
  char scratch[16384];
  std::size_t discarded = 0;
  IoStatus st = IoStatus::Ok;
  while (discarded < max_bytes && WaitReady(POLLIN, deadline, st)) {
    ssize_t n = ::recv(fd_, scratch, sizeof scratch, 0);
    if (n > 0) {
      discarded += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    break;  // end of stream or error
  }
  Close();
}

bool Stream::WaitFor(IoWait wait, Deadline deadline, IoStatus& status) const noexcept {
  return WaitReady(wait == IoWait::Writable ? POLLOUT : POLLIN, deadline, status);
}

IoResult Stream::Recv(void* buf, std::size_t len, Deadline deadline) {
  if (len == 0) return {IoStatus::Ok, 0};
  for (;;) {
    const TryResult r = TryRecv(buf, len);
    if (r.status != IoStatus::Ok) return {r.status, 0};
    if (r.wait == IoWait::None) return {IoStatus::Ok, r.bytes};
    IoStatus st;
    if (!WaitFor(r.wait, deadline, st)) return {st, 0};
  }
}

IoResult Stream::Send(const void* buf, std::size_t len, Deadline deadline) {
  const char* p = static_cast<const char*>(buf);
  std::size_t done = 0;
  while (done < len) {
    const TryResult r = TrySend(p + done, len - done);
    if (r.status != IoStatus::Ok) return {r.status, done};
    done += r.bytes;
    IoStatus st;
    if (r.wait != IoWait::None && !WaitFor(r.wait, deadline, st)) return {st, done};
  }
  return {IoStatus::Ok, done};
}

TryResult SocketStream::TryRecv(void* buf, std::size_t len) noexcept {
  for (;;) {
    ssize_t n = ::recv(fd_, buf, len, 0);
    if (n > 0) return {IoStatus::Ok, static_cast<std::size_t>(n), IoWait::None};
    if (n == 0) return {IoStatus::Closed, 0, IoWait::None};
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return {IoStatus::Ok, 0, IoWait::Readable};
    return {IoStatus::Error, 0, IoWait::None};
  }
}

TryResult SocketStream::TrySendFlags(const void* buf, std::size_t len, int flags) noexcept {
  for (;;) {
    ssize_t n = ::send(fd_, buf, len, MSG_NOSIGNAL | flags);
    if (n > 0) return {IoStatus::Ok, static_cast<std::size_t>(n), IoWait::None};
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return {IoStatus::Ok, 0, IoWait::Writable};
    return {(n < 0 && errno == EPIPE) ? IoStatus::Closed : IoStatus::Error, 0, IoWait::None};
  }
}

TryResult SocketStream::TrySendFile(int file_fd, std::uint64_t& offset, std::uint64_t count) noexcept {
  for (;;) {
    off_t off = static_cast<off_t>(offset);
    const ssize_t n = ::sendfile(fd_, file_fd, &off, static_cast<std::size_t>(std::min<std::uint64_t>(count, 1u << 30)));
    offset = static_cast<std::uint64_t>(off);
    if (n > 0) return {IoStatus::Ok, static_cast<std::size_t>(n), IoWait::None};
    if (n == 0) return {IoStatus::Error, 0, IoWait::None};  // the file shrank
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return {IoStatus::Ok, 0, IoWait::Writable};
    return {errno == EPIPE ? IoStatus::Closed : IoStatus::Error, 0, IoWait::None};
  }
}

IoResult Stream::SendFile(std::string_view head, int file_fd, std::uint64_t size,
                          std::chrono::milliseconds max_pause) {
  constexpr std::size_t kPiece = 64 * 1024;
  // The head goes out together with the file's first piece.
  std::string buf;
  buf.reserve(head.size() + static_cast<std::size_t>(std::min<std::uint64_t>(size, kPiece)));
  buf.append(head);
  std::uint64_t sent = 0;  // file bytes
  std::size_t sent_head = 0;
  do {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(size - sent, kPiece));
    const std::size_t start = buf.size();
    buf.resize(start + want);
    std::size_t got = 0;
    while (got < want) {
      ssize_t n = ::pread(file_fd, buf.data() + start + got, want - got, static_cast<off_t>(sent + got));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return {IoStatus::Error, sent_head + sent};  // the file shrank or cannot be read
      got += static_cast<std::size_t>(n);
    }
    IoResult r = Send(buf.data(), buf.size(), DeadlineIn(max_pause));
    if (!r.ok()) return {r.status, sent_head + sent + r.bytes};
    sent_head += start;
    sent += want;
    buf.clear();
  } while (sent < size);
  return {IoStatus::Ok, head.size() + size};
}

IoResult SocketStream::SendFile(std::string_view head, int file_fd, std::uint64_t size,
                                std::chrono::milliseconds max_pause) {
  // MSG_MORE holds the head back until the file's bytes follow, so a small answer is one
  // segment; the file goes from the page cache to the socket without a copy (sendfile).
  std::size_t head_done = 0;
  std::uint64_t offset = 0;
  while (head_done < head.size() || offset < size) {
    const TryResult r = head_done < head.size()
                            ? TrySendFlags(head.data() + head_done, head.size() - head_done, size > 0 ? MSG_MORE : 0)
                            : TrySendFile(file_fd, offset, size - offset);
    if (r.status != IoStatus::Ok) return {r.status, head_done + static_cast<std::size_t>(offset)};
    if (head_done < head.size()) head_done += r.bytes;
    IoStatus st;
    if (r.wait != IoWait::None && !WaitFor(r.wait, DeadlineIn(max_pause), st))
      return {st, head_done + static_cast<std::size_t>(offset)};
  }
  return {IoStatus::Ok, head.size() + static_cast<std::size_t>(size)};
}

void SocketStream::Shutdown(Deadline) noexcept {
  if (fd_ >= 0) ::shutdown(fd_, SHUT_WR);
}

}  // namespace ov
