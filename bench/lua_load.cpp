// Lua plug-ins through the engine (own allocator, sandbox, time-limit hook, protected steps,
// per-state lock) against the bare Lua C API doing the same work without any of that:
//   - loading 100 plug-in files (state, libraries, file, run, the four description fields),
//   - one event delivery round trip (find the handler, build the event table, call it).
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <unistd.h>

#include <lua.hpp>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "ov_lua_engine.h"

using namespace ov;

namespace {

constexpr int kFiles = 100;

const char* kPlugin = R"(
local counts = {}
local function bump(kind) counts[kind] = (counts[kind] or 0) + 1 end
return {
  name = "bench%d",
  version = "1.0.%d",
  description = "A plug-in that counts what it sees",
  author = "bench",
  init = function(cfg) bump("init") end,
  on_user_login = function(e) bump(e.type) return #e.data end,
  on_user_logout = function(e) bump(e.type) end,
  finalize = function() counts = {} end,
}
)";

struct Files {
  Files() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "ov-bench-lua-XXXXXX").string();
    dir = ::mkdtemp(tmpl.data());
    for (int i = 0; i < kFiles; ++i) {
      char name[32];
      std::snprintf(name, sizeof name, "/p%03d.lua", i);
      std::string path = dir + name;
      if (FILE* f = std::fopen(path.c_str(), "w")) {
        std::fprintf(f, kPlugin, i, i);
        std::fclose(f);
      }
      paths.push_back(path);
    }
  }
  ~Files() { std::filesystem::remove_all(dir); }
  std::string dir;
  std::vector<std::string> paths;
};

const Files& TheFiles() {
  static Files files;
  return files;
}

// The bare C API, from the same library the engine loads.
struct Raw {
  Raw() {
    void* h = ::dlopen(LUA_LIB_NAME, RTLD_NOW | RTLD_LOCAL);
    if (!h) throw std::runtime_error("no Lua library");
    auto bind = [&](auto& slot, const char* name) {
      slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(::dlsym(h, name));
      if (!slot) throw std::runtime_error(name);
    };
#define OV_RAW(name) bind(name, #name)
    OV_RAW(luaL_newstate);
    OV_RAW(luaL_openlibs);
    OV_RAW(luaL_loadfilex);
    OV_RAW(lua_pcallk);
    OV_RAW(lua_close);
    OV_RAW(lua_getfield);
    OV_RAW(lua_getglobal);
    OV_RAW(lua_setglobal);
    OV_RAW(lua_setfield);
    OV_RAW(lua_pushvalue);
    OV_RAW(lua_pushstring);
    OV_RAW(lua_createtable);
    OV_RAW(lua_tolstring);
    OV_RAW(lua_settop);
#undef OV_RAW
  }
  decltype(&::luaL_newstate) luaL_newstate;
  decltype(&::luaL_openlibs) luaL_openlibs;
  decltype(&::luaL_loadfilex) luaL_loadfilex;
  decltype(&::lua_pcallk) lua_pcallk;
  decltype(&::lua_close) lua_close;
  decltype(&::lua_getfield) lua_getfield;
  decltype(&::lua_getglobal) lua_getglobal;
  decltype(&::lua_setglobal) lua_setglobal;
  decltype(&::lua_setfield) lua_setfield;
  decltype(&::lua_pushvalue) lua_pushvalue;
  decltype(&::lua_pushstring) lua_pushstring;
  decltype(&::lua_createtable) lua_createtable;
  decltype(&::lua_tolstring) lua_tolstring;
  decltype(&::lua_settop) lua_settop;

  lua_State* Load(const std::string& path) const {
    lua_State* L = luaL_newstate();
    luaL_openlibs(L);
    if (luaL_loadfilex(L, path.c_str(), "t") != LUA_OK || lua_pcallk(L, 0, 1, 0, 0, nullptr) != LUA_OK)
      throw std::runtime_error("load failed");
    lua_pushvalue(L, -1);
    lua_setglobal(L, "plugin");
    std::string fields;
    for (const char* f : {"name", "version", "description", "author"}) {
      lua_getfield(L, -1, f);
      if (const char* s = lua_tolstring(L, -1, nullptr)) fields += s;
      lua_settop(L, -2);
    }
    benchmark::DoNotOptimize(fields);
    lua_settop(L, 0);
    return L;
  }
};

const Raw& TheRaw() {
  static Raw raw;
  return raw;
}

void BM_LoadEngine(benchmark::State& state) {
  const Files& files = TheFiles();
  TOVLuaEngine engine;
  for (auto _ : state) {
    for (const auto& p : files.paths)
      if (!engine.LoadPlugin(p, nullptr, std::chrono::system_clock::now())) state.SkipWithError("load failed");
    state.PauseTiming();
    engine.UnloadAll();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kFiles);
}

void BM_LoadRawApi(benchmark::State& state) {
  const Files& files = TheFiles();
  const Raw& raw = TheRaw();
  std::vector<lua_State*> states;
  for (auto _ : state) {
    for (const auto& p : files.paths) states.push_back(raw.Load(p));
    state.PauseTiming();
    for (lua_State* L : states) raw.lua_close(L);
    states.clear();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kFiles);
}

const TJSON kEventData = {{"user", "sysop"}, {"node", 1}, {"ip", "127.0.0.1"}};

void BM_EventEngine(benchmark::State& state) {
  TOVLuaEngine engine;
  engine.LoadPlugin(TheFiles().paths[0], nullptr, std::chrono::system_clock::now());
  for (auto _ : state)
    if (!engine.FireEvent("bench0", "user.login", &kEventData)) state.SkipWithError("event failed");
}

void BM_EventRawApi(benchmark::State& state) {
  const Raw& raw = TheRaw();
  lua_State* L = raw.Load(TheFiles().paths[0]);
  for (auto _ : state) {
    const std::string handler = "on_user_login";
    const std::string data = JsonSpaced(kEventData);
    raw.lua_getglobal(L, "plugin");
    raw.lua_getfield(L, -1, handler.c_str());
    raw.lua_createtable(L, 0, 2);
    raw.lua_pushstring(L, "user.login");
    raw.lua_setfield(L, -2, "type");
    raw.lua_pushstring(L, data.c_str());
    raw.lua_setfield(L, -2, "data");
    if (raw.lua_pcallk(L, 1, 0, 0, 0, nullptr) != LUA_OK) state.SkipWithError("event failed");
    raw.lua_settop(L, 0);
  }
  raw.lua_close(L);
}

BENCHMARK(BM_LoadEngine)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadRawApi)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EventEngine)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EventRawApi)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
