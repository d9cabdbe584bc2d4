// Listener, event loops, handler-thread cache and bounded shutdown of the HTTP server.
#include "ov_http_core.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <future>

#include "ov_format.h"
#include "ov_http_loop.h"
#include "ov_listener.h"
#include "ov_log.h"
#include "ov_router.h"

namespace ov::detail {

namespace {

// The shortest time the stop gives idle handler threads to leave.
constexpr std::chrono::milliseconds kShutdownSlice{100};
// Event loops by default: one per processor, at most this many.
constexpr std::size_t kDefaultMaxLoops = 8;
// The end of the shutdown wait kept for stopped connections to come back, at most.
constexpr std::chrono::milliseconds kStopGrace{500};

TOVHttpServerOptions CompleteOptions(TOVHttpServerOptions o) {
  if (o.max_connections == 0) o.max_connections = 1;
  if (o.event_loops == 0) o.event_loops = std::clamp<std::size_t>(std::thread::hardware_concurrency(), 1, kDefaultMaxLoops);
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
  // Handler threads hold the core and the loops are joined, so nothing uses the descriptors
  // any more.
  loops_.clear();
  if (listen_fd >= 0) ::close(listen_fd);
  if (wake_fd >= 0) ::close(wake_fd);
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
  listen_fd = l.fd;  // closed with the core from here on, like the event below
  port = l.port;
  wake_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_fd < 0) throw std::runtime_error(Format("Cannot create eventfd: %s", std::strerror(errno)));
  for (std::size_t i = 0; i < opts.event_loops; ++i) loops_.push_back(std::make_unique<HttpLoop>(*this));
}


void HttpCore::RequestStop() noexcept {
  stop_requested.store(true);
  if (wake_fd >= 0) SignalEvent(wake_fd);
  for (auto& l : loops_) l->Stop();
  // Idle handler threads leave at once.
  TOVLockGuard g(m_);
  for (Handler* h : idle_) h->wake.notify_one();
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
  if (!loops_started_.exchange(true)) {
    std::size_t started = 0;
    std::string why;
    for (auto& l : loops_) {
      try {
        l->Start();
        ++started;
      } catch (const std::exception& e) {
        why = e.what();
      }
    }
    if (started == 0) throw std::runtime_error("Cannot start the HTTP event loops: " + why);
    if (started < loops_.size()) LogAcceptError("HTTP event loop could not start", why);
  }
  // The loops accept and serve; this thread only reaps the handler threads that left.
  while (!stop_requested.load()) {
    pollfd p{wake_fd, POLLIN, 0};
    ::poll(&p, 1, 1000);
    ReapFinished();
  }
  // Stop taking connections: later clients are refused at once instead of waiting.  The
  // descriptor itself is closed with the core.
  ::shutdown(listen_fd, SHUT_RDWR);
}

// ---- handler threads ----------------------------------------------------------------------------

std::size_t HttpCore::ConnectionThreads() const {
  TOVLockGuard g(m_);
  return threads_;
}

void HttpCore::ConnectionLeft() noexcept {
  if (open_.fetch_sub(1) == 1 && stop_requested.load()) {
    TOVLockGuard g(m_);
    done_cv_.notify_all();
  }
}

bool HttpCore::SubmitToHandler(HeadRead& head) {
  std::unique_ptr<HeadRead> job;
  try {
    job = std::make_unique<HeadRead>(std::move(head));
  } catch (const std::exception& e) {
    LogAcceptError("HTTP request could not be handed over", e.what());
    return false;
  }
  TOVUniqueLock g(m_);
  if (stop_requested.load()) {
    head = std::move(*job);
    return false;
  }
  if (!idle_.empty()) {
    // The most recent idle thread (its stack is still warm), woken alone.
    Handler* h = idle_.back();
    idle_.pop_back();
    h->job = std::move(job);
    ++active_;
    g.unlock();
    h->wake.notify_one();
    return true;
  }
  if (threads_ >= opts.max_connections) {
    head = std::move(*job);
    ++refused_;
    const auto now = StreamClock::now();
    const bool log = now - last_refused_log_ > std::chrono::seconds(10);
    if (log) last_refused_log_ = now;
    const std::uint64_t n = refused_;
    g.unlock();
    if (log) LogWarning("HTTP connection limit (%d) reached; %d connection(s) refused so far", opts.max_connections, n);
    return false;
  }
  std::unique_ptr<Handler> h;
  try {
    handlers_.reserve(handlers_.size() + 1);  // the record below cannot fail once the thread runs
    h = std::make_unique<Handler>();
    h->job = std::move(job);
    // Started under the lock: the thread's own exit path takes it, so it cannot finish
    // before it is recorded.
    h->thread = std::thread(&HttpCore::HandlerMain, shared_from_this(), h.get());
  } catch (const std::exception& e) {
    head = std::move(h && h->job ? *h->job : *job);  // back to the loop, untouched
    g.unlock();
    LogAcceptError("HTTP handler thread could not start", e.what());
    return false;
  }
  handlers_.push_back(std::move(h));
  ++threads_;
  ++active_;
  return true;
}

void HttpCore::HandlerMain(Handler* h) {
  // The shared_ptr bound into the thread keeps this core alive until the thread ends.
  for (;;) {
    std::unique_ptr<HeadRead> job;
    {
      TOVUniqueLock g(m_);
      const auto idle_until = StreamClock::now() + opts.thread_idle_timeout;
      while (!h->job && !stop_requested.load()) {
        if (h->wake.wait_until(g, idle_until) == std::cv_status::timeout) break;
      }
      if (!h->job) {
        // Idle for a while, or the stop: the thread leaves (a new one starts when needed).
        idle_.erase(std::remove(idle_.begin(), idle_.end(), h), idle_.end());
        --threads_;
        finished_.push_back(h);
        done_cv_.notify_all();
        return;
      }
      job = std::move(h->job);
    }
    ServeRequest(*this, std::move(*job), h->slot);
    job.reset();
    TOVLockGuard g(m_);
    --active_;
    idle_.push_back(h);
    done_cv_.notify_all();
  }
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

void HttpCore::ReapFinished() {
  std::vector<std::unique_ptr<Handler>> done;
  {
    TOVLockGuard g(m_);
    if (finished_.empty()) return;
    for (Handler* f : finished_) {
      auto it = std::find_if(handlers_.begin(), handlers_.end(), [f](const auto& p) { return p.get() == f; });
      if (it != handlers_.end()) {
        done.push_back(std::move(*it));
        handlers_.erase(it);
      }
    }
    finished_.clear();
  }
  for (auto& h : done)
    if (h->thread.joinable()) h->thread.join();
}

// ---- bounded shutdown ---------------------------------------------------------------------------

bool HttpCore::WaitForRequests(TOVUniqueLock<TOVLock>& g, StreamClock::time_point until) {
  return done_cv_.wait_until(g, until, [&]() REQUIRES(m_) { return Drained(); });
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
  RequestStop();  // the loops cut the connections waiting for their head at once
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
  // Running requests (and answers the loops are sending) get the first half of the wait to
  // end on their own; then whoever can make them end sooner (running database statements) is
  // told once, without our lock held.
  bool drained = WaitForRequests(g, start + opts.shutdown_wait / 2);
  if (!drained) {
    g.unlock();
    CallBusyShutdown(until - grace);
    g.lock();
    drained = WaitForRequests(g, until - grace);
  }
  if (!drained) {
    // What is left is stopped: its socket is shut down, so a blocked read or write returns
    // now and no further one waits.  The rest of the wait lets those threads come back.
    for (auto& h : handlers_) h->slot.Stop();
    done_cv_.wait_until(g, until, [&]() REQUIRES(m_) { return active_ == 0; });
  }
  g.unlock();
  // The loops never block: cut what they still hold and join them.
  for (auto& l : loops_) l->Cut();
  for (auto& l : loops_) l->Join();
  g.lock();
  // Idle handler threads leave on the stop; what is left after this is still inside a handler.
  done_cv_.wait_until(g, std::max(until, StreamClock::now() + kShutdownSlice),
                      [&]() REQUIRES(m_) { return threads_ <= active_; });
  const std::size_t busy = active_;
  g.unlock();
  ReapFinished();
  g.lock();
  // Threads still running keep this core, and with it their slots, alive through their
  // shared_ptr; their records stay with the core.
  for (auto& h : handlers_)
    if (h->thread.joinable()) h->thread.detach();
  g.unlock();
  if (busy > 0) LogWarning("HTTP server: %d connection(s) still busy after the shutdown wait", busy);
}

}  // namespace ov::detail
