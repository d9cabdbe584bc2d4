"""The database server restarted, or stopped and started again, under a running board: logins and
writes work again within two seconds, without a restart of the board, and nothing acknowledged is
lost; while the server is down, writers fail at once and /health says the database is not ok.

The module restarts servers of its own (scripts/test-db-servers), not the ones the other tests
share."""
import os
import shutil
import subprocess
import tempfile
import time
import unittest

from ovfixture import OVServer, ROOT

SCRIPT = os.path.join(ROOT, "scripts", "test-db-servers")
# (the fixture's name of the backend, the script's name of the server, its variable prefix)
ENGINES = (("postgresql", "pg", "OV_TEST_PG_"), ("mariadb", "mariadb", "OV_TEST_MYSQL_"))
# How soon after the server answers again a login and a user creation must have worked.
BACK_WITHIN = 2.0
VERSION = "0.5.33"

_state = None
_saved_env = {}


def setUpModule():
    global _state
    if not any(os.environ.get(prefix + "PORT") for _, _, prefix in ENGINES):
        raise unittest.SkipTest("no database servers in this run")
    _state = tempfile.mkdtemp(prefix="ov-dbrestart-")
    out = subprocess.run([SCRIPT, "start", _state], capture_output=True, text=True, timeout=240)
    if out.returncode != 0:
        subprocess.run([SCRIPT, "stop", _state], capture_output=True, timeout=120)
        shutil.rmtree(_state, ignore_errors=True)
        _state = None
        raise AssertionError("the module's database servers did not start:\n" + out.stdout + out.stderr)
    # The fixture makes each board's database on the servers these variables name.
    for line in out.stdout.splitlines():
        if line.startswith("OV_TEST_") and "=" in line:
            key, value = line.split("=", 1)
            _saved_env.setdefault(key, os.environ.get(key))
            os.environ[key] = value


def tearDownModule():
    for key, value in _saved_env.items():
        if value is None:
            os.environ.pop(key, None)
        else:
            os.environ[key] = value
    if _state:
        subprocess.run([SCRIPT, "stop", _state], capture_output=True, timeout=120)


class DatabaseServerRestart(unittest.TestCase):
    def engines(self):
        """(backend, server) of each server running."""
        return [(db, server) for db, server, prefix in ENGINES if os.environ.get(prefix + "PORT")]

    def server_does(self, verb, server):
        """Stops (down), starts (up) or restarts the database server; returns once it is gone or
        answers again."""
        out = subprocess.run([SCRIPT, verb, _state, server], capture_output=True, text=True, timeout=120)
        self.assertEqual(out.returncode, 0, out.stdout + out.stderr)

    def create_user(self, srv, token, name):
        return srv.json("POST", "/api/v1/users", {"username": name, "password": "secret99"}, token=token)

    def back_at_once(self, srv, admin, name):
        """Once the server answers again: within BACK_WITHIN seconds a login works (a request
        that comes before the board's next attempt on a server it found down is refused with 503
        and Retry-After), then a user creation at the first attempt, and /health is fine again."""
        started = time.monotonic()
        answers = []
        while not answers or (answers[-1][0] == 503 and time.monotonic() - started < BACK_WITHIN):
            if answers:
                time.sleep(0.05)
            answers.append(srv.login())
        status, body = answers[-1]
        self.assertEqual(status, 200, body)
        status, body = self.create_user(srv, body["data"]["token"], name)
        self.assertEqual(status, 201, body)
        took = time.monotonic() - started
        self.assertLess(took, BACK_WITHIN, "login and user creation took %.2f s" % took)
        self.assertEqual(srv.json("GET", "/health"), (200, {"status": "healthy", "version": VERSION, "database": "ok"}))

    def test_restarted_server_is_used_again_at_once(self):
        for db, server in self.engines():
            with self.subTest(db=db), OVServer(db=db) as srv:
                pid = srv.proc.pid
                admin = srv.setup_admin()
                acknowledged = []
                for name in ("before1", "before2"):
                    status, body = self.create_user(srv, admin, name)
                    self.assertEqual(status, 201, body)
                    acknowledged.append(name)
                # Twice: the second restart finds the connections the board made after the first.
                for n in (1, 2):
                    self.server_does("restart", server)
                    self.back_at_once(srv, admin, "after%d" % n)
                    acknowledged.append("after%d" % n)
                self.assertTrue(srv.wait_for_log("ov_database: write connection reconnected"), srv.log_text()[-3000:])
                self.assertEqual((srv.proc.pid, srv.proc.poll()), (pid, None))  # never restarted
                self.assertEqual(srv.stop(), 0)
                users = {row[0] for row in srv.db_rows("SELECT username FROM users")}
                self.assertLessEqual(set(acknowledged), users)

    def test_stopped_server_fails_writers_at_once_and_health_says_so(self):
        for db, server in self.engines():
            with self.subTest(db=db), OVServer(db=db) as srv:
                admin = srv.setup_admin()
                self.server_does("down", server)
                try:
                    for n in range(3):
                        started = time.monotonic()
                        status, body = self.create_user(srv, admin, "down%d" % n)
                        took = time.monotonic() - started
                        self.assertEqual((status, body["error"]["message"]), (503, "Database unavailable"), body)
                        # At once: far below one connect time-out (5 s), let alone TCP's own.
                        self.assertLess(took, 2.5, "a writer waited %.2f s" % took)
                    self.assertEqual(srv.login()[0], 503)
                    self.assertEqual(srv.json("GET", "/health"),
                                     (200, {"status": "degraded", "version": VERSION, "database": "error"}))
                    # The outage is told once, with the driver's reason.
                    self.assertTrue(srv.wait_for_log("reconnect failed: "), srv.log_text()[-3000:])
                finally:
                    self.server_does("up", server)
                self.back_at_once(srv, admin, "afterwards")
                self.assertEqual(srv.stop(), 0)
                users = {row[0] for row in srv.db_rows("SELECT username FROM users")}
                self.assertIn("afterwards", users)
                self.assertFalse({"down0", "down1", "down2"} & users)


if __name__ == "__main__":
    unittest.main()
