"""Native plug-ins in the real server: loading, refusals, dependencies, stored state across
restarts, plug-in schemas and the shutdown of every plug-in.  The plug-ins are the test builds
of tests/plugins (<build>/test_plugins)."""
import json
import os
import unittest

from ovfixture import OVServer

DEBUG = {"logging": {"log_level": "debug"}}


class Server(OVServer):
    """A server whose plug-in directory is filled before it first starts."""

    def __enter__(self):
        return self


class PluginLoading(unittest.TestCase):
    def test_load_refuse_skip_depend_and_shut_down(self):
        with Server(config=DEBUG) as srv:
            for name in ("sample_c", "sample_cpp", "api_v0", "api_v1", "no_create", "create_throw_other",
                         "getter_throw_std", "name_invalid", "target_client", "dup_name", "init_throw_std",
                         "init_throw_other", "dep_c", "cycle_x", "cycle_y", "sample_c_nounwind",
                         "sample_c_nounwind_hdr"):
                srv.install_plugin(name)
            srv.install_plugin("schema_v1", "schema")
            with open(os.path.join(srv.plugin_dir, "bad.so"), "w") as f:
                f.write("not a library")
            os.makedirs(os.path.join(srv.plugin_dir, "dir.so"))
            srv.start()
            # Plug-ins that threw while loading or initialising leave the server serving.
            self.assertEqual(srv.request("GET", "/health")[0], 200)
            d = srv.plugin_dir
            out = srv.stdout
            for line in ("[INFO] Plugin manager initialized, dir: %s" % d,
                         "[INFO] Scanning for plugins in %s" % d,
                         "[INFO] Plugin loaded: SampleC v1.0.0 - C99 sample plug-in (by Orvanta tests)",
                         "[ERROR] Plugin API version incompatible: %s/api_v0.so (has v0, server accepts v1..v2)" % d,
                         "[INFO] Plugin %s/api_v1.so uses older API v1 (current v2) \u2014 loading with backward "
                         "compatibility" % d,
                         "[ERROR] Plugin missing OVPluginCreate export: %s/no_create.so" % d,
                         "[ERROR] Plugin creation failed: %s/create_throw_other.so - unknown exception" % d,
                         "[ERROR] Plugin creation failed: %s/getter_throw_std.so - getter failed" % d,
                         "[ERROR] Plugin creation failed: %s/name_invalid.so - Invalid plugin name" % d,
                         "[ERROR] Plugin creation failed: %s/sample_c_nounwind.so - built without unwind tables" % d,
                         "[ERROR] Plugin creation failed: %s/sample_c_nounwind_hdr.so - built without unwind "
                         "tables" % d,
                         "[DEBUG] Skipping plugin ClientOnly (target=1, we are 0)",
                         "[WARN] Plugin already loaded: ",
                         "[ERROR] Failed to load plugin library: %s/bad.so (" % d,
                         "[ERROR] Plugin init exception: InitThrowStd - initialize failed",
                         "[ERROR] Plugin init exception: InitThrowOther - unknown exception",
                         '[ERROR] Plugin "DepC" missing dependency: depb',
                         '[ERROR] Plugin "CycleX" has unresolved dependencies',
                         '[ERROR] Plugin "CycleY" has unresolved dependencies',
                         "[WARN] Some plugins have unresolved dependencies",
                         "[INFO] Plugin initialized: SampleC",
                         "[INFO] Plugin Schema schema created (v1)",
                         "Plugins: enabled (9 loaded)"):
                self.assertIn(line, out)
            self.assertNotIn("dir.so", out)
            self.assertEqual(srv.value("SELECT COUNT(*) FROM plugin_state"), "9")
            self.assertEqual(srv.value("SELECT is_enabled FROM plugin_state WHERE plugin_name = 'SampleC'"), "0")
            cfg = json.loads(srv.value("SELECT config_json FROM plugin_state WHERE plugin_name = 'SampleC'"))
            self.assertEqual(cfg["_granted_permissions"],
                             ["database.read", "database.write", "database.create_tables", "config.read"])
            self.assertEqual(srv.value("SELECT schema_version FROM plugin_state WHERE plugin_name = 'Schema'"), "1")
            self.assertEqual(srv.value("SELECT COUNT(*) FROM sqlite_master WHERE name = 'p_samplec_notes'"), "1")

            self.assertEqual(srv.stop(), 0)
            out, err = srv.stdout, srv.stderr
            self.assertLess(err.index("[shutdown] PluginMgr.Free"), err.index("[shutdown] SessionMgr.Free"))
            for line in ("[plugin:SampleC] SampleC finalized", "[plugin:SampleC] SampleC destroyed",
                         "[plugin:Schema] Finalize called", "[plugin:Schema] OVPluginDestroy called",
                         "[plugin:InitThrowStd] OVPluginDestroy called"):
                self.assertIn(line, out)
            self.assertNotIn("[plugin:InitThrowStd] Finalize called", out)
            self.assertLess(out.index("SampleC finalized"), out.index("SampleC destroyed"))


class PluginStateAcrossRestarts(unittest.TestCase):
    def test_enable_grant_and_schema_versions(self):
        with Server() as srv:
            srv.install_plugin("sample_c")
            srv.install_plugin("schema_v1", "schema")
            srv.start()
            self.assertIn("Plugins: enabled (2 loaded)", srv.stdout)
            srv.stop()
            # The sysop enabled SampleC, and an older grant is stored; Schema is upgraded in place.
            srv.sql("UPDATE plugin_state SET is_enabled = 1, config_json = "
                    "'{\"theme\": \"dark\", \"_granted_permissions\": [\"database.read\", \"events.fire\"]}' "
                    "WHERE plugin_name = 'SampleC'")
            srv.install_plugin("schema_v2", "schema")
            srv.start()
            out = srv.stdout
            self.assertIn("[INFO] Plugin enabled: SampleC", out)
            self.assertIn("[INFO] Auto-granted new permissions for plugin: SampleC", out)
            self.assertIn("[INFO] Plugin Schema schema migration: v1 -> v2", out)
            self.assertNotIn("Plugin enabled: Schema", out)
            cfg = json.loads(srv.value("SELECT config_json FROM plugin_state WHERE plugin_name = 'SampleC'"))
            self.assertEqual(cfg["theme"], "dark")
            self.assertEqual(cfg["_granted_permissions"], ["database.read", "database.write", "database.create_tables",
                                                           "events.fire", "config.read"])
            self.assertEqual(srv.value("SELECT schema_version FROM plugin_state WHERE plugin_name = 'Schema'"), "2")
            srv.stop()
            # Tables that exist from before the plug-in's state row: migrated from v1, not created.
            srv.sql("DELETE FROM plugin_state WHERE plugin_name = 'Schema'")
            srv.start()
            self.assertIn("[INFO] Plugin Schema: pre-versioning upgrade v1 -> v2", srv.stdout)
            self.assertNotIn("schema init/migration failed", srv.stdout)
            self.assertEqual(srv.value("SELECT schema_version FROM plugin_state WHERE plugin_name = 'Schema'"), "2")
            self.assertEqual(srv.stop(), 0)


if __name__ == "__main__":
    unittest.main()
