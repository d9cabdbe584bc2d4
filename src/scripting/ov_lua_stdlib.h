// The standard-library functions a sandboxed Lua state gets in place of Lua's own.
//
// The time limit is a count hook, and the hook only runs between Lua instructions and calls:
// a library function that loops in C is never stopped.  These are the ones whose loop a script
// can make long at will, replaced by functions with the same behaviour (results and error
// texts) whose loops look at the time limit:
//   - string.find, match, gmatch and gsub: our own pattern matcher (ov_lua_pattern);
//   - string.rep: an empty string repeated 2^60 times is still counted out one by one;
//   - table.insert, remove, move, concat and unpack: their loop length comes from the length
//     operator or the arguments (a table of 50 entries can have a length of 2^50), and each
//     step may walk a chain of 2000 __index tables;
//   - table.sort without an order function: comparing two long strings with many zero bytes
//     takes many milliseconds, so each comparison becomes a call the time limit can stop;
//   - coroutine.resume and close: they tell the host which Lua thread runs, so that the time
//     limit stops that thread and not one that is waiting;
//   - loading a Lua file: read a block at a time with a look at the time limit, and only from a
//     regular file (a FIFO or a terminal would block the thread for good);
//   - package.searchpath: it opens each candidate to see that it is there, and opening a FIFO
//     waits for a writer; ours does not wait.
//
// Like every function Lua calls, they hold nothing with a destructor when they raise.
#pragma once

struct lua_State;

namespace ov {

// Replaces the functions above in the state's standard libraries.  Runs inside a protected
// call after luaL_openlibs, with the state's TOVLuaLibHost set; raises on failure.
void InstallLuaLibrary(lua_State* L) noexcept;

// Loads a Lua text file as luaL_loadfilex(L, path, "t") does (a BOM and a first line starting
// with '#' are skipped), pushing the chunk or the message.  Refuses what is not a regular file,
// and stops at the time limit.  Returns Lua's status (LUA_ERRFILE when the file cannot be read).
int LoadLuaTextFile(lua_State* L, const char* path) noexcept;

// Lua function load_text_file(path): the chunk, or nil and the message.
int LuaLoadTextFile(lua_State* L) noexcept;

}  // namespace ov
