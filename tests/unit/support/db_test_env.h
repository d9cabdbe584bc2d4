// The database servers the tests run against, as scripts/test-db-servers describes them in the
// OV_TEST_PG_* and OV_TEST_MYSQL_* variables, and a fixture holding an open connection to one.
// Without the variables the server tests are skipped.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ov_config.h"
#include "ov_database.h"
#include "ov_sqlconn.h"
#include "test_util.h"

namespace ovtest {

inline const char* ServerName(ov::sql::Backend AKind) {
  return AKind == ov::sql::Backend::Postgres ? "PostgreSQL" : "MariaDB";
}

inline std::string ServerVariablePrefix(ov::sql::Backend AKind) {
  return AKind == ov::sql::Backend::Postgres ? "OV_TEST_PG_" : "OV_TEST_MYSQL_";
}

// Connection settings of the test server for AKind (Postgres or MariaDB); nullopt when its
// host or database variable is not set.
inline std::optional<ov::sql::ConnectOptions> TestServerOptions(ov::sql::Backend AKind) {
  const std::string prefix = ServerVariablePrefix(AKind);
  auto env = [&](const char* name) -> const char* { return std::getenv((prefix + name).c_str()); };
  const char* host = env("HOST");
  const char* db = env("DB");
  if (!host || !db) return std::nullopt;
  ov::sql::ConnectOptions o;
  o.host = host;
  o.database = db;
  if (const char* port = env("PORT")) o.port = std::atoi(port);
  if (const char* user = env("USER")) o.user = user;
  if (const char* password = env("PASSWORD")) o.password = password;
  o.connect_timeout_s = 5;
  return o;
}

// Why a server test is skipped.
inline std::string NoServerMessage(ov::sql::Backend AKind) {
  return ServerVariablePrefix(AKind) + "* not set: no " + ServerName(AKind) +
         " test server (see scripts/test-db-servers)";
}

// Writes an INI file whose [database] section points at a fresh, empty database of the given
// type ("sqlite3", "postgresql" or "mariadb"; SQLite uses the server's [database] file).  False
// when that type's test server is not running.
inline bool WriteDatabaseConfig(const std::string& type, const std::string& ini_path) {
  std::string ini = "[database]\ntype=" + type + "\n";
  if (type != "sqlite3") {
    const ov::sql::Backend kind = type == "postgresql" ? ov::sql::Backend::Postgres : ov::sql::Backend::MariaDB;
    auto o = TestServerOptions(kind);
    if (!o) return false;
    static int counter = 0;
    const std::string name = "ov_unit_" + std::to_string(::getpid()) + "_" + std::to_string(++counter);
    auto c = ov::sql::CreateConnection(kind, *o);
    c->Open();
    c->Run("CREATE DATABASE " + name, {});
    ini += "host=" + o->host + "\nport=" + std::to_string(o->port) + "\nname=" + name + "\nusername=" + o->user +
           "\npassword=" + o->password + "\n";
  }
  std::ofstream(ini_path, std::ios::trunc) << ini;
  return true;
}

// An open connection to the test server for Kind; the test is skipped when there is none.
template <ov::sql::Backend Kind>
class ServerConnTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto o = TestServerOptions(Kind);
    if (!o) GTEST_SKIP() << NoServerMessage(Kind);
    opts_ = *o;
    conn_ = ov::sql::CreateConnection(Kind, opts_);
    conn_->Open();
  }
  ov::sql::ResultSet Run(const std::string& sql, const std::vector<ov::sql::Value>& params = {}) {
    return conn_->Run(sql, params);
  }

  ov::sql::ConnectOptions opts_;
  std::unique_ptr<ov::sql::Connection> conn_;
};

// The server's database object (DB) on an empty database of the backend the test parameter
// names ("sqlite3", "postgresql" or "mariadb"); the test is skipped when that backend's test
// server is not running.
class BackendDBTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    if (!WriteDatabaseConfig(GetParam(), dir / "o.ini")) GTEST_SKIP() << "no " << GetParam() << " test server";
    ov::Config.Publish(std::make_unique<ov::TOVConfig>(dir / "o.ini"));
    ov::DB.Publish(std::make_unique<ov::TOVDatabase>(dir / "orvanta.db"));
  }
  void TearDown() override {
    ov::DB.Free();
    ov::Config.Free();
  }
  ov::TDBABackend Backend() const { return ov::DB.Get()->Backend(); }
  // A connection of its own to the same database, outside any transaction (for VACUUM).
  std::unique_ptr<ov::sql::Connection> OwnConnection() const {
    const auto cfg = ov::Config.Get();
    ov::sql::ConnectOptions o;
    ov::sql::Backend kind = ov::sql::Backend::SQLite;
    if (GetParam() == "sqlite3") {
      o.database = dir / "orvanta.db";
    } else {
      kind = GetParam() == "postgresql" ? ov::sql::Backend::Postgres : ov::sql::Backend::MariaDB;
      o.host = cfg->DatabaseHost();
      o.port = cfg->DatabasePort();
      o.database = cfg->DatabaseName();
      o.user = cfg->DatabaseUsername();
      o.password = cfg->DatabasePassword();
    }
    auto c = ov::sql::CreateConnection(kind, o);
    c->Open();
    return c;
  }

  TempDir dir;
};

// A statement that runs for hours on the backend named ("sqlite3", "postgresql" or "mariadb"),
// until it is interrupted (MariaDB ends a recursion after 1000 rounds by default).
inline std::string RunawaySQL(const std::string& type) {
  if (type == "mariadb") return "SELECT COUNT(*) FROM seq_1_to_1000000 a, seq_1_to_1000000 b WHERE a.seq + b.seq = 3";
  return "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 1000000000) SELECT COUNT(*) FROM c";
}

// Waits (bounded) until a statement runs on the connection that `conn` will point at.
inline bool WaitRunning(const std::atomic<ov::sql::Connection*>& conn) {
  for (int i = 0; i < 1000; ++i) {
    if (ov::sql::Connection* c = conn.load(); c && c->StatementRunning()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

// Field col of row row of a result.
inline const ov::sql::Value& Cell(const ov::sql::ResultSet& rs, std::size_t col, std::size_t row = 0) {
  return rs.rows.at(row).at(col);
}

}  // namespace ovtest
