#include "ov_route_scripts.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>

#include "ov_route_path.h"
#include "ov_route_reply.h"
#include "ov_script_manager.h"

namespace ov {

namespace {

// The manager, or nothing once 503 has been sent.
TOVService<TOVScriptManager>::Ref ScriptMgrOrFail(TOVApiRequest& c) {
  auto mgr = ScriptMgr.Get();
  if (!mgr) SendError(c.resp, 503, "Script manager not initialized");
  return mgr;
}

// The manager and the package name (the last path segment), or nothing once 503 or 400 "Package
// name required" has been sent.
struct TNamedCall {
  TOVService<TOVScriptManager>::Ref mgr;
  std::string name;
};
std::optional<TNamedCall> NamedCallOrFail(TOVApiRequest& c) {
  auto mgr = ScriptMgrOrFail(c);
  if (!mgr) return std::nullopt;
  std::string name = ExtractPathName(c.req);
  if (name.empty()) {
    SendError(c.resp, 400, "Package name required");
    return std::nullopt;
  }
  return TNamedCall{std::move(mgr), std::move(name)};
}

// The manager's answer: the success message, or 400 with its refusal.
void Reply(TOVApiRequest& c, bool ok, const std::string& error, const char* message) {
  if (ok)
    SendSuccess(c.resp, TJSON{{"message", message}});
  else
    SendError(c.resp, 400, error);
}

// The upload's file, private to this request (mode 0600) and in the scripts directory (never the
// system's temporary directory, which may be small or on another file system), removed whatever
// happens here; start-up removes one that a crash left.
class TUploadFile {
 public:
  TUploadFile(const TOVScriptManager& mgr, const std::string& data) : path_(mgr.MakeUploadFile()) {
    const int fd = ::open(path_.c_str(), O_WRONLY | O_TRUNC | O_NOFOLLOW | O_CLOEXEC);
    int err = fd < 0 ? errno : 0;
    for (std::size_t done = 0; err == 0 && done < data.size();) {
      const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) err = n < 0 ? errno : EIO;
      else done += static_cast<std::size_t>(n);
    }
    if (fd >= 0 && ::close(fd) != 0 && err == 0) err = errno;
    if (err != 0) {
      ::unlink(path_.c_str());
      throw std::runtime_error("Cannot write " + path_ + ": " + std::strerror(err));
    }
  }
  ~TUploadFile() { ::unlink(path_.c_str()); }
  TUploadFile(const TUploadFile&) = delete;
  TUploadFile& operator=(const TUploadFile&) = delete;
  const std::string& path() const noexcept { return path_; }

 private:
  std::string path_;
};

using TNamedOperation = bool (TOVScriptManager::*)(const std::string&, std::string&);

// Uninstall, enable and disable: one call with the name.
void RunNamedOperation(TOVApiRequest& c, TNamedOperation op, const char* message) {
  std::optional<TNamedCall> call = NamedCallOrFail(c);
  if (!call) return;
  std::string error;
  const bool ok = (call->mgr.get()->*op)(call->name, error);
  Reply(c, ok, error, message);
}

}  // namespace

void HandleListScripts(TOVApiRequest& c) {
  auto mgr = ScriptMgrOrFail(c);
  if (!mgr) return;
  SendSuccess(c.resp, mgr->ListPackages());
}

void HandleInstallScript(TOVApiRequest& c) {
  auto mgr = ScriptMgrOrFail(c);
  if (!mgr) return;
  if (c.req.body.empty()) {
    SendError(c.resp, 400, "No package data received");
    return;
  }
  const TUploadFile upload(*mgr, c.req.body);
  std::string error;
  const bool ok = mgr->Install(upload.path(), error);
  Reply(c, ok, error, "Package installed successfully");
}

void HandleUninstallScript(TOVApiRequest& c) {
  RunNamedOperation(c, &TOVScriptManager::Uninstall, "Package uninstalled successfully");
}

void HandleEnableScript(TOVApiRequest& c) { RunNamedOperation(c, &TOVScriptManager::Enable, "Package enabled"); }

void HandleDisableScript(TOVApiRequest& c) { RunNamedOperation(c, &TOVScriptManager::Disable, "Package disabled"); }

void HandleGetScriptSettings(TOVApiRequest& c) {
  std::optional<TNamedCall> call = NamedCallOrFail(c);
  if (!call) return;
  SendSuccess(c.resp, call->mgr->GetSettings(call->name));
}

void HandleUpdateScriptSettings(TOVApiRequest& c) {
  std::optional<TNamedCall> call = NamedCallOrFail(c);
  if (!call) return;
  const std::optional<TJSON> body = ParseBodyOrFail(c);
  if (!body) return;
  std::string error;
  const bool ok = call->mgr->UpdateSettings(call->name, *body, error);
  Reply(c, ok, error, "Settings updated");
}

}  // namespace ov
