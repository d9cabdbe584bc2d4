// The HTTP server's request dispatch, the /ws hand-over and the public wrapper.
#include "ov_http_server.h"

#include <openssl/evp.h>
#include <openssl/sha.h>

#include "ov_config.h"
#include "ov_consts.h"
#include "ov_http_core.h"
#include "ov_json_reply.h"
#include "ov_log.h"
#include "ov_router.h"
#include "ov_service.h"
#include "ov_database.h"
#include "ov_ssl_handler.h"

namespace ov {

TOVService<TOVHttpServerWrapper> HttpSrv{"HttpSrv"};

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

namespace detail {

// ---- failures of handlers -----------------------------------------------------------------

CaughtException DescribeCaught() {
  try {
    throw;
  } catch (const std::exception& e) {
    return {ExceptionClassName(e), e.what()};
  } catch (...) {
    return {"unknown", "non-standard exception"};
  }
}

int AnswerInternalError(TOVHttpResponse& resp) noexcept {
  int status = 500;
  try {
    resp = TOVHttpResponse{};
    // The database and the services come back by themselves, and a busy pool frees up: a
    // client is told to try again.
    std::string message = "Internal server error";
    if (std::exception_ptr current = std::current_exception()) {
      try {
        std::rethrow_exception(current);
      } catch (const EDBAPoolExhausted&) {
        status = 503, message = "Server busy";
      } catch (const ServiceUnavailable& e) {
        status = 503, message = e.what();
      } catch (const std::exception& e) {
        if (IsDatabaseUnavailable(e)) status = 503, message = "Database unavailable";
      } catch (...) {
      }
    }
    TOVJsonReply::SendError(resp, status, message);
    if (status == 503) resp.SetHeader("Retry-After", "5");
  } catch (...) {
  }
  return status;
}

// ---- request handling ------------------------------------------------------------------------

namespace {

// No route takes the request (none for its path, or none for its method).
void AnswerNoRoute(TOVHttpResponse& resp) {
  resp = TOVHttpResponse{};
  TOVJsonReply::SendError(resp, 404, "API endpoint not found");
}

}  // namespace

void HttpCore::HandleRequestError(const std::exception& e) {
  LogError("HTTP request error: %s: %s", ExceptionClassName(e), e.what());
}

void HttpCore::HandleRequest(TOVHttpRequest& req, TOVHttpResponse& resp) {
  if (req.path.empty()) req.path = "/";
  resp.SetHeader("Connection", "close");
  if (!RunSecurityGate(req, resp)) return;
  Dispatch(req, resp);
}

namespace {

// The gate itself; may_block false: the blacklist is asked only through is_banned_now.
GateVerdict SecurityGate(const TOVHttpServerOptions& opts, TOVHttpRequest& req, TOVHttpResponse& resp,
                         bool may_block) {
  if (req.path == "/health") return GateVerdict::Pass;
  try {
    std::string mode = "enforce";
    if (auto cfg = Config.Get()) mode = cfg->SecurityGateMode();
    if (mode == "off") return GateVerdict::Pass;
    const std::string client = GetClientIP(req);
    // IP blacklist first, then the rate limit (which also counts this request).
    std::optional<bool> banned = false;
    if (opts.is_banned) {
      if (may_block) banned = opts.is_banned(client);
      else banned = opts.is_banned_now ? opts.is_banned_now(client) : std::nullopt;
    }
    if (!banned) return GateVerdict::Unknown;
    if (*banned) {
      if (mode == "enforce") {
        TOVJsonReply::SendError(resp, 403, "Forbidden");
        return GateVerdict::Refused;
      }
      LogWarning("[gate:log] would block banned IP %s for %s %s", client, req.method, req.path);
    }
    if (opts.allow_request && !opts.allow_request(client)) {
      if (mode == "enforce") {
        resp.SetHeader("Retry-After", "60");
        TOVJsonReply::SendError(resp, 429, "Too many requests");
        return GateVerdict::Refused;
      }
      LogWarning("[gate:log] would rate-limit IP %s for %s %s", client, req.method, req.path);
    }
    return GateVerdict::Pass;
  } catch (...) {
    // Answered as a failure inside a route is: a blacklist that cannot be read for an outage
    // refuses with 503 and Retry-After, and only a 500 adds a line.
    const CaughtException ex = DescribeCaught();
    if (AnswerInternalError(resp) == 500)
      LogError("Unhandled exception in security gate [%s %s]: %s: %s", req.method, req.path, ex.type, ex.what);
  }
  resp.SetHeader("Connection", "close");
  return GateVerdict::Refused;
}

}  // namespace

bool HttpCore::RunSecurityGate(TOVHttpRequest& req, TOVHttpResponse& resp) {
  return SecurityGate(opts, req, resp, true) == GateVerdict::Pass;
}

GateVerdict HttpCore::RunSecurityGateNow(TOVHttpRequest& req, TOVHttpResponse& resp) {
  return SecurityGate(opts, req, resp, false);
}

bool HttpCore::AnsweredWithoutHandler(const TOVHttpRequest& req) noexcept {
  const std::string& path = req.path;
  return req.method == "OPTIONS" || !(path == "/ws" || path == "/health" || path.starts_with(kApiPrefix));
}

void HttpCore::Dispatch(TOVHttpRequest& req, TOVHttpResponse& resp) {
  const std::string& path = req.path;

  if (req.method == "OPTIONS") {
    resp.status = 204;
    TOVJsonReply::SetCorsHeaders(resp);
    resp.SetHeader("Access-Control-Max-Age", "86400");
    resp.body.clear();
    resp.file.reset();
    return;
  }

  if (path == "/ws") {
    if (ToLowerAscii(req.Header("Upgrade")).find("websocket") != std::string::npos) {
      // While the database is down a node retrying all night would add this line at every try:
      // the outage's own lines tell it.
      if (!DatabaseDown()) LogInfo("[ws] WebSocket upgrade request from %s", req.peer_address);
      try {
        HandleWebSocketUpgrade(req, resp);
      } catch (...) {
        // Nor does its refusal when its API key cannot be checked for the outage (a 503).
        const CaughtException ex = DescribeCaught();
        if (AnswerInternalError(resp) == 500)
          LogError("Unhandled exception in /ws upgrade from %s: %s: %s", req.peer_address, ex.type, ex.what);
      }
    } else {
      LogWarning("[ws] /ws request without Upgrade header from %s (method=%s)", req.peer_address, req.method);
      TOVJsonReply::SendError(resp, 400, "WebSocket upgrade required");
    }
    return;
  }

  if (path == "/health") {
    // A monitor probing with HEAD gets the GET answer without its body (the connection leaves
    // it out); a method without a route is answered as under /api/v1.  Only a failure of the
    // check itself reports the server unhealthy.
    const bool head = req.method == "HEAD";
    if (head) req.method = "GET";
    try {
      opts.router->RouteRequest(req, resp);
    } catch (const ERouteNotFound&) {
      AnswerNoRoute(resp);
    } catch (...) {
      resp = TOVHttpResponse{};
      TOVJsonReply::SendError(resp, 500, "Health check error");
    }
    if (head) req.method = "HEAD";
    return;
  }

  if (path.starts_with(kApiPrefix)) {
    try {
      opts.router->RouteRequest(req, resp);
    } catch (const ERouteNotFound&) {
      AnswerNoRoute(resp);
    } catch (...) {
      // A plug-in route may throw anything; the client still gets its answer.
      const CaughtException ex = DescribeCaught();
      if (AnswerInternalError(resp) == 500)
        LogError("Unhandled exception in API handler [%s %s]: %s: %s", req.method, path, ex.type, ex.what);
    }
    return;
  }

  try {
    std::string page_file;
    if (opts.find_admin_page && opts.find_admin_page(path, page_file)) {
      files.ServePluginFile(req, page_file, resp);
    } else if (path.starts_with("/plugins/")) {
      files.ServePluginFile(req, path.substr(9), resp);
    } else {
      files.ServeWebFile(req, path == "/" ? std::string("/index.html") : path, resp);
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

}  // namespace detail

// ---- the /ws hand-over ----------------------------------------------------------------------

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

// ---- the wrapper -----------------------------------------------------------------------------

TOVHttpServerWrapper::TOVHttpServerWrapper() : TOVHttpServerWrapper([] {
  InitTrustedProxies();
  return TOVHttpServerOptions::FromConfig();
}()) {}

TOVHttpServerWrapper::TOVHttpServerWrapper(TOVHttpServerOptions options)
    : core_(std::make_shared<detail::HttpCore>(std::move(options))) {
  try {
    core_->Listen();
  } catch (const std::exception&) {
    listen_error_ = std::current_exception();
  }
  LogInfo("HTTP server configured on %s:%d", core_->opts.address, listen_error_ ? core_->opts.port : core_->port);
  LogInfo("Web root: %s", core_->files.WebRoot());
}

TOVHttpServerWrapper::~TOVHttpServerWrapper() { core_->Shutdown(); }

void TOVHttpServerWrapper::Start() {
  if (listen_error_) std::rethrow_exception(listen_error_);
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
  const TOVSSLType type = SSLTypeFromConfig(min_version);
  if (!InitSharedSSLContext(cert_file, key_file, "")) {
    std::string why = LastSSLInitError();
    throw std::runtime_error(why.empty() ? "TLS set-up failed" : why);
  }
  core_->ssl_type.store(static_cast<int>(type));
  core_->tls.store(true);
}

bool TOVHttpServerWrapper::TLSEnabled() const noexcept { return core_->tls.load(); }
std::uint16_t TOVHttpServerWrapper::Port() const noexcept { return core_->port; }
const std::string& TOVHttpServerWrapper::Address() const noexcept { return core_->opts.address; }
const std::string& TOVHttpServerWrapper::WebRoot() const noexcept { return core_->files.WebRoot(); }
const std::string& TOVHttpServerWrapper::PluginRoot() const noexcept { return core_->files.PluginRoot(); }

std::size_t TOVHttpServerWrapper::ActiveConnections() const { return core_->ActiveConnections(); }
std::size_t TOVHttpServerWrapper::ConnectionThreads() const { return core_->ConnectionThreads(); }

void TOVHttpServerWrapper::HandleRequest(TOVHttpRequest& req, TOVHttpResponse& resp) {
  core_->HandleRequest(req, resp);
}

void TOVHttpServerWrapper::HandleRequestError(const std::exception& e) { core_->HandleRequestError(e); }

void TOVHttpServerWrapper::ServeStaticFile(const TOVHttpRequest& req, const std::string& path,
                                           TOVHttpResponse& resp) {
  core_->files.ServeWebFile(req, path, resp);
}

void TOVHttpServerWrapper::ServePluginFile(const TOVHttpRequest& req, const std::string& rel_path,
                                           TOVHttpResponse& resp) {
  core_->files.ServePluginFile(req, rel_path, resp);
}

std::string TOVHttpServerWrapper::GetMimeType(std::string_view file_name) { return MimeTypeFor(file_name); }

void TOVHttpServerWrapper::HandleWebSocketUpgrade(TOVHttpRequest& req, TOVHttpResponse& resp) {
  core_->HandleWebSocketUpgrade(req, resp);
}

}  // namespace ov
