"""Server restarts end to end: the restart status, a restart when no BBS session is active (the
restart monitor checks every 10 s), cancelling it, an immediate restart whose exit code 42 a
supervisor loop answers by starting the server again, and a prompt SIGTERM while the monitor runs.
The servers run side by side, so the monitor's waits overlap."""
import signal
import threading
import time
import unittest

from ovfixture import OVServer, error_message

API = "/api/v1"
RESTART = API + "/system/restart"
WAITING = "Restart monitor: 2 active BBS session(s) \u2014 waiting"
NO_SESSIONS = "Restart monitor: no active BBS sessions \u2014 initiating restart"


class Supervised(OVServer):
    """A server run by a supervisor loop: started again each time it exits with 42."""

    def __enter__(self):
        return self

    def supervise(self):
        self.exit_codes = []
        self.lives = 0
        self._loop = threading.Thread(target=self._run, daemon=True)
        self._loop.start()
        return self

    def _run(self):
        while True:
            self.start(wait=False)
            self.lives += 1
            code = self.proc.wait()
            self._close_pipes()
            self.exit_codes.append(code)
            if code != 42:
                return

    def wait_life(self, n, timeout=30):
        """Waits until the n-th life serves."""
        deadline = time.time() + timeout
        while time.time() < deadline:
            if self.lives >= n and self.proc.poll() is None:
                try:
                    if self.request("GET", "/health", timeout=2)[0] == 200:
                        return
                except OSError:
                    pass
            time.sleep(0.05)
        raise AssertionError("life %d did not come up; exit codes %s" % (n, self.exit_codes))

    def finish(self, timeout=30):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        self._loop.join(timeout)
        return self.exit_codes


class Restart(unittest.TestCase):
    def test_status_idle_cancel_now_and_monitor(self):
        # B: a restart when idle without any BBS session; it exits while A is being tested.
        idle = OVServer().start()
        self.addCleanup(idle.cleanup)
        self.addCleanup(lambda: idle.proc.poll() is None and idle.stop())
        idle_token = idle.setup_admin()
        self.assertEqual(idle.json("POST", RESTART, {"when": "idle"}, token=idle_token),
                         (200, {"success": True, "data": {"mode": "idle", "active_bbs_sessions": 0}}))
        idle_asked = time.time()

        with Supervised({"logging": {"log_level": "debug"}}) as srv:
            srv.install_plugin("route_c")
            srv.supervise().wait_life(1)
            admin = srv.setup_admin()
            self.assertEqual(srv.json("POST", API + "/plugins/enable", {"name": "RouteC"}, token=admin)[0], 200)
            self.assertEqual(srv.json("POST", API + "/users", {"username": "joe", "password": "pw-1234"},
                                      token=admin)[0], 201)
            joe = srv.login("joe", "pw-1234")[1]["data"]["token"]
            self.assertEqual(srv.json("GET", RESTART, token=joe), (200, {"success": True, "data": {
                "restart_pending": False, "restart_when_idle": False, "active_bbs_sessions": 0, "reasons": []}}))
            for method, token, status in (("GET", None, 401), ("POST", None, 401), ("POST", joe, 403)):
                self.assertEqual(srv.json(method, RESTART, {"when": "now"}, token=token)[0], status)

            # A node online with two callers, its heartbeat 30 s old: the monitor keeps waiting.
            srv.sql("INSERT INTO thin_client_nodes (client_name, last_heartbeat, status, active_nodes) "
                    "VALUES ('node-x', datetime('now', '-30 seconds'), 'online', 2)")
            srv.sql("INSERT INTO thin_client_nodes (client_name, last_heartbeat, status, active_nodes) "
                    "VALUES ('node-old', datetime('now', '-3 minutes'), 'online', 5)")
            self.assertEqual(srv.json("POST", RESTART, {"when": "idle"}, token=admin),
                             (200, {"success": True, "data": {"mode": "idle", "active_bbs_sessions": 2}}))
            self.assertTrue(srv.wait_for_log(WAITING, timeout=15), srv.log_text()[-2000:])
            self.assertEqual(srv.json("POST", RESTART, {"when": "cancel"}, token=admin),
                             (200, {"success": True, "data": {"mode": "cancelled"}}))
            self.assertEqual(srv.json("GET", RESTART, token=admin)[1]["data"], {
                "restart_pending": True, "restart_when_idle": False, "active_bbs_sessions": 2,
                "reasons": ["Admin requested restart when idle"]})

            # Any other "when" restarts at once: the answer comes first, then exit code 42.
            self.assertEqual(srv.json("POST", RESTART, {"when": "soon"}, token=admin),
                             (200, {"success": True, "data": {"mode": "now", "message": "Server restarting..."}}))
            srv.wait_life(2)
            self.assertEqual(srv.exit_codes, [42])
            self.assertEqual(srv.value("SELECT action || '|' || target || '|' || details FROM audit_log "
                                       "WHERE action = 'server_restart'"), "server_restart||Restart triggered from web admin")
            # The new life: no restart pending, and the plug-in enabled before is enabled again.
            self.assertEqual(srv.json("GET", RESTART, token=admin)[1]["data"]["restart_pending"], False)
            self.assertEqual(srv.json("GET", RESTART, token=admin)[1]["data"]["reasons"], [])
            self.assertEqual(srv.json("GET", API + "/plugins/RouteC/echo", token=joe)[0], 200)
            self.assertEqual(srv.finish(), [42, 0])
            self.assertIn("Immediate restart requested by sysop", srv.log_text())
            self.assertIn("Restart when idle cancelled by sysop", srv.log_text())

        # B ended on its own at the monitor's first check (10 s after it started), which found no
        # session; the bound leaves room for its shutdown on a busy machine.
        self.assertEqual(idle.wait_exit(timeout=20), 42)
        self.assertLess(time.time() - idle_asked, 15)
        self.assertIn(NO_SESSIONS, idle.stdout)
        self.assertIn("Restarting server (plugins updated)...", idle.stdout)

    def test_sigterm_with_the_monitor_running(self):
        with OVServer() as srv:
            started = time.time()
            self.assertEqual(srv.stop(), 0)
            self.assertLess(time.time() - started, 5)
            steps = [l for l in srv.stderr.splitlines() if l.startswith("[shutdown] ")]
            self.assertEqual(steps[1:5], ["[shutdown] event server.stop", "[shutdown] RestartMonitor.Terminate",
                                          "[shutdown] RestartMonitor.WaitFor", "[shutdown] WebFileWatcher.StopWatching"])


if __name__ == "__main__":
    unittest.main()
