// Time as the server reads it: the wall clock (UTC), the monotonic clock for durations and
// intervals, and the local zone's offset from UTC at a given moment.  Code that needs "now"
// asks a TOVClock; tests hand in one of their own.
#pragma once

#include <chrono>
#include <cstdint>

namespace ov {

using TOVWallTime = std::chrono::system_clock::time_point;
using TOVMonoTime = std::chrono::steady_clock::time_point;

// Broken-down calendar time (proleptic Gregorian).
struct TOVCivilTime {
  int year = 1970;
  int month = 1;    // 1-12
  int day = 1;      // 1-31
  int hour = 0;     // 0-23
  int minute = 0;   // 0-59
  int second = 0;   // 0-59
  int weekday = 4;  // 0 = Sunday ... 6 = Saturday
};

// The calendar fields of a count of seconds since 1970-01-01 00:00:00 on a clock without a
// zone (UTC seconds give UTC fields; UTC seconds plus a zone's offset give that zone's fields).
// Pure arithmetic: valid for every 64-bit count whose year fits in an int.
TOVCivilTime CivilFromSeconds(std::int64_t seconds) noexcept;

// Floor division of seconds into whole minutes, also for times before 1970.
constexpr std::int64_t FloorToMinute(std::int64_t seconds) noexcept {
  const std::int64_t q = seconds / 60;
  return (seconds % 60 < 0 ? q - 1 : q) * 60;
}

class TOVClock {
 public:
  virtual ~TOVClock() = default;
  virtual TOVWallTime WallNow() const = 0;
  virtual TOVMonoTime MonoNow() const = 0;
  // Seconds east of UTC of the local zone at that moment: UTC seconds + offset = local time.
  virtual std::int32_t UtcOffset(std::int64_t unix_seconds) const = 0;

  // Whole seconds of the wall clock since 1970 (rounded down).
  std::int64_t WallSeconds() const;
  // The local calendar time at a moment.
  TOVCivilTime ToLocal(std::int64_t unix_seconds) const {
    return CivilFromSeconds(unix_seconds + UtcOffset(unix_seconds));
  }
};

// The process's own clocks; the local zone is the C library's (TZ), read through localtime_r.
// A program that changes TZ while running calls tzset() afterwards.
class TOVSystemClock final : public TOVClock {
 public:
  TOVWallTime WallNow() const override { return std::chrono::system_clock::now(); }
  TOVMonoTime MonoNow() const override { return std::chrono::steady_clock::now(); }
  std::int32_t UtcOffset(std::int64_t unix_seconds) const override;
};

// The shared system clock.
const TOVClock& SystemClock() noexcept;

}  // namespace ov
