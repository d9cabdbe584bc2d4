// A minimal WebSocket client for the hub tests (loopback only).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>

#include "net_websocket.h"
#include "ov_json_helpers.h"

namespace ovtest {

class WsClient {
 public:
  WsClient() = default;
  ~WsClient() { Close(); }
  WsClient(const WsClient&) = delete;
  WsClient& operator=(const WsClient&) = delete;

  // Connects without a handshake.
  bool Dial(int port, int rcvbuf = 0) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    if (rcvbuf > 0) ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  // Dial + upgrade request; returns the status line of the answer ("" on failure).
  std::string Connect(int port, const std::string& extra_headers, int rcvbuf = 0) {
    if (!Dial(port, rcvbuf)) return "";
    SendRaw("GET /?x=1 HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n" +
            extra_headers + "\r\n");
    return ReadHead();
  }
  // Reads the answer head; the bytes after it go to the frame parser.
  std::string ReadHead() {
    std::string buf;
    char c[4096];
    while (buf.find("\r\n\r\n") == std::string::npos) {
      if (!Readable(5000)) return "";
      ssize_t n = ::recv(fd_, c, sizeof c, 0);
      if (n <= 0) return "";
      buf.append(c, static_cast<std::size_t>(n));
    }
    std::size_t end = buf.find("\r\n\r\n");
    std::string rest = buf.substr(end + 4);
    parser_.Append(rest.data(), rest.size());
    head_ = buf.substr(0, end);
    return buf.substr(0, buf.find("\r\n"));
  }
  const std::string& Head() const { return head_; }

  void SendRaw(const std::string& bytes) {
    std::size_t off = 0;
    while (off < bytes.size()) {
      ssize_t n = ::send(fd_, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
      if (n <= 0) return;
      off += static_cast<std::size_t>(n);
    }
  }
  void SendFrame(std::uint8_t op, const std::string& payload) { SendRaw(ov::EncodeFrame(op, payload, true, true)); }
  void SendText(const std::string& text) { SendFrame(ov::WS_OP_TEXT, text); }
  void SendJSON(const ov::TJSON& j) { SendText(ov::JsonCompact(j)); }

  bool Readable(int ms) {
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, ms) > 0;
  }

  // Next frame, or nullopt on time-out or end of stream.
  std::optional<ov::TWSFrame> ReadFrame(int ms = 3000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      ov::TWSFrame f;
      auto r = parser_.Next(f);
      if (r == ov::TWSFrameParser::Result::Frame) return f;
      if (r != ov::TWSFrameParser::Result::NeedMore) return std::nullopt;
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
      if (left <= 0 || !Readable(static_cast<int>(left))) return std::nullopt;
      char buf[65536];
      ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) {
        eof_ = true;
        return std::nullopt;
      }
      parser_.Append(buf, static_cast<std::size_t>(n));
    }
  }

  // Next text message whose "type" is type (any type when empty); answers ping frames.
  std::optional<ov::TJSON> Next(const std::string& type = "", int ms = 3000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
      if (left <= 0) return std::nullopt;
      auto f = ReadFrame(static_cast<int>(left));
      if (!f) return std::nullopt;
      if (f->Opcode == ov::WS_OP_PING) {
        if (answer_pings) SendFrame(ov::WS_OP_PONG, f->Payload);
        continue;
      }
      if (f->Opcode == ov::WS_OP_CLOSE) {
        closed_ = true;
        close_payload_ = f->Payload;
        return std::nullopt;
      }
      if (f->Opcode != ov::WS_OP_TEXT) continue;
      last_text = f->Payload;
      auto j = ov::ParseJson(f->Payload);
      if (!j) continue;
      if (type.empty() || ov::JStr(*j, "type") == type) return j;
    }
  }

  // Reads until a close frame (returns its code and reason) or the end of the stream.
  bool WaitClose(int ms, std::uint16_t* code = nullptr, std::string* reason = nullptr) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!closed_ && !eof_) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
      if (left <= 0) return false;
      auto f = ReadFrame(static_cast<int>(left));
      if (!f) {
        if (eof_) break;
        continue;
      }
      if (f->Opcode == ov::WS_OP_CLOSE) {
        closed_ = true;
        close_payload_ = f->Payload;
      }
    }
    if (closed_ && close_payload_.size() >= 2) {
      if (code)
        *code = static_cast<std::uint16_t>((static_cast<unsigned char>(close_payload_[0]) << 8) |
                                           static_cast<unsigned char>(close_payload_[1]));
      if (reason) *reason = close_payload_.substr(2);
    }
    return true;
  }

  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  int Fd() const { return fd_; }

  bool answer_pings = true;
  std::string last_text;

 private:
  int fd_ = -1;
  ov::TWSFrameParser parser_{1ull << 40};
  std::string head_;
  bool closed_ = false, eof_ = false;
  std::string close_payload_;
};

}  // namespace ovtest
