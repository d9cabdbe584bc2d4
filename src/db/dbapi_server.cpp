// Common part of the client/server dialects of the portable SQL library.
#include "dbapi_server.h"

namespace ov {

void TDBAServerDialect::AttachOwned(TConnectionFactory AFactory, const std::string& AHost, std::int32_t APort,
                                    const std::string& ADatabase, const std::string& AUserName,
                                    const std::string& APassword, bool AUseSSL) {
  FHost = AHost;
  FPort = APort;
  FDatabase = ADatabase;
  FUserName = AUserName;
  FUseSSL = AUseSSL;
  sql::ConnectOptions o;
  o.host = AHost;
  o.port = APort > 0 ? APort : 0;
  o.database = ADatabase;
  o.user = AUserName;
  o.password = APassword;
  o.use_ssl = AUseSSL;
  AttachConnection(AFactory(std::move(o)));
}

void TDBAServerDialect::AttachBorrowed(sql::Connection* AConn, sql::Transaction* ATrans) {
  FHost = AConn->Options().host;
  FPort = AConn->Options().port;
  FDatabase = AConn->Options().database;
  FUserName = AConn->Options().user;
  AttachConnection(AConn, ATrans);
}

TJSON TDBAServerDialect::QuerySQL(std::string_view ASQL, const TJSON& AParams) {
  TJSON rows = TDBADialectBase::QuerySQL(ASQL, AParams);
  if (FOwnsConnection && !FExplicitBatch && FTransaction && FTransaction->Active() &&
      IsDataChangingVerb(sql::ScanNamedParams(ASQL, DBAToSqlBackend(Backend())).verb)) {
    try {
      FTransaction->CommitRetaining();
    } catch (...) {
      RollbackAfterFailure();
      throw;
    }
  }
  return rows;
}

}  // namespace ov
