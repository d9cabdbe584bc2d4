"""Command line, configuration file, console life, signals and exit codes."""
import os
import re
import signal
import subprocess
import tempfile
import shutil
import time
import unittest

from ovfixture import OVServer, server_binary

USAGE = """Orvanta BBS v0.5.33

Usage: orvantaserver [options]

Options:
  --run              Run in console mode (foreground)
  --config=<file>    Configuration file (default: config/orvanta.ini)
  --help             Show this help
  --version          Show version

Examples:
  orvantaserver --run
  orvantaserver --run --config=/etc/orvanta/orvanta.ini
"""


def run_plain(args, cwd):
    return subprocess.run([server_binary()] + args, cwd=cwd, capture_output=True, text=True, timeout=20)


class CommandLine(unittest.TestCase):
    def setUp(self):
        self.cwd = tempfile.mkdtemp(prefix="ov-cli-")

    def tearDown(self):
        shutil.rmtree(self.cwd, ignore_errors=True)

    def test_version_is_one_line(self):
        r = run_plain(["--version"], self.cwd)
        self.assertEqual(r.returncode, 0)
        self.assertEqual(r.stdout, "Orvanta BBS v0.5.33\n")

    def test_usage_without_run_creates_nothing(self):
        for args in ([], ["--help"], ["-h"], ["--config=x.ini"]):
            r = run_plain(args, self.cwd)
            self.assertEqual(r.returncode, 0, args)
            self.assertEqual(r.stdout, USAGE, args)
            self.assertEqual(len(USAGE.splitlines()), 13)
        self.assertEqual(os.listdir(self.cwd), [])


class ConsoleLife(unittest.TestCase):
    def test_sigterm_runs_every_shutdown_step_in_order(self):
        with OVServer() as srv:
            srv.request("GET", "/health")
            code = srv.stop(signal.SIGTERM)
            self.assertEqual(code, 0, srv.stderr)
            self.assertIn("\nShutting down...\n", srv.stdout)
            steps = [l[len("[shutdown] "):] for l in srv.stderr.splitlines() if l.startswith("[shutdown] ")]
            self.assertEqual(steps[0], "begin")
            self.assertEqual(steps[-1], "done")
            # Steps that exist are announced in the fixed order.
            order = ["begin", "event server.stop", "RestartMonitor.Terminate", "RestartMonitor.WaitFor",
                     "WebFileWatcher.StopWatching", "WebFileWatcher.WaitFor", "DiscoveryBeacon.SignalStop",
                     "DiscoveryBeacon.WaitFor", "WSServer.Stop", "WSServer.Free", "HttpSrv.Stop", "HttpSrv.Free",
                     "Scheduler.Terminate", "Scheduler.Free", "PluginInstaller.Free", "UpdateChecker.Free",
                     "ScriptMgr.Free", "LuaEngine.Free", "PluginMgr.Free", "PluginRoutes.Free", "AdminPages.Free",
                     "AdminMenu.Free", "SessionMgr.Free", "EventBus.Free", "SecurityCleanupThread.SignalStop",
                     "SecurityCleanupThread.WaitFor", "DB.Free", "done"]
            positions = [order.index(s) for s in steps]
            self.assertEqual(positions, sorted(positions), steps)
            log = srv.log_text().strip().splitlines()
            self.assertTrue(log[-1].endswith("[OrvantaBBS Info] Server stopped."), log[-1])
            self.assertTrue(any("Received signal 15 \u2014 initiating shutdown" in l for l in log))
            for s in steps:
                self.assertTrue(any(l.endswith("[shutdown] " + s) for l in log), s)

    def test_sigint_stops_too(self):
        with OVServer() as srv:
            self.assertEqual(srv.stop(signal.SIGINT), 0)
            self.assertIn("Received signal 2", srv.log_text())

    def test_sighup_is_logged_and_ignored(self):
        with OVServer() as srv:
            srv.proc.send_signal(signal.SIGHUP)
            self.assertTrue(srv.wait_for_log("Received SIGHUP \u2014 ignoring (no controlling terminal needed)"))
            time.sleep(0.2)
            self.assertIsNone(srv.proc.poll())
            self.assertEqual(srv.stop(), 0)

    def test_stop_during_startup_is_honoured(self):
        srv = OVServer(wait=False)
        try:
            srv.start(wait=False)
            # The banner comes after signal handling is set up and before the services start.
            self.assertTrue(srv.wait_for_stdout("Running in console mode", 30))
            srv.proc.send_signal(signal.SIGTERM)
            self.assertEqual(srv.wait_exit(30), 0, srv.stdout + srv.stderr)
        finally:
            srv.cleanup()

    def test_console_and_file_line_formats(self):
        with OVServer() as srv:
            srv.stop()
            self.assertTrue(srv.stdout.startswith("Orvanta BBS v0.5.33\nRunning in console mode (Ctrl+C to stop)\n\n"))
            console = [l for l in srv.stdout.splitlines() if "starting in console mode" in l]
            self.assertEqual(len(console), 1)
            self.assertRegex(console[0], r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \[INFO\] Orvanta BBS v0\.5\.33 starting in console mode$")
            for line in srv.log_text().splitlines():
                self.assertRegex(line, r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[OrvantaBBS (Debug|Info|Warning|Error)\] ")
            self.assertIn("Listening on 127.0.0.1:%d\n" % srv.port, srv.stdout)
            self.assertIn("SSL: disabled (enable in orvanta.ini [server] use_ssl=1)\n", srv.stdout)
            self.assertIn("Discovery: disabled\n", srv.stdout)

    def test_log_level_warning_means_info(self):
        with OVServer(config={"logging": {"log_level": "warning"}}) as srv:
            srv.stop()
            self.assertIn("[OrvantaBBS Info] Orvanta BBS v0.5.33 starting in console mode", srv.log_text())
        with OVServer(config={"logging": {"log_level": "warn"}}) as srv:
            srv.stop()
            self.assertNotIn("starting in console mode", srv.log_text())
            self.assertNotIn("[INFO]", srv.stdout)

    def test_startup_failure_exits_1_with_fatal(self):
        srv = OVServer(config={"logging": {"log_file": "/proc/nonexistent/orvanta.log"}}, wait=False)
        try:
            srv.start(wait=False)
            self.assertEqual(srv.wait_exit(), 1)
            self.assertRegex(srv.stdout, r"(?m)^FATAL: .+")
        finally:
            srv.cleanup()


class ConfigurationFile(unittest.TestCase):
    def test_default_file_written_and_secret_kept(self):
        srv = OVServer(write_config=False, wait=False)
        srv.config_path = os.path.join(srv.tmp, "missing", "dirs", "orvanta.ini")
        try:
            srv.start(wait=False)
            self.assertTrue(srv.wait_for_stdout("Discovery:", 30) or srv.proc.poll() is not None)
            srv.stop()
            with open(srv.config_path) as f:
                text = f.read()
            self.assertEqual(oct(os.stat(srv.config_path).st_mode & 0o777), "0o600")
            secret = re.search(r"(?m)^jwt_secret=([0-9a-f]*)$", text).group(1)
            self.assertEqual(len(secret), 64)
            expected = DEFAULT_FILE.replace("jwt_secret=\n", "jwt_secret=%s\n" % secret)
            self.assertEqual(text, expected)
            self.assertIn("Generated persistent JWT secret", srv.log_text())
            # A second start keeps the secret and does not generate again.
            srv2_log_before = srv.log_text()
            srv.start(wait=False)
            self.assertTrue(srv.wait_for_stdout("Discovery:", 30) or srv.proc.poll() is not None)
            srv.stop()
            with open(srv.config_path) as f:
                self.assertIn("jwt_secret=%s\n" % secret, f.read())
            later = srv.log_text()[len(srv2_log_before):]
            self.assertNotIn("Generated persistent JWT secret", later)
        finally:
            srv.cleanup()


DEFAULT_FILE = """[server]
port=8080
address=0.0.0.0
threaded=true
use_ssl=false

[database]
type=sqlite3
file=data/orvanta.db

[logging]
log_type=file
log_file=data/orvanta.log
log_level=info

[paths]
web_root=web
plugin_dir=plugins
data_dir=data
scripts_dir=scripts

[security]
jwt_secret=
jwt_expiry_seconds=86400
max_connections_per_ip=20
rate_limit_per_minute=120
login_lockout_attempts=3
login_lockout_minutes=5
ip_ban_threshold=10
ip_ban_duration_minutes=30
connection_timeout=30
trusted_proxies=

[ssl]
cert_file=data/cert.pem
key_file=data/key.pem

[plugins]
enabled=1
lua_enabled=1
auto_load=false

[discovery]
enabled=0
port=10088
interval=10
key=
"""

if __name__ == "__main__":
    unittest.main()
