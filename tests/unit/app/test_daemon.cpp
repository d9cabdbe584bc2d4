#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "ov_config.h"
#include "ov_daemon.h"
#include "ov_database.h"
#include "ov_http_server.h"
#include "ov_log.h"
#include "ov_router.h"
#include "ov_ws_server.h"
#include "test_util.h"

using namespace ov;
using namespace std::chrono_literals;

namespace {

// True once the process is back to `count` threads (threads that were told to go may take a
// moment to leave); false after 3 s.
bool BackTo(std::size_t count) {
  for (int i = 0; i < 300; ++i) {
    if (ThreadCount() <= count) return true;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

// A listening loopback socket: its port is taken for as long as it lives.
struct TakenPort {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  int port = 0;
  TakenPort() {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), len) != 0 || ::listen(fd, 1) != 0) return;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    port = ntohs(sa.sin_port);
  }
  ~TakenPort() { ::close(fd); }
};

// The status line of GET path on 127.0.0.1:port, empty when nothing answers.
std::string StatusLine(int port, const std::string& path) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  timeval tv{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<std::uint16_t>(port));
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string out;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) {
    const std::string req = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    if (::send(fd, req.data(), req.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(req.size())) {
      char buf[4096];
      ssize_t n;
      while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0) out.append(buf, static_cast<std::size_t>(n));
    }
  }
  ::close(fd);
  return out.substr(0, out.find("\r\n"));
}

// The host's part: configuration and log exist before the daemon starts, and outlive it.
class DaemonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* d : {"web", "plugins", "scripts", "data"}) std::filesystem::create_directories(dir / d);
    ovtest::WriteText(dir / "web/index.html", "<html></html>");
  }
  void TearDown() override {
    Log.Free();
    Config.Free();
  }

  // Publishes Config (HTTP on `http_port`, 0: any) and Log for one daemon life.
  void Host(int http_port, const std::string& db_file) {
    ovtest::WriteText(ini, "[server]\nport=" + std::to_string(http_port) +
                               "\naddress=127.0.0.1\n"
                               "[database]\ntype=sqlite3\nfile=" + db_file + "\n"
                               "[paths]\nweb_root=" + (dir / "web") + "\nplugin_dir=" + (dir / "plugins") +
                               "\ndata_dir=" + (dir / "data") + "\nscripts_dir=" + (dir / "scripts") + "\n"
                               "[plugins]\nenabled=1\nlua_enabled=1\n"
                               "[websocket]\nenabled=1\naddress=127.0.0.1\nport=0\n");
    Config.Publish(std::make_unique<TOVConfig>(ini));
    Log.Publish(std::make_unique<TOVLog>(log_file, false));
  }
  std::string LogText() { return ovtest::ReadText(log_file); }
  bool Logged(const std::string& text) { return LogText().find(text) != std::string::npos; }

  ovtest::TempDir dir;
  std::string ini = dir / "orvanta.ini";
  std::string log_file = dir / "daemon.log";
};

}  // namespace

// A host runs Start on a thread of its own and calls Stop from another: the server answers in
// between without a console line, and every thread it started has ended afterwards.  The host
// may start the same daemon again.
TEST_F(DaemonTest, StartServesUntilStopFromAnotherThread) {
  Host(0, dir / "data/orvanta.db");
  TOVDaemon daemon;
  const std::size_t routes_before = HttpRouter().Count();
  for (int life = 1; life <= 2; ++life) {
    SCOPED_TRACE("life " + std::to_string(life));
    const std::size_t threads_before = ThreadCount();
    testing::internal::CaptureStdout();
    auto started = std::async(std::launch::async, [&] { return daemon.Start(); });

    int port = 0;
    for (int i = 0; i < 1000 && port == 0; ++i) {
      if (auto srv = HttpSrv.Get()) port = srv->Port();
      if (started.wait_for(10ms) == std::future_status::ready) break;
    }
    ASSERT_NE(port, 0) << LogText();
    EXPECT_EQ(StatusLine(port, "/health"), "HTTP/1.1 200 OK");
    EXPECT_TRUE(WSServer.Exists());

    EXPECT_TRUE(daemon.Stop());
    ASSERT_EQ(started.wait_for(10s), std::future_status::ready);
    EXPECT_TRUE(started.get());
    const std::string console = testing::internal::GetCapturedStdout();
    EXPECT_EQ(console.find("Listening on"), std::string::npos) << console;
    EXPECT_TRUE(BackTo(threads_before)) << ThreadCount() << " threads, " << threads_before << " before";
    EXPECT_FALSE(HttpSrv.Exists() || DB.Exists());
    EXPECT_EQ(HttpRouter().Count(), routes_before);  // the server's routes left with it
  }
  EXPECT_TRUE(Logged("Orvanta BBS v0.5.33 daemon starting..."));
  EXPECT_TRUE(Logged("Orvanta BBS v0.5.33 daemon stopping..."));
  EXPECT_TRUE(Logged("[shutdown] done"));
  EXPECT_FALSE(Logged("Web file watcher started"));
  EXPECT_FALSE(Logged("Daemon start failed"));
  EXPECT_TRUE(Config.Exists() && Log.Exists());  // the host's, not the daemon's

  // The framework has nothing to install into: no success is claimed.
  EXPECT_FALSE(daemon.Install());
  EXPECT_FALSE(daemon.Uninstall());
  EXPECT_FALSE(Logged("Daemon installed"));
  EXPECT_FALSE(Logged("Daemon uninstalled"));
  const TOVDaemonMapper mapper;
  ASSERT_EQ(mapper.DaemonDefs().size(), 1u);
  const TDaemonDef& def = *mapper.DaemonDefs()[0];
  EXPECT_EQ(def.daemon_class_name + "|" + def.name + "|" + def.description + "|" + def.display_name,
            "TOVDaemon|OrvantaBBS|Orvanta BBS v0.5.33 Primary Server|Orvanta BBS");
}

// A start that fails early (the database) or late (the HTTP port, after every other service
// started) returns false instead of ending the process, and leaves nothing running.
TEST_F(DaemonTest, FailedStartLeavesNothingRunning) {
  const TakenPort taken;
  ASSERT_NE(taken.port, 0);
  const struct {
    const char* what;
    int port;
    std::string db_file;
    std::string error;
  } cases[] = {
      {"database cannot open", 0, dir.path(), "Daemon start failed: unable to open database file: " + dir.path()},
      {"port in use", taken.port, dir / "data/orvanta.db",
       "Daemon start failed: Cannot bind HTTP server to 127.0.0.1:" + std::to_string(taken.port)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Host(c.port, c.db_file);
    const std::size_t threads_before = ThreadCount();
    TOVDaemon daemon;
    EXPECT_FALSE(std::async(std::launch::async, [&] { return daemon.Start(); }).get());
    EXPECT_TRUE(Logged(c.error)) << LogText();
    EXPECT_TRUE(BackTo(threads_before)) << ThreadCount() << " threads, " << threads_before << " before";
    EXPECT_FALSE(DB.Exists() || HttpSrv.Exists() || WSServer.Exists());
    EXPECT_TRUE(daemon.Stop());  // nothing left to stop
    TearDown();
  }
}
