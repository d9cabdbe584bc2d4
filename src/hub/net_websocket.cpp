#include "net_websocket.h"
#include "ov_http_server.h"

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/sha.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <stdexcept>

#include "ov_log.h"

namespace ov {

namespace {

// Frames at least this large are written straight from their shared buffer; smaller ones
// are gathered so that one write carries many of them.
constexpr std::size_t kGatherLimit = 256 * 1024;
constexpr std::size_t kReadChunk = 64 * 1024;
constexpr std::size_t kSmallRead = 512;
// How long a queued close frame may take to leave before the connection is dropped anyway.
constexpr auto kCloseLinger = std::chrono::seconds(2);
// A close frame is a control frame: at most 125 payload bytes.
constexpr std::size_t kMaxCloseReason = 123;

// A mask key from the system's strong random source (RFC 6455 asks for unpredictable keys).
// No per-thread generator: its state would sit in every thread's stack, hub threads included.
std::uint32_t RandomMask() {
  std::uint32_t m = 0;
  if (RAND_bytes(reinterpret_cast<unsigned char*>(&m), sizeof m) != 1) throw std::runtime_error("no random mask key");
  return m;
}

}  // namespace

std::string GenerateAcceptKey(std::string_view key) { return WebSocketAcceptKey(key); }

std::string BuildUpgradeResponse(std::string_view key) {
  return "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Accept: " +
         GenerateAcceptKey(key) + "\r\n\r\n";
}

std::string EncodeFrame(std::uint8_t opcode, std::string_view payload, bool fin, bool mask) {
  std::string out;
  const std::size_t n = payload.size();
  out.reserve(n + 14);
  out.push_back(static_cast<char>((fin ? 0x80 : 0) | (opcode & 0x0F)));
  const std::uint8_t mbit = mask ? 0x80 : 0;
  if (n < 126) {
    out.push_back(static_cast<char>(mbit | n));
  } else if (n <= 0xFFFF) {
    out.push_back(static_cast<char>(mbit | 126));
    out.push_back(static_cast<char>((n >> 8) & 0xFF));
    out.push_back(static_cast<char>(n & 0xFF));
  } else {
    out.push_back(static_cast<char>(mbit | 127));
    for (int i = 7; i >= 0; --i) out.push_back(static_cast<char>((static_cast<std::uint64_t>(n) >> (8 * i)) & 0xFF));
  }
  if (!mask) {
    out.append(payload);
    return out;
  }
  std::uint32_t m = RandomMask();
  unsigned char key[4] = {static_cast<unsigned char>(m >> 24), static_cast<unsigned char>(m >> 16),
                          static_cast<unsigned char>(m >> 8), static_cast<unsigned char>(m)};
  out.append(reinterpret_cast<char*>(key), 4);
  std::size_t base = out.size();
  out.append(payload);
  for (std::size_t i = 0; i < n; ++i) out[base + i] = static_cast<char>(out[base + i] ^ key[i & 3]);
  return out;
}

std::string EncodeCloseFrame(std::uint16_t code, std::string_view reason, bool mask) {
  std::string payload;
  payload.push_back(static_cast<char>(code >> 8));
  payload.push_back(static_cast<char>(code & 0xFF));
  payload.append(reason.substr(0, std::min(reason.size(), kMaxCloseReason)));
  return EncodeFrame(WS_OP_CLOSE, payload, true, mask);
}

// ---- parser ------------------------------------------------------------------------------------

void TWSFrameParser::Append(const char* data, std::size_t len) {
  if (pos_ == buf_.size()) {
    buf_.clear();
    pos_ = 0;
  } else if (pos_ >= 65536) {
    buf_.erase(0, pos_);
    pos_ = 0;
  }
  buf_.append(data, len);
}

TWSFrameParser::Result TWSFrameParser::Next(TWSFrame& out) {
  const std::size_t avail = buf_.size() - pos_;
  if (avail < 2) return Result::NeedMore;
  const auto* p = reinterpret_cast<const unsigned char*>(buf_.data() + pos_);
  std::size_t hdr = 2;
  std::uint64_t len = p[1] & 0x7F;
  if (len == 126) {
    hdr = 4;
    if (avail < hdr) return Result::NeedMore;
    len = (static_cast<std::uint64_t>(p[2]) << 8) | p[3];
  } else if (len == 127) {
    hdr = 10;
    if (avail < hdr) return Result::NeedMore;
    len = 0;
    for (int i = 0; i < 8; ++i) len = (len << 8) | p[2 + i];
    // RFC 6455: the most significant bit must be 0.  Taking it as a length would leave the
    // payload in the stream and read it as frames.
    if (len >> 63) return Result::ProtocolError;
  }
  const bool masked = (p[1] & 0x80) != 0;
  if (masked) hdr += 4;
  if (len > max_payload_) {
    refused_len_ = len;
    return Result::TooLarge;
  }
  if (avail < hdr || avail - hdr < len) return Result::NeedMore;
  out.Fin = (p[0] & 0x80) != 0;
  out.Opcode = p[0] & 0x0F;
  out.Masked = masked;
  out.PayloadLen = static_cast<std::int64_t>(len);
  if (masked) std::memcpy(out.MaskKey, p + hdr - 4, 4);
  else std::memset(out.MaskKey, 0, 4);
  out.Payload.assign(buf_.data() + pos_ + hdr, static_cast<std::size_t>(len));
  if (masked) {
    char* d = out.Payload.data();
    for (std::size_t i = 0; i < len; ++i) d[i] = static_cast<char>(d[i] ^ out.MaskKey[i & 3]);
  }
  pos_ += hdr + static_cast<std::size_t>(len);
  if (pos_ == buf_.size()) {
    buf_.clear();
    pos_ = 0;
  }
  return Result::Frame;
}

// ---- connection --------------------------------------------------------------------------------

namespace {

// The signal that wakes an owner out of ppoll.  A standard signal, so that wake-ups sent before
// the owner waits again merge into one (real-time signals would queue, and can run out); SIGURG,
// because its default action is to ignore it, so a stray one never harms the process, and no
// socket of ours names an owner, so the kernel never raises it for us.  Its handler does
// nothing: the interrupted ppoll is the wake-up.
constexpr int kWakeSignal = SIGURG;

void InstallWakeHandler() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction sa {};
    sa.sa_handler = [](int) {};
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    ::sigaction(kWakeSignal, &sa, nullptr);
  });
}

bool WouldBlock(int err) { return err == EAGAIN || err == EWOULDBLOCK || err == EINTR; }

// Frames gathered into one write: at most this many, and about this many bytes.
constexpr int kMaxIov = 64;
constexpr std::size_t kMaxGather = 1024 * 1024;

}  // namespace

TWebSocketConnection::TWebSocketConnection(std::unique_ptr<Stream> stream, std::string remote_addr,
                                           std::string pending)
    : stream_(std::move(stream)), remote_addr_(std::move(remote_addr)), direct_(stream_ && !stream_->IsSecure()) {
  if (!pending.empty()) parser_.Append(pending.data(), pending.size());
  if (!stream_) connected_.store(false);
}

TWebSocketConnection::~TWebSocketConnection() = default;

void TWebSocketConnection::WakeLocked() noexcept {
  if (wake_pending_) return;
  wake_pending_ = true;
  // The owner's own sends need no signal: it looks at the queue before it waits again.
  if (owner_running_ && !pthread_equal(owner_, pthread_self())) ::pthread_kill(owner_, kWakeSignal);
}

void TWebSocketConnection::SetEnd(const std::string& why) {
  TOVLockGuard g(send_lock_);
  if (end_reason_.empty()) end_reason_ = why;
}

std::string TWebSocketConnection::EndReason() const {
  TOVLockGuard g(send_lock_);
  return end_reason_;
}

std::size_t TWebSocketConnection::QueuedBytes() const {
  TOVLockGuard g(send_lock_);
  return queued_bytes_;
}

bool TWebSocketConnection::Enqueue(std::shared_ptr<const std::string> frame, bool is_close) {
  TOVLockGuard g(send_lock_);
  if (!connected_.load(std::memory_order_acquire) || close_queued_) return false;
  if (is_close) {
    close_queued_ = true;
    closing_.store(true, std::memory_order_release);
  }
  const std::size_t size = frame->size();
  if (direct_ && queue_.empty() && socket_open_) {
    // Nothing is queued before this frame, so writing it now keeps the order.  The write
    // never blocks: what the socket does not take is queued for the owner.
    ssize_t n = ::send(stream_->Fd(), frame->data(), size, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0 && !WouldBlock(errno)) {
      if (end_reason_.empty()) end_reason_ = "write failed";
      connected_.store(false, std::memory_order_release);
      WakeLocked();
      return false;
    }
    const std::size_t written = n > 0 ? static_cast<std::size_t>(n) : 0;
    if (written < size) {
      head_written_ = written;
      queued_bytes_ += size - written;
      queue_.push_back(std::move(frame));
      WakeLocked();
    } else if (is_close) {
      WakeLocked();  // the owner ends the connection
    }
    return true;
  }
  if (!is_close && !queue_.empty() && queued_bytes_ + size > max_queue_bytes_) {
    // The peer does not take what we send: drop it rather than let it hold memory.
    overflowed_.store(true, std::memory_order_release);
    connected_.store(false, std::memory_order_release);
    if (end_reason_.empty()) end_reason_ = "send queue overflow";
    WakeLocked();
    return false;
  }
  const bool was_empty = queue_.empty();
  queued_bytes_ += size;
  queue_.push_back(std::move(frame));
  if (was_empty || is_close) WakeLocked();
  return true;
}

bool TWebSocketConnection::SendFrame(std::uint8_t opcode, std::string_view data, bool fin) {
  if (!Connected()) return false;
  return Enqueue(std::make_shared<const std::string>(EncodeFrame(opcode, data, fin, client_mode_)), false);
}

bool TWebSocketConnection::SendEncoded(std::shared_ptr<const std::string> frame) {
  if (!Connected() || !frame) return false;
  return Enqueue(std::move(frame), false);
}

void TWebSocketConnection::Close(std::uint16_t code, std::string_view reason) {
  if (!Connected()) return;
  Enqueue(std::make_shared<const std::string>(EncodeCloseFrame(code, reason, client_mode_)), true);
}

void TWebSocketConnection::Disconnect() noexcept {
  TOVLockGuard g(send_lock_);
  try {
    if (end_reason_.empty()) end_reason_ = "disconnected";
  } catch (...) {
  }
  connected_.store(false, std::memory_order_release);
  WakeLocked();
}

void TWebSocketConnection::Fail(std::uint16_t code, const std::string& why, bool send_close) {
  SetEnd(why);
  if (send_close && Connected()) {
    Close(code, "");
  } else {
    connected_.store(false, std::memory_order_release);
  }
}

void TWebSocketConnection::RefuseFrame(TWSFrameParser::Result r) {
  if (r == TWSFrameParser::Result::TooLarge) {
    LogWarning("[ws] Frame too large: %d bytes", parser_.RefusedLength());
    Fail(WS_CLOSE_MESSAGE_TOO_BIG, "frame too large", true);
  } else {
    Fail(WS_CLOSE_PROTOCOL_ERROR, "invalid frame length", true);
  }
}

bool TWebSocketConnection::HasOutput() {
  if (out_off_ < out_.size()) return true;
  TOVLockGuard g(send_lock_);
  return !queue_.empty();
}

bool TWebSocketConnection::WriteSome(bool& progressed) {
  return direct_ ? WriteQueuedSocket(progressed) : WriteQueuedStream(progressed);
}

bool TWebSocketConnection::WriteQueuedSocket(bool& progressed) {
  progressed = false;
  TOVLockGuard g(send_lock_);
  while (!queue_.empty() && socket_open_) {
    iovec iov[kMaxIov];
    int count = 0;
    std::size_t total = 0;
    for (auto it = queue_.begin(); it != queue_.end() && count < kMaxIov && total < kMaxGather; ++it) {
      const std::size_t skip = count == 0 ? head_written_ : 0;
      iov[count].iov_base = const_cast<char*>((*it)->data() + skip);
      iov[count].iov_len = (*it)->size() - skip;
      total += iov[count].iov_len;
      ++count;
    }
    msghdr mh{};
    mh.msg_iov = iov;
    mh.msg_iovlen = static_cast<std::size_t>(count);
    ssize_t n = ::sendmsg(stream_->Fd(), &mh, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0) return WouldBlock(errno);
    progressed = progressed || n > 0;
    auto left = static_cast<std::size_t>(n);
    queued_bytes_ -= left;
    while (left > 0) {
      const std::size_t rest = queue_.front()->size() - head_written_;
      if (left < rest) {
        head_written_ += left;
        break;
      }
      left -= rest;
      head_written_ = 0;
      queue_.pop_front();
    }
    if (static_cast<std::size_t>(n) < total) return true;  // the socket is full
  }
  return true;
}

bool TWebSocketConnection::WriteQueuedStream(bool& progressed) {
  progressed = false;
  std::shared_ptr<const std::string> big;  // a large frame written from its own buffer
  std::size_t big_off = 0;
  for (;;) {
    if (out_off_ >= out_.size() && !big) {
      out_.clear();
      out_off_ = 0;
      TOVLockGuard g(send_lock_);
      while (!queue_.empty() && out_.size() < kGatherLimit) {
        auto& f = queue_.front();
        if (out_.empty() && f->size() >= kGatherLimit) {
          big = std::move(f);
          queued_bytes_ -= big->size();
          queue_.pop_front();
          break;
        }
        out_.append(*f);
        queued_bytes_ -= f->size();
        queue_.pop_front();
      }
      if (out_.empty() && !big) return true;
    }
    if (big) {
      // Move what is left of the large frame into out_ only when the write stalls, so a
      // stalled write resumes from owned memory.
      IoResult r = stream_->Send(big->data() + big_off, big->size() - big_off, StreamClock::now());
      big_off += r.bytes;
      if (r.bytes) progressed = true;
      if (r.status == IoStatus::Ok) {
        big.reset();
        big_off = 0;
        continue;
      }
      out_.assign(big->data() + big_off, big->size() - big_off);
      out_off_ = 0;
      big.reset();
      if (r.status == IoStatus::Timeout) return true;
      return false;
    }
    IoResult r = stream_->Send(out_.data() + out_off_, out_.size() - out_off_, StreamClock::now());
    out_off_ += r.bytes;
    if (r.bytes) progressed = true;
    if (r.status == IoStatus::Ok) continue;
    if (r.status == IoStatus::Timeout) return true;
    return false;
  }
}

bool TWebSocketConnection::FlushOutput(Deadline deadline) {
  if (!stream_) return false;
  for (;;) {
    if (!connected_.load(std::memory_order_acquire)) return false;
    bool progressed = false;
    if (!WriteSome(progressed)) {
      SetEnd("write failed");
      connected_.store(false, std::memory_order_release);
      return false;
    }
    if (!HasOutput()) break;
    if (StreamClock::now() >= deadline) return false;
    pollfd p{stream_->Fd(), POLLOUT, 0};
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - StreamClock::now()).count() + 1;
    ::poll(&p, 1, static_cast<int>(std::clamp<long long>(left, 0, 1000)));
  }
  if (closing_.load(std::memory_order_acquire)) {
    stream_->Shutdown(StreamClock::now() + std::chrono::milliseconds(100));
    SetEnd("closed");
    connected_.store(false, std::memory_order_release);
  }
  return true;
}

bool TWebSocketConnection::ReadFrame(TWSFrame& frame, Deadline deadline) {
  frame = TWSFrame{};
  if (!Connected() || !stream_) return false;
  char buf[kReadChunk];
  for (;;) {
    const TWSFrameParser::Result pr = parser_.Next(frame);
    switch (pr) {
      case TWSFrameParser::Result::Frame:
        return true;
      case TWSFrameParser::Result::TooLarge:
      case TWSFrameParser::Result::ProtocolError:
        RefuseFrame(pr);
        return false;
      case TWSFrameParser::Result::NeedMore:
        break;
    }
    IoResult r = stream_->Recv(buf, sizeof buf, deadline);
    if (r.ok()) {
      parser_.Append(buf, r.bytes);
      continue;
    }
    if (r.status == IoStatus::Timeout && parser_.Buffered() == 0) return false;  // quiet peer
    SetEnd(r.status == IoStatus::Timeout ? "time-out inside a frame"
                                         : (r.status == IoStatus::Closed ? "closed by peer" : "read error"));
    connected_.store(false, std::memory_order_release);
    return false;
  }
}

void TWebSocketConnection::Dispatch(TWSFrame& f, const TWSHandlers& h) {
  auto deliver = [&](std::uint8_t op, std::string&& msg) {
    if (op == WS_OP_TEXT) {
      if (h.OnText) h.OnText(std::move(msg));
    } else if (h.OnBinary) {
      h.OnBinary(std::move(msg));
    }
  };
  // Adds the frame to the pending message; false when that makes it too large.
  auto append = [&] {
    if (fragment_.size() + f.Payload.size() > WS_MAX_MESSAGE) {
      Fail(WS_CLOSE_MESSAGE_TOO_BIG, "message too large", true);
      return false;
    }
    fragment_ += f.Payload;
    return true;
  };
  auto finish = [&](std::uint8_t op) {
    fragment_pending_ = false;
    std::string msg = std::move(fragment_);
    fragment_.clear();
    deliver(op, std::move(msg));
  };
  switch (f.Opcode) {
    case WS_OP_TEXT:
    case WS_OP_BINARY:
      if (!f.Fin) {
        // A new fragmented message replaces one that never finished.
        fragment_pending_ = true;
        fragment_opcode_ = f.Opcode;
        fragment_ = std::move(f.Payload);
      } else if (fragment_pending_) {
        // A final data frame completes the pending message, under its own type.
        if (append()) finish(f.Opcode);
      } else {
        deliver(f.Opcode, std::move(f.Payload));
      }
      break;
    case WS_OP_CONTINUATION:
      if (fragment_pending_ && append() && f.Fin) finish(fragment_opcode_);
      break;
    case WS_OP_CLOSE: {
      std::uint16_t code = WS_CLOSE_NORMAL;
      std::string reason;
      if (f.Payload.size() >= 2) {
        code = static_cast<std::uint16_t>((static_cast<unsigned char>(f.Payload[0]) << 8) |
                                          static_cast<unsigned char>(f.Payload[1]));
        reason = f.Payload.substr(2);
      }
      SetEnd("closed by peer");
      Close(code, reason);  // the peer's code and reason are echoed
      if (h.OnClose) h.OnClose(code, reason);
      break;
    }
    case WS_OP_PING:
      SendPong(f.Payload);
      if (h.OnPing) h.OnPing(f.Payload);
      break;
    case WS_OP_PONG:
      if (h.OnPong) h.OnPong(f.Payload);
      break;
    default:
      break;
  }
}

bool TWebSocketConnection::ProcessNextFrame(const TWSHandlers& h, Deadline deadline) {
  TWSFrame f;
  if (!ReadFrame(f, deadline)) return false;
  Dispatch(f, h);
  FlushOutput(std::max(deadline, DeadlineIn(std::chrono::milliseconds(5000))));
  return true;
}

void TWebSocketConnection::ParseAvailable(const TWSHandlers& h) {
  for (;;) {
    if (closing_.load(std::memory_order_acquire) || !connected_.load(std::memory_order_acquire)) return;
    TWSFrame f;
    const TWSFrameParser::Result pr = parser_.Next(f);
    switch (pr) {
      case TWSFrameParser::Result::NeedMore:
        return;
      case TWSFrameParser::Result::TooLarge:
      case TWSFrameParser::Result::ProtocolError:
        RefuseFrame(pr);
        return;
      case TWSFrameParser::Result::Frame:
        Dispatch(f, h);
        break;
    }
  }
}

void TWebSocketConnection::FinishRun() noexcept {
  {
    TOVLockGuard g(send_lock_);
    connected_.store(false, std::memory_order_release);
    owner_running_ = false;
    socket_open_ = false;
    queue_.clear();
    queued_bytes_ = 0;
    head_written_ = 0;
  }
  out_.clear();
  out_off_ = 0;
  stream_->Close();
}

void TWebSocketConnection::Run(const TWSHandlers& h, std::chrono::milliseconds idle_after,
                               const std::function<void()>& on_idle) {
  if (!stream_) return;
  // The wake signal stays blocked on this thread except inside ppoll: one sent at any other
  // moment stays pending and ends the next ppoll at once, so no wake-up is lost.
  InstallWakeHandler();
  sigset_t wake_set, old_mask;
  sigemptyset(&wake_set);
  sigaddset(&wake_set, kWakeSignal);
  ::pthread_sigmask(SIG_BLOCK, &wake_set, &old_mask);
  sigset_t poll_mask = old_mask;
  sigdelset(&poll_mask, kWakeSignal);
  {
    TOVLockGuard g(send_lock_);
    owner_ = ::pthread_self();
    owner_running_ = true;
  }
  // Reads go to a small buffer on the stack; a read that fills it brings in a large one, kept
  // while the connection lives.  An idle client thus holds no read buffer of its own.
  char small[kSmallRead];
  std::unique_ptr<char[]> large;
  auto last_rx = StreamClock::now();
  bool close_seen = false;
  // However Run ends (a callback may throw), the connection is finished and the socket closed;
  // no other thread writes to it or signals this one afterwards.
  struct Finish {
    TWebSocketConnection* c;
    sigset_t mask;
    ~Finish() {
      c->FinishRun();
      ::pthread_sigmask(SIG_SETMASK, &mask, nullptr);
    }
  } finish{this, old_mask};
  // Bytes handed over with the stream are frames too.
  ParseAvailable(h);
  for (;;) {
    {
      // From here on a new wake-up signals this thread again.
      TOVLockGuard g(send_lock_);
      wake_pending_ = false;
    }
    if (!connected_.load(std::memory_order_acquire)) break;
    const bool closing = closing_.load(std::memory_order_acquire);
    if (closing && !close_seen) {
      close_seen = true;
      close_deadline_ = StreamClock::now() + kCloseLinger;
    }
    bool progressed = false;
    if (!WriteSome(progressed)) {
      SetEnd("write failed");
      break;
    }
    const bool want_write = HasOutput();
    if (closing && !want_write) {
      stream_->Shutdown(StreamClock::now() + std::chrono::milliseconds(100));
      SetEnd("closed");
      break;
    }
    auto now = StreamClock::now();
    if (closing && now >= close_deadline_) {
      SetEnd("close not delivered in time");
      break;
    }
    long long wait_ms = std::chrono::duration_cast<std::chrono::milliseconds>(idle_after - (now - last_rx)).count();
    if (closing)
      wait_ms = std::min<long long>(
          wait_ms, std::chrono::duration_cast<std::chrono::milliseconds>(close_deadline_ - now).count() + 1);
    if (stream_->BytesAvailable() > 0) wait_ms = 0;
    wait_ms = std::clamp<long long>(wait_ms, 0, 60000);
    const timespec ts{static_cast<time_t>(wait_ms / 1000), static_cast<long>((wait_ms % 1000) * 1000000)};
    pollfd pfd{stream_->Fd(), static_cast<short>(POLLIN | (want_write ? POLLOUT : 0)), 0};
    int pr = ::ppoll(&pfd, 1, &ts, &poll_mask);
    if (pr < 0) {
      if (errno == EINTR) continue;  // woken
      SetEnd("poll failed");
      break;
    }
    if ((pr > 0 && (pfd.revents & (POLLIN | POLLHUP | POLLERR))) || stream_->BytesAvailable() > 0) {
      char* buf = large ? large.get() : small;
      IoResult r = stream_->Recv(buf, large ? kReadChunk : sizeof small, StreamClock::now());
      if (r.ok()) {
        last_rx = StreamClock::now();
        // Once our close frame is queued, what the peer still sends is discarded.
        if (!closing) {
          parser_.Append(buf, r.bytes);
          ParseAvailable(h);
        }
        // Not zero-filled: only the pages a read touches become resident.
        if (!large && r.bytes == sizeof small) large.reset(new char[kReadChunk]);
      } else if (r.status == IoStatus::Closed) {
        SetEnd("closed by peer");
        break;
      } else if (r.status == IoStatus::Error) {
        SetEnd("read error");
        break;
      }
    }
    if (!closing && StreamClock::now() - last_rx >= idle_after) {
      last_rx = StreamClock::now();
      if (on_idle) on_idle();
    }
  }
}

}  // namespace ov
