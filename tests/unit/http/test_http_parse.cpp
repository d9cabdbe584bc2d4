#include <gtest/gtest.h>

#include "ov_http_server.h"

using namespace ov;

namespace {

struct Parsed {
  TOVHttpRequestReader::Result result;
  int status = 0;
  TOVHttpRequest req;
  std::string rest;  // bytes left after the head
};

// Feeds text to a reader in pieces of `piece` bytes, as a socket would deliver it.
Parsed ParseHead(const std::string& text, std::size_t piece = 1 << 20) {
  Parsed p;
  TOVHttpRequestReader reader;
  std::string in;
  p.result = TOVHttpRequestReader::Result::NeedMore;
  for (std::size_t i = 0; i < text.size() && p.result == TOVHttpRequestReader::Result::NeedMore; i += piece) {
    in.append(text, i, piece);
    p.result = reader.FeedHead(in);
  }
  if (p.result == TOVHttpRequestReader::Result::Done) p.result = reader.FillRequest(p.req);
  p.status = reader.ErrorStatus();
  p.rest = in;
  return p;
}

}  // namespace

TEST(HttpPath, PercentDecodingOnce) {
  std::string out;
  EXPECT_TRUE(PercentDecodePath("/a%20b/%2e%2E/c%25%32%30", out));
  EXPECT_EQ(out, "/a b/../c%20");  // %25 becomes "%" and is not decoded again
  EXPECT_TRUE(PercentDecodePath("/plus+stays", out));
  EXPECT_EQ(out, "/plus+stays");
  EXPECT_TRUE(PercentDecodePath("/%C3%A4", out));
  EXPECT_EQ(out, "/\xC3\xA4");
  for (const char* bad : {"/%", "/%4", "/%G0", "/%0g", "/a%00b", "/%%41"}) EXPECT_FALSE(PercentDecodePath(bad, out)) << bad;
}

TEST(HttpPath, RootCheck) {
  EXPECT_TRUE(IsInsideRoot("/srv/web", "/srv/web/index.html"));
  EXPECT_TRUE(IsInsideRoot("/srv/web", "/srv/web"));
  // A sibling directory sharing the root's name as a prefix is outside.
  EXPECT_FALSE(IsInsideRoot("/srv/web", "/srv/web2/x"));
  EXPECT_FALSE(IsInsideRoot("/srv/web", "/srv/we"));
  EXPECT_FALSE(IsInsideRoot("/srv/web", "/etc/passwd"));
  EXPECT_TRUE(IsInsideRoot("/", "/etc/passwd"));
  EXPECT_EQ(NormalisePath("/srv/web/../web2/x"), "/srv/web2/x");
  EXPECT_EQ(NormalisePath("/srv/web/./a//b/"), "/srv/web/a/b");
  EXPECT_FALSE(IsInsideRoot(NormalisePath("/srv/web/"), NormalisePath("/srv/web" + std::string("/../web2/x"))));
  EXPECT_TRUE(IsInsideRoot(NormalisePath("/srv/web"), NormalisePath("/srv/web/a/../b")));
}

TEST(HttpMime, Table) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"index.html", "text/html; charset=utf-8"},   {"a.HTM", "text/html; charset=utf-8"},
      {"s.css", "text/css; charset=utf-8"},         {"app.js", "application/javascript; charset=utf-8"},
      {"d.json", "application/json; charset=utf-8"}, {"LOGO.PNG", "image/png"},
      {"p.jpg", "image/jpeg"},                      {"p.jpeg", "image/jpeg"},
      {"a.gif", "image/gif"},                       {"i.svg", "image/svg+xml"},
      {"favicon.ico", "image/x-icon"},              {"f.woff", "font/woff"},
      {"f.woff2", "font/woff2"},                    {"f.ttf", "font/ttf"},
      {"r.txt", "text/plain; charset=utf-8"},       {"README", "application/octet-stream"},
      {"/dir.v2/file", "application/octet-stream"}, {"archive.tar.gz", "application/octet-stream"},
      {"x.png.exe", "application/octet-stream"},    {"/a/b.Js", "application/javascript; charset=utf-8"},
  };
  for (const auto& [name, type] : cases) EXPECT_EQ(TOVHttpServerWrapper::GetMimeType(name), type) << name;
}

TEST(HttpTrustedProxy, Rules) {
  InitTrustedProxies(" 10.1.2.0/24 , 192.168.5.9,, fe80::1 ");
  EXPECT_TRUE(IsTrustedProxy("10.1.2.77"));
  EXPECT_TRUE(IsTrustedProxy(" 10.1.2.1 "));
  EXPECT_FALSE(IsTrustedProxy("10.1.3.1"));
  // The /24 rule needs dotted IPv4 on both sides; text that shares the prefix is not enough.
  EXPECT_FALSE(IsTrustedProxy("10.1.2.evil"));
  EXPECT_FALSE(IsTrustedProxy("10.1.2."));
  EXPECT_FALSE(IsTrustedProxy("10.1.20.1"));
  EXPECT_TRUE(IsTrustedProxy("192.168.5.9"));
  EXPECT_FALSE(IsTrustedProxy("192.168.5.90"));
  EXPECT_TRUE(IsTrustedProxy("FE80::1"));
  InitTrustedProxies("bogus/24");
  EXPECT_FALSE(IsTrustedProxy("bogus.1"));
  InitTrustedProxies("");
  EXPECT_FALSE(IsTrustedProxy("10.1.2.77"));
  InitTrustedProxies("*");
  EXPECT_TRUE(IsTrustedProxy("203.0.113.1"));
  InitTrustedProxies("");
}

TEST(HttpTrustedProxy, ClientAddress) {
  InitTrustedProxies("10.0.0.0/24");
  auto ip = [](const std::string& peer, std::vector<std::pair<std::string, std::string>> hdrs) {
    TOVHttpRequest r;
    r.peer_address = peer;
    for (auto& h : hdrs) r.headers.emplace(h.first, h.second);
    return GetClientIP(r);
  };
  // Untrusted peers cannot claim another address.
  EXPECT_EQ(ip("203.0.113.9", {{"X-Forwarded-For", "1.2.3.4"}, {"X-Real-IP", "5.6.7.8"}}), "203.0.113.9");
  EXPECT_EQ(ip("10.0.0.7", {{"X-Real-IP", " 5.6.7.8 "}, {"X-Forwarded-For", "1.2.3.4"}}), "5.6.7.8");
  EXPECT_EQ(ip("10.0.0.7", {{"X-Real-IP", "not-an-ip"}}), "10.0.0.7");
  // The right-most entry that is not one of our proxies: the left part is client-supplied.
  EXPECT_EQ(ip("10.0.0.7", {{"x-forwarded-for", "6.6.6.6, 198.51.100.2"}}), "198.51.100.2");
  EXPECT_EQ(ip("10.0.0.7", {{"X-Forwarded-For", "198.51.100.2, 10.0.0.9"}}), "198.51.100.2");
  EXPECT_EQ(ip("10.0.0.7", {{"X-Forwarded-For", "10.0.0.3, 10.0.0.9"}}), "10.0.0.3");
  EXPECT_EQ(ip("10.0.0.7", {{"X-Forwarded-For", "2001:db8::5"}}), "2001:db8::5");
  EXPECT_EQ(ip("10.0.0.7", {{"X-Forwarded-For", "1.2.3.4, <script>"}}), "10.0.0.7");
  EXPECT_EQ(ip("10.0.0.7", {{"X-Forwarded-For", "1.2.3.4:555"}}), "10.0.0.7");
  EXPECT_EQ(ip("10.0.0.7", {{"X-Forwarded-For", "1.2.3.4,,"}}), "10.0.0.7");
  EXPECT_EQ(ip("10.0.0.7", {{"X-Forwarded-For", "  "}}), "10.0.0.7");
  EXPECT_EQ(ip("10.0.0.7", {}), "10.0.0.7");
  InitTrustedProxies("");
}

TEST(HttpHead, ParsesTargetAndHeadersInAnyPieces) {
  const std::string text =
      "GET /api/v1/a%20b?x=1&v=2 HTTP/1.1\r\nHost: h\r\nX-Thing: one\r\nx-thing: two\r\n\r\nBODY";
  for (std::size_t piece : {1u, 5u, 1000u}) {
    Parsed p = ParseHead(text, piece);
    ASSERT_EQ(p.result, TOVHttpRequestReader::Result::Done) << piece;
    EXPECT_EQ(p.req.method, "GET");
    EXPECT_EQ(p.req.target, "/api/v1/a%20b?x=1&v=2");
    EXPECT_EQ(p.req.raw_path, "/api/v1/a%20b");
    EXPECT_EQ(p.req.path, "/api/v1/a b");
    EXPECT_EQ(p.req.query, "x=1&v=2");
    EXPECT_EQ(p.req.Header("X-THING"), "one");
    EXPECT_EQ(p.req.headers.count("X-Thing"), 2u);
    if (piece == 1000u) {
      EXPECT_EQ(p.rest, "BODY");  // what follows the head is left for the body
    }
  }
  // "%3F" is part of the path, not the start of a query.
  Parsed q = ParseHead("GET /a%3Fb HTTP/1.1\r\nHost: h\r\n\r\n");
  EXPECT_EQ(q.req.path, "/a?b");
  EXPECT_EQ(q.req.query, "");
  Parsed abs = ParseHead("GET http://example.org:8080/x/y?z HTTP/1.1\r\nHost: example.org:8080\r\n\r\n");
  EXPECT_EQ(abs.req.path, "/x/y");
  EXPECT_EQ(abs.req.query, "z");
  Parsed star = ParseHead("OPTIONS * HTTP/1.1\r\nHost: h\r\n\r\n");
  ASSERT_EQ(star.result, TOVHttpRequestReader::Result::Done);
  EXPECT_EQ(star.req.path, "*");
  // HTTP/1.0 predates Host.
  EXPECT_EQ(ParseHead("GET /old HTTP/1.0\r\n\r\n").req.path, "/old");
}

TEST(HttpHead, RejectsBadInput) {
  struct Case {
    const char* name;
    std::string text;
    int status;
  };
  const std::vector<Case> cases = {
      {"garbage", "HELLO\r\n\r\n", 400},
      {"no version", "GET /\r\n\r\n", 400},
      {"bad version", "GET / HTTP/x.y\r\n\r\n", 400},
      {"space in target", "GET /a b HTTP/1.1\r\n\r\n", 400},
      {"relative target", "GET index.html HTTP/1.1\r\n\r\n", 400},
      {"header without colon", "GET / HTTP/1.1\r\nHost\r\n\r\n", 400},
      {"HTTP/1.1 without Host", "GET / HTTP/1.1\r\nX-Host: h\r\n\r\n", 400},
      {"two Host fields", "GET / HTTP/1.0\r\nHost: a\r\nhost: b\r\n\r\n", 400},
      {"HTTP/2.0", "GET / HTTP/2.0\r\nHost: h\r\n\r\n", 505},
      {"HTTP/0.9", "GET / HTTP/0.9\r\nHost: h\r\n\r\n", 505},
      {"bad escape", "GET /a%zz HTTP/1.1\r\n\r\n", 400},
      {"truncated escape", "GET /a% HTTP/1.1\r\n\r\n", 400},
      {"NUL escape", "GET /a%00.html HTTP/1.1\r\n\r\n", 400},
      {"conflicting lengths", "POST / HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n", 400},
      {"bad length", "POST / HTTP/1.1\r\nContent-Length: -5\r\n\r\n", 400},
      {"head over 16 KiB", "GET / HTTP/1.1\r\nX-Big: " + std::string(17000, 'a') + "\r\n\r\n", 431},
      {"many headers over 16 KiB", "GET / HTTP/1.1\r\n" + [] {
         std::string s;
         for (int i = 0; i < 2000; ++i) s += "X" + std::to_string(i) + ": v\r\n";
         return s;
       }() + "\r\n", 431},
  };
  for (const auto& c : cases) {
    Parsed p = ParseHead(c.text, 100);
    EXPECT_EQ(p.result, TOVHttpRequestReader::Result::Error) << c.name;
    EXPECT_EQ(p.status, c.status) << c.name;
  }
  // An endless head without a line end stops at the limit as well.
  TOVHttpRequestReader reader;
  std::string in = "GET /" + std::string(20000, 'a');
  EXPECT_EQ(reader.FeedHead(in), TOVHttpRequestReader::Result::Error);
  EXPECT_EQ(reader.ErrorStatus(), 431);
}

TEST(HttpHead, BodyDecodingChunkedAndLength) {
  auto body_of = [](const std::string& text, std::size_t piece, std::string& body) {
    TOVHttpRequestReader reader;
    std::string in;
    std::size_t i = 0;
    auto r = TOVHttpRequestReader::Result::NeedMore;
    while (r == TOVHttpRequestReader::Result::NeedMore && i < text.size()) {
      in.append(text, i, piece);
      i += piece;
      r = reader.FeedHead(in);
    }
    if (r != TOVHttpRequestReader::Result::Done) return r;
    TOVHttpRequestReader::BodySink sink = [&](const char* d, std::size_t n) {
      body.append(d, n);
      return body.size() <= 20;
    };
    for (;;) {
      r = reader.FeedBody(in, sink);
      if (r != TOVHttpRequestReader::Result::NeedMore || i >= text.size()) return r;
      in.append(text, i, piece);
      i += piece;
    }
  };
  for (std::size_t piece : {1u, 3u, 4096u}) {
    std::string body;
    EXPECT_EQ(body_of("POST / HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello", piece, body),
              TOVHttpRequestReader::Result::Done);
    EXPECT_EQ(body, "hello");
    body.clear();
    EXPECT_EQ(body_of("POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n4;ext=1\r\n abc\r\n0\r\n\r\n",
                      piece, body),
              TOVHttpRequestReader::Result::Done);
    EXPECT_EQ(body, "hello abc");
    body.clear();
    EXPECT_EQ(body_of("POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nhello\r\n0\r\n\r\n", piece, body),
              TOVHttpRequestReader::Result::Error);
    body.clear();
    // The sink refuses past 20 bytes.
    EXPECT_EQ(body_of("POST / HTTP/1.1\r\nContent-Length: 30\r\n\r\n" + std::string(30, 'x'), piece, body),
              TOVHttpRequestReader::Result::SinkStopped);
    body.clear();
    // A body that has not fully arrived asks for more.
    EXPECT_EQ(body_of("POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc", piece, body),
              TOVHttpRequestReader::Result::NeedMore);
  }
}

TEST(HttpWebSocket, AcceptKey) {
  // The example from the WebSocket protocol's definition.
  EXPECT_EQ(WebSocketAcceptKey("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}
