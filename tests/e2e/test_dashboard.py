"""Translation bundles for the web client and each user's dashboard layout and widgets, the
layouts on every backend (their upsert differs)."""
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
