// The shared core of the HTTP server: listener, connection-thread cache, request dispatch and
// the bounded shutdown.  Internal to the HTTP server; callers use TOVHttpServerWrapper.
//
// Every connection thread holds a shared_ptr to the core, so a thread still inside a handler
// after the shutdown wait never touches freed memory: the core (and each thread's slot) lives
// until the last thread has left.
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

// Class name and message of the exception being handled, for log lines.  A handler (a
// plug-in route above all) may throw something that is not a std::exception; it is named too.
// Only valid inside a catch block.
struct CaughtException {
  std::string type;
  std::string what;
};
CaughtException DescribeCaught();

// Replaces whatever a failed handler left in resp with 500 "Internal server error"; a failure
// while doing so is ignored (the connection then closes without an answer).
void AnswerInternalError(TOVHttpResponse& resp) noexcept;

class HttpCore : public std::enable_shared_from_this<HttpCore> {
 public:
  // Completes the options (cap at least 1, upload directory, router) and resolves the roots.
  explicit HttpCore(TOVHttpServerOptions o);
  ~HttpCore();
  HttpCore(const HttpCore&) = delete;
  HttpCore& operator=(const HttpCore&) = delete;

  // ---- listener and connection threads (ov_http_core.cpp) ----
  // Binds and listens; throws std::runtime_error.  Called once, right after construction.
  void Listen();
  // Runs until RequestStop.  Takes m_.
  void RunAcceptLoop() EXCLUDES(m_, accept_done_lock_);
  // Any thread, any number of times; never blocks.
  void RequestStop() noexcept;
  // Stops and waits for running connections, bounded by opts.shutdown_wait in all: half-way,
  // opts.on_busy_shutdown is called once if connections are still busy; at the end, the
  // connections left are stopped and their sockets shut down, and threads still inside a
  // handler are left to end on their own.  Takes m_; call without it.
  void Shutdown() noexcept EXCLUDES(m_, accept_done_lock_);
  std::size_t ActiveConnections() const EXCLUDES(m_);
  std::size_t ConnectionThreads() const EXCLUDES(m_);

  // ---- request handling (ov_http_server.cpp) ----
  void HandleRequest(TOVHttpRequest& req, TOVHttpResponse& resp);
  // False when the request is refused; resp then holds the answer.
  bool RunSecurityGate(TOVHttpRequest& req, TOVHttpResponse& resp);
  void Dispatch(TOVHttpRequest& req, TOVHttpResponse& resp);
  void HandleWebSocketUpgrade(TOVHttpRequest& req, TOVHttpResponse& resp);
  void HandleRequestError(const std::exception& e);

  // opts.admit_connection for a connection just accepted (Free without it).
  TOVAdmission Admit(const std::string& peer_ip) noexcept;
  // opts.head_done for a Counted connection.
  void HeadDone(const std::string& peer_ip) noexcept;

  // Connection-thread and accept failures, at most one line every 10 s.  Takes m_.
  void LogAcceptError(const char* what, const std::string& why) EXCLUDES(m_);

  // ---- Constant after construction (Listen included) ----
  TOVHttpServerOptions opts;
  const TOVStaticFiles files;
  int listen_fd = -1;
  int wake_fd = -1;  // the stop event, never reset
  int cap_fd = -1;   // a connection thread met the cap: the accept loop looks again
  std::uint16_t port = 0;

  // ---- Atomics ----
  std::atomic<bool> tls{false};  // set before Start
  std::atomic<int> ssl_type{0};  // a TOVSSLType
  std::atomic<bool> stop_requested{false};

 private:
  // One connection thread.  Each thread accepts its own connection and serves it to the end
  // (no hand-over between threads, so a request costs no extra wake-up), then waits for the
  // next one.  At least one thread is always free (not serving) while below the cap.
  struct Worker {
    std::thread thread;  // set under m_ before the thread can finish; joined once it left, or detached by the stop
    HttpWorkerSlot slot;
  };

  void SpawnConnectionThread() EXCLUDES(m_);
  void RefuseOverCap() EXCLUDES(m_);
  void WorkerMain(Worker* w) EXCLUDES(m_);
  // The calling thread w leaves the cache.
  void LeaveLocked(Worker* w) REQUIRES(m_);
  void ReapFinished() EXCLUDES(m_);
  // Waits until no connection is being served or until `until`, cutting every so often the
  // connections that have asked for nothing yet.  g holds m_.
  bool WaitForConnections(TOVUniqueLock<TOVLock>& g, StreamClock::time_point until) REQUIRES(m_);
  // Runs opts.on_busy_shutdown once, waiting for it until `until` at most.
  void CallBusyShutdown(StreamClock::time_point until) noexcept;
  void RunBusyShutdownCallback() noexcept;

  // ---- Guarded by accept_done_lock_ ----
  TOVLock accept_done_lock_{LockLevel::Leaf};
  std::condition_variable_any accept_done_cv_;
  bool accept_running_ GUARDED_BY(accept_done_lock_) = false;

  // ---- Guarded by m_ (a leaf: held around bookkeeping only; slot locks may be taken under it) ----
  mutable TOVLock m_{LockLevel::Leaf};
  std::condition_variable_any done_cv_;  // shutdown waits here for connections and threads
  std::vector<std::unique_ptr<Worker>> workers_ GUARDED_BY(m_);
  std::vector<Worker*> finished_ GUARDED_BY(m_);  // left their loop, to be joined
  std::size_t threads_ GUARDED_BY(m_) = 0;        // alive, busy or idle
  std::size_t active_ GUARDED_BY(m_) = 0;         // serving a connection
  std::uint64_t refused_ GUARDED_BY(m_) = 0;
  StreamClock::time_point last_refused_log_ GUARDED_BY(m_){};
  StreamClock::time_point last_accept_error_log_ GUARDED_BY(m_){};
};

}  // namespace ov::detail
