// A clock that tests set by hand, and the local zone of a test.
#pragma once

#include <stdlib.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "ov_clock.h"

namespace ovtest {

// Seconds since 1970 of a UTC calendar time.
inline std::int64_t UTC(int y, unsigned mo, unsigned d, int h = 0, int mi = 0, int s = 0) {
  using namespace std::chrono;
  return sys_days{year{y} / month{mo} / day{d}}.time_since_epoch().count() * 86400 + h * 3600 + mi * 60 + s;
}

// Wall and monotonic time move only when the test says so; the local zone is the process's
// (see ScopedTZ).
class FakeClock final : public ov::TOVClock {
 public:
  explicit FakeClock(std::int64_t wall_seconds) : wall_ms_(wall_seconds * 1000) {}
  ov::TOVWallTime WallNow() const override { return ov::TOVWallTime(std::chrono::milliseconds(wall_ms_.load())); }
  ov::TOVMonoTime MonoNow() const override { return ov::TOVMonoTime(std::chrono::milliseconds(mono_ms_.load())); }
  std::int32_t UtcOffset(std::int64_t t) const override { return ov::SystemClock().UtcOffset(t); }

  void SetWall(std::int64_t seconds) { wall_ms_ = seconds * 1000; }
  // Both clocks move together, as they do while nobody touches the wall clock.
  void Advance(std::chrono::milliseconds d) {
    wall_ms_ += d.count();
    mono_ms_ += d.count();
  }
  // Only the wall clock moves: somebody set it.
  void JumpWall(std::chrono::milliseconds d) { wall_ms_ += d.count(); }

 private:
  std::atomic<std::int64_t> wall_ms_;
  std::atomic<std::int64_t> mono_ms_{1'000'000'000};
};

// The process's local zone for the scope of a test.
class ScopedTZ {
 public:
  explicit ScopedTZ(const char* tz) {
    if (const char* old = ::getenv("TZ")) old_ = old;
    ::setenv("TZ", tz, 1);
    ::tzset();
  }
  ~ScopedTZ() {
    if (old_)
      ::setenv("TZ", old_->c_str(), 1);
    else
      ::unsetenv("TZ");
    ::tzset();
  }
  ScopedTZ(const ScopedTZ&) = delete;
  ScopedTZ& operator=(const ScopedTZ&) = delete;

 private:
  std::optional<std::string> old_;
};

inline constexpr const char* kCET = "CET-1CEST,M3.5.0,M10.5.0/3";

}  // namespace ovtest
