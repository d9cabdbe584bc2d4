"""Bounded shutdown: SIGTERM while a request runs a statement that would take hours ends the
process in time, with every log line stored, on every database backend available to the run;
SIGTERM while a request waits on a registry that trickles its answer ends it at once."""
import os
import subprocess
import sys
import threading
import time
import unittest

from ovfixture import OVServer, db_backends, error_message
from wsclient import WSClient

# Hours of work for the SQL console, holding the write lock all along: counting to 10^9 (MariaDB
# ends a recursion after max_recursive_iterations, 1000 by default: it scans 10^12 pairs).
COUNTING = ("WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 1000000000) "
            "SELECT COUNT(*) FROM c")
RUNAWAY = {"sqlite3": COUNTING, "postgresql": COUNTING,
           "mariadb": "SELECT COUNT(*) FROM seq_1_to_1000000 a, seq_1_to_1000000 b WHERE a.seq + b.seq = 3"}


class RunawayStatement(unittest.TestCase):
    def test_sigterm_during_a_runaway_console_statement(self):
        for db in db_backends():
            with self.subTest(db=db):
                self.check_backend(db)

    def check_backend(self, db):
        with OVServer(db=db) as srv:
            token = srv.setup_admin()
            answer = {}

            def run_console():
                answer["reply"] = srv.json("POST", "/api/v1/admin/query", {"sql": RUNAWAY[db]}, token=token, timeout=60)

            console = threading.Thread(target=run_console, daemon=True)
            console.start()
            time.sleep(0.5)  # the statement is running and holds the write lock
            # A line logged while the statement runs waits in the log sink behind the write lock.
            marker = "marker-%d-%s" % (os.getpid(), db)
            ws = WSClient.connect(srv.host, srv.port, path="/ws?token=" + token)
            ws.recv_json("welcome")
            ws.send_json({"type": "register", "client_name": marker, "client_id": marker})
            self.assertTrue(srv.wait_for_log('registered as "%s"' % marker), srv.log_text()[-2000:])
            ws.close()

            started = time.time()
            self.assertEqual(srv.stop(timeout=30), 0, srv.stderr[-3000:])
            self.assertLess(time.time() - started, 15, srv.stderr[-3000:])
            console.join(10)
            # The statement was interrupted and its request answered, not abandoned.
            status, body = answer["reply"]
            self.assertEqual(status, 400, body)
            self.assertTrue(error_message(body).startswith("SQL error: "), body)
            self.assertNotIn("still in use", srv.log_text())

            # After a restart the lines logged before and during shutdown are all stored.
            srv.start()
            status, body = srv.login()
            self.assertEqual(status, 200, body)
            token = body["data"]["token"]
            for text, source in ((marker, "ws"), ("Received signal 15", "system"), ("DB.Free", "shutdown")):
                status, body = srv.json("GET", "/api/v1/logs?search=%s&source=%s" % (text.replace(" ", "%20"), source),
                                        token=token)
                self.assertEqual(status, 200, body)
                self.assertGreaterEqual(len(body["data"]["items"]), 1, (text, body))
            self.assertEqual(srv.stop(), 0)


class RegistryTransferAtStop(unittest.TestCase):
    def test_sigterm_during_a_registry_transfer_on_a_trickling_registry(self):
        """A check-in and a package download are cut as the stop begins, not half-way through the
        wait for running requests: the process ends at once, and the request and the log say that
        the server is stopping, not that the registry failed."""
        # The unit tests' loopback server: every path under /trickle answers one byte every 0.2 s,
        # too fast for a time-out without data; it prints a line per request it receives.
        script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "unit", "support", "loopback_http.py")
        registry = subprocess.Popen([sys.executable, script], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.addCleanup(registry.wait, 10)
        self.addCleanup(registry.stdin.close)
        port = int(registry.stdout.readline().split()[1])
        trickle = "http://127.0.0.1:%d/trickle" % port
        listed = ("INSERT INTO plugin_updates (plugin_name, latest_version, download_url, has_update) "
                  "VALUES ('Slow', '1.0.0', '%s/Slow-1.0.0.ovp', 1)" % trickle)
        # (what the request does, the path the registry sees, the answer, the log line)
        cases = (("POST", "/api/v1/plugins/updates/check", None, "/trickle/api/v1/registry/check-in",
                  "Server is stopping: plugin registry check-in cancelled",
                  "[INFO] Registry check-in cancelled: server is stopping"),
                 ("POST", "/api/v1/plugins/install", {"name": "Slow"}, "/trickle/Slow-1.0.0.ovp",
                  "Server is stopping: package download cancelled",
                  "[INFO] Plugin download cancelled: server is stopping"))
        for method, path, body, seen, message, line in cases:
            with self.subTest(path=path), OVServer(config={"plugins": {"registry_url": trickle}}) as srv:
                token = srv.setup_admin()
                self.assertEqual(srv.json("POST", "/api/v1/admin/query", {"sql": listed}, token=token)[0], 200)
                answer = {}

                def request():
                    answer["reply"] = srv.json(method, path, body, token=token, timeout=60)

                worker = threading.Thread(target=request, daemon=True)
                worker.start()
                self.assertIn(seen, registry.stdout.readline())
                started = time.monotonic()
                self.assertEqual(srv.stop(timeout=30), 0, srv.stderr[-3000:])
                self.assertLess(time.monotonic() - started, 1.5, srv.stderr[-3000:])
                worker.join(10)
                status, reply = answer["reply"]
                self.assertEqual((status, error_message(reply)), (503, message))
                self.assertIn(line, srv.stdout)
                for blame in ("Registry check-in failed", "Could not reach plugin registry", "unreachable",
                              "Plugin download failed"):
                    self.assertNotIn(blame, srv.stdout)


if __name__ == "__main__":
    unittest.main()
