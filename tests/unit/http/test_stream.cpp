#include <gtest/gtest.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <future>
#include <thread>

#include "ov_ssl_handler.h"
#include "ov_stream.h"
#include "test_util.h"

using namespace ov;
using namespace std::chrono_literals;

namespace {

struct Pair {
  int a = -1, b = -1;
  Pair() {
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    a = fds[0];
    b = fds[1];
  }
  ~Pair() {
    if (b >= 0) close(b);
  }
};

// A self-signed certificate and key in a temporary directory.
struct CertFiles {
  ovtest::TempDir tmp;
  std::string dir, cert, key, other_key;
  CertFiles() {
    dir = tmp.path();
    cert = dir + "/cert.pem";
    key = dir + "/key.pem";
    other_key = dir + "/other.pem";
    std::string cmd = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj /CN=localhost"
                      " -keyout " + key + " -out " + cert + " >/dev/null 2>&1 && openssl genpkey -algorithm EC -pkeyopt"
                      " ec_paramgen_curve:prime256v1 -out " + other_key + " >/dev/null 2>&1";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
  }
};

// Client side of a TLS handshake over fd, limited to the given protocol range.
struct TlsClient {
  SSL_CTX* ctx = nullptr;
  SSL* ssl = nullptr;
  TlsClient(int fd, int min_v, int max_v) {
    ctx = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_security_level(ctx, 0);  // let the old-protocol client really offer TLS 1.1
    SSL_CTX_set_cipher_list(ctx, "DEFAULT:@SECLEVEL=0");
    SSL_CTX_set_min_proto_version(ctx, min_v);
    SSL_CTX_set_max_proto_version(ctx, max_v);
    ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fd);
  }
  bool Connect() { return SSL_connect(ssl) == 1; }
  ~TlsClient() {
    SSL_free(ssl);
    SSL_CTX_free(ctx);
  }
};

}  // namespace

TEST(SocketStream, ReadResultsAndDeadlines) {
  Pair p;
  SocketStream s(p.a);
  char buf[16];
  auto t0 = StreamClock::now();
  IoResult r = s.Recv(buf, sizeof buf, DeadlineIn(50ms));
  EXPECT_EQ(r.status, IoStatus::Timeout);
  EXPECT_GE(StreamClock::now() - t0, 45ms);

  ASSERT_EQ(write(p.b, "abc", 3), 3);
  r = s.Recv(buf, sizeof buf, DeadlineIn(1s));
  ASSERT_EQ(r.status, IoStatus::Ok);
  EXPECT_EQ(std::string(buf, r.bytes), "abc");
  // Data already there is returned even when the deadline has passed.
  ASSERT_EQ(write(p.b, "d", 1), 1);
  r = s.Recv(buf, sizeof buf, StreamClock::now() - 1s);
  EXPECT_EQ(r.status, IoStatus::Ok);

  shutdown(p.b, SHUT_WR);
  EXPECT_EQ(s.Recv(buf, sizeof buf, DeadlineIn(1s)).status, IoStatus::Closed);
}

TEST(SocketStream, SendToAPeerThatDoesNotReadTimesOut) {
  Pair p;
  SocketStream s(p.a);
  std::string big(8 * 1024 * 1024, 'x');
  IoResult r = s.Send(big.data(), big.size(), DeadlineIn(100ms));
  EXPECT_EQ(r.status, IoStatus::Timeout);
  EXPECT_LT(r.bytes, big.size());
  close(p.b);
  p.b = -1;
  r = s.Send(big.data(), big.size(), DeadlineIn(1s));
  EXPECT_TRUE(r.status == IoStatus::Closed || r.status == IoStatus::Error);
}

TEST(SocketStream, AbortWakesABlockedReader) {
  Pair p;
  SocketStream s(p.a);
  auto reader = std::async(std::launch::async, [&] {
    char buf[8];
    return s.Recv(buf, sizeof buf, DeadlineIn(10s)).status;
  });
  std::this_thread::sleep_for(50ms);
  s.Abort();
  ASSERT_EQ(reader.wait_for(2s), std::future_status::ready);
  EXPECT_NE(reader.get(), IoStatus::Ok);
}

TEST(SocketStream, LingeringCloseDrainsThenCloses) {
  Pair p;
  auto* s = new SocketStream(p.a);
  ASSERT_EQ(write(p.b, "unread request body", 19), 19);
  auto t0 = StreamClock::now();
  std::thread closer([&] { s->LingeringClose(2s, 1 << 20); });
  // The peer sees our half-close first, then finishes its side.
  char buf[64];
  EXPECT_EQ(read(p.b, buf, sizeof buf), 0);
  shutdown(p.b, SHUT_WR);
  closer.join();
  EXPECT_LT(StreamClock::now() - t0, 1500ms);
  EXPECT_EQ(s->Fd(), -1);
  delete s;
}

class TlsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { certs = new CertFiles(); }
  static void TearDownTestSuite() {
    FreeSharedSSLContext();
    delete certs;
  }
  void SetUp() override { FreeSharedSSLContext(); }
  static CertFiles* certs;
};
CertFiles* TlsTest::certs = nullptr;

TEST_F(TlsTest, ContextNeedsMatchingCertificateAndKey) {
  EXPECT_FALSE(InitSharedSSLContext(certs->cert, certs->dir + "/missing.pem", ""));
  EXPECT_FALSE(SharedSSLContextReady());
  EXPECT_NE(LastSSLInitError().find("failed to load private key from"), std::string::npos);
  EXPECT_FALSE(InitSharedSSLContext(certs->dir + "/missing.pem", certs->key, ""));
  EXPECT_NE(LastSSLInitError().find("failed to load certificate from"), std::string::npos);
  EXPECT_FALSE(InitSharedSSLContext(certs->cert, certs->other_key, ""));
  EXPECT_FALSE(SharedSSLContextReady());

  EXPECT_TRUE(InitSharedSSLContext(certs->cert, certs->key, ""));
  EXPECT_TRUE(SharedSSLContextReady());
  // The first context wins; a later call with other files keeps it.
  EXPECT_TRUE(InitSharedSSLContext(certs->cert, certs->other_key, ""));
  EXPECT_TRUE(SharedSSLContextReady());
}

TEST_F(TlsTest, AcceptWithoutContextFails) {
  Pair p;
  TOVOpenSSLHandler h(p.a);
  EXPECT_FALSE(h.Accept(DeadlineIn(1s)));
}

TEST_F(TlsTest, HandshakeVersionsAndData) {
  ASSERT_TRUE(InitSharedSSLContext(certs->cert, certs->key, ""));
  struct V {
    int version;
    bool ok;
  };
  for (V v : {V{TLS1_2_VERSION, true}, V{TLS1_3_VERSION, true}, V{TLS1_1_VERSION, false}}) {
    Pair p;
    TOVOpenSSLHandler server(p.a);
    auto accepted = std::async(std::launch::async, [&] { return server.Accept(DeadlineIn(5s)); });
    TlsClient client(p.b, v.version, v.version);
    bool connected = client.Connect();
    EXPECT_EQ(accepted.get(), v.ok) << v.version;
    EXPECT_EQ(connected, v.ok) << v.version;
    if (!v.ok) continue;
    ASSERT_EQ(SSL_write(client.ssl, "ping-pong", 9), 9);
    char buf[4];
    IoResult r = server.Recv(buf, sizeof buf, DeadlineIn(2s));
    ASSERT_EQ(r.status, IoStatus::Ok);
    // The rest of the record is already decrypted and waiting.
    EXPECT_EQ(server.BytesAvailable(), 9u - r.bytes);
    EXPECT_TRUE(server.Send("reply", 5, DeadlineIn(2s)).ok());
    char cbuf[8];
    EXPECT_EQ(SSL_read(client.ssl, cbuf, sizeof cbuf), 5);
    char rest[16];
    EXPECT_EQ(server.Recv(rest, sizeof rest, DeadlineIn(2s)).status, IoStatus::Ok);
    EXPECT_EQ(server.Recv(rest, sizeof rest, DeadlineIn(50ms)).status, IoStatus::Timeout);
    SSL_shutdown(client.ssl);
    EXPECT_EQ(server.Recv(rest, sizeof rest, DeadlineIn(2s)).status, IoStatus::Closed);
  }
}

TEST_F(TlsTest, HandshakeHasADeadlineAndMinimumVersion) {
  ASSERT_TRUE(InitSharedSSLContext(certs->cert, certs->key, ""));
  {
    Pair p;  // the client never speaks
    TOVOpenSSLHandler server(p.a);
    auto t0 = StreamClock::now();
    EXPECT_FALSE(server.Accept(DeadlineIn(200ms)));
    EXPECT_LT(StreamClock::now() - t0, 2s);
  }
  {
    Pair p;  // TLS 1.2 only refuses a client that speaks TLS 1.3 alone
    TOVOpenSSLHandler server(p.a, TOVSSLType::Tls12Only);
    auto accepted = std::async(std::launch::async, [&] { return server.Accept(DeadlineIn(5s)); });
    TlsClient client(p.b, TLS1_3_VERSION, TLS1_3_VERSION);
    EXPECT_FALSE(client.Connect());
    EXPECT_FALSE(accepted.get());
  }
  // Only "tls1.2_only" narrows the versions; nothing raises the minimum above TLS 1.2.
  EXPECT_EQ(SSLTypeFromConfig("TLS1.2_Only"), TOVSSLType::Tls12Only);
  for (const char* text : {"tls1.2", "tls1.3", "TLS1.3", "tls1.0", "sslv3", "", " tls1.2_only"})
    EXPECT_EQ(SSLTypeFromConfig(text), TOVSSLType::Tls12And13) << text;
}
