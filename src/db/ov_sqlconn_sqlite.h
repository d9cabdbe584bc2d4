// SQLite connection of the SQL connection layer, over libsqlite3 (linked).
//
// Open() sets the busy time-out and runs, on the raw handle and before anything can start a
// transaction, "PRAGMA journal_mode=WAL", "PRAGMA synchronous=NORMAL", "PRAGMA foreign_keys=ON"
// and the page cache's size (kSQLiteCacheKiB), then reads each setting back.  A setting that did not take is
// recorded in SetupProblems() (the dialect reports it as a warning); the open itself succeeds.
// Prepared statements are cached per connection (keyed by the native SQL text).
#pragma once

#include <functional>
#include <memory>
#include <atomic>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "ov_locks.h"
#include "ov_sqlconn.h"

struct sqlite3;
struct sqlite3_stmt;

namespace ov::sql {

class SqliteConnection final : public Connection {
 public:
  explicit SqliteConnection(ConnectOptions opts);
  ~SqliteConnection() override;
  SqliteConnection(const SqliteConnection&) = delete;
  SqliteConnection& operator=(const SqliteConnection&) = delete;

  Backend Kind() const noexcept override { return Backend::SQLite; }
  void Open() override;
  void Close() noexcept override;
  bool Connected() const noexcept override { return db_ != nullptr; }
  bool Ping() noexcept override;
  ResultSet Run(std::string_view native_sql, const std::vector<Value>& params) override;
  std::string NativePlaceholder(int n) const override;
  void Begin() override;
  void Commit() override;
  void Rollback() override;
  bool InTransaction() const noexcept override;

  // The raw handle (nullptr when closed).
  sqlite3* Handle() const noexcept { return db_; }
  // What the PRAGMA read-back found wrong at the last Open ("" when all took effect).
  const std::string& SetupProblems() const noexcept { return setup_problems_; }
  // Finalizes every cached statement.
  void ClearStatementCache() noexcept;
  std::size_t CachedStatements() const noexcept { return cache_.size(); }

  static constexpr std::size_t kMaxCachedStatements = 128;

 protected:
  bool InterruptRunning() noexcept override;

 private:
  struct Cached {
    sqlite3_stmt* stmt = nullptr;
    bool readonly = true;
  };
  Cached& Prepare(std::string_view native_sql);
  void ApplyPragmas();
  // Runs a setup statement on the raw handle; returns the first column of the first row.
  std::string RawQuery(const char* sql, int* rc_out);
  [[noreturn]] void ThrowError(int rc) const;

  sqlite3* db_ = nullptr;  // written by the owning thread under handle_lock_
  TOVLock handle_lock_{LockLevel::Leaf};  // keeps db_ open while another thread interrupts it
  // Set by an interrupt, read by the progress handler: sqlite3_interrupt alone is lost when it
  // lands before the statement has begun to step, and a shutdown would then wait for the
  // runaway statement.  Cleared at the start and end of every statement.
  std::atomic<bool> interrupt_pending_{false};
  using Cache = std::unordered_map<std::string, Cached, TextHash, std::equal_to<>>;
  Cache cache_;
  Cache::value_type* last_ = nullptr;  // the statement run last (nodes are stable until cleared)
  sqlite3_stmt* ping_ = nullptr;       // the liveness check, prepared on first use
  std::string setup_problems_;
};

std::unique_ptr<Connection> CreateSqliteConnection(ConnectOptions opts);

}  // namespace ov::sql
