// The HTTP(S) front end: listener, event loops, handler threads, request reading and dispatch.
// This header also brings the request reader, the client address and the static files, so
// callers of the server need one include.
//
// A few event-loop threads accept connections and read their request heads (TLS handshake
// included) without a thread per connection; static and plug-in files, the preflight and the
// refusals are answered from the loop.  Every other request runs on a handler thread of its
// own, taken from a cache (an idle thread is reused; a new one is started only when none is
// idle, up to a cap; past the cap the loop answers 503).  One request per connection; every
// answer carries "Connection: close".
//
// Connections cost descriptors, not threads, while they wait for their request head, so the
// loops guard the descriptors: the front end holds at most a budget of connections (from the
// open-file limit), one address at most a share of it waiting for their heads.  A connection
// past its address's share, or arriving when nothing can make room, is answered 503 with
// Retry-After at the door; at the budget the oldest waiting connection of the address holding
// the most is closed to make room for the newcomer.
//
// Request dispatch order: security gate, OPTIONS, /ws, /health, /api/v1, plug-in pages,
// /plugins/, static files.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "ov_client_address.h"
#include "ov_http_request_reader.h"
#include "ov_http_types.h"
#include "ov_service.h"
#include "ov_static_files.h"
#include "ov_stream.h"

namespace ov {

class TOVRouter;

// A stream taken away from its HTTP connection (the /ws hand-over): the new owner gets the
// bytes that had already been read past the request.
struct TOVDetachedStream {
  std::unique_ptr<Stream> stream;
  std::string pending;
};

// The connection a request arrived on (TOVHttpRequest::connection).
class TOVHttpConnection {
 public:
  virtual ~TOVHttpConnection() = default;
  virtual Stream& GetStream() = 0;
  virtual bool Detached() const noexcept = 0;
  // Sends resp exactly as given (no "Connection: close" is added), then hands the stream
  // over: from here on the handler thread neither reads, writes nor closes it.  Throws
  // std::runtime_error when the answer cannot be sent or the stream was handed over already.
  virtual TOVDetachedStream SendAndDetach(const TOVHttpResponse& resp) = 0;
};

struct TOVHttpServerOptions {
  std::string address = "0.0.0.0";
  int port = 8080;                    // 0: any free port (see Port())
  std::string web_root = "web";       // as configured; resolved by the server
  std::string plugin_root = "plugins";
  // Deadline for the request head (and the TLS handshake) from accept, and the longest
  // pause allowed while reading a body or writing an answer.
  std::chrono::milliseconds io_timeout{30000};
  std::uint64_t max_body_bytes = 100ull * 1024 * 1024;
  // Handler threads at most (busy or idle); past the cap a request that needs one is answered
  // 503 "Server busy" from its loop.
  std::size_t max_connections = 1024;
  // Connections the front end may hold at once (waiting on a loop, answered there or served on
  // a handler thread); at the budget the oldest waiting connection of the address holding the
  // most makes room for a newcomer.  0: the open-file limit (raised to its hard limit, up to
  // 65536, when the server is made) less a reserve for everything else the process opens.
  std::size_t descriptor_budget = 0;
  // Connections one address may hold waiting for their request head (TLS handshake included);
  // past it the address's next connection is answered 503 "Too many connections".  0: a
  // quarter of the budget.
  std::size_t waiting_per_address = 0;
  // Event-loop threads; 0: one per processor, at most 8.
  std::size_t event_loops = 0;
  std::chrono::milliseconds thread_idle_timeout{30000};
  // The longest the stop waits for running connections, all steps included (see
  // on_busy_shutdown); connections that have not sent their request head are cut at once.
  std::chrono::milliseconds shutdown_wait{10000};
  std::string upload_dir;             // multipart file parts; empty: the system temp dir
  // Routes for /health and /api/v1; null: the process router (HttpRouter()).
  TOVRouter* router = nullptr;

  // Security gate checks.  Empty: no client is banned and every request is allowed.
  // is_banned may block (ask the database); is_banned_now answers without blocking when it
  // can (nullopt otherwise) and is asked on an event loop, so that a request the loop can
  // answer needs no thread.  Without is_banned_now the gate of a request with is_banned set
  // always runs on a handler thread.  allow_request must not block.
  std::function<bool(const std::string& client_ip)> is_banned;
  std::function<std::optional<bool>(const std::string& client_ip)> is_banned_now;
  std::function<bool(const std::string& client_ip)> allow_request;
  // Addresses the per-address share does not apply to (the console, trusted proxies), asked
  // on the accepting loop (must not block).  Empty: none.  An exception counts as false.
  std::function<bool(const std::string& peer_ip)> share_exempt;
  // The /ws hand-over, called once the request carries a Sec-WebSocket-Key: it answers the
  // request itself (401, 503, ...) or takes the stream with AcceptWebSocketUpgrade.  Empty:
  // 503 "WebSocket server not available".
  std::function<void(TOVHttpRequest& req, TOVHttpResponse& resp)> websocket_upgrade;
  // The plug-in page look-up (on an event loop: must not block), asked for every path that is
  // not /ws, /health or /api/v1: true
  // when the path is a plug-in's administration page, with rel_file set to its file relative
  // to the plug-in directory.  Empty: no path is a plug-in page.
  std::function<bool(const std::string& path, std::string& rel_file)> find_admin_page;
  // Called once by the stop, on the stopping thread, when requests are still busy half-way
  // through shutdown_wait: whatever keeps handlers running long (database statements) is told
  // to end.  At the end of the wait the connections left are stopped and their sockets shut
  // down; a handler that still runs then is left to end on its own.  It runs on a thread of
  // its own, and the stop does not wait for it past its bound; an exception is logged.
  std::function<void()> on_busy_shutdown;

  // [server] address/port, [paths] web_root/plugin_dir, [security] connection_timeout,
  // [server] max_body_mb.  Throws when Config is absent.
  static TOVHttpServerOptions FromConfig();
};

namespace detail {
class HttpCore;
}

class TOVHttpServerWrapper {
 public:
  // From Config; also builds the trusted-proxy list.  Binds the listener; a port in use or a
  // bad address is kept and thrown (std::runtime_error) by Start, so start-up goes on to its
  // end and the failure is the accept loop's.
  TOVHttpServerWrapper();
  explicit TOVHttpServerWrapper(TOVHttpServerOptions options);
  // Stops, then waits (bounded by shutdown_wait in all) for running connections.
  ~TOVHttpServerWrapper();
  TOVHttpServerWrapper(const TOVHttpServerWrapper&) = delete;
  TOVHttpServerWrapper& operator=(const TOVHttpServerWrapper&) = delete;

  // Runs the accept loop on the calling thread until Stop.  A Stop that came first makes
  // it return at once.  Throws the listener's failure first.
  void Start();
  // Callable from any thread, any number of times.
  void Stop() noexcept;
  // Switches to TLS on the shared context; throws when the certificate or key cannot be
  // loaded or do not belong together.  min_version is [ssl] min_version (SSLTypeFromConfig:
  // "tls1.2_only" caps connections at TLS 1.2).  Call before Start.
  void EnableTLS(const std::string& cert_file, const std::string& key_file, const std::string& min_version);
  bool TLSEnabled() const noexcept;

  // The port listened on; 0 when the listener failed.
  std::uint16_t Port() const noexcept;
  const std::string& Address() const noexcept;
  const std::string& WebRoot() const noexcept;
  const std::string& PluginRoot() const noexcept;
  // Connections accepted and not yet finished (waiting on a loop or served on a handler thread).
  std::size_t ActiveConnections() const;
  // Handler threads alive (busy or idle).
  std::size_t ConnectionThreads() const;

  // The whole request handling on a request that has been read (gate included).
  void HandleRequest(TOVHttpRequest& req, TOVHttpResponse& resp);
  // Logs "HTTP request error: %s: %s".
  void HandleRequestError(const std::exception& e);
  // path: the decoded request path, beginning with "/".
  void ServeStaticFile(const TOVHttpRequest& req, const std::string& path, TOVHttpResponse& resp);
  // rel_path: relative to the plug-in directory.
  void ServePluginFile(const TOVHttpRequest& req, const std::string& rel_path, TOVHttpResponse& resp);
  static std::string GetMimeType(std::string_view file_name);
  void HandleWebSocketUpgrade(TOVHttpRequest& req, TOVHttpResponse& resp);

 private:
  std::shared_ptr<detail::HttpCore> core_;
  std::exception_ptr listen_error_;  // constant after construction
};

extern TOVService<TOVHttpServerWrapper> HttpSrv;

// Sec-WebSocket-Accept for a Sec-WebSocket-Key.
std::string WebSocketAcceptKey(std::string_view key);
// For the /ws hand-over: answers 101 Switching Protocols and takes the stream (with any bytes
// read past the head) away from the HTTP connection, which then neither reads, writes nor
// closes it.  Throws std::runtime_error when the request has no connection or the answer
// cannot be sent.
TOVDetachedStream AcceptWebSocketUpgrade(TOVHttpRequest& req);

}  // namespace ov
