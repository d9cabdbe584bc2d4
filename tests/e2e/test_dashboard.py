"""Translation bundles for the web client and each user's dashboard layout and widgets, the
layouts on every backend (their upsert differs), and the status object's totals on every backend
whoever writes the rows."""
import json
import os
import unittest

from ovfixture import OVServer, error_message
from test_security import per_backend

LANG_FILES = {
    "en": {"_meta": {"language": "English"}, "common": {"save": "Save"}},
    "de": {"_meta": {"language": "Deutsch"}, "common": {"save": "Speichern"}},
    "fr": {"_meta": {"language": "Fran\u00e7ais"}, "common": {"save": "Enregistrer"}},
    "zz": {"common": {"save": "Zz"}},
    "x.y": {"_meta": {"language": "Dotted"}},  # its code is not a language code
}


class Translations(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.srv = OVServer({"i18n": {"language": "de"}})
        cls.lang_dir = os.path.join(cls.srv.tmp, "config", "lang")
        os.makedirs(cls.lang_dir)
        for code, bundle in LANG_FILES.items():
            cls.write(code, bundle)
        with open(os.path.join(cls.srv.tmp, "config", "secret.json"), "w") as f:
            json.dump({"secret": True}, f)
        cls.srv.start()
        cls.token = cls.srv.setup_admin()
        # The live German bundle was read at start; a later change on disk is not served for it.
        cls.write("de", {"_meta": {"language": "Deutsch"}, "common": {"save": "CHANGED"}})

    @classmethod
    def write(cls, code, bundle):
        with open(os.path.join(cls.lang_dir, code + ".json"), "w", encoding="utf-8") as f:
            json.dump(bundle, f)

    @classmethod
    def tearDownClass(cls):
        cls.srv.stop()
        cls.srv.cleanup()

    def get(self, path, **kw):
        kw.setdefault("token", self.token)
        return self.srv.json("GET", "/api/v1" + path, **kw)

    def test_languages_and_bundles(self):
        status, body = self.get("/i18n/languages")
        self.assertEqual((status, body["data"]), (200, [
            {"code": "de", "name": "Deutsch"}, {"code": "en", "name": "English"},
            {"code": "fr", "name": "Fran\u00e7ais"}, {"code": "x.y", "name": "Dotted"}, {"code": "zz", "name": "zz"}]))
        english, live_german = LANG_FILES["en"], LANG_FILES["de"]
        for lang, expected in (("DE", live_german), ("de", live_german), ("fr", LANG_FILES["fr"]),
                               ("zz", LANG_FILES["zz"]), ("EN", english), ("xx", english), ("x.y", english),
                               ("..", english), ("%2E%2E", english), ("de", live_german)):
            with self.subTest(lang=lang):
                self.assertEqual(self.get("/i18n/" + lang), (200, {"success": True, "data": expected}))
        # A code holding a separator never names a file: it is not even a route.
        status, body = self.get("/i18n/..%2Fsecret")
        self.assertEqual((status, error_message(body)), (404, "API endpoint not found"))
        for path in ("/i18n/languages", "/i18n/de"):
            status, body = self.get(path, token="bad")
            self.assertEqual((status, error_message(body)), (401, "Unauthorized"))


@per_backend
class Dashboard:
    DB = "sqlite3"

    @classmethod
    def setUpClass(cls):
        cls.srv = OVServer(db=cls.DB).start()
        cls.admin = cls.srv.setup_admin()
        status, body = cls.srv.json("POST", "/api/v1/users", {"username": "joe", "password": "pw-1234"},
                                    token=cls.admin)
        assert status == 201, body
        cls.joe_id = body["data"]["id"]
        cls.joe = cls.srv.login("joe", "pw-1234")[1]["data"]["token"]

    @classmethod
    def tearDownClass(cls):
        cls.srv.stop()
        cls.srv.cleanup()

    def layout(self, token):
        status, body = self.srv.json("GET", "/api/v1/dashboard/layout", token=token)
        self.assertEqual(status, 200, body)
        return body["data"]

    def put(self, token, text):
        status, _, body = self.srv.request("PUT", "/api/v1/dashboard/layout", body=text, token=token)
        return status, json.loads(body)

    def stored(self, user_id):
        return self.srv.db_rows("SELECT pref_value FROM user_preferences WHERE user_id = %d "
                                "AND pref_key = 'dashboard_layout'" % user_id)

    def test_layouts_per_user(self):
        self.assertEqual((self.layout(self.admin), self.layout(self.joe)), ({}, {}))
        odd = '{ "cols" :3,    "w":[ "a" , 1.50 ,{}] }'
        self.assertEqual(self.put(self.admin, odd), (200, {"success": True, "data": "Layout saved"}))
        self.assertEqual(self.stored(1), [(odd,)])
        self.assertEqual(self.layout(self.admin), {"cols": 3, "w": ["a", 1.5, {}]})
        self.assertEqual(self.layout(self.joe), {})

        self.assertEqual(self.put(self.joe, "[1,2]")[0], 200)
        self.assertEqual(self.layout(self.joe), [1, 2])
        self.assertEqual(self.put(self.admin, ' "just text" ')[0], 200)  # any JSON value, stored again
        self.assertEqual((self.stored(1), self.layout(self.admin)), ([(' "just text" ',)], "just text"))
        self.assertEqual((self.stored(self.joe_id), self.layout(self.joe)), ([("[1,2]",)], [1, 2]))

        for text, message in (("", "Empty request body"), ("{broken", "Invalid JSON"), ("[1,", "Invalid JSON"),
                              ("[" * 100 + "]" * 100, "Invalid JSON")):
            status, body = self.put(self.joe, text)
            self.assertEqual((status, error_message(body)), (400, message), text)
        self.assertEqual(self.stored(self.joe_id), [("[1,2]",)])

        # A stored layout that no longer parses reads as {}.
        self.srv.sql("UPDATE user_preferences SET pref_value = 'not json' WHERE user_id = %d" % self.joe_id)
        self.assertEqual(self.layout(self.joe), {})

    def test_status_totals_follow_every_write(self):
        """The status object's totals count every row however it was written: by the server, by
        its SQL console, or by the database's own client behind the server's back (the users'
        total comes from the tally that triggers keep on PostgreSQL and MariaDB)."""
        srv, key = self.srv, "`key`" if self.DB == "mariadb" else '"key"'
        created = []

        def totals():
            status, body = srv.json("GET", "/api/v1/status", token=self.admin)
            self.assertEqual(status, 200, body)
            return body["data"]["total_users"], body["data"]["total_config_entries"]

        def console(sql):
            status, body = srv.json("POST", "/api/v1/admin/query", {"sql": sql}, token=self.admin)
            self.assertEqual(status, 200, body)

        def create():
            status, body = srv.json("POST", "/api/v1/users", {"username": "tally%d" % len(created),
                                                              "password": "pw-1234"}, token=self.admin)
            self.assertEqual(status, 201, body)
            created.append(body["data"]["id"])

        def delete():
            self.assertEqual(srv.json("DELETE", "/api/v1/users/%d" % created.pop(), token=self.admin)[0], 200)

        def user_rows(*names):
            return ", ".join("('tally-%s', '%s', 'x', 'x')" % (n, n) for n in names)

        insert = "INSERT INTO users (guid, username, password_hash, password_salt) VALUES "
        cases = [  # (what, write, users added, config entries added)
            ("created by the server", create, 1, 0),
            ("deleted by the server", delete, -1, 0),
            ("inserted by the console", lambda: console(insert + user_rows("c1", "c2", "c3")), 3, 0),
            ("moved to another key block", lambda: console("UPDATE users SET id = id + 100000 WHERE username = 'c1'"), 0, 0),
            ("deleted by the console", lambda: console("DELETE FROM users WHERE username IN ('c2', 'c3')"), -2, 0),
            ("inserted behind the server's back", lambda: srv.sql(insert + user_rows("b1", "b2")), 2, 0),
            ("deleted behind the server's back", lambda: srv.sql("DELETE FROM users WHERE username IN ('c1', 'b1', 'b2')"), -3, 0),
            ("config entry by the console", lambda: console("INSERT INTO system_config (%s, value) VALUES ('t1', 'x')" % key), 0, 1),
            ("config entries behind the server's back",
             lambda: srv.sql("INSERT INTO system_config (%s, value) VALUES ('t2', 'x'), ('t3', 'x')" % key), 0, 2),
            ("config entries deleted", lambda: srv.sql("DELETE FROM system_config WHERE %s LIKE 't_'" % key), 0, -3),
        ]
        counted = lambda: (int(srv.value("SELECT COUNT(*) FROM users")), int(srv.value("SELECT COUNT(*) FROM system_config")))
        expected = counted()
        self.assertEqual(totals(), expected)
        for what, write, users, config in cases:
            with self.subTest(what):
                write()
                expected = (expected[0] + users, expected[1] + config)
                self.assertEqual((totals(), counted()), (expected, expected))

    def test_widgets_and_access(self):
        self.assertEqual(self.srv.json("GET", "/api/v1/dashboard/widgets", token=self.joe),
                         (200, {"success": True, "data": []}))
        for method, path in (("GET", "/dashboard/widgets"), ("GET", "/dashboard/layout"),
                             ("PUT", "/dashboard/layout")):
            status, body = self.srv.json(method, "/api/v1" + path, [1])
            self.assertEqual((status, error_message(body)), (401, "Unauthorized"), path)


class WidgetsFromPlugins(unittest.TestCase):
    WIDGETS = {"RouteC": [{"id": "routec"}], "WidgetA": [{"id": "a1"}, {"id": "a2"}]}

    def test_widgets_in_plugin_order(self):
        srv = OVServer()
        self.addCleanup(srv.cleanup)
        # WidgetOff answers "success": false and SampleC has no such function: neither adds any.
        for name in ("route_c", "widget_a", "widget_off", "sample_c"):
            srv.install_plugin(name)
        srv.start()
        admin = srv.setup_admin()
        self.assertEqual(srv.json("GET", "/api/v1/dashboard/widgets", token=admin), (200, {"success": True, "data": []}))
        for name in ("RouteC", "WidgetA", "WidgetOff", "SampleC"):
            self.assertEqual(srv.json("POST", "/api/v1/plugins/enable", {"name": name}, token=admin)[0], 200)
        order = [p["name"] for p in srv.json("GET", "/api/v1/plugins", token=admin)[1]["data"]]
        expected = [w for name in order for w in self.WIDGETS.get(name, [])]
        srv.json("POST", "/api/v1/users", {"username": "joe", "password": "pw-1234"}, token=admin)
        joe = srv.login("joe", "pw-1234")[1]["data"]["token"]
        self.assertEqual(srv.json("GET", "/api/v1/dashboard/widgets", token=joe), (200, {"success": True,
                                                                                         "data": expected}))
        self.assertEqual(srv.stop(), 0)


if __name__ == "__main__":
    unittest.main()
