// Callbacks that start-up gives the WebSocket hub, and the web-root watcher's change handler
// with its start-up and shutdown steps.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "ov_json_helpers.h"
#include "ov_locks.h"
#include "ov_service.h"

namespace ov {

// A registered thin client went away: logs it and fires "ws.client_disconnect".
void HandleWSClientDisconnected(const std::string& client_name, const std::string& client_uuid);
// A node's plugin_call: the plug-in manager's function call (with the hub's own access to the
// "_system" functions); no result while no plug-in manager exists.  A failing call answers
// {"success": false, "error": <message>}: the node's connection stays.
std::optional<TJSON> HandleWSPluginCall(const std::string& plugin, const std::string& func, const TJSON* args);

// The update checker's source of plug-ins reported by nodes: name -> version of every plug-in in
// the "plugins" arrays of the hub's connected clients (elements that are objects with a
// non-empty "name" and "version"; the first client to report a name wins).  An empty object
// while no hub runs.  Start-up does not hand it to the update checker: the hub starts after it.
struct TUpdateCheckerHelper {
  static TJSON GetThinClientPlugins();
};
// The same over a client list in the form of the hub's GetClientsJSON.
TJSON ThinClientPlugins(const TJSON& clients);

// The restart monitor (global RestartMonitor): a thread that, while a restart "when idle" is
// pending, checks every 10 s for active BBS sessions and stops the server once there are none
// ("Restart monitor: no active BBS sessions — initiating restart"); while sessions are active it
// logs their count at debug level.  It stops the server at most once.
class TOVRestartMonitor {
 public:
  // check_every: the time between checks (10 s in the server).
  explicit TOVRestartMonitor(std::chrono::milliseconds check_every = std::chrono::seconds(10));
  ~TOVRestartMonitor();  // Terminate and WaitFor
  TOVRestartMonitor(const TOVRestartMonitor&) = delete;
  TOVRestartMonitor& operator=(const TOVRestartMonitor&) = delete;

  // Asks the thread to end; it does at once, also in the middle of its wait.
  void Terminate() noexcept EXCLUDES(lock_);
  // Joins the thread.
  void WaitFor() noexcept;

 private:
  void Execute() EXCLUDES(lock_);

  // ---- Constant after construction ----
  const std::chrono::milliseconds check_every_;
  // ---- Guarded by lock_ (a leaf: guards terminated_ for the waits) ----
  TOVLock lock_{LockLevel::Leaf};
  std::condition_variable_any wake_;
  bool terminated_ GUARDED_BY(lock_) = false;
  // ---- Started by the constructor, joined by WaitFor ----
  std::thread thread_;
};

extern TOVService<TOVRestartMonitor> RestartMonitor;

// Start-up: the monitor's thread, the last service before "server.start".  Shutdown:
// "RestartMonitor.Terminate", "RestartMonitor.WaitFor", right after "server.stop".
void StartupRestartMonitor();
void ShutdownRestartMonitor(const std::function<void(const std::string&)>& step);

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
