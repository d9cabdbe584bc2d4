"""Headless Chromium driven over its remote-debugging protocol, on the python3 standard library.

    with Chromium() as browser:              # raises unittest.SkipTest when chromium is missing
        browser.navigate("http://127.0.0.1:8080/page.html")
        text = browser.evaluate("document.title")

The browser runs on a fresh profile directory, listens for the debugger on loopback only, and is
ended with its whole process group.  While it runs, this process is the subreaper of the
browser's helper processes, so that none is left as a zombie when the browser ends.
"""
import ctypes
import http.client
import json
import os
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

from wsclient import WSClient

FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync"]


PR_SET_CHILD_SUBREAPER = 36


def _set_subreaper(on):
    try:
        ctypes.CDLL(None, use_errno=True).prctl(PR_SET_CHILD_SUBREAPER, 1 if on else 0, 0, 0, 0)
    except (OSError, AttributeError):
        pass


def _reap_orphans(timeout):
    """Reaps the helpers handed to this process when their parent ended (killed already, they
    come within moments; other children that still run are left alone)."""
    deadline = time.time() + timeout
    quiet_since = time.time()
    while time.time() < deadline and time.time() - quiet_since < 0.3:
        try:
            pid, _ = os.waitpid(-1, os.WNOHANG)
        except ChildProcessError:
            return
        if pid:
            quiet_since = time.time()
        else:
            time.sleep(0.02)


def chromium_binary():
    for name in ("chromium", "chromium-browser"):
        path = shutil.which(name)
        if path:
            return path
    return None


class CDPError(Exception):
    pass


class Chromium:
    def __init__(self, timeout=15):
        self.binary = chromium_binary()
        if not self.binary:
            raise unittest.SkipTest("chromium is not installed (scripts/install-deps installs it)")
        self.timeout = timeout
        self.profile = tempfile.mkdtemp(prefix="ov-chromium-")
        self.proc = None
        self.ws = None
        self.next_id = 0

    def __enter__(self):
        try:
            self.start()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()

    def start(self):
        cmd = [self.binary] + FLAGS + ["--user-data-dir=" + self.profile, "--remote-debugging-port=0", "about:blank"]
        _set_subreaper(True)
        self.proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL, start_new_session=True)
        port = self._debugger_port()
        self.ws = WSClient.connect("127.0.0.1", port, self._page_path(port), timeout=self.timeout)

    def _debugger_port(self):
        # The browser writes the port it chose, then the browser target's path.
        marker = os.path.join(self.profile, "DevToolsActivePort")
        deadline = time.time() + self.timeout
        while time.time() < deadline:
            if self.proc.poll() is not None:
                raise CDPError("chromium exited with %s at start" % self.proc.returncode)
            try:
                with open(marker) as f:
                    lines = f.read().split("\n")
                if len(lines) >= 2 and lines[0].isdigit():
                    return int(lines[0])
            except OSError:
                pass
            time.sleep(0.05)
        raise CDPError("chromium did not open its debugger port")

    def _page_path(self, port):
        deadline = time.time() + self.timeout
        while time.time() < deadline:
            conn = http.client.HTTPConnection("127.0.0.1", port, timeout=self.timeout)
            try:
                conn.request("GET", "/json/list")
                targets = json.loads(conn.getresponse().read())
            finally:
                conn.close()
            for t in targets:
                if t.get("type") == "page" and t.get("webSocketDebuggerUrl"):
                    url = t["webSocketDebuggerUrl"]
                    return url[url.index("/devtools/"):]
            time.sleep(0.05)
        raise CDPError("chromium has no page to drive")

    def close(self):
        if self.ws:
            self.ws.close()
            self.ws = None
        if self.proc:
            # Asked to end, the browser ends its helper processes itself; whatever of its
            # process group is left after a bounded wait is killed.
            self.proc.terminate()
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                pass
            try:
                os.killpg(self.proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.proc.wait(timeout=10)
            self.proc = None
            # Call it with no other child process running: any exited child is reaped here.
            _reap_orphans(5)
            _set_subreaper(False)
        shutil.rmtree(self.profile, ignore_errors=True)

    # ---- protocol ----
    def call(self, method, params=None, timeout=None):
        """Sends one command and returns its result; events that arrive meanwhile are dropped."""
        self.next_id += 1
        my_id = self.next_id
        self.ws.send_json({"id": my_id, "method": method, "params": params or {}})
        deadline = time.time() + (timeout or self.timeout)
        while True:
            msg = self.ws.recv_json(timeout=max(0.001, deadline - time.time()))
            if msg is None:
                raise CDPError("debugger connection closed")
            if msg.get("id") == my_id:
                if "error" in msg:
                    raise CDPError("%s: %s" % (method, msg["error"]))
                return msg.get("result", {})

    def navigate(self, url):
        result = self.call("Page.navigate", {"url": url})
        if result.get("errorText"):
            raise CDPError("navigation to %s failed: %s" % (url, result["errorText"]))

    def evaluate(self, expression, timeout=None):
        """The value of a JavaScript expression in the page (promises awaited), as JSON data."""
        result = self.call("Runtime.evaluate", {"expression": expression, "returnByValue": True,
                                                "awaitPromise": True}, timeout)
        if "exceptionDetails" in result:
            raise CDPError("%s: %s" % (expression, result["exceptionDetails"]))
        return result["result"].get("value")

    def wait_for(self, expression, timeout=None):
        """Polls a JavaScript expression until it is truthy; returns its value."""
        deadline = time.time() + (timeout or self.timeout)
        while True:
            value = self.evaluate(expression)
            if value or time.time() >= deadline:
                return value
            time.sleep(0.05)
