#include "ov_route_db.h"

#include "ov_event_bus.h"
#include "ov_format.h"
#include "ov_log.h"
#include "ov_route_reply.h"

namespace ov {

// ---- reads -------------------------------------------------------------------------------------------

std::int64_t CountRows(TOVQueryBase& q, const std::string& sql, const TOVTextBinds& binds) {
  q.SetSQL(sql);
  for (const auto& [name, value] : binds) q.Param(name, value);
  q.Open();
  const std::int64_t n = q.Eof() ? 0 : q.Field(std::size_t{0}).AsInt64(0);
  q.Close();
  return n;
}

bool RowExists(TOVQueryBase& q, const std::string& table, std::int64_t id) {
  q.SetSQL("SELECT id FROM " + table + " WHERE id = :id");
  q.Param("id", id);
  q.Open();
  const bool found = !q.Eof();
  q.Close();
  return found;
}

// ---- new accounts -------------------------------------------------------------------------------

namespace {

// Characters, not bytes: a UTF-8 sequence counts once.
std::size_t Utf8Length(std::string_view s) noexcept {
  std::size_t n = 0;
  for (unsigned char ch : s)
    if ((ch & 0xC0) != 0x80) ++n;
  return n;
}

}  // namespace

bool CheckNewAccount(TOVApiRequest& c, const std::string& username, const std::string& password,
                     std::string_view missing, std::size_t min_chars) {
  if (username.empty() || password.empty()) {
    SendError(c.resp, 400, missing);
    return false;
  }
  if (Utf8Length(password) < min_chars) {
    SendError(c.resp, 400, Format("Password must be at least %d characters", min_chars));
    return false;
  }
  return true;
}

std::optional<std::int64_t> InsertAccount(TOVApiRequest& c, TOVDatabase& db,
                                          const std::function<void(TOVQueryBase&)>& statement) {
  try {
    TOVWriteQuery q = db.NewQuery();
    statement(q);
    q.ExecSQL();
    const std::int64_t id = q.LastInsertId();
    db.Commit();
    return id;
  } catch (const sql::SqlError& e) {
    // Only a taken name is the caller's mistake; any other failure is the server's.
    if (!e.IsUniqueViolation()) throw;
    SendError(c.resp, 409, "Username already exists");
    return std::nullopt;
  }
}

// ---- audit log and events -----------------------------------------------------------------------

void WriteAuditLog(const TOVAuthUser& user, const std::string& action, const std::string& target,
                   const std::string& details, const std::string& ip) {
  std::string failure;
  try {
    auto db = RequireDB();
    TOVWriteQuery q = db->NewQuery();
    q.SetSQL(
        "INSERT INTO audit_log (user_id, username, action, target, details, ip_address) "
        "VALUES ((SELECT id FROM users WHERE id = :uid), :uname, :action, :target, :details, :ip)");
    // user_id references users: a caller without an account (an API key without an owner),
    // or one whose account was deleted after its token was issued, is recorded as NULL,
    // which the foreign key accepts, rather than losing the row.
    if (user.UserID >= 1)
      q.Param("uid", user.UserID);
    else
      q.ParamNull("uid");
    q.Param("uname", user.Username);
    q.Param("action", action);
    q.Param("target", target);
    q.Param("details", details);
    q.Param("ip", ip);
    q.ExecSQL();
    db->Commit();
  } catch (const std::exception& e) {
    failure = e.what();
  } catch (...) {
    failure = "unknown error";
  }
  // Logged after the query is freed, so the write lock is not held while logging.
  if (!failure.empty()) LogWarning("Failed to write audit log: %s", failure);
}

void FireSystemEvent(const std::string& event, const TJSON& data) {
  if (auto bus = EventBus.Get()) bus->Fire("_system", event, data);
}

}  // namespace ov
