"""The WebSocket hub end to end: the /ws hand-over on the HTTP port, the hub's own port,
the message protocol, events for web administrators, the SQL bridge, and stress."""
import base64
import hashlib
import hmac
import json
import os
import resource
import select
import socket
import struct
import subprocess
import time
import unittest

from ovfixture import OVServer, db_backends
from wsclient import (OP_CLOSE, OP_PING, OP_PONG, OP_TEXT, HandshakeError, WSClient, accept_key,
                      encode_frame)


def b64url(data):
    return base64.b64encode(data).decode().rstrip("=").replace("+", "-").replace("/", "_")


def spaced(obj):
    """The server's spaced JSON form for flat objects of strings, numbers and Booleans."""
    parts = []
    for k, v in obj.items():
        parts.append("%s : %s" % (json.dumps(k), json.dumps(v)))
    return "{ " + ", ".join(parts) + " }" if parts else "{}"


def make_token(secret, uid, username, admin):
    now = int(time.time() - time.timezone + (3600 if time.localtime().tm_isdst > 0 else 0))
    header = b64url(spaced({"alg": "HS1", "typ": "JWT"}).encode())
    claims = b64url(spaced({"sub": uid, "uid": uid, "usr": username, "adm": admin, "slv": 10, "flg": "",
                            "iss": "OVBBS", "iat": now, "exp": now + 3600}).encode())
    sig = b64url(hmac.new(secret.encode(), (header + "." + claims).encode(), hashlib.sha1).digest())
    return header + "." + claims + "." + sig


def raise_fd_limit(n):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    want = min(hard, max(soft, n))
    resource.setrlimit(resource.RLIMIT_NOFILE, (want, hard))
    return want


class Hub(OVServer):
    """A server with a sysop, an API key and helpers for both WebSocket ports."""

    def prepare(self):
        status, body = self.json("POST", "/api/v1/setup", {"username": "sysop", "password": "secret1"})
        assert status == 201, (status, body)
        self.admin_token = body["data"]["token"]
        self.api_key = "ov_" + "ab" * 24
        self.add_api_key("ws-key-1", self.api_key, 1)
        self.secret = self.config_value("security", "jwt_secret")
        return self

    def add_api_key(self, guid, key, user_id, expires_at=None):
        """Stores a key straight in the database (test values only, so written inline)."""
        self.sql("INSERT INTO api_keys (guid, key_hash, key_prefix, user_id, is_active, expires_at) "
                 "VALUES ('%s', '%s', '%s', %d, 1, %s)"
                 % (guid, hashlib.sha1(key.encode()).hexdigest(), key[:11], user_id,
                    "NULL" if expires_at is None else "'%s'" % expires_at))

    def http_ws(self, path="/ws", headers=None, **kw):
        return WSClient.connect(self.host, self.port, path=path, headers=headers, **kw)

    def hub_ws(self, headers=None, **kw):
        return WSClient.connect(self.host, self.ws_port, path="/", headers=headers, **kw)

    def node(self, name="node-1", uuid="uuid-1", **kw):
        ws = self.hub_ws({"X-API-Key": self.api_key}, **kw)
        welcome = ws.recv_json("welcome")
        ws.send_json({"type": "register", "client_name": name, "version": "1.2", "client_id": uuid,
                      "max_nodes": 4, "protocols": ["telnet"]})
        ws.client_id = welcome["client_id"]
        return ws

    def admin(self, events=()):
        ws = self.hub_ws({"Authorization": "Bearer " + self.admin_token})
        ws.recv_json("welcome")
        if events:
            ws.send_json({"type": "subscribe", "events": list(events)})
        return ws


class HubDisabled(unittest.TestCase):
    def test_valid_admin_without_hub_gets_503(self):
        with Hub({"websocket": {"enabled": "0"}}) as srv:
            srv.prepare()
            self.assertIn("WebSocket: disabled\n", srv.stdout)
            with self.assertRaises(HandshakeError) as cm:
                srv.http_ws("/ws?token=%s" % srv.admin_token)
            self.assertEqual(cm.exception.status, 503)
            with self.assertRaises(HandshakeError) as cm:
                srv.http_ws("/ws")
            self.assertEqual(cm.exception.status, 401)


class HubFailsToStart(unittest.TestCase):
    def check_absent(self, srv, error):
        self.assertIn("WebSocket: disabled\n", srv.stdout)
        self.assertTrue(srv.wait_for_log("[OrvantaBBS Error] WebSocket server failed to start: " + error),
                        srv.log_text())
        # The rest of the server runs; the HTTP port's /ws says the hub is not there.
        srv.prepare()
        with self.assertRaises(HandshakeError) as cm:
            srv.http_ws(headers={"X-API-Key": srv.api_key})
        self.assertEqual(cm.exception.status, 503)
        self.assertEqual(srv.stop(), 0)
        steps = [l for l in srv.stderr.splitlines() if l.startswith("[shutdown] ")]
        self.assertNotIn("[shutdown] WSServer.Stop", steps)
        self.assertIn("[shutdown] HttpSrv.Stop", steps)

    def test_port_in_use(self):
        srv = Hub()
        with socket.socket() as blocker:
            blocker.bind((srv.host, srv.ws_port))
            blocker.listen()
            with srv:
                self.check_absent(srv, "WebSocket: failed to bind to %s:%d (errno=98)" % (srv.host, srv.ws_port))

    def test_port_outside_sixteen_bits(self):
        with Hub({"websocket": {"port": "74018"}}) as srv:
            self.check_absent(srv, "WebSocket: failed to bind to %s:74018 (errno=22)" % srv.host)


class Protocol(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.srv = Hub({"websocket": {"ping_interval": "30"}}).start().prepare()

    @classmethod
    def tearDownClass(cls):
        cls.srv.stop()
        cls.srv.cleanup()

    def test_accept_key_vector(self):
        self.assertEqual(accept_key("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=")

    def test_http_upgrade_with_api_key(self):
        ws = self.srv.http_ws(headers={"X-API-Key": self.srv.api_key})
        welcome = ws.recv_json("welcome")
        self.assertEqual(list(welcome), ["type", "server_name", "version", "client_id"])
        self.assertEqual((welcome["server_name"], welcome["version"]), ("Orvanta BBS", "0.5.33"))
        ws.close()

    def test_http_upgrade_admin_token_and_refusals(self):
        ws = self.srv.http_ws("/ws?token=%s&x=1" % self.srv.admin_token)
        ws.recv_json("welcome")
        ws.send_json({"type": "subscribe", "events": ["LOG_ENTRY"]})
        time.sleep(0.2)
        self.srv.request("GET", "/api/v1/no-such-route")  # anything that logs
        ws.send_text("{broken")  # logs a warning from the hub itself
        ev = ws.recv_json("event", timeout=10)
        self.assertEqual(ev["event"], "log_entry")
        self.assertTrue(ws.last_text.startswith('{ "type" : "event", "event" : "log_entry", "data" : { "timestamp" : '))
        self.assertEqual(list(ev["data"]), ["timestamp", "level", "source", "category", "message"])
        ws.close()
        user_token = make_token(self.srv.secret, 1, "sysop", False)
        with self.assertRaises(HandshakeError) as cm:
            self.srv.http_ws("/ws?token=%s" % user_token)
        self.assertEqual(cm.exception.status, 401)
        with self.assertRaises(HandshakeError) as cm:
            self.srv.http_ws("/ws")
        self.assertEqual(cm.exception.status, 401)

    def test_hub_port_without_credentials_closes_1008(self):
        ws = self.srv.hub_ws()
        code, reason = ws.wait_close()
        ws.sock.close()
        self.assertEqual((code, reason), (1008, "Unauthorized"))

    def test_ping_pong_and_invalid_json(self):
        ws = self.srv.hub_ws({"X-API-Key": self.srv.api_key})
        ws.recv_json("welcome")
        ws.ping(b"\x01\x02")
        fin, op, payload = ws.recv_frame()
        self.assertEqual((op, payload), (OP_PONG, b"\x01\x02"))
        ws.send_text("{not json")
        ws.send_text("[" * 100000)
        ws.send_json({"type": "plugin_call", "id": "1", "plugin": "x", "function": "y"})
        ws.recv_json("plugin_call_result")
        self.assertEqual(ws.last_text,
                         '{"type":"plugin_call_result","id":"1","result":{"success":false,"error":"No result"}}')
        ws.close()

    def test_register_heartbeat_list_and_status(self):
        admin = self.srv.admin(["node_update"])
        time.sleep(0.2)
        node = self.srv.node("node-list", "uuid-list")
        node.send_json({"type": "heartbeat", "nodes": [{"node": 1}, {"node": 2}], "active_nodes": 9})
        deadline = time.time() + 10
        entry = None
        while time.time() < deadline and entry is None:
            ev = admin.recv_json("event", timeout=10)
            if ev["event"] != "node_update":
                continue
            for n in ev["data"]["nodes"]:
                if n.get("client_name") == "node-list" and n.get("active_nodes") == 2:
                    entry = n
        self.assertIsNotNone(entry)
        self.assertEqual(entry["client_uuid"], "uuid-list")
        self.assertEqual(entry["protocols"], ["telnet"])
        self.assertEqual(entry["nodes"], [{"node": 1}, {"node": 2}])
        status, body = self.srv.json("GET", "/api/v1/status", token=self.srv.admin_token)
        self.assertEqual(status, 200)
        self.assertGreaterEqual(body["data"]["connected_nodes"], 2)  # the node and the administrator
        node.close()
        admin.close()

    def test_sql_bridge(self):
        node = self.srv.node("sql-node", "uuid-sql")

        def call(kind, sql, params=None):
            msg = {"type": kind, "request_id": "r", "plugin": "Chat-Log", "sql": sql}
            if params is not None:
                msg["params"] = params
            node.send_json(msg)
            return node.recv_json(kind + "_result")

        r = call("db_exec", "CREATE TABLE IF NOT EXISTS p_chat_log_msgs (id INTEGER PRIMARY KEY, body TEXT, n INTEGER)")
        self.assertTrue(r["ok"], r)
        r = call("db_exec_params", "INSERT INTO p_chat_log_msgs (body, n) VALUES (?, ?)", ["what?", 2 ** 40])
        self.assertEqual(r, {"type": "db_exec_params_result", "request_id": "r", "ok": True})
        r = call("db_query", "SELECT body, n FROM p_chat_log_msgs")
        self.assertEqual(r["rows"], [{"body": "what?", "n": 2 ** 40}])
        bypasses = [
            "SELECT * FROM users",
            "SELECT * FROM p_chat_log_msgs, users",
            "SELECT * FROM p_chat_log_msgs JOIN users ON 1=1",
            "SELECT * FROM\tusers",
            "SELECT * FROM\nusers",
            'SELECT * FROM "users"',
            "SELECT * FROM p_chat_log_msgs /* x */",
            "SELECT * FROM p_chat_log_msgs -- x",
            "SELECT * FROM pragma_table_info('users')",
            "ATTACH DATABASE 'x.db' AS x",
            "PRAGMA writable_schema=1",
            "VACUUM INTO 'copy.db'",
            "SELECT 1; DELETE FROM users",
        ]
        for sql in bypasses:
            for kind in ("db_query", "db_exec"):
                r = call(kind, sql)
                self.assertFalse(r["ok"], (kind, sql, r))
        r = call("db_query", "DELETE FROM p_chat_log_msgs")
        self.assertEqual(r["error"], "db_query accepts only SELECT statements")
        self.assertEqual(call("db_query", "SELECT COUNT(*) AS c FROM p_chat_log_msgs")["rows"], [{"c": 1}])
        admin = self.srv.admin()
        admin.send_json({"type": "db_query", "request_id": "a", "plugin": "Chat-Log", "sql": "SELECT 1"})
        admin.recv_json("db_query_result")
        self.assertEqual(admin.last_text,
                         '{"type":"db_query_result","request_id":"a","ok":false,"error":"unauthorized"}')
        admin.close()
        node.close()

    def test_oversized_frame_closes_only_that_connection(self):
        good = self.srv.node("good", "uuid-good")
        bad = self.srv.hub_ws({"X-API-Key": self.srv.api_key})
        bad.recv_json("welcome")
        bad.sock.sendall(b"\x81\xff" + struct.pack(">Q", 16 * 1024 * 1024 + 1) + b"mask" + b"x" * 1000)
        code, _ = bad.wait_close()
        self.assertEqual(code, 1009)
        bad.sock.close()
        bad2 = self.srv.hub_ws({"X-API-Key": self.srv.api_key})
        bad2.recv_json("welcome")
        bad2.sock.sendall(b"\x81\xff\x80" + b"\x00" * 7 + b"mask")  # top bit set
        code, _ = bad2.wait_close()
        bad2.sock.close()
        self.assertEqual(code, 1002)
        good.send_json({"type": "plugin_call", "id": "still-here"})
        self.assertEqual(good.recv_json("plugin_call_result")["id"], "still-here")
        good.close()


class HubPortKeys(unittest.TestCase):
    def test_expired_key_or_locked_owner_is_refused(self):
        with Hub() as srv:
            srv.prepare()
            srv.add_api_key("ws-old", "ov_" + "01" * 24, 1, expires_at="2001-01-01 00:00:00")
            srv.sql("INSERT INTO users (guid, username, password_hash, password_salt, is_locked) "
                    "VALUES ('g-locked', 'locked', 'x', 'y', 1)")
            locked_id = int(srv.value("SELECT id FROM users WHERE username = 'locked'"))
            srv.add_api_key("ws-locked", "ov_" + "02" * 24, locked_id)
            for key in ("ov_" + "01" * 24, "ov_" + "02" * 24):
                ws = srv.hub_ws({"X-API-Key": key})
                self.assertEqual(ws.wait_close(), (1008, "Unauthorized"), key)
                ws.sock.close()
                # The HTTP port's upgrade says the same.
                with self.assertRaises(HandshakeError) as cm:
                    srv.http_ws(headers={"X-API-Key": key})
                self.assertEqual(cm.exception.status, 401)
            ws = srv.hub_ws({"X-API-Key": srv.api_key})
            ws.recv_json("welcome")
            ws.close()


class SqlBridgeBackends(unittest.TestCase):
    """The bridge on every database the run has: typed rows, failures that leave the next
    statement working, and tables outside the prefix."""

    def run_bridge(self, db):
        with Hub(db=db) as srv:
            srv.prepare()
            node = srv.node("sql-%s" % db, "uuid-sql-%s" % db)

            def call(kind, sql, params=None):
                msg = {"type": kind, "request_id": "r", "plugin": "Chat-Log", "sql": sql}
                if params is not None:
                    msg["params"] = params
                node.send_json(msg)
                return node.recv_json(kind + "_result", timeout=20)

            r = call("db_exec", "CREATE TABLE p_chat_log_t (id INTEGER PRIMARY KEY, n BIGINT, s VARCHAR(40), "
                                "d DOUBLE PRECISION, ts TIMESTAMP NULL, b BOOLEAN, x INTEGER)")
            self.assertTrue(r["ok"], r)
            r = call("db_exec_params", "INSERT INTO p_chat_log_t (id, n, s, d, ts, b, x) VALUES (?, ?, ?, ?, ?, ?, ?)",
                     [1, 2 ** 40, "it's ?", 1.5, "2024-03-04 05:06:07", True, None])
            self.assertEqual(r, {"type": "db_exec_params_result", "request_id": "r", "ok": True})
            r = call("db_query", "SELECT id, n, s, d, ts, b, x FROM p_chat_log_t")
            self.assertTrue(r["ok"], r)
            self.assertEqual(r["rows"], [{"id": 1, "n": 2 ** 40, "s": "it's ?", "d": 1.5, "ts": "2024-03-04 05:06:07",
                                          "b": True, "x": None}])
            # A failed statement is answered, and the next writer is not affected by it.
            r = call("db_exec", "INSERT INTO p_chat_log_t (id) VALUES (1)")
            self.assertFalse(r["ok"])
            self.assertTrue(r["error"])
            r = call("db_exec_params", "INSERT INTO p_chat_log_t (id) VALUES (?)", [1])
            self.assertFalse(r["ok"])
            r = call("db_exec", "UPDATE p_chat_log_t SET s = 'second' WHERE id = 1")
            self.assertTrue(r["ok"], r)
            self.assertEqual(call("db_query", "SELECT s FROM p_chat_log_t")["rows"], [{"s": "second"}])
            status, _ = srv.json("GET", "/api/v1/users", token=srv.admin_token)
            self.assertEqual(status, 200)
            r = call("db_query", "SELECT * FROM users")
            self.assertEqual(r["error"], 'Plugin "Chat-Log" cannot access table "users" \u2014 must use prefix '
                                         '"p_chat_log_*"')
            # A table that inherits from api_keys would put its rows into every key lookup.
            evil = "ov_" + "cd" * 24
            for sql in ("CREATE TABLE p_chat_log_k () INHERITS (api_keys)",
                        "CREATE TABLE p_chat_log_k (LIKE api_keys)"):
                r = call("db_exec", sql)
                self.assertFalse(r["ok"], (sql, r))
            r = call("db_exec_params", "INSERT INTO p_chat_log_k (guid, key_hash, key_prefix, user_id, is_active) "
                                       "VALUES (?, ?, ?, ?, 1)",
                     ["evil", hashlib.sha1(evil.encode()).hexdigest(), evil[:11], 1])
            self.assertFalse(r["ok"], r)
            if db == "postgresql":
                self.assertEqual(srv.value("SELECT COUNT(*) FROM pg_inherits"), "0")
            status, _ = srv.json("GET", "/api/v1/users", api_key=evil)
            self.assertEqual(status, 401)
            # A core table's sequence is not the plug-in's either.
            r = call("db_query", "SELECT setval('users_id_seq', 1)")
            self.assertFalse(r["ok"], r)
            r = call("db_exec", "DROP TABLE p_chat_log_t")
            self.assertTrue(r["ok"], r)
            node.close()

    def test_every_backend(self):
        for db in db_backends():
            with self.subTest(db=db):
                self.run_bridge(db)


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


class Stress(unittest.TestCase):
    def test_thousand_clients_pinged_and_a_stalled_reader(self):
        raise_fd_limit(8192)
        with Hub({"websocket": {"ping_interval": "1"}}) as srv:
            srv.prepare()
            n = 1000
            clients = []
            for i in range(n):
                ws = srv.hub_ws({"X-API-Key": srv.api_key}, timeout=30)
                ws.send_json({"type": "register", "client_name": "n%d" % i, "client_id": "u%d" % i})
                clients.append(ws)
            by_fd = {ws.sock.fileno(): ws for ws in clients}
            pinged = set()
            poller = select.poll()
            for fd in by_fd:
                poller.register(fd, select.POLLIN)
            deadline = time.time() + 60
            while len(pinged) < n and time.time() < deadline:
                for fd, ev in poller.poll(1000):
                    ws = by_fd[fd]
                    try:
                        while True:
                            m = ws.recv_json(timeout=0.001)
                            if m is None:
                                self.fail("client closed")
                            if m.get("type") == "ping":
                                pinged.add(fd)
                            if not ws.buf[ws.pos:]:
                                break
                    except TimeoutError:
                        pass
            self.assertEqual(len(pinged), n)
            status, body = srv.json("GET", "/api/v1/status", token=srv.admin_token)
            self.assertEqual(body["data"]["connected_nodes"], n)
            rss_before = rss_kib(srv.proc.pid)

            # A stalled administrator is dropped; a reading one keeps receiving.
            stalled = srv.hub_ws({"Authorization": "Bearer " + srv.admin_token}, rcvbuf=4096)
            stalled.recv_json("welcome")
            stalled.send_json({"type": "subscribe", "events": ["log_entry"]})
            reader = srv.admin(["log_entry"])
            time.sleep(0.3)
            noisy = clients[0]
            garbage = encode_frame(OP_TEXT, "{" + "x" * 180)
            received = 0
            deadline = time.time() + 90
            dropped = False
            while time.time() < deadline and not dropped:
                noisy.sock.sendall(garbage * 200)
                try:
                    while True:
                        m = reader.recv_json("event", timeout=0.05)
                        received += 1
                except TimeoutError:
                    pass
                dropped = "does not read; send queue full, disconnected" in srv.log_text()
            self.assertTrue(dropped, "the stalled administrator was not disconnected")
            self.assertGreater(received, 1000)
            # Everything else is still connected and answering.
            reader.send_json({"type": "plugin_call", "id": "alive"})
            self.assertEqual(reader.recv_json("plugin_call_result", timeout=20)["id"], "alive")
            # Oversized frames close their connections and leave no memory behind.
            for _ in range(20):
                bad = srv.hub_ws({"X-API-Key": srv.api_key})
                bad.sock.sendall(b"\x82\xff" + struct.pack(">Q", 1 << 40) + b"mask")
                bad.wait_close(timeout=10)
                bad.sock.close()
            self.assertLess(rss_kib(srv.proc.pid), rss_before + 200 * 1024)
            status, body = srv.json("GET", "/api/v1/status", token=srv.admin_token)
            self.assertEqual(body["data"]["connected_nodes"], n + 1)  # the nodes and the reading administrator
            for ws in clients:
                ws.sock.close()
            stalled.sock.close()
            reader.close()


class TlsHubPort(unittest.TestCase):
    def test_idle_connection_does_not_delay_another_handshake(self):
        tmp_srv = Hub({"websocket": {"use_ssl": "1"}})
        cert = os.path.join(tmp_srv.tmp, "cert.pem")
        key = os.path.join(tmp_srv.tmp, "key.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                        "/CN=localhost", "-keyout", key, "-out", cert], check=True, capture_output=True, timeout=60)
        tmp_srv._merge("ssl", {"cert_file": cert, "key_file": key})
        from ovfixture import write_ini
        write_ini(tmp_srv.config_path, tmp_srv.sections)
        with tmp_srv as srv:
            srv.prepare()
            self.assertIn("WebSocket: listening on port %d (WSS/SSL)" % srv.ws_port, srv.stdout)
            idle = socket.create_connection((srv.host, srv.ws_port))
            time.sleep(0.2)
            t0 = time.time()
            ws = srv.hub_ws({"X-API-Key": srv.api_key}, tls=True)
            ws.recv_json("welcome")
            self.assertLess(time.time() - t0, 3)
            ws.close()
            idle.close()


if __name__ == "__main__":
    unittest.main()
