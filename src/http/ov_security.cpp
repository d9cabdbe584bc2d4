#include "ov_security.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <limits>
#include <utility>
#include <vector>

#include "dbapi_dialect.h"
#include "ov_client_address.h"
#include "ov_config.h"
#include "ov_database.h"
#include "ov_http_server.h"
#include "ov_http_types.h"
#include "ov_log.h"

namespace ov {

TOVService<TOVRateLimiter> RateLimiter{"RateLimiter"};
TOVService<TOVLoginThrottle> LoginThrottle{"LoginThrottle"};
TOVService<TOVIPBlacklist> IPBlacklist{"IPBlacklist"};
TOVService<TOVSecurityCleanupThread> SecurityCleanupThread{"SecurityCleanupThread"};

namespace {

using namespace std::chrono_literals;

constexpr std::chrono::minutes kRateWindow{1};
constexpr std::int32_t kCleanupIntervalSeconds = 60;
// The blacklist's answer cache never grows past this many addresses.
constexpr std::size_t kMaxCachedAddresses = 4096;

// t + minutes without leaving the clock's range.  Lock lengths are capped at 100 years, far
// beyond any setting that makes sense and well inside a nanosecond clock's range.
TOVMonoTime AddMinutes(TOVMonoTime t, std::int32_t minutes) {
  using D = TOVMonoTime::duration;
  constexpr std::int64_t kMaxMinutes = 100LL * 366 * 24 * 60;
  const std::int64_t m = std::clamp<std::int64_t>(minutes, -kMaxMinutes, kMaxMinutes);
  const D d = std::chrono::duration_cast<D>(std::chrono::minutes(m));
  if (d > D::zero() && t > TOVMonoTime::max() - d) return TOVMonoTime::max();
  if (d < D::zero() && t < TOVMonoTime::min() - d) return TOVMonoTime::min();
  return t + d;
}

constexpr std::int64_t kMinUTCSeconds = -62135596800LL;  // 0001-01-01 00:00:00
constexpr std::int64_t kMaxUTCSeconds = 253402300799LL;  // 9999-12-31 23:59:59

}  // namespace

// ---- rate limiter -------------------------------------------------------------------------------

TOVRateLimiter::TOVRateLimiter(std::int32_t max_per_minute, std::int32_t max_per_ip, TOVMonoClock clock)
    : max_per_minute_(max_per_minute), max_per_ip_(max_per_ip), clock_(std::move(clock)) {}

void TOVRateLimiter::DropOld(std::deque<TOVMonoTime>& times, TOVMonoTime cutoff) {
  // A time exactly one minute old still counts.
  while (!times.empty() && times.front() < cutoff) times.pop_front();
}

bool TOVRateLimiter::AllowConnection(const std::string& ip) {
  if (ip == kSecurityLoopbackIP) return true;
  enum class Verdict { Allowed, RateLimited, TooManyConnections } verdict = Verdict::Allowed;
  {
    TOVLockGuard g(lock_);
    const TOVMonoTime now = Now();
    auto it = entries_.find(ip);
    if (it != entries_.end()) DropOld(it->second, now - kRateWindow);
    auto conn = active_.find(ip);
    // Only an address that has a window (or open connections) can be over a limit: with a
    // limit of 0 or less, an address that never asked (or holds no connection) is not refused.
    if (it != entries_.end() && static_cast<std::int64_t>(it->second.size()) >= max_per_minute_) {
      verdict = Verdict::RateLimited;
    } else if (conn != active_.end() && conn->second >= max_per_ip_) {
      verdict = Verdict::TooManyConnections;
    } else {
      if (it == entries_.end()) it = entries_.emplace(ip, std::deque<TOVMonoTime>{}).first;
      it->second.push_back(now);
    }
  }
  // Logged after the lock is left: a log line may reach the database.
  if (verdict == Verdict::RateLimited) LogWarning("Rate limit exceeded for IP: %s", ip);
  if (verdict == Verdict::TooManyConnections) LogWarning("Max connections per IP exceeded: %s", ip);
  return verdict == Verdict::Allowed;
}

void TOVRateLimiter::ConnectionOpened(const std::string& ip) {
  TOVLockGuard g(lock_);
  std::int32_t& n = active_[ip];
  if (n < std::numeric_limits<std::int32_t>::max()) ++n;
}

void TOVRateLimiter::ConnectionClosed(const std::string& ip) {
  TOVLockGuard g(lock_);
  auto it = active_.find(ip);
  if (it == active_.end()) return;
  if (--it->second < 1) active_.erase(it);
}

std::int32_t TOVRateLimiter::GetActiveConnectionCount(const std::string& ip) const {
  TOVLockGuard g(lock_);
  auto it = active_.find(ip);
  return it == active_.end() ? 0 : it->second;
}

void TOVRateLimiter::CleanStaleEntries() {
  TOVLockGuard g(lock_);
  const TOVMonoTime cutoff = Now() - kRateWindow;
  for (auto it = entries_.begin(); it != entries_.end();) {
    DropOld(it->second, cutoff);
    if (it->second.empty())
      it = entries_.erase(it);
    else
      ++it;
  }
}

std::size_t TOVRateLimiter::EntryCount() const {
  TOVLockGuard g(lock_);
  return entries_.size();
}

// ---- login throttle -----------------------------------------------------------------------------

TOVLoginThrottle::TOVLoginThrottle(std::int32_t max_attempts, std::int32_t lockout_minutes, std::int32_t ip_threshold,
                                   std::int32_t ip_ban_minutes, TOVMonoClock clock)
    : max_attempts_(max_attempts),
      lockout_minutes_(lockout_minutes),
      ip_threshold_(ip_threshold),
      ip_ban_minutes_(ip_ban_minutes),
      clock_(std::move(clock)) {}

bool TOVLoginThrottle::CheckHeld(std::unordered_map<std::string, Counter>& map, const std::string& key,
                                 TOVMonoTime now) {
  auto it = map.find(key);
  if (it == map.end() || !it->second.until) return false;
  if (now < *it->second.until) return true;
  // The lock ran out: counting starts again from zero.
  it->second.fail_count = 0;
  it->second.until.reset();
  return false;
}

bool TOVLoginThrottle::IsLocked(const std::string& username) {
  TOVLockGuard g(lock_);
  return CheckHeld(users_, ToLowerAscii(username), Now());
}

bool TOVLoginThrottle::IsIPBanned(const std::string& ip) {
  if (ip == kSecurityLoopbackIP) return false;
  TOVLockGuard g(lock_);
  return CheckHeld(ips_, ip, Now());
}

void TOVLoginThrottle::RecordFailure(const std::string& username, const std::string& ip) {
  std::optional<std::int32_t> user_locked, ip_banned;
  {
    TOVLockGuard g(lock_);
    const TOVMonoTime now = Now();
    Counter& u = users_[ToLowerAscii(username)];
    if (u.fail_count < std::numeric_limits<std::int32_t>::max()) ++u.fail_count;
    u.last_failure = now;
    if (u.fail_count >= max_attempts_) {
      u.until = AddMinutes(now, lockout_minutes_);
      user_locked = u.fail_count;
    }
    Counter& a = ips_[ip];
    if (a.fail_count < std::numeric_limits<std::int32_t>::max()) ++a.fail_count;
    a.last_failure = now;
    if (a.fail_count >= ip_threshold_) {
      a.until = AddMinutes(now, ip_ban_minutes_);
      ip_banned = a.fail_count;
    }
  }
  if (user_locked) LogWarning("Login lockout for user \"%s\" (%d failed attempts)", username, *user_locked);
  if (ip_banned) LogWarning("IP temp-banned for login failures: %s (%d attempts)", ip, *ip_banned);
}

void TOVLoginThrottle::RecordSuccess(const std::string& username) {
  TOVLockGuard g(lock_);
  // An entry with no failures and no lock behaves exactly like no entry.
  users_.erase(ToLowerAscii(username));
}

void TOVLoginThrottle::Purge(std::unordered_map<std::string, Counter>& map, TOVMonoTime now) {
  for (auto it = map.begin(); it != map.end();) {
    const Counter& c = it->second;
    const bool ran_out = c.until && now > *c.until;
    const bool idle = !c.until && (c.fail_count == 0 || now - c.last_failure >= kSecurityIdleAgeOut);
    if (ran_out || idle)
      it = map.erase(it);
    else
      ++it;
  }
}

void TOVLoginThrottle::CleanExpired() {
  TOVLockGuard g(lock_);
  const TOVMonoTime now = Now();
  Purge(users_, now);
  Purge(ips_, now);
}

std::size_t TOVLoginThrottle::UserEntryCount() const {
  TOVLockGuard g(lock_);
  return users_.size();
}

std::size_t TOVLoginThrottle::IPEntryCount() const {
  TOVLockGuard g(lock_);
  return ips_.size();
}

// ---- UTC time text ------------------------------------------------------------------------------

std::optional<std::int64_t> ParseUTCText(std::string_view s, bool allow_leap_second) {
  auto num = [&](std::size_t pos, std::size_t len) -> std::optional<int> {
    if (pos + len > s.size()) return std::nullopt;
    int v = 0;
    for (std::size_t i = pos; i < pos + len; ++i) {
      if (s[i] < '0' || s[i] > '9') return std::nullopt;
      v = v * 10 + (s[i] - '0');
    }
    return v;
  };
  auto y = num(0, 4), mo = num(5, 2), d = num(8, 2);
  if (!y || !mo || !d || s[4] != '-' || s[7] != '-') return std::nullopt;
  int hh = 0, mi = 0, ss = 0;
  if (s.size() > 10) {
    if (s[10] != ' ' && s[10] != 'T') return std::nullopt;
    auto h = num(11, 2), m = num(14, 2), sec = num(17, 2);
    if (!h || !m || !sec || s[13] != ':' || s[16] != ':') return std::nullopt;
    hh = *h;
    mi = *m;
    ss = *sec;
  }
  using namespace std::chrono;
  const year_month_day ymd{year{*y}, month{static_cast<unsigned>(*mo)}, day{static_cast<unsigned>(*d)}};
  if (!ymd.ok() || hh > 23 || mi > 59 || ss > (allow_leap_second ? 60 : 59)) return std::nullopt;
  return static_cast<std::int64_t>(sys_days(ymd).time_since_epoch().count()) * 86400 + hh * 3600 + mi * 60 + ss;
}

std::string FormatUTCText(std::int64_t unix_seconds) {
  using namespace std::chrono;
  const std::int64_t s = std::clamp(unix_seconds, kMinUTCSeconds, kMaxUTCSeconds);
  std::int64_t day = s / 86400;
  std::int64_t sod = s % 86400;
  if (sod < 0) {
    sod += 86400;
    --day;
  }
  const year_month_day ymd{sys_days{days{day}}};
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02u-%02u %02d:%02d:%02d", static_cast<int>(ymd.year()),
                static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()), static_cast<int>(sod / 3600),
                static_cast<int>(sod % 3600 / 60), static_cast<int>(sod % 60));
  return buf;
}

// ---- IP blacklist -------------------------------------------------------------------------------

TOVIPBlacklist::TOVIPBlacklist(TOVWallClock wall, std::chrono::milliseconds cache_ttl, TOVMonoClock mono)
    : wall_(std::move(wall)), cache_ttl_(cache_ttl), mono_(std::move(mono)) {}

std::int64_t TOVIPBlacklist::WallNow() const {
  const auto t = wall_ ? wall_() : std::chrono::system_clock::now();
  return std::chrono::floor<std::chrono::seconds>(t.time_since_epoch()).count();
}

std::string TOVIPBlacklist::FormatUTC(std::int64_t unix_seconds) { return FormatUTCText(unix_seconds); }
std::optional<std::int64_t> TOVIPBlacklist::ParseUTC(std::string_view s) { return ParseUTCText(s); }

void TOVIPBlacklist::Invalidate(const std::string& ip) {
  TOVLockGuard g(cache_lock_);
  ++generation_;
  if (ip.empty())
    cache_.clear();
  else
    cache_.erase(ip);
}

std::optional<bool> TOVIPBlacklist::IsBannedCached(const std::string& ip) {
  std::uint64_t generation = 0;
  return CachedAnswer(ip, WallNow(), generation);
}

std::optional<bool> TOVIPBlacklist::CachedAnswer(const std::string& ip, std::int64_t now, std::uint64_t& generation) {
  if (ip == kSecurityLoopbackIP) return false;
  TOVLockGuard g(cache_lock_);
  generation = generation_;
  if (cache_ttl_ <= std::chrono::milliseconds::zero()) return std::nullopt;
  auto it = cache_.find(ip);
  if (it == cache_.end() || MonoNow() - it->second.fetched >= cache_ttl_) return std::nullopt;
  const CacheEntry& e = it->second;
  if (!e.banned) return false;
  return !e.expires || now < *e.expires;  // a temporary ban ends at its time, cached or not
}

bool TOVIPBlacklist::IsBanned(const std::string& ip) {
  const std::int64_t now = WallNow();
  const bool caching = cache_ttl_ > std::chrono::milliseconds::zero();
  std::uint64_t generation = 0;
  if (const std::optional<bool> cached = CachedAnswer(ip, now, generation)) return *cached;

  bool banned = false;
  bool cacheable = true;
  std::optional<std::int64_t> expires;
  {
    auto db = RequireDB();
    TOVReadQuery q = db->NewReadQuery();
    // The expiry is compared with this server's UTC clock, bound as text: the database
    // server's own NOW() may run on another clock or zone.
    q.SetSQL(
        "SELECT id, expires_at FROM ip_blacklist WHERE ip_address = :ip AND (expires_at IS NULL OR expires_at > "
        ":now)");
    q.Param("ip", ip);
    q.Param("now", FormatUTC(now));
    q.Open();
    if (!q.Eof()) {
      banned = true;
      if (!q.IsNull("expires_at")) {
        expires = ParseUTC(q.Str("expires_at"));
        if (!expires) cacheable = false;  // unknown form: ask again next time
      }
    }
  }

  if (caching && cacheable) {
    TOVLockGuard g(cache_lock_);
    // A ban or unban made while we were reading may have been missed by the read: only an
    // answer read with no change in between is kept.
    if (generation == generation_) {
      const TOVMonoTime fetched = MonoNow();
      if (cache_.size() >= kMaxCachedAddresses) {
        std::erase_if(cache_, [&](const auto& kv) { return fetched - kv.second.fetched >= cache_ttl_; });
        if (cache_.size() >= kMaxCachedAddresses) cache_.clear();
      }
      cache_[ip] = CacheEntry{banned, expires, fetched};
    }
  }
  return banned;
}

void TOVIPBlacklist::ChangeAddress(const std::string& ip,
                                   const std::function<void(TOVDatabase&, TOVQueryBase&)>& statement) {
  TOVLockGuard g(lock_);
  // Whatever happened to the row, the cached answer for the address is no longer trusted.
  struct InvalidateOnExit {
    TOVIPBlacklist* self;
    const std::string& ip;
    ~InvalidateOnExit() { self->Invalidate(ip); }
  } invalidate{this, ip};
  auto db = RequireDB();
  TOVWriteQuery q = db->NewQuery();
  statement(*db, q);
  q.ExecSQL();
  db->Commit();
}

void TOVIPBlacklist::BanIP(const std::string& ip, const std::string& reason, std::int64_t banned_by,
                           std::int32_t minutes) {
  std::string expiry;
  if (minutes >= 1) expiry = FormatUTC(WallNow() + static_cast<std::int64_t>(minutes) * 60);  // clamped to 9999
  ChangeAddress(ip, [&](TOVDatabase& db, TOVQueryBase& q) {
    // banned_by references users: a banning account that no longer exists (its token outlived
    // it) is stored as NULL, which the foreign key accepts, instead of losing the ban.  The
    // look-up runs under the same write lock as the upsert, so the account cannot go between.
    std::int64_t by = 0;
    if (banned_by >= 1) {
      q.SetSQL("SELECT id FROM users WHERE id = :p3");
      q.Param("p3", banned_by);
      q.Open();
      if (!q.Eof()) by = banned_by;
      q.Close();
    }
    q.SetSQL(db.Dialect()->UpsertStmt("ip_blacklist", {"ip_address", "reason", "banned_by", "expires_at"},
                                      {"ip_address"}));
    q.Param("p1", ip);
    q.Param("p2", reason);
    if (by >= 1)
      q.Param("p3", by);
    else
      q.ParamNull("p3");
    if (!expiry.empty())
      q.Param("p4", expiry);
    else
      q.ParamNull("p4");
  });
  LogInfo("IP banned: %s - %s", ip, reason);
}

void TOVIPBlacklist::UnbanIP(const std::string& ip) {
  ChangeAddress(ip, [&](TOVDatabase&, TOVQueryBase& q) {
    q.SetSQL("DELETE FROM ip_blacklist WHERE ip_address = :ip");
    q.Param("ip", ip);
  });
  LogInfo("IP unbanned: %s", ip);
}

TJSON TOVIPBlacklist::GetBanList() {
  return ReadList(
      "SELECT b.id, b.ip_address, b.reason, b.banned_at, b.expires_at, b.banned_by, u.username as banned_by_name "
      "FROM ip_blacklist b LEFT JOIN users u ON b.banned_by = u.id ORDER BY b.banned_at DESC, b.id",
      [](const TOVQueryBase& q) {
        TJSON o = TJSON::object();
        o["id"] = q.Int("id");
        o["ip_address"] = q.Str("ip_address");
        o["reason"] = q.Str("reason");
        o["banned_at"] = q.Str("banned_at");
        o["expires_at"] = q.Str("expires_at");
        o["banned_by_name"] = q.Str("banned_by_name");
        return o;
      });
}

void TOVIPBlacklist::CleanExpired() {
  // Cached answers need no invalidation: a cached temporary ban carries its own end time.
  TOVLockGuard g(lock_);
  auto db = RequireDB();
  TOVWriteQuery q = db->NewQuery();
  q.SetSQL("DELETE FROM ip_blacklist WHERE expires_at IS NOT NULL AND expires_at <= :now");
  q.Param("now", FormatUTC(WallNow()));
  q.ExecSQL();
  db->Commit();
}

// ---- cleanup thread -----------------------------------------------------------------------------

TOVSecurityCleanupThread::TOVSecurityCleanupThread(std::int32_t interval_seconds)
    : TOVSecurityCleanupThread(std::chrono::milliseconds(std::max<std::int64_t>(interval_seconds, 1) * 1000)) {}

TOVSecurityCleanupThread::TOVSecurityCleanupThread(std::chrono::milliseconds interval)
    : interval_(std::max(interval, std::chrono::milliseconds(1))) {
  thread_ = std::thread([this] { Execute(); });
}

TOVSecurityCleanupThread::~TOVSecurityCleanupThread() {
  SignalStop();
  WaitFor();
}

void TOVSecurityCleanupThread::SignalStop() noexcept {
  {
    TOVLockGuard g(mu_);
    stop_ = true;
  }
  cv_.notify_all();
}

void TOVSecurityCleanupThread::WaitFor() noexcept {
  TOVLockGuard g(join_mu_);
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

std::uint64_t TOVSecurityCleanupThread::Passes() const {
  TOVLockGuard g(mu_);
  return passes_;
}

void TOVSecurityCleanupThread::Execute() {
  LogInfo("Security cleanup thread started (interval: %d seconds)",
          std::chrono::duration_cast<std::chrono::seconds>(interval_).count());
  TOVUniqueLock lk(mu_);
  while (!stop_) {
    cv_.wait_for(lk, interval_, [this]() REQUIRES(mu_) { return stop_; });
    if (stop_) break;
    lk.unlock();
    std::string failure;
    try {
      if (auto limiter = RateLimiter.Get()) limiter->CleanStaleEntries();
      if (auto throttle = LoginThrottle.Get()) throttle->CleanExpired();
      if (auto blacklist = IPBlacklist.Get()) blacklist->CleanExpired();
    } catch (const std::exception& e) {
      // A pass that fails only for the outage adds no line to the outage's own (once a minute).
      if (!FailedForOutage(e)) failure = e.what();
    } catch (...) {
      failure = "unknown error";
    }
    if (!failure.empty()) LogError("Security cleanup error: %s", failure);
    lk.lock();
    ++passes_;
  }
  lk.unlock();
  LogInfo("Security cleanup thread stopped");
}

// ---- start-up, shutdown and wiring --------------------------------------------------------------

namespace {

void FreeSecurityObjects() noexcept {
  if (auto t = SecurityCleanupThread.Retire()) {
    t->SignalStop();
    t->WaitFor();
  }
  IPBlacklist.Free();
  LoginThrottle.Free();
  RateLimiter.Free();
}

}  // namespace

void StartupSecurity() {
  try {
    std::int32_t per_minute = 0, per_ip = 0, attempts = 0, lock_minutes = 0, ip_threshold = 0, ip_ban_minutes = 0;
    {
      auto cfg = Config.Get();
      if (!cfg) throw ServiceUnavailable("Config not available");
      per_minute = cfg->RateLimitPerMinute();
      per_ip = cfg->MaxConnectionsPerIP();
      attempts = cfg->LoginLockoutAttempts();
      lock_minutes = cfg->LoginLockoutMinutes();
      ip_threshold = cfg->IPBanThreshold();
      ip_ban_minutes = cfg->IPBanDurationMinutes();
    }
    RateLimiter.Publish(std::make_unique<TOVRateLimiter>(per_minute, per_ip));
    LoginThrottle.Publish(std::make_unique<TOVLoginThrottle>(attempts, lock_minutes, ip_threshold, ip_ban_minutes));
    IPBlacklist.Publish(std::make_unique<TOVIPBlacklist>());
    IPBlacklist->CleanExpired();
    SecurityCleanupThread.Publish(std::make_unique<TOVSecurityCleanupThread>(kCleanupIntervalSeconds));
  } catch (...) {
    FreeSecurityObjects();
    throw;
  }
  LogInfo("Security subsystems initialized");
}

void ShutdownSecurity(const std::function<void(const std::string&)>& step) {
  if (auto t = SecurityCleanupThread.Get()) {
    if (step) step("SecurityCleanupThread.SignalStop");
    t->SignalStop();
  }
  if (auto t = SecurityCleanupThread.Retire()) {
    if (step) step("SecurityCleanupThread.WaitFor");
    t->WaitFor();
  }
  IPBlacklist.Free();
  LoginThrottle.Free();
  RateLimiter.Free();
}

void InstallSecurityGate(TOVHttpServerOptions& options) {
  options.is_banned = [](const std::string& ip) {
    auto blacklist = IPBlacklist.Get();
    return blacklist && blacklist->IsBanned(ip);
  };
  options.is_banned_now = [](const std::string& ip) -> std::optional<bool> {
    auto blacklist = IPBlacklist.Get();
    if (!blacklist) return false;
    return blacklist->IsBannedCached(ip);
  };
  options.allow_request = [](const std::string& ip) {
    auto limiter = RateLimiter.Get();
    return !limiter || limiter->AllowConnection(ip);
  };
  // A proxy speaks for many clients, and the console is this machine.
  options.share_exempt = [](const std::string& ip) { return ip == kSecurityLoopbackIP || IsTrustedProxy(ip); };
}

void SecurityConnectionOpened(const std::string& ip) {
  if (auto limiter = RateLimiter.Get()) limiter->ConnectionOpened(ip);
}

void SecurityConnectionClosed(const std::string& ip) {
  if (auto limiter = RateLimiter.Get()) limiter->ConnectionClosed(ip);
}

}  // namespace ov
