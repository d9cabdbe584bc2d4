#include "ov_notifications.h"

#include <charconv>
#include <thread>
#include <vector>

#include "ov_database.h"
#include "ov_http_client.h"
#include "ov_json_helpers.h"
#include "ov_log.h"
#include "ov_text.h"

namespace ov {

TOVService<TOVNotificationManager> NotificationMgr;

namespace {

constexpr const char* kTestTitle = "Orvanta BBS Test Notification";
constexpr const char* kTestMessage = "This is a test notification from your Orvanta BBS server.";
// Once cancelled, a transfer ends within about a second (libcurl's progress callback).
constexpr auto kCancelWait = std::chrono::milliseconds(3000);

int LevelRank(std::string_view level) {
  static constexpr std::string_view kLevels[] = {"debug", "info", "warning", "error"};
  const std::string l = ToLowerAscii(level);
  for (int i = 0; i < 4; ++i)
    if (l == kLevels[i]) return i;
  return -1;
}

// A header value from text that may come from a log source: no line breaks (no injected
// header lines), no NUL.
std::string HeaderValue(std::string_view s) {
  std::string out;
  for (char c : s)
    if (c != '\r' && c != '\n' && c != '\0') out.push_back(c);
  return out;
}

// Headers and body of one notification request.
struct NotifyRequest {
  TOVHttpHeaders headers;
  std::string body;
};

bool BuildRequest(const std::string& method, const std::string& title, const std::string& message,
                  const std::string& priority, NotifyRequest& r) {
  using M = TOVNotificationManager;
  if (method == "ntfy") {
    r.headers.emplace_back("Title", HeaderValue(title));
    if (!priority.empty()) r.headers.emplace_back("Priority", HeaderValue(priority));
    r.headers.emplace_back("Content-Type", "text/plain");
    r.body = message;
  } else if (method == "discord") {
    r.headers.emplace_back("Content-Type", "application/json");
    r.body = "{\"embeds\":[{\"title\":" + M::StringToJSONString(title) +
             ",\"description\":" + M::StringToJSONString(message) + ",\"color\":16711680}]}";
  } else if (method == "webhook") {
    r.headers.emplace_back("Content-Type", "application/json");
    r.body = "{\"title\":" + M::StringToJSONString(title) + ",\"message\":" + M::StringToJSONString(message) +
             ",\"source\":\"orvanta-bbs\"}";
  } else {
    return false;
  }
  return true;
}

}  // namespace

// The running sender threads: counted so that the manager can wait for them, and cancelled
// together.
struct TOVNotificationManager::Senders {
  std::mutex mu;
  std::condition_variable cv;
  int active = 0;  // guarded by mu
  std::atomic<bool> cancel{false};

  // Waits up to d for every sender to end; true when none is left.
  bool WaitIdle(std::chrono::milliseconds d) {
    std::unique_lock<std::mutex> lk(mu);
    return cv.wait_for(lk, d, [this] { return active == 0; });
  }
  void Ended() {
    std::lock_guard<std::mutex> g(mu);
    --active;
    cv.notify_all();
  }
};

TOVNotificationManager::TOVNotificationManager() : TOVNotificationManager(Tuning{}) {}

TOVNotificationManager::TOVNotificationManager(Tuning tuning)
    : tuning_(std::move(tuning)), senders_(std::make_shared<Senders>()) {}

TOVNotificationManager::~TOVNotificationManager() {
  if (senders_->WaitIdle(tuning_.free_wait)) return;
  senders_->cancel.store(true);
  if (!senders_->WaitIdle(kCancelWait))
    LogWarning("[notifications] %d sender(s) still running at shutdown", ActiveSenders());
}

int TOVNotificationManager::ActiveSenders() const {
  std::lock_guard<std::mutex> g(senders_->mu);
  return senders_->active;
}

std::int64_t TOVNotificationManager::NowMs() const {
  if (tuning_.now_ms) return tuning_.now_ms();
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string TOVNotificationManager::StringToJSONString(std::string_view s) {
  const std::string text = ToValidUtf8(s);
  std::string out = "\"";
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '\r': break;
      default:
        if (c < 0x20)
          AppendControlEscape(out, c);
        else
          out.push_back(ch);
    }
  }
  out.push_back('"');
  return out;
}

std::string TOVNotificationManager::GetConfigValue(const std::string& key, const std::string& def) const {
  auto db = DB.Get();
  if (!db) return def;
  try {
    auto q = db->NewReadQuery();
    q.SetSQL("SELECT value FROM system_config WHERE " + db->QuoteIdent("key") + " = :k");
    q.Param("k", key);
    q.Open();
    if (q.Eof()) return def;
    return q.Str("value");
  } catch (...) {
    return def;
  }
}

bool TOVNotificationManager::LevelMeetsThreshold(std::string_view level, std::string_view min_level) {
  const int rank = LevelRank(level);
  return rank >= 0 && rank >= LevelRank(min_level);
}

bool TOVNotificationManager::IsInCooldown(const std::string& source, std::int32_t seconds) {
  if (seconds <= 0) return false;
  const std::int64_t now = NowMs();
  std::lock_guard<std::mutex> g(lock_);
  auto [it, added] = cooldown_.try_emplace(source, now);
  if (added) return false;
  if (now - it->second >= static_cast<std::int64_t>(seconds) * 1000) {
    it->second = now;
    return false;
  }
  return true;
}

void TOVNotificationManager::ProcessLogEntry(const std::string& level, const std::string& source,
                                             const std::string& /*category*/, const std::string& message) {
  if (source == "notifications") return;
  if (GetConfigValue("notify_enabled", "0") != "1") return;
  if (!LevelMeetsThreshold(level, GetConfigValue("notify_min_level", "warning"))) return;
  const std::string cooldown_text = GetConfigValue("notify_cooldown", "60");
  std::int32_t cooldown = 60;
  const char* end = cooldown_text.data() + cooldown_text.size();
  std::int32_t parsed = 0;
  auto [p, ec] = std::from_chars(cooldown_text.data(), end, parsed);
  if (ec == std::errc() && p == end) cooldown = parsed;
  if (IsInCooldown(source, cooldown)) return;
  SendToTargets("Orvanta BBS [" + ToUpperAscii(level) + "] " + source, message);
}

void TOVNotificationManager::SendTestNotification() {
  const int n = SendToTargets(kTestTitle, kTestMessage);
  if (n > 0)
    LogInfo("[notifications] Test notification dispatched to %d backend(s)", n);
  else
    LogWarning("[notifications] Test requested but no notification URLs configured");
}

int TOVNotificationManager::SendToTargets(const std::string& title, const std::string& message) {
  struct Target {
    const char* method;
    const char* url_key;
  };
  static constexpr Target kTargets[] = {
      {"ntfy", "notify_ntfy_url"}, {"discord", "notify_discord_url"}, {"webhook", "notify_webhook_url"}};
  int started = 0;
  for (const Target& t : kTargets) {
    const std::string url = GetConfigValue(t.url_key, "");
    if (url.empty()) continue;
    const std::string priority =
        std::string_view(t.method) == "ntfy" ? GetConfigValue("notify_ntfy_priority", "high") : std::string();
    StartSender(t.method, url, title, message, priority);
    ++started;
  }
  return started;
}

void TOVNotificationManager::StartSender(const std::string& method, const std::string& url, const std::string& title,
                                         const std::string& message, const std::string& priority) {
  NotifyRequest req;
  if (!BuildRequest(method, title, message, priority, req)) return;
  TOVHttpClientOptions opts;
  opts.connect_timeout = tuning_.connect_timeout;
  opts.io_timeout = tuning_.io_timeout;
  opts.max_redirects = 5;
  std::shared_ptr<Senders> senders = senders_;
  opts.cancel = &senders->cancel;
  {
    std::lock_guard<std::mutex> g(senders->mu);
    ++senders->active;
  }
  auto run = [senders, method, url, req = std::move(req), opts]() {
    try {
      TOVHttpClient(opts).Post(url, req.body, req.headers);
    } catch (const std::exception& e) {
      LogDebug("[notifications] Failed to send %s notification: %s", method, e.what());
    }
    senders->Ended();
  };
  try {
    // Detached: the thread holds only the shared sender state, which outlives the manager.
    std::thread(std::move(run)).detach();
  } catch (const std::exception& e) {
    senders->Ended();
    LogDebug("[notifications] Failed to send %s notification: %s", method, e.what());
  }
}

}  // namespace ov
