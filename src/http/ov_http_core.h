// The shared core of the HTTP server: listener, event loops, handler-thread cache, request
// dispatch and the bounded shutdown.  Internal to the HTTP server; callers use
// TOVHttpServerWrapper.
//
// A connection lives on one event loop until its request head is complete (TLS handshake
// included); the loop answers what needs no handler itself (static and plug-in files, the
// preflight, refusals of the gate, malformed heads) and hands every other request to a handler
// thread from the cache, which reads the body, runs the handler and answers.  Every handler
// thread holds a shared_ptr to the core, so a thread still inside a handler after the shutdown
// wait never touches freed memory: the core (and each thread's slot) lives until the last
// thread has left.  Loop threads are always joined by the shutdown.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ov_http_connection.h"
#include "ov_http_server.h"
#include "ov_locks.h"
#include "ov_static_files.h"

namespace ov::detail {

class HttpLoop;

// Class name and message of the exception being handled, for log lines.  A handler (a
// plug-in route above all) may throw something that is not a std::exception; it is named too.
// Only valid inside a catch block.
struct CaughtException {
  std::string type;
  std::string what;
};
CaughtException DescribeCaught();

// Replaces whatever a failed handler left in resp with its error answer: 503 "Database
// unavailable" when the exception being handled says the database could not be reached (or
// its connection was lost under the request), 503 with the text of a service that is not
// available, else 500 "Internal server error".  A failure while doing so is ignored (the
// connection then closes without an answer).
void AnswerInternalError(TOVHttpResponse& resp) noexcept;

// What the security gate says about a request.
enum class GateVerdict : std::uint8_t {
  Pass = 0,     // served
  Refused = 1,  // resp holds the answer
  Unknown = 2,  // only a check that may block (the database) can tell; nothing was counted
};

class HttpCore : public std::enable_shared_from_this<HttpCore> {
 public:
  // Completes the options (caps at least 1, upload directory, router) and resolves the roots.
  explicit HttpCore(TOVHttpServerOptions o);
  ~HttpCore();
  HttpCore(const HttpCore&) = delete;
  HttpCore& operator=(const HttpCore&) = delete;

  // ---- listener, loops and handler threads (ov_http_core.cpp) ----
  // Binds and listens, and makes the loops (not started); throws std::runtime_error.  Called
  // once, right after construction.
  void Listen();
  // Starts the loops and runs until RequestStop, reaping handler threads that left.
  void RunAcceptLoop() EXCLUDES(m_, accept_done_lock_);
  // Any thread, any number of times; never blocks long.  Loops stop accepting and cut the
  // connections waiting for their request head; idle handler threads leave.
  void RequestStop() noexcept EXCLUDES(m_);
  // Stops and waits for running requests, bounded by opts.shutdown_wait in all: half-way,
  // opts.on_busy_shutdown is called once if requests are still busy; at the end, the
  // connections left are cut, the loops joined, and handler threads still inside a handler
  // are left to end on their own.  Call without m_.
  void Shutdown() noexcept EXCLUDES(m_, accept_done_lock_);
  // Connections accepted and not yet closed or handed over (on loops and handler threads).
  std::size_t ActiveConnections() const noexcept { return open_.load(); }
  // Handler threads alive, busy or idle.
  std::size_t ConnectionThreads() const EXCLUDES(m_);

  // Gives a complete request head to a handler thread: an idle one, or a new one below the
  // cap.  False (head untouched, counted and logged) at the cap or after the stop.  Takes m_.
  bool SubmitToHandler(HeadRead& head) EXCLUDES(m_);
  // An accepted connection is closed or handed over (its count ends).
  void ConnectionLeft() noexcept EXCLUDES(m_);
  // An accepted connection is open (admitted on a loop).
  void ConnectionOpened() noexcept { open_.fetch_add(1); }

  // ---- request handling (ov_http_server.cpp) ----
  void HandleRequest(TOVHttpRequest& req, TOVHttpResponse& resp);
  // The security gate; false when the request is refused (resp then holds the answer).  May
  // block (is_banned may ask the database): handler threads only.
  bool RunSecurityGate(TOVHttpRequest& req, TOVHttpResponse& resp);
  // The security gate without blocking (for a loop): Unknown when only is_banned could tell.
  GateVerdict RunSecurityGateNow(TOVHttpRequest& req, TOVHttpResponse& resp);
  // True when Dispatch answers req without a handler (files, the preflight): a loop may run it.
  static bool AnsweredWithoutHandler(const TOVHttpRequest& req) noexcept;
  void Dispatch(TOVHttpRequest& req, TOVHttpResponse& resp);
  void HandleWebSocketUpgrade(TOVHttpRequest& req, TOVHttpResponse& resp);
  void HandleRequestError(const std::exception& e);

  // opts.admit_connection for a connection just accepted (Free without it).
  TOVAdmission Admit(const std::string& peer_ip) noexcept;
  // opts.head_done for a Counted connection.
  void HeadDone(const std::string& peer_ip) noexcept;

  // Accept, loop and handler-thread failures, at most one line every 10 s.  Takes m_.
  void LogAcceptError(const char* what, const std::string& why) EXCLUDES(m_);

  // ---- Constant after construction (Listen included) ----
  TOVHttpServerOptions opts;
  const TOVStaticFiles files;
  int listen_fd = -1;
  int wake_fd = -1;  // the stop event for RunAcceptLoop, never reset
  std::uint16_t port = 0;

  // ---- Atomics ----
  std::atomic<bool> tls{false};  // set before Start
  std::atomic<int> ssl_type{0};  // a TOVSSLType
  std::atomic<bool> stop_requested{false};

 private:
  // One cached handler thread: given one request at a time through job, it serves it and
  // waits (on its own condition, so a hand-over wakes it alone) for the next one.
  struct Handler {
    std::thread thread;  // set under m_ before the thread can finish; joined once it left, or detached by the stop
    HttpWorkerSlot slot;
    std::condition_variable_any wake;  // waits under m_
    std::unique_ptr<HeadRead> job;     // guarded by m_: the request handed over, taken by the thread
  };

  void HandlerMain(Handler* h) EXCLUDES(m_);
  void ReapFinished() EXCLUDES(m_);
  // Waits until no request is running and the loops hold no connection, or until `until`.
  bool WaitForRequests(TOVUniqueLock<TOVLock>& g, StreamClock::time_point until) REQUIRES(m_);
  bool Drained() const REQUIRES(m_) { return active_ == 0 && open_.load() == 0; }
  // Runs opts.on_busy_shutdown once, waiting for it until `until` at most.
  void CallBusyShutdown(StreamClock::time_point until) noexcept;
  void RunBusyShutdownCallback() noexcept;

  // ---- Constant after Listen ----
  std::vector<std::unique_ptr<HttpLoop>> loops_;

  // ---- Atomics ----
  std::atomic<std::size_t> open_{0};  // connections accepted and not yet closed or handed over
  std::atomic<bool> loops_started_{false};

  // ---- Guarded by accept_done_lock_ ----
  TOVLock accept_done_lock_{LockLevel::Leaf};
  std::condition_variable_any accept_done_cv_;
  bool accept_running_ GUARDED_BY(accept_done_lock_) = false;

  // ---- Guarded by m_ (a leaf: held around bookkeeping only; slot locks may be taken under it) ----
  mutable TOVLock m_{LockLevel::Leaf};
  std::condition_variable_any done_cv_;  // shutdown waits here for requests and threads
  std::vector<std::unique_ptr<Handler>> handlers_ GUARDED_BY(m_);
  std::vector<Handler*> idle_ GUARDED_BY(m_);      // waiting for a request, most recent last
  std::vector<Handler*> finished_ GUARDED_BY(m_);  // left their loop, to be joined
  std::size_t threads_ GUARDED_BY(m_) = 0;         // alive, busy or idle
  std::size_t active_ GUARDED_BY(m_) = 0;          // serving a request
  std::uint64_t refused_ GUARDED_BY(m_) = 0;
  StreamClock::time_point last_refused_log_ GUARDED_BY(m_){};
  StreamClock::time_point last_accept_error_log_ GUARDED_BY(m_){};
};

}  // namespace ov::detail
