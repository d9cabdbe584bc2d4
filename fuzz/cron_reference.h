// A direct, slow evaluation of the scheduler's cron rules, written from their description and
// sharing no code with ov_cron: fields as sets of numbers built by string handling, matching by
// set look-ups, the next run by testing one UTC minute after the other.  The fuzz target checks
// ov_cron against it; the scheduler benchmark uses its text matcher as the search that parses
// the expression again for every candidate minute.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "ov_clock.h"

namespace cronref {

inline std::string Trim(const std::string& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return s.substr(b, e - b);
}

// A decimal number, optionally signed, within 32 bits.
inline std::optional<long long> Number(const std::string& s) {
  std::size_t i = (!s.empty() && (s[0] == '+' || s[0] == '-')) ? 1 : 0;
  if (i >= s.size()) return std::nullopt;
  for (std::size_t k = i; k < s.size(); ++k)
    if (s[k] < '0' || s[k] > '9') return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const long long v = std::strtoll(s.c_str(), &end, 10);
  if (errno == ERANGE || v < INT32_MIN || v > INT32_MAX) return std::nullopt;
  return v;
}

inline std::vector<std::string> Split(const std::string& s, char sep) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (;;) {
    const std::size_t p = s.find(sep, start);
    out.push_back(s.substr(start, p == std::string::npos ? std::string::npos : p - start));
    if (p == std::string::npos) return out;
    start = p + 1;
  }
}

inline std::set<int> ParseField(const std::string& field, int min, int max) {
  std::set<int> out;
  for (const std::string& piece : Split(field, ',')) {
    std::string item = Trim(piece);
    if (item.empty()) continue;
    long long step = 1;
    const std::size_t slash = item.find('/');
    if (slash != std::string::npos) {
      const std::optional<long long> n = Number(item.substr(slash + 1));
      step = n && *n >= 1 ? *n : 1;
      item = item.substr(0, slash);
    }
    if (item == "*") {
      for (long long v = min; v <= max; v += step) out.insert(static_cast<int>(v));
    } else if (item.find('-') == std::string::npos) {
      const std::optional<long long> n = Number(item);
      if (n && *n >= min && *n <= max) out.insert(static_cast<int>(*n));
    } else {
      const std::size_t dash = item.find('-');
      long long lo = Number(item.substr(0, dash)).value_or(min);
      long long hi = Number(item.substr(dash + 1)).value_or(max);
      if (lo < min) lo = min;
      if (hi > max) hi = max;
      for (long long v = lo; v <= hi; v += step) out.insert(static_cast<int>(v));
    }
  }
  return out;
}

struct Expr {
  bool complete = false;
  std::set<int> fields[5];  // minute, hour, day of month, month, day of week
  bool hour_star = false;   // an item of the hour field is "*" (with or without a step)
};

inline Expr Parse(const std::string& text) {
  Expr e;
  const std::vector<std::string> parts = Split(Trim(text), ' ');
  if (parts.size() < 5) return e;
  e.complete = true;
  const int lo[5] = {0, 0, 1, 1, 0}, hi[5] = {59, 23, 31, 12, 6};
  for (int i = 0; i < 5; ++i) e.fields[i] = ParseField(parts[i], lo[i], hi[i]);
  for (const std::string& piece : Split(parts[1], ',')) {
    const std::string item = Trim(piece);
    if (item.substr(0, item.find('/')) == "*") e.hour_star = true;
  }
  return e;
}

inline bool Matches(const Expr& e, const ov::TOVCivilTime& t) {
  return e.complete && e.fields[0].count(t.minute) && e.fields[1].count(t.hour) && e.fields[2].count(t.day) &&
         e.fields[3].count(t.month) && e.fields[4].count(t.weekday);
}

// The expression parsed afresh for this one time.
inline bool MatchesText(const std::string& text, const ov::TOVCivilTime& t) { return Matches(Parse(text), t); }

inline std::int64_t FloorDiv60(std::int64_t v) { return v / 60 - (v % 60 < 0 ? 1 : 0); }

// Whether the local minute of u was shown by an earlier UTC minute of the last day.
inline bool ShownBefore(std::int64_t u, const ov::TOVClock& clock) {
  const std::int64_t local_minute = FloorDiv60(u + clock.UtcOffset(u));
  for (std::int64_t k = 1; k <= 1440; ++k) {
    const std::int64_t v = u - k * 60;
    if (FloorDiv60(v + clock.UtcOffset(v)) == local_minute) return true;
  }
  return false;
}

// One UTC minute after the other from the minute after now, 527,041 of them: a minute is
// chosen when its local time matches (a schedule with a fixed hour: unless that local time was
// shown before), or, for a fixed hour, when a local time the clock skipped just before it
// matches.
inline std::optional<std::int64_t> NextRun(const Expr& e, std::int64_t now, const ov::TOVClock& clock) {
  const std::int64_t first = FloorDiv60(now) * 60 + 60;
  for (std::int64_t i = 0; i < 527041; ++i) {
    const std::int64_t u = first + i * 60;
    const std::int64_t local = u + clock.UtcOffset(u);
    if (Matches(e, ov::CivilFromSeconds(local)) && (e.hour_star || !ShownBefore(u, clock))) return u;
    if (e.hour_star) continue;
    for (std::int64_t w = u - 60 + clock.UtcOffset(u - 60) + 60; w < local; w += 60)
      if (Matches(e, ov::CivilFromSeconds(w))) return u;
  }
  return std::nullopt;
}

}  // namespace cronref
