// Framing, the frame parser, the connection's answers and reassembly, and the hub port's
// upgrade-request parser.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net_websocket.h"
#include "ov_websocket.h"

using namespace ov;
using namespace std::chrono_literals;

namespace {

// A connection over one end of a socket pair; the test plays the peer on the other end.
struct WsPair {
  int peer = -1;
  std::unique_ptr<TWebSocketConnection> conn;
  WsPair() {
    int sv[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    peer = sv[1];
    conn = std::make_unique<TWebSocketConnection>(std::make_unique<SocketStream>(sv[0]), "127.0.0.1");
  }
  ~WsPair() {
    conn.reset();
    ::close(peer);
  }
  void Send(const std::string& bytes) {
    std::size_t off = 0;
    while (off < bytes.size()) {
      ssize_t n = ::send(peer, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
      ASSERT_GT(n, 0);
      off += static_cast<std::size_t>(n);
    }
  }
  // Reads one frame the connection wrote (unmasked, server side).
  bool Read(TWSFrame& f, std::chrono::milliseconds wait = 2000ms) {
    auto end = std::chrono::steady_clock::now() + wait;
    for (;;) {
      auto r = parser.Next(f);
      if (r == TWSFrameParser::Result::Frame) return true;
      if (r != TWSFrameParser::Result::NeedMore) return false;
      timeval tv{0, 100000};
      ::setsockopt(peer, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
      char buf[65536];
      ssize_t n = ::recv(peer, buf, sizeof buf, 0);
      if (n > 0) parser.Append(buf, static_cast<std::size_t>(n));
      else if (n == 0 || std::chrono::steady_clock::now() > end) return false;
    }
  }
  TWSFrameParser parser{1ull << 40};
};

std::string Masked(std::uint8_t op, const std::string& payload, bool fin = true) {
  return EncodeFrame(op, payload, fin, true);
}

std::string ClosePayload(std::uint16_t code, const std::string& reason) {
  std::string p;
  p.push_back(static_cast<char>(code >> 8));
  p.push_back(static_cast<char>(code & 0xFF));
  return p + reason;
}

struct Recorder {
  std::vector<std::string> texts, binaries, pongs;
  std::vector<std::pair<std::uint16_t, std::string>> closes;
  TWSHandlers Handlers() {
    TWSHandlers h;
    h.OnText = [this](std::string&& s) { texts.push_back(std::move(s)); };
    h.OnBinary = [this](std::string&& s) { binaries.push_back(std::move(s)); };
    h.OnPong = [this](const std::string& s) { pongs.push_back(s); };
    h.OnClose = [this](std::uint16_t c, const std::string& r) { closes.emplace_back(c, r); };
    return h;
  }
};

}  // namespace

TEST(WebSocketHandshake, AcceptKeyAndUpgradeAnswer) {
  // RFC 6455 section 1.3.
  EXPECT_EQ(GenerateAcceptKey("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
  EXPECT_EQ(WsComputeAcceptKey("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
  EXPECT_EQ(BuildUpgradeResponse("dGhlIHNhbXBsZSBub25jZQ=="),
            "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n");
}

TEST(WebSocketHandshake, ParsesHeadersCaseInsensitivelyAndTokens) {
  std::string key, api, tok;
  EXPECT_TRUE(WsParseClientRequest("GET /?token=abc&x=1 HTTP/1.1\r\nHost: h\r\nupgrade: WebSocket\r\n"
                                   "sec-websocket-key:  k1== \r\nx-api-key: ov_1\r\n\r\n",
                                   key, api, tok));
  EXPECT_EQ(key, "k1==");
  EXPECT_EQ(api, "ov_1");
  EXPECT_EQ(tok, "abc");
  // A bearer header wins over the query token.
  EXPECT_TRUE(WsParseClientRequest("GET /?token=abc HTTP/1.1\nUpgrade: websocket\nSec-WebSocket-Key: k\n"
                                   "Authorization: Bearer  zzz\n\n",
                                   key, api, tok));
  EXPECT_EQ(tok, "zzz");
  // Only a parameter named exactly "token" counts; a header name inside a value is no header.
  EXPECT_FALSE(WsParseClientRequest("GET /?xtoken=abc HTTP/1.1\r\nX-Note: Upgrade: websocket\r\n"
                                    "Sec-WebSocket-Key: k\r\n\r\n",
                                    key, api, tok));
  EXPECT_EQ(tok, "");
  EXPECT_FALSE(WsParseClientRequest("GET / HTTP/1.1\r\nUpgrade: websocket\r\nSec-WebSocket-Key:\r\n\r\n", key, api, tok));
  EXPECT_FALSE(WsParseClientRequest("", key, api, tok));
}

TEST(WebSocketFraming, WriterUsesShortestLengthForm) {
  struct Case {
    std::size_t n;
    std::size_t header;
    unsigned char code;
  } cases[] = {{125, 2, 125}, {126, 4, 126}, {65535, 4, 126}, {65536, 10, 127}};
  for (auto c : cases) {
    std::string f = EncodeFrame(WS_OP_BINARY, std::string(c.n, 'x'));
    EXPECT_EQ(f.size(), c.header + c.n) << c.n;
    EXPECT_EQ(static_cast<unsigned char>(f[1]), c.code) << c.n;
    EXPECT_EQ(static_cast<unsigned char>(f[0]), 0x82);
  }
  std::string m = EncodeFrame(WS_OP_TEXT, "hello", true, true);
  EXPECT_EQ(m.size(), 2u + 4 + 5);
  EXPECT_EQ(static_cast<unsigned char>(m[1]), 0x80 | 5);
}

TEST(WebSocketFraming, ParserLimitsAndMalformedLengths) {
  {
    // Exactly the cap is read; a frame fed one byte at a time comes out once.
    TWSFrameParser p(1000);
    std::string f = EncodeFrame(WS_OP_BINARY, std::string(1000, 'a'), true, true);
    TWSFrame out;
    for (std::size_t i = 0; i + 1 < f.size(); ++i) {
      p.Append(&f[i], 1);
      EXPECT_EQ(p.Next(out), TWSFrameParser::Result::NeedMore);
    }
    p.Append(&f.back(), 1);
    ASSERT_EQ(p.Next(out), TWSFrameParser::Result::Frame);
    EXPECT_EQ(out.Payload, std::string(1000, 'a'));
    EXPECT_TRUE(out.Masked);
  }
  {
    TWSFrameParser p(1000);
    std::string f = EncodeFrame(WS_OP_BINARY, std::string(1001, 'a'));
    p.Append(f.data(), 10);  // the header alone decides
    TWSFrame out;
    EXPECT_EQ(p.Next(out), TWSFrameParser::Result::TooLarge);
    EXPECT_EQ(p.RefusedLength(), 1001u);
  }
  {
    // A 64-bit length with the top bit set is a protocol error, not a negative length.
    TWSFrameParser p;
    const char raw[] = "\x82\x7F\x80\x00\x00\x00\x00\x00\x00\x05hello";
    std::string f(raw, sizeof raw - 1);
    p.Append(f.data(), f.size());
    TWSFrame out;
    EXPECT_EQ(p.Next(out), TWSFrameParser::Result::ProtocolError);
  }
  {
    // The default cap: 16 MiB declared is fine to wait for, one more is refused.
    TWSFrameParser p;
    std::string h = "\x82\x7F";
    std::uint64_t n = WS_MAX_FRAME_PAYLOAD + 1;
    for (int i = 7; i >= 0; --i) h.push_back(static_cast<char>((n >> (8 * i)) & 0xFF));
    p.Append(h.data(), h.size());
    TWSFrame out;
    EXPECT_EQ(p.Next(out), TWSFrameParser::Result::TooLarge);
  }
}

TEST(WebSocketConnection, ReassemblyAndAnswers) {
  WsPair pr;
  Recorder rec;
  auto h = rec.Handlers();
  // Two letters, then two more: delivered once as four.
  pr.Send(Masked(WS_OP_TEXT, "ab", false) + Masked(WS_OP_CONTINUATION, "cd", true));
  ASSERT_TRUE(pr.conn->ProcessNextFrame(h, DeadlineIn(2s)));
  ASSERT_TRUE(pr.conn->ProcessNextFrame(h, DeadlineIn(2s)));
  ASSERT_EQ(rec.texts.size(), 1u);
  EXPECT_EQ(rec.texts[0], "abcd");
  // A text fragment completed by a final binary frame goes to the binary handler, joined.
  pr.Send(Masked(WS_OP_TEXT, "xy", false) + Masked(WS_OP_BINARY, "z", true));
  ASSERT_TRUE(pr.conn->ProcessNextFrame(h, DeadlineIn(2s)));
  ASSERT_TRUE(pr.conn->ProcessNextFrame(h, DeadlineIn(2s)));
  ASSERT_EQ(rec.binaries.size(), 1u);
  EXPECT_EQ(rec.binaries[0], "xyz");
  // A continuation with nothing pending is ignored; an empty first fragment still counts.
  pr.Send(Masked(WS_OP_CONTINUATION, "lost", true));
  ASSERT_TRUE(pr.conn->ProcessNextFrame(h, DeadlineIn(2s)));
  pr.Send(Masked(WS_OP_TEXT, "", false) + Masked(WS_OP_CONTINUATION, "kept", true));
  ASSERT_TRUE(pr.conn->ProcessNextFrame(h, DeadlineIn(2s)));
  ASSERT_TRUE(pr.conn->ProcessNextFrame(h, DeadlineIn(2s)));
  ASSERT_EQ(rec.texts.size(), 2u);
  EXPECT_EQ(rec.texts[1], "kept");
  // A ping is answered with the same payload.
  pr.Send(Masked(WS_OP_PING, "\x07"));
  ASSERT_TRUE(pr.conn->ProcessNextFrame(h, DeadlineIn(2s)));
  TWSFrame f;
  ASSERT_TRUE(pr.Read(f));
  EXPECT_EQ(f.Opcode, WS_OP_PONG);
  EXPECT_EQ(f.Payload, "\x07");
  EXPECT_FALSE(f.Masked);
  // A close 1001 with a reason is echoed; the connection then ends.
  pr.Send(Masked(WS_OP_CLOSE, ClosePayload(1001, "bye")));
  ASSERT_TRUE(pr.conn->ProcessNextFrame(h, DeadlineIn(2s)));
  ASSERT_TRUE(pr.Read(f));
  EXPECT_EQ(f.Opcode, WS_OP_CLOSE);
  EXPECT_EQ(f.Payload, ClosePayload(1001, "bye"));
  ASSERT_EQ(rec.closes.size(), 1u);
  EXPECT_EQ(rec.closes[0].first, 1001);
  EXPECT_FALSE(pr.conn->Connected());
}

TEST(WebSocketConnection, EmptyCloseIsAnswered1000) {
  WsPair pr;
  Recorder rec;
  pr.Send(Masked(WS_OP_CLOSE, ""));
  ASSERT_TRUE(pr.conn->ProcessNextFrame(rec.Handlers(), DeadlineIn(2s)));
  TWSFrame f;
  ASSERT_TRUE(pr.Read(f));
  EXPECT_EQ(f.Payload, ClosePayload(1000, ""));
}

TEST(WebSocketConnection, TimeoutsBeforeAndInsideAFrame) {
  WsPair pr;
  Recorder rec;
  // Nothing sent: a quiet peer, still connected.
  EXPECT_FALSE(pr.conn->ProcessNextFrame(rec.Handlers(), DeadlineIn(50ms)));
  EXPECT_TRUE(pr.conn->Connected());
  // Half a frame, then silence: the connection is dropped.
  std::string f = Masked(WS_OP_TEXT, "hello");
  pr.Send(f.substr(0, 4));
  EXPECT_FALSE(pr.conn->ProcessNextFrame(rec.Handlers(), DeadlineIn(50ms)));
  EXPECT_FALSE(pr.conn->Connected());
}

TEST(WebSocketConnection, OversizedFrameAndMessageClose1009) {
  {
    WsPair pr;
    Recorder rec;
    std::string h = "\x81\xFF";
    std::uint64_t n = WS_MAX_FRAME_PAYLOAD + 1;
    for (int i = 7; i >= 0; --i) h.push_back(static_cast<char>((n >> (8 * i)) & 0xFF));
    pr.Send(h + "mask");
    EXPECT_FALSE(pr.conn->ProcessNextFrame(rec.Handlers(), DeadlineIn(1s)));
    EXPECT_FALSE(pr.conn->Connected());
  }
  {
    // Endless continuation frames: the reassembled message is capped.
    WsPair pr;
    Recorder rec;
    auto h = rec.Handlers();
    std::thread feeder([&] {
      // Send errors end the feeder: the connection stops reading once it refused the message.
      auto send = [&](const std::string& bytes) {
        for (std::size_t off = 0; off < bytes.size();) {
          ssize_t n = ::send(pr.peer, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
          if (n <= 0) return false;
          off += static_cast<std::size_t>(n);
        }
        return true;
      };
      std::string chunk(1 << 20, 'a');
      if (!send(Masked(WS_OP_TEXT, chunk, false))) return;
      for (int i = 0; i < 17; ++i)
        if (!send(Masked(WS_OP_CONTINUATION, chunk, false))) return;
    });
    std::thread reader([&] {
      TWSFrame f;
      while (pr.Read(f, 5000ms))
        if (f.Opcode == WS_OP_CLOSE) {
          EXPECT_EQ(f.Payload.substr(0, 2), ClosePayload(1009, ""));
          return;
        }
      ADD_FAILURE() << "no close frame";
    });
    for (int i = 0; i < 40 && pr.conn->ProcessNextFrame(h, DeadlineIn(2s)); ++i) {
    }
    reader.join();
    EXPECT_TRUE(rec.texts.empty());
    EXPECT_FALSE(pr.conn->Connected());
    pr.conn.reset();
    ::shutdown(pr.peer, SHUT_RDWR);
    feeder.join();
  }
}

TEST(WebSocketConnection, RunServesQueueAndDropsAPeerThatDoesNotRead) {
  WsPair pr;
  int small = 4096;
  ::setsockopt(pr.peer, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  pr.conn->SetMaxQueueBytes(64 * 1024);
  Recorder rec;
  std::thread owner([&] { pr.conn->Run(rec.Handlers(), 10s, nullptr); });
  // A frame from another thread goes out at once while the socket takes it.
  EXPECT_TRUE(pr.conn->SendText("first"));
  TWSFrame f;
  ASSERT_TRUE(pr.Read(f));
  EXPECT_EQ(f.Payload, "first");
  // The peer stops reading: the queue fills and the connection is dropped, without the
  // sender ever blocking.
  std::string big(16 * 1024, 'x');
  auto start = std::chrono::steady_clock::now();
  int sent = 0;
  while (pr.conn->SendText(big) && sent < 100000) ++sent;
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_TRUE(pr.conn->Overflowed());
  owner.join();
  EXPECT_FALSE(pr.conn->Connected());
  EXPECT_EQ(pr.conn->EndReason(), "send queue overflow");
}

TEST(WebSocketConnection, ConcurrentSendersKeepOrderThroughDirectWritesAndTheQueue) {
  WsPair pr;
  int small = 4096;
  ::setsockopt(pr.peer, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  Recorder rec;
  std::thread owner([&] { pr.conn->Run(rec.Handlers(), 30s, nullptr); });
  // Four senders, frames of varied sizes.  The first ones are written by the senders, the
  // rest queue behind a full socket and are written by the owner, woken for them.
  constexpr int kSenders = 4, kFrames = 2000;
  std::vector<std::thread> senders;
  for (int t = 0; t < kSenders; ++t)
    senders.emplace_back([&pr, t] {
      for (int i = 0; i < kFrames; ++i)
        ASSERT_TRUE(pr.conn->SendText(std::to_string(t) + ":" + std::to_string(i) + ":" +
                                      std::string(static_cast<std::size_t>(50 + (i * 37) % 700), 'p')));
    });
  for (auto& s : senders) s.join();  // none waited for the peer, which has read nothing yet
  std::vector<int> next(kSenders, 0);
  int total = 0;
  TWSFrame f;
  while (total < kSenders * kFrames && pr.Read(f, 5000ms)) {
    const int t = std::stoi(f.Payload);
    const int i = std::stoi(f.Payload.substr(f.Payload.find(':') + 1));
    ASSERT_EQ(i, next[static_cast<std::size_t>(t)]) << "sender " << t;
    next[static_cast<std::size_t>(t)] = i + 1;
    ++total;
  }
  EXPECT_EQ(total, kSenders * kFrames);
  // The owner waits without a descriptor of its own and is still woken at once.
  const auto t0 = std::chrono::steady_clock::now();
  pr.conn->Disconnect();
  owner.join();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
}

TEST(WebSocketConnection, RunCallsIdleAndDispatchesHandedOverBytes) {
  int sv[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  // Bytes read past the upgrade request arrive with the stream.
  TWebSocketConnection conn(std::make_unique<SocketStream>(sv[0]), "x", Masked(WS_OP_TEXT, "early"));
  Recorder rec;
  std::atomic<int> idles{0};
  std::thread owner([&] {
    conn.Run(rec.Handlers(), 100ms, [&] {
      if (++idles == 2) conn.Close(1000, "done");
    });
  });
  owner.join();
  ::close(sv[1]);
  ASSERT_EQ(rec.texts.size(), 1u);
  EXPECT_EQ(rec.texts[0], "early");
  EXPECT_GE(idles.load(), 2);
}
