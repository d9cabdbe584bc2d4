// Our pattern functions, and the other library functions a sandboxed state gets in place of
// Lua's own, against Lua's originals: one script runs in a state with the real library and in
// a state with ours, and every result and error text must be the same.  Then the matcher alone:
// its time limit and its depth limit.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "ov_lua_api.h"
#include "ov_lua_pattern.h"
#include "ov_lua_stdlib.h"

using namespace ov;

namespace {

// The deadline the test host reports (INT64_MAX: none).
std::atomic<std::int64_t> g_pattern_test_deadline{INT64_MAX};

// liblua opened the way the engine opens it, and states on it with or without our functions.
class LuaLibraryDiff : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    handle_ = ::dlopen("liblua5.4.so.0", RTLD_NOW | RTLD_LOCAL);
    if (handle_) missing_ = BindLuaApi(handle_, api_);
    host_.Api = &api_;
    host_.DeadlineNs = []() noexcept -> std::int64_t { return g_pattern_test_deadline.load(); };
    host_.RaiseTimeout = [](lua_State* L) noexcept {
      api_.lua_pushstring(L, "execution timeout exceeded");
      api_.lua_error(L);
    };
    host_.SwitchThread = [](lua_State*) noexcept -> lua_State* { return nullptr; };
  }
  void SetUp() override {
    ASSERT_NE(handle_, nullptr) << "liblua5.4.so.0 is needed";
    ASSERT_TRUE(missing_.empty()) << missing_.front();
    g_pattern_test_deadline = INT64_MAX;
  }

  // Runs script in a new state and returns the text it returns, or "error: " and the message.
  static std::string Run(const std::string& script, bool ours) {
    const TOVLuaApi& F = api_;
    lua_State* L = F.luaL_newstate();
    F.luaL_openlibs(L);
    std::string out;
    if (ours) {
      SetLuaLibHost(L, &host_);
      F.lua_pushcclosure(
          L, [](lua_State* S) noexcept -> int {
            InstallLuaLibrary(S);
            return 0;
          },
          0);
      if (F.lua_pcallk(L, 0, 0, 0, 0, nullptr) != LUA_OK) out = "install failed";
    }
    if (out.empty()) {
      const bool ok = F.luaL_loadbufferx(L, script.data(), script.size(), "=cases", "t") == LUA_OK &&
                      F.lua_pcallk(L, 0, 1, 0, 0, nullptr) == LUA_OK;
      std::size_t len = 0;
      const char* s = F.lua_tolstring(L, -1, &len);
      out = (ok ? "" : "error: ") + std::string(s ? s : "?", s ? len : 1);
    }
    F.lua_close(L);
    return out;
  }

  // Runs script both ways; every line of the output must be the same.  Returns the line count.
  static std::size_t ExpectSameLines(const std::string& script) {
    const std::string real = Run(script, false), mine = Run(script, true);
    std::istringstream a(real), b(mine);
    std::string la, lb;
    std::size_t lines = 0, shown = 0;
    while (true) {
      const bool more_a = static_cast<bool>(std::getline(a, la)), more_b = static_cast<bool>(std::getline(b, lb));
      if (!more_a && !more_b) break;
      ++lines;
      if (la != lb && shown++ < 15) ADD_FAILURE() << "line " << lines << "\n  Lua:  " << la << "\n  ours: " << lb;
    }
    return lines;
  }

  static inline void* handle_ = nullptr;
  static inline TOVLuaApi api_;
  static inline TOVLuaLibHost host_;
  static inline std::vector<std::string> missing_;
};

// What every case script starts with: show(label, f, ...) writes one line with f's results or
// its error, values written with their types (so 1 and 1.0, "1" and 1 differ).
constexpr const char* kPrelude = R"lua(
local out = {}
local function ser(v)
  local t = type(v)
  if t == "string" then return string.format("%q", v) end
  if t == "number" then return math.type(v) .. ":" .. string.format("%.17g", v) end
  if t == "table" then
    local parts = {}
    for i = 1, rawlen(v) do parts[#parts + 1] = ser(rawget(v, i)) end
    for k, x in pairs(v) do
      if math.type(k) ~= "integer" or k < 1 or k > rawlen(v) then parts[#parts + 1] = ser(k) .. "=" .. ser(x) end
    end
    table.sort(parts, function(a, b) return a < b end)
    return "{" .. table.concat(parts, ",") .. "}"
  end
  if t == "function" or t == "thread" or t == "userdata" then return t end
  return tostring(v)
end
local function pack(ok, ...)
  local r = { ok and "ok" or "error" }
  for i = 1, select("#", ...) do r[#r + 1] = ser((select(i, ...))) end
  return table.concat(r, " ")
end
local function show(label, f, ...) out[#out + 1] = label .. " -> " .. pack(pcall(f, ...)) end
-- Every value a gmatch gives (at most 40 rounds).
local function gm(s, p, init)
  local it, all = string.gmatch(s, p, init), {}
  for _ = 1, 40 do
    local r = table.pack(it())
    if r[1] == nil then break end
    for i = 1, r.n do r[i] = ser(r[i]) end
    all[#all + 1] = table.concat(r, "|", 1, r.n)
  end
  return table.concat(all, " ")
end
)lua";

TEST_F(LuaLibraryDiff, PatternFunctionsGiveLuasResultsAndErrors) {
  const std::string script = std::string(kPrelude) + R"lua(
local find, match, gsub = string.find, string.match, string.gsub
local cases = {
  -- classes, sets, anchors, repetitions
  {"hello world", "o w"}, {"hello", "l+"}, {"hello", "l*"}, {"hello", "l-o"}, {"hello", "x?h"},
  {"hello", "^h"}, {"hello", "^e"}, {"hello", "o$"}, {"hello", "l$"}, {"a$b", "a$b"}, {"^ab", "^^a"},
  {"THE (quick) fox", "%((%a+)%)"}, {"  x = 10  ", "^%s*(%w+)%s*=%s*(%d+)%s*$"},
  {"abc123_ !?\t\1\127\200\255", "%a+"}, {"abc123_ !?", "%A+"}, {"x\t\n y", "%s+"}, {"abc DEF", "%u+"},
  {"abc DEF", "%l+"}, {"a.b,c;d", "%p"}, {"0x1Fg", "%x+"}, {"a\0b", "%z"}, {"a\0b", "%Z+"},
  {"a\0b", "[\0]"}, {"a\0b\0", "\0b"}, {"\1\2\31 ", "%c+"}, {"ab cd", "%g+"}, {"abc", "%G"},
  {"abc", "[a-b]+"}, {"a-z", "[a-]+"}, {"a]z", "[]]"}, {"a]z", "[^]]+"}, {"a^z", "[a^]+"}, {"-x-", "[%-x]+"},
  {"abc", "[%a-z]"}, {"abc", "[a-%%]"}, {"a%c", "[%%]"}, {"abc", "[^%a]"}, {"ab1", "[%d_]"}, {"x.y", "%."},
  {"a+b", "a%+b"}, {"aaa", "a-"}, {"aaab", "a-b"}, {"aaa", "a?a?a?a?"}, {"", ""}, {"", "a*"}, {"abc", ""},
  {"\200\201", "[\128-\255]+"}, {"Ab", "[%u%l]+"}, {"x%", "x%%"}, {"f(a(b)c)d", "%b()"}, {"f(a(b c", "%b()"},
  {"aaa", "%baa"}, {"[[x]]", "%b[]"}, {"THE (quick) fox", "%f[%a]%a+"}, {"hello", "%f[%l]"}, {"hello", "%f[%z]"},
  {"hello", "%f[^%z]"}, {"a b", "%f[%s]"}, {"abab", "(ab)%1"}, {"abba", "(a)(b)%2%1"}, {"aXa", "(.)X%1"},
  {"abc", "()b()"}, {"abc", "()"}, {"abc", "(()b)"}, {"abc", "a()%1"}, {"ab", "((a)(b))"}, {"hello", "(h)(e)(l)(l)(o)"},
  {"key = val", "(%w+)%s*=%s*(%w+)"}, {"a,b,,c", "([^,]*)"}, {"one two", "(%w+) (%w+)"}, {"aaa", "(a*(.)%w(%s*))"},
  {"x", "[a"}, {"x", "[a%"}, {"x", "[]"}, {"x", "[^]"}, {"x", "%"}, {"x", "x%"}, {"x", "%b"}, {"x", "%bx"},
  {"x", "%f"}, {"x", "%fx"}, {"x", "%1"}, {"x", "(x)%2"}, {"x", "(x%1)"}, {"x", "%0"}, {"x", "(x"}, {"x", "x)"},
  {"x", "(()"}, {"x", "%b()"}, {"x", "[%"}, {"x", "%g*"}, {"x", "**"}, {"x", "x**"}, {"+", "+"}, {"-", "-"},
  {"x", ("()"):rep(32)}, {"x", ("()"):rep(33)}, {"aaa", ("a?"):rep(199)}, {("a"):rep(300), ("a?"):rep(199)},
  {("a"):rep(300), ("a?"):rep(200)}, {("a"):rep(300), ("(a)"):rep(32)}, {("a"):rep(300), ("(a)"):rep(33)},
  {("a"):rep(250), ("a*"):rep(150)}, {("a"):rep(20), ("a-"):rep(201)}, {"ab", ("("):rep(40)},
}
for i, c in ipairs(cases) do
  local s, p = c[1], c[2]
  show(i .. " find", find, s, p)
  show(i .. " find 2", find, s, p, 2)
  show(i .. " find -2", find, s, p, -2)
  show(i .. " find plain", find, s, p, 1, true)
  show(i .. " match", match, s, p)
  show(i .. " match 3", match, s, p, 3)
  show(i .. " gmatch", gm, s, p)
  show(i .. " gmatch 2", gm, s, p, 2)
  show(i .. " gsub", gsub, s, p, "<%0>")
  show(i .. " gsub %1", gsub, s, p, "[%1]")
  show(i .. " gsub fn", gsub, s, p, function(...) return select("#", ...) .. ":" .. table.concat({...}, "|") end)
  show(i .. " gsub tbl", gsub, s, p, {a = "A", b = false, [1] = "one", [2] = 2.5, x = {}})
  show(i .. " gsub n1", gsub, s, p, "#", 1)
end

-- Start positions, plain searches, argument errors and where errors are reported.
for _, init in ipairs({-100, -4, -3, -1, 0, 1, 2, 3, 4, 5, 100, math.mininteger, math.maxinteger}) do
  show("find init " .. init, find, "abc", "c?", init)
  show("find empty " .. init, find, "abc", "", init)
  show("find plain " .. init, find, "abc", "b", init, true)
  show("match init " .. init, match, "abc", "()", init)
  show("gmatch init " .. init, gm, "abc", "()", init)
end
show("plain special", find, "a.c%d", ".c%", 1, true)
show("plain long", find, ("ab"):rep(50) .. "abc", ("ab"):rep(20) .. "c", 1, "yes")
show("plain nil", find, "a.c", ".", 1, nil)
show("no args", find)
show("one arg", find, "x")
show("bad pattern", find, "x", {})
show("nil subject", match, nil, "x")
show("numbers", find, 12345, 34)
show("float pattern", match, 1.5, "%.")
show("bad init", find, "x", "x", "y")
show("float init", find, "x", "x", 1.5)
show("gmatch no pattern", string.gmatch, "x")
show("gsub bad repl", gsub, "abc", "b", true)
show("gsub no repl", gsub, "abc", "b")
show("gsub bad n", gsub, "abc", "b", "x", "y")
show("gsub bad repl and n", gsub, "abc", "b", true, "y")
show("gsub float n", gsub, "abc", "%w", "x", 2.5)
for _, n in ipairs({-1, 0, 1, 2, 3, 4, 10, math.maxinteger, math.mininteger}) do show("gsub n " .. n, gsub, "abc", "%w", "x", n) end
show("gsub %%", gsub, "hello world", "(o)", "%0%1%%")
show("gsub bad %", gsub, "abc", "%w", "%x")
show("gsub trailing %", gsub, "abc", "%w", "x%")
show("gsub %2", gsub, "abc", "(%w)", "%2")
show("gsub position", gsub, "abc", "()", "%1")
show("gsub position key", gsub, "abc", "()", {[1] = "x", [3] = "y"})
show("gsub unfinished", gsub, "abc", "(b", "x")
show("gsub unfinished fn", gsub, "abc", "(b", print)
show("gsub unfinished tbl", gsub, "abc", "(b", {})
show("gsub number repl", gsub, "abc", "b", 42)
show("gsub number subject", gsub, 1234, "2", "x")
show("gsub empty", gsub, "abc", "", "-")
show("gsub star", gsub, "abc", "b*", "-")
show("gsub anchor", gsub, "abc", "^b*", "-")
show("gsub anchor2", gsub, "aaa", "^a", "-")
show("gsub false keeps", gsub, "abc", "%w", function(c) return c ~= "b" and c:upper() end)
show("gsub nil keeps", gsub, "abc", "%w", function() end)
show("gsub bad value", gsub, "abc", "%w", function() return {} end)
show("gsub bad table value", gsub, "abc", "%w", {a = true})
show("gsub metatable", gsub, "abc", "%w", setmetatable({}, {__index = function(_, k) return k .. k end}))
show("gsub error in fn", gsub, "abc", "%w", function() error("inner", 0) end)
show("gsub many", gsub, ("ab"):rep(1000), "b", "%0%0")
show("where find", function() return find("x", "[") end)
show("where gsub", function() return ("abc"):gsub("%w", "%9") end)
show("where gmatch", function() return gm("abc", "(") end)
show("where method", function() local s = "abc" return s:match() end)
show("method find", function() return ("hello"):find("l") end)
show("iterator keeps strings", function()
  local it = string.gmatch(("x"):rep(3) .. "y", "(x)()")
  collectgarbage()
  return it(), it(), it(), it()
end)
return table.concat(out, "\n")
)lua";
  EXPECT_GT(ExpectSameLines(script), 1400u);
}

// Patterns made at random from pieces, on subjects made at random: many shapes nobody would
// think of writing by hand, malformed ones included.
TEST_F(LuaLibraryDiff, RandomPatternsGiveLuasResults) {
  const std::string script = std::string(kPrelude) + R"lua(
math.randomseed(20240601)
local pieces = {"a", "b", "x", ".", "%a", "%d", "%s", "%w", "%W", "%p", "%u", "[ab]", "[^a]", "[a-c]", "[%d_]",
  "[]]", "[^]]", "[a-]", "%%", "%.", "(", ")", "()", "%1", "%2", "%b()", "%bab", "%f[%w]", "%f[^%w]", "$", "^",
  "-", "*", "+", "?", "[", "%", " ", "%z", "\0"}
local quants = {"", "", "", "*", "+", "-", "?"}
local letters = {"a", "b", "a", "b", "x", " ", "(", ")", "1", "_", ".", "\0"}
local function random_pattern()
  local p = {}
  for _ = 1, math.random(1, 7) do p[#p + 1] = pieces[math.random(#pieces)] .. quants[math.random(#quants)] end
  if math.random(6) == 1 then table.insert(p, 1, "^") end
  return table.concat(p)
end
local function random_subject()
  local s = {}
  for _ = 1, math.random(0, 14) do s[#s + 1] = letters[math.random(#letters)] end
  return table.concat(s)
end
for i = 1, 2500 do
  local s, p = random_subject(), random_pattern()
  local init = math.random(-3, 6)
  show(i .. " find", string.find, s, p, init)
  show(i .. " match", string.match, s, p)
  show(i .. " gmatch", gm, s, p)
  show(i .. " gsub", string.gsub, s, p, "<%0>")
  show(i .. " gsub fn", string.gsub, s, p, function(...) return table.concat({...}, "|") end, math.random(0, 3))
end
return table.concat(out, "\n")
)lua";
  EXPECT_EQ(ExpectSameLines(script), 12500u);
}

TEST_F(LuaLibraryDiff, TableStringAndCoroutineFunctionsGiveLuasResultsAndErrors) {
  const std::string script = std::string(kPrelude) + R"lua(
local function list() return {10, 20, 30, 40, 50} end
-- A proxy list: every read and write goes through metamethods, logged in order.
local function proxy(n)
  local data, log = {}, {}
  for i = 1, n do data[i] = i * 100 end
  local t = setmetatable({}, {
    __index = function(_, k) log[#log + 1] = "r" .. tostring(k) return data[k] end,
    __newindex = function(_, k, v) log[#log + 1] = "w" .. tostring(k) data[k] = v end,
    __len = function() return n end,
  })
  return t, data, log
end
local function after(f, t, ...)
  local r = table.pack(f(t, ...))
  return t, table.unpack(r, 1, r.n)
end
local function on_proxy(f, n, ...)
  local t, data, log = proxy(n)
  local r = table.pack(f(t, ...))
  return data, table.concat(log, " "), table.unpack(r, 1, r.n)
end
local insert, remove, move, concat, unpack, sort = table.insert, table.remove, table.move, table.concat, table.unpack, table.sort
for _, args in ipairs({{99}, {1, 99}, {3, 99}, {6, 99}, {7, 99}, {0, 99}, {-1, 99}, {}, {1, 2, 3}, {"2", 99}, {1.5, 99}}) do
  local label = "insert " .. table.concat(args, ",")
  show(label, after, insert, list(), table.unpack(args))
  show(label .. " proxy", on_proxy, insert, 4, table.unpack(args))
end
for _, args in ipairs({{}, {1}, {3}, {5}, {6}, {7}, {0}, {-1}, {"x"}}) do
  local label = "remove " .. table.concat(args, ",")
  show(label, after, remove, list(), table.unpack(args))
  show(label .. " proxy", on_proxy, remove, 4, table.unpack(args))
  show(label .. " empty", after, remove, {}, table.unpack(args))
end
for _, args in ipairs({{1, 3, 2}, {2, 4, 1}, {1, 5, 3}, {3, 5, 1}, {1, 0, 1}, {2, 3, 10}, {1, 5, 1},
                       {-1, math.maxinteger, 1}, {1, 2, math.maxinteger}, {math.mininteger, -1, 1}, {0, 2, -5}}) do
  local label = "move " .. table.concat(args, ",")
  show(label, after, move, list(), table.unpack(args))
  show(label .. " other", function() local a, b = list(), {} return move(a, args[1], args[2], args[3], b), a end)
  show(label .. " proxy", on_proxy, move, 5, table.unpack(args))
end
show("move bad", move, list(), 1, "x", 1)
show("move float", move, list(), 1, 2.5, 1)
show("move no table", move, nil, 1, 2, 3)
show("move bad dest", move, {}, 1, 2, 3, 4)
show("move read only", move, setmetatable({}, {__index = {}}), 1, 2, 3)
for _, args in ipairs({{}, {","}, {", ", 2}, {"-", 2, 4}, {"-", 4, 2}, {"", 5, 5}, {"", 0, 1}, {"", 1, 6}, {"", 3, 2}}) do
  local label = "concat " .. table.concat(args, ";")
  show(label, concat, {"a", 2, 3.5, "d", "e"}, table.unpack(args))
  show(label .. " proxy", on_proxy, concat, 5, table.unpack(args))
end
show("concat bad value", concat, {"a", {}, "c"})
show("concat bad sep", concat, {"a"}, {})
show("concat no table", concat, "abc")
show("concat len error", concat, setmetatable({}, {__len = function() return "x" end}))
for _, args in ipairs({{}, {2}, {2, 4}, {4, 2}, {-1, 1}, {1, 7}, {3, 3}, {0, 0}, {1, 1e7}, {math.mininteger, math.maxinteger}}) do
  local label = "unpack " .. table.concat(args, ",")
  show(label, unpack, list(), table.unpack(args))
  show(label .. " proxy", on_proxy, unpack, 5, table.unpack(args))
end
show("unpack string", unpack, "abc")
show("unpack nil", unpack, nil)
show("sort numbers", after, sort, {5, 2, 8, 1, 9, 3, 7, 2})
show("sort strings", after, sort, {"pear", "apple", "fig", "b", "a", "ab"})
show("sort desc", after, sort, {5, 2, 8, 1}, function(a, b) return a > b end)
show("sort mixed", sort, {1, "x", 3})
show("sort tables", sort, {{}, {}})
show("sort lt", after, sort, {setmetatable({v = 2}, {__lt = function(a, b) return a.v < b.v end}),
                              setmetatable({v = 1}, {__lt = function(a, b) return a.v < b.v end})})
show("sort nil", sort, nil)
show("sort nil cmp", after, sort, {3, 1, 2}, nil)
show("sort short bad cmp", after, sort, {1}, 5)
show("sort bad cmp", after, sort, {3, 2, 1}, 5)
show("where sort bad cmp", function() return sort({3, 2, 1}, {}) end)
show("sort proxy", on_proxy, sort, 4, function(a, b) return a > b end)
show("sort long", function()
  local t = {}
  for i = 1, 300 do t[i] = (i * 7919) % 1009 end
  sort(t)
  return concat(t, " ")
end)
show("where insert", function() local t return insert(t, 1) end)
show("where insert pos", function() return insert({}, 5, 1) end)
show("where insert count", function() return insert({}, 1, 2, 3) end)
show("where remove", function() return remove({1}, 5) end)
show("where move", function() return move({}, 1, 2, math.maxinteger) end)
show("where concat", function() return concat({1, {}}) end)
show("where unpack", function() return unpack({}, 1, 1e8) end)
show("where sort", function() return sort(nil) end)
show("where sort compare", function() return sort({1, "x"}) end)
for _, args in ipairs({{"ab", 3}, {"ab", 3, ","}, {"", 5}, {"", 5, "-"}, {"x", 0}, {"x", -1}, {"x", 1, "-"},
                       {1, 3}, {"x", 2.0}, {"x", 1.5}, {"x", "2"}, {"x", "y"}, {nil, 1}, {"xy", math.maxinteger}}) do
  show("rep " .. tostring(args[1]) .. "," .. tostring(args[2]) .. "," .. tostring(args[3]), string.rep, args[1], args[2], args[3])
end
show("where rep", function() return ("xy"):rep(math.maxinteger) end)
show("where rep arg", function() return ("x"):rep() end)
show("resume", function()
  local co = coroutine.create(function(a, b) local c = coroutine.yield(a + b) return c * 2 end)
  return coroutine.resume(co, 1, 2), select(2, coroutine.resume(co, 5)), coroutine.resume(co), coroutine.status(co)
end)
show("resume error", function()
  return coroutine.resume(coroutine.create(function() error("boom", 0) end))
end)
show("resume nil", coroutine.resume, nil)
show("resume running", function() return coroutine.resume(coroutine.running()) end)
show("where resume", function() return coroutine.resume(42) end)
show("close dead", function()
  local co = coroutine.create(function() local x <close> = setmetatable({}, {__close = function() end}) coroutine.yield() end)
  coroutine.resume(co)
  return coroutine.close(co), coroutine.status(co)
end)
show("close bad", coroutine.close, {})
local sp = package.searchpath
show("searchpath found", sp, "passwd", "/nonexistent/?.lua;/etc/?")
show("searchpath dir", sp, "etc", "/?")
show("searchpath list", sp, "a.b", "/nonexistent/?.lua;/x/?/init.lua;;/y/?")
show("searchpath sep", sp, "a.b", "/x/?", "a.", "!")
show("searchpath no sep", sp, "a.b", "/x/?", "", "")
show("searchpath zero", sp, "a\0b", "/x/?;/y/?\0;/z")
show("searchpath empty", sp, "a", "")
show("searchpath semis", sp, "a", ";")
show("searchpath marks", sp, "a", "/x/??")
show("searchpath args", sp, nil, nil)
show("searchpath args 4", sp, "a", "b", {}, {})
show("wrap", function()
  local f = coroutine.wrap(function(a) local b = coroutine.yield(a * 2) return b + 1 end)
  return f(4), f(10)
end)
return table.concat(out, "\n")
)lua";
  EXPECT_GT(ExpectSameLines(script), 170u);
}

/* ---- the matcher alone ---- */

// The issue's pattern on a subject that makes Lua's matcher backtrack for hours.
TEST(LuaPattern, MatchingStopsAtTheDeadline) {
  const std::string subject(40, 'a');
  std::string pattern;
  for (int i = 0; i < 12; ++i) pattern += "a*";
  pattern += "b";
  for (const int ms : {0, 30, 200}) {
    TOVPatternMatcher m;
    const auto t0 = std::chrono::steady_clock::now();
    m.Start(subject.data(), subject.size(), pattern.data() + pattern.size(), SteadyNowNs() + ms * 1000000LL);
    const char* end = nullptr;
    for (const char* at = subject.data(); !end && m.Error == TOVPatternError::None && at <= m.SrcEnd; ++at) {
      m.Reset();
      end = m.Match(at, pattern.data());
    }
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(end, nullptr);
    EXPECT_EQ(m.Error, TOVPatternError::TimedOut) << ms;
    EXPECT_GE(took, ms / 1000.0);
    // Without the deadline this runs for hours; the bound only has to tell the two apart on a
    // busy machine (the clock is read every few thousand steps).
    EXPECT_LT(took, ms / 1000.0 + 5.0);
  }
  // Without a deadline the same matcher finds what there is to find.
  TOVPatternMatcher m;
  const std::string text = "xx(aaab)";
  const std::string p = "%((a*)(b)%)";
  m.Start(text.data(), text.size(), p.data() + p.size(), INT64_MAX);
  m.Reset();
  EXPECT_EQ(m.Match(text.data() + 2, p.data()), text.data() + text.size());
  ASSERT_EQ(m.Level, 2);
  EXPECT_EQ(std::string(m.Capture[0].Init, static_cast<std::size_t>(m.Capture[0].Len)), "aaa");
  EXPECT_EQ(std::string(m.Capture[1].Init, static_cast<std::size_t>(m.Capture[1].Len)), "b");
}

}  // namespace
