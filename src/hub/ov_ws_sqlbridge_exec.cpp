// The SQL bridge's execution: a registered thin client's db_query, db_exec and
// db_exec_params run, once ov_ws_sqlbridge's sandbox allowed the statement, on the database
// (queries on a read connection, writes under the write lock), with SQLite's authorizer as a
// second check; the answer is "ok" with rows, or the error text.
#include "dbapi_dialect.h"
#include "ov_database.h"
#include "ov_sqlconn_sqlite.h"
#include "ov_ws_server.h"
#include "ov_ws_sqlbridge.h"

namespace ov {

namespace {

// The binding of db_exec_params: the sandbox numbered the statement's "?" placeholders
// :p0, :p1, ...; a value without its placeholder is an error, not silently dropped.
TDBABindRules BridgeBindRules(const TWSSqlChecked& checked) {
  TDBABindRules rules;
  rules.FirstNumber = 0;
  rules.MaxItems = static_cast<std::size_t>(checked.placeholders);
  rules.HugeUnsignedAsDouble = true;
  return rules;
}

// The sqlite3 handle of a connection (nullptr on the other backends), for the authorizer.
void* SqliteHandle(sql::Connection& conn) {
  if (auto* c = dynamic_cast<sql::SqliteConnection*>(&conn)) return c->Handle();
  return nullptr;
}

}  // namespace

void TOVWSServer::HandleDbQuery(std::int32_t id, const TJSON& msg) { HandleDbRequest(id, msg, TWSSqlKind::Query); }
void TOVWSServer::HandleDbExec(std::int32_t id, const TJSON& msg) { HandleDbRequest(id, msg, TWSSqlKind::Exec); }
void TOVWSServer::HandleDbExecParams(std::int32_t id, const TJSON& msg) {
  HandleDbRequest(id, msg, TWSSqlKind::ExecParams);
}

void TOVWSServer::HandleDbRequest(std::int32_t id, const TJSON& msg, TWSSqlKind kind) {
  static const char* kTypes[] = {"db_query_result", "db_exec_result", "db_exec_params_result"};
  const std::string request_id = JStr(msg, "request_id");
  const std::string plugin = JStr(msg, "plugin");
  const std::string sql_text = JStr(msg, "sql");
  TJSON reply = TJSON::object();
  reply["type"] = kTypes[static_cast<int>(kind)];
  reply["request_id"] = request_id;
  auto fail = [&](const std::string& error) {
    reply["ok"] = false;
    reply["error"] = error;
    SendToClient(id, reply);
  };
  bool allowed = false;
  {
    TOVLockGuard g(clients_lock_);
    if (Slot* s = FindSlot(id)) allowed = s->Info.Registered && s->Info.ClientType == ctThinClient;
  }
  if (!allowed) return fail("unauthorized");
  if (plugin.empty() || sql_text.empty()) return fail("plugin and sql are required");
  auto db = DB.Get();
  if (!db) return fail("Database not available");
  TWSSqlChecked checked;
  try {
    checked = ValidatePluginSandbox(plugin, sql_text, kind, db->Backend());
  } catch (const std::exception& e) {
    return fail(e.what());
  }
  const std::string prefix = NormalizePluginPrefix(plugin);
  try {
    if (kind == TWSSqlKind::Query) {
      TJSON rows = TJSON::array();
      {
        auto q = db->NewReadQuery(TDBAReadKind::Long);  // a peer's own statement: any length
        TWSSqliteGuard guard(SqliteHandle(q.Connection()), prefix, kind, false);
        q.SetSQL(checked.sql);
        q.Open();
        for (; !q.Eof(); q.Next()) rows.push_back(q.RowJSON());
      }
      reply["ok"] = true;
      reply["rows"] = std::move(rows);
    } else if (kind == TWSSqlKind::Exec) {
      TOVDBLockGuard lock(*db);
      TWSSqliteGuard guard(SqliteHandle(db->Connection()), prefix, kind, checked.ddl);
      db->ExecSQL(checked.sql);
      reply["ok"] = true;
    } else {
      auto q = db->NewQuery();
      TWSSqliteGuard guard(SqliteHandle(db->Connection()), prefix, kind, checked.ddl);
      q.SetSQL(checked.sql);
      // "params" that is not an array binds nothing.
      if (auto it = msg.find("params"); it != msg.end()) BindJSONParams(q.Raw(), *it, BridgeBindRules(checked));
      q.ExecSQL();
      db->Commit();
      reply["ok"] = true;
    }
  } catch (const std::exception& e) {
    // Includes an exhausted read pool: the node gets the reason, the connection stays.
    return fail(e.what());
  }
  SendToClient(id, reply);
}

}  // namespace ov
