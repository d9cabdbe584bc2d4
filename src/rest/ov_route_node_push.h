// Pushing a plug-in package to a node: an administrator uploads it (staged under
// data/plugin_staging and fetched by the node once with a one-time download token) or names
// one from the plug-in registry (the node fetches it from the registry's URL).  The node is
// told over the WebSocket hub ("plugin_install") and the request waits up to a minute for its
// answer.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ov_locks.h"
#include "ov_route_api.h"
#include "ov_route_nodes.h"
#include "ov_security.h"

namespace ov {

inline constexpr const char* kPluginStagingDir = "data/plugin_staging";

// One staged package a node may download once, within kTokenLifetime of being issued.
struct TPluginDownloadToken {
  std::string Token;     // a GUID, compared exactly
  std::string FilePath;  // the staged file
  TOVMonoTime CreatedAt{};
  bool Consumed = false;
  TOVMonoTime ConsumedAt{};
};

// The download tokens of staged packages.  Tokens are GUIDs from the operating system's random
// source; lifetimes are measured on a monotonic clock.  An entry consumed or expired more than
// kTokenRetention ago is dropped when a token is added; until then it still answers
// "consumed" or "expired".
class TOVPluginDownloadTokens {
 public:
  static constexpr std::chrono::seconds kTokenLifetime{300};
  static constexpr std::chrono::hours kTokenRetention{1};

  enum class Redeem : std::uint8_t { Ok, Consumed, Expired, Unknown };

  // clock: the monotonic clock to use (tests inject one); empty = steady_clock::now.
  explicit TOVPluginDownloadTokens(TOVMonoClock clock = {});
  TOVPluginDownloadTokens(const TOVPluginDownloadTokens&) = delete;
  TOVPluginDownloadTokens& operator=(const TOVPluginDownloadTokens&) = delete;

  // Records a token for a staged file.  Takes PluginDownloadLock.
  void Add(const std::string& token, const std::string& file_path) EXCLUDES(PluginDownloadLock);
  // Ok: the token is now consumed and file_path is its file.  Takes PluginDownloadLock; the
  // caller touches the file after it has been left.
  Redeem Take(const std::string& token, std::string& file_path) EXCLUDES(PluginDownloadLock);
  std::size_t Size() const EXCLUDES(PluginDownloadLock);

 private:
  TOVMonoTime Now() const { return clock_ ? clock_() : std::chrono::steady_clock::now(); }

  // ---- Constant after construction ----
  const TOVMonoClock clock_;
  // ---- Guarded by PluginDownloadLock (a leaf: nothing else is done while it is held) ----
  mutable TOVLock PluginDownloadLock{LockLevel::Leaf};
  std::vector<TPluginDownloadToken> tokens_ GUARDED_BY(PluginDownloadLock);
};

// The process's download tokens.
TOVPluginDownloadTokens& PluginDownloadTokens();

// The route table's forms wait waits.push (60 s) for the node and stage uploads under
// kPluginStagingDir; unit tests pass a short wait and a staging directory of their own.
void HandleNodePluginUpload(TOVApiRequest& c);
void HandleNodePluginUpload(TOVApiRequest& c, const TOVNodeWaits& waits, const std::string& staging_dir);
void HandleNodePluginInstall(TOVApiRequest& c);
void HandleNodePluginInstall(TOVApiRequest& c, const TOVNodeWaits& waits);
void HandleNodePluginDownload(TOVApiRequest& c);

}  // namespace ov
