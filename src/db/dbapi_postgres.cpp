// PostgreSQL dialect of the portable SQL library.
#include "dbapi_postgres.h"

#include "ov_sqlconn_pg.h"

namespace ov {

namespace {

constexpr const char* kNoPostgresConnection = "dbapi_postgres: no connection attached";

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
  d->AttachOwned(sql::CreatePostgresConnection, AHost, APort, ADatabase, AUserName, APassword, AUseSSL);
  return d;
}

std::shared_ptr<TDBAPostgresDialect> TDBAPostgresDialect::CreateFromConnection(sql::Connection* AConn,
                                                                               sql::Transaction* ATrans) {
  DBACheckBorrowed(AConn, sql::Backend::Postgres, "dbapi_postgres", "a PostgreSQL");
  auto d = std::make_shared<TDBAPostgresDialect>();
  d->AttachBorrowed(AConn, ATrans);
  return d;
}

void TDBAPostgresDialect::Connect() {
  static constexpr TServerNaming kNaming{kNoPostgresConnection, "SELECT version()", [](const std::string& v) { return v; },
                                         "PostgreSQL (version unknown)", "PostgreSQL (version query failed)"};
  if (OpenAndNameServer(kNaming)) FHooks->FireConnect(FServerFlavor);
}

std::string TDBAPostgresDialect::QuoteIdent(std::string_view AName) const {
  return DBAQuoteName(AName, '"', /*ALowerCase=*/true);
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
  if (AKeyCols.empty()) return DBAInsertStmt(*this, "INSERT INTO", ATable, AAllCols);
  return OnConflictUpsert(ATable, AAllCols, AKeyCols, "EXCLUDED.");
}

std::string TDBAPostgresDialect::CollationClause(bool ACaseInsensitive) const {
  if (ACaseInsensitive)
    FHooks->LogWarning(
        "dbapi_postgres: case-insensitive collation not configured \xE2\x80\x94 use CITEXT extension or LOWER() in "
        "queries");
  return {};
}

bool TDBAPostgresDialect::IsDataChangingVerb(const std::string& AVerb) const {
  return AVerb == "INSERT" || AVerb == "UPDATE" || AVerb == "DELETE" || AVerb == "MERGE";
}

// A failed catalog query aborts the transaction it ran in: it is rolled back at once.
bool TDBAPostgresDialect::TableExists(std::string_view AName) {
  const auto q = OpenCatalogQuery(
      kNoPostgresConnection,
      "SELECT table_name FROM information_schema.tables WHERE table_schema = current_schema() AND table_name = :n",
      ToLowerAscii(AName), /*ARollBackOnFailure=*/true);
  return !q->Eof();
}

std::vector<std::string> TDBAPostgresDialect::ListTables() {
  return CatalogNames(kNoPostgresConnection, "SELECT table_name FROM information_schema.tables WHERE table_schema = current_schema() ORDER BY table_name", /*ARollBackOnFailure=*/true);
}

TJSON TDBAPostgresDialect::GetColumns(std::string_view ATable) {
  const auto q = OpenCatalogQuery(kNoPostgresConnection, kColumnsSQL, ToLowerAscii(ATable), /*ARollBackOnFailure=*/true);
  TJSON out = TJSON::array();
  for (; !q->Eof(); q->Next()) {
    const auto& d = q->Field(3);
    out.push_back(DBAColumnInfo(q->Field(0).AsText(), q->Field(1).AsText(), DBASameName(q->Field(2).AsText(), "YES"),
                                d.IsNull() ? TJSON() : TJSON(d.AsText()), q->Field(4).AsBool()));
  }
  return out;
}

}  // namespace ov
