#include "ov_route_nodes.h"
#include "ov_plugin_manager.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <utility>

#include "ov_config.h"
#include "ov_consts.h"
#include "ov_database.h"
#include "ov_guid.h"
#include "ov_http_server.h"
#include "ov_route_db.h"
#include "ov_route_path.h"
#include "ov_route_reply.h"
#include "ov_server_state.h"

namespace ov {

namespace {

constexpr const char* kNodeColumns =
    "id, client_name, last_heartbeat, status, uptime, active_nodes, protocols, version, ip_address, created_at";

TJSON NodeItem(const TOVQueryBase& q) {
  TJSON o = TJSON::object();
  o["id"] = q.Int("id");
  o["client_name"] = q.Str("client_name");
  o["last_heartbeat"] = q.Str("last_heartbeat");
  o["status"] = q.Str("status");
  o["uptime"] = q.Int("uptime");
  o["active_nodes"] = q.Int("active_nodes");
  o["protocols"] = q.Str("protocols");
  o["version"] = q.Str("version");
  o["ip_address"] = q.Str("ip_address");
  o["created_at"] = q.Str("created_at");
  return o;
}

}  // namespace

// ---- the server's own node entry ----------------------------------------------------------------

TJSON BuildServerNodeJSON() {
  auto cfg = Config.Get();
  const bool tls = cfg && cfg->ServerUseSSL();
  auto hub = WSServer.Get();
  const bool hub_active = hub && hub->Active();
  using namespace std::chrono;
  const auto up_ms = duration_cast<milliseconds>(system_clock::now() - GetServerStartTime()).count();

  TJSON o = TJSON::object();
  o["id"] = 0;
  o["client_name"] = cfg ? cfg->ReadString("server", "name", kProductName) : std::string(kProductName);
  o["version"] = kVersion;
  o["ip_address"] = cfg ? cfg->ServerAddress() + ":" + std::to_string(cfg->ServerPort()) : std::string();
  o["active_nodes"] = 0;
  o["max_nodes"] = 0;
  o["uptime"] = static_cast<std::int64_t>(std::llround(static_cast<double>(up_ms) / 1000.0));
  o["status"] = "online";
  o["is_server"] = true;
  TJSON protocols = TJSON::array({"http"});
  if (tls) protocols.push_back("https");
  if (hub_active) protocols.push_back("websocket");
  o["protocols"] = std::move(protocols);
  o["plugins_loaded"] = static_cast<std::int64_t>(LoadedPluginCount());
  o["ws_clients"] = hub_active ? hub->GetClientCount() : 0;
  // Nodes reach the hub through the /ws upgrade on the HTTP port.
  if (hub_active && cfg) o["ws_port"] = cfg->ServerPort();
  if (tls) o["tls_version"] = cfg->ReadString("ssl", "min_version", "tls1.2");
  return o;
}

// ---- waiting for a node's reply -----------------------------------------------------------------

TOVWSRequest::TOVWSRequest(TOVWSServer& hub, std::string_view prefix)
    : hub_(hub), id_(std::string(prefix) + TOVGuid::Generate()) {
  hub_.CreatePendingResult(id_);
}

TOVWSRequest::~TOVWSRequest() {
  // The hub removes an entry when its wait ends, whatever the outcome; a wait of 0 ms is how
  // an entry whose command never got that far (a send that threw) is removed.
  if (!done_) {
    try {
      hub_.WaitForResult(id_, 0);
    } catch (...) {
    }
  }
}

std::optional<TJSON> TOVWSRequest::Wait(std::chrono::milliseconds timeout) {
  done_ = true;
  const auto ms = std::clamp<std::chrono::milliseconds::rep>(timeout.count(), 0, std::numeric_limits<int>::max());
  return hub_.WaitForResult(id_, static_cast<int>(ms));
}

bool ReturnWSResult(TOVHttpResponse& resp, TOVWSRequest& request, std::chrono::milliseconds timeout,
                    std::string_view timeout_message) {
  std::optional<TJSON> reply = request.Wait(timeout);
  if (!reply) {
    SendError(resp, 504, timeout_message);
    return false;
  }
  SendSuccess(resp, std::move(*reply));
  return true;
}

std::optional<TOVNodeTarget> NodeTargetOrFail(TOVApiRequest& c) {
  const std::int64_t id = ExtractPathID(c.req);
  if (id < 1 || id > std::numeric_limits<std::int32_t>::max()) {
    SendError(c.resp, 400, kMsgInvalidNodeID);
    return std::nullopt;
  }
  TOVNodeTarget t{static_cast<std::int32_t>(id), WSServer.Get()};
  if (!t.hub || !t.hub->Active()) {
    SendError(c.resp, 503, kMsgHubNotActive);
    return std::nullopt;
  }
  return t;
}

// ---- heartbeat, list, one node ------------------------------------------------------------------

void HandleNodeHeartbeat(TOVApiRequest& c) {
  std::optional<TJSON> body = ParseBodyOrFail(c);
  if (!body) return;
  std::string ip = GetClientIP(c.req);
  if (ip.empty()) ip = c.req.Header("X-Forwarded-For");

  auto db = RequireDB();
  // One write query holds the write lock from the look-up to the commit, so two heartbeats of
  // one name can never both insert.
  TOVWriteQuery q = db->NewQuery();
  q.SetSQL("SELECT id FROM thin_client_nodes WHERE client_name = :name");
  q.Param("name", JStr(*body, "client_name"));
  q.Open();
  const bool exists = !q.Eof();
  q.Close();
  if (exists) {
    q.SetSQL("UPDATE thin_client_nodes SET last_heartbeat = " + db->NowExpr() +
             ", status = 'online', uptime = :uptime, active_nodes = :anodes, protocols = :protos, version = :ver, "
             "ip_address = :ip WHERE client_name = :cname");
  } else {
    q.SetSQL(
        "INSERT INTO thin_client_nodes (client_name, last_heartbeat, status, uptime, active_nodes, protocols, "
        "version, ip_address) VALUES (:cname, " +
        db->NowExpr() + ", 'online', :uptime, :anodes, :protos, :ver, :ip)");
  }
  q.Param("cname", JStr(*body, "client_name"));
  q.Param("uptime", JInt(*body, "uptime"));
  q.Param("anodes", JInt(*body, "active_nodes"));
  q.Param("protos", JStr(*body, "protocols", "[]"));
  q.Param("ver", JStr(*body, "version"));
  q.Param("ip", ip);
  q.ExecSQL();
  db->Commit();
  SendSuccess(c.resp, "Heartbeat received");
}

void HandleListNodes(TOVApiRequest& c) {
  // While the hub has clients (a web administrator counts), its own list is the truth.
  if (auto hub = WSServer.Get(); hub && hub->Active() && hub->GetClientCount() > 0) {
    TJSON nodes = hub->GetClientsJSON();
    nodes.insert(nodes.begin(), BuildServerNodeJSON());
    SendSuccess(c.resp, std::move(nodes));
    return;
  }
  TJSON nodes = TJSON::array({BuildServerNodeJSON()});
  {
    auto db = RequireDB();
    db->ExecSQL("UPDATE thin_client_nodes SET status = 'offline' WHERE last_heartbeat < " +
                db->DateAddExpr(-90, duSecond) + " AND status = 'online'");
  }
  for (auto& n : ReadList(std::string("SELECT ") + kNodeColumns +
                              " FROM thin_client_nodes ORDER BY status DESC, client_name ASC",
                          NodeItem))
    nodes.push_back(std::move(n));
  SendSuccess(c.resp, std::move(nodes));
}

void HandleGetNode(TOVApiRequest& c) {
  const std::int64_t id = ExtractPathID(c.req);
  if (id < 0) {
    SendError(c.resp, 400, kMsgInvalidNodeID);
    return;
  }
  std::optional<TJSON> item;
  {
    auto db = RequireDB();
    TOVWriteQuery q = db->NewQuery();
    q.SetSQL(std::string("SELECT ") + kNodeColumns + " FROM thin_client_nodes WHERE id = :id");
    q.Param("id", id);
    q.Open();
    if (!q.Eof()) item = NodeItem(q);
  }
  if (!item) {
    SendError(c.resp, 404, "Node not found");
    return;
  }
  SendSuccess(c.resp, std::move(*item));
}

// ---- node commands ------------------------------------------------------------------------------

namespace {

using TOVNodeSend = void (*)(TOVWSServer& hub, std::int32_t client, const std::string& request_id, const TJSON& body);

struct TOVNodeCommand {
  const char* name;                               // the body's "command", compared exactly
  std::chrono::milliseconds TOVNodeWaits::*wait;  // how long the REST request waits for the node
  bool needs_section_key;                         // 400 "Missing section or key" unless both are given
  TOVNodeSend send;                               // the hub operation, with its members read from the body
};

const TOVNodeCommand kNodeCommands[] = {
    {"config_reload", &TOVNodeWaits::command, false,
     [](TOVWSServer& hub, std::int32_t id, const std::string& rid, const TJSON&) { hub.SendConfigReload(id, rid); }},
    {"config_get", &TOVNodeWaits::command, false,
     [](TOVWSServer& hub, std::int32_t id, const std::string& rid, const TJSON& b) {
       hub.SendConfigGet(id, rid, JStr(b, "section"));
     }},
    {"config_set", &TOVNodeWaits::command, true,
     [](TOVWSServer& hub, std::int32_t id, const std::string& rid, const TJSON& b) {
       hub.SendConfigSet(id, rid, JStr(b, "section"), JStr(b, "key"), JStr(b, "value"));
     }},
    {"get_plugins", &TOVNodeWaits::command, false,
     [](TOVWSServer& hub, std::int32_t id, const std::string& rid, const TJSON&) { hub.SendGetPlugins(id, rid); }},
    {"plugin_enable", &TOVNodeWaits::command, false,
     [](TOVWSServer& hub, std::int32_t id, const std::string& rid, const TJSON& b) {
       hub.SendPluginEnable(id, rid, JStr(b, "name"));
     }},
    {"plugin_disable", &TOVNodeWaits::command, false,
     [](TOVWSServer& hub, std::int32_t id, const std::string& rid, const TJSON& b) {
       hub.SendPluginDisable(id, rid, JStr(b, "name"));
     }},
    {"plugin_uninstall", &TOVNodeWaits::uninstall, false,
     [](TOVWSServer& hub, std::int32_t id, const std::string& rid, const TJSON& b) {
       hub.SendPluginUninstall(id, rid, JStr(b, "name"), JBool(b, "purge_data"));
     }},
};

}  // namespace

void HandleNodeCommand(TOVApiRequest& c) { HandleNodeCommand(c, TOVNodeWaits{}); }

void HandleNodeCommand(TOVApiRequest& c, const TOVNodeWaits& waits) {
  std::optional<TOVNodeTarget> target = NodeTargetOrFail(c);
  if (!target) return;
  std::optional<TJSON> body = ParseBodyOrFail(c);
  if (!body) return;
  const std::string command = JStr(*body, "command");
  const auto cmd = std::find_if(std::begin(kNodeCommands), std::end(kNodeCommands),
                                [&](const TOVNodeCommand& k) { return command == k.name; });
  if (cmd == std::end(kNodeCommands)) {
    SendError(c.resp, 400, "Unknown command: " + command);
    return;
  }
  // Every check of the body comes before the pending result: a refused request leaves nothing
  // behind and sends nothing.
  if (cmd->needs_section_key && (JStr(*body, "section").empty() || JStr(*body, "key").empty())) {
    SendError(c.resp, 400, "Missing section or key");
    return;
  }
  TOVWSRequest request(*target->hub);
  cmd->send(*target->hub, target->client_id, request.Id(), *body);
  ReturnWSResult(c.resp, request, waits.*(cmd->wait));
}

}  // namespace ov
