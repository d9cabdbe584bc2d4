// Outbound notifications of log entries to an ntfy-style push topic, a Discord webhook and a
// generic JSON webhook, configured by the notify_* rows of system_config.
//
// Start-up does not create the manager and nothing calls it: the server sends no
// notification.  It is kept ready for a caller (a log hook, a REST test button).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "ov_service.h"

namespace ov {

class TOVNotificationManager {
 public:
  struct Tuning {
    std::chrono::milliseconds connect_timeout{10000};
    std::chrono::milliseconds io_timeout{10000};
    // How long freeing the manager lets running senders finish before it cancels them.
    std::chrono::milliseconds free_wait{5000};
    // Monotonic milliseconds for the cooldown; empty: the steady clock.
    std::function<std::int64_t()> now_ms;
  };

  TOVNotificationManager();
  explicit TOVNotificationManager(Tuning tuning);
  // Waits (bounded by free_wait) for running senders, cancels what is left and waits for
  // that too: no sender outlives the manager by more than about a second, and none touches it.
  ~TOVNotificationManager();
  TOVNotificationManager(const TOVNotificationManager&) = delete;
  TOVNotificationManager& operator=(const TOVNotificationManager&) = delete;

  // Any thread.  Sends nothing for the source "notifications" (this unit's own lines), unless
  // notify_enabled is "1", below notify_min_level, or within the source's cooldown; otherwise
  // starts one sender per configured target (ntfy, Discord, webhook) and returns at once.
  void ProcessLogEntry(const std::string& level, const std::string& source, const std::string& category,
                       const std::string& message);
  // Sends the test message to every configured target, whatever the enabled flag, level and
  // cooldown; logs how many targets were used, or a warning when none is configured.
  void SendTestNotification();

  // The system_config value of key; def when the row or the database is missing or the read fails.
  std::string GetConfigValue(const std::string& key, const std::string& def) const;
  // Ranks "debug" 0 .. "error" 3 (any letter case), anything else -1: true when level ranks 0
  // or more and not below min_level.
  static bool LevelMeetsThreshold(std::string_view level, std::string_view min_level);
  // False when seconds <= 0.  Otherwise true while the source's last notification is less
  // than seconds old; when false, the source's time becomes now.  Takes lock_.
  bool IsInCooldown(const std::string& source, std::int32_t seconds);
  // A JSON string literal: backslash, double quote, line feed (\n) and tab (\t) escaped,
  // carriage returns dropped, other control characters as \u00XX, invalid UTF-8 as U+FFFD.
  static std::string StringToJSONString(std::string_view s);

  // Sender threads still running.
  int ActiveSenders() const;

 private:
  struct Senders;
  // Starts one sender thread; the answer is ignored and nothing is retried.
  void StartSender(const std::string& method, const std::string& url, const std::string& title,
                   const std::string& message, const std::string& priority);
  // Starts a sender for every configured target; returns how many.
  int SendToTargets(const std::string& title, const std::string& message);
  std::int64_t NowMs() const;

  // Constant after construction.
  const Tuning tuning_;
  // Shared with the sender threads, which hold it rather than the manager.
  const std::shared_ptr<Senders> senders_;

  // State below is protected by lock_.
  mutable std::mutex lock_;
  std::map<std::string, std::int64_t> cooldown_;  // source -> time of its last notification
};

extern TOVService<TOVNotificationManager> NotificationMgr;

}  // namespace ov
