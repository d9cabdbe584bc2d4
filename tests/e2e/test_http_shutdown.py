"""SIGTERM while HTTP clients hold connections open and a request is inside its handler: the
process still ends in time, cleanly, and keeps every log line stored before the signal."""
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
        # A statement that keeps its handler busy for a while.
        answers = []
        query = threading.Thread(target=lambda: answers.append(self.query_answer(token)), daemon=True)
        query.start()
        # A line that goes through the process log (and its queue to the database), just before
        # the signal.
        user = "late%d" % (int(time.time() * 1000) % 100000000)
        status, body = srv.json("POST", "/api/v1/users", {"username": user, "password": "secret99"}, token=token)
        self.assertEqual(status, 201, body)
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

    def query_answer(self, token):
        sql = ("WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 10000000) "
               "SELECT count(*) FROM c")
        try:
            return self.srv.json("POST", "/api/v1/admin/query", {"sql": sql}, token=token, timeout=STOP_BOUND + 5)[0]
        except OSError as e:  # cut by the stop
            return e


if __name__ == "__main__":
    unittest.main()
