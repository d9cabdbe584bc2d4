// The Lua engine on the real Lua 5.4 library: a plug-in's life with its log lines, the time
// limit kept per state and holding inside library functions, one thread at a time in a state,
// memory figures, unloading a busy plug-in, deep recursion on a thread with a small stack,
// files that are no regular files, and the engine without its library.
#include <gtest/gtest.h>

#include <pthread.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ov_event_bus.h"
#include "ov_log.h"
#include "ov_lua_engine.h"
#include "test_util.h"

using namespace ov;
using Clock = std::chrono::steady_clock;

namespace {

class LuaEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Log.Publish(std::make_unique<TOVLog>("", false));
    Log->SetDBCallback([this](const std::string& level, const std::string&, const std::string&, const std::string& msg) {
      std::lock_guard<std::mutex> g(mu_);
      lines_.push_back(level + ": " + msg);
    });
  }
  void TearDown() override { Log.Free(); }

  std::string Write(const std::string& name, const std::string& text) {
    const std::string path = dir_ / name;
    ovtest::WriteText(path, text);
    return path;
  }
  bool Load(TOVLuaEngine& e, const std::string& name, const std::string& text) {
    return e.LoadPlugin(Write(name, text), nullptr, std::chrono::system_clock::now());
  }
  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> g(mu_);
    return lines_;
  }
  bool HasLine(const std::string& line) {
    for (const auto& l : Lines())
      if (l == line) return true;
    return false;
  }
  void ClearLines() {
    std::lock_guard<std::mutex> g(mu_);
    lines_.clear();
  }

  ovtest::TempDir dir_;
  std::mutex mu_;
  std::vector<std::string> lines_;
};

// Runs fn on a thread with a stack of the given size and waits for it.
void RunOnSmallStack(std::size_t stack_bytes, const std::function<void()>& fn) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, stack_bytes);
  pthread_t t;
  ASSERT_EQ(pthread_create(
                &t, &attr,
                [](void* arg) -> void* {
                  (*static_cast<const std::function<void()>*>(arg))();
                  return nullptr;
                },
                const_cast<std::function<void()>*>(&fn)),
            0);
  pthread_attr_destroy(&attr);
  pthread_join(t, nullptr);
}

TEST_F(LuaEngineTest, APluginsLifeWithItsLogLines) {
  TOVLuaEngine engine;
  ASSERT_TRUE(engine.Available());
  EXPECT_TRUE(HasLine("info: Lua 5.4 engine initialized"));
  ASSERT_TRUE(Load(engine, "life.lua", R"(
    local seen = {}
    return {
      name = "life", version = "1.0", description = "lived",
      init = function(cfg)
        assert(type(cfg) == "table" and next(cfg) == nil)
        seen[#seen + 1] = "init"
      end,
      on_user_login = function(e) seen[#seen + 1] = e.type .. " " .. e.data end,
      on_echo = function(e) error(table.concat(seen, "|") .. "|" .. e.type .. "|" .. tostring(e.data), 0) end,
      finalize = function() error("bye", 0) end,
    })"));
  EXPECT_TRUE(HasLine("info: Lua plugin loaded: life v1.0 - lived"));
  EXPECT_EQ(engine.FindLuaPlugin("LIFE"), 0);
  EXPECT_EQ(engine.FindLuaPlugin("other"), -1);

  EXPECT_TRUE(engine.CallPluginInit("Life"));
  EXPECT_TRUE(HasLine("info: Lua plugin initialized: life"));
  const TJSON data = {{"user", "bob"}, {"id", 3}};
  EXPECT_TRUE(engine.FireEvent("life", "user.login", &data));
  EXPECT_FALSE(engine.FireEvent("life", "echo", nullptr));
  EXPECT_TRUE(HasLine(R"(error: Lua plugin life event handler error (echo): init|user.login { "user" : "bob", "id" : 3 }|echo|nil)"));
  // No handler, no plug-in: false without a line.
  ClearLines();
  EXPECT_FALSE(engine.FireEvent("life", "no.handler", nullptr));
  EXPECT_FALSE(engine.FireEvent("nobody", "echo", nullptr));
  EXPECT_FALSE(engine.CallPluginInit("nobody"));
  EXPECT_TRUE(Lines().empty());

  EXPECT_FALSE(engine.CallPluginFinalize("life"));
  EXPECT_TRUE(HasLine("error: Lua plugin life finalize error: bye"));
  ClearLines();
  EXPECT_TRUE(engine.UnloadPlugin("LIFE"));
  EXPECT_EQ(Lines(), (std::vector<std::string>{"error: Lua plugin life finalize error: bye",
                                               "info: Lua plugin unloaded: life"}));
  EXPECT_EQ(engine.GetPluginCount(), 0);
  EXPECT_FALSE(engine.FireEvent("life", "user.login", &data));
  EXPECT_FALSE(engine.UnloadPlugin("life"));

  // Without init and finalize both succeed quietly; a failing init is reported.
  ASSERT_TRUE(Load(engine, "bare.lua", R"(return { name = "bare" })"));
  ASSERT_TRUE(Load(engine, "bad.lua", R"(return { name = "bad", init = function() error("no way", 0) end,
                                                  finalize = function() error("bad gone", 0) end })"));
  ASSERT_TRUE(Load(engine, "last.lua", R"(return { name = "last", finalize = function() error("last gone", 0) end })"));
  ClearLines();
  EXPECT_TRUE(engine.CallPluginInit("bare"));
  EXPECT_TRUE(engine.CallPluginFinalize("bare"));
  EXPECT_TRUE(Lines().empty());
  EXPECT_FALSE(engine.CallPluginInit("bad"));
  EXPECT_TRUE(HasLine("error: Lua plugin bad init error: no way"));
  // The last loaded goes first.
  ClearLines();
  engine.UnloadAll();
  EXPECT_EQ(Lines(), (std::vector<std::string>{"error: Lua plugin last finalize error: last gone",
                                               "error: Lua plugin bad finalize error: bad gone"}));
  EXPECT_EQ(engine.GetPluginCount(), 0);
}

TEST_F(LuaEngineTest, WithoutTheLibraryNothingLoads) {
  const std::string kNotAvailable =
      "warning: Lua 5.4 not available - Lua plugins disabled (install liblua5.4-dev on Debian/Ubuntu or lua54 on "
      "FreeBSD)";
  TOVLuaEngine engine({"liblua-no-such-5.4.so"}, nullptr);
  EXPECT_FALSE(engine.Available());
  EXPECT_EQ(Lines(), (std::vector<std::string>{kNotAvailable}));
  Write("a.lua", R"(return { name = "a" })");
  EXPECT_FALSE(engine.LoadPlugin(dir_ / "a.lua", nullptr, std::chrono::system_clock::now()));
  EXPECT_EQ(engine.LoadDirectory(dir_.path(), nullptr, std::chrono::system_clock::now()), 0u);
  EXPECT_EQ(engine.GetPluginCount(), 0);
  EXPECT_EQ(Lines().size(), 1u);

  // A library without the entry points the sandbox and the time limit use is no Lua for us,
  // and the log says what it lacks.
  ClearLines();
  const std::string other = std::string(OV_TEST_PLUGIN_DIR) + "/../test_lua/ovmarker.so";
  ASSERT_TRUE(std::filesystem::exists(other)) << other << " was not built";
  TOVLuaEngine incomplete({other}, nullptr);
  EXPECT_FALSE(incomplete.Available());
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].rfind("warning: Lua library " + other + " lacks luaL_openlibs, lua_close, ", 0), 0u) << lines[0];
  EXPECT_NE(lines[0].find("lua_sethook"), std::string::npos);
  EXPECT_NE(lines[0].find(", which the sandbox and the time limit need"), std::string::npos);
  EXPECT_EQ(lines[1], kNotAvailable);
}

// Lua's own string matching and table loops run in C, where the count hook never fires.  Each
// file here would hold its thread for hours (or for good) with them; ours stop at the limit.
TEST_F(LuaEngineTest, TheTimeLimitHoldsInsideLibraryFunctions) {
  TOVLuaEngine engine;
  const std::int32_t kLimitMs = 300;
  engine.SetTimeoutMs(kLimitMs);
  const std::string kSlow = R"(local s, p = ("a"):rep(40), ("a*"):rep(12) .. "b"
  )";
  const std::string kDeepChain = R"(local base = {} for i = 1, 2e5 do base[i] = "x" end
    local t = base for d = 1, 1990 do t = setmetatable({}, {__index = t}) end
  )";
  const std::string kBorder = R"(local t = {} for k = 50, 0, -1 do t[2^k | 0] = 1 end  -- #t is 2^50
  )";
  const struct {
    const char* name;
    std::string text;
  } kCases[] = {
      {"find", kSlow + "string.find(s, p)"},
      {"method", kSlow + "s:find(p, 1)"},
      {"match", kSlow + R"lua(string.match(s, ("(a*)"):rep(12) .. "b"))lua"},
      {"gmatch", kSlow + "for _ in s:gmatch(p) do end"},
      {"gsub", kSlow + R"lua(s:gsub(("a-"):rep(12) .. "b", print))lua"},
      {"caught", kSlow + "while true do pcall(string.find, s, p) end"},
      {"coroutine", kSlow + "coroutine.wrap(function() s:find(p) end)()"},
      {"insert", kBorder + "table.insert(t, 1, 0)"},
      {"remove", kBorder + "table.remove(t, 1)"},
      {"move", "table.move({}, 1, math.maxinteger - 1, 2)"},
      {"concat", kDeepChain + "table.concat(t, '', 1, 2e5)"},
      {"unpack", kDeepChain + "table.unpack(t, 1, 2e5)"},
      {"sort", R"lua(local a, t = ("\0"):rep(4e6), {} for i = 1, 1000 do t[i] = a end table.sort(t))lua"},
  };
  for (const auto& c : kCases) {
    const std::string path = Write(std::string(c.name) + ".lua", c.text + "\nreturn { name = 'x' }");
    const auto t0 = Clock::now();
    EXPECT_FALSE(engine.LoadPlugin(path, nullptr, std::chrono::system_clock::now())) << c.name;
    const double took = std::chrono::duration<double>(Clock::now() - t0).count();
    EXPECT_TRUE(HasLine("error: Lua exec error in " + path + ": execution timeout exceeded")) << c.name;
    EXPECT_GE(took, kLimitMs / 1000.0) << c.name;
    EXPECT_LT(took, kLimitMs / 1000.0 + 1.0) << c.name;
  }

  // An empty string repeated any number of times is made at once.
  ASSERT_TRUE(Load(engine, "rep.lua", R"(assert(string.rep("", math.maxinteger) == "")
                                         assert(("x"):rep(3, "") == "xxx")
                                         return { name = "rep" })"));

  // In an event, also in a coroutine the plug-in made while loading.
  ASSERT_TRUE(Load(engine, "ev.lua", kSlow + R"(
    local co = coroutine.create(function() while true do end end)
    return { name = "ev", on_find = function() s:find(p) end, on_co = function() coroutine.resume(co) end })"));
  for (const char* ev : {"find", "co"}) {
    const auto t0 = Clock::now();
    EXPECT_FALSE(engine.FireEvent("ev", ev, nullptr));
    const double took = std::chrono::duration<double>(Clock::now() - t0).count();
    EXPECT_TRUE(HasLine(Format("error: Lua plugin ev event handler error (%s): execution timeout exceeded", ev)));
    EXPECT_LT(took, kLimitMs / 1000.0 + 1.0) << ev;
  }
  EXPECT_EQ(engine.GetPluginCount(), 2);
}

// A FIFO or a device never blocks a load or a require, and a file too big to parse within the
// limit stops at it.
TEST_F(LuaEngineTest, OnlyRegularFilesAndWithinTheLimit) {
  TOVLuaEngine engine;
  engine.SetTimeoutMs(100);
  const std::string fifo = dir_ / "fifo.lua";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_FALSE(engine.LoadPlugin(fifo, nullptr, std::chrono::system_clock::now()));
  EXPECT_TRUE(HasLine("error: Lua load error in " + fifo + ": cannot read " + fifo + ": not a regular file"));
  EXPECT_FALSE(Load(engine, "req.lua", Format(R"lua(package.path = "%s/?.lua" require("fifo"))lua", dir_.path())));
  EXPECT_TRUE(HasLine("error: Lua exec error in " + (dir_ / "req.lua") + ": error loading module 'fifo' from file '" +
                      fifo + "':\n\tcannot read " + fifo + ": not a regular file"));

  // Sixteen megabytes of empty statements take Lua about half a second to parse.
  const std::string big = Write("big.lua", std::string(16 << 20, ';') + "return { name = 'big' }");
  const auto t0 = Clock::now();
  EXPECT_FALSE(engine.LoadPlugin(big, nullptr, std::chrono::system_clock::now()));
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - t0).count(), 1.1);
  EXPECT_TRUE(HasLine("error: Lua load error in " + big + ": execution timeout exceeded"));

  // What a file may start with, as Lua's own loader allows.
  engine.SetTimeoutMs(5000);
  ASSERT_TRUE(Load(engine, "bom.lua", "\xEF\xBB\xBF#!/usr/bin/lua\nreturn { name = 'bom', version = 'x' }"));
  EXPECT_FALSE(Load(engine, "line.lua", "#!/usr/bin/lua\n\nerror('on line 3')"));
  EXPECT_TRUE(HasLine("error: Lua exec error in " + (dir_ / "line.lua") + ": " + (dir_ / "line.lua") + ":3: on line 3"));
  EXPECT_FALSE(engine.LoadPlugin(dir_ / "missing.lua", nullptr, std::chrono::system_clock::now()));
  EXPECT_TRUE(HasLine("error: Lua load error in " + (dir_ / "missing.lua") + ": cannot open " + (dir_ / "missing.lua") +
                      ": No such file or directory"));
}

TEST_F(LuaEngineTest, TheTimeLimitBelongsToEachState) {
  // One state loops while another thread keeps starting short calls on a second state: the
  // loop still ends at its own limit, and no short call is cut off by it.
  TOVLuaEngine engine;
  engine.SetTimeoutMs(300);
  ASSERT_TRUE(Load(engine, "spin.lua", R"(return { name = "spin", on_spin = function() while true do end end })"));
  ASSERT_TRUE(Load(engine, "work.lua", R"(return { name = "work", on_work = function() for i = 1, 20000 do end end })"));
  std::atomic<bool> spin_done{false};
  double spin_seconds = 0;
  std::thread spin([&] {
    const auto t0 = Clock::now();
    EXPECT_FALSE(engine.FireEvent("spin", "spin", nullptr));
    spin_seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    spin_done = true;
  });
  int calls = 0, failed = 0;
  const auto until = Clock::now() + std::chrono::milliseconds(1500);
  while (Clock::now() < until) {
    if (!engine.FireEvent("work", "work", nullptr)) ++failed;
    ++calls;
  }
  spin.join();
  EXPECT_GT(calls, 10);
  EXPECT_EQ(failed, 0);
  EXPECT_LT(spin_seconds, 1.2) << "the other state's calls kept the loop alive";
  EXPECT_TRUE(HasLine("error: Lua plugin spin event handler error (spin): execution timeout exceeded"));
}

TEST_F(LuaEngineTest, OneThreadAtATimeInAState) {
  TOVLuaEngine engine;
  ASSERT_TRUE(Load(engine, "count.lua", R"(
    local n = 0
    return {
      name = "count",
      on_bump = function() local c = n for i = 1, 2000 do end n = c + 1 end,
      on_total = function() error(tostring(n), 0) end,
    })"));
  std::atomic<bool> go{false};
  auto bump = [&] {
    while (!go) std::this_thread::yield();
    for (int i = 0; i < 1000; ++i) EXPECT_TRUE(engine.FireEvent("count", "bump", nullptr));
  };
  std::thread a(bump), b(bump);
  go = true;
  a.join();
  b.join();
  EXPECT_FALSE(engine.FireEvent("count", "total", nullptr));
  EXPECT_TRUE(HasLine("error: Lua plugin count event handler error (total): 2000"));
}

TEST_F(LuaEngineTest, MemoryFiguresAndLimit) {
  std::vector<std::string> made;
  TOVEventBus bus;
  const auto start = std::chrono::system_clock::now();
  TOVLuaEngine engine([&](const std::string& name, const std::vector<std::string>& perms, TOVEventBus* b,
                          std::chrono::system_clock::time_point t) -> std::shared_ptr<void> {
    EXPECT_EQ(b, &bus);
    EXPECT_EQ(t, start);
    if (name == "refused") throw std::runtime_error("no host today");
    made.push_back(name + ":" + perms.at(0) + "," + perms.at(1) + "," + perms.at(2));
    return std::make_shared<int>(1);
  });
  const std::string text = R"(
    local keep
    return { name = "%s", on_grow = function() keep = string.rep("x", 4 * 1024 * 1024) end })";
  ASSERT_TRUE(engine.LoadPlugin(Write("big.lua", Format(text, "big")), &bus, start));
  EXPECT_EQ(made, (std::vector<std::string>{"big:database.read,events.subscribe,config.read"}));

  auto info = engine.GetPluginInfo(0);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->Name, "big");
  EXPECT_EQ(info->FilePath, dir_ / "big.lua");
  EXPECT_TRUE(info->HasHost);
  EXPECT_TRUE(info->IsLoaded);
  EXPECT_EQ(info->MemoryLimit, 16u * 1024 * 1024);
  EXPECT_GT(info->MemoryUsed, 0u);
  EXPECT_LT(info->MemoryUsed, 1024u * 1024);
  ASSERT_TRUE(engine.FireEvent("big", "grow", nullptr));
  EXPECT_GE(engine.GetPluginInfo(0)->MemoryUsed, 4u * 1024 * 1024);
  EXPECT_LT(engine.GetPluginInfo(0)->MemoryUsed, 16u * 1024 * 1024);
  EXPECT_FALSE(engine.GetPluginInfo(1));
  EXPECT_FALSE(engine.GetPluginInfo(-1));

  // A smaller limit: the same call fails inside the state, which stays usable.
  engine.SetMemoryLimit(1024 * 1024);
  ASSERT_TRUE(engine.LoadPlugin(Write("small.lua", Format(text, "small")), &bus, start));
  EXPECT_EQ(engine.GetPluginInfo(1)->MemoryLimit, 1024u * 1024);
  EXPECT_FALSE(engine.FireEvent("small", "grow", nullptr));
  EXPECT_TRUE(HasLine("error: Lua plugin small event handler error (grow): not enough memory"));
  EXPECT_FALSE(engine.FireEvent("small", "grow", nullptr));

  // A host that cannot be made fails the load.
  EXPECT_FALSE(engine.LoadPlugin(Write("refused.lua", Format(text, "refused")), &bus, start));
  EXPECT_EQ(engine.FindLuaPlugin("refused"), -1);
  EXPECT_EQ(engine.GetPluginCount(), 2);
}

TEST_F(LuaEngineTest, UnloadWaitsForARunningCallOrRefuses) {
  TOVLuaEngine engine;
  engine.SetTimeoutMs(1000);
  ASSERT_TRUE(Load(engine, "busy.lua", R"(return { name = "busy", on_spin = function() while true do end end })"));
  std::thread caller([&] { EXPECT_FALSE(engine.FireEvent("busy", "spin", nullptr)); });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the call is inside by now

  engine.SetBusyWaitMs(50);
  EXPECT_FALSE(engine.UnloadPlugin("busy"));
  EXPECT_TRUE(HasLine("warning: Lua plugin unload error: busy - a call is still running"));
  EXPECT_FALSE(engine.FireEvent("busy", "spin", nullptr));
  EXPECT_TRUE(HasLine("warning: Lua plugin busy is busy - call skipped"));
  EXPECT_EQ(engine.GetPluginCount(), 1);

  engine.SetBusyWaitMs(10000);
  EXPECT_TRUE(engine.UnloadPlugin("busy"));  // waits for the call to reach its limit
  caller.join();
  EXPECT_TRUE(HasLine("error: Lua plugin busy event handler error (spin): execution timeout exceeded"));
  EXPECT_TRUE(HasLine("info: Lua plugin unloaded: busy"));
  EXPECT_EQ(engine.GetPluginCount(), 0);
}

TEST_F(LuaEngineTest, UnloadingAllStaysBoundedWhenFinalizersLoop) {
  TOVLuaEngine engine;
  engine.SetTimeoutMs(300);
  for (const char* name : {"f1", "f2", "f3", "f4"})
    ASSERT_TRUE(Load(engine, std::string(name) + ".lua",
                     Format(R"(return { name = "%s", finalize = function() while true do end end })", name)));
  const auto t0 = Clock::now();
  engine.UnloadAll();
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - t0).count(), 0.9) << "one time limit for all, not one each";
  EXPECT_EQ(engine.GetPluginCount(), 0);
  for (const char* name : {"f1", "f2", "f3", "f4"})
    EXPECT_TRUE(HasLine(Format("error: Lua plugin %s finalize error: execution timeout exceeded", name)));
}

TEST_F(LuaEngineTest, DeepRecursionIsAnErrorOnAnyThread) {
  TOVLuaEngine engine;
  ASSERT_TRUE(Load(engine, "deep.lua", R"(
    local function g() return (string.gsub("a", "a", g)) end
    local t = setmetatable({}, {__index = function(t, k) return t[k] end})
    local function f() return 1 + f() end
    return { name = "deep", on_gsub = g, on_meta = function() return t.x end, on_lua = f })"));
  RunOnSmallStack(192 * 1024, [&] {
    for (const char* ev : {"gsub", "meta", "lua"}) EXPECT_FALSE(engine.FireEvent("deep", ev, nullptr));
  });
  EXPECT_TRUE(HasLine("error: Lua plugin deep event handler error (gsub): C stack overflow"));
  EXPECT_EQ(engine.GetPluginCount(), 1);
}

}  // namespace
