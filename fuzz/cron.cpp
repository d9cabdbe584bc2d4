// libFuzzer target for the scheduler's cron parser and next-run search (ov_cron), checked
// against the direct evaluation in cron_reference.h on the same expression, time and zone:
//   - every field parses to the same set of values;
//   - Matches agrees on a few calendar times;
//   - NextRun finds the same minute (or none) as testing one UTC minute after the other.
// The input picks a zone (a whole-quarter-hour offset, optionally with daylight saving in
// either hemisphere), a time (often close to a daylight-saving change) and an expression built
// from cron-like pieces, or taken as raw text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <string>

#include "cron_reference.h"
#include "ov_clock.h"
#include "ov_cron.h"

namespace {

class Input {
 public:
  Input(const std::uint8_t* d, std::size_t n) : d_(d), n_(n) {}
  std::uint8_t Byte() { return i_ < n_ ? d_[i_++] : 0; }
  std::uint32_t Word() { return Byte() | Byte() << 8 | Byte() << 16 | static_cast<std::uint32_t>(Byte()) << 24; }
  bool Empty() const { return i_ >= n_; }
  std::string Rest() { return std::string(reinterpret_cast<const char*>(d_ + i_), n_ - std::min(i_, n_)); }

 private:
  const std::uint8_t* d_;
  std::size_t n_;
  std::size_t i_ = 0;
};

std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

// 01:00 UTC on the last Sunday of a month.
std::int64_t LastSundayOneAM(std::int64_t year, unsigned month) {
  const std::int64_t last = month == 12 ? DaysFromCivil(year + 1, 1, 1) - 1 : DaysFromCivil(year, month + 1, 1) - 1;
  const std::int64_t wd = ((last + 4) % 7 + 7) % 7;  // 0 = Sunday
  return (last - wd) * 86400 + 3600;
}

// A zone whose daylight saving follows the European dates (in the north) or their complement
// (in the south).
class FuzzZone final : public ov::TOVClock {
 public:
  FuzzZone(std::int32_t base, std::int32_t dst, bool north) : base_(base), dst_(dst), north_(north) {}
  ov::TOVWallTime WallNow() const override { return {}; }
  ov::TOVMonoTime MonoNow() const override { return {}; }
  std::int32_t UtcOffset(std::int64_t t) const override {
    const std::int64_t year = ov::CivilFromSeconds(t).year;
    if (year != year_) {
      year_ = year;
      start_ = LastSundayOneAM(year, 3);
      end_ = LastSundayOneAM(year, 10);
    }
    const bool summer = t >= start_ && t < end_;
    return base_ + (summer == north_ ? dst_ : 0);
  }
  std::int64_t Change(std::int64_t year, bool spring) const { return LastSundayOneAM(year, spring ? 3 : 10); }

 private:
  std::int32_t base_, dst_;
  bool north_;
  mutable std::int64_t year_ = INT64_MIN, start_ = 0, end_ = 0;
};

std::string Value(Input& in, int max) { return std::to_string(static_cast<int>(in.Byte() % (max + 12)) - 4); }

std::string Item(Input& in, int max) {
  std::string s;
  switch (in.Byte() % 10) {
    case 0: s = "*"; break;
    case 1: s = "*/" + Value(in, max); break;
    case 2: case 3: s = Value(in, max); break;
    case 4: s = Value(in, max) + "-" + Value(in, max); break;
    case 5: s = Value(in, max) + "-" + Value(in, max) + "/" + Value(in, 10); break;
    case 6: s = "-" + Value(in, max); break;
    case 7: s = Value(in, max) + "-"; break;
    case 8: s = Value(in, max) + "/" + Value(in, 20); break;
    default: {
      static const char junk[] = " \t,/-*x+";
      s = Value(in, max) + junk[in.Byte() % (sizeof junk - 1)];
    }
  }
  return s;
}

std::string Expression(Input& in) {
  const int maxima[5] = {59, 23, 31, 12, 6};
  std::string e = (in.Byte() % 8 == 0) ? " " : "";
  const int fields = 4 + in.Byte() % 3;
  for (int f = 0; f < fields; ++f) {
    if (f > 0) e += (in.Byte() % 16 == 0) ? "  " : " ";
    const int items = 1 + in.Byte() % 3;
    for (int k = 0; k < items; ++k) e += (k ? "," : "") + Item(in, maxima[f < 5 ? f : 0]);
  }
  return e;
}

[[noreturn]] void Fail(const char* what, const std::string& expr, std::int64_t now, const std::string& detail) {
  std::fprintf(stderr, "%s: expr \"%s\" now %lld: %s\n", what, expr.c_str(), static_cast<long long>(now),
               detail.c_str());
  std::abort();
}

std::uint64_t Bits(const std::set<int>& s) {
  std::uint64_t b = 0;
  for (int v : s) b |= std::uint64_t{1} << v;
  return b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  const std::int32_t base = (static_cast<int>(in.Byte() % 105) - 48) * 900;
  const std::int32_t dst_choices[] = {0, 1800, 3600, 7200};
  const FuzzZone zone(base, dst_choices[in.Byte() % 4], in.Byte() % 2 == 0);
  const std::int64_t year = 1990 + in.Byte() % 60;
  std::int64_t now;
  if (in.Byte() % 2 == 0)
    now = zone.Change(year, in.Byte() % 2 == 0) + (static_cast<std::int64_t>(in.Word() % 14400) - 7200) * 15;
  else
    now = DaysFromCivil(year, 1, 1) * 86400 + in.Word() % (366u * 86400u);
  const bool raw = in.Byte() % 8 == 0;
  const std::string expr = raw ? in.Rest() : Expression(in);

  const ov::TOVCronSchedule mine = ov::TOVCronSchedule::Parse(expr);
  const cronref::Expr ref = cronref::Parse(expr);
  // The check of an administrator's expression: what it accepts is read the same with or
  // without it, is complete with every field selecting a value, holds nothing but the documented
  // characters between its blanks, and can run; what it refuses is said in a short ASCII line.
  std::string problem;
  const ov::TOVCronSchedule checked = ov::TOVCronSchedule::Parse(expr, &problem);
  if (checked.Minutes() != mine.Minutes() || checked.Days() != mine.Days() || checked.Weekdays() != mine.Weekdays())
    Fail("reading with the check", expr, now, problem);
  if (const std::optional<std::string> refused = ov::CronExpressionProblem(expr)) {
    if (refused->empty() || refused->size() > 160) Fail("refusal length", expr, now, *refused);
    for (const char ch : *refused)
      if (ch < ' ' || ch > '~') Fail("refusal text", expr, now, *refused);
  } else {
    if (!mine.CanMatch() || !ref.complete) Fail("accepted", expr, now, "");
    for (const auto& f : ref.fields)
      if (f.empty()) Fail("accepted an empty field", expr, now, "");
    const std::string t = cronref::Trim(expr);
    if (t.find_first_not_of("0123456789*,/- ") != std::string::npos || t.find("  ") != std::string::npos)
      Fail("accepted text", expr, now, "");
  }
  if (mine.Complete() != ref.complete) Fail("completeness", expr, now, "");
  if (ref.complete) {
    const std::uint64_t got[5] = {mine.Minutes(), mine.Hours(), mine.Days(), mine.Months(), mine.Weekdays()};
    for (int f = 0; f < 5; ++f)
      if (got[f] != Bits(ref.fields[f])) Fail("field", expr, now, std::to_string(f));
    if (mine.FollowsClock() != ref.hour_star) Fail("hour wildcard", expr, now, "");
  }
  for (int k = 0; k < 4; ++k) {
    const ov::TOVCivilTime t = ov::CivilFromSeconds(now + static_cast<std::int64_t>(k) * 7777777);
    if (mine.Matches(t) != cronref::Matches(ref, t)) Fail("match", expr, now, std::to_string(k));
  }

  const std::optional<std::int64_t> got = mine.NextRun(now, zone);
  bool empty = !ref.complete;
  for (const auto& f : ref.fields) empty = empty || f.empty();
  // A field that selects nothing never matches: the minute-by-minute walk would only confirm it.
  const std::optional<std::int64_t> want = empty ? std::nullopt : cronref::NextRun(ref, now, zone);
  if (got != want)
    Fail("next run", expr, now,
         (got ? std::to_string(*got) : std::string("none")) + " != " + (want ? std::to_string(*want) : "none"));
  return 0;
}
