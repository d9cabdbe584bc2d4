"""HTTP(S) front end of the real server: dispatch, static files, limits and TLS."""
import os
import re
import resource
import socket
import ssl
import subprocess
import time
import unittest
import warnings

from ovfixture import OVServer

NOT_FOUND_ENVELOPE = '{ "success" : false, "error" : { "code" : 404, "message" : "API endpoint not found" } }'


def parse_raw(data):
    """(status, lower-case headers, body bytes) of a raw HTTP answer; status 0 when there is none."""
    head, sep, body = data.partition(b"\r\n\r\n")
    if not sep or not head.startswith(b"HTTP/1.1 "):
        return 0, {}, data
    lines = head.decode("latin-1").split("\r\n")
    headers = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        headers[name.strip().lower()] = value.strip()
    return int(lines[0].split()[1]), headers, body


class HttpFrontEnd(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.srv = OVServer(
            config={"server": {"max_body_mb": "1"}},
            web_files={
                "app.js": "console.log('x');",
                "img/LOGO.PNG": b"\x89PNG\r\n",
                "README": "plain text",
                "old.htm": "{{VERSION}}",
                "sub/inner.css": "body{}",
            })
        sibling = os.path.join(cls.srv.tmp, "web2")
        os.makedirs(sibling, exist_ok=True)
        with open(os.path.join(sibling, "secret.txt"), "w") as f:
            f.write("sibling secret")
        cls.srv.start()

    @classmethod
    def tearDownClass(cls):
        code = cls.srv.stop()
        cls.srv.cleanup()
        assert code == 0, "exit code %s" % code

    def get(self, path, method="GET", **kw):
        return self.srv.request(method, path, **kw)

    def raw(self, data, timeout=10):
        return parse_raw(self.srv.raw(data, timeout=timeout))

    def test_options_preflight(self):
        status, headers, body = self.get("/api/v1/users", method="OPTIONS")
        self.assertEqual(status, 204)
        self.assertEqual(headers["access-control-allow-origin"], "*")
        self.assertEqual(headers["access-control-allow-headers"], "Content-Type, Authorization, X-API-Key")
        self.assertEqual(headers["access-control-allow-methods"], "GET, POST, PUT, DELETE, OPTIONS")
        self.assertEqual(headers["access-control-max-age"], "86400")
        self.assertEqual(headers["connection"], "close")
        self.assertEqual(body, "")

    def test_api_not_found_envelope(self):
        for path in ("/api/v1/nope", "/api/v1foo", "/api/v1/setup"):  # the last exists for POST only
            status, headers, body = self.get(path)
            self.assertEqual(status, 404, path)
            self.assertEqual(body, NOT_FOUND_ENVELOPE, path)
            self.assertEqual(headers["connection"], "close")

    def test_index_with_placeholders(self):
        status, headers, body = self.get("/")
        self.assertEqual(status, 200)
        self.assertRegex(body, r"^<html><body>Orvanta 0\.5\.33 [0-9A-F]{16}</body></html>$")
        self.assertEqual(headers["content-type"], "text/html; charset=utf-8")
        self.assertEqual(headers["cache-control"], "no-cache, must-revalidate")
        self.assertEqual(headers["connection"], "close")
        self.assertEqual(self.get("/index.html?v=3")[1]["cache-control"], "no-cache, must-revalidate")

    def test_cache_headers_and_mime_types(self):
        self.assertEqual(self.get("/app.js?v=12")[1]["cache-control"], "public, max-age=31536000, immutable")
        status, headers, body = self.get("/app.js")
        self.assertEqual((status, body), (200, "console.log('x');"))
        self.assertEqual(headers["cache-control"], "public, max-age=300")
        self.assertEqual(headers["content-type"], "application/javascript; charset=utf-8")
        self.assertEqual(self.get("/img/LOGO.PNG")[1]["content-type"], "image/png")
        self.assertEqual(self.get("/README")[1]["content-type"], "application/octet-stream")
        status, headers, body = self.get("/old.htm")
        self.assertEqual(body, "{{VERSION}}")
        self.assertEqual(headers["cache-control"], "public, max-age=300")

    def test_not_found_texts(self):
        for path, message in (("/missing.js", "File not found"), ("/sub", "File not found"),
                              ("/plugins/demo/none.js", "Plugin file not found")):
            status, headers, body = self.get(path)
            self.assertEqual(status, 404, path)
            self.assertIn('"message" : "%s"' % message, body)
            self.assertEqual(headers["connection"], "close")

    def test_traversal_is_forbidden(self):
        # Sent raw: a client library would resolve the dots itself.
        for target in (b"/../web2/secret.txt", b"/%2e%2e/web2/secret.txt", b"/sub/../../web2/secret.txt",
                       b"/../../../../etc/passwd", b"/plugins/../web/index.html"):
            status, headers, body = self.raw(b"GET " + target + b" HTTP/1.1\r\nHost: x\r\n\r\n")
            self.assertEqual(status, 403, target)
            self.assertNotIn(b"secret", body)
            self.assertEqual(headers["connection"], "close")

    def test_bad_input(self):
        cases = [
            (b"NONSENSE\r\n\r\n", 400, None),
            (b"GET / HTTP/9\r\n\r\n", 400, None),
            (b"GET /a b c HTTP/1.1\r\n\r\n", 400, None),
            (b"GET /bad%zzescape HTTP/1.1\r\n\r\n", 400, None),
            (b"GET /index.html%00.js HTTP/1.1\r\n\r\n", 400, None),
            (b"GET / HTTP/1.1\r\nX-Big: " + b"a" * 20000 + b"\r\n\r\n", 431, None),
            # HTTP/1.1 names its host exactly once; other major versions are not spoken here.
            (b"GET /app.js HTTP/1.1\r\n\r\n", 400, "Bad request"),
            (b"GET /app.js HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n", 400, "Bad request"),
            (b"GET /app.js HTTP/2.0\r\nHost: x\r\n\r\n", 505, "HTTP version not supported"),
            (b"GET /app.js HTTP/0.9\r\nHost: x\r\n\r\n", 505, "HTTP version not supported"),
            (b"GET /app.js HTTP/1.0\r\n\r\n", 200, None),
            # /health: HEAD is GET without the body; other methods get the API's no-route answer.
            (b"HEAD /health HTTP/1.1\r\nHost: x\r\n\r\n", 200, None),
            (b"POST /health HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n", 404, "API endpoint not found"),
            (b"DELETE /health HTTP/1.1\r\nHost: x\r\n\r\n", 404, "API endpoint not found"),
        ]
        for request, expected, message in cases:
            status, headers, body = self.raw(request)
            self.assertEqual(status, expected, request[:40])
            self.assertEqual(headers.get("connection"), "close")
            if message:
                self.assertIn(b'"message" : "%s"' % message.encode(), body, request[:40])
        # The same no-route answer as a wrong method elsewhere under the API.
        wrong = self.raw(b"DELETE /api/v1/auth/login HTTP/1.1\r\nHost: x\r\n\r\n")
        self.assertEqual(wrong[0], 404)
        self.assertEqual(self.raw(b"PUT /health HTTP/1.1\r\nHost: x\r\n\r\n")[2], wrong[2])
        status, headers, body = self.raw(b"HEAD /health HTTP/1.1\r\nHost: x\r\n\r\n")
        get = self.raw(b"GET /health HTTP/1.1\r\nHost: x\r\n\r\n")
        self.assertEqual((status, body), (200, b""))
        self.assertIn(b'"healthy"', get[2])
        self.assertEqual(headers["content-length"], str(len(get[2])))
        self.assertEqual(headers["content-type"], get[1]["content-type"])
        # The cap is 1 MiB here; the answer comes although the body is never read.
        with socket.create_connection((self.srv.host, self.srv.port), timeout=10) as s:
            s.sendall(b"POST /api/v1/auth/login HTTP/1.1\r\nHost: x\r\nContent-Length: 3000000\r\n\r\n" + b"x" * 200000)
            data = b""
            try:
                while True:
                    c = s.recv(65536)
                    if not c:
                        break
                    data += c
            except (socket.timeout, ConnectionResetError):
                pass
        status, _, body = parse_raw(data)
        self.assertEqual(status, 413)
        self.assertIn(b"Request body too large", body)
        self.assertEqual(self.get("/")[0], 200)

    def test_idle_connections_do_not_block_others(self):
        idle = []
        try:
            for _ in range(300):
                idle.append(socket.create_connection((self.srv.host, self.srv.port), timeout=5))
            started = time.time()
            status, _, body = self.get("/index.html", timeout=10)
            self.assertEqual(status, 200)
            self.assertIn("Orvanta", body)
            self.assertLess(time.time() - started, 5)
        finally:
            for s in idle:
                s.close()

    def test_clients_that_disconnect_mid_request(self):
        for partial in (b"GET /ind", b"GET / HTTP/1.1\r\nHost: x\r\n",
                        b"POST /api/v1/auth/login HTTP/1.1\r\nHost: x\r\nContent-Length: 500\r\n\r\n{\"user"):
            with socket.create_connection((self.srv.host, self.srv.port), timeout=5) as s:
                s.sendall(partial)
        for _ in range(3):
            self.assertEqual(self.get("/app.js")[0], 200)


class StopWithIdleClients(unittest.TestCase):
    def test_sigterm_does_not_wait_for_clients_that_sent_nothing(self):
        # A browser's spare connection (or a half-sent request) must not hold a stop for the
        # whole shutdown wait of the connection threads.
        srv = OVServer()
        try:
            srv.start()
            silent = socket.create_connection((srv.host, srv.port), timeout=10)
            partial = socket.create_connection((srv.host, srv.port), timeout=10)
            partial.sendall(b"GET /index.html HTTP/1.1\r\nHost: x\r\n")
            time.sleep(0.3)
            started = time.time()
            self.assertEqual(srv.stop(), 0)
            self.assertLess(time.time() - started, 5)
            self.assertIn("[shutdown] HttpSrv.Free", srv.stderr)
            for s in (silent, partial):
                self.assertEqual(s.recv(100), b"")  # closed without an answer
                s.close()
        finally:
            if srv.proc and srv.proc.poll() is None:
                srv.proc.kill()
            srv.cleanup()


def proc_status(pid, field):
    """A field of /proc/<pid>/status as an integer (VmRSS in kB, Threads)."""
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


class ThousandsOfIdleConnections(unittest.TestCase):
    COUNT = 2000

    def test_idle_connections_cost_no_thread_and_a_stop_cuts_them(self):
        # Clients that send nothing, or half a request head, wait on the event loops: they cost
        # no thread and little memory, an ordinary client is served meanwhile, and SIGTERM cuts
        # them at once.  (The benchmark holds 10,000.)
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        need = 2 * self.COUNT + 200  # this process's sockets and the server's
        if hard != resource.RLIM_INFINITY and hard < need:
            self.skipTest("open-file limit %d is below %d" % (hard, need))
        resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, need) if hard == resource.RLIM_INFINITY
                                                    else min(hard, max(soft, need)), hard))
        srv = OVServer(config={"security": {"max_connections_per_ip": "100000"}})
        idle = []
        try:
            srv.start()
            pid = srv.proc.pid
            self.assertEqual(srv.request("GET", "/index.html")[0], 200)
            threads_before = proc_status(pid, "Threads")
            rss_before = proc_status(pid, "VmRSS")
            for i in range(self.COUNT):
                s = socket.create_connection((srv.host, srv.port), timeout=10)
                if i % 2:
                    s.sendall(b"GET /index.html HTTP/1.1\r\nHost: x\r\n")
                idle.append(s)
            started = time.time()
            status, _, body = srv.request("GET", "/index.html", timeout=10)
            self.assertEqual(status, 200)
            self.assertIn("Orvanta", body)
            self.assertEqual(srv.request("GET", "/health", timeout=10)[0], 200)
            self.assertLess(time.time() - started, 5)
            # The two requests above may each have started a handler thread; the idle clients
            # none (with a thread each they would add two thousand).
            self.assertLessEqual(proc_status(pid, "Threads"), threads_before + 2)
            self.assertLess(proc_status(pid, "VmRSS") - rss_before, 40 * 1024)  # kB: far below 20 kB a client
            started = time.time()
            self.assertEqual(srv.stop(), 0)
            self.assertLess(time.time() - started, 5)
            for s in idle[:20] + idle[-20:]:
                self.assertEqual(s.recv(100), b"")  # closed without an answer
        finally:
            for s in idle:
                s.close()
            if srv.proc and srv.proc.poll() is None:
                srv.proc.kill()
            srv.cleanup()


def make_cert(directory):
    cert = os.path.join(directory, "cert.pem")
    key = os.path.join(directory, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=localhost",
                    "-keyout", key, "-out", cert], check=True, capture_output=True, timeout=60)
    return cert, key


class Https(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.srv = OVServer(write_config=False)
        cert, key = make_cert(cls.srv.tmp)
        cls.srv._merge("server", {"use_ssl": "1"})
        cls.srv._merge("ssl", {"cert_file": cert, "key_file": key, "min_version": "tls1.2"})
        from ovfixture import write_ini
        os.makedirs(os.path.dirname(cls.srv.config_path), exist_ok=True)
        write_ini(cls.srv.config_path, cls.srv.sections)
        cls.srv.start()

    @classmethod
    def tearDownClass(cls):
        cls.srv.stop()
        cls.srv.cleanup()

    def handshake(self, version, seclevel0=False):
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        ctx.check_hostname = False
        ctx.verify_mode = ssl.CERT_NONE
        if seclevel0:
            ctx.set_ciphers("DEFAULT:@SECLEVEL=0")
        ctx.minimum_version = version
        ctx.maximum_version = version
        with socket.create_connection((self.srv.host, self.srv.port), timeout=10) as raw:
            with ctx.wrap_socket(raw) as s:
                s.sendall(b"GET /index.html HTTP/1.1\r\nHost: x\r\n\r\n")
                data = b""
                while True:
                    try:
                        c = s.recv(65536)
                    except ssl.SSLError:
                        break
                    if not c:
                        break
                    data += c
                return parse_raw(data)

    def test_tls12_and_tls13(self):
        self.assertIn("SSL: enabled (min TLS tls1.2)", self.srv.stdout)
        for version in (ssl.TLSVersion.TLSv1_2, ssl.TLSVersion.TLSv1_3):
            status, headers, body = self.handshake(version)
            self.assertEqual(status, 200, version)
            self.assertIn(b"Orvanta 0.5.33", body)
            self.assertEqual(headers["connection"], "close")

    def test_tls11_is_refused(self):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            with self.assertRaises((ssl.SSLError, ConnectionResetError, ValueError)):
                self.handshake(ssl.TLSVersion.TLSv1_1, seclevel0=True)
        self.assertEqual(self.handshake(ssl.TLSVersion.TLSv1_2)[0], 200)

    def test_plain_http_on_the_tls_port_gets_no_clear_answer(self):
        try:
            data = self.srv.raw(b"GET / HTTP/1.1\r\n\r\n", timeout=5)
        except ConnectionResetError:
            data = b""
        self.assertFalse(data.startswith(b"HTTP/1.1"))
        self.assertEqual(self.handshake(ssl.TLSVersion.TLSv1_2)[0], 200)


class TlsStartupFailure(unittest.TestCase):
    def test_missing_key_file_ends_start_up(self):
        srv = OVServer(write_config=False)
        try:
            cert, key = make_cert(srv.tmp)
            os.unlink(key)
            srv._merge("server", {"use_ssl": "1"})
            srv._merge("ssl", {"cert_file": cert, "key_file": key})
            from ovfixture import write_ini
            os.makedirs(os.path.dirname(srv.config_path), exist_ok=True)
            write_ini(srv.config_path, srv.sections)
            srv.start(wait=False)
            self.assertEqual(srv.wait_exit(timeout=60), 1)
            self.assertIn("FATAL: ", srv.stdout)
            self.assertNotIn("SSL: enabled", srv.stdout)
        finally:
            if srv.proc and srv.proc.poll() is None:
                srv.proc.kill()
            srv.cleanup()

    def test_port_in_use_fails_the_accept_loop(self):
        # Start-up runs to its end (the summary), then the accept loop fails: logged and printed
        # with the exception's class, every service stopped, exit code 1.
        with socket.socket() as blocker:
            blocker.bind(("127.0.0.1", 0))
            blocker.listen(1)
            port = blocker.getsockname()[1]
            srv = OVServer(config={"server": {"port": port}})
            try:
                srv.start(wait=False)
                self.assertEqual(srv.wait_exit(timeout=60), 1)
                why = "Cannot bind HTTP server to 127.0.0.1:%d: Address already in use" % port
                out = srv.stdout
                summary = ["Listening on 127.0.0.1:%d\n" % port, "SSL: disabled", "Plugins: enabled (0 loaded)",
                           "WebSocket: listening on port %d (WS)" % srv.ws_port, "Discovery: disabled\n\n",
                           "\nFATAL: std::runtime_error: " + why + "\n"]
                at = [out.find(line) for line in summary]
                self.assertTrue(all(i >= 0 for i in at) and at == sorted(at), out)
                self.assertNotIn("FATAL: Cannot bind", out)
                log = srv.log_text()
                self.assertIn("[OrvantaBBS Error] FATAL: HTTP server crashed: std::runtime_error: " + why, log)
                self.assertIn("[shutdown] done", srv.stderr)
                self.assertIn("Server stopped.", log)
            finally:
                if srv.proc and srv.proc.poll() is None:
                    srv.proc.kill()
                srv.cleanup()


if __name__ == "__main__":
    unittest.main()
