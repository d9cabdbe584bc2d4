#include "ov_lua_engine.h"

#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <thread>

#include "ov_config.h"
#include "ov_event_bus.h"
#include "ov_log.h"
#include "ov_lua_api.h"
#include "ov_lua_stdlib.h"
#include "ov_server_state.h"
#include "ov_text.h"

namespace ov {

TOVService<TOVLuaEngine> LuaEngine;

// ---- the library's entry points -------------------------------------------------------------

bool TOVLuaEngine::LoadLuaLibrary(const std::vector<std::string>& names) {
  std::string opened;
  for (const std::string& n : names) {
    lib_handle_ = ::dlopen(n.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (lib_handle_) {
      opened = n;
      break;
    }
  }
  if (!lib_handle_) return false;
  std::vector<std::string> missing = BindLuaApi(lib_handle_, *api_);
  // The state must be created on the counting allocator.
  if (!api_->lua_newstate && !(api_->luaL_newstate && api_->lua_setallocf)) missing.push_back("lua_newstate");
  if (missing.empty()) return true;
  std::string list;
  for (const std::string& m : missing) list += (list.empty() ? "" : ", ") + m;
  LogWarning("Lua library %s lacks %s, which the sandbox and the time limit need", opened, list);
  ::dlclose(lib_handle_);
  lib_handle_ = nullptr;
  return false;
}

// ---- per-state records ----------------------------------------------------------------------

// The allocator's user data, one per state.  It also holds the state's time limit: the
// deadline of the protected call running on it, written by the thread that holds the state's
// lock and read by the hooks, the library functions and the timer signal on that same thread.
struct TOVLuaAllocData {
  std::atomic<std::int64_t> MemoryUsed{0};  // read by GetPluginInfo on any thread
  std::int64_t MemoryLimit = 0;             // 0 or less: none
  const TOVLuaApi* Api = nullptr;
  std::int64_t DeadlineNs = 0;              // SteadyNowNs
  // The Lua thread (the state or one of its coroutines) running now: the one the timer signal
  // stops.  Atomic because the signal handler reads it.
  std::atomic<lua_State*> Running{nullptr};
};

namespace {

// The lock that lets one thread at a time into a state.  Re-entrant on the thread that holds
// it (an unload runs the plug-in's finalize); another thread waits for it a bounded time.
class TOVLuaStateLock {
 public:
  bool TryLockFor(std::chrono::milliseconds wait) EXCLUDES(m_) {
    const std::thread::id me = std::this_thread::get_id();
    TOVUniqueLock g(m_);
    if (depth_ > 0 && owner_ == me) {
      ++depth_;
      return true;
    }
    if (!cv_.wait_for(g, wait, [this]() REQUIRES(m_) { return depth_ == 0; })) return false;
    owner_ = me;
    depth_ = 1;
    return true;
  }
  void Unlock() EXCLUDES(m_) {
    {
      TOVLockGuard g(m_);
      if (--depth_ > 0) return;
      owner_ = std::thread::id();
    }
    cv_.notify_all();
  }

 private:
  // ---- Guarded by m_ (a leaf, held only to take or leave the state: Lua never runs under it) ----
  TOVLock m_{LockLevel::Leaf};
  std::condition_variable_any cv_;
  std::thread::id owner_ GUARDED_BY(m_);
  int depth_ GUARDED_BY(m_) = 0;
};

// Holds a TOVLuaStateLock for one scope when Acquire succeeded.
class TOVLuaStateGuard {
 public:
  TOVLuaStateGuard() = default;
  TOVLuaStateGuard(const TOVLuaStateGuard&) = delete;
  TOVLuaStateGuard& operator=(const TOVLuaStateGuard&) = delete;
  ~TOVLuaStateGuard() {
    if (held_) held_->Unlock();
  }
  bool Acquire(TOVLuaStateLock& lock, std::chrono::milliseconds wait) {
    if (!lock.TryLockFor(wait)) return false;
    held_ = &lock;
    return true;
  }

 private:
  TOVLuaStateLock* held_ = nullptr;
};

}  // namespace

struct TOVLuaPlugin {
  TOVLuaPlugin(const TOVLuaApi& api, std::uint64_t memory_limit) : Api(&api), MemoryLimit(memory_limit) {
    AllocData = std::make_unique<TOVLuaAllocData>();
    AllocData->MemoryLimit = static_cast<std::int64_t>(std::min<std::uint64_t>(memory_limit, INT64_MAX));
    AllocData->Api = &api;
  }
  ~TOVLuaPlugin() { CloseState(); }
  TOVLuaPlugin(const TOVLuaPlugin&) = delete;
  TOVLuaPlugin& operator=(const TOVLuaPlugin&) = delete;

  // Closing runs no Lua code: a state has no pending to-be-closed variable between calls and
  // no finaliser written in Lua.
  void CloseState() noexcept {
    if (State) Api->lua_close(State);
    State = nullptr;
  }

  // Constant once registered.
  const TOVLuaApi* Api;
  std::string Name, Version, Description, Author, FilePath;
  std::vector<std::string> Permissions;
  std::shared_ptr<void> Host;
  std::uint64_t MemoryLimit;
  std::unique_ptr<TOVLuaAllocData> AllocData;  // outlives State

  // One thread at a time runs in the state; re-entrant so that an unload can finalize.
  TOVLuaStateLock CallLock;
  lua_State* State = nullptr;  // guarded by CallLock; null once closed
};

namespace {

constexpr const char* kTimeoutMessage = "execution timeout exceeded";

// ---- allocator, time limit ------------------------------------------------------------------
// The functions in this section and the next are called by Lua.  A Lua error longjmps through
// them, so none holds an object with a destructor, and none throws.

void* LuaAllocFunc(void* ud, void* ptr, size_t osize, size_t nsize) noexcept {
  auto* a = static_cast<TOVLuaAllocData*>(ud);
  const std::int64_t used = a->MemoryUsed.load(std::memory_order_relaxed);
  if (nsize == 0) {
    if (ptr) {
      a->MemoryUsed.store(std::max<std::int64_t>(0, used - static_cast<std::int64_t>(osize)), std::memory_order_relaxed);
      std::free(ptr);
    }
    return nullptr;
  }
  if (nsize > static_cast<size_t>(INT64_MAX / 2)) return nullptr;
  // For a new block osize is Lua's type tag, not a size.
  const std::int64_t total = used - (ptr ? static_cast<std::int64_t>(osize) : 0) + static_cast<std::int64_t>(nsize);
  if (a->MemoryLimit > 0 && total > a->MemoryLimit) return nullptr;  // Lua raises "not enough memory"
  void* block = std::realloc(ptr, nsize);
  if (block) a->MemoryUsed.store(std::max<std::int64_t>(0, total), std::memory_order_relaxed);
  return block;
}

// The state the calling thread runs a protected call on (all Lua code of a call, coroutines
// included, runs on the thread that started it).  Atomic because the timer signal's handler
// reads it.
thread_local std::atomic<TOVLuaAllocData*> t_running{nullptr};

// The hook while the time limit is not reached: every LUA_HOOK_CHECK_INTERVAL instructions.
// Past the limit it fires on every instruction and every call.
constexpr int kHookMask = LUA_MASKCOUNT;
constexpr int kStoppedHookMask = LUA_MASKCOUNT | LUA_MASKCALL;

void LuaTimeoutHook(lua_State* L, lua_Debug*) noexcept;

// Makes L stop at its next instruction or call.  Safe in a signal handler: lua_sethook is
// written to be called asynchronously (it only stores the hook and flags the running frames).
void StopThread(const TOVLuaApi& F, lua_State* L) noexcept { F.lua_sethook(L, LuaTimeoutHook, kStoppedHookMask, 1); }

// Raises the time-limit error in L, after making sure that L stops again at once should a
// pcall, coroutine.resume or to-be-closed handler catch it: up to the protected call that
// started it all, nothing more runs.
void RaiseTimeLimit(lua_State* L) noexcept {
  const TOVLuaApi& F = *LuaLibHost(L).Api;
  StopThread(F, L);
  F.lua_pushstring(L, kTimeoutMessage);
  F.lua_error(L);
}

// The hook: also tells which Lua thread runs.
void LuaTimeoutHook(lua_State* L, lua_Debug*) noexcept {
  TOVLuaAllocData* ctl = t_running.load(std::memory_order_relaxed);
  if (!ctl) return;
  ctl->Running.store(L, std::memory_order_relaxed);
  if (SteadyNowNs() > ctl->DeadlineNs) {
    RaiseTimeLimit(L);
    return;
  }
  // A coroutine stopped in an earlier call keeps its every-instruction hook; reset it.
  const TOVLuaApi& F = *ctl->Api;
  if (F.lua_gethookcount(L) != LUA_HOOK_CHECK_INTERVAL || F.lua_gethookmask(L) != kHookMask)
    F.lua_sethook(L, LuaTimeoutHook, kHookMask, LUA_HOOK_CHECK_INTERVAL);
}

// What the library functions that replace Lua's own see of the time limit (TOVLuaLibHost).
std::int64_t HostDeadlineNs() noexcept {
  const TOVLuaAllocData* ctl = t_running.load(std::memory_order_relaxed);
  return ctl ? ctl->DeadlineNs : INT64_MAX;
}

lua_State* HostSwitchThread(lua_State* L) noexcept {
  TOVLuaAllocData* ctl = t_running.load(std::memory_order_relaxed);
  return ctl ? ctl->Running.exchange(L, std::memory_order_relaxed) : nullptr;
}

// ---- the timer signal -----------------------------------------------------------------------
// The count hook looks at the clock every LUA_HOOK_CHECK_INTERVAL instructions, and one
// instruction can take long: comparing two strings of megabytes of zero bytes takes tens of
// milliseconds, so a loop of such comparisons would run on for many seconds past the limit.
// So a protected call with a limit also arms a timer that, at the deadline, sends this signal
// to its thread; the handler makes the running Lua thread stop at its next instruction or call.

int LuaTimerSignal() noexcept { return SIGRTMIN + 5; }

void OnLuaTimerSignal(int) noexcept {
  const int saved_errno = errno;
  if (TOVLuaAllocData* ctl = t_running.load(std::memory_order_relaxed))
    if (lua_State* L = ctl->Running.load(std::memory_order_relaxed)) StopThread(*ctl->Api, L);
  errno = saved_errno;
}

bool InstallLuaTimerHandler() noexcept {
  static const bool installed = [] {
    struct sigaction sa {};
    sa.sa_handler = OnLuaTimerSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    return ::sigaction(LuaTimerSignal(), &sa, nullptr) == 0;
  }();
  return installed;
}

// A one-shot timer that signals the calling thread at deadline_ns (SteadyNowNs, which is
// CLOCK_MONOTONIC), with the signal unblocked on this thread until Disarm.  Without a timer the
// count hook alone keeps the limit, less promptly.
struct TOVLuaDeadlineTimer {
  bool Arm(std::int64_t deadline_ns) noexcept {
    if (deadline_ns == INT64_MAX || !InstallLuaTimerHandler()) return false;
    sigevent sev {};
    sev.sigev_notify = SIGEV_THREAD_ID;
    sev.sigev_signo = LuaTimerSignal();
    sev._sigev_un._tid = ::gettid();  // sigev_notify_thread_id, which this C library does not name
    if (::timer_create(CLOCK_MONOTONIC, &sev, &timer) != 0) return false;
    itimerspec when {};
    when.it_value.tv_sec = static_cast<time_t>(deadline_ns / 1000000000);
    when.it_value.tv_nsec = static_cast<long>(deadline_ns % 1000000000);
    if (::timer_settime(timer, TIMER_ABSTIME, &when, nullptr) != 0) {
      ::timer_delete(timer);
      return false;
    }
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, LuaTimerSignal());
    ::pthread_sigmask(SIG_UNBLOCK, &set, &old_mask);
    armed = true;
    return true;
  }
  // A signal already sent is handled before timer_delete returns (it is still unblocked), while
  // the call's records live.
  void Disarm() noexcept {
    if (!armed) return;
    ::timer_delete(timer);
    ::pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
    armed = false;
  }

  timer_t timer{};
  sigset_t old_mask{};
  bool armed = false;
};

// ---- the sandbox ----------------------------------------------------------------------------

// A coroutine that the time limit stopped died inside the hook, where Lua runs with hooks off,
// and stays so: closing it would run its pending __close handlers with no time limit.  Its
// mark is the every-instruction hook count the time limit leaves on it.
int LuaStoppedByTimeLimit(lua_State* L) noexcept {
  const TOVLuaApi& F = *LuaLibHost(L).Api;
  lua_State* co = F.lua_tothread(L, 1);
  F.lua_pushboolean(L, co && F.lua_status(co) > LUA_YIELD && F.lua_gethookcount(co) == 1);
  return 1;
}

// Runs in every new state after the standard libraries and our replacements of some of their
// functions (ov_lua_stdlib), with the function above and LuaLoadTextFile as its arguments.
// What it keeps in locals is out of the script's reach (there is no debug library).
constexpr const char* kSandboxLua = R"lua(
local stopped_by_time_limit, load_text_file = ...
local type, error, rawget, select, pcall = type, error, rawget, select, pcall
local pack, unpack, format = table.pack, table.unpack, string.format

-- Nothing that reaches files, other processes or settings of the whole process.
os.execute, os.remove, os.rename, os.exit, os.tmpname, os.setlocale = nil, nil, nil, nil, nil, nil
io, dofile, debug = nil, nil, nil
package.loaded.io, package.loaded.debug = nil, nil
package.loadlib = nil
string.dump = nil

-- Text chunks only: Lua has no bytecode verifier, and a crafted binary chunk crashes the
-- process.  require finds the preload table and Lua files on package.path, never C modules;
-- it reads only regular files, and within the time limit.
do
  local load_any, searchpath, pkg = load, package.searchpath, package
  loadfile = nil
  function load(chunk, chunkname, mode, ...)
    if select("#", ...) > 0 then return load_any(chunk, chunkname, "t", (...)) end
    return load_any(chunk, chunkname, "t")
  end
  local searchers = package.searchers
  searchers[2] = function(name)
    local path, err = searchpath(name, pkg.path)
    if not path then return err end
    local chunk, msg = load_text_file(path)
    if not chunk then
      error(format("error loading module '%s' from file '%s':\n\t%s", name, path, msg), 0)
    end
    return chunk, path
  end
  searchers[3], searchers[4] = nil, nil
end

-- Finalisers and xpcall message handlers run with Lua's hooks off, where no time limit holds.
do
  local setmetatable_any = setmetatable
  function setmetatable(t, mt)
    if type(mt) == "table" and rawget(mt, "__gc") ~= nil then
      error("__gc metamethods are not allowed", 2)
    end
    return (setmetatable_any(t, mt))
  end
  function xpcall(f, msgh, ...)
    if type(msgh) ~= "function" then
      error("bad argument #2 to 'xpcall' (function expected)", 2)
    end
    local r = pack(pcall(f, ...))
    if r[1] then return unpack(r, 1, r.n) end
    return false, (msgh(r[2]))
  end
end

-- A coroutine the time limit stopped is never closed (see stopped_by_time_limit).
do
  local create, resume, status, close_any = coroutine.create, coroutine.resume, coroutine.status, coroutine.close
  local function close(co)
    if stopped_by_time_limit(co) then return false, "execution timeout exceeded" end
    return close_any(co)
  end
  coroutine.close = close
  function coroutine.wrap(f)
    local co = create(f)
    return function(...)
      local r = pack(resume(co, ...))
      if r[1] then return unpack(r, 2, r.n) end
      local err = r[2]
      if status(co) == "dead" then
        local ok, close_err = close(co)
        if not ok then err = close_err end
      end
      if type(err) == "string" then error(err, 2) end
      error(err, 0)
    end
  end
end
)lua";

// The sandbox compiled once per engine: parsing it again for every state would cost more
// than the rest of a load.  The binary chunk is the engine's own, made by the same library.
std::string CompileSandbox(const TOVLuaApi& F) {
  std::string chunk;
  lua_State* L = F.lua_newstate ? F.lua_newstate(
                                      [](void*, void* ptr, size_t, size_t nsize) noexcept -> void* {
                                        if (nsize == 0) {
                                          std::free(ptr);
                                          return nullptr;
                                        }
                                        return std::realloc(ptr, nsize);
                                      },
                                      nullptr)
                                : F.luaL_newstate();
  if (!L) return chunk;
  if (F.luaL_loadbufferx(L, kSandboxLua, std::strlen(kSandboxLua), "=sandbox", "t") == LUA_OK) {
    const int rc = F.lua_dump(
        L,
        [](lua_State*, const void* p, size_t size, void* ud) noexcept -> int {
          try {
            static_cast<std::string*>(ud)->append(static_cast<const char*>(p), size);
            return 0;
          } catch (...) {
            return 1;
          }
        },
        &chunk, 0);
    if (rc != 0) chunk.clear();
  }
  F.lua_close(L);
  return chunk;
}

// Applies the sandbox to a state whose standard libraries are open; raises on failure.
void SandboxState(const TOVLuaApi& F, lua_State* L, const std::string& chunk) noexcept {
  if (F.luaL_loadbufferx(L, chunk.data(), chunk.size(), "=sandbox", "b") != LUA_OK) F.lua_error(L);
  F.lua_pushcclosure(L, LuaStoppedByTimeLimit, 0);
  F.lua_pushcclosure(L, LuaLoadTextFile, 0);
  F.lua_callk(L, 2, 0, 0, nullptr);
}

// ---- protected steps ------------------------------------------------------------------------
// Each runs inside Lua_Pcall with its job as the one argument (a light userdata).

struct LoadJob {
  const char* path = nullptr;
  const std::string* sandbox = nullptr;
  enum Phase : std::uint8_t { Opening, Loading, Running } phase = Opening;
  bool load_failed = false;  // the chunk did not compile; its message is the result
  bool not_table = false;    // the chunk returned something else
};

// Results: the file's name, version, description and author (text or nil).
int LoadPluginStep(lua_State* L) noexcept {
  const TOVLuaApi& F = *LuaLibHost(L).Api;
  auto* job = static_cast<LoadJob*>(F.lua_touserdata(L, 1));
  F.luaL_openlibs(L);
  InstallLuaLibrary(L);
  SandboxState(F, L, *job->sandbox);
  job->phase = LoadJob::Loading;
  if (LoadLuaTextFile(L, job->path) != LUA_OK) {
    job->load_failed = true;
    return 1;
  }
  job->phase = LoadJob::Running;
  F.lua_callk(L, 0, 1, 0, nullptr);  // [job, result]
  if (F.lua_type(L, 2) != LUA_TTABLE) {
    job->not_table = true;
    return 0;
  }
  F.lua_pushvalue(L, 2);
  F.lua_setglobal(L, "plugin");
  static const char* const kFields[] = {"name", "version", "description", "author"};
  for (const char* field : kFields) {
    const int t = F.lua_getfield(L, 2, field);
    if (t == LUA_TNUMBER) {
      F.lua_tolstring(L, -1, nullptr);  // turned into text in place
    } else if (t != LUA_TSTRING) {
      F.lua_settop(L, -2);
      F.lua_pushnil(L);
    }
  }
  return 4;
}

struct HandlerJob {
  const char* field = nullptr;
  int nargs = 0;                  // 0: no argument; 1: a table (below)
  const char* event_type = nullptr;
  const char* event_data = nullptr;
  bool missing = false;           // the plugin table has no such function
};

int CallHandlerStep(lua_State* L) noexcept {
  const TOVLuaApi& F = *LuaLibHost(L).Api;
  auto* job = static_cast<HandlerJob*>(F.lua_touserdata(L, 1));
  if (F.lua_getglobal(L, "plugin") != LUA_TTABLE || F.lua_getfield(L, -1, job->field) != LUA_TFUNCTION) {
    job->missing = true;
    return 0;
  }
  if (job->nargs > 0) {
    F.lua_createtable(L, 0, 2);
    if (job->event_type) {
      F.lua_pushstring(L, job->event_type);
      F.lua_setfield(L, -2, "type");
    }
    if (job->event_data) {
      F.lua_pushstring(L, job->event_data);
      F.lua_setfield(L, -2, "data");
    }
  }
  F.lua_callk(L, job->nargs, 0, 0, nullptr);
  return 0;
}

// ---- running protected calls ----------------------------------------------------------------

// Lua allows 200 nested C calls (metamethods, gsub callbacks, sort comparators, the parser);
// at that depth it needs a few hundred KiB of C stack.  A thread with less free stack than
// this runs its Lua calls on a helper thread, so deep recursion ends in a Lua error on any
// thread instead of overrunning the stack.
constexpr std::size_t kLuaStackNeed = 1u << 20;
constexpr std::size_t kLuaHelperStack = 8u << 20;

std::size_t FreeStackBytes() noexcept {
  thread_local const char* low = nullptr;
  thread_local bool known = false;
  if (!known) {
    known = true;
    pthread_attr_t attr;
    if (::pthread_getattr_np(::pthread_self(), &attr) == 0) {
      void* addr = nullptr;
      size_t size = 0;
      if (::pthread_attr_getstack(&attr, &addr, &size) == 0) low = static_cast<const char*>(addr);
      ::pthread_attr_destroy(&attr);
    }
  }
  const char here = 0;
  if (!low || &here < low) return SIZE_MAX;
  return static_cast<std::size_t>(&here - low);
}

// Runs fn on this thread when it has stack enough, else on a helper thread and waits.  False
// when no helper could be started.
template <class Fn>
bool RunWithLuaStack(Fn& fn) {
  if (FreeStackBytes() >= kLuaStackNeed) {
    fn();
    return true;
  }
  pthread_attr_t attr;
  if (::pthread_attr_init(&attr) != 0) return false;
  ::pthread_attr_setstacksize(&attr, kLuaHelperStack);
  pthread_t thread;
  const int rc = ::pthread_create(
      &thread, &attr,
      [](void* arg) -> void* {
        (*static_cast<Fn*>(arg))();
        return nullptr;
      },
      &fn);
  ::pthread_attr_destroy(&attr);
  if (rc != 0) return false;
  ::pthread_join(thread, nullptr);
  return true;
}

// The text of the value at idx without converting it in the state (a conversion allocates,
// and may raise, outside any protected call): strings and numbers; empty for anything else.
std::string Lua_ToString(const TOVLuaApi& F, lua_State* L, int idx) {
  const int t = F.lua_type(L, idx);
  if (t == LUA_TSTRING) {
    size_t len = 0;
    const char* s = F.lua_tolstring(L, idx, &len);
    return s ? std::string(s, len) : std::string();
  }
  if (t == LUA_TNUMBER) {
    if (F.lua_isinteger(L, idx)) return std::to_string(F.lua_tointegerx(L, idx, nullptr));
    return Format("%.14g", F.lua_tonumberx(L, idx, nullptr));
  }
  return {};
}

// Runs step protected on the plug-in's state with the engine's time limit; its results stay
// on the stack (at 1..nresults) for the caller to read and clear.  On failure returns Lua's
// status with the error text in error and an empty stack.  Requires the state's CallLock.
int Lua_Pcall(TOVLuaPlugin& p, std::int32_t timeout_ms, lua_CFunction step, void* job, int nresults, std::string& error) {
  const TOVLuaApi& F = *p.Api;
  lua_State* L = p.State;
  int status = LUA_ERRRUN;
  auto body = [&]() noexcept {
    TOVLuaAllocData* const outer = t_running.load();
    TOVLuaAllocData& ctl = *p.AllocData;
    const std::int64_t outer_deadline = ctl.DeadlineNs;
    lua_State* const outer_running = ctl.Running.load();
    ctl.DeadlineNs = timeout_ms > 0 ? SteadyNowNs() + std::int64_t(timeout_ms) * 1000000 : INT64_MAX;
    ctl.Running.store(L);
    t_running.store(&ctl);
    F.lua_settop(L, 0);
    F.lua_sethook(L, LuaTimeoutHook, kHookMask, LUA_HOOK_CHECK_INTERVAL);
    TOVLuaDeadlineTimer timer;
    timer.Arm(ctl.DeadlineNs);
    F.lua_pushcclosure(L, step, 0);
    F.lua_pushlightuserdata(L, job);
    status = F.lua_pcallk(L, 1, nresults, 0, 0, nullptr);
    timer.Disarm();
    F.lua_sethook(L, nullptr, 0, 0);
    t_running.store(outer);
    ctl.Running.store(outer_running);
    ctl.DeadlineNs = outer_deadline;
    if (status != LUA_OK) {
      try {
        error = Lua_ToString(F, L, -1);
      } catch (...) {
        error.clear();  // no memory for the text either
      }
      F.lua_settop(L, 0);
    }
  };
  if (!RunWithLuaStack(body)) error = "no thread to run the call on";
  return status;
}

}  // namespace

const std::vector<std::string>& LuaPluginPermissions() {
  static const std::vector<std::string> kPermissions = {"database.read", "events.subscribe", "config.read"};
  return kPermissions;
}

// ---- construction ---------------------------------------------------------------------------

TOVLuaEngine::TOVLuaEngine(TOVLuaHostFactory host_factory)
    : TOVLuaEngine({LUA_LIB_NAME, LUA_LIB_ALT, LUA_LIB_ALT2}, std::move(host_factory)) {}

TOVLuaEngine::TOVLuaEngine(const std::vector<std::string>& library_names, TOVLuaHostFactory host_factory)
    : api_(std::make_unique<TOVLuaApi>()),
      lib_host_(std::make_unique<TOVLuaLibHost>()),
      host_factory_(std::move(host_factory)) {
  lib_host_->Api = api_.get();
  lib_host_->DeadlineNs = HostDeadlineNs;
  lib_host_->RaiseTimeout = RaiseTimeLimit;
  lib_host_->SwitchThread = HostSwitchThread;
  available_ = LoadLuaLibrary(library_names);
  if (available_) {
    sandbox_chunk_ = CompileSandbox(*api_);
    available_ = !sandbox_chunk_.empty();
  }
  if (available_) {
    LogInfo("Lua 5.4 engine initialized");
  } else {
    LogWarning("Lua 5.4 not available - Lua plugins disabled (install liblua5.4-dev on Debian/Ubuntu or lua54 on FreeBSD)");
  }
}

TOVLuaEngine::~TOVLuaEngine() {
  UnloadAll();
  TOVLockGuard g(lock_);
  if (!plugins_.empty()) {
    // A state some thread still runs in is neither closed nor unmapped under it, nor are the
    // entry points and the host it uses freed.
    static auto* kept = new std::vector<std::shared_ptr<TOVLuaPlugin>>();
    kept->insert(kept->end(), plugins_.begin(), plugins_.end());
    static_cast<void>(api_.release());
    static_cast<void>(lib_host_.release());
    return;
  }
  if (lib_handle_) ::dlclose(lib_handle_);
}

std::chrono::milliseconds TOVLuaEngine::BusyWait() const noexcept {
  const std::int32_t ms = busy_wait_ms_.load();
  if (ms >= 0) return std::chrono::milliseconds(ms);
  return std::chrono::milliseconds(std::max<std::int32_t>(0, timeout_ms_.load()) + 1000);
}

// ---- loading --------------------------------------------------------------------------------

std::unique_ptr<TOVLuaPlugin> TOVLuaEngine::PreparePlugin(const std::string& file_path) {
  const TOVLuaApi& F = *api_;
  try {
    auto p = std::make_unique<TOVLuaPlugin>(F, memory_limit_.load());
    p->FilePath = file_path;
    if (F.lua_newstate) {
      p->State = F.lua_newstate(LuaAllocFunc, p->AllocData.get());
    } else {
      p->State = F.luaL_newstate();
      if (p->State) F.lua_setallocf(p->State, LuaAllocFunc, p->AllocData.get());
    }
    if (!p->State) {
      LogError("Failed to create Lua state for: %s", file_path);
      return nullptr;
    }
    SetLuaLibHost(p->State, lib_host_.get());
    // Nobody else knows the state yet; the lock is taken for the rule's sake.
    TOVLuaStateGuard g;
    g.Acquire(p->CallLock, std::chrono::milliseconds(0));
    LoadJob job;
    job.path = file_path.c_str();
    job.sandbox = &sandbox_chunk_;
    std::string error;
    if (Lua_Pcall(*p, timeout_ms_.load(), LoadPluginStep, &job, 4, error) != LUA_OK) {
      if (job.phase == LoadJob::Running)
        LogError("Lua exec error in %s: %s", file_path, error);
      else
        LogError("Lua load error in %s: %s", file_path, error);
      return nullptr;
    }
    if (job.load_failed) {
      LogError("Lua load error in %s: %s", file_path, Lua_ToString(F, p->State, 1));
      return nullptr;
    }
    if (job.not_table) {
      LogError("Lua plugin %s did not return a table", file_path);
      return nullptr;
    }
    p->Name = Lua_ToString(F, p->State, 1);
    p->Version = Lua_ToString(F, p->State, 2);
    p->Description = Lua_ToString(F, p->State, 3);
    p->Author = Lua_ToString(F, p->State, 4);
    F.lua_settop(p->State, 0);
    if (p->Name.empty()) {
      LogError("Lua plugin %s has no name", file_path);
      return nullptr;
    }
    return p;
  } catch (const std::exception& e) {
    LogError("Lua load error in %s: %s", file_path, e.what());
    return nullptr;
  }
}

bool TOVLuaEngine::RegisterPlugin(std::unique_ptr<TOVLuaPlugin> plugin, TOVEventBus* event_bus,
                                  std::chrono::system_clock::time_point start_time) {
  try {
    plugin->Permissions = LuaPluginPermissions();
    // Made before the lock: the factory is outside code and the registry lock is not held
    // while calling out.
    if (host_factory_) plugin->Host = host_factory_(plugin->Name, plugin->Permissions, event_bus, start_time);
    const std::string name = plugin->Name, version = plugin->Version, description = plugin->Description;
    {
      TOVLockGuard g(lock_);
      for (const auto& e : plugins_) {
        if (EqualsIgnoreCase(e->Name, name)) {
          LogWarning("Lua plugin already loaded: %s", name);
          return false;
        }
      }
      plugins_.push_back(std::shared_ptr<TOVLuaPlugin>(std::move(plugin)));
    }
    LogInfo("Lua plugin loaded: %s v%s - %s", name, version, description);
    return true;
  } catch (const std::exception& e) {
    LogError("Lua load error in %s: %s", plugin ? plugin->FilePath : std::string(), e.what());
    return false;
  }
}

bool TOVLuaEngine::LoadPlugin(const std::string& file_path, TOVEventBus* event_bus,
                              std::chrono::system_clock::time_point start_time) {
  if (!available_) return false;
  auto p = PreparePlugin(file_path);
  return p && RegisterPlugin(std::move(p), event_bus, start_time);
}

std::size_t TOVLuaEngine::LoadDirectory(const std::string& dir, TOVEventBus* event_bus,
                                        std::chrono::system_clock::time_point start_time,
                                        const std::function<bool()>& stop_requested) {
  if (!available_) return 0;
  std::vector<std::string> names;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.size() < 4 || name.compare(name.size() - 4, 4, ".lua") != 0) continue;
    std::error_code dec;
    if (it->is_directory(dec)) continue;
    names.push_back(name);
  }
  std::sort(names.begin(), names.end());

  // Each file runs in its own state, so several run at once: files that hit the time limit
  // then cost one time limit together instead of one each.
  std::vector<std::unique_ptr<TOVLuaPlugin>> prepared(names.size());
  std::atomic<std::size_t> next{0};
  auto worker = [&] {
    for (;;) {
      if (stop_requested && stop_requested()) return;
      const std::size_t i = next.fetch_add(1);
      if (i >= names.size()) return;
      try {
        prepared[i] = PreparePlugin(dir + "/" + names[i]);
      } catch (const std::exception& e) {
        LogError("Lua load error in %s: %s", names[i], e.what());
      }
    }
  };
  const std::size_t threads = std::min<std::size_t>(names.size(), 8);
  std::vector<std::thread> pool;
  for (std::size_t i = 1; i < threads; ++i) {
    try {
      pool.emplace_back(worker);
    } catch (const std::system_error&) {
      break;  // fewer helpers; this thread still works through the list
    }
  }
  worker();
  for (auto& t : pool) t.join();

  std::size_t loaded = 0;
  for (auto& p : prepared)
    if (p && RegisterPlugin(std::move(p), event_bus, start_time)) ++loaded;
  return loaded;
}

// ---- calls into plug-ins --------------------------------------------------------------------

std::shared_ptr<TOVLuaPlugin> TOVLuaEngine::FindEntry(const std::string& name) const {
  TOVLockGuard g(lock_);
  for (const auto& e : plugins_)
    if (EqualsIgnoreCase(e->Name, name)) return e;
  return nullptr;
}

bool TOVLuaEngine::CallHandler(TOVLuaPlugin& p, CallKind kind, const std::string& event_type, const TJSON* data,
                               std::int32_t timeout_ms) {
  TOVLuaStateGuard g;
  if (!g.Acquire(p.CallLock, BusyWait())) {
    LogWarning("Lua plugin %s is busy - call skipped", p.Name);
    return false;
  }
  if (!p.State) return false;  // unloaded while this call waited
  HandlerJob job;
  std::string handler, data_text;
  switch (kind) {
    case CallKind::Init:
      job.field = "init";
      job.nargs = 1;
      break;
    case CallKind::Finalize:
      job.field = "finalize";
      break;
    case CallKind::Event:
      handler = "on_" + event_type;
      std::replace(handler.begin(), handler.end(), '.', '_');
      job.field = handler.c_str();
      job.nargs = 1;
      job.event_type = event_type.c_str();
      if (data) {
        data_text = JsonSpaced(*data);
        job.event_data = data_text.c_str();
      }
      break;
  }
  std::string error;
  const int status = Lua_Pcall(p, timeout_ms, CallHandlerStep, &job, 0, error);
  p.Api->lua_settop(p.State, 0);
  if (status == LUA_OK && job.missing) return kind != CallKind::Event;
  switch (kind) {
    case CallKind::Init:
      if (status != LUA_OK) {
        LogError("Lua plugin %s init error: %s", p.Name, error);
        return false;
      }
      LogInfo("Lua plugin initialized: %s", p.Name);
      return true;
    case CallKind::Finalize:
      if (status != LUA_OK) {
        LogError("Lua plugin %s finalize error: %s", p.Name, error);
        return false;
      }
      return true;
    case CallKind::Event:
      if (status != LUA_OK) {
        LogError("Lua plugin %s event handler error (%s): %s", p.Name, event_type, error);
        return false;
      }
      return true;
  }
  return false;
}

bool TOVLuaEngine::CallPluginInit(const std::string& name) {
  auto p = FindEntry(name);
  return p && CallHandler(*p, CallKind::Init, {}, nullptr, timeout_ms_.load());
}

bool TOVLuaEngine::CallPluginFinalize(const std::string& name) {
  auto p = FindEntry(name);
  return p && CallHandler(*p, CallKind::Finalize, {}, nullptr, timeout_ms_.load());
}

bool TOVLuaEngine::FireEvent(const std::string& plugin_name, const std::string& event_type, const TJSON* data) {
  auto p = FindEntry(plugin_name);
  return p && CallHandler(*p, CallKind::Event, event_type, data, timeout_ms_.load());
}

// ---- unloading ------------------------------------------------------------------------------

std::string TOVLuaEngine::UnloadEntry(const std::shared_ptr<TOVLuaPlugin>& p, std::int32_t finalize_timeout_ms) {
  TOVLuaStateGuard g;
  if (!g.Acquire(p->CallLock, BusyWait())) return "a call is still running";
  {
    TOVLockGuard l(lock_);
    auto it = std::find(plugins_.begin(), plugins_.end(), p);
    if (it == plugins_.end()) return "not loaded";  // another unload came first
    plugins_.erase(it);
  }
  CallHandler(*p, CallKind::Finalize, {}, nullptr, finalize_timeout_ms);
  p->CloseState();
  p->Host.reset();
  return {};
}

bool TOVLuaEngine::UnloadPlugin(const std::string& name) {
  auto p = FindEntry(name);
  if (!p) return false;
  const std::string why = UnloadEntry(p, timeout_ms_.load());
  if (!why.empty()) {
    LogWarning("Lua plugin unload error: %s - %s", p->Name, why);
    return false;
  }
  LogInfo("Lua plugin unloaded: %s", p->Name);
  return true;
}

void TOVLuaEngine::UnloadAll() {
  std::vector<std::shared_ptr<TOVLuaPlugin>> all;
  {
    TOVLockGuard g(lock_);
    all.assign(plugins_.rbegin(), plugins_.rend());
  }
  // The finalize calls share one time limit, so that shutdown stays bounded however many
  // plug-ins loop in finalize: once it is spent, each of the rest gets a millisecond.
  const std::int32_t limit = timeout_ms_.load();
  const auto budget_end = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(limit, 0));
  for (const auto& p : all) {
    std::int32_t finalize_ms = limit;
    if (limit > 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(budget_end - std::chrono::steady_clock::now());
      finalize_ms = static_cast<std::int32_t>(std::clamp<std::int64_t>(left.count(), 1, limit));
    }
    try {
      const std::string why = UnloadEntry(p, finalize_ms);
      if (!why.empty()) LogWarning("Lua plugin unload error: %s - %s", p->Name, why);
    } catch (const std::exception& e) {
      LogError("Lua plugin unload error: %s - %s", p->Name, e.what());
    }
  }
}

// ---- inspection -----------------------------------------------------------------------------

std::int32_t TOVLuaEngine::GetPluginCount() const {
  TOVLockGuard g(lock_);
  return static_cast<std::int32_t>(plugins_.size());
}

std::optional<TOVLuaPluginInfo> TOVLuaEngine::GetPluginInfo(std::int32_t index) const {
  TOVLockGuard g(lock_);
  if (index < 0 || static_cast<std::size_t>(index) >= plugins_.size()) return std::nullopt;
  const TOVLuaPlugin& p = *plugins_[static_cast<std::size_t>(index)];
  TOVLuaPluginInfo info;
  info.Name = p.Name;
  info.Version = p.Version;
  info.Description = p.Description;
  info.Author = p.Author;
  info.FilePath = p.FilePath;
  info.Permissions = p.Permissions;
  info.HasHost = p.Host != nullptr;
  info.MemoryUsed = static_cast<std::uint64_t>(std::max<std::int64_t>(0, p.AllocData->MemoryUsed.load()));
  info.MemoryLimit = p.MemoryLimit;
  info.IsLoaded = true;
  return info;
}

std::int32_t TOVLuaEngine::FindLuaPlugin(const std::string& name) const {
  TOVLockGuard g(lock_);
  for (std::size_t i = 0; i < plugins_.size(); ++i)
    if (EqualsIgnoreCase(plugins_[i]->Name, name)) return static_cast<std::int32_t>(i);
  return -1;
}

// ---- start-up and shutdown ------------------------------------------------------------------

void StartupLuaEngine(TOVLuaHostFactory host_factory) {
  auto cfg = Config.Get();
  if (!cfg || !cfg->PluginsEnabled() || !cfg->LuaEnabled()) return;
  auto engine = std::make_unique<TOVLuaEngine>(std::move(host_factory));
  if (engine->Available())
    engine->LoadDirectory(cfg->PluginDir(), EventBus.Raw(), GetServerStartTime(), [] { return ServerStopRequested(); });
  LuaEngine.Publish(std::move(engine));
}

void ShutdownLuaEngine(const std::function<void(const std::string&)>& step) {
  if (!LuaEngine.Exists()) return;
  if (step) step("LuaEngine.Free");
  LuaEngine.Free();
}

}  // namespace ov
