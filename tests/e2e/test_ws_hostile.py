"""The hub's own port against hostile and broken clients: banned addresses, register messages
with protocols of every JSON type, and clients arriving when the process has no descriptor left."""
import base64
import os
import resource
import socket
import time
import unittest

from test_ws import Hub
from wsclient import WSClient


def upgrade_request(api_key):
    key = base64.b64encode(os.urandom(16)).decode()
    return ("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            "Sec-WebSocket-Key: %s\r\nSec-WebSocket-Version: 13\r\nX-API-Key: %s\r\n\r\n" % (key, api_key)).encode()


def dial(srv, source="127.0.0.1", timeout=10):
    """Sends an upgrade request from the source address; returns (socket, status line or None
    when the server closed the connection before answering, bytes after the head)."""
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.settimeout(timeout)
    s.bind((source, 0))
    s.connect((srv.host, srv.ws_port))
    s.sendall(upgrade_request(srv.api_key))
    data = b""
    try:
        while b"\r\n\r\n" not in data:
            chunk = s.recv(65536)
            if not chunk:
                return s, None, data
            data += chunk
    except ConnectionResetError:
        return s, None, data
    head, rest = data.split(b"\r\n\r\n", 1)
    return s, head.split(b"\r\n", 1)[0].decode("latin-1"), rest


def as_client(sock, rest):
    ws = WSClient(sock)
    ws.buf = bytearray(rest)
    return ws


class HubPortBlacklist(unittest.TestCase):
    def test_banned_address_is_refused_before_the_handshake_or_logged(self):
        for mode in ("enforce", "log"):
            with self.subTest(mode=mode), Hub({"security": {"security_gate_mode": mode}}) as srv:
                srv.prepare()
                status, body = srv.json("POST", "/api/v1/blacklist", {"ip_address": "127.0.0.2", "reason": "abuse"},
                                        token=srv.admin_token)
                self.assertEqual(status, 201, body)
                s, status_line, rest = dial(srv, "127.0.0.2")
                if mode == "enforce":
                    self.assertIsNone(status_line)
                    self.assertEqual(rest, b"")
                    srv.wait_for_log("[ws] Connection from banned IP 127.0.0.2 refused")
                else:
                    self.assertIn(" 101 ", status_line)
                    self.assertEqual(as_client(s, rest).recv_json("welcome")["type"], "welcome")
                    srv.wait_for_log("[gate:log] would block banned IP 127.0.0.2 on the WebSocket port")
                s.close()
                # Other addresses are served as before.
                node = srv.node()
                node.send_json({"type": "plugin_call", "id": "alive"})
                self.assertEqual(node.recv_json("plugin_call_result")["id"], "alive")
                node.close()


class RegisterProtocols(unittest.TestCase):
    def test_each_element_registers_its_text_and_unreadable_ones_end_the_connection(self):
        cases = [
            ([1], ["1"]),
            (["telnet", 22, True, 1.5, -7], ["telnet", "22", "true", "1.5", "-7"]),
            ([], []),
            ([{"name": "ssh"}], None),
            ([["ssh"]], None),
            ([None], None),
        ]
        with Hub() as srv:
            srv.prepare()
            admin = srv.admin(["node_update"])
            for i, (protocols, expected) in enumerate(cases):
                with self.subTest(protocols=protocols):
                    ws = srv.hub_ws({"X-API-Key": srv.api_key})
                    ws.recv_json("welcome")
                    name = "proto-%d" % i
                    ws.send_json({"type": "register", "client_name": name, "client_id": name, "protocols": protocols})
                    if expected is None:
                        self.assertEqual(ws.wait_close(), (1011, "Message could not be handled"))
                        ws.sock.close()
                        srv.wait_for_log("worker error")
                        continue
                    entry = None
                    deadline = time.time() + 10
                    while entry is None and time.time() < deadline:
                        ev = admin.recv_json("event", timeout=10)
                        entry = next((n for n in ev["data"]["nodes"] if n.get("client_name") == name), None)
                    self.assertEqual(entry["protocols"], expected)
                    ws.close()
            admin.close()


class DescriptorExhaustion(unittest.TestCase):
    def test_clients_past_the_descriptor_limit_are_refused_before_their_101(self):
        with Hub() as srv:
            srv.prepare()
            pid = srv.proc.pid
            original = resource.prlimit(pid, resource.RLIMIT_NOFILE)
            in_use = len(os.listdir("/proc/%d/fd" % pid))
            # The soft limit is what accept() meets; the hard one stays, so it can be restored.
            resource.prlimit(pid, resource.RLIMIT_NOFILE, (in_use + 24, original[1]))
            try:
                joined, refused = [], 0
                for _ in range(80):
                    s, status_line, rest = dial(srv)
                    if status_line is None:
                        # Closed without a word, at once: not left waiting for a descriptor.
                        self.assertEqual(rest, b"")
                        refused += 1
                        s.close()
                        if refused >= 5:
                            break
                        continue
                    self.assertIn(" 101 ", status_line)
                    ws = as_client(s, rest)
                    # A client that got its 101 is served: never dropped for want of a descriptor.
                    self.assertEqual(ws.recv_json("welcome")["type"], "welcome")
                    joined.append(ws)
                self.assertGreaterEqual(refused, 5)
                self.assertGreater(len(joined), 5)
                for ws in joined:
                    ws.send_json({"type": "plugin_call", "id": "alive"})
                    self.assertEqual(ws.recv_json("plugin_call_result")["id"], "alive")
                srv.wait_for_log("[ws] Out of file descriptors; refusing new connections")
                # Descriptors given back are used again.
                for ws in joined[:4]:
                    ws.close()
                deadline = time.time() + 10
                again = None
                while again is None and time.time() < deadline:
                    s, status_line, rest = dial(srv)
                    if status_line is not None:
                        again = as_client(s, rest)
                    else:
                        s.close()
                        time.sleep(0.1)
                self.assertIsNotNone(again)
                self.assertEqual(again.recv_json("welcome")["type"], "welcome")
                again.close()
                for ws in joined[4:]:
                    ws.close()
            finally:
                resource.prlimit(pid, resource.RLIMIT_NOFILE, original)


if __name__ == "__main__":
    unittest.main()
