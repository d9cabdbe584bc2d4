// The hub as a service of the process: its start-up and shutdown steps, the HTTP server's
// /ws hand-over and the log sink's push of log lines to web administrators.
#include <algorithm>
#include <chrono>
#include <ctime>

#include "ov_auth.h"
#include "ov_config.h"
#include "ov_event_bus.h"
#include "ov_http_server.h"
#include "ov_http_types.h"
#include "ov_json_reply.h"
#include "ov_listener.h"
#include "ov_log.h"
#include "ov_security.h"
#include "ov_text.h"
#include "ov_ws_server.h"

namespace ov {

TOVService<TOVWSServer> WSServer{"WSServer"};

namespace {

std::string UtcStampMillis() {
  auto now = std::chrono::system_clock::now();
  std::time_t s = std::chrono::system_clock::to_time_t(now);
  long ms = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
  std::tm ut{};
  gmtime_r(&s, &ut);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", ut.tm_year + 1900, ut.tm_mon + 1, ut.tm_mday,
                ut.tm_hour, ut.tm_min, ut.tm_sec, ms);
  return buf;
}

}  // namespace

// ---- start-up and shutdown -----------------------------------------------------------------------

void StartupWSServer(const TOVWSServerHooks& hooks) {
  auto cfg = Config.Get();
  if (!cfg) return;
  if (!cfg->ReadBool("websocket", "enabled", true)) {
    LogInfo("WebSocket server disabled in configuration");
    return;
  }
  try {
    auto ws = std::make_unique<TOVWSServer>(
        cfg->ReadString("websocket", "address", "0.0.0.0"), cfg->ReadInteger("websocket", "port", WS_DEFAULT_PORT),
        cfg->ReadInteger("websocket", "ping_interval", WS_DEFAULT_PING_INTERVAL),
        cfg->ReadBool("websocket", "use_ssl", false), cfg->ReadString("ssl", "cert_file", "data/cert.pem"),
        cfg->ReadString("ssl", "key_file", "data/key.pem"), cfg->ReadString("ssl", "min_version", "tls1.2"));
    ws->OnClientDisconnected = hooks.client_disconnected;
    ws->OnPluginCall = hooks.plugin_call;
    ws->OnGetServerStatus = hooks.server_status;
    ws->OnGetServerNode = hooks.server_node;
    // Hub connections count towards the per-address connection limit.
    ws->OnConnectionOpened = [](const std::string& ip) {
      if (auto rl = RateLimiter.Get()) rl->ConnectionOpened(ip);
    };
    ws->OnConnectionClosed = [](const std::string& ip) {
      if (auto rl = RateLimiter.Get()) rl->ConnectionClosed(ip);
    };
    // The hub port consults the IP blacklist as the HTTP port's gate does.
    ws->IsBannedFn = [](const std::string& ip) {
      auto blacklist = IPBlacklist.Get();
      return blacklist && blacklist->IsBanned(ip);
    };
    // Each hub client holds its socket.
    RaiseOpenFileLimit();
    ws->Start();
    WSServer.Publish(std::move(ws));
    if (auto bus = EventBus.Get())
      bus->SetOnBroadcast([](const std::string& type, const TJSON* data) {
        if (auto hub = WSServer.Get()) hub->HandleEventBroadcast(type, data);
      });
  } catch (const std::exception& e) {
    LogError("WebSocket server failed to start: %s", e.what());
  }
}

void ShutdownWSServer(const std::function<void(const std::string&)>& step) {
  if (!WSServer.Exists()) return;
  if (step) step("WSServer.Stop");
  // Events fired from now on no longer reach the hub.
  if (auto bus = EventBus.Get()) bus->ClearOnBroadcast();
  if (auto hub = WSServer.Get()) hub->Stop();
  if (step) step("WSServer.Free");
  WSServer.Free();
}

namespace {

// The token of a web administrator: the text after the first "token=" in the raw query up to
// the next "&" (not decoded), else a bearer header.
std::string UpgradeToken(const TOVHttpRequest& req) {
  std::string token;
  if (std::size_t p = req.query.find("token="); p != std::string::npos) {
    std::size_t end = req.query.find('&', p + 6);
    token = req.query.substr(p + 6, end == std::string::npos ? std::string::npos : end - (p + 6));
  }
  const std::string auth = req.Header("Authorization");
  if (token.empty() && auth.size() > 7 && EqualsIgnoreCase(auth.substr(0, 7), "Bearer ")) token = auth.substr(7);
  return token;
}

}  // namespace

void HandleWSUpgradeRequest(TOVHttpRequest& req, TOVHttpResponse& resp) {
  // A valid API key makes a thin client, whatever else the request carries; otherwise an
  // administrator's token makes a web administrator.  The hub authenticates again itself.
  TOVAuthUser user;
  const std::string api_key = req.Header("X-API-Key");
  const bool thin = !api_key.empty() && ValidateAPIKey(api_key, user);
  bool admin = false;
  if (!thin) {
    const std::string token = UpgradeToken(req);
    admin = !token.empty() && TOVAuth::ValidateJWT(token, user) && user.IsAdmin;
  }
  if (!thin && !admin) {
    TOVJsonReply::SendError(resp, 401, "Unauthorized");
    return;
  }
  auto hub = WSServer.Get();
  if (!hub || !hub->Active() || !req.connection) {
    TOVJsonReply::SendError(resp, 503, "WebSocket server not available");
    return;
  }
  // The 101 is sent only once the hub has a thread for the client.
  if (hub->TakeOverUpgrade([&req] { return AcceptWebSocketUpgrade(req); }, req.peer_address, admin) == 0)
    TOVJsonReply::SendError(resp, 503, "WebSocket server not available");
}

void PushLogEntryToAdmins(const std::string& level, const std::string& source, const std::string& category,
                          const std::string& message) {
  try {
    auto hub = WSServer.Get();
    if (!hub || !hub->Active() || !hub->HasSubscribers("log_entry")) return;
    TJSON d = TJSON::object();
    d["timestamp"] = UtcStampMillis();
    d["level"] = level;
    d["source"] = source;
    d["category"] = category;
    d["message"] = message;
    hub->BroadcastToWebAdmins("log_entry", &d);
  } catch (...) {
    // A failing push never affects logging.
  }
}

}  // namespace ov
