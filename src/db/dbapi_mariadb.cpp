// MariaDB dialect of the portable SQL library.
#include "dbapi_mariadb.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <optional>

#include "dbapi_storage.h"
#include "ov_sqlconn_mariadb.h"

namespace ov {

namespace {

constexpr const char* kNoMariaDBConnection = "dbapi_mariadb: no connection attached";

bool IsIntegerType(TDBAColumnType t) { return t == dctInteger || t == dctBigInt; }

// Live data_type texts whose values InnoDB can index only by a prefix.
bool IsLobType(std::string_view live) {
  const std::string t = ToLowerAscii(live);
  return t == "text" || t == "tinytext" || t == "mediumtext" || t == "longtext" || t == "blob" || t == "tinyblob" ||
         t == "mediumblob" || t == "longblob" || t == "json";
}

// InnoDB keys hold at most 3072 bytes; utf8mb4 needs up to 4 bytes a character.  191
// characters (764 bytes) is the customary prefix; more LOB columns share about 3000 bytes.
int PrefixLength(std::size_t lob_columns) {
  const std::size_t per = 750 / std::max<std::size_t>(lob_columns, 1);
  return static_cast<int>(std::clamp<std::size_t>(per, 1, 191));
}

// Whether a declared column is stored in a type InnoDB can only index by a prefix, so that a
// unique key over it becomes a hash key (TEXT, BLOB, JSON, a VARCHAR longer than a key).
bool DeclaredAsLob(const TDBAColumnSpec& c) {
  switch (c.ColType) {
    case dctText:
    case dctBlob:
    case dctJSON: return true;
    case dctVarchar: return c.Length * 4 > 3072;
    default: return false;
  }
}

// A name for the lookup index beside a unique key: "<key>_lookup", within MariaDB's 64
// characters (a longer one keeps its start and ends with a hash of the whole).
std::string LookupIndexName(const std::string& key) {
  std::string name = key + "_lookup";
  if (name.size() <= 64) return name;
  std::uint32_t h = 2166136261u;  // FNV-1a
  for (unsigned char ch : name) h = (h ^ ch) * 16777619u;
  char tail[10];
  std::snprintf(tail, sizeof tail, "_%08x", h);
  return name.substr(0, 64 - 9) + tail;
}

}  // namespace

std::shared_ptr<TDBAMariaDBDialect> TDBAMariaDBDialect::CreateOwned(const std::string& AHost, std::int32_t APort,
                                                                    const std::string& ADatabase,
                                                                    const std::string& AUserName,
                                                                    const std::string& APassword, bool AUseSSL) {
  auto d = std::make_shared<TDBAMariaDBDialect>();
  d->AttachOwned(sql::CreateMariaDBConnection, AHost, APort, ADatabase, AUserName, APassword, AUseSSL);
  return d;
}

std::shared_ptr<TDBAMariaDBDialect> TDBAMariaDBDialect::CreateFromConnection(sql::Connection* AConn,
                                                                             sql::Transaction* ATrans) {
  DBACheckBorrowed(AConn, sql::Backend::MariaDB, "dbapi_mariadb", "a MariaDB");
  auto d = std::make_shared<TDBAMariaDBDialect>();
  d->AttachBorrowed(AConn, ATrans);
  return d;
}

void TDBAMariaDBDialect::Connect() {
  static constexpr TServerNaming kNaming{
      kNoMariaDBConnection, "SELECT VERSION()",
      [](const std::string& v) { return (v.find("MariaDB") != std::string::npos ? "MariaDB " : "MySQL ") + v; },
      "MySQL-compatible (version unknown)", "MySQL-compatible (version query failed)"};
  if (OpenAndNameServer(kNaming)) FHooks->FireConnect(FServerFlavor);
}

std::string TDBAMariaDBDialect::QuoteIdent(std::string_view AName) const { return DBAQuoteName(AName, '`'); }

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
  std::string out = DBAInsertStmt(*this, "INSERT INTO", ATable, AAllCols);
  const std::string sets = DBAUpdateSets(*this, AAllCols, AKeyCols, "VALUES(", ")");
  if (!sets.empty()) out += " ON DUPLICATE KEY UPDATE " + sets;
  return out;
}

std::string TDBAMariaDBDialect::InsertOrIgnoreStmt(std::string_view ATable, const std::vector<std::string>& ACols) const {
  return DBAInsertStmt(*this, "INSERT IGNORE INTO", ATable, ACols);
}

bool TDBAMariaDBDialect::IsDataChangingVerb(const std::string& AVerb) const {
  return AVerb == "INSERT" || AVerb == "REPLACE" || AVerb == "UPDATE" || AVerb == "DELETE";
}

bool TDBAMariaDBDialect::TableExists(std::string_view AName) {
  const auto q = OpenCatalogQuery(
      kNoMariaDBConnection,
      "SELECT table_name FROM information_schema.tables WHERE table_schema = DATABASE() AND table_name = :n",
      std::string(AName));
  return !q->Eof();
}

std::vector<std::string> TDBAMariaDBDialect::ListTables() {
  return CatalogNames(kNoMariaDBConnection, "SELECT table_name FROM information_schema.tables WHERE table_schema = DATABASE() ORDER BY table_name");
}

TJSON TDBAMariaDBDialect::GetColumns(std::string_view ATable) {
  const auto q = OpenCatalogQuery(
      kNoMariaDBConnection,
      "SELECT column_name, data_type, is_nullable, column_default, column_key FROM information_schema.columns "
      "WHERE table_schema = DATABASE() AND table_name = :n ORDER BY ordinal_position",
      std::string(ATable));
  TJSON out = TJSON::array();
  for (; !q->Eof(); q->Next()) {
    // MariaDB spells "no default" of a nullable column as the bare word NULL (a string
    // default is quoted); MySQL answers SQL NULL.  Both mean no default.
    const auto& d = q->Field(3);
    out.push_back(DBAColumnInfo(q->Field(0).AsText(), q->Field(1).AsText(), DBASameName(q->Field(2).AsText(), "YES"),
                                d.IsNull() || d.AsText() == "NULL" ? TJSON() : TJSON(d.AsText()),
                                DBASameName(q->Field(4).AsText(), "PRI")));
  }
  return out;
}

std::string TDBAMariaDBDialect::LimitOffsetClause(std::int64_t ALimit, std::int64_t AOffset) const {
  // MariaDB has no OFFSET without LIMIT; the largest row count stands for "no limit".
  if (ALimit <= 0 && AOffset > 0) return " LIMIT 18446744073709551615 OFFSET " + std::to_string(AOffset);
  return TDBADialectBase::LimitOffsetClause(ALimit, AOffset);
}

void TDBAMariaDBDialect::AdaptTableSpec(TDBATableSpec& ASpec) {
  // A unique key over a TEXT column is enforced through a hash of the value, and the optimizer
  // never looks a row up by that hash: every lookup by name or GUID would read the whole table.
  // A plain index over the same columns (prefixes of the TEXT ones) finds the row.
  std::vector<TDBAIndexSpec> lookups;
  const auto lob = [&](const std::string& name) {
    for (const auto& c : ASpec.Columns)
      if (DBASameName(c.Name, name)) return DeclaredAsLob(c);
    return false;
  };
  const auto add_lookup = [&](const std::string& key, const std::vector<std::string>& cols) {
    if (std::any_of(cols.begin(), cols.end(), lob)) lookups.push_back(MakeIndex(LookupIndexName(key), cols));
  };
  for (const auto& c : ASpec.Columns)
    if (c.Unique && !c.PrimaryKey) add_lookup("idx_" + ASpec.Name + "_" + c.Name, {c.Name});
  for (const auto& i : ASpec.Indexes)
    if (i.Unique) add_lookup(i.Name, i.Columns);
  for (const auto& u : ASpec.UniqueConstraints)
    if (!u.Name.empty()) add_lookup(u.Name, u.Columns);
  ASpec.Indexes.insert(ASpec.Indexes.end(), lookups.begin(), lookups.end());

  std::map<std::string, TJSON> live;  // referenced table (lower case) -> its live columns
  for (auto& c : ASpec.Columns) {
    const TDBAForeignKey& fk = c.ForeignKey;
    if (fk.RefTable.empty() || !IsIntegerType(c.ColType)) continue;
    std::optional<TDBAColumnType> ref;
    if (DBASameName(fk.RefTable, ASpec.Name)) {
      for (const auto& r : ASpec.Columns)
        if (DBASameName(r.Name, fk.RefColumn) && IsIntegerType(r.ColType)) ref = r.ColType;
    } else {
      const std::string key = ToLowerAscii(fk.RefTable);
      auto it = live.find(key);
      if (it == live.end()) it = live.emplace(key, GetColumns(fk.RefTable)).first;
      if (const TJSON* r = FindLiveColumn(it->second, fk.RefColumn)) {
        const std::string t = ToLowerAscii(r->value("type", std::string()));
        if (t == "bigint") ref = dctBigInt;
        else if (t == "int") ref = dctInteger;
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
      if (const TJSON* r = FindLiveColumn(cols, ASpec.Columns[i]); r && IsLobType(r->value("type", std::string()))) {
        lob[i] = true;
        ++lobs;
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
