#include "ov_route_node_push.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "ov_database.h"
#include "ov_format.h"
#include "ov_guid.h"
#include "ov_http_server.h"
#include "ov_route_db.h"
#include "ov_route_nodes.h"
#include "ov_route_packages.h"
#include "ov_route_path.h"
#include "ov_route_reply.h"

namespace ov {

namespace fs = std::filesystem;

// ---- download tokens ----------------------------------------------------------------------------

TOVPluginDownloadTokens::TOVPluginDownloadTokens(TOVMonoClock clock) : clock_(std::move(clock)) {}

void TOVPluginDownloadTokens::Add(const std::string& token, const std::string& file_path) {
  const TOVMonoTime now = Now();
  TOVLockGuard g(PluginDownloadLock);
  // Entries stay long enough after their end to keep answering "consumed" or "expired", but
  // not for ever: the list would otherwise grow with every push the process makes.
  std::erase_if(tokens_, [&](const TPluginDownloadToken& t) {
    if (t.Consumed) return now - t.ConsumedAt > kTokenRetention;
    return now - t.CreatedAt > kTokenLifetime + kTokenRetention;
  });
  tokens_.push_back({token, file_path, now, false, {}});
}

TOVPluginDownloadTokens::Redeem TOVPluginDownloadTokens::Take(const std::string& token, std::string& file_path) {
  const TOVMonoTime now = Now();
  TOVLockGuard g(PluginDownloadLock);
  auto it = std::find_if(tokens_.begin(), tokens_.end(), [&](const TPluginDownloadToken& t) { return t.Token == token; });
  if (it == tokens_.end()) return Redeem::Unknown;
  if (it->Consumed) return Redeem::Consumed;
  if (now - it->CreatedAt > kTokenLifetime) return Redeem::Expired;
  it->Consumed = true;
  it->ConsumedAt = now;
  file_path = it->FilePath;
  return Redeem::Ok;
}

std::size_t TOVPluginDownloadTokens::Size() const {
  TOVLockGuard g(PluginDownloadLock);
  return tokens_.size();
}

TOVPluginDownloadTokens& PluginDownloadTokens() {
  static TOVPluginDownloadTokens tokens;
  return tokens;
}

// ---- pushing a package --------------------------------------------------------------------------

namespace {

constexpr const char* kMsgPushTimeout = "Client did not respond in time (plugin may still be installing)";

// A staged package, deleted when the request ends whatever its outcome.
class TOVStagedFile {
 public:
  TOVStagedFile() = default;
  TOVStagedFile(const TOVStagedFile&) = delete;
  TOVStagedFile& operator=(const TOVStagedFile&) = delete;
  ~TOVStagedFile() { Remove(); }
  void Set(std::string path) { path_ = std::move(path); }
  void Remove() noexcept {
    if (path_.empty()) return;
    std::error_code ec;
    fs::remove(path_, ec);
    path_.clear();
  }

 private:
  std::string path_;
};

// Tells the node to install the package at url and waits for its answer: 200 with the node's
// reply, or 504.  The request id starts "cmd_".  True when the node answered.
bool PushToNode(TOVApiRequest& c, TOVNodeTarget& target, const std::string& url, const std::string& package,
                std::chrono::milliseconds wait) {
  TOVWSRequest request(*target.hub, "cmd_");
  target.hub->SendPluginInstall(target.client_id, request.Id(), url, package);
  return ReturnWSResult(c.resp, request, wait, kMsgPushTimeout);
}

}  // namespace

void HandleNodePluginUpload(TOVApiRequest& c) { HandleNodePluginUpload(c, TOVNodeWaits{}, kPluginStagingDir); }

void HandleNodePluginUpload(TOVApiRequest& c, const TOVNodeWaits& waits, const std::string& staging_dir) {
  std::optional<TOVNodeTarget> target = NodeTargetOrFail(c);
  if (!target) return;
  const TOVUploadedFile* upload = UploadedPackageOrFail(c);
  if (!upload) return;
  const TOVUploadedFile& file = *upload;

  const std::string token = TOVGuid::Generate();
  const std::string staged_path = staging_dir + "/" + token + ".ovp";
  TOVStagedFile staged;
  try {
    fs::create_directories(staging_dir);
    staged.Set(staged_path);  // a copy that fails half-way is removed too
    fs::copy_file(file.temp_path, staged_path);
  } catch (const std::exception& e) {
    SendError(c.resp, 500, std::string("Failed to stage uploaded file: ") + e.what());
    return;
  }
  PluginDownloadTokens().Add(token, staged_path);

  const bool answered = PushToNode(c, *target, "/nodes/plugins/download/" + token, file.client_name, waits.push);
  staged.Remove();
  if (answered)
    WriteAuditLog(c.user, "node_plugin_upload", std::to_string(target->client_id),
                  Format("Uploaded %s to node %d", file.client_name, target->client_id), GetClientIP(c.req));
}

void HandleNodePluginInstall(TOVApiRequest& c) { HandleNodePluginInstall(c, TOVNodeWaits{}); }

void HandleNodePluginInstall(TOVApiRequest& c, const TOVNodeWaits& waits) {
  std::optional<TOVNodeTarget> target = NodeTargetOrFail(c);
  if (!target) return;
  std::optional<TJSON> body = ParseBodyOrFail(c);
  if (!body) return;
  const std::string name = JStr(*body, "name");
  if (name.empty()) {
    SendError(c.resp, 400, "Plugin name required");
    return;
  }
  bool found = false;
  std::string latest, url, plugin_target;
  {
    auto db = RequireDB();
    TOVWriteQuery q = db->NewQuery();
    q.SetSQL("SELECT latest_version, download_url, target FROM plugin_updates WHERE plugin_name = :pn");
    q.Param("pn", name);
    q.Open();
    if (!q.Eof()) {
      found = true;
      latest = q.Str("latest_version");
      url = q.Str("download_url");
      plugin_target = q.Str("target");
    }
  }
  if (!found) {
    SendError(c.resp, 404, "Plugin not found in registry. Run \"Check for Updates\" first.");
    return;
  }
  if (plugin_target != "client") {
    SendError(c.resp, 400, "Plugin is not a client plugin");
    return;
  }
  if (url.empty() || latest.empty()) {
    SendError(c.resp, 400, "No download URL available. Run \"Check for Updates\" first.");
    return;
  }
  if (PushToNode(c, *target, url, name + "-" + latest + ".ovp", waits.push))
    WriteAuditLog(c.user, "node_plugin_install", std::to_string(target->client_id),
                  Format("Installed %s v%s on node %d from registry", name, latest, target->client_id),
                  GetClientIP(c.req));
}

void HandleNodePluginDownload(TOVApiRequest& c) {
  const std::string token = ExtractPathSegment(c.req, 0);
  if (token.empty()) {
    SendError(c.resp, 400, "Missing download token");
    return;
  }
  std::string path;
  switch (PluginDownloadTokens().Take(token, path)) {
    case TOVPluginDownloadTokens::Redeem::Consumed:
      SendError(c.resp, 410, "Token already consumed");
      return;
    case TOVPluginDownloadTokens::Redeem::Expired:
      SendError(c.resp, 410, "Token expired");
      return;
    case TOVPluginDownloadTokens::Redeem::Unknown:
      SendError(c.resp, 404, "Invalid download token");
      return;
    case TOVPluginDownloadTokens::Redeem::Ok:
      break;
  }
  // The file is read after the token lock was left; the upload request may have deleted it.
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) {
    SendError(c.resp, 404, "Staged file not found");
    return;
  }
  std::string bytes;
  try {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open file");
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) throw std::runtime_error("read error");
  } catch (const std::exception& e) {
    SendError(c.resp, 500, std::string("Error streaming file: ") + e.what());
    return;
  }
  c.resp.status = 200;
  c.resp.SetContent("application/octet-stream", std::move(bytes));
}

}  // namespace ov
