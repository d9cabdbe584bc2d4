#include "ov_ws_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <ctime>

#include "ov_auth.h"
#include "ov_config.h"
#include "ov_consts.h"
#include "ov_database.h"
#include "ov_event_bus.h"
#include "ov_http_server.h"
#include "ov_http_types.h"
#include "ov_json_reply.h"
#include "ov_log.h"
#include "ov_security.h"
#include "ov_sqlconn_sqlite.h"
#include "ov_ssl_handler.h"
#include "ov_websocket.h"
#include "ov_ws_sqlbridge.h"

namespace ov {

TOVService<TOVWSServer> WSServer;

// ---- helpers ----------------------------------------------------------------------------------

namespace {

// The parse error text for a message that ParseJsonText refused (the depth limit included),
// found without building a document.
class ErrorSax : public nlohmann::json_sax<TJSON> {
 public:
  std::string error;
  bool null() override { return true; }
  bool boolean(bool) override { return true; }
  bool number_integer(number_integer_t) override { return true; }
  bool number_unsigned(number_unsigned_t) override { return true; }
  bool number_float(number_float_t, const string_t&) override { return true; }
  bool string(string_t&) override { return true; }
  bool binary(binary_t&) override { return true; }
  bool start_object(std::size_t) override { return Enter(); }
  bool key(string_t&) override { return true; }
  bool end_object() override { return Leave(); }
  bool start_array(std::size_t) override { return Enter(); }
  bool end_array() override { return Leave(); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& ex) override {
    error = ex.what();
    return false;
  }

 private:
  bool Enter() {
    if (++depth_ > kMaxJsonDepth) {
      error = Format("nesting deeper than %d levels", kMaxJsonDepth);
      return false;
    }
    return true;
  }
  bool Leave() {
    --depth_;
    return true;
  }
  int depth_ = 0;
};

std::string JsonErrorText(const std::string& text) {
  ErrorSax sax;
  try {
    TJSON::sax_parse(text, &sax);
  } catch (const std::exception& e) {
    return e.what();
  }
  return sax.error.empty() ? std::string("invalid JSON") : sax.error;
}

std::string ErrnoText() { return std::to_string(errno); }

// "d-m-yy hh:nn:ss" in local time.
std::string DefaultDateTime(std::chrono::system_clock::time_point t) {
  std::time_t s = std::chrono::system_clock::to_time_t(t);
  std::tm lt{};
  localtime_r(&s, &lt);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%d-%d-%02d %02d:%02d:%02d", lt.tm_mday, lt.tm_mon + 1, lt.tm_year % 100, lt.tm_hour,
                lt.tm_min, lt.tm_sec);
  return buf;
}

std::string UtcStampMillis() {
  auto now = std::chrono::system_clock::now();
  std::time_t s = std::chrono::system_clock::to_time_t(now);
  long ms = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
  std::tm ut{};
  gmtime_r(&s, &ut);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", ut.tm_year + 1900, ut.tm_mon + 1, ut.tm_mday,
                ut.tm_hour, ut.tm_min, ut.tm_sec, ms);
  return buf;
}

// Event names are kept lower-cased; name must be lower case too.
bool IsSubscribed(const TOVWSClientInfo& c, std::string_view name) {
  return std::find(c.SubscribedEvents.begin(), c.SubscribedEvents.end(), name) != c.SubscribedEvents.end();
}

bool ContainsIgnoreCase(const std::vector<std::string>& list, const std::string& name) {
  for (const auto& s : list)
    if (EqualsIgnoreCase(s, name)) return true;
  return false;
}

std::string JoinComma(const std::vector<std::string>& v) {
  std::string r;
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (i) r += ",";
    r += v[i];
  }
  return r;
}

std::int32_t ClampI32(std::int64_t v) {
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(v, INT32_MIN, INT32_MAX));
}

TJSON ParsedArrayOrEmpty(const std::string& text) {
  if (text.empty()) return TJSON::array();
  TJSON v;
  if (ParseJsonText(text, v) && v.is_array()) return v;
  return TJSON::array();
}

void SetSocketOptions(int fd) {
  int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  int idle = 30, intvl = 10, cnt = 3;
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &intvl, sizeof intvl);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &cnt, sizeof cnt);
}

const char* kEventStatusRefresh[] = {"user.login",    "user.logout",    "user.create",     "session.start",
                                     "session.end",   "connection.new", "connection.close"};

}  // namespace

// ---- internal records ----------------------------------------------------------------------------

struct TOVWSServer::Worker {
  std::uint64_t key = 0;
  Origin origin = Origin::HubPort;
  std::string ip;
  std::unique_ptr<Stream> stream;  // until the connection takes it
  std::string tls_version;
  std::mutex mu;                   // guards live_stream and conn for Abort
  Stream* live_stream = nullptr;
  std::shared_ptr<TWebSocketConnection> conn;
  std::int32_t client_id = 0;
  std::atomic<bool> aborted{false};
  std::thread thread;

  void Abort() {
    aborted.store(true);
    std::lock_guard<std::mutex> g(mu);
    if (conn) conn->Disconnect();
    else if (live_stream) live_stream->Abort();
  }
};

struct TOVWSServer::Pending {
  std::string id;
  std::int32_t target = 0;  // the client the command went to; replies from others are dropped
  bool ready = false;
  TJSON result;
  std::condition_variable cv;
};

// ---- life ----------------------------------------------------------------------------------------

TOVWSServer::TOVWSServer(std::string address, int port, int ping_interval, bool use_ssl, std::string cert_file,
                         std::string key_file, std::string ssl_min_version)
    : address_(std::move(address)),
      port_(port),
      ping_interval_(ping_interval),
      use_ssl_(use_ssl),
      cert_file_(std::move(cert_file)),
      key_file_(std::move(key_file)),
      ssl_min_version_(ToLowerAscii(ssl_min_version)) {
  RegisterCoreMessageHandlers();
}

TOVWSServer::~TOVWSServer() {
  Stop();
  WakePending();
  if (stop_fd_ >= 0) ::close(stop_fd_);
}

void TOVWSServer::Start() {
  if (Active()) return;
  LogInfo("[ws] Starting WebSocket server on %s:%d", address_, port_);
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) throw std::runtime_error(Format("WebSocket: failed to create socket (errno=%s)", ErrnoText()));
  int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<std::uint16_t>(port_));
  // A port outside 16 bits would otherwise be cut down to another port.
  bool addr_ok = port_ >= 0 && port_ <= 65535;
  if (addr_ok) {
    if (address_ == "0.0.0.0" || address_.empty()) sa.sin_addr.s_addr = htonl(INADDR_ANY);
    else addr_ok = ::inet_pton(AF_INET, address_.c_str(), &sa.sin_addr) == 1;
  }
  if (!addr_ok || ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    int err = addr_ok ? errno : EINVAL;
    ::close(fd);
    throw std::runtime_error(Format("WebSocket: failed to bind to %s:%d (errno=%d)", address_, port_, err));
  }
  if (::listen(fd, 128) != 0) {
    int err = errno;
    ::close(fd);
    throw std::runtime_error(Format("WebSocket: failed to listen (errno=%d)", err));
  }
  if (port_ == 0) {
    socklen_t len = sizeof sa;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) == 0) port_ = ntohs(sa.sin_port);
  }
  if (use_ssl_) {
    // A context that cannot load would refuse every client; stop here instead of serving a
    // port on which nothing can connect.
    if (!InitSharedSSLContext(cert_file_, key_file_, "")) {
      ::close(fd);
      throw std::runtime_error("WebSocket: TLS set-up failed: " + LastSSLInitError());
    }
    LogInfo("[ws] SSL enabled for WebSocket server (cert: %s, key: %s, min: %s)", cert_file_, key_file_,
            ssl_min_version_);
  }
  if (stop_fd_ < 0) stop_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  std::uint64_t stale;
  [[maybe_unused]] ssize_t drained = ::read(stop_fd_, &stale, sizeof stale);  // a wake-up left by Stop
  listen_fd_ = fd;
  {
    std::lock_guard<std::mutex> g(pending_mu_);
    pending_closed_ = false;
  }
  active_.store(true, std::memory_order_release);
  try {
    accept_thread_ = std::thread(&TOVWSServer::AcceptLoop, this);
    ping_thread_ = std::thread(&TOVWSServer::PingLoop, this);
  } catch (...) {
    Stop();
    throw;
  }
  LogInfo("[ws] WebSocket server started on port %d", port_);
}

void TOVWSServer::Stop() {
  if (!active_.exchange(false)) return;
  LogInfo("[ws] Stopping WebSocket server...");
  if (stop_fd_ >= 0) {
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t r = ::write(stop_fd_, &one, sizeof one);
  }
  {
    std::lock_guard<std::mutex> g(ping_mu_);
  }
  ping_cv_.notify_all();
  if (accept_thread_.joinable()) accept_thread_.join();
  if (ping_thread_.joinable()) ping_thread_.join();
  if (listen_fd_ >= 0) {
    ::close(listen_fd_);
    listen_fd_ = -1;
  }
  WakePending();
  // Every client thread ends: handshakes are interrupted, connections dropped.
  std::vector<std::shared_ptr<Worker>> all;
  {
    std::lock_guard<std::mutex> g(workers_mu_);
    for (auto& [k, w] : workers_) all.push_back(w);
  }
  for (auto& w : all) w->Abort();
  for (auto& w : all)
    if (w->thread.joinable()) w->thread.join();
  {
    std::lock_guard<std::mutex> g(workers_mu_);
    workers_.clear();
    finished_workers_.clear();
  }
  std::vector<std::string> closed_ips;
  {
    std::lock_guard<TOVLock> g(clients_lock_);
    for (auto& s : clients_) {
      if (!s.Active) continue;
      if (s.Info.WsConn) s.Info.WsConn->Disconnect();
      closed_ips.push_back(s.Info.IPAddress);
    }
    clients_.clear();
    subscribed_admins_.store(0);
  }
  if (OnConnectionClosed)
    for (const auto& ip : closed_ips)
      if (!ip.empty()) OnConnectionClosed(ip);
  {
    std::lock_guard<std::mutex> g(door_mu_);
    door_routes_.clear();
  }
  LogInfo("[ws] WebSocket server stopped");
}

void TOVWSServer::WakePending() {
  std::lock_guard<std::mutex> g(pending_mu_);
  pending_closed_ = true;
  for (auto& [k, p] : pending_) p->cv.notify_all();
}

// ---- threads -------------------------------------------------------------------------------------

void TOVWSServer::AcceptLoop() {
  LogInfo("[ws] Accept thread started on %s:%d", address_, port_);
  auto last_full_warning = StreamClock::time_point{};
  while (Active()) {
    pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
    int r = ::poll(fds, 2, 1000);
    if (!Active()) break;
    if (r <= 0 || !(fds[0].revents & POLLIN)) {
      ReapWorkers();
      continue;
    }
    sockaddr_in peer{};
    socklen_t plen = sizeof peer;
    int fd = ::accept4(listen_fd_, reinterpret_cast<sockaddr*>(&peer), &plen, SOCK_CLOEXEC);
    if (fd < 0) {
      if (!Active()) break;
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNABORTED) continue;
      LogError("[ws] Accept loop error: %s", std::strerror(errno));
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      continue;
    }
    char ipbuf[INET_ADDRSTRLEN] = {0};
    ::inet_ntop(AF_INET, &peer.sin_addr, ipbuf, sizeof ipbuf);
    std::string ip = ipbuf;
    std::size_t live;
    {
      std::lock_guard<std::mutex> g(workers_mu_);
      live = workers_.size();
    }
    if (live >= tuning_.max_connections) {
      ::close(fd);
      auto now = StreamClock::now();
      if (now - last_full_warning > std::chrono::seconds(10)) {
        last_full_warning = now;
        LogWarning("[ws] Too many connections (%d); refusing %s", static_cast<std::int64_t>(live), ip);
      }
      continue;
    }
    SetSocketOptions(fd);
    try {
      auto w = std::make_shared<Worker>();
      w->origin = Origin::HubPort;
      w->ip = ip;
      if (use_ssl_) w->stream = std::make_unique<TOVOpenSSLHandler>(fd, ParseTlsMinVersion(ssl_min_version_));
      else w->stream = std::make_unique<SocketStream>(fd);
      fd = -1;
      StartWorker(w);
    } catch (const std::exception& e) {
      if (fd >= 0) ::close(fd);
      LogWarning("[ws] Accept error from %s: %s", ip, e.what());
    }
    ReapWorkers();
  }
  LogInfo("[ws] Accept thread stopped");
}

void TOVWSServer::PingLoop() {
  LogDebug("[ws] Ping thread started (interval=%ds)", ping_interval_);
  const auto interval = std::chrono::seconds(std::max(1, ping_interval_));
  while (Active()) {
    {
      std::unique_lock<std::mutex> lk(ping_mu_);
      ping_cv_.wait_for(lk, interval, [this] { return !Active(); });
    }
    if (!Active()) break;
    // One failing step never ends the pings: each is caught and logged for this cycle.
    auto guarded = [](const char* what, const std::function<void()>& fn) {
      try {
        fn();
      } catch (const std::exception& e) {
        LogError("[ws] Ping cycle error in %s: %s", what, e.what());
      } catch (...) {
        LogError("[ws] Ping cycle error in %s: %s", what, "unknown exception");
      }
    };
    guarded("SendPings", [this] { SendPings(); });
    guarded("ExpireDeadClients", [this] { ExpireDeadClients(); });
    guarded("BroadcastServerStatus", [this] { BroadcastServerStatus(); });
    guarded("BroadcastNodeState", [this] { BroadcastNodeState(); });
    ReapWorkers();
  }
  LogDebug("[ws] Ping thread stopped");
}

void TOVWSServer::StartWorker(std::shared_ptr<Worker> w) {
  std::lock_guard<std::mutex> g(workers_mu_);
  if (!Active()) throw std::runtime_error("WebSocket server not active");
  w->key = next_worker_key_++;
  workers_[w->key] = w;
  try {
    w->thread = std::thread(&TOVWSServer::WorkerMain, this, w);
  } catch (...) {
    workers_.erase(w->key);
    throw;
  }
}

void TOVWSServer::ReapWorkers() {
  std::vector<std::shared_ptr<Worker>> done;
  {
    std::lock_guard<std::mutex> g(workers_mu_);
    for (auto k : finished_workers_) {
      auto it = workers_.find(k);
      if (it == workers_.end()) continue;
      done.push_back(it->second);
      workers_.erase(it);
    }
    finished_workers_.clear();
  }
  for (auto& w : done)
    if (w->thread.joinable()) w->thread.join();
}

void TOVWSServer::WorkerMain(std::shared_ptr<Worker> w) {
  try {
    bool ok = true;
    if (w->origin == Origin::HubPort) ok = HubPortHandshake(*w);
    if (ok) ServeClient(*w);
  } catch (const std::exception& e) {
    if (w->client_id == 0) {
      if (Active()) LogWarning("[ws] Accept error from %s: %s", w->ip, e.what());
    } else {
      if (Active()) LogWarning("[ws] Client %d worker error: %s", w->client_id, e.what());
      if (w->conn) w->conn->Disconnect();
      if (Active()) RemoveClient(w->client_id);
    }
  } catch (...) {
    if (w->client_id != 0 && Active()) RemoveClient(w->client_id);
  }
  {
    std::lock_guard<std::mutex> g(w->mu);
    w->live_stream = nullptr;
  }
  w->stream.reset();
  std::lock_guard<std::mutex> g(workers_mu_);
  finished_workers_.push_back(w->key);
}

bool TOVWSServer::DoHandshake(Stream& stream, std::string& api_key, std::string& token, std::string& rest,
                              Deadline d) {
  std::string head, key;
  if (!WsReadRequestHead(stream, d, head, rest)) return false;
  if (!WsParseClientRequest(head, key, api_key, token)) return false;
  std::string answer = BuildUpgradeResponse(key);
  return stream.Send(answer.data(), answer.size(), d).ok();
}

bool TOVWSServer::HubPortHandshake(Worker& w) {
  const Deadline d = DeadlineIn(tuning_.handshake_timeout);
  Stream& s = *w.stream;
  {
    std::lock_guard<std::mutex> g(w.mu);
    w.live_stream = &s;
  }
  if (w.aborted.load()) return false;
  if (use_ssl_) {
    auto& tls = static_cast<TOVOpenSSLHandler&>(s);
    if (!tls.Accept(d)) {
      if (Active()) LogWarning("[ws] SSL handshake failed from %s", w.ip);
      return false;
    }
    w.tls_version = tls.ProtocolVersion();
  }
  std::string api_key, token, rest;
  if (!DoHandshake(s, api_key, token, rest, d)) {
    if (Active()) LogWarning("[ws] Handshake failed from %s", w.ip);
    return false;
  }
  // A rejected token is not an error by itself: the API key is tried next.
  bool admin = !token.empty() && ValidateWebAdmin(token);
  if (!admin && !ValidateClient(api_key)) {
    LogWarning("[ws] Unauthorized connection from %s", w.ip);
    std::string frame = EncodeCloseFrame(WS_CLOSE_POLICY_VIOLATION, "Unauthorized");
    if (s.Send(frame.data(), frame.size(), DeadlineIn(std::chrono::milliseconds(5000))).ok())
      s.LingeringClose(std::chrono::milliseconds(1000), 64 * 1024);
    return false;
  }
  auto conn = std::make_shared<TWebSocketConnection>(std::move(w.stream), w.ip, std::move(rest));
  conn->SetMaxQueueBytes(tuning_.max_queue_bytes);
  {
    std::lock_guard<std::mutex> g(w.mu);
    w.conn = conn;
    w.live_stream = nullptr;
  }
  if (w.aborted.load() || !Active()) return false;
  std::int32_t id = AddClient(conn, w.ip, admin, w.tls_version);
  w.client_id = id;
  if (admin) LogInfo("[ws] Web admin client %d connected from %s", id, w.ip);
  LogInfo("[ws] Client %d connected from %s", id, w.ip);
  SendWelcome(id);
  return true;
}

void TOVWSServer::ServeClient(Worker& w) {
  const std::int32_t id = w.client_id;
  std::shared_ptr<TWebSocketConnection> conn = w.conn;
  if (!conn) return;
  TWSHandlers h;
  h.OnText = [this, id](std::string&& text) { HandleMessage(id, text); };
  h.OnPong = [this, id](const std::string& p) {
    if (p.size() < 8) return;
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = (v << 8) | static_cast<unsigned char>(p[static_cast<std::size_t>(i)]);
    UpdateRttFromPong(id, static_cast<std::int64_t>(v));
  };
  std::string error;
  try {
    conn->Run(h, tuning_.idle_ping, [&conn] { conn->SendPing(""); });
  } catch (const std::exception& e) {
    error = e.what();
  }
  conn->Disconnect();
  if (!Active()) return;  // Stop cleans the table
  if (!error.empty()) LogWarning("[ws] Client %d worker error: %s", id, error);
  if (conn->Overflowed()) LogWarning("[ws] Client %d does not read; send queue full, disconnected", id);
  LogInfo("[ws] Client %d disconnected", id);
  RemoveClient(id);
}

// ---- client table --------------------------------------------------------------------------------

TOVWSServer::Slot* TOVWSServer::FindSlot(std::int32_t client_id) {
  for (auto& s : clients_)
    if (s.Active && s.Info.ID == client_id) return &s;
  return nullptr;
}

std::int32_t TOVWSServer::AddClient(std::shared_ptr<TWebSocketConnection> conn, const std::string& ip, bool web_admin,
                                    const std::string& tls_version) {
  std::int32_t id;
  {
    std::lock_guard<TOVLock> g(clients_lock_);
    id = next_client_id_++;
    Slot* slot = nullptr;
    for (auto& s : clients_)
      if (!s.Active) {
        slot = &s;
        break;
      }
    if (!slot) {
      clients_.emplace_back();
      slot = &clients_.back();
    }
    slot->Info = TOVWSClientInfo{};
    TOVWSClientInfo& c = slot->Info;
    c.ID = id;
    c.WsConn = std::move(conn);
    c.IPAddress = ip;
    c.ConnectedAt = std::chrono::system_clock::now();
    c.LastPong = StreamClock::now();
    c.TLSVersion = tls_version;
    if (web_admin) {
      c.ClientType = ctWebAdmin;
      c.Registered = true;
      c.ClientName = "WebAdmin";
      c.HasSubscriptions = true;
    }
    slot->Active = true;
  }
  if (OnConnectionOpened && !ip.empty()) OnConnectionOpened(ip);
  return id;
}

void TOVWSServer::RemoveClient(std::int32_t client_id) {
  std::string name, uuid, ip;
  bool registered = false, thin = false, found = false;
  {
    std::lock_guard<TOVLock> g(clients_lock_);
    if (Slot* s = FindSlot(client_id)) {
      found = true;
      name = s->Info.ClientName;
      uuid = s->Info.ClientUUID;
      ip = s->Info.IPAddress;
      registered = s->Info.Registered;
      thin = s->Info.ClientType == ctThinClient;
      if (s->Info.ClientType == ctWebAdmin && !s->Info.SubscribedEvents.empty()) subscribed_admins_.fetch_sub(1);
      if (s->Info.WsConn) s->Info.WsConn->Disconnect();
      s->Info = TOVWSClientInfo{};
      s->Active = false;
    }
  }
  if (!found) return;
  if (OnConnectionClosed && !ip.empty()) OnConnectionClosed(ip);
  // A door route whose end went away is dropped: a later client could otherwise receive
  // the session's data.
  std::vector<std::int32_t> dropped;
  {
    std::lock_guard<std::mutex> g(door_mu_);
    for (auto it = door_routes_.begin(); it != door_routes_.end();) {
      if (it->UserClientID == client_id || it->DoorServerClientID == client_id) {
        dropped.push_back(it->SessionID);
        it = door_routes_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto s : dropped) LogDebug("[ws] Door route removed: session=%d", s);
  if (!name.empty()) LogInfo("[ws] Client \"%s\" (ID=%d) removed", name, client_id);
  else LogDebug("[ws] Client %d removed (unregistered)", client_id);
  if (registered && !name.empty() && OnClientDisconnected) {
    try {
      OnClientDisconnected(name, uuid);
    } catch (const std::exception& e) {
      LogError("[ws] OnClientDisconnected callback error: %s", e.what());
    } catch (...) {
      LogError("[ws] OnClientDisconnected callback error: %s", "unknown exception");
    }
  }
  if (registered && thin) BroadcastNodeState();
}

std::int32_t TOVWSServer::TakeOver(TOVDetachedStream ds, const std::string& ip, bool web_admin) {
  if (!Active() || !ds.stream) throw std::runtime_error("WebSocket server not active");
  auto conn = std::make_shared<TWebSocketConnection>(std::move(ds.stream), ip, std::move(ds.pending));
  conn->SetMaxQueueBytes(tuning_.max_queue_bytes);
  std::int32_t id = AddClient(conn, ip, web_admin, "");
  SendWelcome(id);
  auto w = std::make_shared<Worker>();
  w->origin = web_admin ? Origin::HttpWebAdmin : Origin::HttpThinClient;
  w->ip = ip;
  w->conn = conn;
  w->client_id = id;
  try {
    StartWorker(w);
  } catch (...) {
    conn->Disconnect();
    RemoveClient(id);
    throw;
  }
  if (web_admin) LogInfo("[ws] Web admin client %d registered via HTTP upgrade from %s", id, ip);
  else LogInfo("[ws] Thin client %d registered via HTTP upgrade from %s", id, ip);
  return id;
}

std::int32_t TOVWSServer::RegisterWebAdmin(TOVDetachedStream stream, const std::string& ip_address) {
  return TakeOver(std::move(stream), ip_address, true);
}

std::int32_t TOVWSServer::RegisterThinClient(TOVDetachedStream stream, const std::string& ip_address) {
  return TakeOver(std::move(stream), ip_address, false);
}

std::shared_ptr<TWebSocketConnection> TOVWSServer::ConnOf(std::int32_t client_id) {
  std::lock_guard<TOVLock> g(clients_lock_);
  Slot* s = FindSlot(client_id);
  return s ? s->Info.WsConn : nullptr;
}

int TOVWSServer::FindClientIndex(std::int32_t client_id) {
  std::lock_guard<TOVLock> g(clients_lock_);
  for (std::size_t i = 0; i < clients_.size(); ++i)
    if (clients_[i].Active && clients_[i].Info.ID == client_id) return static_cast<int>(i);
  return -1;
}

std::optional<TOVWSClientInfo> TOVWSServer::GetClientInfo(std::int32_t client_id) {
  std::lock_guard<TOVLock> g(clients_lock_);
  Slot* s = FindSlot(client_id);
  if (!s) return std::nullopt;
  TOVWSClientInfo c = s->Info;
  c.WsConn.reset();
  return c;
}

void TOVWSServer::DisconnectClient(std::int32_t client_id) {
  if (auto conn = ConnOf(client_id)) conn->Close(WS_CLOSE_NORMAL, "Disconnected");
}

bool TOVWSServer::ValidateClient(const std::string& api_key) {
  if (ValidateClientFn) return ValidateClientFn(api_key);
  if (api_key.empty() || !DB.Exists()) return false;
  // The same test as for the REST API and the /ws upgrade on the HTTP port: a key that has
  // expired, or whose owner is inactive, locked or gone, opens nothing here either.
  TOVAuthUser user;
  return ValidateAPIKey(api_key, user);
}

bool TOVWSServer::ValidateWebAdmin(const std::string& token) {
  if (ValidateWebAdminFn) return ValidateWebAdminFn(token);
  if (token.empty()) return false;
  TOVAuthUser user;
  return TOVAuth::ValidateJWT(token, user) && user.IsAdmin;
}

// ---- sending -------------------------------------------------------------------------------------

void TOVWSServer::SendText(std::int32_t client_id, const std::string& text) {
  auto conn = ConnOf(client_id);
  if (!conn) {
    LogWarning("[ws] SendToClient: client %d not found (idx=%d)", client_id, -1);
    return;
  }
  if (conn->SendText(text)) LogDebug("[ws] SendToClient: wrote %d bytes to client %d", text.size(), client_id);
  else LogDebug("[ws] SendToClient write error to client %d: %s", client_id, "connection closed");
}

void TOVWSServer::SendToClient(std::int32_t client_id, const TJSON& msg) { SendText(client_id, JsonCompact(msg)); }

void TOVWSServer::PushCommand(const std::string& protocol, const TJSON& command) {
  const std::string text = JsonCompact(command);
  std::shared_ptr<TWebSocketConnection> conn;
  {
    std::lock_guard<TOVLock> g(clients_lock_);
    for (auto& s : clients_)
      if (s.Active && s.Info.Registered && ContainsIgnoreCase(s.Info.Protocols, protocol)) {
        conn = s.Info.WsConn;
        break;
      }
  }
  if (!conn) {
    LogDebug("[ws] PushCommand: no client found for protocol \"%s\"", protocol);
    return;
  }
  if (!conn->SendText(text)) LogDebug("[ws] PushCommand write error: %s", "connection closed");
}

void TOVWSServer::Broadcast(const TJSON& msg) {
  const std::string text = JsonCompact(msg);
  auto frame = std::make_shared<const std::string>(EncodeFrame(WS_OP_TEXT, text));
  std::vector<std::pair<std::int32_t, std::shared_ptr<TWebSocketConnection>>> targets;
  {
    std::lock_guard<TOVLock> g(clients_lock_);
    for (auto& s : clients_)
      if (s.Active && s.Info.Registered && s.Info.WsConn) targets.emplace_back(s.Info.ID, s.Info.WsConn);
  }
  int sent = 0;
  for (auto& [id, c] : targets) {
    if (c->SendEncoded(frame)) ++sent;
    else LogWarning("[ws] Broadcast to client %d failed: %s", id, "connection closed");
  }
  if (sent == 0) LogWarning("[ws] Broadcast: no active clients to send to (text=%d bytes)", text.size());
}

void TOVWSServer::BroadcastCommand(const std::string& protocol, const TJSON& command) {
  auto frame = std::make_shared<const std::string>(EncodeFrame(WS_OP_TEXT, JsonCompact(command)));
  std::vector<std::shared_ptr<TWebSocketConnection>> targets;
  {
    std::lock_guard<TOVLock> g(clients_lock_);
    for (auto& s : clients_)
      if (s.Active && s.Info.Registered && s.Info.WsConn && ContainsIgnoreCase(s.Info.Protocols, protocol))
        targets.push_back(s.Info.WsConn);
  }
  for (auto& c : targets) c->SendEncoded(frame);
}

TJSON TOVWSServer::GetClientsJSON() {
  std::vector<TOVWSClientInfo> rows;
  {
    std::lock_guard<TOVLock> g(clients_lock_);
    for (auto& s : clients_)
      if (s.Active && s.Info.Registered && s.Info.ClientType == ctThinClient) {
        rows.push_back(s.Info);
        rows.back().WsConn.reset();
      }
  }
  TJSON arr = TJSON::array();
  const auto now = std::chrono::system_clock::now();
  for (const auto& c : rows) {
    TJSON o = TJSON::object();
    o["id"] = c.ID;
    o["client_uuid"] = c.ClientUUID;
    o["client_name"] = c.ClientName;
    o["version"] = c.Version;
    o["ip_address"] = c.IPAddress;
    if (!c.TLSVersion.empty()) o["tls_version"] = c.TLSVersion;
    o["active_nodes"] = c.ActiveNodes;
    o["max_nodes"] = c.MaxNodes;
    o["rtt_ms"] = c.RTT_MS;
    o["rtt_avg"] = c.RTT_AVG;
    o["rtt_min"] = c.RTT_COUNT > 0 ? c.RTT_MIN : 0;
    o["rtt_max"] = c.RTT_MAX;
    o["connected_at"] = DefaultDateTime(c.ConnectedAt);
    o["uptime"] = static_cast<std::int64_t>(
        std::llround(std::chrono::duration<double>(now - c.ConnectedAt).count()));
    o["status"] = "online";
    TJSON protos = TJSON::array();
    for (const auto& p : c.Protocols) protos.push_back(p);
    o["protocols"] = std::move(protos);
    o["plugins"] = ParsedArrayOrEmpty(c.PluginsJSON);
    o["nodes"] = ParsedArrayOrEmpty(c.NodesJSON);
    arr.push_back(std::move(o));
  }
  return arr;
}

int TOVWSServer::GetClientCount() {
  std::lock_guard<TOVLock> g(clients_lock_);
  int n = 0;
  for (auto& s : clients_)
    if (s.Active && s.Info.Registered) ++n;
  return n;
}

void TOVWSServer::SendWelcome(std::int32_t client_id) {
  TJSON m = TJSON::object();
  m["type"] = "welcome";
  m["server_name"] = kProductName;
  m["version"] = kVersion;
  m["client_id"] = client_id;
  auto conn = ConnOf(client_id);
  if (!conn || !conn->SendText(JsonCompact(m))) LogDebug("[ws] Welcome write error: %s", "connection closed");
}

void TOVWSServer::SendPings() {
  const std::int64_t ts = WsUnixMillis();
  std::string payload(8, '\0');
  for (int i = 0; i < 8; ++i)
    payload[static_cast<std::size_t>(i)] = static_cast<char>((static_cast<std::uint64_t>(ts) >> (56 - 8 * i)) & 0xFF);
  auto ping_frame = std::make_shared<const std::string>(EncodeFrame(WS_OP_PING, payload));
  struct Target {
    std::shared_ptr<TWebSocketConnection> conn;
    std::int32_t rtt, avg;
  };
  std::vector<Target> targets;
  {
    std::lock_guard<TOVLock> g(clients_lock_);
    for (auto& s : clients_)
      if (s.Active && s.Info.Registered && s.Info.WsConn) {
        s.Info.PendingPingTS = ts;
        targets.push_back({s.Info.WsConn, s.Info.RTT_MS, s.Info.RTT_AVG});
      }
  }
  for (auto& t : targets) {
    t.conn->SendEncoded(ping_frame);
    TJSON m = TJSON::object();
    m["type"] = "ping";
    m["ts"] = ts;
    m["rtt"] = t.rtt;
    m["rtt_avg"] = t.avg;
    t.conn->SendText(JsonCompact(m));
  }
}

void TOVWSServer::UpdateRttFromPong(std::int32_t client_id, std::int64_t sent_ts) {
  if (sent_ts <= 0) return;
  const std::int32_t sample = static_cast<std::int32_t>(std::clamp<std::int64_t>(WsUnixMillis() - sent_ts, 0, 30000));
  std::lock_guard<TOVLock> g(clients_lock_);
  Slot* s = FindSlot(client_id);
  if (!s) return;
  TOVWSClientInfo& c = s->Info;
  c.LastPong = StreamClock::now();
  c.PendingPingTS = 0;
  c.RTT_MS = sample;
  c.RTT_MIN = std::min(c.RTT_MIN, sample);
  c.RTT_MAX = std::max(c.RTT_MAX, sample);
  c.RTT_SAMPLES[c.RTT_IDX] = sample;
  c.RTT_IDX = (c.RTT_IDX + 1) % WS_RTT_SAMPLES;
  if (c.RTT_COUNT < WS_RTT_SAMPLES) ++c.RTT_COUNT;
  std::int64_t sum = 0;
  for (int i = 0; i < c.RTT_COUNT; ++i) sum += c.RTT_SAMPLES[i];
  c.RTT_AVG = static_cast<std::int32_t>(sum / c.RTT_COUNT);
}

void TOVWSServer::ExpireDeadClients() {
  std::vector<std::int32_t> dead;
  const auto now = StreamClock::now();
  {
    std::lock_guard<TOVLock> g(clients_lock_);
    for (auto& s : clients_)
      if (s.Active && now - s.Info.LastPong > tuning_.client_timeout) dead.push_back(s.Info.ID);
  }
  const auto secs = std::chrono::duration_cast<std::chrono::seconds>(tuning_.client_timeout).count();
  for (auto id : dead) {
    LogWarning("[ws] Client %d timed out (no pong in %ds)", id, secs);
    DisconnectClient(id);
  }
}

// ---- message protocol ----------------------------------------------------------------------------

void TOVWSServer::RegisterMessageHandler(const std::string& msg_type, TOVWSMessageHandler handler) {
  auto h = std::make_shared<TOVWSMessageHandler>(std::move(handler));
  std::lock_guard<std::mutex> g(handlers_mu_);
  handlers_[ToLowerAscii(msg_type)] = std::move(h);
}

void TOVWSServer::UnregisterMessageHandler(const std::string& msg_type) {
  std::lock_guard<std::mutex> g(handlers_mu_);
  handlers_.erase(ToLowerAscii(msg_type));
}

void TOVWSServer::RegisterCoreMessageHandlers() {
  using namespace std::placeholders;
  auto reg = [this](const char* type, void (TOVWSServer::*fn)(std::int32_t, const TJSON&)) {
    RegisterMessageHandler(type, [this, fn](std::int32_t id, const TJSON& m) { (this->*fn)(id, m); });
  };
  reg("register", &TOVWSServer::HandleRegister);
  reg("heartbeat", &TOVWSServer::HandleHeartbeat);
  reg("node_update", &TOVWSServer::HandleNodeUpdate);
  reg("command_result", &TOVWSServer::HandleCommandResult);
  reg("pong", &TOVWSServer::HandlePong);
  reg("plugin_call", &TOVWSServer::HandlePluginCall);
  reg("status_update", &TOVWSServer::HandleStatusUpdate);
  reg("config_result", &TOVWSServer::HandleConfigResult);
  reg("door_data", &TOVWSServer::HandleDoorData);
  reg("door_ready", &TOVWSServer::HandleDoorReady);
  reg("door_end", &TOVWSServer::HandleDoorEnd);
  reg("subscribe", &TOVWSServer::HandleSubscribe);
  reg("unsubscribe", &TOVWSServer::HandleUnsubscribe);
  reg("db_query", &TOVWSServer::HandleDbQuery);
  reg("db_exec", &TOVWSServer::HandleDbExec);
  reg("db_exec_params", &TOVWSServer::HandleDbExecParams);
}

void TOVWSServer::HandleMessage(std::int32_t client_id, const std::string& payload) {
  TJSON msg;
  if (!ParseJsonText(payload, msg)) {
    // The parser's text can quote a long token from the message; the log keeps a short form.
    std::string why = JsonErrorText(payload);
    if (why.size() > 200) why = why.substr(0, 200) + "...";
    LogWarning("[ws] Client %d sent invalid JSON: %s", client_id, why);
    return;
  }
  if (!msg.is_object()) {
    LogWarning("[ws] Client %d sent non-object JSON", client_id);
    return;
  }
  const std::string type = JStr(msg, "type");
  std::shared_ptr<TOVWSMessageHandler> h;
  {
    std::lock_guard<std::mutex> g(handlers_mu_);
    auto it = handlers_.find(ToLowerAscii(type));
    if (it != handlers_.end()) h = it->second;
  }
  if (!h) {
    LogDebug("[ws] Client %d sent unknown message type: %s", client_id, type);
    return;
  }
  (*h)(client_id, msg);
}

void TOVWSServer::HandleRegister(std::int32_t id, const TJSON& msg) {
  const std::string name = JStr(msg, "client_name");
  const std::string version = JStr(msg, "version");
  const std::string uuid = JStr(msg, "client_id");
  const std::int32_t max_nodes = ClampI32(JInt(msg, "max_nodes", 0));
  const std::string tls = JStr(msg, "tls_version");
  // Everything is read before the slot changes, so a malformed message changes nothing.
  std::vector<std::string> protocols;
  if (auto it = msg.find("protocols"); it != msg.end() && it->is_array()) {
    for (const auto& p : *it) protocols.push_back(p.get<std::string>());
  }
  std::string plugins = "[]";
  if (auto it = msg.find("plugins"); it != msg.end() && it->is_array()) plugins = JsonCompact(*it);

  if (!uuid.empty()) {
    std::int32_t stale = 0;
    {
      std::lock_guard<TOVLock> g(clients_lock_);
      for (auto& s : clients_)
        if (s.Active && s.Info.Registered && s.Info.ID != id && s.Info.ClientUUID == uuid) {
          stale = s.Info.ID;
          break;
        }
    }
    if (stale) {
      LogWarning("[ws] Kicking stale client %d (replaced by new client %d with same client_id \"%s\")", stale, id,
                 uuid);
      DisconnectClient(stale);
    }
  }
  std::string tls_now;
  {
    std::lock_guard<TOVLock> g(clients_lock_);
    Slot* s = FindSlot(id);
    if (!s) return;
    TOVWSClientInfo& c = s->Info;
    c.ClientUUID = uuid;
    c.ClientName = name;
    c.Version = version;
    c.MaxNodes = max_nodes;
    c.Registered = true;
    c.Protocols = protocols;
    c.PluginsJSON = plugins;
    if (c.TLSVersion.empty()) c.TLSVersion = tls;
    tls_now = c.TLSVersion;
  }
  if (!tls_now.empty())
    LogInfo("[ws] Client %d registered as \"%s\" v%s [%s] (protocols: %s, tls: %s)", id, name, version, uuid,
            JoinComma(protocols), tls_now);
  else
    LogInfo("[ws] Client %d registered as \"%s\" v%s [%s] (protocols: %s)", id, name, version, uuid,
            JoinComma(protocols));
  BroadcastNodeState();
}

void TOVWSServer::HandleHeartbeat(std::int32_t id, const TJSON& msg) {
  const std::string tls = JStr(msg, "tls_version");
  std::string nodes_json;
  std::int32_t active = ClampI32(JInt(msg, "active_nodes", 0));
  if (auto it = msg.find("nodes"); it != msg.end() && it->is_array()) {
    nodes_json = JsonCompact(*it);
    active = static_cast<std::int32_t>(it->size());
  }
  {
    std::lock_guard<TOVLock> g(clients_lock_);
    Slot* s = FindSlot(id);
    if (!s) return;
    s->Info.LastPong = StreamClock::now();
    if (s->Info.TLSVersion.empty()) s->Info.TLSVersion = tls;
    s->Info.NodesJSON = std::move(nodes_json);
    s->Info.ActiveNodes = active;
  }
  BroadcastNodeState();
}

void TOVWSServer::HandleNodeUpdate(std::int32_t id, const TJSON& msg) {
  if (auto it = msg.find("nodes"); it != msg.end() && it->is_array()) {
    std::string nodes_json = JsonCompact(*it);
    std::int32_t active = static_cast<std::int32_t>(it->size());
    std::lock_guard<TOVLock> g(clients_lock_);
    if (Slot* s = FindSlot(id)) {
      s->Info.NodesJSON = std::move(nodes_json);
      s->Info.ActiveNodes = active;
    }
  }
  BroadcastNodeState();
}

void TOVWSServer::HandleCommandResult(std::int32_t id, const TJSON& msg) {
  const std::int32_t command_id = ClampI32(JInt(msg, "command_id", 0));
  const bool success = JBool(msg, "success", false);
  const std::string result = JStr(msg, "result");
  const std::string request_id = JStr(msg, "request_id");
  LogInfo("[ws] Client %d command result: success=%s", id, success ? "true" : "false");
  if (!request_id.empty()) StorePendingResult(request_id, msg, id);
  if (OnCommandResult) OnCommandResult(id, command_id, success, result);
}

void TOVWSServer::HandleConfigResult(std::int32_t id, const TJSON& msg) {
  const std::string request_id = JStr(msg, "request_id");
  LogDebug("[ws] Client %d config result (req=%s)", id, request_id);
  if (!request_id.empty()) StorePendingResult(request_id, msg, id);
}

void TOVWSServer::HandlePong(std::int32_t id, const TJSON&) {
  std::lock_guard<TOVLock> g(clients_lock_);
  if (Slot* s = FindSlot(id)) s->Info.LastPong = StreamClock::now();
}

void TOVWSServer::HandlePluginCall(std::int32_t id, const TJSON& msg) {
  TJSON reply = TJSON::object();
  reply["type"] = "plugin_call_result";
  reply["id"] = JStr(msg, "id");
  const std::string plugin = JStr(msg, "plugin");
  const std::string func = JStr(msg, "function");
  const TJSON* args = nullptr;
  if (auto it = msg.find("args"); it != msg.end() && it->is_object()) args = &*it;
  TJSON result;
  if (!OnPluginCall) {
    result = TJSON::object({{"success", false}, {"error", "No plugin call handler"}});
  } else {
    std::optional<TJSON> r = OnPluginCall(plugin, func, args);
    if (r) result = std::move(*r);
    else result = TJSON::object({{"success", false}, {"error", "No result"}});
  }
  reply["result"] = std::move(result);
  SendToClient(id, reply);
}

void TOVWSServer::HandleStatusUpdate(std::int32_t id, const TJSON& msg) {
  LogDebug("[ws] Client %d status: %s", id, JStr(msg, "event", "?"));
}

// ---- door sessions -------------------------------------------------------------------------------

void TOVWSServer::RegisterDoorRoute(std::int32_t session_id, std::int32_t user_client_id,
                                    std::int32_t door_server_client_id) {
  {
    std::lock_guard<std::mutex> g(door_mu_);
    // A session has one route: a newer registration replaces a stale one.
    std::erase_if(door_routes_, [&](const TOVDoorRoute& r) { return r.SessionID == session_id; });
    door_routes_.push_back({session_id, user_client_id, door_server_client_id});
  }
  LogInfo("[ws] Door route registered: session=%d user_client=%d door_server=%d", session_id, user_client_id,
          door_server_client_id);
}

void TOVWSServer::UnregisterDoorRoute(std::int32_t session_id) {
  bool removed = false;
  {
    std::lock_guard<std::mutex> g(door_mu_);
    auto it = std::find_if(door_routes_.begin(), door_routes_.end(),
                           [&](const TOVDoorRoute& r) { return r.SessionID == session_id; });
    if (it != door_routes_.end()) {
      door_routes_.erase(it);
      removed = true;
    }
  }
  if (removed) LogDebug("[ws] Door route removed: session=%d", session_id);
}

bool TOVWSServer::FindDoorRoute(std::int32_t session_id, TOVDoorRoute& route) {
  std::lock_guard<std::mutex> g(door_mu_);
  for (const auto& r : door_routes_)
    if (r.SessionID == session_id) {
      route = r;
      return true;
    }
  return false;
}

void TOVWSServer::HandleDoorReady(std::int32_t id, const TJSON& msg) {
  const std::int32_t session = ClampI32(JInt(msg, "session_id", 0));
  const bool direct = JBool(msg, "direct_ws_enabled", false);
  const std::int64_t port = JInt(msg, "direct_ws_port", 0);
  const std::string token = JStr(msg, "direct_ws_token");
  LogInfo("[ws] Door ready from client %d, session %d (direct=%s)", id, session, direct ? "yes" : "no");
  std::int32_t user_client = 0;
  if (OnPluginCall) {
    TJSON args = TJSON::object({{"session_id", session}, {"door_server_client_id", id}});
    std::optional<TJSON> r = OnPluginCall("doors", "HandleDoorReady", &args);
    if (r && r->is_object()) user_client = ClampI32(JInt(*r, "user_client_id", 0));
  }
  if (user_client <= 0) return;
  RegisterDoorRoute(session, user_client, id);
  std::string door_ip;
  {
    std::lock_guard<TOVLock> g(clients_lock_);
    if (Slot* s = FindSlot(id)) door_ip = s->Info.IPAddress;
  }
  TJSON m = TJSON::object();
  m["type"] = "door_connect";
  m["session_id"] = session;
  if (direct && port >= 1 && !token.empty() && !door_ip.empty()) {
    m["direct_ws_host"] = door_ip;
    m["direct_ws_port"] = port;
    m["direct_ws_token"] = token;
    m["fallback"] = false;
    LogInfo("[ws] Door direct connect: session=%d user_client=%d host=%s:%d", session, user_client, door_ip, port);
  } else {
    m["fallback"] = true;
  }
  LogDebug("[ws] Sending door_connect to client %d (%s)", user_client, JsonCompact(m));
  SendToClient(user_client, m);
  LogDebug("[ws] door_connect sent to client %d", user_client);
}

void TOVWSServer::HandleDoorData(std::int32_t id, const TJSON& msg) {
  const std::int32_t session = ClampI32(JInt(msg, "session_id", 0));
  TOVDoorRoute r;
  if (FindDoorRoute(session, r)) {
    if (id == r.UserClientID) {
      SendToClient(r.DoorServerClientID, msg);
      return;
    }
    if (id == r.DoorServerClientID) {
      SendToClient(r.UserClientID, msg);
      return;
    }
  }
  if (OnPluginCall) {
    TJSON args = TJSON::object({{"session_id", session}, {"data", JStr(msg, "data")}});
    OnPluginCall("doors", "RelayInput", &args);
  } else {
    LogDebug("[ws] door_data received but no plugin call handler");
  }
}

void TOVWSServer::HandleDoorEnd(std::int32_t id, const TJSON& msg) {
  const std::int32_t session = ClampI32(JInt(msg, "session_id", 0));
  const std::int64_t exit_code = JInt(msg, "exit_code", -1);
  TOVDoorRoute r;
  if (FindDoorRoute(session, r)) {
    if (id == r.DoorServerClientID) SendToClient(r.UserClientID, msg);
    UnregisterDoorRoute(session);
  }
  if (OnPluginCall) {
    TJSON args = TJSON::object({{"session_id", session}, {"exit_code", exit_code}});
    OnPluginCall("doors", "HandleDoorEnded", &args);
  }
}

// ---- web administrators --------------------------------------------------------------------------

void TOVWSServer::HandleSubscribe(std::int32_t id, const TJSON& msg) {
  auto it = msg.find("events");
  bool admin = false;
  {
    std::lock_guard<TOVLock> g(clients_lock_);
    Slot* s = FindSlot(id);
    if (s && s->Info.ClientType == ctWebAdmin) {
      admin = true;
      TOVWSClientInfo& c = s->Info;
      c.HasSubscriptions = true;
      const bool was_empty = c.SubscribedEvents.empty();
      if (it != msg.end() && it->is_array())
        for (const auto& e : *it) {
          if (!e.is_string()) continue;
          std::string name = ToLowerAscii(e.get<std::string>());
          if (!IsSubscribed(c, name)) c.SubscribedEvents.push_back(std::move(name));
        }
      if (was_empty && !c.SubscribedEvents.empty()) subscribed_admins_.fetch_add(1);
    }
  }
  if (admin) LogDebug("[ws] Web admin %d subscribed to events", id);
}

void TOVWSServer::HandleUnsubscribe(std::int32_t id, const TJSON& msg) {
  auto it = msg.find("events");
  if (it == msg.end() || !it->is_array()) return;
  std::lock_guard<TOVLock> g(clients_lock_);
  Slot* s = FindSlot(id);
  if (!s || s->Info.ClientType != ctWebAdmin) return;
  std::vector<std::string>& events = s->Info.SubscribedEvents;
  const bool was_empty = events.empty();
  for (const auto& e : *it)
    if (e.is_string()) std::erase(events, ToLowerAscii(e.get<std::string>()));
  if (!was_empty && events.empty()) subscribed_admins_.fetch_sub(1);
}

bool TOVWSServer::HasSubscribers(const std::string& event_type) {
  if (subscribed_admins_.load(std::memory_order_relaxed) <= 0) return false;
  const std::string name = ToLowerAscii(event_type);
  std::lock_guard<TOVLock> g(clients_lock_);
  for (auto& s : clients_)
    if (s.Active && s.Info.ClientType == ctWebAdmin && IsSubscribed(s.Info, name)) return true;
  return false;
}

void TOVWSServer::BroadcastToWebAdmins(const std::string& event_type, const TJSON* data) {
  if (subscribed_admins_.load(std::memory_order_relaxed) <= 0) return;
  const std::string name = ToLowerAscii(event_type);
  std::vector<std::shared_ptr<TWebSocketConnection>> targets;
  {
    std::lock_guard<TOVLock> g(clients_lock_);
    for (auto& s : clients_)
      if (s.Active && s.Info.ClientType == ctWebAdmin && s.Info.WsConn && IsSubscribed(s.Info, name))
        targets.push_back(s.Info.WsConn);
  }
  if (targets.empty()) return;
  TJSON m = TJSON::object();
  m["type"] = "event";
  m["event"] = event_type;
  m["data"] = data ? *data : TJSON::object();
  auto frame = std::make_shared<const std::string>(EncodeFrame(WS_OP_TEXT, JsonSpaced(m)));
  for (auto& c : targets) c->SendEncoded(frame);  // a failed queue drops that client only
}

void TOVWSServer::BroadcastNodeState() {
  if (!HasSubscribers("node_update")) return;
  try {
    TJSON nodes = TJSON::array();
    if (OnGetServerNode) nodes.push_back(OnGetServerNode());
    for (auto& c : GetClientsJSON()) nodes.push_back(std::move(c));
    TJSON data = TJSON::object();
    data["nodes"] = std::move(nodes);
    BroadcastToWebAdmins("node_update", &data);
  } catch (const std::exception& e) {
    LogError("[ws] node_update broadcast failed: %s", e.what());
  }
}

void TOVWSServer::BroadcastServerStatus() {
  if (!OnGetServerStatus) return;
  int count = 0;
  {
    std::lock_guard<TOVLock> g(clients_lock_);
    for (auto& s : clients_)
      if (s.Active && s.Info.ClientType == ctWebAdmin && IsSubscribed(s.Info, "server_status")) ++count;
  }
  LogDebug("[ws] broadcast server_status -> %d admin(s)", count);
  if (count == 0) return;  // the status costs database reads; nobody would see it
  try {
    TJSON status = OnGetServerStatus();
    BroadcastToWebAdmins("server_status", &status);
  } catch (const std::exception& e) {
    LogError("[ws] server_status broadcast failed: %s", e.what());
  }
}

void TOVWSServer::HandleEventBroadcast(const std::string& event_type, const TJSON* data) {
  if (!Active()) return;
  BroadcastToWebAdmins(event_type, data);
  for (const char* e : kEventStatusRefresh)
    if (event_type == e) {
      BroadcastServerStatus();
      break;
    }
}

// ---- pending results and node commands -----------------------------------------------------------

int TOVWSServer::CreatePendingResult(const std::string& request_id) {
  std::lock_guard<std::mutex> g(pending_mu_);
  if (pending_closed_) throw std::runtime_error("WebSocket server not active");
  const std::string key = ToLowerAscii(request_id);
  if (pending_.count(key)) throw std::runtime_error(Format("Duplicate request id: %s", request_id));
  auto p = std::make_shared<Pending>();
  p->id = request_id;
  auto it = pending_.emplace(key, std::move(p)).first;
  return static_cast<int>(std::distance(pending_.begin(), it));
}

void TOVWSServer::StorePendingResult(const std::string& request_id, TJSON result, std::int32_t from_client) {
  std::lock_guard<std::mutex> g(pending_mu_);
  auto it = pending_.find(ToLowerAscii(request_id));
  if (it == pending_.end()) return;
  Pending& p = *it->second;
  // The first reply from the client the command went to wins; anything else is dropped.
  if (p.ready || p.target == 0 || p.target != from_client) return;
  p.result = std::move(result);
  p.ready = true;
  p.cv.notify_all();
}

std::optional<TJSON> TOVWSServer::WaitForResult(const std::string& request_id, int timeout_ms) {
  std::unique_lock<std::mutex> lk(pending_mu_);
  const std::string key = ToLowerAscii(request_id);
  auto it = pending_.find(key);
  if (it == pending_.end()) return std::nullopt;
  std::shared_ptr<Pending> p = it->second;
  p->cv.wait_for(lk, std::chrono::milliseconds(std::max(0, timeout_ms)),
                 [&] { return p->ready || pending_closed_; });
  std::optional<TJSON> out;
  if (p->ready) out = std::move(p->result);
  auto again = pending_.find(key);
  if (again != pending_.end() && again->second == p) pending_.erase(again);
  return out;
}

std::optional<TJSON> TOVWSServer::SendCommandWait(std::int32_t client_id, TJSON msg, int timeout_ms) {
  std::string rid;
  {
    std::lock_guard<std::mutex> g(pending_mu_);
    rid = "req_" + std::to_string(next_request_id_++);
  }
  msg["request_id"] = rid;
  CreatePendingResult(rid);
  SendNodeCommand(client_id, rid, std::move(msg));
  return WaitForResult(rid, timeout_ms);
}

void TOVWSServer::SendNodeCommand(std::int32_t client_id, const std::string& request_id, TJSON msg) {
  if (!request_id.empty()) {
    std::lock_guard<std::mutex> g(pending_mu_);
    auto it = pending_.find(ToLowerAscii(request_id));
    if (it != pending_.end()) it->second->target = client_id;
  }
  SendToClient(client_id, msg);
}

void TOVWSServer::SendConfigReload(std::int32_t client_id, const std::string& request_id) {
  TJSON m = TJSON::object({{"type", "config_reload"}});
  if (!request_id.empty()) m["request_id"] = request_id;
  SendNodeCommand(client_id, request_id, std::move(m));
}

void TOVWSServer::SendConfigGet(std::int32_t client_id, const std::string& request_id, const std::string& section) {
  TJSON m = TJSON::object({{"type", "config_get"}, {"request_id", request_id}});
  if (!section.empty()) m["section"] = section;
  SendNodeCommand(client_id, request_id, std::move(m));
}

void TOVWSServer::SendConfigSet(std::int32_t client_id, const std::string& request_id, const std::string& section,
                                const std::string& key, const std::string& value) {
  TJSON m = TJSON::object();
  m["type"] = "config_set";
  m["request_id"] = request_id;
  m["section"] = section;
  m["key"] = key;
  m["value"] = value;
  SendNodeCommand(client_id, request_id, std::move(m));
}

void TOVWSServer::SendGetPlugins(std::int32_t client_id, const std::string& request_id) {
  TJSON m = TJSON::object();
  m["type"] = "get_plugins";
  m["request_id"] = request_id;
  SendNodeCommand(client_id, request_id, std::move(m));
}

void TOVWSServer::SendPluginEnable(std::int32_t client_id, const std::string& request_id, const std::string& name) {
  TJSON m = TJSON::object();
  m["type"] = "plugin_enable";
  m["request_id"] = request_id;
  m["name"] = name;
  SendNodeCommand(client_id, request_id, std::move(m));
}

void TOVWSServer::SendPluginDisable(std::int32_t client_id, const std::string& request_id, const std::string& name) {
  TJSON m = TJSON::object();
  m["type"] = "plugin_disable";
  m["request_id"] = request_id;
  m["name"] = name;
  SendNodeCommand(client_id, request_id, std::move(m));
}

void TOVWSServer::SendPluginUninstall(std::int32_t client_id, const std::string& request_id, const std::string& name,
                                      bool purge_data) {
  TJSON m = TJSON::object();
  m["type"] = "plugin_uninstall";
  m["request_id"] = request_id;
  m["name"] = name;
  m["purge_data"] = purge_data;
  SendNodeCommand(client_id, request_id, std::move(m));
}

void TOVWSServer::SendPluginInstall(std::int32_t client_id, const std::string& request_id,
                                    const std::string& download_url, const std::string& plugin_name) {
  TJSON m = TJSON::object();
  m["type"] = "plugin_install";
  m["request_id"] = request_id;
  m["download_url"] = download_url;
  m["plugin_name"] = plugin_name;
  SendNodeCommand(client_id, request_id, std::move(m));
}

// ---- SQL bridge ----------------------------------------------------------------------------------

namespace {

// The sqlite3 handle of a connection (nullptr on the other backends), for the authorizer.
void* SqliteHandle(sql::Connection& conn) {
  if (auto* c = dynamic_cast<sql::SqliteConnection*>(&conn)) return c->Handle();
  return nullptr;
}

}  // namespace

void TOVWSServer::HandleDbQuery(std::int32_t id, const TJSON& msg) { HandleDbRequest(id, msg, TWSSqlKind::Query); }
void TOVWSServer::HandleDbExec(std::int32_t id, const TJSON& msg) { HandleDbRequest(id, msg, TWSSqlKind::Exec); }
void TOVWSServer::HandleDbExecParams(std::int32_t id, const TJSON& msg) {
  HandleDbRequest(id, msg, TWSSqlKind::ExecParams);
}

void TOVWSServer::HandleDbRequest(std::int32_t id, const TJSON& msg, TWSSqlKind kind) {
  static const char* kTypes[] = {"db_query_result", "db_exec_result", "db_exec_params_result"};
  const std::string request_id = JStr(msg, "request_id");
  const std::string plugin = JStr(msg, "plugin");
  const std::string sql_text = JStr(msg, "sql");
  TJSON reply = TJSON::object();
  reply["type"] = kTypes[static_cast<int>(kind)];
  reply["request_id"] = request_id;
  auto fail = [&](const std::string& error) {
    reply["ok"] = false;
    reply["error"] = error;
    SendToClient(id, reply);
  };
  bool allowed = false;
  {
    std::lock_guard<TOVLock> g(clients_lock_);
    if (Slot* s = FindSlot(id)) allowed = s->Info.Registered && s->Info.ClientType == ctThinClient;
  }
  if (!allowed) return fail("unauthorized");
  if (plugin.empty() || sql_text.empty()) return fail("plugin and sql are required");
  auto db = DB.Get();
  if (!db) return fail("Database not available");
  TWSSqlChecked checked;
  try {
    checked = ValidatePluginSandbox(plugin, sql_text, kind, db->Backend());
  } catch (const std::exception& e) {
    return fail(e.what());
  }
  const std::string prefix = NormalizePluginPrefix(plugin);
  try {
    if (kind == TWSSqlKind::Query) {
      TJSON rows = TJSON::array();
      {
        auto q = db->NewReadQuery();
        TWSSqliteGuard guard(SqliteHandle(q.Connection()), prefix, kind, false);
        q.SetSQL(checked.sql);
        q.Open();
        for (; !q.Eof(); q.Next()) rows.push_back(q.RowJSON());
      }
      reply["ok"] = true;
      reply["rows"] = std::move(rows);
    } else if (kind == TWSSqlKind::Exec) {
      TOVDBLockGuard lock(*db);
      TWSSqliteGuard guard(SqliteHandle(db->Connection()), prefix, kind, checked.ddl);
      db->ExecSQL(checked.sql);
      reply["ok"] = true;
    } else {
      TJSON params = TJSON::array();
      if (auto it = msg.find("params"); it != msg.end() && it->is_array()) params = *it;
      if (static_cast<int>(params.size()) > checked.placeholders)
        throw std::runtime_error(Format("Too many parameters: %d given for %d placeholders",
                                        static_cast<std::int64_t>(params.size()), checked.placeholders));
      auto q = db->NewQuery();
      TWSSqliteGuard guard(SqliteHandle(db->Connection()), prefix, kind, checked.ddl);
      q.SetSQL(checked.sql);
      for (std::size_t i = 0; i < params.size(); ++i) {
        const std::string name = "p" + std::to_string(i);
        const TJSON& p = params[i];
        switch (p.type()) {
          case TJSON::value_t::number_integer: q.Param(name, p.get<std::int64_t>()); break;
          case TJSON::value_t::number_unsigned: {
            auto u = p.get<std::uint64_t>();
            if (u <= static_cast<std::uint64_t>(INT64_MAX)) q.Param(name, static_cast<std::int64_t>(u));
            else q.Param(name, static_cast<double>(u));
            break;
          }
          case TJSON::value_t::number_float: q.Param(name, p.get<double>()); break;
          case TJSON::value_t::string: q.Param(name, p.get_ref<const std::string&>()); break;
          case TJSON::value_t::boolean: q.Param(name, p.get<bool>()); break;
          case TJSON::value_t::null: q.ParamNull(name); break;
          default: q.Param(name, JsonSpaced(p)); break;
        }
      }
      q.ExecSQL();
      db->Commit();
      reply["ok"] = true;
    }
  } catch (const std::exception& e) {
    // Includes an exhausted read pool: the node gets the reason, the connection stays.
    return fail(e.what());
  }
  SendToClient(id, reply);
}

// ---- start-up and shutdown -----------------------------------------------------------------------

namespace {

// Each hub client holds a socket and a wake-up descriptor; the default soft limit of 1024
// would stop the hub near 500 clients.
void RaiseFileLimit() {
  rlimit rl{};
  if (::getrlimit(RLIMIT_NOFILE, &rl) != 0) return;
  rlim_t want = rl.rlim_max == RLIM_INFINITY ? 65536 : std::min<rlim_t>(rl.rlim_max, 65536);
  if (rl.rlim_cur >= want) return;
  rl.rlim_cur = want;
  if (::setrlimit(RLIMIT_NOFILE, &rl) == 0) LogDebug("[ws] Open-file limit raised to %d", static_cast<std::int64_t>(want));
}

}  // namespace

void StartupWSServer(const TOVWSServerHooks& hooks) {
  auto cfg = Config.Get();
  if (!cfg) return;
  if (!cfg->ReadBool("websocket", "enabled", true)) {
    LogInfo("WebSocket server disabled in configuration");
    return;
  }
  try {
    auto ws = std::make_unique<TOVWSServer>(
        cfg->ReadString("websocket", "address", "0.0.0.0"), cfg->ReadInteger("websocket", "port", WS_DEFAULT_PORT),
        cfg->ReadInteger("websocket", "ping_interval", WS_DEFAULT_PING_INTERVAL),
        cfg->ReadBool("websocket", "use_ssl", false), cfg->ReadString("ssl", "cert_file", "data/cert.pem"),
        cfg->ReadString("ssl", "key_file", "data/key.pem"), cfg->ReadString("ssl", "min_version", "tls1.2"));
    ws->OnClientDisconnected = hooks.client_disconnected;
    ws->OnPluginCall = hooks.plugin_call;
    ws->OnGetServerStatus = hooks.server_status;
    ws->OnGetServerNode = hooks.server_node;
    // Hub connections count towards the per-address connection limit.
    ws->OnConnectionOpened = [](const std::string& ip) {
      if (auto rl = RateLimiter.Get()) rl->ConnectionOpened(ip);
    };
    ws->OnConnectionClosed = [](const std::string& ip) {
      if (auto rl = RateLimiter.Get()) rl->ConnectionClosed(ip);
    };
    RaiseFileLimit();
    ws->Start();
    WSServer.Publish(std::move(ws));
    if (auto bus = EventBus.Get())
      bus->SetOnBroadcast([](const std::string& type, const TJSON* data) {
        if (auto hub = WSServer.Get()) hub->HandleEventBroadcast(type, data);
      });
  } catch (const std::exception& e) {
    LogError("WebSocket server failed to start: %s", e.what());
  }
}

void ShutdownWSServer(const std::function<void(const std::string&)>& step) {
  if (!WSServer.Exists()) return;
  if (step) step("WSServer.Stop");
  // Events fired from now on no longer reach the hub.
  if (auto bus = EventBus.Get()) bus->ClearOnBroadcast();
  if (auto hub = WSServer.Get()) hub->Stop();
  if (step) step("WSServer.Free");
  WSServer.Free();
}

namespace {

// The token of a web administrator: the text after the first "token=" in the raw query up to
// the next "&" (not decoded), else a bearer header.
std::string UpgradeToken(const TOVHttpRequest& req) {
  std::string token;
  if (std::size_t p = req.query.find("token="); p != std::string::npos) {
    std::size_t end = req.query.find('&', p + 6);
    token = req.query.substr(p + 6, end == std::string::npos ? std::string::npos : end - (p + 6));
  }
  const std::string auth = req.Header("Authorization");
  if (token.empty() && auth.size() > 7 && EqualsIgnoreCase(auth.substr(0, 7), "Bearer ")) token = auth.substr(7);
  return token;
}

}  // namespace

void HandleWSUpgradeRequest(TOVHttpRequest& req, TOVHttpResponse& resp) {
  // A valid API key makes a thin client, whatever else the request carries; otherwise an
  // administrator's token makes a web administrator.  The hub authenticates again itself.
  TOVAuthUser user;
  const std::string api_key = req.Header("X-API-Key");
  const bool thin = !api_key.empty() && ValidateAPIKey(api_key, user);
  bool admin = false;
  if (!thin) {
    const std::string token = UpgradeToken(req);
    admin = !token.empty() && TOVAuth::ValidateJWT(token, user) && user.IsAdmin;
  }
  if (!thin && !admin) {
    TOVJsonReply::SendError(resp, 401, "Unauthorized");
    return;
  }
  auto hub = WSServer.Get();
  if (!hub || !hub->Active() || !req.connection) {
    TOVJsonReply::SendError(resp, 503, "WebSocket server not available");
    return;
  }
  TOVDetachedStream taken = AcceptWebSocketUpgrade(req);
  if (admin)
    hub->RegisterWebAdmin(std::move(taken), req.peer_address);
  else
    hub->RegisterThinClient(std::move(taken), req.peer_address);
}

void PushLogEntryToAdmins(const std::string& level, const std::string& source, const std::string& category,
                          const std::string& message) {
  try {
    auto hub = WSServer.Get();
    if (!hub || !hub->Active() || !hub->HasSubscribers("log_entry")) return;
    TJSON d = TJSON::object();
    d["timestamp"] = UtcStampMillis();
    d["level"] = level;
    d["source"] = source;
    d["category"] = category;
    d["message"] = message;
    hub->BroadcastToWebAdmins("log_entry", &d);
  } catch (...) {
    // A failing push never affects logging.
  }
}

}  // namespace ov
