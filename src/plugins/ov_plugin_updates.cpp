#include "ov_plugin_updates.h"

#include <cstdlib>
#include <ctime>
#include <set>
#include <utility>
#include <vector>

#include "dbapi_dialect.h"
#include "ov_config.h"
#include "ov_consts.h"
#include "ov_database.h"
#include "ov_log.h"
#include "ov_security.h"
#include "ov_text.h"

namespace ov {

TOVService<TOVPluginUpdateChecker> UpdateChecker{"UpdateChecker"};

namespace {

constexpr const char* kNoPluginsArray = "Plugin registry reply has no \"plugins\" array";

// The columns of plugin_updates in the order every upsert binds them (:p1 ...).
const std::vector<std::string> kUpdateColumns = {
    "plugin_name", "installed_version", "latest_version", "display_name", "description",
    "download_url", "repository",        "min_orvanta",    "api_version",  "target",
    "category",    "has_update",         "dependencies",   "checked_at"};

// One reported plug-in, read with the reply's defaults.
struct TRegistryPlugin {
  std::string name, latest, description, target, category, download_url, dependencies;
  std::int64_t api_version = 0;
};

TRegistryPlugin ReadRegistryPlugin(const TJSON& item, const std::string& registry_url) {
  TRegistryPlugin p;
  p.name = JStr(item, "name");
  p.latest = JStr(item, "latest_version");
  p.description = JStr(item, "description");
  p.target = JStr(item, "target");
  p.category = JStr(item, "category");
  p.api_version = JInt(item, "api_version");
  p.download_url = JStr(item, "download_url");
  // A path on the registry becomes a URL on it; no URL stays no URL (the install then says so).
  if (!p.download_url.empty() && p.download_url.find("://") == std::string::npos)
    p.download_url = registry_url + p.download_url;
  const auto deps = item.find("dependencies");
  p.dependencies = deps != item.end() && deps->is_object() ? JsonSpaced(*deps) : "{}";
  return p;
}

// One version part: the leading digits as a number (0 when there are none or too many).
std::int32_t VersionPart(const std::string& s) {
  std::int64_t v = 0;
  std::size_t i = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
    v = v * 10 + (s[i] - '0');
    if (v > INT32_MAX) return 0;
  }
  return i == s.size() && i > 0 ? static_cast<std::int32_t>(v) : 0;
}

TJSON UpdateRowJSON(const TOVQueryBase& q, bool with_flag) {
  TJSON o = TJSON::object();
  for (const char* c : {"plugin_name", "installed_version", "latest_version", "display_name", "description",
                        "download_url", "repository", "min_orvanta"})
    o[c] = q.Str(c);
  o["api_version"] = q.Int("api_version");
  o["target"] = q.Str("target");
  o["category"] = q.Str("category");
  if (with_flag) o["has_update"] = q.Int("has_update") == 1;
  o["dependencies"] = q.Str("dependencies");
  o["checked_at"] = q.Str("checked_at");
  return o;
}

TJSON UpdateRows(const std::string& sql, bool with_flag) {
  auto db = RequireDB();
  TOVWriteQuery q = db->NewQuery();
  q.SetSQL(sql);
  q.Open();
  TJSON out = TJSON::array();
  for (; !q.Eof(); q.Next()) out.push_back(UpdateRowJSON(q, with_flag));
  return out;
}

// Installed plug-ins as (name, version text).
using TInstalledList = std::vector<std::pair<std::string, std::string>>;

TInstalledList StoredVersions(TOVDatabase& db) {
  TInstalledList out;
  TOVWriteQuery q = db.NewQuery();
  q.SetSQL("SELECT plugin_name, plugin_version FROM plugin_state");
  q.Open();
  for (; !q.Eof(); q.Next()) out.emplace_back(q.Str("plugin_name"), q.Str("plugin_version"));
  return out;
}

// The version installed under name.  Names are unique ignoring letter case and the registry
// spells them its own way, so any spelling matches; the exact one first.
std::string InstalledVersion(const TInstalledList& installed, const std::string& name) {
  const std::string* found = nullptr;
  for (const auto& [n, version] : installed) {
    if (n == name) return version;
    if (!found && EqualsFoldCase(n, name)) found = &version;
  }
  return found ? *found : std::string();
}

}  // namespace

TOVHttpClientOptions RegistryHttpOptions() {
  return {.connect_timeout = std::chrono::seconds(10),
          .io_timeout = std::chrono::seconds(15),
          .total_timeout = std::chrono::seconds(30)};
}

TOVPluginUpdateChecker::TOVPluginUpdateChecker(const TOVHttpClientOptions& http) : http_options_(http) {
  http_options_.cancel = &cancel_;
  if (auto cfg = Config.Get()) {
    registry_url_ = cfg->ReadString("plugins", "registry_url", kDefaultRegistryURL);
    check_interval_ = cfg->ReadInteger("plugins", "check_interval", 86400);
    auto_check_ = cfg->ReadBool("plugins", "auto_check", true);
  } else {
    registry_url_ = kDefaultRegistryURL;
  }
  while (!registry_url_.empty() && registry_url_.back() == '/') registry_url_.pop_back();
}

std::string TOVPluginUpdateChecker::GetSystemConfigValue(const std::string& key, const std::string& def) {
  auto db = RequireDB();
  TOVWriteQuery q = db->NewQuery();
  q.SetSQL("SELECT value FROM system_config WHERE " + db->QuoteIdent("key") + " = :k");
  q.Param("k", key);
  q.Open();
  return q.Eof() ? def : q.Str("value");
}

TJSON TOVPluginUpdateChecker::BuildInstalledPlugins() const {
  TJSON out = TJSON::object();
  {
    auto db = RequireDB();
    TOVWriteQuery q = db->NewQuery();
    q.SetSQL("SELECT plugin_name, plugin_version FROM plugin_state WHERE is_enabled = 1");
    q.Open();
    for (; !q.Eof(); q.Next()) out[q.Str("plugin_name")] = q.Str("plugin_version");
  }
  if (on_get_extra_plugins_) {
    if (std::optional<TJSON> extra = on_get_extra_plugins_(); extra && extra->is_object())
      for (const auto& [name, value] : extra->items())
        if (!out.contains(name)) out[name] = value.is_string() ? value.get<std::string>() : JsonCompact(value);
  }
  return out;
}

std::string TOVPluginUpdateChecker::BuildCheckInBody() const {
  TJSON body = TJSON::object();
  body["system_guid"] = GetSystemConfigValue("system_guid", "");
  body["system_name"] = GetSystemConfigValue("bbs_name", "Orvanta BBS");
  body["sysop_name"] = GetSystemConfigValue("sysop_name", "Sysop");
  body["orvanta_version"] = kVersion;
  body["api_version"] = kRegistryApiVersion;
  body["platform"] = GetPlatformString();
  body["plugins"] = BuildInstalledPlugins();
  const std::string api_key = Config.Exists() ? Config->ReadString("plugins", "registry_api_key", "") : "";
  if (!api_key.empty()) body["api_key"] = api_key;
  return JsonSpaced(body);
}

TJSON TOVPluginUpdateChecker::PostCheckIn() const {
  const std::string body = BuildCheckInBody();
  const TOVHttpClient client(http_options_);
  TOVHttpClientReply reply;
  auto failed = [](const std::string& why) {
    LogWarning("Registry check-in failed: %s", why);
    return ERegistryCheckError(why);
  };
  try {
    reply = client.Post(GetCheckInURL(), body, {{"Content-Type", "application/json"}});
  } catch (const EHttpCancelledError&) {
    LogInfo("Registry check-in cancelled: server is stopping");
    throw ERegistryCheckCancelled();
  } catch (const EHttpTimeoutError& e) {
    throw failed(std::string("Plugin registry timed out: ") + e.what());
  } catch (const EHttpClientError& e) {
    throw failed(std::string("Plugin registry unreachable: ") + e.what());
  }
  // The HTTP status is not looked at: a registry may answer its list with any status, and
  // anything that is not the list is refused below.
  std::optional<TJSON> doc = ParseJson(reply.body);
  if (!doc) throw failed("Plugin registry reply is not JSON");
  if (!doc->is_object()) throw ERegistryCheckError(kNoPluginsArray);
  return std::move(*doc);
}

void TOVPluginUpdateChecker::ParseVersionParts(const std::string& version, std::int32_t& major, std::int32_t& minor,
                                               std::int32_t& patch) {
  std::string v = version;
  if (!v.empty() && (v[0] == 'v' || v[0] == 'V')) v.erase(0, 1);
  std::int32_t parts[3] = {0, 0, 0};
  std::size_t p = 0;
  for (int i = 0; i < 3 && p <= v.size(); ++i) {
    std::size_t e = v.find('.', p);
    if (e == std::string::npos) e = v.size();
    parts[i] = VersionPart(v.substr(p, e - p));
    p = e + 1;
  }
  major = parts[0];
  minor = parts[1];
  patch = parts[2];
}

std::int32_t TOVPluginUpdateChecker::CompareVersions(const std::string& installed, const std::string& latest) {
  std::int32_t a[3], b[3];
  ParseVersionParts(installed, a[0], a[1], a[2]);
  ParseVersionParts(latest, b[0], b[1], b[2]);
  for (int i = 0; i < 3; ++i) {
    if (b[i] > a[i]) return 1;
    if (b[i] < a[i]) return -1;
  }
  return 0;
}

void TOVPluginUpdateChecker::CheckForUpdates() {
  LogInfo("Checking in with plugin registry: %s", GetCheckInURL());
  std::optional<TJSON> reply;
  try {
    reply = PostCheckIn();
  } catch (const ERegistryCheckError&) {
    LogWarning("Could not reach plugin registry \xE2\x80\x94 skipping update check");
    throw;
  }
  if (const auto list = reply->find("plugins"); list == reply->end() || !list->is_array()) {
    LogWarning("Registry response has no \"plugins\" array");
    throw ERegistryCheckError(kNoPluginsArray);
  }
  TInstalledList extra;
  if (on_get_extra_plugins_) {
    if (const std::optional<TJSON> more = on_get_extra_plugins_(); more && more->is_object())
      for (const auto& [name, value] : more->items())
        if (value.is_string()) extra.emplace_back(name, value.get<std::string>());
  }
  const auto list = reply->find("plugins");

  int updates = 0;
  std::set<std::string> reported;
  auto db = RequireDB();
  const TInstalledList stored = StoredVersions(*db);
  const std::string upsert = db->Dialect()->UpsertStmt("plugin_updates", kUpdateColumns, {"plugin_name"});
  for (const TJSON& item : *list) {
    if (!item.is_object()) continue;
    const TRegistryPlugin p = ReadRegistryPlugin(item, registry_url_);
    if (p.name.empty()) continue;
    reported.insert(p.name);
    std::string installed = InstalledVersion(stored, p.name);
    if (installed.empty()) installed = InstalledVersion(extra, p.name);
    const bool has_update = !installed.empty() && !p.latest.empty() && CompareVersions(installed, p.latest) == 1;
    if (has_update) ++updates;

    TOVWriteQuery q = db->NewQuery();
    q.SetSQL(upsert);
    q.Param("p1", p.name);
    q.Param("p2", installed);
    q.Param("p3", p.latest);
    q.Param("p4", p.name);
    q.Param("p5", p.description);
    q.Param("p6", p.download_url);
    q.Param("p7", "");
    q.Param("p8", "");
    q.Param("p9", p.api_version);
    q.Param("p10", p.target);
    q.Param("p11", p.category);
    q.Param("p12", has_update ? 1 : 0);
    q.Param("p13", p.dependencies);
    q.Param("p14", FormatUTCText(std::time(nullptr)));
    q.ExecSQL();
    db->Commit();
  }

  // Prune: the rows of plug-ins the registry no longer reports, every name bound (a name is a
  // peer's text).  An empty list empties the table; a list whose entries all lack a name
  // deletes nothing.
  if (list->empty() || !reported.empty()) {
    TOVWriteQuery q = db->NewQuery();
    std::vector<std::string> stale;
    q.SetSQL("SELECT plugin_name FROM plugin_updates");
    q.Open();
    for (; !q.Eof(); q.Next())
      if (!reported.count(q.Str("plugin_name"))) stale.push_back(q.Str("plugin_name"));
    q.Close();
    for (const std::string& name : stale) {
      q.SetSQL("DELETE FROM plugin_updates WHERE plugin_name = :pn");
      q.Param("pn", name);
      q.ExecSQL();
    }
    db->Commit();
  }

  last_check_.store(std::chrono::system_clock::now());
  if (updates > 0)
    LogInfo("Registry check-in complete: %d update(s) available", updates);
  else
    LogInfo("Registry check-in complete: all plugins up to date");
}

std::int32_t TOVPluginUpdateChecker::GetUpdateCount() const {
  auto db = RequireDB();
  TOVWriteQuery q = db->NewQuery();
  q.SetSQL("SELECT COUNT(*) as cnt FROM plugin_updates WHERE has_update = 1");
  q.Open();
  return q.Eof() ? 0 : static_cast<std::int32_t>(q.Int("cnt"));
}

TJSON TOVPluginUpdateChecker::GetAllUpdateInfo() const {
  return UpdateRows("SELECT * FROM plugin_updates ORDER BY plugin_name", true);
}

TJSON TOVPluginUpdateChecker::GetAvailableUpdates() const {
  return UpdateRows("SELECT * FROM plugin_updates WHERE has_update = 1 ORDER BY plugin_name", false);
}

/* ---- start-up and shutdown ---------------------------------------------------------------- */

void StartupUpdateChecker() {
  UpdateChecker.Publish(std::make_unique<TOVPluginUpdateChecker>());
  LogInfo("Plugin update checker initialized (interval: %ds, auto: %s)", UpdateChecker->CheckInterval(),
          UpdateChecker->AutoCheck() ? "yes" : "no");
}

void ShutdownUpdateChecker(const TOVStepFn& step) {
  if (!UpdateChecker.Exists()) return;
  step("UpdateChecker.Free");
  UpdateChecker.Free();
}

}  // namespace ov
