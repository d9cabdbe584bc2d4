// The shared core of the HTTP server: listener, event loops, handler-thread cache, request
// dispatch and the bounded shutdown.  Internal to the HTTP server; callers use
// TOVHttpServerWrapper.
//
// A connection lives on one event loop until its request head is complete (TLS handshake
// included); the loop answers what needs no handler itself (static and plug-in files, the
// preflight, refusals of the gate, malformed heads) and hands every other request to a handler
// thread from the cache, which reads the body, runs the handler and answers.  The descriptor
// guard (the budget, the per-address share of waiting connections, shedding) is the core's,
// shared by the loops.  Every handler thread holds a shared_ptr to the core, so a thread still
// inside a handler after the shutdown wait never touches freed memory: the core (and each
// thread's slot) lives until the last thread has left.  Loop threads are always joined by the
// shutdown.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
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

// Replaces whatever a failed handler left in resp with its error answer: 503 "Server busy" when
// no database connection came free in time (the database is fine, only busy), 503 "Database
// unavailable" when the exception being handled says the database could not be reached (or
// its connection was lost under the request), 503 with the text of a service that is not
// available, else 500 "Internal server error"; every 503 with Retry-After.  Returns the status
// (a 500 is a fault worth an error line; a 503 is a state the server reports by itself).  A
// failure while doing so is ignored (the connection then closes without an answer).
int AnswerInternalError(TOVHttpResponse& resp) noexcept;

// What the security gate says about a request.
enum class GateVerdict : std::uint8_t {
  Pass = 0,     // served
  Refused = 1,  // resp holds the answer
  Unknown = 2,  // only a check that may block (the database) can tell; nothing was counted
};

// Why a connection is answered 503 instead of being served.
enum class Refusal : std::uint8_t {
  Busy = 0,          // no descriptor or handler thread to serve it
  AddressShare = 1,  // its address holds its share of the connections waiting for a head
};
inline constexpr std::size_t kRefusalKinds = 2;

// A connection waiting for its request head as WaitingConnections knows it: part of the loop's
// record of the connection.  loop and id are set before it is added and never change while it
// is; the rest belongs to WaitingConnections (under its lock).
struct WaitingNode {
  HttpLoop* loop = nullptr;
  std::uint64_t id = 0;
  void* address = nullptr;  // its address's record while added, null otherwise
  WaitingNode* older = nullptr;
  WaitingNode* newer = nullptr;
};

// The connections of every loop that wait for their request head, by peer address, oldest
// first: the per-address share at the door, and the one to go when the loops must make room.
class WaitingConnections {
 public:
  // per_address: the share (1 at least); exempt: addresses the share does not apply to (may
  // be empty; asked without the lock).
  WaitingConnections(std::size_t per_address, std::function<bool(const std::string&)> exempt);
  WaitingConnections(const WaitingConnections&) = delete;
  WaitingConnections& operator=(const WaitingConnections&) = delete;

  // Adds node (not added yet) as ip's newest waiting connection and returns true, or returns
  // false, adding nothing, when ip already holds its share.  held: what ip held before.  Throws
  // std::bad_alloc (nothing added then).
  bool Add(const std::string& ip, WaitingNode& node, std::size_t& held) EXCLUDES(lock_);
  // node's wait is over; nothing when it is not added (never was, or was taken by TakeVictim).
  void Remove(WaitingNode& node) noexcept EXCLUDES(lock_);

  struct Victim {
    HttpLoop* loop;
    std::uint64_t id;
    std::string ip;
    std::size_t held;  // what ip held before
  };
  // Takes out the oldest waiting connection of the address holding the most (one of them on a
  // tie); nullopt when none waits.  Its loop closes it.
  std::optional<Victim> TakeVictim() noexcept EXCLUDES(lock_);

  std::size_t PerAddress() const noexcept { return per_address_; }

 private:
  struct Address {
    std::size_t count = 0;
    WaitingNode* oldest = nullptr;
    WaitingNode* newest = nullptr;
  };
  using AddressMap = std::unordered_map<std::string, Address>;
  using Entry = AddressMap::value_type;  // what a node's address points to (stable in the map)
  using CountKey = std::pair<std::size_t, Entry*>;
  // e's count becomes n; at 0 e is forgotten.
  void Recount(Entry& e, std::size_t n) noexcept REQUIRES(lock_);
  // Takes node (added, of e) out of e's list and count.
  void Unlink(Entry& e, WaitingNode& node) noexcept REQUIRES(lock_);

  // ---- Constant after construction ----
  const std::size_t per_address_;
  const std::function<bool(const std::string&)> exempt_;

  // ---- Guarded by lock_ (a leaf: bookkeeping only, nothing logged under it) ----
  mutable TOVLock lock_{LockLevel::Leaf};
  AddressMap by_ip_ GUARDED_BY(lock_);
  std::set<CountKey> by_count_ GUARDED_BY(lock_);  // every address of by_ip_, the most last
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

  enum class Handed : std::uint8_t {
    Taken,     // a handler thread serves it from here on
    Busy,      // no handler thread for it now
    Stopping,  // the server stops
  };
  // Gives a complete request head to a handler thread: an idle one, or a new one below the
  // cap (Taken).  Busy (counted and logged) at the cap or when no thread can start; Stopping
  // after the stop; head untouched then.  Takes m_.
  Handed SubmitToHandler(HeadRead& head) EXCLUDES(m_);
  // An accepted connection is closed or handed over (its count ends).
  void ConnectionLeft() noexcept EXCLUDES(m_);
  // An accepted connection is open (admitted on a loop); true when it is past the budget as
  // counted at its own admission, so that each connection past the budget makes room for one.
  // (A count read later would also hold a newcomer the other loop admitted meanwhile: both
  // loops would make room for the same one, and a waiting connection would go for nothing.)
  bool ConnectionOpened() noexcept { return open_.fetch_add(1) + 1 > opts.descriptor_budget; }

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

  // ---- the descriptor guard (ov_http_core.cpp) ----
  // Makes room: the oldest waiting connection of the address holding the most is taken out of
  // `waiting` and handed to its loop's Shed (closed at the loop's next turn, or by its own
  // RunSheds).  Returns that loop; null when none waits, or when the one to go is `newcomer`
  // itself (taken out of `waiting` all the same).  Logs at most one line every 10 s.
  HttpLoop* Shed(const WaitingNode* newcomer) noexcept EXCLUDES(m_);
  // A connection from peer_ip is answered 503 at the door because its address held `held`
  // waiting connections: logged at most once every 10 s.
  void NoteShareRefusal(const std::string& peer_ip, std::size_t held) noexcept EXCLUDES(m_);
  // The 503 answer of a refusal: the error envelope with Retry-After.
  static TOVHttpResponse RefusalResponse(Refusal why);
  // The same answer as bytes to send (no request: with its body), made once.
  const std::string& RefusalBytes(Refusal why) const noexcept { return refusal_bytes_[static_cast<std::size_t>(why)]; }

  // Accept, loop and handler-thread failures, at most one line every 10 s.  Takes m_.
  void LogAcceptError(const char* what, const std::string& why) EXCLUDES(m_);

  // ---- Constant after construction (Listen included) ----
  TOVHttpServerOptions opts;  // completed: caps at least 1, the budget and share set
  const TOVStaticFiles files;
  WaitingConnections waiting;  // thread-safe
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

  // ---- Constant after construction ----
  std::string refusal_bytes_[kRefusalKinds];

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
  std::uint64_t refused_ GUARDED_BY(m_) = 0;  // for want of a handler thread
  std::uint64_t shed_ GUARDED_BY(m_) = 0;     // waiting connections closed to make room
  std::uint64_t share_refused_ GUARDED_BY(m_) = 0;
  // Warnings that come in floods: the last time each kind was logged.
  enum class Notice : std::uint8_t { AcceptError, HandlerCap, Shed, Share, Count };
  // True (and noted) when a line of this kind may be logged now: at most one every 10 s.
  bool NoticeDue(Notice n) REQUIRES(m_);
  StreamClock::time_point last_notice_[static_cast<std::size_t>(Notice::Count)] GUARDED_BY(m_){};
};

}  // namespace ov::detail
