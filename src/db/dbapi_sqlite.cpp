// SQLite dialect of the portable SQL library.
#include "dbapi_sqlite.h"

#include <cstdlib>

#include "ov_sqlconn_sqlite.h"

namespace ov {

namespace {
constexpr const char* kNoSQLiteConnection = "dbapi_sqlite: no connection attached";
}  // namespace

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
  DBACheckBorrowed(AConn, sql::Backend::SQLite, "dbapi_sqlite", "an SQLite");
  auto d = std::make_shared<TDBASQLiteDialect>();
  d->FDbFile = AConn->Options().database;
  d->AttachConnection(AConn, ATrans);
  return d;
}

void TDBASQLiteDialect::Connect() {
  static constexpr TServerNaming kNaming{kNoSQLiteConnection, "SELECT sqlite_version()",
                                         [](const std::string& v) { return "SQLite " + v; },
                                         "SQLite (version unknown)", "SQLite (version query failed)"};
  // Opening applies the busy time-out and the three PRAGMAs on the raw handle before any
  // statement of this dialect runs (ov_sqlconn_sqlite).
  if (!OpenAndNameServer(kNaming)) return;
  if (FOwnsConnection) {
    if (const auto* sc = dynamic_cast<const sql::SqliteConnection*>(FConnection);
        sc && !sc->SetupProblems().empty())
      FHooks->LogWarning("dbapi_sqlite: PRAGMA setup failed: " + sc->SetupProblems());
  }
  FHooks->FireConnect(FServerFlavor);
}

std::string TDBASQLiteDialect::QuoteIdent(std::string_view AName) const { return DBAQuoteName(AName, '"'); }

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
  if (AKeyCols.empty())  // no conflict target known: the whole matched row is replaced
    return DBAInsertStmt(*this, "INSERT OR REPLACE INTO", ATable, AAllCols);
  return OnConflictUpsert(ATable, AAllCols, AKeyCols, "excluded.");
}

std::string TDBASQLiteDialect::InsertOrIgnoreStmt(std::string_view ATable, const std::vector<std::string>& ACols) const {
  return DBAInsertStmt(*this, "INSERT OR IGNORE INTO", ATable, ACols);
}

bool TDBASQLiteDialect::TableExists(std::string_view AName) {
  const auto q = OpenCatalogQuery(
      kNoSQLiteConnection, "SELECT name FROM sqlite_master WHERE type='table' AND name = :n COLLATE NOCASE", std::string(AName));
  return !q->Eof();
}

std::vector<std::string> TDBASQLiteDialect::ListTables() {
  return CatalogNames(kNoSQLiteConnection, "SELECT name FROM sqlite_master WHERE type='table' ORDER BY name");
}

TJSON TDBASQLiteDialect::GetColumns(std::string_view ATable) {
  const auto q = OpenCatalogQuery(kNoSQLiteConnection, "PRAGMA table_info(" + QuoteIdent(ATable) + ")", {});
  TJSON out = TJSON::array();
  const auto field = [&q](int AIndex) -> const sql::Value& { return q->Field(static_cast<std::size_t>(AIndex)); };
  const int name = q->FieldIndex("name"), type = q->FieldIndex("type"), notnull = q->FieldIndex("notnull"),
            dflt = q->FieldIndex("dflt_value"), pk = q->FieldIndex("pk");
  if (name < 0 || type < 0 || notnull < 0 || dflt < 0 || pk < 0) return out;
  for (; !q->Eof(); q->Next()) {
    const auto& d = field(dflt);
    out.push_back(DBAColumnInfo(field(name).AsText(), field(type).AsText(), field(notnull).AsInt64() == 0,
                                d.IsNull() ? TJSON() : TJSON(d.AsText()), field(pk).AsInt64() >= 1));
  }
  return out;
}

std::string TDBASQLiteDialect::LimitOffsetClause(std::int64_t ALimit, std::int64_t AOffset) const {
  if (ALimit <= 0 && AOffset > 0) return " LIMIT -1 OFFSET " + std::to_string(AOffset);
  return TDBADialectBase::LimitOffsetClause(ALimit, AOffset);
}

}  // namespace ov
