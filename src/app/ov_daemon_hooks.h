// Callbacks that start-up gives the WebSocket hub, and the web-root watcher's change handler
// with its start-up and shutdown steps.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "ov_json_helpers.h"

namespace ov {

// A registered thin client went away: logs it and fires "ws.client_disconnect".
void HandleWSClientDisconnected(const std::string& client_name, const std::string& client_uuid);
// A node's plugin_call: the plug-in manager's function call; no result while no plug-in
// manager exists.
std::optional<TJSON> HandleWSPluginCall(const std::string& plugin, const std::string& func, const TJSON* args);

// Turns a web-root change into the "web.files.changed" event for web administrators.
class TWebFileChangeHandler {
 public:
  // When WSServer exists: logs "Web files changed: %s — notifying browsers" and broadcasts
  // "web.files.changed" with {"path", "timestamp"} (UTC, "yyyy-mm-ddThh:nn:ssZ").
  void OnFileChanged(const std::string& path);
};

// Console start-up step, after the HTTP server: only while the hub runs, creates
// WebFileWatcher over web_root, its "js" and "css" folders and [paths] plugin_dir (when that
// exists), starts it and logs "Web file watcher started".
void StartupWebFileWatcher(const std::string& web_root);
// Shutdown steps "WebFileWatcher.StopWatching" and "WebFileWatcher.WaitFor"; frees the
// watcher and its handler.  Nothing when there is no watcher.
void ShutdownWebFileWatcher(const std::function<void(const std::string&)>& step);

}  // namespace ov
