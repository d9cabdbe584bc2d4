#include "ov_session_manager.h"

#include <algorithm>
#include <ctime>
#include <optional>
#include <utility>
#include <vector>

#include "dbapi_dialect.h"
#include "ov_config.h"
#include "ov_database.h"
#include "ov_guid.h"
#include "ov_security.h"

namespace ov {

TOVService<TOVSessionManager> SessionMgr{"SessionMgr"};

namespace {

// The session id stored in an object; objects always carry one once they are in the list.
std::int64_t SessionIdOf(const TJSON& s) {
  auto it = s.find("session_id");
  return it != s.end() && it->is_number_integer() ? it->get<std::int64_t>() : 0;
}

std::optional<std::int64_t> NodeOf(const TJSON& s) {
  auto it = s.find("node");
  if (it == s.end() || !it->is_number_integer()) return std::nullopt;
  return it->get<std::int64_t>();
}

}  // namespace

TOVSessionManager::TOVSessionManager(std::int32_t max_nodes) : max_nodes_(max_nodes) {}

std::int64_t TOVSessionManager::AddSession(std::int32_t node, const std::string& protocol,
                                           const std::string& ip_address) {
  const std::string now = FormatUTCText(std::time(nullptr));
  TJSON s = TJSON::object();
  s["node"] = static_cast<std::int64_t>(node);
  s["protocol"] = protocol;
  s["ip_address"] = ip_address;
  s["username"] = "";
  s["user_id"] = std::int64_t{0};
  s["guid"] = TOVGuid::Generate();
  s["connected_at"] = now;
  s["last_activity"] = now;

  auto db = RequireDB();
  TOVDBLockGuard write_lock(*db);
  TOVLockGuard g(lock_);
  std::int64_t id = 0;
  {
    TOVWriteQuery q = db->NewQuery();
    // The id comes from this insert itself (every connection reports a RETURNING id as the
    // insert id), never from a later look-up that another insert on the connection could have
    // changed.
    const std::string now_expr = db->NowExpr();
    q.SetSQL("INSERT INTO active_sessions (guid, node, protocol, ip_address, connected_at, last_activity) "
             "VALUES (:guid, :n, :p, :ip, " +
             now_expr + ", " + now_expr + ")" + db->Dialect()->InsertReturningIdClause());
    q.Param("guid", s["guid"].get_ref<const std::string&>());
    q.Param("n", static_cast<std::int64_t>(node));
    q.Param("p", protocol);
    q.Param("ip", ip_address);
    q.ExecSQL();
    id = q.LastInsertId();
    if (id < 1) throw sql::SqlError("active_sessions: the insert reported no row id");
    db->Commit();
  }
  // Added only once the row exists: a failed insert leaves no object that holds a node and
  // that no session id could ever remove.
  s["session_id"] = id;
  sessions_.push_back(std::move(s));
  return id;
}

void TOVSessionManager::RemoveSession(std::int64_t session_id) {
  auto db = RequireDB();
  TOVDBLockGuard write_lock(*db);
  TOVLockGuard g(lock_);
  for (std::size_t i = sessions_.size(); i-- > 0;) {
    if (SessionIdOf(sessions_[i]) == session_id) sessions_.erase(i);
  }
  TOVWriteQuery q = db->NewQuery();
  q.SetSQL("DELETE FROM active_sessions WHERE id = :id");
  q.Param("id", session_id);
  q.ExecSQL();
  db->Commit();
}

void TOVSessionManager::UpdateSession(std::int64_t session_id, std::int64_t user_id, const std::string& username) {
  auto db = RequireDB();
  TOVDBLockGuard write_lock(*db);
  TOVLockGuard g(lock_);
  for (TJSON& s : sessions_) {
    if (SessionIdOf(s) != session_id) continue;
    s.erase("user_id");
    s.erase("username");
    s["user_id"] = user_id;
    s["username"] = username;
    break;
  }
  TOVWriteQuery q = db->NewQuery();
  q.SetSQL("UPDATE active_sessions SET user_id = :uid, username = :u, last_activity = " + db->NowExpr() +
           " WHERE id = :id");
  // user_id references users: "no user" is NULL, which the foreign key accepts.
  if (user_id >= 1)
    q.Param("uid", user_id);
  else
    q.ParamNull("uid");
  q.Param("u", username);
  q.Param("id", session_id);
  q.ExecSQL();
  db->Commit();
}

void TOVSessionManager::UpdateActivity(std::int64_t session_id) {
  auto db = RequireDB();
  TOVWriteQuery q = db->NewQuery();
  q.SetSQL("UPDATE active_sessions SET last_activity = " + db->NowExpr() + " WHERE id = :id");
  q.Param("id", session_id);
  q.ExecSQL();
  db->Commit();
}

TJSON TOVSessionManager::GetAllSessions() const {
  TOVLockGuard g(lock_);
  return sessions_;
}

std::optional<TJSON> TOVSessionManager::GetSessionByNode(std::int32_t node) const {
  TOVLockGuard g(lock_);
  for (std::size_t i = sessions_.size(); i-- > 0;) {
    if (NodeOf(sessions_[i]) == node) return sessions_[i];
  }
  return std::nullopt;
}

std::size_t TOVSessionManager::GetSessionCount() const {
  TOVLockGuard g(lock_);
  return sessions_.size();
}

std::int32_t TOVSessionManager::AllocateNode() const {
  TOVLockGuard g(lock_);
  // The occupied numbers within range, sorted: memory follows the sessions, not max_nodes.
  std::vector<std::int64_t> taken;
  taken.reserve(sessions_.size());
  for (const TJSON& s : sessions_) {
    std::optional<std::int64_t> n = NodeOf(s);
    if (n && *n >= 1 && *n <= max_nodes_) taken.push_back(*n);
  }
  std::sort(taken.begin(), taken.end());
  std::int64_t candidate = 1;
  for (std::int64_t n : taken) {
    if (n > candidate) break;
    if (n == candidate) ++candidate;
  }
  return candidate <= max_nodes_ ? static_cast<std::int32_t>(candidate) : -1;
}

void TOVSessionManager::ClearAll() {
  auto db = DB.Get();
  std::optional<TOVDBLockGuard> write_lock;
  if (db) write_lock.emplace(*db);
  TOVLockGuard g(lock_);
  sessions_ = TJSON::array();
  if (!db) return;
  try {
    TOVWriteQuery q = db->NewQuery();
    q.SetSQL("DELETE FROM active_sessions");
    q.ExecSQL();
    db->Commit();
  } catch (...) {
  }
}

// ---- start-up and shutdown ------------------------------------------------------------------

void StartupSessionManager() {
  std::int32_t max_nodes = 10;
  if (auto cfg = Config.Get()) max_nodes = cfg->TelnetMaxNodes();
  SessionMgr.Publish(std::make_unique<TOVSessionManager>(max_nodes));
}

void ShutdownSessionManager(const std::function<void(const std::string&)>& step) {
  if (!SessionMgr.Exists()) return;
  if (step) step("SessionMgr.Free");
  SessionMgr.Free();
}

}  // namespace ov
