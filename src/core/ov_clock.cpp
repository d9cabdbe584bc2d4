#include "ov_clock.h"

#include <ctime>

namespace ov {

TOVCivilTime CivilFromSeconds(std::int64_t seconds) noexcept {
  // Days and seconds of the day, the day rounded down for times before 1970.
  std::int64_t days = seconds / 86400;
  std::int64_t sod = seconds % 86400;
  if (sod < 0) {
    sod += 86400;
    --days;
  }
  TOVCivilTime t;
  t.hour = static_cast<int>(sod / 3600);
  t.minute = static_cast<int>(sod % 3600 / 60);
  t.second = static_cast<int>(sod % 60);
  // 1970-01-01 was a Thursday.
  const std::int64_t wd = (days + 4) % 7;
  t.weekday = static_cast<int>(wd < 0 ? wd + 7 : wd);
  // Civil date from a day count (H. Hinnant's algorithm, eras of 400 years).
  const std::int64_t z = days + 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  const std::int64_t d = doy - (153 * mp + 2) / 5 + 1;
  const std::int64_t m = mp < 10 ? mp + 3 : mp - 9;
  t.year = static_cast<int>(yoe + era * 400 + (m <= 2 ? 1 : 0));
  t.month = static_cast<int>(m);
  t.day = static_cast<int>(d);
  return t;
}

std::int64_t TOVClock::WallSeconds() const {
  return std::chrono::floor<std::chrono::seconds>(WallNow().time_since_epoch()).count();
}

std::int32_t TOVSystemClock::UtcOffset(std::int64_t unix_seconds) const {
  const std::time_t t = static_cast<std::time_t>(unix_seconds);
  std::tm lt{};
  if (!::localtime_r(&t, &lt)) return 0;  // outside what the C library can convert
  return static_cast<std::int32_t>(lt.tm_gmtoff);
}

const TOVClock& SystemClock() noexcept {
  static const TOVSystemClock clock;
  return clock;
}

}  // namespace ov
