// TCP listener and connection socket set-up shared by the HTTP server and the WebSocket hub.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

namespace ov {

// Which step of opening a listener failed.
enum class TOVListenStep : std::uint8_t { Port, Address, Socket, Bind, Listen };

// Carries the step and the system's reason, so that each server words its own message.
class EListenError : public std::runtime_error {
 public:
  EListenError(TOVListenStep step, int err, const std::string& reason)
      : std::runtime_error(reason), step_(step), err_(err) {}
  TOVListenStep Step() const noexcept { return step_; }
  // errno of the failed call (Socket, Bind, Listen); EINVAL for a bad port or address.
  int Error() const noexcept { return err_; }

 private:
  TOVListenStep step_;
  int err_;
};

struct TOVListener {
  int fd = -1;             // owned by the caller
  std::uint16_t port = 0;  // the bound port (the one the system chose for port 0)
};

// A non-blocking, close-on-exec IPv4 listener on address:port with SO_REUSEADDR, so that a
// restart binds at once while connections of the previous process linger in TIME_WAIT.  An
// empty address (or "0.0.0.0") is every interface; a host name is resolved.  port 0 takes a
// free port.  Throws EListenError; nothing is left open then.
TOVListener OpenTcpListener(const std::string& address, int port, int backlog);

// TCP keep-alive probing: a dead peer is found after idle + interval * count seconds.
struct TOVKeepAlive {
  int idle_s = 30;
  int interval_s = 10;
  int count = 3;
};

// Options of an accepted connection: no Nagle delay (answers leave at once) and, when given,
// keep-alive probing.  Failures are ignored (the connection works without them).
void SetConnectionOptions(int fd, std::optional<TOVKeepAlive> keepalive = std::nullopt) noexcept;

// Raises the process's soft open-file limit to its hard limit, but not past `cap` (never
// lowers it): every connection the servers hold is a descriptor, and the usual soft limit of
// 1024 would stop them near a thousand clients.  Returns the soft limit in force afterwards
// (`cap` when the system reports none).
std::uint64_t RaiseOpenFileLimit(std::uint64_t cap = 65536) noexcept;

}  // namespace ov
