// A byte stream over one accepted TCP connection, plain or TLS, with deadlines.
//
// Every operation takes an absolute deadline (steady clock) and reports what happened
// explicitly, so a caller never blocks past its deadline and can tell a quiet peer from a
// closed or broken one.  The socket is non-blocking; waits use poll().
//
// A stream has one I/O owner at a time: an HTTP event loop (through the Try* calls, which never
// wait), the HTTP handler thread, or the WebSocket hub after a /ws hand-over.  Only Fd(),
// PeerAddress(), PeerPort() and Abort() may be used by others.
#pragma once

#include <sys/socket.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace ov {

using StreamClock = std::chrono::steady_clock;
using Deadline = StreamClock::time_point;

// A deadline `d` from now.
inline Deadline DeadlineIn(std::chrono::milliseconds d) { return StreamClock::now() + d; }

enum class IoStatus : std::uint8_t {
  Ok = 0,       // bytes moved (Recv: at least one; Send: all of them)
  Timeout = 1,  // the deadline passed first
  Closed = 2,   // the peer closed the connection in order
  Error = 3,    // reset, protocol error or local failure
};

struct IoResult {
  IoStatus status = IoStatus::Ok;
  std::size_t bytes = 0;  // bytes moved before the status was reached
  bool ok() const noexcept { return status == IoStatus::Ok; }
};

const char* IoStatusText(IoStatus s) noexcept;

// What a non-blocking call must wait for before it can go on.
enum class IoWait : std::uint8_t { None = 0, Readable = 1, Writable = 2 };

// The outcome of one non-blocking step.  status Ok with wait None: bytes were moved (or the
// step is complete); status Ok with a wait: nothing more can move until the socket is ready.
struct TryResult {
  IoStatus status = IoStatus::Ok;
  std::size_t bytes = 0;
  IoWait wait = IoWait::None;
};

// A connection as accept4 returned it: already non-blocking and close-on-exec, with the peer
// address it reported (SocketAddressText), so a stream made from it needs no further system
// call.
struct TOVAcceptedSocket {
  int fd = -1;
  std::string peer_address;
  std::uint16_t peer_port = 0;
};

class Stream {
 public:
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;
  virtual ~Stream();

  // One non-blocking read of at most len bytes: bytes > 0, a wait, Closed or Error.
  virtual TryResult TryRecv(void* buf, std::size_t len) noexcept = 0;
  // One non-blocking write of at most len bytes: bytes > 0, a wait, Closed or Error.
  virtual TryResult TrySend(const void* buf, std::size_t len) noexcept = 0;
  // Reads at least one and at most len bytes (TryRecv, waiting as it asks).
  IoResult Recv(void* buf, std::size_t len, Deadline deadline);
  // Writes all len bytes (TrySend, waiting as it asks).
  IoResult Send(const void* buf, std::size_t len, Deadline deadline);
  // Writes head, then the first size bytes of the regular file file_fd (read from offset 0;
  // the descriptor's own offset is left alone).  Each wait for the peer may last max_pause.
  // A file shorter than size ends with Error: the length promised in the head cannot be kept.
  // Here: read in pieces through a buffer and passed to Send (TLS encrypts in user space).
  virtual IoResult SendFile(std::string_view head, int file_fd, std::uint64_t size,
                            std::chrono::milliseconds max_pause);
  // Ends our sending direction in order (TLS close notification, then a TCP half-close).
  // Reading may go on.  Errors are ignored.
  virtual void Shutdown(Deadline deadline) noexcept = 0;
  // Bytes already received and decoded that Recv can return without waiting.
  virtual std::size_t BytesAvailable() const noexcept = 0;
  virtual bool IsSecure() const noexcept = 0;

  // Half-closes, then reads and discards what the peer still sends until it closes, the
  // time runs out or max_bytes were discarded; then closes.  Used after an answer that was
  // sent before the request was read in full: closing with unread data makes the kernel
  // reset the connection, and the peer may lose the answer.
  void LingeringClose(std::chrono::milliseconds max_wait, std::size_t max_bytes) noexcept;
  // Closes the socket at once.  Idempotent.
  void Close() noexcept;
  // Interrupts blocked I/O from another thread: later and pending waits fail at once.
  void Abort() noexcept;

  int Fd() const noexcept { return fd_; }
  const std::string& PeerAddress() const noexcept { return peer_address_; }
  std::uint16_t PeerPort() const noexcept { return peer_port_; }

 protected:
  // Takes ownership of fd (made non-blocking and close-on-exec here).
  explicit Stream(int fd);
  // Takes ownership of the accepted socket as it is.
  explicit Stream(const TOVAcceptedSocket& s);
  // Waits until fd is ready for events; true when ready, else status says why.
  bool WaitReady(short events, Deadline deadline, IoStatus& status) const noexcept;
  // Waits for what a Try* step asked for; true when it may go on.
  bool WaitFor(IoWait wait, Deadline deadline, IoStatus& status) const noexcept;

  int fd_ = -1;
  std::string peer_address_;
  std::uint16_t peer_port_ = 0;
};

// A plain TCP stream.
class SocketStream final : public Stream {
 public:
  explicit SocketStream(int fd) : Stream(fd) {}
  explicit SocketStream(const TOVAcceptedSocket& s) : Stream(s) {}
  TryResult TryRecv(void* buf, std::size_t len) noexcept override;
  TryResult TrySend(const void* buf, std::size_t len) noexcept override { return TrySendFlags(buf, len, 0); }
  // TrySend with extra send(2) flags (MSG_MORE: more follows at once, hold the segment).
  TryResult TrySendFlags(const void* buf, std::size_t len, int flags) noexcept;
  // One non-blocking sendfile of at most count bytes of file_fd from *offset (advanced by what
  // moved); bytes 0 without a wait means the file ended early (Error).
  TryResult TrySendFile(int file_fd, std::uint64_t& offset, std::uint64_t count) noexcept;
  // The head leaves with the file's first bytes, and the file goes from the page cache to the
  // socket without a copy through user space (sendfile).
  IoResult SendFile(std::string_view head, int file_fd, std::uint64_t size,
                    std::chrono::milliseconds max_pause) override;
  void Shutdown(Deadline deadline) noexcept override;
  std::size_t BytesAvailable() const noexcept override { return 0; }
  bool IsSecure() const noexcept override { return false; }
};

// Text form of an IPv4/IPv6 socket address and its port.
void SocketPeer(int fd, std::string& address, std::uint16_t& port) noexcept;
// The same for an address already at hand (empty and 0 for another family).
void SocketAddressText(const sockaddr_storage& ss, std::string& address, std::uint16_t& port) noexcept;

}  // namespace ov
