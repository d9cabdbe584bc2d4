"""SIGTERM while HTTP clients hold connections open and a request is inside its handler: the
process still ends in time, cleanly, and keeps every log line stored before the signal."""
import http.client
import json
import socket
import threading
import time
import unittest
from urllib.parse import quote

from ovfixture import OVServer

# What SIGTERM may take at most, whatever the clients and handlers are doing.
STOP_BOUND = 15


class StopWithBusyConnections(unittest.TestCase):
    def setUp(self):
        # A long idle time-out, so only the stop itself can end the stalled connections.
        self.srv = OVServer(config={"security": {"connection_timeout": "120"}})
        self.sockets = []

    def tearDown(self):
        for s in self.sockets:
            s.close()
        try:
            if self.srv.proc and self.srv.proc.poll() is None:
                self.srv.stop()
        finally:
            self.srv.cleanup()

    def stalled(self, data):
        s = socket.create_connection((self.srv.host, self.srv.port), timeout=STOP_BOUND + 5)
        s.sendall(data)
        self.sockets.append(s)
        return s

    def logged(self, token, text):
        status, body = self.srv.json("GET", "/api/v1/logs?limit=100&search=" + quote(text), token=token)
        self.assertEqual(status, 200, body)
        return [item["message"] for item in body["data"]["items"]]

    def test_sigterm_with_a_slow_client_and_a_running_handler(self):
        srv = self.srv
        srv.start()
        token = srv.setup_admin()
        marker = "before-the-signal-%d" % int(time.time() * 1000)
        status, body = srv.json("POST", "/api/v1/logs", {"message": marker, "level": "warning"}, token=token)
        self.assertEqual(status, 200, body)

        # Half a request head, then nothing.
        head = self.stalled(b"GET /index.html HTTP/1.1\r\nHost: x\r\nAccept: text/")
        # A whole head and a tenth of the body it announced, then nothing: a running request.
        body_stall = self.stalled(b"POST /api/v1/logs HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n"
                                  b"Content-Length: 200\r\n\r\n{\"message\": ")
        # A line that goes through the process log (and its queue to the database) before the
        # signal.  Made first: a writer would wait behind the statement below, which holds the
        # write connection.
        user = "late%d" % (int(time.time() * 1000) % 100000000)
        status, body = srv.json("POST", "/api/v1/users", {"username": user, "password": "secret99"}, token=token)
        self.assertEqual(status, 201, body)
        # A statement that keeps its handler busy for about two seconds on this machine, however
        # busy it is (well inside the stop's wait for running handlers).
        rows = self.rows_for(token, seconds=2.0)
        answers = []
        sent = threading.Event()
        query = threading.Thread(target=lambda: answers.append(self.query_answer(token, rows, sent)), daemon=True)
        query.start()
        self.assertTrue(sent.wait(10))
        time.sleep(0.3)

        started = time.time()
        self.assertEqual(srv.stop(timeout=STOP_BOUND + 15), 0, srv.stderr)
        self.assertLess(time.time() - started, STOP_BOUND)
        self.assertIn("[shutdown] done", srv.stderr)
        for s in (head, body_stall):
            try:
                self.assertEqual(s.recv(100), b"")  # closed by the server without an answer
            except ConnectionResetError:
                pass
        # The request inside its handler had the wait to finish, and did.
        query.join(STOP_BOUND)
        self.assertEqual(answers, [200])

        srv.start()
        status, body = srv.login()
        self.assertEqual(status, 200, body)
        token = body["data"]["token"]
        self.assertEqual(self.logged(token, marker), [marker])
        self.assertTrue(any(user in m and "created by sysop" in m for m in self.logged(token, user)))
        self.assertTrue(self.logged(token, "Received signal 15"))

    @staticmethod
    def count_sql(rows):
        return ("WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < %d) "
                "SELECT count(*) FROM c" % rows)

    def rows_for(self, token, seconds):
        """How many rows the counting statement needs to run about `seconds` here and now."""
        probe = 200000
        started = time.monotonic()
        status, body = self.srv.json("POST", "/api/v1/admin/query", {"sql": self.count_sql(probe)}, token=token,
                                     timeout=60)
        self.assertEqual(status, 200, body)
        took = max(time.monotonic() - started, 0.001)
        return int(min(max(probe * seconds / took, probe), 10 ** 8))

    def query_answer(self, token, rows, sent):
        conn = http.client.HTTPConnection(self.srv.host, self.srv.port, timeout=STOP_BOUND + 5)
        try:
            conn.request("POST", "/api/v1/admin/query", body=json.dumps({"sql": self.count_sql(rows)}),
                         headers={"Authorization": "Bearer " + token, "Content-Type": "application/json"})
            sent.set()
            resp = conn.getresponse()
            resp.read()
            return resp.status
        except OSError as e:  # cut by the stop
            return e
        finally:
            sent.set()
            conn.close()


if __name__ == "__main__":
    unittest.main()
