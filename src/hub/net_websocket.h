// RFC 6455 framing: accept key, the 101 answer, frame encoding, an incremental frame parser
// with size limits, and the per-client connection.
//
// A TWebSocketConnection has one reader, its owner: the thread that runs Run (or ReadFrame /
// ProcessNextFrame).  Any thread may send, and a send never blocks.  On a plain socket a frame
// is written at once, by the sending thread, when nothing is queued before it and the socket
// takes all of it (a non-blocking write under the send lock); otherwise it goes on a bounded
// outbound queue and the owner is woken to drain it.  A TLS connection is written by its owner
// only.  A connection whose queue overflows is dropped.
//
// The owner is woken by a signal sent to its thread (blocked there except while it waits in
// ppoll), so a connection holds one descriptor: its socket.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <pthread.h>
#include <string>
#include <string_view>
#include <vector>

#include "ov_locks.h"
#include "ov_stream.h"

namespace ov {

inline constexpr const char* WS_MAGIC_GUID = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

inline constexpr std::uint8_t WS_OP_CONTINUATION = 0;
inline constexpr std::uint8_t WS_OP_TEXT = 1;
inline constexpr std::uint8_t WS_OP_BINARY = 2;
inline constexpr std::uint8_t WS_OP_CLOSE = 8;
inline constexpr std::uint8_t WS_OP_PING = 9;
inline constexpr std::uint8_t WS_OP_PONG = 10;

inline constexpr std::uint16_t WS_CLOSE_NORMAL = 1000;
inline constexpr std::uint16_t WS_CLOSE_GOING_AWAY = 1001;
inline constexpr std::uint16_t WS_CLOSE_PROTOCOL_ERROR = 1002;
inline constexpr std::uint16_t WS_CLOSE_POLICY_VIOLATION = 1008;
inline constexpr std::uint16_t WS_CLOSE_MESSAGE_TOO_BIG = 1009;
inline constexpr std::uint16_t WS_CLOSE_INTERNAL_ERROR = 1011;
inline constexpr std::uint16_t WS_CLOSE_TRY_AGAIN_LATER = 1013;

// Largest frame payload and largest reassembled message accepted from a peer.
inline constexpr std::uint64_t WS_MAX_FRAME_PAYLOAD = 16ull * 1024 * 1024;
inline constexpr std::uint64_t WS_MAX_MESSAGE = 16ull * 1024 * 1024;
// Bytes a connection may have queued for sending before it is dropped.
inline constexpr std::size_t WS_DEFAULT_MAX_QUEUE_BYTES = 16u * 1024 * 1024;

struct TWSFrame {
  bool Fin = false;
  std::uint8_t Opcode = 0;
  bool Masked = false;
  std::int64_t PayloadLen = 0;
  std::uint8_t MaskKey[4] = {0, 0, 0, 0};
  std::string Payload;  // unmasked
};

// Base64 of SHA-1(key + WS_MAGIC_GUID).
std::string GenerateAcceptKey(std::string_view key);
// "HTTP/1.1 101 Switching Protocols" with Upgrade, Connection and Sec-WebSocket-Accept.
std::string BuildUpgradeResponse(std::string_view key);
// One frame in wire form; with mask a random key is used (client side).
std::string EncodeFrame(std::uint8_t opcode, std::string_view payload, bool fin = true, bool mask = false);
// A close frame: the code, then the reason cut to what fits a control frame.
std::string EncodeCloseFrame(std::uint16_t code, std::string_view reason, bool mask = false);

// Splits a byte stream into frames.  Payload bytes are collected as they arrive: a declared
// length is checked against the cap before anything is kept for it.
class TWSFrameParser {
 public:
  enum class Result : std::uint8_t { Frame, NeedMore, TooLarge, ProtocolError };

  explicit TWSFrameParser(std::uint64_t max_payload = WS_MAX_FRAME_PAYLOAD) : max_payload_(max_payload) {}
  void Append(const char* data, std::size_t len);
  // Takes the next complete frame out of the buffer.
  Result Next(TWSFrame& out);
  // Bytes received that do not form a complete frame yet.
  std::size_t Buffered() const noexcept { return buf_.size() - pos_; }
  // The declared length of the frame refused with TooLarge.
  std::uint64_t RefusedLength() const noexcept { return refused_len_; }

 private:
  std::string buf_;
  std::size_t pos_ = 0;
  std::uint64_t max_payload_;
  std::uint64_t refused_len_ = 0;
};

// Frame callbacks; any may be empty.
struct TWSHandlers {
  std::function<void(std::string&& text)> OnText;
  std::function<void(std::string&& data)> OnBinary;
  std::function<void(std::uint16_t code, const std::string& reason)> OnClose;
  std::function<void(const std::string& payload)> OnPing;
  std::function<void(const std::string& payload)> OnPong;
};

class TWebSocketConnection {
 public:
  // Takes the stream; pending holds bytes already read past the upgrade request.
  TWebSocketConnection(std::unique_ptr<Stream> stream, std::string remote_addr, std::string pending = {});
  ~TWebSocketConnection();
  TWebSocketConnection(const TWebSocketConnection&) = delete;
  TWebSocketConnection& operator=(const TWebSocketConnection&) = delete;

  // ---- any thread ----
  // Send or queue one frame; false when the connection is gone or the queue overflowed (the
  // connection is then dropped).
  bool SendFrame(std::uint8_t opcode, std::string_view data, bool fin = true) EXCLUDES(send_lock_);
  bool SendText(std::string_view text) { return SendFrame(WS_OP_TEXT, text); }
  bool SendBinary(std::string_view data) { return SendFrame(WS_OP_BINARY, data); }
  bool SendPing(std::string_view data) { return SendFrame(WS_OP_PING, data); }
  bool SendPong(std::string_view data) { return SendFrame(WS_OP_PONG, data); }
  // The same for a frame already in wire form (one encoding shared by a broadcast).
  bool SendEncoded(std::shared_ptr<const std::string> frame) EXCLUDES(send_lock_);
  // Send a close frame (code, reason); the owner flushes what is queued, then ends.
  void Close(std::uint16_t code, std::string_view reason) EXCLUDES(send_lock_);
  // End at once; nothing more is written.
  void Disconnect() noexcept EXCLUDES(send_lock_);

  // False once the connection ended or a close frame is queued.
  bool Connected() const noexcept {
    return connected_.load(std::memory_order_acquire) && !closing_.load(std::memory_order_acquire);
  }
  bool Overflowed() const noexcept { return overflowed_.load(std::memory_order_acquire); }
  const std::string& RemoteAddr() const noexcept { return remote_addr_; }
  std::size_t QueuedBytes() const EXCLUDES(send_lock_);
  // Before the connection is shared with other threads.
  void SetMaxQueueBytes(std::size_t n) noexcept { max_queue_bytes_ = n; }
  // Outgoing frames are masked (client side).  Before the connection is shared.
  void SetClientMode(bool on) noexcept { client_mode_ = on; }

  // ---- the owner thread ----
  // Reads one frame, waiting until the deadline.  A time-out before the first byte of a
  // frame keeps the connection; a time-out inside a frame, a closed or broken stream, a
  // frame above the cap or a malformed length drops it.
  bool ReadFrame(TWSFrame& frame, Deadline deadline) EXCLUDES(send_lock_);
  // ReadFrame, then acts on the frame (reassembly, answers to close and ping, callbacks)
  // and writes the queued answers.  False when no frame was read.
  bool ProcessNextFrame(const TWSHandlers& h, Deadline deadline) EXCLUDES(send_lock_);
  // Writes queued frames until the queue is empty or the deadline passes.
  bool FlushOutput(Deadline deadline) EXCLUDES(send_lock_);
  // Serves the connection until it ends: reads and dispatches frames and writes queued
  // frames, never blocking on one side.  on_idle runs when nothing arrived for idle_after.
  // Exceptions from callbacks propagate; the connection stays consistent.
  void Run(const TWSHandlers& h, std::chrono::milliseconds idle_after, const std::function<void()>& on_idle)
      EXCLUDES(send_lock_);
  // The stream (owner thread only).
  Stream* GetStream() noexcept { return stream_.get(); }
  // Why the connection ended, for the log ("closed by peer", "frame too large", ...).
  std::string EndReason() const EXCLUDES(send_lock_);

 private:
  bool Enqueue(std::shared_ptr<const std::string> frame, bool is_close) EXCLUDES(send_lock_);
  // Makes the owner look at the connection again.
  void WakeLocked() noexcept REQUIRES(send_lock_);
  // Acts on one frame; queues answers.
  void Dispatch(TWSFrame& f, const TWSHandlers& h) EXCLUDES(send_lock_);
  // Dispatches the complete frames in the parser, stopping once the connection is ending.
  void ParseAvailable(const TWSHandlers& h) EXCLUDES(send_lock_);
  void Fail(std::uint16_t code, const std::string& why, bool send_close) EXCLUDES(send_lock_);
  // Ends the connection over a frame the parser refused (TooLarge or ProtocolError).
  void RefuseFrame(TWSFrameParser::Result r) EXCLUDES(send_lock_);
  // Writes queued data without blocking; false on a write failure.
  bool WriteSome(bool& progressed) EXCLUDES(send_lock_);
  // WriteSome on a plain socket: one gathered write of the queue per call, under send_lock_.
  bool WriteQueuedSocket(bool& progressed) EXCLUDES(send_lock_);
  // WriteSome on a TLS stream: queued frames are gathered into out_ and written unlocked.
  bool WriteQueuedStream(bool& progressed) EXCLUDES(send_lock_);
  bool HasOutput() EXCLUDES(send_lock_);
  void SetEnd(const std::string& why) EXCLUDES(send_lock_);
  // The end of Run: no other thread writes to the socket or signals the owner afterwards.
  void FinishRun() noexcept EXCLUDES(send_lock_);

  // ---- Constant after construction ----
  const std::unique_ptr<Stream> stream_;
  const std::string remote_addr_;
  const bool direct_;  // a plain socket: any thread may write it (under send_lock_)

  // ---- Set before the connection is shared (SetClientMode, SetMaxQueueBytes) ----
  bool client_mode_ = false;
  std::size_t max_queue_bytes_ = WS_DEFAULT_MAX_QUEUE_BYTES;

  // ---- Lock-free ----
  std::atomic<bool> connected_{true};
  std::atomic<bool> overflowed_{false};
  std::atomic<bool> closing_{false};  // a close frame is queued or sent: end once it is written

  // Frames in wire form, oldest first.  A vector and the index of its head: an empty queue
  // costs nothing, where a std::deque holds a 512-byte block per idle connection.
  class FrameQueue {
   public:
    using Frame = std::shared_ptr<const std::string>;
    bool empty() const noexcept { return head_ == v_.size(); }
    Frame& front() { return v_[head_]; }
    std::vector<Frame>::iterator begin() { return v_.begin() + static_cast<std::ptrdiff_t>(head_); }
    std::vector<Frame>::iterator end() { return v_.end(); }
    void push_back(Frame f) { v_.push_back(std::move(f)); }
    void pop_front() {
      v_[head_++].reset();
      if (head_ == v_.size()) {
        clear();
      } else if (head_ >= 1024 && head_ * 2 >= v_.size()) {
        // A queue that never empties still reuses its storage.
        v_.erase(v_.begin(), v_.begin() + static_cast<std::ptrdiff_t>(head_));
        head_ = 0;
      }
    }
    void clear() noexcept {
      v_.clear();
      head_ = 0;
    }

   private:
    std::vector<Frame> v_;
    std::size_t head_ = 0;
  };

  // ---- Guarded by send_lock_ (last in the hub's chain: nothing is taken or logged under it) ----
  mutable TOVLock send_lock_{LockLevel::HubSend};
  FrameQueue queue_ GUARDED_BY(send_lock_);
  // bytes of queue_.front() already on the socket (plain only)
  std::size_t head_written_ GUARDED_BY(send_lock_) = 0;
  std::size_t queued_bytes_ GUARDED_BY(send_lock_) = 0;  // bytes in queue_ not yet written
  bool close_queued_ GUARDED_BY(send_lock_) = false;
  bool socket_open_ GUARDED_BY(send_lock_) = true;     // false once the owner closed the socket: no more writes
  bool owner_running_ GUARDED_BY(send_lock_) = false;  // owner_ is in Run and may be signalled
  pthread_t owner_ GUARDED_BY(send_lock_){};
  bool wake_pending_ GUARDED_BY(send_lock_) = false;   // a wake-up was sent that the owner has not seen yet
  std::string end_reason_ GUARDED_BY(send_lock_);

  // ---- The owner only ----
  TWSFrameParser parser_;
  std::string out_;  // TLS: bytes being written
  std::size_t out_off_ = 0;
  bool fragment_pending_ = false;
  std::uint8_t fragment_opcode_ = WS_OP_TEXT;
  std::string fragment_;
  StreamClock::time_point close_deadline_{};
};

}  // namespace ov
