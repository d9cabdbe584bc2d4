// One event loop of the HTTP server: accepts from the shared listener and carries each
// connection, without blocking, through its TLS handshake and request head; answers what
// needs no handler (files with sendfile, the preflight, the gate's refusals, malformed heads,
// 413) and closes with a lingering close where it applies; hands every other request to a
// handler thread.  Internal to the HTTP server.
//
// A connection waiting here costs its descriptor and a small record, no thread.  Every loop
// waits on its own epoll set: the listener (EPOLLEXCLUSIVE, so one loop is woken per
// connection, not all of them), its own event and its connections (edge-triggered).
//
// Descriptors are what the loops must not run out of: a connection past its address's share
// of waiting connections is answered 503 at the door; at the budget the oldest waiting
// connection of the address holding the most is closed (by its own loop) to make room; and
// when accept itself finds no descriptor, the loop's reserve descriptor is given up for a
// moment to take the connection, answer it 503 (plain HTTP; a TLS one is closed) and close
// it, so the listener neither spins nor keeps clients waiting.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "ov_http_connection.h"
#include "ov_http_core.h"
#include "ov_locks.h"
#include "ov_stream.h"

namespace ov::detail {

class HttpCore;
struct LoopConn;

// Wakes whoever waits on the eventfd fd.
void SignalEvent(int fd) noexcept;

class HttpLoop {
 public:
  // Makes the loop's event; throws std::runtime_error.  The thread starts with Start.
  explicit HttpLoop(HttpCore& core);
  // Joins the thread (Cut first when it may still hold connections).
  ~HttpLoop();
  HttpLoop(const HttpLoop&) = delete;
  HttpLoop& operator=(const HttpLoop&) = delete;

  // Starts the loop's thread; throws std::system_error when it cannot start.
  void Start();
  // Any thread: stop accepting and close the connections still waiting for their request
  // head; answers being sent go on.  The thread ends once it holds no connection.
  void Stop() noexcept;
  // Any thread: close every connection left; the thread ends at once.
  void Cut() noexcept;
  // Waits for the thread to end (after Stop or Cut).
  void Join() noexcept;
  // Any thread: close connection id if it still waits for its request head (the loops are
  // short of descriptors).  It was taken out of the core's waiting connections.
  void Shed(std::uint64_t id) noexcept EXCLUDES(shed_lock_);

 private:
  using ConnId = std::uint64_t;
  // What a step left a connection in.
  enum class Next : std::uint8_t {
    Wait,  // waiting for its socket
    Go,    // moved on to another phase: step again
    Gone,  // closed or handed over: no longer here
  };
  // Connections whose deadlines are all "last step + span", in the order of their deadlines:
  // a connection that steps moves to the end, so only the front is ever looked at.
  struct DeadlineList {
    std::chrono::milliseconds span{0};
    LoopConn* front = nullptr;
    LoopConn* back = nullptr;
  };

  // What giving up the reserve descriptor for a moment did.
  enum class ReserveUse : std::uint8_t {
    Took,   // one connection was taken (served, or answered 503 and closed); the reserve is back
    Empty,  // no connection was waiting
    Short,  // no descriptor even so (or no reserve): accepting must pause
  };

  void Run() noexcept;
  // Makes the epoll set; false when it cannot (the thread tries again).
  bool MakeWaitSet() noexcept;
  void AcceptSome() noexcept;
  // Serves (or refuses) the connection fd just accepted from peer.
  void Take(int fd, const sockaddr_storage& peer) noexcept;
  // Answers c 503 at the door (on a short deadline) instead of serving it.
  void RefuseAtDoor(LoopConn& c, Refusal why) noexcept;
  // accept() found no descriptor (shortage: its errno): gives up the reserve for a moment to
  // take the connection at the head of the queue, if any; see ReserveUse.
  ReserveUse UseReserve(int shortage) noexcept;
  // Closes the connections other loops (or this one) shed.
  void RunSheds() noexcept EXCLUDES(shed_lock_);
  // Carries c as far as it goes without waiting.
  void Drive(LoopConn& c) noexcept;
  Next StepHandshake(LoopConn& c);
  Next StepHead(LoopConn& c);
  // The whole head has arrived: answer it here or hand it to a handler thread.
  Next OnHead(LoopConn& c);
  Next HandOver(LoopConn& c, TOVHttpRequest& req, bool gate_passed);
  // Starts sending resp (for req, null when there is none); then the close, lingering if asked.
  Next Answer(LoopConn& c, const TOVHttpRequest* req, const TOVHttpResponse& resp, bool linger);
  Next Send(LoopConn& c, AnswerBytes a, bool linger);
  // An error envelope, then a lingering close.
  Next AnswerError(LoopConn& c, int status, const std::string& message);
  Next StepSend(LoopConn& c);
  Next Finish(LoopConn& c, bool linger);
  Next StepLinger(LoopConn& c);
  // The connection's wait for its request head is over: it leaves the core's waiting ones.
  void HeadOver(LoopConn& c) noexcept;
  // Closes c and forgets it.
  Next Close(LoopConn& c) noexcept;
  // Forgets c without closing it (handed over).
  void Forget(LoopConn& c) noexcept;
  void OnTimeout(LoopConn& c) noexcept;
  // c's deadline is now + list's span (c moves to the end of list).
  void SetDeadline(LoopConn& c, DeadlineList& list) noexcept;
  // The I/O time-out's list for c: short for an answer at the door.
  DeadlineList& IoList(const LoopConn& c) noexcept;
  void Unlink(LoopConn& c) noexcept;
  // Acts on the deadlines that passed; returns the wait until the next one in milliseconds.
  int RunTimers() noexcept;
  void StopNow() noexcept;
  bool Register(LoopConn& c) noexcept;
  void PauseAccepting() noexcept;
  void ResumeAccepting() noexcept;

  // ---- Constant after construction ----
  HttpCore& core_;
  int event_fd_ = -1;

  // ---- Atomics (set from any thread, acted on by the loop's thread) ----
  std::atomic<bool> stop_{false};
  std::atomic<bool> cut_{false};

  // ---- Guarded by shed_lock_ (a leaf: the list only) ----
  TOVLock shed_lock_{LockLevel::Leaf};
  std::vector<ConnId> shed_ GUARDED_BY(shed_lock_);  // to be closed if still waiting

  // ---- The loop's own thread only (set before it starts, read after it was joined) ----
  std::thread thread_;
  int ep_ = -1;
  bool stopping_ = false;
  bool listening_ = false;
  Deadline accept_paused_until_{};
  ConnId next_id_ = 2;  // 0: the listener, 1: the event
  std::unordered_map<ConnId, std::unique_ptr<LoopConn>> conns_;
  DeadlineList io_list_;      // handshake, head and answer: the I/O time-out
  DeadlineList door_list_;    // answers at the door (TLS handshake included)
  DeadlineList linger_list_;  // lingering closes
  std::size_t door_conns_ = 0;  // connections being answered at the door
  int reserve_fd_ = -1;         // given up to take a connection when accept finds no descriptor
  std::unique_ptr<char[]> scratch_;  // one read buffer for every connection of the loop
};

}  // namespace ov::detail
