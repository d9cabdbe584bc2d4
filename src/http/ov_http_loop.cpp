// One event loop of the HTTP server: accept, TLS handshake and request head without blocking;
// answers that need no handler; the hand-over of every other request to a handler thread.
#include "ov_http_loop.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <stdexcept>

#include "ov_format.h"
#include "ov_http_core.h"
#include "ov_json_reply.h"
#include "ov_listener.h"
#include "ov_log.h"
#include "ov_ssl_handler.h"

namespace ov::detail {

namespace {

constexpr std::uint64_t kListenerId = 0;
constexpr std::uint64_t kEventId = 1;
constexpr std::size_t kScratchBytes = 16 * 1024;
// Connections taken per wake-up of the listener, at most.  The listen queue is short (64): a
// burst is taken while it waits rather than leaving it to overflow (a client whose connection
// is dropped there retries a second later); the bound keeps one loop from taking a whole burst.
constexpr int kAcceptBatch = 16;
constexpr int kMaxEvents = 256;
// A shortage of descriptors or memory pauses accepting for this long: the listener would
// otherwise wake the loop again at once, over and over.
constexpr std::chrono::milliseconds kAcceptPause{100};
// An answer at the door (TLS handshake included) gets this long at most: it must not hold a
// descriptor as long as a client that is served.
constexpr std::chrono::milliseconds kDoorTime{2000};
// Connections one loop answers at the door at once, at most; past that a plain one gets what
// one non-blocking send takes and a TLS one is closed.
constexpr std::size_t kMaxDoorConns = 32;
// A TLS answer's file goes through the TLS layer in pieces of this size (a plain one goes
// from the page cache with sendfile).
constexpr std::size_t kTlsPiece = 64 * 1024;
// The longest a loop waits without looking at its deadlines and flags.
constexpr int kMaxWaitMs = 1000;

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

// The descriptor a loop keeps in reserve for a moment without any.
int OpenReserve() noexcept { return ::open("/dev/null", O_RDONLY | O_CLOEXEC); }

// What one non-blocking send of the answer takes, for a connection that cannot wait for more.
void SendNow(int fd, const std::string& answer) noexcept {
  ssize_t n = ::send(fd, answer.data(), answer.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
  (void)n;
}

}  // namespace

void SignalEvent(int fd) noexcept {
  std::uint64_t one = 1;
  ssize_t n = ::write(fd, &one, sizeof one);
  (void)n;
}

// One connection on a loop.  Idle, waiting for its head, it holds no buffer: the reader and
// the input are made with its first bytes.
struct LoopConn {
  enum class Phase : std::uint8_t { Handshake, Head, Send, Linger };

  std::uint64_t id = 0;
  std::unique_ptr<Stream> stream;
  Phase phase = Phase::Head;
  bool registered = false;    // in the loop's epoll set
  bool any_bytes = false;     // some of the head arrived: its time-out is answered with 408
  bool linger_after = false;  // the answer is followed by a lingering close
  std::optional<Refusal> door;  // answered 503 at the door (after its TLS handshake)
  WaitingNode wait;             // in the core's waiting connections until its head is over
  // Deadline bookkeeping (see HttpLoop::DeadlineList).
  Deadline deadline{};
  void* list = nullptr;
  LoopConn* prev = nullptr;
  LoopConn* next = nullptr;
  // Head.
  std::unique_ptr<TOVHttpRequestReader> reader;
  std::string in;  // bytes not yet taken by the reader, then the bytes read past the head
  // Send: out from out_done, then file from file_off.
  std::string out;
  std::size_t out_done = 0;
  std::shared_ptr<const TOVBodyFile> file;
  std::uint64_t file_off = 0;
  // Linger.
  std::size_t discarded = 0;
};

// ---- life of the loop ------------------------------------------------------------------------

HttpLoop::HttpLoop(HttpCore& core) : core_(core) {
  event_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (event_fd_ < 0) throw std::runtime_error(Format("Cannot create eventfd: %s", std::strerror(errno)));
  io_list_.span = core_.opts.io_timeout;
  door_list_.span = std::min<std::chrono::milliseconds>(core_.opts.io_timeout, kDoorTime);
  linger_list_.span = kLingerTime;
  reserve_fd_ = OpenReserve();  // tried again when it is needed
}

HttpLoop::~HttpLoop() {
  Cut();
  Join();
  ::close(event_fd_);
  if (reserve_fd_ >= 0) ::close(reserve_fd_);
}

void HttpLoop::Start() { thread_ = std::thread(&HttpLoop::Run, this); }

void HttpLoop::Stop() noexcept {
  stop_.store(true);
  SignalEvent(event_fd_);
}

void HttpLoop::Cut() noexcept {
  cut_.store(true);
  SignalEvent(event_fd_);
}

void HttpLoop::Join() noexcept {
  if (thread_.joinable()) thread_.join();
}

void HttpLoop::Shed(std::uint64_t id) noexcept {
  {
    TOVLockGuard g(shed_lock_);
    try {
      shed_.push_back(id);
    } catch (...) {
      return;  // out of memory: the connection waits for its deadline instead
    }
  }
  SignalEvent(event_fd_);
}

void HttpLoop::RunSheds() noexcept {
  std::vector<ConnId> ids;
  {
    TOVLockGuard g(shed_lock_);
    if (shed_.empty()) return;
    ids.swap(shed_);
  }
  for (ConnId id : ids) {
    // Gone already, or its head arrived in the meantime: it stays.
    auto it = conns_.find(id);
    if (it == conns_.end() || it->second->door) continue;
    LoopConn& c = *it->second;
    if (c.phase == LoopConn::Phase::Handshake || c.phase == LoopConn::Phase::Head) Close(c);
  }
}

bool HttpLoop::MakeWaitSet() noexcept {
  ep_ = ::epoll_create1(EPOLL_CLOEXEC);
  if (ep_ < 0) return false;
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = kEventId;
  if (::epoll_ctl(ep_, EPOLL_CTL_ADD, event_fd_, &ev) != 0) {
    ::close(ep_);
    ep_ = -1;
    return false;
  }
  return true;
}

void HttpLoop::Run() noexcept {
  // Without its wait set the loop cannot serve (a passing shortage of descriptors): it tries
  // again rather than leave the port to the other loops, or to nobody.
  while (!MakeWaitSet()) {
    core_.LogAcceptError("HTTP event loop cannot make its wait set", std::strerror(errno));
    if (stop_.load() || cut_.load()) return;
    pollfd p{event_fd_, POLLIN, 0};
    ::poll(&p, 1, static_cast<int>(kAcceptPause.count()));
  }
  try {
    scratch_ = std::make_unique<char[]>(kScratchBytes);
  } catch (const std::exception&) {
    ::close(ep_);
    ep_ = -1;
    return;
  }
  epoll_event events[kMaxEvents];
  while (!cut_.load()) {
    if (stop_.load() && !stopping_) StopNow();
    if (stopping_ && conns_.empty()) break;
    int timeout = RunTimers();
    if (!listening_ && !stopping_) {
      const auto now = StreamClock::now();
      if (now >= accept_paused_until_) {
        // Connections that came during the pause are taken now, without waiting for the
        // listener to report them.
        ResumeAccepting();
        if (listening_) AcceptSome();
      } else {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(accept_paused_until_ - now).count() + 1;
        timeout = std::min<int>(timeout, static_cast<int>(left));
      }
    }
    const int n = ::epoll_wait(ep_, events, kMaxEvents, timeout);
    for (int i = 0; i < n; ++i) {
      const std::uint64_t id = events[i].data.u64;
      if (id == kEventId) {
        std::uint64_t v;
        ssize_t r = ::read(event_fd_, &v, sizeof v);
        (void)r;
        RunSheds();
      } else if (id == kListenerId) {
        // After the stop the listener is shut down (and reads as ready): nothing to take.
        if (!stopping_ && !stop_.load()) AcceptSome();
      } else {
        auto it = conns_.find(id);
        if (it != conns_.end()) Drive(*it->second);
      }
    }
  }
  // Cut, or nothing left after the stop: whatever is left goes now.
  std::vector<LoopConn*> left;
  for (auto& kv : conns_) left.push_back(kv.second.get());
  for (LoopConn* c : left) Close(*c);
  ::close(ep_);
  ep_ = -1;
}

void HttpLoop::StopNow() noexcept {
  stopping_ = true;
  if (listening_) {
    ::epoll_ctl(ep_, EPOLL_CTL_DEL, core_.listen_fd, nullptr);
    listening_ = false;
  }
  // A connection that has not sent its whole request head has asked for nothing: it is cut at
  // once instead of holding the stop until its deadline.  Answers being sent go on.
  std::vector<LoopConn*> waiting;
  for (auto& kv : conns_)
    if (kv.second->phase == LoopConn::Phase::Handshake || kv.second->phase == LoopConn::Phase::Head)
      waiting.push_back(kv.second.get());
  for (LoopConn* c : waiting) Close(*c);
}

void HttpLoop::ResumeAccepting() noexcept {
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLEXCLUSIVE;
  ev.data.u64 = kListenerId;
  if (::epoll_ctl(ep_, EPOLL_CTL_ADD, core_.listen_fd, &ev) == 0) {
    listening_ = true;
  } else {
    core_.LogAcceptError("HTTP event loop cannot wait for connections", std::strerror(errno));
    accept_paused_until_ = StreamClock::now() + kAcceptPause;
  }
}

void HttpLoop::PauseAccepting() noexcept {
  if (listening_) ::epoll_ctl(ep_, EPOLL_CTL_DEL, core_.listen_fd, nullptr);
  listening_ = false;
  accept_paused_until_ = StreamClock::now() + kAcceptPause;
}

// ---- accepting -----------------------------------------------------------------------------------

void HttpLoop::AcceptSome() noexcept {
  // Failed accepts do not count: each takes a connection that is lost, and the next one waits.
  // A connection refused for want of a descriptor counts as taken.
  for (int taken = 0; taken < kAcceptBatch;) {
    sockaddr_storage peer{};
    socklen_t peer_len = sizeof peer;
    const int fd = ::accept4(core_.listen_fd, reinterpret_cast<sockaddr*>(&peer), &peer_len, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd >= 0) {
      ++taken;
      Take(fd, peer);
      continue;
    }
    const int err = errno;
    if (NothingPending(err)) return;
    // The stop shuts the listener down under a loop that may be accepting (EINVAL): nothing
    // failed.
    if (stop_.load()) return;
    if (ConnectionError(err)) {
      // Only that connection is lost; the next one is taken at once.
      if (err != ECONNABORTED) core_.LogAcceptError("HTTP accept failed", std::strerror(err));
      continue;
    }
    if (err == EMFILE || err == ENFILE) {
      // accept() says so whether or not a client waits: the reserve tells.
      ++taken;
      const ReserveUse r = UseReserve(err);
      if (r == ReserveUse::Took) continue;
      if (r == ReserveUse::Empty) return;
    }
    core_.LogAcceptError("HTTP accept failed", std::strerror(err));
    // A shortage without a reserve (memory, or descriptors another thread took) or an error not
    // expected while the server runs: a pause gives running connections time to free
    // resources and keeps the level-triggered listener from spinning the loop.
    PauseAccepting();
    return;
  }
}

HttpLoop::ReserveUse HttpLoop::UseReserve(int shortage) noexcept {
  if (reserve_fd_ < 0) reserve_fd_ = OpenReserve();
  if (reserve_fd_ < 0) return ReserveUse::Short;
  ::close(reserve_fd_);
  sockaddr_storage peer{};
  socklen_t peer_len = sizeof peer;
  const int fd = ::accept4(core_.listen_fd, reinterpret_cast<sockaddr*>(&peer), &peer_len, SOCK_CLOEXEC | SOCK_NONBLOCK);
  const int err = errno;
  if (fd < 0) {
    reserve_fd_ = OpenReserve();
    if (NothingPending(err)) return ReserveUse::Empty;
    return ConnectionError(err) && reserve_fd_ >= 0 ? ReserveUse::Took : ReserveUse::Short;
  }
  core_.LogAcceptError("HTTP accept failed", std::strerror(shortage));
  // A client waits and no descriptor is left: the oldest waiting connection of the address
  // holding the most goes.  When it was this loop's, its descriptor becomes the reserve and
  // the client is served; otherwise it is told to come back (the next one finds the room).
  HttpLoop* where = core_.Shed(nullptr);
  if (where == this) RunSheds();
  reserve_fd_ = OpenReserve();
  if (where == this && reserve_fd_ >= 0) {
    Take(fd, peer);
    return ReserveUse::Took;
  }
  // What one send takes: there is no descriptor to wait with.  A TLS client would need a
  // handshake first.
  if (!core_.tls.load()) SendNow(fd, core_.RefusalBytes(Refusal::Busy));
  ::close(fd);
  if (reserve_fd_ < 0) reserve_fd_ = OpenReserve();
  return reserve_fd_ >= 0 ? ReserveUse::Took : ReserveUse::Short;
}

void HttpLoop::Take(int fd, const sockaddr_storage& peer) noexcept {
  LoopConn* conn = nullptr;
  bool owned = false;  // the descriptor belongs to a stream from here on
  try {
    TOVAcceptedSocket sock{fd, {}, 0};
    SocketAddressText(peer, sock.peer_address, sock.peer_port);
    auto c = std::make_unique<LoopConn>();
    if (core_.tls.load()) {
      c->stream = std::make_unique<TOVOpenSSLHandler>(sock, static_cast<TOVSSLType>(core_.ssl_type.load()));
      c->phase = LoopConn::Phase::Handshake;
    } else {
      c->stream = std::make_unique<SocketStream>(sock);
    }
    owned = true;
    c->id = next_id_++;
    c->wait.loop = this;
    c->wait.id = c->id;
    conn = c.get();
    conns_.emplace(c->id, std::move(c));
  } catch (const std::exception& e) {
    // Out of memory for this connection: only it is lost.
    core_.LogAcceptError("HTTP accept failed", e.what());
    if (!owned) ::close(fd);
    return;
  }
  LoopConn& c = *conn;
  // One deadline from accept covers the TLS handshake and the request head.
  SetDeadline(c, io_list_);
  std::size_t held = 0;
  bool added = false;
  try {
    added = core_.waiting.Add(c.stream->PeerAddress(), c.wait, held);
  } catch (const std::exception& e) {
    (void)core_.ConnectionOpened();  // the close ends the count
    core_.LogAcceptError("HTTP accept failed", e.what());
    Close(c);
    return;
  }
  // Counted once it has its place among the waiting connections: a connection counted open
  // is older there than any accepted after it, on whichever loop.
  const bool over_budget = core_.ConnectionOpened();
  if (!added) {
    core_.NoteShareRefusal(c.stream->PeerAddress(), held);
    return RefuseAtDoor(c, Refusal::AddressShare);
  }
  if (over_budget && !core_.Shed(&c.wait)) return RefuseAtDoor(c, Refusal::Busy);
  // The request often came with the connection: read it now, before any wait.
  Drive(c);
}

void HttpLoop::RefuseAtDoor(LoopConn& c, Refusal why) noexcept {
  HeadOver(c);
  if (door_conns_ >= kMaxDoorConns) {
    if (!c.stream->IsSecure()) SendNow(c.stream->Fd(), core_.RefusalBytes(why));
    Close(c);
    return;
  }
  ++door_conns_;
  c.door = why;
  SetDeadline(c, door_list_);
  if (c.phase == LoopConn::Phase::Head) {
    try {
      Send(c, AnswerBytes{core_.RefusalBytes(why), nullptr}, false);
    } catch (...) {
      Close(c);
      return;
    }
  }
  // A TLS connection is answered once its handshake is over.
  Drive(c);
}

bool HttpLoop::Register(LoopConn& c) noexcept {
  if (c.registered) return true;
  // Edge-triggered for both directions: a connection is added once and never changed, and
  // each step runs until its socket would block.
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
  ev.data.u64 = c.id;
  if (::epoll_ctl(ep_, EPOLL_CTL_ADD, c.stream->Fd(), &ev) != 0) return false;
  c.registered = true;
  return true;
}

// ---- the steps of a connection -----------------------------------------------------------------

void HttpLoop::Drive(LoopConn& c) noexcept {
  const ConnId id = c.id;
  try {
    for (;;) {
      Next n = Next::Gone;
      switch (c.phase) {
        case LoopConn::Phase::Handshake: n = StepHandshake(c); break;
        case LoopConn::Phase::Head: n = StepHead(c); break;
        case LoopConn::Phase::Send: n = StepSend(c); break;
        case LoopConn::Phase::Linger: n = StepLinger(c); break;
      }
      if (n == Next::Gone) return;
      if (n == Next::Wait) {
        if (!Register(c)) {
          core_.LogAcceptError("HTTP event loop cannot watch a connection", std::strerror(errno));
          Close(c);
        }
        return;
      }
    }
  } catch (...) {
    // Out of memory, or a failure in code the loop calls: only this connection is lost.
    const CaughtException ex = DescribeCaught();
    LogError("HTTP request error: %s: %s", ex.type, ex.what);
    auto it = conns_.find(id);
    if (it != conns_.end()) Close(*it->second);
  }
}

HttpLoop::Next HttpLoop::StepHandshake(LoopConn& c) {
  const TryResult r = static_cast<TOVOpenSSLHandler&>(*c.stream).TryAccept();
  if (r.status != IoStatus::Ok) return Close(c);
  if (r.wait != IoWait::None) return Next::Wait;
  c.phase = LoopConn::Phase::Head;
  if (c.door) return Send(c, AnswerBytes{core_.RefusalBytes(*c.door), nullptr}, false);
  return Next::Go;
}

HttpLoop::Next HttpLoop::StepHead(LoopConn& c) {
  for (;;) {
    const TryResult r = c.stream->TryRecv(scratch_.get(), kScratchBytes);
    if (r.status != IoStatus::Ok) return Close(c);  // the client went away
    if (r.wait != IoWait::None) return Next::Wait;
    c.any_bytes = true;
    if (!c.reader) c.reader = std::make_unique<TOVHttpRequestReader>();
    c.in.append(scratch_.get(), r.bytes);
    switch (c.reader->FeedHead(c.in)) {
      case TOVHttpRequestReader::Result::Done: return OnHead(c);
      case TOVHttpRequestReader::Result::Error:
        HeadOver(c);
        return AnswerError(c, c.reader->ErrorStatus(), c.reader->ErrorMessage());
      default: break;  // more to come
    }
  }
}

HttpLoop::Next HttpLoop::OnHead(LoopConn& c) {
  HeadOver(c);
  TOVHttpRequest req;
  req.peer_address = c.stream->PeerAddress();
  req.peer_port = c.stream->PeerPort();
  req.secure = c.stream->IsSecure();
  TOVHttpRequestReader& reader = *c.reader;
  if (reader.FillRequest(req) != TOVHttpRequestReader::Result::Done)
    return AnswerError(c, reader.ErrorStatus() ? reader.ErrorStatus() : 400,
                       reader.ErrorMessage().empty() ? "Bad request" : reader.ErrorMessage());
  // A request that completes after the stop is not started.
  if (core_.stop_requested.load()) return Close(c);

  TOVHttpResponse resp;
  resp.SetHeader("Connection", "close");
  const bool body = reader.BodyExpected();
  // The gate runs before the body is read, so a refused client cannot make us read it; only a
  // body still on its way needs draining.
  const GateVerdict gate = core_.RunSecurityGateNow(req, resp);
  if (gate == GateVerdict::Refused) return Answer(c, &req, resp, body || !c.in.empty());
  if (gate == GateVerdict::Unknown) return HandOver(c, req, false);
  if (body) {
    const auto length = reader.ContentLength();
    if (length && *length > core_.opts.max_body_bytes) return AnswerError(c, 413, "Request body too large");
    return HandOver(c, req, true);
  }
  if (!HttpCore::AnsweredWithoutHandler(req)) return HandOver(c, req, true);
  core_.Dispatch(req, resp);
  return Answer(c, &req, resp, !c.in.empty());
}

HttpLoop::Next HttpLoop::HandOver(LoopConn& c, TOVHttpRequest& req, bool gate_passed) {
  // The socket leaves this loop: blocking reads and writes on the handler thread from here.
  if (c.registered) ::epoll_ctl(ep_, EPOLL_CTL_DEL, c.stream->Fd(), nullptr);
  c.registered = false;
  // A handler's answer, or the hub's frames after /ws, must leave at once.  (An answer sent
  // from the loop needs no such option: the close that follows it pushes out what is left.)
  SetConnectionOptions(c.stream->Fd());
  HeadRead head;
  head.stream = std::move(c.stream);
  head.reader = std::move(c.reader);
  head.in = std::move(c.in);
  head.req = std::move(req);
  head.gate_passed = gate_passed;
  const HttpCore::Handed handed = core_.SubmitToHandler(head);
  if (handed == HttpCore::Handed::Taken) {
    Forget(c);
    return Next::Gone;
  }
  // Back to this loop, as it was.
  c.stream = std::move(head.stream);
  c.reader = std::move(head.reader);
  c.in = std::move(head.in);
  if (handed == HttpCore::Handed::Stopping) return Close(c);
  // Every handler thread is busy at the cap (logged by the core): the client is told to come
  // back; a body on its way is drained by the lingering close.
  return Answer(c, &head.req, HttpCore::RefusalResponse(Refusal::Busy), c.reader->BodyExpected() || !c.in.empty());
}

HttpLoop::Next HttpLoop::Answer(LoopConn& c, const TOVHttpRequest* req, const TOVHttpResponse& resp, bool linger) {
  return Send(c, PrepareAnswer(req, resp), linger);
}

HttpLoop::Next HttpLoop::Send(LoopConn& c, AnswerBytes a, bool linger) {
  c.out = std::move(a.out);
  c.out_done = 0;
  c.file = std::move(a.file);
  c.file_off = 0;
  c.linger_after = linger;
  c.reader.reset();
  c.phase = LoopConn::Phase::Send;
  SetDeadline(c, IoList(c));
  return Next::Go;
}

HttpLoop::Next HttpLoop::AnswerError(LoopConn& c, int status, const std::string& message) {
  TOVHttpResponse resp;
  TOVJsonReply::SendError(resp, status, message);
  return Answer(c, nullptr, resp, true);
}

HttpLoop::Next HttpLoop::StepSend(LoopConn& c) {
  const bool plain = !c.stream->IsSecure();
  for (;;) {
    TryResult r;
    if (c.out_done < c.out.size()) {
      const char* p = c.out.data() + c.out_done;
      const std::size_t n = c.out.size() - c.out_done;
      // MSG_MORE holds the head back until the file's first bytes follow: a small answer
      // leaves in one segment.
      r = plain ? static_cast<SocketStream&>(*c.stream).TrySendFlags(p, n, c.file ? MSG_MORE : 0)
                : c.stream->TrySend(p, n);
      c.out_done += r.bytes;
    } else if (c.file && c.file_off < c.file->Size()) {
      if (plain) {
        r = static_cast<SocketStream&>(*c.stream).TrySendFile(c.file->Fd(), c.file_off, c.file->Size() - c.file_off);
      } else {
        // The next piece of the file, through the TLS layer.
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(c.file->Size() - c.file_off, kTlsPiece));
        c.out.resize(want);
        std::size_t got = 0;
        while (got < want) {
          const ssize_t n = ::pread(c.file->Fd(), c.out.data() + got, want - got, static_cast<off_t>(c.file_off + got));
          if (n < 0 && errno == EINTR) continue;
          if (n <= 0) return Close(c);  // the file shrank or cannot be read: the length cannot be kept
          got += static_cast<std::size_t>(n);
        }
        c.file_off += want;
        c.out_done = 0;
        continue;
      }
    } else {
      c.file.reset();
      c.out = std::string();
      return Finish(c, c.linger_after);
    }
    if (r.status != IoStatus::Ok) return Close(c);  // the client went away (or the file shrank)
    if (r.wait != IoWait::None) return Next::Wait;
    // Progress: the write time-out counts from here.
    SetDeadline(c, IoList(c));
  }
}

HttpLoop::Next HttpLoop::Finish(LoopConn& c, bool linger) {
  if (!linger && c.in.empty() && !HasUnreadInput(*c.stream)) {
    // With nothing unread, close() alone ends a plain connection in order (FIN); TLS first
    // sends its close notification.
    if (c.stream->IsSecure()) c.stream->Shutdown(StreamClock::now());
    return Close(c);
  }
  // Unread input would make close() send a reset that can destroy the answer in flight:
  // half-close, then discard what the peer still sends until it closes, for a while.
  c.stream->Shutdown(StreamClock::now());
  c.in = std::string();
  c.phase = LoopConn::Phase::Linger;
  c.discarded = 0;
  SetDeadline(c, linger_list_);
  return Next::Go;
}

HttpLoop::Next HttpLoop::StepLinger(LoopConn& c) {
  // At the socket level: the content no longer matters, only that the kernel's receive queue
  // is empty when the socket is closed.
  for (;;) {
    const ssize_t n = ::recv(c.stream->Fd(), scratch_.get(), kScratchBytes, 0);
    if (n > 0) {
      c.discarded += static_cast<std::size_t>(n);
      if (c.discarded >= kLingerBytes) return Close(c);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Next::Wait;
    return Close(c);  // end of stream or error
  }
}

void HttpLoop::HeadOver(LoopConn& c) noexcept { core_.waiting.Remove(c.wait); }

HttpLoop::Next HttpLoop::Close(LoopConn& c) noexcept {
  HeadOver(c);
  // Closing the descriptor also takes it out of the epoll set.
  if (c.stream) c.stream->Close();
  Forget(c);
  core_.ConnectionLeft();
  return Next::Gone;
}

void HttpLoop::Forget(LoopConn& c) noexcept {
  Unlink(c);
  if (c.door) --door_conns_;
  conns_.erase(c.id);  // c is gone from here on
}

// ---- deadlines ---------------------------------------------------------------------------------------

void HttpLoop::Unlink(LoopConn& c) noexcept {
  auto* list = static_cast<DeadlineList*>(c.list);
  if (!list) return;
  (c.prev ? c.prev->next : list->front) = c.next;
  (c.next ? c.next->prev : list->back) = c.prev;
  c.prev = c.next = nullptr;
  c.list = nullptr;
}

HttpLoop::DeadlineList& HttpLoop::IoList(const LoopConn& c) noexcept { return c.door ? door_list_ : io_list_; }

void HttpLoop::SetDeadline(LoopConn& c, DeadlineList& list) noexcept {
  Unlink(c);
  c.deadline = StreamClock::now() + list.span;
  c.list = &list;
  c.prev = list.back;
  (list.back ? list.back->next : list.front) = &c;
  list.back = &c;
}

int HttpLoop::RunTimers() noexcept {
  const auto now = StreamClock::now();
  auto wait = std::chrono::milliseconds(kMaxWaitMs);
  for (DeadlineList* list : {&io_list_, &door_list_, &linger_list_}) {
    // A connection whose time-out answers (408) moves to the end of a list; every other one
    // leaves.  Either way the front changes, so this ends.
    while (list->front && list->front->deadline <= now) OnTimeout(*list->front);
    if (list->front) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(list->front->deadline - now) +
                        std::chrono::milliseconds(1);
      wait = std::min(wait, left);
    }
  }
  return static_cast<int>(wait.count());
}

void HttpLoop::OnTimeout(LoopConn& c) noexcept {
  if (c.phase == LoopConn::Phase::Head && c.any_bytes) {
    // A client that sent part of a head is told why it is dropped; a silent one just is.
    HeadOver(c);
    try {
      AnswerError(c, 408, "Request timeout");
    } catch (...) {
      Close(c);
      return;
    }
    Drive(c);
    return;
  }
  Close(c);
}

}  // namespace ov::detail
