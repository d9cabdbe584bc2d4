#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "child_process.h"
#include "ov_log.h"
#include "ov_notifications.h"
#include "test_util.h"

using namespace ov;
using namespace std::chrono_literals;

namespace {

using Receiver = ovtest::LoopbackHttp;

class NotificationTest : public ovtest::SqliteDBTest {
 protected:
  void SetUp() override {
    SqliteDBTest::SetUp();
    Log.Publish(std::make_unique<TOVLog>("", false));
    Log->SetMinLevel(llDebug);
    Log->SetDBCallback([this](const std::string& level, const std::string& source, const std::string&,
                              const std::string& msg) {
      std::lock_guard<std::mutex> g(log_mu_);
      log_.push_back(level + " [" + source + "] " + msg);
    });
  }
  void TearDown() override {
    Log.Free();
    SqliteDBTest::TearDown();
  }

  void Set(const std::string& key, const std::string& value) {
    auto db = DB.Get();
    auto q = db->NewQuery();
    q.SetSQL("INSERT INTO system_config (" + db->QuoteIdent("key") + ", value) VALUES (:k, :v) ON CONFLICT (" +
             db->QuoteIdent("key") + ") DO UPDATE SET value = :v");
    q.Param("k", key);
    q.Param("v", value);
    q.ExecSQL();
    db->Commit();
  }

  std::unique_ptr<TOVNotificationManager> Manager(TOVNotificationManager::Tuning t = {}) {
    t.now_ms = [this] { return now_ms_.load(); };
    return std::make_unique<TOVNotificationManager>(t);
  }

  // Waits (bounded) until every sender has ended.
  static void WaitIdle(const TOVNotificationManager& m) {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (m.ActiveSenders() > 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
    ASSERT_EQ(m.ActiveSenders(), 0);
  }

  // The requests the receiver got once the senders have ended.  A sender ends only after its
  // answer, and the receiver records a request before answering, so nothing is still on its way.
  static std::vector<TJSON> Received(const TOVNotificationManager& m, Receiver& r) {
    WaitIdle(m);
    std::vector<TJSON> out;
    while (auto req = r.NextRequest(100ms)) out.push_back(*req);
    return out;
  }

  static std::map<std::string, TJSON> ByPath(const std::vector<TJSON>& reqs) {
    std::map<std::string, TJSON> m;
    for (const auto& r : reqs) m[r["path"].get<std::string>()] = r;
    return m;
  }

  std::vector<std::string> LogLines(const std::string& part) {
    std::lock_guard<std::mutex> g(log_mu_);
    std::vector<std::string> out;
    for (const auto& l : log_)
      if (l.find(part) != std::string::npos) out.push_back(l);
    return out;
  }

  void AllTargets(Receiver& r) {
    Set("notify_ntfy_url", r.Url("/ntfy"));
    Set("notify_discord_url", r.Url("/discord"));
    Set("notify_webhook_url", r.Url("/webhook"));
  }

  std::atomic<std::int64_t> now_ms_{1000000};
  std::mutex log_mu_;
  std::vector<std::string> log_;
};

TEST_F(NotificationTest, EachServiceGetsItsHeadersAndExactBody) {
  Receiver r;
  Set("notify_enabled", "1");
  Set("notify_ntfy_priority", "urgent\r\nX-Evil: 1");
  AllTargets(r);
  auto m = Manager();
  const std::string message = "Line 1\nLine 2\r\n\tTab \"quote\" back\\slash \x01 bell\x07 \xC3\xBC\xE2\x82\xAC";
  m->ProcessLogEntry("error", "door", "general", message);
  auto got = ByPath(Received(*m, r));
  ASSERT_EQ(got.size(), 3u);

  const std::string quoted = "\"Line 1\\nLine 2\\n\\tTab \\\"quote\\\" back\\\\slash \\u0001 bell\\u0007 \xC3\xBC\xE2\x82\xAC\"";
  const TJSON& ntfy = got["/ntfy"];
  EXPECT_EQ(ntfy["method"], "POST");
  EXPECT_EQ(ntfy["body"].get<std::string>(), message);
  EXPECT_EQ(Receiver::Header(ntfy, "Title"), std::vector<std::string>{"Orvanta BBS [ERROR] door"});
  EXPECT_EQ(Receiver::Header(ntfy, "Priority"), std::vector<std::string>{"urgentX-Evil: 1"});
  EXPECT_TRUE(Receiver::Header(ntfy, "X-Evil").empty());
  EXPECT_EQ(Receiver::Header(ntfy, "Content-Type"), std::vector<std::string>{"text/plain"});

  const std::string discord = got["/discord"]["body"];
  EXPECT_EQ(discord, "{\"embeds\":[{\"title\":\"Orvanta BBS [ERROR] door\",\"description\":" + quoted +
                         ",\"color\":16711680}]}");
  const std::string webhook = got["/webhook"]["body"];
  EXPECT_EQ(webhook, "{\"title\":\"Orvanta BBS [ERROR] door\",\"message\":" + quoted + ",\"source\":\"orvanta-bbs\"}");
  for (const char* path : {"/discord", "/webhook"}) {
    EXPECT_EQ(Receiver::Header(got[path], "Content-Type"), std::vector<std::string>{"application/json"});
    // Valid JSON whatever the message held; the carriage return is gone.
    auto parsed = ParseJson(got[path]["body"].get<std::string>());
    ASSERT_TRUE(parsed) << path;
  }
  EXPECT_EQ((*ParseJson(webhook))["message"], "Line 1\nLine 2\n\tTab \"quote\" back\\slash \x01 bell\x07 \xC3\xBC\xE2\x82\xAC");

  // A log source cannot add header lines either.
  Set("notify_discord_url", "");
  Set("notify_webhook_url", "");
  m->ProcessLogEntry("warning", "evil\r\nX-Injected: 1", "general", "m");
  auto evil = Received(*m, r);
  ASSERT_EQ(evil.size(), 1u);
  EXPECT_EQ(Receiver::Header(evil[0], "Title"), std::vector<std::string>{"Orvanta BBS [WARNING] evilX-Injected: 1"});
  EXPECT_TRUE(Receiver::Header(evil[0], "X-Injected").empty());
}

TEST_F(NotificationTest, SettingsLevelsCooldownAndOwnSourceDecide) {
  Receiver r;
  Set("notify_webhook_url", r.Url("/webhook"));
  auto m = Manager();
  auto sent = [&](const std::string& level, const std::string& source) {
    m->ProcessLogEntry(level, source, "general", "text");
    return Received(*m, r).size();
  };
  // Nothing unless the flag is exactly "1".
  EXPECT_EQ(sent("error", "a"), 0u);
  Set("notify_enabled", "true");
  EXPECT_EQ(sent("error", "a"), 0u);
  Set("notify_enabled", "1");
  Set("notify_cooldown", "0");
  EXPECT_EQ(sent("info", "a"), 0u);  // below the default "warning"
  EXPECT_EQ(sent("Warning", "a"), 1u);
  EXPECT_EQ(sent("critical", "a"), 0u);
  EXPECT_EQ(sent("error", "notifications"), 0u);
  Set("notify_min_level", "debug");
  EXPECT_EQ(sent("debug", "a"), 1u);
  EXPECT_EQ(sent("critical", "a"), 0u);
  // An unknown minimum ranks -1: every known level passes it.
  EXPECT_TRUE(TOVNotificationManager::LevelMeetsThreshold("error", "critical"));
  EXPECT_TRUE(TOVNotificationManager::LevelMeetsThreshold("ERROR", "Error"));

  // Cooldown per source, on the monotonic clock.
  Set("notify_cooldown", "60");
  EXPECT_EQ(sent("error", "s1"), 1u);
  now_ms_ += 59999;
  EXPECT_EQ(sent("error", "s1"), 0u);
  EXPECT_EQ(sent("error", "s2"), 1u);
  now_ms_ += 1;
  EXPECT_EQ(sent("error", "s1"), 1u);
  // Not a number: the default of 60 s.
  Set("notify_cooldown", "soon");
  EXPECT_EQ(sent("error", "s3"), 1u);
  now_ms_ += 30000;
  EXPECT_EQ(sent("error", "s3"), 0u);

  // Without the database every setting is its default: disabled.
  DB.Free();
  EXPECT_EQ(m->GetConfigValue("notify_enabled", "0"), "0");
  EXPECT_EQ(sent("error", "s4"), 0u);
}

TEST_F(NotificationTest, TestNotificationGoesToEveryConfiguredTarget) {
  auto m = Manager();
  m->SendTestNotification();
  EXPECT_EQ(m->ActiveSenders(), 0);
  EXPECT_EQ(LogLines("Test requested but no notification URLs configured").size(), 1u);

  Receiver r;
  AllTargets(r);  // notify_enabled stays unset: the test ignores it
  m->SendTestNotification();
  auto got = ByPath(Received(*m, r));
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got["/ntfy"]["body"], "This is a test notification from your Orvanta BBS server.");
  EXPECT_EQ(Receiver::Header(got["/ntfy"], "Title"), std::vector<std::string>{"Orvanta BBS Test Notification"});
  EXPECT_EQ(Receiver::Header(got["/ntfy"], "Priority"), std::vector<std::string>{"high"});
  EXPECT_EQ(got["/webhook"]["body"],
            "{\"title\":\"Orvanta BBS Test Notification\",\"message\":\"This is a test notification from your "
            "Orvanta BBS server.\",\"source\":\"orvanta-bbs\"}");
  EXPECT_EQ(LogLines("info [notifications] Test notification dispatched to 3 backend(s)").size(), 1u);
}

TEST_F(NotificationTest, FailuresAreLoggedOnceAndNeverRetried) {
  Receiver r;
  Set("notify_enabled", "1");
  Set("notify_ntfy_url", r.Url("/hang"));
  Set("notify_webhook_url", "http://127.0.0.1:" + std::to_string(ovtest::ClosedLoopbackPort()) + "/");
  TOVNotificationManager::Tuning t;
  t.io_timeout = 1000ms;
  auto m = Manager(t);
  m->ProcessLogEntry("error", "x", "general", "boom");
  EXPECT_EQ(Received(*m, r).size(), 1u);  // the hanging receiver, asked once
  EXPECT_EQ(LogLines("debug [notifications] Failed to send ntfy notification: ").size(), 1u);
  EXPECT_EQ(LogLines("debug [notifications] Failed to send webhook notification: ").size(), 1u);
  EXPECT_EQ(LogLines("Failed to send").size(), 2u);
}

TEST_F(NotificationTest, FreeingTheManagerEndsItsSenders) {
  Receiver r;
  Set("notify_enabled", "1");
  Set("notify_webhook_url", r.Url("/hang"));
  TOVNotificationManager::Tuning t;
  t.io_timeout = 60000ms;
  t.free_wait = 100ms;
  auto m = Manager(t);
  m->ProcessLogEntry("error", "x", "general", "boom");
  ASSERT_TRUE(r.NextRequest());
  EXPECT_EQ(m->ActiveSenders(), 1);
  m.reset();  // cancels the hanging sender and waits for it
  EXPECT_EQ(LogLines("Failed to send webhook notification: Transfer cancelled").size(), 1u);
}

}  // namespace
