#include "ov_discovery.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/sha.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <optional>
#include <stdexcept>

#include "ov_config.h"
#include "ov_consts.h"
#include "ov_json_helpers.h"
#include "ov_log.h"
#include "ov_text.h"

namespace ov {

TOVService<TOVDiscoveryBeacon> DiscoveryBeacon;

namespace {

// A beacon this far from the receiver's own clock is refused when a key is set.
constexpr std::int64_t kMaxClockSkewSeconds = 60;
constexpr std::size_t kMaxDatagram = 4095;

// Closes a descriptor at the end of a scope.
class FdGuard {
 public:
  explicit FdGuard(int fd) noexcept : fd_(fd) {}
  ~FdGuard() {
    if (fd_ >= 0) ::close(fd_);
  }
  FdGuard(const FdGuard&) = delete;
  FdGuard& operator=(const FdGuard&) = delete;
  int get() const noexcept { return fd_; }

 private:
  int fd_;
};

std::uint16_t CheckedPort(int port) {
  if (port < 1 || port > 65535) throw std::invalid_argument(Format("Invalid discovery port: %d", port));
  return static_cast<std::uint16_t>(port);
}

// An integer member: its value, the default when absent, nullopt when of another type.
std::optional<std::int64_t> IntMember(const TJSON& o, const char* name, std::int64_t def) {
  auto it = o.find(name);
  if (it == o.end()) return def;
  if (!it->is_number_integer()) return std::nullopt;
  return it->get<std::int64_t>();
}

// A port member: 0..65535, the default when absent; nullopt for any other value.
std::optional<std::int32_t> PortMember(const TJSON& o, const char* name, std::int32_t def) {
  auto v = IntMember(o, name, def);
  if (!v || *v < 0 || *v > 65535) return std::nullopt;
  return static_cast<std::int32_t>(*v);
}

// Checks one received datagram; fills the ports and flag only when it is acceptable.
bool AcceptBeacon(std::string_view text, const std::string& key, std::int32_t& http_port, std::int32_t& ws_port,
                  bool& use_ssl) {
  TJSON o;
  if (!ParseJsonText(text, o) || !o.is_object()) return false;
  auto type = o.find("type");
  if (type == o.end() || !type->is_string() || type->get<std::string>() != "orvanta_beacon") return false;
  if (!key.empty()) {
    auto ts = o.find("timestamp");
    auto hash = o.find("hash");
    if (ts == o.end() || !ts->is_number_integer() || hash == o.end() || !hash->is_string()) return false;
    const std::int64_t timestamp = ts->get<std::int64_t>();
    const std::int64_t own = LocalTimeAsUTCSeconds(std::chrono::system_clock::now());
    // Written so that no difference of two 64-bit values can overflow.
    if (timestamp < own - kMaxClockSkewSeconds || timestamp > own + kMaxClockSkewSeconds) return false;
    if (!EqualsIgnoreCase(hash->get<std::string>(), ComputeBeaconHash(key, timestamp))) return false;
  }
  auto http = PortMember(o, "http_port", 8080);
  auto ws = PortMember(o, "ws_port", 0);
  bool ssl = false;
  if (auto it = o.find("ssl"); it != o.end()) {
    if (!it->is_boolean()) return false;
    ssl = it->get<bool>();
  }
  if (!http || !ws) return false;
  http_port = *http;
  ws_port = *ws;
  use_ssl = ssl;
  return true;
}

}  // namespace

std::string ComputeBeaconHash(std::string_view key, std::int64_t timestamp) {
  std::string input(key);
  input += std::to_string(timestamp);
  unsigned char digest[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char*>(input.data()), input.size(), digest);
  return HexEncode(digest, sizeof digest);
}

std::int64_t LocalTimeAsUTCSeconds(std::chrono::system_clock::time_point t) {
  const std::time_t s = std::chrono::system_clock::to_time_t(t);
  std::tm lt{};
  localtime_r(&s, &lt);
  return static_cast<std::int64_t>(s) + lt.tm_gmtoff;
}

// ---- the beacon ------------------------------------------------------------------------------

TOVDiscoveryBeacon::TOVDiscoveryBeacon(int port, std::int32_t interval_seconds, std::string discovery_key,
                                       std::string server_name, std::int32_t http_port, std::int32_t ws_port,
                                       bool use_ssl)
    : port_(CheckedPort(port)),
      // An interval of 0 or less would send in a tight loop and flood the network.
      interval_(std::max<std::int32_t>(interval_seconds, 1)),
      key_(std::move(discovery_key)),
      server_name_(std::move(server_name)),
      http_port_(http_port),
      ws_port_(ws_port),
      use_ssl_(use_ssl) {
  socket_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (socket_ < 0) throw std::runtime_error("Failed to create discovery beacon socket");
  const int on = 1;
  if (::setsockopt(socket_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
    ::close(socket_);
    throw std::runtime_error("Failed to create discovery beacon socket");
  }
  try {
    thread_ = std::thread([this] { Execute(); });
  } catch (...) {
    ::close(socket_);
    throw;
  }
}

TOVDiscoveryBeacon::~TOVDiscoveryBeacon() {
  SignalStop();
  WaitFor();
  ::close(socket_);
}

void TOVDiscoveryBeacon::SignalStop() noexcept {
  {
    std::lock_guard<std::mutex> g(mu_);
    stop_ = true;
  }
  cv_.notify_all();
}

void TOVDiscoveryBeacon::WaitFor() noexcept {
  std::lock_guard<std::mutex> g(join_mu_);
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

std::string TOVDiscoveryBeacon::BuildBeacon(std::int64_t timestamp) const {
  TJSON o = TJSON::object();
  o["type"] = "orvanta_beacon";
  o["name"] = server_name_;
  o["version"] = kVersion;
  o["http_port"] = http_port_;
  o["ws_port"] = ws_port_;
  o["ssl"] = use_ssl_;
  o["timestamp"] = timestamp;
  if (!key_.empty()) o["hash"] = ComputeBeaconHash(key_, timestamp);
  return JsonSpaced(o);
}

void TOVDiscoveryBeacon::SendBeacon() {
  const std::string text = BuildBeacon(LocalTimeAsUTCSeconds(std::chrono::system_clock::now()));
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port_);
  to.sin_addr.s_addr = htonl(INADDR_BROADCAST);
  if (::sendto(socket_, text.data(), text.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0)
    throw std::runtime_error(std::strerror(errno));
}

void TOVDiscoveryBeacon::Execute() {
  std::unique_lock<std::mutex> lk(mu_);
  while (!stop_) {
    lk.unlock();
    try {
      SendBeacon();
    } catch (...) {
      // A failed send (no route yet, interface down) is tried again at the next interval.
    }
    lk.lock();
    cv_.wait_for(lk, std::chrono::seconds(interval_), [this] { return stop_; });
  }
}

// ---- the node side ---------------------------------------------------------------------------

bool OVDiscoverPrimary(std::uint16_t port, std::int32_t timeout_seconds, const std::string& discovery_key,
                       std::string& host, std::int32_t& http_port, std::int32_t& ws_port, bool& use_ssl) {
  host.clear();
  http_port = 0;
  ws_port = 0;
  use_ssl = false;
  FdGuard sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (sock.get() < 0) return false;
  const int on = 1;
  ::setsockopt(sock.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  if (::bind(sock.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) return false;

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(std::max<std::int32_t>(timeout_seconds, 0));
  char buf[kMaxDatagram];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{sock.get(), POLLIN, 0};
    const int r = ::poll(&p, 1, static_cast<int>(left.count()));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    sockaddr_in from{};
    socklen_t from_len = sizeof from;
    const ssize_t n = ::recvfrom(sock.get(), buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &from_len);
    if (n < 0) continue;
    std::int32_t http = 0, ws = 0;
    bool ssl = false;
    if (!AcceptBeacon(std::string_view(buf, static_cast<std::size_t>(n)), discovery_key, http, ws, ssl)) continue;
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
    host = text;
    http_port = http;
    ws_port = ws;
    use_ssl = ssl;
    return true;
  }
}

// ---- start-up and shutdown -------------------------------------------------------------------

void StartupDiscoveryBeacon() {
  auto cfg = Config.Get();
  if (!cfg || !cfg->ReadBool("discovery", "enabled", false)) return;
  try {
    const std::int32_t server_port = cfg->ServerPort();
    DiscoveryBeacon.Publish(std::make_unique<TOVDiscoveryBeacon>(
        cfg->ReadInteger("discovery", "port", kDiscoveryDefaultPort),
        cfg->ReadInteger("discovery", "interval", kDiscoveryDefaultInterval), cfg->ReadString("discovery", "key", ""),
        cfg->ReadString("server", "name", kProductName), server_port, server_port, cfg->ServerUseSSL()));
  } catch (const std::exception& e) {
    LogError("Discovery beacon failed to start: %s", e.what());
    return;
  }
  auto beacon = DiscoveryBeacon.Get();
  if (beacon) LogInfo("Discovery beacon started on UDP port %d (interval: %ds)", beacon->Port(), beacon->Interval());
}

void ShutdownDiscoveryBeacon(const std::function<void(const std::string&)>& step) {
  StopThreadService(DiscoveryBeacon, step, "DiscoveryBeacon.SignalStop", &TOVDiscoveryBeacon::SignalStop,
                    "DiscoveryBeacon.WaitFor", &TOVDiscoveryBeacon::WaitFor);
}

}  // namespace ov
