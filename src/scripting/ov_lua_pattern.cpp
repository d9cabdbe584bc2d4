#include "ov_lua_pattern.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>

#include "ov_lua_api.h"

namespace ov {

/* ---- the matcher ------------------------------------------------------------------------ */

namespace {

// Steps between two looks at the clock.  A step is one pass of the matching loop or about
// sixteen bytes scanned; a few thousand take some tens of microseconds.
constexpr std::int64_t kStepsPerClockRead = 4096;

inline int Byte(char c) noexcept { return static_cast<unsigned char>(c); }

// %a, %d, ... (upper case: the complement).  Any other letter after '%' stands for itself, as
// does every other character.  The classes follow the C library's, as Lua's do.
bool ClassMatches(int c, int cls) noexcept {
  bool in;
  switch (std::tolower(cls)) {
    case 'a': in = std::isalpha(c); break;
    case 'c': in = std::iscntrl(c); break;
    case 'd': in = std::isdigit(c); break;
    case 'g': in = std::isgraph(c); break;
    case 'l': in = std::islower(c); break;
    case 'p': in = std::ispunct(c); break;
    case 's': in = std::isspace(c); break;
    case 'u': in = std::isupper(c); break;
    case 'w': in = std::isalnum(c); break;
    case 'x': in = std::isxdigit(c); break;
    case 'z': in = c == 0; break;  // still understood by Lua 5.4, though no longer documented
    default: return cls == c;
  }
  return std::isupper(cls) ? !in : in;
}

// The set that starts with '[' at open and ends with the ']' at close (ClassEnd has checked it).
// Inside: %x classes and escapes, ranges a-z, single characters; a leading '^' complements.
bool SetMatches(int c, const char* open, const char* close) noexcept {
  const char* q = open + 1;
  const bool complement = *q == '^';
  if (complement) ++q;
  bool found = false;
  while (q < close && !found) {
    if (*q == '%') {
      found = ClassMatches(c, Byte(q[1]));
      q += 2;
    } else if (q + 2 < close && q[1] == '-') {  // a '-' just before the ']' is itself
      found = Byte(q[0]) <= c && c <= Byte(q[2]);
      q += 3;
    } else {
      found = Byte(*q) == c;
      q += 1;
    }
  }
  return found != complement;
}

}  // namespace

void TOVPatternMatcher::Start(const char* subject, std::size_t subject_len, const char* pattern_end,
                              std::int64_t deadline_ns) noexcept {
  SrcInit = subject;
  SrcEnd = subject + subject_len;
  PatEnd = pattern_end;
  DeadlineNs = deadline_ns;
  Error = TOVPatternError::None;
  ErrorIndex = 0;
  budget_ = kStepsPerClockRead;
  Reset();
}

void TOVPatternMatcher::Reset() noexcept {
  Level = 0;
  depth_left_ = LUA_PATTERN_MAX_DEPTH;
}

bool TOVPatternMatcher::Spend(std::size_t units) noexcept {
  budget_ -= static_cast<std::int64_t>(units);
  if (budget_ > 0) return true;
  if (Error != TOVPatternError::None) return false;
  budget_ = kStepsPerClockRead;
  if (DeadlineNs != INT64_MAX && SteadyNowNs() > DeadlineNs) {
    Fail(TOVPatternError::TimedOut);
    budget_ = 0;  // every later step looks again, and stops
    return false;
  }
  return true;
}

const char* TOVPatternMatcher::Fail(TOVPatternError e, int index) noexcept {
  if (Error == TOVPatternError::None) {
    Error = e;
    ErrorIndex = index;
  }
  return nullptr;
}

// The end of the single character class that starts at p (p < PatEnd), or null (Error set).
const char* TOVPatternMatcher::ClassEnd(const char* p) noexcept {
  const char* const start = p;
  const char c = *p++;
  if (c == '%') {
    if (p >= PatEnd) return Fail(TOVPatternError::EndsWithPercent);
    return p + 1;
  }
  if (c != '[') return p;
  if (p < PatEnd && *p == '^') ++p;
  // The first character of a set never closes it: "[]]" and "[^]]" are sets holding ']'.
  do {
    if (p >= PatEnd) return Fail(TOVPatternError::MissingBracket);
    if (*p++ == '%') {
      if (p >= PatEnd) return Fail(TOVPatternError::MissingBracket);
      ++p;
    }
  } while (p >= PatEnd || *p != ']');
  if (!Spend(static_cast<std::size_t>(p - start) / 16)) return nullptr;
  return p + 1;
}

// Whether the character at s belongs to the class [p, ep).
bool TOVPatternMatcher::SingleMatch(const char* s, const char* p, const char* ep) noexcept {
  if (s >= SrcEnd || !Spend(1)) return false;
  const int c = Byte(*s);
  switch (*p) {
    case '.':
      return true;
    case '%':
      return ClassMatches(c, Byte(p[1]));
    case '[':
      return Spend(static_cast<std::size_t>(ep - p) / 16) && SetMatches(c, p, ep - 1);
    default:
      return Byte(*p) == c;
  }
}

// %bxy at s, p just after "%b".
const char* TOVPatternMatcher::MatchBalance(const char* s, const char* p) noexcept {
  if (p + 1 >= PatEnd) return Fail(TOVPatternError::MissingBalanceArgs);
  if (s >= SrcEnd || *s != p[0]) return nullptr;
  const char open = p[0], close = p[1];
  std::ptrdiff_t depth = 1;
  const char* q = s + 1;
  for (; q < SrcEnd; ++q) {
    if (*q == close) {  // checked first: with x == y, the second one closes
      if (--depth == 0) break;
    } else if (*q == open) {
      ++depth;
    }
  }
  if (!Spend(static_cast<std::size_t>(q - s) / 16) || q >= SrcEnd) return nullptr;
  return q + 1;
}

// %1 to %9 (and %0, which is always an error) at s.
const char* TOVPatternMatcher::MatchBackReference(const char* s, int digit) noexcept {
  const int index = digit - 1;
  if (index < 0 || index >= Level || Capture[index].Len == LUA_CAPTURE_UNFINISHED)
    return Fail(TOVPatternError::InvalidCaptureIndex, index + 1);
  const std::ptrdiff_t len = Capture[index].Len;  // a position capture never matches text
  if (len < 0 || SrcEnd - s < len || !Spend(static_cast<std::size_t>(len) / 16)) return nullptr;
  if (std::memcmp(Capture[index].Init, s, static_cast<std::size_t>(len)) != 0) return nullptr;
  return s + len;
}

// x* and x+ (s after the required first one): as many as possible, then fewer.
const char* TOVPatternMatcher::MaxExpand(const char* s, const char* p, const char* ep) noexcept {
  std::ptrdiff_t count = 0;
  while (SingleMatch(s + count, p, ep)) ++count;
  if (Error != TOVPatternError::None) return nullptr;
  for (; count >= 0; --count) {
    const char* r = Match(s + count, ep + 1);
    if (r || Error != TOVPatternError::None) return r;
  }
  return nullptr;
}

// x-: as few as possible, then more.
const char* TOVPatternMatcher::MinExpand(const char* s, const char* p, const char* ep) noexcept {
  for (;;) {
    const char* r = Match(s, ep + 1);
    if (r || Error != TOVPatternError::None) return r;
    if (!SingleMatch(s, p, ep)) return nullptr;
    ++s;
  }
}

const char* TOVPatternMatcher::StartCapture(const char* s, const char* p, std::ptrdiff_t what) noexcept {
  if (Level >= LUA_PATTERN_MAX_CAPTURES) return Fail(TOVPatternError::TooManyCaptures);
  Capture[Level].Init = s;
  Capture[Level].Len = what;
  ++Level;
  const char* r = Match(s, p);
  if (!r) --Level;
  return r;
}

const char* TOVPatternMatcher::EndCapture(const char* s, const char* p) noexcept {
  int open = Level - 1;  // the innermost capture still open
  while (open >= 0 && Capture[open].Len != LUA_CAPTURE_UNFINISHED) --open;
  if (open < 0) return Fail(TOVPatternError::InvalidPatternCapture);
  Capture[open].Len = s - Capture[open].Init;
  const char* r = Match(s, p);
  if (!r) Capture[open].Len = LUA_CAPTURE_UNFINISHED;
  return r;
}

// Items that leave no choice (a plain class, %b, %f, a back-reference) loop here; captures and
// repetitions recurse, so that a failure further on can come back and try the next choice.
const char* TOVPatternMatcher::Match(const char* s, const char* p) noexcept {
  if (depth_left_ == 0) return Fail(TOVPatternError::TooComplex);
  --depth_left_;
  const char* result = nullptr;
  for (;;) {
    if (!Spend(1)) break;
    if (p == PatEnd) {
      result = s;
      break;
    }
    if (*p == '(') {
      if (p + 1 < PatEnd && p[1] == ')')
        result = StartCapture(s, p + 2, LUA_CAPTURE_POSITION);
      else
        result = StartCapture(s, p + 1, LUA_CAPTURE_UNFINISHED);
      break;
    }
    if (*p == ')') {
      result = EndCapture(s, p + 1);
      break;
    }
    if (*p == '$' && p + 1 == PatEnd) {  // elsewhere '$' is an ordinary character
      if (s == SrcEnd) result = s;
      break;
    }
    if (*p == '%' && p + 1 < PatEnd) {
      const char k = p[1];
      if (k == 'b') {
        s = MatchBalance(s, p + 2);
        if (!s) break;
        p += 4;
        continue;
      }
      if (k == 'f') {  // frontier: the set holds the next character but not the previous one
        p += 2;
        if (p >= PatEnd || *p != '[') {
          Fail(TOVPatternError::MissingFrontierBracket);
          break;
        }
        const char* ep = ClassEnd(p);
        if (!ep) break;
        const int prev = s == SrcInit ? 0 : Byte(s[-1]);
        const int next = s < SrcEnd ? Byte(*s) : 0;
        if (SetMatches(prev, p, ep - 1) || !SetMatches(next, p, ep - 1)) break;
        p = ep;
        continue;
      }
      if (k >= '0' && k <= '9') {
        s = MatchBackReference(s, k - '0');
        if (!s) break;
        p += 2;
        continue;
      }
    }
    // A single character class, perhaps followed by a repetition.
    const char* ep = ClassEnd(p);
    if (!ep) break;
    const char rep = ep < PatEnd ? *ep : '\0';
    if (!SingleMatch(s, p, ep)) {
      if (Error != TOVPatternError::None) break;
      if (rep == '*' || rep == '?' || rep == '-') {  // zero of them will do
        p = ep + 1;
        continue;
      }
      break;
    }
    if (rep == '?') {
      result = Match(s + 1, ep + 1);
      if (result || Error != TOVPatternError::None) break;
      p = ep + 1;
      continue;
    }
    if (rep == '+') {
      result = MaxExpand(s + 1, p, ep);
      break;
    }
    if (rep == '*') {
      result = MaxExpand(s, p, ep);
      break;
    }
    if (rep == '-') {
      result = MinExpand(s, p, ep);
      break;
    }
    ++s;
    p = ep;
  }
  ++depth_left_;
  return result;
}

bool TOVPatternMatcher::CheckCapture(int index) noexcept {
  if (index >= Level) {
    if (index == 0) return true;
    Fail(TOVPatternError::InvalidCaptureIndex, index + 1);
    return false;
  }
  if (Capture[index].Len == LUA_CAPTURE_UNFINISHED) {
    Fail(TOVPatternError::UnfinishedCapture);
    return false;
  }
  return true;
}

const char* TOVPatternMatcher::ErrorText(char* buf, std::size_t size) const noexcept {
  switch (Error) {
    case TOVPatternError::None: return "";
    case TOVPatternError::EndsWithPercent: return "malformed pattern (ends with '%')";
    case TOVPatternError::MissingBracket: return "malformed pattern (missing ']')";
    case TOVPatternError::MissingBalanceArgs: return "malformed pattern (missing arguments to '%b')";
    case TOVPatternError::MissingFrontierBracket: return "missing '[' after '%f' in pattern";
    case TOVPatternError::InvalidCaptureIndex:
      std::snprintf(buf, size, "invalid capture index %%%d", ErrorIndex);
      return buf;
    case TOVPatternError::InvalidPatternCapture: return "invalid pattern capture";
    case TOVPatternError::UnfinishedCapture: return "unfinished capture";
    case TOVPatternError::TooManyCaptures: return "too many captures";
    case TOVPatternError::TooComplex: return "pattern too complex";
    case TOVPatternError::TimedOut: return "execution timeout exceeded";
  }
  return "";
}

bool LuaPatternIsPlain(const char* pattern, std::size_t len) noexcept {
  for (std::size_t i = 0; i < len; ++i) {
    switch (pattern[i]) {
      case '^': case '$': case '*': case '+': case '?': case '.': case '(': case '[': case '%': case '-':
        return false;
      default:
        break;
    }
  }
  return true;
}

/* ---- the Lua functions ------------------------------------------------------------------ */
// Called by Lua: a Lua error longjmps out of them, so they hold nothing with a destructor (the
// matcher and Lua's string buffer are plain data), and they raise their own errors only once
// the matcher has returned.

namespace {

// A start position as Lua reads one (1-based): negative counts from the end; zero and anything
// before the start mean the start.
std::size_t StartPosition(lua_Integer pos, std::size_t len) noexcept {
  if (pos > 0) return static_cast<std::size_t>(pos);
  if (pos == 0 || pos < -static_cast<lua_Integer>(len)) return 1;
  return len - static_cast<std::size_t>(-pos) + 1;
}

// Raises the matcher's error: Lua's message with the caller's position, or the time limit.
int RaiseMatchError(lua_State* L, const TOVLuaLibHost& host, const TOVPatternMatcher& m) noexcept {
  if (m.Error == TOVPatternError::TimedOut) {
    host.RaiseTimeout(L);
    return 0;
  }
  char buf[64];
  return host.Api->luaL_error(L, "%s", m.ErrorText(buf, sizeof buf));
}

// The values a match gives: every capture, or the whole match [s, e) when there is none and s
// is given.  Checks them all before pushing any; -1 (Error set) when one cannot be read.
int PushCaptures(lua_State* L, const TOVLuaApi& F, TOVPatternMatcher& m, const char* s, const char* e) noexcept {
  const int n = (m.Level == 0 && s) ? 1 : m.Level;
  for (int i = 0; i < n; ++i)
    if (!m.CheckCapture(i)) return -1;
  F.luaL_checkstack(L, n, "too many captures");
  for (int i = 0; i < n; ++i) {
    if (i >= m.Level)
      F.lua_pushlstring(L, s, static_cast<std::size_t>(e - s));
    else if (m.Capture[i].Len == LUA_CAPTURE_POSITION)
      F.lua_pushinteger(L, static_cast<lua_Integer>(m.Capture[i].Init - m.SrcInit) + 1);
    else
      F.lua_pushlstring(L, m.Capture[i].Init, static_cast<std::size_t>(m.Capture[i].Len));
  }
  return n;
}

// string.find and string.match.
int FindOrMatch(lua_State* L, bool find) noexcept {
  const TOVLuaLibHost& H = LuaLibHost(L);
  const TOVLuaApi& F = *H.Api;
  std::size_t ls = 0, lp = 0;
  const char* s = F.luaL_checklstring(L, 1, &ls);
  const char* p = F.luaL_checklstring(L, 2, &lp);
  const std::size_t init = StartPosition(F.luaL_optinteger(L, 3, 1), ls) - 1;
  if (init > ls) {
    F.lua_pushnil(L);
    return 1;
  }
  if (find && (F.lua_toboolean(L, 4) || LuaPatternIsPlain(p, lp))) {
    // A plain search in linear time (a naive one is quadratic and never looks at the clock).
    const void* hit = ::memmem(s + init, ls - init, p, lp);
    if (!hit) {
      F.lua_pushnil(L);
      return 1;
    }
    const std::size_t at = static_cast<std::size_t>(static_cast<const char*>(hit) - s);
    F.lua_pushinteger(L, static_cast<lua_Integer>(at + 1));
    F.lua_pushinteger(L, static_cast<lua_Integer>(at + lp));
    return 2;
  }
  TOVPatternMatcher m;
  m.Start(s, ls, p + lp, H.DeadlineNs());
  const bool anchor = lp > 0 && *p == '^';
  if (anchor) ++p;
  for (const char* at = s + init;; ++at) {
    m.Reset();
    const char* e = m.Match(at, p);
    if (m.Error != TOVPatternError::None) return RaiseMatchError(L, H, m);
    if (e) {
      int n;
      if (find) {
        F.lua_pushinteger(L, static_cast<lua_Integer>(at - s) + 1);
        F.lua_pushinteger(L, static_cast<lua_Integer>(e - s));
        n = PushCaptures(L, F, m, nullptr, nullptr);
        if (n >= 0) n += 2;
      } else {
        n = PushCaptures(L, F, m, at, e);
      }
      if (n < 0) return RaiseMatchError(L, H, m);
      return n;
    }
    if (anchor || at >= m.SrcEnd) break;
  }
  F.lua_pushnil(L);
  return 1;
}

// Where a gmatch iterator goes on: the next start and the end of the last match (an empty
// match there is skipped).
struct GmatchState {
  std::size_t Next;
  std::size_t LastEnd;
  bool HasLast;
};

int GmatchStep(lua_State* L) noexcept {
  const TOVLuaLibHost& H = LuaLibHost(L);
  const TOVLuaApi& F = *H.Api;
  std::size_t ls = 0, lp = 0;
  const char* s = F.lua_tolstring(L, lua_upvalueindex(1), &ls);
  const char* p = F.lua_tolstring(L, lua_upvalueindex(2), &lp);
  auto* st = static_cast<GmatchState*>(F.lua_touserdata(L, lua_upvalueindex(3)));
  TOVPatternMatcher m;
  m.Start(s, ls, p + lp, H.DeadlineNs());
  for (std::size_t at = st->Next; at <= ls; ++at) {
    m.Reset();
    const char* e = m.Match(s + at, p);
    if (m.Error != TOVPatternError::None) return RaiseMatchError(L, H, m);
    const std::size_t end = e ? static_cast<std::size_t>(e - s) : 0;
    if (e && !(st->HasLast && end == st->LastEnd)) {
      st->Next = st->LastEnd = end;
      st->HasLast = true;
      const int n = PushCaptures(L, F, m, s + at, e);
      if (n < 0) return RaiseMatchError(L, H, m);
      return n;
    }
  }
  st->Next = ls + 1;
  return 0;
}

/* ---- gsub ---- */

enum class ReplaceStatus : std::uint8_t { Kept, Replaced, MatchError, BadPercent, BadValue };

// Adds [from, to) of the subject to the result.
inline void AddText(const TOVLuaApi& F, luaL_Buffer* b, const char* from, const char* to) noexcept {
  if (to > from) F.luaL_addlstring(b, from, static_cast<std::size_t>(to - from));
}

// The replacement string (argument 3) for the match [s, e): %0 the match, %1-%9 captures, %%.
ReplaceStatus AddReplacementString(lua_State* L, const TOVLuaApi& F, TOVPatternMatcher& m, luaL_Buffer* b,
                                   const char* s, const char* e) noexcept {
  std::size_t len = 0;
  const char* r = F.lua_tolstring(L, 3, &len);
  const char* const end = r + len;
  while (r < end) {
    const char* pct = static_cast<const char*>(std::memchr(r, '%', static_cast<std::size_t>(end - r)));
    if (!pct) {
      AddText(F, b, r, end);
      break;
    }
    AddText(F, b, r, pct);
    const char k = pct + 1 < end ? pct[1] : '\0';
    r = pct + 2;
    if (k == '%') {
      F.luaL_addlstring(b, "%", 1);
    } else if (k == '0') {
      AddText(F, b, s, e);
    } else if (k >= '1' && k <= '9') {
      const int index = k - '1';
      if (!m.CheckCapture(index)) return ReplaceStatus::MatchError;
      if (index >= m.Level) {
        AddText(F, b, s, e);  // %1 without captures: the whole match
      } else if (m.Capture[index].Len == LUA_CAPTURE_POSITION) {
        F.lua_pushinteger(L, static_cast<lua_Integer>(m.Capture[index].Init - m.SrcInit) + 1);
        F.luaL_addvalue(b);
      } else {
        AddText(F, b, m.Capture[index].Init, m.Capture[index].Init + m.Capture[index].Len);
      }
    } else {
      return ReplaceStatus::BadPercent;
    }
  }
  return ReplaceStatus::Replaced;
}

// The replacement for the match [s, e) from a table (keyed by the first capture) or a function
// (called with every capture).  false or nil keeps the match; *bad_type names a value that is
// neither that nor a string or number.
ReplaceStatus AddReplacementValue(lua_State* L, const TOVLuaApi& F, TOVPatternMatcher& m, luaL_Buffer* b,
                                  const char* s, const char* e, int tr, const char** bad_type) noexcept {
  if (tr == LUA_TFUNCTION) {
    F.lua_pushvalue(L, 3);
    const int n = PushCaptures(L, F, m, s, e);
    if (n < 0) return ReplaceStatus::MatchError;
    F.lua_callk(L, n, 1, 0, nullptr);
  } else {
    if (!m.CheckCapture(0)) return ReplaceStatus::MatchError;
    if (m.Level == 0)
      F.lua_pushlstring(L, s, static_cast<std::size_t>(e - s));
    else if (m.Capture[0].Len == LUA_CAPTURE_POSITION)
      F.lua_pushinteger(L, static_cast<lua_Integer>(m.Capture[0].Init - m.SrcInit) + 1);
    else
      F.lua_pushlstring(L, m.Capture[0].Init, static_cast<std::size_t>(m.Capture[0].Len));
    F.lua_gettable(L, 3);
  }
  if (!F.lua_toboolean(L, -1)) {
    F.lua_settop(L, -2);
    return ReplaceStatus::Kept;
  }
  if (!F.lua_isstring(L, -1)) {
    *bad_type = F.lua_typename(L, F.lua_type(L, -1));
    return ReplaceStatus::BadValue;
  }
  F.luaL_addvalue(b);
  return ReplaceStatus::Replaced;
}

}  // namespace

int LuaStringFind(lua_State* L) noexcept { return FindOrMatch(L, true); }

int LuaStringMatch(lua_State* L) noexcept { return FindOrMatch(L, false); }

int LuaStringGmatch(lua_State* L) noexcept {
  const TOVLuaApi& F = *LuaLibHost(L).Api;
  std::size_t ls = 0;
  F.luaL_checklstring(L, 1, &ls);
  F.luaL_checklstring(L, 2, nullptr);
  std::size_t init = StartPosition(F.luaL_optinteger(L, 3, 1), ls) - 1;
  if (init > ls) init = ls + 1;  // starts past the end: nothing to find
  F.lua_settop(L, 2);            // the subject and the pattern stay with the iterator
  auto* st = static_cast<GmatchState*>(F.lua_newuserdatauv(L, sizeof(GmatchState), 0));
  st->Next = init;
  st->LastEnd = 0;
  st->HasLast = false;
  F.lua_pushcclosure(L, GmatchStep, 3);
  return 1;
}

int LuaStringGsub(lua_State* L) noexcept {
  const TOVLuaLibHost& H = LuaLibHost(L);
  const TOVLuaApi& F = *H.Api;
  std::size_t ls = 0, lp = 0;
  const char* s = F.luaL_checklstring(L, 1, &ls);
  const char* p = F.luaL_checklstring(L, 2, &lp);
  const int tr = F.lua_type(L, 3);
  const lua_Integer max_n = F.luaL_optinteger(L, 4, static_cast<lua_Integer>(ls) + 1);
  if (tr != LUA_TNUMBER && tr != LUA_TSTRING && tr != LUA_TFUNCTION && tr != LUA_TTABLE)
    return F.luaL_typeerror(L, 3, "string/function/table");
  luaL_Buffer b;
  F.luaL_buffinit(L, &b);
  TOVPatternMatcher m;
  m.Start(s, ls, p + lp, H.DeadlineNs());
  const bool anchor = lp > 0 && *p == '^';
  if (anchor) ++p;
  const char* at = s;
  const char* copied = s;  // the subject is in the result up to here
  const char* last_end = nullptr;
  const char* bad_type = nullptr;
  lua_Integer n = 0;
  bool changed = false;
  ReplaceStatus status = ReplaceStatus::Kept;
  while (n < max_n) {
    m.Reset();
    const char* e = m.Match(at, p);
    if (m.Error != TOVPatternError::None) return RaiseMatchError(L, H, m);
    if (e && e != last_end) {  // no empty match where the last one ended
      ++n;
      AddText(F, &b, copied, at);
      copied = at;
      status = tr == LUA_TFUNCTION || tr == LUA_TTABLE ? AddReplacementValue(L, F, m, &b, at, e, tr, &bad_type)
                                                       : AddReplacementString(L, F, m, &b, at, e);
      if (status == ReplaceStatus::Replaced) {
        changed = true;
        copied = e;
      } else if (status != ReplaceStatus::Kept) {
        break;
      }
      at = last_end = e;
    } else if (at < m.SrcEnd) {
      ++at;
    } else {
      break;
    }
    if (anchor) break;
  }
  switch (status) {
    case ReplaceStatus::MatchError: return RaiseMatchError(L, H, m);
    case ReplaceStatus::BadPercent: return F.luaL_error(L, "invalid use of '%%' in replacement string");
    case ReplaceStatus::BadValue: return F.luaL_error(L, "invalid replacement value (a %s)", bad_type);
    default: break;
  }
  if (changed) {
    AddText(F, &b, copied, m.SrcEnd);
    F.luaL_pushresult(&b);
  } else {
    F.lua_pushvalue(L, 1);  // nothing replaced: the subject itself
  }
  F.lua_pushinteger(L, n);
  return 2;
}

}  // namespace ov
