// The node side of discovery against unicast datagrams on 127.0.0.1.  The beacon itself
// broadcasts, so it is only run inside a network namespace of its own (tests/e2e).
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "ov_discovery.h"
#include "ov_text.h"

using namespace ov;
using namespace std::chrono_literals;

namespace {

// Sends each argument after the port as one datagram to 127.0.0.1, 20 ms apart.
const char* kSender =
    "import socket, sys, time\n"
    "s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
    "for d in sys.argv[2:]:\n"
    "    s.sendto(d.encode('utf-8', 'surrogateescape'), ('127.0.0.1', int(sys.argv[1])))\n"
    "    time.sleep(0.02)\n";

int UdpSocket(int port, bool reuse) {
  const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
  const int on = 1;
  if (reuse) ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(s);
    return -1;
  }
  return s;
}

int FreeUdpPort() {
  const int s = UdpSocket(0, false);
  sockaddr_in a{};
  socklen_t len = sizeof a;
  ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(s);
  return ntohs(a.sin_port);
}

struct Found {
  bool ok = false;
  std::string host = "unset";
  std::int32_t http = -1, ws = -1;
  bool ssl = true;
};

// Runs the receiver on port while python sends the datagrams; the sender starts once the
// receiver's socket is bound (a plain bind of the same port then fails).
Found Discover(const std::string& key, const std::vector<std::string>& datagrams, int timeout_s = 5) {
  const int port = FreeUdpPort();
  auto result = std::async(std::launch::async, [&] {
    Found f;
    f.ok = OVDiscoverPrimary(static_cast<std::uint16_t>(port), timeout_s, key, f.host, f.http, f.ws, f.ssl);
    return f;
  });
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  for (;;) {
    const int probe = UdpSocket(port, false);
    if (probe < 0) break;
    ::close(probe);
    if (std::chrono::steady_clock::now() > deadline) break;
    std::this_thread::sleep_for(2ms);
  }
  if (!datagrams.empty()) {
    std::vector<std::string> argv = {"python3", "-c", kSender, std::to_string(port)};
    argv.insert(argv.end(), datagrams.begin(), datagrams.end());
    ovtest::ChildProcess sender(argv);
    sender.Wait(10s);
  }
  return result.get();
}

std::string Signed(std::int64_t ts, std::int32_t http_port, const std::string& hash) {
  return "{ \"type\" : \"orvanta_beacon\", \"http_port\" : " + std::to_string(http_port) +
         ", \"timestamp\" : " + std::to_string(ts) + ", \"hash\" : \"" + hash + "\" }";
}

TEST(DiscoveryTest, BeaconHashIsSha1OfKeyAndTimestamp) {
  EXPECT_EQ(ComputeBeaconHash("sesame", 1700000000), "b13cec46a35bbed30a5644bb3bdd62811093ece2");
}

TEST(DiscoveryTest, ReceiverAcceptsTheFirstValidBeaconOnly) {
  const std::string good = R"({"type":"orvanta_beacon","http_port":2222,"ws_port":2223,"ssl":true})";
  struct Case {
    const char* name;
    std::vector<std::string> bad;
  } cases[] = {
      {"other type", {R"({"type":"other","http_port":1})", R"({"http_port":1})"}},
      {"not an object", {"\xff{not json", "[1,2]", "\"orvanta_beacon\"", ""}},
      {"wrong member types",
       {R"({"type":1})", R"({"type":"orvanta_beacon","http_port":"80"})",
        R"({"type":"orvanta_beacon","ws_port":1.5})", R"({"type":"orvanta_beacon","ssl":"yes"})",
        R"({"type":"orvanta_beacon","http_port":70000})", R"({"type":"orvanta_beacon","ws_port":-1})"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto bad = c.bad;
    bad.push_back(good);
    Found f = Discover("", bad);
    EXPECT_TRUE(f.ok);
    EXPECT_EQ(f.host, "127.0.0.1");
    EXPECT_EQ(f.http, 2222);
    EXPECT_EQ(f.ws, 2223);
    EXPECT_TRUE(f.ssl);
  }

  // Missing members take their defaults.
  Found f = Discover("", {R"({"type":"orvanta_beacon"})"});
  EXPECT_TRUE(f.ok);
  EXPECT_EQ(f.host, "127.0.0.1");
  EXPECT_EQ(f.http, 8080);
  EXPECT_EQ(f.ws, 0);
  EXPECT_FALSE(f.ssl);
}

TEST(DiscoveryTest, KeyedReceiverChecksHashAndClock) {
  const std::string key = "sesame";
  // The receiver's own clock reads now or a little later when the datagrams arrive: a beacon
  // 61 s behind is always too old, and one 63 s ahead too new unless the test stalls 2 s.
  const std::int64_t now = LocalTimeAsUTCSeconds(std::chrono::system_clock::now());
  Found f = Discover(key, {
                              Signed(now, 1, ComputeBeaconHash("other", now)),          // wrong key
                              Signed(now - 61, 1, ComputeBeaconHash(key, now - 61)),    // clock 61 s behind
                              Signed(now + 63, 1, ComputeBeaconHash(key, now + 63)),    // 63 s ahead
                              R"({"type":"orvanta_beacon","http_port":1})",                  // unsigned
                              R"({"type":"orvanta_beacon","http_port":1,"timestamp":")" + std::to_string(now) +
                                  R"(","hash":")" + ComputeBeaconHash(key, now) + "\"}",     // timestamp as text
                              R"({"type":"orvanta_beacon","http_port":1,"timestamp":)" + std::to_string(now) +
                                  R"(,"hash":12})",                                          // hash not text
                              // 59 s ahead and the hash in upper case: accepted
                              Signed(now + 59, 3333, ToUpperAscii(ComputeBeaconHash(key, now + 59))),
                          });
  EXPECT_TRUE(f.ok);
  EXPECT_EQ(f.http, 3333);
}

TEST(DiscoveryTest, ReceiverGivesUpAfterItsTimeOut) {
  Found f = Discover("", {}, 1);
  EXPECT_FALSE(f.ok);
  EXPECT_EQ(f.host, "");
  EXPECT_EQ(f.http, 0);
  EXPECT_EQ(f.ws, 0);
  EXPECT_FALSE(f.ssl);

  // A port held by a socket without address reuse cannot be bound: false at once.
  const int port = FreeUdpPort();
  const int holder = UdpSocket(port, false);
  ASSERT_GE(holder, 0);
  std::string host;
  std::int32_t http = 0, ws = 0;
  bool ssl = false;
  EXPECT_FALSE(OVDiscoverPrimary(static_cast<std::uint16_t>(port), 30, "", host, http, ws, ssl));
  ::close(holder);
}

TEST(DiscoveryTest, PortsOutsideTheUdpRangeAreRefused) {
  // Refused before any socket exists, so nothing is ever broadcast here.
  for (int port : {0, -1, 65536, 70000})
    EXPECT_THROW(TOVDiscoveryBeacon(port, 10, "", "x", 1, 1, false), std::invalid_argument) << port;
}

}  // namespace
