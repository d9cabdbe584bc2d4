// PostgreSQL dialect of the portable SQL library.
//
// Beside the SQL words of the server:
//  - GetLastInsertID returns the id captured on the connection when the last INSERT ran
//    (the table's generated key, returned by the insert itself), instead of
//    warning and answering 0.
//  - QuerySQL of an owning dialect outside a batch commits-retaining after a data-changing
//    statement, so rows inserted through RETURNING (StoreInsert, StoreUpsert) are kept even
//    when no ExecSQL follows.  A failing statement rolls the transaction back (base class), so
//    the aborted transaction never poisons the next writer.
//  - GetColumns finds the key columns with to_regclass and quote_ident: a missing table gives
//    [] instead of an error, and names that need quoting work.
#pragma once

#include <memory>
#include <string>

#include "dbapi_server.h"

namespace ov {

class TDBAPostgresDialect : public TDBAServerDialect {
 public:
  // A new, not yet connected dialect owning a new PostgreSQL connection.  APort <= 0: the
  // client library's default port.
  static std::shared_ptr<TDBAPostgresDialect> CreateOwned(const std::string& AHost, std::int32_t APort,
                                                          const std::string& ADatabase, const std::string& AUserName,
                                                          const std::string& APassword, bool AUseSSL);
  // Wraps an open PostgreSQL connection as borrowed; statements run in ATrans (may be nullptr).
  static std::shared_ptr<TDBAPostgresDialect> CreateFromConnection(sql::Connection* AConn,
                                                                   sql::Transaction* ATrans = nullptr);

  TDBAPostgresDialect() = default;

  TDBABackend Backend() const override { return dbPostgres; }
  void Connect() override;
  // The name lower-cased (ASCII), then double quotes with inner ones doubled.
  std::string QuoteIdent(std::string_view AName) const override;
  std::string DateAddExpr(std::int32_t AAmount, TDBADateUnit AUnit) const override;
  std::string AutoIncPrimaryKey(TDBAColumnType AType) const override;
  std::string SqlType(TDBAColumnType AType, std::int32_t ALength) const override;
  std::string BooleanLiteral(bool AValue) const override { return AValue ? "TRUE" : "FALSE"; }
  std::string UpsertStmt(std::string_view ATable, const std::vector<std::string>& AAllCols,
                         const std::vector<std::string>& AKeyCols) const override;
  std::string InsertReturningIdClause() const override { return " RETURNING id"; }
  std::string CollationClause(bool ACaseInsensitive) const override;
  bool TableExists(std::string_view AName) override;
  TJSON GetColumns(std::string_view ATable) override;
  std::vector<std::string> ListTables() override;

 protected:
  // INSERT, UPDATE, DELETE and MERGE.
  bool IsDataChangingVerb(const std::string& AVerb) const override;
};

}  // namespace ov
