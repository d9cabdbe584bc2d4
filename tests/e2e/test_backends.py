"""The same server on SQLite, PostgreSQL and MariaDB: schema, seeds, versions, setup, login,
connections and the read pool's recovery from a lost connection."""
import time
import unittest

from ovfixture import OVServer, db_backends
from wsclient import WSClient

NAMED_INDEXES = {"idx_users_guid", "idx_api_keys_guid", "idx_active_sessions_guid", "idx_logs_timestamp",
                 "idx_logs_source", "idx_logs_level", "idx_logs_category", "idx_acl_groups_guid",
                 "idx_scheduler_log_started", "idx_scheduler_log_task"}
SEEDS = ("system_config", "acl_flag_definitions", "acl_groups", "acl_group_flags", "system_scheduler")


def table_names(srv):
    if srv.db == "sqlite3":
        sql = "SELECT name FROM sqlite_master WHERE type='table' AND name NOT LIKE 'sqlite_%'"
    elif srv.db == "postgresql":
        sql = "SELECT table_name FROM information_schema.tables WHERE table_schema = current_schema()"
    else:
        sql = "SELECT table_name FROM information_schema.tables WHERE table_schema = DATABASE()"
    return {r[0] for r in srv.db_rows(sql)}


def index_names(srv):
    if srv.db == "sqlite3":
        sql = "SELECT name FROM sqlite_master WHERE type='index'"
    elif srv.db == "postgresql":
        sql = "SELECT indexname FROM pg_indexes WHERE schemaname = current_schema()"
    else:
        sql = "SELECT DISTINCT index_name FROM information_schema.statistics WHERE table_schema = DATABASE()"
    return {r[0] for r in srv.db_rows(sql)}


def server_sessions(srv):
    """(id, started) of the server's own connections, oldest first."""
    if srv.db == "postgresql":
        rows = srv.db_rows("SELECT pid, backend_start FROM pg_stat_activity WHERE datname = current_database() "
                           "AND pid <> pg_backend_pid() ORDER BY backend_start")
    else:
        rows = srv.db_rows("SELECT id, id FROM information_schema.processlist WHERE db = DATABASE() "
                           "AND id <> CONNECTION_ID() ORDER BY id")
    return [r[0] for r in rows]


class Backends(unittest.TestCase):
    def each_backend(self):
        for db in db_backends():
            with self.subTest(db=db):
                yield db

    def test_schema_seeds_setup_and_login(self):
        for db in self.each_backend():
            srv = OVServer(db=db)
            try:
                srv.start()
                self.assertEqual(srv.json("GET", "/api/v1/setup/status")[1]["data"]["setup_complete"], False)
                status, body = srv.json("POST", "/api/v1/setup", {"username": "sysop", "password": "secret1"})
                self.assertEqual(status, 201, body)
                status, body = srv.json("POST", "/api/v1/auth/login", {"username": "SysOp" if db != "postgresql" else "sysop",
                                                                     "password": "secret1"})
                self.assertEqual(status, 200, body)
                token = body["data"]["token"]
                status, body = srv.json("GET", "/api/v1/status", token=token)
                self.assertEqual(status, 200, body)
                self.assertEqual(body["data"]["total_users"], 1)
                self.assertEqual(srv.stop(), 0)

                # The 21 core tables, and on the database servers the tallies of the long lists.
                tables = table_names(srv)
                tallies = set() if db == "sqlite3" else {"system_logs_tally", "users_tally"}
                self.assertEqual(len(tables - tallies), 21, tables)
                self.assertTrue(tallies <= tables, tables)
                self.assertTrue(NAMED_INDEXES <= index_names(srv), NAMED_INDEXES - index_names(srv))
                counts = [int(srv.db_rows("SELECT COUNT(*) FROM " + t)[0][0]) for t in SEEDS]
                self.assertEqual(counts, [6, 19, 4, 42, 8])
                versions = sorted(int(r[0]) for r in srv.db_rows("SELECT version FROM schema_info"))
                self.assertEqual(versions, [0, 3])

                # A second start adds nothing and the account still logs in.
                srv.start()
                self.assertEqual(srv.json("POST", "/api/v1/auth/login",
                                          {"username": "sysop", "password": "secret1"})[0], 200)
                self.assertEqual(srv.stop(), 0)
                self.assertEqual([int(srv.db_rows("SELECT COUNT(*) FROM " + t)[0][0]) for t in SEEDS], counts)
                self.assertEqual(len(srv.db_rows("SELECT version FROM schema_info")), 2)
            finally:
                if srv.proc and srv.proc.poll() is None:
                    srv.stop()
                srv.cleanup()

    def test_nine_connections_and_read_pool_recovery(self):
        servers = [db for db in db_backends() if db != "sqlite3"]
        if not servers:
            self.skipTest("no database servers in this run")
        for db in servers:
            with self.subTest(db=db):
                with OVServer(db=db) as srv:
                    sessions = server_sessions(srv)
                    self.assertEqual(len(sessions), 9, sessions)  # 1 write + 8 read
                    # The oldest is the write connection; the next one is read slot 0, the one
                    # the next read borrows.
                    victim = sessions[1]
                    if db == "postgresql":
                        srv.db_rows("SELECT pg_terminate_backend(%s)" % victim)
                    else:
                        srv.db_rows("KILL %s" % victim)
                    time.sleep(0.2)
                    status, body = srv.json("GET", "/health")
                    self.assertEqual((status, body["database"]), (200, "ok"), body)
                    self.assertTrue(srv.wait_for_log("dbapi_pool: slot 0 dead connection -- reconnecting"),
                                    srv.log_text()[-2000:])
                    self.assertTrue(srv.wait_for_log("dbapi_pool: slot 0 reconnected"))
                    self.assertEqual(len(server_sessions(srv)), 9)
                    self.assertEqual(srv.stop(), 0)

    def test_log_lines_with_a_nul_from_a_peer_are_stored(self):
        # PostgreSQL refuses text holding a NUL; a peer's name with one (JSON "\u0000") must not
        # keep that line, or the other lines stored with it, out of system_logs.
        for db in self.each_backend():
            srv = OVServer(db=db)
            try:
                srv.start()
                status, body = srv.json("POST", "/api/v1/setup", {"username": "sysop", "password": "secret1"})
                self.assertEqual(status, 201, body)
                ws = WSClient.connect(srv.host, srv.port, path="/ws?token=" + body["data"]["token"])
                ws.recv_json("welcome")
                ws.send_json({"type": "register", "client_name": "eve\u0000name", "client_id": "nul-1"})
                self.assertTrue(srv.wait_for_log('registered as "eve'), srv.log_text()[-2000:])
                ws.close()
                self.assertTrue(srv.wait_for_log('removed'), srv.log_text()[-2000:])
                self.assertEqual(srv.stop(), 0)
                rows = [r[0] for r in srv.db_rows("SELECT message FROM system_logs WHERE message LIKE '%eve%name%'")]
                self.assertGreaterEqual(len(rows), 2, rows)  # registered, removed, ...
                for message in rows:
                    self.assertIn("eve\ufffdname", message)
                # The lines stored around them are there too, up to the last shutdown step.
                self.assertEqual(srv.db_rows("SELECT COUNT(*) FROM system_logs WHERE source = 'shutdown' "
                                             "AND message = 'DB.Free'"), [("1",)])
            finally:
                if srv.proc and srv.proc.poll() is None:
                    srv.stop()
                srv.cleanup()


if __name__ == "__main__":
    unittest.main()
