// Guards against abusive clients: the request rate limiter, the failed-login throttle, the
// persistent IP blacklist and the thread that purges all three.
//
// The limiter and the throttle live in memory only (a restart clears them) and measure time on
// a monotonic clock, so a change of the wall clock neither frees nor extends a limit.  The
// blacklist lives in the table ip_blacklist; its expiry times are UTC wall-clock text written
// and compared by this server, never by the database server's own clock.
//
// Lock order: blacklist lock (a registry) -> database write lock -> limiter / throttle locks.
// Nothing here logs while holding its own lock.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>

#include "ov_http_server.h"
#include "ov_json_helpers.h"
#include "ov_locks.h"
#include "ov_service.h"

namespace ov {

class TOVDatabase;
class TOVQueryBase;

using TOVMonoTime = std::chrono::steady_clock::time_point;
using TOVMonoClock = std::function<TOVMonoTime()>;
using TOVWallClock = std::function<std::chrono::system_clock::time_point()>;

// The local console address: never limited, throttled-banned or blacklisted.
inline constexpr const char* kSecurityLoopbackIP = "127.0.0.1";
// Counters that have seen no activity for this long are dropped by the cleanup pass.
inline constexpr std::chrono::hours kSecurityIdleAgeOut{24};

// ---- rate limiter -------------------------------------------------------------------------------

// Requests per address per sliding minute, and open connections per address.  Each address
// keeps its own window of request times (oldest first), so a check costs only that address's
// window; the cleanup pass drops windows that have emptied.
class TOVRateLimiter {
 public:
  // clock: the monotonic clock to use (tests inject one); empty = steady_clock::now.
  TOVRateLimiter(std::int32_t max_per_minute, std::int32_t max_per_ip, TOVMonoClock clock = {});
  TOVRateLimiter(const TOVRateLimiter&) = delete;
  TOVRateLimiter& operator=(const TOVRateLimiter&) = delete;

  // True when the address may make a request now; an allowed request is recorded, a refused
  // one is not.  "127.0.0.1" is always allowed and leaves no trace.
  bool AllowConnection(const std::string& ip) EXCLUDES(lock_);
  void ConnectionOpened(const std::string& ip) EXCLUDES(lock_);
  // Closing an address without open connections does nothing (the count never goes below 0).
  void ConnectionClosed(const std::string& ip) EXCLUDES(lock_);
  std::int32_t GetActiveConnectionCount(const std::string& ip) const EXCLUDES(lock_);
  // Drops request times older than a minute and every window left empty.  Connection counts
  // are left alone: they belong to connections that are still open.
  void CleanStaleEntries() EXCLUDES(lock_);

  // Addresses with a request window (for tests and diagnostics).
  std::size_t EntryCount() const EXCLUDES(lock_);

 private:
  TOVMonoTime Now() const { return clock_ ? clock_() : std::chrono::steady_clock::now(); }
  static void DropOld(std::deque<TOVMonoTime>& times, TOVMonoTime cutoff);

  // ---- Constant after construction ----
  const std::int32_t max_per_minute_;
  const std::int32_t max_per_ip_;
  const TOVMonoClock clock_;

  // ---- Guarded by lock_ (last in the server's chain: nothing is taken or logged under it) ----
  mutable TOVLock lock_{LockLevel::Security};
  std::unordered_map<std::string, std::deque<TOVMonoTime>> entries_ GUARDED_BY(lock_);
  std::unordered_map<std::string, std::int32_t> active_ GUARDED_BY(lock_);
};

// ---- login throttle -----------------------------------------------------------------------------

// Failed logins per user name (compared without regard to ASCII case) and per address.  A name
// whose failures reach the threshold is locked for a while; an address likewise banned.
class TOVLoginThrottle {
 public:
  TOVLoginThrottle(std::int32_t max_attempts, std::int32_t lockout_minutes, std::int32_t ip_threshold,
                   std::int32_t ip_ban_minutes, TOVMonoClock clock = {});
  TOVLoginThrottle(const TOVLoginThrottle&) = delete;
  TOVLoginThrottle& operator=(const TOVLoginThrottle&) = delete;

  // True while the name is locked.  The first check after a lock ran out clears the name's
  // counter, so counting starts again from zero.
  bool IsLocked(const std::string& username) EXCLUDES(lock_);
  // The same for an address; "127.0.0.1" is never banned (it is still counted).
  bool IsIPBanned(const std::string& ip) EXCLUDES(lock_);
  // Counts one failure for the name and for the address; a count at or above its threshold
  // (re)starts the lock or ban and logs a warning.
  void RecordFailure(const std::string& username, const std::string& ip) EXCLUDES(lock_);
  // Clears the name's counter; the address's counter is kept.
  void RecordSuccess(const std::string& username) EXCLUDES(lock_);
  // Removes locks and bans that have run out, and counters idle for kSecurityIdleAgeOut that
  // hold no running lock or ban.
  void CleanExpired() EXCLUDES(lock_);

  std::size_t UserEntryCount() const EXCLUDES(lock_);
  std::size_t IPEntryCount() const EXCLUDES(lock_);

 private:
  struct Counter {
    std::int32_t fail_count = 0;
    std::optional<TOVMonoTime> until;  // lock / ban end; empty = not locked
    TOVMonoTime last_failure{};
  };
  TOVMonoTime Now() const { return clock_ ? clock_() : std::chrono::steady_clock::now(); }
  // IsLocked / IsIPBanned on one map, with the reset of a lock that ran out.
  static bool CheckHeld(std::unordered_map<std::string, Counter>& map, const std::string& key, TOVMonoTime now);
  static void Purge(std::unordered_map<std::string, Counter>& map, TOVMonoTime now);

  // ---- Constant after construction ----
  const std::int32_t max_attempts_;
  const std::int32_t lockout_minutes_;
  const std::int32_t ip_threshold_;
  const std::int32_t ip_ban_minutes_;
  const TOVMonoClock clock_;

  // ---- Guarded by lock_ (last in the server's chain: nothing is taken or logged under it) ----
  mutable TOVLock lock_{LockLevel::Security};
  std::unordered_map<std::string, Counter> users_ GUARDED_BY(lock_);  // key: name lower-cased (ASCII)
  std::unordered_map<std::string, Counter> ips_ GUARDED_BY(lock_);
};

// ---- UTC time text ------------------------------------------------------------------------------

// "yyyy-mm-dd[ hh:nn:ss...]" (a "T" separator also; whatever follows the seconds is ignored) as
// Unix seconds; nullopt when the text does not start like that or names no real time.  A
// seconds field of 60 (read as the next minute's first second) is taken only with
// allow_leap_second.
std::optional<std::int64_t> ParseUTCText(std::string_view text, bool allow_leap_second = false);
// The UTC time text "yyyy-mm-dd hh:nn:ss" of Unix seconds, clamped to 0001-01-01 00:00:00 ..
// 9999-12-31 23:59:59.
std::string FormatUTCText(std::int64_t unix_seconds);

// ---- IP blacklist -------------------------------------------------------------------------------

// Persistent bans in ip_blacklist.  A ban is permanent (expires_at NULL) or ends at a UTC time
// "yyyy-mm-dd hh:nn:ss".  IsBanned is a pure read and takes no lock of the blacklist: the
// security gate asks it on every request.  Its answers are cached for a short time per
// address; a ban, unban or purge made through this object invalidates the cache so its
// answers stay exact for them (a row changed in the database by other means is seen once the
// cached answer is older than cache_ttl).
class TOVIPBlacklist {
 public:
  // wall: the UTC clock for expiry times (tests inject one); mono: the clock for cache ages;
  // cache_ttl 0 turns the cache off.
  explicit TOVIPBlacklist(TOVWallClock wall = {}, std::chrono::milliseconds cache_ttl = std::chrono::seconds(2),
                          TOVMonoClock mono = {});
  TOVIPBlacklist(const TOVIPBlacklist&) = delete;
  TOVIPBlacklist& operator=(const TOVIPBlacklist&) = delete;

  // "127.0.0.1" is never banned (no database access).  Database errors propagate.
  bool IsBanned(const std::string& ip) EXCLUDES(cache_lock_);
  // IsBanned's answer when it needs no database (the console address, a fresh cached
  // answer); nullopt otherwise.  Never blocks on the database.
  std::optional<bool> IsBannedCached(const std::string& ip) EXCLUDES(cache_lock_);
  // minutes >= 1: a ban until now + minutes (clamped to the largest time the column holds);
  // otherwise permanent.  banned_by < 1, or an id with no user row, stores NULL.  Banning a
  // listed address replaces its reason, banning user and expiry.  The caller must not hold the
  // database write lock.
  void BanIP(const std::string& ip, const std::string& reason, std::int64_t banned_by, std::int32_t minutes)
      EXCLUDES(lock_);
  // Unbanning an address that is not listed deletes nothing and still logs.
  void UnbanIP(const std::string& ip) EXCLUDES(lock_);
  // Newest ban first: id, ip_address, reason, banned_at, expires_at, banned_by_name (NULL as "").
  TJSON GetBanList();
  // Deletes bans whose expiry time has come.
  void CleanExpired() EXCLUDES(lock_);

  // The expiry text as written and read: FormatUTCText and ParseUTCText.
  static std::string FormatUTC(std::int64_t unix_seconds);
  static std::optional<std::int64_t> ParseUTC(std::string_view text);

 private:
  struct CacheEntry {
    bool banned = false;
    std::optional<std::int64_t> expires;  // Unix seconds; empty = permanent (when banned)
    TOVMonoTime fetched{};
  };
  std::int64_t WallNow() const;
  // The console address's or a fresh cached answer at wall time now; generation: the cache's
  // generation seen (for storing an answer read after this).
  std::optional<bool> CachedAnswer(const std::string& ip, std::int64_t now, std::uint64_t& generation)
      EXCLUDES(cache_lock_);
  TOVMonoTime MonoNow() const { return mono_ ? mono_() : std::chrono::steady_clock::now(); }
  // Forgets the address's cached answer (every answer when ip is empty) and makes answers
  // read before now unstorable.
  void Invalidate(const std::string& ip) EXCLUDES(cache_lock_);
  // Runs the statement that statement sets on a write query, under the blacklist's lock, and
  // commits it; the address's cached answer is forgotten afterwards, whether or not it worked.
  void ChangeAddress(const std::string& ip, const std::function<void(TOVDatabase&, TOVQueryBase&)>& statement)
      EXCLUDES(lock_);

  // ---- Constant after construction ----
  const TOVWallClock wall_;
  const std::chrono::milliseconds cache_ttl_;
  const TOVMonoClock mono_;

  // Serialises bans, unbans and purges (a registry: taken before the database write lock).
  TOVLock lock_{LockLevel::Registry};

  // ---- Guarded by cache_lock_ (a leaf: held only around map operations) ----
  TOVLock cache_lock_{LockLevel::Leaf};
  std::unordered_map<std::string, CacheEntry> cache_ GUARDED_BY(cache_lock_);
  std::uint64_t generation_ GUARDED_BY(cache_lock_) = 0;  // bumped by every change made through this object
};

// ---- cleanup thread -----------------------------------------------------------------------------

// Purges the rate limiter, the login throttle and the blacklist (each when its global exists)
// once per interval; a stop request ends the wait at once.
class TOVSecurityCleanupThread {
 public:
  explicit TOVSecurityCleanupThread(std::int32_t interval_seconds);
  explicit TOVSecurityCleanupThread(std::chrono::milliseconds interval);
  // Stops and joins the thread.
  ~TOVSecurityCleanupThread();
  TOVSecurityCleanupThread(const TOVSecurityCleanupThread&) = delete;
  TOVSecurityCleanupThread& operator=(const TOVSecurityCleanupThread&) = delete;

  // Any thread, any number of times.
  void SignalStop() noexcept EXCLUDES(mu_);
  // Waits until the thread has ended.
  void WaitFor() noexcept EXCLUDES(join_mu_);
  // Purge passes completed so far (failed ones included).
  std::uint64_t Passes() const EXCLUDES(mu_);

 private:
  void Execute() EXCLUDES(mu_);

  // ---- Constant after construction ----
  const std::chrono::milliseconds interval_;

  // ---- Guarded by mu_ (a leaf: the purge runs without it) ----
  mutable TOVLock mu_{LockLevel::Leaf};
  std::condition_variable_any cv_;  // the stop
  bool stop_ GUARDED_BY(mu_) = false;
  std::uint64_t passes_ GUARDED_BY(mu_) = 0;

  // ---- Guarded by join_mu_ (a leaf; started by the constructor, joined once) ----
  TOVLock join_mu_{LockLevel::Leaf};
  std::thread thread_ GUARDED_BY(join_mu_);
};

extern TOVService<TOVRateLimiter> RateLimiter;
extern TOVService<TOVLoginThrottle> LoginThrottle;
extern TOVService<TOVIPBlacklist> IPBlacklist;
extern TOVService<TOVSecurityCleanupThread> SecurityCleanupThread;

// Start-up: the rate limiter and login throttle from the [security] settings, the blacklist
// with its first purge, the cleanup thread (60 s); logs "Security subsystems initialized".
// On failure whatever was made is freed again and the exception passes on.
void StartupSecurity();
// Shutdown: stops and joins the cleanup thread (steps "SecurityCleanupThread.SignalStop" and
// "SecurityCleanupThread.WaitFor"), then frees the blacklist, the throttle and the limiter.
void ShutdownSecurity(const std::function<void(const std::string&)>& step);

// Points the HTTP server's security gate at IPBlacklist and RateLimiter (each consulted only
// while its global exists), and exempts the console address and the trusted proxies from the
// front end's per-address share of connections waiting for their request head.
void InstallSecurityGate(TOVHttpServerOptions& options);
// Connection accounting for the WebSocket hub: forward to RateLimiter when it exists.
void SecurityConnectionOpened(const std::string& ip);
void SecurityConnectionClosed(const std::string& ip);

}  // namespace ov
