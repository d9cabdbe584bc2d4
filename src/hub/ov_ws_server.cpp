// The hub's server: its life (start, stop), the accept, ping and client threads, the client
// table, sending, pushing and broadcasting, and events for web administrators.
#include "ov_ws_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <ctime>
#include <deque>
#include <latch>
#include <system_error>

#include "ov_auth.h"
#include "ov_config.h"
#include "ov_consts.h"
#include "ov_database.h"
#include "ov_http_server.h"
#include "ov_listener.h"
#include "ov_log.h"
#include "ov_ssl_handler.h"
#include "ov_text.h"
#include "ov_websocket.h"
#include "orvanta/plugin_abi.h"

namespace ov {

// ---- helpers ----------------------------------------------------------------------------------

namespace {

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

bool ContainsIgnoreCase(const std::vector<std::string>& list, const std::string& name) {
  for (const auto& s : list)
    if (EqualsIgnoreCase(s, name)) return true;
  return false;
}

TJSON ParsedArrayOrEmpty(const std::string& text) {
  if (text.empty()) return TJSON::array();
  TJSON v;
  if (ParseJsonText(text, v) && v.is_array()) return v;
  return TJSON::array();
}

const char* kEventStatusRefresh[] = {OV_EVENT_USER_LOGIN,     OV_EVENT_USER_LOGOUT,   OV_EVENT_USER_CREATE,
                                     OV_EVENT_SESSION_START,  OV_EVENT_SESSION_END,   OV_EVENT_CONNECTION_NEW,
                                     OV_EVENT_CONNECTION_CLOSE};

}  // namespace

// ---- client threads ------------------------------------------------------------------------------

// A thread on a stack of WS_CLIENT_STACK_BYTES (std::thread cannot choose its stack).  Joined
// by its owner; one that was never joined is detached when destroyed.
class TOVWSServer::ClientThread {
 public:
  ClientThread() = default;
  ~ClientThread() {
    if (started_) ::pthread_detach(id_);
  }
  ClientThread(const ClientThread&) = delete;
  ClientThread& operator=(const ClientThread&) = delete;

  // Throws std::system_error when the system has no thread to give.
  void Start(std::function<void()> fn) {
    auto body = std::make_unique<std::function<void()>>(std::move(fn));
    pthread_attr_t attr;
    ::pthread_attr_init(&attr);
    ::pthread_attr_setstacksize(&attr, WS_CLIENT_STACK_BYTES);
    const int rc = ::pthread_create(&id_, &attr, &ClientThread::Body, body.get());
    ::pthread_attr_destroy(&attr);
    if (rc != 0) throw std::system_error(rc, std::generic_category(), "no thread for the client");
    body.release();
    started_ = true;
  }
  bool joinable() const noexcept { return started_; }
  void join() noexcept {
    if (!started_) return;
    ::pthread_join(id_, nullptr);
    started_ = false;
  }

 private:
  static void* Body(void* p) {
    std::unique_ptr<std::function<void()>> fn(static_cast<std::function<void()>*>(p));
    (*fn)();
    return nullptr;
  }
  pthread_t id_{};
  bool started_ = false;
};

// Threads that share the sends of a large fan-out with the sending thread.  A send never
// blocks, so a share costs its system calls only; spread over a few cores, one event reaches a
// thousand clients several times sooner than from one thread.  The sending thread waits for
// every share, so the next frame it sends to a client cannot overtake this one.
class TOVWSServer::FanOut {
 public:
  // Starts up to n threads; fewer when the system has no more to give.
  void Start(int n) EXCLUDES(lock_) {
    {
      TOVLockGuard g(lock_);
      running_ = true;
    }
    for (int i = 0; i < n; ++i) {
      auto t = std::make_unique<ClientThread>();
      try {
        t->Start([this] { Loop(); });
      } catch (const std::system_error&) {
        break;
      }
      TOVLockGuard g(lock_);
      threads_.push_back(std::move(t));
    }
  }
  // The threads finish the shares they were given, then end; later fan-outs run on the
  // sending thread alone.
  void Stop() EXCLUDES(lock_) {
    std::vector<std::unique_ptr<ClientThread>> threads;
    {
      TOVLockGuard g(lock_);
      running_ = false;
      threads.swap(threads_);
    }
    cv_.notify_all();
    for (auto& t : threads) t->join();
  }
  // Threads that can take a share now.
  int Threads() EXCLUDES(lock_) {
    TOVLockGuard g(lock_);
    return running_ ? static_cast<int>(threads_.size()) : 0;
  }
  // Runs share(0) .. share(parts - 1): the first on the caller, the others on the threads.
  // share must not throw.
  void Run(int parts, const std::function<void(int)>& share) EXCLUDES(lock_) {
    std::latch done(parts - 1);
    bool alone = false;
    {
      TOVLockGuard g(lock_);
      if (!running_ || threads_.empty()) alone = true;
      else
        for (int p = 1; p < parts; ++p) jobs_.push_back({&share, p, &done});
    }
    if (alone) {
      for (int p = 0; p < parts; ++p) share(p);
      return;
    }
    cv_.notify_all();
    share(0);
    done.wait();
  }

 private:
  struct Job {
    const std::function<void(int)>* share;
    int part;
    std::latch* done;
  };
  void Loop() EXCLUDES(lock_) {
    for (;;) {
      Job j;
      {
        TOVUniqueLock lk(lock_);
        cv_.wait(lk, [this]() REQUIRES(lock_) { return !jobs_.empty() || !running_; });
        if (jobs_.empty()) return;
        j = jobs_.front();
        jobs_.pop_front();
      }
      (*j.share)(j.part);
      j.done->count_down();
    }
  }

  // ---- Guarded by lock_ (a leaf: shares run outside it) ----
  TOVLock lock_{LockLevel::Leaf};
  std::condition_variable_any cv_;
  std::deque<Job> jobs_ GUARDED_BY(lock_);
  bool running_ GUARDED_BY(lock_) = false;
  std::vector<std::unique_ptr<ClientThread>> threads_ GUARDED_BY(lock_);
};

// One client's thread and what Stop needs to interrupt it.
struct TOVWSServer::Worker {
  // ---- Set before the thread starts ----
  std::uint64_t key = 0;
  Origin origin = Origin::HubPort;
  std::string ip;
  ClientThread thread;

  // ---- The client's own thread only ----
  std::unique_ptr<Stream> stream;  // until the connection takes it
  std::string tls_version;
  std::int32_t client_id = 0;  // 0 until the client is in the table

  std::atomic<bool> aborted{false};

  // ---- Guarded by lock (a leaf: Abort disconnects outside it) ----
  TOVLock lock{LockLevel::Leaf};
  std::condition_variable_any handed;  // a hand-over finished (or Abort)
  bool handover_done GUARDED_BY(lock) = false;     // hand-over: conn and handed_id are set, or it failed
  std::int32_t handed_id GUARDED_BY(lock) = 0;     // hand-over: the client id the thread serves
  Stream* live_stream GUARDED_BY(lock) = nullptr;  // the stream during a handshake, for Abort
  std::shared_ptr<TWebSocketConnection> conn GUARDED_BY(lock);

  void Abort() EXCLUDES(lock) {
    aborted.store(true);
    std::shared_ptr<TWebSocketConnection> c;
    {
      TOVLockGuard g(lock);
      c = conn;
      // Only a shutdown of the socket: the stream stays valid while the lock is held.
      if (!c && live_stream) live_stream->Abort();
    }
    handed.notify_all();
    if (c) c->Disconnect();
  }
  // The end of a hand-over: the thread serves conn as client id, or ends when conn is null.
  void HandOver(std::shared_ptr<TWebSocketConnection> c, std::int32_t id) EXCLUDES(lock) {
    {
      TOVLockGuard g(lock);
      conn = std::move(c);
      handed_id = id;
      handover_done = true;
    }
    handed.notify_all();
  }
  // The client's thread: waits for the hand-over; the connection to serve (and client_id set),
  // or null when the hand-over failed or Stop came first.
  std::shared_ptr<TWebSocketConnection> AwaitHandOver() EXCLUDES(lock) {
    TOVUniqueLock lk(lock);
    handed.wait(lk, [this]() REQUIRES(lock) { return handover_done || aborted.load(); });
    if (!handover_done || !conn || aborted.load()) return nullptr;
    client_id = handed_id;
    return conn;
  }
  // The stream whose handshake Abort may cut short (null: none any more).
  void SetLiveStream(Stream* s) EXCLUDES(lock) {
    TOVLockGuard g(lock);
    live_stream = s;
  }
  // The hub-port handshake is done: Abort disconnects the connection from now on.
  void Connected(std::shared_ptr<TWebSocketConnection> c) EXCLUDES(lock) {
    TOVLockGuard g(lock);
    conn = std::move(c);
    live_stream = nullptr;
  }
  std::shared_ptr<TWebSocketConnection> Conn() EXCLUDES(lock) {
    TOVLockGuard g(lock);
    return conn;
  }
};

// ---- life ----------------------------------------------------------------------------------------

TOVWSServer::TOVWSServer(std::string address, int port, int ping_interval, bool use_ssl, std::string cert_file,
                         std::string key_file, std::string ssl_min_version)
    : address_(std::move(address)),
      ping_interval_(ping_interval),
      use_ssl_(use_ssl),
      cert_file_(std::move(cert_file)),
      key_file_(std::move(key_file)),
      ssl_min_version_(ToLowerAscii(ssl_min_version)),
      fanout_(std::make_unique<FanOut>()),
      port_(port) {
  RegisterCoreMessageHandlers();
}

TOVWSServer::~TOVWSServer() {
  Stop();
  WakePending();
  if (stop_fd_ >= 0) ::close(stop_fd_);
  if (spare_fd_ >= 0) ::close(spare_fd_);
}

void TOVWSServer::Start() {
  if (Active()) return;
  LogInfo("[ws] Starting WebSocket server on %s:%d", address_, port_);
  TOVListener l;
  try {
    l = OpenTcpListener(address_, port_, 128);
  } catch (const EListenError& e) {
    switch (e.Step()) {
      case TOVListenStep::Socket:
        throw std::runtime_error(Format("WebSocket: failed to create socket (errno=%d)", e.Error()));
      case TOVListenStep::Listen: throw std::runtime_error(Format("WebSocket: failed to listen (errno=%d)", e.Error()));
      case TOVListenStep::Port:  // a port outside 16 bits would otherwise be cut down to another port
      case TOVListenStep::Address:
      case TOVListenStep::Bind: break;
    }
    throw std::runtime_error(Format("WebSocket: failed to bind to %s:%d (errno=%d)", address_, port_, e.Error()));
  }
  const int fd = l.fd;
  port_ = l.port;
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
  if (spare_fd_ < 0) spare_fd_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  std::uint64_t stale;
  [[maybe_unused]] ssize_t drained = ::read(stop_fd_, &stale, sizeof stale);  // a wake-up left by Stop
  listen_fd_ = fd;
  OpenPending();
  active_.store(true, std::memory_order_release);
  // The sending thread takes a share itself; on one core there is nothing to share with.
  const unsigned cores = std::thread::hardware_concurrency();
  fanout_->Start(static_cast<int>(std::min(3u, cores > 1 ? cores - 1 : 0u)));
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
    // Taken and left so that the ping thread is either before its check or asleep.
    TOVLockGuard g(ping_lock_);
  }
  ping_cv_.notify_all();
  if (accept_thread_.joinable()) accept_thread_.join();
  if (ping_thread_.joinable()) ping_thread_.join();
  fanout_->Stop();
  if (listen_fd_ >= 0) {
    ::close(listen_fd_);
    listen_fd_ = -1;
  }
  WakePending();
  // Every client thread ends: handshakes are interrupted, connections dropped.
  std::vector<std::shared_ptr<Worker>> all;
  {
    TOVLockGuard g(workers_lock_);
    for (auto& [k, w] : workers_) all.push_back(w);
  }
  for (auto& w : all) w->Abort();
  for (auto& w : all)
    if (w->thread.joinable()) w->thread.join();
  {
    TOVLockGuard g(workers_lock_);
    workers_.clear();
    finished_workers_.clear();
  }
  std::vector<std::string> closed_ips;
  {
    TOVLockGuard g(clients_lock_);
    for (auto& s : clients_) {
      if (!s.Active) continue;
      if (s.Info.WsConn) s.Info.WsConn->Disconnect();
      closed_ips.push_back(s.Info.IPAddress);
    }
    clients_.clear();
    index_.clear();
    free_slots_.clear();
    admin_ids_.clear();
    subscribed_admins_.store(0);
  }
  if (OnConnectionClosed)
    for (const auto& ip : closed_ips)
      if (!ip.empty()) OnConnectionClosed(ip);
  {
    TOVLockGuard g(door_lock_);
    door_routes_.clear();
  }
  LogInfo("[ws] WebSocket server stopped");
}

// ---- threads -------------------------------------------------------------------------------------

void TOVWSServer::AcceptLoop() {
  LogInfo("[ws] Accept thread started on %s:%d", address_, port_);
  // Refusals come in floods; one warning per kind every ten seconds says what happens.
  StreamClock::time_point last_full{}, last_no_fd{}, last_no_thread{};
  auto now_due = [](StreamClock::time_point& last) {
    const auto now = StreamClock::now();
    if (now - last < std::chrono::seconds(10)) return false;
    last = now;
    return true;
  };
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
      const int err = errno;
      if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR || err == ECONNABORTED) continue;
      if (err == EMFILE || err == ENFILE) {
        // The client would otherwise wait in the backlog for a descriptor; it is closed at
        // once instead, before any handshake.
        if (now_due(last_no_fd)) LogWarning("[ws] Out of file descriptors; refusing new connections");
        RefuseWithoutDescriptor();
        ReapWorkers();
        continue;
      }
      LogError("[ws] Accept loop error: %s", std::strerror(err));
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      continue;
    }
    char ipbuf[INET_ADDRSTRLEN] = {0};
    ::inet_ntop(AF_INET, &peer.sin_addr, ipbuf, sizeof ipbuf);
    std::string ip = ipbuf;
    std::size_t live;
    {
      TOVLockGuard g(workers_lock_);
      live = workers_.size();
    }
    if (live >= tuning_.max_connections) {
      ::close(fd);
      if (now_due(last_full))
        LogWarning("[ws] Too many connections (%d); refusing %s", static_cast<std::int64_t>(live), ip);
      continue;
    }
    SetConnectionOptions(fd, TOVKeepAlive{});
    try {
      auto w = std::make_shared<Worker>();
      w->origin = Origin::HubPort;
      w->ip = ip;
      // The hub port always offers TLS 1.2 and 1.3: [ssl] min_version is for the HTTP port.
      if (use_ssl_) w->stream = std::make_unique<TOVOpenSSLHandler>(fd);
      else w->stream = std::make_unique<SocketStream>(fd);
      fd = -1;
      StartWorker(w);  // on failure the stream, and so the socket, goes with w
    } catch (const std::system_error& e) {
      if (fd >= 0) ::close(fd);
      if (now_due(last_no_thread)) LogWarning("[ws] Refusing %s: %s", ip, e.what());
    } catch (const std::exception& e) {
      if (fd >= 0) ::close(fd);
      LogWarning("[ws] Accept error from %s: %s", ip, e.what());
    }
    ReapWorkers();
  }
  LogInfo("[ws] Accept thread stopped");
}

void TOVWSServer::RefuseWithoutDescriptor() {
  if (spare_fd_ >= 0) {
    ::close(spare_fd_);
    spare_fd_ = -1;
  }
  const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd >= 0) ::close(fd);
  spare_fd_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  // Another thread took the descriptor given up: wait a little rather than spin.
  if (fd < 0 || spare_fd_ < 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

void TOVWSServer::PingLoop() {
  LogDebug("[ws] Ping thread started (interval=%ds)", ping_interval_);
  const auto interval = std::chrono::seconds(std::max(1, ping_interval_));
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
  auto next_cycle = std::chrono::steady_clock::now() + interval;
  while (Active()) {
    bool status_only = false;
    {
      TOVUniqueLock lk(ping_lock_);
      ping_cv_.wait_until(lk, next_cycle, [this]() REQUIRES(ping_lock_) { return !Active() || status_pending_; });
      status_only = status_pending_ && std::chrono::steady_clock::now() < next_cycle;
      status_pending_ = false;
    }
    if (!Active()) break;
    if (status_only) {
      guarded("BroadcastServerStatus", [this] { BroadcastServerStatus(); });
      continue;
    }
    next_cycle = std::chrono::steady_clock::now() + interval;
    guarded("SendPings", [this] { SendPings(); });
    guarded("ExpireDeadClients", [this] { ExpireDeadClients(); });
    guarded("BroadcastServerStatus", [this] { BroadcastServerStatus(); });
    guarded("BroadcastNodeState", [this] { BroadcastNodeState(); });
    ReapWorkers();
  }
  LogDebug("[ws] Ping thread stopped");
}

void TOVWSServer::RequestServerStatusBroadcast() {
  if (subscribed_admins_.load(std::memory_order_acquire) == 0) return;  // nobody would see it
  {
    TOVLockGuard g(ping_lock_);
    status_pending_ = true;
  }
  ping_cv_.notify_all();
}

void TOVWSServer::StartWorker(std::shared_ptr<Worker> w) {
  TOVLockGuard g(workers_lock_);
  if (!Active()) throw std::runtime_error("WebSocket server not active");
  w->key = next_worker_key_++;
  workers_[w->key] = w;
  try {
    w->thread.Start([this, w] { WorkerMain(w); });
  } catch (...) {
    workers_.erase(w->key);
    throw;
  }
}

void TOVWSServer::ReapWorkers() {
  std::vector<std::shared_ptr<Worker>> done;
  {
    TOVLockGuard g(workers_lock_);
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
  std::shared_ptr<TWebSocketConnection> conn;
  try {
    if (w->origin == Origin::HubPort) {
      if (const Admission a = AdmitAddress(w->ip); a != Admission::Refused)
        conn = HubPortHandshake(*w, a == Admission::Unknown);
    } else {
      // A hand-over: the thread exists before the client's 101 is sent; its connection follows.
      conn = w->AwaitHandOver();
    }
    if (conn) ServeClient(w->client_id, conn);
  } catch (const std::exception& e) {
    if (w->client_id == 0) {
      if (Active()) LogWarning("[ws] Accept error from %s: %s", w->ip, e.what());
    } else {
      if (Active()) LogWarning("[ws] Client %d worker error: %s", w->client_id, e.what());
      if (auto c = w->Conn()) c->Disconnect();
      if (Active()) RemoveClient(w->client_id);
    }
  } catch (...) {
    if (w->client_id != 0 && Active()) RemoveClient(w->client_id);
  }
  w->SetLiveStream(nullptr);
  w->stream.reset();
  TOVLockGuard g(workers_lock_);
  finished_workers_.push_back(w->key);
}

TOVWSServer::Admission TOVWSServer::AdmitAddress(const std::string& ip) {
  if (!IsBannedFn) return Admission::Admitted;
  std::string mode = "enforce";
  if (auto cfg = Config.Get()) mode = cfg->SecurityGateMode();
  if (mode == "off") return Admission::Admitted;
  bool banned = false;
  bool outage = false;  // the check failed only because the database cannot be reached
  std::string error;
  try {
    banned = IsBannedFn(ip);
  } catch (const std::exception& e) {
    error = e.what();
    outage = IsDatabaseUnavailable(e);
  } catch (...) {
    error = "unknown exception";
  }
  if (!banned && error.empty()) return Admission::Admitted;
  const bool refuse = mode == "enforce";
  // One line per address and minute: a banned client that keeps reconnecting cannot flood the log.
  bool log_it = true;
  {
    TOVLockGuard g(gate_log_lock_);
    const auto now = StreamClock::now();
    if (gate_logged_.size() > 4096)
      std::erase_if(gate_logged_, [&](const auto& e) { return now - e.second > std::chrono::minutes(1); });
    auto [it, fresh] = gate_logged_.try_emplace(ip, now);
    if (!fresh) {
      log_it = now - it->second > std::chrono::minutes(1);
      if (log_it) it->second = now;
    }
  }
  // A client refused for the outage adds no line: the outage's own lines tell it.
  if (log_it && !outage) {
    if (!error.empty()) LogError("[ws] Blacklist check failed for %s: %s", ip, error);
    else if (refuse) LogWarning("[ws] Connection from banned IP %s refused", ip);
    else LogWarning("[gate:log] would block banned IP %s on the WebSocket port", ip);
  }
  // A check that failed refuses in "enforce" mode, as the HTTP gate answers 500 then; one that
  // failed for the outage is told after the handshake, as when the credentials cannot be
  // checked (the HTTP gate answers 503 then).
  if (!refuse) return Admission::Admitted;
  return outage ? Admission::Unknown : Admission::Refused;
}

bool TOVWSServer::DoHandshake(Stream& stream, std::string& api_key, std::string& token, std::string& rest,
                              Deadline d) {
  std::string head, key;
  if (!WsReadRequestHead(stream, d, head, rest)) return false;
  if (!WsParseClientRequest(head, key, api_key, token)) return false;
  std::string answer = BuildUpgradeResponse(key);
  return stream.Send(answer.data(), answer.size(), d).ok();
}

std::shared_ptr<TWebSocketConnection> TOVWSServer::HubPortHandshake(Worker& w, bool AUnchecked) {
  const Deadline d = DeadlineIn(tuning_.handshake_timeout);
  Stream& s = *w.stream;
  w.SetLiveStream(&s);
  if (w.aborted.load()) return nullptr;
  if (use_ssl_) {
    auto& tls = static_cast<TOVOpenSSLHandler&>(s);
    if (!tls.Accept(d)) {
      if (Active()) LogWarning("[ws] SSL handshake failed from %s", w.ip);
      return nullptr;
    }
    w.tls_version = tls.ProtocolVersion();
  }
  std::string api_key, token, rest;
  if (!DoHandshake(s, api_key, token, rest, d)) {
    if (Active()) LogWarning("[ws] Handshake failed from %s", w.ip);
    return nullptr;
  }
  // A rejected token is not an error by itself: the API key is tried next.
  bool admin = false, known = false, unchecked = AUnchecked;
  if (!unchecked) {
    try {
      admin = !token.empty() && ValidateWebAdmin(token);
      known = admin || ValidateClient(api_key);
    } catch (const std::exception& e) {
      if (!IsDatabaseUnavailable(e)) throw;
      unchecked = true;
    }
  }
  if (unchecked) {
    // The client cannot be checked now: it is told to come back, and the outage's own lines
    // count it (a node reconnecting all night must not write a line per attempt).
    RefuseAfterHandshake(s, WS_CLOSE_TRY_AGAIN_LATER, "Database unavailable");
    return nullptr;
  }
  if (!known) {
    LogWarning("[ws] Unauthorized connection from %s", w.ip);
    RefuseAfterHandshake(s, WS_CLOSE_POLICY_VIOLATION, "Unauthorized");
    return nullptr;
  }
  auto conn = std::make_shared<TWebSocketConnection>(std::move(w.stream), w.ip, std::move(rest));
  conn->SetMaxQueueBytes(tuning_.max_queue_bytes);
  w.Connected(conn);
  if (w.aborted.load() || !Active()) return nullptr;
  std::int32_t id = AddClient(conn, w.ip, admin, w.tls_version);
  w.client_id = id;
  if (admin) LogInfo("[ws] Web admin client %d connected from %s", id, w.ip);
  LogInfo("[ws] Client %d connected from %s", id, w.ip);
  SendWelcome(id);
  return conn;
}

void TOVWSServer::RefuseAfterHandshake(Stream& AStream, std::uint16_t ACode, const char* AReason) {
  std::string frame = EncodeCloseFrame(ACode, AReason);
  if (AStream.Send(frame.data(), frame.size(), DeadlineIn(std::chrono::milliseconds(5000))).ok())
    AStream.LingeringClose(std::chrono::milliseconds(1000), 64 * 1024);
}

void TOVWSServer::ServeClient(std::int32_t id, const std::shared_ptr<TWebSocketConnection>& conn) {
  TWSHandlers h;
  std::string error;
  h.OnText = [this, id, &conn, &error](std::string&& text) {
    try {
      HandleMessage(id, text);
    } catch (const std::exception& e) {
      // A message its handler cannot read ends the connection, with a close frame that says so.
      if (error.empty()) error = e.what();
      conn->Close(WS_CLOSE_INTERNAL_ERROR, "Message could not be handled");
    } catch (...) {
      if (error.empty()) error = "unknown exception";
      conn->Close(WS_CLOSE_INTERNAL_ERROR, "Message could not be handled");
    }
  };
  h.OnPong = [this, id](const std::string& p) {
    if (p.size() < 8) return;
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = (v << 8) | static_cast<unsigned char>(p[static_cast<std::size_t>(i)]);
    UpdateRttFromPong(id, static_cast<std::int64_t>(v));
  };
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
  auto it = index_.find(client_id);
  return it == index_.end() ? nullptr : &clients_[it->second];
}

std::int32_t TOVWSServer::AddClient(std::shared_ptr<TWebSocketConnection> conn, const std::string& ip, bool web_admin,
                                    const std::string& tls_version) {
  std::int32_t id;
  {
    TOVLockGuard g(clients_lock_);
    id = next_client_id_++;
    std::size_t at;
    if (!free_slots_.empty()) {
      at = *free_slots_.begin();
      free_slots_.erase(free_slots_.begin());
    } else {
      at = clients_.size();
      clients_.emplace_back();
    }
    Slot* slot = &clients_[at];
    index_[id] = at;
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
      admin_ids_.insert(id);
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
    TOVLockGuard g(clients_lock_);
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
      free_slots_.insert(index_[client_id]);
      index_.erase(client_id);
      admin_ids_.erase(client_id);
    }
  }
  if (!found) return;
  if (OnConnectionClosed && !ip.empty()) OnConnectionClosed(ip);
  // A door route whose end went away is dropped: a later client could otherwise receive
  // the session's data.
  for (auto s : DropDoorRoutesOf(client_id)) LogDebug("[ws] Door route removed: session=%d", s);
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

std::int32_t TOVWSServer::TakeOverUpgrade(const std::function<TOVDetachedStream()>& upgrade, const std::string& ip,
                                          bool web_admin) {
  if (!Active()) return 0;
  auto w = std::make_shared<Worker>();
  w->origin = web_admin ? Origin::HttpWebAdmin : Origin::HttpThinClient;
  w->ip = ip;
  try {
    StartWorker(w);
  } catch (const std::exception& e) {
    LogWarning("[ws] Refusing %s: %s", ip, e.what());
    return 0;
  }
  // The thread waits for its connection; every path below hands one over or releases it.
  std::int32_t id = 0;
  try {
    TOVDetachedStream ds = upgrade();
    if (!ds.stream) throw std::runtime_error("WebSocket hand-over without a stream");
    auto conn = std::make_shared<TWebSocketConnection>(std::move(ds.stream), ip, std::move(ds.pending));
    conn->SetMaxQueueBytes(tuning_.max_queue_bytes);
    id = AddClient(conn, ip, web_admin, "");
    // A Stop that began before the client was in the table would leave it there.
    if (!Active()) throw std::runtime_error("WebSocket server not active");
    SendWelcome(id);
    w->HandOver(std::move(conn), id);
  } catch (...) {
    w->HandOver(nullptr, 0);
    if (id != 0) RemoveClient(id);
    throw;
  }
  if (web_admin) LogInfo("[ws] Web admin client %d registered via HTTP upgrade from %s", id, ip);
  else LogInfo("[ws] Thin client %d registered via HTTP upgrade from %s", id, ip);
  return id;
}

std::int32_t TOVWSServer::TakeOver(TOVDetachedStream ds, const std::string& ip, bool web_admin) {
  if (!ds.stream) throw std::runtime_error("WebSocket server not active");
  std::int32_t id = TakeOverUpgrade([&ds] { return std::move(ds); }, ip, web_admin);
  if (id == 0) throw std::runtime_error(Active() ? "WebSocket server has no thread for the client"
                                                 : "WebSocket server not active");
  return id;
}

std::int32_t TOVWSServer::RegisterWebAdmin(TOVDetachedStream stream, const std::string& ip_address) {
  return TakeOver(std::move(stream), ip_address, true);
}

std::int32_t TOVWSServer::RegisterThinClient(TOVDetachedStream stream, const std::string& ip_address) {
  return TakeOver(std::move(stream), ip_address, false);
}

std::shared_ptr<TWebSocketConnection> TOVWSServer::ConnOf(std::int32_t client_id) {
  TOVLockGuard g(clients_lock_);
  Slot* s = FindSlot(client_id);
  return s ? s->Info.WsConn : nullptr;
}

int TOVWSServer::FindClientIndex(std::int32_t client_id) {
  TOVLockGuard g(clients_lock_);
  auto it = index_.find(client_id);
  return it == index_.end() ? -1 : static_cast<int>(it->second);
}

std::optional<TOVWSClientInfo> TOVWSServer::GetClientInfo(std::int32_t client_id) {
  TOVLockGuard g(clients_lock_);
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

std::vector<char> TOVWSServer::SendToAll(const std::vector<std::shared_ptr<TWebSocketConnection>>& targets,
                                         const std::shared_ptr<const std::string>& frame) {
  // Below this many targets per share, handing a share over costs more than it saves.
  constexpr std::size_t kShare = 64;
  std::vector<char> ok(targets.size(), 0);
  const std::size_t n = targets.size();
  const std::size_t parts = std::min<std::size_t>(static_cast<std::size_t>(fanout_->Threads()) + 1, n / kShare);
  auto share = [&](int p) {
    const auto part = static_cast<std::size_t>(p);
    for (std::size_t i = n * part / parts; i < n * (part + 1) / parts; ++i) {
      try {
        ok[i] = targets[i]->SendEncoded(frame) ? 1 : 0;
      } catch (...) {
        // Out of memory for the queue: that client misses the frame, the others do not.
      }
    }
  };
  if (parts <= 1) {
    for (std::size_t i = 0; i < n; ++i) ok[i] = targets[i]->SendEncoded(frame) ? 1 : 0;
    return ok;
  }
  fanout_->Run(static_cast<int>(parts), share);
  return ok;
}

void TOVWSServer::PushCommand(const std::string& protocol, const TJSON& command) {
  const std::string text = JsonCompact(command);
  std::shared_ptr<TWebSocketConnection> conn;
  {
    TOVLockGuard g(clients_lock_);
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
    TOVLockGuard g(clients_lock_);
    for (auto& s : clients_)
      if (s.Active && s.Info.Registered && s.Info.WsConn) targets.emplace_back(s.Info.ID, s.Info.WsConn);
  }
  std::vector<std::shared_ptr<TWebSocketConnection>> conns;
  conns.reserve(targets.size());
  for (auto& t : targets) conns.push_back(t.second);
  const std::vector<char> ok = SendToAll(conns, frame);
  int sent = 0;
  for (std::size_t i = 0; i < targets.size(); ++i) {
    if (ok[i]) ++sent;
    else LogWarning("[ws] Broadcast to client %d failed: %s", targets[i].first, "connection closed");
  }
  if (sent == 0) LogWarning("[ws] Broadcast: no active clients to send to (text=%d bytes)", text.size());
}

void TOVWSServer::BroadcastCommand(const std::string& protocol, const TJSON& command) {
  auto frame = std::make_shared<const std::string>(EncodeFrame(WS_OP_TEXT, JsonCompact(command)));
  std::vector<std::shared_ptr<TWebSocketConnection>> targets;
  {
    TOVLockGuard g(clients_lock_);
    for (auto& s : clients_)
      if (s.Active && s.Info.Registered && s.Info.WsConn && ContainsIgnoreCase(s.Info.Protocols, protocol))
        targets.push_back(s.Info.WsConn);
  }
  SendToAll(targets, frame);
}

TJSON TOVWSServer::GetClientsJSON() {
  std::vector<TOVWSClientInfo> rows;
  {
    TOVLockGuard g(clients_lock_);
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
  TOVLockGuard g(clients_lock_);
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
  const std::string ping_frame = EncodeFrame(WS_OP_PING, payload);
  struct Target {
    std::shared_ptr<TWebSocketConnection> conn;
    std::int32_t rtt, avg;
  };
  std::vector<Target> targets;
  {
    TOVLockGuard g(clients_lock_);
    targets.reserve(index_.size());
    for (auto& s : clients_)
      if (s.Active && s.Info.Registered && s.Info.WsConn) {
        s.Info.PendingPingTS = ts;
        targets.push_back({s.Info.WsConn, s.Info.RTT_MS, s.Info.RTT_AVG});
      }
  }
  // The ping frame and the JSON ping leave in one write.
  for (auto& t : targets) {
    TJSON m = TJSON::object();
    m["type"] = "ping";
    m["ts"] = ts;
    m["rtt"] = t.rtt;
    m["rtt_avg"] = t.avg;
    t.conn->SendEncoded(std::make_shared<const std::string>(ping_frame + EncodeFrame(WS_OP_TEXT, JsonCompact(m))));
  }
}

void TOVWSServer::UpdateRttFromPong(std::int32_t client_id, std::int64_t sent_ts) {
  if (sent_ts <= 0) return;
  const std::int32_t sample = static_cast<std::int32_t>(std::clamp<std::int64_t>(WsUnixMillis() - sent_ts, 0, 30000));
  TOVLockGuard g(clients_lock_);
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
    TOVLockGuard g(clients_lock_);
    for (auto& s : clients_)
      if (s.Active && now - s.Info.LastPong > tuning_.client_timeout) dead.push_back(s.Info.ID);
  }
  const auto secs = std::chrono::duration_cast<std::chrono::seconds>(tuning_.client_timeout).count();
  for (auto id : dead) {
    LogWarning("[ws] Client %d timed out (no pong in %ds)", id, secs);
    DisconnectClient(id);
  }
}

// ---- events for web administrators ---------------------------------------------------------------

int TOVWSServer::CountSubscribers(const std::string& event_lower) {
  int n = 0;
  for (auto id : admin_ids_)
    if (FindSlot(id)->Info.IsSubscribed(event_lower)) ++n;
  return n;
}

bool TOVWSServer::HasSubscribers(const std::string& event_type) {
  if (subscribed_admins_.load(std::memory_order_relaxed) <= 0) return false;
  const std::string name = ToLowerAscii(event_type);
  TOVLockGuard g(clients_lock_);
  return CountSubscribers(name) > 0;
}

void TOVWSServer::BroadcastToWebAdmins(const std::string& event_type, const TJSON* data) {
  if (subscribed_admins_.load(std::memory_order_relaxed) <= 0) return;
  const std::string name = ToLowerAscii(event_type);
  std::vector<std::shared_ptr<TWebSocketConnection>> targets;
  {
    TOVLockGuard g(clients_lock_);
    for (auto id : admin_ids_) {
      const TOVWSClientInfo& c = FindSlot(id)->Info;
      if (c.WsConn && c.IsSubscribed(name)) targets.push_back(c.WsConn);
    }
  }
  if (targets.empty()) return;
  TJSON m = TJSON::object();
  m["type"] = "event";
  m["event"] = event_type;
  m["data"] = data ? *data : TJSON::object();
  auto frame = std::make_shared<const std::string>(EncodeFrame(WS_OP_TEXT, JsonSpaced(m)));
  SendToAll(targets, frame);  // a failed send drops that client only
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
    TOVLockGuard g(clients_lock_);
    count = CountSubscribers("server_status");
  }
  LogDebug("[ws] broadcast server_status -> %d admin(s)", count);
  if (count == 0) return;  // the status costs database reads; nobody would see it
  try {
    TJSON status = OnGetServerStatus();
    BroadcastToWebAdmins("server_status", &status);
  } catch (const std::exception& e) {
    // Every ping cycle during an outage: the outage's own lines tell it.
    if (!FailedForOutage(e)) LogError("[ws] server_status broadcast failed: %s", e.what());
  }
}

void TOVWSServer::HandleEventBroadcast(const std::string& event_type, const TJSON* data) {
  if (!Active()) return;
  BroadcastToWebAdmins(event_type, data);
  for (const char* e : kEventStatusRefresh)
    if (event_type == e) {
      RequestServerStatusBroadcast();
      break;
    }
}

}  // namespace ov
