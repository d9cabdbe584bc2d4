// UDP discovery: the beacon thread that announces this server on the local network, and the
// receiving side that BBS front-end nodes use to find their primary server.
//
// The datagram is the spaced JSON text of one object:
//   { "type" : "orvanta_beacon", "name" : ..., "version" : ..., "http_port" : ..., "ws_port" : ...,
//     "ssl" : ..., "timestamp" : ...[, "hash" : ...] }
// "timestamp" is the local wall clock counted as if it were UTC, and "hash" (only with a key)
// is ComputeBeaconHash(key, timestamp).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "ov_service.h"

namespace ov {

inline constexpr int kDiscoveryDefaultPort = 10088;
inline constexpr int kDiscoveryDefaultInterval = 10;

// SHA-1 of the key directly followed by the timestamp in decimal, as 40 lower-case hex digits.
std::string ComputeBeaconHash(std::string_view key, std::int64_t timestamp);

// Seconds since 1970-01-01 00:00:00 of the local wall-clock time t, counted as if the local
// time were UTC (no zone conversion): UTC seconds plus the zone's offset at t.
std::int64_t LocalTimeAsUTCSeconds(std::chrono::system_clock::time_point t);

class TOVDiscoveryBeacon {
 public:
  // Opens the broadcast socket and starts the thread, whose first datagram goes out at once.
  // An interval below 1 s is taken as 1 s (never a tight loop).  Throws std::invalid_argument
  // for a port outside 1..65535 and std::runtime_error "Failed to create discovery beacon
  // socket" when the socket cannot be made.
  TOVDiscoveryBeacon(int port, std::int32_t interval_seconds, std::string discovery_key, std::string server_name,
                     std::int32_t http_port, std::int32_t ws_port, bool use_ssl);
  // SignalStop, WaitFor, then closes the socket.
  ~TOVDiscoveryBeacon();
  TOVDiscoveryBeacon(const TOVDiscoveryBeacon&) = delete;
  TOVDiscoveryBeacon& operator=(const TOVDiscoveryBeacon&) = delete;

  // Any thread: ends the wait between datagrams at once; no datagram follows.
  void SignalStop() noexcept;
  // Waits until the thread has ended.
  void WaitFor() noexcept;

  // Builds and sends one datagram to 255.255.255.255 on the port; throws on a send failure.
  void SendBeacon();
  // The datagram text for one timestamp.
  std::string BuildBeacon(std::int64_t timestamp) const;

  int Port() const noexcept { return port_; }
  // The interval in use (after clamping), in seconds.
  std::int32_t Interval() const noexcept { return interval_; }

 private:
  void Execute();

  // Constant after construction.
  const std::uint16_t port_;
  const std::int32_t interval_;
  const std::string key_;
  const std::string server_name_;
  const std::int32_t http_port_;
  const std::int32_t ws_port_;
  const bool use_ssl_;
  int socket_ = -1;  // closed by the destructor only, after the thread has ended

  // State below is protected by mu_.
  std::mutex mu_;
  std::condition_variable cv_;
  bool stop_ = false;

  std::mutex join_mu_;
  std::thread thread_;
};

extern TOVService<TOVDiscoveryBeacon> DiscoveryBeacon;

// The node side: listens on the UDP port (any address, address reuse) for up to
// timeout_seconds and accepts the first datagram that is a JSON object of type
// "orvanta_beacon" whose members have their JSON types; with a key, its timestamp must lie
// within 60 s of the receiver's own (same counting) and its hash must match, ignoring case.
// Outputs: the sender's IPv4 address (dotted), "http_port" (8080 when missing), "ws_port" (0
// when missing), "ssl" (false when missing).  False on time-out or when the socket cannot be
// bound; the outputs are then empty host, 0, 0 and false.
bool OVDiscoverPrimary(std::uint16_t port, std::int32_t timeout_seconds, const std::string& discovery_key,
                       std::string& host, std::int32_t& http_port, std::int32_t& ws_port, bool& use_ssl);

// Start-up step: when [discovery] enabled, creates DiscoveryBeacon from [discovery] port,
// interval and key, [server] name, [server] port (as both HTTP and WebSocket port: /ws is
// served there) and [server] use_ssl, and logs "Discovery beacon started on UDP port %d
// (interval: %ds)".  A failure logs "Discovery beacon failed to start: %s" and leaves the
// beacon absent; it never ends start-up.
void StartupDiscoveryBeacon();
// Shutdown steps "DiscoveryBeacon.SignalStop" and "DiscoveryBeacon.WaitFor"; nothing when absent.
void ShutdownDiscoveryBeacon(const std::function<void(const std::string&)>& step);

}  // namespace ov
