#include "ov_daemon_hooks.h"

#include <ctime>
#include <filesystem>
#include <memory>

#include "ov_config.h"
#include "ov_database.h"
#include "ov_event_bus.h"
#include "ov_filewatcher.h"
#include "ov_log.h"
#include "ov_plugin_manager.h"
#include "ov_route_restart.h"
#include "ov_security.h"
#include "ov_server_state.h"
#include "ov_ws_server.h"

namespace ov {

void HandleWSClientDisconnected(const std::string& client_name, const std::string& client_uuid) {
  LogInfo("Thin client disconnected: %s (UUID: %s) \xE2\x80\x94 firing cleanup event", client_name, client_uuid);
  if (auto bus = EventBus.Get()) {
    TJSON data = TJSON::object();
    data["client_name"] = client_name;
    data["client_uuid"] = client_uuid;
    bus->Fire("_system", "ws.client_disconnect", &data);
  }
}

std::optional<TJSON> HandleWSPluginCall(const std::string& plugin, const std::string& func, const TJSON* args) {
  auto mgr = PluginMgr.Get();
  if (!mgr) return std::nullopt;
  try {
    std::unique_ptr<TJSON> result = mgr->CallPluginFunction(plugin, func, args);
    if (!result) return std::nullopt;
    return std::move(*result);
  } catch (const std::exception& e) {
    // The node gets the reason either way; a failure for the outage alone adds no line.
    if (!FailedForOutage(e)) LogWarning("[ws] Plugin call %s.%s failed: %s", plugin, func, e.what());
    TJSON failed = TJSON::object();
    failed["success"] = false;
    failed["error"] = e.what();
    return failed;
  }
}

// ---- plug-ins reported by thin clients -----------------------------------------------------------

namespace {
// A member that is a non-empty string, else "".
std::string NonEmptyText(const TJSON& o, const char* key) {
  auto it = o.find(key);
  return it != o.end() && it->is_string() ? it->get<std::string>() : std::string();
}
}  // namespace

TJSON ThinClientPlugins(const TJSON& clients) {
  TJSON result = TJSON::object();
  if (!clients.is_array()) return result;
  for (const auto& client : clients) {
    if (!client.is_object()) continue;
    auto plugins = client.find("plugins");
    if (plugins == client.end() || !plugins->is_array()) continue;
    for (const auto& p : *plugins) {
      if (!p.is_object()) continue;
      std::string name = NonEmptyText(p, "name"), version = NonEmptyText(p, "version");
      if (name.empty() || version.empty() || result.contains(name)) continue;
      result[name] = std::move(version);
    }
  }
  return result;
}

TJSON TUpdateCheckerHelper::GetThinClientPlugins() {
  auto hub = WSServer.Get();
  return hub ? ThinClientPlugins(hub->GetClientsJSON()) : TJSON::object();
}

// ---- restart monitor ----------------------------------------------------------------------------

TOVService<TOVRestartMonitor> RestartMonitor{"RestartMonitor"};

TOVRestartMonitor::TOVRestartMonitor(std::chrono::milliseconds check_every) : check_every_(check_every) {
  thread_ = std::thread([this] { Execute(); });
}

TOVRestartMonitor::~TOVRestartMonitor() {
  Terminate();
  WaitFor();
}

void TOVRestartMonitor::Terminate() noexcept {
  {
    TOVLockGuard g(lock_);
    terminated_ = true;
  }
  wake_.notify_all();
}

void TOVRestartMonitor::WaitFor() noexcept {
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void TOVRestartMonitor::Execute() {
  for (;;) {
    {
      TOVUniqueLock g(lock_);
      if (wake_.wait_for(g, check_every_, [this]() REQUIRES(lock_) { return terminated_; })) return;
    }
    if (!gRestartWhenIdle.load() || !gRestartPending.load()) continue;
    std::int32_t active = 0;
    try {
      active = GetActiveBBSSessions();
    } catch (const std::exception&) {
      continue;  // the database cannot tell now (an outage): not idle, ask again later
    }
    if (active == 0) break;
    LogDebug("Restart monitor: %d active BBS session(s) \xE2\x80\x94 waiting", active);
  }
  LogInfo("Restart monitor: no active BBS sessions \xE2\x80\x94 initiating restart");
  RequestServerStop();
}

void StartupRestartMonitor() { RestartMonitor.Publish(std::make_unique<TOVRestartMonitor>()); }

void ShutdownRestartMonitor(const std::function<void(const std::string&)>& step) {
  StopThreadService(RestartMonitor, step, "RestartMonitor.Terminate", &TOVRestartMonitor::Terminate,
                    "RestartMonitor.WaitFor", &TOVRestartMonitor::WaitFor);
}

// ---- web-root watcher ----------------------------------------------------------------------

void TWebFileChangeHandler::OnFileChanged(const std::string& path) {
  auto ws = WSServer.Get();
  if (!ws) return;
  LogInfo("Web files changed: %s \xE2\x80\x94 notifying browsers", path);
  std::string stamp = FormatUTCText(std::time(nullptr));  // "yyyy-mm-dd hh:nn:ss"
  stamp[10] = 'T';
  stamp += 'Z';
  TJSON data = TJSON::object();
  data["path"] = path;
  data["timestamp"] = stamp;
  ws->BroadcastToWebAdmins("web.files.changed", &data);
}

void StartupWebFileWatcher(const std::string& web_root) {
  if (!WSServer.Exists()) return;
  // The watcher owns its handler; both go when the watcher is freed.
  auto handler = std::make_shared<TWebFileChangeHandler>();
  auto watcher =
      std::make_unique<TFileWatcher>([handler](const std::string& name) { handler->OnFileChanged(name); });
  const std::filesystem::path root(web_root);
  watcher->AddDirectory(web_root);
  watcher->AddDirectory((root / "js").string());
  watcher->AddDirectory((root / "css").string());
  // AddDirectory ignores a plug-in directory that does not exist.
  watcher->AddDirectory(Config->PluginDir());
  watcher->Start();
  WebFileWatcher.Publish(std::move(watcher));
  LogInfo("Web file watcher started");
}

void ShutdownWebFileWatcher(const std::function<void(const std::string&)>& step) {
  StopThreadService(WebFileWatcher, step, "WebFileWatcher.StopWatching", &TFileWatcher::StopWatching,
                    "WebFileWatcher.WaitFor", &TFileWatcher::WaitFor);
}

}  // namespace ov
