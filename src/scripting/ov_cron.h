// The scheduler's five-field cron dialect, parsed once into bit sets, and the search for the
// next minute it selects.
//
// Dialect: after trimming the whole expression, fields are separated by single spaces: minute
// (0-59), hour (0-23), day of month (1-31), month (1-12), day of week (0-6, Sunday = 0).  Fewer
// than five fields never match, fields beyond the fifth are ignored, two spaces in a row make
// an empty field that matches nothing.  A time matches when all five fields hold it (day of
// month AND day of week).  No names, no "?", "L", "W", "#", no 7 for Sunday.  Items of a field
// are separated by ","; "*", "n", "a-b" (an empty or unreadable end is the field's bound,
// clipped to the field's range), each with an optional "/step" (below 1 or unreadable: 1) that
// applies to "*" and ranges only ("5/15" is minute 5).
//
// Times: the search counts UTC minutes and tests each one's local time, so it never invents a
// local time that does not exist.  Around daylight-saving changes it behaves like a sysop's
// crontab: a schedule with a fixed hour runs once in a repeated (autumn) hour, at the first
// occurrence, and a time that falls into a skipped (spring) hour runs at the first minute after
// the jump; a schedule with "*" in the hour field just follows the clock.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "ov_clock.h"

namespace ov {

// The values min..max that a field selects, bit v for value v.  Callers keep max <= 63.
std::uint64_t ParseCronField(std::string_view field, int min, int max);

// Why an expression is not one to accept from an administrator: the first way it departs from
// the dialect as the README documents it (exactly five non-empty fields; items "*", "n" or
// "a-b" of plain decimal numbers inside the field's range with a <= b, each with an optional
// "/step" of at least 1), or that no month it names has a day of month it names, so it would
// never run.  nullopt for an expression that is well-formed and selects some minute.  The
// text is ASCII and never longer than a short line, whatever the expression holds.
std::optional<std::string> CronExpressionProblem(std::string_view expr);

// The search looks at this many candidate minutes (366 days), then gives up.
inline constexpr std::int64_t kCronCandidateMinutes = 527041;

class TOVCronSchedule {
 public:
  TOVCronSchedule() = default;  // matches nothing
  // The lax reading above.  With problem, the first departure from the documented syntax is
  // also described there (left as it is when there is none); the reading does not change.
  static TOVCronSchedule Parse(std::string_view expr, std::string* problem = nullptr);

  std::uint64_t Minutes() const noexcept { return minutes_; }
  std::uint64_t Hours() const noexcept { return hours_; }
  std::uint64_t Days() const noexcept { return days_; }
  std::uint64_t Months() const noexcept { return months_; }
  std::uint64_t Weekdays() const noexcept { return weekdays_; }
  // Five fields were given.
  bool Complete() const noexcept { return complete_; }
  // The hour field has a "*" item: the schedule follows the clock through daylight-saving
  // changes instead of running a fixed time once.
  bool FollowsClock() const noexcept { return follows_clock_; }

  // Some minute of some date is selected: every field selects a value, and some month it
  // selects has a day of month it selects (February with 29).  Such a date falls on every day
  // of the week within the calendar's 400-year cycle, so the schedule runs some day, even when
  // that is beyond NextRun's horizon.
  bool CanMatch() const noexcept;
  // All five fields hold the calendar time.
  bool Matches(const TOVCivilTime& t) const noexcept;
  // The first whole UTC minute after now (never now's own minute) that the schedule selects in
  // the clock's local zone, among kCronCandidateMinutes minutes; nullopt when none.
  std::optional<std::int64_t> NextRun(std::int64_t now, const TOVClock& clock) const;

 private:
  bool DayMatches(const TOVCivilTime& t) const noexcept;
  bool SkippedTimeMatches(std::int64_t first_local, std::int64_t end_local) const noexcept;
  bool Repeated(std::int64_t minute, std::int32_t offset, const TOVClock& clock) const;

  std::uint64_t minutes_ = 0;
  std::uint64_t hours_ = 0;
  std::uint64_t days_ = 0;
  std::uint64_t months_ = 0;
  std::uint64_t weekdays_ = 0;
  bool complete_ = false;
  bool follows_clock_ = false;
};

}  // namespace ov
