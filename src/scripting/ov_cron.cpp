#include "ov_cron.h"

#include <algorithm>
#include <bit>
#include <limits>
#include <string>
#include <vector>

#include "ov_text.h"

namespace ov {

namespace {

// Blanks and control characters off both ends.
std::string_view TrimCron(std::string_view s) noexcept {
  while (!s.empty() && static_cast<unsigned char>(s.front()) <= ' ') s.remove_prefix(1);
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ') s.remove_suffix(1);
  return s;
}

// A decimal number with an optional sign that fits in 32 bits; nullopt otherwise.
std::optional<std::int64_t> CronNumber(std::string_view s) noexcept {
  const std::optional<std::int64_t> v = ParseInt64(s);
  if (!v || *v < std::numeric_limits<std::int32_t>::min() || *v > std::numeric_limits<std::int32_t>::max())
    return std::nullopt;
  return v;
}

// Splits at every separator; empty pieces are kept.
std::vector<std::string_view> SplitCron(std::string_view s, char sep) {
  std::vector<std::string_view> out;
  for (;;) {
    const std::size_t p = s.find(sep);
    out.push_back(s.substr(0, p));
    if (p == std::string_view::npos) return out;
    s.remove_prefix(p + 1);
  }
}

// A number as the documented syntax writes it: decimal digits only.  Large values saturate;
// they are outside every field's range anyway.
std::optional<std::int64_t> PlainCronNumber(std::string_view s) noexcept {
  if (s.empty()) return std::nullopt;
  std::int64_t v = 0;
  for (const char ch : s) {
    if (ch < '0' || ch > '9') return std::nullopt;
    v = std::min<std::int64_t>(v * 10 + (ch - '0'), 1000000);
  }
  return v;
}

// A piece of an expression quoted for a message: printable ASCII as it is, other bytes as
// \xNN, cut short after a few characters.
std::string ShownCron(std::string_view s) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out = "\"";
  for (const char ch : s) {
    if (out.size() > 24) {
      out += "...";
      break;
    }
    const auto b = static_cast<unsigned char>(ch);
    if (b > ' ' && b < 0x7F) {
      out += ch;
    } else {
      out += "\\x";
      out += kHex[b >> 4];
      out += kHex[b & 15];
    }
  }
  return out + "\"";
}

// Keeps the first departure from the documented syntax, after the name of the part it is in.
// The lax reading goes on regardless, so a stored expression runs as it always did.
class TCronNotes {
 public:
  TCronNotes(std::string* out, const char* part) : out_(out), part_(part) {}
  void Note(const std::string& text) const {
    if (out_ && out_->empty()) *out_ = part_ + (" " + text);
  }

 private:
  std::string* out_;
  std::string part_;
};

// Visits each item of a field with its step split off.
template <class Visit>
void ForEachCronItem(std::string_view field, const TCronNotes& notes, Visit&& visit) {
  for (std::string_view piece : SplitCron(field, ',')) {
    std::string_view item = TrimCron(piece);
    if (piece.empty())
      notes.Note("has an empty item");
    else if (item.size() != piece.size())
      notes.Note(ShownCron(piece) + " holds a blank or control character");
    if (item.empty()) continue;
    std::int64_t step = 1;
    if (const std::size_t slash = item.find('/'); slash != std::string_view::npos) {
      const std::string_view step_text = item.substr(slash + 1);
      step = std::max<std::int64_t>(CronNumber(step_text).value_or(1), 1);
      if (PlainCronNumber(step_text).value_or(0) < 1)
        notes.Note("step " + ShownCron(step_text) + " is not a whole number of at least 1");
      item = item.substr(0, slash);
    }
    visit(item, step);
  }
}

// The lax reading of a field (see the header), with its departures from the documented syntax
// noted.
std::uint64_t ParseField(std::string_view field, int min, int max, const TCronNotes& notes) {
  std::uint64_t set = 0;
  const auto add = [&](std::int64_t from, std::int64_t to, std::int64_t step) {
    for (std::int64_t v = from; v <= to; v += step)
      if (v >= 0 && v < 64) set |= std::uint64_t{1} << v;
  };
  // Whether the text is a plain number inside the field's range (notes it when it is outside).
  const auto in_range = [&](std::string_view text) {
    const std::optional<std::int64_t> v = PlainCronNumber(text);
    if (!v) return false;
    if (*v >= min && *v <= max) return true;
    notes.Note(ShownCron(text) + " is outside " + std::to_string(min) + "-" + std::to_string(max));
    return false;
  };
  ForEachCronItem(field, notes, [&](std::string_view item, std::int64_t step) {
    if (item == "*") {
      add(min, max, step);
      return;
    }
    const std::size_t dash = item.find('-');
    if (dash == std::string_view::npos) {
      // A single value: the step does not apply ("5/15" is 5 only).
      const std::optional<std::int64_t> v = CronNumber(item);
      if (v && *v >= min && *v <= max) add(*v, *v, 1);
      if (!PlainCronNumber(item)) notes.Note(ShownCron(item) + " is not a number, a range a-b or *");
      in_range(item);
      return;
    }
    const std::string_view first = item.substr(0, dash), last = item.substr(dash + 1);
    const std::int64_t from = std::max<std::int64_t>(CronNumber(first).value_or(min), min);
    const std::int64_t to = std::min<std::int64_t>(CronNumber(last).value_or(max), max);
    add(from, to, step);
    if (!PlainCronNumber(first) || !PlainCronNumber(last))
      notes.Note("range " + ShownCron(item) + " needs a number at each end");
    else if (in_range(first) && in_range(last) && from > to)
      notes.Note("range " + ShownCron(item) + " runs backwards");
  });
  return set;
}

}  // namespace

std::uint64_t ParseCronField(std::string_view field, int min, int max) {
  return ParseField(field, min, max, TCronNotes(nullptr, ""));
}

TOVCronSchedule TOVCronSchedule::Parse(std::string_view expr, std::string* problem) {
  TOVCronSchedule c;
  const std::string_view text = TrimCron(expr);
  const std::vector<std::string_view> fields = SplitCron(text, ' ');
  const TCronNotes whole(problem, "the expression");
  if (text.empty())
    whole.Note("is empty");
  else if (std::find(fields.begin(), fields.end(), std::string_view()) != fields.end())
    whole.Note("has two spaces in a row (an empty field, which matches nothing)");
  else if (fields.size() != 5)
    whole.Note("has " + std::to_string(fields.size()) + (fields.size() == 1 ? " field" : " fields") +
               "; five are needed: minute hour day-of-month month day-of-week");
  if (fields.size() < 5) return c;
  c.complete_ = true;
  c.minutes_ = ParseField(fields[0], 0, 59, TCronNotes(problem, "minute"));
  c.hours_ = ParseField(fields[1], 0, 23, TCronNotes(problem, "hour"));
  c.days_ = ParseField(fields[2], 1, 31, TCronNotes(problem, "day of month"));
  c.months_ = ParseField(fields[3], 1, 12, TCronNotes(problem, "month"));
  c.weekdays_ = ParseField(fields[4], 0, 6, TCronNotes(problem, "day of week"));
  ForEachCronItem(fields[1], TCronNotes(nullptr, ""), [&](std::string_view item, std::int64_t) {
    if (item == "*") c.follows_clock_ = true;
  });
  return c;
}

bool TOVCronSchedule::CanMatch() const noexcept {
  if (!complete_ || !minutes_ || !hours_ || !weekdays_) return false;
  static constexpr int kLongestMonth[13] = {0, 31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  for (int m = 1; m <= 12; ++m)
    if ((months_ >> m & 1) && (days_ & ((std::uint64_t{2} << kLongestMonth[m]) - 2))) return true;
  return false;
}

std::optional<std::string> CronExpressionProblem(std::string_view expr) {
  std::string problem;
  const TOVCronSchedule c = TOVCronSchedule::Parse(expr, &problem);
  if (!problem.empty()) return problem;
  if (!c.CanMatch()) return "never matches: no month it names has a day of month it names";
  return std::nullopt;
}

bool TOVCronSchedule::DayMatches(const TOVCivilTime& t) const noexcept {
  return (months_ >> t.month & 1) && (days_ >> t.day & 1) && (weekdays_ >> t.weekday & 1);
}

bool TOVCronSchedule::Matches(const TOVCivilTime& t) const noexcept {
  return complete_ && (minutes_ >> t.minute & 1) && (hours_ >> t.hour & 1) && DayMatches(t);
}

bool TOVCronSchedule::SkippedTimeMatches(std::int64_t first_local, std::int64_t end_local) const noexcept {
  // A jump longer than a day is no daylight-saving change; only its last day is looked at.
  first_local = std::max(first_local, end_local - 86400);
  for (std::int64_t w = first_local; w < end_local; w += 60)
    if (Matches(CivilFromSeconds(w))) return true;
  return false;
}

// Whether the local time of this minute was shown before, under the larger offset the zone had
// before the clock was set back (the second pass through a repeated autumn hour).
bool TOVCronSchedule::Repeated(std::int64_t minute, std::int32_t offset, const TOVClock& clock) const {
  const std::int32_t earlier = clock.UtcOffset(minute - 86400);
  if (earlier <= offset) return false;
  return clock.UtcOffset(minute - (earlier - offset)) == earlier;
}

std::optional<std::int64_t> TOVCronSchedule::NextRun(std::int64_t now, const TOVClock& clock) const {
  if (!complete_ || !minutes_ || !hours_ || !days_ || !months_ || !weekdays_) return std::nullopt;
  const std::int64_t first = FloorToMinute(now) + 60;
  const std::int64_t last = first + (kCronCandidateMinutes - 1) * 60;
  std::int64_t u = first;
  std::int32_t off = clock.UtcOffset(u);
  // Whether the offset of the minute before u is unknown (at the start and after a change).
  bool check_jump = true;
  while (u <= last) {
    const TOVCivilTime t = CivilFromSeconds(u + off);
    if (check_jump && !follows_clock_) {
      // The clock sprang forward just before u: a fixed time in the skipped stretch runs now.
      const std::int32_t before = clock.UtcOffset(u - 60);
      if (before < off && SkippedTimeMatches(u + before, u + off)) return u;
    }
    // Seconds of local time until the next local time worth testing.
    const std::int64_t into_hour = t.minute * 60 + t.second;
    std::int64_t advance;
    if (!DayMatches(t)) {
      advance = 86400 - (t.hour * 3600 + into_hour);
    } else if (!(hours_ >> t.hour & 1)) {
      advance = 3600 - into_hour;
    } else {
      const std::uint64_t ahead = minutes_ >> t.minute;
      if (ahead & 1) {
        if (follows_clock_ || !Repeated(u, off, clock)) return u;
        advance = 60 - t.second;
      } else if (ahead == 0) {
        advance = 3600 - into_hour;
      } else {
        advance = std::countr_zero(ahead) * 60 - t.second;
      }
    }
    // Steps stay on whole UTC minutes.  When the zone's offset changes on the way, stop at the
    // first minute of the new offset: the step was measured in the old local time.
    std::int64_t next = u + (advance + 59) / 60 * 60;
    std::int32_t next_off = clock.UtcOffset(next);
    check_jump = next_off != off;
    if (check_jump) {
      std::int64_t lo = u;
      while (next - lo > 60) {
        const std::int64_t mid = lo + (next - lo) / 120 * 60;
        const std::int32_t mid_off = clock.UtcOffset(mid);
        if (mid_off == off) {
          lo = mid;
        } else {
          next = mid;
          next_off = mid_off;
        }
      }
    }
    u = next;
    off = next_off;
  }
  return std::nullopt;
}

}  // namespace ov
