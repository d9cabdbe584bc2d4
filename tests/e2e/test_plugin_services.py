"""Plug-ins extending the running server through their host, end to end: HTTP routes, admin menus
and pages, events, calls between plug-ins, sessions, users, the hub, the blacklist and database
batches; the plug-in administration endpoints with and without a plug-in manager; and nodes
calling plug-ins over the hub.  RouteC is a C99 plug-in, SvcCpp a C++ one (tests/plugins)."""
import json
import os
import threading
import unittest

from ovfixture import OVServer, error_message
from test_ws import Hub

API = "/api/v1"
NODE_PROTOCOL = "telnet"


class PluginHub(Hub):
    """A hub server whose plug-ins are installed before it starts; helpers for plug-in calls."""

    def __init__(self, plugins, config=None, **kw):
        super().__init__(config=config, **kw)
        for name in plugins:
            self.install_plugin(name)

    def __enter__(self):
        return self

    def launch(self, enable=()):
        self.start(wait=True)
        self.prepare()
        for name in enable:
            status, body = self.json("POST", API + "/plugins/enable", {"name": name}, token=self.admin_token)
            assert status == 200, (name, status, body)
        return self

    def call(self, plugin, function, args=None, token=None, **kw):
        body = {"function": function}
        if args is not None:
            body["args"] = args
        return self.json("POST", API + "/plugins/service/" + plugin, body, token=token or self.admin_token, **kw)

    def admin_call(self, path, body=None, method="POST", token=None):
        return self.json(method, API + path, body, token=token or self.admin_token)

    def node(self, name="node-1", uuid="uuid-1", **kw):
        """A node the hub has registered: "register" has no answer, so its log line is waited for
        (the line is written once the node is in the client list)."""
        ws = super().node(name, uuid, **kw)
        assert self.wait_for_log('[ws] Client %d registered as "%s"' % (ws.client_id, name)), name
        return ws

    def subscribed_admin(self, events):
        """A web administrator whose subscription the hub has taken (its messages are handled in
        order: the answer to a later call means the subscription is in place)."""
        ws = self.admin(events)
        ws.send_json({"type": "plugin_call", "id": "sync"})
        ws.recv_json("plugin_call_result")
        return ws

    def add_user(self, name, password="pw-1234"):
        status, body = self.admin_call("/users", {"username": name, "password": password})
        assert status == 201, body
        return body["data"]["id"], self.login(name, password)[1]["data"]["token"]


class PluginExtensions(unittest.TestCase):
    """One server with RouteC and SvcCpp enabled, a node and a web administrator on the hub."""

    @classmethod
    def setUpClass(cls):
        cls.srv = srv = PluginHub(["route_c", "svc_cpp"])
        web = os.path.join(srv.plugin_dir, "RouteC", "web")
        os.makedirs(web)
        with open(os.path.join(web, "index.html"), "w") as f:
            f.write("<html>RouteC page</html>")
        srv.launch(enable=("RouteC", "SvcCpp"))
        cls.joe_id, cls.joe = srv.add_user("joe")
        cls.joe_key = "ov_" + "cd" * 24
        srv.add_api_key("joe-key-1", cls.joe_key, cls.joe_id)

    @classmethod
    def tearDownClass(cls):
        cls.srv.stop()
        cls.srv.cleanup()

    def toggle(self, name, action):
        status, body = self.srv.admin_call("/plugins/" + action, {"name": name})
        self.assertEqual(status, 200, body)

    def events_of_route_c(self):
        status, body = self.srv.call("RouteC", "Events")
        self.assertEqual(status, 200, body)
        return body["events"]

    # ---- routes ----

    def test_routes(self):
        srv = self.srv
        route = API + "/plugins/RouteC"
        # The route without its leading "/" was refused alone: the plug-in was enabled with the rest.
        self.assertTrue(srv.wait_for_log('[OrvantaBBS Warning] [plugin:RouteC] Route refused: GET stats (the path '
                                         'must begin with "/")'))
        self.assertEqual(srv.json("GET", route + "stats", token=self.joe)[0], 404)
        # The query as strings with the real caller; the client's own "_auth_*" members are gone.
        status, body = srv.json("GET", route + "/echo?page=2&_auth_is_admin=true&_auth_user_id=1", token=self.joe)
        self.assertEqual((status, body), (200, {"page": "2", "_auth_user_id": self.joe_id, "_auth_username": "joe",
                                                "_auth_is_admin": False}))
        status, body = srv.json("POST", API + "/plugins/SvcCpp/echo", {"a": [1], "_auth_username": "root"},
                                token=self.joe)
        self.assertEqual(body, {"a": [1], "_auth_user_id": self.joe_id, "_auth_username": "joe",
                                "_auth_is_admin": False})
        status, body = srv.json("GET", route + "/echo", api_key=self.joe_key)
        self.assertEqual((status, body["_auth_username"]), (200, "joe"))
        # A method the router does not know answers every method; paths match ignoring case.
        for method in ("GET", "POST", "PUT", "DELETE"):
            self.assertEqual(srv.json(method, route.lower() + "/ANY", token=self.joe),
                             (200, {"method": method, "path": "/api/v1/plugins/routec/ANY"}))
        for path, token, expected in (("/echo", None, (401, "Authentication required")),
                                      ("/echo", "bad.token.here", (401, "Authentication required")),
                                      ("/none", self.joe, (404, "No response"))):
            status, body = srv.json("GET", route + path, token=token)
            self.assertEqual((status, error_message(body)), expected, path)
        for path, message in (("/throw-std", "route failed"), ("/throw-other", "unknown exception")):
            status, body = srv.json("GET", API + "/plugins/SvcCpp" + path, token=self.joe)
            self.assertEqual((status, error_message(body)), (500, "Internal plugin error"))
            self.assertTrue(srv.wait_for_log("[plugin:SvcCpp] Route handler error: " + message), message)
        self.toggle("RouteC", "disable")
        status, body = srv.json("GET", route + "/echo", token=self.joe)
        self.assertEqual((status, error_message(body)), (503, "Plugin not available (reloading)"))
        self.toggle("RouteC", "enable")
        self.assertTrue(srv.wait_for_log("[plugin:RouteC] Route updated: GET /api/v1/plugins/RouteC/echo"))
        self.assertEqual(srv.json("GET", route + "/echo", token=self.joe)[0], 200)

    def test_library_overwritten_in_place(self):
        # Truncated and rewritten as cp does while the plug-in runs: its code is a private copy's.
        srv = self.srv
        with open(os.path.join(srv.plugin_dir, "route_c.so"), "wb") as f:
            f.write(b"not a library any more")
        try:
            self.assertEqual(srv.json("GET", API + "/plugins/RouteC/echo?n=1", token=self.joe)[1]["n"], "1")
            self.assertEqual(srv.call("RouteC", "Events")[0], 200)
            self.assertEqual(srv.request("GET", "/health")[0], 200)
        finally:
            srv.install_plugin("route_c")
        self.assertEqual([f for f in os.listdir(srv.plugin_dir) if f.startswith(".")], [], "no copies left behind")

    # ---- menus and pages ----

    def test_menu_and_pages(self):
        srv = self.srv
        item = {"title": "Route C", "url": "/admin/routec", "icon": "puzzle", "position": 20, "plugin": "Tools",
                "owner": "RouteC"}
        self.assertEqual(srv.json("GET", API + "/admin/menu", token=self.joe), (200, {"success": True, "data": [item]}))
        for path in ("/admin/routec", "/ADMIN/RouteC"):
            status, headers, text = srv.request("GET", path)
            self.assertEqual((status, text), (200, "<html>RouteC page</html>"), path)
        self.assertTrue(srv.wait_for_log("[plugin:RouteC] Admin page registered: /admin/routec -> index.html"))
        self.toggle("RouteC", "disable")
        try:
            self.assertEqual(srv.json("GET", API + "/admin/menu", token=self.joe), (200, {"success": True, "data": []}))
            self.assertEqual(srv.request("GET", "/admin/routec")[0], 404)
        finally:
            self.toggle("RouteC", "enable")
        self.assertEqual(srv.request("GET", "/admin/routec")[0], 200)
        self.assertEqual(srv.json("GET", API + "/admin/menu")[0], 401)

    # ---- events ----

    def test_events(self):
        srv = self.srv
        created = [e["data"] for e in self.events_of_route_c() if e["type"] == "user.create"]
        self.assertEqual([(d["user_id"], d["username"]) for d in created], [(self.joe_id, "joe")])
        admin = srv.subscribed_admin(["demo.ping"])
        try:
            self.assertEqual(srv.call("SvcCpp", "Fire", {"type": "demo.ping", "data": {"n": 1}}), (200, {}))
            ev = admin.recv_json("event")
            self.assertEqual((ev["event"], ev["data"]), ("demo.ping", {"n": 1}))
            self.toggle("RouteC", "disable")
            srv.call("SvcCpp", "Fire", {"type": "demo.ping", "data": {"n": 2}})
            self.assertEqual(admin.recv_json("event")["data"], {"n": 2})
            self.toggle("RouteC", "enable")
            srv.call("SvcCpp", "Fire", {"type": "demo.ping", "data": {"n": 3}})
        finally:
            admin.close()
        pings = [e["data"] for e in self.events_of_route_c() if e["type"] == "demo.ping"]
        self.assertEqual(pings, [{"n": 1}, {"n": 3}])

    # ---- calls between plug-ins ----

    def test_plugin_calls(self):
        srv = self.srv
        status, body = srv.call("SvcCpp", "Call", {"plugin": "RouteC", "function": "Events"})
        self.assertEqual(status, 200)
        self.assertIn("events", body["result"])
        # Plug-ins keep their access to the administrative "_system" functions.
        status, body = srv.call("SvcCpp", "Call", {"plugin": "_system", "function": "ListUsers"}, token=self.joe)
        self.assertEqual((status, body["result"]["success"]), (200, True))
        self.assertEqual(srv.call("SvcCpp", "Call", {"plugin": "RouteC", "function": "Nope"}), (200, {"result": None}))
        status, body = srv.call("RouteC", "CallOther")
        self.assertEqual((status, error_message(body)),
                         (500, 'Plugin call failed: Plugin "RouteC" denied permission: plugin.call'))

    def test_system_functions_by_caller(self):
        srv = self.srv
        for token, key, function, expected in (
                (self.joe, None, "ListUsers", 403), (self.joe, None, "UpdateUser", 403),
                (self.joe, None, "GetLanguage", 200), (None, self.joe_key, "ListUsers", 200),
                (srv.admin_token, None, "ListUsers", 200)):
            with self.subTest(function=function, api_key=bool(key)):
                if key:
                    status, body = srv.json("POST", API + "/plugins/service/_system",
                                            {"function": function, "args": {"id": str(self.joe_id), "is_admin": 1}}
                                            if function == "UpdateUser" else {"function": function}, api_key=key)
                else:
                    status, body = srv.call("_system", function, {"id": str(self.joe_id), "is_admin": 1}
                                            if function == "UpdateUser" else None, token=token)
                self.assertEqual(status, expected, body)
                if expected == 403:
                    self.assertEqual(error_message(body), "Admin access required")
                else:
                    self.assertTrue(body["success"])
        self.assertEqual(srv.value("SELECT is_admin FROM users WHERE id = %d" % self.joe_id), "0")

    # ---- sessions, users, security, the hub, batches ----

    def test_sessions_users_and_blacklist(self):
        srv = self.srv
        self.assertEqual(srv.call("SvcCpp", "Sessions", {"node": 1}),
                         (200, {"all": [], "count": 0, "allocated": 1, "on_node": None}))
        ids = [srv.call("SvcCpp", "CreateUser", {"username": n, "password": "secret6"})[1]["id"] for n in ("pa", "pb")]
        guids = srv.db_rows("SELECT guid FROM users WHERE username IN ('pa', 'pb') ORDER BY id")
        self.assertEqual(len(set(ids)), 2)
        self.assertEqual(len({g for (g,) in guids}), 2)
        self.assertTrue(all(len(g) == 36 for (g,) in guids))
        status, body = srv.call("SvcCpp", "CreateUser", {"username": "pc", "password": "12345"})
        self.assertEqual((status, error_message(body)),
                         (500, "Plugin call failed: Password must be at least 6 characters"))
        self.assertEqual(srv.value("SELECT COUNT(*) FROM users WHERE username = 'pc'"), "0")
        user = srv.call("SvcCpp", "GetUser", {"id": ids[0]})[1]["user"]
        self.assertEqual((user["id"], user["username"], user["is_admin"], user["is_active"], user["guid"]),
                         (ids[0], "pa", False, True, guids[0][0]))
        self.assertIn("flags", user)
        self.assertEqual(srv.call("SvcCpp", "Auth", {"username": "pa", "password": "secret6"})[1]["user"],
                         {"id": ids[0], "username": "pa", "security_level": 10, "is_admin": False})
        self.assertEqual(srv.call("SvcCpp", "Auth", {"username": "pa", "password": "wrong!"})[1], {"user": None})
        self.assertEqual(srv.admin_call("/blacklist", {"ip_address": "10.9.8.7", "reason": "test"})[0], 201)
        self.assertEqual(srv.call("SvcCpp", "Banned", {"ip": "10.9.8.7"})[1], {"banned": True})
        self.assertEqual(srv.call("SvcCpp", "Banned", {"ip": "10.9.8.6"})[1], {"banned": False})

    def test_hub_pushes(self):
        srv = self.srv
        node = srv.node("node-p", "uuid-p")
        admin = srv.admin()
        try:
            self.assertEqual(srv.call("SvcCpp", "Clients", {"protocol": NODE_PROTOCOL})[1]["clients"],
                             [{"id": node.client_id, "client_name": "node-p", "active_nodes": 0, "max_nodes": 4}])
            srv.call("SvcCpp", "Push", {"protocol": NODE_PROTOCOL, "command": {"type": "demo.cmd", "n": 1}})
            self.assertEqual(node.recv_json("demo.cmd"), {"type": "demo.cmd", "n": 1})
            srv.call("SvcCpp", "Push", {"protocol": "_all", "command": {"type": "demo.all"}})
            self.assertEqual(node.recv_json("demo.all"), {"type": "demo.all"})
            self.assertEqual(admin.recv_json("demo.all"), {"type": "demo.all"})
            self.assertTrue(srv.wait_for_log("[ws-host] Broadcasting demo.all message"))
        finally:
            node.close()
            admin.close()

    def test_batches(self):
        srv = self.srv
        rows, inside = (srv.call("SvcCpp", "Counts")[1][k] for k in ("rows", "inside"))
        # Events and sessions work inside a batch; a rolled-back batch leaves nothing.
        self.assertEqual(srv.call("SvcCpp", "Batch", {"name": "gone", "rollback": 1}), (200, {"sessions": 0}))
        self.assertEqual(srv.call("SvcCpp", "Counts")[1], {"rows": rows, "inside": inside + 1})
        self.assertEqual(srv.call("SvcCpp", "Batch", {"name": "kept"}), (200, {"sessions": 0}))
        self.assertEqual(srv.call("SvcCpp", "Counts")[1], {"rows": rows + 1, "inside": inside + 2})
        # A batch the plug-in leaves open is rolled back: the next writer is not stopped.
        self.assertEqual(srv.call("SvcCpp", "BatchOpen", {"name": "open"}), (200, {}))
        self.assertTrue(srv.wait_for_log("[plugin:SvcCpp] Database batch left open by the plug-in; rolled back"))
        self.assertEqual(srv.call("SvcCpp", "Counts")[1]["rows"], rows + 1)
        self.assertEqual(srv.admin_call("/plugins/config/SvcCpp", {"after": "batch"}, method="PUT")[0], 200)

    def test_node_plugin_calls(self):
        srv = self.srv
        node = srv.node("node-c", "uuid-c")
        try:
            for fid, plugin, function, result in (
                    ("1", "SvcCpp", "Echo", {"x": 1}),
                    ("2", "SvcCpp", "Nope", {"success": False, "error": "No result"}),
                    ("3", "SvcCpp", "Throw", {"success": False, "error": "service failed"}),
                    ("4", "_system", "GetLanguage", {"success": True, "language": "en"})):
                node.send_json({"type": "plugin_call", "id": fid, "plugin": plugin, "function": function,
                                "args": {"x": 1}})
                self.assertEqual(node.recv_json("plugin_call_result"), {"type": "plugin_call_result", "id": fid,
                                                                        "result": result})
        finally:
            node.close()

    # ---- stored configuration and the busy guard ----

    def test_configuration(self):
        srv = self.srv
        path = "/plugins/config/RouteC"
        self.assertEqual(srv.admin_call(path, {"color": "red"}, method="PUT"), (200, {"success": True, "data": {}}))
        self.assertEqual(srv.admin_call(path, {"size": 3, "color": "blue"}, method="PUT")[0], 200)
        self.assertEqual(srv.admin_call(path, method="GET"), (200, {"success": True, "data": {"size": 3, "color": "blue"}}))
        stored = json.loads(srv.value("SELECT config_json FROM plugin_state WHERE plugin_name = 'RouteC'"))
        self.assertEqual(list(stored), ["_granted_permissions", "size", "color"])
        for body, message in (({"_x": 1}, 'Keys starting with "_" are reserved'),
                              ({"ok": 1, "": 1}, 'Keys starting with "_" are reserved'),
                              ("[1]", "Invalid JSON body")):
            status, answer = srv.admin_call(path, body, method="PUT")
            self.assertEqual((status, error_message(answer)), (400, message))
        self.assertEqual(json.loads(srv.value("SELECT config_json FROM plugin_state WHERE plugin_name = 'RouteC'")),
                         stored)
        # A stored text that is not an object reads as {} and is replaced by an object.
        srv.sql("INSERT INTO plugin_state (plugin_name, plugin_version, is_enabled, config_json) "
                "VALUES ('Ghost', '1', 0, '[1, 2]')")
        self.assertEqual(srv.admin_call("/plugins/config/Ghost", method="GET")[1]["data"], {})
        srv.admin_call("/plugins/config/Ghost", {"a": 1}, method="PUT")
        self.assertEqual(srv.value("SELECT config_json FROM plugin_state WHERE plugin_name = 'Ghost'"), '{ "a" : 1 }')
        for method, p, status, message in (("GET", "/plugins/config/Nope", 404, "Plugin not found"),
                                           ("PUT", "/plugins/config/Nope", 404, "Plugin not found"),
                                           ("GET", "/plugins/config//", 400, "Plugin name required")):
            answer = srv.admin_call(p, {"a": 1} if method == "PUT" else None, method=method)
            self.assertEqual((answer[0], error_message(answer[1])), (status, message), p)
        self.assertEqual(srv.json("GET", API + path, token=self.joe)[0], 403)

    def test_busy_guard_and_service_failures(self):
        srv = self.srv
        slow = threading.Thread(target=srv.call, args=("SvcCpp", "Sleep", {"ms": 1500}))
        slow.start()
        try:
            busy = ("Cannot modify plugin 'SvcCpp' - 1 active call(s) in progress. Wait for operations to "
                    "complete.")
            self.assertTrue(srv.wait_for_log("[plugin:SvcCpp] sleeping 1500"))
            for action in ("disable", "restart", "reload"):
                status, body = srv.admin_call("/plugins/" + action, {"name": "SvcCpp"})
                self.assertEqual((status, error_message(body)), (409, busy), action)
            self.assertTrue(srv.wait_for_log("[OrvantaBBS Warning] Reload blocked for SvcCpp: " + busy))
        finally:
            slow.join()
        for body, expected in (({"args": {}}, (400, "Function name required")),
                               ("{", (400, "Invalid JSON body")),
                               ({"function": "Nope"}, (404, "Plugin or function not found")),
                               ({"function": "Throw"}, (500, "Plugin call failed: service failed"))):
            status, answer = srv.json("POST", API + "/plugins/service/SvcCpp", body, token=self.joe)
            self.assertEqual((status, error_message(answer)), expected, body)
        self.assertTrue(srv.wait_for_log("Plugin service call returned nil: SvcCpp.Nope"))
        self.assertTrue(srv.wait_for_log("Plugin service call SvcCpp.Throw failed: service failed"))
        self.assertEqual(srv.json("POST", API + "/plugins/service/SvcCpp", {"function": "Code"})[0], 401)


class PluginAdministration(unittest.TestCase):
    """Lists, enable, disable, restart, reload and scan on a server of its own (reloads replace
    libraries)."""

    def test_endpoints(self):
        with PluginHub(["svc_cpp", "init_false", "route_c"]) as srv:
            srv.launch(enable=("RouteC",))
            joe_token = srv.add_user("joe")[1]
            status, body = srv.admin_call("/plugins", method="GET")
            self.assertEqual(status, 200)
            listed = {p["name"]: p for p in body["data"]}
            self.assertEqual(set(listed), {"SvcCpp", "InitFalse", "RouteC"})
            self.assertEqual((listed["RouteC"]["is_enabled"], listed["SvcCpp"]["is_enabled"]), (True, False))
            status, body = srv.admin_call("/plugins/db", method="GET")
            self.assertEqual([p["plugin_name"] for p in body["data"]], ["InitFalse", "RouteC", "SvcCpp"])
            self.assertEqual(sorted(body["data"][1]), ["id", "installed_at", "is_enabled", "plugin_name",
                                                       "plugin_version", "schema_version", "updated_at"])
            self.assertEqual((body["data"][1]["is_enabled"], body["data"][2]["schema_version"]), (True, 1))
            for path in ("/plugins", "/plugins/db"):
                self.assertEqual(srv.json("GET", API + path, token=joe_token)[0], 403)

            for action in ("enable", "disable", "restart", "reload"):
                for body, expected in (("{", (400, "Invalid JSON body")), ({}, (400, "Plugin name required")),
                                       ({"name": "Nope"}, (404, "Plugin not found"))):
                    status, answer = srv.admin_call("/plugins/" + action, body)
                    self.assertEqual((status, error_message(answer)), expected, (action, body))
                self.assertEqual(srv.json("POST", API + "/plugins/" + action, {"name": "SvcCpp"},
                                          token=joe_token)[0], 403)
            status, answer = srv.admin_call("/plugins/enable", {"name": "InitFalse"})
            self.assertEqual((status, error_message(answer)), (409, "Plugin not initialized: InitFalse"))
            for action, done in (("enable", "enabled"), ("restart", "restarted"), ("disable", "disabled"),
                                 ("enable", "enabled")):
                self.assertEqual(srv.admin_call("/plugins/" + action, {"name": "svccpp"}), (200, {"success": True,
                                                                                                   "data": {}}))
                self.assertTrue(srv.wait_for_log("Plugin svccpp %s by sysop" % done), done)
            self.assertEqual(srv.call("SvcCpp", "Code")[1], {"code": 1})

            # A reload runs the new library's code, also when the file was replaced in place.
            srv.install_plugin("svc_cpp2", "svc_cpp")
            self.assertEqual(srv.admin_call("/plugins/reload", {"name": "SvcCpp"})[0], 200)
            self.assertEqual(srv.call("SvcCpp", "Code")[1], {"code": 2})
            self.assertTrue(srv.wait_for_log("Plugin SvcCpp reloaded by sysop"))
            # A broken library: the old plug-in is gone and the reason is given.
            with open(os.path.join(srv.plugin_dir, "svc_cpp.so"), "w") as f:
                f.write("not a library")
            status, answer = srv.admin_call("/plugins/reload", {"name": "SvcCpp"})
            self.assertEqual(status, 500)
            self.assertTrue(error_message(answer).startswith(
                "Reload failed: Failed to load plugin library: %s/svc_cpp.so (" % srv.plugin_dir), answer)
            self.assertEqual(srv.call("SvcCpp", "Code")[0], 404)

            # The scan picks up what is new.
            self.assertEqual(srv.admin_call("/plugins/scan"), (200, {"success": True, "data": {
                "new_plugins": 0, "total_plugins": 2}}))
            srv.install_plugin("svc_cpp")
            srv.install_plugin("widget_a")
            self.assertEqual(srv.admin_call("/plugins/scan")[1]["data"], {"new_plugins": 2, "total_plugins": 4})
            self.assertTrue(srv.wait_for_log("Plugin scan triggered by sysop: 2 new plugin(s) found"))
            self.assertEqual(srv.admin_call("/plugins/enable", {"name": "SvcCpp"})[0], 200)
            self.assertEqual(srv.call("SvcCpp", "Code")[1], {"code": 1})
            self.assertEqual(srv.stop(), 0)


class RouteRefusals(unittest.TestCase):
    def test_plugin_named_like_a_server_route(self):
        """A plug-in named "config" would answer the administrator's GET /api/v1/plugins/config/:name
        through every route it registers: each is refused, and the plug-in is enabled without them."""
        with PluginHub(["route_config"]) as srv:
            srv.launch(enable=("config",))
            for route in ('GET stats (the path must begin with "/")',
                          "GET /echo (/api/v1/plugins/config/echo would take a route of the server)",
                          "PATCH /any (/api/v1/plugins/config/any would take a route of the server)",
                          "GET /none (/api/v1/plugins/config/none would take a route of the server)"):
                self.assertTrue(srv.wait_for_log("[plugin:config] Route refused: " + route), route)
            self.assertNotIn("[plugin:config] Route registered", srv.log_text())
            status, body = srv.admin_call("/plugins/config/echo", method="GET")
            self.assertEqual((status, error_message(body)), (404, "Plugin not found"))
            self.assertEqual(srv.admin_call("/plugins/config/config", method="GET")[0], 200)
            self.assertEqual(srv.json("GET", API + "/admin/menu", token=srv.admin_token)[1]["data"][0]["owner"],
                             "config")
            self.assertEqual(srv.stop(), 0)


class WithoutPluginManager(unittest.TestCase):
    def test_answers(self):
        with PluginHub(["svc_cpp"], config={"plugins": {"enabled": "0"}}) as srv:
            srv.launch()
            self.assertIn("Plugins: disabled", srv.stdout)
            for method, path, body, expected in (
                    ("GET", "/plugins", None, (200, [])),
                    ("GET", "/plugins/db", None, (200, [])),
                    ("GET", "/admin/menu", None, (200, [])),
                    ("POST", "/plugins/enable", {"name": "SvcCpp"}, (404, "Plugin not found")),
                    ("POST", "/plugins/disable", {"name": "SvcCpp"}, (404, "Plugin not found")),
                    ("POST", "/plugins/restart", {"name": "SvcCpp"}, (404, "Plugin not found")),
                    ("POST", "/plugins/reload", {"name": "SvcCpp"}, (404, "Plugin not found")),
                    ("POST", "/plugins/scan", None, (500, "Plugin manager not available")),
                    ("POST", "/plugins/service/SvcCpp", {"function": "Code"}, (503, "Plugin manager not available")),
                    ("GET", "/plugins/config/SvcCpp", None, (404, "Plugin not found"))):
                status, answer = srv.admin_call(path, body, method=method)
                got = answer["data"] if status == 200 else error_message(answer)
                self.assertEqual((status, got), expected, path)
            node = srv.node()
            node.send_json({"type": "plugin_call", "id": "n", "plugin": "SvcCpp", "function": "Code"})
            self.assertEqual(node.recv_json("plugin_call_result")["result"], {"success": False, "error": "No result"})
            node.close()
            self.assertEqual(srv.stop(), 0)


if __name__ == "__main__":
    unittest.main()
