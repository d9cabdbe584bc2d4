// MariaDB dialect of the portable SQL library (serves MariaDB and MySQL servers alike).
//
// Beside the SQL words of the server:
//  - GetLastInsertID returns the id captured on the connection when the last INSERT/REPLACE
//    ran (the statement's own insert id, 0 when it generated none), not "SELECT
//    LAST_INSERT_ID()", which keeps an older statement's id after an insert that generated
//    none (an upsert that updated, an ignored insert) and costs a round trip.
//  - QuerySQL of an owning dialect outside a batch commits-retaining after a data-changing
//    statement (INSERT ... RETURNING), as ExecSQL does.
//  - An offset without a limit is written " LIMIT 18446744073709551615 OFFSET n".
//  - DDL fit for InnoDB: AdaptTableSpec gives an integer foreign-key column the type of the
//    key it references (INT referencing BIGINT fails with errno 150), and CreateIndexSQL gives
//    TEXT/BLOB columns of a non-unique index a prefix length (a unique one is kept whole: the
//    server enforces it through a hash, and a prefix would make it unique on the prefix only).
#pragma once

#include <memory>
#include <string>

#include "dbapi_server.h"

namespace ov {

class TDBAMariaDBDialect : public TDBAServerDialect {
 public:
  // A new, not yet connected dialect owning a new MariaDB connection.  APort <= 0: the client
  // library's default port.
  static std::shared_ptr<TDBAMariaDBDialect> CreateOwned(const std::string& AHost, std::int32_t APort,
                                                         const std::string& ADatabase, const std::string& AUserName,
                                                         const std::string& APassword, bool AUseSSL);
  // Wraps an open MariaDB connection as borrowed; statements run in ATrans (may be nullptr).
  static std::shared_ptr<TDBAMariaDBDialect> CreateFromConnection(sql::Connection* AConn,
                                                                  sql::Transaction* ATrans = nullptr);

  TDBAMariaDBDialect() = default;

  TDBABackend Backend() const override { return dbMariaDB; }
  void Connect() override;
  std::string QuoteIdent(std::string_view AName) const override;
  std::string DateAddExpr(std::int32_t AAmount, TDBADateUnit AUnit) const override;
  std::string AutoIncPrimaryKey(TDBAColumnType AType) const override;
  std::string SqlType(TDBAColumnType AType, std::int32_t ALength) const override;
  std::string BooleanLiteral(bool AValue) const override { return AValue ? "1" : "0"; }
  std::string UpsertStmt(std::string_view ATable, const std::vector<std::string>& AAllCols,
                         const std::vector<std::string>& AKeyCols) const override;
  std::string CollationClause(bool ACaseInsensitive) const override {
    return ACaseInsensitive ? " COLLATE utf8mb4_general_ci" : std::string();
  }
  std::string InsertOrIgnoreStmt(std::string_view ATable, const std::vector<std::string>& ACols) const override;
  bool TableExists(std::string_view AName) override;
  TJSON GetColumns(std::string_view ATable) override;
  std::vector<std::string> ListTables() override;
  std::string LimitOffsetClause(std::int64_t ALimit, std::int64_t AOffset) const override;

  // Gives every integer foreign-key column the type of the key it references: the column of
  // the same declaration for a self-reference, else the live column.  Other columns are
  // untouched.  Every unique key over a TEXT/BLOB column (a unique column, unique index or
  // named unique constraint) gets a plain index "<key>_lookup" over the same columns beside
  // it: the server enforces such a key by a hash it never uses to find a row.
  void AdaptTableSpec(TDBATableSpec& ASpec) override;
  // "CREATE [UNIQUE ]INDEX IF NOT EXISTS q(index) ON q(table) (columns)", where each TEXT/BLOB
  // column of a non-unique index carries a prefix length that keeps the key within InnoDB's
  // 3072 bytes.  Reads the live columns of ATable.
  std::string CreateIndexSQL(std::string_view ATable, const TDBAIndexSpec& ASpec) override;

 protected:
  // INSERT, REPLACE, UPDATE and DELETE.
  bool IsDataChangingVerb(const std::string& AVerb) const override;
};

}  // namespace ov
