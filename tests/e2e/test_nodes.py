"""Thin-client nodes end to end: heartbeats and the node list with the server's own entry,
commands sent to a node over the hub and answered with the node's reply, and plug-in pushes
with one-time download tokens.  The nodes are WebSocket clients on the hub port with their own
API key; a thread of each answers the commands it receives."""
import http.client
import json
import os
import queue
import threading
import time
import unittest
import uuid

from ovfixture import error_message
from test_security import per_backend
from test_ws import Hub

GUID = r"[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}"
COMMAND_TYPES = {"config_reload", "config_get", "config_set", "get_plugins", "plugin_enable", "plugin_disable",
                 "plugin_uninstall", "plugin_install"}
SERVER_NODE = [("id", int), ("client_name", str), ("version", str), ("ip_address", str), ("active_nodes", int),
               ("max_nodes", int), ("uptime", int), ("status", str), ("is_server", bool), ("protocols", list),
               ("plugins_loaded", int), ("ws_clients", int)]
NODE_ITEM = ["id", "client_name", "last_heartbeat", "status", "uptime", "active_nodes", "protocols", "version",
             "ip_address", "created_at"]


def default_reply(msg):
    kind = "config_result" if msg["type"].startswith("config_") else "command_result"
    return {"type": kind, "request_id": msg["request_id"], "success": True, "result": "done " + msg["type"]}


class Node:
    """A registered node whose thread records every command (raw text and parsed) and answers it
    with answer(msg): a reply object, or None for silence."""

    def __init__(self, srv, name):
        self.ws = srv.node(name, "uuid-" + name)
        self.id = self.ws.client_id
        self.commands = queue.Queue()
        self.answer = default_reply
        self._stop = False
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        while not self._stop:
            try:
                msg = self.ws.recv_json(timeout=0.2)
            except TimeoutError:
                continue
            except (ConnectionError, OSError, ValueError):
                return
            if msg is None:
                return
            if msg.get("type") in COMMAND_TYPES:
                self.commands.put((self.ws.last_text, msg))
                reply = self.answer(msg)
                if reply is not None:
                    self.send(reply)

    def send(self, obj):
        self.ws.send_json(obj)

    def next_command(self, timeout=30):
        return self.commands.get(timeout=timeout)

    def assert_nothing_received(self, case):
        case.assertTrue(self.commands.empty(), list(self.commands.queue))

    def close(self):
        self._stop = True
        self._thread.join(5)
        self.ws.close()


def multipart(files, fields=()):
    """(body bytes, Content-Type) of a multipart/form-data body; files: (field, name, bytes)."""
    boundary = "----ov" + uuid.uuid4().hex
    out = b""
    for name, value in fields:
        out += ("--%s\r\nContent-Disposition: form-data; name=\"%s\"\r\n\r\n%s\r\n" % (boundary, name, value)).encode()
    for field, name, data in files:
        out += ("--%s\r\nContent-Disposition: form-data; name=\"%s\"; filename=\"%s\"\r\n"
                "Content-Type: application/octet-stream\r\n\r\n" % (boundary, field, name)).encode() + data + b"\r\n"
    out += ("--%s--\r\n" % boundary).encode()
    return out, "multipart/form-data; boundary=" + boundary


class NodeServer(Hub):
    def api(self, method, path, body=None, token=None, **kw):
        return self.json(method, "/api/v1" + path, body, token=token or self.admin_token, **kw)

    def command(self, node_id, body):
        return self.api("POST", "/nodes/command/%s" % node_id, body)

    def upload(self, node_id, files, fields=()):
        data, ctype = multipart(files, fields)
        status, _, text = self.request("POST", "/api/v1/nodes/plugins/upload/%s" % node_id, body=data,
                                       headers={"Content-Type": ctype}, token=self.admin_token, timeout=90)
        return status, json.loads(text)

    def staged_files(self):
        d = os.path.join(self.tmp, "data", "plugin_staging")
        return sorted(os.listdir(d)) if os.path.isdir(d) else []

    def audit(self, action, node_id):
        return self.db_rows("SELECT user_id, username, target, details, ip_address FROM audit_log "
                            "WHERE action = '%s' AND target = '%d' ORDER BY id" % (action, node_id))


class Base(unittest.TestCase):
    CONFIG = {}

    @classmethod
    def setUpClass(cls):
        cls.srv = NodeServer(cls.CONFIG).start().prepare()

    @classmethod
    def tearDownClass(cls):
        cls.srv.stop()
        cls.srv.cleanup()

    def expect_error(self, answer, status, message):
        self.assertEqual((answer[0], error_message(answer[1])), (status, message), answer)

    def node(self, name):
        n = Node(self.srv, name)
        self.addCleanup(n.close)
        return n


# ---- commands, with the real waits ---------------------------------------------------------------

class Commands(Base):
    def test_each_command_message_and_reply(self):
        node = self.node("cmd-node")
        cases = [
            ({"command": "config_reload"}, '{"type":"config_reload","request_id":"%s"}'),
            ({"command": "config_get", "section": "bbs"}, '{"type":"config_get","request_id":"%s","section":"bbs"}'),
            ({"command": "config_get"}, '{"type":"config_get","request_id":"%s"}'),
            ({"command": "config_set", "section": "bbs", "key": "name", "value": "Ex \"1\""},
             '{"type":"config_set","request_id":"%s","section":"bbs","key":"name","value":"Ex \\"1\\""}'),
            ({"command": "config_set", "section": "bbs", "key": "k", "value": 7},
             '{"type":"config_set","request_id":"%s","section":"bbs","key":"k","value":""}'),
            ({"command": "get_plugins"}, '{"type":"get_plugins","request_id":"%s"}'),
            ({"command": "plugin_enable", "name": "chat"}, '{"type":"plugin_enable","request_id":"%s","name":"chat"}'),
            ({"command": "plugin_disable", "name": "chat"},
             '{"type":"plugin_disable","request_id":"%s","name":"chat"}'),
            ({"command": "plugin_uninstall", "name": "chat", "purge_data": True},
             '{"type":"plugin_uninstall","request_id":"%s","name":"chat","purge_data":true}'),
            ({"command": "plugin_uninstall", "name": "chat", "purge_data": "yes"},
             '{"type":"plugin_uninstall","request_id":"%s","name":"chat","purge_data":false}'),
        ]
        for body, expected in cases:
            with self.subTest(body=body):
                status, answer = self.srv.command(node.id, body)
                text, msg = node.next_command()
                self.assertRegex(msg["request_id"], "^" + GUID + "$")  # "cmd_" only for pushes
                self.assertEqual(text, expected % msg["request_id"])
                self.assertEqual((status, answer["data"]), (200, default_reply(msg)))
        node.assert_nothing_received(self)

    def test_refusals_send_nothing(self):
        node = self.node("refusing-node")
        nid = node.id
        cases = [
            ("/nodes/command/%d" % nid, {"command": "PLUGIN_ENABLE"}, 400, "Unknown command: PLUGIN_ENABLE"),
            ("/nodes/command/%d" % nid, {"command": "plugin_enable "}, 400, "Unknown command: plugin_enable "),
            ("/nodes/command/%d" % nid, {}, 400, "Unknown command: "),
            ("/nodes/command/%d" % nid, {"command": "config_set", "section": "bbs"}, 400, "Missing section or key"),
            ("/nodes/command/%d" % nid, {"command": "config_set", "key": "k", "value": "v"}, 400,
             "Missing section or key"),
            ("/nodes/command/%d" % nid, [1], 400, "Invalid JSON body"),
            ("/nodes/command/0", {"command": "get_plugins"}, 400, "Invalid node ID"),
            ("/nodes/command/-3", {"command": "get_plugins"}, 400, "Invalid node ID"),
            ("/nodes/command/abc", {"command": "get_plugins"}, 400, "Invalid node ID"),
            ("/nodes/command/4294967297", {"command": "get_plugins"}, 400, "Invalid node ID"),
        ]
        for path, body, status, message in cases:
            with self.subTest(path=path, body=body):
                self.expect_error(self.srv.api("POST", path, body), status, message)
        self.assertEqual(self.srv.command(nid, {"command": "get_plugins"})[0], 200)
        self.assertEqual(node.next_command()[1]["type"], "get_plugins")  # the first thing the node got
        node.assert_nothing_received(self)

    def test_silence_late_and_foreign_replies(self):
        quiet = self.node("quiet-node")
        quiet.answer = lambda msg: None
        results = {}

        def timed(key, node_id, body):
            start = time.monotonic()
            answer = self.srv.command(node_id, body)
            results[key] = (answer, time.monotonic() - start)

        # The three waits run side by side: 5 s, 10 s for an uninstall, and 5 s for a client id
        # that is not connected.
        threads = [threading.Thread(target=timed, args=a) for a in (
            ("reload", quiet.id, {"command": "config_reload"}),
            ("uninstall", quiet.id, {"command": "plugin_uninstall", "name": "chat"}),
            ("absent", 999999, {"command": "get_plugins"}))]
        for t in threads:
            t.start()
        for t in threads:
            t.join(30)
        for key, least in (("reload", 5.0), ("uninstall", 10.0), ("absent", 5.0)):
            answer, elapsed = results[key]
            self.expect_error(answer, 504, "Client did not respond in time")
            self.assertGreaterEqual(elapsed, least, key)

        # The late replies find no waiter; the next command gets its own reply.
        for _ in range(2):
            quiet.send(default_reply(quiet.next_command()[1]))
        quiet.answer = default_reply
        status, answer = self.srv.command(quiet.id, {"command": "get_plugins"})
        self.assertEqual(status, 200, answer)
        self.assertEqual(answer["data"]["result"], "done get_plugins")

        # A reply carrying the request id but sent by another client is ignored.
        other = self.node("other-node")

        def forged_first(msg):
            other.send(dict(default_reply(msg), result="forged"))
            time.sleep(0.3)
            return dict(default_reply(msg), result="genuine")

        quiet.answer = forged_first
        status, answer = self.srv.command(quiet.id, {"command": "plugin_enable", "name": "x"})
        self.assertEqual((status, answer["data"]["result"]), (200, "genuine"))


# ---- pushes (a node that stays silent is the unit tests' case: the push waits a minute) -----------

class Push(Base):
    def download(self, path, api_key=None):
        conn = http.client.HTTPConnection(self.srv.host, self.srv.port, timeout=15)
        try:
            conn.request("GET", "/api/v1" + path, headers={"X-API-Key": api_key} if api_key else {})
            resp = conn.getresponse()
            status, headers, body = resp.status, {k.lower(): v for k, v in resp.getheaders()}, resp.read()
        finally:
            conn.close()
        return status, headers, body

    def test_upload_download_once_and_audit(self):
        node = self.node("push-node")
        package = os.urandom(70000)
        fetched = []

        def install(msg):
            fetched.append(self.download(msg["download_url"], self.srv.api_key))
            fetched.append(self.download(msg["download_url"], self.srv.api_key))
            return default_reply(msg)

        node.answer = install
        status, answer = self.srv.upload(node.id, [("package", "Chat.OVP", package)])
        self.assertEqual(status, 200, answer)
        text, msg = node.next_command()
        self.assertRegex(text, r'^\{"type":"plugin_install","request_id":"cmd_%s","download_url":'
                               r'"/nodes/plugins/download/%s","plugin_name":"Chat.OVP"\}$' % (GUID, GUID))
        self.assertEqual(answer["data"], default_reply(msg))
        (s1, h1, b1), (s2, _, b2) = fetched
        self.assertEqual((s1, h1["content-type"], h1["content-length"]), (200, "application/octet-stream",
                                                                          str(len(package))))
        self.assertEqual(b1, package)
        self.assertEqual((s2, json.loads(b2)["error"]["message"]), (410, "Token already consumed"))
        self.assertEqual(self.srv.staged_files(), [])
        self.assertEqual(self.srv.audit("node_plugin_upload", node.id),
                         [("1", "sysop", str(node.id), "Uploaded Chat.OVP to node %d" % node.id, "127.0.0.1")])

        token = msg["download_url"].rsplit("/", 1)[1]
        for path, key, status, message in (
                ("/nodes/plugins/download/" + token, self.srv.api_key, 410, "Token already consumed"),
                ("/nodes/plugins/download/" + token.upper(), self.srv.api_key, 404, "Invalid download token"),
                ("/nodes/plugins/download/" + str(uuid.uuid4()), self.srv.api_key, 404, "Invalid download token"),
                ("/nodes/plugins/download/" + token, None, 401, "Unauthorized")):
            s, _, body = self.download(path, key)
            self.assertEqual((s, json.loads(body)["error"]["message"]), (status, message), path)

    def test_unused_token_after_the_push_finds_no_file(self):
        node = self.node("lazy-node")
        status, answer = self.srv.upload(node.id, [("f", "door.zip", b"PK\x03\x04zip")])
        self.assertEqual(status, 200, answer)
        url = node.next_command()[1]["download_url"]
        s, _, body = self.download(url, self.srv.api_key)
        self.assertEqual((s, json.loads(body)["error"]["message"]), (404, "Staged file not found"))

    def test_upload_refusals(self):
        node = self.node("refused-upload-node")
        cases = [
            ([], 400, "No file uploaded"),
            ([("f", "plugin.tar", b"x")], 400, "File must be a .ovp or .zip plugin package"),
            ([("f", "plugin.ovp.txt", b"x")], 400, "File must be a .ovp or .zip plugin package"),
            ([("f", "empty.ovp", b"")], 400, "Uploaded file is empty"),
        ]
        for files, status, message in cases:
            with self.subTest(files=files):
                self.expect_error(self.srv.upload(node.id, files, fields=[("note", "n")]), status, message)
        self.expect_error(self.srv.upload(0, [("f", "p.ovp", b"x")]), 400, "Invalid node ID")
        self.assertEqual(self.srv.staged_files(), [])
        node.assert_nothing_received(self)

    def test_registry_push(self):
        node = self.node("registry-node")
        rows = [("door-x", "1.2.0", "https://registry.example/door-x-1.2.0.ovp", "client"),
                ("srv-only", "1.0", "https://registry.example/s.ovp", "server"),
                ("caps", "1.0", "https://registry.example/c.ovp", "Client"),
                ("no-url", "1.0", "", "client"),
                ("no-version", "", "https://registry.example/v.ovp", "client")]
        for name, version, url, target in rows:
            self.srv.sql("INSERT INTO plugin_updates (plugin_name, latest_version, download_url, target) "
                         "VALUES ('%s', '%s', '%s', '%s')" % (name, version, url, target))
        not_found = 'Plugin not found in registry. Run "Check for Updates" first.'
        no_url = 'No download URL available. Run "Check for Updates" first.'
        for body, status, message in (({"name": "nope"}, 404, not_found),
                                      ({"name": "srv-only"}, 400, "Plugin is not a client plugin"),
                                      ({"name": "caps"}, 400, "Plugin is not a client plugin"),
                                      ({"name": "no-url"}, 400, no_url),
                                      ({"name": "no-version"}, 400, no_url),
                                      ({"name": 5}, 400, "Plugin name required"),
                                      ("text", 400, "Invalid JSON body")):
            with self.subTest(body=body):
                self.expect_error(self.srv.api("POST", "/nodes/plugins/install/%d" % node.id, body), status, message)
        node.assert_nothing_received(self)

        status, answer = self.srv.api("POST", "/nodes/plugins/install/%d" % node.id,
                                      {"name": "door-x", "version": "9.9"})
        self.assertEqual(status, 200, answer)
        text, msg = node.next_command()
        self.assertRegex(text, r'^\{"type":"plugin_install","request_id":"cmd_%s","download_url":'
                               r'"https://registry.example/door-x-1.2.0.ovp","plugin_name":"door-x-1.2.0.ovp"\}$'
                         % GUID)
        self.assertEqual(answer["data"], default_reply(msg))
        self.assertEqual(self.srv.audit("node_plugin_install", node.id),
                         [("1", "sysop", str(node.id), "Installed door-x v1.2.0 on node %d from registry" % node.id,
                           "127.0.0.1")])


# ---- heartbeats, the node list and the server's entry --------------------------------------------

class NodeList(Base):
    def heartbeat(self, body, **kw):
        kw.setdefault("api_key", self.srv.api_key)
        return self.srv.json("POST", "/api/v1/nodes/heartbeat", body, **kw)

    def test_heartbeats_list_order_and_offline_marking(self):
        self.assertEqual(self.heartbeat({"client_name": "alpha", "uptime": 5, "version": "1.0",
                                         "protocols": '["telnet"]'}), (200, {"success": True,
                                                                             "data": "Heartbeat received"}))
        self.assertEqual(self.heartbeat({"client_name": "alpha", "uptime": 9, "active_nodes": 2, "version": "1.1",
                                         "protocols": ["ssh"]})[0], 200)
        self.assertEqual(self.srv.db_rows("SELECT uptime, active_nodes, version, protocols, ip_address, status "
                                          "FROM thin_client_nodes WHERE client_name = 'alpha'"),
                         [("9", "2", "1.1", "[]", "127.0.0.1", "online")])
        for name in ("gamma", "beta", "delta"):
            self.assertEqual(self.heartbeat({"client_name": name})[0], 200)
        self.srv.sql("UPDATE thin_client_nodes SET status = 'offline' WHERE client_name = 'gamma'")
        self.srv.sql("UPDATE thin_client_nodes SET last_heartbeat = datetime('now', '-200 seconds') "
                     "WHERE client_name IN ('alpha', 'delta')")
        # A single node's answer does not mark it offline; the list does.
        delta_id = int(self.srv.value("SELECT id FROM thin_client_nodes WHERE client_name = 'delta'"))
        status, body = self.srv.api("GET", "/nodes/%d" % delta_id)
        self.assertEqual((status, list(body["data"]), body["data"]["status"]), (200, NODE_ITEM, "online"))
        self.srv.sql("UPDATE thin_client_nodes SET last_heartbeat = datetime('now', '-60 seconds') "
                     "WHERE client_name = 'delta'")

        status, body = self.srv.api("GET", "/nodes")
        self.assertEqual(status, 200)
        nodes = body["data"]
        self.assertTrue(nodes[0]["is_server"])
        self.assertEqual([(n["client_name"], n["status"]) for n in nodes[1:]],
                         [("beta", "online"), ("delta", "online"), ("alpha", "offline"), ("gamma", "offline")])
        alpha = nodes[3]
        self.assertEqual(list(alpha), NODE_ITEM)
        self.assertEqual([type(alpha[k]).__name__ for k in NODE_ITEM],
                         ["int", "str", "str", "str", "int", "int", "str", "str", "str", "str"])
        self.assertEqual((alpha["uptime"], alpha["protocols"], alpha["ip_address"]), (9, "[]", "127.0.0.1"))

        for path, status, message in (("/nodes/0", 404, "Node not found"), ("/nodes/99999", 404, "Node not found"),
                                      ("/nodes/heartbeat", 400, "Invalid node ID"),
                                      ("/nodes/x", 400, "Invalid node ID")):
            self.expect_error(self.srv.api("GET", path), status, message)
        self.expect_error(self.heartbeat("not json"), 400, "Invalid JSON body")
        self.expect_error(self.heartbeat({"client_name": "x"}, api_key="ov_wrong"), 401, "Unauthorized")

        # Any hub client, a web administrator too, makes the hub's own list the answer.
        admin = self.srv.admin(["node_update"])
        self.addCleanup(admin.close)
        self.assertTrue(self.wait_list(lambda ns: len(ns) == 1 and ns[0]["ws_clients"] == 1))
        node = self.node("live-node")
        self.assertTrue(self.wait_list(lambda ns: [n.get("client_name") for n in ns[1:]] == ["live-node"]))
        # The hub's node updates list the server first.
        deadline = time.time() + 10
        while time.time() < deadline:
            ev = admin.recv_json("event", timeout=10)
            if ev["event"] == "node_update" and len(ev["data"]["nodes"]) == 2:
                self.assertTrue(ev["data"]["nodes"][0]["is_server"])
                self.assertEqual(ev["data"]["nodes"][1]["client_name"], "live-node")
                break
        else:
            self.fail("no node_update with the node")
        node.close()

    def wait_list(self, check, timeout=10):
        deadline = time.time() + timeout
        while time.time() < deadline:
            status, body = self.srv.api("GET", "/nodes")
            if status == 200 and check(body["data"]):
                return True
            time.sleep(0.1)
        return False

    def test_server_node(self):
        status, body = self.srv.api("GET", "/nodes")
        server = body["data"][0]
        self.assertEqual([(k, type(server[k])) for k in server], SERVER_NODE + [("ws_port", int)])
        self.assertEqual((server["id"], server["client_name"], server["version"], server["status"]),
                         (0, "Orvanta BBS", "0.5.33", "online"))
        self.assertEqual(server["ip_address"], "127.0.0.1:%d" % self.srv.port)
        self.assertEqual((server["protocols"], server["ws_port"]), (["http", "websocket"], self.srv.port))
        self.assertEqual((server["active_nodes"], server["max_nodes"], server["plugins_loaded"]), (0, 0, 0))


@per_backend
class NodeRowsOnEachBackend:
    """The heartbeat's statements and the offline marking splice each backend's time words."""
    DB = "sqlite3"

    def test_heartbeat_list_and_get(self):
        with NodeServer(db=self.DB) as srv:
            srv.prepare()
            for uptime in (1, 2):
                self.assertEqual(srv.json("POST", "/api/v1/nodes/heartbeat", {"client_name": "n1", "uptime": uptime},
                                          api_key=srv.api_key)[0], 200)
            status, body = srv.api("GET", "/nodes")
            self.assertEqual([(n["client_name"], n["status"], n["uptime"]) for n in body["data"]],
                             [("Orvanta BBS", "online", body["data"][0]["uptime"]), ("n1", "online", 2)])
            status, body = srv.api("GET", "/nodes/%d" % body["data"][1]["id"])
            self.assertEqual((status, list(body["data"])), (200, NODE_ITEM))


class WithoutHub(Base):
    CONFIG = {"websocket": {"enabled": "0"}, "server": {"name": "Board Nine"}}

    def test_node_routes_without_hub(self):
        for path, body in (("/nodes/command/1", {"command": "get_plugins"}),
                           ("/nodes/plugins/install/1", {"name": "x"})):
            self.expect_error(self.srv.api("POST", path, body), 503, "WebSocket server not active")
        self.expect_error(self.srv.upload(1, [("f", "p.ovp", b"x")]), 503, "WebSocket server not active")
        self.expect_error(self.srv.api("POST", "/nodes/command/0", {}), 400, "Invalid node ID")
        status, body = self.srv.api("GET", "/nodes")
        server = body["data"][0]
        self.assertEqual([(k, type(server[k])) for k in server], SERVER_NODE)
        self.assertEqual((server["client_name"], server["protocols"], server["ws_clients"]),
                         ("Board Nine", ["http"], 0))


class ServerNodeWithPlugins(unittest.TestCase):
    def test_plugins_loaded(self):
        srv = NodeServer()
        self.addCleanup(srv.cleanup)
        srv.install_plugin("sample_c")
        srv.install_plugin("widget_a")
        with open(os.path.join(srv.plugin_dir, "broken.so"), "w") as f:
            f.write("not a library")
        srv.start().prepare()
        # Loaded counts, enabled or not; a library that did not load does not.
        server = srv.api("GET", "/nodes")[1]["data"][0]
        self.assertEqual((server["is_server"], server["plugins_loaded"]), (True, 2))
        self.assertEqual(srv.stop(), 0)


if __name__ == "__main__":
    unittest.main()
