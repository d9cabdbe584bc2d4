#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "ov_client_address.h"
#include "ov_config.h"
#include "ov_database.h"
#include "ov_http_server.h"
#include "ov_log.h"
#include "ov_security.h"
#include "test_util.h"

using namespace ov;
using namespace std::chrono_literals;

namespace {

// A monotonic clock the test moves by hand.
struct FakeMono {
  TOVMonoTime now = TOVMonoTime{} + std::chrono::hours(1000);
  TOVMonoClock Clock() {
    return [this] { return now; };
  }
};

// A wall clock the test moves by hand (UTC).
struct FakeWall {
  std::chrono::system_clock::time_point now = std::chrono::sys_days{std::chrono::year{2030} / 6 / 15} + 12h;
  TOVWallClock Clock() {
    return [this] { return now; };
  }
};

using ovtest::RawExec;
using ovtest::RawText;

template <class Pred>
bool WaitUntil(Pred pred, std::chrono::milliseconds limit = 5000ms) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (pred()) return true;
    std::this_thread::sleep_for(5ms);
  }
  return pred();
}

}  // namespace

// ---- rate limiter -------------------------------------------------------------------------------

TEST(RateLimiter, SlidingMinutePerAddress) {
  FakeMono clock;
  TOVRateLimiter rl(5, 100, clock.Clock());
  const TOVMonoTime t0 = clock.now;
  for (int i = 0; i < 5; ++i) {
    clock.now = t0 + std::chrono::seconds(i);
    EXPECT_TRUE(rl.AllowConnection("10.0.0.1")) << i;
  }
  clock.now = t0 + 10s;
  EXPECT_FALSE(rl.AllowConnection("10.0.0.1"));   // the sixth within the minute
  EXPECT_TRUE(rl.AllowConnection("10.0.0.2"));    // other addresses have their own window
  clock.now = t0 + 60s;
  EXPECT_FALSE(rl.AllowConnection("10.0.0.1"));   // a time exactly one minute old still counts
  clock.now = t0 + 60s + 1ms;
  EXPECT_TRUE(rl.AllowConnection("10.0.0.1"));    // the oldest has left the window
  EXPECT_FALSE(rl.AllowConnection("10.0.0.1"));   // t0+1s .. t0+4s and this one fill it again
  // Refused requests are not recorded: once the recorded ones age out the address may go on.
  for (int i = 0; i < 20; ++i) EXPECT_FALSE(rl.AllowConnection("10.0.0.1"));
  clock.now = t0 + 200s;
  EXPECT_TRUE(rl.AllowConnection("10.0.0.1"));
}

TEST(RateLimiter, LoopbackIsNeverLimitedAndLeavesNoEntry) {
  FakeMono clock;
  TOVRateLimiter rl(1, 1, clock.Clock());
  rl.ConnectionOpened("127.0.0.1");  // counted like any address...
  EXPECT_EQ(rl.GetActiveConnectionCount("127.0.0.1"), 1);
  for (int i = 0; i < 50; ++i) EXPECT_TRUE(rl.AllowConnection("127.0.0.1"));  // ...but never refused
  EXPECT_EQ(rl.EntryCount(), 0u);
  EXPECT_TRUE(rl.AllowConnection("127.0.0.2"));  // only the exact console address is exempt
  EXPECT_FALSE(rl.AllowConnection("127.0.0.2"));
}

TEST(RateLimiter, OpenConnectionsPerAddress) {
  FakeMono clock;
  TOVRateLimiter rl(1000, 3, clock.Clock());
  for (int i = 0; i < 3; ++i) rl.ConnectionOpened("10.0.0.5");
  EXPECT_FALSE(rl.AllowConnection("10.0.0.5"));  // few requests, but three connections held
  rl.ConnectionClosed("10.0.0.5");
  EXPECT_TRUE(rl.AllowConnection("10.0.0.5"));
  // Closing more than was opened leaves no negative count behind.
  for (int i = 0; i < 5; ++i) rl.ConnectionClosed("10.0.0.5");
  EXPECT_EQ(rl.GetActiveConnectionCount("10.0.0.5"), 0);
  rl.ConnectionClosed("10.9.9.9");  // never opened: nothing happens
  EXPECT_EQ(rl.GetActiveConnectionCount("10.9.9.9"), 0);
  for (int i = 0; i < 3; ++i) rl.ConnectionOpened("10.0.0.5");
  EXPECT_EQ(rl.GetActiveConnectionCount("10.0.0.5"), 3);
  EXPECT_FALSE(rl.AllowConnection("10.0.0.5"));
}

TEST(RateLimiter, LimitsOfZeroRefuseOnlyAddressesThatReachedThem) {
  FakeMono clock;
  // No open connections allowed: an address holding none is still served, one holding a
  // connection is refused until it closes.
  TOVRateLimiter conns(1000, 0, clock.Clock());
  EXPECT_TRUE(conns.AllowConnection("10.0.1.1"));
  EXPECT_TRUE(conns.AllowConnection("10.0.1.2"));
  conns.ConnectionOpened("10.0.1.1");
  EXPECT_FALSE(conns.AllowConnection("10.0.1.1"));
  EXPECT_TRUE(conns.AllowConnection("10.0.1.2"));
  conns.ConnectionClosed("10.0.1.1");
  EXPECT_TRUE(conns.AllowConnection("10.0.1.1"));

  // No requests per minute: an address without a window gets its first request, after that
  // its window (even once emptied) refuses it until the cleanup pass drops the window.
  TOVRateLimiter rate(0, 1000, clock.Clock());
  EXPECT_TRUE(rate.AllowConnection("10.0.1.3"));
  EXPECT_FALSE(rate.AllowConnection("10.0.1.3"));
  EXPECT_TRUE(rate.AllowConnection("10.0.1.4"));
  clock.now += 2min;
  EXPECT_FALSE(rate.AllowConnection("10.0.1.3"));
  rate.CleanStaleEntries();
  EXPECT_TRUE(rate.AllowConnection("10.0.1.3"));
}

TEST(RateLimiter, CleanupDropsEmptyWindowsKeepsConnections) {
  FakeMono clock;
  TOVRateLimiter rl(10, 10, clock.Clock());
  for (int i = 0; i < 50; ++i) rl.AllowConnection("10.1.0." + std::to_string(i));
  rl.ConnectionOpened("10.1.0.7");
  EXPECT_EQ(rl.EntryCount(), 50u);
  clock.now += 30s;
  rl.AllowConnection("10.1.0.1");
  rl.CleanStaleEntries();
  EXPECT_EQ(rl.EntryCount(), 50u);  // nothing older than a minute yet
  clock.now += 31s;
  rl.CleanStaleEntries();
  EXPECT_EQ(rl.EntryCount(), 1u);   // only the address that asked 31 s ago
  EXPECT_EQ(rl.GetActiveConnectionCount("10.1.0.7"), 1);
  clock.now += 60s;
  rl.CleanStaleEntries();
  EXPECT_EQ(rl.EntryCount(), 0u);
}

TEST(RateLimiter, ConcurrentRequestsNeverExceedTheLimit) {
  TOVRateLimiter rl(100, 1000);
  std::atomic<int> allowed{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 50; ++i)
        if (rl.AllowConnection("10.2.0.1")) ++allowed;
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(allowed.load(), 100);
}

// ---- login throttle -----------------------------------------------------------------------------

// ---- connections waiting for their request head ----------------------------------------------

TEST(SecurityGate, OnlyTheConsoleAndTrustedProxiesAreExemptFromTheWaitingShare) {
  // Everyone behind a proxy arrives from its address, and the console is this machine; any
  // other address, loopback ones included, has its share.
  InitTrustedProxies("10.0.0.0/24, 192.0.2.9");
  TOVHttpServerOptions o;
  InstallSecurityGate(o);
  ASSERT_TRUE(o.share_exempt);
  const std::pair<const char*, bool> cases[] = {{"127.0.0.1", true},  {"10.0.0.7", true},  {"192.0.2.9", true},
                                                {"127.0.0.2", false}, {"10.0.1.7", false}, {"192.0.2.1", false}};
  for (const auto& [ip, exempt] : cases) EXPECT_EQ(o.share_exempt(ip), exempt) << ip;
  InitTrustedProxies("");
}

TEST(LoginThrottle, NameLockIgnoresCaseAndRunsOut) {
  FakeMono clock;
  TOVLoginThrottle th(3, 5, 100, 30, clock.Clock());
  th.RecordFailure("Alice", "10.0.0.1");
  th.RecordFailure("ALICE", "10.0.0.2");
  EXPECT_FALSE(th.IsLocked("alice"));
  th.RecordFailure("alice", "10.0.0.3");
  EXPECT_TRUE(th.IsLocked("Alice"));
  EXPECT_TRUE(th.IsLocked("aLiCe"));
  EXPECT_FALSE(th.IsLocked("bob"));
  const TOVMonoTime locked_at = clock.now;
  clock.now = locked_at + 5min - 1ms;
  EXPECT_TRUE(th.IsLocked("alice"));
  clock.now = locked_at + 5min;
  EXPECT_FALSE(th.IsLocked("alice"));  // run out: the counter starts again from zero
  th.RecordFailure("alice", "10.0.0.4");
  th.RecordFailure("alice", "10.0.0.4");
  EXPECT_FALSE(th.IsLocked("alice"));
  th.RecordFailure("alice", "10.0.0.4");
  EXPECT_TRUE(th.IsLocked("alice"));
}

TEST(LoginThrottle, FurtherFailuresPushTheLockForward) {
  FakeMono clock;
  TOVLoginThrottle th(2, 5, 100, 30, clock.Clock());
  th.RecordFailure("eve", "10.0.0.1");
  th.RecordFailure("eve", "10.0.0.1");
  clock.now += 4min;
  th.RecordFailure("eve", "10.0.0.1");  // locked again until now + 5 minutes
  clock.now += 4min;
  EXPECT_TRUE(th.IsLocked("eve"));
  clock.now += 1min;
  EXPECT_FALSE(th.IsLocked("eve"));
}

TEST(LoginThrottle, SuccessClearsTheNameNotTheAddress) {
  FakeMono clock;
  TOVLoginThrottle th(3, 5, 10, 30, clock.Clock());
  for (int i = 0; i < 9; ++i) th.RecordFailure("user" + std::to_string(i % 2), "10.0.0.9");
  th.RecordSuccess("USER0");
  th.RecordFailure("user0", "10.0.0.9");
  EXPECT_FALSE(th.IsLocked("user0"));  // its count restarted at the success
  EXPECT_TRUE(th.IsIPBanned("10.0.0.9"));  // ten failures from the address in all
  EXPECT_FALSE(th.IsIPBanned("10.0.0.8"));
  clock.now += 30min;
  EXPECT_FALSE(th.IsIPBanned("10.0.0.9"));
}

TEST(LoginThrottle, LoopbackIsCountedButNeverBanned) {
  FakeMono clock;
  TOVLoginThrottle th(1000, 5, 3, 30, clock.Clock());
  for (int i = 0; i < 10; ++i) th.RecordFailure("x", "127.0.0.1");
  EXPECT_FALSE(th.IsIPBanned("127.0.0.1"));
  EXPECT_EQ(th.IPEntryCount(), 1u);
}

TEST(LoginThrottle, PurgeRemovesRunOutLocksAndIdleCounters) {
  FakeMono clock;
  TOVLoginThrottle th(3, 5, 3, 10, clock.Clock());
  for (int i = 0; i < 3; ++i) th.RecordFailure("locked", "10.0.0.1");   // name locked, address banned
  th.RecordFailure("counting", "10.0.0.2");
  th.RecordFailure("counting", "10.0.0.2");
  clock.now += 11min;
  th.CleanExpired();
  EXPECT_EQ(th.UserEntryCount(), 1u);  // the run-out lock went, the two failures stay
  EXPECT_EQ(th.IPEntryCount(), 1u);
  th.RecordFailure("counting", "10.0.0.3");
  EXPECT_TRUE(th.IsLocked("counting"));  // 2 kept + 1

  // Counters below the threshold do not live for ever: a day without failures ages them out.
  th.RecordFailure("idle", "10.0.0.4");
  th.RecordFailure("idle", "10.0.0.4");
  clock.now += 23h;
  th.CleanExpired();
  th.RecordFailure("idle", "10.0.0.5");
  EXPECT_TRUE(th.IsLocked("idle"));  // 23 h is not idle enough
  th.RecordFailure("idle2", "10.0.0.6");
  th.RecordFailure("idle2", "10.0.0.6");
  clock.now += 24h;
  th.CleanExpired();
  th.RecordFailure("idle2", "10.0.0.6");
  EXPECT_FALSE(th.IsLocked("idle2"));
  EXPECT_FALSE(th.IsIPBanned("10.0.0.6"));  // the address counter aged out as well
}

TEST(LoginThrottle, ExtremeDurationsNeitherOverflowNorWrap) {
  FakeMono clock;
  TOVLoginThrottle th(1, std::numeric_limits<std::int32_t>::max(), 1, std::numeric_limits<std::int32_t>::min(),
                      clock.Clock());
  th.RecordFailure("a", "10.0.0.1");
  clock.now += std::chrono::hours(24 * 365 * 50);
  EXPECT_TRUE(th.IsLocked("a"));         // a lock of ~4000 years: still locked after 50
  EXPECT_FALSE(th.IsIPBanned("10.0.0.1"));  // a negative length has run out at once

  FakeMono late;
  late.now = TOVMonoTime::max() - 1h;    // a clock near the end of its range
  TOVLoginThrottle th2(1, 1000000, 100, 1, late.Clock());
  th2.RecordFailure("b", "10.0.0.2");
  EXPECT_TRUE(th2.IsLocked("b"));
}

// ---- IP blacklist -------------------------------------------------------------------------------

namespace {

class BlacklistDB : public ovtest::SqliteDBTest {
 protected:
  FakeWall wall;
  FakeMono mono;
  std::string Count(const std::string& where = "1=1") {
    return RawText(file, "SELECT COUNT(*) FROM ip_blacklist WHERE " + where);
  }
};

}  // namespace

TEST(BlacklistTime, FormatAndParseUTC) {
  EXPECT_EQ(TOVIPBlacklist::FormatUTC(0), "1970-01-01 00:00:00");
  EXPECT_EQ(TOVIPBlacklist::FormatUTC(-1), "1969-12-31 23:59:59");
  EXPECT_EQ(TOVIPBlacklist::FormatUTC(951782400 + 86399), "2000-02-29 23:59:59");
  EXPECT_EQ(TOVIPBlacklist::FormatUTC(std::numeric_limits<std::int64_t>::max()), "9999-12-31 23:59:59");
  EXPECT_EQ(TOVIPBlacklist::FormatUTC(std::numeric_limits<std::int64_t>::min()), "0001-01-01 00:00:00");
  for (std::int64_t t : {0LL, 951868799LL, 1900000000LL, 253402300799LL})
    EXPECT_EQ(TOVIPBlacklist::ParseUTC(TOVIPBlacklist::FormatUTC(t)), t);
  EXPECT_EQ(TOVIPBlacklist::ParseUTC("2030-06-15T12:00:00.123456"), TOVIPBlacklist::ParseUTC("2030-06-15 12:00:00"));
  EXPECT_EQ(TOVIPBlacklist::ParseUTC("2030-06-15"), TOVIPBlacklist::ParseUTC("2030-06-15 00:00:00"));
  for (const char* bad : {"", "2030-13-01 00:00:00", "2030-02-30", "20300615", "2030-06-15 25:00:00", "x"})
    EXPECT_FALSE(TOVIPBlacklist::ParseUTC(bad)) << bad;
}

TEST(BlacklistTime, LeapSecondOnlyWhenAsked) {
  EXPECT_FALSE(TOVIPBlacklist::ParseUTC("2030-06-15 23:59:60"));
  EXPECT_FALSE(ParseUTCText("2030-06-15 23:59:60"));
  EXPECT_EQ(ParseUTCText("2030-06-15 23:59:60", true), ParseUTCText("2030-06-16 00:00:00"));
  EXPECT_FALSE(ParseUTCText("2030-06-15 23:59:61", true));
  EXPECT_EQ(ParseUTCText("2030-06-15T12:00:00Z", true), TOVIPBlacklist::ParseUTC("2030-06-15 12:00:00"));
}

TEST_F(BlacklistDB, LoopbackIsNeverBanned) {
  RawExec(file, "INSERT INTO ip_blacklist (ip_address, reason) VALUES ('127.0.0.1', 'x')");
  TOVIPBlacklist bl(wall.Clock(), 0ms);
  EXPECT_FALSE(bl.IsBanned("127.0.0.1"));
  RawExec(file, "INSERT INTO ip_blacklist (ip_address, reason) VALUES ('127.0.0.3', 'x')");
  EXPECT_TRUE(bl.IsBanned("127.0.0.3"));
}

TEST_F(BlacklistDB, TemporaryBanEndsAtItsTimeAndIsPurged) {
  TOVIPBlacklist bl(wall.Clock(), 0ms);
  bl.BanIP("10.3.0.1", "flood", 0, 5);
  EXPECT_EQ(RawText(file, "SELECT expires_at FROM ip_blacklist WHERE ip_address='10.3.0.1'"), "2030-06-15 12:05:00");
  EXPECT_TRUE(bl.IsBanned("10.3.0.1"));
  wall.now += 5min - 1s;
  EXPECT_TRUE(bl.IsBanned("10.3.0.1"));
  bl.CleanExpired();
  EXPECT_EQ(Count(), "1");
  wall.now += 1s;
  EXPECT_FALSE(bl.IsBanned("10.3.0.1"));  // over at its time, before any purge
  bl.CleanExpired();
  EXPECT_EQ(Count(), "0");
}

TEST_F(BlacklistDB, PermanentBansSurviveEveryPurge) {
  TOVIPBlacklist bl(wall.Clock(), 0ms);
  bl.BanIP("10.3.0.2", "zero", 0, 0);
  bl.BanIP("10.3.0.3", "negative", 0, -3);
  EXPECT_EQ(Count("expires_at IS NULL"), "2");
  wall.now += std::chrono::hours(24 * 365 * 100);
  bl.CleanExpired();
  EXPECT_EQ(Count(), "2");
  EXPECT_TRUE(bl.IsBanned("10.3.0.2"));
  EXPECT_TRUE(bl.IsBanned("10.3.0.3"));
}

TEST_F(BlacklistDB, HugeDurationDoesNotOverflow) {
  TOVIPBlacklist bl(wall.Clock(), 0ms);
  bl.BanIP("10.3.0.4", "forever-ish", 0, std::numeric_limits<std::int32_t>::max());
  EXPECT_EQ(RawText(file, "SELECT expires_at FROM ip_blacklist WHERE ip_address='10.3.0.4'"), "6113-07-08 14:07:00");
  EXPECT_TRUE(bl.IsBanned("10.3.0.4"));
  bl.CleanExpired();
  EXPECT_EQ(Count(), "1");
}

TEST_F(BlacklistDB, RebanReplacesAndListShowsNewestFirst) {
  RawExec(file, "INSERT INTO users (guid, username, password_hash, password_salt) VALUES ('g', 'sysop', 'h', 's')");
  const std::int64_t uid = std::stoll(RawText(file, "SELECT id FROM users WHERE username='sysop'"));
  TOVIPBlacklist bl(wall.Clock(), 0ms);
  bl.BanIP("10.3.0.5", "first", uid, 0);
  bl.BanIP("10.3.0.5", "second", 0, 10);
  EXPECT_EQ(Count(), "1");
  EXPECT_EQ(RawText(file, "SELECT reason FROM ip_blacklist"), "second");
  EXPECT_EQ(RawText(file, "SELECT COALESCE(banned_by, 'null') FROM ip_blacklist"), "null");
  bl.BanIP("10.3.0.6", "by sysop", uid, 0);
  RawExec(file, "UPDATE ip_blacklist SET banned_at = '2001-01-01 00:00:00' WHERE ip_address = '10.3.0.5'");
  RawExec(file, "UPDATE ip_blacklist SET banned_at = '2002-01-01 00:00:00' WHERE ip_address = '10.3.0.6'");
  // A ban of the same second lists after the one made before it.
  bl.BanIP("10.3.0.7", "same second", uid, 0);
  RawExec(file, "UPDATE ip_blacklist SET banned_at = '2002-01-01 00:00:00' WHERE ip_address = '10.3.0.7'");
  TJSON list = bl.GetBanList();
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[1]["ip_address"], "10.3.0.7");
  list.erase(1);
  EXPECT_EQ(list[0]["ip_address"], "10.3.0.6");
  EXPECT_EQ(list[0]["banned_by_name"], "sysop");
  EXPECT_EQ(list[0]["expires_at"], "");
  EXPECT_EQ(list[1]["banned_by_name"], "");
  EXPECT_EQ(list[1]["expires_at"], "2030-06-15 12:10:00");
  std::vector<std::string> keys;
  for (auto it = list[0].begin(); it != list[0].end(); ++it) keys.push_back(it.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"id", "ip_address", "reason", "banned_at", "expires_at", "banned_by_name"}));
  bl.UnbanIP("10.3.0.6");
  bl.UnbanIP("10.3.0.7");
  bl.UnbanIP("10.3.0.99");  // not listed: nothing to delete, no failure
  EXPECT_EQ(Count(), "1");
}

TEST_F(BlacklistDB, BanByAnAccountThatIsGoneStoresNoBanningUser) {
  // A token can outlive its account: the ban is kept, with no banning user, rather than being
  // refused by the foreign key.
  RawExec(file, "INSERT INTO users (guid, username, password_hash, password_salt) VALUES ('g', 'sysop', 'h', 's')");
  const std::int64_t uid = std::stoll(RawText(file, "SELECT id FROM users WHERE username='sysop'"));
  TOVIPBlacklist bl(wall.Clock(), 0ms);
  ASSERT_NO_THROW(bl.BanIP("10.3.1.1", "by a deleted admin", uid + 1000, 5));
  EXPECT_EQ(RawText(file, "SELECT reason || '|' || COALESCE(banned_by, 'null') FROM ip_blacklist "
                          "WHERE ip_address = '10.3.1.1'"),
            "by a deleted admin|null");
  EXPECT_TRUE(bl.IsBanned("10.3.1.1"));
  // An account that exists is still recorded, also when it replaces a ban without one.
  bl.BanIP("10.3.1.1", "again", uid, 5);
  EXPECT_EQ(RawText(file, "SELECT banned_by FROM ip_blacklist WHERE ip_address = '10.3.1.1'"),
            std::to_string(uid));
  EXPECT_EQ(bl.GetBanList()[0]["banned_by_name"], "sysop");
  // The write connection is in order afterwards.
  bl.UnbanIP("10.3.1.1");
  EXPECT_EQ(Count(), "0");
}

TEST_F(BlacklistDB, CacheIsExactForChangesMadeThroughIt) {
  TOVIPBlacklist bl(wall.Clock(), 1h, mono.Clock());
  EXPECT_FALSE(bl.IsBanned("10.4.0.1"));  // cached "not banned" for an hour
  bl.BanIP("10.4.0.1", "x", 0, 0);
  EXPECT_TRUE(bl.IsBanned("10.4.0.1"));
  bl.UnbanIP("10.4.0.1");
  EXPECT_FALSE(bl.IsBanned("10.4.0.1"));

  // A cached temporary ban ends at its time without another read.
  bl.BanIP("10.4.0.2", "x", 0, 2);
  EXPECT_TRUE(bl.IsBanned("10.4.0.2"));
  wall.now += 2min;
  EXPECT_FALSE(bl.IsBanned("10.4.0.2"));

  // A row changed behind the object's back is seen once the cached answer is older than the
  // time to live.
  EXPECT_FALSE(bl.IsBanned("10.4.0.3"));
  RawExec(file, "INSERT INTO ip_blacklist (ip_address, reason) VALUES ('10.4.0.3', 'direct')");
  EXPECT_FALSE(bl.IsBanned("10.4.0.3"));
  mono.now += 1h;
  EXPECT_TRUE(bl.IsBanned("10.4.0.3"));
}

TEST_F(BlacklistDB, ConcurrentReadersNeverCacheAStaleAnswer) {
  // Readers hammer the address while it is banned and unbanned; every answer given after a
  // ban or unban returned must already reflect it, even with a long cache time.
  TOVIPBlacklist bl({}, 1h);
  std::atomic<bool> stop{false};
  std::vector<std::thread> readers;
  for (int i = 0; i < 4; ++i)
    readers.emplace_back([&] {
      while (!stop.load()) (void)bl.IsBanned("10.5.0.1");
    });
  int stale = 0;
  for (int round = 0; round < 300; ++round) {
    bl.BanIP("10.5.0.1", "x", 0, 0);
    if (!bl.IsBanned("10.5.0.1")) ++stale;
    bl.UnbanIP("10.5.0.1");
    if (bl.IsBanned("10.5.0.1")) ++stale;
  }
  stop.store(true);
  for (auto& t : readers) t.join();
  EXPECT_EQ(stale, 0);
}

// ---- cleanup thread, start-up, shutdown and the gate --------------------------------------------

namespace {

class SecurityServices : public ovtest::SqliteDBTest {
 protected:
  std::string log_file = dir / "test.log";
  void SetUp() override {
    Log.Publish(std::make_unique<TOVLog>(log_file, false));
    SqliteDBTest::SetUp();
  }
  void TearDown() override {
    SecurityCleanupThread.Free();
    IPBlacklist.Free();
    LoginThrottle.Free();
    RateLimiter.Free();
    SqliteDBTest::TearDown();
    Log.Free();
    Config.Free();
  }
  std::string LogText() { return ovtest::ReadText(log_file); }
};

}  // namespace

TEST_F(SecurityServices, CleanupThreadPurgesAllThree) {
  FakeMono mono;
  RateLimiter.Publish(std::make_unique<TOVRateLimiter>(10, 10, mono.Clock()));
  LoginThrottle.Publish(std::make_unique<TOVLoginThrottle>(3, 1, 3, 1, mono.Clock()));
  IPBlacklist.Publish(std::make_unique<TOVIPBlacklist>());
  RateLimiter->AllowConnection("10.7.0.1");
  for (int i = 0; i < 3; ++i) LoginThrottle->RecordFailure("x", "10.7.0.2");
  mono.now += 2min;
  RawExec(file, "INSERT INTO ip_blacklist (ip_address, expires_at) VALUES ('10.7.0.3', '2000-01-01 00:00:00')");
  RawExec(file, "INSERT INTO ip_blacklist (ip_address, expires_at) VALUES ('10.7.0.4', '9999-01-01 00:00:00')");

  TOVSecurityCleanupThread th(20ms);
  ASSERT_TRUE(WaitUntil([&] { return th.Passes() >= 1; }));
  EXPECT_EQ(RateLimiter->EntryCount(), 0u);
  EXPECT_EQ(LoginThrottle->UserEntryCount(), 0u);
  EXPECT_EQ(LoginThrottle->IPEntryCount(), 0u);
  EXPECT_EQ(RawText(file, "SELECT ip_address FROM ip_blacklist"), "10.7.0.4");
}

TEST_F(SecurityServices, CleanupErrorsAreLoggedAndTheThreadGoesOn) {
  IPBlacklist.Publish(std::make_unique<TOVIPBlacklist>());
  auto db = DB.Retire();  // every purge of the blacklist now fails
  {
    TOVSecurityCleanupThread th(10ms);
    ASSERT_TRUE(WaitUntil([&] { return th.Passes() >= 3; }));
  }
  DB.Publish(std::move(db));
  const std::string log = LogText();
  EXPECT_NE(log.find("Security cleanup error: Database not available"), std::string::npos) << log;
  EXPECT_NE(log.find("Security cleanup thread stopped"), std::string::npos);
}

TEST_F(SecurityServices, StopEndsTheWaitAtOnce) {
  const auto t0 = std::chrono::steady_clock::now();
  {
    TOVSecurityCleanupThread th(60);
    ASSERT_TRUE(WaitUntil([&] { return LogText().find("interval: 60 seconds") != std::string::npos; }));
    th.SignalStop();
    th.SignalStop();  // more than once is harmless
    th.WaitFor();
    EXPECT_EQ(th.Passes(), 0u);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
  EXPECT_NE(LogText().find("Security cleanup thread stopped"), std::string::npos);
}

TEST_F(SecurityServices, StartupPurgesAndShutdownRunsItsSteps) {
  ovtest::WriteText(dir / "o.ini", "[security]\nrate_limit_per_minute=2\nlogin_lockout_attempts=1\n");
  Config.Publish(std::make_unique<TOVConfig>(dir / "o.ini"));
  RawExec(file, "INSERT INTO ip_blacklist (ip_address, expires_at) VALUES ('10.8.0.1', '2000-01-01 00:00:00')");
  StartupSecurity();
  EXPECT_TRUE(RateLimiter.Exists() && LoginThrottle.Exists() && IPBlacklist.Exists() &&
              SecurityCleanupThread.Exists());
  EXPECT_EQ(RawText(file, "SELECT COUNT(*) FROM ip_blacklist"), "0");  // purged before the first interval
  EXPECT_NE(LogText().find("Security subsystems initialized"), std::string::npos);
  EXPECT_TRUE(RateLimiter->AllowConnection("10.8.0.2"));  // the settings reached the objects
  EXPECT_TRUE(RateLimiter->AllowConnection("10.8.0.2"));
  EXPECT_FALSE(RateLimiter->AllowConnection("10.8.0.2"));
  LoginThrottle->RecordFailure("a", "10.8.0.3");
  EXPECT_TRUE(LoginThrottle->IsLocked("a"));

  std::vector<std::string> steps;
  ShutdownSecurity([&](const std::string& s) { steps.push_back(s); });
  EXPECT_EQ(steps, (std::vector<std::string>{"SecurityCleanupThread.SignalStop", "SecurityCleanupThread.WaitFor"}));
  EXPECT_FALSE(RateLimiter.Exists() || LoginThrottle.Exists() || IPBlacklist.Exists() ||
               SecurityCleanupThread.Exists());
  steps.clear();
  ShutdownSecurity([&](const std::string& s) { steps.push_back(s); });  // nothing left: no steps
  EXPECT_TRUE(steps.empty());
}

TEST_F(SecurityServices, StartupFailureLeavesNothingBehind) {
  ovtest::WriteText(dir / "o.ini", "[security]\n");
  Config.Publish(std::make_unique<TOVConfig>(dir / "o.ini"));
  auto db = DB.Retire();  // the first purge fails
  EXPECT_THROW(StartupSecurity(), ServiceUnavailable);
  DB.Publish(std::move(db));
  EXPECT_FALSE(RateLimiter.Exists() || LoginThrottle.Exists() || IPBlacklist.Exists() ||
               SecurityCleanupThread.Exists());
}

TEST_F(SecurityServices, GateCallbacksFollowTheGlobals) {
  TOVHttpServerOptions o;
  InstallSecurityGate(o);
  ASSERT_TRUE(o.is_banned && o.allow_request);
  EXPECT_FALSE(o.is_banned("10.9.0.1"));  // no services: nobody banned, everything allowed
  EXPECT_TRUE(o.allow_request("10.9.0.1"));
  RateLimiter.Publish(std::make_unique<TOVRateLimiter>(1, 5));
  IPBlacklist.Publish(std::make_unique<TOVIPBlacklist>());
  IPBlacklist->BanIP("10.9.0.1", "x", 0, 0);
  EXPECT_TRUE(o.is_banned("10.9.0.1"));
  EXPECT_FALSE(o.is_banned("10.9.0.2"));
  EXPECT_TRUE(o.allow_request("10.9.0.2"));
  EXPECT_FALSE(o.allow_request("10.9.0.2"));
  SecurityConnectionOpened("10.9.0.3");
  EXPECT_EQ(RateLimiter->GetActiveConnectionCount("10.9.0.3"), 1);
  SecurityConnectionClosed("10.9.0.3");
  EXPECT_EQ(RateLimiter->GetActiveConnectionCount("10.9.0.3"), 0);
}
