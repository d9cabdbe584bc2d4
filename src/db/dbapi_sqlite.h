// SQLite dialect of the portable SQL library.
//
// Beside the SQL words of SQLite:
//  - The PRAGMAs (journal_mode=WAL, synchronous=NORMAL, foreign_keys=ON) and the busy
//    time-out are applied by the SQLite connection when it opens, on the raw handle, before
//    anything can start a transaction, and are read back.  A setting that did not take is
//    reported as the warning "dbapi_sqlite: PRAGMA setup failed: <what>" (the connect still
//    succeeds).  The version query runs outside the transaction.
//  - UpsertStmt with key columns writes INSERT ... ON CONFLICT (keys) DO UPDATE SET
//    c = excluded.c (DO NOTHING when every column is a key); INSERT OR REPLACE only without
//    key columns.
//  - GetLastInsertID returns the id captured on the connection when the last INSERT/REPLACE
//    statement ran (Connection::LastInsertId, from ResultSet::last_insert_id), not a fresh
//    "SELECT last_insert_rowid()": no extra query, not moved by SELECT/UPDATE/DELETE run in
//    between, and 0 when that statement inserted no row (an ignored insert, an upsert that
//    updated) instead of an older row's id.
//  - TableExists compares the name ignoring case (SQLite table names are case-insensitive).
//  - An offset without a limit is written " LIMIT -1 OFFSET n".
#pragma once

#include <memory>
#include <string>

#include "dbapi_dialect.h"

namespace ov {

class TDBASQLiteDialect : public TDBADialectBase {
 public:
  // A new, not yet connected dialect owning a new SQLite connection on ADBFile.
  static std::shared_ptr<TDBASQLiteDialect> CreateOwned(const std::string& ADBFile, int ABusyTimeoutMs = 5000);
  // Wraps an open SQLite connection as borrowed; statements run in ATrans (may be nullptr).
  static std::shared_ptr<TDBASQLiteDialect> CreateFromConnection(sql::Connection* AConn,
                                                                 sql::Transaction* ATrans = nullptr);

  TDBASQLiteDialect() = default;

  TDBABackend Backend() const override { return dbSQLite; }
  void Connect() override;
  std::string QuoteIdent(std::string_view AName) const override;
  std::string NowExpr() const override { return "datetime('now')"; }
  std::string DateAddExpr(std::int32_t AAmount, TDBADateUnit AUnit) const override;
  std::string AutoIncPrimaryKey(TDBAColumnType) const override { return "INTEGER PRIMARY KEY AUTOINCREMENT"; }
  std::string SqlType(TDBAColumnType AType, std::int32_t ALength) const override;
  std::string BooleanLiteral(bool AValue) const override { return AValue ? "1" : "0"; }
  std::string UpsertStmt(std::string_view ATable, const std::vector<std::string>& AAllCols,
                         const std::vector<std::string>& AKeyCols) const override;
  std::string CollationClause(bool ACaseInsensitive) const override {
    return ACaseInsensitive ? " COLLATE NOCASE" : std::string();
  }
  std::string InsertOrIgnoreStmt(std::string_view ATable, const std::vector<std::string>& ACols) const override;
  bool TableExists(std::string_view AName) override;
  TJSON GetColumns(std::string_view ATable) override;
  std::vector<std::string> ListTables() override;
  std::string LimitOffsetClause(std::int64_t ALimit, std::int64_t AOffset) const override;

  const std::string& DbFile() const noexcept { return FDbFile; }

 private:
  std::string FDbFile;
};

}  // namespace ov
