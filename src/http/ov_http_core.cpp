// Listener, connection-thread cache and bounded shutdown of the HTTP server.
#include "ov_http_core.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <future>

#include "ov_format.h"
#include "ov_listener.h"
#include "ov_log.h"
#include "ov_router.h"

namespace ov::detail {

namespace {

// How often the shutdown wait looks for connections that asked for nothing yet.
constexpr std::chrono::milliseconds kShutdownSlice{100};
// The end of the shutdown wait kept for stopped connections to come back, at most.
constexpr std::chrono::milliseconds kStopGrace{500};

// No connection is waiting to be taken (or the call was interrupted).
bool NothingPending(int err) noexcept { return err == EAGAIN || err == EWOULDBLOCK || err == EINTR; }
// Network errors that accept() passes on from the connection being taken; they end only that
// connection (ECONNABORTED: the client left before it was taken).
bool ConnectionError(int err) noexcept {
  switch (err) {
    case ECONNABORTED: case EPROTO: case EPERM: case ENETDOWN: case ENETUNREACH: case ENOPROTOOPT:
    case EHOSTDOWN: case EHOSTUNREACH: case ENONET: case EOPNOTSUPP: case ETIMEDOUT:
      return true;
    default:
      return false;
  }
}

void SignalEvent(int fd) noexcept {
  std::uint64_t one = 1;
  ssize_t n = ::write(fd, &one, sizeof one);
  (void)n;
}

TOVHttpServerOptions CompleteOptions(TOVHttpServerOptions o) {
  if (o.max_connections == 0) o.max_connections = 1;
  if (o.upload_dir.empty()) {
    std::error_code ec;
    o.upload_dir = std::filesystem::temp_directory_path(ec).string();
    if (ec || o.upload_dir.empty()) o.upload_dir = "/tmp";
  }
  if (!o.router) o.router = &HttpRouter();
  return o;
}

}  // namespace

HttpCore::HttpCore(TOVHttpServerOptions o)
    : opts(CompleteOptions(std::move(o))), files(opts.web_root, opts.plugin_root) {}

HttpCore::~HttpCore() {
  // Connection threads hold the core, so nothing uses the descriptors any more.
  if (listen_fd >= 0) ::close(listen_fd);
  if (wake_fd >= 0) ::close(wake_fd);
  if (cap_fd >= 0) ::close(cap_fd);
}

// ---- listener ---------------------------------------------------------------------------------

void HttpCore::Listen() {
  TOVListener l;
  try {
    l = OpenTcpListener(opts.address, opts.port, 64);
  } catch (const EListenError& e) {
    switch (e.Step()) {
      case TOVListenStep::Port: throw std::runtime_error(Format("Invalid HTTP port %d", opts.port));
      case TOVListenStep::Address:
        throw std::runtime_error(Format("Invalid HTTP server address %s: %s", opts.address, e.what()));
      case TOVListenStep::Socket: throw std::runtime_error(Format("Cannot create HTTP socket: %s", e.what()));
      case TOVListenStep::Bind:
        throw std::runtime_error(Format("Cannot bind HTTP server to %s:%d: %s", opts.address, opts.port, e.what()));
      case TOVListenStep::Listen:
        throw std::runtime_error(Format("Cannot listen on %s:%d: %s", opts.address, opts.port, e.what()));
    }
    throw;
  }
  listen_fd = l.fd;  // closed with the core from here on, like the events below
  port = l.port;
  wake_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  cap_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_fd < 0 || cap_fd < 0) throw std::runtime_error(Format("Cannot create eventfd: %s", std::strerror(errno)));
}

void HttpCore::RequestStop() noexcept {
  stop_requested.store(true);
  if (wake_fd >= 0) SignalEvent(wake_fd);
}

void HttpCore::RunAcceptLoop() {
  {
    TOVLockGuard g(accept_done_lock_);
    accept_running_ = true;
  }
  struct Done {
    HttpCore& c;
    ~Done() {
      TOVLockGuard g(c.accept_done_lock_);
      c.accept_running_ = false;
      c.accept_done_cv_.notify_all();
    }
  } done{*this};
  SpawnConnectionThread();
  // The connection threads accept; this loop reaps the threads that left and, while every
  // thread is busy at the cap, accepts and closes what comes in.
  while (!stop_requested.load()) {
    bool at_cap = false;
    bool none_free = false;
    {
      TOVLockGuard g(m_);
      // Every thread is serving a connection: nobody takes the next one until one finishes.
      none_free = threads_ <= active_;
      at_cap = none_free && threads_ >= opts.max_connections;
    }
    // Below the cap that only happens when a thread could not be started or could not wait;
    // try again rather than leave connections waiting in the backlog.
    if (none_free && !at_cap) SpawnConnectionThread();
    // The cap event comes from a thread that took the last free place, so clients past the
    // cap are turned away at once rather than at the next look.
    pollfd fds[3] = {{wake_fd, POLLIN, 0}, {cap_fd, POLLIN, 0}, {listen_fd, POLLIN, 0}};
    int r = ::poll(fds, at_cap ? 3 : 2, 1000);
    if (r > 0 && (fds[1].revents & POLLIN)) {
      std::uint64_t v;
      ssize_t n = ::read(cap_fd, &v, sizeof v);
      (void)n;
    }
    ReapFinished();
    if (stop_requested.load()) break;
    if (at_cap && r > 0 && (fds[2].revents & POLLIN)) RefuseOverCap();
  }
  // Stop taking connections: later clients are refused at once instead of waiting, and the
  // threads waiting in accept return.  The descriptor itself is closed with the core.
  ::shutdown(listen_fd, SHUT_RDWR);
}

void HttpCore::RefuseOverCap() {
  for (int i = 0; i < 64; ++i) {
    {
      TOVLockGuard g(m_);
      if (threads_ > active_ || threads_ < opts.max_connections) return;  // a thread is free again
    }
    int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;
    ::close(fd);
    TOVUniqueLock g(m_);
    ++refused_;
    auto now = StreamClock::now();
    bool log = now - last_refused_log_ > std::chrono::seconds(10);
    if (log) last_refused_log_ = now;
    std::uint64_t n = refused_;
    g.unlock();
    if (log) LogWarning("HTTP connection limit (%d) reached; %d connection(s) refused so far", opts.max_connections, n);
  }
}

// ---- connection threads -------------------------------------------------------------------------

std::size_t HttpCore::ActiveConnections() const {
  TOVLockGuard g(m_);
  return active_;
}

std::size_t HttpCore::ConnectionThreads() const {
  TOVLockGuard g(m_);
  return threads_;
}

void HttpCore::SpawnConnectionThread() {
  TOVUniqueLock g(m_);
  if (stop_requested.load()) return;
  if (threads_ >= opts.max_connections) {
    g.unlock();
    SignalEvent(cap_fd);
    return;
  }
  auto w = std::make_unique<Worker>();
  try {
    // Started under the lock: the thread's own exit path takes it, so it cannot finish
    // before it is recorded.
    w->thread = std::thread(&HttpCore::WorkerMain, shared_from_this(), w.get());
  } catch (const std::exception& e) {
    g.unlock();
    LogAcceptError("HTTP connection thread could not start", e.what());
    return;
  }
  ++threads_;
  workers_.push_back(std::move(w));
}

void HttpCore::LogAcceptError(const char* what, const std::string& why) {
  {
    TOVLockGuard g(m_);
    auto now = StreamClock::now();
    if (last_accept_error_log_ != StreamClock::time_point{} && now - last_accept_error_log_ < std::chrono::seconds(10))
      return;
    last_accept_error_log_ = now;
  }
  LogWarning("%s: %s", what, why);
}

void HttpCore::WorkerMain(Worker* w) {
  // The shared_ptr bound into the thread keeps this core alive until the thread ends.
  // Each thread waits on its own epoll set: the listener with EPOLLEXCLUSIVE (one waiter is
  // woken per connection, not all of them) and the stop event.
  int ep = ::epoll_create1(EPOLL_CLOEXEC);
  if (ep >= 0) {
    epoll_event lev{};
    lev.events = EPOLLIN | EPOLLEXCLUSIVE;
    lev.data.fd = listen_fd;
    epoll_event wev{};
    wev.events = EPOLLIN;
    wev.data.fd = wake_fd;
    if (::epoll_ctl(ep, EPOLL_CTL_ADD, listen_fd, &lev) != 0 || ::epoll_ctl(ep, EPOLL_CTL_ADD, wake_fd, &wev) != 0) {
      ::close(ep);
      ep = -1;
    }
  }
  // Without its wait set the thread cannot serve; the accept loop starts another one when no
  // thread is left free.
  if (ep < 0) LogAcceptError("HTTP connection thread cannot wait for connections", std::strerror(errno));
  // A thread is free whenever it is not serving a connection (threads_ - active_ counts them),
  // including one that has just finished and is on its way back to accept.
  bool left = false;
  auto idle_since = StreamClock::now();
  while (ep >= 0 && !stop_requested.load()) {
    sockaddr_storage peer{};
    socklen_t peer_len = sizeof peer;
    int fd = ::accept4(listen_fd, reinterpret_cast<sockaddr*>(&peer), &peer_len, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      int err = errno;
      if (NothingPending(err)) {
        epoll_event out[2];
        ::epoll_wait(ep, out, 2, 1000);
      } else if (ConnectionError(err)) {
        // Only that connection is lost; the next one is taken at once.
        if (err != ECONNABORTED) LogAcceptError("HTTP accept failed", std::strerror(err));
      } else if (!stop_requested.load()) {
        // A shortage (descriptors, memory) or an error not expected while the server runs: a
        // pause gives running connections time to free resources and keeps this from
        // spinning.  The thread stays either way; leaving could leave nobody to accept.
        LogAcceptError("HTTP accept failed", std::strerror(err));
        pollfd pw{wake_fd, POLLIN, 0};
        ::poll(&pw, 1, 100);
      }
      // A thread idle for a while leaves, as long as another one stays free.
      if (StreamClock::now() - idle_since > opts.thread_idle_timeout) {
        TOVLockGuard g(m_);
        if (threads_ > active_ + 1) {
          // Counted out under the same look, so two idle threads never both leave the last place.
          LeaveLocked(w);
          left = true;
          break;
        }
      }
      continue;
    }
    TOVAcceptedSocket sock{fd, {}, 0};
    SocketAddressText(peer, sock.peer_address, sock.peer_port);
    // A refused connection is closed before it takes this thread (or counts as served).
    const TOVAdmission admission = Admit(sock.peer_address);
    if (admission == TOVAdmission::Refused) {
      ::close(fd);
      continue;
    }
    bool none_free;
    {
      TOVLockGuard g(m_);
      none_free = ++active_ >= threads_;
    }
    // This thread took the last free place: start another one for the next connection.
    if (none_free) SpawnConnectionThread();
    ServeConnection(*this, std::move(sock), admission == TOVAdmission::Counted, w->slot);
    {
      TOVLockGuard g(m_);
      if (--active_ == 0) done_cv_.notify_all();
    }
    idle_since = StreamClock::now();
  }
  if (ep >= 0) ::close(ep);
  if (left) return;
  TOVLockGuard g(m_);
  LeaveLocked(w);
}

TOVAdmission HttpCore::Admit(const std::string& peer_ip) noexcept {
  if (!opts.admit_connection) return TOVAdmission::Free;
  try {
    return opts.admit_connection(peer_ip);
  } catch (...) {
    const CaughtException ex = DescribeCaught();
    LogAcceptError("HTTP connection admission failed", ex.type + ": " + ex.what);
    return TOVAdmission::Free;
  }
}

void HttpCore::HeadDone(const std::string& peer_ip) noexcept {
  try {
    if (opts.head_done) opts.head_done(peer_ip);
  } catch (...) {
  }
}

void HttpCore::LeaveLocked(Worker* w) {
  --threads_;
  finished_.push_back(w);
  done_cv_.notify_all();
}

void HttpCore::ReapFinished() {
  std::vector<std::unique_ptr<Worker>> done;
  {
    TOVLockGuard g(m_);
    if (finished_.empty()) return;
    for (Worker* f : finished_) {
      auto it = std::find_if(workers_.begin(), workers_.end(), [f](const auto& p) { return p.get() == f; });
      if (it != workers_.end()) {
        done.push_back(std::move(*it));
        workers_.erase(it);
      }
    }
    finished_.clear();
  }
  for (auto& w : done)
    if (w->thread.joinable()) w->thread.join();
}

// ---- bounded shutdown ---------------------------------------------------------------------------

bool HttpCore::WaitForConnections(TOVUniqueLock<TOVLock>& g, StreamClock::time_point until) {
  // A connection that has not sent its whole request head yet has asked for nothing: it is
  // cut at once (and again every so often, for one accepted just as the stop came) instead of
  // holding the stop until its deadline.
  for (;;) {
    for (auto& w : workers_) w->slot.AbortIfBeforeRequest();
    auto now = StreamClock::now();
    if (now >= until) return active_ == 0;
    auto slice = std::min<StreamClock::duration>(until - now, kShutdownSlice);
    if (done_cv_.wait_for(g, slice, [&]() REQUIRES(m_) { return active_ == 0; })) return true;
  }
}

void HttpCore::RunBusyShutdownCallback() noexcept {
  try {
    opts.on_busy_shutdown();
  } catch (...) {
    const CaughtException ex = DescribeCaught();
    LogWarning("HTTP server: busy-connection callback failed: %s: %s", ex.type, ex.what);
  }
}

void HttpCore::CallBusyShutdown(StreamClock::time_point until) noexcept {
  if (!opts.on_busy_shutdown) return;
  // On a thread of its own, so that a callback that hangs (a database server that does not
  // answer a cancel request) cannot hold the stop past its bound.  The thread holds the core.
  std::future<void> done;
  std::thread t;
  try {
    std::packaged_task<void()> task([self = shared_from_this()] { self->RunBusyShutdownCallback(); });
    done = task.get_future();
    t = std::thread(std::move(task));
  } catch (const std::exception& e) {
    LogWarning("HTTP server: busy-connection callback could not start: %s", e.what());
    return;
  }
  if (done.wait_until(until) == std::future_status::ready) {
    t.join();
  } else {
    t.detach();
    LogWarning("HTTP server: busy-connection callback still running at the end of the shutdown wait");
  }
}

void HttpCore::Shutdown() noexcept {
  RequestStop();
  const auto start = StreamClock::now();
  const auto until = start + opts.shutdown_wait;
  const auto grace = std::min<StreamClock::duration>(kStopGrace, opts.shutdown_wait / 10);
  // The accept loop must have left before the listener goes away.
  {
    TOVUniqueLock g(accept_done_lock_);
    accept_done_cv_.wait_until(g, until, [&]() REQUIRES(accept_done_lock_) { return !accept_running_; });
  }
  if (listen_fd >= 0) ::shutdown(listen_fd, SHUT_RDWR);  // also when Start never ran

  TOVUniqueLock g(m_);
  // Running requests get the first half of the wait to end on their own; then whoever can make
  // them end sooner (running database statements) is told once, without our lock held.
  bool drained = WaitForConnections(g, start + opts.shutdown_wait / 2);
  if (!drained) {
    g.unlock();
    CallBusyShutdown(until - grace);
    g.lock();
    drained = WaitForConnections(g, until - grace);
  }
  if (!drained) {
    // What is left is stopped: its socket is shut down, so a blocked read or write returns
    // now and no further one waits.  The rest of the wait lets those threads come back.
    for (auto& w : workers_) w->slot.Stop();
    done_cv_.wait_until(g, until, [&]() REQUIRES(m_) { return active_ == 0; });
  }
  // Threads waiting for a connection leave on the stop event; what is left after this is
  // still inside a handler.
  done_cv_.wait_until(g, std::max(until, StreamClock::now() + kShutdownSlice), [&]() REQUIRES(m_) { return threads_ <= active_; });
  const std::size_t busy = active_;
  g.unlock();
  ReapFinished();
  g.lock();
  // Threads still running keep this core, and with it their slots, alive through their
  // shared_ptr; their records stay with the core.
  for (auto& w : workers_)
    if (w->thread.joinable()) w->thread.detach();
  g.unlock();
  if (busy > 0) LogWarning("HTTP server: %d connection(s) still busy after the shutdown wait", busy);
}

}  // namespace ov::detail
