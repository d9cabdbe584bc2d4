"""A native plug-in's scheduled tasks in the real server: registered when the plug-in is enabled,
run on schedule, a std and a non-std throw recorded as failed runs, rows gone when it is disabled
and back when it is enabled again, and edited rows of a plug-in that cannot run them failing.

The plug-in is the test build of tests/plugins/sched_cpp.cpp; the scheduler ticks once a second.
"""
import contextlib
import time
import unittest

from test_scheduler import LOG_MEMBERS, SchedServer, utc_seconds

PLUGIN = "SchedCpp"
DECLARED = {  # task -> (description, interval) as the plug-in declares them
    "tick": ("Counts its runs", 3600),
    "fail": ("Throws std::runtime_error", 3600),
    "fail_other": ("Throws an int", 3600),
    "idle": ("idle", 60),
}


class SchedulerPluginTasks(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.srv = SchedServer(env={"TZ": "UTC"})
        try:
            cls.srv.install_plugin("sched_cpp")
            cls.srv.start_in(contextlib.nullcontext())
        except Exception:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        try:
            cls.srv.stop()
        finally:
            cls.srv.cleanup()

    def plugin_tasks(self):
        return {name: t for name, t in self.srv.tasks().items() if t["plugin_name"] == PLUGIN}

    def set_enabled(self, on):
        self.assertEqual(self.srv.ok("POST", "/plugins/" + ("enable" if on else "disable"), {"name": PLUGIN}), {})

    def runs_logged(self):
        return self.srv.ok("GET", "/scheduler/logs?task=%s&per_page=200" % PLUGIN)["items"]

    def check_declared_rows(self, enabled_from):
        """The declared rows, registered (and scheduled) since enabled_from."""
        now = time.time()
        tasks = self.plugin_tasks()
        self.assertEqual(sorted(tasks), sorted(DECLARED))
        for name, (description, interval) in DECLARED.items():
            t = tasks[name]
            self.assertEqual((t["description"], t["category"], t["schedule_type"], t["interval_seconds"], t["enabled"],
                              t["user_modified"], t["run_count"]), (description, "plugin", "interval", interval, True,
                                                                    False, 0), name)
            self.assertTrue(int(enabled_from) <= utc_seconds(t["next_run"]) - interval <= now + 1, name)

    def test_a_enabling_registers_the_declared_tasks(self):
        srv = self.srv
        self.assertTrue(srv.wait_for_log("Task scheduler started"))
        self.assertNotIn("Task scheduler started (no plugins)", srv.log_text())
        # A newly loaded plug-in starts disabled: nothing of it is scheduled yet.
        self.assertEqual(self.plugin_tasks(), {})
        enabled_from = time.time()
        self.set_enabled(True)
        for name, (_, interval) in DECLARED.items():
            line = "Scheduler: registered plugin task %s/%s (every %ds)" % (PLUGIN, name, interval)
            self.assertTrue(srv.wait_for_log(line), line)
        # The item that is no object and the one without a name are skipped.
        self.check_declared_rows(enabled_from)

    def test_b_runs_on_schedule_and_throws_are_failed_runs(self):
        srv = self.srv
        for name in ("tick", "fail", "fail_other"):
            srv.put(name, {"interval_seconds": 1})
        for name in ("tick", "fail", "fail_other"):
            srv.wait_task(name, lambda t: t["run_count"] >= 2 and not t["is_running"], timeout=30)
        tasks = self.plugin_tasks()
        expected = {"tick": ("success", ""), "fail": ("error", "task failed"),
                    "fail_other": ("error", "unknown exception")}
        for name, (result, error) in expected.items():
            t = tasks[name]
            self.assertGreaterEqual(t["run_count"], 2, name)
            self.assertEqual((t["last_result"], t["last_error"], t["fail_count"]),
                             (result, error, 0 if result == "success" else t["run_count"]), name)
            self.assertEqual(utc_seconds(t["next_run"]) - utc_seconds(t["last_run"]), 1, name)
        self.assertEqual(tasks["idle"]["run_count"], 0)
        for line in ("[plugin:%s] task tick ran" % PLUGIN, "Scheduler: task %s/fail failed: task failed" % PLUGIN,
                     "Scheduler: task %s/fail_other failed: unknown exception" % PLUGIN):
            self.assertTrue(srv.wait_for_log(line), line)

        rows = self.runs_logged()
        self.assertEqual(list(rows[0].keys()), LOG_MEMBERS)
        self.assertEqual({(r["task_name"], r["result"], r["error_message"]) for r in rows},
                         {(name, result, error) for name, (result, error) in expected.items()})
        # A run asked for through REST that fails is still "executed".
        before = srv.wait_task("fail_other", lambda t: not t["is_running"])["fail_count"]
        self.assertEqual(srv.run("fail_other"), {"message": "Task executed"})
        self.assertGreater(srv.task("fail_other")["fail_count"], before)
        self.assertEqual(srv.request("GET", "/health")[0], 200)

    def test_c_disabling_removes_the_rows_and_enabling_brings_them_back(self):
        srv = self.srv
        # Rows of a plug-in that every one was edited are no orphans.
        srv.sql("INSERT INTO system_scheduler (task_name, plugin_name, category, schedule_type, interval_seconds, "
                "enabled, user_modified) VALUES ('nightly', 'Gone', 'plugin', 'interval', 3600, 1, 1)")
        self.set_enabled(False)
        line = "Scheduler: removing orphaned tasks for unloaded plugin: %s" % PLUGIN
        self.assertTrue(srv.wait_for_log(line), line)
        self.assertEqual(self.plugin_tasks(), {})
        self.assertEqual(srv.value("SELECT COUNT(*) FROM system_scheduler WHERE plugin_name = '%s'" % PLUGIN), "0")
        # Nothing runs any more but, at most, the one run the scheduler thread had taken up when
        # the plug-in was disabled (its row is logged when it ends).  Three tasks were due every
        # second: over three ticks they would have run several times.
        runs = len(self.runs_logged())
        time.sleep(3.5)
        self.assertLessEqual(len(self.runs_logged()), runs + 1)

        # A task whose plug-in is not loaded is a failed run, not a success.
        srv.run("nightly")
        t = srv.task("nightly")
        self.assertEqual((t["last_result"], t["last_error"], t["fail_count"]), ("error", "Plugin not found: Gone", 1))

        # Enabled again, the plug-in's tasks are registered afresh with what it declares.
        enabled_from = time.time()
        self.set_enabled(True)
        self.assertEqual(srv.log_text().count("Scheduler: registered plugin task %s/tick (every 3600s)" % PLUGIN), 2)
        self.check_declared_rows(enabled_from)

    def test_d_edited_rows_of_a_disabled_plugin_fail(self):
        srv = self.srv
        srv.put("tick", {"interval_seconds": 1})
        for name in ("fail", "fail_other", "idle"):
            srv.put(name, {})
        self.set_enabled(False)
        self.assertEqual(sorted(self.plugin_tasks()), sorted(DECLARED))
        t = srv.wait_task("tick", lambda t: t["fail_count"] >= 1, timeout=30)
        self.assertEqual((t["last_result"], t["last_error"]), ("error", "Plugin not enabled: %s" % PLUGIN))
        self.assertEqual(srv.log_text().count("removing orphaned tasks for unloaded plugin: %s" % PLUGIN), 1)


if __name__ == "__main__":
    unittest.main()
