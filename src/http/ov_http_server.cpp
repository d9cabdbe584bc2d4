#include "ov_http_server.h"
#include "ov_json_reply.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>


#include <boost/beast/http/parser.hpp>
#include <openssl/evp.h>
#include <openssl/sha.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <limits>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "ov_config.h"
#include "ov_consts.h"
#include "ov_server_state.h"
#include "ov_json_helpers.h"
#include "ov_log.h"
#include "ov_multipart.h"
#include "ov_router.h"
#include "ov_ssl_handler.h"

namespace ov {

TOVService<TOVHttpServerWrapper> HttpSrv;

namespace http = boost::beast::http;

namespace {

// How long a lingering close keeps reading, and how much it discards at most.
constexpr std::chrono::milliseconds kLingerTime{2000};
constexpr std::size_t kLingerBytes = 4 * 1024 * 1024;
constexpr std::size_t kReadChunk = 16 * 1024;
constexpr std::size_t kWriteChunk = 64 * 1024;

// Class name and message of the exception being handled, for log lines.  A handler (a
// plug-in route above all) may throw something that is not a std::exception; it is named too.
// Only valid inside a catch block.
struct CaughtException {
  std::string type;
  std::string what;
};

CaughtException DescribeCaught() {
  try {
    throw;
  } catch (const std::exception& e) {
    return {ExceptionClassName(e), e.what()};
  } catch (...) {
    return {"unknown", "non-standard exception"};
  }
}

// Replaces whatever a failed handler left in resp with 500 "Internal server error"; a failure
// while doing so is ignored (the connection then closes without an answer).
void AnswerInternalError(TOVHttpResponse& resp) noexcept {
  try {
    resp = TOVHttpResponse{};
    TOVJsonReply::SendError(resp, 500, "Internal server error");
  } catch (...) {
  }
}

// ---- trusted proxies ----------------------------------------------------------------------

std::mutex gTrustedProxyLock;
std::shared_ptr<const std::vector<std::string>> gTrustedProxyList =
    std::make_shared<const std::vector<std::string>>();

std::shared_ptr<const std::vector<std::string>> TrustedProxies() {
  std::lock_guard<std::mutex> g(gTrustedProxyLock);
  return gTrustedProxyList;
}

bool ParseIPv4(std::string_view s, std::uint32_t& out) noexcept {
  if (s.empty() || s.size() > 15) return false;
  char buf[16];
  std::memcpy(buf, s.data(), s.size());
  buf[s.size()] = '\0';
  in_addr a{};
  // inet_pton takes exactly four decimal parts without leading zeros.
  if (::inet_pton(AF_INET, buf, &a) != 1) return false;
  out = ntohl(a.s_addr);
  return true;
}

// ---- Beast body type that hands decoded body bytes to a sink ------------------------------

struct SinkBody {
  struct value_type {
    const TOVHttpRequestReader::BodySink* sink = nullptr;
    bool stopped = false;
  };
  class reader {
   public:
    template <bool isRequest, class Fields>
    reader(http::header<isRequest, Fields>&, value_type& v) : v_(v) {}
    void init(const boost::optional<std::uint64_t>&, boost::beast::error_code& ec) { ec = {}; }
    template <class ConstBufferSequence>
    std::size_t put(const ConstBufferSequence& buffers, boost::beast::error_code& ec) {
      std::size_t n = 0;
      for (auto it = boost::asio::buffer_sequence_begin(buffers); it != boost::asio::buffer_sequence_end(buffers);
           ++it) {
        boost::asio::const_buffer b = *it;
        if (b.size() == 0) continue;
        if (!v_.sink || !*v_.sink || !(*v_.sink)(static_cast<const char*>(b.data()), b.size())) {
          v_.stopped = true;
          ec = boost::system::errc::make_error_code(boost::system::errc::operation_canceled);
          return n;
        }
        n += b.size();
      }
      ec = {};
      return n;
    }
    void finish(boost::beast::error_code& ec) { ec = {}; }

   private:
    value_type& v_;
  };
};

}  // namespace

// ---- path helpers --------------------------------------------------------------------------

bool PercentDecodePath(std::string_view in, std::string& out) {
  out.clear();
  out.reserve(in.size());
  for (std::size_t i = 0; i < in.size(); ++i) {
    char c = in[i];
    if (c == '%') {
      if (i + 2 >= in.size()) return false;
      int hi = HexDigitValue(in[i + 1]);
      int lo = HexDigitValue(in[i + 2]);
      if (hi < 0 || lo < 0) return false;
      c = static_cast<char>(hi * 16 + lo);
      i += 2;
    }
    if (c == '\0') return false;
    out.push_back(c);
  }
  return true;
}

std::string NormalisePath(const std::string& path) {
  std::filesystem::path p(path);
  std::error_code ec;
  if (p.is_relative()) {
    auto abs = std::filesystem::absolute(p, ec);
    if (!ec) p = abs;
  }
  std::string s = p.lexically_normal().string();
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return s;
}

bool IsInsideRoot(const std::string& root, const std::string& path) noexcept {
  if (root.empty() || path.empty()) return false;
  if (path == root) return true;
  if (root == "/") return path.front() == '/';
  return path.size() > root.size() && path.compare(0, root.size(), root) == 0 && path[root.size()] == '/';
}

std::string WebSocketAcceptKey(std::string_view key) {
  static constexpr std::string_view kMagic = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
  std::string src(key);
  src += kMagic;
  unsigned char digest[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char*>(src.data()), src.size(), digest);
  unsigned char out[64];
  int n = EVP_EncodeBlock(out, digest, SHA_DIGEST_LENGTH);
  return std::string(reinterpret_cast<char*>(out), static_cast<std::size_t>(n));
}

// ---- trusted proxies and the client address -------------------------------------------------

void InitTrustedProxies(std::string_view list) {
  auto v = std::make_shared<std::vector<std::string>>();
  while (true) {
    std::size_t comma = list.find(',');
    std::string piece = TrimAscii(list.substr(0, comma));
    if (!piece.empty()) v->push_back(std::move(piece));
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
  std::lock_guard<std::mutex> g(gTrustedProxyLock);
  gTrustedProxyList = std::move(v);
}

void InitTrustedProxies() {
  std::string list;
  if (auto cfg = Config.Get()) list = cfg->TrustedProxies();
  InitTrustedProxies(list);
}

bool IsValidIPv4(std::string_view s) noexcept {
  std::uint32_t a;
  return ParseIPv4(s, a);
}

bool IsValidIPAddress(std::string_view s) noexcept {
  if (IsValidIPv4(s)) return true;
  if (s.empty() || s.size() >= INET6_ADDRSTRLEN) return false;
  char buf[INET6_ADDRSTRLEN];
  std::memcpy(buf, s.data(), s.size());
  buf[s.size()] = '\0';
  in6_addr a{};
  return ::inet_pton(AF_INET6, buf, &a) == 1;
}

bool IsTrustedProxy(std::string_view ip_in) {
  auto list = TrustedProxies();
  if (list->empty()) return false;
  std::string ip = TrimAscii(ip_in);
  for (const auto& entry : *list) {
    if (entry == "*") return true;
    if (EqualsIgnoreCase(entry, ip)) return true;
    std::size_t slash = entry.find("/24");
    if (slash != std::string::npos) {
      // Only a dotted IPv4 network and a dotted IPv4 address can share a /24.
      std::uint32_t net, addr;
      if (slash + 3 == entry.size() && ParseIPv4(std::string_view(entry).substr(0, slash), net) &&
          ParseIPv4(ip, addr) && (net >> 8) == (addr >> 8))
        return true;
    }
  }
  return false;
}

std::string GetClientIP(const TOVHttpRequest& req) {
  const std::string& peer = req.peer_address;
  if (!IsTrustedProxy(peer)) return peer;
  std::string real = TrimAscii(req.Header("X-Real-IP"));
  if (!real.empty()) return IsValidIPAddress(real) ? real : peer;
  std::string fwd = req.Header("X-Forwarded-For");
  if (TrimAscii(fwd).empty()) return peer;
  // Every proxy appends the address it received from; the right-most entry that is not one of
  // our own proxies is the first one not under our control, so it is the only one to trust.
  std::vector<std::string> parts;
  std::string_view rest(fwd);
  while (true) {
    std::size_t comma = rest.find(',');
    parts.push_back(TrimAscii(rest.substr(0, comma)));
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  for (auto it = parts.rbegin(); it != parts.rend(); ++it) {
    if (it->empty()) return peer;
    if (IsTrustedProxy(*it) && std::next(it) != parts.rend()) continue;
    return IsValidIPAddress(*it) ? *it : peer;
  }
  return peer;
}

// ---- request reader ----------------------------------------------------------------------------

struct TOVHttpRequestReader::Impl {
  http::request_parser<SinkBody> parser;
  TOVHttpRequestReader::BodySink current_sink;
};

TOVHttpRequestReader::TOVHttpRequestReader(std::size_t head_limit) : impl_(std::make_unique<Impl>()) {
  impl_->parser.header_limit(static_cast<std::uint32_t>(head_limit));
  // The caller enforces its own cap, chunked or not.  (No limit must be the largest value:
  // this Beast version compares a length against an empty limit as "exceeded".)
  impl_->parser.body_limit(std::numeric_limits<std::uint64_t>::max());
  impl_->parser.eager(false);
}

TOVHttpRequestReader::~TOVHttpRequestReader() = default;

TOVHttpRequestReader::Result TOVHttpRequestReader::FeedHead(std::string& in) {
  if (error_status_) return Result::Error;
  auto& p = impl_->parser;
  if (p.is_header_done()) return Result::Done;
  while (!in.empty()) {
    boost::beast::error_code ec;
    std::size_t n = p.put(boost::asio::const_buffer(in.data(), in.size()), ec);
    in.erase(0, n);
    if (ec == http::error::need_more) return Result::NeedMore;
    if (ec) {
      if (ec == http::error::header_limit) {
        error_status_ = 431;
        error_message_ = "Request header too large";
      } else {
        error_status_ = 400;
        error_message_ = "Bad request";
      }
      return Result::Error;
    }
    if (p.is_header_done()) return Result::Done;
    if (n == 0) return Result::NeedMore;
  }
  return Result::NeedMore;
}

TOVHttpRequestReader::Result TOVHttpRequestReader::FillRequest(TOVHttpRequest& req) {
  auto& p = impl_->parser;
  if (!p.is_header_done()) return Result::NeedMore;
  const auto& msg = p.get();
  req.method = std::string(msg.method_string());
  req.target = std::string(msg.target());
  req.headers.clear();
  for (const auto& f : msg) req.headers.emplace(std::string(f.name_string()), std::string(f.value()));

  std::string_view t(req.target);
  if (t == "*") {
    req.raw_path = "*";
    req.path = "*";
    req.query.clear();
    return Result::Done;
  }
  // Absolute form (a request meant for a proxy): only the path and query count.
  for (std::string_view scheme : {"http://", "https://"}) {
    if (t.size() >= scheme.size() && EqualsIgnoreCase(t.substr(0, scheme.size()), scheme)) {
      std::size_t slash = t.find('/', scheme.size());
      std::size_t q = t.find('?', scheme.size());
      if (slash == std::string_view::npos || (q != std::string_view::npos && q < slash)) {
        t = q == std::string_view::npos ? std::string_view("/") : t.substr(q);
        if (!t.empty() && t[0] == '?') {
          req.raw_path = "/";
          req.query = std::string(t.substr(1));
          req.path = "/";
          return Result::Done;
        }
      } else {
        t = t.substr(slash);
      }
      break;
    }
  }
  if (t.empty() || t[0] != '/') {
    error_status_ = 400;
    error_message_ = "Bad request";
    return Result::Error;
  }
  std::size_t q = t.find('?');
  req.raw_path = std::string(t.substr(0, q));
  req.query = q == std::string_view::npos ? std::string() : std::string(t.substr(q + 1));
  if (!PercentDecodePath(req.raw_path, req.path)) {
    error_status_ = 400;
    error_message_ = "Invalid request path";
    return Result::Error;
  }
  if (req.path.empty()) req.path = "/";
  return Result::Done;
}

bool TOVHttpRequestReader::BodyExpected() const {
  const auto& p = impl_->parser;
  if (!p.is_header_done() || p.is_done()) return false;
  auto cl = p.content_length();
  return p.chunked() || (cl && *cl > 0);
}

std::optional<std::uint64_t> TOVHttpRequestReader::ContentLength() const {
  auto cl = impl_->parser.content_length();
  if (!cl) return std::nullopt;
  return *cl;
}

bool TOVHttpRequestReader::Chunked() const { return impl_->parser.chunked(); }

bool TOVHttpRequestReader::BodyDone() const { return impl_->parser.is_done(); }

TOVHttpRequestReader::Result TOVHttpRequestReader::FeedBody(std::string& in, const BodySink& sink) {
  if (error_status_) return Result::Error;
  auto& p = impl_->parser;
  if (!p.is_header_done()) return Result::NeedMore;
  if (p.is_done()) return Result::Done;
  p.eager(true);
  auto& body = p.get().body();
  body.sink = &sink;
  body.stopped = false;
  // The sink lives only for this call; the parser must not keep pointing at it.
  struct SinkReset {
    SinkBody::value_type& b;
    ~SinkReset() { b.sink = nullptr; }
  } reset{body};
  while (!p.is_done()) {
    if (in.empty()) return Result::NeedMore;
    boost::beast::error_code ec;
    std::size_t n = p.put(boost::asio::const_buffer(in.data(), in.size()), ec);
    in.erase(0, n);
    if (body.stopped) return Result::SinkStopped;
    if (ec == http::error::need_more) return Result::NeedMore;
    if (ec) {
      error_status_ = 400;
      error_message_ = "Bad request";
      return Result::Error;
    }
    if (n == 0 && !p.is_done()) return Result::NeedMore;
  }
  return Result::Done;
}

// ---- options ---------------------------------------------------------------------------------

TOVHttpServerOptions TOVHttpServerOptions::FromConfig() {
  auto cfg = Config.Get();
  if (!cfg) throw ServiceUnavailable("Config not available");
  TOVHttpServerOptions o;
  o.address = cfg->ServerAddress();
  o.port = cfg->ServerPort();
  o.web_root = cfg->WebRoot();
  o.plugin_root = cfg->PluginDir();
  std::int32_t t = cfg->ConnectionTimeout();
  o.io_timeout = std::chrono::seconds(t > 0 ? t : 30);
  std::int64_t cap = cfg->MaxBodyBytes();
  if (cap > 0) o.max_body_bytes = static_cast<std::uint64_t>(cap);
  return o;
}

// ---- the server core -------------------------------------------------------------------------

namespace detail {

class HttpConnection;

// Everything a connection thread touches lives here, shared by the threads, so a thread that
// outlives the bounded shutdown wait never touches a freed wrapper.
class HttpCore : public std::enable_shared_from_this<HttpCore> {
 public:
  explicit HttpCore(TOVHttpServerOptions o) : opts(std::move(o)) {}
  ~HttpCore() {
    // Connection threads hold the core, so nothing uses the listener any more.
    if (listen_fd >= 0) ::close(listen_fd);
    if (wake_fd >= 0) ::close(wake_fd);
    if (cap_fd >= 0) ::close(cap_fd);
  }

  void Listen();
  void RunAcceptLoop();
  void RequestStop() noexcept;
  void Shutdown() noexcept;

  // Request handling.
  void HandleRequest(TOVHttpRequest& req, TOVHttpResponse& resp);
  bool RunSecurityGate(TOVHttpRequest& req, TOVHttpResponse& resp);
  void Dispatch(TOVHttpRequest& req, TOVHttpResponse& resp);
  void HandleWebSocketUpgrade(TOVHttpRequest& req, TOVHttpResponse& resp);
  void ServeFile(const TOVHttpRequest& req, const std::string& root_abs, const std::string& full,
                 const char* not_found, TOVHttpResponse& resp);
  void HandleRequestError(const std::exception& e);
  bool FindAdminPageFile(const std::string& path, std::string& rel_file);

  // Connection threads.
  struct Worker;
  void SpawnConnectionThread();
  void RefuseOverCap();
  void WorkerMain(Worker* w);
  void ServeConnection(int fd, Worker* w);
  void ReapFinished();
  // Connection-thread and accept failures, rate-limited.
  void LogAcceptError(const char* what, const std::string& why);
  // Cuts the connections that are still waiting for their request head; caller holds m.
  void AbortConnectionsBeforeRequest();

  TOVHttpServerOptions opts;
  std::string web_root;       // as resolved (logged, reported)
  std::string plugin_root;
  std::string web_root_abs;   // normalised absolute forms for the root check
  std::string plugin_root_abs;
  std::atomic<bool> tls{false};
  std::atomic<int> tls_min{0};
  int listen_fd = -1;
  int wake_fd = -1;  // the stop event, never reset
  int cap_fd = -1;   // a connection thread met the cap: the accept loop looks again
  std::uint16_t port = 0;
  std::atomic<bool> stop_requested{false};
  std::atomic<bool> accept_running{false};
  std::mutex accept_done_lock;
  std::condition_variable accept_done_cv;

  // One connection thread.  Each thread accepts its own connection and serves it to the end
  // (no hand-over between threads, so a request costs no extra wake-up), then waits for the
  // next one.  At least one thread is always free (not serving) while below the cap.
  struct Worker {
    std::thread thread;
    // The stream being served, so shutdown can cut it; guarded by slot_lock.
    std::mutex slot_lock;
    Stream* current = nullptr;
    // True until the whole request head has arrived (TLS handshake included): such a
    // connection has asked for nothing yet, so a stop need not wait for it.
    bool before_request = false;
    void Track(Stream* s, bool waiting_for_head = false) {
      std::lock_guard<std::mutex> g(slot_lock);
      current = s;
      before_request = s && waiting_for_head;
    }
    void RequestArrived() {
      std::lock_guard<std::mutex> g(slot_lock);
      before_request = false;
    }
  };

  mutable std::mutex m;
  std::condition_variable done_cv;  // shutdown waits here for connections and threads
  std::vector<std::unique_ptr<Worker>> workers;
  std::vector<Worker*> finished;
  std::size_t threads = 0;
  std::size_t active = 0;
  bool closing = false;
  std::uint64_t refused = 0;
  StreamClock::time_point last_refused_log{};
  StreamClock::time_point last_accept_error_log{};
};

// One accepted connection, served on its thread.
class HttpConnection final : public TOVHttpConnection {
 public:
  HttpConnection(HttpCore& core, HttpCore::Worker* slot, std::unique_ptr<Stream> s)
      : core_(core), slot_(slot), stream_(std::move(s)) {}
  ~HttpConnection() override { Release(); }

  Stream& GetStream() override { return *stream_; }
  bool Detached() const noexcept override { return detached_; }
  TOVDetachedStream SendAndDetach(const TOVHttpResponse& resp) override;

  void Run(StreamClock::time_point accepted);

 private:
  Deadline IoDeadline() const { return DeadlineIn(core_.opts.io_timeout); }
  // Sends an answer with "Connection: close"; false when the peer could not take it.
  bool SendResponse(const TOVHttpRequest* req, TOVHttpResponse& resp);
  bool SendHead(const std::string& head);
  void SendErrorAndClose(int status, const std::string& message, bool linger);
  void Finish(bool linger) noexcept;
  void Release() noexcept;

  void Untrack() noexcept {
    if (slot_) slot_->Track(nullptr);
  }

  HttpCore& core_;
  HttpCore::Worker* slot_;
  std::unique_ptr<Stream> stream_;
  std::string in_;  // bytes read and not yet consumed
  bool detached_ = false;
};

// ---- response writing ------------------------------------------------------------------------

namespace {

bool HeaderNameOk(std::string_view n) {
  if (n.empty()) return false;
  for (unsigned char c : n)
    if (c <= 0x20 || c >= 0x7f || c == ':') return false;
  return true;
}

void AppendHeaderLine(std::string& out, std::string_view name, std::string_view value) {
  out.append(name);
  out.append(": ");
  // A handler's value never splits the header block.
  for (char c : value) out.push_back((c == '\r' || c == '\n' || c == '\0') ? ' ' : c);
  out.append("\r\n");
}

bool NoBodyStatus(int status) { return (status >= 100 && status < 200) || status == 204 || status == 304; }

std::string BuildHead(const TOVHttpResponse& resp, std::optional<std::uint64_t> content_length,
                      bool connection_close) {
  std::string head;
  head.reserve(256 + resp.headers.size() * 48);
  head.append("HTTP/1.1 ");
  head.append(std::to_string(resp.status));
  head.push_back(' ');
  std::string reason = resp.reason.empty() ? StatusReason(resp.status) : resp.reason;
  for (char c : reason) head.push_back((c == '\r' || c == '\n') ? ' ' : c);
  head.append("\r\n");
  for (const auto& h : resp.headers) {
    if (!HeaderNameOk(h.first)) continue;
    if (EqualsIgnoreCase(h.first, "Content-Length") || EqualsIgnoreCase(h.first, "Transfer-Encoding")) continue;
    if (connection_close && EqualsIgnoreCase(h.first, "Connection")) continue;
    AppendHeaderLine(head, h.first, h.second);
  }
  if (content_length) AppendHeaderLine(head, "Content-Length", std::to_string(*content_length));
  if (connection_close) head.append("Connection: close\r\n");
  head.append("\r\n");
  return head;
}

}  // namespace

bool HttpConnection::SendHead(const std::string& head) {
  return stream_->Send(head.data(), head.size(), IoDeadline()).ok();
}

bool HttpConnection::SendResponse(const TOVHttpRequest* req, TOVHttpResponse& resp) {
  bool head_only = req && req->method == "HEAD";
  if (NoBodyStatus(resp.status)) {
    return SendHead(BuildHead(resp, std::nullopt, true));
  }
  if (resp.file_path.empty()) {
    std::string out = BuildHead(resp, resp.body.size(), true);
    if (!head_only) out.append(resp.body);
    return stream_->Send(out.data(), out.size(), IoDeadline()).ok();
  }
  int fd = ::open(resp.file_path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    int err = errno;
    if (fd >= 0) ::close(fd);
    LogError("Unhandled exception serving %s from %s: %s: %s", req ? req->path : resp.file_path,
             stream_->PeerAddress(), "std::runtime_error", std::strerror(err));
    TOVHttpResponse r;
    TOVJsonReply::SendError(r, 500, "Internal server error");
    std::string out = BuildHead(r, r.body.size(), true) + r.body;
    return stream_->Send(out.data(), out.size(), IoDeadline()).ok();
  }
  std::uint64_t size = static_cast<std::uint64_t>(st.st_size);
  std::string buf = BuildHead(resp, size, true);
  bool ok = true;
  std::uint64_t left = head_only ? 0 : size;
  std::size_t head_len = buf.size();
  // The head and the first piece of the file go out together.
  std::size_t first = static_cast<std::size_t>(std::min<std::uint64_t>(left, kWriteChunk));
  buf.resize(head_len + std::max<std::size_t>(first, 1));
  std::size_t filled = 0;
  while (filled < first) {
    ssize_t n = ::read(fd, buf.data() + head_len + filled, first - filled);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    filled += static_cast<std::size_t>(n);
  }
  buf.resize(head_len + filled);
  ok = stream_->Send(buf.data(), buf.size(), IoDeadline()).ok();
  left -= filled;
  if (filled < first) ok = false;  // the file shrank: the promised length cannot be kept
  std::vector<char> chunk(ok && left > 0 ? kWriteChunk : 0);
  while (ok && left > 0) {
    std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(left, chunk.size()));
    ssize_t n = ::read(fd, chunk.data(), want);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    ok = stream_->Send(chunk.data(), static_cast<std::size_t>(n), IoDeadline()).ok();
    left -= static_cast<std::uint64_t>(n);
  }
  ::close(fd);
  return ok;
}

TOVDetachedStream HttpConnection::SendAndDetach(const TOVHttpResponse& resp) {
  if (detached_ || !stream_) throw std::runtime_error("connection already handed over");
  std::string head = BuildHead(resp, NoBodyStatus(resp.status) ? std::nullopt
                                                               : std::optional<std::uint64_t>(resp.body.size()),
                               false);
  if (!NoBodyStatus(resp.status)) head.append(resp.body);
  if (!stream_->Send(head.data(), head.size(), IoDeadline()).ok())
    throw std::runtime_error("cannot send the upgrade answer");
  Untrack();
  detached_ = true;
  TOVDetachedStream out;
  out.stream = std::move(stream_);
  out.pending = std::move(in_);
  in_.clear();
  return out;
}

void HttpConnection::Release() noexcept {
  if (stream_) {
    Untrack();
    stream_->Close();
    stream_.reset();
  }
}

void HttpConnection::Finish(bool linger) noexcept {
  if (!stream_) return;
  Untrack();
  // Unread input (a body we did not take, a pipelined request) would make close() send a
  // reset that can destroy the answer in flight; drain it first.
  int pending = 0;
  if (!linger && stream_->Fd() >= 0 && ::ioctl(stream_->Fd(), FIONREAD, &pending) == 0 && pending > 0) linger = true;
  if (linger) {
    stream_->LingeringClose(kLingerTime, kLingerBytes);
  } else {
    stream_->Shutdown(DeadlineIn(std::chrono::milliseconds(500)));
    stream_->Close();
  }
  stream_.reset();
}

void HttpConnection::SendErrorAndClose(int status, const std::string& message, bool linger) {
  TOVHttpResponse resp;
  TOVJsonReply::SendError(resp, status, message);
  SendResponse(nullptr, resp);
  Finish(linger);
}

void HttpConnection::Run(StreamClock::time_point accepted) {
  const Deadline head_deadline = accepted + core_.opts.io_timeout;
  TOVHttpRequestReader reader;
  char buf[kReadChunk];

  // The request head, within one deadline from accept.
  bool any = false;
  for (;;) {
    if (!in_.empty()) {
      auto r = reader.FeedHead(in_);
      if (r == TOVHttpRequestReader::Result::Done) break;
      if (r == TOVHttpRequestReader::Result::Error) {
        SendErrorAndClose(reader.ErrorStatus(), reader.ErrorMessage(), true);
        return;
      }
    }
    IoResult rr = stream_->Recv(buf, sizeof buf, head_deadline);
    if (rr.status == IoStatus::Timeout) {
      if (any) SendErrorAndClose(408, "Request timeout", true);
      else Finish(false);
      return;
    }
    if (!rr.ok()) {
      Finish(false);  // the client went away
      return;
    }
    any = true;
    in_.append(buf, rr.bytes);
  }

  if (slot_) slot_->RequestArrived();

  TOVHttpRequest req;
  req.peer_address = stream_->PeerAddress();
  req.peer_port = stream_->PeerPort();
  req.secure = stream_->IsSecure();
  req.connection = this;
  if (reader.FillRequest(req) != TOVHttpRequestReader::Result::Done) {
    SendErrorAndClose(reader.ErrorStatus() ? reader.ErrorStatus() : 400,
                      reader.ErrorMessage().empty() ? "Bad request" : reader.ErrorMessage(), true);
    return;
  }

  TOVHttpResponse resp;
  resp.SetHeader("Connection", "close");
  // The gate runs before the body is read, so a refused client cannot make us read it.
  if (!core_.RunSecurityGate(req, resp)) {
    SendResponse(&req, resp);
    // Only a body still on its way needs draining; a refused client that sent none (the usual
    // case in a flood) must not hold this thread for the lingering time.
    Finish(reader.BodyExpected() || !in_.empty());
    return;
  }

  struct FileCleanup {
    std::vector<TOVUploadedFile>& files;
    ~FileCleanup() { RemoveUploadedFiles(files); }
  } cleanup{req.files};

  if (reader.BodyExpected()) {
    const std::uint64_t cap = core_.opts.max_body_bytes;
    auto cl = reader.ContentLength();
    if (cl && *cl > cap) {
      SendErrorAndClose(413, "Request body too large", true);
      return;
    }
    std::unique_ptr<TOVMultipartFormReader> form;
    std::string ctype = req.Header("Content-Type");
    if (IsMultipartFormData(ctype)) {
      std::string boundary;
      if (!MultipartBoundary(ctype, boundary)) {
        SendErrorAndClose(400, "Invalid multipart boundary", true);
        return;
      }
      form = std::make_unique<TOVMultipartFormReader>(boundary, core_.opts.upload_dir);
    }
    if (EqualsIgnoreCase(TrimAscii(req.Header("Expect")), "100-continue")) {
      static const std::string kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
      if (!SendHead(kContinue)) {
        Finish(false);
        return;
      }
    }
    std::uint64_t total = 0;
    int stop_status = 0;
    std::string stop_message;
    TOVHttpRequestReader::BodySink sink = [&](const char* data, std::size_t len) {
      total += len;
      if (total > cap) {
        stop_status = 413;
        stop_message = "Request body too large";
        return false;
      }
      if (form) {
        if (!form->Feed(data, len)) {
          stop_status = form->ErrorStatus();
          stop_message = form->Error();
          return false;
        }
      } else {
        req.body.append(data, len);
      }
      return true;
    };
    for (;;) {
      auto r = reader.FeedBody(in_, sink);
      if (r == TOVHttpRequestReader::Result::Done) break;
      if (r == TOVHttpRequestReader::Result::SinkStopped) {
        SendErrorAndClose(stop_status, stop_message, true);
        return;
      }
      if (r == TOVHttpRequestReader::Result::Error) {
        SendErrorAndClose(reader.ErrorStatus(), reader.ErrorMessage(), true);
        return;
      }
      IoResult rr = stream_->Recv(buf, sizeof buf, IoDeadline());
      if (rr.status == IoStatus::Timeout) {
        SendErrorAndClose(408, "Request timeout", true);
        return;
      }
      if (!rr.ok()) {
        Finish(false);
        return;
      }
      in_.append(buf, rr.bytes);
    }
    if (form) {
      if (!form->Finish()) {
        int st = form->ErrorStatus();
        SendErrorAndClose(st, form->Error(), st != 500);
        return;
      }
      form->TakeResults(req.files, req.form_fields);
    }
  }

  try {
    core_.Dispatch(req, resp);
  } catch (...) {
    const CaughtException ex = DescribeCaught();
    LogError("HTTP request error: %s: %s", ex.type, ex.what);
    AnswerInternalError(resp);
  }
  if (detached_) return;
  // The request has ended for its handler: its uploads go before the answer does, so a client
  // that has its answer never finds them still on disk.
  RemoveUploadedFiles(req.files);
  SendResponse(&req, resp);
  Finish(!in_.empty());
}

// ---- request handling ------------------------------------------------------------------------

void HttpCore::HandleRequestError(const std::exception& e) {
  LogError("HTTP request error: %s: %s", ExceptionClassName(e), e.what());
}

void HttpCore::HandleRequest(TOVHttpRequest& req, TOVHttpResponse& resp) {
  if (req.path.empty()) req.path = "/";
  resp.SetHeader("Connection", "close");
  if (!RunSecurityGate(req, resp)) return;
  Dispatch(req, resp);
}

bool HttpCore::RunSecurityGate(TOVHttpRequest& req, TOVHttpResponse& resp) {
  if (req.path == "/health") return true;
  try {
    std::string mode = "enforce";
    if (auto cfg = Config.Get()) mode = cfg->SecurityGateMode();
    if (mode == "off") return true;
    const std::string client = GetClientIP(req);
    // IP blacklist first, then the rate limit (which also counts this request).
    if (opts.is_banned && opts.is_banned(client)) {
      if (mode == "enforce") {
        TOVJsonReply::SendError(resp, 403, "Forbidden");
        return false;
      }
      LogWarning("[gate:log] would block banned IP %s for %s %s", client, req.method, req.path);
    }
    if (opts.allow_request && !opts.allow_request(client)) {
      if (mode == "enforce") {
        resp.SetHeader("Retry-After", "60");
        TOVJsonReply::SendError(resp, 429, "Too many requests");
        return false;
      }
      LogWarning("[gate:log] would rate-limit IP %s for %s %s", client, req.method, req.path);
    }
    return true;
  } catch (...) {
    const CaughtException ex = DescribeCaught();
    LogError("Unhandled exception in security gate [%s %s]: %s: %s", req.method, req.path, ex.type, ex.what);
  }
  AnswerInternalError(resp);
  resp.SetHeader("Connection", "close");
  return false;
}

bool HttpCore::FindAdminPageFile(const std::string&, std::string&) {
  // The administration page list (plug-in pages) maps paths to plug-in files; without it no
  // path is a plug-in page.
  return false;
}

void HttpCore::Dispatch(TOVHttpRequest& req, TOVHttpResponse& resp) {
  const std::string& path = req.path;

  if (req.method == "OPTIONS") {
    resp.status = 204;
    TOVJsonReply::SetCorsHeaders(resp);
    resp.SetHeader("Access-Control-Max-Age", "86400");
    resp.body.clear();
    resp.file_path.clear();
    return;
  }

  if (path == "/ws") {
    if (ToLowerAscii(req.Header("Upgrade")).find("websocket") != std::string::npos) {
      LogInfo("[ws] WebSocket upgrade request from %s", req.peer_address);
      try {
        HandleWebSocketUpgrade(req, resp);
      } catch (...) {
        const CaughtException ex = DescribeCaught();
        LogError("Unhandled exception in /ws upgrade from %s: %s: %s", req.peer_address, ex.type, ex.what);
        AnswerInternalError(resp);
      }
    } else {
      LogWarning("[ws] /ws request without Upgrade header from %s (method=%s)", req.peer_address, req.method);
      TOVJsonReply::SendError(resp, 400, "WebSocket upgrade required");
    }
    return;
  }

  if (path == "/health") {
    try {
      opts.router->RouteRequest(req, resp);
    } catch (...) {
      resp = TOVHttpResponse{};
      TOVJsonReply::SendError(resp, 500, "Health check error");
    }
    return;
  }

  if (path.starts_with(kApiPrefix)) {
    try {
      opts.router->RouteRequest(req, resp);
    } catch (const ERouteNotFound&) {
      resp = TOVHttpResponse{};
      TOVJsonReply::SendError(resp, 404, "API endpoint not found");
    } catch (...) {
      // A plug-in route may throw anything; the client still gets its answer.
      const CaughtException ex = DescribeCaught();
      LogError("Unhandled exception in API handler [%s %s]: %s: %s", req.method, path, ex.type, ex.what);
      AnswerInternalError(resp);
    }
    return;
  }

  try {
    std::string page_file;
    if (FindAdminPageFile(path, page_file)) {
      ServeFile(req, plugin_root_abs, plugin_root + "/" + page_file, "Plugin file not found", resp);
    } else if (path.starts_with("/plugins/")) {
      ServeFile(req, plugin_root_abs, plugin_root + "/" + path.substr(9), "Plugin file not found", resp);
    } else {
      ServeFile(req, web_root_abs, web_root + (path == "/" ? std::string("/index.html") : path), "File not found",
                resp);
    }
  } catch (...) {
    const CaughtException ex = DescribeCaught();
    LogError("Unhandled exception serving %s from %s: %s: %s", path, req.peer_address, ex.type, ex.what);
    AnswerInternalError(resp);
  }
}

void HttpCore::HandleWebSocketUpgrade(TOVHttpRequest& req, TOVHttpResponse& resp) {
  const std::string key = TrimAscii(req.Header("Sec-WebSocket-Key"));
  if (key.empty()) {
    TOVJsonReply::SendError(resp, 400, "Missing Sec-WebSocket-Key");
    return;
  }
  if (!opts.websocket_upgrade || !req.connection) {
    TOVJsonReply::SendError(resp, 503, "WebSocket server not available");
    return;
  }
  opts.websocket_upgrade(req, resp);
}

namespace {

void ReplaceAll(std::string& s, std::string_view from, std::string_view to) {
  std::size_t pos = 0;
  while ((pos = s.find(from, pos)) != std::string::npos) {
    s.replace(pos, from.size(), to);
    pos += to.size();
  }
}

}  // namespace

void HttpCore::ServeFile(const TOVHttpRequest& req, const std::string& root_abs, const std::string& full,
                         const char* not_found, TOVHttpResponse& resp) {
  const std::string name = NormalisePath(full);
  if (!IsInsideRoot(root_abs, name)) {
    TOVJsonReply::SendError(resp, 403, "Forbidden");
    return;
  }
  // Non-blocking open: a FIFO placed in the tree must not hang the thread.
  int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR || errno == ENAMETOOLONG || errno == ELOOP) {
      TOVJsonReply::SendError(resp, 404, not_found);
      return;
    }
    throw std::runtime_error(Format("cannot open %s: %s", name, std::strerror(errno)));
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    TOVJsonReply::SendError(resp, 404, not_found);
    return;
  }
  resp.status = 200;
  resp.SetHeader("Content-Type", TOVHttpServerWrapper::GetMimeType(name));
  std::size_t slash = name.rfind('/');
  std::size_t dot = name.rfind('.');
  bool html = dot != std::string::npos && (slash == std::string::npos || dot > slash) &&
              EqualsIgnoreCase(std::string_view(name).substr(dot), ".html");
  if (html) {
    std::string text;
    text.reserve(static_cast<std::size_t>(st.st_size));
    char buf[16384];
    for (;;) {
      ssize_t n = ::read(fd, buf, sizeof buf);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n < 0) {
        int err = errno;
        ::close(fd);
        throw std::runtime_error(Format("cannot read %s: %s", name, std::strerror(err)));
      }
      if (n == 0) break;
      text.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    ReplaceAll(text, "{{VERSION}}", kVersion);
    ReplaceAll(text, "{{BUILD_ID}}", GetServerBuildId());
    resp.SetHeader("Cache-Control", "no-cache, must-revalidate");
    resp.body = std::move(text);
    resp.file_path.clear();
    return;
  }
  ::close(fd);
  resp.SetHeader("Cache-Control", req.query.find("v=") != std::string::npos ? "public, max-age=31536000, immutable"
                                                                            : "public, max-age=300");
  resp.body.clear();
  resp.file_path = name;
  resp.file_size = static_cast<std::uint64_t>(st.st_size);
}

// ---- listener and connection threads ---------------------------------------------------------

void HttpCore::Listen() {
  if (opts.port < 0 || opts.port > 65535)
    throw std::runtime_error(Format("Invalid HTTP port %d", opts.port));
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* res = nullptr;
  const char* host = opts.address.empty() ? nullptr : opts.address.c_str();
  int gai = ::getaddrinfo(host, nullptr, &hints, &res);
  if (gai != 0 || !res)
    throw std::runtime_error(Format("Invalid HTTP server address %s: %s", opts.address, ::gai_strerror(gai)));
  sockaddr_in sa{};
  std::memcpy(&sa, res->ai_addr, sizeof sa);
  ::freeaddrinfo(res);
  sa.sin_port = htons(static_cast<std::uint16_t>(opts.port));

  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) throw std::runtime_error(Format("Cannot create HTTP socket: %s", std::strerror(errno)));
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    int err = errno;
    ::close(fd);
    throw std::runtime_error(
        Format("Cannot bind HTTP server to %s:%d: %s", opts.address, opts.port, std::strerror(err)));
  }
  if (::listen(fd, 64) != 0) {
    int err = errno;
    ::close(fd);
    throw std::runtime_error(Format("Cannot listen on %s:%d: %s", opts.address, opts.port, std::strerror(err)));
  }
  socklen_t len = sizeof sa;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
  port = ntohs(sa.sin_port);
  wake_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  cap_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_fd < 0 || cap_fd < 0) {
    int err = errno;
    ::close(fd);
    throw std::runtime_error(Format("Cannot create eventfd: %s", std::strerror(err)));
  }
  listen_fd = fd;
}

void HttpCore::RequestStop() noexcept {
  stop_requested.store(true);
  if (wake_fd >= 0) {
    std::uint64_t one = 1;
    ssize_t r = ::write(wake_fd, &one, sizeof one);
    (void)r;
  }
}

void HttpCore::RunAcceptLoop() {
  accept_running.store(true);
  struct Done {
    HttpCore& c;
    ~Done() {
      std::lock_guard<std::mutex> g(c.accept_done_lock);
      c.accept_running.store(false);
      c.accept_done_cv.notify_all();
    }
  } done{*this};
  SpawnConnectionThread();
  // The connection threads accept; this loop reaps the threads that left and, while every
  // thread is busy at the cap, accepts and closes what comes in.
  while (!stop_requested.load()) {
    bool at_cap = false;
    bool none_free = false;
    {
      std::lock_guard<std::mutex> g(m);
      // Every thread is serving a connection: nobody takes the next one until one finishes.
      none_free = threads <= active;
      at_cap = none_free && threads >= opts.max_connections;
    }
    // Below the cap that only happens when a thread could not be started or could not wait;
    // try again rather than leave connections waiting in the backlog.
    if (none_free && !at_cap) SpawnConnectionThread();
    // The cap event comes from a thread that took the last free place, so clients past the
    // cap are turned away at once rather than at the next look.
    pollfd fds[3] = {{wake_fd, POLLIN, 0}, {cap_fd, POLLIN, 0}, {listen_fd, POLLIN, 0}};
    int r = ::poll(fds, at_cap ? 3 : 2, 1000);
    if (r > 0 && (fds[1].revents & POLLIN)) {
      std::uint64_t v;
      ssize_t n = ::read(cap_fd, &v, sizeof v);
      (void)n;
    }
    ReapFinished();
    if (stop_requested.load()) break;
    if (at_cap && r > 0 && (fds[2].revents & POLLIN)) RefuseOverCap();
  }
  // Stop taking connections: later clients are refused at once instead of waiting, and the
  // threads waiting in accept return.  The descriptor itself is closed with the core.
  ::shutdown(listen_fd, SHUT_RDWR);
}

void HttpCore::RefuseOverCap() {
  for (int i = 0; i < 64; ++i) {
    {
      std::lock_guard<std::mutex> g(m);
      if (threads > active || threads < opts.max_connections) return;  // a thread is free again
    }
    int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;
    ::close(fd);
    std::unique_lock<std::mutex> g(m);
    ++refused;
    auto now = StreamClock::now();
    bool log = now - last_refused_log > std::chrono::seconds(10);
    if (log) last_refused_log = now;
    std::uint64_t n = refused;
    g.unlock();
    if (log) LogWarning("HTTP connection limit (%d) reached; %d connection(s) refused so far", opts.max_connections, n);
  }
}

void HttpCore::SpawnConnectionThread() {
  std::unique_lock<std::mutex> g(m);
  if (closing || stop_requested.load()) return;
  if (threads >= opts.max_connections) {
    g.unlock();
    std::uint64_t one = 1;
    ssize_t n = ::write(cap_fd, &one, sizeof one);
    (void)n;
    return;
  }
  auto w = std::make_unique<Worker>();
  try {
    // Started under the lock: the thread's own exit path takes it, so it cannot finish
    // before it is recorded.
    w->thread = std::thread(&HttpCore::WorkerMain, shared_from_this(), w.get());
  } catch (const std::exception& e) {
    g.unlock();
    LogAcceptError("HTTP connection thread could not start", e.what());
    return;
  }
  ++threads;
  workers.push_back(std::move(w));
}

namespace {

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

}  // namespace

void HttpCore::LogAcceptError(const char* what, const std::string& why) {
  // At most one line every 10 s: a lasting shortage must not flood the log.
  {
    std::lock_guard<std::mutex> g(m);
    auto now = StreamClock::now();
    if (last_accept_error_log != StreamClock::time_point{} && now - last_accept_error_log < std::chrono::seconds(10))
      return;
    last_accept_error_log = now;
  }
  LogWarning("%s: %s", what, why);
}

void HttpCore::WorkerMain(Worker* w) {
  // The shared_ptr bound into the thread keeps this core alive until the thread ends.
  // Each thread waits on its own epoll set: the listener with EPOLLEXCLUSIVE (one waiter is
  // woken per connection, not all of them) and the stop event.
  int ep = ::epoll_create1(EPOLL_CLOEXEC);
  if (ep >= 0) {
    epoll_event lev{};
    lev.events = EPOLLIN | EPOLLEXCLUSIVE;
    lev.data.fd = listen_fd;
    epoll_event wev{};
    wev.events = EPOLLIN;
    wev.data.fd = wake_fd;
    if (::epoll_ctl(ep, EPOLL_CTL_ADD, listen_fd, &lev) != 0 || ::epoll_ctl(ep, EPOLL_CTL_ADD, wake_fd, &wev) != 0) {
      ::close(ep);
      ep = -1;
    }
  }
  // Without its wait set the thread cannot serve; the accept loop starts another one when no
  // thread is left free.
  if (ep < 0) LogAcceptError("HTTP connection thread cannot wait for connections", std::strerror(errno));
  // A thread is free whenever it is not serving a connection (threads - active counts them),
  // including one that has just finished and is on its way back to accept.
  bool left = false;
  auto idle_since = StreamClock::now();
  while (ep >= 0 && !stop_requested.load()) {
    int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      int err = errno;
      if (NothingPending(err)) {
        epoll_event out[2];
        ::epoll_wait(ep, out, 2, 1000);
      } else if (ConnectionError(err)) {
        // Only that connection is lost; the next one is taken at once.
        if (err != ECONNABORTED) LogAcceptError("HTTP accept failed", std::strerror(err));
      } else if (!stop_requested.load()) {
        // A shortage (descriptors, memory) or an error not expected while the server runs: a
        // pause gives running connections time to free resources and keeps this from
        // spinning.  The thread stays either way; leaving could leave nobody to accept.
        LogAcceptError("HTTP accept failed", std::strerror(err));
        pollfd pw{wake_fd, POLLIN, 0};
        ::poll(&pw, 1, 100);
      }
      // A thread idle for a while leaves, as long as another one stays free.
      if (StreamClock::now() - idle_since > opts.thread_idle_timeout) {
        std::lock_guard<std::mutex> g(m);
        if (threads > active + 1) {
          --threads;
          finished.push_back(w);
          done_cv.notify_all();
          left = true;
          break;
        }
      }
      continue;
    }
    bool none_free;
    {
      std::lock_guard<std::mutex> g(m);
      none_free = ++active >= threads;
    }
    // This thread took the last free place: start another one for the next connection.
    if (none_free) SpawnConnectionThread();
    ServeConnection(fd, w);
    {
      std::lock_guard<std::mutex> g(m);
      if (--active == 0) done_cv.notify_all();
    }
    idle_since = StreamClock::now();
  }
  if (ep >= 0) ::close(ep);
  if (left) return;
  std::lock_guard<std::mutex> g(m);
  --threads;
  finished.push_back(w);
  done_cv.notify_all();
}

void HttpCore::ReapFinished() {
  std::vector<std::unique_ptr<Worker>> done;
  {
    std::lock_guard<std::mutex> g(m);
    if (finished.empty()) return;
    for (Worker* f : finished) {
      auto it = std::find_if(workers.begin(), workers.end(), [f](const auto& p) { return p.get() == f; });
      if (it != workers.end()) {
        done.push_back(std::move(*it));
        workers.erase(it);
      }
    }
    finished.clear();
  }
  for (auto& w : done)
    if (w->thread.joinable()) w->thread.join();
}

void HttpCore::ServeConnection(int fd, Worker* w) {
  auto accepted = StreamClock::now();
  try {
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::unique_ptr<Stream> stream;
    if (tls.load()) {
      auto h = std::make_unique<TOVOpenSSLHandler>(fd, static_cast<TOVTlsMinVersion>(tls_min.load()));
      w->Track(h.get(), true);
      bool ok = h->Accept(accepted + opts.io_timeout);
      if (!ok) {
        w->Track(nullptr);
        return;  // the handler closes the socket
      }
      stream = std::move(h);
    } else {
      stream = std::make_unique<SocketStream>(fd);
      w->Track(stream.get(), true);
    }
    HttpConnection conn(*this, w, std::move(stream));
    conn.Run(accepted);
  } catch (...) {
    w->Track(nullptr);
    const CaughtException ex = DescribeCaught();
    LogError("HTTP request error: %s: %s", ex.type, ex.what);
  }
}

void HttpCore::AbortConnectionsBeforeRequest() {
  for (auto& w : workers) {
    std::lock_guard<std::mutex> sg(w->slot_lock);
    if (w->current && w->before_request) w->current->Abort();
  }
}

void HttpCore::Shutdown() noexcept {
  RequestStop();
  // The accept loop must have left before the listener goes away.
  {
    std::unique_lock<std::mutex> g(accept_done_lock);
    accept_done_cv.wait_for(g, opts.shutdown_wait, [&] { return !accept_running.load(); });
  }
  std::unique_lock<std::mutex> g(m);
  if (listen_fd >= 0) ::shutdown(listen_fd, SHUT_RDWR);  // also when Start never ran
  // Running requests get the bounded wait.  A connection that has not sent its whole request
  // head yet has asked for nothing: it is cut at once (and again every so often, for one that
  // was accepted just as the stop came) instead of holding the stop until its deadline.
  const auto until = StreamClock::now() + opts.shutdown_wait;
  bool drained = false;
  for (;;) {
    AbortConnectionsBeforeRequest();
    auto now = StreamClock::now();
    if (now >= until) break;
    auto slice = std::min<StreamClock::duration>(until - now, std::chrono::milliseconds(100));
    if (done_cv.wait_for(g, slice, [&] { return active == 0; })) {
      drained = true;
      break;
    }
  }
  if (!drained) {
    // Then the sockets of what is left are cut so blocked reads and writes end now.
    for (auto& w : workers) {
      std::lock_guard<std::mutex> sg(w->slot_lock);
      if (w->current) w->current->Abort();
    }
    done_cv.wait_for(g, std::chrono::seconds(1), [&] { return active == 0; });
  }
  closing = true;
  // Waiting threads left on the stop event; what is left after this is still inside a handler.
  done_cv.wait_for(g, std::chrono::seconds(2), [&] { return threads <= active; });
  std::size_t busy = active;
  g.unlock();
  ReapFinished();
  g.lock();
  // Threads still busy keep this core alive through their shared_ptr; their Worker records
  // are kept by the core as well.
  for (auto& w : workers)
    if (w->thread.joinable()) w->thread.detach();
  g.unlock();
  if (busy > 0) LogWarning("HTTP server: %d connection(s) still busy after the shutdown wait", busy);
}

}  // namespace detail

TOVDetachedStream AcceptWebSocketUpgrade(TOVHttpRequest& req) {
  if (!req.connection) throw std::runtime_error("WebSocket upgrade without a connection");
  TOVHttpResponse up;
  up.status = 101;
  up.reason = "Switching Protocols";
  up.SetHeader("Upgrade", "websocket");
  up.SetHeader("Connection", "Upgrade");
  up.SetHeader("Sec-WebSocket-Accept", WebSocketAcceptKey(TrimAscii(req.Header("Sec-WebSocket-Key"))));
  TOVDetachedStream taken = req.connection->SendAndDetach(up);
  LogDebug("[ws] WebSocket upgrade complete, socket handed to WS server");
  return taken;
}


std::string TOVHttpServerWrapper::GetMimeType(std::string_view file_name) {
  std::size_t slash = file_name.rfind('/');
  std::string_view base = slash == std::string_view::npos ? file_name : file_name.substr(slash + 1);
  std::size_t dot = base.rfind('.');
  if (dot == std::string_view::npos) return "application/octet-stream";
  std::string ext = ToLowerAscii(base.substr(dot));
  static const std::map<std::string, const char*, std::less<>> kTypes = {
      {".html", "text/html; charset=utf-8"},
      {".htm", "text/html; charset=utf-8"},
      {".css", "text/css; charset=utf-8"},
      {".js", "application/javascript; charset=utf-8"},
      {".json", "application/json; charset=utf-8"},
      {".png", "image/png"},
      {".jpg", "image/jpeg"},
      {".jpeg", "image/jpeg"},
      {".gif", "image/gif"},
      {".svg", "image/svg+xml"},
      {".ico", "image/x-icon"},
      {".woff", "font/woff"},
      {".woff2", "font/woff2"},
      {".ttf", "font/ttf"},
      {".txt", "text/plain; charset=utf-8"},
  };
  auto it = kTypes.find(ext);
  return it == kTypes.end() ? "application/octet-stream" : it->second;
}


// ---- the wrapper -----------------------------------------------------------------------------

namespace {

std::string ResolveRoot(const std::string& configured) {
  std::error_code ec;
  if (std::filesystem::is_directory(configured, ec)) return configured;
  return ExecutableDir() + configured;
}

}  // namespace

TOVHttpServerWrapper::TOVHttpServerWrapper() : TOVHttpServerWrapper([] {
  InitTrustedProxies();
  return TOVHttpServerOptions::FromConfig();
}()) {}

TOVHttpServerWrapper::TOVHttpServerWrapper(TOVHttpServerOptions options)
    : core_(std::make_shared<detail::HttpCore>(std::move(options))) {
  auto& c = *core_;
  if (c.opts.max_connections == 0) c.opts.max_connections = 1;
  if (c.opts.upload_dir.empty()) {
    std::error_code ec;
    c.opts.upload_dir = std::filesystem::temp_directory_path(ec).string();
    if (ec || c.opts.upload_dir.empty()) c.opts.upload_dir = "/tmp";
  }
  c.web_root = ResolveRoot(c.opts.web_root);
  c.plugin_root = ResolveRoot(c.opts.plugin_root);
  c.web_root_abs = NormalisePath(c.web_root);
  c.plugin_root_abs = NormalisePath(c.plugin_root);
  if (!c.opts.router) c.opts.router = &HttpRouter();
  c.Listen();
  LogInfo("HTTP server configured on %s:%d", c.opts.address, c.port);
  LogInfo("Web root: %s", c.web_root);
}

TOVHttpServerWrapper::~TOVHttpServerWrapper() { core_->Shutdown(); }

void TOVHttpServerWrapper::Start() {
  if (core_->stop_requested.load()) return;
  LogInfo("Starting HTTP server on port %d...", core_->port);
  core_->RunAcceptLoop();
}

void TOVHttpServerWrapper::Stop() noexcept {
  LogInfo("Stopping HTTP server...");
  core_->RequestStop();
}

void TOVHttpServerWrapper::EnableTLS(const std::string& cert_file, const std::string& key_file,
                                     const std::string& min_version) {
  bool known = true;
  TOVTlsMinVersion v = ParseTlsMinVersion(min_version, &known);
  if (!known) LogWarning("[ssl] unknown min_version %s, using tls1.2", min_version);
  if (!InitSharedSSLContext(cert_file, key_file, "")) {
    std::string why = LastSSLInitError();
    throw std::runtime_error(why.empty() ? "TLS set-up failed" : why);
  }
  core_->tls_min.store(static_cast<int>(v));
  core_->tls.store(true);
}

bool TOVHttpServerWrapper::TLSEnabled() const noexcept { return core_->tls.load(); }
std::uint16_t TOVHttpServerWrapper::Port() const noexcept { return core_->port; }
const std::string& TOVHttpServerWrapper::Address() const noexcept { return core_->opts.address; }
const std::string& TOVHttpServerWrapper::WebRoot() const noexcept { return core_->web_root; }
const std::string& TOVHttpServerWrapper::PluginRoot() const noexcept { return core_->plugin_root; }

std::size_t TOVHttpServerWrapper::ActiveConnections() const {
  std::lock_guard<std::mutex> g(core_->m);
  return core_->active;
}

std::size_t TOVHttpServerWrapper::ConnectionThreads() const {
  std::lock_guard<std::mutex> g(core_->m);
  return core_->threads;
}

void TOVHttpServerWrapper::HandleRequest(TOVHttpRequest& req, TOVHttpResponse& resp) {
  core_->HandleRequest(req, resp);
}

void TOVHttpServerWrapper::HandleRequestError(const std::exception& e) { core_->HandleRequestError(e); }

void TOVHttpServerWrapper::ServeStaticFile(const TOVHttpRequest& req, const std::string& path,
                                           TOVHttpResponse& resp) {
  core_->ServeFile(req, core_->web_root_abs, core_->web_root + path, "File not found", resp);
}

void TOVHttpServerWrapper::ServePluginFile(const TOVHttpRequest& req, const std::string& rel_path,
                                           TOVHttpResponse& resp) {
  core_->ServeFile(req, core_->plugin_root_abs, core_->plugin_root + "/" + rel_path, "Plugin file not found", resp);
}

void TOVHttpServerWrapper::HandleWebSocketUpgrade(TOVHttpRequest& req, TOVHttpResponse& resp) {
  core_->HandleWebSocketUpgrade(req, resp);
}

}  // namespace ov
