"""Lua plug-ins on the real server: the files of the plug-in directory run at start-up in a
sandbox with memory and time limits.

Every escape is tried by a plug-in file of its own; each must end in a load or exec error with
the server still serving and nothing outside changed.  The files that hit the time limit run in
one start, side by side, so the module costs about one time limit per start.
"""
import ctypes
import os
import re
import signal
import tempfile
import time
import unittest

from ovfixture import OVServer, build_dir

TIMEOUT = "execution timeout exceeded"

# Files that must each end at the time limit: a plain loop and every known way of catching the
# time-out error and carrying on.
LOOPING = {
    "loop_plain.lua": "while true do end",
    "loop_pcall.lua": "while true do pcall(function() while true do end end) end",
    "loop_coroutine.lua":
        "while true do coroutine.resume(coroutine.create(function() while true do end end)) end",
    "loop_xpcall.lua":
        "while true do xpcall(function() while true do end end, function() while true do end end) end",
    # A to-be-closed handler that loops, in the main thread and in a coroutine stopped by the
    # limit (closed by coroutine.close and by coroutine.wrap).
    "loop_close_main.lua": """
        local x <close> = setmetatable({}, {__close = function() while true do end end})
        while true do end""",
    "loop_close_coroutine.lua": """
        local co = coroutine.create(function()
          local x <close> = setmetatable({}, {__close = function() while true do end end})
          while true do end
        end)
        coroutine.resume(co)
        coroutine.close(co)
        while true do end""",
    "loop_close_wrap.lua": """
        local f = coroutine.wrap(function()
          local x <close> = setmetatable({}, {__close = function() while true do end end})
          while true do end
        end)
        pcall(f)
        while true do end""",
}


def stamp(line):
    """The time of a log line, to the millisecond."""
    return time.mktime(time.strptime(line[:19], "%Y-%m-%d %H:%M:%S")) + float(line[19:23])


def binary_chunk():
    """The header of a Lua 5.4 binary chunk followed by garbage: Lua would trust it."""
    return b"\x1bLua\x54\x00\x19\x93\r\n\x1a\n\x04\x08\x08" + b"\x78\x56\x00\x00" + b"\xff" * 64


class LuaPluginsTest(unittest.TestCase):
    def make_server(self, config=None):
        srv = OVServer(config=config, write_config=True, wait=False)
        self.addCleanup(srv.cleanup)
        self.addCleanup(lambda: srv.proc and srv.proc.poll() is None and srv.stop())
        return srv

    def write(self, srv, name, text):
        with open(os.path.join(srv.plugin_dir, name), "wb") as f:
            f.write(text.encode() if isinstance(text, str) else text)

    def start_with_files(self, srv, files, within, why=None):
        """Writes the plug-in files, starts the server and checks that it answers within the time."""
        for name, text in files.items():
            self.write(srv, name, text)
        t0 = time.time()
        srv.start(wait=True)
        self.assertLess(time.time() - t0, within, why)
        status, _, _ = srv.request("GET", "/health")
        self.assertEqual(status, 200)

    def test_load_cases_escapes_and_limits(self):
        srv = self.make_server()
        outside = tempfile.mkdtemp(prefix="ov-lua-outside-")
        self.addCleanup(lambda: __import__("shutil").rmtree(outside, ignore_errors=True))
        victim = os.path.join(outside, "victim.txt")
        with open(victim, "w") as f:
            f.write("keep me")
        marker = os.path.join(outside, "c_module_loaded")
        module_dir = os.path.join(build_dir(), "test_lua")
        os.environ["OV_LUA_MARKER"] = marker
        self.addCleanup(os.environ.pop, "OV_LUA_MARKER", None)
        touched = os.path.join(outside, "touched")

        lib_dir = os.path.join(srv.plugin_dir, "lib")
        os.makedirs(lib_dir)
        with open(os.path.join(lib_dir, "helper.lua"), "w") as f:
            f.write("return { answer = 42 }\n")

        files = dict(LOOPING)
        files.update({
            # The load cases.
            "case_full.lua": 'return { name = "full", version = "1.2", description = "A full plugin", author = "me" }',
            "case_only_name.lua": 'return { name = "onlyname" }',
            "case_number_name.lua": "return { name = 7, version = 2 }",
            "case_dup_a.lua": 'return { name = "Twin" }',
            "case_dup_b.lua": 'return { name = "TWIN" }',
            "case_no_name.lua": 'return { version = "1" }',
            "case_not_table.lua": "return 42",
            "case_load_error.lua": "return {",
            "case_exec_error.lua": 'error("boom")',
            # Loaded, but their finalize loops: shutdown must still be prompt.
            "fin_loop_1.lua": 'return { name = "fin1", finalize = function() while true do end end }',
            "fin_loop_2.lua": 'return { name = "fin2", finalize = function() while true do end end }',
            "fin_loop_3.lua": 'return { name = "fin3", finalize = function() while true do end end }',
            # What the sandbox leaves: these must all hold, or the file fails.
            "case_probe.lua": """
                assert(io == nil and debug == nil and dofile == nil and loadfile == nil)
                assert(os.execute == nil and os.remove == nil and os.rename == nil and os.exit == nil)
                assert(os.tmpname == nil and os.setlocale == nil and string.dump == nil)
                assert(package.loadlib == nil and package.loaded.io == nil and package.loaded.debug == nil)
                assert(type(os.time()) == "number" and type(os.clock()) == "number")
                assert(type(os.date("%%Y")) == "string" and os.getenv("OV_NO_SUCH_VARIABLE") == nil)
                assert(load("return 1 + 1")() == 2)
                assert(select("#", load("return ...", "x", "t", {})) == 1)
                package.path = "%s/?.lua"
                assert(require("helper").answer == 42)
                assert(not pcall(setmetatable, {}, {__gc = print}))
                assert(setmetatable({}, {__index = {a = 1}}).a == 1)
                local ok, err = xpcall(error, function(m) return "handled " .. m end, "x", 0)
                assert(not ok and err == "handled x")
                assert(select(2, xpcall(function(a, b) return a + b end, print, 1, 2)) == 3)
                local gen = coroutine.wrap(function() coroutine.yield(1) coroutine.yield(2) end)
                assert(gen() == 1 and gen() == 2)
                return { name = "probe" }""" % lib_dir,
            # Escapes.
            "esc_io.lua": 'io.open("%s", "w"):write("x")' % touched,
            "esc_os_execute.lua": 'os.execute("touch %s")' % touched,
            "esc_os_remove.lua": 'os.remove("%s")' % victim,
            "esc_os_exit.lua": "os.exit(3)",
            "esc_os_setlocale.lua": 'os.setlocale("C")',
            "esc_debug.lua": "debug.sethook()",
            "esc_require_io.lua": 'require("io").open("%s", "w"):write("x")' % touched,
            "esc_require_debug.lua": 'require("debug").sethook()',
            "esc_c_module.lua": 'package.cpath = "%s/?.so"\nrequire("ovmarker")' % module_dir,
            "esc_loadlib.lua": 'package.loadlib("%s/ovmarker.so", "luaopen_ovmarker")()' % module_dir,
            "esc_load_binary.lua": "local s = '%s'\nassert(load(s, 'x', 'b'))" %
                                   "".join("\\%d" % b for b in binary_chunk()),
            "esc_binary_file.lua": binary_chunk(),
            "esc_string_dump.lua": "string.dump(function() end)",
            "esc_gc.lua": "setmetatable({}, {__gc = function() while true do end end})\ncollectgarbage()",
            "esc_big_string.lua": "local s = string.rep('x', 20 * 1024 * 1024)",
            "esc_table_bomb.lua": "local t = {}\nfor i = 1, 1e9 do t[i] = {i, i, i} end",
            "esc_deep_lua.lua": "local function f() return 1 + f() end\nf()",
            "esc_deep_meta.lua": "local t = setmetatable({}, {__index = function(t, k) return t[k] end})\nreturn t.x",
            "esc_deep_gsub.lua": "local function f() return (string.gsub('a', 'a', f)) end\nf()",
        })
        self.start_with_files(srv, files, 25, "start-up must not wait for the time-limited files one by one")
        log = srv.log_text()

        def path(name):
            return os.path.join(srv.plugin_dir, name)

        # The Part's load cases, with their log lines.
        self.assertIn("Lua 5.4 engine initialized", log)
        self.assertIn("Lua plugin loaded: full v1.2 - A full plugin", log)
        self.assertIn("Lua plugin loaded: onlyname v - \n", log)
        self.assertIn("Lua plugin loaded: 7 v2 - \n", log)
        self.assertIn("Lua plugin loaded: Twin v - \n", log)
        self.assertIn("Lua plugin already loaded: TWIN", log)
        self.assertIn("Lua plugin %s has no name" % path("case_no_name.lua"), log)
        self.assertIn("Lua plugin %s did not return a table" % path("case_not_table.lua"), log)
        self.assertIn("Lua load error in %s: " % path("case_load_error.lua"), log)
        self.assertIn("Lua exec error in %s: %s:1: boom" % (path("case_exec_error.lua"), path("case_exec_error.lua")), log)
        self.assertIn("Lua plugin loaded: probe v - ", log)

        # Each escape fails in its own file.
        expected = {
            "esc_io.lua": "global 'io'",
            "esc_os_execute.lua": "field 'execute'",
            "esc_os_remove.lua": "field 'remove'",
            "esc_os_exit.lua": "field 'exit'",
            "esc_os_setlocale.lua": "field 'setlocale'",
            "esc_debug.lua": "global 'debug'",
            "esc_require_io.lua": "module 'io' not found",
            "esc_require_debug.lua": "module 'debug' not found",
            "esc_c_module.lua": "module 'ovmarker' not found",
            "esc_loadlib.lua": "field 'loadlib'",
            "esc_load_binary.lua": "attempt to load a binary chunk (mode is 't')",
            "esc_string_dump.lua": "field 'dump'",
            "esc_gc.lua": "__gc metamethods are not allowed",
            "esc_big_string.lua": "not enough memory",
            "esc_table_bomb.lua": "not enough memory",
            "esc_deep_lua.lua": "",
            "esc_deep_meta.lua": "stack overflow",
            "esc_deep_gsub.lua": "stack overflow",
        }
        for name, text in expected.items():
            line = re.search(r"Lua exec error in %s: (.*)" % re.escape(path(name)), log)
            self.assertIsNotNone(line, "no exec error for %s" % name)
            self.assertIn(text, line.group(1), name)
        self.assertIn("Lua load error in %s: attempt to load a binary chunk (mode is 't')" % path("esc_binary_file.lua"),
                      log)
        self.assertFalse(os.path.exists(touched))
        self.assertFalse(os.path.exists(marker))
        with open(victim) as f:
            self.assertEqual(f.read(), "keep me")

        # Every looping file ends at the time limit, about 5 s after the engine started.
        lines = log.splitlines()
        start = stamp(next(l for l in lines if "Lua 5.4 engine initialized" in l))
        for name in LOOPING:
            line = next((l for l in lines if "Lua exec error in %s: " % path(name) in l), None)
            self.assertIsNotNone(line, "no exec error for %s" % name)
            self.assertIn(TIMEOUT, line)
            self.assertTrue(4.5 <= stamp(line) - start <= 15, line)
        self.assertNotIn("Lua plugin loaded: loop", log)

        t0 = time.time()
        self.assertEqual(srv.stop(timeout=15), 0)
        self.assertLess(time.time() - t0, 10)
        self.assertIn("[shutdown] LuaEngine.Free", srv.stderr)
        for name in ("fin1", "fin2", "fin3"):
            self.assertIn("Lua plugin %s finalize error: %s" % (name, TIMEOUT), srv.log_text())
        self.assertFalse(os.path.exists(marker))

    def test_loops_in_library_code_end_at_the_time_limit(self):
        """Loops that run inside Lua's C library, where the count hook never fires, each in a file
        of its own: with the real 5 s limit every one ends with the time-out error within the
        limit and a second, and the server starts up."""
        srv = self.make_server()
        files = {
            # The pattern that backtracks for hours in Lua's own matcher.
            "lib_pattern.lua": 'string.find(("a"):rep(40), ("a*"):rep(12) .. "b")',
            # One comparison of megabytes of zero bytes takes tens of milliseconds: between two
            # looks of the count hook, half a minute.
            "lib_compare.lua": 'local a = ("\\0"):rep(4000000)\nrepeat until a < a',
            # Each call a few milliseconds of C, a thousand instructions apart.
            "lib_upper.lua": 'local s = ("x"):rep(4000000)\nwhile true do s:upper() end',
            "lib_concat.lua": 'local s = ("x"):rep(3000000)\nwhile true do local t = s .. s end',
            # A chunk reader that never ends: the parser calls it from C.
            "lib_load.lua": 'local r = (" "):rep(8000000)\nload(function() return r end)',
            "lib_sort.lua": 'local a, t = ("\\0"):rep(4000000), {}\nfor i = 1, 1000 do t[i] = a end\ntable.sort(t)',
            "lib_insert.lua": "local t = {}\nfor k = 50, 0, -1 do t[2^k | 0] = 1 end\ntable.insert(t, 1, 0)",
            # Done at once, where Lua's own would count to 2^63.
            "lib_rep.lua": 'assert(string.rep("", math.maxinteger) == "")\nreturn { name = "rep" }',
        }
        self.start_with_files(srv, files, 20)
        lines = srv.log_text().splitlines()
        start = stamp(next(l for l in lines if "Lua 5.4 engine initialized" in l))
        for name in files:
            if name == "lib_rep.lua":
                continue
            path = os.path.join(srv.plugin_dir, name)
            line = next((l for l in lines if "Lua exec error in %s: " % path in l), None)
            self.assertIsNotNone(line, "no exec error for %s" % name)
            self.assertTrue(line.endswith(TIMEOUT), line)
            self.assertTrue(4.9 <= stamp(line) - start <= 6.0, line)
        self.assertIn("Lua plugin loaded: rep v - ", srv.log_text())
        self.assertEqual(srv.stop(timeout=15), 0)

    def test_the_marker_module_works(self):
        # Without the sandbox, loading the test module leaves its marker: the escape test above
        # would see one.
        marker = os.path.join(tempfile.mkdtemp(prefix="ov-lua-marker-"), "loaded")
        os.environ["OV_LUA_MARKER"] = marker
        try:
            ctypes.CDLL(os.path.join(build_dir(), "test_lua", "ovmarker.so"))
        finally:
            del os.environ["OV_LUA_MARKER"]
        self.assertTrue(os.path.exists(marker))

    def test_switched_off(self):
        for plugins in ({"enabled": "1", "lua_enabled": "0"}, {"enabled": "0", "lua_enabled": "1"}):
            srv = self.make_server({"plugins": plugins})
            self.write(srv, "a.lua", 'return { name = "a" }')
            self.write(srv, "loop.lua", "while true do end")
            srv.start(wait=True)
            self.assertEqual(srv.stop(timeout=15), 0)
            self.assertNotIn("Lua", srv.log_text())
            self.assertNotIn("Lua", srv.stdout + srv.stderr)

    def test_sigterm_during_start_up(self):
        srv = self.make_server()
        for i in range(24):
            self.write(srv, "loop%02d.lua" % i, "while true do end")
        srv.start(wait=False)
        self.assertTrue(srv.wait_for_stdout("Lua 5.4 engine initialized", timeout=20))
        t0 = time.time()
        self.assertEqual(srv.stop(timeout=20), 0)
        self.assertLess(time.time() - t0, 12)
        # Files not started when the stop came are skipped.
        self.assertLess(srv.log_text().count(TIMEOUT), 24)


if __name__ == "__main__":
    unittest.main()
