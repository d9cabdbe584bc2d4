"""Script packages in the real server, on every backend: install from the raw request body into
the directory of each type, the list, settings, enable and disable, uninstall, every refusal,
door packages announced to the "doors" test plug-in (tests/plugins/doors_sample.c), start-up
registration of directories placed by hand, what start-up does with the leftovers of an
interrupted install or uninstall, two installs racing, and hostile packages that must leave
everything outside the scripts directory as it was.  Packages are ZIP archives built here with
zipfile; the server's temporary directory (TMPDIR) does not exist, since nothing may be staged
there."""
import io
import json
import os
import shutil
import threading
import unittest
import zipfile

from ovfixture import db_backends, error_message
from ovpackages import PackageServer

PACKAGE_KEYS = ["id", "name", "version", "pkg_type", "display_name", "description", "author", "entry_point",
                "install_path", "is_enabled", "settings_schema", "settings_values", "installed_at", "updated_at"]
TYPE_DIRS = {"door": "doors", "menu": "menus", "event": "events", "scheduled": "scheduled"}


def manifest(name, type_="door", entry="main.lua", version="1.0.0", **extra):
    m = {"name": name, "version": version, "type": type_, "entry": entry}
    m.update(extra)
    return json.dumps(m)


def package(files):
    """A ZIP archive of files: name -> str or bytes, or a ZipInfo -> data."""
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in files.items():
            z.writestr(name, data.encode() if isinstance(data, str) else data)
    return buf.getvalue()


def script_package(name, type_="door", entry="main.lua", **extra):
    return package({"package.json": manifest(name, type_, entry, **extra), entry.lstrip("./"): "-- " + name,
                    "lib/util.lua": "return {}"})


def symlink_entry(name, target):
    info = zipfile.ZipInfo(name)
    info.create_system = 3
    info.external_attr = 0o120777 << 16
    return info, target


def zip_with(entries):
    """A ZIP archive of (name or ZipInfo, data) pairs, in order."""
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w") as z:
        for name, data in entries:
            z.writestr(name, data)
    return buf.getvalue()


def tree(root):
    """Every path below root (relative), with the bytes of files and the target of links."""
    out = {}
    for base, dirs, files in os.walk(root):
        for n in dirs + files:
            p = os.path.join(base, n)
            rel = os.path.relpath(p, root)
            if os.path.islink(p):
                out[rel] = "link:" + os.readlink(p)
            elif os.path.isfile(p):
                with open(p, "rb") as f:
                    out[rel] = f.read()
            else:
                out[rel] = "dir"
    return out


class ScriptServer(PackageServer):
    """A package server whose temporary directory (TMPDIR) does not exist, with helpers for the
    script endpoints."""

    def __init__(self, **kw):
        super().__init__(autostart=False, **kw)
        self.env["TMPDIR"] = os.path.join(self.tmp, "no-such-tmp")

    def install(self, data, token=None):
        return self.json("POST", "/api/v1/scripts/install", data, token=token or self.token,
                         headers={"Content-Type": "application/zip"})

    def packages(self):
        status, body = self.call("GET", "/scripts")
        assert status == 200, body
        return {p["name"]: p for p in body["data"]}

    def rows(self):
        return sorted(tuple(r) for r in self.sql("SELECT name, pkg_type, install_path FROM script_packages"))

    def type_dir(self, type_):
        return os.path.join(self.scripts_dir, TYPE_DIRS[type_])

    def leftovers(self):
        """What installs and uninstalls stage in the scripts directory."""
        return [n for n in os.listdir(self.scripts_dir) if n.startswith("ov_")]


def place(root, rel, files):
    d = os.path.join(root, rel)
    os.makedirs(d, exist_ok=True)
    for name, data in files.items():
        with open(os.path.join(d, name), "w") as f:
            f.write(data)
    return d


class ScriptPackages(unittest.TestCase):
    def expect(self, answer, status, message):
        self.assertEqual((answer[0], error_message(answer[1])), (status, message), answer)

    def test_packages_on_every_backend(self):
        for db in db_backends():
            with self.subTest(db=db), ScriptServer(db=db) as srv:
                self.run_backend(srv)

    def run_backend(self, srv):
        s = srv.scripts_dir
        srv.install_plugin("doors_sample", as_name="doors")
        srv.start()  # a plug-in starts disabled; the sysop enables "doors" before the next start
        srv.sql("UPDATE plugin_state SET is_enabled = 1 WHERE plugin_name = 'doors'")
        self.assertEqual(srv.stop(), 0)
        # Directories placed by hand: a door whose directory name differs in case, a door
        # manifest under menus/ (registered as a menu), two directories naming one package (the
        # second is skipped), a name that is not one path component, a broken manifest, and a
        # manifest without its entry file.
        hand = place(s, "doors/HandDoor", {"package.json": manifest("HandDoor", entry="run.lua", min_security=5),
                                            "run.lua": "--"})
        place(s, "menus/menudoor", {"package.json": manifest("menudoor", "door"), "main.lua": "--"})
        place(s, "events/dup-a", {"package.json": manifest("dup", "event"), "main.lua": "--"})
        place(s, "scheduled/dup-b", {"package.json": manifest("dup", "scheduled"), "main.lua": "--"})
        place(s, "menus/sneaky", {"package.json": manifest("../sneaky", "menu")})
        place(s, "menus/broken", {"package.json": '{"name": "broken", "version": 1}'})
        place(s, "menus/noentry", {"package.json": manifest("noentry", "menu")})
        srv.start()
        self.assertTrue(srv.logged("Script manager initialized (dir: %s)" % s))
        self.assertTrue(srv.logged('doors: CreateDoorFromPackage {"name":"handdoor","display_name":"handdoor",'
                                   '"description":"","executable":"%s/run.lua","door_type":"script",'
                                   '"min_security":5,"max_time":60}' % hand))
        for line in ("Auto-seeded script package: handdoor (door)", "Auto-seeded script package: menudoor (menu)",
                     "Auto-seeded script package: dup (event)",
                     "Skipping invalid package at %s/scheduled/dup-b: Package already installed: dup" % s,
                     "Skipping invalid package at %s/menus/sneaky: Invalid package name: ../sneaky" % s,
                     "Skipping invalid package at %s/menus/broken: Missing required field: version" % s,
                     "Skipping invalid package at %s/menus/noentry: Entry point not found in package: main.lua" % s):
            self.assertTrue(srv.logged(line), line)
        self.assertEqual(srv.rows(), [("dup", "event", s + "/events/dup-a"), ("handdoor", "door", hand),
                                      ("menudoor", "menu", s + "/menus/menudoor")])

        # One package of each type from the raw body.
        schema = {"speed": {"type": "integer", "default": 3}}
        installs = [("MyDoor", "door", {"settings": schema, "display_name": "My Door", "description": "d",
                                        "author": "a", "min_security": 20}),
                    ("menu1", "menu", {}), ("event1", "event", {"settings": [1]}), ("sched1", "scheduled", {})]
        for name, type_, extra in installs:
            status, body = srv.install(script_package(name, type_, **extra))
            self.assertEqual((status, body["data"]), (200, {"message": "Package installed successfully"}), name)
            path = os.path.join(srv.type_dir(type_), name.lower())
            self.assertEqual(sorted(tree(path)), ["lib", "lib/util.lua", "main.lua", "package.json"])
            self.assertTrue(srv.logged("Script package installed: %s v1.0.0 (%s)" % (name.lower(), type_)))
        self.assertTrue(srv.logged('doors: CreateDoorFromPackage {"name":"mydoor","display_name":"My Door",'
                                   '"description":"d","executable":"%s/doors/mydoor/main.lua","door_type":"script",'
                                   '"min_security":20,"max_time":60}' % s))
        pkgs = srv.packages()
        self.assertEqual(sorted(pkgs), ["dup", "event1", "handdoor", "menu1", "menudoor", "mydoor", "sched1"])
        door = pkgs["mydoor"]
        self.assertEqual(list(door), PACKAGE_KEYS)
        self.assertEqual({k: door[k] for k in PACKAGE_KEYS[1:11]},
                         {"name": "mydoor", "version": "1.0.0", "pkg_type": "door", "display_name": "My Door",
                          "description": "d", "author": "a", "entry_point": "main.lua",
                          "install_path": s + "/doors/mydoor", "is_enabled": True,
                          "settings_schema": '{ "speed" : { "type" : "integer", "default" : 3 } }'})
        self.assertEqual((pkgs["event1"]["settings_schema"], pkgs["menu1"]["display_name"]), ("{}", "menu1"))
        self.assertEqual([p["pkg_type"] for p in srv.call("GET", "/scripts")[1]["data"]],
                         ["door", "door", "event", "event", "menu", "menu", "scheduled"])

        # Settings, enable and disable.
        self.assertEqual(srv.call("GET", "/scripts/settings/mydoor")[1]["data"], {"schema": schema, "values": {}})
        status, body = srv.call("PUT", "/scripts/settings/mydoor", {"speed": 7, "name": "x"})
        self.assertEqual((status, body["data"]), (200, {"message": "Settings updated"}))
        self.assertEqual(srv.call("GET", "/scripts/settings/mydoor")[1]["data"]["values"], {"speed": 7, "name": "x"})
        self.assertEqual(srv.call("GET", "/scripts/settings/nosuch")[1]["data"], {"schema": {}, "values": {}})
        self.assertEqual(srv.call("POST", "/scripts/disable/mydoor")[1]["data"], {"message": "Package disabled"})
        self.assertFalse(srv.packages()["mydoor"]["is_enabled"])
        self.assertEqual(srv.call("POST", "/scripts/enable/mydoor")[1]["data"], {"message": "Package enabled"})
        self.assertTrue(srv.packages()["mydoor"]["is_enabled"])
        self.assertTrue(srv.logged("Script package settings updated: mydoor"))
        self.assertTrue(srv.logged("Script package disabled: mydoor"))

        # Every refusal, each with nothing placed and nothing recorded.
        bob = self.user_token(srv)
        before = (srv.rows(), tree(s))
        refusals = [
            (srv.install(b""), 400, "No package data received"),
            (srv.install(b"not a zip at all"), 400, "Failed to extract package (not a valid ZIP)"),
            (srv.install(package({"main.lua": "--"})), 400, "Package missing package.json manifest"),
            (srv.install(package({"package.json": "{nope", "main.lua": ""})), 400, None),
            (srv.install(package({"package.json": "[1]"})), 400, "Manifest must be a JSON object"),
            (srv.install(package({"package.json": '{"name": "v", "version": 1, "type": "door", "entry": "m"}'})),
             400, "Missing required field: version"),
            (srv.install(script_package("t1", "game")), 400,
             "Invalid package type: game (expected door, menu, event, or scheduled)"),
            (srv.install(package({"package.json": manifest("e1", entry="gone.lua")})), 400,
             "Entry point not found in package: gone.lua"),
            (srv.install(package({"package.json": manifest("e2", entry="lib"), "lib/x.lua": ""})), 400,
             "Entry point not found in package: lib"),
            (srv.install(script_package("MYDOOR")), 400, "Package already installed: mydoor"),
            # The directory of package "dup" is not taken over by a package named after it.
            (srv.install(script_package("dup-a", "event")), 400, "Failed to install package files"),
            (srv.call("DELETE", "/scripts/MyDoor"), 400, "Package not found: MyDoor"),
            (srv.call("POST", "/scripts/enable/nosuch"), 400, "Package not found: nosuch"),
            (srv.call("POST", "/scripts/disable/nosuch"), 400, "Package not found: nosuch"),
            (srv.call("PUT", "/scripts/settings/nosuch", {}), 400, "Package not found: nosuch"),
            (srv.call("PUT", "/scripts/settings/mydoor", "[1]"), 400, "Invalid JSON body"),
            (srv.json("GET", "/api/v1/scripts"), 401, "Unauthorized"),
            (srv.install(script_package("x1"), token="nope"), 401, "Unauthorized"),
            (srv.install(script_package("x1"), token=bob), 403, "Admin required"),
            (srv.call("DELETE", "/scripts/mydoor", token=bob), 403, "Admin required"),
            (srv.call("PUT", "/scripts/settings/mydoor", {}, token=bob), 403, "Admin required"),
            (srv.call("GET", "/scripts/settings/mydoor", token=bob), 200, None),
        ]
        for i, (answer, status, message) in enumerate(refusals):
            with self.subTest(refusal=i):
                self.assertEqual(answer[0], status, answer)
                if message:
                    self.assertEqual(error_message(answer[1]), message)
        self.assertTrue(error_message(refusals[3][0][1]).startswith("Invalid JSON: [json.exception.parse_error"))
        self.assertEqual((srv.rows(), tree(s)), before)

        # A row the database refuses (a 21-character version is too long for PostgreSQL and
        # MariaDB; SQLite is made to refuse it alike): the answer is the failure and the files
        # placed are gone, so the next start does not register them.
        if srv.db == "sqlite3":
            srv.sql("CREATE TRIGGER refuse_long BEFORE INSERT ON script_packages WHEN length(NEW.version) > 20 "
                    "BEGIN SELECT RAISE(ABORT, 'value too long'); END")
        answer = srv.install(script_package("longver", "menu", version="1.0.0-build.123456789"))
        self.expect(answer, 500, "Internal server error")
        self.assertEqual((srv.rows(), tree(s)), before)

        # The doors plug-in refusing: an install still succeeds (logged), an uninstall fails
        # whole.
        refuse = os.path.join(srv.tmp, "doors_refuse")
        open(refuse, "w").close()
        self.assertEqual(srv.install(script_package("stubborn"))[0], 200)
        self.assertTrue(srv.logged("Door announcement failed for script package stubborn: Plugin \"doors\" denied "
                                   "permission: config.write"))
        self.expect(srv.call("DELETE", "/scripts/stubborn"), 500, "Internal server error")
        self.assertIn("stubborn", srv.packages())
        self.assertTrue(os.path.isdir(os.path.join(s, "doors", "stubborn")))
        os.remove(refuse)

        # Uninstall: the door is removed first, then the files and the row.
        for name in ("mydoor", "stubborn", "menu1"):
            status, body = srv.call("DELETE", "/scripts/" + name)
            self.assertEqual((status, body["data"]), (200, {"message": "Package uninstalled successfully"}), name)
            self.assertTrue(srv.logged("Script package uninstalled: " + name))
        self.assertTrue(srv.logged('doors: RemoveDoorByName {"name":"mydoor"}'))
        self.assertNotIn('doors: RemoveDoorByName {"name":"menu1"}', srv.stdout)
        self.assertEqual(sorted(os.listdir(srv.type_dir("door"))), ["HandDoor"])
        self.assertEqual(sorted(os.listdir(srv.type_dir("menu"))), ["broken", "menudoor", "noentry", "sneaky"])

        # Two installs of one package at once: one wins.
        data = script_package("racer", "event")
        answers = [None, None]

        def run(i):
            answers[i] = srv.install(data)
        threads = [threading.Thread(target=run, args=(i,)) for i in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(30)
        self.assertEqual(sorted((a[0], error_message(a[1])) for a in answers),
                         [(200, None), (400, "Package already installed: racer")])
        self.assertEqual(srv.leftovers(), [])

        # A restart registers nothing twice; a package whose row is gone comes back from its
        # directory.  The directory decides: a package whose entry file is gone (what a crash
        # inside an install of earlier versions left) loses its row, one whose directory is gone
        # keeps it; what an interrupted
        # operation staged in the scripts directory is removed, and a directory an install had
        # moved aside comes back to its empty place.
        srv.sql("DELETE FROM script_packages WHERE name = 'sched1'")
        os.remove(os.path.join(srv.type_dir("event"), "event1", "main.lua"))
        # A package whose whole directory is gone (a volume not mounted) keeps its row.
        racer_dir = [r[2] for r in srv.rows() if r[0] == "racer"][0]
        shutil.rmtree(racer_dir)
        os.makedirs(os.path.join(s, "ov_pkg_x1", "lib"))
        open(os.path.join(s, "ov_upload_x2.ovpkg"), "w").close()
        place(s, "ov_old_x3/menus/parked", {"package.json": manifest("parked", "menu"), "main.lua": "--"})
        rows = [r for r in srv.rows() if r[0] != "event1"]
        self.assertEqual(srv.stop(), 0)
        srv.start()
        self.assertTrue(srv.logged("Script manager initialized"))
        self.assertEqual(srv.rows(), sorted(rows + [("parked", "menu", s + "/menus/parked"),
                                                    ("sched1", "scheduled", s + "/scheduled/sched1")]))
        self.assertEqual(srv.stdout.count("Auto-seeded script package: "), 2)
        for line in ("Script package event1 removed: %s/events/event1/main.lua is missing" % s,
                     "Script package racer: its directory %s is missing" % racer_dir,
                     "Script packages: %s/menus/parked put back after an interrupted install" % s,
                     "Script packages: removed %s/ov_pkg_x1, left by an interrupted operation" % s,
                     "Script packages: removed %s/ov_upload_x2.ovpkg, left by an interrupted operation" % s):
            self.assertTrue(srv.logged(line), line)
        self.assertEqual(srv.leftovers(), [])
        self.assertEqual(srv.stop(), 0)
        order = ["[shutdown] UpdateChecker.Free", "[shutdown] ScriptMgr.Free", "[shutdown] LuaEngine.Free"]
        self.assertEqual([line for line in srv.stderr.splitlines() if line in order], order)
        self.assertEqual(srv.leftovers(), [])

    def user_token(self, srv):
        """A token for a new user "bob" who is not an administrator."""
        status, body = srv.call("POST", "/users", {"username": "bob", "password": "pw-1234"})
        assert status == 201, body
        status, body = srv.json("POST", "/api/v1/auth/login", {"username": "bob", "password": "pw-1234"})
        assert status == 200, body
        return body["data"]["token"]


class HostilePackages(unittest.TestCase):
    def test_hostile_packages_change_nothing_outside(self):
        # No plug-in manager: a door installs without an announcement.
        with ScriptServer(config={"plugins": {"enabled": "0"}}) as srv:
            srv.start()
            place(srv.tmp, "x", {"keep.txt": "keep"})  # where "../../x" below S/doors would lead
            outside = os.path.join(srv.tmp, "outside")
            os.makedirs(outside)

            def snapshot():
                # Everything under the test's root except what the server itself keeps.
                t = tree(srv.tmp)
                return {k: v for k, v in t.items() if not k.startswith(("data", "config"))}
            before = snapshot()
            self.assertIn("x/keep.txt", before)
            hostile = [
                (script_package("../../x"), "Invalid package name: ../../x"),
                (script_package("a/b"), "Invalid package name: a/b"),
                (script_package(".."), "Invalid package name: .."),
                (script_package("a\\b"), "Invalid package name: a\\b"),
                (script_package("n" * 51), "Invalid package name: " + "n" * 51),
                (package({"package.json": manifest("e1", entry="../x")}), "Entry point not found in package: ../x"),
                (package({"package.json": manifest("e2", entry="/etc/passwd")}),
                 "Entry point not found in package: /etc/passwd"),
            ]
            bad_zip = "Failed to extract package (not a valid ZIP)"
            for name in ("../../evil", "/evil.txt", "a/../../evil"):
                hostile.append((zip_with([("package.json", manifest("z1")), ("main.lua", "--"), (name, "evil")]),
                                bad_zip))
            hostile.append((zip_with([("package.json", manifest("z2")), ("main.lua", "--"),
                                      symlink_entry("link", outside)]), bad_zip))
            hostile.append((zip_with([("package.json", manifest("z3")), symlink_entry("main.lua", outside),
                                      ("main.lua/evil.txt", "evil")]), bad_zip))
            hostile.append((zip_with([("package.json", manifest("z4")), ("main.lua", "--")] +
                                     [("f%05d" % i, "") for i in range(10001)]), bad_zip))
            for data, message in hostile:
                with self.subTest(message=message):
                    status, body = srv.install(data)
                    self.assertEqual((status, error_message(body)), (400, message))
                    self.assertEqual(snapshot(), before)
                    self.assertEqual(srv.leftovers(), [])
            self.assertEqual(srv.rows(), [])
            self.assertFalse([p for p in tree(srv.tmp) if "evil" in p])

            # The longest name is fine, and a door needs no plug-in manager.
            self.assertEqual(srv.install(script_package("n" * 50))[0], 200)
            self.assertEqual(srv.rows(), [("n" * 50, "door", srv.scripts_dir + "/doors/" + "n" * 50)])
            self.assertNotIn("CallPluginFunction", srv.stdout)
            self.assertEqual(srv.stop(), 0)


if __name__ == "__main__":
    unittest.main()
