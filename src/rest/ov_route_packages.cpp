#include "ov_route_packages.h"

#include <filesystem>
#include <system_error>

#include "ov_client_address.h"
#include "ov_database.h"
#include "ov_format.h"
#include "ov_log.h"
#include "ov_plugin_installer.h"
#include "ov_plugin_manager.h"
#include "ov_plugin_updates.h"
#include "ov_route_busy.h"
#include "ov_route_db.h"
#include "ov_route_reply.h"
#include "ov_scheduler.h"
#include "ov_server_state.h"
#include "ov_text.h"

namespace ov {

namespace fs = std::filesystem;

namespace {

constexpr const char* kMsgNoChecker = "Update checker not initialized";
constexpr const char* kMsgNoInstaller = "Plugin installer not initialized";
constexpr const char* kMsgNameRequired = "Plugin name required";
constexpr const char* kMsgInvalidName = "Invalid plugin name";

const char* ActionText(const TOVInstallResult& r) {
  return r.Action == TOVInstallAction::iaUpdated ? "updated" : "installed";
}

// The installer, or the 503 answer.
TOVService<TOVPluginInstaller>::Ref InstallerOrFail(TOVApiRequest& c) {
  auto installer = PluginInstaller.Get();
  if (!installer) SendError(c.resp, 503, kMsgNoInstaller);
  return installer;
}

// A plug-in name from a request body: given (400 "Plugin name required") and usable as a
// directory name (400 "Invalid plugin name": "..", "a/b" and the like would lead outside the
// plug-in directory).
bool CheckPluginName(TOVApiRequest& c, const std::string& name) {
  if (name.empty()) {
    SendError(c.resp, 400, kMsgNameRequired);
    return false;
  }
  if (!IsSafeName(name)) {
    SendError(c.resp, 400, kMsgInvalidName);
    return false;
  }
  return true;
}

// The busy guard: 409 with the refusal text while the plug-in is loaded and in use.
bool CheckNotBusy(TOVApiRequest& c, const std::string& name) {
  auto mgr = PluginMgr.Get();
  if (!mgr || !mgr->IsPluginLoaded(name)) return true;
  const std::string busy = GetPluginActiveSessionInfo(name);
  if (busy.empty()) return true;
  SendError(c.resp, 409, busy);
  return false;
}

// An install or uninstall that failed: 409 when the package clashes with an installed plug-in,
// else 500; the installer's reason either way.
void SendInstallFailure(TOVApiRequest& c, const TOVInstallResult& r) {
  SendError(c.resp, r.Conflict ? 409 : 500, r.ErrorMessage);
}

// A file removed when the request ends, whatever its outcome.
struct TRemoveOnExit {
  std::string path;
  ~TRemoveOnExit() {
    std::error_code ec;
    if (!path.empty()) fs::remove(path, ec);
  }
};

bool IsPluginPackageName(std::string_view client_name) {
  const std::string lower = ToLowerAscii(client_name);
  auto ends_with = [&](std::string_view ext) {
    return lower.size() >= ext.size() && lower.compare(lower.size() - ext.size(), ext.size(), ext) == 0;
  };
  return ends_with(".ovp") || ends_with(".zip");
}

}  // namespace

/* ---- the update list ---------------------------------------------------------------------- */

void HandlePluginUpdates(TOVApiRequest& c) {
  auto checker = UpdateChecker.Get();
  if (!checker) {
    SendError(c.resp, 503, kMsgNoChecker);
    return;
  }
  SendSuccess(c.resp, checker->GetAllUpdateInfo());
}

void HandlePluginUpdateCheck(TOVApiRequest& c) {
  auto checker = UpdateChecker.Get();
  if (!checker) {
    SendError(c.resp, 503, kMsgNoChecker);
    return;
  }
  // A registry that gave no list is a failed check, never "0 update(s) available".
  try {
    checker->CheckForUpdates();
  } catch (const ERegistryCheckError& e) {
    SendError(c.resp, 502, e.what());
    return;
  }
  const std::int32_t count = checker->GetUpdateCount();
  TJSON data = TJSON::object();
  data["updates_available"] = count;
  data["message"] = Format("%d update(s) available", count);
  SendSuccess(c.resp, std::move(data));
}

void HandlePluginUpdateCount(TOVApiRequest& c) {
  auto checker = UpdateChecker.Get();
  TJSON data = TJSON::object();
  data["count"] = checker ? checker->GetUpdateCount() : 0;
  SendSuccess(c.resp, std::move(data));
}

/* ---- install, upload, uninstall ----------------------------------------------------------- */

void HandleInstallPlugin(TOVApiRequest& c) {
  auto installer = InstallerOrFail(c);
  if (!installer) return;
  std::optional<TJSON> body = ParseBodyOrFail(c);
  if (!body) return;
  const std::string name = JStr(*body, "name");
  std::string version = JStr(*body, "version");
  body.reset();
  if (!CheckPluginName(c, name)) return;

  bool found = false;
  std::string url;
  {
    auto db = RequireDB();
    TOVWriteQuery q = db->NewQuery();
    q.SetSQL("SELECT latest_version, download_url FROM plugin_updates WHERE plugin_name = :pn");
    q.Param("pn", name);
    q.Open();
    if (!q.Eof()) {
      found = true;
      if (version.empty()) version = q.Str("latest_version");
      url = q.Str("download_url");
    }
  }
  if (!found) {
    SendError(c.resp, 404, "Plugin not found in registry. Run \"Check for Updates\" first.");
    return;
  }
  if (url.empty() || version.empty()) {
    SendError(c.resp, 400, "No download URL available for this plugin. Run \"Check for Updates\" first.");
    return;
  }
  // The version names the downloaded file: a registry's or a caller's text, checked like a name.
  if (!IsSafeName(version)) {
    SendError(c.resp, 400, "Invalid plugin version");
    return;
  }
  if (!CheckNotBusy(c, name)) return;

  const TOVInstallResult r = installer->InstallPlugin(name, version, url);
  if (!r.Success) {
    SendInstallFailure(c, r);
    return;
  }
  // The installer has recorded the version installed (the package's, not the one asked for) in
  // the plug-in's row and its update-list rows.
  TJSON data = TJSON::object();
  data["plugin_name"] = r.PluginName;
  data["version"] = r.Version;
  data["action"] = ActionText(r);
  data["restart_required"] = gRestartPending.load();
  SendSuccess(c.resp, std::move(data));
  // The plug-in as installed: the listed name may differ from it in letter case.
  WriteAuditLog(c.user, "plugin_install", r.PluginName, Format("Version %s %s", r.Version, ActionText(r)),
                GetClientIP(c.req));
}

const TOVUploadedFile* UploadedPackageOrFail(TOVApiRequest& c) {
  if (c.req.files.empty()) {
    SendError(c.resp, 400, "No file uploaded");
    return nullptr;
  }
  const TOVUploadedFile& file = c.req.files.front();
  if (!IsPluginPackageName(file.client_name)) {
    SendError(c.resp, 400, "File must be a .ovp or .zip plugin package");
    return nullptr;
  }
  std::error_code ec;
  if (file.temp_path.empty() || !fs::is_regular_file(file.temp_path, ec)) {
    SendError(c.resp, 400, "Upload failed - no file data received");
    return nullptr;
  }
  if (fs::file_size(file.temp_path, ec) == 0 && !ec) {
    SendError(c.resp, 400, "Uploaded file is empty");
    return nullptr;
  }
  return &file;
}

void HandleUploadPlugin(TOVApiRequest& c) {
  auto installer = InstallerOrFail(c);
  if (!installer) return;
  const TOVUploadedFile* upload = UploadedPackageOrFail(c);
  if (!upload) return;
  const TOVUploadedFile& file = *upload;
  TRemoveOnExit staged;
  try {
    staged.path = MakeUniqueFile(installer->StagingDir(), "upload-" + StagingTimeStamp() + "-", ".ovp");
    fs::copy_file(file.temp_path, staged.path, fs::copy_options::overwrite_existing);
  } catch (const std::exception& e) {
    SendError(c.resp, 500, std::string("Failed to stage uploaded file: ") + e.what());
    return;
  }

  const TOVInstallResult r = installer->InstallFromFile(staged.path);
  if (!r.Success) {
    SendInstallFailure(c, r);
    return;
  }
  TJSON data = TJSON::object();
  data["plugin_name"] = r.PluginName;
  data["version"] = r.Version;
  data["action"] = ActionText(r);
  SendSuccess(c.resp, std::move(data));
  WriteAuditLog(c.user, "plugin_upload", r.PluginName,
                Format("Version %s %s (uploaded: %s)", r.Version, ActionText(r), file.client_name), GetClientIP(c.req));
  LogInfo("Plugin %s v%s uploaded and %s by %s", r.PluginName, r.Version, ActionText(r), c.user.Username);
}

void HandleUninstallPlugin(TOVApiRequest& c) {
  auto installer = InstallerOrFail(c);
  if (!installer) return;
  std::optional<TJSON> body;
  if (!TrimAscii(c.req.body).empty()) {
    body = ParseJson(c.req.body);
    if (!body) {
      SendError(c.resp, 400, "Invalid JSON");
      return;
    }
  }
  if (!body || !body->is_object()) {
    SendError(c.resp, 400, "Expected JSON object");
    return;
  }
  const std::string name = JStr(*body, "name");
  const bool purge = JBool(*body, "purge_data", true);
  body.reset();
  if (!CheckPluginName(c, name)) return;
  // A plug-in in the middle of a call is not taken away under it.
  if (!CheckNotBusy(c, name)) return;

  const TOVInstallResult r = installer->UninstallPlugin(name, purge);
  if (!r.Success) {
    SendInstallFailure(c, r);
    return;
  }
  if (auto scheduler = Scheduler.Get()) scheduler->RefreshTasks();
  // The plug-in as installed: the name asked for may differ from it in letter case.
  TJSON data = TJSON::object();
  data["plugin_name"] = r.PluginName;
  data["action"] = "uninstalled";
  SendSuccess(c.resp, std::move(data));
  WriteAuditLog(c.user, "plugin_uninstall", r.PluginName,
                purge ? "Uninstalled (full purge)" : "Uninstalled (keep data)", GetClientIP(c.req));
}

}  // namespace ov
