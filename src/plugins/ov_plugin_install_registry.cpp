#include <filesystem>
#include <system_error>

#include "ov_database.h"
#include "ov_log.h"
#include "ov_plugin_install_parts.h"
#include "ov_plugin_installer.h"
#include "ov_plugin_updates.h"
#include "ov_service.h"
#include "ov_text.h"

namespace ov {

namespace fs = std::filesystem;

/* ---- downloads ---------------------------------------------------------------------------- */

TOVHttpClientOptions PackageDownloadOptions() {
  return {.connect_timeout = std::chrono::seconds(15),
          .io_timeout = std::chrono::seconds(60),
          .total_timeout = std::chrono::minutes(10)};
}

bool TOVPluginInstaller::DownloadPackage(const std::string& url, const std::string& dest_path) {
  try {
    const TOVHttpClient client(http_options_);
    client.DownloadToFile(url, dest_path);
    return true;
  } catch (const EHttpStatusError& e) {
    LogWarning("Plugin download HTTP %d from %s", e.Status(), url);
  } catch (const EHttpCancelledError&) {
    // The server is stopping (CancelTransfers): the registry is not at fault, and the request
    // is told to try again once the server is back.
    std::error_code ec;
    fs::remove(dest_path, ec);
    LogInfo("Plugin download cancelled: server is stopping (%s)", url);
    throw ServiceUnavailable("Server is stopping: package download cancelled");
  } catch (const std::exception& e) {
    LogWarning("Plugin download failed: %s (%s)", e.what(), url);
  }
  std::error_code ec;
  fs::remove(dest_path, ec);
  return false;
}

TOVInstallResult TOVPluginInstaller::InstallPlugin(const std::string& name, const std::string& version,
                                                   const std::string& url) {
  TOVInstallResult r;
  r.PluginName = name;
  r.Version = version;
  if (!IsSafeName(name)) {
    r.ErrorMessage = "Invalid plugin name";
    return r;
  }
  if (!IsSafeName(version)) {
    r.ErrorMessage = "Invalid plugin version";
    return r;
  }
  std::string file;
  try {
    file = MakeUniqueFile(staging_dir_, name + "-" + version + "-", ".ovp");
  } catch (const std::exception& e) {
    LogWarning("Plugin download failed: %s (%s)", e.what(), url);
    r.ErrorMessage = "Failed to download plugin package";
    return r;
  }
  struct FileGuard {
    std::string path;
    ~FileGuard() {
      std::error_code ec;
      fs::remove(path, ec);
    }
  } guard{file};
  LogInfo("Downloading plugin package: %s v%s", name, version);
  if (!DownloadPackage(url, file)) {
    r.ErrorMessage = "Failed to download plugin package";
    return r;
  }
  return InstallFromFile(file, name);
}

/* ---- the installed version where the update list reads it --------------------------------- */

std::vector<std::pair<std::string, std::string>> ListedUpdates(TOVWriteQuery& q, const std::string& name) {
  std::vector<std::pair<std::string, std::string>> out;
  q.SetSQL("SELECT plugin_name, latest_version FROM plugin_updates");
  q.Open();
  for (; !q.Eof(); q.Next())
    if (EqualsFoldCase(q.Str("plugin_name"), name)) out.emplace_back(q.Str("plugin_name"), q.Str("latest_version"));
  q.Close();
  return out;
}

void TOVPluginInstaller::RecordInstalledVersion(const std::string& name, const std::string& version) {
  try {
    auto db = DB.Get();
    if (!db) return;
    TOVWriteQuery q = db->NewQuery();
    q.SetSQL("UPDATE plugin_state SET plugin_version = :pv, updated_at = " + db->NowExpr() + " WHERE plugin_name = :pn");
    q.Param("pv", version);
    q.Param("pn", name);
    q.ExecSQL();
    for (const auto& [listed, latest] : ListedUpdates(q, name)) {
      q.SetSQL("UPDATE plugin_updates SET installed_version = :v, has_update = :u WHERE plugin_name = :pn");
      q.Param("v", version);
      q.Param("u", std::int64_t{TOVPluginUpdateChecker::CompareVersions(version, latest) == 1 ? 1 : 0});
      q.Param("pn", listed);
      q.ExecSQL();
    }
    db->Commit();
  } catch (const std::exception& e) {
    LogWarning("Could not record version %s of plugin %s: %s", version, name, e.what());
  }
}

}  // namespace ov
