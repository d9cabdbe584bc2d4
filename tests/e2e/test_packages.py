"""Plug-in packages in the real server: upload, update with backup and restart, a failed update
restored, an interrupted update rolled back at the next start, uninstall behind the busy guard,
reinstall of a new build, every refusal (packages that are not the plug-in asked for, would
replace another plug-in's library or are spelt otherwise than the installed plug-in included),
and hostile archives.  The plug-in is tests/plugins/pkg_sample.c in two builds (A and B)."""
import io
import json
import os
import threading
import time
import unittest
import urllib.parse
import zipfile

from ovfixture import error_message
from ovpackages import (PackageServer, checksum_list, library, make_package, manifest, multipart,
                        sample_package)
from test_registry import Registry

EM = "\u2014"


class UploadUpdateRestart(unittest.TestCase):
    def test_upload_update_failed_update_and_restart(self):
        with PackageServer() as srv:
            d = srv.plugin_dir
            # A new install from a package with a wrapper directory.
            status, body = srv.upload(sample_package("1.0.0", wrapper="PkgSample-1.0.0"))
            self.assertEqual(status, 200, body)
            self.assertEqual(body["data"], {"plugin_name": "PkgSample", "version": "1.0.0", "action": "installed"})
            with open(os.path.join(d, "libPkgSample.so"), "rb") as f:
                self.assertEqual(f.read(), library("pkg_sample"))
            self.assertEqual(sorted(os.listdir(os.path.join(d, "PkgSample"))), ["lang", "plugin.json", "web"])
            self.assertEqual(os.listdir(os.path.join(d, "PkgSample", "web")), ["app.js"])  # no subdirectories
            self.assertEqual(os.listdir(os.path.join(d, "PkgSample", "lang")), ["en.json"])
            for line in ("[INFO] Extracting package to %s/staging/upload-" % srv.data_dir,
                         "[INFO] ZIP has wrapper directory, using %s/staging/upload-" % srv.data_dir,
                         "[INFO] All checksums verified for package in ",
                         "[INFO] Installing plugin files: PkgSample v1.0.0",
                         "[INFO] Installed libPkgSample.so to %s" % d,
                         "[INFO] Scanning for newly installed plugin: PkgSample",
                         "[INFO] Plugin loaded: PkgSample v1.0.0 - Package sample build A (by Orvanta tests)",
                         "[plugin:PkgSample] PkgSample build A initialized",
                         "[INFO] Plugin PkgSample v1.0.0 installed successfully",
                         "[INFO] Plugin PkgSample v1.0.0 uploaded and installed by sysop"):
                self.assertTrue(srv.logged(line), line)
            self.assertEqual(srv.audit("plugin_upload"), [("PkgSample", "Version 1.0.0 installed (uploaded: pkg.ovp)")])
            self.assertEqual(srv.staging(), [])

            # An update of the loaded plug-in (its dependency list is not checked): backup, the
            # new files beside the loaded library, a restart requested.
            status, body = srv.upload(sample_package("1.1.0", build="pkg_sample_b", dependencies=["NoSuchPlugin"]),
                                      filename="PKG-1.1.ZIP")
            self.assertEqual(status, 200, body)
            self.assertEqual(body["data"], {"plugin_name": "PkgSample", "version": "1.1.0", "action": "updated"})
            backups = os.path.join(srv.data_dir, "backups", "PkgSample")
            (first_backup,) = os.listdir(backups)
            with open(os.path.join(backups, first_backup, "libPkgSample.so"), "rb") as f:
                self.assertEqual(f.read(), library("pkg_sample"))
            with open(os.path.join(backups, first_backup, "plugin.json")) as f:
                self.assertEqual(json.load(f)["version"], "1.0.0")
            with open(os.path.join(d, "libPkgSample.so"), "rb") as f:
                self.assertEqual(f.read(), library("pkg_sample_b"))
            for line in ("[INFO] Backing up existing plugin: PkgSample",
                         "[INFO] Backed up libPkgSample.so to %s/%s" % (backups, first_backup),
                         "Restart pending: Updated: PkgSample v1.1.0",
                         "[INFO] Plugin PkgSample v1.1.0 updated successfully",
                         "[INFO] Plugin PkgSample v1.1.0 uploaded and updated by sysop"):
                self.assertTrue(srv.logged(line), line)
            self.assertNotIn("Package sample build B", srv.stdout)  # the running plug-in is still build A

            # A copy that fails half-way (a directory stands where web/app.js goes): the library
            # and plugin.json of 1.1.0 are restored, the server keeps serving.
            blocker = os.path.join(d, "PkgSample", "web", "app.js")
            os.remove(blocker)
            os.makedirs(os.path.join(blocker, "in-the-way"))
            status, body = srv.upload(sample_package("1.2.0", build="pkg_sample"))
            self.assertEqual(status, 500)
            self.assertEqual(error_message(body), "Failed to install files: Unable to replace %s (rename failed %s "
                                                  "check directory permissions)" % (blocker, EM))
            with open(os.path.join(d, "libPkgSample.so"), "rb") as f:
                self.assertEqual(f.read(), library("pkg_sample_b"))
            with open(os.path.join(d, "PkgSample", "plugin.json")) as f:
                self.assertEqual(json.load(f)["version"], "1.1.0")
            self.assertTrue(srv.logged("[WARN] Install failed, restoring backup for PkgSample"))
            self.assertTrue(srv.logged("[WARN] Restoring backup for PkgSample from %s/" % backups))
            self.assertEqual(len(os.listdir(backups)), 2)
            self.assertEqual(srv.staging(), [])
            self.assertEqual(srv.request("GET", "/health")[0], 200)

            # The restart: exit code 42, then the new build runs.
            self.assertEqual(srv.stop(), 42)
            err = srv.stderr
            self.assertLess(err.index("[shutdown] PluginInstaller.Free"), err.index("[shutdown] UpdateChecker.Free"))
            self.assertLess(err.index("[shutdown] UpdateChecker.Free"), err.index("[shutdown] PluginMgr.Free"))
            srv.start()
            self.assertTrue(srv.logged("[INFO] Plugin update checker initialized (interval: 86400s, auto: yes)"))
            self.assertTrue(srv.logged("[INFO] Plugin installer initialized (staging: %s/staging, backups: %s/backups)"
                                       % (srv.data_dir, srv.data_dir)))
            self.assertTrue(srv.logged("Plugin loaded: PkgSample v1.1.0 - Package sample build B"))
            self.assertTrue(srv.logged("[plugin:PkgSample] PkgSample build B initialized"))
            self.assertEqual(srv.stop(), 0)


class UninstallAndReinstall(unittest.TestCase):
    def test_busy_guard_keep_purge_and_reinstall(self):
        with PackageServer(autostart=False) as srv:
            # Loaded at start from a library not named lib<name>.so, so the scheduler has its tasks.
            srv.install_plugin("pkg_sample", "custom")
            srv.start()
            # Enabled (plug-ins start disabled), so its tasks are scheduled at the next start.
            srv.sql("UPDATE plugin_state SET is_enabled = 1 WHERE plugin_name = 'PkgSample'")
            self.assertEqual(srv.stop(), 0)
            srv.start()
            tasks = {(t["plugin_name"], t["task_name"]): t["id"] for t in srv.call("GET", "/scheduler/tasks")[1]["data"]}
            hold = tasks[("PkgSample", "hold")]

            # A call in flight: uninstall answers 409 and changes nothing.
            flag = os.path.join(srv.tmp, "hold")
            open(flag, "w").close()
            runner = threading.Thread(target=srv.call, args=("POST", "/scheduler/tasks/%d/run" % hold),
                                      kwargs={"timeout": 60})
            runner.start()
            try:
                self.assertTrue(srv.wait_for_stdout("PkgSample hold started", 20))
                status, body = srv.call("POST", "/plugins/uninstall", {"name": "PkgSample"})
                self.assertEqual(status, 409, body)
                self.assertEqual(error_message(body), "Cannot modify plugin 'PkgSample' - 1 active call(s) in progress. "
                                                      "Wait for operations to complete.")
                self.assertTrue(os.path.exists(os.path.join(srv.plugin_dir, "custom.so")))
            finally:
                os.remove(flag)
                runner.join(60)

            # Keeping data: the library it was loaded from goes, the plug-in's state row stays,
            # its task rows go.
            status, body = srv.call("POST", "/plugins/uninstall", {"name": "PkgSample", "purge_data": False})
            self.assertEqual(status, 200, body)
            self.assertEqual(body["data"], {"plugin_name": "PkgSample", "action": "uninstalled"})
            self.assertFalse(os.path.exists(os.path.join(srv.plugin_dir, "custom.so")))
            self.assertEqual(srv.value("SELECT COUNT(*) FROM plugin_state WHERE plugin_name = 'PkgSample'"), "1")
            self.assertEqual(srv.value("SELECT COUNT(*) FROM system_scheduler WHERE plugin_name = 'PkgSample'"), "0")
            for line in ("[INFO] Plugin unloaded: PkgSample", "[INFO] Unloaded plugin: PkgSample",
                         "[INFO] Removed %s/custom.so" % srv.plugin_dir, "[INFO] Plugin PkgSample uninstalled",
                         "[INFO] Scheduler: tasks refreshed ("):
                self.assertTrue(srv.logged(line), line)

            # Reinstalled twice under the same library path in one process: each build's own code runs.
            for build, letter in (("pkg_sample", "A"), ("pkg_sample_b", "B")):
                status, body = srv.upload(sample_package("2.0.0", build=build))
                self.assertEqual((status, body["data"]["action"]), (200, "installed"), body)
                self.assertTrue(srv.wait_for_stdout("PkgSample build %s initialized" % letter, 10))
                status, body = srv.call("POST", "/plugins/uninstall", {"name": "PkgSample"})  # purges by default
                self.assertEqual(status, 200, body)
            self.assertEqual(srv.stdout.count("Plugin loaded: PkgSample v2.0.0 - Package sample build B"), 1)
            self.assertEqual(srv.value("SELECT COUNT(*) FROM plugin_state WHERE plugin_name = 'PkgSample'"), "0")
            self.assertFalse(os.path.exists(os.path.join(srv.plugin_dir, "libPkgSample.so")))
            # plugin.json stays, so the plug-in's directory stays; web and lang are gone.
            self.assertEqual(os.listdir(os.path.join(srv.plugin_dir, "PkgSample")), ["plugin.json"])
            self.assertEqual(srv.audit("plugin_uninstall"),
                             [("PkgSample", "Uninstalled (keep data)"), ("PkgSample", "Uninstalled (full purge)"),
                              ("PkgSample", "Uninstalled (full purge)")])
            self.assertEqual(srv.staging(), [])


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data.encode() if isinstance(data, str) else data)


def tree(top):
    """Every file below top (hidden ones too) with its bytes, and every directory as "<path>/"."""
    out = {}
    for d, dirs, files in os.walk(top):
        rel = os.path.relpath(d, top)
        for name in dirs:
            out[os.path.normpath(os.path.join(rel, name)) + "/"] = b""
        for name in files:
            with open(os.path.join(d, name), "rb") as f:
                out[os.path.normpath(os.path.join(rel, name))] = f.read()
    return out


class InterruptedInstall(unittest.TestCase):
    def test_interrupted_update_rolled_back_before_plugins_load(self):
        """The state a kill leaves half-way through an update of PkgSample 1.0.0 to 2.0.0: the
        new plugin.json and web files in place, a new lang directory, the new library staged
        beside the old one, the journal naming it all.  The next start puts 1.0.0 back before the
        plug-ins load, and clears staging, the unfinished backup and the temporaries."""
        with PackageServer(autostart=False) as srv:
            d = srv.plugin_dir
            srv.install_plugin("pkg_sample", "libPkgSample")
            backup = os.path.join(srv.data_dir, "backups", "PkgSample", "20240101_120000")
            old = {"PkgSample/plugin.json": manifest("PkgSample", "1.0.0"), "PkgSample/web/app.js": b"app 1",
                   "PkgSample/web/old.js": b"only in 1"}
            for rel, data in old.items():
                write(os.path.join(d, rel), data)
            write(os.path.join(backup, "libPkgSample.so"), library("pkg_sample"))
            write(os.path.join(backup, "plugin.json"), old["PkgSample/plugin.json"])
            write(os.path.join(backup, "web", "app.js"), b"app 1")
            write(os.path.join(backup, "web", "old.js"), b"only in 1")
            before = tree(d)
            for rel, data in (("PkgSample/plugin.json", manifest("PkgSample", "2.0.0")), ("PkgSample/web/app.js", "app 2"),
                              ("PkgSample/web/new.js", "only in 2"), ("PkgSample/lang/en.json", "en 2"),
                              (".libPkgSample.so.new.Ab12Cd", library("pkg_sample_b")),
                              ("PkgSample/web/app.js.new.Zz9Yy8", "an older server's temporary")):
                write(os.path.join(d, rel), data)
            staging = os.path.join(srv.data_dir, "staging")
            journal = {"plugin": "PkgSample", "binary": "libPkgSample.so", "target": d, "prior": backup,
                       "files": [{"path": os.path.join(d, rel), "existed": existed} for rel, existed in (
                           ("PkgSample/plugin.json", True), ("PkgSample/web/app.js", True),
                           ("PkgSample/web/new.js", False), ("PkgSample/lang/en.json", False),
                           ("libPkgSample.so", True))],
                       "dirs": [os.path.join(d, "PkgSample", "lang")],
                       "commit": {"temp": os.path.join(d, ".libPkgSample.so.new.Ab12Cd"), "dev": 1, "ino": 1}}
            write(os.path.join(staging, "upload-20240101-120000000-Qw12Er", "install.journal"), json.dumps(journal))
            write(os.path.join(staging, "upload-20240101-120000000-Qw12Er", "plugin.json"), manifest("PkgSample", "2.0.0"))
            write(os.path.join(staging, "upload-20240101-120001000-As34Df.ovp"), b"PK")
            write(os.path.join(staging, "PkgSample-2.0.0-Zx56Cv.ovp"), b"PK")
            write(os.path.join(srv.data_dir, "backups", "PkgSample", ".partial-Rt78Yu", "libPkgSample.so"), b"half")

            srv.start()
            out = srv.stdout
            self.assertTrue(srv.logged("[WARN] Rolling back interrupted install of plugin PkgSample"))
            self.assertTrue(srv.logged("[WARN] Restoring backup for PkgSample from " + backup))
            self.assertTrue(srv.logged("Plugin loaded: PkgSample v1.0.0 - Package sample build A"))
            self.assertLess(out.index("Rolling back interrupted install"), out.index("Scanning for plugins in"))
            self.assertEqual(tree(d), before)
            self.assertEqual(os.listdir(staging), [])
            self.assertEqual(os.listdir(os.path.dirname(backup)), ["20240101_120000"])

            # Served without login: a plug-in's files, never a hidden or temporary one.
            write(os.path.join(d, "PkgSample", "web", ".secret.js"), "hidden")
            write(os.path.join(d, "PkgSample", "web", "app.js.new.Ab12Cd"), "half written")
            write(os.path.join(d, ".libPkgSample.so.new.Xc90Vb"), "half a library")
            self.assertEqual(srv.request("GET", "/plugins/PkgSample/web/app.js")[::2], (200, "app 1"))
            for path in ("/plugins/PkgSample/web/.secret.js", "/plugins/PkgSample/web/app.js.new.Ab12Cd",
                         "/plugins/.libPkgSample.so.new.Xc90Vb", "/plugins/PkgSample/web/../web/.secret.js",
                         "/plugins/PkgSample/%2Esecret/../web/.secret.js"):
                status, _, body = srv.request("GET", path)
                self.assertEqual((status, error_message(json.loads(body))), (404, "Plugin file not found"), path)


class PackageIdentity(unittest.TestCase):
    def test_package_must_be_the_plugin_asked_for_and_keep_off_other_plugins(self):
        reg = Registry()
        try:
            with PackageServer(autostart=False, config={"plugins": {"registry_url": reg.url}}) as srv:
                lib = srv.install_plugin("pkg_sample", "libPkgSample")
                srv.start()
                # The registry lists Wanted; its download is a package of Hello.
                reg.files["/files/wanted.ovp"] = make_package({"plugin.json": manifest("Hello", "1.0"),
                                                               "libHello.so": library("pkg_hello")})
                reg.set_plugins([{"name": "Wanted", "latest_version": "1.0", "download_url": "/files/wanted.ovp"}])
                self.assertEqual(srv.call("POST", "/plugins/updates/check")[0], 200)
                before = tree(srv.plugin_dir)
                status, body = srv.call("POST", "/plugins/install", {"name": "Wanted"})
                self.assertEqual((status, error_message(body)),
                                 (500, "Package contains plugin Hello, not the requested Wanted"))
                # A new package naming another plug-in's library as its own.
                status, body = srv.upload(make_package({
                    "plugin.json": manifest("Hello", "1.0", binaries={"linux-x86_64": "libPkgSample.so"}),
                    "libPkgSample.so": library("pkg_hello")}))
                self.assertEqual((status, error_message(body)), (500, "Package for Hello would replace libPkgSample.so, "
                                                                      "which belongs to plugin PkgSample"))
                self.assertEqual(tree(srv.plugin_dir), before)
                self.assertEqual(srv.value("SELECT installed_version FROM plugin_updates WHERE plugin_name = 'Wanted'"),
                                 "")
                self.assertEqual(srv.audit("plugin_install") + srv.audit("plugin_upload"), [])
                self.assertEqual(srv.staging(), [])

                # The same download listed under its own name (any letter case) installs, and is
                # recorded under the name it was installed as.
                reg.set_plugins([{"name": "hello", "latest_version": "1.0", "download_url": "/files/wanted.ovp"}])
                self.assertEqual(srv.call("POST", "/plugins/updates/check")[0], 200)
                status, body = srv.call("POST", "/plugins/install", {"name": "hello"})
                self.assertEqual(status, 200, body)
                self.assertEqual(body["data"]["plugin_name"], "Hello")
                self.assertEqual(srv.audit("plugin_install"), [("Hello", "Version 1.0 installed")])
                self.assertEqual(srv.stop(), 0)
                srv.start()
                self.assertTrue(srv.logged("[plugin:PkgSample] PkgSample build A initialized"))
                with open(lib, "rb") as f:
                    self.assertEqual(f.read(), library("pkg_sample"))
        finally:
            reg.close()


class NameLetterCase(unittest.TestCase):
    def test_package_spelt_otherwise_than_the_installed_plugin_is_refused(self):
        """Names are unique ignoring letter case.  A package for pkgsample while PkgSample is
        installed would land beside it (libpkgsample.so, pkgsample/) and leave PkgSample as it
        was: it is refused with nothing written, by upload and from the registry, for a loaded
        plug-in and for one only on disk (a client plug-in).  Spelt as installed, the same
        update, listed under any spelling, is a true one: answer, list, audit row and the library
        that runs after the restart agree."""
        reg = Registry()
        try:
            with PackageServer(config={"plugins": {"registry_url": reg.url}}) as srv:
                d, clients = srv.plugin_dir, os.path.join(srv.tmp, "client_plugins")
                for package in (sample_package("1.0.0"),
                                make_package({"plugin.json": manifest("Cli", "1", target="client"), "libCli.so": "c"})):
                    status, body = srv.upload(package)
                    self.assertEqual(status, 200, body)

                def lower(name, version, **extra):
                    return make_package({"plugin.json": manifest(name, version, **extra),
                                         "lib%s.so" % name: library("pkg_sample_b")})

                reg.files["/files/lower.ovp"] = lower("pkgsample", "9.9.9")
                reg.files["/files/exact.ovp"] = sample_package("1.1.0", build="pkg_sample_b")
                reg.set_plugins([{"name": "pkgsample", "latest_version": "9.9.9", "download_url": "/files/lower.ovp"},
                                 {"name": "PKGSAMPLE", "latest_version": "1.1.0", "download_url": "/files/exact.ovp"}])
                self.assertEqual(srv.call("POST", "/plugins/updates/check")[0], 200)
                before = (tree(d), tree(clients))
                audited = srv.audit("plugin_install") + srv.audit("plugin_upload")
                backups = os.path.join(srv.data_dir, "backups")
                listed = [(p["name"], p["version"]) for p in srv.call("GET", "/plugins")[1]["data"]]
                self.assertEqual(listed, [("PkgSample", "1.0.0")])
                cases = [
                    ("upload", lambda: srv.upload(lower("pkgsample", "9.9.9")), "pkgsample", "PkgSample"),
                    ("upload, upper case", lambda: srv.upload(lower("PKGSAMPLE", "9.9.9")), "PKGSAMPLE", "PkgSample"),
                    ("registry", lambda: srv.call("POST", "/plugins/install", {"name": "pkgsample"}), "pkgsample",
                     "PkgSample"),
                    ("not loaded", lambda: srv.upload(lower("cli", "2", target="client")), "cli", "Cli"),
                ]
                for label, install, spelt, installed in cases:
                    with self.subTest(label):
                        status, body = install()
                        self.assertEqual((status, error_message(body)), (
                            409, "Package contains plugin %s, but the installed plugin is %s (names differ only in "
                                 "letter case)" % (spelt, installed)))
                        self.assertEqual((tree(d), tree(clients)), before)
                        self.assertEqual([(p["name"], p["version"]) for p in srv.call("GET", "/plugins")[1]["data"]],
                                         listed)
                        self.assertEqual(srv.call("GET", "/system/restart")[1]["data"]["restart_pending"], False)
                        self.assertEqual(srv.audit("plugin_install") + srv.audit("plugin_upload"), audited)
                        self.assertEqual(os.listdir(backups), [])
                        self.assertEqual(srv.staging(), [])
                # The registry's row keeps the installed version the check-in found, not the refused one.
                self.assertEqual(srv.value("SELECT installed_version FROM plugin_updates WHERE plugin_name = "
                                           "'pkgsample'"), "1.0.0")

                status, body = srv.call("POST", "/plugins/install", {"name": "PKGSAMPLE"})
                self.assertEqual(status, 200, body)
                self.assertEqual(body["data"], {"plugin_name": "PkgSample", "version": "1.1.0", "action": "updated",
                                                "restart_required": True})
                self.assertEqual([(p["name"], p["version"]) for p in srv.call("GET", "/plugins")[1]["data"]],
                                 [("PkgSample", "1.1.0")])
                self.assertEqual(srv.audit("plugin_install"), [("PkgSample", "Version 1.1.0 updated")])
                self.assertEqual(sorted(f for f in os.listdir(d) if f.lower().startswith(("pkgsample", "libpkgsample"))),
                                 ["PkgSample", "libPkgSample.so"])
                with open(os.path.join(d, "libPkgSample.so"), "rb") as f:
                    self.assertEqual(f.read(), library("pkg_sample_b"))
                self.assertEqual(srv.stop(), 42)
                srv.start()
                self.assertTrue(srv.logged("Plugin loaded: PkgSample v1.1.0 - Package sample build B"))
                self.assertEqual([(p["name"], p["version"]) for p in srv.call("GET", "/plugins")[1]["data"]],
                                 [("PkgSample", "1.1.0")])
                self.assertEqual([(p["plugin_name"], p["plugin_version"]) for p in srv.call("GET", "/plugins/db")[1]["data"]],
                                 [("PkgSample", "1.1.0")])
                self.assertEqual(srv.stop(), 0)
        finally:
            reg.close()

    def test_routes_and_uninstall_under_another_spelling_act_on_the_installed_plugin(self):
        """A plug-in named in another letter case is the installed one: its configuration is
        read and written, and uninstall removes its library, web and lang files and rows (state
        when purging, scheduler rows kept by a refresh because edited, run log) and blanks its
        registry row, which the registry spells its own way.  Answer, audit row and list name it
        as installed, loaded or only on disk."""
        with PackageServer() as srv:
            d = srv.plugin_dir

            def broken():
                # Put there by hand (an install refuses a library that does not load).
                for name, data in (("libBroken.so", "not a library"), ("Broken/plugin.json", manifest("Broken", "1.0.0")),
                                   ("Broken/web/app.js", "b"), ("Broken/lang/en.json", "{}")):
                    write(os.path.join(d, name), data)
                return 200, None

            def upload():
                return srv.upload(sample_package("1.0.0"))

            cases = [
                # label, install, spelling asked for, installed name, library, loaded, purge_data
                ("loaded", upload, "pkgsample", "PkgSample", "libPkgSample.so", True, True),
                ("loaded, data kept", upload, "PKGSAMPLE", "PkgSample", "libPkgSample.so", True, False),
                ("only on disk", broken, "bROKEN", "Broken", "libBroken.so", False, True),
            ]
            for label, install, asked, installed, lib, loaded, purge in cases:
                with self.subTest(label):
                    srv.sql("DELETE FROM plugin_updates")
                    status, body = install()
                    self.assertEqual(status, 200, body)
                    listed = [p["name"] for p in srv.call("GET", "/plugins")[1]["data"]]
                    self.assertEqual(listed, [installed] if loaded else [])
                    if not loaded:  # it loaded once: its state row is there
                        srv.sql("INSERT INTO plugin_state (plugin_name, plugin_version) VALUES ('%s', '1.0.0')" % installed)
                    srv.sql("INSERT INTO system_scheduler (task_name, plugin_name, category, enabled, user_modified) "
                            "VALUES ('edited', '%s', 'plugin', 0, 1)" % installed)
                    srv.sql("INSERT INTO scheduler_log (task_name, plugin_name, started_at) "
                            "VALUES ('edited', '%s', '2026-01-01 00:00:00')" % installed)
                    srv.sql("INSERT INTO plugin_updates (plugin_name, installed_version, latest_version, has_update) "
                            "VALUES ('%s', '1.0.0', '2.0.0', 1)" % installed.lower())
                    if loaded:
                        status, body = srv.call("PUT", "/plugins/config/" + asked, {"colour": "blue"})
                        self.assertEqual(status, 200, body)
                        self.assertEqual(srv.call("GET", "/plugins/config/" + asked)[1]["data"], {"colour": "blue"})
                        self.assertEqual(srv.call("GET", "/plugins/config/" + installed)[1]["data"], {"colour": "blue"})

                    status, body = srv.call("POST", "/plugins/uninstall", {"name": asked, "purge_data": purge})
                    self.assertEqual(status, 200, body)
                    self.assertEqual(body["data"], {"plugin_name": installed, "action": "uninstalled"})
                    self.assertEqual(srv.audit("plugin_uninstall")[-1],
                                     (installed, "Uninstalled (full purge)" if purge else "Uninstalled (keep data)"))
                    self.assertEqual(srv.call("GET", "/plugins")[1]["data"], [])
                    self.assertFalse(os.path.exists(os.path.join(d, lib)))
                    self.assertEqual(os.listdir(os.path.join(d, installed)), ["plugin.json"])
                    self.assertTrue(srv.logged("[INFO] Plugin %s uninstalled" % installed))
                    count = "SELECT COUNT(*) FROM %s WHERE plugin_name = '" + installed + "'"
                    self.assertEqual([srv.value(count % t) for t in ("plugin_state", "system_scheduler", "scheduler_log")],
                                     ["0" if purge else "1", "0", "0"])
                    self.assertEqual(srv.db_rows("SELECT plugin_name, installed_version, has_update FROM plugin_updates"),
                                     [(installed.lower(), "", "0")])

            # Two plug-ins on disk whose names differ only in case (left from before names were
            # unique ignoring case), neither spelt as asked: which one is meant is not guessed.
            for twin in ("Twin", "TWIN"):
                write(os.path.join(d, twin, "plugin.json"), manifest(twin, "1"))
                write(os.path.join(d, twin, "web", "app.js"), twin)
            before = tree(d)
            status, body = srv.call("POST", "/plugins/uninstall", {"name": "twin"})
            self.assertEqual((status, error_message(body)),
                             (409, "Plugin name twin is ambiguous: installed as TWIN and Twin"))
            self.assertEqual(tree(d), before)
            self.assertEqual(srv.call("POST", "/plugins/uninstall", {"name": "Twin"})[0], 200)
            self.assertEqual(sorted(os.listdir(d)), ["Broken", "PkgSample", "TWIN", "Twin"])
            self.assertEqual(os.listdir(os.path.join(d, "Twin")), ["plugin.json"])
            self.assertEqual(srv.stop(), 0)


class ManifestAndLibrary(unittest.TestCase):
    def test_a_package_is_the_plugin_its_library_reports(self):
        """plugin.json must name exactly the plug-in its library reports, or one plug-in's files
        are written and another loaded under a version nobody installed.  Such a package is
        refused with both names and nothing left behind, uploaded or from the registry, as a new
        install and after the other spelling was uninstalled (its plugin.json stays in its
        folder, and no two plug-in folders ever differ only in letter case).  So is a package
        whose library the server cannot load, with the loader's reason, as a new install and as
        an update.  An install answers with the plug-in that loaded and records that version,
        which the update list follows."""
        reg = Registry()
        try:
            with PackageServer(config={"plugins": {"registry_url": reg.url}}) as srv:
                d, backups = srv.plugin_dir, os.path.join(srv.data_dir, "backups")

                def package(name, build, version="1.5.0"):
                    return make_package({"plugin.json": manifest(name, version), "lib%s.so" % name: library(build)})

                def listed():
                    row = [u for u in srv.call("GET", "/plugins/updates")[1]["data"] if u["plugin_name"] == "hello"][0]
                    return row["installed_version"], row["has_update"]

                reg.files["/files/hello.ovp"] = package("hello", "pkg_hello")
                reg.set_plugins([{"name": "hello", "latest_version": "1.5.0", "download_url": "/files/hello.ovp"}])
                self.assertEqual(srv.call("POST", "/plugins/updates/check")[0], 200)
                from_registry = ("registry", lambda: srv.call("POST", "/plugins/install", {"name": "hello"}))
                mismatch = "Package plugin.json names plugin %s, but its library lib%s.so is plugin %s"
                hello_is_Hello = (500, mismatch % ("hello", "hello", "Hello"))
                Hello_is_hello = (500, mismatch % ("Hello", "Hello", "hello"))
                twin = (409, "Package contains plugin hello, but the installed plugin is Hello (names differ only in "
                             "letter case)")

                def refused(cases):
                    before = (tree(d), srv.db_rows("SELECT plugin_name, plugin_version FROM plugin_state"), listed(),
                              srv.call("GET", "/plugins")[1]["data"])
                    for label, install, expected in cases:
                        with self.subTest(label):
                            status, body = install()
                            self.assertEqual((status, error_message(body)), expected)
                            self.assertEqual((tree(d), srv.db_rows("SELECT plugin_name, plugin_version FROM plugin_state"),
                                              listed(), srv.call("GET", "/plugins")[1]["data"]), before)
                            self.assertEqual(srv.call("GET", "/system/restart")[1]["data"]["restart_pending"], False)
                            self.assertEqual(srv.audit("plugin_install") + srv.audit("plugin_upload"), [])
                            self.assertEqual((os.listdir(backups), srv.staging()), ([], []))

                def upload(name, lib, version="1.0.0"):
                    return lambda: srv.upload(make_package({"plugin.json": manifest(name, version), "lib%s.so" % name: lib}))

                refused([
                    ("upload", lambda: srv.upload(package("hello", "pkg_hello")), hello_is_Hello),
                    from_registry + (hello_is_Hello,),
                    ("upper-case manifest, lower-case library", lambda: srv.upload(package("Hello", "pkg_hello_lower")),
                     Hello_is_hello),
                    # A library the server cannot load is no plug-in: refused with the loader's reason.
                    ("library without OVPluginCreate", upload("Garb", library("no_create")),
                     (500, "Plugin missing OVPluginCreate export: libGarb.so")),
                    ("not a shared object", upload("Garb", "not a library " * 20),
                     (500, "Failed to load plugin library: libGarb.so (libGarb.so: invalid ELF header)")),
                    ("library that aborts while it is created", upload("Garb", library("create_abort")),
                     (500, "Plugin load crashed: libGarb.so - killed by signal 6 (Aborted)")),
                    ("library for the nodes only", upload("ClientOnly", library("target_client")),
                     (500, "Plugin ClientOnly does not run on the server (target=1)")),
                ])
                self.assertEqual(os.listdir(d), [])

                # Installed as its library reports it: the answer, the list and the update list agree.
                status, body = srv.upload(package("Hello", "pkg_hello", "1.0.0"))
                self.assertEqual((status, body["data"]), (200, {"plugin_name": "Hello", "version": "1.0.0",
                                                                "action": "installed"}))
                self.assertEqual([(p["name"], p["version"]) for p in srv.call("GET", "/plugins")[1]["data"]],
                                 [("Hello", "1.0.0")])
                self.assertEqual(listed(), ("1.0.0", True))
                self.assertEqual(srv.call("POST", "/plugins/uninstall", {"name": "Hello"})[0], 200)
                self.assertEqual(sorted(os.listdir(d)), ["Hello"])  # its plugin.json stays
                srv.sql("DELETE FROM audit_log")

                refused([
                    ("upload after uninstall", lambda: srv.upload(package("hello", "pkg_hello")), twin),
                    ("registry after uninstall",) + from_registry[1:] + (twin,),
                    ("library agrees, folder spelt otherwise", lambda: srv.upload(package("hello", "pkg_hello_lower")),
                     twin),
                    ("spelt as the folder, library does not agree",
                     lambda: srv.upload(package("Hello", "pkg_hello_lower")), Hello_is_hello),
                ])
                status, body = srv.upload(package("Hello", "pkg_hello", "1.5.0"))
                self.assertEqual((status, body["data"]["plugin_name"], body["data"]["version"]), (200, "Hello", "1.5.0"))
                self.assertEqual(sorted(os.listdir(d)), ["Hello", "libHello.so"])
                self.assertEqual(listed(), ("1.5.0", False))
                srv.sql("DELETE FROM audit_log")
                # An update is checked the same way: no backup, no new file, no restart asked for.
                refused([("update whose library does not load", upload("Hello", library("no_create"), "1.6.0"),
                          (500, "Plugin missing OVPluginCreate export: libHello.so"))])

                # Names equal under Unicode case folding are one plug-in's: HÉllo after
                # Héllo is refused as hello after Hello is, and the routes that take a name
                # in any letter case find Héllo by either.
                acute, acute_upper = "H\u00e9llo", "H\u00c9llo"
                status, body = srv.upload(package(acute, "pkg_hello_acute"))
                self.assertEqual((status, body["data"]["plugin_name"]), (200, acute), body)
                srv.sql("DELETE FROM audit_log")
                refused([("case twin outside ASCII", lambda: srv.upload(package(acute_upper, "pkg_hello_acute_upper")),
                          (409, "Package contains plugin %s, but the installed plugin is %s (names differ only in "
                                "letter case)" % (acute_upper, acute)))])
                config = "/plugins/config/" + urllib.parse.quote("H\u00c9LLO")
                self.assertEqual(srv.call("PUT", config, {"colour": "blue"})[0], 200)
                self.assertEqual(srv.call("GET", "/plugins/config/" + urllib.parse.quote(acute))[1]["data"],
                                 {"colour": "blue"})
                status, body = srv.call("POST", "/plugins/uninstall", {"name": "h\u00c9LLO"})
                self.assertEqual((status, body["data"]["plugin_name"]), (200, acute), body)
                self.assertEqual(sorted(os.listdir(d)), sorted(["Hello", "libHello.so", acute]))
                self.assertEqual(srv.stop(), 0)
        finally:
            reg.close()


def mappings_and_rss(pid):
    """The number of memory mappings of the process and its resident set in bytes."""
    with open("/proc/%d/maps" % pid) as f:
        maps = sum(1 for _ in f)
    with open("/proc/%d/status" % pid) as f:
        rss = int([line for line in f if line.startswith("VmRSS:")][0].split()[1]) * 1024
    return maps, rss


class NameCheckLeavesNothing(unittest.TestCase):
    def test_refused_installs_and_updates_keep_mappings_and_memory_flat(self):
        """The check that a package's library is the plug-in its manifest names runs the
        library's code in a process of its own: refused packages and updates (whose library the
        server does not load until the restart) leave no mapping and no memory behind.  Mapped in
        the server, each attempt kept five mappings and about 25 kB."""
        with PackageServer() as srv:
            refused = make_package({"plugin.json": manifest("hello", "1.0.0"), "libhello.so": library("pkg_hello")})
            status, body = srv.upload(sample_package("1.0.0"))
            self.assertEqual(status, 200, body)

            def attempts(n, first):
                for i in range(first, first + n):
                    status, body = srv.upload(refused)
                    self.assertEqual((status, error_message(body)), (500, "Package plugin.json names plugin hello, "
                                                                          "but its library libhello.so is plugin Hello"))
                    status, body = srv.upload(sample_package("1.1.%d" % i, build=("pkg_sample", "pkg_sample_b")[i % 2]))
                    self.assertEqual((status, body["data"]["action"]), (200, "updated"), body)

            attempts(2, 0)  # what a first install and update allocate for good
            maps, rss = mappings_and_rss(srv.proc.pid)
            attempts(60, 2)
            maps_after, rss_after = mappings_and_rss(srv.proc.pid)
            self.assertLessEqual(maps_after - maps, 30)
            self.assertLessEqual(rss_after - rss, 3 << 20)
            self.assertEqual(srv.stop(), 42)  # the updates asked for a restart


def zip_bytes(entries):
    """A ZIP built entry by entry: (ZipInfo or name, data)."""
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED) as z:
        for info, data in entries:
            z.writestr(info, data)
    return buf.getvalue()


def symlink_entry(name, target):
    info = zipfile.ZipInfo(name)
    info.create_system = 3
    info.external_attr = (0o120777 << 16)
    return info, target


def bomb():
    """600 MiB of zeros in one entry, compressed to well under a megabyte."""
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED) as z:
        with z.open("zeros.bin", "w", force_zip64=True) as f:
            chunk = bytes(1 << 20)
            for _ in range(600):
                f.write(chunk)
    return buf.getvalue()


class Refusals(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.srv = PackageServer(autostart=False)
        cls.srv.install_plugin("sample_c")  # loaded: a dependency that is there
        cls.srv.start()

    @classmethod
    def tearDownClass(cls):
        cls.srv.stop()
        cls.srv.cleanup()

    def expect(self, result, status, message):
        self.assertEqual(result[0], status, result[1])
        self.assertEqual(error_message(result[1]), message)

    def test_a_request_and_package_errors(self):
        srv = self.srv
        good = {"plugin.json": manifest("Thing", "1.0")}
        cases = [
            (make_package({"a/plugin.json": "{}", "b/x": "x"}), "Invalid or incompatible plugin.json",
             "[WARN] No plugin.json in package"),
            (make_package({"plugin.json": "{not json"}), "Invalid or incompatible plugin.json",
             "[WARN] Invalid plugin.json: not valid JSON"),
            (make_package({"plugin.json": "[1]"}), "Invalid or incompatible plugin.json",
             "[WARN] plugin.json is not a JSON object"),
            (make_package({"plugin.json": manifest("T", "1", api_version=3)}), "Invalid or incompatible plugin.json",
             "[WARN] Plugin requires API version 3, server supports 2"),
            (make_package({"plugin.json": json.dumps({"version": "1"})}), 'plugin.json missing "name" field', None),
            (make_package({"plugin.json": json.dumps({"name": "T"})}), 'plugin.json missing "version" field', None),
            (make_package({"plugin.json": manifest("..", "1")}), "Invalid or incompatible plugin.json",
             "[WARN] Invalid plugin name in plugin.json: .."),
            (make_package({"plugin.json": manifest("a/b", "1")}), "Invalid or incompatible plugin.json", None),
            (make_package({"plugin.json": manifest("T", "1", binaries={"linux-x86_64": "../../escape.so"})}),
             "Invalid or incompatible plugin.json", "[WARN] Invalid binary name in plugin.json: ../../escape.so"),
            (make_package({"plugin.json": manifest("T", "1"), "CHECKSUMS.sha256": "%s  plugin.json\n" % ("0" * 64)}),
             "Checksum verification failed", "[ERROR] Checksum mismatch for plugin.json: expected " + "0" * 64),
            (make_package({"plugin.json": manifest("T", "1", dependencies={"plugins": ["SampleC", "NoSuch", "Other"]})}),
             "Missing required dependencies: NoSuch, Other. Install them first, then retry.", None),
            (b"PK\x03\x04 but not a zip", "Failed to extract plugin package", "[WARN] Failed to extract plugin package: "),
        ]
        for data, message, line in cases:
            with self.subTest(message=message, line=line):
                self.expect(srv.upload(data), 500, message)
                if line:
                    self.assertTrue(srv.logged(line), line)
        # Installed with a note: no checksums, the named library missing but another present,
        # a client plug-in, no library at all.
        status, body = srv.upload(make_package({
            "plugin.json": manifest("PkgSample", "1", binaries={"linux-x86_64": "libfoo.so"}),
            "libfoo2.so": library("pkg_sample")}))
        self.assertEqual(status, 200, body)
        for line in ("[INFO] No CHECKSUMS.sha256 in package \u2014 skipping verification",
                     "[INFO] Binary libfoo.so not found, using libfoo2.so",
                     "Plugin loaded: PkgSample v1 - Package sample build A"):
            self.assertTrue(srv.logged(line), line)
        status, body = srv.upload(make_package({"plugin.json": manifest("Cli", "1", target="client"), "libCli.so": "x"}))
        self.assertEqual(status, 200, body)
        self.assertTrue(os.path.isfile(os.path.join(srv.tmp, "client_plugins", "libCli.so")))
        self.assertTrue(os.path.isfile(os.path.join(srv.tmp, "client_plugins", "Cli", "plugin.json")))
        self.assertTrue(srv.logged("[INFO] Plugin Cli is a client plugin, installing to client_plugins"))
        status, body = srv.upload(make_package(good))
        self.assertEqual(status, 200, body)
        self.assertTrue(srv.logged("[WARN] Binary libThing.so not found in package \u2014 plugin may not load"))

        # The upload's own checks.
        self.expect(srv.upload(make_package(good), filename="thing.tar"), 400, "File must be a .ovp or .zip plugin package")
        self.expect(srv.upload(b"", filename="empty.ovp"), 400, "Uploaded file is empty")
        body, ctype = multipart([("note", None, b"no file here")])
        self.expect(srv.json("POST", "/api/v1/plugins/upload", body, headers={"Content-Type": ctype}, token=srv.token),
                    400, "No file uploaded")
        self.expect(srv.call("POST", "/plugins/upload", {"x": 1}), 400, "No file uploaded")

        # Install from the registry and uninstall: their bodies and names.
        self.expect(srv.json("POST", "/api/v1/plugins/install", "{bad", token=srv.token), 400, "Invalid JSON body")
        self.expect(srv.call("POST", "/plugins/install", {"version": "1"}), 400, "Plugin name required")
        self.expect(srv.call("POST", "/plugins/install", {"name": "../x"}), 400, "Invalid plugin name")
        self.expect(srv.call("POST", "/plugins/install", {"name": "Nowhere"}), 404,
                    'Plugin not found in registry. Run "Check for Updates" first.')
        for text, message in (("", "Expected JSON object"), ("[1]", "Expected JSON object"), ("{bad", "Invalid JSON"),
                              ("{}", "Plugin name required"), ('{"name": ""}', "Plugin name required")):
            self.expect(srv.json("POST", "/api/v1/plugins/uninstall", text, token=srv.token), 400, message)
        # ".." would name the plug-in directory's parent: here the web root itself.
        for name in ("..", "../web", "a/b", "."):
            self.expect(srv.call("POST", "/plugins/uninstall", {"name": name}), 400, "Invalid plugin name")
        self.assertTrue(os.path.isfile(os.path.join(srv.web_dir, "index.html")))

        # Access: no token, then a caller who is not an administrator.
        for path in ("/plugins/updates", "/plugins/updates/check", "/plugins/install", "/plugins/upload",
                     "/plugins/uninstall", "/plugins/updates/count"):
            method = "GET" if path in ("/plugins/updates", "/plugins/updates/count") else "POST"
            self.expect(srv.json(method, "/api/v1" + path, {}), 401, "Unauthorized")
        status, _ = srv.call("POST", "/users", {"username": "plain", "password": "secret1", "is_admin": False})
        self.assertEqual(status, 201)
        user = srv.login("plain")[1]["data"]["token"]
        self.expect(srv.call("POST", "/plugins/uninstall", {"name": "Foo"}, token=user), 403, "Admin access required")
        self.assertEqual(srv.call("GET", "/plugins/updates/count", token=user), (200, {"success": True, "data": {"count": 0}}))
        self.assertEqual(srv.staging(), [])

    def test_b_hostile_archives(self):
        srv = self.srv
        outside = os.path.join(srv.tmp, "escaped.txt")
        absolute = "/tmp/ov-e2e-absolute-%d.txt" % os.getpid()
        lib = {"plugin.json": manifest("Evil", "1")}
        many = [("plugin.json", manifest("Many", "1"))] + [("f%05d" % i, b"") for i in range(10000)]
        cases = [
            ("zip slip", zip_bytes(list(lib.items()) + [("../../escaped.txt", b"x")])),
            ("absolute", zip_bytes(list(lib.items()) + [(absolute, b"x")])),
            ("symlink", zip_bytes(list(lib.items()) + [symlink_entry("web", srv.tmp)])),
            ("bomb", bomb()),
            ("10,001 entries", zip_bytes(many)),
        ]
        for label, data in cases:
            with self.subTest(label):
                self.expect(srv.upload(data), 500, "Failed to extract plugin package")
                self.assertFalse(os.path.exists(outside))
                self.assertFalse(os.path.exists(absolute))
                self.assertEqual(srv.staging(), [])
        self.assertTrue(srv.logged("[WARN] Failed to extract plugin package: entry outside the destination"))
        self.assertTrue(srv.logged("[WARN] Failed to extract plugin package: symlink entry"))
        self.assertTrue(srv.logged("[WARN] Failed to extract plugin package: more than 536870912 bytes uncompressed"))
        self.assertTrue(srv.logged("[WARN] Failed to extract plugin package: more than 10000 entries"))
        # A checksum list naming files outside the package: nothing there is read.
        with open(os.path.join(srv.tmp, "secret.txt"), "w") as f:
            f.write("secret")
        for name in ("*../../../secret.txt", "/../../../secret.txt", "web/../../../../secret.txt"):
            with self.subTest(name):
                data = make_package({"plugin.json": manifest("Sum", "1"),
                                     "CHECKSUMS.sha256": "%s  %s\n" % ("0" * 64, name)})
                self.expect(srv.upload(data), 500, "Checksum verification failed")
        self.assertTrue(srv.logged("[WARN] Checksum file references a path outside the package: ../../../secret.txt"))
        self.assertNotIn("Checksum mismatch for ../", srv.stdout)
        self.assertEqual(srv.staging(), [])
        self.assertEqual(srv.request("GET", "/health")[0], 200)
