// Users, the stored system configuration and API keys.
#include "ov_route_users.h"

#include <charconv>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ov_auth.h"
#include "ov_database.h"
#include "ov_guid.h"
#include "ov_http_types.h"
#include "ov_log.h"
#include "ov_route_db.h"
#include "ov_route_path.h"
#include "ov_route_reply.h"
#include "ov_schema.h"
#include "orvanta/plugin_abi.h"

namespace ov {

namespace {

constexpr std::int64_t kDefaultSecurityLevel = 10;
constexpr std::size_t kMinUserPasswordChars = 4;
constexpr std::size_t kApiKeyPrefixChars = 10;
constexpr const char* kMsgInvalidUserID = "Invalid user ID";
constexpr const char* kMsgLastAdministrator = "Cannot remove the last administrator";

enum class Kind { Text, Int32, Int64, Boolean };

// A member that is present must have the expected JSON type.  A mistyped value is refused
// rather than read as the default: {"is_admin": 1} must not demote, {"email": 5} must not
// empty the address.
bool MemberTypeOK(const TJSON& body, const char* key, Kind kind) {
  auto it = body.find(key);
  if (it == body.end()) return true;
  const TJSON& v = *it;
  switch (kind) {
    case Kind::Text:
      return v.is_string();
    case Kind::Boolean:
      return v.is_boolean();
    case Kind::Int32:
    case Kind::Int64: {
      const std::int64_t lo = kind == Kind::Int32 ? std::numeric_limits<std::int32_t>::min()
                                                  : std::numeric_limits<std::int64_t>::min();
      const std::int64_t hi = kind == Kind::Int32 ? std::numeric_limits<std::int32_t>::max()
                                                  : std::numeric_limits<std::int64_t>::max();
      if (v.is_number_unsigned()) return v.get<std::uint64_t>() <= static_cast<std::uint64_t>(hi);
      if (v.is_number_integer()) {
        const std::int64_t n = v.get<std::int64_t>();
        return n >= lo && n <= hi;
      }
      return false;
    }
  }
  return false;
}

bool MembersTypeOK(const TJSON& body, std::initializer_list<std::pair<const char*, Kind>> members) {
  for (const auto& [key, kind] : members)
    if (!MemberTypeOK(body, key, kind)) return false;
  return true;
}

// A user row as a list item, or with every column the detail view shows.
TJSON UserJSON(const TOVQueryBase& q, bool detail) {
  TJSON o = TJSON::object();
  o["id"] = q.Int("id");
  o["guid"] = q.Str("guid");
  o["username"] = q.Str("username");
  o["email"] = q.Str("email");
  o["real_name"] = q.Str("real_name");
  o["location"] = q.Str("location");
  o["gender"] = q.Str("gender");
  o["security_level"] = q.Int("security_level");
  o["is_admin"] = ColumnFlag(q, "is_admin");
  o["is_active"] = ColumnFlag(q, "is_active");
  o["is_locked"] = ColumnFlag(q, "is_locked");
  if (detail) o["failed_logins"] = q.Int("failed_logins");
  o["last_login"] = q.Str("last_login");
  o["total_calls"] = q.Int("total_calls");
  o["total_posts"] = q.Int("total_posts");
  if (detail) {
    o["total_uploads"] = q.Int("total_uploads");
    o["total_downloads"] = q.Int("total_downloads");
  }
  o["created_at"] = q.Str("created_at");
  if (detail) o["updated_at"] = q.Str("updated_at");
  return o;
}

// What a change would leave of the user's administrator standing; empty members stay as
// they are.
struct AdminChange {
  std::optional<bool> is_admin, is_active, is_locked;
  bool deleting = false;
};

// True when the user is now the only administrator who is active and unlocked and the change
// would end that: without one nobody can administer the board, and without any is_admin row
// the unauthenticated first-run setup opens again.  Call with the write lock held, so the
// answer still holds when the change is made.
bool WouldRemoveLastAdministrator(TOVDatabase& db, std::int64_t user_id, const AdminChange& change) {
  TOVWriteQuery q = db.NewQuery();
  q.SetSQL("SELECT is_admin, is_active, is_locked FROM users WHERE id = :id");
  q.Param("id", user_id);
  q.Open();
  if (q.Eof()) return false;
  const bool admin = ColumnFlag(q, "is_admin");
  const bool active = ColumnFlag(q, "is_active");
  const bool locked = ColumnFlag(q, "is_locked");
  if (!(admin && active && !locked)) return false;
  const bool still = !change.deleting && change.is_admin.value_or(admin) && change.is_active.value_or(active) &&
                     !change.is_locked.value_or(locked);
  if (still) return false;
  q.Close();
  q.SetSQL("SELECT COUNT(*) FROM users WHERE is_admin = 1 AND is_active = 1 AND is_locked = 0 AND id <> :id");
  q.Param("id", user_id);
  q.Open();
  return q.Eof() || q.Field(std::size_t{0}).AsInt64() == 0;
}

// Answers a change made to an existing user, logs it and announces the event with the user's id
// and GUID and "<verb>_by".
void AnswerUserChange(TOVApiRequest& c, const TOVPathEntity& user, const std::string& verb, const char* event) {
  SendSuccess(c.resp);
  LogInfo("User #%d %s %s by %s", user.id, TOVGuid::ForLog(user.guid), verb, c.user.Username);
  TJSON ev = TJSON::object();
  ev["user_id"] = user.id;
  ev["user_guid"] = user.guid;
  ev[verb + "_by"] = c.user.Username;
  FireSystemEvent(event, ev);
}

// A configuration value as stored text; nullopt for null, arrays and objects.
std::optional<std::string> SettingText(const TJSON& v) {
  if (v.is_string()) return v.get<std::string>();
  if (v.is_boolean()) return std::string(v.get<bool>() ? "True" : "False");
  if (v.is_number_unsigned()) return std::to_string(v.get<std::uint64_t>());
  if (v.is_number_integer()) return std::to_string(v.get<std::int64_t>());
  if (v.is_number_float()) {
    char buf[64];
    auto [p, ec] = std::to_chars(buf, buf + sizeof buf, v.get<double>());
    if (ec != std::errc()) return std::nullopt;
    return std::string(buf, p);
  }
  return std::nullopt;
}

}  // namespace

// ---- users --------------------------------------------------------------------------------------

void HandleListUsers(TOVApiRequest& c) {
  SendPagedList(c, kPageUsers,
                {.columns = "id, guid, username, email, real_name, location, gender, security_level, is_admin, "
                            "is_active, is_locked, last_login, total_calls, total_posts, created_at",
                 .table = "users",
                 .order = {{"id", false}},
                 .tally = LiveTally("users")},
                [](const TOVQueryBase& q) { return UserJSON(q, false); });
}

void HandleGetUser(TOVApiRequest& c) {
  std::optional<TOVPathEntity> path = ResolvePathEntityOrFail(c, "users", kMsgInvalidUserID);
  if (!path) return;
  std::optional<TJSON> user;
  {
    auto db = RequireDB();
    TOVReadQuery q = db->NewReadQuery();
    q.SetSQL(
        "SELECT id, guid, username, email, real_name, location, gender, security_level, is_admin, is_active, "
        "is_locked, failed_logins, last_login, total_calls, total_posts, total_uploads, total_downloads, created_at, "
        "updated_at FROM users WHERE id = :id");
    q.Param("id", path->id);
    q.Open();
    if (!q.Eof()) user = UserJSON(q, true);
  }
  if (!user) {
    SendError(c.resp, 404, "User not found");
    return;
  }
  SendSuccess(c.resp, std::move(*user));
}

void HandleCreateUser(TOVApiRequest& c) {
  std::optional<TJSON> body = ParseBodyOrFail(c);
  if (!body) return;
  if (!MembersTypeOK(*body, {{"username", Kind::Text},
                             {"password", Kind::Text},
                             {"email", Kind::Text},
                             {"real_name", Kind::Text},
                             {"location", Kind::Text},
                             {"gender", Kind::Text},
                             {"security_level", Kind::Int32},
                             {"is_admin", Kind::Boolean}})) {
    SendError(c.resp, 400, kMsgInvalidJSONBody);
    return;
  }
  const std::string username = JStr(*body, "username");
  const std::string password = JStr(*body, "password");
  if (!CheckNewAccount(c, username, password, "Username and password required", kMinUserPasswordChars)) return;
  const std::int64_t level = JInt(*body, "security_level", kDefaultSecurityLevel);
  const bool is_admin = JBool(*body, "is_admin", false);
  const std::string salt = TOVAuth::GenerateSalt();
  const std::string hash = TOVAuth::HashPassword(password, salt);
  const std::string guid = TOVGuid::Generate();

  std::int64_t id = 0;
  {
    auto db = RequireDB();
    std::optional<std::int64_t> inserted = InsertAccount(c, *db, [&](TOVQueryBase& q) {
      q.SetSQL(
          "INSERT INTO users (guid, username, password_hash, password_salt, email, real_name, location, gender, "
          "security_level, is_admin) VALUES (:guid, :u, :h, :s, :e, :rn, :loc, :g, :sl, :adm)");
      q.Param("guid", guid);
      q.Param("u", username);
      q.Param("h", hash);
      q.Param("s", salt);
      q.Param("e", JStr(*body, "email"));
      q.Param("rn", JStr(*body, "real_name"));
      q.Param("loc", JStr(*body, "location"));
      q.Param("g", JStr(*body, "gender"));
      q.Param("sl", level);
      q.Param("adm", std::int64_t{is_admin ? 1 : 0});
    });
    if (!inserted) return;
    id = *inserted;
    if (id <= 0) id = db->LookupIDByGUID("users", guid);
  }

  TJSON reply = TJSON::object();
  reply["id"] = id;
  reply["guid"] = guid;
  reply["username"] = username;
  SendSuccess(c.resp, std::move(reply), 201);
  LogInfo("User %s %s created by %s", username, TOVGuid::ForLog(guid), c.user.Username);

  TJSON ev = TJSON::object();
  ev["user_id"] = id;
  ev["username"] = username;
  ev["user_guid"] = guid;
  ev["created_by"] = c.user.Username;
  FireSystemEvent(OV_EVENT_USER_CREATE, ev);
}

void HandleUpdateUser(TOVApiRequest& c) {
  std::optional<TOVPathEntity> path = ResolvePathEntityOrFail(c, "users", kMsgInvalidUserID);
  if (!path) return;
  const std::int64_t id = path->id;
  std::optional<TJSON> body = ParseBodyOrFail(c);
  if (!body) return;
  if (!MembersTypeOK(*body, {{"email", Kind::Text},
                             {"real_name", Kind::Text},
                             {"location", Kind::Text},
                             {"gender", Kind::Text},
                             {"security_level", Kind::Int32},
                             {"is_admin", Kind::Boolean},
                             {"is_active", Kind::Boolean},
                             {"is_locked", Kind::Boolean},
                             {"password", Kind::Text}})) {
    SendError(c.resp, 400, kMsgInvalidJSONBody);
    return;
  }
  const TJSON& b = *body;
  auto has = [&](const char* key) { return b.contains(key); };

  AdminChange change;
  if (has("is_admin")) change.is_admin = JBool(b, "is_admin", false);
  if (has("is_active")) change.is_active = JBool(b, "is_active", true);
  if (has("is_locked")) change.is_locked = JBool(b, "is_locked", false);
  // The password is hashed before the write lock is taken: hashing is deliberately slow.
  std::string new_salt, new_hash;
  if (has("password")) {
    new_salt = TOVAuth::GenerateSalt();
    new_hash = TOVAuth::HashPassword(JStr(b, "password"), new_salt);
  }

  {
    auto db = RequireDB();
    // The last-administrator check and the change run under one hold of the write lock.
    TOVDBLockGuard lock(*db);
    if ((change.is_admin || change.is_active || change.is_locked) && WouldRemoveLastAdministrator(*db, id, change)) {
      SendError(c.resp, 400, kMsgLastAdministrator);
      return;
    }
    TOVWriteQuery q = db->NewQuery();
    const std::string now = db->NowExpr();
    auto update = [&](const char* column, auto value) {
      q.SetSQL(std::string("UPDATE users SET ") + column + " = :v, updated_at = " + now + " WHERE id = :id");
      q.Param("v", value);
      q.Param("id", id);
      q.ExecSQL();
    };
    for (const char* text_column : {"email", "real_name", "location", "gender"})
      if (has(text_column)) update(text_column, JStr(b, text_column));
    if (has("security_level")) update("security_level", JInt(b, "security_level", kDefaultSecurityLevel));
    if (change.is_admin) update("is_admin", std::int64_t{*change.is_admin ? 1 : 0});
    if (change.is_active) update("is_active", std::int64_t{*change.is_active ? 1 : 0});
    if (change.is_locked) {
      q.SetSQL("UPDATE users SET is_locked = :v, failed_logins = 0, updated_at = " + now + " WHERE id = :id");
      q.Param("v", std::int64_t{*change.is_locked ? 1 : 0});
      q.Param("id", id);
      q.ExecSQL();
    }
    if (has("password")) {
      q.SetSQL("UPDATE users SET password_hash = :h, password_salt = :s, updated_at = " + now + " WHERE id = :id");
      q.Param("h", new_hash);
      q.Param("s", new_salt);
      q.Param("id", id);
      q.ExecSQL();
    }
    db->Commit();
  }

  AnswerUserChange(c, *path, "updated", OV_EVENT_USER_UPDATED);
}

void HandleDeleteUser(TOVApiRequest& c) {
  std::optional<TOVPathEntity> path = ResolvePathEntityOrFail(c, "users", kMsgInvalidUserID);
  if (!path) return;
  const std::int64_t id = path->id;
  if (id == c.user.UserID) {
    SendError(c.resp, 400, "Cannot delete your own account");
    return;
  }
  {
    auto db = RequireDB();
    TOVDBLockGuard lock(*db);
    AdminChange change;
    change.deleting = true;
    if (WouldRemoveLastAdministrator(*db, id, change)) {
      SendError(c.resp, 400, kMsgLastAdministrator);
      return;
    }
    TOVWriteQuery q = db->NewQuery();
    // The account's API keys die with it.  The foreign key only sets their user_id to NULL,
    // which would leave them working as owner-less keys, so they are switched off first (the
    // rows stay, listed without an owner).  The id is compared with users.id, whose type can
    // hold every id (on PostgreSQL api_keys.user_id is narrower and would refuse a large one).
    q.SetSQL("UPDATE api_keys SET is_active = 0 WHERE user_id IN (SELECT id FROM users WHERE id = :id)");
    q.Param("id", id);
    q.ExecSQL();
    q.SetSQL("DELETE FROM users WHERE id = :id");
    q.Param("id", id);
    q.ExecSQL();
    db->Commit();
  }
  AnswerUserChange(c, *path, "deleted", OV_EVENT_USER_DELETED);
}

// ---- configuration ------------------------------------------------------------------------------

void HandleGetConfig(TOVApiRequest& c) {
  const std::string key = RequireDB()->QuoteIdent("key");  // a reserved word on MariaDB
  TJSON items = ReadList(
      "SELECT id, " + key + ", value, value_type, category, description FROM system_config ORDER BY category, " + key,
      [](const TOVQueryBase& q) {
        TJSON o = TJSON::object();
        o["id"] = q.Int("id");
        o["key"] = q.Str("key");
        o["value"] = q.Str("value");
        o["value_type"] = q.Str("value_type");
        o["category"] = q.Str("category");
        o["description"] = q.Str("description");
        if (o["key"] == "system_guid") o["readonly"] = true;
        return o;
      });
  SendSuccess(c.resp, std::move(items));
}

void HandleUpdateConfig(TOVApiRequest& c) {
  std::optional<TJSON> body = ParseBodyOrFail(c);
  if (!body) return;
  auto settings = body->find("settings");
  if (settings == body->end()) {
    SendError(c.resp, 400, "Missing \"settings\" object");
    return;
  }
  // Every value is checked before anything is written, so a bad one keeps nothing.
  std::vector<std::pair<std::string, std::string>> changes;
  if (!settings->is_object()) {
    SendError(c.resp, 400, kMsgInvalidJSONBody);
    return;
  }
  for (auto it = settings->begin(); it != settings->end(); ++it) {
    std::optional<std::string> text = SettingText(it.value());
    if (!text) {
      SendError(c.resp, 400, kMsgInvalidJSONBody);
      return;
    }
    // The instance's identity is read-only.  Compared ignoring case: on MariaDB the key
    // column itself compares that way.
    if (EqualsIgnoreCase(it.key(), "system_guid")) continue;
    changes.emplace_back(it.key(), std::move(*text));
  }
  {
    auto db = RequireDB();
    TOVWriteQuery q = db->NewQuery();
    q.SetSQL("UPDATE system_config SET value = :v, updated_at = " + db->NowExpr() + " WHERE " + db->QuoteIdent("key") +
             " = :k");
    for (const auto& [key, value] : changes) {
      q.Param("v", value);
      q.Param("k", key);
      q.ExecSQL();
    }
    db->Commit();
  }
  SendSuccess(c.resp);
  LogInfo("Config updated by %s", c.user.Username);
  TJSON ev = TJSON::object();
  ev["changed_by"] = c.user.Username;
  FireSystemEvent(OV_EVENT_CONFIG_CHANGED, ev);
}

// ---- API keys -----------------------------------------------------------------------------------

void HandleListAPIKeys(TOVApiRequest& c) {
  TJSON items = ReadList(
      "SELECT a.id, a.guid, a.key_prefix, a.description, a.user_id, u.username, a.is_active, a.last_used, "
      "a.expires_at, a.created_at FROM api_keys a LEFT JOIN users u ON a.user_id = u.id ORDER BY a.id",
      [](const TOVQueryBase& q) {
        TJSON o = TJSON::object();
        o["id"] = q.Int("id");
        o["guid"] = q.Str("guid");
        o["key_prefix"] = q.Str("key_prefix");
        o["description"] = q.Str("description");
        o["username"] = q.Str("username");
        o["is_active"] = ColumnFlag(q, "is_active");
        o["last_used"] = q.Str("last_used");
        o["expires_at"] = q.Str("expires_at");
        o["created_at"] = q.Str("created_at");
        return o;
      });
  SendSuccess(c.resp, std::move(items));
}

void HandleCreateAPIKey(TOVApiRequest& c) {
  std::optional<TJSON> body = ParseBodyOrFail(c);
  if (!body) return;
  if (!MembersTypeOK(*body, {{"description", Kind::Text}, {"user_id", Kind::Int64}})) {
    SendError(c.resp, 400, kMsgInvalidJSONBody);
    return;
  }
  const std::string description = JStr(*body, "description");
  const std::int64_t owner = JInt(*body, "user_id", c.user.UserID);
  const std::string key = TOVAuth::GenerateAPIKey();
  const std::string hash = TOVAuth::HashAPIKey(key);
  const std::string shown = key.substr(0, kApiKeyPrefixChars);
  const std::string prefix = shown + "...";
  const std::string guid = TOVGuid::Generate();

  std::int64_t id = 0;
  {
    auto db = RequireDB();
    TOVWriteQuery q = db->NewQuery();  // holds the write lock: the owner cannot vanish in between
    // 0 is a key without an owner; a negative id names nobody and must not become one.
    if (owner < 0 || (owner >= 1 && !RowExists(q, "users", owner))) {
      SendError(c.resp, 400, kMsgInvalidUserID);
      return;
    }
    q.SetSQL(
        "INSERT INTO api_keys (guid, key_hash, key_prefix, description, user_id) VALUES (:guid, :h, :p, :d, :uid)");
    q.Param("guid", guid);
    q.Param("h", hash);
    q.Param("p", prefix);
    q.Param("d", description);
    // A key without an owner (user id 0) is stored with NULL, which the foreign key accepts.
    if (owner >= 1)
      q.Param("uid", owner);
    else
      q.ParamNull("uid");
    q.ExecSQL();
    id = q.LastInsertId();
    db->Commit();
    q.Free();
    if (id <= 0) id = db->LookupIDByGUID("api_keys", guid);
  }

  TJSON reply = TJSON::object();
  reply["api_key"] = key;
  reply["id"] = id;
  SendSuccess(c.resp, std::move(reply), 201);
  LogInfo("API key created by %s: %s...", c.user.Username, shown);
  TJSON ev = TJSON::object();
  ev["key_prefix"] = prefix;
  ev["description"] = description;
  ev["created_by"] = c.user.Username;
  FireSystemEvent("apikey.created", ev);
}

void HandleDeleteAPIKey(TOVApiRequest& c) {
  std::optional<TOVPathEntity> path = ResolvePathEntityOrFail(c, "api_keys", "Invalid API key ID");
  if (!path) return;
  const std::int64_t id = path->id;
  {
    auto db = RequireDB();
    TOVWriteQuery q = db->NewQuery();
    q.SetSQL("DELETE FROM api_keys WHERE id = :id");
    q.Param("id", id);
    q.ExecSQL();
    db->Commit();
  }
  SendSuccess(c.resp);
  LogInfo("API key #%d %s revoked by %s", id, TOVGuid::ForLog(path->guid), c.user.Username);
  TJSON ev = TJSON::object();
  ev["key_id"] = id;
  ev["key_guid"] = path->guid;
  ev["revoked_by"] = c.user.Username;
  FireSystemEvent("apikey.revoked", ev);
}

}  // namespace ov
