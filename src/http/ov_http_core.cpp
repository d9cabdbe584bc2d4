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
#include "ov_json_reply.h"
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
// Descriptors kept out of the connections' budget for everything else the process opens: the
// database connections and their files, the hub's clients, plug-ins, log files, the files
// being answered, uploads.  A quarter of the open-file limit, this many at least.
constexpr std::size_t kMinReserve = 128;
// The smallest budget, whatever the limit: below it the accept errors take over.
constexpr std::size_t kMinBudget = 64;
// Seconds a client refused with 503 is asked to wait.
constexpr const char* kRetryAfterSeconds = "5";

std::size_t BudgetFromLimit(std::uint64_t limit) {
  const std::uint64_t reserve = std::max<std::uint64_t>(limit / 4, kMinReserve);
  return limit > reserve + kMinBudget ? static_cast<std::size_t>(limit - reserve) : kMinBudget;
}

TOVHttpServerOptions CompleteOptions(TOVHttpServerOptions o) {
  if (o.max_connections == 0) o.max_connections = 1;
  if (o.descriptor_budget == 0) o.descriptor_budget = BudgetFromLimit(RaiseOpenFileLimit());
  // An ordinary browser opens six connections before it sends on any, a NAT'd office many
  // times that: a quarter of the budget is far beyond both, and still leaves three quarters to
  // everyone else when one address holds its whole share.
  if (o.waiting_per_address == 0) o.waiting_per_address = std::max<std::size_t>(o.descriptor_budget / 4, 1);
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
    : opts(CompleteOptions(std::move(o))),
      files(opts.web_root, opts.plugin_root),
      waiting(opts.waiting_per_address, opts.share_exempt) {
  for (std::size_t i = 0; i < kRefusalKinds; ++i)
    refusal_bytes_[i] = PrepareAnswer(nullptr, RefusalResponse(static_cast<Refusal>(i))).out;
}

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

HttpCore::Handed HttpCore::SubmitToHandler(HeadRead& head) {
  std::unique_ptr<HeadRead> job;
  try {
    job = std::make_unique<HeadRead>(std::move(head));
  } catch (const std::exception& e) {
    LogAcceptError("HTTP request could not be handed over", e.what());
    return Handed::Busy;
  }
  TOVUniqueLock g(m_);
  if (stop_requested.load()) {
    head = std::move(*job);
    return Handed::Stopping;
  }
  if (!idle_.empty()) {
    // The most recent idle thread (its stack is still warm), woken alone.
    Handler* h = idle_.back();
    idle_.pop_back();
    h->job = std::move(job);
    ++active_;
    g.unlock();
    h->wake.notify_one();
    return Handed::Taken;
  }
  if (threads_ >= opts.max_connections) {
    head = std::move(*job);
    const std::uint64_t n = ++refused_;
    const bool log = NoticeDue(Notice::HandlerCap);
    g.unlock();
    if (log)
      LogWarning("HTTP connection limit (%d) reached; %d request(s) answered 503 so far", opts.max_connections, n);
    return Handed::Busy;
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
    return Handed::Busy;
  }
  handlers_.push_back(std::move(h));
  ++threads_;
  ++active_;
  return Handed::Taken;
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

bool HttpCore::NoticeDue(Notice n) {
  auto& last = last_notice_[static_cast<std::size_t>(n)];
  const auto now = StreamClock::now();
  if (last != StreamClock::time_point{} && now - last < std::chrono::seconds(10)) return false;
  last = now;
  return true;
}

void HttpCore::LogAcceptError(const char* what, const std::string& why) {
  {
    TOVLockGuard g(m_);
    if (!NoticeDue(Notice::AcceptError)) return;
  }
  LogWarning("%s: %s", what, why);
}

// ---- the descriptor guard -----------------------------------------------------------------------

TOVHttpResponse HttpCore::RefusalResponse(Refusal why) {
  TOVHttpResponse resp;
  resp.SetHeader("Retry-After", kRetryAfterSeconds);
  TOVJsonReply::SendError(resp, 503, why == Refusal::AddressShare ? "Too many connections" : "Server busy");
  return resp;
}

HttpLoop* HttpCore::Shed(const WaitingNode* newcomer) noexcept {
  std::optional<WaitingConnections::Victim> v = waiting.TakeVictim();
  const bool made_room = v && !(newcomer && v->loop == newcomer->loop && v->id == newcomer->id);
  if (made_room) v->loop->Shed(v->id);
  bool log = false;
  std::uint64_t shed = 0;
  {
    TOVLockGuard g(m_);
    if (made_room) shed = ++shed_;
    log = NoticeDue(Notice::Shed);
  }
  HttpLoop* where = made_room ? v->loop : nullptr;
  if (!log) return where;
  if (made_room)
    LogWarning("HTTP server short of descriptors (%d connection(s) open, budget %d): closing the oldest of %d "
               "connection(s) from %s waiting for their request head (%d closed so far)",
               open_.load(), opts.descriptor_budget, v->held, v->ip, shed);
  else
    LogWarning("HTTP server short of descriptors (%d connection(s) open, budget %d) with none waiting for its "
               "request head: new connections are answered 503",
               open_.load(), opts.descriptor_budget);
  return where;
}

void HttpCore::NoteShareRefusal(const std::string& peer_ip, std::size_t held) noexcept {
  bool log = false;
  std::uint64_t n = 0;
  {
    TOVLockGuard g(m_);
    n = ++share_refused_;
    log = NoticeDue(Notice::Share);
  }
  if (log)
    LogWarning("HTTP connection from %s refused: %d connection(s) waiting for their request head (at most %d per "
               "address; %d refused so far)",
               peer_ip, held, waiting.PerAddress(), n);
}

// ---- connections waiting for their request head ---------------------------------------------------

WaitingConnections::WaitingConnections(std::size_t per_address, std::function<bool(const std::string&)> exempt)
    : per_address_(std::max<std::size_t>(per_address, 1)), exempt_(std::move(exempt)) {}

bool WaitingConnections::Add(const std::string& ip, WaitingNode& node, std::size_t& held) {
  bool exempt = false;
  if (exempt_) {
    try {
      exempt = exempt_(ip);
    } catch (...) {
    }
  }
  TOVLockGuard g(lock_);
  auto [it, fresh] = by_ip_.try_emplace(ip);
  Entry& e = *it;
  held = e.second.count;
  if (!exempt && held >= per_address_) return false;
  if (fresh) {
    try {
      by_count_.emplace(0, &e);
    } catch (...) {
      by_ip_.erase(it);
      throw;
    }
  }
  node.address = &e;
  node.older = e.second.newest;
  node.newer = nullptr;
  (e.second.newest ? e.second.newest->newer : e.second.oldest) = &node;
  e.second.newest = &node;
  Recount(e, held + 1);
  return true;
}

void WaitingConnections::Recount(Entry& e, std::size_t n) noexcept {
  // The set's node is moved, not made again: nothing here allocates or throws.
  auto nh = by_count_.extract(CountKey{e.second.count, &e});
  e.second.count = n;
  if (n == 0) {
    by_ip_.erase(e.first);  // e is gone from here on
    return;
  }
  nh.value().first = n;
  by_count_.insert(std::move(nh));
}

void WaitingConnections::Unlink(Entry& e, WaitingNode& node) noexcept {
  (node.older ? node.older->newer : e.second.oldest) = node.newer;
  (node.newer ? node.newer->older : e.second.newest) = node.older;
  node.older = node.newer = nullptr;
  node.address = nullptr;
  Recount(e, e.second.count - 1);
}

void WaitingConnections::Remove(WaitingNode& node) noexcept {
  TOVLockGuard g(lock_);
  if (node.address) Unlink(*static_cast<Entry*>(node.address), node);
}

std::optional<WaitingConnections::Victim> WaitingConnections::TakeVictim() noexcept {
  try {
    TOVLockGuard g(lock_);
    if (by_count_.empty()) return std::nullopt;
    Entry& e = *by_count_.rbegin()->second;
    WaitingNode& node = *e.second.oldest;
    Victim v{node.loop, node.id, e.first, e.second.count};  // the copy may throw: nothing is taken then
    Unlink(e, node);
    return v;
  } catch (...) {
    return std::nullopt;
  }
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
