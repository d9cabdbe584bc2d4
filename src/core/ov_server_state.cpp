#include "ov_server_state.h"

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <mutex>

#include "ov_locks.h"
#include "ov_log.h"

namespace ov {

std::atomic<bool> gRestartPending{false};
std::atomic<bool> gRestartWhenIdle{false};

namespace {

// ---- Set once by the console life before any other thread runs; read freely after ----
std::string g_build_id;
std::string g_config_file = "config/orvanta.ini";

// ---- Guarded by g_state_lock (a leaf: nothing is called while it is held) ----
TOVLock g_state_lock{LockLevel::Leaf};
std::chrono::system_clock::time_point g_start_time GUARDED_BY(g_state_lock);
std::vector<std::string> g_restart_reasons GUARDED_BY(g_state_lock);
std::function<void()> g_stop_handler GUARDED_BY(g_state_lock);

std::atomic<bool> g_stop_requested{false};

}  // namespace

const std::string& GetServerBuildId() noexcept { return g_build_id; }
void SetServerBuildId(std::string id) { g_build_id = std::move(id); }
std::chrono::system_clock::time_point GetServerStartTime() noexcept {
  TOVLockGuard g(g_state_lock);
  return g_start_time;
}
void SetServerStartTime(std::chrono::system_clock::time_point t) noexcept {
  TOVLockGuard g(g_state_lock);
  g_start_time = t;
}

std::string MakeBuildId(std::chrono::system_clock::time_point t) {
  using namespace std::chrono;
  time_t secs = system_clock::to_time_t(t);
  struct tm lt;
  localtime_r(&secs, &lt);
  year_month_day ymd{year{lt.tm_year + 1900}, month{static_cast<unsigned>(lt.tm_mon + 1)},
                     day{static_cast<unsigned>(lt.tm_mday)}};
  // Day 1 is 1 January of year 1; 1 January 1970 is day 719163.
  long long day_number = sys_days(ymd).time_since_epoch().count() + 719163LL;
  auto ms_total = duration_cast<milliseconds>(t.time_since_epoch()).count() % 1000;
  if (ms_total < 0) ms_total += 1000;
  long long ms = (static_cast<long long>(lt.tm_hour) * 3600 + lt.tm_min * 60 + lt.tm_sec) * 1000 + ms_total;
  char buf[32];
  std::snprintf(buf, sizeof buf, "%08llX%08llX", day_number, ms);
  return buf;
}

std::string ExecutableDir() {
  std::error_code ec;
  auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return "./";
  std::string d = p.parent_path().string();
  if (d.empty() || d.back() != '/') d.push_back('/');
  return d;
}

const std::string& GetConfigFileName() noexcept { return g_config_file; }
void SetConfigFileName(std::string file) { g_config_file = std::move(file); }

void StartupServerState() {
  SetServerStartTime(std::chrono::system_clock::now());
  ResetRestartState();
}

void RequestRestart(const std::string& reason) {
  gRestartPending.store(true);
  if (!reason.empty()) {
    TOVLockGuard g(g_state_lock);
    g_restart_reasons.push_back(reason);
  }
  LogInfo("Restart pending: %s", reason);
}

std::vector<std::string> GetRestartReasons() {
  TOVLockGuard g(g_state_lock);
  return g_restart_reasons;
}

void ResetRestartState() {
  gRestartPending.store(false);
  gRestartWhenIdle.store(false);
  TOVLockGuard g(g_state_lock);
  g_restart_reasons.clear();
}

void RequestServerStop() noexcept {
  g_stop_requested.store(true);
  std::function<void()> handler;
  {
    TOVLockGuard g(g_state_lock);
    handler = g_stop_handler;
  }
  try {
    if (handler) handler();
  } catch (...) {
  }
}

bool ServerStopRequested() noexcept { return g_stop_requested.load(); }

void SetServerStopHandler(std::function<void()> handler) {
  TOVLockGuard g(g_state_lock);
  g_stop_handler = std::move(handler);
}

void ResetServerStopRequest() noexcept { g_stop_requested.store(false); }

}  // namespace ov
