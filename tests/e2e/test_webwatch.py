"""The web-root watcher end to end: a web administrator on /ws subscribed to
"web.files.changed" hears about files changed in the web root, its js and css folders and the
plug-in directory, once per burst."""
import calendar
import os
import re
import time
import unittest

from ovfixture import OVServer
from wsclient import OP_PONG, WSClient

EVENT = re.compile(r'^\{ "type" : "event", "event" : "web\.files\.changed", "data" : '
                   r'\{ "path" : "([^"]*)", "timestamp" : "(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)" \} \}$')


def touch(path, text="x"):
    with open(path, "w") as f:
        f.write(text)


class WebFileWatcher(unittest.TestCase):
    def admin(self, srv):
        token = srv.setup_admin()
        ws = WSClient.connect(srv.host, srv.port, path="/ws?token=" + token)
        self.addCleanup(ws.close)
        ws.send_json({"type": "subscribe", "events": ["web.files.changed"]})
        # The hub answers a ping after the messages before it: the subscription is in place.
        ws.ping(b"sync")
        while True:
            _, op, payload = ws.recv_frame(10)
            if op == OP_PONG and payload == b"sync":
                return ws

    def events(self, ws, wait):
        """The event texts that arrive within wait seconds."""
        out = []
        deadline = time.time() + wait
        while time.time() < deadline:
            try:
                m = ws.recv_json(type_="event", timeout=max(0.01, deadline - time.time()))
            except TimeoutError:
                break
            if m is None:
                break
            out.append(ws.last_text)
        return out

    def next_event(self, ws):
        m = ws.recv_json(type_="event", timeout=10)
        self.assertIsNotNone(m)
        match = EVENT.match(ws.last_text)
        self.assertIsNotNone(match, ws.last_text)
        return match.group(1), match.group(2)

    def test_changes_reach_web_administrators_once_per_burst(self):
        files = {"js/app.js": "1", "css/site.css": "1", "img/logo.txt": "1"}
        with OVServer(web_files=files) as srv:
            self.assertTrue(srv.wait_for_log("Web file watcher started"))
            ws = self.admin(srv)

            touch(os.path.join(srv.web_dir, "new.html"))
            path, stamp = self.next_event(ws)
            self.assertEqual(path, "new.html")
            self.assertLessEqual(abs(calendar.timegm(time.strptime(stamp, "%Y-%m-%dT%H:%M:%SZ")) - time.time()), 5)
            self.assertTrue(srv.wait_for_log("Web files changed: new.html \u2014 notifying browsers"))
            self.assertEqual(self.events(ws, 1.5), [])

            # Three saves within a second: one event.
            for i in range(3):
                touch(os.path.join(srv.web_dir, "js", "app.js"), str(i))
            self.assertEqual(self.next_event(ws)[0], "app.js")
            self.assertEqual(self.events(ws, 1.5), [])

            # Not recursive: img is not watched.
            touch(os.path.join(srv.web_dir, "img", "logo.txt"), "2")
            self.assertEqual(self.events(ws, 0.5), [])

            touch(os.path.join(srv.web_dir, "css", "site.css"), "2")
            self.assertEqual(self.next_event(ws)[0], "site.css")
            self.assertEqual(self.events(ws, 1.5), [])
            touch(os.path.join(srv.plugin_dir, "plugin.json"))
            self.assertEqual(self.next_event(ws)[0], "plugin.json")

            self.assertEqual(srv.stop(), 0)
            steps = [l for l in srv.stderr.splitlines() if l.startswith("[shutdown] ")]
            self.assertLess(steps.index("[shutdown] WebFileWatcher.StopWatching"),
                            steps.index("[shutdown] WebFileWatcher.WaitFor"))
            self.assertLess(steps.index("[shutdown] WebFileWatcher.WaitFor"), steps.index("[shutdown] WSServer.Stop"))

    def test_no_watcher_without_the_hub(self):
        with OVServer({"websocket": {"enabled": "0"}}) as srv:
            touch(os.path.join(srv.web_dir, "new.html"))
            self.assertEqual(srv.stop(), 0)
            self.assertNotIn("Web file watcher started", srv.log_text())
            self.assertNotIn("Web files changed", srv.log_text())
            self.assertNotIn("WebFileWatcher.", srv.stderr)
