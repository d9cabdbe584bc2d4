// Declarative storage of the portable SQL library.
#include "dbapi_storage.h"

#include <algorithm>
#include <limits>

namespace ov {

namespace {

bool IsAutoIncKey(const TDBAColumnSpec& c) {
  return c.AutoIncrement && c.PrimaryKey && (c.ColType == dctInteger || c.ColType == dctBigInt);
}

std::string ColumnDDL(const IDBADialect& d, const TDBAColumnSpec& c, bool write_key) {
  if (IsAutoIncKey(c)) {
    const std::string key = d.AutoIncPrimaryKey(c.ColType);
    std::string out = d.QuoteIdent(c.Name) + " " + key;
    if (!c.Nullable && ToUpperAscii(key).find("NOT NULL") == std::string::npos) out += " NOT NULL";
    return out;
  }
  std::string out = d.QuoteIdent(c.Name) + " " + d.SqlType(c.ColType, c.Length) + d.CollationClause(c.CaseInsensitive);
  if (!c.Nullable) out += " NOT NULL";
  if (write_key) out += " PRIMARY KEY";
  if (!c.DefaultExpr.empty()) {
    if (c.DefaultExpr.front() == '(')
      out += " DEFAULT " + c.DefaultExpr;
    else
      out += " DEFAULT (" + c.DefaultExpr + ")";
  }
  if (c.Unique) out += " UNIQUE";
  return out;
}

[[noreturn]] void ThrowIncompatible(std::string_view table, const std::string& column, const std::string& live,
                                    TDBAColumnType declared) {
  throw EDBAIncompatibleSchema("dbapi: incompatible type change for " + std::string(table) + "." + column +
                               " \xE2\x80\x94 live=" + live + ", declared=" + std::to_string(static_cast<int>(declared)));
}

std::string LiveType(const TJSON& col) {
  const auto it = col.find("type");
  return (it != col.end() && it->is_string()) ? it->get<std::string>() : std::string();
}

void RequireObject(const TJSON& row, const char* fn) {
  if (!row.is_object()) throw std::invalid_argument(std::string("dbapi: ") + fn + ": row must be a JSON object");
}

// Runs an insert that hands its new key back as the column "id" (RETURNING id): that id, else 0.
std::int64_t QueryReturnedId(IDBADialect& d, const std::string& sql, const TJSON& params) {
  const TJSON rows = d.QuerySQL(sql, params);
  if (!rows.empty() && rows[0].is_object()) return JInt(rows[0], "id", 0);
  return 0;
}

// The plug-in contract's 32-bit row count (-1, the count after an error a hook handled, stays).
std::int32_t StoreRowCount(std::int64_t affected) {
  return static_cast<std::int32_t>(std::min<std::int64_t>(affected, std::numeric_limits<std::int32_t>::max()));
}

}  // namespace

std::string RenderColumnDDL(const IDBADialect& ADialect, const TDBAColumnSpec& ASpec) {
  return ColumnDDL(ADialect, ASpec, ASpec.PrimaryKey);
}

std::string RenderForeignKeyDDL(const IDBADialect& ADialect, const TDBAColumnSpec& ASpec) {
  if (ASpec.ForeignKey.RefTable.empty()) return {};
  std::string out = "FOREIGN KEY (" + ADialect.QuoteIdent(ASpec.Name) + ") REFERENCES " +
                    ADialect.QuoteIdent(ASpec.ForeignKey.RefTable) + "(" +
                    ADialect.QuoteIdent(ASpec.ForeignKey.RefColumn) + ")";
  const std::string action = ADialect.OnDeleteAction(ASpec.ForeignKey.OnDelete);
  if (!action.empty()) out += " ON DELETE " + action;
  return out;
}

std::string RenderUniqueConstraintDDL(const IDBADialect& ADialect, const TDBAUniqueConstraint& ASpec) {
  const std::string cols = "UNIQUE (" + DBAJoinQuoted(ADialect, ASpec.Columns) + ")";
  return ASpec.Name.empty() ? cols : "CONSTRAINT " + ADialect.QuoteIdent(ASpec.Name) + " " + cols;
}

std::string BuildCreateTable(const IDBADialect& ADialect, const TDBATableSpec& ASpec) {
  // Which columns form the key: the PrimaryKeyColumns list when given, else the flagged ones.
  std::vector<std::string> key = ASpec.PrimaryKeyColumns;
  if (key.empty())
    for (const auto& c : ASpec.Columns)
      if (c.PrimaryKey && !IsAutoIncKey(c)) key.push_back(c.Name);
  const bool single_known = key.size() == 1 && [&] {
    for (const auto& c : ASpec.Columns)
      if (DBASameName(c.Name, key[0])) return true;
    return false;
  }();

  std::string parts;
  for (const auto& c : ASpec.Columns) {
    const bool write_key = single_known && DBASameName(c.Name, key[0]) && !IsAutoIncKey(c);
    if (!parts.empty()) parts += ", ";
    parts += ColumnDDL(ADialect, c, write_key);
  }
  if (key.size() >= 2 || (key.size() == 1 && !single_known))
    parts += ", PRIMARY KEY (" + DBAJoinQuoted(ADialect, key) + ")";
  for (const auto& u : ASpec.UniqueConstraints) parts += ", " + RenderUniqueConstraintDDL(ADialect, u);
  for (const auto& c : ASpec.Columns) {
    const std::string fk = RenderForeignKeyDDL(ADialect, c);
    if (!fk.empty()) parts += ", " + fk;
  }
  return "CREATE TABLE " + ADialect.QuoteIdent(ASpec.Name) + " (" + parts + ")";
}

std::string BuildCreateIndex(const IDBADialect& ADialect, std::string_view ATable, const TDBAIndexSpec& ASpec) {
  return std::string("CREATE ") + (ASpec.Unique ? "UNIQUE " : "") + "INDEX IF NOT EXISTS " +
         ADialect.QuoteIdent(ASpec.Name) + " ON " + ADialect.QuoteIdent(ATable) + " (" +
         DBAJoinQuoted(ADialect, ASpec.Columns) + ")";
}

std::string BuildAddColumn(const IDBADialect& ADialect, std::string_view ATable, const TDBAColumnSpec& ASpec) {
  return "ALTER TABLE " + ADialect.QuoteIdent(ATable) + " ADD COLUMN " + RenderColumnDDL(ADialect, ASpec);
}

const TJSON* FindLiveColumn(const TJSON& ALive, std::string_view AName) {
  if (!ALive.is_array()) return nullptr;
  for (const auto& col : ALive) {
    if (!col.is_object()) continue;
    const auto it = col.find("name");
    if (it != col.end() && it->is_string() && DBASameName(it->get_ref<const std::string&>(), AName)) return &col;
  }
  return nullptr;
}

bool TypeCompatible(std::string_view ALive, TDBAColumnType ADesired, std::int32_t) {
  const std::string t = ToLowerAscii(ALive);
  auto has = [&](const char* s) { return t.find(s) != std::string::npos; };
  auto is = [&](std::initializer_list<const char*> l) {
    for (const char* s : l)
      if (t == s) return true;
    return false;
  };
  switch (ADesired) {
    case dctText:
    case dctVarchar: return has("char") || has("text");
    case dctInteger:
    case dctBigInt: return is({"int", "integer", "bigint", "smallint", "mediumint"});
    case dctFloat:
    case dctDouble: return is({"real", "float", "double", "double precision", "numeric"});
    case dctBoolean: return is({"boolean", "tinyint", "integer", "int"});
    case dctBlob: return has("blob") || t == "bytea";
    case dctDateTime: return has("timestamp") || has("datetime") || has("char") || has("text");
    case dctDate: return t == "date" || has("char") || has("text");
    case dctTime: return t == "time" || t == "time without time zone" || has("char") || has("text");
    case dctJSON: return t == "json" || t == "jsonb" || has("text");
    case dctUUID: return t == "uuid" || has("char");
    default: return false;
  }
}

bool DeclareIndex(IDBADialect& ADialect, std::string_view ATable, const TDBAIndexSpec& ASpec) {
  const std::string sql = ADialect.CreateIndexSQL(ATable, ASpec);
  ADialect.ExecSQL(sql, {});
  ADialect.Hooks().FireSchemaChange(dsckCreateIndex, std::string(ATable), "ensure index " + ASpec.Name, sql);
  return true;
}

bool DeclareColumn(IDBADialect& ADialect, std::string_view ATable, const TDBAColumnSpec& ASpec) {
  const TJSON live = ADialect.GetColumns(ATable);
  if (const TJSON* col = FindLiveColumn(live, ASpec.Name)) {
    const std::string type = LiveType(*col);
    if (!TypeCompatible(type, ASpec.ColType, ASpec.Length)) ThrowIncompatible(ATable, ASpec.Name, type, ASpec.ColType);
    return false;
  }
  const std::string sql = BuildAddColumn(ADialect, ATable, ASpec);
  ADialect.ExecSQL(sql, {});
  ADialect.Hooks().FireSchemaChange(dsckAddColumn, std::string(ATable), "added column " + ASpec.Name, sql);
  return true;
}

bool DeclareTable(IDBADialect& ADialect, const TDBATableSpec& ADeclared) {
  TDBATableSpec table = ADeclared;
  ADialect.AdaptTableSpec(table);
  if (!ADialect.TableExists(table.Name)) {
    const std::string sql = BuildCreateTable(ADialect, table);
    ADialect.ExecSQL(sql, {});
    ADialect.Hooks().FireSchemaChange(dsckCreateTable, table.Name, "table created", sql);
    for (const auto& idx : table.Indexes) DeclareIndex(ADialect, table.Name, idx);
    return true;
  }
  bool changed = false;
  {
    const TJSON live = ADialect.GetColumns(table.Name);
    for (const auto& c : table.Columns) {
      if (const TJSON* col = FindLiveColumn(live, c.Name)) {
        const std::string type = LiveType(*col);
        if (!TypeCompatible(type, c.ColType, c.Length)) ThrowIncompatible(table.Name, c.Name, type, c.ColType);
      } else if (DeclareColumn(ADialect, table.Name, c)) {
        changed = true;
      }
    }
  }
  for (const auto& idx : table.Indexes)
    if (DeclareIndex(ADialect, table.Name, idx)) changed = true;
  return changed;
}

void RowToArrays(const TJSON& ARow, std::vector<std::string>& ACols, TJSON& AParams) {
  ACols.clear();
  AParams = TJSON::array();
  if (!ARow.is_object()) return;
  ACols.reserve(ARow.size());
  for (auto it = ARow.begin(); it != ARow.end(); ++it) {
    ACols.push_back(it.key());
    AParams.push_back(it.value());
  }
}

std::int64_t StoreInsert(IDBADialect& ADialect, std::string_view ATable, const TJSON& ARow) {
  RequireObject(ARow, "StoreInsert");
  if (ARow.empty()) return 0;
  std::vector<std::string> cols;
  TJSON params;
  RowToArrays(ARow, cols, params);
  const std::string sql = DBAInsertStmt(ADialect, "INSERT INTO", ATable, cols);
  const std::string returning = ADialect.InsertReturningIdClause();
  if (!returning.empty()) return QueryReturnedId(ADialect, sql + returning, params);
  ADialect.ExecSQL(sql, params);
  return ADialect.GetLastInsertID();
}

std::int32_t StoreUpdate(IDBADialect& ADialect, std::string_view ATable, const TDBACriterion* AWhere,
                         const TJSON& ARow) {
  RequireObject(ARow, "StoreUpdate");
  if (ARow.empty()) return 0;
  std::vector<std::string> cols;
  TJSON params;
  RowToArrays(ARow, cols, params);
  std::string sets;
  for (std::size_t i = 0; i < cols.size(); ++i) {
    if (i) sets += ", ";
    sets += ADialect.QuoteIdent(cols[i]) + " = :p" + std::to_string(i + 1);
  }
  const std::string where = ADialect.WhereToSQL(AWhere, params);  // continues after the SET values
  std::string sql = "UPDATE " + ADialect.QuoteIdent(ATable) + " SET " + sets;
  if (!where.empty()) sql += " WHERE " + where;
  return StoreRowCount(ADialect.ExecSQL(sql, params));
}

std::int32_t StoreDelete(IDBADialect& ADialect, std::string_view ATable, const TDBACriterion* AWhere) {
  TJSON params = TJSON::array();
  const std::string where = ADialect.WhereToSQL(AWhere, params);
  std::string sql = "DELETE FROM " + ADialect.QuoteIdent(ATable);
  if (!where.empty()) sql += " WHERE " + where;
  return StoreRowCount(ADialect.ExecSQL(sql, params));
}

TJSON StoreSelect(IDBADialect& ADialect, const TDBASelectSpec& ASpec) {
  TJSON params = TJSON::array();
  std::string sql = "SELECT " + (ASpec.Columns.empty() ? std::string("*") : DBAJoinQuoted(ADialect, ASpec.Columns)) +
                    " FROM " + ADialect.QuoteIdent(ASpec.Table);
  const std::string where = ADialect.WhereToSQL(ASpec.Where, params);
  if (!where.empty()) sql += " WHERE " + where;
  if (!ASpec.OrderBy.empty()) {
    sql += " ORDER BY ";
    for (std::size_t i = 0; i < ASpec.OrderBy.size(); ++i) {
      if (i) sql += ", ";
      sql += ADialect.QuoteIdent(ASpec.OrderBy[i].Column) + (ASpec.OrderBy[i].Direction == dodDesc ? " DESC" : " ASC");
    }
  }
  sql += ADialect.LimitOffsetClause(ASpec.Limit, ASpec.Offset);
  return ADialect.QuerySQL(sql, params);
}

std::int64_t StoreUpsert(IDBADialect& ADialect, std::string_view ATable, const TJSON& ARow,
                         const std::vector<std::string>& AKeyCols) {
  RequireObject(ARow, "StoreUpsert");
  if (ARow.empty()) return 0;
  std::vector<std::string> cols;
  TJSON params;
  RowToArrays(ARow, cols, params);
  std::string sql = ADialect.UpsertStmt(ATable, cols, AKeyCols);
  // The row's own id, also when the upsert updated: a sequence value drawn for a conflicting
  // insert would name no row.
  const std::string returning = ADialect.InsertReturningIdClause();
  if (!returning.empty()) {
    const std::string up = ToUpperAscii(sql);
    if (up.find("RETURNING") == std::string::npos && up.find("DO NOTHING") == std::string::npos)
      return QueryReturnedId(ADialect, sql + returning, params);
  }
  ADialect.ExecSQL(sql, params);
  return ADialect.GetLastInsertID();
}

}  // namespace ov
