#include "ov_lua_stdlib.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "ov_lua_api.h"
#include "ov_lua_pattern.h"

namespace ov {

namespace {

/* ---- shared helpers ---------------------------------------------------------------------- */

// Every 1024th pass of a C loop looks at the time limit; a pass costs at most some tens of
// microseconds (a 2000-deep __index chain), so a loop overruns the limit by milliseconds.
inline void CheckTimeEvery(lua_State* L, const TOVLuaLibHost& host, std::uint32_t& passes) noexcept {
  if ((++passes & 1023u) == 0 && SteadyNowNs() > host.DeadlineNs()) host.RaiseTimeout(L);
}

// Pushes upvalue 1 (the library's own function) below the arguments and calls it with them.
int CallOriginal(lua_State* L, const TOVLuaApi& F, int nresults) noexcept {
  const int nargs = F.lua_gettop(L);
  F.lua_pushvalue(L, lua_upvalueindex(1));
  F.lua_rotate(L, 1, 1);
  F.lua_callk(L, nargs, nresults, 0, nullptr);
  return F.lua_gettop(L);
}

constexpr int kTabRead = 1, kTabWrite = 2, kTabLen = 4;

// A table, or a value whose metatable has what the operation uses (__index to read, __newindex
// to write, __len for the length); anything else is refused as the table library does.
void CheckTable(lua_State* L, const TOVLuaApi& F, int arg, int needs) noexcept {
  if (F.lua_type(L, arg) == LUA_TTABLE) return;
  static const struct {
    int need;
    const char* field;
  } kFields[] = {{kTabRead, "__index"}, {kTabWrite, "__newindex"}, {kTabLen, "__len"}};
  int pushed = 0;
  bool ok = F.lua_getmetatable(L, arg) != 0;
  if (ok) pushed = 1;
  for (const auto& f : kFields) {
    if (!ok || !(needs & f.need)) continue;
    F.lua_pushstring(L, f.field);
    ++pushed;
    ok = F.lua_rawget(L, -pushed) != LUA_TNIL;
  }
  if (!ok) F.luaL_checktype(L, arg, LUA_TTABLE);  // raises "table expected"
  F.lua_settop(L, -pushed - 1);
}

/* ---- string.rep -------------------------------------------------------------------------- */

// An empty result is made here; any other is bounded by the memory limit, and Lua's own rep
// (upvalue 1) makes it.
int StringRep(lua_State* L) noexcept {
  const TOVLuaApi& F = *LuaLibHost(L).Api;
  std::size_t len = 0, sep_len = 0;
  F.luaL_checklstring(L, 1, &len);
  const lua_Integer n = F.luaL_checkinteger(L, 2);
  F.luaL_optlstring(L, 3, "", &sep_len);
  if (n <= 0 || len + sep_len == 0) {
    F.lua_pushstring(L, "");
    return 1;
  }
  // Checked here as well, so that the message carries the caller's position.
  if (len + sep_len > static_cast<std::size_t>(LUA_MAXINTEGER) / static_cast<std::size_t>(n))
    return F.luaL_error(L, "resulting string too large");
  return CallOriginal(L, F, 1);
}

/* ---- the table library ------------------------------------------------------------------- */

int TableInsert(lua_State* L) noexcept {
  const TOVLuaLibHost& H = LuaLibHost(L);
  const TOVLuaApi& F = *H.Api;
  CheckTable(L, F, 1, kTabRead | kTabWrite | kTabLen);
  // The first empty slot (wrapping around as Lua's integers do).
  const lua_Integer end = static_cast<lua_Integer>(static_cast<lua_Unsigned>(F.luaL_len(L, 1)) + 1u);
  lua_Integer pos = end;
  switch (F.lua_gettop(L)) {
    case 2:
      break;
    case 3: {
      pos = F.luaL_checkinteger(L, 2);
      // 1 <= pos <= end in one unsigned comparison.
      if (static_cast<lua_Unsigned>(pos) - 1u >= static_cast<lua_Unsigned>(end))
        return F.luaL_argerror(L, 2, "position out of bounds");
      std::uint32_t passes = 0;
      for (lua_Integer i = end; i > pos; --i) {
        CheckTimeEvery(L, H, passes);
        F.lua_geti(L, 1, i - 1);
        F.lua_seti(L, 1, i);
      }
      break;
    }
    default:
      return F.luaL_error(L, "wrong number of arguments to 'insert'");
  }
  F.lua_seti(L, 1, pos);
  return 0;
}

int TableRemove(lua_State* L) noexcept {
  const TOVLuaLibHost& H = LuaLibHost(L);
  const TOVLuaApi& F = *H.Api;
  CheckTable(L, F, 1, kTabRead | kTabWrite | kTabLen);
  const lua_Integer size = F.luaL_len(L, 1);
  lua_Integer pos = F.luaL_optinteger(L, 2, size);
  // Besides 1..size, size + 1 (and 0 for an empty list) may be given.  Lua 5.4's library
  // blames argument 1 for a wrong position; so do we.
  if (pos != size && static_cast<lua_Unsigned>(pos) - 1u > static_cast<lua_Unsigned>(size))
    return F.luaL_argerror(L, 1, "position out of bounds");
  F.lua_geti(L, 1, pos);  // the result
  std::uint32_t passes = 0;
  for (; pos < size; ++pos) {
    CheckTimeEvery(L, H, passes);
    F.lua_geti(L, 1, pos + 1);
    F.lua_seti(L, 1, pos);
  }
  F.lua_pushnil(L);
  F.lua_seti(L, 1, pos);
  return 1;
}

int TableMove(lua_State* L) noexcept {
  const TOVLuaLibHost& H = LuaLibHost(L);
  const TOVLuaApi& F = *H.Api;
  const lua_Integer first = F.luaL_checkinteger(L, 2);
  const lua_Integer last = F.luaL_checkinteger(L, 3);
  const lua_Integer to = F.luaL_checkinteger(L, 4);
  const int dest = F.lua_type(L, 5) > LUA_TNIL ? 5 : 1;
  CheckTable(L, F, 1, kTabRead);
  CheckTable(L, F, dest, kTabWrite);
  if (last >= first) {
    if (!(first > 0 || last < LUA_MAXINTEGER + first)) return F.luaL_argerror(L, 3, "too many elements to move");
    const lua_Integer n = last - first + 1;
    if (to > LUA_MAXINTEGER - n + 1) return F.luaL_argerror(L, 4, "destination wrap around");
    std::uint32_t passes = 0;
    // Backwards when the destination starts inside the source in the same table.
    if (to > last || to <= first || (dest != 1 && !F.lua_compare(L, 1, dest, LUA_OPEQ))) {
      for (lua_Integer i = 0; i < n; ++i) {
        CheckTimeEvery(L, H, passes);
        F.lua_geti(L, 1, first + i);
        F.lua_seti(L, dest, to + i);
      }
    } else {
      for (lua_Integer i = n - 1; i >= 0; --i) {
        CheckTimeEvery(L, H, passes);
        F.lua_geti(L, 1, first + i);
        F.lua_seti(L, dest, to + i);
      }
    }
  }
  F.lua_pushvalue(L, dest);
  return 1;
}

int TableConcat(lua_State* L) noexcept {
  const TOVLuaLibHost& H = LuaLibHost(L);
  const TOVLuaApi& F = *H.Api;
  CheckTable(L, F, 1, kTabRead | kTabLen);
  lua_Integer last = F.luaL_len(L, 1);
  std::size_t sep_len = 0;
  const char* sep = F.luaL_optlstring(L, 2, "", &sep_len);
  lua_Integer i = F.luaL_optinteger(L, 3, 1);
  last = F.luaL_optinteger(L, 4, last);
  luaL_Buffer b;
  F.luaL_buffinit(L, &b);
  std::uint32_t passes = 0;
  for (; i <= last; ++i) {
    CheckTimeEvery(L, H, passes);
    F.lua_geti(L, 1, i);
    if (!F.lua_isstring(L, -1))
      return F.luaL_error(L, "invalid value (%s) at index %I in table for 'concat'",
                          F.lua_typename(L, F.lua_type(L, -1)), static_cast<LUAI_UACINT>(i));
    F.luaL_addvalue(&b);
    if (i == last) break;  // also ends the loop when last is the largest integer
    F.luaL_addlstring(&b, sep, sep_len);
  }
  F.luaL_pushresult(&b);
  return 1;
}

int TableUnpack(lua_State* L) noexcept {
  const TOVLuaLibHost& H = LuaLibHost(L);
  const TOVLuaApi& F = *H.Api;
  lua_Integer i = F.luaL_optinteger(L, 2, 1);
  const lua_Integer last = F.lua_type(L, 3) <= LUA_TNIL ? F.luaL_len(L, 1) : F.luaL_checkinteger(L, 3);
  if (i > last) return 0;
  const lua_Unsigned n = static_cast<lua_Unsigned>(last) - static_cast<lua_Unsigned>(i);
  if (n >= static_cast<lua_Unsigned>(INT_MAX) || !F.lua_checkstack(L, static_cast<int>(n + 1)))
    return F.luaL_error(L, "too many results to unpack");
  std::uint32_t passes = 0;
  for (; i < last; ++i) {
    CheckTimeEvery(L, H, passes);
    F.lua_geti(L, 1, i);
  }
  F.lua_geti(L, 1, last);
  return static_cast<int>(n + 1);
}

// Lua's comparison as an order function, looking at the time limit before each comparison.
int LessThan(lua_State* L) noexcept {
  const TOVLuaLibHost& H = LuaLibHost(L);
  if (SteadyNowNs() > H.DeadlineNs()) H.RaiseTimeout(L);
  H.Api->lua_pushboolean(L, H.Api->lua_compare(L, 1, 2, LUA_OPLT));
  return 1;
}

// Lua's own sort (upvalue 1), given LessThan when the script gives no order function.  With
// one, every comparison is a call of Lua code already, which the count hook sees.  The argument
// errors are raised here, so that they name this function (Lua's own, called from C, cannot
// know its name); only "array too big" (a length of 2^31 or more) still names none.
int TableSort(lua_State* L) noexcept {
  const TOVLuaApi& F = *LuaLibHost(L).Api;
  CheckTable(L, F, 1, kTabRead | kTabWrite | kTabLen);
  const int order = F.lua_type(L, 2);
  if (order <= LUA_TNIL) {
    F.lua_settop(L, 1);
    F.lua_pushcclosure(L, LessThan, 0);
  } else if (order != LUA_TFUNCTION) {
    if (F.luaL_len(L, 1) <= 1) return 0;  // nothing to sort, and Lua does not look at it then
    F.luaL_checktype(L, 2, LUA_TFUNCTION);
  }
  CallOriginal(L, F, 0);
  return 0;
}

/* ---- coroutines -------------------------------------------------------------------------- */

// coroutine.resume and coroutine.close (upvalue 1: Lua's own): the coroutine runs, so the host
// is told; back here, a time limit reached meanwhile stops this thread too.
int CoroutineSwitch(lua_State* L) noexcept {
  const TOVLuaLibHost& H = LuaLibHost(L);
  const TOVLuaApi& F = *H.Api;
  lua_State* co = F.lua_tothread(L, 1);
  if (!co) return F.luaL_typeerror(L, 1, "thread");
  lua_State* const previous = H.SwitchThread(co);
  const int n = CallOriginal(L, F, LUA_MULTRET);
  H.SwitchThread(previous);
  if (SteadyNowNs() > H.DeadlineNs()) H.RaiseTimeout(L);
  return n;
}

/* ---- files ------------------------------------------------------------------------------- */

// Adds text (up to its first zero byte, as the package library reads names and paths) with
// every what replaced by with.
void AddReplaced(const TOVLuaApi& F, luaL_Buffer* b, const char* text, const char* what, const char* with) noexcept {
  const std::size_t what_len = std::strlen(what);
  for (const char* hit; what_len > 0 && (hit = std::strstr(text, what)) != nullptr; text = hit + what_len) {
    F.luaL_addlstring(b, text, static_cast<std::size_t>(hit - text));
    F.luaL_addlstring(b, with, std::strlen(with));
  }
  F.luaL_addlstring(b, text, std::strlen(text));
}

// package.searchpath(name, path [, sep [, rep]]): each ';'-separated template of path with '?'
// replaced by name (its sep replaced by rep); the first file that opens for reading, or nil and
// the list of those tried.  Opened without blocking: Lua's own would wait for a FIFO's writer.
int PackageSearchPath(lua_State* L) noexcept {
  const TOVLuaApi& F = *LuaLibHost(L).Api;
  // Checked last to first, as Lua's own does.
  const char* rep = F.luaL_optlstring(L, 4, "/", nullptr);
  const char* sep = F.luaL_optlstring(L, 3, ".", nullptr);
  const char* path = F.luaL_checklstring(L, 2, nullptr);
  const char* name = F.luaL_checklstring(L, 1, nullptr);
  luaL_Buffer b;
  F.luaL_buffinit(L, &b);
  AddReplaced(F, &b, name, sep, rep);
  F.luaL_pushresult(&b);
  const char* file_name = F.lua_tolstring(L, -1, nullptr);  // stays below the next buffer
  F.luaL_buffinit(L, &b);
  AddReplaced(F, &b, path, "?", file_name);
  F.luaL_pushresult(&b);
  std::size_t len = 0;
  const char* all = F.lua_tolstring(L, -1, &len);
  const char* const end = all + len;
  for (const char* t = all;;) {
    const char* semi = static_cast<const char*>(std::memchr(t, ';', static_cast<std::size_t>(end - t)));
    const char* t_end = semi ? semi : end;
    const char* file = F.lua_pushlstring(L, t, static_cast<std::size_t>(t_end - t));
    const int fd = ::open(file, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd >= 0) {
      ::close(fd);
      return 1;
    }
    F.lua_settop(L, -2);
    if (!semi) break;
    t = semi + 1;
  }
  F.lua_pushnil(L);
  F.luaL_buffinit(L, &b);
  F.luaL_addlstring(&b, "no file '", 9);
  AddReplaced(F, &b, all, ";", "'\n\tno file '");
  F.luaL_addlstring(&b, "'", 1);
  F.luaL_pushresult(&b);
  return 2;
}

struct TextFileReader {
  int Fd;
  int ReadErrno;  // of a failed read
  enum : std::uint8_t { kBom, kHash, kSkipLine, kBody } Phase;
  const TOVLuaLibHost* Host;
  char Buf[16 * 1024];
};

// A block of the file into Buf: its size, 0 at the end, -1 on error.
std::ptrdiff_t ReadBlock(TextFileReader* r) noexcept {
  for (;;) {
    const ssize_t n = ::read(r->Fd, r->Buf, sizeof r->Buf);
    if (n >= 0) return n;
    if (errno != EINTR) {
      r->ReadErrno = errno;
      return -1;
    }
  }
}

// lua_load's reader: one block per call, each after a look at the time limit.  Before the
// text, a UTF-8 byte order mark and a first line starting with '#' are dropped (the newline
// stays, so that line numbers hold).
const char* ReadTextFile(lua_State* L, void* ud, std::size_t* size) noexcept {
  auto* r = static_cast<TextFileReader*>(ud);
  *size = 0;
  for (;;) {
    if (SteadyNowNs() > r->Host->DeadlineNs()) r->Host->RaiseTimeout(L);
    const std::ptrdiff_t got = ReadBlock(r);
    if (got <= 0) return nullptr;
    const char* p = r->Buf;
    std::size_t n = static_cast<std::size_t>(got);
    if (r->Phase == TextFileReader::kBom) {
      if (n >= 3 && std::memcmp(p, "\xEF\xBB\xBF", 3) == 0) {
        p += 3;
        n -= 3;
      }
      r->Phase = TextFileReader::kHash;
    }
    if (r->Phase == TextFileReader::kHash && n > 0)
      r->Phase = *p == '#' ? TextFileReader::kSkipLine : TextFileReader::kBody;
    if (r->Phase == TextFileReader::kSkipLine) {
      const void* nl = std::memchr(p, '\n', n);
      if (!nl) continue;
      r->Phase = TextFileReader::kBody;
      n -= static_cast<std::size_t>(static_cast<const char*>(nl) - p);
      p = static_cast<const char*>(nl);
    }
    if (n == 0) continue;
    *size = n;
    return p;
  }
}

}  // namespace

/* ---- public ------------------------------------------------------------------------------ */

void InstallLuaLibrary(lua_State* L) noexcept {
  const TOVLuaApi& F = *LuaLibHost(L).Api;
  static const struct {
    const char* library;
    const char* name;
    lua_CFunction fn;
    bool wraps;  // gets the library's own function as upvalue 1
  } kReplaced[] = {
      {"string", "find", LuaStringFind, false},       {"string", "match", LuaStringMatch, false},
      {"string", "gmatch", LuaStringGmatch, false},   {"string", "gsub", LuaStringGsub, false},
      {"string", "rep", StringRep, true},             {"table", "insert", TableInsert, false},
      {"table", "remove", TableRemove, false},        {"table", "move", TableMove, false},
      {"table", "concat", TableConcat, false},        {"table", "unpack", TableUnpack, false},
      {"table", "sort", TableSort, true},             {"coroutine", "resume", CoroutineSwitch, true},
      {"coroutine", "close", CoroutineSwitch, true}, {"package", "searchpath", PackageSearchPath, false},
  };
  for (const auto& r : kReplaced) {
    if (F.lua_getglobal(L, r.library) != LUA_TTABLE) F.luaL_error(L, "the %s library is missing", r.library);
    if (r.wraps && F.lua_getfield(L, -1, r.name) != LUA_TFUNCTION)
      F.luaL_error(L, "%s.%s is missing", r.library, r.name);
    F.lua_pushcclosure(L, r.fn, r.wraps ? 1 : 0);
    F.lua_setfield(L, -2, r.name);
    F.lua_settop(L, -2);
  }
}

int LoadLuaTextFile(lua_State* L, const char* path) noexcept {
  const TOVLuaLibHost& H = LuaLibHost(L);
  const TOVLuaApi& F = *H.Api;
  const char* chunkname = F.lua_pushfstring(L, "@%s", path);
  TextFileReader r;
  r.ReadErrno = 0;
  r.Phase = TextFileReader::kBom;
  r.Host = &H;
  // Non-blocking, so that opening a FIFO does not wait for a writer.
  r.Fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  int err = r.Fd < 0 ? errno : 0;
  const char* why = "open";
  if (r.Fd >= 0) {
    struct stat st;
    const bool stat_ok = ::fstat(r.Fd, &st) == 0;
    if (!stat_ok || !S_ISREG(st.st_mode)) {
      err = stat_ok ? 0 : errno;
      why = "read";
      ::close(r.Fd);
      r.Fd = -1;
    }
  }
  if (r.Fd < 0) {
    F.lua_settop(L, -2);
    F.lua_pushfstring(L, "cannot %s %s: %s", why, path, err ? std::strerror(err) : "not a regular file");
    return LUA_ERRFILE;
  }
  const int status = F.lua_load(L, ReadTextFile, &r, chunkname, "t");
  ::close(r.Fd);
  if (r.ReadErrno != 0) {
    F.lua_settop(L, -3);
    F.lua_pushfstring(L, "cannot read %s: %s", path, std::strerror(r.ReadErrno));
    return LUA_ERRFILE;
  }
  F.lua_rotate(L, -2, -1);  // the chunk name goes
  F.lua_settop(L, -2);
  return status;
}

int LuaLoadTextFile(lua_State* L) noexcept {
  const TOVLuaApi& F = *LuaLibHost(L).Api;
  const char* path = F.luaL_checklstring(L, 1, nullptr);
  if (LoadLuaTextFile(L, path) == LUA_OK) return 1;
  F.lua_pushnil(L);
  F.lua_rotate(L, -2, 1);
  return 2;
}

}  // namespace ov
