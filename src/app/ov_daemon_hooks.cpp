#include "ov_daemon_hooks.h"

#include <ctime>
#include <filesystem>
#include <memory>

#include "ov_config.h"
#include "ov_event_bus.h"
#include "ov_filewatcher.h"
#include "ov_log.h"
#include "ov_security.h"
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

std::optional<TJSON> HandleWSPluginCall(const std::string& /*plugin*/, const std::string& /*func*/,
                                        const TJSON* /*args*/) {
  // The plug-in manager is not part of the server yet; once it is, this forwards to its
  // function call.
  return std::nullopt;
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
