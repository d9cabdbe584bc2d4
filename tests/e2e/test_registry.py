"""The plug-in registry against a loopback registry written with python3's standard library:
the check-in request byte for byte, the update list and its version rule, the prune (names with
quotes and backslashes, on every backend), failed check-ins that are errors and change nothing,
installs from the list and hostile downloads."""
import http.server
import json
import threading
import time
import unittest

from ovfixture import db_backends, error_message
from ovpackages import PackageServer, make_package, manifest, sample_package

CHECK_IN = "/api/v1/registry/check-in"


def spaced(v):
    """The server's spaced JSON form."""
    if isinstance(v, dict):
        return "{ " + ", ".join("%s : %s" % (json.dumps(k, ensure_ascii=False), spaced(x)) for k, x in v.items()) + " }" \
            if v else "{}"
    if isinstance(v, list):
        return "[" + ", ".join(spaced(x) for x in v) + "]"
    return json.dumps(v, ensure_ascii=False)


class Registry:
    """Answers check-ins with self.reply (bytes; None drops the connection without an answer)
    and serves self.files by path; /missing is 404, /redirect-file redirects to file:///etc/passwd
    and /truncated announces more bytes than it sends.  Every check-in is kept in self.checkins
    as (headers dict, body bytes)."""

    def __init__(self):
        self.reply = b'{"plugins": []}'
        self.files = {}
        self.checkins = []
        self.gets = []
        registry = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def answer(self, status, body, headers=()):
                self.send_response(status)
                for k, v in headers:
                    self.send_header(k, v)
                self.send_header("Content-Length", str(len(body)))
                self.send_header("Connection", "close")
                self.end_headers()
                self.wfile.write(body)
                self.close_connection = True

            def do_POST(self):
                body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
                registry.checkins.append(({k: v for k, v in self.headers.items()}, body))
                if self.path != CHECK_IN or registry.reply is None:
                    self.close_connection = True
                    return
                self.answer(200, registry.reply, [("Content-Type", "application/json")])

            def do_GET(self):
                registry.gets.append(self.path)
                if self.path in registry.files:
                    self.answer(200, registry.files[self.path])
                elif self.path == "/redirect-file":
                    self.answer(302, b"", [("Location", "file:///etc/passwd")])
                elif self.path == "/truncated":
                    self.send_response(200)
                    self.send_header("Content-Length", "100000")
                    self.end_headers()
                    self.wfile.write(b"PK\x03\x04" + bytes(10))
                    self.close_connection = True
                else:
                    self.answer(404, b"not here")

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = "http://127.0.0.1:%d" % self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def set_plugins(self, plugins):
        self.reply = json.dumps({"plugins": plugins}).encode()

    def close(self):
        self.server.shutdown()
        self.server.server_close()


def updates(srv):
    status, body = srv.call("GET", "/plugins/updates")
    assert status == 200, body
    return {u["plugin_name"]: u for u in body["data"]}


def check(srv):
    status, body = srv.call("POST", "/plugins/updates/check")
    assert status == 200, body
    return body["data"]


class RegistryCheckIn(unittest.TestCase):
    def setUp(self):
        self.reg = Registry()

    def tearDown(self):
        self.reg.close()

    def server(self, db="sqlite3", api_key=""):
        return PackageServer(db=db, config={"plugins": {"registry_url": self.reg.url + "//",
                                                        "registry_api_key": api_key}})

    def test_check_in_update_list_install_and_downloads(self):
        reg = self.reg
        with self.server() as srv:
            for name, version, enabled in (("Alpha", "1.2.0", 1), ("Beta", "2.0", 1), ("Gamma", "1.0.0-beta", 1),
                                           ("Delta", "0.1", 0)):
                srv.sql("INSERT INTO plugin_state (plugin_name, plugin_version, is_enabled) VALUES ('%s', '%s', %d)"
                        % (name, version, enabled))
            reg.set_plugins([
                {"name": "Alpha", "latest_version": "v1.10", "description": "A", "target": "server",
                 "category": "tools", "api_version": 2, "download_url": "/files/alpha.ovp",
                 "dependencies": {"plugins": ["Beta"]}},
                {"name": "Beta", "latest_version": "2.0.0", "download_url": "https://example.invalid/b.ovp"},
                {"name": "Gamma", "latest_version": "1.0.1"},
                {"name": "Delta", "latest_version": "0.2", "dependencies": ["not", "an", "object"]},
                {"name": "Newbie", "latest_version": "9.9"},
                {"name": "O'Brien \\ back", "latest_version": "1"},
                42, {"name": ""}, {"latest_version": "1"},
            ])
            self.assertEqual(check(srv), {"updates_available": 3, "message": "3 update(s) available"})

            # The request: the spaced JSON form, members in order, no "api_key" without a key.
            headers, body = reg.checkins[-1]
            guid = srv.value("SELECT value FROM system_config WHERE key = 'system_guid'")
            self.assertEqual(body.decode(), spaced({
                "system_guid": guid, "system_name": "Orvanta BBS", "sysop_name": "Sysop", "orvanta_version": "0.5.33",
                "api_version": 2, "platform": "linux-x86_64",
                "plugins": {"Alpha": "1.2.0", "Beta": "2.0", "Gamma": "1.0.0-beta"}}))
            self.assertEqual(headers["User-Agent"], "Orvanta-BBS/0.5.33")
            self.assertEqual(headers["Content-Type"], "application/json")

            rows = updates(srv)
            self.assertEqual(list(rows), ["Alpha", "Beta", "Delta", "Gamma", "Newbie", "O'Brien \\ back"])
            alpha = rows["Alpha"]
            self.assertEqual(list(alpha), ["plugin_name", "installed_version", "latest_version", "display_name",
                                           "description", "download_url", "repository", "min_orvanta", "api_version",
                                           "target", "category", "has_update", "dependencies", "checked_at"])
            self.assertEqual({k: alpha[k] for k in list(alpha)[:13]}, {
                "plugin_name": "Alpha", "installed_version": "1.2.0", "latest_version": "v1.10", "display_name": "Alpha",
                "description": "A", "download_url": reg.url + "/files/alpha.ovp", "repository": "", "min_orvanta": "",
                "api_version": 2, "target": "server", "category": "tools", "has_update": True,
                "dependencies": '{ "plugins" : ["Beta"] }'})
            self.assertRegex(alpha["checked_at"], r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d$")
            self.assertEqual({n: (r["installed_version"], r["has_update"]) for n, r in rows.items()}, {
                "Alpha": ("1.2.0", True), "Beta": ("2.0", False), "Delta": ("0.1", True), "Gamma": ("1.0.0-beta", True),
                "Newbie": ("", False), "O'Brien \\ back": ("", False)})
            self.assertEqual(rows["Beta"]["download_url"], "https://example.invalid/b.ovp")
            self.assertEqual(rows["Delta"]["dependencies"], "{}")
            self.assertEqual(srv.call("GET", "/plugins/updates/count")[1]["data"], {"count": 3})
            self.assertTrue(srv.logged("[INFO] Checking in with plugin registry: %s%s" % (reg.url, CHECK_IN)))
            self.assertTrue(srv.logged("[INFO] Registry check-in complete: 3 update(s) available"))

            # Installs from the list.  The package declares 1.0.5: that is what is recorded.
            reg.files["/files/pkg.ovp"] = sample_package("1.0.5")
            listing = [
                {"name": "PkgSample", "latest_version": "1.0.0", "download_url": "/files/pkg.ovp"},
                {"name": "BadA", "latest_version": "1", "download_url": "/missing"},
                {"name": "BadB", "latest_version": "1", "download_url": "file:///etc/passwd"},
                {"name": "BadC", "latest_version": "1", "download_url": "/redirect-file"},
                {"name": "BadD", "latest_version": "1", "download_url": "/truncated"},
                {"name": "BadE", "latest_version": "../../up", "download_url": "/files/pkg.ovp"},
                {"name": "NoUrl", "latest_version": "1"},
            ]
            reg.set_plugins(listing)
            self.assertEqual(check(srv)["updates_available"], 0)
            self.assertNotIn("Alpha", updates(srv))
            status, body = srv.call("POST", "/plugins/install", {"name": "PkgSample"})
            self.assertEqual(status, 200, body)
            self.assertEqual(body["data"], {"plugin_name": "PkgSample", "version": "1.0.5", "action": "installed",
                                            "restart_required": False})
            self.assertTrue(srv.logged("[INFO] Downloading plugin package: PkgSample v1.0.0"))
            self.assertTrue(srv.logged("Plugin loaded: PkgSample v1.0.5 - Package sample build A"))
            self.assertEqual((updates(srv)["PkgSample"]["installed_version"], updates(srv)["PkgSample"]["has_update"]),
                             ("1.0.5", False))
            # Enabled, the plug-in is in the check-in; 1.1.0 is offered.
            self.assertEqual(srv.call("POST", "/plugins/enable", {"name": "PkgSample"})[0], 200)
            listing[0]["latest_version"] = "1.1.0"
            reg.set_plugins(listing)
            self.assertEqual(check(srv)["updates_available"], 1)
            # With a version: the loaded plug-in is updated and a restart is due.
            reg.files["/files/pkg.ovp"] = sample_package("1.1.0", build="pkg_sample_b")
            status, body = srv.call("POST", "/plugins/install", {"name": "PkgSample", "version": "1.1.0"})
            self.assertEqual(status, 200, body)
            self.assertEqual(body["data"], {"plugin_name": "PkgSample", "version": "1.1.0", "action": "updated",
                                            "restart_required": True})
            # The installed version is 1.1.0 wherever it is read, while the old library runs until
            # the restart: the stored row, the update list, the next check-in, which offers nothing.
            stored = {p["plugin_name"]: p["plugin_version"] for p in srv.call("GET", "/plugins/db")[1]["data"]}
            self.assertEqual(stored["PkgSample"], "1.1.0")
            self.assertEqual((updates(srv)["PkgSample"]["installed_version"], updates(srv)["PkgSample"]["has_update"]),
                             ("1.1.0", False))
            self.assertEqual(check(srv), {"updates_available": 0, "message": "0 update(s) available"})
            self.assertIn('"PkgSample" : "1.1.0"', reg.checkins[-1][1].decode())
            self.assertEqual(updates(srv)["PkgSample"]["has_update"], False)
            self.assertEqual(srv.call("GET", "/system/restart")[1]["data"]["reasons"], ["Updated: PkgSample v1.1.0"])
            self.assertNotIn("Package sample build B", srv.stdout)
            self.assertEqual(srv.audit("plugin_install"), [("PkgSample", "Version 1.0.5 installed"),
                                                           ("PkgSample", "Version 1.1.0 updated")])

            # Hostile downloads: refused, nothing left in staging.
            for name, line in (("BadA", "[WARN] Plugin download HTTP 404 from %s/missing" % reg.url),
                               ("BadB", "[WARN] Plugin download failed: Unsupported URL (http and https only): file "
                                        "(file:///etc/passwd)"),
                               ("BadC", "[WARN] Plugin download failed: "),
                               ("BadD", "[WARN] Plugin download failed: ")):
                with self.subTest(name):
                    status, body = srv.call("POST", "/plugins/install", {"name": name})
                    self.assertEqual((status, error_message(body)), (500, "Failed to download plugin package"))
                    self.assertTrue(srv.logged(line), line)
                    self.assertEqual(srv.staging(), [])
            self.assertTrue(srv.logged("(%s/redirect-file)" % reg.url))
            self.assertTrue(srv.logged("(%s/truncated)" % reg.url))
            self.assertNotIn("/etc/passwd", reg.gets)
            status, body = srv.call("POST", "/plugins/install", {"name": "BadE"})
            self.assertEqual((status, error_message(body)), (400, "Invalid plugin version"))
            status, body = srv.call("POST", "/plugins/install", {"name": "NoUrl"})
            self.assertEqual((status, error_message(body)),
                             (400, 'No download URL available for this plugin. Run "Check for Updates" first.'))

            # An empty list empties the table.
            reg.set_plugins([])
            self.assertEqual(check(srv), {"updates_available": 0, "message": "0 update(s) available"})
            self.assertEqual(updates(srv), {})
            self.assertTrue(srv.logged("[INFO] Registry check-in complete: all plugins up to date"))
            self.assertEqual(srv.staging(), [])

    def test_installed_version_whatever_the_registry_spelling(self):
        """Plug-in names are unique ignoring letter case and the registry spells them its own
        way: a listed plug-in's installed version is the stored one of its name in any case, the
        exact spelling first."""
        stored = [("RelB", "1.0", 1), ("Gamma", "2.0", 0), ("Mixed", "1.0", 1), ("MIXED", "3.0", 1)]
        cases = [
            # listed name, latest version, expected installed version and update flag
            ("relb", "1.5", "1.0", True),
            ("GAMMA", "2.0", "2.0", False),
            ("Mixed", "2.0", "1.0", True),
            ("RelBee", "9", "", False),
        ]
        with self.server() as srv:
            for name, version, enabled in stored:
                srv.sql("INSERT INTO plugin_state (plugin_name, plugin_version, is_enabled) VALUES ('%s', '%s', %d)"
                        % (name, version, enabled))
            self.reg.set_plugins([{"name": n, "latest_version": v} for n, v, _, _ in cases])
            self.assertEqual(check(srv)["updates_available"], 2)
            rows = updates(srv)
            self.assertEqual({n: (r["installed_version"], r["has_update"]) for n, r in rows.items()},
                             {n: (installed, flag) for n, _, installed, flag in cases})
            self.assertEqual(srv.stop(), 0)

    def test_check_in_without_a_list_is_an_error_and_changes_nothing(self):
        """Asked by an administrator or run by the scheduler, a check-in that brought no list
        fails with the reason; "0 update(s) available" would read as "all up to date"."""
        reg = self.reg
        with self.server() as srv:
            reg.set_plugins([{"name": "Alpha", "latest_version": "2.0"}])
            srv.sql("INSERT INTO plugin_state (plugin_name, plugin_version, is_enabled) VALUES ('Alpha', '1.0', 1)")
            self.assertEqual(check(srv), {"updates_available": 1, "message": "1 update(s) available"})
            rows = updates(srv)
            task = [t for t in srv.call("GET", "/scheduler/tasks")[1]["data"] if t["task_name"] == "plugin_update_check"]
            run = "/scheduler/tasks/%d/run" % task[0]["id"]
            port = reg.server.server_address[1]
            # The warnings operators' log watchers look for, beside the answer: a check-in that
            # failed, then that it brought nothing; or a reply without the list.
            failed, unreachable = "[WARN] Registry check-in failed: ", "[WARN] Could not reach plugin registry %s " \
                                                                          "skipping update check" % "\u2014"
            no_list = '[WARN] Registry response has no "plugins" array'
            cases = [
                ("no answer", lambda: setattr(reg, "reply", None), "Plugin registry unreachable: ", [failed, unreachable]),
                ("not JSON", lambda: setattr(reg, "reply", b"<html>502 Bad Gateway</html>"),
                 "Plugin registry reply is not JSON", [failed, unreachable]),
                ("not an object", lambda: setattr(reg, "reply", b"[1, 2]"), 'Plugin registry reply has no "plugins" array',
                 [unreachable]),
                ("no array", lambda: setattr(reg, "reply", b'{"plugins": {}}'), 'Plugin registry reply has no "plugins" array',
                 [no_list]),
                ("refused", reg.close, "Plugin registry unreachable: Failed to connect to 127.0.0.1 port %d" % port,
                 [failed, unreachable]),
            ]
            for label, fail, reason, lines in cases:
                with self.subTest(label):
                    fail()
                    mark = len(srv.stdout)
                    status, body = srv.call("POST", "/plugins/updates/check")
                    self.assertEqual((status, error_message(body)[:len(reason)]), (502, reason), body)
                    self.assertEqual(srv.call("POST", run)[0], 200)
                    t = [t for t in srv.call("GET", "/scheduler/tasks")[1]["data"] if t["id"] == task[0]["id"]][0]
                    self.assertEqual((t["last_result"], t["last_error"][:len(reason)]), ("error", reason))
                    # The request's warnings, then the scheduled run's.
                    deadline = time.monotonic() + 10
                    while srv.stdout[mark:].count(lines[-1]) < 2 and time.monotonic() < deadline:
                        time.sleep(0.05)
                    warnings = [line[line.index("[WARN]"):] for line in srv.stdout[mark:].splitlines() if "[WARN]" in line]
                    self.assertEqual([w[:len(expected)] for w, expected in zip(warnings, lines * 2)], lines * 2, warnings)
                    self.assertEqual(len(warnings), 2 * len(lines), warnings)
                    if failed in lines:
                        self.assertEqual(warnings[0], failed + error_message(body))
                    self.assertEqual(updates(srv), rows)
                    self.assertEqual(srv.call("GET", "/plugins/updates/count")[1]["data"], {"count": 1})
            self.assertEqual(srv.stop(), 0)

    def test_api_key_and_prune_on_every_backend(self):
        names = ["it's", "back\\slash", "both'\\' OR '1'='1", "plain"]
        for db in db_backends():
            with self.subTest(db=db):
                with self.server(db=db, api_key="k'ey") as srv:
                    self.reg.set_plugins([{"name": n, "latest_version": "1"} for n in names])
                    check(srv)
                    self.assertTrue(self.reg.checkins[-1][1].decode().endswith(', "api_key" : "k\'ey" }'))
                    self.assertEqual(sorted(updates(srv)), sorted(names))
                    # The registry no longer reports some: exactly those rows go.
                    self.reg.set_plugins([{"name": n, "latest_version": "2"} for n in names[:2]] + [{"x": 1}])
                    check(srv)
                    rows = updates(srv)
                    self.assertEqual(sorted(rows), sorted(names[:2]))
                    self.assertEqual({r["latest_version"] for r in rows.values()}, {"2"})
                    # A list whose entries have no name deletes nothing; an empty list everything.
                    self.reg.set_plugins([{"name": ""}])
                    check(srv)
                    self.assertEqual(sorted(updates(srv)), sorted(names[:2]))
                    self.reg.set_plugins([])
                    check(srv)
                    self.assertEqual(updates(srv), {})
                    # The uninstall's statements bind the name too.
                    status, body = srv.upload(make_package({"plugin.json": manifest("it's", "1")}))
                    self.assertEqual(status, 200, body)
                    status, body = srv.call("POST", "/plugins/uninstall", {"name": "it's"})
                    self.assertEqual(status, 200, body)
                    self.assertTrue(srv.logged("[INFO] Plugin it's uninstalled"))
                    self.assertNotIn("Failed to remove plugin_state", srv.stdout)
                    self.assertEqual(srv.stop(), 0)
