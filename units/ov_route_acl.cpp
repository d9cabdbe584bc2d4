// Access-control endpoints: groups, flag definitions, a user's direct flags and groups.
#include "ov_route_acl.h"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "dbapi_dialect.h"
#include "ov_auth.h"
#include "ov_database.h"
#include "ov_format.h"
#include "ov_guid.h"
#include "ov_http_server.h"
#include "ov_http_types.h"

namespace ov {

namespace {

constexpr const char* kMsgInvalidGroupID = "Invalid group ID";
constexpr const char* kMsgGroupNotFound = "Group not found";
constexpr const char* kMsgInvalidUserID = "Invalid user ID";

TOVService<TOVDatabase>::Ref RequireDB() {
  auto db = DB.Get();
  if (!db) throw ServiceUnavailable("Database not available");
  return db;
}

bool Flag(const TOVQueryBase& q, std::string_view column) { return q.Int(column) == 1; }

// The "flags" member as a list of names: absent or not an array gives nullopt (the caller
// decides what that means); an array holding anything but strings is refused (ok = false).
struct FlagList {
  bool ok = true;
  std::optional<std::vector<std::string>> names;
};

FlagList ReadFlagList(const TJSON& body, const char* key) {
  FlagList out;
  auto it = body.find(key);
  if (it == body.end() || !it->is_array()) return out;
  std::vector<std::string> names;
  for (const TJSON& v : *it) {
    if (!v.is_string()) {
      out.ok = false;
      return out;
    }
    names.push_back(v.get<std::string>());
  }
  out.names = std::move(names);
  return out;
}

bool IsScreamingSnake(std::string_view name) {
  for (char ch : name)
    if (!((ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '_')) return false;
  return true;
}

bool UserExists(TOVQueryBase& q, std::int64_t id) {
  q.SetSQL("SELECT id FROM users WHERE id = :id");
  q.Param("id", id);
  q.Open();
  const bool found = !q.Eof();
  q.Close();
  return found;
}

void Audit(const TOVApiRequest& c, const std::string& action, const std::string& target, const std::string& details) {
  WriteAuditLog(c.user, action, target, details, GetClientIP(c.req));
}

TJSON Message(const char* text) {
  TJSON o = TJSON::object();
  o["message"] = text;
  return o;
}

}  // namespace

// ---- groups -------------------------------------------------------------------------------------

void HandleListAclGroups(TOVApiRequest& c) {
  TJSON items = TJSON::array();
  {
    auto db = RequireDB();
    TOVReadQuery q = db->NewReadQuery();
    q.SetSQL(
        "SELECT g.id, g.guid, g.name, g.description, g.is_system, g.created_at,   (SELECT COUNT(*) FROM "
        "acl_group_flags gf WHERE gf.group_id = g.id) AS flag_count,   (SELECT COUNT(*) FROM user_groups ug WHERE "
        "ug.group_id = g.id) AS member_count FROM acl_groups g ORDER BY g.name");
    q.Open();
    while (!q.Eof()) {
      TJSON o = TJSON::object();
      o["id"] = q.Int("id");
      o["guid"] = q.Str("guid");
      o["name"] = q.Str("name");
      o["description"] = q.Str("description");
      o["is_system"] = Flag(q, "is_system");
      o["flag_count"] = q.Int("flag_count");
      o["member_count"] = q.Int("member_count");
      o["created_at"] = q.Str("created_at");
      items.push_back(std::move(o));
      q.Next();
    }
  }
  SendSuccess(c.resp, std::move(items));
}

void HandleCreateAclGroup(TOVApiRequest& c) {
  std::optional<TJSON> body = ParseBodyOrFail(c);
  if (!body) return;
  const std::string name = JStr(*body, "name");
  const std::string description = JStr(*body, "description");
  FlagList flags = ReadFlagList(*body, "flags");
  if (!flags.ok) {
    SendError(c.resp, 400, kMsgInvalidJSONBody);
    return;
  }
  if (name.empty()) {
    SendError(c.resp, 400, "Group name is required");
    return;
  }
  const std::string guid = TOVGuid::Generate();
  std::int64_t id = 0;
  {
    auto db = RequireDB();
    // The group and its flags are kept together or not at all; the id comes from the insert
    // itself, so nothing written in between can change it.
    TOVWriteQuery q = db->NewQuery();
    try {
      q.SetSQL("INSERT INTO acl_groups (guid, name, description) VALUES (:guid, :n, :d)");
      q.Param("guid", guid);
      q.Param("n", name);
      q.Param("d", description);
      q.ExecSQL();
    } catch (const sql::SqlError& e) {
      if (!e.IsUniqueViolation()) throw;
      q.Free();
      SendError(c.resp, 409, "Group name already exists");
      return;
    }
    id = q.LastInsertId();
    if (id <= 0) {
      q.SetSQL("SELECT id FROM acl_groups WHERE guid = :guid");
      q.Param("guid", guid);
      q.Open();
      if (!q.Eof()) id = q.Int("id");
      q.Close();
    }
    if (flags.names && !flags.names->empty()) {
      q.SetSQL(db->Dialect()->InsertOrIgnoreStmt("acl_group_flags", {"group_id", "flag_name"}));
      for (const std::string& flag : *flags.names) {
        q.Param("p1", id);
        q.Param("p2", flag);
        q.ExecSQL();
      }
    }
    db->Commit();
  }
  Audit(c, "acl.group.create", name, Format("Created ACL group \"%s\" (id=%d)", name, id));
  TJSON reply = TJSON::object();
  reply["id"] = id;
  reply["name"] = name;
  SendSuccess(c.resp, std::move(reply), 201);
}

void HandleGetAclGroup(TOVApiRequest& c) {
  std::int64_t id = -1;
  std::string guid;
  if (!ResolvePathEntity(c.req, "acl_groups", id, guid, 0)) {
    SendError(c.resp, 400, kMsgInvalidGroupID);
    return;
  }
  TJSON group = TJSON::object();
  {
    auto db = RequireDB();
    TOVReadQuery q = db->NewReadQuery();
    q.SetSQL("SELECT id, guid, name, description, is_system, created_at FROM acl_groups WHERE id = :id");
    q.Param("id", id);
    q.Open();
    if (q.Eof()) {
      q.Free();
      SendError(c.resp, 404, kMsgGroupNotFound);
      return;
    }
    group["id"] = q.Int("id");
    group["guid"] = q.Str("guid");
    group["name"] = q.Str("name");
    group["description"] = q.Str("description");
    group["is_system"] = Flag(q, "is_system");
    group["created_at"] = q.Str("created_at");
    q.Close();

    TJSON flags = TJSON::array();
    q.SetSQL("SELECT flag_name FROM acl_group_flags WHERE group_id = :gid ORDER BY flag_name");
    q.Param("gid", id);
    q.Open();
    while (!q.Eof()) {
      flags.push_back(q.Str("flag_name"));
      q.Next();
    }
    q.Close();

    TJSON members = TJSON::array();
    q.SetSQL(
        "SELECT ug.user_id, u.username, ug.assigned_at FROM user_groups ug JOIN users u ON ug.user_id = u.id WHERE "
        "ug.group_id = :gid ORDER BY u.username");
    q.Param("gid", id);
    q.Open();
    while (!q.Eof()) {
      TJSON m = TJSON::object();
      m["user_id"] = q.Int("user_id");
      m["username"] = q.Str("username");
      m["assigned_at"] = q.Str("assigned_at");
      members.push_back(std::move(m));
      q.Next();
    }
    group["flags"] = std::move(flags);
    group["members"] = std::move(members);
  }
  SendSuccess(c.resp, std::move(group));
}

void HandleUpdateAclGroup(TOVApiRequest& c) {
  std::int64_t id = -1;
  std::string guid;
  if (!ResolvePathEntity(c.req, "acl_groups", id, guid, 0)) {
    SendError(c.resp, 400, kMsgInvalidGroupID);
    return;
  }
  std::optional<TJSON> body = ParseBodyOrFail(c);
  if (!body) return;
  const std::string name = JStr(*body, "name");
  const std::string description = JStr(*body, "description");
  FlagList flags = ReadFlagList(*body, "flags");
  if (!flags.ok) {
    SendError(c.resp, 400, kMsgInvalidJSONBody);
    return;
  }
  {
    auto db = RequireDB();
    // Name, description and flags change together: one commit at the end.
    TOVWriteQuery q = db->NewQuery();
    q.SetSQL("SELECT is_system FROM acl_groups WHERE id = :id");
    q.Param("id", id);
    q.Open();
    if (q.Eof()) {
      q.Free();
      SendError(c.resp, 404, kMsgGroupNotFound);
      return;
    }
    q.Close();
    if (!name.empty()) {
      try {
        q.SetSQL("UPDATE acl_groups SET name = :n, description = :d WHERE id = :id");
        q.Param("n", name);
        q.Param("d", description);
        q.Param("id", id);
        q.ExecSQL();
      } catch (const sql::SqlError& e) {
        if (!e.IsUniqueViolation()) throw;
        q.Free();
        SendError(c.resp, 409, "Group name already exists");
        return;
      }
    }
    if (flags.names) {
      q.SetSQL("DELETE FROM acl_group_flags WHERE group_id = :gid");
      q.Param("gid", id);
      q.ExecSQL();
      if (!flags.names->empty()) {
        // A flag listed twice is stored once.
        q.SetSQL(db->Dialect()->InsertOrIgnoreStmt("acl_group_flags", {"group_id", "flag_name"}));
        for (const std::string& flag : *flags.names) {
          q.Param("p1", id);
          q.Param("p2", flag);
          q.ExecSQL();
        }
      }
    }
    db->Commit();
  }
  Audit(c, "acl.group.update", std::to_string(id), Format("Updated ACL group id=%d name=\"%s\"", id, name));
  SendSuccess(c.resp, Message("Group updated"));
}

void HandleDeleteAclGroup(TOVApiRequest& c) {
  std::int64_t id = -1;
  std::string guid;
  if (!ResolvePathEntity(c.req, "acl_groups", id, guid, 0)) {
    SendError(c.resp, 400, kMsgInvalidGroupID);
    return;
  }
  {
    auto db = RequireDB();
    TOVWriteQuery q = db->NewQuery();
    q.SetSQL("SELECT is_system FROM acl_groups WHERE id = :id");
    q.Param("id", id);
    q.Open();
    if (q.Eof()) {
      q.Free();
      SendError(c.resp, 404, kMsgGroupNotFound);
      return;
    }
    if (Flag(q, "is_system")) {
      q.Free();
      SendError(c.resp, 403, "Cannot delete system groups");
      return;
    }
    q.Close();
    // The group's flag rows and memberships go with it (cascading foreign keys).
    q.SetSQL("DELETE FROM acl_groups WHERE id = :id");
    q.Param("id", id);
    q.ExecSQL();
    db->Commit();
  }
  Audit(c, "acl.group.delete", std::to_string(id), Format("Deleted ACL group id=%d", id));
  SendSuccess(c.resp, Message("Group deleted"));
}

// ---- flag definitions ---------------------------------------------------------------------------

void HandleListAclFlags(TOVApiRequest& c) {
  TJSON items = TJSON::array();
  {
    auto db = RequireDB();
    TOVReadQuery q = db->NewReadQuery();
    q.SetSQL(
        "SELECT id, flag_name, description, category, registered_by FROM acl_flag_definitions ORDER BY category, "
        "flag_name");
    q.Open();
    while (!q.Eof()) {
      TJSON o = TJSON::object();
      o["id"] = q.Int("id");
      o["flag_name"] = q.Str("flag_name");
      o["description"] = q.Str("description");
      o["category"] = q.Str("category");
      o["registered_by"] = q.Str("registered_by");
      items.push_back(std::move(o));
      q.Next();
    }
  }
  SendSuccess(c.resp, std::move(items));
}

void HandleCreateAclFlag(TOVApiRequest& c) {
  std::optional<TJSON> body = ParseBodyOrFail(c);
  if (!body) return;
  const std::string flag = ToUpperAscii(JStr(*body, "flag_name"));
  const std::string description = JStr(*body, "description");
  const std::string category = JStr(*body, "category", "custom");
  if (flag.empty()) {
    SendError(c.resp, 400, "flag_name is required");
    return;
  }
  if (!IsScreamingSnake(flag)) {
    SendError(c.resp, 400, "Flag name must be SCREAMING_SNAKE_CASE (A-Z, 0-9, underscore only)");
    return;
  }
  {
    auto db = RequireDB();
    try {
      TOVWriteQuery q = db->NewQuery();
      q.SetSQL(
          "INSERT INTO acl_flag_definitions (flag_name, description, category, registered_by) VALUES (:fn, :desc, "
          ":cat, :rb)");
      q.Param("fn", flag);
      q.Param("desc", description);
      q.Param("cat", category);
      q.Param("rb", "sysop");
      q.ExecSQL();
      db->Commit();
    } catch (const sql::SqlError& e) {
      if (!e.IsUniqueViolation()) throw;
      SendError(c.resp, 409, "Flag already exists");
      return;
    }
  }
  Audit(c, "acl.flag.create", flag, Format("Created ACL flag \"%s\" (category=%s)", flag, category));
  TJSON reply = TJSON::object();
  reply["flag_name"] = flag;
  reply["message"] = "Flag registered";
  SendSuccess(c.resp, std::move(reply), 201);
}

void HandleDeleteAclFlag(TOVApiRequest& c) {
  const std::string name = ExtractPathName(c.req);
  if (name.empty()) {
    SendError(c.resp, 400, "Flag name required");
    return;
  }
  {
    auto db = RequireDB();
    TOVWriteQuery q = db->NewQuery();
    q.SetSQL("SELECT flag_name, registered_by FROM acl_flag_definitions WHERE flag_name = :fn");
    q.Param("fn", name);
    q.Open();
    // The name is matched exactly as typed, whatever the database's collation makes of "=".
    while (!q.Eof() && q.Str("flag_name") != name) q.Next();
    if (q.Eof()) {
      q.Free();
      SendError(c.resp, 404, "Flag not found");
      return;
    }
    if (q.Str("registered_by") == "system") {
      q.Free();
      SendError(c.resp, 403, "Cannot delete system flags");
      return;
    }
    q.Close();
    for (const char* sql : {"DELETE FROM acl_group_flags WHERE flag_name = :fn", "DELETE FROM user_flags WHERE flag_name = :fn",
                            "DELETE FROM acl_flag_definitions WHERE flag_name = :fn"}) {
      q.SetSQL(sql);
      q.Param("fn", name);
      q.ExecSQL();
    }
    db->Commit();
  }
  Audit(c, "acl.flag.delete", name, Format("Deleted ACL flag \"%s\"", name));
  SendSuccess(c.resp, Message("Flag deleted"));
}

// ---- a user's flags and groups ------------------------------------------------------------------

void HandleGetUserAcl(TOVApiRequest& c) {
  std::int64_t id = -1;
  std::string guid;
  if (!ResolvePathEntity(c.req, "users", id, guid, 1)) {
    SendError(c.resp, 400, kMsgInvalidUserID);
    return;
  }
  TJSON direct = TJSON::array();
  TJSON groups = TJSON::array();
  {
    auto db = RequireDB();
    TOVReadQuery q = db->NewReadQuery();
    q.SetSQL("SELECT flag_name FROM user_flags WHERE user_id = :uid ORDER BY flag_name");
    q.Param("uid", id);
    q.Open();
    while (!q.Eof()) {
      direct.push_back(q.Str("flag_name"));
      q.Next();
    }
    q.Close();
    q.SetSQL(
        "SELECT g.id, g.name, g.description, g.is_system FROM user_groups ug JOIN acl_groups g ON ug.group_id = g.id "
        "WHERE ug.user_id = :uid ORDER BY g.name");
    q.Param("uid", id);
    q.Open();
    while (!q.Eof()) {
      TJSON g = TJSON::object();
      g["id"] = q.Int("id");
      g["name"] = q.Str("name");
      g["description"] = q.Str("description");
      g["is_system"] = Flag(q, "is_system");
      groups.push_back(std::move(g));
      q.Next();
    }
  }
  TJSON reply = TJSON::object();
  reply["direct_flags"] = std::move(direct);
  reply["groups"] = std::move(groups);
  reply["resolved_flags"] = TOVAuth::ResolveUserFlags(id);
  SendSuccess(c.resp, std::move(reply));
}

void HandleSetUserFlags(TOVApiRequest& c) {
  std::int64_t id = -1;
  std::string guid;
  if (!ResolvePathEntity(c.req, "users", id, guid, 1)) {
    SendError(c.resp, 400, kMsgInvalidUserID);
    return;
  }
  std::optional<TJSON> body = ParseBodyOrFail(c);
  if (!body) return;
  FlagList flags = ReadFlagList(*body, "flags");
  if (!flags.ok) {
    SendError(c.resp, 400, kMsgInvalidJSONBody);
    return;
  }
  {
    auto db = RequireDB();
    TOVWriteQuery q = db->NewQuery();
    // Checked here, not left to the foreign key: MariaDB's insert-or-ignore would skip the rows
    // silently and report success.
    if (!UserExists(q, id)) {
      q.Free();
      SendError(c.resp, 404, "User not found");
      return;
    }
    q.SetSQL("DELETE FROM user_flags WHERE user_id = :uid");
    q.Param("uid", id);
    q.ExecSQL();
    if (flags.names && !flags.names->empty()) {
      q.SetSQL(db->Dialect()->InsertOrIgnoreStmt("user_flags", {"user_id", "flag_name", "granted_by"}));
      for (const std::string& flag : *flags.names) {
        q.Param("p1", id);
        q.Param("p2", flag);
        q.Param("p3", c.user.UserID);
        q.ExecSQL();
      }
    }
    db->Commit();
  }
  Audit(c, "acl.user.flags", std::to_string(id), Format("Updated direct flags for user id=%d", id));
  TJSON reply = Message("User flags updated");
  reply["resolved_flags"] = TOVAuth::ResolveUserFlags(id);
  SendSuccess(c.resp, std::move(reply));
}

void HandleSetUserGroups(TOVApiRequest& c) {
  std::int64_t id = -1;
  std::string guid;
  if (!ResolvePathEntity(c.req, "users", id, guid, 1)) {
    SendError(c.resp, 400, kMsgInvalidUserID);
    return;
  }
  std::optional<TJSON> body = ParseBodyOrFail(c);
  if (!body) return;
  std::vector<std::int64_t> group_ids;
  auto member = body->find("groups");
  if (member != body->end() && member->is_array()) {
    for (const TJSON& v : *member) {
      std::int64_t gid = 0;
      if (v.is_number_unsigned() && v.get<std::uint64_t>() <= static_cast<std::uint64_t>(INT64_MAX))
        gid = static_cast<std::int64_t>(v.get<std::uint64_t>());
      else if (v.is_number_integer())
        gid = v.get<std::int64_t>();
      if (gid < 1) {  // not a whole number, or no possible group id
        SendError(c.resp, 400, kMsgInvalidJSONBody);
        return;
      }
      group_ids.push_back(gid);
    }
  }
  {
    auto db = RequireDB();
    TOVWriteQuery q = db->NewQuery();
    if (!UserExists(q, id)) {
      q.Free();
      SendError(c.resp, 404, "User not found");
      return;
    }
    // Unknown groups are refused the same way on every database (MariaDB's insert-or-ignore
    // would drop them silently).
    for (std::int64_t gid : group_ids) {
      q.SetSQL("SELECT id FROM acl_groups WHERE id = :gid");
      q.Param("gid", gid);
      q.Open();
      const bool found = !q.Eof();
      q.Close();
      if (!found) {
        q.Free();
        SendError(c.resp, 404, kMsgGroupNotFound);
        return;
      }
    }
    q.SetSQL("DELETE FROM user_groups WHERE user_id = :uid");
    q.Param("uid", id);
    q.ExecSQL();
    if (!group_ids.empty()) {
      q.SetSQL(db->Dialect()->InsertOrIgnoreStmt("user_groups", {"user_id", "group_id", "assigned_by"}));
      for (std::int64_t gid : group_ids) {
        q.Param("p1", id);
        q.Param("p2", gid);
        q.Param("p3", c.user.UserID);
        q.ExecSQL();
      }
    }
    db->Commit();
  }
  Audit(c, "acl.user.groups", std::to_string(id), Format("Updated group memberships for user id=%d", id));
  TJSON reply = Message("User groups updated");
  reply["resolved_flags"] = TOVAuth::ResolveUserFlags(id);
  SendSuccess(c.resp, std::move(reply));
}

}  // namespace ov
