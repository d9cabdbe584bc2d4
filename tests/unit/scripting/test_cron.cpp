#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "clock_test_util.h"
#include "ov_cron.h"
#include "ov_security.h"

using namespace ov;
using ovtest::UTC;

namespace {

std::vector<int> Values(std::uint64_t set) {
  std::vector<int> v;
  for (int i = 0; i < 64; ++i)
    if (set >> i & 1) v.push_back(i);
  return v;
}

std::vector<int> Range(int from, int to) {
  std::vector<int> v;
  for (int i = from; i <= to; ++i) v.push_back(i);
  return v;
}

// The next run as UTC text, "never" when the search finds none.
std::string Next(const char* expr, std::int64_t now) {
  const std::optional<std::int64_t> r = TOVCronSchedule::Parse(expr).NextRun(now, SystemClock());
  return r ? FormatUTCText(*r) : "never";
}

}  // namespace

TEST(CronField, ItemsStepsRangesAndClipping) {
  const struct {
    const char* field;
    int min, max;
    std::vector<int> values;
  } cases[] = {
      {"*", 0, 59, Range(0, 59)},
      {"*/15", 0, 59, {0, 15, 30, 45}},
      {"5/15", 0, 59, {5}},         // the step applies to "*" and ranges only
      {"30-70", 0, 59, Range(30, 59)},
      {"1,,2", 0, 59, {1, 2}},      // empty items are skipped
      {" 3 , 4 ", 0, 59, {3, 4}},   // items are trimmed
      {"-5", 0, 59, Range(0, 5)},   // an empty start is the minimum
      {"50-", 0, 59, Range(50, 59)},
      {"x-3", 1, 31, {1, 2, 3}},    // an unreadable start too
      {"10-20/5", 0, 59, {10, 15, 20}},
      {"*/0", 0, 23, Range(0, 23)}, // a step below 1 is 1
      {"*/x", 1, 12, Range(1, 12)},
      {"20-10", 0, 59, {}},
      {"7", 0, 6, {}},              // no 7 for Sunday
      {"60", 0, 59, {}},
      {"abc", 0, 59, {}},
      {"99999999999", 0, 59, {}},
      {"*/99999999999", 0, 6, Range(0, 6)},
      {"", 0, 59, {}},
      {"0,6", 0, 6, {0, 6}},
  };
  for (const auto& c : cases) EXPECT_EQ(Values(ParseCronField(c.field, c.min, c.max)), c.values) << c.field;
}

TEST(CronSchedule, ExpressionShapes) {
  const TOVCronSchedule full = TOVCronSchedule::Parse("  0 3 * * 1-5  ");
  EXPECT_TRUE(full.Complete());
  EXPECT_FALSE(full.FollowsClock());
  EXPECT_EQ(Values(full.Weekdays()), Range(1, 5));
  EXPECT_TRUE(TOVCronSchedule::Parse("0 */2 * * *").FollowsClock());
  EXPECT_FALSE(TOVCronSchedule::Parse("* * * *").Complete());
  EXPECT_TRUE(TOVCronSchedule::Parse("* * * * * ignored").Complete());

  ovtest::ScopedTZ utc("UTC");
  const std::int64_t now = UTC(2024, 6, 12, 10, 0, 30);  // a Wednesday
  EXPECT_EQ(Next("* * * *", now), "never");
  EXPECT_EQ(Next("*  * * * *", now), "never");  // two spaces: an empty field
  EXPECT_EQ(Next("0 0 * * 7", now), "never");
  EXPECT_EQ(Next("0 0 31 2 *", now), "never");
  EXPECT_EQ(Next("", now), "never");
}

// The check of an administrator's expression and the scheduler's own search agree on which
// dates exist: from 1 March 2027 the search's year reaches every date, 29 February 2028 too.
TEST(CronSchedule, AnExpressionIsRefusedAsNeverMatchingExactlyWhenNoDateHasIt) {
  ovtest::ScopedTZ utc("UTC");
  int accepted = 0;
  for (int month = 1; month <= 12; ++month) {
    for (int day = 1; day <= 31; ++day) {
      const std::string expr = "0 0 " + std::to_string(day) + " " + std::to_string(month) + " *";
      const bool runs = Next(expr.c_str(), UTC(2027, 3, 1)) != "never";
      const std::optional<std::string> problem = CronExpressionProblem(expr);
      EXPECT_EQ(!problem, runs) << expr << ": " << problem.value_or("accepted");
      if (problem) {
        EXPECT_EQ(*problem, "never matches: no month it names has a day of month it names") << expr;
      }
      accepted += runs;
    }
  }
  EXPECT_EQ(accepted, 366);
  // A day of the week narrows the dates but never empties them: each date falls on each
  // weekday in some year (29 February on a Monday: 2044).
  EXPECT_EQ(CronExpressionProblem("0 0 29 2 1"), std::nullopt);
  EXPECT_EQ(CronExpressionProblem("0 0 31 4,6,9,11 *").value_or(""),
            "never matches: no month it names has a day of month it names");
}

TEST(CronSchedule, NextRunInUTC) {
  ovtest::ScopedTZ utc("UTC");
  const struct {
    const char* expr;
    std::int64_t now;
    const char* next;
  } cases[] = {
      {"* * * * *", UTC(2024, 6, 12, 10, 0, 30), "2024-06-12 10:01:00"},
      {"* * * * *", UTC(2024, 6, 12, 10, 0, 0), "2024-06-12 10:01:00"},  // never the current minute
      {"*/15 * * * *", UTC(2024, 6, 12, 10, 1), "2024-06-12 10:15:00"},
      {"*/15 * * * *", UTC(2024, 6, 12, 10, 45), "2024-06-12 11:00:00"},
      {"5/15 * * * *", UTC(2024, 6, 12, 10, 6), "2024-06-12 11:05:00"},
      {"30-70 * * * *", UTC(2024, 6, 12, 10, 59, 30), "2024-06-12 11:30:00"},
      {"1,,2 * * * *", UTC(2024, 6, 12, 10, 1, 10), "2024-06-12 10:02:00"},
      {"0 0 * * 0", UTC(2024, 6, 12, 10), "2024-06-16 00:00:00"},        // Sunday
      {"0 0 1 * 1", UTC(2024, 1, 2), "2024-04-01 00:00:00"},              // a first that is a Monday
      {"0 0 29 2 *", UTC(2024, 3, 1), "never"},                           // beyond 366 days
      {"0 0 29 2 *", UTC(2027, 3, 1), "2028-02-29 00:00:00"},
      {"59 23 31 12 *", UTC(2024, 12, 31, 23, 59), "2025-12-31 23:59:00"},
      {"0 4 * * 0", UTC(2024, 6, 16, 4, 0, 0), "2024-06-23 04:00:00"},
  };
  for (const auto& c : cases) EXPECT_EQ(Next(c.expr, c.now), c.next) << c.expr << " at " << FormatUTCText(c.now);
}

TEST(CronSchedule, LocalTimeAcrossDaylightSaving) {
  ovtest::ScopedTZ cet(ovtest::kCET);
  // 31 March 2024: 02:00 CET becomes 03:00 CEST at 01:00 UTC.  27 October 2024: 03:00 CEST
  // becomes 02:00 CET at 01:00 UTC, so 02:00-02:59 is shown twice.
  const struct {
    const char* expr;
    std::int64_t now;
    const char* next;
  } cases[] = {
      {"0 3 * * *", UTC(2024, 6, 10, 12), "2024-06-11 01:00:00"},   // 03:00 CEST
      {"0 3 * * *", UTC(2024, 1, 10, 12), "2024-01-11 02:00:00"},   // 03:00 CET
      // Spring: a fixed time in the skipped hour runs at the first minute after the jump ...
      {"30 2 * * *", UTC(2024, 3, 30, 12), "2024-03-31 01:00:00"},
      {"0 2 * * *", UTC(2024, 3, 30, 12), "2024-03-31 01:00:00"},
      {"30 2 * * *", UTC(2024, 3, 31, 1, 0, 0), "2024-04-01 00:30:00"},
      // ... a schedule with "*" in the hour field follows the clock.
      {"10 * * * *", UTC(2024, 3, 31, 0, 50), "2024-03-31 01:10:00"},  // 02:10 does not exist
      {"59 1 * * *", UTC(2024, 3, 30, 12), "2024-03-31 00:59:00"},     // before the jump: no change
      {"0 3 * * *", UTC(2024, 3, 30, 12), "2024-03-31 01:00:00"},      // 03:00 CEST exists
      // Autumn: a fixed time in the repeated hour runs once, at its first occurrence ...
      {"30 2 * * *", UTC(2024, 10, 26, 12), "2024-10-27 00:30:00"},
      {"30 2 * * *", UTC(2024, 10, 27, 0, 30), "2024-10-28 01:30:00"},
      {"* 2 * * *", UTC(2024, 10, 27, 0, 59), "2024-10-28 01:00:00"},
      // ... and "*" in the hour field runs in both.
      {"30 * * * *", UTC(2024, 10, 27, 0, 30), "2024-10-27 01:30:00"},
      {"*/20 * * * *", UTC(2024, 10, 27, 0, 59), "2024-10-27 01:00:00"},
      {"0 0 31 2 *", UTC(2024, 3, 1), "never"},
  };
  for (const auto& c : cases) EXPECT_EQ(Next(c.expr, c.now), c.next) << c.expr << " at " << FormatUTCText(c.now);
}

TEST(CronSchedule, OffsetsThatAreNotWholeHours) {
  {
    ovtest::ScopedTZ nepal("NPT-5:45");
    EXPECT_EQ(Next("0 0 * * *", UTC(2024, 6, 12, 12)), "2024-06-12 18:15:00");
  }
  {
    // A zone offset with seconds (local mean time): the run is the first whole UTC minute in
    // the selected local minute.
    ovtest::ScopedTZ lmt("LMT-0:09:21");
    EXPECT_EQ(Next("0 12 * * *", UTC(2024, 6, 12, 9)), "2024-06-12 11:51:00");
  }
}
