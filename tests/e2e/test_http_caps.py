"""The HTTP front end's connection caps: connections opened before they are used, floods of
silent connections from one address, and a server out of descriptors."""
import json
import os
import resource
import select
import socket
import ssl
import unittest

from ovfixture import OVServer, wait_until, write_ini
from test_http import make_cert, parse_raw
from wsclient import HandshakeError, WSClient

SERVER_BUSY = {"success": False, "error": {"code": 503, "message": "Server busy"}}
# The head deadline of a server whose tests hold connections that send nothing: far longer than
# opening thousands of them takes on a busy machine (a listen queue that overflows makes a
# client retry a second later), so that the deadline never ends one during the test.
LONG_HEAD_DEADLINE = {"security": {"connection_timeout": "300"}}
IP_BIND_ADDRESS_NO_PORT = getattr(socket, "IP_BIND_ADDRESS_NO_PORT", 24)  # Linux


def start_server(tls=False, config=None, **kw):
    """A server with the written configuration's max_connections_per_ip (3); TLS with a
    certificate of its own."""
    sections = {"security": {"max_connections_per_ip": "3"}}
    for name, values in (config or {}).items():
        sections.setdefault(name, {}).update(values)
    srv = OVServer(config=sections, write_config=not tls, **kw)
    if tls:
        cert, key = make_cert(srv.tmp)
        srv._merge("server", {"use_ssl": "1"})
        srv._merge("ssl", {"cert_file": cert, "key_file": key, "min_version": "tls1.2"})
        os.makedirs(os.path.dirname(srv.config_path), exist_ok=True)
        write_ini(srv.config_path, srv.sections)
    return srv.start()


def connect(srv, source, tls=False, timeout=15):
    """A connection from source (127.0.0.0/8), its TLS handshake done.  Its local port is chosen
    by connect, not by bind: bound to an address alone, every connection would take a port of
    the range for itself, and runs that flood from one address at the same time (or their
    closed connections, for a minute) would use the range up."""
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    try:
        s.setsockopt(socket.IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, 1)
        s.settimeout(timeout)
        s.bind((source, 0))
        s.connect((srv.host, srv.port))
    except BaseException:
        s.close()
        raise
    if not tls:
        return s
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    return ctx.wrap_socket(s)


def read_answer(s, data=b""):
    """parse_raw of what the server sends until it closes (after data, read already)."""
    try:
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
    except (ConnectionResetError, ssl.SSLError):
        pass
    return parse_raw(data)


def ask(s, path="/index.html"):
    s.sendall(("GET %s HTTP/1.1\r\nHost: x\r\n\r\n" % path).encode())
    return read_answer(s)


def raise_own_file_limit(need):
    """Lets this process hold `need` descriptors; False when its hard limit is lower."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if hard != resource.RLIM_INFINITY and hard < need:
        return False
    if soft < need:
        resource.setrlimit(resource.RLIMIT_NOFILE, (need, hard))
    return True


class OpenedFirstThenUsed(unittest.TestCase):
    """A browser opens six connections to a host before it sends on any, and an office behind
    one NAT address many more; max_connections_per_ip is the rate limiter's key, not a cap on
    connections waiting for their request."""

    def test_every_connection_is_answered(self):
        for tls in (False, True):
            srv = start_server(tls=tls, config=LONG_HEAD_DEADLINE)
            try:
                for count in (6, 32):
                    with self.subTest(tls=tls, count=count):
                        socks = [connect(srv, "127.0.0.2", tls) for _ in range(count)]
                        try:
                            statuses = [ask(s)[0] for s in socks]
                        finally:
                            for s in socks:
                                s.close()
                        self.assertEqual(statuses, [200] * count)
                self.assertNotIn("refused", srv.log_text())
            finally:
                srv.stop()
                srv.cleanup()


class SilentFloodFromOneAddress(unittest.TestCase):
    COUNT = 5000

    def test_others_are_served_at_once(self):
        if not raise_own_file_limit(self.COUNT + 200):
            self.skipTest("open-file limit below %d" % (self.COUNT + 200))
        srv = start_server(config=LONG_HEAD_DEADLINE)
        silent = []
        try:
            for _ in range(self.COUNT):
                silent.append(connect(srv, "127.0.0.2"))
            # Served while the flood waits: a server that made them wait for the flood to leave
            # would leave the client's read to time out (15 s, far below the deadline).
            for path in ("/index.html", "/health", "/api/v1/setup/status"):
                with connect(srv, "127.0.0.3") as other:
                    self.assertEqual(ask(other, path)[0], 200, path)
            # Whatever the flood was told is a 503 with Retry-After; the rest still waits.
            poller = select.poll()
            by_fd = {s.fileno(): s for s in silent}
            for fd in by_fd:
                poller.register(fd, select.POLLIN)
            for fd, _ in poller.poll(0):
                status, headers, body = read_answer(by_fd[fd])
                self.assertEqual((status, headers.get("retry-after")), (503, "5"))
                self.assertEqual(json.loads(body)["error"]["message"], "Too many connections")
        finally:
            for s in silent:
                s.close()
            srv.stop()
            srv.cleanup()


class OutOfDescriptors(unittest.TestCase):
    """The server runs under a small open-file limit, and hub clients (descriptors the HTTP
    front end does not count) take all it has left."""

    LIMIT = 256

    def test_answers_while_short_and_serves_once_they_go(self):
        srv = start_server(rlimits={resource.RLIMIT_NOFILE: (self.LIMIT, self.LIMIT)})
        hub = []
        try:
            token = srv.setup_admin()
            refusal = None
            for _ in range(self.LIMIT):
                try:
                    hub.append(WSClient.connect(srv.host, srv.port, path="/ws?token=" + token, timeout=15))
                except HandshakeError as e:
                    refusal = e
                    break
            self.assertIsNotNone(refusal, "the server never ran short")
            self.assertEqual((refusal.status, json.loads(refusal.body)), (503, SERVER_BUSY))
            self.assertIn(b"\r\nRetry-After: 5", refusal.head)
            # Everyone else is answered at once while the hub clients hold on (told to come back,
            # or served should a descriptor have come free).
            for source in ("127.0.0.5", "127.0.0.6", "127.0.0.7"):
                with connect(srv, source) as other:
                    other.sendall(b"OPTIONS / HTTP/1.1\r\nHost: x\r\n\r\n")
                    self.assertIn(read_answer(other)[0], (503, 204), source)
            self.assertIsNone(srv.proc.poll())
        finally:
            for ws in hub:
                ws.sock.close()
        try:
            self.assertTrue(wait_until(lambda: self.served(srv), 30))
            self.assertEqual(srv.stop(), 0)
        finally:
            if srv.proc.poll() is None:
                srv.proc.kill()
            srv.cleanup()

    @staticmethod
    def served(srv):
        try:
            return srv.request("GET", "/index.html", source="127.0.0.5", timeout=5)[0] == 200
        except OSError:
            return False


if __name__ == "__main__":
    unittest.main()
