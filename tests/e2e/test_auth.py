"""First-run setup, login, token refresh, API keys, health and status, seen from outside."""
import base64
import hashlib
import hmac
import json
import os
import sqlite3
import time
import unittest

from ovfixture import OVServer, db_backends, error_message

HEADER_TEXT = '{ "alg" : "HS1", "typ" : "JWT" }'
CLAIM_ORDER = ["sub", "uid", "usr", "adm", "slv", "flg", "iss", "iat", "exp"]
LOGIN_MEMBERS = ["token", "user_id", "user_guid", "username", "is_admin", "security_level", "flags"]
STATUS_MEMBERS = ["server_name", "version", "build_id", "uptime_seconds", "total_users", "total_config_entries",
                  "database_type", "active_sessions", "connected_nodes"]


def b64url(data):
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode()


def b64url_decode(text):
    return base64.urlsafe_b64decode(text + "=" * (-len(text) % 4))


def password_hash(password, salt):
    d = hashlib.sha1((salt + password).encode()).digest()
    for _ in range(9999):
        d = hashlib.sha1(d + salt.encode()).digest()
    return d.hex()


class Server(OVServer):
    """The fixture with statements on the SQLite file that bind arguments and keep column types."""

    def sql(self, statement, args=()):
        con = sqlite3.connect(os.path.join(self.data_dir, "orvanta.db"), timeout=10)
        try:
            rows = con.execute(statement, args).fetchall()
            con.commit()
            return rows
        finally:
            con.close()

    def setup(self, username="sysop", password="secret1", **extra):
        body = dict(username=username, password=password, **extra)
        return self.json("POST", "/api/v1/setup", body)


class SetupAndLogin(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.srv = Server().start()

    @classmethod
    def tearDownClass(cls):
        cls.srv.stop()
        cls.srv.cleanup()

    def test_1_setup_flow(self):
        srv = self.srv
        status, body = srv.json("GET", "/api/v1/setup/status")
        self.assertEqual(status, 200)
        self.assertEqual(body, {"success": True, "data": {"setup_complete": False,
                                                            "server_name": "Orvanta BBS v0.5.33"}})

        status, body = srv.setup(password="12345")
        self.assertEqual((status, error_message(body)), (400, "Password must be at least 6 characters"))
        status, body = srv.setup(username="", password="123456")
        self.assertEqual((status, error_message(body)), (400, "Username and password are required"))
        status, _, text = srv.request("POST", "/api/v1/setup", body="{oops")
        self.assertEqual((status, error_message(json.loads(text))), (400, "Invalid JSON body"))
        self.assertEqual(srv.value("SELECT COUNT(*) FROM users"), 0)

        status, body = srv.setup(real_name="Jo Sysop", bbs_name="Night Owl")
        self.assertEqual(status, 201, body)
        data = body["data"]
        self.assertEqual(list(data), ["token", "user_id", "user_guid", "username", "is_admin", "security_level"])
        self.assertEqual((data["username"], data["is_admin"], data["security_level"]), ("sysop", True, 255))
        row = srv.sql("SELECT id, guid, password_hash, password_salt, is_admin, security_level, real_name "
                      "FROM users WHERE username='sysop'")[0]
        self.assertEqual((data["user_id"], data["user_guid"]), (row[0], row[1]))
        self.assertRegex(row[3], r"^[0-9a-f]{64}$")
        self.assertEqual(row[2], password_hash("secret1", row[3]))
        self.assertEqual(row[4:], (1, 255, "Jo Sysop"))
        self.assertEqual(srv.value("SELECT value FROM system_config WHERE key='bbs_name'"), "Night Owl")
        self.assertEqual(srv.value("SELECT value FROM system_config WHERE key='sysop_name'"), "Jo Sysop")
        self.assertEqual(srv.json("GET", "/api/v1/status", token=data["token"])[0], 200)

        status, body = srv.setup(username="second", password="whatever1")
        self.assertEqual((status, error_message(body)), (403, "Setup already completed"))
        self.assertEqual(srv.json("GET", "/api/v1/setup/status")[1]["data"]["setup_complete"], True)
        self.assertTrue(srv.wait_for_log("Initial sysop account created: sysop"))

        # A pattern that exists only for another method is no route at all.
        status, body = srv.json("GET", "/api/v1/setup")
        self.assertEqual((status, error_message(body)), (404, "API endpoint not found"))

    def test_2_login(self):
        srv = self.srv
        status, body = srv.login(password="wrong-password")
        self.assertEqual((status, error_message(body)), (401, "Invalid credentials"))
        self.assertEqual(srv.value("SELECT failed_logins FROM users WHERE username='sysop'"), 1)
        status, body = srv.login(username="nobody")
        self.assertEqual((status, error_message(body)), (401, "Invalid credentials"))
        self.assertEqual(srv.value("SELECT SUM(failed_logins) FROM users"), 1)
        status, body = srv.json("POST", "/api/v1/auth/login", {"username": "sysop"})
        self.assertEqual((status, error_message(body)), (400, "Username and password required"))
        status, body = srv.json("POST", "/api/v1/auth/login", [1, 2])
        self.assertEqual((status, error_message(body)), (400, "Invalid JSON body"))

        # Flags from a direct grant and a group, sorted ignoring case, no duplicates.
        uid = srv.value("SELECT id FROM users WHERE username='sysop'")
        srv.sql("INSERT INTO user_flags (user_id, flag_name) VALUES (?, 'zz_custom'), (?, 'Aa_custom')", (uid, uid))
        srv.sql("INSERT INTO acl_groups (guid, name) VALUES ('e2e-group', 'E2E')")
        gid = srv.value("SELECT id FROM acl_groups WHERE name='E2E'")
        srv.sql("INSERT INTO acl_group_flags (group_id, flag_name) VALUES (?, 'aa_custom'), (?, 'mm_custom')",
                (gid, gid))
        srv.sql("INSERT INTO user_groups (user_id, group_id) VALUES (?, ?)", (uid, gid))

        status, body = srv.login()
        self.assertEqual(status, 200, body)
        data = body["data"]
        self.assertEqual(list(data), LOGIN_MEMBERS)
        self.assertEqual(data["user_id"], uid)
        self.assertEqual((data["username"], data["is_admin"], data["security_level"]), ("sysop", True, 255))
        self.assertIn(data["flags"], ("Aa_custom,mm_custom,zz_custom", "aa_custom,mm_custom,zz_custom"))
        row = srv.sql("SELECT failed_logins, total_calls, last_login FROM users WHERE id=?", (uid,))[0]
        self.assertEqual(row[:2], (0, 1))
        self.assertRegex(row[2], r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d$")
        short = data["user_guid"].replace("-", "")[-12:]
        self.assertTrue(srv.wait_for_log("User sysop [..%s] logged in from 127.0.0.1" % short))

        self.check_token_format(data["token"], data)

    def check_token_format(self, token, login):
        parts = token.split(".")
        self.assertEqual(len(parts), 3)
        self.assertEqual(parts[0], b64url(HEADER_TEXT.encode()))
        claims_text = b64url_decode(parts[1]).decode()
        claims = json.loads(claims_text)
        self.assertEqual(list(claims), CLAIM_ORDER)
        self.assertEqual(claims["sub"], login["user_guid"])
        self.assertEqual((claims["uid"], claims["usr"], claims["adm"], claims["slv"], claims["flg"], claims["iss"]),
                         (login["user_id"], "sysop", True, 255, login["flags"], "OVBBS"))
        self.assertEqual(claims["exp"] - claims["iat"], 86400)
        # The spaced JSON form, byte for byte.
        self.assertTrue(claims_text.startswith('{ "sub" : "%s", "uid" : %d, ' % (login["user_guid"],
                                                                               login["user_id"])), claims_text)
        secret = self.srv.config_value("security", "jwt_secret")
        self.assertRegex(secret, r"^[0-9a-f]{64}$")
        sig = hmac.new(secret.encode(), (parts[0] + "." + parts[1]).encode(), hashlib.sha1).digest()
        self.assertEqual(parts[2], b64url(sig))
        self.assertEqual(len(parts[2]), 27)

    def test_3_tokens_and_keys(self):
        srv = self.srv
        token = srv.login()[1]["data"]["token"]
        self.assertEqual(srv.json("GET", "/api/v1/status", token=token)[0], 200)

        # A flipped signature character, an extra part, a trailing dot.
        sig = token.rsplit(".", 1)[1]
        flipped = token[:-len(sig)] + ("A" if sig[0] != "A" else "B") + sig[1:]
        for bad in (flipped, token + ".x", token + ".", token.rsplit(".", 1)[0]):
            status, body = srv.json("GET", "/api/v1/status", token=bad)
            self.assertEqual((status, error_message(body)), (401, "Unauthorized"), bad)
        self.assertEqual(srv.json("GET", "/api/v1/status")[0], 401)

        # An API key inserted as its SHA-1.
        key = "ov_" + os.urandom(24).hex()
        uid = srv.value("SELECT id FROM users WHERE username='sysop'")
        srv.sql("INSERT INTO api_keys (guid, key_hash, key_prefix, user_id) VALUES (?, ?, ?, ?)",
                ("e2e-key-1", hashlib.sha1(key.encode()).hexdigest(), key[:10] + "...", uid))
        status, body = srv.json("GET", "/api/v1/status", api_key=key)
        self.assertEqual(status, 200, body)
        self.assertIsNotNone(srv.value("SELECT last_used FROM api_keys WHERE guid='e2e-key-1'"))
        # A bearer header decides alone, even when it is junk and the key is good.
        status, _, _ = srv.request("GET", "/api/v1/status", headers={"Authorization": "Bearer junk",
                                                                     "X-API-Key": key})
        self.assertEqual(status, 401)
        # An API key caller may refresh: a token for the key's owner.
        status, body = srv.json("POST", "/api/v1/auth/refresh", api_key=key)
        self.assertEqual(status, 200, body)
        self.assertEqual(list(body["data"]), ["token", "user_guid", "flags"])

        # Expired and inactive keys are refused.
        srv.sql("UPDATE api_keys SET expires_at='2001-01-01 00:00:00' WHERE guid='e2e-key-1'")
        self.assertEqual(srv.json("GET", "/api/v1/status", api_key=key)[0], 401)
        srv.sql("UPDATE api_keys SET expires_at=NULL, is_active=0 WHERE guid='e2e-key-1'")
        self.assertEqual(srv.json("GET", "/api/v1/status", api_key=key)[0], 401)
        srv.sql("UPDATE api_keys SET is_active=1 WHERE guid='e2e-key-1'")
        self.assertEqual(srv.json("GET", "/api/v1/status", api_key=key)[0], 200)

    def test_4_refresh_and_disabled_account(self):
        srv = self.srv
        token = srv.login()[1]["data"]["token"]
        time.sleep(1.1)  # a later issue time, so the new token differs
        status, body = srv.json("POST", "/api/v1/auth/refresh", token=token)
        self.assertEqual(status, 200, body)
        data = body["data"]
        self.assertEqual(list(data), ["token", "user_guid", "flags"])
        self.assertNotEqual(data["token"], token)
        self.assertEqual(srv.json("GET", "/api/v1/status", token=data["token"])[0], 200)
        claims = json.loads(b64url_decode(data["token"].split(".")[1]))
        self.assertEqual(claims["sub"], data["user_guid"])

        # Rights come from the account as it is now.
        srv.sql("UPDATE users SET security_level=40 WHERE username='sysop'")
        new = srv.json("POST", "/api/v1/auth/refresh", token=token)[1]["data"]["token"]
        self.assertEqual(json.loads(b64url_decode(new.split(".")[1]))["slv"], 40)
        srv.sql("UPDATE users SET security_level=255 WHERE username='sysop'")

        key = "ov_" + os.urandom(24).hex()
        uid = srv.value("SELECT id FROM users WHERE username='sysop'")
        srv.sql("INSERT INTO api_keys (guid, key_hash, key_prefix, user_id) VALUES (?, ?, ?, ?)",
                ("e2e-key-2", hashlib.sha1(key.encode()).hexdigest(), key[:10] + "...", uid))
        try:
            for column in ("is_active=0", "is_locked=1"):
                srv.sql("UPDATE users SET %s WHERE username='sysop'" % column)
                status, body = srv.json("POST", "/api/v1/auth/refresh", token=data["token"])
                self.assertEqual((status, error_message(body)), (401, "Unauthorized"), column)
                # A key of a disabled or locked account no longer authenticates.
                self.assertEqual(srv.json("GET", "/api/v1/status", api_key=key)[0], 401, column)
                srv.sql("UPDATE users SET is_active=1, is_locked=0 WHERE username='sysop'")

            srv.sql("UPDATE users SET is_active=0 WHERE username='sysop'")
            before = srv.value("SELECT failed_logins FROM users WHERE username='sysop'")
            status, body = srv.login()
            self.assertEqual((status, error_message(body)), (403, "Account is disabled"))
            srv.sql("UPDATE users SET is_active=1, is_locked=1 WHERE username='sysop'")
            status, body = srv.login()
            self.assertEqual((status, error_message(body)), (403, "Account is locked"))
            self.assertEqual(srv.value("SELECT failed_logins FROM users WHERE username='sysop'"), before)
        finally:
            srv.sql("UPDATE users SET is_active=1, is_locked=0 WHERE username='sysop'")

    def test_5_health_and_status(self):
        srv = self.srv
        status, headers, text = srv.request("GET", "/health")
        self.assertEqual(status, 200)
        self.assertEqual(text, '{ "status" : "healthy", "version" : "0.5.33", "database" : "ok" }')
        self.assertTrue(headers["content-type"].startswith("application/json"))

        token = srv.login()[1]["data"]["token"]
        status, body = srv.json("GET", "/api/v1/status", token=token)
        self.assertEqual(status, 200)
        data = body["data"]
        self.assertEqual(list(data), STATUS_MEMBERS)
        self.assertEqual((data["server_name"], data["version"], data["database_type"]),
                         ("Orvanta BBS v0.5.33", "0.5.33", "sqlite3"))
        self.assertRegex(data["build_id"], r"^[0-9A-F]{16}$")
        self.assertEqual(data["total_users"], srv.value("SELECT COUNT(*) FROM users"))
        self.assertEqual(data["total_config_entries"], srv.value("SELECT COUNT(*) FROM system_config"))
        self.assertGreaterEqual(data["uptime_seconds"], 0)
        self.assertTrue(srv.wait_for_log("Auth subsystem initialized (JWT expiry: 86400 seconds)"))
        self.assertTrue(srv.wait_for_log("API routes registered (/api/v1/*)"))


class OtherDatabases(unittest.TestCase):
    """The same road on every database the test run has: setup, login, refresh, status."""

    def test_portable_road(self):
        for db in db_backends():
            with self.subTest(db=db), OVServer(db=db) as srv:
                status, body = srv.json("POST", "/api/v1/setup", {"username": "Sysop", "password": "secret1",
                                                                   "real_name": "R", "bbs_name": "B"})
                self.assertEqual(status, 201, body)
                user_id = body["data"]["user_id"]
                self.assertGreater(user_id, 0)
                self.assertEqual(srv.json("POST", "/api/v1/setup", {"username": "x", "password": "secret1"})[0], 403)
                status, body = srv.json("POST", "/api/v1/auth/login", {"username": "Sysop", "password": "nope"})
                self.assertEqual(status, 401)
                status, body = srv.json("POST", "/api/v1/auth/login", {"username": "Sysop", "password": "secret1"})
                self.assertEqual(status, 200, body)
                self.assertEqual((body["data"]["user_id"], body["data"]["flags"]), (user_id, ""))
                token = body["data"]["token"]
                status, body = srv.json("POST", "/api/v1/auth/refresh", token=token)
                self.assertEqual(status, 200, body)
                status, body = srv.json("GET", "/api/v1/status", token=body["data"]["token"])
                self.assertEqual(status, 200, body)
                self.assertEqual(body["data"]["total_users"], 1)
                self.assertEqual(body["data"]["database_type"], db)
                self.assertEqual(srv.request("GET", "/health")[2],
                                 '{ "status" : "healthy", "version" : "0.5.33", "database" : "ok" }')
                self.assertEqual(srv.json("GET", "/api/v1/status", api_key="ov_" + "0" * 48)[0], 401)


if __name__ == "__main__":
    unittest.main()
