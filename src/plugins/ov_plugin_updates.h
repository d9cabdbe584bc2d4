// TOVPluginUpdateChecker (global UpdateChecker): checks in with the plug-in registry, sending
// this installation's identity and its enabled plug-ins with their versions, and keeps the
// registry's list of available plug-ins in plugin_updates with an update flag per plug-in.
//
// No lock of its own: calls come from HTTP request threads and the scheduler; each database
// statement runs on a write query (the database write lock), and a check-in's prune holds the
// write lock for the whole prune.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

#include "ov_http_client.h"
#include "ov_json_helpers.h"
#include "ov_service.h"

namespace ov {

inline constexpr const char* kDefaultRegistryURL = "https://registry.orvanta-bbs.net";
inline constexpr std::int32_t kRegistryApiVersion = 2;

// Further installed plug-ins (name -> version text) from outside the plug-in table.
using TExtraPluginsFunc = std::function<std::optional<TJSON>()>;

// A check-in that brought no list: the registry was unreachable, did not answer in time, or
// answered something other than an object with a "plugins" array.  The message says which; it
// is what the administrator and the scheduler's run log are shown.
class ERegistryCheckError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A check-in cut short by CancelTransfers: the server is stopping, and the registry is not at
// fault.  A ServiceUnavailable, so that a REST request that ran the check-in is answered 503
// with this message rather than 502 "Plugin registry unreachable".
class ERegistryCheckCancelled : public ServiceUnavailable {
 public:
  ERegistryCheckCancelled() : ServiceUnavailable("Server is stopping: plugin registry check-in cancelled") {}
};

// The check-in's time-outs: connect 10 s, I/O 15 s, and 30 s for the whole check-in, so that a
// registry that sends a byte now and then cannot hold an administrator's request or the
// scheduled check for long.
TOVHttpClientOptions RegistryHttpOptions();

class TOVPluginUpdateChecker {
 public:
  // Reads [plugins] registry_url (every trailing "/" removed), check_interval and auto_check;
  // http holds the check-in's time-outs (its cancel flag is the checker's own).
  explicit TOVPluginUpdateChecker(const TOVHttpClientOptions& http = RegistryHttpOptions());
  TOVPluginUpdateChecker(const TOVPluginUpdateChecker&) = delete;
  TOVPluginUpdateChecker& operator=(const TOVPluginUpdateChecker&) = delete;

  const std::string& RegistryURL() const noexcept { return registry_url_; }
  std::int32_t CheckInterval() const noexcept { return check_interval_; }
  bool AutoCheck() const noexcept { return auto_check_; }
  // The local time of the last check-in whose reply held a "plugins" array (epoch until then).
  std::chrono::system_clock::time_point LastCheck() const noexcept { return last_check_.load(); }
  // Set before the checker is shared; start-up leaves it unset.
  void SetOnGetExtraPlugins(TExtraPluginsFunc f) { on_get_extra_plugins_ = std::move(f); }

  std::string GetCheckInURL() const { return registry_url_ + "/api/v1/registry/check-in"; }
  // system_config's value for key, else def.
  static std::string GetSystemConfigValue(const std::string& key, const std::string& def);
  static std::string GetPlatformString() { return "linux-x86_64"; }
  // The enabled plug-ins (name -> version), then the extra plug-ins not named yet.
  TJSON BuildInstalledPlugins() const;
  // The check-in request's body (spaced JSON text), members in the registry's order.
  std::string BuildCheckInBody() const;
  // Sends the check-in and returns the reply, a JSON object.  Throws ERegistryCheckError when
  // the registry cannot be reached, times out, or answers anything else (logged "Registry
  // check-in failed: %s" unless the reply was JSON but no object), ERegistryCheckCancelled
  // when CancelTransfers ended it (logged "Registry check-in cancelled: server is stopping");
  // database errors pass on.
  TJSON PostCheckIn() const;
  // Ends every check-in running now, and any started later, within about a tenth of a second:
  // the server is stopping.
  void CancelTransfers() noexcept { cancel_.store(true); }

  // An optional "v", then up to three dot-separated integers; a missing or non-numeric part is
  // 0 and parts after the third are ignored.
  static void ParseVersionParts(const std::string& version, std::int32_t& major, std::int32_t& minor,
                                std::int32_t& patch);
  // 1 when latest is newer than installed, -1 when older, 0 when equal.
  static std::int32_t CompareVersions(const std::string& installed, const std::string& latest);

  // Checks in and rewrites plugin_updates from the reply: one upsert per reported plug-in, then
  // the rows the registry no longer reports are deleted.  An unreachable or silent registry, or
  // a reply without a "plugins" array, changes nothing and throws ERegistryCheckError: "0
  // updates" is only ever the registry's answer.  A cancelled check-in changes nothing either
  // and throws ERegistryCheckCancelled.  The warnings operators watch for are logged
  // too: "Could not reach plugin registry — skipping update check" when the check-in brought no
  // object, 'Registry response has no "plugins" array' for an object without the list.
  // Database errors pass on.
  void CheckForUpdates();
  std::int32_t GetUpdateCount() const;
  // Every plugin_updates row by name.
  TJSON GetAllUpdateInfo() const;
  // The rows with an update, without "has_update".
  TJSON GetAvailableUpdates() const;

 private:
  // Constant after construction.
  std::string registry_url_;
  std::int32_t check_interval_ = 86400;
  bool auto_check_ = true;
  TExtraPluginsFunc on_get_extra_plugins_;
  TOVHttpClientOptions http_options_;

  std::atomic<bool> cancel_{false};
  std::atomic<std::chrono::system_clock::time_point> last_check_{};
};

extern TOVService<TOVPluginUpdateChecker> UpdateChecker;

// Start-up: creates UpdateChecker and logs "Plugin update checker initialized (interval: %ds,
// auto: %s)".
void StartupUpdateChecker();
// Shutdown step "UpdateChecker.Free".
void ShutdownUpdateChecker(const TOVStepFn& step);

}  // namespace ov
