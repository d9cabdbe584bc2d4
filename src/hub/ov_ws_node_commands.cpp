// Node commands and their pending results: a REST call creates a pending result, sends a
// command to one thin client and waits (bounded) for the reply that names its request id.
#include <algorithm>
#include <condition_variable>
#include <initializer_list>
#include <utility>
#include <stdexcept>

#include "ov_format.h"
#include "ov_text.h"
#include "ov_ws_server.h"

namespace ov {

// One awaited reply; every member is guarded by the server's pending_lock_.
struct TOVWSServer::Pending {
  std::string id;
  std::int32_t target = 0;  // the client the command went to; replies from others are dropped
  bool ready = false;
  TJSON result;
  std::condition_variable_any cv;
};

// ---- pending results -----------------------------------------------------------------------------

int TOVWSServer::CreatePendingResult(const std::string& request_id) {
  TOVLockGuard g(pending_lock_);
  if (pending_closed_) throw std::runtime_error("WebSocket server not active");
  const std::string key = ToLowerAscii(request_id);
  if (pending_.count(key)) throw std::runtime_error(Format("Duplicate request id: %s", request_id));
  auto p = std::make_shared<Pending>();
  p->id = request_id;
  auto it = pending_.emplace(key, std::move(p)).first;
  return static_cast<int>(std::distance(pending_.begin(), it));
}

void TOVWSServer::StorePendingResult(const std::string& request_id, TJSON result, std::int32_t from_client) {
  TOVLockGuard g(pending_lock_);
  auto it = pending_.find(ToLowerAscii(request_id));
  if (it == pending_.end()) return;
  Pending& p = *it->second;
  // The first reply from the client the command went to wins; anything else is dropped.
  if (p.ready || p.target == 0 || p.target != from_client) return;
  p.result = std::move(result);
  p.ready = true;
  p.cv.notify_all();
}

std::optional<TJSON> TOVWSServer::WaitForResult(const std::string& request_id, int timeout_ms) {
  TOVUniqueLock lk(pending_lock_);
  const std::string key = ToLowerAscii(request_id);
  auto it = pending_.find(key);
  if (it == pending_.end()) return std::nullopt;
  std::shared_ptr<Pending> p = it->second;
  p->cv.wait_for(lk, std::chrono::milliseconds(std::max(0, timeout_ms)),
                 [&]() REQUIRES(pending_lock_) { return p->ready || pending_closed_; });
  std::optional<TJSON> out;
  if (p->ready) out = std::move(p->result);
  auto again = pending_.find(key);
  if (again != pending_.end() && again->second == p) pending_.erase(again);
  return out;
}

std::optional<TJSON> TOVWSServer::SendCommandWait(std::int32_t client_id, TJSON msg, int timeout_ms) {
  std::string rid;
  {
    TOVLockGuard g(pending_lock_);
    rid = "req_" + std::to_string(next_request_id_++);
  }
  msg["request_id"] = rid;
  CreatePendingResult(rid);
  SendNodeCommand(client_id, rid, std::move(msg));
  return WaitForResult(rid, timeout_ms);
}

void TOVWSServer::OpenPending() {
  TOVLockGuard g(pending_lock_);
  pending_closed_ = false;
}

void TOVWSServer::WakePending() {
  TOVLockGuard g(pending_lock_);
  pending_closed_ = true;
  for (auto& [k, p] : pending_) p->cv.notify_all();
}

// ---- node commands -------------------------------------------------------------------------------

namespace {

// {"type", "request_id", more...}: a command's members in wire order.
TJSON CommandOf(const char* type, const std::string& request_id,
                std::initializer_list<std::pair<const char*, TJSON>> more = {}) {
  TJSON m = TJSON::object();
  m["type"] = type;
  m["request_id"] = request_id;
  for (const auto& [k, v] : more) m[k] = v;
  return m;
}

}  // namespace

// The command goes to one client, and only that client's reply completes its pending result.
void TOVWSServer::SendNodeCommand(std::int32_t client_id, const std::string& request_id, TJSON msg) {
  if (!request_id.empty()) {
    TOVLockGuard g(pending_lock_);
    auto it = pending_.find(ToLowerAscii(request_id));
    if (it != pending_.end()) it->second->target = client_id;
  }
  SendToClient(client_id, msg);
}

void TOVWSServer::SendConfigReload(std::int32_t client_id, const std::string& request_id) {
  TJSON m = TJSON::object({{"type", "config_reload"}});
  if (!request_id.empty()) m["request_id"] = request_id;
  SendNodeCommand(client_id, request_id, std::move(m));
}

void TOVWSServer::SendConfigGet(std::int32_t client_id, const std::string& request_id, const std::string& section) {
  TJSON m = CommandOf("config_get", request_id);
  if (!section.empty()) m["section"] = section;
  SendNodeCommand(client_id, request_id, std::move(m));
}

void TOVWSServer::SendConfigSet(std::int32_t client_id, const std::string& request_id, const std::string& section,
                                const std::string& key, const std::string& value) {
  SendNodeCommand(client_id, request_id,
                  CommandOf("config_set", request_id, {{"section", section}, {"key", key}, {"value", value}}));
}

void TOVWSServer::SendGetPlugins(std::int32_t client_id, const std::string& request_id) {
  SendNodeCommand(client_id, request_id, CommandOf("get_plugins", request_id));
}

void TOVWSServer::SendPluginEnable(std::int32_t client_id, const std::string& request_id, const std::string& name) {
  SendNodeCommand(client_id, request_id, CommandOf("plugin_enable", request_id, {{"name", name}}));
}

void TOVWSServer::SendPluginDisable(std::int32_t client_id, const std::string& request_id, const std::string& name) {
  SendNodeCommand(client_id, request_id, CommandOf("plugin_disable", request_id, {{"name", name}}));
}

void TOVWSServer::SendPluginUninstall(std::int32_t client_id, const std::string& request_id, const std::string& name,
                                      bool purge_data) {
  SendNodeCommand(client_id, request_id,
                  CommandOf("plugin_uninstall", request_id, {{"name", name}, {"purge_data", purge_data}}));
}

void TOVWSServer::SendPluginInstall(std::int32_t client_id, const std::string& request_id,
                                    const std::string& download_url, const std::string& plugin_name) {
  SendNodeCommand(client_id, request_id,
                  CommandOf("plugin_install", request_id, {{"download_url", download_url}, {"plugin_name", plugin_name}}));
}

}  // namespace ov
