"""The database object from the outside: schema, seeds, versions, restarts and stored log lines."""
import hashlib
import os
import sqlite3
import unittest

from ovfixture import OVServer


def q(path, sql):
    con = sqlite3.connect(path)
    try:
        return con.execute(sql).fetchall()
    finally:
        con.close()


def file_digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


class SqliteDatabase(unittest.TestCase):
    def setUp(self):
        self.srv = OVServer()
        self.db = os.path.join(self.srv.data_dir, "orvanta.db")

    def tearDown(self):
        if self.srv.proc and self.srv.proc.poll() is None:
            self.srv.stop()
        self.srv.cleanup()

    def test_fresh_start_schema_seeds_and_versions(self):
        self.srv.start()
        self.assertEqual(self.srv.stop(), 0)
        tables = [r[0] for r in q(self.db, "SELECT name FROM sqlite_master WHERE type='table' "
                                           "AND name NOT LIKE 'sqlite_%' ORDER BY rowid")]
        self.assertEqual(len(tables), 21, tables)
        self.assertEqual(tables[0], "schema_info")
        self.assertEqual(tables[-1], "plugin_updates")
        named = {r[0] for r in q(self.db, "SELECT name FROM sqlite_master WHERE type='index' AND name LIKE 'idx_%'")}
        # The declared ten, the key-only indexes of the tables of long paged lists, and the log's
        # indexes over each pair of its filters.
        self.assertEqual(len(named), 17, named)
        self.assertLessEqual({"idx_users_id", "idx_audit_log_id", "idx_connection_log_id", "idx_logs_id",
                              "idx_logs_level_source", "idx_logs_level_category", "idx_logs_source_category"}, named)
        self.assertEqual([r[0] for r in q(self.db, "SELECT version FROM schema_info ORDER BY rowid")], [0, 3])
        counts = [q(self.db, "SELECT COUNT(*) FROM " + t)[0][0]
                  for t in ("system_config", "acl_flag_definitions", "acl_groups", "acl_group_flags", "system_scheduler")]
        self.assertEqual(counts, [6, 19, 4, 42, 8])
        self.assertEqual(q(self.db, "PRAGMA journal_mode")[0][0], "wal")
        self.assertIn("Database schema version 0, code expects 3. Migrating...", self.srv.log_text())
        # The line as a watcher matches it, and the long reads' share on a line of its own.
        self.assertIn("] Read pool initialised: 8 slots\n", self.srv.log_text())
        self.assertIn("] Read pool: long reads may hold 6 of the slots at once\n", self.srv.log_text())

        # A second start adds nothing and reports the schema as current.
        self.srv.start()
        self.assertEqual(self.srv.stop(), 0)
        self.assertEqual(q(self.db, "SELECT COUNT(*) FROM schema_info")[0][0], 2)
        counts2 = [q(self.db, "SELECT COUNT(*) FROM " + t)[0][0]
                   for t in ("system_config", "acl_flag_definitions", "acl_groups", "acl_group_flags", "system_scheduler")]
        self.assertEqual(counts2, counts)
        self.assertIn("Database schema is current (version 3)", self.srv.log_text())

    def test_restart_semantics(self):
        self.srv.start()
        self.srv.stop()
        con = sqlite3.connect(self.db)
        con.execute("UPDATE system_config SET value='Edited' WHERE key='sysop_name'")
        con.execute("DELETE FROM system_scheduler WHERE task_name='config_watch'")
        con.execute("ALTER TABLE users DROP COLUMN location")
        con.execute("INSERT INTO active_sessions (node, username) VALUES (3, 'x')")
        con.commit()
        con.close()
        self.srv.start()
        self.srv.stop()
        self.assertEqual(q(self.db, "SELECT value FROM system_config WHERE key='sysop_name'")[0][0], "Edited")
        self.assertEqual(q(self.db, "SELECT COUNT(*) FROM system_scheduler WHERE task_name='config_watch'")[0][0], 1)
        self.assertEqual(q(self.db, "SELECT COUNT(*) FROM pragma_table_info('users') WHERE name='location'")[0][0], 1)
        self.assertEqual(q(self.db, "SELECT COUNT(*) FROM active_sessions")[0][0], 0)
        self.assertIn("Schema: added column location on users", self.srv.log_text())

    def test_newer_database_is_refused_unchanged(self):
        self.srv.start()
        self.srv.stop()
        con = sqlite3.connect(self.db)
        con.execute("INSERT INTO schema_info (version) VALUES (4)")
        con.execute("DELETE FROM acl_groups WHERE name='Guest'")
        con.commit()
        con.execute("PRAGMA wal_checkpoint(TRUNCATE)")
        con.close()
        before = file_digest(self.db)
        self.srv.start(wait=False)
        self.assertEqual(self.srv.wait_exit(), 1)
        self.assertIn("FATAL: Database schema version 4 is newer than code version 3. Upgrade the server.\n",
                      self.srv.stdout)
        self.assertEqual(file_digest(self.db), before)
        self.assertEqual(q(self.db, "SELECT COUNT(*) FROM acl_groups")[0][0], 3)

    def test_log_lines_are_stored_with_source_and_category(self):
        self.srv.start()
        self.assertEqual(self.srv.stop(), 0)
        rows = q(self.db, "SELECT level, source, category, message FROM system_logs ORDER BY id")
        messages = [r[3] for r in rows]
        self.assertIn("Starting HTTP server...", messages)
        self.assertNotIn("Read pool initialised: 8 slots", messages)  # logged before storage began
        shutdown = [r for r in rows if r[1] == "shutdown"]
        self.assertTrue(shutdown, rows[-5:])
        self.assertEqual(shutdown[-1][3], "DB.Free")
        self.assertEqual(shutdown[-1][:3], ("info", "shutdown", "general"))
        self.assertTrue(all(r[0] in ("debug", "info", "warning", "error") for r in rows))


class DatabaseType(unittest.TestCase):
    def test_unsupported_type_exits_1(self):
        srv = OVServer(config={"database": {"type": "Oracle"}}, wait=False)
        try:
            srv.start(wait=False)
            self.assertEqual(srv.wait_exit(), 1)
            self.assertIn('FATAL: ov_database: unsupported database type "oracle" '
                          '(expected sqlite3, mariadb, or postgres)\n', srv.stdout)
        finally:
            srv.cleanup()


if __name__ == "__main__":
    unittest.main()
