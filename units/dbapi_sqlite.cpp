// SQLite dialect of the portable SQL library.
#include "dbapi_sqlite.h"

#include <cstdlib>

#include "ov_sqlconn_sqlite.h"

namespace ov {

std::shared_ptr<TDBASQLiteDialect> TDBASQLiteDialect::CreateOwned(const std::string& ADBFile, int ABusyTimeoutMs) {
  auto d = std::make_shared<TDBASQLiteDialect>();
  d->FDbFile = ADBFile;
  sql::ConnectOptions o;
  o.database = ADBFile;
  o.busy_timeout_ms = ABusyTimeoutMs;
  d->AttachConnection(sql::CreateSqliteConnection(std::move(o)));
  return d;
}

std::shared_ptr<TDBASQLiteDialect> TDBASQLiteDialect::CreateFromConnection(sql::Connection* AConn,
                                                                           sql::Transaction* ATrans) {
  if (!AConn) throw sql::SqlError("dbapi_sqlite: CreateFromConnection: AConn is nil");
  if (AConn->Kind() != sql::Backend::SQLite)
    throw sql::SqlError("dbapi_sqlite: CreateFromConnection: not an SQLite connection");
  auto d = std::make_shared<TDBASQLiteDialect>();
  d->FDbFile = AConn->Options().database;
  d->AttachConnection(AConn, ATrans);
  return d;
}

void TDBASQLiteDialect::Connect() {
  if (FConnected) return;
  if (!FConnection) throw sql::SqlError("dbapi_sqlite: no connection attached");
  // Opening applies the busy time-out and the three PRAGMAs on the raw handle before any
  // statement of this dialect runs (ov_sqlconn_sqlite).
  if (FOwnsConnection) FConnection->Open();
  FConnected = true;

  std::string text;
  switch (ReadVersion("SELECT sqlite_version()", text)) {
    case VersionRead::Row: FServerFlavor = "SQLite " + text; break;
    case VersionRead::NoRow: FServerFlavor = "SQLite (version unknown)"; break;
    case VersionRead::Failed: FServerFlavor = "SQLite (version query failed)"; break;
  }

  if (FOwnsConnection) {
    if (const auto* sc = dynamic_cast<const sql::SqliteConnection*>(FConnection);
        sc && !sc->SetupProblems().empty())
      FHooks->LogWarning("dbapi_sqlite: PRAGMA setup failed: " + sc->SetupProblems());
  }
  FHooks->FireConnect(FServerFlavor);
}

std::string TDBASQLiteDialect::QuoteIdent(std::string_view AName) const {
  std::string out;
  out.reserve(AName.size() + 2);
  out += '"';
  for (char c : AName) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
  return out;
}

std::string TDBASQLiteDialect::DateAddExpr(std::int32_t AAmount, TDBADateUnit AUnit) const {
  std::int64_t amount = AAmount;
  const char* unit = "days";
  switch (AUnit) {
    case duSecond: unit = "seconds"; break;
    case duMinute: unit = "minutes"; break;
    case duHour: unit = "hours"; break;
    case duDay: unit = "days"; break;
    case duWeek: unit = "days"; amount *= 7; break;
    case duMonth: unit = "months"; break;
    case duYear: unit = "years"; break;
    default: break;
  }
  const char* sign = amount < 0 ? "-" : "+";
  const std::int64_t mag = amount < 0 ? -amount : amount;
  return "datetime('now', '" + std::string(sign) + std::to_string(mag) + " " + unit + "')";
}

std::string TDBASQLiteDialect::SqlType(TDBAColumnType AType, std::int32_t ALength) const {
  switch (AType) {
    case dctText: return "TEXT";
    case dctVarchar: return ALength > 0 ? "VARCHAR(" + std::to_string(ALength) + ")" : "TEXT";
    case dctInteger: return "INTEGER";
    case dctBigInt: return "BIGINT";
    case dctFloat:
    case dctDouble: return "REAL";
    case dctBoolean: return "INTEGER";
    case dctBlob: return "BLOB";
    case dctDateTime: return "DATETIME";
    case dctDate: return "DATE";
    case dctTime: return "TIME";
    case dctJSON: return "TEXT";
    case dctUUID: return "CHAR(36)";
    default: return "TEXT";
  }
}

std::string TDBASQLiteDialect::UpsertStmt(std::string_view ATable, const std::vector<std::string>& AAllCols,
                                          const std::vector<std::string>& AKeyCols) const {
  const std::string cols = DBAJoinQuoted(*this, AAllCols);
  const std::string values = DBAPlaceholders(AAllCols.size());
  if (AKeyCols.empty())  // no conflict target known: the whole matched row is replaced
    return "INSERT OR REPLACE INTO " + QuoteIdent(ATable) + " (" + cols + ") VALUES (" + values + ")";
  std::string sets;
  for (const auto& c : AAllCols) {
    bool key = false;
    for (const auto& k : AKeyCols)
      if (DBASameName(c, k)) key = true;
    if (key) continue;
    if (!sets.empty()) sets += ", ";
    sets += QuoteIdent(c) + " = excluded." + QuoteIdent(c);
  }
  std::string out = "INSERT INTO " + QuoteIdent(ATable) + " (" + cols + ") VALUES (" + values + ") ON CONFLICT (" +
                    DBAJoinQuoted(*this, AKeyCols) + ")";
  return out + (sets.empty() ? " DO NOTHING" : " DO UPDATE SET " + sets);
}

std::string TDBASQLiteDialect::InsertOrIgnoreStmt(std::string_view ATable, const std::vector<std::string>& ACols) const {
  return "INSERT OR IGNORE INTO " + QuoteIdent(ATable) + " (" + DBAJoinQuoted(*this, ACols) + ") VALUES (" +
         DBAPlaceholders(ACols.size()) + ")";
}

std::int64_t TDBASQLiteDialect::GetLastInsertID() { return FConnection ? FConnection->LastInsertId() : 0; }

bool TDBASQLiteDialect::TableExists(std::string_view AName) {
  if (!FConnection) throw sql::SqlError("dbapi_sqlite: no connection attached");
  sql::Query q(*FConnection, FTransaction);
  q.SetSQL("SELECT name FROM sqlite_master WHERE type='table' AND name = :n COLLATE NOCASE");
  q.SetParam("n", sql::Value::Text(std::string(AName)));
  q.Open();
  return !q.Eof();
}

TJSON TDBASQLiteDialect::GetColumns(std::string_view ATable) {
  if (!FConnection) throw sql::SqlError("dbapi_sqlite: no connection attached");
  TJSON out = TJSON::array();
  sql::Query q(*FConnection, FTransaction);
  q.SetSQL("PRAGMA table_info(" + QuoteIdent(ATable) + ")");
  q.Open();
  const int name = q.FieldIndex("name"), type = q.FieldIndex("type"), notnull = q.FieldIndex("notnull"),
            dflt = q.FieldIndex("dflt_value"), pk = q.FieldIndex("pk");
  if (name < 0 || type < 0 || notnull < 0 || dflt < 0 || pk < 0) return out;
  for (; !q.Eof(); q.Next()) {
    TJSON col = TJSON::object();
    col["name"] = q.Field(static_cast<std::size_t>(name)).AsText();
    col["type"] = q.Field(static_cast<std::size_t>(type)).AsText();
    col["nullable"] = q.Field(static_cast<std::size_t>(notnull)).AsInt64() == 0;
    const auto& d = q.Field(static_cast<std::size_t>(dflt));
    col["default"] = d.IsNull() ? TJSON() : TJSON(d.AsText());
    col["is_pk"] = q.Field(static_cast<std::size_t>(pk)).AsInt64() >= 1;
    out.push_back(std::move(col));
  }
  return out;
}

std::string TDBASQLiteDialect::LimitOffsetClause(std::int64_t ALimit, std::int64_t AOffset) const {
  if (ALimit <= 0 && AOffset > 0) return " LIMIT -1 OFFSET " + std::to_string(AOffset);
  return TDBADialectBase::LimitOffsetClause(ALimit, AOffset);
}

}  // namespace ov
