"""Audit, connection and system logs, sessions, the IP blacklist and the SQL console, seen from
outside, on every database backend available to the run."""
import datetime
import hashlib
import json
import os
import unittest
from urllib.parse import quote

from ovfixture import OVServer, db_backends, error_message


def lit(text):
    """An SQL string literal, for statements the tests send through the console."""
    return "'" + text.replace("'", "''") + "'"


class LogServer(OVServer):
    token = None

    def admin(self):
        self.setup_admin()
        status, body = self.login()
        assert status == 200, body
        self.token = body["data"]["token"]
        return self

    def call(self, method, path, body=None, **kw):
        kw.setdefault("token", self.token)
        return self.json(method, path, body, **kw)

    def query(self, sql):
        return self.call("POST", "/api/v1/admin/query", {"sql": sql})

    def run_ok(self, sql):
        status, body = self.query(sql)
        assert status == 200, (sql, body)
        return body["data"]

    def page(self, path):
        status, body = self.call("GET", path)
        assert status == 200, (path, body)
        return body["data"]["items"], body["data"]["pagination"]


class LogsOnEveryBackend(unittest.TestCase):
    """One server per backend; each test method walks all of them."""

    @classmethod
    def setUpClass(cls):
        cls.servers = []
        try:
            for db in db_backends():
                cls.servers.append(LogServer(db=db).start().admin())
        except Exception:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        for srv in cls.servers:
            try:
                srv.stop()
            finally:
                srv.cleanup()

    def walk(self, check):
        for srv in self.servers:
            with self.subTest(db=srv.db):
                check(srv)

    def test_audit_and_connection_logs_page_newest_first(self):
        self.walk(self.check_audit_and_connection_logs_page_newest_first)

    def check_audit_and_connection_logs_page_newest_first(self, srv):
        for i in range(1, 8):
            srv.run_ok("INSERT INTO audit_log (username, action, target, details, ip_address) VALUES "
                       "('sysop', %s, 't%d', 'd%d', '10.0.0.%d')" % (lit("act%d" % i), i, i, i))
            srv.run_ok("INSERT INTO connection_log (ip_address, protocol, node, username, disconnect_reason) "
                       "VALUES ('10.1.0.%d', 'telnet', %d, 'u%d', 'bye')" % (i, i, i))

        items, pag = srv.page("/api/v1/audit?page=2&per_page=3")
        self.assertEqual(pag, {"total": 7, "page": 2, "per_page": 3, "total_pages": 3})
        self.assertEqual([x["action"] for x in items], ["act4", "act3", "act2"])
        self.assertEqual(list(items[0].keys()), ["id", "timestamp", "user_id", "username", "action", "target",
                                                 "details", "ip_address"])
        self.assertEqual((items[0]["user_id"], items[0]["target"], items[0]["ip_address"]), (0, "t4", "10.0.0.4"))
        self.assertTrue(items[0]["timestamp"])
        ids = [x["id"] for x in srv.page("/api/v1/audit")[0]]
        self.assertEqual(ids, sorted(ids, reverse=True))
        self.assertEqual(srv.page("/api/v1/audit?per_page=999")[1]["per_page"], 200)
        self.assertEqual(srv.page("/api/v1/audit?per_page=0&page=-3")[1],
                         {"total": 7, "page": 1, "per_page": 50, "total_pages": 1})
        self.assertEqual(srv.page("/api/v1/audit?page=9")[0], [])

        items, pag = srv.page("/api/v1/connections?per_page=2")
        self.assertEqual(pag, {"total": 7, "page": 1, "per_page": 2, "total_pages": 4})
        self.assertEqual(list(items[0].keys()), ["id", "ip_address", "protocol", "connected_at",
                                                 "disconnected_at", "node", "username", "disconnect_reason"])
        self.assertEqual([(x["ip_address"], x["node"]) for x in items], [("10.1.0.7", 7), ("10.1.0.6", 6)])
        self.assertEqual(items[0]["disconnected_at"], "")
        self.assertEqual(srv.page("/api/v1/connections?per_page=500")[1]["per_page"], 200)

        # Administrators only.
        status, body = srv.call("GET", "/api/v1/audit", token=None)
        self.assertEqual((status, error_message(body)), (401, "Unauthorized"))

    def test_system_logs_filters_search_and_clear(self):
        self.walk(self.check_system_logs_filters_search_and_clear)

    def check_system_logs_filters_search_and_clear(self, srv):
        tricky = "it's a \\ back\\slash ' OR '1'='1"
        rows = [("info", "e2e", "alpha", "disk almost full"),
                ("error", "e2e", "alpha", "disk failed"),
                ("error", "e2e", "beta", "network down"),
                ("warn", "e2e", "beta", tricky),
                ("info", "e2e", "gamma", "100% done"),
                ("info", "e2e", "gamma", "1000 done"),
                ("info", "e2e", "gamma", "a_b"),
                ("info", "e2e", "gamma", "axb"),
                ("info", "e2e", "delta", "bang! 5 of 9")]
        for level, source, category, message in rows:
            status, body = srv.call("POST", "/api/v1/logs", {"level": level, "source": source,
                                                             "category": category, "message": message,
                                                             "details": "d"})
            self.assertEqual((status, body), (200, {"success": True, "data": {}}))

        def messages(query):
            items, _ = srv.page("/api/v1/logs?source=e2e&" + query)
            return [x["message"] for x in items]

        items, pag = srv.page("/api/v1/logs?source=e2e&level=error&search=disk")
        self.assertEqual([x["message"] for x in items], ["disk failed"])
        self.assertEqual(list(items[0].keys()), ["id", "timestamp", "level", "source", "category", "message",
                                                 "details"])
        self.assertEqual(pag["total"], 1)
        self.assertEqual(messages("category=gamma&per_page=2&page=2"), ["1000 done", "100% done"])
        self.assertEqual(messages("category=gamma"), ["axb", "a_b", "1000 done", "100% done"])
        self.assertEqual(srv.page("/api/v1/logs?source=e2e&category=gamma&per_page=3")[1],
                         {"total": 4, "page": 1, "per_page": 3, "total_pages": 2})
        # The search is a LIKE pattern: % and _ are wildcards, while quotes, backslashes and the
        # escape character itself match literally.
        everything = [r[3] for r in reversed(rows)]
        self.assertEqual(messages("search=" + quote("a \\ back\\slash ' OR '1'")), [tricky])
        self.assertEqual(messages("search=" + quote("'1'='1")), [tricky])
        self.assertEqual(messages("search=%25"), everything)
        self.assertEqual(messages("search=_"), everything)
        self.assertEqual(messages("search=100%25"), ["1000 done", "100% done"])
        self.assertEqual(messages("search=a_b"), ["axb", "a_b"])
        self.assertEqual(messages("search=" + quote("5%9")), ["bang! 5 of 9"])
        self.assertEqual(messages("search=" + quote("g!")), ["bang! 5 of 9"])
        self.assertEqual(messages("search=" + quote("!%9")), ["bang! 5 of 9"])
        self.assertEqual(messages("search=" + quote("!5")), [])
        self.assertEqual(messages("level=" + quote("' OR ''='")), [])
        self.assertEqual(messages("search=nothing-like-this"), [])
        self.assertEqual(srv.page("/api/v1/logs?per_page=1000")[1]["per_page"], 500)
        self.assertEqual(srv.page("/api/v1/logs?per_page=-1")[1]["per_page"], 100)

        status, body = srv.call("GET", "/api/v1/logs/filters")
        self.assertEqual(status, 200)
        data = body["data"]
        self.assertEqual(list(data.keys()), ["levels", "sources", "categories"])
        for key, wanted in (("levels", {"info", "error", "warn"}), ("sources", {"e2e"}),
                            ("categories", {"alpha", "beta", "gamma"})):
            self.assertTrue(wanted <= set(data[key]), (key, data[key]))
            self.assertEqual(len(data[key]), len(set(data[key])), key)

        status, body = srv.call("DELETE", "/api/v1/logs")
        self.assertEqual((status, body), (200, {"success": True, "data": "Logs cleared"}))
        self.assertEqual(srv.page("/api/v1/logs?source=e2e")[1]["total"], 0)

    def test_log_totals_follow_the_consoles_writes(self):
        self.walk(self.check_log_totals_follow_the_consoles_writes)

    def check_log_totals_follow_the_consoles_writes(self, srv):
        # The totals of the log list are kept by the database (PostgreSQL, MariaDB): a change
        # made through the console, which goes round the server's code, shows in them at once,
        # and so does TRUNCATE, for which MariaDB fires no trigger.
        def total(query):
            return srv.page("/api/v1/logs?" + query)[1]["total"]

        for i in range(6):
            status, _ = srv.call("POST", "/api/v1/logs", {"level": "info", "source": "e2e-tally",
                                                          "category": "c%d" % (i % 2), "message": "m%d" % i})
            self.assertEqual(status, 200)
        self.assertEqual(total("source=e2e-tally&level=info"), 6)
        srv.run_ok("UPDATE system_logs SET level = 'error' WHERE source = 'e2e-tally' AND category = 'c0'")
        self.assertEqual([total("source=e2e-tally&level=error"), total("source=e2e-tally&level=info")], [3, 3])
        srv.run_ok("DELETE FROM system_logs WHERE source = 'e2e-tally' AND message = 'm1'")
        self.assertEqual(total("source=e2e-tally&category=c1"), 2)
        srv.run_ok("DELETE FROM system_logs" if srv.db == "sqlite3" else "TRUNCATE TABLE system_logs")
        self.assertEqual(total("source=e2e-tally"), 0)
        status, _ = srv.call("POST", "/api/v1/logs", {"source": "e2e-tally", "message": "after"})
        self.assertEqual(status, 200)
        items, pagination = srv.page("/api/v1/logs?source=e2e-tally")
        self.assertEqual(([x["message"] for x in items], pagination["total"]), (["after"], 1))

    def test_write_log_from_api_key_caller(self):
        self.walk(self.check_write_log_from_api_key_caller)

    def check_write_log_from_api_key_caller(self, srv):
        key = "ov_" + os.urandom(24).hex()
        srv.run_ok("INSERT INTO api_keys (guid, key_hash, key_prefix) VALUES (%s, %s, %s)"
                   % (lit("e2e-log-key"), lit(hashlib.sha1(key.encode()).hexdigest()), lit(key[:10])))
        status, body = srv.json("POST", "/api/v1/logs", {"message": "from a node"}, api_key=key)
        self.assertEqual((status, body), (200, {"success": True, "data": {}}))
        data = srv.run_ok("SELECT level, source, category, details FROM system_logs "
                          "WHERE message = 'from a node'")
        self.assertEqual(data["rows"], [{"level": "info", "source": "", "category": "general", "details": ""}])
        status, body = srv.json("POST", "/api/v1/logs", {"level": "info"}, api_key=key)
        self.assertEqual((status, error_message(body)), (400, "Missing message field"))
        status, body = srv.json("POST", "/api/v1/logs", [1], api_key=key)
        self.assertEqual((status, error_message(body)), (400, "Invalid JSON body"))
        # The key is not an administrator's.
        status, body = srv.json("GET", "/api/v1/logs", api_key=key)
        self.assertEqual((status, error_message(body)), (403, "Admin access required"))
        status, body = srv.json("POST", "/api/v1/logs", {"message": "x"})
        self.assertEqual(status, 401)

    def test_ban_list_and_unban(self):
        self.walk(self.check_ban_list_and_unban)

    def check_ban_list_and_unban(self, srv):
        status, body = srv.call("POST", "/api/v1/blacklist", {"ip_address": "192.0.2.50", "reason": "abuse"})
        self.assertEqual((status, body), (201, {"success": True, "data": {}}))
        status, body = srv.call("POST", "/api/v1/blacklist", {"ip_address": "192.0.2.51", "reason": "temp",
                                                              "duration_minutes": 30})
        self.assertEqual(status, 201)
        self.assertTrue(srv.wait_for_log("IP 192.0.2.50 banned by sysop: abuse"))

        status, body = srv.call("GET", "/api/v1/blacklist")
        self.assertEqual(status, 200)
        bans = {b["ip_address"]: b for b in body["data"]}
        self.assertEqual(set(bans), {"192.0.2.50", "192.0.2.51"})
        self.assertEqual(list(bans["192.0.2.50"].keys()), ["id", "ip_address", "reason", "banned_at",
                                                           "expires_at", "banned_by_name"])
        self.assertEqual((bans["192.0.2.50"]["reason"], bans["192.0.2.50"]["expires_at"],
                          bans["192.0.2.50"]["banned_by_name"]), ("abuse", "", "sysop"))
        self.assertNotEqual(bans["192.0.2.51"]["expires_at"], "")

        status, body = srv.call("POST", "/api/v1/blacklist", {"reason": "no address"})
        self.assertEqual((status, error_message(body)), (400, "IP address required"))
        status, body = srv.call("DELETE", "/api/v1/blacklist/0")
        self.assertEqual((status, error_message(body)), (400, "Invalid blacklist entry ID"))
        status, body = srv.call("DELETE", "/api/v1/blacklist/987654")
        self.assertEqual((status, error_message(body)), (404, "Entry not found"))

        status, body = srv.call("DELETE", "/api/v1/blacklist/%d" % bans["192.0.2.50"]["id"])
        self.assertEqual((status, body), (200, {"success": True, "data": {}}))
        self.assertTrue(srv.wait_for_log("IP 192.0.2.50 unbanned by sysop"))
        status, body = srv.call("GET", "/api/v1/blacklist")
        self.assertEqual([b["ip_address"] for b in body["data"]], ["192.0.2.51"])

    def test_ban_by_deleted_admin_and_mistyped_duration(self):
        self.walk(self.check_ban_by_deleted_admin_and_mistyped_duration)

    def check_ban_by_deleted_admin_and_mistyped_duration(self, srv):
        # A second administrator bans with a token that outlives the account: the ban is kept
        # without a banning user (the foreign key would refuse the gone account's id).
        status, body = srv.call("POST", "/api/v1/users", {"username": "gone-admin", "password": "pw-gone",
                                                          "is_admin": True})
        self.assertEqual(status, 201, body)
        status, body = srv.login("gone-admin", "pw-gone")
        self.assertEqual(status, 200, body)
        gone_token = body["data"]["token"]
        uid = srv.run_ok("SELECT id FROM users WHERE username = 'gone-admin'")["rows"][0]["id"]
        status, body = srv.call("DELETE", "/api/v1/users/%s" % uid)
        self.assertEqual(status, 200, body)
        status, body = srv.call("POST", "/api/v1/blacklist", {"ip_address": "192.0.2.70", "reason": "orphan",
                                                              "duration_minutes": 10}, token=gone_token)
        self.assertEqual((status, body), (201, {"success": True, "data": {}}))
        rows = srv.run_ok("SELECT reason, banned_by FROM ip_blacklist WHERE ip_address = '192.0.2.70'")["rows"]
        self.assertEqual(rows, [{"reason": "orphan", "banned_by": None}])

        # A duration of the wrong type is refused rather than read as a permanent ban; a number
        # too large for any clock is still a temporary ban.
        status, body = srv.call("POST", "/api/v1/blacklist", {"ip_address": "192.0.2.71", "duration_minutes": "30"})
        self.assertEqual((status, error_message(body)), (400, "Invalid JSON body"))
        status, body = srv.call("POST", "/api/v1/blacklist", {"ip_address": "192.0.2.72",
                                                              "duration_minutes": 2 ** 64 - 1})
        self.assertEqual(status, 201, body)
        rows = srv.run_ok("SELECT ip_address, expires_at FROM ip_blacklist "
                          "WHERE ip_address IN ('192.0.2.71', '192.0.2.72')")["rows"]
        self.assertEqual([r["ip_address"] for r in rows], ["192.0.2.72"])
        self.assertIsNotNone(rows[0]["expires_at"])
        for ip in ("192.0.2.70", "192.0.2.72"):
            srv.run_ok("DELETE FROM ip_blacklist WHERE ip_address = '%s'" % ip)

    def test_bad_inputs_are_refused_and_keep_nothing(self):
        self.walk(self.check_bad_inputs_are_refused_and_keep_nothing)

    def check_bad_inputs_are_refused_and_keep_nothing(self, srv):
        cases = [
            # (method, path, body, status, message)
            ("POST", "/api/v1/blacklist", {"ip_address": "10.8.8.14745"}, 400, "Invalid IP address"),
            ("POST", "/api/v1/blacklist", {"ip_address": "192.0.2.256"}, 400, "Invalid IP address"),
            ("POST", "/api/v1/blacklist", {"ip_address": "banned.example"}, 400, "Invalid IP address"),
            ("POST", "/api/v1/blacklist", {"ip_address": "2001:db8::1::2"}, 400, "Invalid IP address"),
            ("POST", "/api/v1/blacklist", {"ip_address": "192.0.2.80", "duration_minutes": -1}, 400,
             "Invalid duration_minutes"),
            ("POST", "/api/v1/blacklist", {"ip_address": "192.0.2.80", "duration_minutes": -1e308}, 400,
             "Invalid duration_minutes"),
            ("POST", "/api/v1/blacklist", {"ip_address": "192.0.2.80", "duration_minutes": -0.5}, 400,
             "Invalid duration_minutes"),
            ("POST", "/api/v1/blacklist", '{"ip_address": "192.0.2.80", "duration_minutes": 1e999}', 400,
             "Invalid JSON body"),
            ("POST", "/api/v1/apikeys", {"description": "e2e-bad", "user_id": -5}, 400, "Invalid user ID"),
            ("GET", "/api/v1/logs?search=%00x", None, 400, "Invalid query parameter"),
            ("GET", "/api/v1/logs?level=info%00", None, 400, "Invalid query parameter"),
            ("GET", "/api/v1/logs?source=a%00b", None, 400, "Invalid query parameter"),
            ("GET", "/api/v1/logs?category=%00", None, 400, "Invalid query parameter"),
            ("GET", "/api/v1/logs?search=%FF", None, 400, "Invalid query parameter"),
            ("GET", "/api/v1/logs?level=%C3", None, 400, "Invalid query parameter"),
        ]
        wrong = []
        for method, path, body, want_status, want_message in cases:
            headers = {"Content-Type": "application/json"} if isinstance(body, str) else None
            status, answer = srv.call(method, path, body, headers=headers)
            if (status, error_message(answer)) != (want_status, want_message):
                wrong.append((path, body, status, error_message(answer)))
        self.assertEqual(wrong, [])
        self.assertEqual(srv.run_ok("SELECT COUNT(*) AS n FROM ip_blacklist WHERE ip_address IN "
                                    "('10.8.8.14745', '192.0.2.80')")["rows"], [{"n": "0"}])
        self.assertEqual(srv.run_ok("SELECT COUNT(*) AS n FROM api_keys WHERE description = 'e2e-bad'")["rows"],
                         [{"n": "0"}])

        # What is accepted: a fraction of a minute is a minute's ban, a huge number a long one
        # (never a permanent ban), an IPv6 address is an address; user id 0 is a key without
        # an owner, and without the member the key is the caller's.
        for ip, minutes in (("192.0.2.81", 0.5), ("192.0.2.82", 1e308), ("2001:db8::81", 1.25)):
            status, answer = srv.call("POST", "/api/v1/blacklist", {"ip_address": ip, "duration_minutes": minutes})
            self.assertEqual(status, 201, (ip, answer))
        bans = {b["ip_address"]: b for b in srv.call("GET", "/api/v1/blacklist")[1]["data"]}
        self.assertTrue(all(bans[ip]["expires_at"] for ip in ("192.0.2.81", "192.0.2.82", "2001:db8::81")), bans)
        for ip, seconds in (("192.0.2.81", 60), ("2001:db8::81", 120)):
            expiry = srv.run_ok("SELECT expires_at, banned_at FROM ip_blacklist WHERE ip_address = %s" % lit(ip))
            row = expiry["rows"][0]
            ends = datetime.datetime.fromisoformat(row["expires_at"][:19])
            began = datetime.datetime.fromisoformat(row["banned_at"][:19])
            self.assertTrue(seconds - 5 <= (ends - began).total_seconds() <= seconds + 5, (ip, row))
        self.assertGreater(bans["192.0.2.82"]["expires_at"][:4], "5000")
        for ip in ("192.0.2.81", "192.0.2.82", "2001:db8::81"):
            srv.run_ok("DELETE FROM ip_blacklist WHERE ip_address = %s" % lit(ip))

        for member, owner in (({"user_id": 0}, ""), ({}, "sysop")):
            status, answer = srv.call("POST", "/api/v1/apikeys", dict(member, description="e2e-owner"))
            self.assertEqual(status, 201, answer)
            keys = {k["id"]: k for k in srv.call("GET", "/api/v1/apikeys")[1]["data"]}
            self.assertEqual(keys[answer["data"]["id"]]["username"], owner, member)
        srv.run_ok("DELETE FROM api_keys WHERE description = 'e2e-owner'")

    def test_sessions_list_and_kick(self):
        self.walk(self.check_sessions_list_and_kick)

    def check_sessions_list_and_kick(self, srv):
        # Nothing in the server opens BBS sessions: the list is empty.
        status, body = srv.call("GET", "/api/v1/sessions")
        self.assertEqual((status, body), (200, {"success": True, "data": []}))
        guid = "0a1b2c3d-4e5f-4a6b-8c7d-8e9f0a1b2c3d"
        for i, g in enumerate(["5a1b2c3d-4e5f-4a6b-8c7d-8e9f0a1b2c3d", guid]):
            srv.run_ok("INSERT INTO active_sessions (guid, node, protocol, ip_address) VALUES (%s, %d, 'telnet', "
                       "'10.2.0.1')" % (lit(g), i + 1))
        rows = srv.run_ok("SELECT id FROM active_sessions ORDER BY id")["rows"]
        first = int(rows[0]["id"])
        # A kick by id, and one by GUID (upper case), each remove the session's row.
        status, body = srv.call("DELETE", "/api/v1/sessions/%d" % first)
        self.assertEqual((status, body), (200, {"success": True, "data": {}}))
        status, body = srv.call("DELETE", "/api/v1/sessions/" + guid.upper())
        self.assertEqual(status, 200)
        self.assertEqual(srv.run_ok("SELECT COUNT(*) AS n FROM active_sessions")["rows"], [{"n": "0"}])
        self.assertTrue(srv.wait_for_log("Session #%d kicked by sysop" % first))
        for bad in ("0", "abc", "ffffffff-ffff-4fff-8fff-ffffffffffff"):
            status, body = srv.call("DELETE", "/api/v1/sessions/" + bad)
            self.assertEqual((status, error_message(body)), (400, "Invalid session ID"), bad)

    def test_sql_console(self):
        self.walk(self.check_sql_console)

    def check_sql_console(self, srv):
        data = srv.run_ok("  select 1 as one, NULL as nul, '10:30' as t  ")
        self.assertEqual(data, {"rows": [{"one": "1", "nul": None, "t": "10:30"}], "count": 1})
        if srv.db == "postgresql":
            self.assertEqual(srv.run_ok("SELECT now()::text <> '' AS ok, 'a:b'::text AS t")["rows"],
                             [{"ok": "1", "t": "a:b"}])
            blob_sql = "SELECT '\\x00ff41'::bytea AS b"
        else:
            blob_sql = "SELECT X'00FF41' AS b"
        self.assertEqual(srv.run_ok(blob_sql)["rows"], [{"b": "\\x00ff41"}])

        self.assertEqual(srv.run_ok("CREATE TABLE e2e_console (v VARCHAR(20))"), {"affected": 0})
        self.assertEqual(srv.run_ok("INSERT INTO e2e_console (v) VALUES ('a'), ('b'), ('c');"), {"affected": 3})
        self.assertEqual(srv.run_ok("UPDATE e2e_console SET v = 'z' WHERE v <> 'a'"), {"affected": 2})
        self.assertEqual(srv.run_ok("SELECT v FROM e2e_console ORDER BY v")["count"], 3)

        status, body = srv.query("DELETE FROM no_such_table")
        self.assertEqual(status, 400)
        self.assertTrue(error_message(body).startswith("SQL error: "), body)
        status, body = srv.query("INSERT INTO e2e_console (v) VALUES ('x'); DELETE FROM e2e_console")
        self.assertEqual(status, 400)
        self.assertTrue(error_message(body).startswith("SQL error: "), body)
        self.assertEqual(srv.run_ok("SELECT COUNT(*) AS n FROM e2e_console")["rows"], [{"n": "3"}])
        status, body = srv.query(" ")
        self.assertEqual((status, error_message(body)), (400, "Missing sql field"))
        status, body = srv.call("POST", "/api/v1/admin/query", None, headers={"Content-Type": "application/json"})
        self.assertEqual((status, error_message(body)), (400, "Invalid JSON body"))

        # Whatever the console did to the transaction, the next ordinary writers work.
        for n, stmt in enumerate(["SELECT * FROM missing_table", "BEGIN", "COMMIT", "ROLLBACK",
                                  "INSERT INTO e2e_console (v) VALUES (NULL, NULL)", "START TRANSACTION"]):
            srv.query(stmt)
            status, body = srv.call("POST", "/api/v1/logs", {"source": "e2e-after", "message": "w%d" % n})
            self.assertEqual(status, 200, (stmt, body))
        stored = srv.run_ok("SELECT COUNT(*) AS n FROM system_logs WHERE source = 'e2e-after'")["rows"]
        self.assertEqual(stored, [{"n": "6"}])

        status, _ = srv.call("POST", "/api/v1/admin/query", {"sql": "SELECT 1"}, token=None)
        self.assertEqual(status, 401)


if __name__ == "__main__":
    unittest.main()
