// The HTTP front end served in-process on 127.0.0.1 with an ephemeral port.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdlib>
#include <future>
#include <map>
#include <mutex>
#include <numeric>
#include <optional>
#include <set>
#include <thread>

#include "ov_config.h"
#include "ov_consts.h"
#include "dbapi_pool.h"
#include "ov_daemon.h"
#include "ov_http_core.h"
#include "ov_http_server.h"
#include "ov_router.h"
#include "ov_security.h"
#include "ov_ssl_handler.h"
#include "ov_ws_server.h"
#include "test_util.h"

using namespace ov;
using namespace std::chrono_literals;

// Failures the kernel gives rarely and cannot be provoked from a test client: accept() passing
// on a network error of the connection being taken, and a connection thread that cannot make
// its wait set.  Both calls are interposed for this test binary; they behave as the C
// library's own unless a test arms a failure, and accept failures only hit the armed port.
namespace {
std::atomic<int> gAcceptFailures{0};
std::atomic<int> gAcceptErrno{0};
std::atomic<int> gAcceptPort{-1};
std::atomic<int> gEpollCreateFailures{0};

int LocalPort(int fd) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0 || sa.sin_family != AF_INET) return -1;
  return ntohs(sa.sin_port);
}

template <class Fn>
Fn RealFunction(const char* name) {
  return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

// Arms n failures of the given errno for accepts on port.
void FailAccepts(std::uint16_t port, int err, int n) {
  gAcceptErrno = err;
  gAcceptPort = port;
  gAcceptFailures = n;
}
}  // namespace

extern "C" int accept4(int fd, sockaddr* addr, socklen_t* len, int flags) {
  using Fn = int (*)(int, sockaddr*, socklen_t*, int);
  static const Fn real = RealFunction<Fn>("accept4");
  if (gAcceptFailures.load() > 0 && LocalPort(fd) == gAcceptPort.load() && gAcceptFailures.fetch_sub(1) > 0) {
    // As the kernel does: the pending connection is taken and the error reported instead.
    int taken = real(fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (taken >= 0) close(taken);
    errno = gAcceptErrno.load();
    return -1;
  }
  return real(fd, addr, len, flags);
}

// System calls a static-file answer makes, counted while gCountFileCalls is set: opens of a
// file named app.js or big.bin, fcntl on sockets, and sendfile.
namespace {
std::atomic<bool> gCountFileCalls{false};
std::atomic<int> gFileOpens{0};
std::atomic<int> gSocketFcntls{0};
std::atomic<int> gSendfiles{0};
}  // namespace

extern "C" int open(const char* path, int flags, ...) {
  using Fn = int (*)(const char*, int, ...);
  static const Fn real = RealFunction<Fn>("open");
  mode_t mode = 0;
  if (flags & (O_CREAT | O_TMPFILE)) {
    va_list ap;
    va_start(ap, flags);
    mode = static_cast<mode_t>(va_arg(ap, int));
    va_end(ap);
  }
  if (gCountFileCalls.load()) {
    std::string_view p(path);
    if (p.ends_with("/app.js") || p.ends_with("/big.bin")) gFileOpens++;
  }
  return real(path, flags, mode);
}

extern "C" int fcntl(int fd, int cmd, ...) {
  using Fn = int (*)(int, int, ...);
  static const Fn real = RealFunction<Fn>("fcntl");
  va_list ap;
  va_start(ap, cmd);
  void* arg = va_arg(ap, void*);  // every argument fcntl takes fits a pointer
  va_end(ap);
  struct stat st {};
  if (gCountFileCalls.load() && fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode)) gSocketFcntls++;
  return real(fd, cmd, arg);
}

extern "C" ssize_t sendfile(int out_fd, int in_fd, off_t* offset, size_t count) {
  using Fn = ssize_t (*)(int, int, off_t*, size_t);
  static const Fn real = RealFunction<Fn>("sendfile");
  if (gCountFileCalls.load()) gSendfiles++;
  return real(out_fd, in_fd, offset, count);
}

extern "C" int epoll_create1(int flags) noexcept {
  using Fn = int (*)(int);
  static const Fn real = RealFunction<Fn>("epoll_create1");
  if (gEpollCreateFailures.load() > 0 && gEpollCreateFailures.fetch_sub(1) > 0) {
    errno = EMFILE;
    return -1;
  }
  return real(flags);
}

namespace {

using ovtest::kPatience;
using ovtest::PollUntil;

// Connects the socket fd from source (an address of 127.0.0.0/8; null: any); reads give up
// after kPatience.  Closes fd and returns -1 when it cannot.
int ConnectSocket(int fd, std::uint16_t port, const char* source) {
  if (source) {
    sockaddr_in from{};
    from.sin_family = AF_INET;
    inet_pton(AF_INET, source, &from.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) {
      close(fd);
      return -1;
    }
  }
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    close(fd);
    return -1;
  }
  timeval tv{kPatience.count(), 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  return fd;
}

// A client connection from source (see ConnectSocket).
int Connect(std::uint16_t port, const char* source = nullptr) {
  return ConnectSocket(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), port, source);
}

bool SendAll(int fd, const std::string& s) {
  std::size_t done = 0;
  while (done < s.size()) {
    ssize_t n = send(fd, s.data() + done, s.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::string ReadAll(int fd) {
  std::string out;
  char buf[65536];
  for (;;) {
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  return out;
}

struct Reply {
  int status = 0;
  std::map<std::string, std::string, CaseInsensitiveLess> headers;
  std::string body;
  std::string raw;
};

Reply ParseReply(const std::string& raw) {
  Reply r;
  r.raw = raw;
  std::size_t end = raw.find("\r\n\r\n");
  if (raw.size() < 12 || end == std::string::npos) return r;
  r.status = std::atoi(raw.substr(9, 3).c_str());
  std::size_t pos = raw.find("\r\n") + 2;
  while (pos < end) {
    std::size_t eol = raw.find("\r\n", pos);
    std::string line = raw.substr(pos, eol - pos);
    std::size_t colon = line.find(':');
    if (colon != std::string::npos) r.headers[line.substr(0, colon)] = TrimAscii(line.substr(colon + 1));
    pos = eol + 2;
  }
  r.body = raw.substr(end + 4);
  return r;
}

const char* kNotFoundEnvelope =
    "{ \"success\" : false, \"error\" : { \"code\" : 404, \"message\" : \"API endpoint not found\" } }";

class HttpServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = tmp_.path();
    web_ = base_ + "/web";
    plugins_ = base_ + "/plugins";
    uploads_ = base_ + "/uploads";
    for (auto d : {web_ + "/sub", plugins_ + "/demo", uploads_, base_ + "/web2"}) std::filesystem::create_directories(d);
    ovtest::WriteText(web_ + "/index.html", "<p>v={{VERSION}} b={{BUILD_ID}} again {{VERSION}}</p>");
    ovtest::WriteText(web_ + "/old.htm", "{{VERSION}}");
    ovtest::WriteText(web_ + "/app.js", "console.log(1);");
    ovtest::WriteText(web_ + "/LOGO.PNG", "png");
    ovtest::WriteText(web_ + "/README", "plain");
    ovtest::WriteText(base_ + "/web2/secret.txt", "sibling secret");
    ovtest::WriteText(base_ + "/outside.txt", "outside");
    ovtest::WriteText(plugins_ + "/demo/page.js", "plugin js");
    big_ = std::string(300000, 'B');
    ovtest::WriteText(web_ + "/big.bin", big_);
  }
  void TearDown() override {
    StopServer();
    HttpRouter().UnregisterRoutes("http-test");
  }

  TOVHttpServerOptions Options() {
    TOVHttpServerOptions o;
    o.address = "127.0.0.1";
    o.port = 0;
    o.web_root = web_;
    o.plugin_root = plugins_;
    o.upload_dir = uploads_;
    o.io_timeout = 3s;
    o.shutdown_wait = 3s;
    return o;
  }
  void StartServer(TOVHttpServerOptions o) {
    srv_ = std::make_unique<TOVHttpServerWrapper>(std::move(o));
    loop_ = std::thread([this] { srv_->Start(); });
  }
  void StartServer() { StartServer(Options()); }
  void StopServer() {
    if (!srv_) return;
    srv_->Stop();
    if (loop_.joinable()) loop_.join();
    srv_.reset();
  }

  std::string Raw(const std::string& request) {
    int fd = Connect(srv_->Port());
    if (fd < 0) return "";
    SendAll(fd, request);
    std::string out = ReadAll(fd);
    close(fd);
    return out;
  }
  Reply Get(const std::string& target, const std::string& extra = "", const std::string& method = "GET") {
    return ParseReply(Raw(method + " " + target + " HTTP/1.1\r\nHost: t\r\n" + extra + "\r\n"));
  }

  ovtest::TempDir tmp_;
  std::string base_, web_, plugins_, uploads_, big_;
  std::unique_ptr<TOVHttpServerWrapper> srv_;
  std::thread loop_;
};

// The route /api/v1/http-test/hold: each request holds its handler thread until released (or a
// minute has passed).  The state is shared with the handlers, which could outlive the server
// object; they are released when this object goes.
class HoldRoute {
 public:
  HoldRoute() : st_(std::make_shared<State>()) {
    HttpRouter().RegisterRoute("GET", "/api/v1/http-test/hold", [st = st_](TOVHttpRequest&, TOVHttpResponse& a) {
      ++st->holding;
      for (int i = 0; i < 6000 && !st->release.load(); ++i) std::this_thread::sleep_for(10ms);
      a.SetContent("text/plain", "held");
    }, "http-test");
  }
  ~HoldRoute() { Release(); }
  HoldRoute(const HoldRoute&) = delete;
  HoldRoute& operator=(const HoldRoute&) = delete;
  // Requests being held.
  int Holding() const { return st_->holding.load(); }
  void Release() { st_->release = true; }

 private:
  struct State {
    std::atomic<int> holding{0};
    std::atomic<bool> release{false};
  };
  std::shared_ptr<State> st_;
};

}  // namespace

TEST_F(HttpServerTest, StaticFilesTemplatesAndCacheHeaders) {
  StartServer();
  Reply r = Get("/");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "<p>v=0.5.33 b=" + GetServerBuildId() + " again 0.5.33</p>");
  EXPECT_EQ(r.headers["Content-Type"], "text/html; charset=utf-8");
  EXPECT_EQ(r.headers["Cache-Control"], "no-cache, must-revalidate");
  EXPECT_EQ(r.headers["Connection"], "close");
  EXPECT_EQ(r.headers["Content-Length"], std::to_string(r.body.size()));
  EXPECT_EQ(Get("/index.html?v=9").headers["Cache-Control"], "no-cache, must-revalidate");

  r = Get("/old.htm");
  EXPECT_EQ(r.body, "{{VERSION}}");  // only .html is templated
  EXPECT_EQ(r.headers["Cache-Control"], "public, max-age=300");
  EXPECT_EQ(Get("/app.js?v=3").headers["Cache-Control"], "public, max-age=31536000, immutable");
  EXPECT_EQ(Get("/app.js").headers["Cache-Control"], "public, max-age=300");
  EXPECT_EQ(Get("/LOGO.PNG").headers["Content-Type"], "image/png");
  EXPECT_EQ(Get("/README").headers["Content-Type"], "application/octet-stream");

  // A file is opened once per answer and sent from the page cache; the socket accept4 set up
  // is not set up again.
  gFileOpens = gSocketFcntls = gSendfiles = 0;
  gCountFileCalls = true;
  r = Get("/app.js");
  EXPECT_EQ(r.body, "console.log(1);");
  r = Get("/big.bin");
  gCountFileCalls = false;
  EXPECT_EQ(gFileOpens.load(), 2);
  EXPECT_EQ(gSocketFcntls.load(), 0);
  EXPECT_GE(gSendfiles.load(), 2);
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, big_);
  r = Get("/big.bin", "", "HEAD");
  EXPECT_EQ(r.headers["Content-Length"], std::to_string(big_.size()));
  EXPECT_EQ(r.body, "");

  r = Get("/missing.css");
  EXPECT_EQ(r.status, 404);
  EXPECT_NE(r.body.find("\"File not found\""), std::string::npos);
  EXPECT_EQ(r.headers["Connection"], "close");
  EXPECT_EQ(Get("/sub").status, 404);  // a directory is not a file
  EXPECT_EQ(Get("/sub/").status, 404);
  r = Get("/plugins/demo/page.js");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "plugin js");
  r = Get("/plugins/demo/none.js");
  EXPECT_EQ(r.status, 404);
  EXPECT_NE(r.body.find("\"Plugin file not found\""), std::string::npos);
}

TEST_F(HttpServerTest, PluginPagesComeFromTheInjectedLookup) {
  auto o = Options();
  // Asked on the connection threads; read after the server has stopped.
  std::mutex asked_lock;
  std::vector<std::string> asked;
  o.find_admin_page = [&](const std::string& path, std::string& rel_file) {
    {
      std::lock_guard<std::mutex> g(asked_lock);
      asked.push_back(path);
    }
    if (path == "/throws") throw 7;
    if (path != "/demo-page" && path != "/demo-missing") return false;
    rel_file = path == "/demo-page" ? "demo/page.js" : "demo/none.js";
    return true;
  };
  StartServer(o);
  Reply r = Get("/demo-page?x=1");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "plugin js");
  r = Get("/demo-missing");
  EXPECT_EQ(r.status, 404);
  EXPECT_NE(r.body.find("\"Plugin file not found\""), std::string::npos);
  EXPECT_EQ(Get("/app.js").body, "console.log(1);");  // not a page: the web root
  EXPECT_EQ(Get("/throws").status, 500);
  Get("/health");  // never asked for /health or the API
  Get("/api/v1/none");
  StopServer();
  EXPECT_EQ(asked, (std::vector<std::string>{"/demo-page", "/demo-missing", "/app.js", "/throws"}));

  // Without a look-up no path is a page.
  StartServer();
  EXPECT_EQ(Get("/demo-page").status, 404);
}

TEST_F(HttpServerTest, TraversalAndBadPaths) {
  StartServer();
  struct Case {
    std::string target;
    int status;
  };
  const std::vector<Case> cases = {
      {"/../outside.txt", 403},
      {"/../web2/secret.txt", 403},  // sibling directory whose name starts like the root's
      {"/%2e%2e/web2/secret.txt", 403},
      {"/sub/../../outside.txt", 403},
      {"/sub/../app.js", 200},
      {"/plugins/../web/index.html", 403},
      {"/plugins/demo/../../outside.txt", 403},
      {"/a%zz", 400},
      {"/index.html%00.png", 400},
      {"/%", 400},
  };
  for (const auto& c : cases) {
    Reply r = Get(c.target);
    EXPECT_EQ(r.status, c.status) << c.target;
    EXPECT_EQ(r.body.find("secret"), std::string::npos) << c.target;
    EXPECT_EQ(r.headers["Connection"], "close") << c.target;
  }
  EXPECT_NE(Get("/../web2/secret.txt").body.find("\"Forbidden\""), std::string::npos);
}

TEST_F(HttpServerTest, ApiRoutingAndErrors) {
  HttpRouter().RegisterRoute("POST", "/api/v1/http-test/echo", [](TOVHttpRequest& q, TOVHttpResponse& a) {
    a.SetContent("text/plain", q.method + ":" + q.body + ":" + q.QueryParam("x"));
  }, "http-test");
  HttpRouter().RegisterRoute("GET", "/api/v1/http-test/boom", [](TOVHttpRequest&, TOVHttpResponse& a) {
    a.SetContent("text/plain", "partial");
    throw std::runtime_error("boom");
  }, "http-test");
  StartServer();

  Reply r = ParseReply(Raw("POST /api/v1/HTTP-TEST/echo/?x=1 HTTP/1.1\r\nHost: t\r\nContent-Length: 5\r\n\r\nhello"));
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "POST:hello:1");
  r = ParseReply(Raw("POST /api/v1/http-test/echo HTTP/1.1\r\nHost: t\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n"));
  EXPECT_EQ(r.body, "POST:abc:");

  for (const char* target : {"/api/v1/nope", "/api/v1foo", "/api/v1", "/api/v1/http-test/echo"}) {
    r = Get(target);  // the last one exists for POST only
    EXPECT_EQ(r.status, 404) << target;
    EXPECT_EQ(r.body, kNotFoundEnvelope) << target;
    EXPECT_EQ(r.headers["Content-Type"], "application/json");
    EXPECT_EQ(r.headers["Access-Control-Allow-Origin"], "*");
  }
  // The prefix test is exact: this is a static path.
  EXPECT_NE(Get("/API/v1/nope").body.find("\"File not found\""), std::string::npos);

  r = Get("/api/v1/http-test/boom");
  EXPECT_EQ(r.status, 500);
  EXPECT_NE(r.body.find("\"Internal server error\""), std::string::npos);
  EXPECT_EQ(r.body.find("partial"), std::string::npos);

  // /health: HEAD answers as GET without the body, a method without a route as under
  // /api/v1, and only a failure of the check itself is a health failure.
  EXPECT_EQ(Get("/health").body, kNotFoundEnvelope);  // no health route registered yet
  std::atomic<bool> healthy{true};
  HttpRouter().RegisterRoute("GET", "/health", [&](TOVHttpRequest&, TOVHttpResponse& a) {
    if (!healthy) throw std::runtime_error("database gone");
    a.SetContent("application/json", "{\"status\":\"healthy\"}");
  }, "http-test");
  struct HealthCase {
    const char* method;
    bool healthy;
    int status;
    std::string body;
  };
  const std::string ok_body = "{\"status\":\"healthy\"}";
  for (const HealthCase& c : std::vector<HealthCase>{{"GET", true, 200, ok_body},
                                                     {"HEAD", true, 200, ""},
                                                     {"POST", true, 404, kNotFoundEnvelope},
                                                     {"DELETE", true, 404, kNotFoundEnvelope},
                                                     {"GET", false, 500, ""},
                                                     {"HEAD", false, 500, ""}}) {
    healthy = c.healthy;
    r = Get("/health", "", c.method);
    EXPECT_EQ(r.status, c.status) << c.method << " " << c.healthy;
    if (c.status != 500) {
      EXPECT_EQ(r.body, c.body) << c.method;
    }
    if (c.status == 200) {
      EXPECT_EQ(r.headers["Content-Length"], std::to_string(ok_body.size())) << c.method;
    }
    if (c.status == 500 && c.method == std::string("GET")) {
      EXPECT_NE(r.body.find("\"Health check error\""), std::string::npos);
    }
  }

  r = Get("/anything", "", "OPTIONS");
  EXPECT_EQ(r.status, 204);
  EXPECT_EQ(r.headers["Access-Control-Allow-Origin"], "*");
  EXPECT_EQ(r.headers["Access-Control-Allow-Headers"], "Content-Type, Authorization, X-API-Key");
  EXPECT_EQ(r.headers["Access-Control-Allow-Methods"], "GET, POST, PUT, DELETE, OPTIONS");
  EXPECT_EQ(r.headers["Access-Control-Max-Age"], "86400");
  EXPECT_EQ(r.headers["Connection"], "close");
  EXPECT_EQ(r.body, "");
}

TEST_F(HttpServerTest, HeadAndBodyLimits) {
  auto o = Options();
  o.max_body_bytes = 1000;
  o.io_timeout = 400ms;
  StartServer(o);

  Reply r = Get("/", "X-Big: " + std::string(17 * 1024, 'a') + "\r\n");
  EXPECT_EQ(r.status, 431);
  r = ParseReply(Raw("GARBAGE\r\n\r\n"));
  EXPECT_EQ(r.status, 400);
  EXPECT_EQ(r.headers["Connection"], "close");

  // The answer to an oversized upload arrives although the body is never read.
  int fd = Connect(srv_->Port());
  SendAll(fd, "POST /api/v1/x HTTP/1.1\r\nHost: t\r\nContent-Length: 5000000\r\n\r\n" + std::string(100000, 'x'));
  r = ParseReply(ReadAll(fd));
  close(fd);
  EXPECT_EQ(r.status, 413);
  EXPECT_NE(r.body.find("\"Request body too large\""), std::string::npos);

  std::string chunked = "POST /x HTTP/1.1\r\nHost: t\r\nTransfer-Encoding: chunked\r\n\r\n";
  for (int i = 0; i < 4; ++i) chunked += "190\r\n" + std::string(400, 'c') + "\r\n";
  chunked += "0\r\n\r\n";
  EXPECT_EQ(ParseReply(Raw(chunked)).status, 413);

  // Expect: 100-continue gets the interim answer before the body is sent.
  fd = Connect(srv_->Port());
  SendAll(fd, "POST /api/v1/none HTTP/1.1\r\nHost: t\r\nContent-Length: 3\r\nExpect: 100-continue\r\n\r\n");
  char buf[64];
  ssize_t n = recv(fd, buf, sizeof buf, 0);
  ASSERT_GT(n, 0);
  EXPECT_EQ(std::string(buf, static_cast<std::size_t>(n)), "HTTP/1.1 100 Continue\r\n\r\n");
  SendAll(fd, "abc");
  EXPECT_EQ(ParseReply(ReadAll(fd)).status, 404);
  close(fd);

  // A silent client is dropped at the head deadline (without one it would be held until the
  // read gives up); a slow one gets 408.
  fd = Connect(srv_->Port());
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(ReadAll(fd), "");
  EXPECT_LT(std::chrono::steady_clock::now() - t0, kPatience / 3);
  close(fd);
  fd = Connect(srv_->Port());
  SendAll(fd, "GET / HTTP/1.1\r\nHost: slow");
  EXPECT_EQ(ParseReply(ReadAll(fd)).status, 408);
  close(fd);
  fd = Connect(srv_->Port());
  SendAll(fd, "POST /x HTTP/1.1\r\nHost: t\r\nContent-Length: 10\r\n\r\nabc");
  EXPECT_EQ(ParseReply(ReadAll(fd)).status, 408);
  close(fd);
  EXPECT_EQ(Get("/").status, 200);
}

TEST_F(HttpServerTest, MultipartUploadGoesToTemporaryFiles) {
  std::string seen_name, seen_content, seen_path, seen_field;
  std::mutex seen_lock;  // the handler runs on a connection thread
  HttpRouter().RegisterRoute("POST", "/api/v1/http-test/upload", [&](TOVHttpRequest& q, TOVHttpResponse& a) {
    std::lock_guard<std::mutex> g(seen_lock);
    if (!q.files.empty()) {
      seen_name = q.files[0].client_name;
      seen_path = q.files[0].temp_path;
      seen_content = ovtest::ReadText(seen_path);
    }
    if (!q.form_fields.empty()) seen_field = q.form_fields[0].second;
    a.SetContent("text/plain", q.body.empty() ? "empty-body" : "body");
  }, "http-test");
  StartServer();
  std::string payload(200000, 'P');
  std::string body = "--XX\r\nContent-Disposition: form-data; name=\"note\"\r\n\r\nhello\r\n"
                     "--XX\r\nContent-Disposition: form-data; name=\"pkg\"; filename=\"demo.ovp\"\r\n\r\n" +
                     payload + "\r\n--XX--\r\n";
  Reply r = ParseReply(Raw("POST /api/v1/http-test/upload HTTP/1.1\r\nHost: t\r\nContent-Type: multipart/form-data; boundary=XX\r\n"
                           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body));
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "empty-body");
  std::unique_lock<std::mutex> seen(seen_lock);
  EXPECT_EQ(seen_name, "demo.ovp");
  EXPECT_EQ(seen_content, payload);
  EXPECT_EQ(seen_field, "hello");
  EXPECT_EQ(seen_path.rfind(uploads_ + "/", 0), 0u);
  EXPECT_NE(access(seen_path.c_str(), F_OK), 0) << "temporary file left behind";
  seen.unlock();

  r = ParseReply(Raw("POST /api/v1/http-test/upload HTTP/1.1\r\nHost: t\r\nContent-Type: multipart/form-data; boundary=XX\r\n"
                     "Content-Length: 20\r\n\r\n--XX\r\nbroken\r\n\r\n"));
  EXPECT_EQ(r.status, 400);
  r = ParseReply(Raw("POST /api/v1/http-test/upload HTTP/1.1\r\nHost: t\r\nContent-Type: multipart/form-data\r\n"
                     "Content-Length: 4\r\n\r\nabcd"));
  EXPECT_EQ(r.status, 400);
  // A client that goes away in the middle of a file leaves nothing behind: it leaves once the
  // file has been started.
  int fd = Connect(srv_->Port());
  SendAll(fd, "POST /api/v1/http-test/upload HTTP/1.1\r\nHost: t\r\nContent-Type: multipart/form-data; boundary=XX\r\n"
              "Content-Length: 100000\r\n\r\n--XX\r\nContent-Disposition: form-data; name=\"f\"; filename=\"x\"\r\n\r\nabc");
  ASSERT_TRUE(PollUntil([&] { return !std::filesystem::is_empty(uploads_); }));
  close(fd);
  EXPECT_TRUE(PollUntil([&] { return srv_->ActiveConnections() == 0 && std::filesystem::is_empty(uploads_); }))
      << "temporary file left behind";
}

TEST_F(HttpServerTest, SecurityGateOrderAndModes) {
  std::atomic<bool> banned{false}, limited{false}, explode{false}, unreachable{false};
  std::atomic<int> counted{0};
  auto o = Options();
  o.is_banned = [&](const std::string& ip) {
    if (explode) throw std::runtime_error("blacklist broken");
    if (unreachable) throw EDBAPoolDead("Database unavailable: connection refused");
    return banned.load() && ip == "127.0.0.1";
  };
  o.allow_request = [&](const std::string&) {
    counted++;
    return !limited.load();
  };
  HttpRouter().RegisterRoute("GET", "/health", [](TOVHttpRequest&, TOVHttpResponse& a) {
    a.SetContent("application/json", "{\"status\":\"ok\"}");
  }, "http-test");
  StartServer(o);

  banned = true;
  Reply r = Get("/index.html");
  EXPECT_EQ(r.status, 403);
  EXPECT_NE(r.body.find("\"Forbidden\""), std::string::npos);
  EXPECT_EQ(Get("/x", "", "OPTIONS").status, 403);  // the gate comes before the preflight answer
  EXPECT_EQ(Get("/health").status, 200);            // never gated
  EXPECT_EQ(counted.load(), 0);                     // a banned client is not counted either
  // A refused upload is answered without reading the body.
  int fd = Connect(srv_->Port());
  SendAll(fd, "POST /api/v1/x HTTP/1.1\r\nHost: t\r\nContent-Length: 9000000\r\n\r\n" + std::string(50000, 'u'));
  EXPECT_EQ(ParseReply(ReadAll(fd)).status, 403);
  close(fd);

  banned = false;
  // A rate limit, a gate that fails, and a blacklist that cannot be read for an outage (which
  // refuses as a route would): each answer with its retry hint, if any.
  struct Refusal {
    std::atomic<bool>& cause;
    int status;
    const char* retry_after;
    const char* message;
  };
  for (const Refusal& x : {Refusal{limited, 429, "60", "\"Too many requests\""},
                           Refusal{explode, 500, nullptr, "\"Internal server error\""},
                           Refusal{unreachable, 503, "5", "\"Database unavailable\""}}) {
    SCOPED_TRACE(x.status);
    x.cause = true;
    r = Get("/index.html");
    x.cause = false;
    EXPECT_EQ(r.status, x.status);
    if (x.retry_after) {
      EXPECT_EQ(r.headers["Retry-After"], x.retry_after);
    }
    EXPECT_NE(r.body.find(x.message), std::string::npos);
  }

  // Modes come from the configuration.
  ASSERT_FALSE(Config.Exists());
  std::string ini = base_ + "/gate.ini";
  ovtest::WriteText(ini, "[security]\nsecurity_gate_mode=off\n");
  Config.Publish(std::make_unique<TOVConfig>(ini));
  banned = true;
  EXPECT_EQ(Get("/index.html").status, 200);
  Config.Free();
  ovtest::WriteText(ini, "[security]\nsecurity_gate_mode=LOG\n");
  Config.Publish(std::make_unique<TOVConfig>(ini));
  limited = true;
  EXPECT_EQ(Get("/index.html").status, 200);
  Config.Free();
}

TEST_F(HttpServerTest, RefusedClientWithoutBodyFreesItsThreadAtOnce) {
  auto o = Options();
  o.is_banned = [](const std::string&) { return true; };
  StartServer(o);
  // The client reads its answer and keeps its side open: with nothing left to drain, the
  // connection thread must not stay with it.  The server's socket is closed outright, not
  // lingering: a byte sent after the answer is refused with a reset, which ends the client's
  // socket too (a lingering close would take the byte, read on, and never reset).
  int fd = Connect(srv_->Port());
  SendAll(fd, "GET /index.html HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_EQ(ParseReply(ReadAll(fd)).status, 403);
  ASSERT_TRUE(SendAll(fd, "x"));
  EXPECT_TRUE(PollUntil([&] {
    pollfd p{fd, 0, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & (POLLERR | POLLHUP)) != 0;
  }));
  EXPECT_TRUE(PollUntil([&] { return srv_->ActiveConnections() == 0; }));
  close(fd);
  // With a body on its way the answer still arrives whole, the body being drained.
  fd = Connect(srv_->Port());
  SendAll(fd, "POST /api/v1/x HTTP/1.1\r\nHost: t\r\nContent-Length: 400000\r\n\r\n" + std::string(200000, 'b'));
  Reply r = ParseReply(ReadAll(fd));
  EXPECT_EQ(r.status, 403);
  EXPECT_NE(r.body.find("\"Forbidden\""), std::string::npos);
  close(fd);
}

TEST_F(HttpServerTest, WebSocketUpgradeAndHandOver) {
  std::promise<std::pair<std::string, std::string>> got;  // pending bytes, then what the client sent next
  std::thread hub_thread;
  auto o = Options();
  o.websocket_upgrade = HandleWSUpgradeRequest;  // the server's own hand-over, without a hub
  StartServer(o);
  Reply r = Get("/ws");
  EXPECT_EQ(r.status, 400);
  EXPECT_NE(r.body.find("\"WebSocket upgrade required\""), std::string::npos);
  r = Get("/ws", "Upgrade: WebSocket\r\nConnection: Upgrade\r\n");
  EXPECT_EQ(r.status, 400);
  EXPECT_NE(r.body.find("\"Missing Sec-WebSocket-Key\""), std::string::npos);
  r = Get("/ws", "Upgrade: websocket\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n");
  EXPECT_EQ(r.status, 401);  // credentials are checked before the hub's availability
  EXPECT_NE(r.body.find("\"Unauthorized\""), std::string::npos);
  StopServer();

  o.websocket_upgrade = [&](TOVHttpRequest& req, TOVHttpResponse&) {
    EXPECT_EQ(req.path, "/ws");
    TOVDetachedStream s = AcceptWebSocketUpgrade(req);
    auto owned = std::make_shared<TOVDetachedStream>(std::move(s));
    hub_thread = std::thread([owned, &got] {
      std::string pending = owned->pending;
      owned->stream->Send("from-hub", 8, DeadlineIn(kPatience));
      char buf[64];
      IoResult rr = owned->stream->Recv(buf, sizeof buf, DeadlineIn(kPatience));
      got.set_value({pending, std::string(buf, rr.ok() ? rr.bytes : 0)});
    });
  };
  StartServer(o);
  int fd = Connect(srv_->Port());
  // The first frame bytes arrive together with the head.
  SendAll(fd, "GET /ws?token=abc HTTP/1.1\r\nHost: t\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
              "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\nEARLY");
  std::string head;
  char c;
  while (head.find("\r\n\r\n") == std::string::npos && recv(fd, &c, 1, 0) == 1) head.push_back(c);
  r = ParseReply(head);
  EXPECT_EQ(r.status, 101);
  EXPECT_EQ(r.headers["Upgrade"], "websocket");
  EXPECT_EQ(r.headers["Connection"], "Upgrade");
  EXPECT_EQ(r.headers["Sec-WebSocket-Accept"], "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
  char buf[8];
  ASSERT_EQ(recv(fd, buf, 8, MSG_WAITALL), 8);
  EXPECT_EQ(std::string(buf, 8), "from-hub");
  // The connection thread is done, yet the socket stays open for the hub.
  EXPECT_TRUE(PollUntil([&] { return srv_->ActiveConnections() == 0; }));
  SendAll(fd, "LATER");
  auto fut = got.get_future();
  hub_thread.join();  // its reads end by their deadline at the latest
  auto [pending, later] = fut.get();
  EXPECT_EQ(pending, "EARLY");
  EXPECT_EQ(later, "LATER");
  close(fd);
}

TEST_F(HttpServerTest, IdleClientsCostNoThreadAndTheCapCountsHandlers) {
  HttpRouter().RegisterRoute("GET", "/api/v1/http-test/tid", [](TOVHttpRequest&, TOVHttpResponse& a) {
    a.SetContent("text/plain", std::to_string(gettid()));
  }, "http-test");
  HoldRoute hold;
  auto o = Options();
  o.max_connections = 8;
  o.event_loops = 2;
  o.io_timeout = 2 * kPatience;          // idle clients stay for the whole test
  o.thread_idle_timeout = 2 * kPatience;  // and so do idle threads
  StartServer(o);
  // Requests one after another, each once the previous one has ended, are served by threads
  // started before: at most two ever start (a request may come while the thread that served
  // the previous one is on its way back).
  std::set<std::string> serving;
  for (int i = 0; i < 10; ++i) {
    Reply r = Get("/api/v1/http-test/tid");
    ASSERT_EQ(r.status, 200);
    serving.insert(r.body);
    ASSERT_TRUE(PollUntil([&] { return srv_->ActiveConnections() == 0; }));
  }
  EXPECT_LE(serving.size(), 2u);
  const std::size_t threads = srv_->ConnectionThreads();
  EXPECT_LE(threads, 2u);

  // Far more clients than the cap that send nothing, or half a head, hold no thread.
  std::vector<int> idle;
  for (int i = 0; i < 300; ++i) {
    idle.push_back(Connect(srv_->Port()));
    ASSERT_GE(idle.back(), 0);
    if (i % 2) SendAll(idle.back(), "GET /index.html HTTP/1.1\r\nHost: x\r\n");
  }
  ASSERT_TRUE(PollUntil([&] { return srv_->ActiveConnections() == idle.size(); }));
  EXPECT_EQ(srv_->ConnectionThreads(), threads);

  // Every handler thread busy at the cap: a file is still served (from a loop).
  std::vector<int> held;
  for (int i = 0; i < 8; ++i) {
    held.push_back(Connect(srv_->Port()));
    SendAll(held.back(), "GET /api/v1/http-test/hold HTTP/1.1\r\nHost: t\r\n\r\n");
  }
  ASSERT_TRUE(PollUntil([&] { return hold.Holding() == 8; }));
  EXPECT_EQ(srv_->ConnectionThreads(), 8u);
  Reply file = Get("/app.js");
  EXPECT_EQ(file.status, 200);
  EXPECT_EQ(file.body, "console.log(1);");
  EXPECT_EQ(Get("/big.bin").body, big_);
  // A request that needs a handler is told to come back at once (not left waiting for a
  // thread), a body on its way drained so that the answer arrives whole.
  for (const std::string& request :
       {std::string("GET /api/v1/http-test/tid HTTP/1.1\r\nHost: t\r\n\r\n"),
        "POST /api/v1/http-test/tid HTTP/1.1\r\nHost: t\r\nContent-Length: 200000\r\n\r\n" + std::string(200000, 'x')}) {
    auto t0 = std::chrono::steady_clock::now();
    Reply busy = ParseReply(Raw(request));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, kPatience / 3);
    EXPECT_EQ(busy.status, 503);
    EXPECT_EQ(busy.headers["Retry-After"], "5");
    EXPECT_EQ(busy.body, "{ \"success\" : false, \"error\" : { \"code\" : 503, \"message\" : \"Server busy\" } }");
  }
  EXPECT_EQ(srv_->ConnectionThreads(), 8u);
  hold.Release();
  for (int fd : held) {
    EXPECT_EQ(ParseReply(ReadAll(fd)).body, "held");
    close(fd);
  }
  for (int fd : idle) close(fd);
  EXPECT_TRUE(PollUntil([&] { return srv_->ActiveConnections() == 0; }));
  EXPECT_EQ(Get("/api/v1/http-test/tid").status, 200);
}

TEST_F(HttpServerTest, ConnectionsOpenedBeforeTheirRequestsAreNotCappedByTheRateLimitersKey) {
  // The server's own gate with max_connections_per_ip 3: a browser opens six connections
  // before it asks on any, a NAT'd office many more.  That key is the rate limiter's (the
  // hub's connections); the front end refuses none of these.
  ASSERT_FALSE(Config.Exists());
  const std::string ini = base_ + "/flood.ini";
  ovtest::WriteText(ini, "[security]\nmax_connections_per_ip=3\n");
  Config.Publish(std::make_unique<TOVConfig>(ini));
  struct FreeConfig {
    ~FreeConfig() { Config.Free(); }
  } free_config;
  auto o = Options();
  o.io_timeout = 2 * kPatience;
  InstallSecurityGate(o);
  StartServer(o);
  std::vector<int> clients;
  for (int i = 0; i < 32; ++i) {
    clients.push_back(Connect(srv_->Port(), "127.0.0.2"));
    ASSERT_GE(clients.back(), 0);
    SendAll(clients.back(), "GET /app.js HTTP/1.1\r\nHost: x\r\n");  // half a head
  }
  ASSERT_TRUE(PollUntil([&] { return srv_->ActiveConnections() == clients.size(); }));
  for (int fd : clients) {
    SendAll(fd, "\r\n");
    EXPECT_EQ(ParseReply(ReadAll(fd)).status, 200);
    close(fd);
  }
}

TEST_F(HttpServerTest, AcceptErrorsOfOneConnectionDoNotStopServing) {
  // Errors that only concern the connection being taken (or a passing shortage) must not end
  // the threads that meet them: with every free thread failing a few times in a row, nobody
  // would accept any more.
  struct Disarm {
    ~Disarm() { gAcceptFailures = 0; }
  } disarm;
  StartServer();
  EXPECT_EQ(Get("/app.js").status, 200);
  for (int err : {EPROTO, EPERM, ENETDOWN, ECONNABORTED, EMFILE}) {
    FailAccepts(srv_->Port(), err, 8);
    int victim = Connect(srv_->Port());  // taken by the failing accept
    // The next request must not meet an armed failure (threads may race it below zero).
    ASSERT_TRUE(PollUntil([] { return gAcceptFailures.load() <= 0; })) << strerror(err);
    Reply r = Get("/app.js");
    EXPECT_EQ(r.status, 200) << strerror(err);
    EXPECT_EQ(r.body, "console.log(1);") << strerror(err);
    if (victim >= 0) close(victim);
  }
}

TEST_F(HttpServerTest, ALoopThatCannotMakeItsWaitSetTriesAgain) {
  // The only event loop cannot make its wait set at first (a passing shortage of
  // descriptors); it tries again instead of leaving the port unserved.
  gEpollCreateFailures = 1;
  auto o = Options();
  o.event_loops = 1;
  StartServer(o);
  Reply r = Get("/app.js");
  gEpollCreateFailures = 0;
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(Get("/").status, 200);
}

TEST_F(HttpServerTest, AnyExceptionFromAHandlerIsAnswered) {
  HttpRouter().RegisterRoute("GET", "/api/v1/http-test/odd", [](TOVHttpRequest&, TOVHttpResponse& a) {
    a.SetContent("text/plain", "partial");
    throw 42;  // not a std::exception, as a plug-in route might throw
  }, "http-test");
  StartServer();
  Reply r = Get("/api/v1/http-test/odd");
  EXPECT_EQ(r.status, 500);
  EXPECT_EQ(r.body, "{ \"success\" : false, \"error\" : { \"code\" : 500, \"message\" : \"Internal server error\" } }");
  EXPECT_EQ(r.headers["Connection"], "close");
}

TEST_F(HttpServerTest, StopDoesNotWaitForClientsThatAskedNothing) {
  // Shared with the handler, which could outlive the server object.
  auto entered = std::make_shared<std::atomic<bool>>(false);
  HttpRouter().RegisterRoute("GET", "/api/v1/http-test/pause", [entered](TOVHttpRequest&, TOVHttpResponse& a) {
    entered->store(true);
    std::this_thread::sleep_for(400ms);
    a.SetContent("text/plain", "done");
  }, "http-test");
  auto o = Options();
  o.io_timeout = 2 * kPatience;
  o.shutdown_wait = kPatience;  // waiting for the silent clients would take all of it
  auto busy_calls = std::make_shared<std::atomic<int>>(0);
  o.on_busy_shutdown = [busy_calls] { ++*busy_calls; };
  StartServer(o);
  int silent = Connect(srv_->Port());
  int partial = Connect(srv_->Port());
  SendAll(partial, "GET /index.html HTTP/1.1\r\nHost: x\r\n");
  int busy = Connect(srv_->Port());
  SendAll(busy, "GET /api/v1/http-test/pause HTTP/1.1\r\nHost: t\r\n\r\n");
  ASSERT_TRUE(PollUntil([&] { return entered->load() && srv_->ActiveConnections() == 3; }));
  auto t0 = std::chrono::steady_clock::now();
  StopServer();
  // The running request still had its time; the two that had asked for nothing were cut.
  EXPECT_LT(std::chrono::steady_clock::now() - t0, kPatience / 3);
  Reply r = ParseReply(ReadAll(busy));
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "done");
  EXPECT_EQ(ReadAll(silent), "");
  EXPECT_EQ(ReadAll(partial), "");
  for (int fd : {silent, partial, busy}) close(fd);
  EXPECT_EQ(busy_calls->load(), 0);  // nothing was still busy half-way
}

TEST_F(HttpServerTest, ClientsThatDisconnectMidRequest) {
  StartServer();
  for (const std::string& partial :
       {std::string("GET /index"), std::string("GET / HTTP/1.1\r\nHost: x\r\n"),
        std::string("POST /api/v1/x HTTP/1.1\r\nHost: t\r\nContent-Length: 100\r\n\r\nabc")}) {
    int fd = Connect(srv_->Port());
    SendAll(fd, partial);
    close(fd);
  }
  // A client that resets the connection while a large file is being sent.
  int fd = Connect(srv_->Port());
  SendAll(fd, "GET /big.bin HTTP/1.1\r\nHost: t\r\n\r\n");
  linger lg{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
  close(fd);
  EXPECT_TRUE(PollUntil([&] { return srv_->ActiveConnections() == 0; }));
  EXPECT_EQ(Get("/").status, 200);
}

TEST_F(HttpServerTest, StopAndPortInUse) {
  StartServer();
  auto o = Options();
  o.port = srv_->Port();
  // The listener's failure comes from Start, as the accept loop's.
  TOVHttpServerWrapper second(o);
  EXPECT_EQ(second.Port(), 0);
  try {
    second.Start();
    ADD_FAILURE() << "a second server bound the same port";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("Cannot bind HTTP server to 127.0.0.1:"), std::string::npos) << e.what();
  }
  o.port = 70000;
  try {
    TOVHttpServerWrapper refused(o);
    refused.Start();
    ADD_FAILURE() << "started on port 70000";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Invalid HTTP port 70000");
  }

  // Stop from another thread ends Start; a stop before Start makes it return at once.
  std::thread([this] { srv_->Stop(); }).join();
  loop_.join();
  srv_.reset();
  TOVHttpServerWrapper early(Options());
  early.Stop();
  early.Start();
}

TEST_F(HttpServerTest, ShutdownWaitIsBounded) {
  // Shared with the handler, which outlives the server object.
  struct State {
    std::atomic<bool> entered{false}, release{false}, finished{false};
  };
  auto st = std::make_shared<State>();
  HttpRouter().RegisterRoute("GET", "/api/v1/http-test/slow", [st](TOVHttpRequest&, TOVHttpResponse& a) {
    st->entered = true;
    for (int i = 0; i < 6000 && !st->release.load(); ++i) std::this_thread::sleep_for(10ms);
    a.SetContent("text/plain", "late");
    st->finished = true;
  }, "http-test");
  auto o = Options();
  o.shutdown_wait = 300ms;
  StartServer(o);
  int fd = Connect(srv_->Port());
  SendAll(fd, "GET /api/v1/http-test/slow HTTP/1.1\r\nHost: t\r\n\r\n");
  ASSERT_TRUE(PollUntil([&] { return st->entered.load(); }));
  auto t0 = std::chrono::steady_clock::now();
  StopServer();  // returns although the handler is still running (for a minute unless released)
  EXPECT_LT(std::chrono::steady_clock::now() - t0, kPatience / 3);
  EXPECT_FALSE(st->finished.load());
  st->release = true;
  ReadAll(fd);
  close(fd);
  EXPECT_TRUE(PollUntil([&] { return st->finished.load(); }));  // the straggler ends on its own
}

TEST_F(HttpServerTest, StopEndsStuckConnectionsWithinTheWait) {
  // Shared with the handlers, which outlive the server object.
  struct State {
    std::atomic<int> busy_calls{0};
    std::atomic<bool> reading{false}, read_returned{false}, read_returned_before_call{false};
    std::atomic<int> read_status{-1};
    std::atomic<bool> sleeping{false}, release{false}, slept{false};
  };
  auto st = std::make_shared<State>();
  // Waits for more of its request from a client that never sends it.
  HttpRouter().RegisterRoute("POST", "/api/v1/http-test/read-more", [st](TOVHttpRequest& q, TOVHttpResponse& a) {
    st->reading = true;
    char buf[16];
    IoResult r = q.connection->GetStream().Recv(buf, sizeof buf, DeadlineIn(2 * kPatience));
    st->read_status = static_cast<int>(r.status);
    st->read_returned = true;
    a.SetContent("text/plain", "read");
  }, "http-test");
  // Sleeps past the wait and answers late.
  HttpRouter().RegisterRoute("GET", "/api/v1/http-test/sleep", [st](TOVHttpRequest&, TOVHttpResponse& a) {
    st->sleeping = true;
    for (int i = 0; i < 6000 && !st->release.load(); ++i) std::this_thread::sleep_for(10ms);
    a.SetContent("text/plain", "late");
    st->slept = true;
  }, "http-test");
  auto o = Options();
  o.io_timeout = 2 * kPatience;
  // Half-way (2 s) the callback is called on a thread of its own; the connections are cut
  // when it has not returned by the end of the wait (3.6 s).
  o.shutdown_wait = 4s;
  // The callback itself hangs too (a database that does not answer a cancel request).
  o.on_busy_shutdown = [st] {
    st->read_returned_before_call = st->read_returned.load();
    ++st->busy_calls;
    for (int i = 0; i < 6000 && !st->release.load(); ++i) std::this_thread::sleep_for(10ms);
  };
  StartServer(o);
  int reader = Connect(srv_->Port());
  SendAll(reader, "POST /api/v1/http-test/read-more HTTP/1.1\r\nHost: t\r\nContent-Length: 0\r\n\r\n");
  int sleeper = Connect(srv_->Port());
  SendAll(sleeper, "GET /api/v1/http-test/sleep HTTP/1.1\r\nHost: t\r\n\r\n");
  ASSERT_TRUE(PollUntil([&] { return st->reading && st->sleeping; }));

  auto t0 = std::chrono::steady_clock::now();
  StopServer();
  // Bounded by the wait, far below the handlers' and the callback's own minute.
  EXPECT_LT(std::chrono::steady_clock::now() - t0, kPatience / 2);
  EXPECT_EQ(st->busy_calls.load(), 1);
  EXPECT_FALSE(st->read_returned_before_call.load());  // told half-way, before the cut
  // The blocked read returned because its socket was shut down, not at its deadline.
  ASSERT_TRUE(PollUntil([&] { return st->read_returned.load(); }));
  EXPECT_NE(st->read_status.load(), static_cast<int>(IoStatus::Ok));
  EXPECT_NE(st->read_status.load(), static_cast<int>(IoStatus::Timeout));
  EXPECT_EQ(ReadAll(reader), "");
  // The sleeper's client is cut too; its thread ends on its own once the handler returns,
  // after the server object is gone.
  EXPECT_EQ(ReadAll(sleeper), "");
  EXPECT_FALSE(st->slept.load());
  st->release = true;
  EXPECT_TRUE(PollUntil([&] { return st->slept.load(); }));
  close(reader);
  close(sleeper);
}

namespace {

// A self-signed certificate and its key under dir; false when openssl cannot make them.
bool MakeCert(const std::string& dir, std::string& cert, std::string& key) {
  cert = dir + "/cert.pem";
  key = dir + "/key.pem";
  return std::system(("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2"
                      " -subj /CN=localhost -keyout " + key + " -out " + cert + " >/dev/null 2>&1").c_str()) == 0;
}

// A TLS client over memory buffers, so that the test decides when each byte of the handshake
// reaches the server.
class TrickleTlsClient {
 public:
  explicit TrickleTlsClient(int fd) : fd_(fd) {
    ctx_ = SSL_CTX_new(TLS_client_method());
    ssl_ = SSL_new(ctx_);
    in_ = BIO_new(BIO_s_mem());
    out_ = BIO_new(BIO_s_mem());
    SSL_set_bio(ssl_, in_, out_);
    SSL_set_connect_state(ssl_);
  }
  ~TrickleTlsClient() {
    SSL_free(ssl_);
    SSL_CTX_free(ctx_);
    close(fd_);
  }
  // Sends what the client has to say in pieces of `piece` bytes, `pause` apart.
  bool Flush(std::size_t piece, std::chrono::milliseconds pause) {
    char buf[4096];
    int n;
    while ((n = BIO_read(out_, buf, sizeof buf)) > 0) {
      for (int off = 0; off < n; off += static_cast<int>(piece)) {
        const int len = std::min(n - off, static_cast<int>(piece));
        if (!SendAll(fd_, std::string(buf + off, static_cast<std::size_t>(len)))) return false;
        if (pause.count() > 0) std::this_thread::sleep_for(pause);
      }
    }
    return true;
  }
  // Reads once from the socket into the TLS layer; false when the server closed.
  bool Pull() {
    char buf[16384];
    ssize_t n = recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) return false;
    BIO_write(in_, buf, static_cast<int>(n));
    return true;
  }
  // The handshake, its first flight trickled; false when it fails.
  bool Handshake(std::size_t piece, std::chrono::milliseconds pause) {
    for (int round = 0; round < 20; ++round) {
      const int r = SSL_do_handshake(ssl_);
      if (!Flush(round == 0 ? piece : 1 << 20, round == 0 ? pause : 0ms)) return false;
      if (r == 1) return true;
      if (SSL_get_error(ssl_, r) != SSL_ERROR_WANT_READ || !Pull()) return false;
    }
    return false;
  }
  std::string Get(const std::string& path) {
    const std::string req = "GET " + path + " HTTP/1.1\r\nHost: t\r\n\r\n";
    SSL_write(ssl_, req.data(), static_cast<int>(req.size()));
    Flush(1 << 20, 0ms);
    return ReadToEnd();
  }
  // What the server sends until it closes.
  std::string ReadToEnd() {
    std::string got;
    char buf[16384];
    for (;;) {
      int n;
      while ((n = SSL_read(ssl_, buf, sizeof buf)) > 0) got.append(buf, static_cast<std::size_t>(n));
      if (SSL_get_error(ssl_, n) != SSL_ERROR_WANT_READ) break;
      Flush(1 << 20, 0ms);  // session tickets may want an answer
      if (!Pull()) break;
    }
    return got;
  }

 private:
  int fd_;
  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
  BIO* in_ = nullptr;
  BIO* out_ = nullptr;
};

}  // namespace

TEST_F(HttpServerTest, TlsHandshakesRunOnTheLoopWithoutAThread) {
  std::string cert, key;
  ASSERT_TRUE(MakeCert(base_, cert, key));
  FreeSharedSSLContext();
  auto o = Options();
  o.event_loops = 1;  // the slow handshake shares the only loop with everyone else
  o.io_timeout = 2 * kPatience;
  StartServer(o);
  srv_->EnableTLS(cert, key, "tls1.2");
  // A client whose first handshake flight arrives a few bytes at a time: while it trickles in,
  // other clients finish whole handshakes and requests, and no thread is started for any of
  // them (files need no handler).
  std::promise<std::string> slow_reply;
  std::thread slow([&] {
    TrickleTlsClient c(Connect(srv_->Port()));
    slow_reply.set_value(c.Handshake(16, 30ms) ? c.Get("/app.js") : std::string("handshake failed"));
  });
  auto fut = slow_reply.get_future();
  int served = 0;
  while (fut.wait_for(0ms) != std::future_status::ready && served < 50) {
    TrickleTlsClient c(Connect(srv_->Port()));
    ASSERT_TRUE(c.Handshake(1 << 20, 0ms));
    EXPECT_EQ(ParseReply(c.Get("/index.html")).status, 200);
    ++served;
  }
  slow.join();
  Reply r = ParseReply(fut.get());
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "console.log(1);");
  EXPECT_GE(served, 1);
  EXPECT_EQ(srv_->ConnectionThreads(), 0u);
  StopServer();

  // A handshake that stalls half-way is cut at the deadline for the head.
  o.io_timeout = 500ms;
  StartServer(o);
  srv_->EnableTLS(cert, key, "tls1.2");
  int fd = Connect(srv_->Port());
  SendAll(fd, std::string("\x16\x03\x01\x00\xff\x01", 6));  // the start of a ClientHello
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(ReadAll(fd), "");
  EXPECT_LT(std::chrono::steady_clock::now() - t0, kPatience / 3);
  close(fd);
  EXPECT_TRUE(PollUntil([&] { return srv_->ActiveConnections() == 0; }));
  StopServer();
  FreeSharedSSLContext();
}

TEST_F(HttpServerTest, Https) {
  std::string cert, key;
  ASSERT_TRUE(MakeCert(base_, cert, key));
  FreeSharedSSLContext();
  {
    TOVHttpServerWrapper bad(Options());
    EXPECT_THROW(bad.EnableTLS(cert, base_ + "/missing-key.pem", "tls1.2"), std::runtime_error);
    EXPECT_FALSE(bad.TLSEnabled());
  }
  auto o = Options();
  o.io_timeout = 2 * kPatience;  // a silent client would hold the stop for all of the wait
  o.shutdown_wait = kPatience;
  StartServer(o);
  // [ssl] min_version: "tls1.2_only" (any case) caps connections at TLS 1.2; any other text
  // offers TLS 1.2 and 1.3, "tls1.3" included.
  struct TlsCase {
    const char* min_version;
    int version;
    bool served;
  };
  // One GET over TLS, offering only version (0: any); nullopt when the handshake fails.
  auto tls_get = [&](int version, const std::string& path) -> std::optional<Reply> {
    int fd = Connect(srv_->Port());
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    if (version != 0) {
      SSL_CTX_set_min_proto_version(ctx, version);
      SSL_CTX_set_max_proto_version(ctx, version);
    }
    SSL* ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fd);
    std::optional<Reply> r;
    if (SSL_connect(ssl) == 1) {
      std::string req = "GET " + path + " HTTP/1.1\r\nHost: t\r\n\r\n";
      SSL_write(ssl, req.data(), static_cast<int>(req.size()));
      std::string out;
      char buf[16384];
      int n;
      while ((n = SSL_read(ssl, buf, sizeof buf)) > 0) out.append(buf, static_cast<std::size_t>(n));
      r = ParseReply(out);
    }
    SSL_free(ssl);
    SSL_CTX_free(ctx);
    close(fd);
    return r;
  };
  for (const TlsCase& c : std::vector<TlsCase>{{"tls1.2", TLS1_2_VERSION, true},
                                               {"tls1.2", TLS1_3_VERSION, true},
                                               {"TLS1.2_Only", TLS1_2_VERSION, true},
                                               {"TLS1.2_Only", TLS1_3_VERSION, false},
                                               {"tls1.3", TLS1_2_VERSION, true},
                                               {"tls1.3", TLS1_3_VERSION, true}}) {
    srv_->EnableTLS(cert, key, c.min_version);
    const std::optional<Reply> r = tls_get(c.version, "/index.html");
    EXPECT_EQ(r.has_value(), c.served) << c.min_version << " " << c.version;
    if (r) {
      EXPECT_EQ(r->status, 200) << c.version;
      EXPECT_NE(r->body.find("v=0.5.33"), std::string::npos);
    }
  }
  // A file larger than one piece goes through TLS in pieces.
  const std::optional<Reply> big = tls_get(0, "/big.bin");
  ASSERT_TRUE(big.has_value());
  EXPECT_EQ(big->status, 200);
  EXPECT_EQ(big->body, big_);
  // Plain HTTP on the TLS port gets no answer in clear text.
  EXPECT_EQ(ParseReply(Raw("GET / HTTP/1.1\r\nHost: t\r\n\r\n")).status, 0);
  // A client that never starts its handshake does not hold the stop up.
  ASSERT_TRUE(PollUntil([&] { return srv_->ActiveConnections() == 0; }));
  int silent = Connect(srv_->Port());
  ASSERT_TRUE(PollUntil([&] { return srv_->ActiveConnections() == 1; }));
  auto t0 = std::chrono::steady_clock::now();
  StopServer();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, kPatience / 3);
  close(silent);
  FreeSharedSSLContext();
}

// ---- the descriptor guard ------------------------------------------------------------------------

TEST(WaitingConnections, ShareAtTheDoorAndTheOldestOfTheBiggestAddressGoesFirst) {
  ov::detail::WaitingConnections w(3, [](const std::string& ip) { return ip == "10.0.0.9"; });
  std::vector<ov::detail::WaitingNode> n(12);
  for (std::size_t i = 0; i < n.size(); ++i) n[i].id = i;
  std::size_t held = 0;
  auto add = [&](const char* ip, std::size_t i) { return w.Add(ip, n[i], held); };
  auto victim = [&]() -> std::int64_t {
    auto v = w.TakeVictim();
    return v ? static_cast<std::int64_t>(v->id) : -1;
  };
  // An address has its share; past it nothing is added.  The exempt one has none.
  for (std::size_t i : {0, 1, 2}) EXPECT_TRUE(add("192.0.2.1", i));
  EXPECT_FALSE(add("192.0.2.1", 3));
  EXPECT_EQ(held, 3u);
  for (std::size_t i : {4, 5}) EXPECT_TRUE(add("192.0.2.2", i));
  for (std::size_t i : {6, 7, 8, 9}) EXPECT_TRUE(add("10.0.0.9", i));
  // The oldest of whoever holds the most goes, one at a time.
  EXPECT_EQ(victim(), 6);
  w.Remove(n[6]);  // taken already: nothing happens
  w.Remove(n[0]);  // its head arrived
  w.Remove(n[0]);
  EXPECT_EQ(victim(), 7);  // 10.0.0.9 still holds 3, the others 2
  EXPECT_TRUE(add("192.0.2.1", 3));  // a place came free
  EXPECT_EQ(victim(), 1);
  // An address that held nothing for a while starts again from nothing.
  for (std::size_t i : {4, 5}) w.Remove(n[i]);
  EXPECT_TRUE(add("192.0.2.2", 10));
  EXPECT_EQ(held, 0u);
  std::set<std::int64_t> rest;
  for (std::int64_t id; (id = victim()) >= 0;) rest.insert(id);
  EXPECT_EQ(rest, (std::set<std::int64_t>{2, 3, 8, 9, 10}));
}

namespace {

// A client of the test, plain or TLS (its handshake done at once, on the caller's thread).
class TestClient {
 public:
  TestClient(std::uint16_t port, const char* source, bool tls) : fd_(Connect(port, source)) {
    if (tls && fd_ >= 0) {
      tls_ = std::make_unique<TrickleTlsClient>(fd_);
      handshake_ok_ = tls_->Handshake(1 << 20, 0ms);
    }
  }
  ~TestClient() {
    if (!tls_ && fd_ >= 0) close(fd_);
  }
  bool Ok() const { return fd_ >= 0 && (!tls_ || handshake_ok_); }
  // The server closed (or reset) the connection.
  bool Closed() const {
    pollfd p{fd_, POLLRDHUP, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR));
  }
  Reply Ask(const std::string& path) {
    if (tls_) return ParseReply(tls_->Get(path));
    SendAll(fd_, "GET " + path + " HTTP/1.1\r\nHost: t\r\n\r\n");
    return ParseReply(ReadAll(fd_));
  }
  // What the server sent without being asked, up to its close.
  std::string Unasked() { return tls_ ? tls_->ReadToEnd() : ReadAll(fd_); }

 private:
  int fd_;
  std::unique_ptr<TrickleTlsClient> tls_;  // owns fd_ when set
  bool handshake_ok_ = false;
};

}  // namespace

TEST_F(HttpServerTest, DoorAnswersAndShedding) {
  // Small numbers stand for the budget the open-file limit gives and a quarter of it.
  std::string cert, key;
  ASSERT_TRUE(MakeCert(base_, cert, key));
  constexpr std::size_t kBudget = 30, kShare = 16, kOffice = 13, kLate = 3;
  // The late ones come in one burst that crosses the budget at its first connections, the
  // ones two loops most often take at the same moment; it ends past the budget by this many.
  constexpr std::size_t kExcess = kShare + kOffice + kLate - kBudget;
  // The hoarder holds the most until the end (and the late address less than its share).
  static_assert(kShare - kExcess > std::max(kOffice, kLate) && kLate < kShare && kExcess > 1);
  const std::string share_refused =
      "{ \"success\" : false, \"error\" : { \"code\" : 503, \"message\" : \"Too many connections\" } }";
  for (bool tls : {false, true}) {
    SCOPED_TRACE(tls ? "TLS" : "plain");
    FreeSharedSSLContext();
    auto o = Options();
    o.event_loops = 2;  // connections of one address on both loops, shed across them
    o.descriptor_budget = kBudget;
    o.waiting_per_address = kShare;
    o.io_timeout = 2 * kPatience;
    o.share_exempt = [](const std::string& ip) { return ip == "127.0.0.1"; };
    StartServer(o);
    if (tls) srv_->EnableTLS(cert, key, "tls1.2");
    using Clients = std::vector<std::unique_ptr<TestClient>>;
    auto open = [&](Clients& into, const char* source, std::size_t count, std::optional<std::size_t> settle) {
      for (std::size_t i = 0; i < count; ++i) {
        into.push_back(std::make_unique<TestClient>(srv_->Port(), source, tls));
        ASSERT_TRUE(into.back()->Ok());
        // One at a time, so that the order they wait in is the order they came in.
        if (settle) {
          ASSERT_TRUE(PollUntil([&] { return srv_->ActiveConnections() == *settle + i + 1; }));
        }
      }
    };
    auto closed = [](const Clients& cs) {
      std::vector<std::size_t> out;
      for (std::size_t i = 0; i < cs.size(); ++i)
        if (cs[i]->Closed()) out.push_back(i);
      return out;
    };

    // One address past its share: its next connections are answered 503 at the door.
    Clients hoarder, office, late;
    open(hoarder, "127.0.0.2", kShare, 0);
    open(hoarder, "127.0.0.2", 4, std::nullopt);
    ASSERT_TRUE(PollUntil([&] { return srv_->ActiveConnections() == kShare && closed(hoarder).size() == 4; }));
    for (std::size_t i = kShare; i < hoarder.size(); ++i) {
      Reply r = ParseReply(hoarder[i]->Unasked());
      EXPECT_EQ(r.status, 503);
      EXPECT_EQ(r.headers["Retry-After"], "5");
      EXPECT_EQ(r.body, share_refused);
    }
    hoarder.resize(kShare);
    // Others fill the budget; past it the hoarder's oldest make room for the newcomers, one
    // for each newcomer past the budget, however the burst spreads over the loops.
    auto oldest = [](std::size_t n) {
      std::vector<std::size_t> v(n);
      std::iota(v.begin(), v.end(), 0);
      return v;
    };
    open(office, "127.0.0.3", kOffice, kShare);
    open(late, "127.0.0.4", kLate, std::nullopt);
    ASSERT_TRUE(PollUntil([&] { return closed(hoarder).size() >= kExcess && srv_->ActiveConnections() <= kBudget; }));
    EXPECT_EQ(closed(hoarder), oldest(kExcess));
    EXPECT_EQ(srv_->ActiveConnections(), kBudget);
    // An ordinary client at the budget is served: the hoarder's next oldest goes.
    EXPECT_EQ(TestClient(srv_->Port(), "127.0.0.5", tls).Ask("/app.js").status, 200);
    ASSERT_TRUE(PollUntil([&] { return closed(hoarder).size() > kExcess; }));
    EXPECT_EQ(closed(hoarder), oldest(kExcess + 1));
    EXPECT_TRUE(closed(office).empty());
    EXPECT_TRUE(closed(late).empty());
    // Whoever is still waiting is served when it asks.
    for (Clients* group : {&hoarder, &office, &late})
      for (std::size_t i = group == &hoarder ? kExcess + 1 : 0; i < group->size(); ++i)
        EXPECT_EQ((*group)[i]->Ask("/app.js").status, 200);
    hoarder.clear();
    office.clear();
    late.clear();
    StopServer();
  }
  FreeSharedSSLContext();
}

namespace {

// Lowers this process's soft open-file limit so that exactly `free` more descriptors can be
// opened; the limit it had comes back with the object.
class ScarceDescriptors {
 public:
  explicit ScarceDescriptors(int free) {
    getrlimit(RLIMIT_NOFILE, &old_);
    rlim_t limit = 0;
    for (int left = free; left > 0; ++limit)
      if (fcntl(static_cast<int>(limit), F_GETFD) < 0) --left;
    rlimit low = old_;
    low.rlim_cur = limit;
    ok_ = setrlimit(RLIMIT_NOFILE, &low) == 0;
  }
  ~ScarceDescriptors() { setrlimit(RLIMIT_NOFILE, &old_); }
  bool Ok() const { return ok_; }

 private:
  rlimit old_{};
  bool ok_ = false;
};

}  // namespace

TEST_F(HttpServerTest, OutOfDescriptorsTheServerShedsAnswersAndServesOnceTheyGo) {
  HoldRoute hold;
  auto o = Options();
  o.event_loops = 1;
  o.descriptor_budget = 100000;  // only the process's open-file limit stops it
  o.io_timeout = 2 * kPatience;
  StartServer(o);
  ASSERT_EQ(Get("/app.js").status, 200);  // the loop is up

  // The clients' sockets are made first: connecting one needs no new descriptor, and
  // everything the server accepts does.
  constexpr int kFree = 6;
  std::vector<int> socks(kFree + 8);  // every client below
  for (int& fd : socks) fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  std::size_t next = 0;
  auto client = [&](const char* source) {
    const int fd = ConnectSocket(socks[next], srv_->Port(), source);
    if (fd < 0) socks[next] = -1;  // closed already
    ++next;
    return fd;
  };
  ScarceDescriptors scarce(kFree);
  ASSERT_TRUE(scarce.Ok());

  // Handlers hold all descriptors but one; a silent client holds the last.
  std::vector<int> held;
  for (int i = 0; i < kFree - 1; ++i) {
    held.push_back(client("127.0.0.3"));
    SendAll(held.back(), "GET /api/v1/http-test/hold HTTP/1.1\r\nHost: t\r\n\r\n");
  }
  ASSERT_TRUE(PollUntil([&] { return hold.Holding() == kFree - 1; }));
  const int silent = client("127.0.0.2");
  ASSERT_TRUE(PollUntil([&] { return srv_->ActiveConnections() == kFree; }));
  // A newcomer finds no descriptor: the waiting connection makes room for it.
  const int newcomer = client("127.0.0.4");
  SendAll(newcomer, "OPTIONS /app.js HTTP/1.1\r\nHost: t\r\n\r\n");
  EXPECT_EQ(ParseReply(ReadAll(newcomer)).status, 204);
  EXPECT_EQ(ReadAll(silent), "");
  // A file needs a descriptor of its own, and the connection took the last one.
  const int file_client = client("127.0.0.4");
  SendAll(file_client, "GET /app.js HTTP/1.1\r\nHost: t\r\n\r\n");
  const Reply file_reply = ParseReply(ReadAll(file_client));
  EXPECT_EQ(file_reply.status, 503);
  EXPECT_NE(file_reply.body.find("Server busy"), std::string::npos);
  ASSERT_TRUE(PollUntil([&] { return srv_->ActiveConnections() == kFree - 1; }));
  // With nothing waiting to make room, each newcomer is told to come back.
  held.push_back(client("127.0.0.3"));
  SendAll(held.back(), "GET /api/v1/http-test/hold HTTP/1.1\r\nHost: t\r\n\r\n");
  ASSERT_TRUE(PollUntil([&] { return hold.Holding() == kFree; }));
  for (int i = 0; i < 4; ++i) {
    const int fd = client("127.0.0.4");
    Reply r = ParseReply(ReadAll(fd));
    EXPECT_EQ(r.status, 503);
    EXPECT_EQ(r.headers["Retry-After"], "5");
    EXPECT_EQ(r.body, "{ \"success\" : false, \"error\" : { \"code\" : 503, \"message\" : \"Server busy\" } }");
  }
  // Once they go, the server serves again.
  hold.Release();
  for (int fd : held) EXPECT_EQ(ParseReply(ReadAll(fd)).body, "held");
  ASSERT_TRUE(PollUntil([&] { return srv_->ActiveConnections() == 0; }));
  const int later = client("127.0.0.4");
  SendAll(later, "OPTIONS /app.js HTTP/1.1\r\nHost: t\r\n\r\n");
  EXPECT_EQ(ParseReply(ReadAll(later)).status, 204);
  for (int fd : socks)
    if (fd >= 0) close(fd);
}
