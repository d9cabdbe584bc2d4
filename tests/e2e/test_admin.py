"""Users, stored configuration, API keys and access control through the REST API, on every backend."""
import re
import unittest

from ovfixture import error_message
from test_security import Server, per_backend

GUID_RE = re.compile(r"^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$")
USER_ITEM = ["id", "guid", "username", "email", "real_name", "location", "gender", "security_level", "is_admin",
             "is_active", "is_locked", "last_login", "total_calls", "total_posts", "created_at"]
USER_DETAIL = ["id", "guid", "username", "email", "real_name", "location", "gender", "security_level", "is_admin",
               "is_active", "is_locked", "failed_logins", "last_login", "total_calls", "total_posts", "total_uploads",
               "total_downloads", "created_at", "updated_at"]


class AdminBase:
    DB = "sqlite3"

    @classmethod
    def setUpClass(cls):
        cls.srv = Server(db=cls.DB).start()
        cls.token = cls.srv.setup_admin()
        cls.admin_id = int(cls.srv.value("SELECT id FROM users WHERE username = 'sysop'"))
        cls.admin_guid = cls.srv.value("SELECT guid FROM users WHERE username = 'sysop'")

    @classmethod
    def tearDownClass(cls):
        cls.srv.stop()
        cls.srv.cleanup()

    def call(self, method, path, body=None, token=None, **kw):
        return self.srv.json(method, "/api/v1" + path, body, token=token or self.token, **kw)

    def expect_error(self, answer, status, message):
        self.assertEqual((answer[0], error_message(answer[1])), (status, message))

    def create_user(self, name, password="pw-1234", **extra):
        status, body = self.call("POST", "/users", dict(username=name, password=password, **extra))
        self.assertEqual(status, 201, body)
        return body["data"]

    def audit_rows(self, action):
        rows = self.srv.sql("SELECT user_id, username, target, details, ip_address FROM audit_log "
                            "WHERE action = '%s' ORDER BY id" % action)
        return [["null" if r[0] is None else r[0]] + r[1:] for r in rows]


# ---- users --------------------------------------------------------------------------------------

@per_backend
class Users(AdminBase):
    def test_paging(self):
        for i in range(3):
            self.create_user("pager%d" % i)
        for query, per_page, page in (("per_page=0", 25, 1), ("per_page=1000", 100, 1), ("page=0&per_page=1", 1, 1),
                                      ("page=2&per_page=2", 2, 2), ("page=x&per_page=y", 25, 1)):
            status, body = self.call("GET", "/users?" + query)
            self.assertEqual(status, 200)
            pag = body["data"]["pagination"]
            self.assertEqual((pag["per_page"], pag["page"]), (per_page, page), query)
            self.assertEqual(len(body["data"]["items"]), min(per_page, max(0, pag["total"] - (page - 1) * per_page)))
        items = self.call("GET", "/users?per_page=100")[1]["data"]["items"]
        self.assertEqual(list(items[0].keys()), USER_ITEM)
        self.assertEqual([u["id"] for u in items], sorted(u["id"] for u in items))
        self.assertEqual(self.call("GET", "/users", token="nope")[0], 401)

    def test_create_and_get(self):
        for body, message in (({"username": "x"}, "Username and password required"),
                              ({"password": "abcd"}, "Username and password required"),
                              ({"username": "x", "password": "abc"}, "Password must be at least 4 characters"),
                              ({"username": "x", "password": "abcd", "is_admin": 1}, "Invalid JSON body"),
                              ({"username": "x", "password": "abcd", "security_level": 2 ** 40}, "Invalid JSON body")):
            self.expect_error(self.call("POST", "/users", body), 400, message)
        self.expect_error(self.srv.json("POST", "/api/v1/users", [1], token=self.token), 400, "Invalid JSON body")
        data = self.create_user("carol", email="c@example.org", real_name="Carol", location="Here", gender="f")
        self.assertEqual(list(data.keys()), ["id", "guid", "username"])
        self.assertRegex(data["guid"], GUID_RE)
        self.expect_error(self.call("POST", "/users", {"username": "carol", "password": "abcd"}), 409,
                          "Username already exists")
        self.assertTrue(self.srv.wait_for_log("User carol [..%s] created by sysop" % data["guid"].replace("-", "")[-12:]))

        status, body = self.call("GET", "/users/%s" % data["guid"].upper())
        self.assertEqual(status, 200)
        user = body["data"]
        self.assertEqual(list(user.keys()), USER_DETAIL)
        self.assertEqual((user["id"], user["email"], user["security_level"], user["is_admin"], user["is_active"],
                          user["is_locked"], user["last_login"]), (data["id"], "c@example.org", 10, False, True, False, ""))
        self.expect_error(self.call("GET", "/users/abc"), 400, "Invalid user ID")
        self.expect_error(self.call("GET", "/users/999999"), 404, "User not found")
        self.expect_error(self.call("GET", "/users/%d/" % data["id"]), 400, "Invalid user ID")

    def test_update_and_delete(self):
        u = self.create_user("dora")
        uid = u["id"]
        self.srv.sql("UPDATE users SET is_locked = 1, failed_logins = 3 WHERE id = %d" % uid)
        self.assertEqual(self.call("PUT", "/users/%d" % uid, {"is_locked": False}), (200, {"success": True, "data": {}}))
        user = self.call("GET", "/users/%d" % uid)[1]["data"]
        self.assertEqual((user["is_locked"], user["failed_logins"]), (False, 0))

        self.assertEqual(self.call("PUT", "/users/%d" % uid, {})[0], 200)
        self.assertEqual(self.call("GET", "/users/%d" % uid)[1]["data"]["updated_at"], user["updated_at"])
        self.assertEqual(self.call("PUT", "/users/%s" % u["guid"], {"email": "d@x", "security_level": 20,
                                                                     "password": "new-pw"})[0], 200)
        self.assertEqual(self.srv.login("dora", "new-pw")[0], 200)
        # A mistyped member refuses the whole body; nothing of it is kept.
        self.expect_error(self.call("PUT", "/users/%d" % uid, {"real_name": "Dora", "email": 5}), 400,
                          "Invalid JSON body")
        user = self.call("GET", "/users/%d" % uid)[1]["data"]
        self.assertEqual((user["email"], user["real_name"], user["security_level"]), ("d@x", "", 20))
        self.expect_error(self.call("PUT", "/users/abc", {}), 400, "Invalid user ID")
        self.expect_error(self.srv.json("PUT", "/api/v1/users/%d" % uid, "x", token=self.token), 400,
                          "Invalid JSON body")
        self.assertEqual(self.call("PUT", "/users/999999", {"email": "z"})[0], 200)  # no row: nothing changes
        self.assertTrue(self.srv.wait_for_log("User #%d [..%s] updated by sysop" % (uid, u["guid"].replace("-", "")[-12:])))

        self.assertEqual(self.call("DELETE", "/users/%d" % uid), (200, {"success": True, "data": {}}))
        self.expect_error(self.call("GET", "/users/%d" % uid), 404, "User not found")
        self.assertTrue(self.srv.wait_for_log("User #%d [..%s] deleted by sysop" % (uid, u["guid"].replace("-", "")[-12:])))

    def test_encoded_question_mark_is_part_of_the_id(self):
        # "%3F" is decoded into the path; the id "<n>?x" is invalid and must not act on user <n>.
        u = self.create_user("quentin")
        for method in ("GET", "PUT", "DELETE"):
            self.expect_error(self.call(method, "/users/%d%%3Fx" % u["id"], {} if method == "PUT" else None), 400,
                              "Invalid user ID")
        self.assertEqual(self.call("GET", "/users/%d" % u["id"])[0], 200)

    def test_self_and_last_administrator(self):
        for ref in (str(self.admin_id), self.admin_guid.upper()):
            self.expect_error(self.call("DELETE", "/users/" + ref), 400, "Cannot delete your own account")
        for change in ({"is_admin": False}, {"is_active": False}, {"is_locked": True}):
            body = dict(change, email="changed@x")
            self.expect_error(self.call("PUT", "/users/%d" % self.admin_id, body), 400,
                              "Cannot remove the last administrator")
        self.assertEqual(self.call("GET", "/users/%d" % self.admin_id)[1]["data"]["email"], "")

        boss = self.create_user("boss", is_admin=True)
        # With a second usable administrator the first may step down...
        self.assertEqual(self.call("PUT", "/users/%d" % self.admin_id, {"is_active": False})[0], 200)
        # ...and then the second is the last one: neither deleted nor demoted.
        self.expect_error(self.call("DELETE", "/users/%d" % boss["id"]), 400, "Cannot remove the last administrator")
        self.expect_error(self.call("PUT", "/users/%d" % boss["id"], {"is_admin": False}), 400,
                          "Cannot remove the last administrator")
        self.assertEqual(self.call("PUT", "/users/%d" % self.admin_id, {"is_active": True})[0], 200)
        self.assertEqual(self.call("DELETE", "/users/%d" % boss["id"])[0], 200)
        self.assertEqual(self.srv.json("GET", "/api/v1/setup/status")[1]["data"]["setup_complete"], True)


# ---- configuration and API keys -----------------------------------------------------------------

@per_backend
class ConfigAndKeys(AdminBase):
    def config(self):
        return {i["key"]: i for i in self.call("GET", "/config")[1]["data"]}

    def test_config(self):
        items = self.call("GET", "/config")[1]["data"]
        self.assertEqual(list(items[0].keys())[:6], ["id", "key", "value", "value_type", "category", "description"])
        self.assertEqual([i["key"] for i in items if i.get("readonly")], ["system_guid"])
        self.assertEqual([(i["category"], i["key"]) for i in items], sorted((i["category"], i["key"]) for i in items))
        guid = self.config()["system_guid"]["value"]

        settings = {"bbs_name": "New BBS", "max_users_online": 42, "bbs_location": True, "sysop_name": 1.5,
                    "system_guid": "x", "SYSTEM_GUID": "y", "no_such_key": "v"}
        self.assertEqual(self.call("PUT", "/config", {"settings": settings}), (200, {"success": True, "data": {}}))
        cfg = self.config()
        self.assertEqual([cfg[k]["value"] for k in ("bbs_name", "max_users_online", "bbs_location", "sysop_name")],
                         ["New BBS", "42", "True", "1.5"])
        self.assertEqual(cfg["system_guid"]["value"], guid)
        self.assertNotIn("no_such_key", cfg)
        self.assertTrue(self.srv.wait_for_log("Config updated by sysop"))

        self.expect_error(self.call("PUT", "/config", {}), 400, 'Missing "settings" object')
        for bad in ("x", [1], None, {"bbs_name": "Lost", "sysop_name": None}, {"bbs_name": "Lost", "x": [1]},
                    {"bbs_name": "Lost", "x": {}}):
            self.expect_error(self.call("PUT", "/config", {"settings": bad}), 400, "Invalid JSON body")
        self.assertEqual(self.config()["bbs_name"]["value"], "New BBS")

    def test_api_keys(self):
        status, body = self.call("POST", "/apikeys", {"description": "node 1"})
        self.assertEqual(status, 201)
        key, key_id = body["data"]["api_key"], body["data"]["id"]
        self.assertEqual(list(body["data"].keys()), ["api_key", "id"])
        self.assertEqual(self.srv.request("GET", "/api/v1/status", api_key=key)[0], 200)
        self.assertTrue(self.srv.wait_for_log("API key created by sysop: %s..." % key[:10]))

        items = {i["id"]: i for i in self.call("GET", "/apikeys")[1]["data"]}
        item = items[key_id]
        self.assertEqual(list(item.keys()), ["id", "guid", "key_prefix", "description", "username", "is_active",
                                             "last_used", "expires_at", "created_at"])
        self.assertEqual((item["key_prefix"], item["description"], item["username"], item["is_active"]),
                         (key[:10] + "...", "node 1", "sysop", True))
        self.assertNotEqual(item["last_used"], "")

        self.expect_error(self.call("POST", "/apikeys", {"user_id": 999999}), 400, "Invalid user ID")
        self.expect_error(self.call("POST", "/apikeys", {"user_id": "1"}), 400, "Invalid JSON body")
        status, body = self.call("POST", "/apikeys", {"user_id": 0, "description": "ownerless"})
        self.assertEqual(status, 201)
        self.assertEqual(self.srv.request("GET", "/api/v1/status", api_key=body["data"]["api_key"])[0], 200)

        self.expect_error(self.call("DELETE", "/apikeys/abc"), 400, "Invalid API key ID")
        self.assertEqual(self.call("DELETE", "/apikeys/%s" % item["guid"]), (200, {"success": True, "data": {}}))
        self.assertEqual(self.srv.request("GET", "/api/v1/status", api_key=key)[0], 401)
        self.assertTrue(self.srv.wait_for_log("API key #%d [..%s] revoked by sysop"
                                              % (key_id, item["guid"].replace("-", "")[-12:])))


    def test_api_key_of_a_deleted_account(self):
        owner = self.create_user("keyowner")
        key = self.call("POST", "/apikeys", {"user_id": owner["id"], "description": "owned"})[1]["data"]["api_key"]
        self.assertEqual(self.srv.request("GET", "/api/v1/status", api_key=key)[0], 200)
        self.assertEqual(self.call("DELETE", "/users/%d" % owner["id"])[0], 200)
        # The key does not live on as an owner-less key.
        self.assertEqual(self.srv.request("GET", "/api/v1/status", api_key=key)[0], 401)
        self.assertEqual(self.srv.request("POST", "/api/v1/auth/refresh", api_key=key)[0], 401)
        item = [i for i in self.call("GET", "/apikeys")[1]["data"] if i["key_prefix"] == key[:10] + "..."][0]
        self.assertEqual((item["username"], item["is_active"]), ("", False))
        # An id no row has, however large, deletes nothing and still answers 200.
        self.assertEqual(self.call("DELETE", "/users/9223372036854775807")[0], 200)


# ---- access control -----------------------------------------------------------------------------

@per_backend
class AccessControl(AdminBase):
    def group_id(self, name):
        return next(g["id"] for g in self.call("GET", "/acl/groups")[1]["data"] if g["name"] == name)

    def test_groups(self):
        groups = self.call("GET", "/acl/groups")[1]["data"]
        system = [g for g in groups if g["is_system"]]
        self.assertEqual(sorted(g["name"] for g in system), ["Co-Sysop", "Guest", "Sysop", "User"])
        self.assertEqual(list(groups[0].keys()), ["id", "guid", "name", "description", "is_system", "flag_count",
                                                  "member_count", "created_at"])
        self.assertEqual({g["name"]: g["flag_count"] for g in system}, {"Sysop": 19, "Co-Sysop": 16, "User": 6,
                                                                         "Guest": 1})

        status, body = self.call("POST", "/acl/groups", {"name": "Testers", "description": "d",
                                                         "flags": ["MSG_READ", "MSG_READ", "DOOR_ACCESS"]})
        self.assertEqual(status, 201)
        self.assertEqual(list(body["data"].keys()), ["id", "name"])
        gid = body["data"]["id"]
        detail = self.call("GET", "/acl/groups/%d" % gid)[1]["data"]
        self.assertEqual(list(detail.keys()), ["id", "guid", "name", "description", "is_system", "created_at",
                                               "flags", "members"])
        self.assertEqual((detail["flags"], detail["members"], detail["is_system"]),
                         (["DOOR_ACCESS", "MSG_READ"], [], False))
        self.assertEqual(self.audit_rows("acl.group.create")[-1],
                         [str(self.admin_id), "sysop", "Testers", 'Created ACL group "Testers" (id=%d)' % gid, "127.0.0.1"])

        status, body = self.call("POST", "/acl/groups", {"name": "Strings", "flags": "MSG_READ"})
        self.assertEqual(self.call("GET", "/acl/groups/%d" % body["data"]["id"])[1]["data"]["flags"], [])
        self.expect_error(self.call("POST", "/acl/groups", {"name": "Testers"}), 409, "Group name already exists")
        self.expect_error(self.call("POST", "/acl/groups", {"description": "x"}), 400, "Group name is required")
        self.expect_error(self.call("POST", "/acl/groups", {"name": "N", "flags": [1]}), 400, "Invalid JSON body")

        self.assertEqual(self.call("PUT", "/acl/groups/%s" % detail["guid"], {"name": "Testers2"}),
                         (200, {"success": True, "data": {"message": "Group updated"}}))
        self.assertEqual(self.call("PUT", "/acl/groups/%d" % gid, {"flags": []})[0], 200)
        detail = self.call("GET", "/acl/groups/%d" % gid)[1]["data"]
        self.assertEqual((detail["name"], detail["description"], detail["flags"]), ("Testers2", "", []))
        # A clash on the name keeps the flags of the same request out as well.
        self.expect_error(self.call("PUT", "/acl/groups/%d" % gid, {"name": "Guest", "flags": ["MSG_POST"]}), 409,
                          "Group name already exists")
        self.assertEqual(self.call("GET", "/acl/groups/%d" % gid)[1]["data"]["flags"], [])
        self.assertEqual(self.audit_rows("acl.group.update")[-1][2:4], [str(gid), 'Updated ACL group id=%d name=""' % gid])

        for ref, status, message in (("abc", 400, "Invalid group ID"), ("999999", 404, "Group not found")):
            self.expect_error(self.call("GET", "/acl/groups/" + ref), status, message)
            self.expect_error(self.call("PUT", "/acl/groups/" + ref, {}), status, message)
            self.expect_error(self.call("DELETE", "/acl/groups/" + ref), status, message)
        self.expect_error(self.call("DELETE", "/acl/groups/%d" % self.group_id("Sysop")), 403,
                          "Cannot delete system groups")
        self.assertEqual(self.call("DELETE", "/acl/groups/%d" % gid),
                         (200, {"success": True, "data": {"message": "Group deleted"}}))
        self.expect_error(self.call("GET", "/acl/groups/%d" % gid), 404, "Group not found")
        self.assertEqual(self.audit_rows("acl.group.delete")[-1][2:4], [str(gid), "Deleted ACL group id=%d" % gid])

    def test_flags_only_update_keeps_name_and_description(self):
        status, body = self.call("POST", "/acl/groups", {"name": "Keepers", "description": "kept",
                                                         "flags": ["MSG_READ", "MSG_POST"]})
        self.assertEqual(status, 201, body)
        gid = body["data"]["id"]
        self.assertEqual(self.call("PUT", "/acl/groups/%d" % gid, {"flags": []})[0], 200)
        detail = self.call("GET", "/acl/groups/%d" % gid)[1]["data"]
        self.assertEqual((detail["name"], detail["description"], detail["flags"]), ("Keepers", "kept", []))
        # A description without a name changes nothing either.
        self.assertEqual(self.call("PUT", "/acl/groups/%d" % gid, {"description": "other"})[0], 200)
        self.assertEqual(self.call("GET", "/acl/groups/%d" % gid)[1]["data"]["description"], "kept")

    def test_flags(self):
        flags = self.call("GET", "/acl/flags")[1]["data"]
        self.assertEqual(len([f for f in flags if f["registered_by"] == "system"]), 19)
        self.assertEqual(list(flags[0].keys()), ["id", "flag_name", "description", "category", "registered_by"])
        self.assertEqual(self.call("POST", "/acl/flags", {"flag_name": "door_extra", "description": "x"}),
                         (201, {"success": True, "data": {"flag_name": "DOOR_EXTRA", "message": "Flag registered"}}))
        flag = next(f for f in self.call("GET", "/acl/flags")[1]["data"] if f["flag_name"] == "DOOR_EXTRA")
        self.assertEqual((flag["category"], flag["registered_by"]), ("custom", "sysop"))
        self.assertEqual(self.audit_rows("acl.flag.create")[-1][2:4],
                         ["DOOR_EXTRA", 'Created ACL flag "DOOR_EXTRA" (category=custom)'])
        self.expect_error(self.call("POST", "/acl/flags", {"flag_name": "door-extra"}), 400,
                          "Flag name must be SCREAMING_SNAKE_CASE (A-Z, 0-9, underscore only)")
        self.expect_error(self.call("POST", "/acl/flags", {"flag_name": ""}), 400, "flag_name is required")
        self.expect_error(self.call("POST", "/acl/flags", {"flag_name": "DOOR_EXTRA"}), 409, "Flag already exists")

        self.expect_error(self.call("DELETE", "/acl/flags/door_extra"), 404, "Flag not found")  # as typed
        self.expect_error(self.call("DELETE", "/acl/flags/MSG_READ"), 403, "Cannot delete system flags")
        self.assertEqual(self.call("DELETE", "/acl/flags/DOOR_EXTRA"),
                         (200, {"success": True, "data": {"message": "Flag deleted"}}))
        self.expect_error(self.call("DELETE", "/acl/flags/DOOR_EXTRA"), 404, "Flag not found")
        self.assertEqual(self.audit_rows("acl.flag.delete")[-1][2:4], ["DOOR_EXTRA", 'Deleted ACL flag "DOOR_EXTRA"'])

    def test_user_flags_and_groups(self):
        u = self.create_user("flaggy")
        uid, user_group = u["id"], self.group_id("User")
        status, body = self.call("PUT", "/users/%d/flags" % uid, {"flags": ["CUSTOM_B", "CUSTOM_A", "CUSTOM_A"]})
        self.assertEqual((status, body["data"]), (200, {"message": "User flags updated",
                                                         "resolved_flags": "CUSTOM_A,CUSTOM_B"}))
        status, body = self.call("PUT", "/users/%s/groups" % u["guid"], {"groups": [user_group]})
        self.assertEqual(body["data"]["message"], "User groups updated")
        expected = ",".join(sorted(["CUSTOM_A", "CUSTOM_B", "MSG_READ", "MSG_POST", "FILE_DOWNLOAD", "DOOR_ACCESS",
                                    "GAME_DRAKE", "GAME_STARHAUL"]))
        self.assertEqual(body["data"]["resolved_flags"], expected)
        acl = self.call("GET", "/users/%d/acl" % uid)[1]["data"]
        self.assertEqual(list(acl.keys()), ["direct_flags", "groups", "resolved_flags"])
        self.assertEqual(acl["direct_flags"], ["CUSTOM_A", "CUSTOM_B"])
        self.assertEqual([(g["id"], g["name"], g["is_system"]) for g in acl["groups"]], [(user_group, "User", True)])
        self.assertEqual(list(acl["groups"][0].keys()), ["id", "name", "description", "is_system"])
        self.assertEqual(acl["resolved_flags"], expected)
        members = self.call("GET", "/acl/groups/%d" % user_group)[1]["data"]["members"]
        self.assertEqual([(m["user_id"], m["username"]) for m in members], [(uid, "flaggy")])

        # {} removes the direct flags; the group's remain.
        body = self.call("PUT", "/users/%d/flags" % uid, {})[1]
        self.assertNotIn("CUSTOM_A", body["data"]["resolved_flags"])
        self.assertIn("MSG_READ", body["data"]["resolved_flags"])
        self.assertEqual(self.audit_rows("acl.user.flags")[-1][2:4], [str(uid), "Updated direct flags for user id=%d" % uid])
        self.assertEqual(self.audit_rows("acl.user.groups")[-1][2:4],
                         [str(uid), "Updated group memberships for user id=%d" % uid])

        # Bad group lists change nothing.
        self.expect_error(self.call("PUT", "/users/%d/groups" % uid, {"groups": ["x"]}), 400, "Invalid JSON body")
        self.expect_error(self.call("PUT", "/users/%d/groups" % uid, {"groups": [999999]}), 404, "Group not found")
        self.assertEqual(len(self.call("GET", "/users/%d/acl" % uid)[1]["data"]["groups"]), 1)

        self.assertEqual(self.call("GET", "/users/999999/acl")[1]["data"],
                         {"direct_flags": [], "groups": [], "resolved_flags": ""})
        self.expect_error(self.call("GET", "/users/00000000-0000-4000-8000-000000000000/acl"), 400, "Invalid user ID")
        self.expect_error(self.call("PUT", "/users/999999/flags", {"flags": ["X"]}), 404, "User not found")

    def test_audit_row_of_a_deleted_caller(self):
        self.create_user("ghost", password="ghost-pw", is_admin=True)
        ghost_token = self.srv.login("ghost", "ghost-pw")[1]["data"]["token"]
        gid = int(self.srv.value("SELECT id FROM users WHERE username = 'ghost'"))
        self.assertEqual(self.call("DELETE", "/users/%d" % gid)[0], 200)
        # The token outlives the account; its audit row is kept with no user id.
        self.assertEqual(self.call("POST", "/acl/flags", {"flag_name": "GHOST_FLAG"}, token=ghost_token)[0], 201)
        self.assertEqual(self.audit_rows("acl.flag.create")[-1][:3], ["null", "ghost", "GHOST_FLAG"])


if __name__ == "__main__":
    unittest.main()
