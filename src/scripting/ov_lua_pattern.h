// Lua 5.4 string patterns, matched by our own code so that matching obeys the time limit.
//
// Lua's own matcher backtracks inside C, where the count hook that enforces the time limit
// never runs: one string.find on a pathological pattern could hold a thread for hours.  This
// matcher implements the patterns of the Lua manual (section 6.4.1) with the same results and
// error texts, reads the clock every few thousand steps, and gives up at the deadline.
//
// The matcher is plain data: it never calls Lua, and reports errors (a malformed pattern, too
// deep a pattern, the deadline) as a status.  The Lua functions built on it (string.find,
// match, gmatch and gsub) raise those errors at their top level, where no C++ object with a
// destructor is alive for Lua's longjmp to skip.
#pragma once

#include <cstddef>
#include <cstdint>

struct lua_State;

namespace ov {

inline constexpr int LUA_PATTERN_MAX_CAPTURES = 32;
// Nested matching steps allowed (captures, optional and repeated items): Lua's own limit.
inline constexpr int LUA_PATTERN_MAX_DEPTH = 200;

enum class TOVPatternError : std::uint8_t {
  None,
  EndsWithPercent,         // malformed pattern (ends with '%')
  MissingBracket,          // malformed pattern (missing ']')
  MissingBalanceArgs,      // malformed pattern (missing arguments to '%b')
  MissingFrontierBracket,  // missing '[' after '%f' in pattern
  InvalidCaptureIndex,     // invalid capture index %n
  InvalidPatternCapture,   // a ')' with no open capture
  UnfinishedCapture,       // a capture still open when the match ended
  TooManyCaptures,
  TooComplex,              // nested deeper than LUA_PATTERN_MAX_DEPTH
  TimedOut,                // the deadline passed
};

// The position and length of one capture in the subject.
struct TOVPatternCapture {
  const char* Init;
  std::ptrdiff_t Len;  // >= 0, or one of the two marks below
};
inline constexpr std::ptrdiff_t LUA_CAPTURE_UNFINISHED = -1;
inline constexpr std::ptrdiff_t LUA_CAPTURE_POSITION = -2;

// One subject and one pattern.  Start once, then Reset and Match for each position tried.
struct TOVPatternMatcher {
  // Subject [SrcInit, SrcEnd), pattern ending at pattern_end; deadline on SteadyNowNs, INT64_MAX
  // for none.
  void Start(const char* subject, std::size_t subject_len, const char* pattern_end, std::int64_t deadline_ns) noexcept;
  // Forgets the captures of the previous attempt.
  void Reset() noexcept;
  // Matches the pattern from p at subject position s: the end of the match, or null when it
  // does not match or Error was set.
  const char* Match(const char* s, const char* p) noexcept;
  // Sets Error for capture index (0-based) when it cannot be read: out of range or unfinished.
  // Index 0 of a pattern without captures stands for the whole match and is fine.
  bool CheckCapture(int index) noexcept;
  // The message of Error as Lua words it (not for TimedOut, which the caller raises its own way).
  const char* ErrorText(char* buf, std::size_t size) const noexcept;

  const char* SrcInit;
  const char* SrcEnd;
  const char* PatEnd;
  std::int64_t DeadlineNs;
  int Level;  // captures opened so far
  TOVPatternCapture Capture[LUA_PATTERN_MAX_CAPTURES];
  TOVPatternError Error;
  int ErrorIndex;  // for InvalidCaptureIndex: the index as written (%1 is 1)

 private:
  bool Spend(std::size_t units) noexcept;
  const char* Fail(TOVPatternError e, int index = 0) noexcept;
  const char* ClassEnd(const char* p) noexcept;
  bool SingleMatch(const char* s, const char* p, const char* ep) noexcept;
  const char* MatchBalance(const char* s, const char* p) noexcept;
  const char* MatchBackReference(const char* s, int digit) noexcept;
  const char* MaxExpand(const char* s, const char* p, const char* ep) noexcept;
  const char* MinExpand(const char* s, const char* p, const char* ep) noexcept;
  const char* StartCapture(const char* s, const char* p, std::ptrdiff_t what) noexcept;
  const char* EndCapture(const char* s, const char* p) noexcept;

  int depth_left_;
  std::int64_t budget_;  // steps until the next look at the clock
};

// True when pattern has none of the characters that make a pattern more than plain text.
bool LuaPatternIsPlain(const char* pattern, std::size_t len) noexcept;

// The Lua functions string.find, string.match, string.gmatch and string.gsub built on the
// matcher.  They need the state's TOVLuaLibHost (SetLuaLibHost).
int LuaStringFind(lua_State* L) noexcept;
int LuaStringMatch(lua_State* L) noexcept;
int LuaStringGmatch(lua_State* L) noexcept;
int LuaStringGsub(lua_State* L) noexcept;

}  // namespace ov
