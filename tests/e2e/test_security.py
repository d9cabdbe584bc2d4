"""The security gate (rate limit, IP blacklist, gate modes) and the login throttle, from outside.

Clients bind 127.0.0.2 and up as their source address; 127.0.0.1 is the console address that is
never limited or banned.  Every class runs once per available database backend.
"""
import datetime
import select
import socket
import sys
import threading
import time
import unittest

from ovfixture import OVServer, db_backends, error_message, wait_until


class Server(OVServer):
    """The fixture plus polling for an answer that changes with a cached ban."""

    def wait_status(self, method, path, status, source, timeout=8):
        """Polls until the answer has the status (the blacklist caches answers for a moment)."""
        deadline = time.time() + timeout
        got = None
        while time.time() < deadline:
            got = self.request(method, path, source=source)[0]
            if got == status:
                return True
            time.sleep(0.2)
        return got == status


def utc_text(delta_seconds):
    t = datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(seconds=delta_seconds)
    return t.strftime("%Y-%m-%d %H:%M:%S")


def per_backend(cls):
    """Registers one copy of the test class for every available database, in the class's module."""
    module = sys.modules[cls.__module__].__dict__
    for db in db_backends():
        name = "%s_%s" % (cls.__name__, db)
        module[name] = type(name, (cls, unittest.TestCase), {"DB": db, "__module__": cls.__module__})
    return cls


# ---- rate limit ---------------------------------------------------------------------------------

@per_backend
class RateLimitGate:
    DB = "sqlite3"

    @classmethod
    def setUpClass(cls):
        cls.srv = Server(db=cls.DB, config={"security": {"rate_limit_per_minute": "5"}}).start()

    @classmethod
    def tearDownClass(cls):
        cls.srv.stop()
        cls.srv.cleanup()

    def test_sixth_request_in_a_minute_is_refused(self):
        srv = self.srv
        for i in range(5):
            path = ["/api/v1/setup/status", "/", "/index.html", "/api/v1/nope", "/api/v1/setup/status"][i]
            self.assertNotEqual(srv.request("GET", path, source="127.0.0.2")[0], 429, path)
        status, headers, text = srv.request("GET", "/api/v1/setup/status", source="127.0.0.2")
        self.assertEqual(status, 429)
        self.assertEqual(headers.get("retry-after"), "60")
        self.assertEqual(error_message(srv.json("GET", "/", source="127.0.0.2")[1]), "Too many requests")
        self.assertEqual(srv.request("OPTIONS", "/api/v1/users", source="127.0.0.2")[0], 429)
        # /health is outside the gate; other addresses have their own window; the console
        # address is never limited.
        self.assertEqual(srv.request("GET", "/health", source="127.0.0.2")[0], 200)
        self.assertEqual(srv.request("GET", "/api/v1/setup/status", source="127.0.0.3")[0], 200)
        for _ in range(12):
            self.assertEqual(srv.request("GET", "/api/v1/setup/status")[0], 200)
        self.assertTrue(srv.wait_for_log("Rate limit exceeded for IP: 127.0.0.2"))
        self.assertNotIn("Rate limit exceeded for IP: 127.0.0.1", srv.log_text())


class NoConnectionsPerAddress(unittest.TestCase):
    """A connection limit of 0 refuses addresses that hold hub connections, not every address."""

    @classmethod
    def setUpClass(cls):
        cls.srv = Server(config={"security": {"max_connections_per_ip": "0"}}).start()

    @classmethod
    def tearDownClass(cls):
        cls.srv.stop()
        cls.srv.cleanup()

    def test_addresses_without_connections_are_served(self):
        for source in ("127.0.0.2", "127.0.0.3"):
            self.assertEqual(self.srv.request("GET", "/api/v1/setup/status", source=source)[0], 200, source)
        self.assertNotIn("Max connections per IP exceeded", self.srv.log_text())


# ---- connections waiting for their request head -------------------------------------------------

PARTIAL_HEAD = b"GET /index.html HTTP/1.1\r\nHost: x\r\n"  # never finished


def open_partial(source, port):
    s = socket.create_connection(("127.0.0.1", port), timeout=2, source_address=(source, 0))
    s.sendall(PARTIAL_HEAD)
    return s


def closed_soon(sock, wait=0.5):
    """True when the server closes the connection within wait seconds."""
    sock.settimeout(wait)
    try:
        return sock.recv(1) == b""
    except socket.timeout:
        return False
    except OSError:
        return True


class SlowHeadFlood(threading.Thread):
    """Keeps up to n connections from source open, each with a head that never ends, and opens
    a new one for every connection the server closes."""

    def __init__(self, source, port, n):
        super().__init__(daemon=True)
        self.source, self.port, self.n = source, port, n
        self.stop = threading.Event()
        self.opened = 0
        self.socks = []

    def run(self):
        while not self.stop.is_set():
            while len(self.socks) < self.n and not self.stop.is_set():
                try:
                    self.socks.append(open_partial(self.source, self.port))
                    self.opened += 1
                except OSError:
                    time.sleep(0.01)
            ready, _, _ = select.select(self.socks, [], [], 0.05)
            for s in ready:
                try:
                    data = s.recv(4096)
                except OSError:
                    data = b""
                if not data:
                    s.close()
                    self.socks.remove(s)

    def finish(self):
        self.stop.set()
        self.join(10)
        for s in self.socks:
            s.close()


class SlowHeadsEnforce(unittest.TestCase):
    """One address that opens many connections and is slow to finish its request heads:
    max_connections_per_ip is the rate limiter's key (the hub's connections), not a cap on them;
    none is cut and everyone else is served.  (Waiting connections cost no thread: that is
    test_http's; the descriptor guard is test_http_caps'.)"""

    LIMIT = 4
    FLOOD = 6 * LIMIT

    @classmethod
    def setUpClass(cls):
        cls.srv = Server(config={"security": {"max_connections_per_ip": str(cls.LIMIT)}}).start()

    @classmethod
    def tearDownClass(cls):
        cls.srv.stop()
        cls.srv.cleanup()

    def test_flood_from_one_address_is_not_cut_and_others_are_served(self):
        srv = self.srv
        flood = SlowHeadFlood("127.0.0.2", srv.port, self.FLOOD)
        flood.start()
        try:
            # The flood has opened all its connections before the ordinary client asks (on a
            # slow machine that takes a while).
            self.assertTrue(wait_until(lambda: flood.opened >= flood.n, 30))
            answered = 0
            for _ in range(30):
                try:
                    answered += srv.request("GET", "/health", source="127.0.0.3", timeout=30)[0] == 200
                except OSError:
                    pass
            self.assertEqual(answered, 30)
            # None of the flood's connections was closed (the flood opens a new one for each).
            self.assertEqual(flood.opened, flood.n)
        finally:
            flood.finish()
        self.assertNotIn("HTTP connection from 127.0.0.2 refused", srv.log_text())

    def test_console_address_is_not_limited(self):
        socks = [open_partial("127.0.0.1", self.srv.port) for _ in range(self.LIMIT + 2)]
        try:
            self.assertFalse(any(closed_soon(s) for s in socks))
        finally:
            for s in socks:
                s.close()


class SlowHeadsLogMode(unittest.TestCase):
    """In mode "log" as well, connections past max_connections_per_ip are served, and nothing
    would have been refused."""

    @classmethod
    def setUpClass(cls):
        cls.srv = Server(config={"security": {"max_connections_per_ip": "2", "security_gate_mode": "log"}}).start()

    @classmethod
    def tearDownClass(cls):
        cls.srv.stop()
        cls.srv.cleanup()

    def test_served_and_nothing_logged(self):
        srv = self.srv
        socks = [open_partial("127.0.0.2", srv.port) for _ in range(5)]
        try:
            self.assertFalse(any(closed_soon(s) for s in socks))
            for s in socks:
                s.sendall(b"\r\n")
                s.settimeout(5)
                self.assertTrue(s.recv(64).startswith(b"HTTP/1.1 200"))
        finally:
            for s in socks:
                s.close()
        self.assertNotIn("would refuse HTTP connection", srv.log_text())


# ---- blacklist ----------------------------------------------------------------------------------

@per_backend
class BlacklistGate:
    DB = "sqlite3"

    @classmethod
    def setUpClass(cls):
        cls.srv = Server(db=cls.DB).start()

    @classmethod
    def tearDownClass(cls):
        cls.srv.stop()
        cls.srv.cleanup()

    def test_1_banned_address_is_refused_everywhere_but_health(self):
        srv = self.srv
        srv.sql("INSERT INTO ip_blacklist (ip_address, reason) VALUES ('127.0.0.2', 'e2e')")
        srv.sql("INSERT INTO ip_blacklist (ip_address, reason) VALUES ('127.0.0.1', 'never applies')")
        self.assertTrue(srv.wait_status("GET", "/", 403, "127.0.0.2"))
        status, body = srv.json("GET", "/api/v1/setup/status", source="127.0.0.2")
        self.assertEqual((status, error_message(body)), (403, "Forbidden"))
        self.assertEqual(srv.request("OPTIONS", "/api/v1/setup", source="127.0.0.2")[0], 403)
        self.assertEqual(srv.request("POST", "/api/v1/auth/login", body={"username": "a", "password": "b"},
                                     source="127.0.0.2")[0], 403)
        self.assertEqual(srv.request("GET", "/health", source="127.0.0.2")[0], 200)
        self.assertEqual(srv.request("GET", "/", source="127.0.0.3")[0], 200)
        self.assertEqual(srv.request("GET", "/")[0], 200)
        self.assertEqual(srv.request("OPTIONS", "/api/v1/setup")[0], 204)

    def test_2_expiry_is_compared_with_the_servers_utc_clock(self):
        srv = self.srv
        srv.sql("INSERT INTO ip_blacklist (ip_address, reason, expires_at) VALUES ('127.0.0.4', 'old', '%s')"
                % utc_text(-120))
        srv.sql("INSERT INTO ip_blacklist (ip_address, reason, expires_at) VALUES ('127.0.0.5', 'soon', '%s')"
                % utc_text(3600))
        self.assertTrue(srv.wait_status("GET", "/", 403, "127.0.0.5"))
        self.assertEqual(srv.request("GET", "/", source="127.0.0.4")[0], 200)

    def test_3_restart_purges_expired_bans(self):
        srv = self.srv
        srv.stop()
        srv.start()
        self.assertEqual(srv.sql("SELECT ip_address FROM ip_blacklist ORDER BY ip_address"),
                         [["127.0.0.1"], ["127.0.0.2"], ["127.0.0.5"]])
        self.assertEqual(srv.request("GET", "/", source="127.0.0.2")[0], 403)
        self.assertEqual(srv.request("GET", "/", source="127.0.0.4")[0], 200)
        self.assertIn("Security subsystems initialized", srv.log_text())


# ---- gate modes ---------------------------------------------------------------------------------

class GateModesBase:
    DB = "sqlite3"
    MODE = "log"

    @classmethod
    def setUpClass(cls):
        cls.srv = Server(db=cls.DB, config={"security": {"rate_limit_per_minute": "2",
                                                           "security_gate_mode": cls.MODE}}).start()

    @classmethod
    def tearDownClass(cls):
        cls.srv.stop()
        cls.srv.cleanup()

    def serve_banned_and_limited(self):
        srv = self.srv
        srv.sql("INSERT INTO ip_blacklist (ip_address, reason) VALUES ('127.0.0.2', 'e2e')")
        for _ in range(4):
            self.assertEqual(srv.request("GET", "/index.html", source="127.0.0.2")[0], 200)
        return srv


@per_backend
class GateLogMode(GateModesBase):
    MODE = "log"

    def test_served_with_warnings(self):
        srv = self.serve_banned_and_limited()
        self.assertTrue(srv.wait_for_log("[gate:log] would block banned IP 127.0.0.2 for GET /index.html"))
        self.assertTrue(srv.wait_for_log("[gate:log] would rate-limit IP 127.0.0.2 for GET /index.html"))
        # The login endpoint still refuses a blacklisted address itself.
        status, body = srv.login("x", "y", source="127.0.0.2")
        self.assertEqual((status, error_message(body)), (403, "IP address is blacklisted"))


@per_backend
class GateOffMode(GateModesBase):
    MODE = "off"

    def test_served_silently(self):
        srv = self.serve_banned_and_limited()
        self.assertEqual(srv.request("OPTIONS", "/api/v1/setup", source="127.0.0.2")[0], 204)
        time.sleep(0.3)
        log = srv.log_text()
        self.assertNotIn("[gate:log]", log)
        self.assertNotIn("Rate limit exceeded", log)


# ---- login throttle -----------------------------------------------------------------------------

@per_backend
class LoginThrottling:
    DB = "sqlite3"

    @classmethod
    def setUpClass(cls):
        cls.srv = Server(db=cls.DB, config={"security": {
            "login_lockout_attempts": "3", "login_lockout_minutes": "5",
            "ip_ban_threshold": "5", "ip_ban_duration_minutes": "7"}}).start()
        token = cls.srv.setup_admin()
        for name in ("ann", "bob", "cat", "dan", "eve", "fay", "gus"):
            status, body = cls.srv.json("POST", "/api/v1/users", {"username": name, "password": "pw-" + name},
                                        token=token)
            assert status == 201, body

    @classmethod
    def tearDownClass(cls):
        cls.srv.stop()
        cls.srv.cleanup()

    def test_name_lock_any_case(self):
        srv = self.srv
        for _ in range(3):
            self.assertEqual(srv.login("ann", "wrong")[0], 401)
        self.assertTrue(srv.wait_for_log('Login lockout for user "ann" (3 failed attempts)'))
        for spelling in ("ann", "ANN", "Ann"):
            status, body = srv.login(spelling, "pw-ann")
            self.assertEqual((status, error_message(body)),
                             (429, "Account temporarily locked due to failed login attempts"), spelling)
        self.assertEqual(srv.login("bob", "pw-bob")[0], 200)  # other names are not affected

    def test_success_clears_the_names_counter(self):
        srv = self.srv
        for _ in range(2):
            self.assertEqual(srv.login("bob", "wrong")[0], 401)
        self.assertEqual(srv.login("bob", "pw-bob")[0], 200)
        for _ in range(2):
            self.assertEqual(srv.login("bob", "wrong")[0], 401)
        self.assertEqual(srv.login("bob", "pw-bob")[0], 200)

    def test_address_ban_after_threshold(self):
        srv = self.srv
        src = "127.0.0.3"
        # Five failures from one address, spread so no single name is locked; a success in
        # between does not reset the address's counter; unknown names are not counted.
        self.assertEqual(srv.login("nobody", "x", source=src)[0], 401)
        for name in ("cat", "dan", "cat", "dan"):
            self.assertEqual(srv.login(name, "wrong", source=src)[0], 401)
        self.assertEqual(srv.login("dan", "pw-dan", source=src)[0], 200)
        self.assertEqual(srv.login("cat", "wrong", source=src)[0], 401)
        status, body = srv.login("dan", "pw-dan", source=src)
        self.assertEqual((status, error_message(body)), (429, "Too many failed login attempts from this IP"))
        self.assertTrue(srv.wait_for_log("IP temp-banned for login failures: 127.0.0.3 (5 attempts)"))
        self.assertEqual(srv.login("dan", "pw-dan", source="127.0.0.4")[0], 200)

    def test_console_address_is_never_banned(self):
        srv = self.srv
        # Six failures from the console address pass the threshold of five: it is counted
        # (and warned about) like any address, but never refused.
        for name in ("eve", "fay", "gus", "eve", "fay", "gus"):
            self.assertEqual(srv.login(name, "wrong")[0], 401)
        self.assertTrue(srv.wait_for_log("IP temp-banned for login failures: 127.0.0.1 (6 attempts)"))
        self.assertEqual(srv.login("eve", "pw-eve")[0], 200)


if __name__ == "__main__":
    unittest.main()
