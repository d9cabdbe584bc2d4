// Helpers shared by the unit tests.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ov_database.h"
#include "ov_json_helpers.h"

namespace ovtest {

// What a test waits for at most: far longer than anything takes on a busy machine under a
// sanitizer, so that only a fault reaches it.
inline constexpr std::chrono::seconds kPatience{30};

// Polls cond until it holds or kPatience has passed; its last value.
template <class Cond>
bool PollUntil(Cond cond) {
  const auto end = std::chrono::steady_clock::now() + kPatience;
  while (!cond()) {
    if (std::chrono::steady_clock::now() >= end) return cond();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// A fresh directory from mkdtemp, removed with everything in it at the end of the scope.
class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "ovtest-XXXXXX").string();
    char* p = ::mkdtemp(tmpl.data());
    if (!p) throw std::runtime_error("mkdtemp failed");
    path_ = p;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline void WriteText(const std::string& path, const std::string& text) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

inline std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// A connection of its own to a SQLite file, past the server's own connections, for setting up
// and checking what the code under test cannot be trusted to show.
class RawSqlite {
 public:
  // busy_timeout_ms: how long a statement waits for another connection's lock.
  explicit RawSqlite(const std::string& path, int busy_timeout_ms = 0) {
    sqlite3_open(path.c_str(), &db_);
    if (busy_timeout_ms > 0) sqlite3_busy_timeout(db_, busy_timeout_ms);
  }
  ~RawSqlite() { sqlite3_close(db_); }
  RawSqlite(const RawSqlite&) = delete;
  RawSqlite& operator=(const RawSqlite&) = delete;

  // Runs statements; a failure fails the test.
  void Exec(const std::string& sql) {
    char* err = nullptr;
    const int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &err);
    const std::string why = err ? err : "";
    sqlite3_free(err);
    ASSERT_EQ(rc, SQLITE_OK) << sql << ": " << why;
  }
  // The first column of the first row as text; "<none>" without a row, "<null>" for NULL and
  // "<error: ...>" when the statement fails.
  std::string Value(const std::string& sql) {
    sqlite3_stmt* st = nullptr;
    std::string out;
    int rc = sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr);
    if (rc == SQLITE_OK) rc = sqlite3_step(st);
    if (rc == SQLITE_ROW) {
      const unsigned char* t = sqlite3_column_text(st, 0);
      out = t ? reinterpret_cast<const char*>(t) : "<null>";
    } else if (rc == SQLITE_DONE) {
      out = "<none>";
    } else {
      out = std::string("<error: ") + sqlite3_errmsg(db_) + ">";
    }
    sqlite3_finalize(st);
    return out;
  }
  // The first column of the first row as text; empty without a row, for NULL and on failure.
  std::string Text(const std::string& sql) {
    sqlite3_stmt* st = nullptr;
    std::string out;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW &&
        sqlite3_column_text(st, 0))
      out = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
    sqlite3_finalize(st);
    return out;
  }
  long long Int(const std::string& sql) { return std::atoll(Text(sql).c_str()); }

 private:
  sqlite3* db_ = nullptr;
};

// One statement on a connection of its own that waits up to 5 s for locks.
inline std::string RawText(const std::string& file, const std::string& sql) { return RawSqlite(file, 5000).Value(sql); }
inline void RawExec(const std::string& file, const std::string& sql) { RawSqlite(file, 5000).Exec(sql); }

// The member names of a JSON object, in order.
inline std::vector<std::string> Keys(const ov::TJSON& o) {
  std::vector<std::string> k;
  for (auto it = o.begin(); it != o.end(); ++it) k.push_back(it.key());
  return k;
}

// A test with a fresh SQLite database of its own, published as DB while the test runs.
class SqliteDBTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ov::TOVDatabaseOptions options;
    options.health_fresh = std::chrono::milliseconds(0);  // each health check asked is made
    ov::DB.Publish(std::make_unique<ov::TOVDatabase>(file, options));
  }
  void TearDown() override { ov::DB.Free(); }

  // A user row straight in the table, with dummy password columns; returns its id.
  std::int64_t InsertUser(const std::string& name, const std::string& guid, bool admin = false) {
    auto db = ov::DB.Get();
    auto q = db->NewQuery();
    q.SetSQL(
        "INSERT INTO users (guid, username, password_hash, password_salt, is_admin) VALUES (:g, :u, 'h', 's', :a)");
    q.Param("g", guid);
    q.Param("u", name);
    q.Param("a", std::int64_t{admin ? 1 : 0});
    q.ExecSQL();
    const std::int64_t id = q.LastInsertId();
    db->Commit();
    return id;
  }

  TempDir dir;
  std::string file = dir / "orvanta.db";
};

}  // namespace ovtest
