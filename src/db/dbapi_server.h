// What the client/server dialects of the portable SQL library (dbapi_mariadb, dbapi_postgres)
// have in common: the connection settings, the owned and the borrowed construction, and
// QuerySQL that keeps the rows a data-changing statement wrote.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "dbapi_dialect.h"

namespace ov {

class TDBAServerDialect : public TDBADialectBase {
 public:
  std::string NowExpr() const override { return "NOW()"; }
  // QuerySQL of an owning dialect outside a batch commits-retaining after a data-changing
  // statement (INSERT ... RETURNING and the like), as ExecSQL does, so that rows it wrote are
  // kept even when no ExecSQL follows.  A failing commit rolls back and is rethrown.
  TJSON QuerySQL(std::string_view ASQL, const TJSON& AParams) override;

  const std::string& Host() const noexcept { return FHost; }
  std::int32_t Port() const noexcept { return FPort; }
  const std::string& Database() const noexcept { return FDatabase; }
  const std::string& UserName() const noexcept { return FUserName; }
  bool UseSSL() const noexcept { return FUseSSL; }

 protected:
  using TConnectionFactory = std::unique_ptr<sql::Connection> (*)(sql::ConnectOptions);
  // Keeps the settings (the password only in the connection's options) and attaches a new, not
  // yet open connection that AFactory makes from them, owned by the dialect.  APort <= 0: the client library's default port.  AUseSSL: the
  // connection refuses to run without TLS.
  void AttachOwned(TConnectionFactory AFactory, const std::string& AHost, std::int32_t APort,
                   const std::string& ADatabase, const std::string& AUserName, const std::string& APassword,
                   bool AUseSSL);
  // Keeps the settings of an open connection (its password excepted) and attaches it borrowed.
  void AttachBorrowed(sql::Connection* AConn, sql::Transaction* ATrans);
  // Whether a statement with this main keyword (upper case) changes data.
  virtual bool IsDataChangingVerb(const std::string& AVerb) const = 0;

 private:
  std::string FHost;
  std::int32_t FPort = 0;
  std::string FDatabase;
  std::string FUserName;
  bool FUseSSL = false;
};

}  // namespace ov
