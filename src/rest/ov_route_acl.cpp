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
#include "ov_route_db.h"
#include "ov_route_path.h"
#include "ov_route_reply.h"

namespace ov {

namespace {

constexpr const char* kMsgInvalidGroupID = "Invalid group ID";
constexpr const char* kMsgGroupNotFound = "Group not found";
constexpr const char* kMsgInvalidUserID = "Invalid user ID";

// The "flags" member as a list of names: absent or not an array leaves names unset (the caller
// decides what that means); an array holding anything but strings is answered 400 and gives
// false.
bool ReadFlagList(TOVApiRequest& c, const TJSON& body, std::optional<std::vector<std::string>>& names) {
  names.reset();
  auto it = body.find("flags");
  if (it == body.end() || !it->is_array()) return true;
  std::vector<std::string> list;
  for (const TJSON& v : *it) {
    if (!v.is_string()) {
      SendError(c.resp, 400, kMsgInvalidJSONBody);
      return false;
    }
    list.push_back(v.get<std::string>());
  }
  names = std::move(list);
  return true;
}

// The body of a group's creation or update.
struct GroupBody {
  std::string name;
  std::string description;
  std::optional<std::vector<std::string>> flags;
};

// nullopt once the body has been answered 400.
std::optional<GroupBody> ReadGroupBody(TOVApiRequest& c) {
  std::optional<TJSON> body = ParseBodyOrFail(c);
  if (!body) return std::nullopt;
  GroupBody g{JStr(*body, "name"), JStr(*body, "description"), std::nullopt};
  if (!ReadFlagList(c, *body, g.flags)) return std::nullopt;
  return g;
}

bool IsScreamingSnake(std::string_view name) {
  for (char ch : name)
    if (!((ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '_')) return false;
  return true;
}

// A group row; with counts, also how many flags and members it has.
TJSON GroupJSON(const TOVQueryBase& q, bool counts) {
  TJSON o = TJSON::object();
  o["id"] = q.Int("id");
  o["guid"] = q.Str("guid");
  o["name"] = q.Str("name");
  o["description"] = q.Str("description");
  o["is_system"] = ColumnFlag(q, "is_system");
  if (counts) {
    o["flag_count"] = q.Int("flag_count");
    o["member_count"] = q.Int("member_count");
  }
  o["created_at"] = q.Str("created_at");
  return o;
}

// The flag names linked to one group or user, sorted.
TJSON FlagNames(TOVQueryBase& q, const std::string& table, const std::string& owner_column, std::int64_t owner) {
  q.SetSQL("SELECT flag_name FROM " + table + " WHERE " + owner_column + " = :owner ORDER BY flag_name");
  q.Param("owner", owner);
  return CollectRows(q, [](const TOVQueryBase& row) { return TJSON(row.Str("flag_name")); });
}

// Runs an insert or update that sets a group's name; a name another group has is answered 409
// (and the query freed, nothing kept) and gives false.
bool ExecGroupNameChange(TOVApiRequest& c, TOVWriteQuery& q) {
  try {
    q.ExecSQL();
  } catch (const sql::SqlError& e) {
    if (!e.IsUniqueViolation()) throw;
    q.Free();
    SendError(c.resp, 409, "Group name already exists");
    return false;
  }
  return true;
}

// Whether the group is a system group; nullopt when there is no such group.
std::optional<bool> GroupIsSystem(TOVQueryBase& q, std::int64_t id) {
  q.SetSQL("SELECT is_system FROM acl_groups WHERE id = :id");
  q.Param("id", id);
  q.Open();
  std::optional<bool> out;
  if (!q.Eof()) out = ColumnFlag(q, "is_system");
  q.Close();
  return out;
}

// Links an owner (a group or a user) to each value in a link table whose first two columns
// are the owner and the value; a third column records who made the link (by).  A value
// listed twice is stored once.
template <class T>
void InsertLinks(TOVDatabase& db, TOVQueryBase& q, std::string_view table, const std::vector<std::string>& columns,
                 std::int64_t owner, const std::vector<T>& values, std::optional<std::int64_t> by = std::nullopt) {
  if (values.empty()) return;
  q.SetSQL(db.Dialect()->InsertOrIgnoreStmt(table, columns));
  for (const T& value : values) {
    q.Param("p1", owner);
    q.Param("p2", value);
    if (by) q.Param("p3", *by);
    q.ExecSQL();
  }
}

// The owner's links are replaced by exactly the values given.
template <class T>
void ReplaceLinks(TOVDatabase& db, TOVQueryBase& q, const std::string& table, const std::vector<std::string>& columns,
                  std::int64_t owner, const std::vector<T>& values, std::optional<std::int64_t> by = std::nullopt) {
  q.SetSQL("DELETE FROM " + table + " WHERE " + columns.front() + " = :owner");
  q.Param("owner", owner);
  q.ExecSQL();
  InsertLinks(db, q, table, columns, owner, values, by);
}

void Audit(const TOVApiRequest& c, const std::string& action, const std::string& target, const std::string& details) {
  WriteAuditLog(c.user, action, target, details, GetClientIP(c.req));
}

TJSON Message(const char* text) {
  TJSON o = TJSON::object();
  o["message"] = text;
  return o;
}

// A user's direct flags or group memberships: the link table and its columns (the user, the
// value, who made the link), and the audit row and answer message of a change.
struct UserLinks {
  const char* table;
  std::vector<std::string> columns;
  const char* audit_action;
  const char* audit_details;  // %d: the user's id
  const char* message;
};

// Replaces the links of the user named by the path with the values read from the body, and
// answers with the flags the user then holds.  read takes the values from the body and check
// vets them under the write lock; either answers and gives false to refuse.
template <class T, class ReadFn, class CheckFn>
void SetUserLinks(TOVApiRequest& c, const UserLinks& links, ReadFn read, CheckFn check) {
  std::optional<TOVPathEntity> path = ResolvePathEntityOrFail(c, "users", kMsgInvalidUserID, 1);
  if (!path) return;
  const std::int64_t id = path->id;
  std::optional<TJSON> body = ParseBodyOrFail(c);
  if (!body) return;
  std::vector<T> values;
  if (!read(*body, values)) return;
  {
    auto db = RequireDB();
    TOVWriteQuery q = db->NewQuery();
    // Checked here, not left to the foreign key: MariaDB's insert-or-ignore would skip the rows
    // silently and report success.
    if (!RowExists(q, "users", id)) {
      q.Free();
      SendError(c.resp, 404, "User not found");
      return;
    }
    if (!check(q, values)) return;
    ReplaceLinks(*db, q, links.table, links.columns, id, values, c.user.UserID);
    db->Commit();
  }
  Audit(c, links.audit_action, std::to_string(id), Format(links.audit_details, id));
  TJSON reply = Message(links.message);
  reply["resolved_flags"] = TOVAuth::ResolveUserFlags(id);
  SendSuccess(c.resp, std::move(reply));
}

}  // namespace

// ---- groups -------------------------------------------------------------------------------------

void HandleListAclGroups(TOVApiRequest& c) {
  SendSuccess(c.resp,
              ReadList("SELECT g.id, g.guid, g.name, g.description, g.is_system, g.created_at,   (SELECT COUNT(*) FROM "
                       "acl_group_flags gf WHERE gf.group_id = g.id) AS flag_count,   (SELECT COUNT(*) FROM user_groups "
                       "ug WHERE ug.group_id = g.id) AS member_count FROM acl_groups g ORDER BY g.name",
                       [](const TOVQueryBase& q) { return GroupJSON(q, true); },
                       TDBAReadKind::Long));  // counts every member of every group
}

void HandleCreateAclGroup(TOVApiRequest& c) {
  std::optional<GroupBody> body = ReadGroupBody(c);
  if (!body) return;
  const auto& [name, description, flags] = *body;
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
    q.SetSQL("INSERT INTO acl_groups (guid, name, description) VALUES (:guid, :n, :d)");
    q.Param("guid", guid);
    q.Param("n", name);
    q.Param("d", description);
    if (!ExecGroupNameChange(c, q)) return;
    id = q.LastInsertId();
    if (id <= 0) {
      q.SetSQL("SELECT id FROM acl_groups WHERE guid = :guid");
      q.Param("guid", guid);
      q.Open();
      if (!q.Eof()) id = q.Int("id");
      q.Close();
    }
    if (flags) InsertLinks(*db, q, "acl_group_flags", {"group_id", "flag_name"}, id, *flags);
    db->Commit();
  }
  Audit(c, "acl.group.create", name, Format("Created ACL group \"%s\" (id=%d)", name, id));
  TJSON reply = TJSON::object();
  reply["id"] = id;
  reply["name"] = name;
  SendSuccess(c.resp, std::move(reply), 201);
}

void HandleGetAclGroup(TOVApiRequest& c) {
  std::optional<TOVPathEntity> path = ResolvePathEntityOrFail(c, "acl_groups", kMsgInvalidGroupID);
  if (!path) return;
  const std::int64_t id = path->id;
  TJSON group;
  {
    auto db = RequireDB();
    // Lists every member of the group: as long as the group is large.
    TOVReadQuery q = db->NewReadQuery(TDBAReadKind::Long);
    q.SetSQL("SELECT id, guid, name, description, is_system, created_at FROM acl_groups WHERE id = :id");
    q.Param("id", id);
    q.Open();
    if (q.Eof()) {
      q.Free();
      SendError(c.resp, 404, kMsgGroupNotFound);
      return;
    }
    group = GroupJSON(q, false);
    q.Close();

    TJSON flags = FlagNames(q, "acl_group_flags", "group_id", id);
    q.SetSQL(
        "SELECT ug.user_id, u.username, ug.assigned_at FROM user_groups ug JOIN users u ON ug.user_id = u.id WHERE "
        "ug.group_id = :gid ORDER BY u.username");
    q.Param("gid", id);
    TJSON members = CollectRows(q, [](const TOVQueryBase& row) {
      TJSON m = TJSON::object();
      m["user_id"] = row.Int("user_id");
      m["username"] = row.Str("username");
      m["assigned_at"] = row.Str("assigned_at");
      return m;
    });
    group["flags"] = std::move(flags);
    group["members"] = std::move(members);
  }
  SendSuccess(c.resp, std::move(group));
}

void HandleUpdateAclGroup(TOVApiRequest& c) {
  std::optional<TOVPathEntity> path = ResolvePathEntityOrFail(c, "acl_groups", kMsgInvalidGroupID);
  if (!path) return;
  const std::int64_t id = path->id;
  std::optional<GroupBody> body = ReadGroupBody(c);
  if (!body) return;
  const auto& [name, description, flags] = *body;
  {
    auto db = RequireDB();
    // Name, description and flags change together: one commit at the end.
    TOVWriteQuery q = db->NewQuery();
    if (!GroupIsSystem(q, id)) {
      q.Free();
      SendError(c.resp, 404, kMsgGroupNotFound);
      return;
    }
    if (!name.empty()) {
      q.SetSQL("UPDATE acl_groups SET name = :n, description = :d WHERE id = :id");
      q.Param("n", name);
      q.Param("d", description);
      q.Param("id", id);
      if (!ExecGroupNameChange(c, q)) return;
    }
    if (flags) ReplaceLinks(*db, q, "acl_group_flags", {"group_id", "flag_name"}, id, *flags);
    db->Commit();
  }
  Audit(c, "acl.group.update", std::to_string(id), Format("Updated ACL group id=%d name=\"%s\"", id, name));
  SendSuccess(c.resp, Message("Group updated"));
}

void HandleDeleteAclGroup(TOVApiRequest& c) {
  std::optional<TOVPathEntity> path = ResolvePathEntityOrFail(c, "acl_groups", kMsgInvalidGroupID);
  if (!path) return;
  const std::int64_t id = path->id;
  {
    auto db = RequireDB();
    TOVWriteQuery q = db->NewQuery();
    const std::optional<bool> is_system = GroupIsSystem(q, id);
    if (!is_system) {
      q.Free();
      SendError(c.resp, 404, kMsgGroupNotFound);
      return;
    }
    if (*is_system) {
      q.Free();
      SendError(c.resp, 403, "Cannot delete system groups");
      return;
    }
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
  SendSuccess(c.resp, ReadList("SELECT id, flag_name, description, category, registered_by FROM acl_flag_definitions "
                               "ORDER BY category, flag_name",
                               [](const TOVQueryBase& q) {
                                 TJSON o = TJSON::object();
                                 o["id"] = q.Int("id");
                                 o["flag_name"] = q.Str("flag_name");
                                 o["description"] = q.Str("description");
                                 o["category"] = q.Str("category");
                                 o["registered_by"] = q.Str("registered_by");
                                 return o;
                               }));
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
  std::optional<TOVPathEntity> path = ResolvePathEntityOrFail(c, "users", kMsgInvalidUserID, 1);
  if (!path) return;
  const std::int64_t id = path->id;
  TJSON direct, groups;
  {
    auto db = RequireDB();
    TOVReadQuery q = db->NewReadQuery();
    direct = FlagNames(q, "user_flags", "user_id", id);
    q.SetSQL(
        "SELECT g.id, g.name, g.description, g.is_system FROM user_groups ug JOIN acl_groups g ON ug.group_id = g.id "
        "WHERE ug.user_id = :uid ORDER BY g.name");
    q.Param("uid", id);
    groups = CollectRows(q, [](const TOVQueryBase& row) {
      TJSON g = TJSON::object();
      g["id"] = row.Int("id");
      g["name"] = row.Str("name");
      g["description"] = row.Str("description");
      g["is_system"] = ColumnFlag(row, "is_system");
      return g;
    });
  }
  TJSON reply = TJSON::object();
  reply["direct_flags"] = std::move(direct);
  reply["groups"] = std::move(groups);
  reply["resolved_flags"] = TOVAuth::ResolveUserFlags(id);
  SendSuccess(c.resp, std::move(reply));
}

void HandleSetUserFlags(TOVApiRequest& c) {
  SetUserLinks<std::string>(
      c, {"user_flags", {"user_id", "flag_name", "granted_by"}, "acl.user.flags", "Updated direct flags for user id=%d",
          "User flags updated"},
      [&](const TJSON& body, std::vector<std::string>& flags) {
        std::optional<std::vector<std::string>> names;
        if (!ReadFlagList(c, body, names)) return false;
        if (names) flags = std::move(*names);
        return true;
      },
      [](TOVWriteQuery&, const std::vector<std::string>&) { return true; });
}

void HandleSetUserGroups(TOVApiRequest& c) {
  SetUserLinks<std::int64_t>(
      c, {"user_groups", {"user_id", "group_id", "assigned_by"}, "acl.user.groups",
          "Updated group memberships for user id=%d", "User groups updated"},
      [&](const TJSON& body, std::vector<std::int64_t>& group_ids) {
        auto member = body.find("groups");
        if (member == body.end() || !member->is_array()) return true;
        for (const TJSON& v : *member) {
          std::int64_t gid = 0;
          if (v.is_number_unsigned() && v.get<std::uint64_t>() <= static_cast<std::uint64_t>(INT64_MAX))
            gid = static_cast<std::int64_t>(v.get<std::uint64_t>());
          else if (v.is_number_integer())
            gid = v.get<std::int64_t>();
          if (gid < 1) {  // not a whole number, or no possible group id
            SendError(c.resp, 400, kMsgInvalidJSONBody);
            return false;
          }
          group_ids.push_back(gid);
        }
        return true;
      },
      [&](TOVWriteQuery& q, const std::vector<std::int64_t>& group_ids) {
        // Unknown groups are refused the same way on every database (MariaDB's insert-or-ignore
        // would drop them silently).
        for (std::int64_t gid : group_ids) {
          if (!RowExists(q, "acl_groups", gid)) {
            q.Free();
            SendError(c.resp, 404, kMsgGroupNotFound);
            return false;
          }
        }
        return true;
      });
}

}  // namespace ov
