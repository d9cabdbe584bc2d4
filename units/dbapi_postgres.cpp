// PostgreSQL dialect of the portable SQL library.
#include "dbapi_postgres.h"

#include "ov_sqlconn_pg.h"

namespace ov {

namespace {

std::string LowerAscii(std::string_view v) {
  std::string s(v);
  for (auto& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

bool IsDataChanging(const std::string& verb) {
  return verb == "INSERT" || verb == "UPDATE" || verb == "DELETE" || verb == "MERGE";
}

// The key columns come from pg_index through to_regclass, which answers NULL for a missing
// table (a ::regclass cast raises), and quote_ident, so that a name needing quotes resolves.
constexpr const char* kColumnsSQL =
    "SELECT c.column_name, c.data_type, c.is_nullable, c.column_default,        "
    "COALESCE(pk.is_pk, false) AS is_pk FROM information_schema.columns c LEFT JOIN (   "
    "SELECT a.attname AS col, true AS is_pk   FROM pg_index i   "
    "JOIN pg_attribute a ON a.attrelid = i.indrelid AND a.attnum = ANY(i.indkey)   "
    "WHERE i.indrelid = to_regclass(quote_ident(current_schema())||'.'||quote_ident(:n)) AND i.indisprimary ) pk "
    "ON pk.col = c.column_name WHERE c.table_schema = current_schema() AND c.table_name = :n "
    "ORDER BY c.ordinal_position";

}  // namespace

std::shared_ptr<TDBAPostgresDialect> TDBAPostgresDialect::CreateOwned(const std::string& AHost, std::int32_t APort,
                                                                      const std::string& ADatabase,
                                                                      const std::string& AUserName,
                                                                      const std::string& APassword, bool AUseSSL) {
  auto d = std::make_shared<TDBAPostgresDialect>();
  d->FHost = AHost;
  d->FPort = APort;
  d->FDatabase = ADatabase;
  d->FUserName = AUserName;
  d->FPassword = APassword;
  d->FUseSSL = AUseSSL;
  sql::ConnectOptions o;
  o.host = AHost;
  o.port = APort > 0 ? APort : 0;
  o.database = ADatabase;
  o.user = AUserName;
  o.password = APassword;
  o.charset = "UTF8";
  o.use_ssl = AUseSSL;  // sslmode=require
  d->AttachConnection(sql::CreatePostgresConnection(std::move(o)));
  return d;
}

std::shared_ptr<TDBAPostgresDialect> TDBAPostgresDialect::CreateFromConnection(sql::Connection* AConn,
                                                                               sql::Transaction* ATrans) {
  if (!AConn) throw sql::SqlError("dbapi_postgres: CreateFromConnection: AConn is nil");
  if (AConn->Kind() != sql::Backend::Postgres)
    throw sql::SqlError("dbapi_postgres: CreateFromConnection: not a PostgreSQL connection");
  auto d = std::make_shared<TDBAPostgresDialect>();
  d->FHost = AConn->Options().host;
  d->FPort = AConn->Options().port;
  d->FDatabase = AConn->Options().database;
  d->FUserName = AConn->Options().user;
  d->AttachConnection(AConn, ATrans);
  return d;
}

void TDBAPostgresDialect::Connect() {
  if (FConnected) return;
  if (!FConnection) throw sql::SqlError("dbapi_postgres: no connection attached");
  if (FOwnsConnection) FConnection->Open();
  FConnected = true;

  std::string text;
  switch (ReadVersion("SELECT version()", text)) {
    case VersionRead::Row: FServerFlavor = text; break;
    case VersionRead::NoRow: FServerFlavor = "PostgreSQL (version unknown)"; break;
    case VersionRead::Failed: FServerFlavor = "PostgreSQL (version query failed)"; break;
  }
  FHooks->FireConnect(FServerFlavor);
}

std::string TDBAPostgresDialect::QuoteIdent(std::string_view AName) const {
  std::string out;
  out.reserve(AName.size() + 2);
  out += '"';
  for (char c : AName) {
    if (c == '"') out += '"';
    out += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  }
  out += '"';
  return out;
}

std::string TDBAPostgresDialect::DateAddExpr(std::int32_t AAmount, TDBADateUnit AUnit) const {
  const char* unit = "days";
  switch (AUnit) {
    case duSecond: unit = "seconds"; break;
    case duMinute: unit = "minutes"; break;
    case duHour: unit = "hours"; break;
    case duDay: unit = "days"; break;
    case duWeek: unit = "weeks"; break;
    case duMonth: unit = "months"; break;
    case duYear: unit = "years"; break;
    default: break;
  }
  return "NOW() + INTERVAL '" + std::to_string(AAmount) + " " + unit + "'";
}

std::string TDBAPostgresDialect::AutoIncPrimaryKey(TDBAColumnType AType) const {
  return AType == dctInteger ? "SERIAL PRIMARY KEY" : "BIGSERIAL PRIMARY KEY";
}

std::string TDBAPostgresDialect::SqlType(TDBAColumnType AType, std::int32_t ALength) const {
  switch (AType) {
    case dctText: return "TEXT";
    case dctVarchar: return ALength > 0 ? "VARCHAR(" + std::to_string(ALength) + ")" : "TEXT";
    case dctInteger: return "INTEGER";
    case dctBigInt: return "BIGINT";
    case dctFloat: return "REAL";
    case dctDouble: return "DOUBLE PRECISION";
    case dctBoolean: return "BOOLEAN";
    case dctBlob: return "BYTEA";
    case dctDateTime: return "TIMESTAMP";
    case dctDate: return "DATE";
    case dctTime: return "TIME";
    case dctJSON: return "JSONB";
    case dctUUID: return "UUID";
    default: return "TEXT";
  }
}

std::string TDBAPostgresDialect::UpsertStmt(std::string_view ATable, const std::vector<std::string>& AAllCols,
                                            const std::vector<std::string>& AKeyCols) const {
  std::string out = "INSERT INTO " + QuoteIdent(ATable) + " (" + DBAJoinQuoted(*this, AAllCols) + ") VALUES (" +
                    DBAPlaceholders(AAllCols.size()) + ")";
  if (AKeyCols.empty()) return out;
  std::string sets;
  for (const auto& c : AAllCols) {
    bool key = false;
    for (const auto& k : AKeyCols)
      if (DBASameName(c, k)) key = true;
    if (key) continue;
    if (!sets.empty()) sets += ", ";
    sets += QuoteIdent(c) + " = EXCLUDED." + QuoteIdent(c);
  }
  out += " ON CONFLICT (" + DBAJoinQuoted(*this, AKeyCols) + ")";
  return out + (sets.empty() ? " DO NOTHING" : " DO UPDATE SET " + sets);
}

std::string TDBAPostgresDialect::CollationClause(bool ACaseInsensitive) const {
  if (ACaseInsensitive)
    FHooks->LogWarning(
        "dbapi_postgres: case-insensitive collation not configured \xE2\x80\x94 use CITEXT extension or LOWER() in "
        "queries");
  return {};
}

TJSON TDBAPostgresDialect::QuerySQL(std::string_view ASQL, const TJSON& AParams) {
  TJSON rows = TDBADialectBase::QuerySQL(ASQL, AParams);
  if (FOwnsConnection && !FExplicitBatch && FTransaction && FTransaction->Active() &&
      IsDataChanging(sql::ScanNamedParams(ASQL, sql::Backend::Postgres).verb)) {
    try {
      FTransaction->CommitRetaining();
    } catch (...) {
      RollbackAfterFailure();
      throw;
    }
  }
  return rows;
}

std::int64_t TDBAPostgresDialect::GetLastInsertID() { return FConnection ? FConnection->LastInsertId() : 0; }

bool TDBAPostgresDialect::TableExists(std::string_view AName) {
  if (!FConnection) throw sql::SqlError("dbapi_postgres: no connection attached");
  sql::Query q(*FConnection, FTransaction);
  q.SetSQL(
      "SELECT table_name FROM information_schema.tables WHERE table_schema = current_schema() AND table_name = :n");
  q.SetParam("n", sql::Value::Text(LowerAscii(AName)));
  try {
    q.Open();
  } catch (...) {
    RollbackAfterFailure();
    throw;
  }
  return !q.Eof();
}

TJSON TDBAPostgresDialect::GetColumns(std::string_view ATable) {
  if (!FConnection) throw sql::SqlError("dbapi_postgres: no connection attached");
  TJSON out = TJSON::array();
  sql::Query q(*FConnection, FTransaction);
  q.SetSQL(kColumnsSQL);
  q.SetParam("n", sql::Value::Text(LowerAscii(ATable)));
  try {
    q.Open();
  } catch (...) {
    RollbackAfterFailure();
    throw;
  }
  for (; !q.Eof(); q.Next()) {
    TJSON col = TJSON::object();
    col["name"] = q.Field(0).AsText();
    col["type"] = q.Field(1).AsText();
    col["nullable"] = DBASameName(q.Field(2).AsText(), "YES");
    const auto& d = q.Field(3);
    col["default"] = d.IsNull() ? TJSON() : TJSON(d.AsText());
    col["is_pk"] = q.Field(4).AsBool();
    out.push_back(std::move(col));
  }
  return out;
}

}  // namespace ov
