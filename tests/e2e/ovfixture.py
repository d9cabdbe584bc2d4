"""End-to-end fixture: runs the real orvantaserver binary on free loopback ports.

    with OVServer() as srv:                 # temp config, data, web and plug-in directories
        status, headers, body = srv.request("GET", "/health")
        srv.stop()                          # SIGTERM; returns the exit code

Only the python3 standard library is used.
"""
import http.client
import json
import os
import shutil
import signal
import socket
import ssl
import subprocess
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def build_dir():
    return os.environ.get("OV_BUILD_DIR", os.path.join(ROOT, "build"))


def server_binary():
    return os.path.join(build_dir(), "orvantaserver")


def built_plugin(name):
    """A plug-in of tests/plugins as the build made it (<build>/test_plugins/<name>.so)."""
    return os.path.join(build_dir(), "test_plugins", name + ".so")


def free_port(host="127.0.0.1"):
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind((host, 0))
        return s.getsockname()[1]


def write_ini(path, sections):
    """sections: list of (name, [(key, value), ...]) in order."""
    with open(path, "w") as f:
        for name, items in sections:
            f.write("[%s]\n" % name)
            for k, v in items:
                f.write("%s=%s\n" % (k, v))
            f.write("\n")


def db_backends():
    """The database types available to this test run: sqlite3 always, the servers when started."""
    out = ["sqlite3"]
    if os.environ.get("OV_TEST_PG_PORT"):
        out.append("postgresql")
    if os.environ.get("OV_TEST_MYSQL_PORT"):
        out.append("mariadb")
    return out


def wait_until(predicate, timeout, interval=0.05):
    """Polls predicate until it is true or timeout seconds have passed; returns its last value."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(interval)


def error_message(body):
    """The message of an error answer's JSON, None for any other."""
    return body["error"]["message"] if body and "error" in body else None


class _Reader(threading.Thread):
    def __init__(self, stream):
        super().__init__(daemon=True)
        self.stream = stream
        self.chunks = []
        self.lock = threading.Lock()

    def run(self):
        for line in iter(self.stream.readline, b""):
            with self.lock:
                self.chunks.append(line)

    def text(self):
        with self.lock:
            return b"".join(self.chunks).decode("utf-8", "replace")


class OVServer:
    """A server process with its own temp directory tree.

    config: dict section -> dict key -> value, merged over the fixture's defaults.
    db: "sqlite3", "postgresql" or "mariadb" (the latter two need the test servers).
    env: variables added to the server process's environment.
    rlimits: resource limits for the server process, {resource.RLIMIT_...: (soft, hard)}.
    """

    def __init__(self, config=None, db="sqlite3", write_config=True, web_files=None, wait=True, env=None,
                 rlimits=None):
        self.tmp = tempfile.mkdtemp(prefix="ov-e2e-")
        self.data_dir = os.path.join(self.tmp, "data")
        self.web_dir = os.path.join(self.tmp, "web")
        self.plugin_dir = os.path.join(self.tmp, "plugins")
        self.scripts_dir = os.path.join(self.tmp, "scripts")
        for d in (self.web_dir, self.plugin_dir, self.scripts_dir):
            os.makedirs(d, exist_ok=True)
        files = {"index.html": "<html><body>Orvanta {{VERSION}} {{BUILD_ID}}</body></html>"}
        files.update(web_files or {})
        for name, content in files.items():
            p = os.path.join(self.web_dir, name)
            os.makedirs(os.path.dirname(p), exist_ok=True)
            with open(p, "wb") as f:
                f.write(content.encode() if isinstance(content, str) else content)
        self.port = free_port()
        self.ws_port = free_port()
        self.host = "127.0.0.1"
        self.config_path = os.path.join(self.tmp, "config", "orvanta.ini")
        self.log_path = os.path.join(self.data_dir, "orvanta.log")
        self.db = db
        self.proc = None
        self.exit_code = None
        self.wait_ready = wait
        self.env = dict(env or {})
        self.rlimits = dict(rlimits or {})
        self.sections = self._default_sections()
        for sec, kv in (config or {}).items():
            self._merge(sec, kv)
        if write_config:
            os.makedirs(os.path.dirname(self.config_path), exist_ok=True)
            write_ini(self.config_path, self.sections)

    def _default_sections(self):
        secs = [
            ("server", [("port", self.port), ("address", self.host), ("use_ssl", "0")]),
            ("database", self._db_items()),
            ("logging", [("log_file", self.log_path), ("log_level", "info")]),
            ("paths", [("web_root", self.web_dir), ("plugin_dir", self.plugin_dir),
                       ("data_dir", self.data_dir), ("scripts_dir", self.scripts_dir)]),
            ("security", [("jwt_secret", ""), ("rate_limit_per_minute", "100000"),
                          ("max_connections_per_ip", "100000"), ("connection_timeout", "10")]),
            # The registry check-in never leaves this machine: nothing listens on port 9.
            ("plugins", [("enabled", "1"), ("lua_enabled", "1"), ("registry_url", "http://127.0.0.1:9")]),
            ("websocket", [("enabled", "1"), ("address", self.host), ("port", self.ws_port)]),
            ("discovery", [("enabled", "0")]),
        ]
        return secs

    def _db_items(self):
        if self.db == "sqlite3":
            return [("type", "sqlite3"), ("file", os.path.join(self.data_dir, "orvanta.db"))]
        prefix = "OV_TEST_PG_" if self.db == "postgresql" else "OV_TEST_MYSQL_"
        env = os.environ
        if not env.get(prefix + "PORT"):
            raise unittest_skip("database server %s not available" % self.db)
        dbname = self._fresh_database(prefix)
        return [("type", self.db), ("host", env[prefix + "HOST"]), ("port", env[prefix + "PORT"]),
                ("name", dbname), ("username", env[prefix + "USER"]), ("password", env[prefix + "PASSWORD"])]

    def _fresh_database(self, prefix):
        """Each server instance gets an empty database of its own."""
        name = "ov_e2e_%d_%d" % (os.getpid(), int(time.time() * 1000) % 100000000)
        env = os.environ
        if prefix == "OV_TEST_PG_":
            cmd = ["psql", "-h", env[prefix + "HOST"], "-p", env[prefix + "PORT"], "-U", env[prefix + "USER"],
                   "-d", env[prefix + "DB"], "-v", "ON_ERROR_STOP=1", "-c", "CREATE DATABASE %s" % name]
            subprocess.run(cmd, check=True, capture_output=True, env=dict(env, PGPASSWORD=env[prefix + "PASSWORD"]),
                           timeout=30)
        else:
            cmd = ["mariadb", "-h", env[prefix + "HOST"], "-P", env[prefix + "PORT"], "-u", env[prefix + "USER"],
                   "-p" + env[prefix + "PASSWORD"], "-e", "CREATE DATABASE %s CHARACTER SET utf8mb4" % name]
            subprocess.run(cmd, check=True, capture_output=True, timeout=30)
        self.fresh_db_name = name
        return name

    def sql(self, statement):
        """Runs one statement on this server's database with the backend's own client (a write is
        committed) and returns the rows as lists of text (NULL as None)."""
        env = os.environ
        if self.db == "sqlite3":
            import sqlite3
            con = sqlite3.connect(os.path.join(self.data_dir, "orvanta.db"), timeout=10)
            try:
                rows = con.execute(statement).fetchall()
                con.commit()
                return [[None if v is None else str(v) for v in r] for r in rows]
            finally:
                con.close()
        if self.db == "postgresql":
            p = "OV_TEST_PG_"
            cmd = ["psql", "-h", env[p + "HOST"], "-p", env[p + "PORT"], "-U", env[p + "USER"], "-d",
                   self.fresh_db_name, "-X", "-q", "-A", "-t", "-F", "\t", "-P", "null=\\N", "-v", "ON_ERROR_STOP=1",
                   "-c", statement]
            out = subprocess.run(cmd, check=True, capture_output=True, text=True, timeout=30,
                                 env=dict(env, PGPASSWORD=env[p + "PASSWORD"])).stdout
            null = "\\N"
        else:
            p = "OV_TEST_MYSQL_"
            cmd = ["mariadb", "-h", env[p + "HOST"], "-P", env[p + "PORT"], "-u", env[p + "USER"],
                   "-p" + env[p + "PASSWORD"], "-N", "-B", self.fresh_db_name, "-e", statement]
            out = subprocess.run(cmd, check=True, capture_output=True, text=True, timeout=30).stdout
            null = "NULL"
        return [[None if v == null else v for v in line.split("\t")] for line in out.splitlines() if line != ""]

    def db_rows(self, sql):
        """sql(), with the rows as tuples."""
        return [tuple(r) for r in self.sql(sql)]

    def value(self, statement, *args):
        """The first column of the first row sql() returns, None without a row."""
        rows = self.sql(statement, *args)
        return rows[0][0] if rows else None

    def install_plugin(self, name, as_name=None):
        """Puts a test plug-in into the plug-in directory as <as_name or name>.so, replacing a file
        there by renaming a copy over it; returns the path."""
        target = os.path.join(self.plugin_dir, (as_name or name) + ".so")
        shutil.copyfile(built_plugin(name), target + ".new")
        os.replace(target + ".new", target)
        return target

    def _merge(self, section, kv):
        for i, (name, items) in enumerate(self.sections):
            if name == section:
                d = dict(items)
                d.update(kv)
                self.sections[i] = (name, list(d.items()))
                return
        self.sections.append((section, list(kv.items())))

    # ---- life ----
    def start(self, args=None, wait=None):
        cmd = [server_binary(), "--run", "--config=" + self.config_path] if args is None else [server_binary()] + args
        self.proc = subprocess.Popen(cmd, cwd=self.tmp, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     env=dict(os.environ, **self.env) if self.env else None,
                                     preexec_fn=self._apply_rlimits if self.rlimits else None)
        self._out = _Reader(self.proc.stdout)
        self._err = _Reader(self.proc.stderr)
        self._out.start()
        self._err.start()
        if wait if wait is not None else self.wait_ready:
            self.wait_until_up()
        return self

    def _apply_rlimits(self):
        import resource
        for which, limits in self.rlimits.items():
            resource.setrlimit(which, limits)

    def wait_until_up(self, timeout=30):
        deadline = time.time() + timeout
        while time.time() < deadline:
            if self.proc.poll() is not None:
                raise AssertionError("server exited with %s during start-up\nstdout:\n%s\nstderr:\n%s"
                                     % (self.proc.returncode, self.stdout, self.stderr))
            if "Discovery:" in self.stdout:
                try:
                    with socket.create_connection((self.host, self.port), timeout=0.5):
                        return
                except OSError:
                    pass
            time.sleep(0.05)
        raise AssertionError("server did not come up\nstdout:\n%s\nstderr:\n%s" % (self.stdout, self.stderr))

    def stop(self, sig=signal.SIGTERM, timeout=30):
        if self.proc is None:
            return self.exit_code
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        try:
            self.exit_code = self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.exit_code = self.proc.wait()
            raise AssertionError("server did not stop within %ss\nstderr:\n%s" % (timeout, self.stderr))
        self._close_pipes()
        self._check_sanitizers()
        return self.exit_code

    def _check_sanitizers(self):
        """A server built with sanitizers reports memory errors and undefined behaviour on
        standard error, and a Debug build its lock-order and lock-contract violations (then
        aborts); any such report fails the test that ran the server."""
        err = self.stderr
        for marker in ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:",
                       "lock order violation", "lock contract violation"):
            if marker in err:
                raise AssertionError("sanitizer report from the server:\n" + err[-4000:])

    def wait_exit(self, timeout=30):
        try:
            self.exit_code = self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            raise AssertionError("server did not exit")
        self._close_pipes()
        self._check_sanitizers()
        return self.exit_code

    def _close_pipes(self):
        self._out.join(5)
        self._err.join(5)
        for p in (self.proc.stdout, self.proc.stderr):
            try:
                p.close()
            except OSError:
                pass

    @property
    def stdout(self):
        return self._out.text() if self.proc else ""

    @property
    def stderr(self):
        return self._err.text() if self.proc else ""

    def wait_for_stdout(self, text, timeout=30):
        deadline = time.time() + timeout
        while time.time() < deadline:
            if text in self.stdout:
                return True
            if self.proc.poll() is not None:
                return text in self.stdout
            time.sleep(0.05)
        return False

    def log_text(self):
        try:
            with open(self.log_path, encoding="utf-8", errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def wait_for_log(self, text, timeout=10):
        deadline = time.time() + timeout
        while time.time() < deadline:
            if text in self.log_text():
                return True
            time.sleep(0.05)
        return False

    def config_value(self, section, key):
        cur = None
        with open(self.config_path) as f:
            for line in f:
                line = line.strip()
                if line.startswith("[") and line.endswith("]"):
                    cur = line[1:-1].strip().lower()
                elif cur == section and "=" in line:
                    k, v = line.split("=", 1)
                    if k.strip().lower() == key:
                        return v.strip()
        return None

    # ---- HTTP ----
    def request(self, method, path, body=None, headers=None, token=None, api_key=None, timeout=15,
                tls=False, source=None):
        """Returns (status, headers dict with lower-case names, body text)."""
        hdrs = dict(headers or {})
        if token:
            hdrs["Authorization"] = "Bearer " + token
        if api_key:
            hdrs["X-API-Key"] = api_key
        if isinstance(body, (dict, list)):
            body = json.dumps(body)
            hdrs.setdefault("Content-Type", "application/json")
        kwargs = {"timeout": timeout}
        if source:
            kwargs["source_address"] = (source, 0)
        if tls:
            ctx = ssl.create_default_context()
            ctx.check_hostname = False
            ctx.verify_mode = ssl.CERT_NONE
            conn = http.client.HTTPSConnection(self.host, self.port, context=ctx, **kwargs)
        else:
            conn = http.client.HTTPConnection(self.host, self.port, **kwargs)
        try:
            conn.request(method, path, body=body, headers=hdrs)
            resp = conn.getresponse()
            data = resp.read().decode("utf-8", "replace")
            return resp.status, {k.lower(): v for k, v in resp.getheaders()}, data
        finally:
            conn.close()

    def setup_admin(self, username="sysop", password="secret1"):
        """Runs the first-run setup; returns the new administrator's token."""
        status, body = self.json("POST", "/api/v1/setup", {"username": username, "password": password})
        assert status == 201, body
        return body["data"]["token"]

    def login(self, username="sysop", password="secret1", source=None):
        return self.json("POST", "/api/v1/auth/login", {"username": username, "password": password}, source=source)

    def json(self, method, path, body=None, **kw):
        """Returns (status, parsed JSON or None)."""
        status, _, text = self.request(method, path, body=body, **kw)
        try:
            return status, json.loads(text)
        except ValueError:
            return status, None

    def raw(self, data, timeout=10):
        """Sends raw bytes on a fresh connection and returns everything received."""
        with socket.create_connection((self.host, self.port), timeout=timeout) as s:
            s.sendall(data)
            chunks = []
            try:
                while True:
                    c = s.recv(65536)
                    if not c:
                        break
                    chunks.append(c)
            except socket.timeout:
                pass
            return b"".join(chunks)

    # ---- context manager ----
    def __enter__(self):
        if self.proc is None:
            self.start()
        return self

    def __exit__(self, *exc):
        try:
            # A server that has ended by itself (an abort included) is still checked.
            if self.proc is not None:
                self.stop()
        finally:
            self.cleanup()

    def cleanup(self):
        shutil.rmtree(self.tmp, ignore_errors=True)


def unittest_skip(msg):
    import unittest
    return unittest.SkipTest(msg)
