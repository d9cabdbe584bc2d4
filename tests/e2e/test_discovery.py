"""The UDP discovery beacon end to end.

A beacon broadcasts to 255.255.255.255, so these tests never run it on the machine's own
network: the outer test re-runs this module inside a network namespace of its own (unshare -n,
only lo, up, with the default route through it), where the server and the python receiver
meet on lo.  Without such a namespace the test fails; it never falls back to a real interface.
"""
import calendar
import hashlib
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import time
import unittest

from ovfixture import OVServer

HERE = os.path.dirname(os.path.abspath(__file__))
# A zone without daylight saving that needs no zone database: 5 h 30 min east of UTC.
TEST_TZ = "<+0530>-5:30"


def unshare_command():
    # Root makes the namespace directly; anyone else through a user namespace of their own.
    return ["unshare", "-n"] if os.geteuid() == 0 else ["unshare", "-r", "-n"]


class DiscoveryBeacon(unittest.TestCase):
    def test_beacon_in_a_private_network_namespace(self):
        missing = [p for p in ("unshare", "ip") if shutil.which(p) is None]
        if missing:
            self.fail("cannot make a network namespace: %s missing (util-linux, iproute2: scripts/install-deps)"
                      % ", ".join(missing))
        probe = subprocess.run(unshare_command() + ["true"], capture_output=True, text=True, timeout=30)
        if probe.returncode != 0:
            self.fail("cannot make a network namespace with %s (%s); the beacon test never broadcasts on a "
                      "real interface, so it needs root or unprivileged user namespaces"
                      % (" ".join(unshare_command()), probe.stderr.strip()))
        env = dict(os.environ, OV_IN_NETNS="1")
        out = subprocess.run(unshare_command() + [sys.executable, "-m", "unittest", "-v", "test_discovery.InNamespace"],
                             cwd=HERE, env=env, capture_output=True, text=True, timeout=120)
        self.assertEqual(out.returncode, 0, "tests inside the namespace failed:\n" + out.stdout + out.stderr)
        self.assertIn("OK", out.stderr)


def spaced(members):
    return "{ " + ", ".join("%s : %s" % (json.dumps(k), json.dumps(v)) for k, v in members) + " }"


def local_as_utc(t):
    return calendar.timegm(time.localtime(t))


if os.environ.get("OV_IN_NETNS") == "1":

    class InNamespace(unittest.TestCase):
        @classmethod
        def setUpClass(cls):
            subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
            subprocess.run(["ip", "route", "add", "default", "dev", "lo"], check=True)
            links = subprocess.run(["ip", "-o", "link"], check=True, capture_output=True, text=True).stdout
            names = [re.split(r":\s*", line)[1].split("@")[0] for line in links.splitlines() if line.strip()]
            if names != ["lo"]:
                raise RuntimeError("not a private network namespace: %s" % names)
            os.environ["TZ"] = TEST_TZ
            time.tzset()

        def receiver(self, port):
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            s.bind(("0.0.0.0", port))
            self.addCleanup(s.close)
            return s

        def recv(self, sock, timeout):
            sock.settimeout(timeout)
            try:
                data, _ = sock.recvfrom(65536)
            except socket.timeout:
                return None, None
            return data.decode("utf-8"), time.time()

        def server(self, discovery):
            srv = OVServer({"discovery": dict(discovery, enabled="1"), "server": {"name": "Beacon \"Test\""}})
            self.addCleanup(srv.__exit__, None, None, None)
            return srv

        def expected(self, srv, ts, key=None):
            members = [("type", "orvanta_beacon"), ("name", "Beacon \"Test\""), ("version", "0.5.33"),
                       ("http_port", srv.port), ("ws_port", srv.port), ("ssl", False), ("timestamp", ts)]
            if key:
                members.append(("hash", hashlib.sha1((key + str(ts)).encode()).hexdigest()))
            return spaced(members)

        def check_datagram(self, srv, text, at, key=None):
            ts = json.loads(text)["timestamp"]
            self.assertEqual(text, self.expected(srv, ts, key))
            # The local wall clock counted as if it were UTC: 5.5 h ahead of the real UTC count.
            self.assertLessEqual(abs(ts - local_as_utc(at)), 2)
            self.assertLessEqual(abs(ts - at - 19800), 2)

        def test_unsigned_beacon_at_once_then_every_interval(self):
            port = 10088
            rx = self.receiver(port)
            with self.server({"port": port, "interval": "1"}) as srv:
                first, t1 = self.recv(rx, 10)
                self.assertIsNotNone(first, "no beacon")
                second, t2 = self.recv(rx, 5)
                self.check_datagram(srv, first, t1)
                self.check_datagram(srv, second, t2)
                self.assertGreater(t2 - t1, 0.6)
                self.assertLess(t2 - t1, 2.0)
                self.assertIn("Discovery: broadcasting on UDP port %d (every 1s)\n\n" % port, srv.stdout)
                self.assertTrue(srv.wait_for_log("Discovery beacon started on UDP port %d (interval: 1s)" % port))

        def test_signed_beacon_and_interval_zero_clamped(self):
            port = 10090
            rx = self.receiver(port)
            with self.server({"port": port, "interval": "0", "key": "s3cret"}) as srv:
                text, at = self.recv(rx, 10)
                self.assertIsNotNone(text, "no beacon")
                self.check_datagram(srv, text, at, key="s3cret")
                # One per second, not a flood.
                times = [at]
                deadline = at + 2.5
                while time.time() < deadline:
                    more, t = self.recv(rx, max(0.01, deadline - time.time()))
                    if more:
                        times.append(t)
                self.assertLessEqual(len(times), 4, times)
                self.assertGreaterEqual(len(times), 2, times)
                self.assertTrue(all(b - a > 0.6 for a, b in zip(times, times[1:])), times)
                self.assertIn("Discovery: broadcasting on UDP port %d (every 1s)" % port, srv.stdout)

        def test_sigterm_ends_a_long_wait_at_once(self):
            port = 10092
            rx = self.receiver(port)
            srv = self.server({"port": port, "interval": "3600"})
            srv.start()
            self.assertIsNotNone(self.recv(rx, 10)[0], "no beacon")
            t0 = time.time()
            self.assertEqual(srv.stop(), 0)
            self.assertLess(time.time() - t0, 5)
            steps = [line for line in srv.stderr.splitlines() if line.startswith("[shutdown] ")]
            order = ["[shutdown] DiscoveryBeacon.SignalStop", "[shutdown] DiscoveryBeacon.WaitFor",
                     "[shutdown] WSServer.Stop"]
            self.assertEqual([s for s in steps if s in order], order)
            self.assertLess(steps.index("[shutdown] WebFileWatcher.WaitFor"), steps.index(order[0]))
            self.assertIsNone(self.recv(rx, 0.2)[0])

        def test_port_outside_the_udp_range_is_refused(self):
            wrapped = self.receiver(70000 % 65536)
            with self.server({"port": "70000", "interval": "1"}) as srv:
                self.assertIn("Discovery: disabled\n", srv.stdout)
                self.assertTrue(srv.wait_for_log("Discovery beacon failed to start: Invalid discovery port: 70000"))
                self.assertIsNone(self.recv(wrapped, 0.5)[0])
                self.assertEqual(srv.stop(), 0)
                self.assertNotIn("DiscoveryBeacon.", srv.stderr)
