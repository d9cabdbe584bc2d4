// The Lua 5.4 library's entry points, resolved by name at run time, and what the library
// functions we put in place of Lua's own need from the code that runs a state.
//
// The library is never linked: a call to a Lua function, or to a lua.h macro that calls one
// (lua_pop, lua_tostring, lua_pcall, luaL_addchar, ...), fails to link.  Every call goes through
// TOVLuaApi.  Macros that only compute (lua_upvalueindex, lua_getextraspace) are fine.
#pragma once

#include <dlfcn.h>

#include <lua.hpp>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace ov {

// X(name, required): the entry points in binding order.  The first 32 are those of the classic
// binding, in its order; later ones were added at the end.  A required one missing makes the
// library unusable: a sandbox or time limit left out for want of a symbol would be worse than no
// Lua at all.  Only the state constructor has an alternative (luaL_newstate with lua_setallocf).
#define OV_LUA_ENTRY_POINTS(X)    \
  X(luaL_newstate, false)         \
  X(luaL_openlibs, true)          \
  X(lua_close, true)              \
  X(luaL_loadstring, false)       \
  X(luaL_loadfilex, false)        \
  X(lua_pcallk, true)             \
  X(lua_pushstring, true)         \
  X(lua_pushnumber, false)        \
  X(lua_pushinteger, true)        \
  X(lua_pushboolean, true)        \
  X(lua_pushnil, true)            \
  X(lua_pushcclosure, true)       \
  X(lua_tolstring, true)          \
  X(lua_tonumberx, true)          \
  X(lua_tointegerx, true)         \
  X(lua_toboolean, true)          \
  X(lua_type, true)               \
  X(lua_settop, true)             \
  X(lua_gettop, true)             \
  X(lua_getglobal, true)          \
  X(lua_setglobal, true)          \
  X(lua_getfield, true)           \
  X(lua_setfield, true)           \
  X(lua_createtable, true)        \
  X(lua_rawgeti, false)           \
  X(lua_rawseti, false)           \
  X(lua_next, false)              \
  X(lua_sethook, true)            \
  X(lua_newuserdatauv, true)      \
  X(lua_setallocf, false)         \
  X(lua_newstate, false)          \
  X(lua_error, true)              \
  /* the sandbox, the time limit and the protected calls */ \
  X(lua_pushvalue, true)          \
  X(lua_pushlightuserdata, true)  \
  X(lua_touserdata, true)         \
  X(lua_tothread, true)           \
  X(lua_isinteger, true)          \
  X(lua_callk, true)              \
  X(lua_status, true)             \
  X(lua_gethookcount, true)       \
  X(lua_gethookmask, true)        \
  X(luaL_loadbufferx, true)       \
  X(lua_dump, true)               \
  X(lua_load, true)               \
  /* the string, table and coroutine functions that replace Lua's own */ \
  X(lua_pushlstring, true)        \
  X(lua_pushfstring, true)        \
  X(lua_rotate, true)             \
  X(lua_checkstack, true)         \
  X(lua_isstring, true)           \
  X(lua_typename, true)           \
  X(lua_gettable, true)           \
  X(lua_geti, true)               \
  X(lua_seti, true)               \
  X(lua_rawget, true)             \
  X(lua_getmetatable, true)       \
  X(lua_compare, true)            \
  X(luaL_checklstring, true)      \
  X(luaL_optlstring, true)        \
  X(luaL_checkinteger, true)      \
  X(luaL_optinteger, true)        \
  X(luaL_checktype, true)         \
  X(luaL_checkstack, true)        \
  X(luaL_argerror, true)          \
  X(luaL_typeerror, true)         \
  X(luaL_error, true)             \
  X(luaL_len, true)               \
  X(luaL_buffinit, true)          \
  X(luaL_prepbuffsize, true)      \
  X(luaL_addlstring, true)        \
  X(luaL_addvalue, true)          \
  X(luaL_pushresult, true)

struct TOVLuaApi {
#define OV_LUA_ENTRY_SLOT(name, required) decltype(&::name) name = nullptr;
  OV_LUA_ENTRY_POINTS(OV_LUA_ENTRY_SLOT)
#undef OV_LUA_ENTRY_SLOT
};

// Resolves every entry point in the library handle.  Returns the names of the required ones
// that are missing (empty: usable, as far as entry points go).
inline std::vector<std::string> BindLuaApi(void* handle, TOVLuaApi& api) {
  std::vector<std::string> missing;
#define OV_LUA_ENTRY_BIND(name, required)                                     \
  api.name = reinterpret_cast<decltype(&::name)>(::dlsym(handle, #name));  \
  if ((required) && !api.name) missing.push_back(#name);
  OV_LUA_ENTRY_POINTS(OV_LUA_ENTRY_BIND)
#undef OV_LUA_ENTRY_BIND
  return missing;
}

// The monotonic clock in nanoseconds: deadlines of protected calls are on it.
inline std::int64_t SteadyNowNs() noexcept {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// What the library functions that replace Lua's own (string patterns, table loops, file
// loading) need from the code that runs the state.  Each state's extra space points to one, so
// every coroutine of the state finds it too (a new thread copies the main thread's extra space).
struct TOVLuaLibHost {
  const TOVLuaApi* Api = nullptr;
  // When the protected call running on this thread must end (SteadyNowNs); INT64_MAX: never.
  std::int64_t (*DeadlineNs)() noexcept = nullptr;
  // Raises the time-limit error in L; does not return.
  void (*RaiseTimeout)(lua_State* L) noexcept = nullptr;
  // Lua thread L runs on this thread from now on; returns the one that ran before.
  lua_State* (*SwitchThread)(lua_State* L) noexcept = nullptr;
};

static_assert(LUA_EXTRASPACE >= sizeof(const TOVLuaLibHost*), "the host pointer lives in the extra space");

// Before anything runs in a new state: host must outlive it.
inline void SetLuaLibHost(lua_State* L, const TOVLuaLibHost* host) noexcept {
  std::memcpy(lua_getextraspace(L), &host, sizeof host);
}

inline const TOVLuaLibHost& LuaLibHost(lua_State* L) noexcept {
  const TOVLuaLibHost* host = nullptr;
  std::memcpy(&host, lua_getextraspace(L), sizeof host);
  return *host;
}

}  // namespace ov
