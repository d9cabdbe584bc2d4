"""The task scheduler seen from outside: its REST routes, runs on schedule with their events,
cron schedules in a zone with daylight saving, the maintenance tasks on every database backend,
a failing VACUUM and a restart.

The servers run with a stand-in sqlite3 first on PATH that records its arguments and exits with
the code in its "exit" file.  The scheduler ticks once a second, as it does for a sysop.
"""
import calendar
import contextlib
import os
import shutil
import stat
import tempfile
import time
import unittest

from ovfixture import OVServer, db_backends, error_message, write_ini
from wsclient import WSClient

CET = "CET-1CEST,M3.5.0,M10.5.0/3"
TASK_MEMBERS = ["id", "task_name", "plugin_name", "description", "category", "schedule_type", "interval_seconds",
                "cron_expr", "enabled", "last_run", "next_run", "last_result", "last_error", "run_count",
                "fail_count", "user_modified", "is_running"]
LOG_MEMBERS = ["id", "task_name", "plugin_name", "started_at", "finished_at", "duration_ms", "result",
               "error_message"]
FAKE_SQLITE = """#!/bin/sh
d=$(dirname "$0")
echo "$1 $2" >> "$d/calls"
exit $(cat "$d/exit" 2>/dev/null || echo 0)
"""


def utc_text(t):
    return time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(t))


def utc_seconds(text):
    return calendar.timegm(time.strptime(text, "%Y-%m-%d %H:%M:%S"))


@contextlib.contextmanager
def environment(**values):
    """os.environ changed for the scope (a server started inside inherits it)."""
    old = {k: os.environ.get(k) for k in values}
    os.environ.update(values)
    try:
        yield
    finally:
        for k, v in old.items():
            if v is None:
                os.environ.pop(k, None)
            else:
                os.environ[k] = v


class FakeSqlite:
    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="ov-fake-sqlite-")
        path = os.path.join(self.dir, "sqlite3")
        with open(path, "w") as f:
            f.write(FAKE_SQLITE)
        os.chmod(path, os.stat(path).st_mode | stat.S_IXUSR)

    def set_exit(self, code):
        with open(os.path.join(self.dir, "exit"), "w") as f:
            f.write(str(code))

    def calls(self):
        try:
            with open(os.path.join(self.dir, "calls")) as f:
                return f.read().splitlines()
        except OSError:
            return []

    def env(self, tz="UTC"):
        return environment(PATH=self.dir + os.pathsep + os.environ.get("PATH", ""), TZ=tz)

    def cleanup(self):
        shutil.rmtree(self.dir, ignore_errors=True)


class SchedServer(OVServer):
    token = None

    def start_in(self, env):
        with env:
            self.start()
        if self.token is None:
            self.token = self.setup_admin()  # still valid after a restart: the secret is kept
        return self

    def call(self, method, path, body=None, **kw):
        kw.setdefault("token", self.token)
        return self.json(method, "/api/v1" + path, body, **kw)

    def ok(self, method, path, body=None):
        status, answer = self.call(method, path, body)
        assert status == 200, (method, path, status, answer)
        return answer["data"]

    def tasks(self):
        return {t["task_name"]: t for t in self.ok("GET", "/scheduler/tasks")}

    def task(self, name):
        return self.tasks()[name]

    def run(self, name):
        return self.ok("POST", "/scheduler/tasks/%d/run" % self.task(name)["id"])

    def put(self, name, changes):
        return self.ok("PUT", "/scheduler/tasks/%d" % self.task(name)["id"], changes)

    def wait_task(self, name, check, timeout=10):
        deadline = time.time() + timeout
        while True:
            t = self.task(name)
            if check(t) or time.time() > deadline:
                return t
            time.sleep(0.1)

    def write_works(self):
        """An ordinary REST write after whatever the test did to the write connection."""
        return self.call("POST", "/logs", {"message": "probe %f" % time.time()})[0]


def insert_aged_rows(srv):
    """Old and recent rows in the three pruned tables, their times in UTC text."""
    now = time.time()
    rows = []
    for level in ("debug", "info", "warning", "error"):
        for age in (2 * 3600, 2 * 86400, 10 * 86400, 40 * 86400):
            rows.append("('%s', '%s', 'aged', 'g', '%d')" % (utc_text(now - age), level, age // 3600))
    srv.sql("INSERT INTO system_logs (timestamp, level, source, category, message) VALUES " + ", ".join(rows))
    srv.sql("INSERT INTO scheduler_log (task_name, plugin_name, started_at, result) VALUES "
            "('aged', 'aged', '%s', 'success'), ('aged', 'aged', '%s', 'success')"
            % (utc_text(now - 3600), utc_text(now - 40 * 86400)))
    srv.sql("INSERT INTO active_sessions (guid, node, protocol, ip_address, last_activity) VALUES "
            "('aged-1', 1, 'telnet', '10.0.0.1', '%s'), ('aged-2', 2, 'telnet', '10.0.0.2', '%s')"
            % (utc_text(now - 600), utc_text(now - 2400)))


def aged_logs(srv):
    return sorted("%s %s" % (r[0], r[1]) for r in srv.sql("SELECT level, message FROM system_logs "
                                                          "WHERE source = 'aged'"))


class MaintenanceChecks:
    """Each maintenance task run through REST removes exactly the old rows."""

    def check_maintenance(self, srv, fake):
        insert_aged_rows(srv)
        calls_before = len(fake.calls())
        srv.run("log_cleanup")
        self.assertEqual(len(aged_logs(srv)), 12)
        self.assertNotIn("info 960", aged_logs(srv))
        srv.run("scheduler_log_cleanup")
        self.assertEqual(srv.sql("SELECT COUNT(*) FROM scheduler_log WHERE task_name = 'aged'"), [["1"]])
        srv.run("session_cleanup")
        self.assertEqual(srv.sql("SELECT guid FROM active_sessions WHERE guid LIKE 'aged%'"), [["aged-1"]])
        srv.run("db_vacuum")
        self.assertEqual(aged_logs(srv), ["debug 2", "error 2", "error 48", "info 2", "info 240", "info 48",
                                          "warning 2", "warning 240", "warning 48"])
        self.assertTrue(srv.wait_for_log("Scheduler: db_vacuum completed"))
        # The program runs on SQLite only.
        self.assertEqual(len(fake.calls()) - calls_before, 1 if srv.db == "sqlite3" else 0)
        srv.run("wal_checkpoint")
        if srv.db == "sqlite3":
            self.assertTrue(srv.wait_for_log("wal_checkpoint(TRUNCATE) "))
        else:
            self.assertNotIn("wal_checkpoint", srv.log_text())
        srv.run("old_news_cleanup")
        self.assertTrue(srv.wait_for_log("Scheduler: old_news_cleanup pruned old news entries"))
        self.assertEqual(srv.write_works(), 200)
        for name in ("log_cleanup", "scheduler_log_cleanup", "session_cleanup", "db_vacuum", "wal_checkpoint",
                     "old_news_cleanup"):
            t = srv.task(name)
            self.assertEqual((t["last_result"], t["last_error"]), ("success", ""), name)


# One SQLite server in a zone with daylight saving serves the module; its "* * * * *" task is
# armed first so that its minute passes while the other tests (the database servers' included)
# run.  Classes and their test methods run in name order.
FAKE = None
SRV = None


def setUpModule():
    global FAKE, SRV
    FAKE = FakeSqlite()
    SRV = SchedServer()
    try:
        SRV.start_in(FAKE.env(CET))
        before = time.time()
        SRV.put("plugin_update_check", {"schedule_type": "cron", "cron_expr": "* * * * *"})
        SRV.armed = (before, time.time())  # the edit was made between these
        SRV.every_minute_next = SRV.task("plugin_update_check")["next_run"]
    except Exception:
        tearDownModule()
        raise


def tearDownModule():
    try:
        SRV.stop()
    finally:
        SRV.cleanup()
        FAKE.cleanup()


class Scheduler(MaintenanceChecks, unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.srv, cls.fake = SRV, FAKE

    def expect(self, answer, status, message):
        self.assertEqual((answer[0], error_message(answer[1])), (status, message))

    def test_a_routes_statuses_and_texts(self):
        srv = self.srv
        tasks = srv.ok("GET", "/scheduler/tasks")
        self.assertEqual([t["task_name"] for t in tasks],
                         ["log_cleanup", "scheduler_log_cleanup", "session_cleanup", "db_vacuum", "wal_checkpoint",
                          "config_watch", "plugin_update_check", "old_news_cleanup"])
        self.assertEqual(list(tasks[0].keys()), TASK_MEMBERS)
        first = tasks[0]["id"]
        self.assertEqual(srv.ok("GET", "/scheduler/tasks/%d" % first), tasks[0])

        status, body = srv.json("POST", "/api/v1/users", {"username": "plain", "password": "plain-pw"},
                                token=srv.token)
        self.assertEqual(status, 201, body)
        plain = srv.login("plain", "plain-pw")[1]["data"]["token"]
        for method, path in (("GET", "/scheduler/tasks"), ("GET", "/scheduler/tasks/1"),
                             ("PUT", "/scheduler/tasks/1"), ("POST", "/scheduler/tasks/1/run"),
                             ("GET", "/scheduler/logs"), ("DELETE", "/scheduler/logs")):
            self.expect(srv.call(method, path, {}, token="nope"), 401, "Unauthorized")
            self.expect(srv.call(method, path, {}, token=plain), 403, "Admin access required")

        for path in ("/scheduler/tasks/abc", "/scheduler/tasks/-1"):
            self.expect(srv.call("GET", path), 400, "Invalid task ID")
            self.expect(srv.call("PUT", path, {}), 400, "Invalid task ID")
        self.expect(srv.call("POST", "/scheduler/tasks/abc/run"), 400, "Invalid task ID")
        self.expect(srv.call("GET", "/scheduler/tasks/0"), 404, "Task not found")
        self.expect(srv.call("PUT", "/scheduler/tasks/999", {}), 404, "Task not found")
        self.expect(srv.call("POST", "/scheduler/tasks/999/run"), 404, "Task not found")
        for text in ("not json", "[1]"):
            self.expect(srv.json("PUT", "/api/v1/scheduler/tasks/%d" % first, text, token=srv.token), 400,
                        "Invalid JSON body")
        self.assertEqual(srv.call("PUT", "/scheduler/tasks/%d" % first, {})[1]["data"], {"message": "Task updated"})
        self.assertTrue(srv.task("log_cleanup")["user_modified"])
        self.assertEqual(srv.run("log_cleanup"), {"message": "Task executed"})

    def test_b_interval_runs_events_and_disable(self):
        srv = self.srv
        ws = WSClient.connect(srv.host, srv.ws_port, path="/", headers={"Authorization": "Bearer " + srv.token})
        try:
            ws.recv_json("welcome")
            ws.send_json({"type": "subscribe", "events": ["scheduler.task_start", "scheduler.task_result"]})
            srv.put("session_cleanup", {"interval_seconds": 1})
            t = srv.wait_task("session_cleanup", lambda t: t["run_count"] >= 2, timeout=30)
            self.assertGreaterEqual(t["run_count"], 2)
            self.assertEqual(t["last_result"], "success")
            self.assertEqual(utc_seconds(t["next_run"]) - utc_seconds(t["last_run"]), 1)
            # UTC, not the zone's local time (an hour or two away).
            self.assertLessEqual(abs(utc_seconds(t["last_run"]) - time.time()), 60)
            # The subscription may have begun in the middle of a run: its events are those of the
            # first run that starts after it (the task runs every second or two until disabled).
            seen = []
            while len(seen) < 2:
                ev = ws.recv_json("event", timeout=30)
                if ev["data"].get("task_name") != "session_cleanup":
                    continue
                if seen or ev["event"] == "scheduler.task_start":
                    seen.append(ev)
            self.assertEqual([e["event"] for e in seen], ["scheduler.task_start", "scheduler.task_result"])
            self.assertEqual(list(seen[0]["data"].keys()), ["task_name", "plugin_name"])
            self.assertEqual(list(seen[1]["data"].keys()),
                             ["task_name", "plugin_name", "success", "duration_ms", "error_message"])
            self.assertEqual((seen[1]["data"]["plugin_name"], seen[1]["data"]["success"],
                              seen[1]["data"]["error_message"]), ("system", True, ""))
        finally:
            ws.close()
        srv.put("session_cleanup", {"enabled": False})
        count = srv.wait_task("session_cleanup", lambda t: not t["is_running"])["run_count"]
        time.sleep(2.5)  # two ticks: the task would have been due in each
        self.assertEqual(srv.task("session_cleanup")["run_count"], count)
        # A disabled task still runs when an administrator asks.
        srv.run("session_cleanup")
        t = srv.task("session_cleanup")
        self.assertEqual((t["run_count"], t["enabled"], t["is_running"]), (count + 1, False, False))
        logged = srv.ok("GET", "/scheduler/logs?task=session_cleanup&per_page=200")["items"]
        self.assertEqual(len(logged), count + 1)
        self.assertEqual(list(logged[0].keys()), LOG_MEMBERS)
        self.assertEqual({(r["plugin_name"], r["result"]) for r in logged}, {("system", "success")})

    def test_c_cron_examples_read_back_as_next_run(self):
        srv = self.srv
        old_tz = os.environ.get("TZ")
        with environment(TZ=CET):
            time.tzset()
            now = time.time()
            today = time.localtime(now)
            candidates = [time.mktime((today.tm_year, today.tm_mon, today.tm_mday + d, 3, 0, 0, 0, 0, -1))
                          for d in (0, 1, 2)]
        time.tzset()
        at_three = min(c for c in candidates if c > now)
        srv.put("old_news_cleanup", {"cron_expr": "0 3 * * *"})
        self.assertEqual(srv.task("old_news_cleanup")["next_run"], utc_text(at_three))
        srv.put("old_news_cleanup", {"cron_expr": "*/15 * * * *"})
        next_quarter = (int(time.time()) // 900 + 1) * 900
        self.assertIn(utc_seconds(srv.task("old_news_cleanup")["next_run"]), (next_quarter, next_quarter + 900))
        # What the scheduler would never run as written is refused, and the task stays as it was
        # (disabled first, so that no run changes it meanwhile).
        srv.put("old_news_cleanup", {"enabled": False})
        before = srv.task("old_news_cleanup")
        path = "/scheduler/tasks/%d" % before["id"]
        for never, why in (("0 0 * * 7", 'day of week "7" is outside 0-6'),
                           ("0  3 * * *", "the expression has two spaces in a row (an empty field, which matches "
                                          "nothing)"),
                           ("61 * * * *", 'minute "61" is outside 0-59'),
                           ("0 0 31 2 *", "never matches: no month it names has a day of month it names")):
            self.expect(srv.call("PUT", path, {"cron_expr": never}), 400, "Invalid cron_expr: " + why)
        for bad in (0, -5, "30"):
            self.expect(srv.call("PUT", path, {"enabled": True, "interval_seconds": bad}), 400,
                        "Invalid interval_seconds: must be a whole number of seconds from 1 to 2147483647")
        self.assertEqual(srv.task("old_news_cleanup"), before)
        self.assertEqual(srv.sql("SELECT next_run, cron_expr FROM system_scheduler WHERE task_name = 'old_news_cleanup'"),
                         [[before["next_run"], "*/15 * * * *"]])
        self.assertEqual(old_tz, os.environ.get("TZ"))

    def test_d_failing_vacuum_is_a_failed_run(self):
        srv, fake = self.srv, self.fake
        fake.set_exit(3)
        try:
            self.assertEqual(srv.run("db_vacuum"), {"message": "Task executed"})
        finally:
            fake.set_exit(0)
        t = srv.task("db_vacuum")
        self.assertEqual((t["last_result"], t["last_error"], t["fail_count"]),
                         ("error", "sqlite3 VACUUM failed (exit code 3)", 1))
        self.assertEqual(fake.calls()[-1], os.path.join(srv.data_dir, "orvanta.db") + " VACUUM")
        row = srv.ok("GET", "/scheduler/logs?task=db_vacuum")["items"][0]
        self.assertEqual((row["result"], row["error_message"]), ("error", "sqlite3 VACUUM failed (exit code 3)"))
        self.assertTrue(srv.wait_for_log("Scheduler: task system/db_vacuum failed: sqlite3 VACUUM failed (exit code 3)"))
        self.assertEqual(srv.write_works(), 200)

    def test_e_maintenance_on_sqlite(self):
        self.check_maintenance(self.srv, self.fake)

    def test_f_run_log_paging_filter_and_clearing(self):
        srv = self.srv
        for _ in range(3):
            srv.run("wal_checkpoint")
        page = srv.ok("GET", "/scheduler/logs?per_page=1000")
        self.assertEqual(page["pagination"]["per_page"], 200)
        total = page["pagination"]["total"]
        self.assertEqual(len(page["items"]), min(total, 200))
        self.assertEqual(srv.ok("GET", "/scheduler/logs?per_page=0")["pagination"]["per_page"], 50)
        first = srv.ok("GET", "/scheduler/logs?page=0&per_page=2")
        self.assertEqual(first["pagination"]["page"], 1)
        self.assertEqual(first["items"], page["items"][:2])
        starts = [r["started_at"] for r in page["items"]]
        self.assertEqual(starts, sorted(starts, reverse=True))
        by_task = srv.ok("GET", "/scheduler/logs?task=wal_checkpoint&per_page=200")
        self.assertGreaterEqual(by_task["pagination"]["total"], 3)
        self.assertEqual({r["task_name"] for r in by_task["items"]}, {"wal_checkpoint"})
        by_plugin = srv.ok("GET", "/scheduler/logs?task=system&per_page=200")["items"]
        self.assertGreater(len({r["task_name"] for r in by_plugin}), 1)
        self.assertEqual({r["plugin_name"] for r in by_plugin}, {"system"})
        self.assertEqual(srv.ok("DELETE", "/scheduler/logs"), {"message": "Scheduler logs cleared"})
        self.assertEqual(srv.ok("GET", "/scheduler/logs?task=wal_checkpoint")["pagination"]["total"], 0)


class SchedulerOnServers(MaintenanceChecks, unittest.TestCase):
    def test_maintenance_on_postgresql_and_mariadb(self):
        backends = [db for db in db_backends() if db != "sqlite3"]
        if not backends:
            self.skipTest("no database servers")
        fake = FakeSqlite()
        try:
            for db in backends:
                with self.subTest(db=db):
                    srv = SchedServer(db=db)
                    try:
                        srv.start_in(fake.env())
                        self.check_maintenance(srv, fake)
                        self.assertEqual(srv.stop(), 0)
                    finally:
                        srv.stop()
                        srv.cleanup()
        finally:
            fake.cleanup()


class SchedulerThenRestart(unittest.TestCase):
    """After the other classes: the minute armed at the start has passed (or is waited for)."""

    @classmethod
    def setUpClass(cls):
        cls.srv, cls.fake = SRV, FAKE

    def test_y_every_minute_runs_within_the_minute(self):
        expected = utc_seconds(self.srv.every_minute_next)
        self.assertEqual(expected % 60, 0)
        # The minute after the one the edit was made in.
        before, after = self.srv.armed
        self.assertTrue(int(before) // 60 * 60 + 60 <= expected <= int(after) // 60 * 60 + 60,
                        (before, after, expected))
        t = self.srv.wait_task("plugin_update_check", lambda t: t["run_count"] >= 1,
                               timeout=max(5, expected - time.time() + 30))
        # One run in each minute from the first one on.
        self.assertGreaterEqual(t["run_count"], 1)
        self.assertEqual(utc_seconds(t["last_run"]) // 60 * 60, expected + 60 * (t["run_count"] - 1))
        self.assertEqual(utc_seconds(t["next_run"]), utc_seconds(t["last_run"]) // 60 * 60 + 60)

    def test_z_restart_keeps_edits_and_schedules_from_the_new_start(self):
        srv = self.srv
        srv.sql("INSERT INTO system_scheduler (task_name, plugin_name, category, schedule_type, interval_seconds, "
                "enabled) VALUES ('nightly', 'someplugin', 'plugin', 'interval', 3600, 1)")
        self.assertEqual(srv.stop(), 0)
        # Without a plug-in manager nothing removes the plug-in's row as an orphan.
        srv._merge("plugins", {"enabled": "0"})
        srv._merge("security", {"jwt_secret": srv.config_value("security", "jwt_secret")})
        write_ini(srv.config_path, srv.sections)
        started = time.time()
        srv.start_in(self.fake.env(CET))
        up = time.time()
        tasks = srv.tasks()
        self.assertEqual((tasks["session_cleanup"]["enabled"], tasks["session_cleanup"]["interval_seconds"],
                          tasks["session_cleanup"]["user_modified"]), (False, 1, True))
        self.assertEqual(tasks["plugin_update_check"]["cron_expr"], "* * * * *")
        for name, t in tasks.items():
            if not t["enabled"]:
                continue
            next_run = utc_seconds(t["next_run"])
            if t["schedule_type"] == "interval":
                # Scheduled from the moment the tasks were loaded, during the start.
                self.assertTrue(int(started) <= next_run - t["interval_seconds"] <= up + 1, name)
            else:
                self.assertGreater(next_run, started - 1, name)
        # Without a plug-in manager a plug-in's task fails.
        srv.run("nightly")
        t = srv.task("nightly")
        self.assertEqual((t["last_result"], t["last_error"]), ("error", "No plugin task runner available"))


if __name__ == "__main__":
    unittest.main()
