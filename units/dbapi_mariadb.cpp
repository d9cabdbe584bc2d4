// MariaDB dialect of the portable SQL library.
#include "dbapi_mariadb.h"

#include <algorithm>
#include <map>
#include <optional>

#include "ov_sqlconn_mariadb.h"

namespace ov {

namespace {

std::string LowerAscii(std::string_view v) {
  std::string s(v);
  for (auto& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

bool IsDataChanging(const std::string& verb) {
  return verb == "INSERT" || verb == "REPLACE" || verb == "UPDATE" || verb == "DELETE";
}

bool IsIntegerType(TDBAColumnType t) { return t == dctInteger || t == dctBigInt; }

// Live data_type texts whose values InnoDB can index only by a prefix.
bool IsLobType(std::string_view live) {
  const std::string t = LowerAscii(live);
  return t == "text" || t == "tinytext" || t == "mediumtext" || t == "longtext" || t == "blob" || t == "tinyblob" ||
         t == "mediumblob" || t == "longblob" || t == "json";
}

// InnoDB keys hold at most 3072 bytes; utf8mb4 needs up to 4 bytes a character.  191
// characters (764 bytes) is the customary prefix; more LOB columns share about 3000 bytes.
int PrefixLength(std::size_t lob_columns) {
  const std::size_t per = 750 / std::max<std::size_t>(lob_columns, 1);
  return static_cast<int>(std::clamp<std::size_t>(per, 1, 191));
}

}  // namespace

std::shared_ptr<TDBAMariaDBDialect> TDBAMariaDBDialect::CreateOwned(const std::string& AHost, std::int32_t APort,
                                                                    const std::string& ADatabase,
                                                                    const std::string& AUserName,
                                                                    const std::string& APassword, bool AUseSSL) {
  auto d = std::make_shared<TDBAMariaDBDialect>();
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
  o.charset = "utf8mb4";
  o.use_ssl = AUseSSL;  // TLS enforced
  d->AttachConnection(sql::CreateMariaDBConnection(std::move(o)));
  return d;
}

std::shared_ptr<TDBAMariaDBDialect> TDBAMariaDBDialect::CreateFromConnection(sql::Connection* AConn,
                                                                             sql::Transaction* ATrans) {
  if (!AConn) throw sql::SqlError("dbapi_mariadb: CreateFromConnection: AConn is nil");
  if (AConn->Kind() != sql::Backend::MariaDB)
    throw sql::SqlError("dbapi_mariadb: CreateFromConnection: not a MariaDB connection");
  auto d = std::make_shared<TDBAMariaDBDialect>();
  d->FHost = AConn->Options().host;
  d->FPort = AConn->Options().port;
  d->FDatabase = AConn->Options().database;
  d->FUserName = AConn->Options().user;
  d->AttachConnection(AConn, ATrans);
  return d;
}

void TDBAMariaDBDialect::Connect() {
  if (FConnected) return;
  if (!FConnection) throw sql::SqlError("dbapi_mariadb: no connection attached");
  if (FOwnsConnection) FConnection->Open();
  FConnected = true;

  std::string text;
  switch (ReadVersion("SELECT VERSION()", text)) {
    case VersionRead::Row:
      FServerFlavor = (text.find("MariaDB") != std::string::npos ? "MariaDB " : "MySQL ") + text;
      break;
    case VersionRead::NoRow: FServerFlavor = "MySQL-compatible (version unknown)"; break;
    case VersionRead::Failed: FServerFlavor = "MySQL-compatible (version query failed)"; break;
  }
  FHooks->FireConnect(FServerFlavor);
}

std::string TDBAMariaDBDialect::QuoteIdent(std::string_view AName) const {
  std::string out;
  out.reserve(AName.size() + 2);
  out += '`';
  for (char c : AName) {
    if (c == '`') out += '`';
    out += c;
  }
  out += '`';
  return out;
}

std::string TDBAMariaDBDialect::DateAddExpr(std::int32_t AAmount, TDBADateUnit AUnit) const {
  const char* unit = "DAY";
  switch (AUnit) {
    case duSecond: unit = "SECOND"; break;
    case duMinute: unit = "MINUTE"; break;
    case duHour: unit = "HOUR"; break;
    case duDay: unit = "DAY"; break;
    case duWeek: unit = "WEEK"; break;
    case duMonth: unit = "MONTH"; break;
    case duYear: unit = "YEAR"; break;
    default: break;
  }
  return "DATE_ADD(NOW(), INTERVAL " + std::to_string(AAmount) + " " + unit + ")";
}

std::string TDBAMariaDBDialect::AutoIncPrimaryKey(TDBAColumnType AType) const {
  return AType == dctInteger ? "INT PRIMARY KEY AUTO_INCREMENT" : "BIGINT PRIMARY KEY AUTO_INCREMENT";
}

std::string TDBAMariaDBDialect::SqlType(TDBAColumnType AType, std::int32_t ALength) const {
  switch (AType) {
    case dctText: return "TEXT";
    case dctVarchar: return ALength > 0 ? "VARCHAR(" + std::to_string(ALength) + ")" : "VARCHAR(255)";
    case dctInteger: return "INT";
    case dctBigInt: return "BIGINT";
    case dctFloat: return "FLOAT";
    case dctDouble: return "DOUBLE";
    case dctBoolean: return "TINYINT(1)";
    case dctBlob: return "LONGBLOB";
    case dctDateTime: return "DATETIME";
    case dctDate: return "DATE";
    case dctTime: return "TIME";
    case dctJSON: return "JSON";
    case dctUUID: return "CHAR(36)";
    default: return "TEXT";
  }
}

std::string TDBAMariaDBDialect::UpsertStmt(std::string_view ATable, const std::vector<std::string>& AAllCols,
                                           const std::vector<std::string>& AKeyCols) const {
  std::string out = "INSERT INTO " + QuoteIdent(ATable) + " (" + DBAJoinQuoted(*this, AAllCols) + ") VALUES (" +
                    DBAPlaceholders(AAllCols.size()) + ")";
  std::string sets;
  for (const auto& c : AAllCols) {
    bool key = false;
    for (const auto& k : AKeyCols)
      if (DBASameName(c, k)) key = true;
    if (key) continue;
    if (!sets.empty()) sets += ", ";
    sets += QuoteIdent(c) + " = VALUES(" + QuoteIdent(c) + ")";
  }
  if (!sets.empty()) out += " ON DUPLICATE KEY UPDATE " + sets;
  return out;
}

std::string TDBAMariaDBDialect::InsertOrIgnoreStmt(std::string_view ATable, const std::vector<std::string>& ACols) const {
  return "INSERT IGNORE INTO " + QuoteIdent(ATable) + " (" + DBAJoinQuoted(*this, ACols) + ") VALUES (" +
         DBAPlaceholders(ACols.size()) + ")";
}

TJSON TDBAMariaDBDialect::QuerySQL(std::string_view ASQL, const TJSON& AParams) {
  TJSON rows = TDBADialectBase::QuerySQL(ASQL, AParams);
  if (FOwnsConnection && !FExplicitBatch && FTransaction && FTransaction->Active() &&
      IsDataChanging(sql::ScanNamedParams(ASQL, sql::Backend::MariaDB).verb)) {
    try {
      FTransaction->CommitRetaining();
    } catch (...) {
      RollbackAfterFailure();
      throw;
    }
  }
  return rows;
}

std::int64_t TDBAMariaDBDialect::GetLastInsertID() { return FConnection ? FConnection->LastInsertId() : 0; }

bool TDBAMariaDBDialect::TableExists(std::string_view AName) {
  if (!FConnection) throw sql::SqlError("dbapi_mariadb: no connection attached");
  sql::Query q(*FConnection, FTransaction);
  q.SetSQL("SELECT table_name FROM information_schema.tables WHERE table_schema = DATABASE() AND table_name = :n");
  q.SetParam("n", sql::Value::Text(std::string(AName)));
  q.Open();
  return !q.Eof();
}

TJSON TDBAMariaDBDialect::GetColumns(std::string_view ATable) {
  if (!FConnection) throw sql::SqlError("dbapi_mariadb: no connection attached");
  TJSON out = TJSON::array();
  sql::Query q(*FConnection, FTransaction);
  q.SetSQL(
      "SELECT column_name, data_type, is_nullable, column_default, column_key FROM information_schema.columns "
      "WHERE table_schema = DATABASE() AND table_name = :n ORDER BY ordinal_position");
  q.SetParam("n", sql::Value::Text(std::string(ATable)));
  q.Open();
  for (; !q.Eof(); q.Next()) {
    TJSON col = TJSON::object();
    col["name"] = q.Field(0).AsText();
    col["type"] = q.Field(1).AsText();
    col["nullable"] = DBASameName(q.Field(2).AsText(), "YES");
    // MariaDB spells "no default" of a nullable column as the bare word NULL (a string
    // default is quoted); MySQL answers SQL NULL.  Both mean no default.
    const auto& d = q.Field(3);
    col["default"] = d.IsNull() || d.AsText() == "NULL" ? TJSON() : TJSON(d.AsText());
    col["is_pk"] = DBASameName(q.Field(4).AsText(), "PRI");
    out.push_back(std::move(col));
  }
  return out;
}

std::string TDBAMariaDBDialect::LimitOffsetClause(std::int64_t ALimit, std::int64_t AOffset) const {
  // MariaDB has no OFFSET without LIMIT; the largest row count stands for "no limit".
  if (ALimit <= 0 && AOffset > 0) return " LIMIT 18446744073709551615 OFFSET " + std::to_string(AOffset);
  return TDBADialectBase::LimitOffsetClause(ALimit, AOffset);
}

void TDBAMariaDBDialect::AdaptTableSpec(TDBATableSpec& ASpec) {
  std::map<std::string, TJSON> live;  // referenced table (lower case) -> its live columns
  for (auto& c : ASpec.Columns) {
    const TDBAForeignKey& fk = c.ForeignKey;
    if (fk.RefTable.empty() || !IsIntegerType(c.ColType)) continue;
    std::optional<TDBAColumnType> ref;
    if (DBASameName(fk.RefTable, ASpec.Name)) {
      for (const auto& r : ASpec.Columns)
        if (DBASameName(r.Name, fk.RefColumn) && IsIntegerType(r.ColType)) ref = r.ColType;
    } else {
      const std::string key = LowerAscii(fk.RefTable);
      auto it = live.find(key);
      if (it == live.end()) it = live.emplace(key, GetColumns(fk.RefTable)).first;
      for (const auto& r : it->second) {
        if (!r.is_object() || !r.contains("name") || !DBASameName(r["name"].get<std::string>(), fk.RefColumn))
          continue;
        const std::string t = LowerAscii(r.value("type", std::string()));
        if (t == "bigint") ref = dctBigInt;
        else if (t == "int") ref = dctInteger;
        break;
      }
    }
    if (ref) c.ColType = *ref;
  }
}

std::string TDBAMariaDBDialect::CreateIndexSQL(std::string_view ATable, const TDBAIndexSpec& ASpec) {
  std::vector<bool> lob(ASpec.Columns.size(), false);
  std::size_t lobs = 0;
  if (!ASpec.Unique) {
    const TJSON cols = GetColumns(ATable);
    for (std::size_t i = 0; i < ASpec.Columns.size(); ++i)
      for (const auto& r : cols)
        if (r.is_object() && DBASameName(r.value("name", std::string()), ASpec.Columns[i])) {
          lob[i] = IsLobType(r.value("type", std::string()));
          if (lob[i]) ++lobs;
          break;
        }
  }
  const std::string prefix = "(" + std::to_string(PrefixLength(lobs)) + ")";
  std::string list;
  for (std::size_t i = 0; i < ASpec.Columns.size(); ++i) {
    if (i) list += ", ";
    list += QuoteIdent(ASpec.Columns[i]);
    if (lob[i]) list += prefix;
  }
  return std::string("CREATE ") + (ASpec.Unique ? "UNIQUE " : "") + "INDEX IF NOT EXISTS " + QuoteIdent(ASpec.Name) +
         " ON " + QuoteIdent(ATable) + " (" + list + ")";
}

}  // namespace ov
