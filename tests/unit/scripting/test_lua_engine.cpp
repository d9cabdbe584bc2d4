// The Lua engine on the real Lua 5.4 library: a plug-in's life with its log lines, the time
// limit kept per state, one thread at a time in a state, memory figures, unloading a busy
// plug-in, deep recursion on a thread with a small stack, and the engine without its library.
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
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
  TOVLuaEngine engine({"liblua-no-such-5.4.so"}, nullptr);
  EXPECT_FALSE(engine.Available());
  EXPECT_EQ(Lines(), (std::vector<std::string>{
                         "warning: Lua 5.4 not available - Lua plugins disabled (install liblua5.4-dev on "
                         "Debian/Ubuntu or lua54 on FreeBSD)"}));
  Write("a.lua", R"(return { name = "a" })");
  EXPECT_FALSE(engine.LoadPlugin(dir_ / "a.lua", nullptr, std::chrono::system_clock::now()));
  EXPECT_EQ(engine.LoadDirectory(dir_.path(), nullptr, std::chrono::system_clock::now()), 0u);
  EXPECT_EQ(engine.GetPluginCount(), 0);
  EXPECT_EQ(Lines().size(), 1u);
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
