// The hub's message protocol: the table of message types and their handlers (registration,
// heartbeats, node state, command and config results, pongs, plug-in calls, status lines,
// door-session routing, event subscriptions of web administrators).  The SQL bridge's three
// handlers run in ov_ws_sqlbridge_exec.cpp.
#include <algorithm>
#include <set>
#include <stdexcept>
#include <string>
#include <unordered_set>
#include <vector>

#include "ov_format.h"
#include "ov_log.h"
#include "ov_text.h"
#include "ov_ws_server.h"

namespace ov {

namespace {

// The parse error text for a message that ParseJsonText refused (the depth limit included),
// found without building a document.
class ErrorSax : public nlohmann::json_sax<TJSON> {
 public:
  std::string error;
  bool null() override { return true; }
  bool boolean(bool) override { return true; }
  bool number_integer(number_integer_t) override { return true; }
  bool number_unsigned(number_unsigned_t) override { return true; }
  bool number_float(number_float_t, const string_t&) override { return true; }
  bool string(string_t&) override { return true; }
  bool binary(binary_t&) override { return true; }
  bool start_object(std::size_t) override { return Enter(); }
  bool key(string_t&) override { return true; }
  bool end_object() override { return Leave(); }
  bool start_array(std::size_t) override { return Enter(); }
  bool end_array() override { return Leave(); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& ex) override {
    error = ex.what();
    return false;
  }

 private:
  bool Enter() {
    if (++depth_ > kMaxJsonDepth) {
      error = Format("nesting deeper than %d levels", kMaxJsonDepth);
      return false;
    }
    return true;
  }
  bool Leave() {
    --depth_;
    return true;
  }
  int depth_ = 0;
};

std::string JsonErrorText(const std::string& text) {
  ErrorSax sax;
  try {
    TJSON::sax_parse(text, &sax);
  } catch (const std::exception& e) {
    return e.what();
  }
  return sax.error.empty() ? std::string("invalid JSON") : sax.error;
}

// The distinct names of a subscribe or unsubscribe message's "events", lower-cased, in the
// message's order; elements that are not text are skipped.
std::vector<std::string> EventNames(const TJSON& msg) {
  std::vector<std::string> names;
  auto it = msg.find("events");
  if (it == msg.end() || !it->is_array()) return names;
  std::unordered_set<std::string> seen;
  for (const auto& e : *it)
    if (e.is_string()) {
      std::string name = ToLowerAscii(e.get<std::string>());
      if (seen.insert(name).second) names.push_back(std::move(name));
    }
  return names;
}

// The text of a protocols element: a string as it is, a number or Boolean as written in JSON.
// null, objects and arrays have no text: the register message cannot be read.
std::string ProtocolText(const TJSON& v) {
  if (v.is_string()) return v.get<std::string>();
  if (v.is_number() || v.is_boolean()) return v.dump();
  throw std::runtime_error(std::string("protocols element of type ") + v.type_name() + " has no text");
}

std::string JoinComma(const std::vector<std::string>& v) {
  std::string r;
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (i) r += ",";
    r += v[i];
  }
  return r;
}

}  // namespace

// ---- message protocol ----------------------------------------------------------------------------

void TOVWSServer::RegisterMessageHandler(const std::string& msg_type, TOVWSMessageHandler handler) {
  auto h = std::make_shared<TOVWSMessageHandler>(std::move(handler));
  TOVLockGuard g(handlers_lock_);
  handlers_[ToLowerAscii(msg_type)] = std::move(h);
}

void TOVWSServer::UnregisterMessageHandler(const std::string& msg_type) {
  TOVLockGuard g(handlers_lock_);
  handlers_.erase(ToLowerAscii(msg_type));
}

void TOVWSServer::RegisterCoreMessageHandlers() {
  using Handler = void (TOVWSServer::*)(std::int32_t, const TJSON&);
  static constexpr struct {
    const char* type;
    Handler fn;
  } kCore[] = {
      {"register", &TOVWSServer::HandleRegister},              // a thin client names itself and its protocols
      {"heartbeat", &TOVWSServer::HandleHeartbeat},            // liveness and the node list
      {"node_update", &TOVWSServer::HandleNodeUpdate},         // the node list alone
      {"command_result", &TOVWSServer::HandleCommandResult},  // answer to a node command
      {"pong", &TOVWSServer::HandlePong},                      // answer to the JSON ping
      {"plugin_call", &TOVWSServer::HandlePluginCall},        // a node calls a server plug-in
      {"status_update", &TOVWSServer::HandleStatusUpdate},    // a status line for the log
      {"config_result", &TOVWSServer::HandleConfigResult},    // answer to config_get / config_set
      {"door_data", &TOVWSServer::HandleDoorData},            // door-session data, either way
      {"door_ready", &TOVWSServer::HandleDoorReady},          // a door server started a session
      {"door_end", &TOVWSServer::HandleDoorEnd},              // a door session ended
      {"subscribe", &TOVWSServer::HandleSubscribe},           // a web administrator adds events
      {"unsubscribe", &TOVWSServer::HandleUnsubscribe},       // a web administrator drops events
      {"db_query", &TOVWSServer::HandleDbQuery},              // SQL bridge: SELECT
      {"db_exec", &TOVWSServer::HandleDbExec},                // SQL bridge: a write or DDL
      {"db_exec_params", &TOVWSServer::HandleDbExecParams},  // SQL bridge: a write with "?" values
  };
  for (const auto& h : kCore) {
    const Handler fn = h.fn;
    RegisterMessageHandler(h.type, [this, fn](std::int32_t id, const TJSON& m) { (this->*fn)(id, m); });
  }
}

void TOVWSServer::HandleMessage(std::int32_t client_id, const std::string& payload) {
  TJSON msg;
  if (!ParseJsonText(payload, msg)) {
    // The parser's text can quote a long token from the message; the log keeps a short form.
    std::string why = JsonErrorText(payload);
    if (why.size() > 200) why = why.substr(0, 200) + "...";
    LogWarning("[ws] Client %d sent invalid JSON: %s", client_id, why);
    return;
  }
  if (!msg.is_object()) {
    LogWarning("[ws] Client %d sent non-object JSON", client_id);
    return;
  }
  const std::string type = JStr(msg, "type");
  std::shared_ptr<TOVWSMessageHandler> h;
  {
    TOVLockGuard g(handlers_lock_);
    auto it = handlers_.find(ToLowerAscii(type));
    if (it != handlers_.end()) h = it->second;
  }
  if (!h) {
    LogDebug("[ws] Client %d sent unknown message type: %s", client_id, type);
    return;
  }
  (*h)(client_id, msg);
}

void TOVWSServer::HandleRegister(std::int32_t id, const TJSON& msg) {
  const std::string name = JStr(msg, "client_name");
  const std::string version = JStr(msg, "version");
  const std::string uuid = JStr(msg, "client_id");
  const std::int32_t max_nodes = ClampToInt32(JInt(msg, "max_nodes", 0));
  const std::string tls = JStr(msg, "tls_version");
  // Everything is read before the slot changes, so a malformed message changes nothing.
  std::vector<std::string> protocols;
  if (auto it = msg.find("protocols"); it != msg.end() && it->is_array()) {
    for (const auto& p : *it) protocols.push_back(ProtocolText(p));
  }
  std::string plugins = "[]";
  if (auto it = msg.find("plugins"); it != msg.end() && it->is_array()) plugins = JsonCompact(*it);

  if (!uuid.empty()) {
    std::int32_t stale = 0;
    {
      TOVLockGuard g(clients_lock_);
      for (auto& s : clients_)
        if (s.Active && s.Info.Registered && s.Info.ID != id && s.Info.ClientUUID == uuid) {
          stale = s.Info.ID;
          break;
        }
    }
    if (stale) {
      LogWarning("[ws] Kicking stale client %d (replaced by new client %d with same client_id \"%s\")", stale, id,
                 uuid);
      DisconnectClient(stale);
    }
  }
  std::string tls_now;
  {
    TOVLockGuard g(clients_lock_);
    Slot* s = FindSlot(id);
    if (!s) return;
    TOVWSClientInfo& c = s->Info;
    c.ClientUUID = uuid;
    c.ClientName = name;
    c.Version = version;
    c.MaxNodes = max_nodes;
    c.Registered = true;
    c.Protocols = protocols;
    c.PluginsJSON = plugins;
    if (c.TLSVersion.empty()) c.TLSVersion = tls;
    tls_now = c.TLSVersion;
  }
  if (!tls_now.empty())
    LogInfo("[ws] Client %d registered as \"%s\" v%s [%s] (protocols: %s, tls: %s)", id, name, version, uuid,
            JoinComma(protocols), tls_now);
  else
    LogInfo("[ws] Client %d registered as \"%s\" v%s [%s] (protocols: %s)", id, name, version, uuid,
            JoinComma(protocols));
  BroadcastNodeState();
}

void TOVWSServer::HandleHeartbeat(std::int32_t id, const TJSON& msg) {
  const std::string tls = JStr(msg, "tls_version");
  std::string nodes_json;
  std::int32_t active = ClampToInt32(JInt(msg, "active_nodes", 0));
  if (auto it = msg.find("nodes"); it != msg.end() && it->is_array()) {
    nodes_json = JsonCompact(*it);
    active = static_cast<std::int32_t>(it->size());
  }
  {
    TOVLockGuard g(clients_lock_);
    Slot* s = FindSlot(id);
    if (!s) return;
    s->Info.LastPong = StreamClock::now();
    if (s->Info.TLSVersion.empty()) s->Info.TLSVersion = tls;
    s->Info.NodesJSON = std::move(nodes_json);
    s->Info.ActiveNodes = active;
  }
  BroadcastNodeState();
}

void TOVWSServer::HandleNodeUpdate(std::int32_t id, const TJSON& msg) {
  if (auto it = msg.find("nodes"); it != msg.end() && it->is_array()) {
    std::string nodes_json = JsonCompact(*it);
    std::int32_t active = static_cast<std::int32_t>(it->size());
    TOVLockGuard g(clients_lock_);
    if (Slot* s = FindSlot(id)) {
      s->Info.NodesJSON = std::move(nodes_json);
      s->Info.ActiveNodes = active;
    }
  }
  BroadcastNodeState();
}

void TOVWSServer::HandleCommandResult(std::int32_t id, const TJSON& msg) {
  const std::int32_t command_id = ClampToInt32(JInt(msg, "command_id", 0));
  const bool success = JBool(msg, "success", false);
  const std::string result = JStr(msg, "result");
  const std::string request_id = JStr(msg, "request_id");
  LogInfo("[ws] Client %d command result: success=%s", id, success ? "true" : "false");
  if (!request_id.empty()) StorePendingResult(request_id, msg, id);
  if (OnCommandResult) OnCommandResult(id, command_id, success, result);
}

void TOVWSServer::HandleConfigResult(std::int32_t id, const TJSON& msg) {
  const std::string request_id = JStr(msg, "request_id");
  LogDebug("[ws] Client %d config result (req=%s)", id, request_id);
  if (!request_id.empty()) StorePendingResult(request_id, msg, id);
}

void TOVWSServer::HandlePong(std::int32_t id, const TJSON&) {
  TOVLockGuard g(clients_lock_);
  if (Slot* s = FindSlot(id)) s->Info.LastPong = StreamClock::now();
}

void TOVWSServer::HandlePluginCall(std::int32_t id, const TJSON& msg) {
  TJSON reply = TJSON::object();
  reply["type"] = "plugin_call_result";
  reply["id"] = JStr(msg, "id");
  const std::string plugin = JStr(msg, "plugin");
  const std::string func = JStr(msg, "function");
  const TJSON* args = nullptr;
  if (auto it = msg.find("args"); it != msg.end() && it->is_object()) args = &*it;
  TJSON result;
  if (!OnPluginCall) {
    result = TJSON::object({{"success", false}, {"error", "No plugin call handler"}});
  } else {
    std::optional<TJSON> r = OnPluginCall(plugin, func, args);
    if (r) result = std::move(*r);
    else result = TJSON::object({{"success", false}, {"error", "No result"}});
  }
  reply["result"] = std::move(result);
  SendToClient(id, reply);
}

void TOVWSServer::HandleStatusUpdate(std::int32_t id, const TJSON& msg) {
  LogDebug("[ws] Client %d status: %s", id, JStr(msg, "event", "?"));
}

// ---- door sessions -------------------------------------------------------------------------------
//
// A route ties a door session to the user's client and the door server's client, so that
// door_data passes straight between the two.

void TOVWSServer::RegisterDoorRoute(std::int32_t session_id, std::int32_t user_client_id,
                                    std::int32_t door_server_client_id) {
  {
    TOVLockGuard g(door_lock_);
    // A session has one route: a newer registration replaces a stale one.
    std::erase_if(door_routes_, [&](const TOVDoorRoute& r) { return r.SessionID == session_id; });
    door_routes_.push_back({session_id, user_client_id, door_server_client_id});
  }
  LogInfo("[ws] Door route registered: session=%d user_client=%d door_server=%d", session_id, user_client_id,
          door_server_client_id);
}

void TOVWSServer::UnregisterDoorRoute(std::int32_t session_id) {
  bool removed = false;
  {
    TOVLockGuard g(door_lock_);
    auto it = std::find_if(door_routes_.begin(), door_routes_.end(),
                           [&](const TOVDoorRoute& r) { return r.SessionID == session_id; });
    if (it != door_routes_.end()) {
      door_routes_.erase(it);
      removed = true;
    }
  }
  if (removed) LogDebug("[ws] Door route removed: session=%d", session_id);
}

bool TOVWSServer::FindDoorRoute(std::int32_t session_id, TOVDoorRoute& route) {
  TOVLockGuard g(door_lock_);
  for (const auto& r : door_routes_)
    if (r.SessionID == session_id) {
      route = r;
      return true;
    }
  return false;
}

std::vector<std::int32_t> TOVWSServer::DropDoorRoutesOf(std::int32_t client_id) {
  std::vector<std::int32_t> dropped;
  TOVLockGuard g(door_lock_);
  for (auto it = door_routes_.begin(); it != door_routes_.end();) {
    if (it->UserClientID == client_id || it->DoorServerClientID == client_id) {
      dropped.push_back(it->SessionID);
      it = door_routes_.erase(it);
    } else {
      ++it;
    }
  }
  return dropped;
}

void TOVWSServer::HandleDoorReady(std::int32_t id, const TJSON& msg) {
  const std::int32_t session = ClampToInt32(JInt(msg, "session_id", 0));
  const bool direct = JBool(msg, "direct_ws_enabled", false);
  const std::int64_t port = JInt(msg, "direct_ws_port", 0);
  const std::string token = JStr(msg, "direct_ws_token");
  LogInfo("[ws] Door ready from client %d, session %d (direct=%s)", id, session, direct ? "yes" : "no");
  std::int32_t user_client = 0;
  if (OnPluginCall) {
    TJSON args = TJSON::object({{"session_id", session}, {"door_server_client_id", id}});
    std::optional<TJSON> r = OnPluginCall("doors", "HandleDoorReady", &args);
    if (r && r->is_object()) user_client = ClampToInt32(JInt(*r, "user_client_id", 0));
  }
  if (user_client <= 0) return;
  RegisterDoorRoute(session, user_client, id);
  std::string door_ip;
  {
    TOVLockGuard g(clients_lock_);
    if (Slot* s = FindSlot(id)) door_ip = s->Info.IPAddress;
  }
  TJSON m = TJSON::object();
  m["type"] = "door_connect";
  m["session_id"] = session;
  if (direct && port >= 1 && !token.empty() && !door_ip.empty()) {
    m["direct_ws_host"] = door_ip;
    m["direct_ws_port"] = port;
    m["direct_ws_token"] = token;
    m["fallback"] = false;
    LogInfo("[ws] Door direct connect: session=%d user_client=%d host=%s:%d", session, user_client, door_ip, port);
  } else {
    m["fallback"] = true;
  }
  LogDebug("[ws] Sending door_connect to client %d (%s)", user_client, JsonCompact(m));
  SendToClient(user_client, m);
  LogDebug("[ws] door_connect sent to client %d", user_client);
}

void TOVWSServer::HandleDoorData(std::int32_t id, const TJSON& msg) {
  const std::int32_t session = ClampToInt32(JInt(msg, "session_id", 0));
  TOVDoorRoute r;
  if (FindDoorRoute(session, r)) {
    if (id == r.UserClientID) {
      SendToClient(r.DoorServerClientID, msg);
      return;
    }
    if (id == r.DoorServerClientID) {
      SendToClient(r.UserClientID, msg);
      return;
    }
  }
  if (OnPluginCall) {
    TJSON args = TJSON::object({{"session_id", session}, {"data", JStr(msg, "data")}});
    OnPluginCall("doors", "RelayInput", &args);
  } else {
    LogDebug("[ws] door_data received but no plugin call handler");
  }
}

void TOVWSServer::HandleDoorEnd(std::int32_t id, const TJSON& msg) {
  const std::int32_t session = ClampToInt32(JInt(msg, "session_id", 0));
  const std::int64_t exit_code = JInt(msg, "exit_code", -1);
  TOVDoorRoute r;
  if (FindDoorRoute(session, r)) {
    if (id == r.DoorServerClientID) SendToClient(r.UserClientID, msg);
    UnregisterDoorRoute(session);
  }
  if (OnPluginCall) {
    TJSON args = TJSON::object({{"session_id", session}, {"exit_code", exit_code}});
    OnPluginCall("doors", "HandleDoorEnded", &args);
  }
}

// ---- web administrators --------------------------------------------------------------------------

void TOVWSServer::HandleSubscribe(std::int32_t id, const TJSON& msg) {
  // The names are prepared before the table is locked: a message may carry any number of
  // them, and the lock is every client's.
  const std::vector<std::string> names = EventNames(msg);
  bool admin = false, capped_now = false;
  std::size_t ignored = 0;
  {
    TOVLockGuard g(clients_lock_);
    Slot* s = FindSlot(id);
    if (s && s->Info.ClientType == ctWebAdmin) {
      admin = true;
      TOVWSClientInfo& c = s->Info;
      c.HasSubscriptions = true;
      const bool was_empty = c.SubscribedEvents.empty();
      // The names are distinct, so at most twice the cap of them are looked at here; the first
      // ones in the message are kept.
      for (std::size_t i = 0; i < names.size(); ++i) {
        if (c.SubscribedEvents.size() >= WS_MAX_SUBSCRIPTIONS) {
          ignored = names.size() - i;
          break;
        }
        c.SubscribedEvents.insert(names[i]);
      }
      if (ignored > 0 && !c.SubscriptionsCapped) c.SubscriptionsCapped = capped_now = true;
      if (was_empty && !c.SubscribedEvents.empty()) subscribed_admins_.fetch_add(1);
    }
  }
  if (capped_now)
    LogWarning("[ws] Web admin %d subscribed to more than %d events; %d names ignored", id,
               static_cast<std::int64_t>(WS_MAX_SUBSCRIPTIONS), static_cast<std::int64_t>(ignored));
  if (admin) LogDebug("[ws] Web admin %d subscribed to events", id);
}

void TOVWSServer::HandleUnsubscribe(std::int32_t id, const TJSON& msg) {
  auto it = msg.find("events");
  if (it == msg.end() || !it->is_array()) return;
  const std::vector<std::string> names = EventNames(msg);
  const std::unordered_set<std::string> drop(names.begin(), names.end());
  TOVLockGuard g(clients_lock_);
  Slot* s = FindSlot(id);
  if (!s || s->Info.ClientType != ctWebAdmin) return;
  std::set<std::string>& events = s->Info.SubscribedEvents;
  const bool was_empty = events.empty();
  // Whichever side is smaller is walked: the set holds at most WS_MAX_SUBSCRIPTIONS names.
  if (names.size() <= events.size()) {
    for (const auto& n : names) events.erase(n);
  } else {
    std::erase_if(events, [&drop](const std::string& e) { return drop.count(e) > 0; });
  }
  if (!was_empty && events.empty()) subscribed_admins_.fetch_sub(1);
}

}  // namespace ov
