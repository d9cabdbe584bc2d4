// Insert rate of the SQL library against the raw sqlite3 API, in one run.
//
//   bench_sql_insert [rows_bulk] [rows_per_commit] [rounds] [case]
//
// Cases, each measured for the library and for the raw API on files of their own in a temp
// directory (journal_mode=WAL, synchronous=NORMAL on both):
//   bulk        N rows inside one transaction.  Library: IDBADialect::ExecSQL inside an
//               explicit batch, with a JSON parameter array built afresh for every row (the
//               array's construction is timed: it is part of the caller's cost).  Raw: one
//               prepared statement, bind/step/reset per row, BEGIN/COMMIT around the loop.
//   bulk-reuse  the same, but the caller keeps one JSON array and replaces the element that
//               changes, as the raw loop keeps its statement and static texts: this isolates
//               the library's own overhead.
//   named       the same rows through the connection layer's named parameters, as the
//               server's own writers bind them (one query, a value per name and row).
//   per-commit  every row committed on its own, which is what an owning dialect's ExecSQL
//               does outside a batch (commit-retaining).  Raw: BEGIN, bind/step/reset, COMMIT
//               per row with prepared statements.
// The row is a system_logs row (six bound text values).  Each case runs `rounds` times
// (default 9), the raw and the library side one after the other, which of them first
// alternating; a round's ratio compares the two sides of that round, so that a machine
// whose load changes from round to round still compares like with like.  Times are the
// thread's CPU time (what the work costs, not what other processes took meanwhile).  Prints
// the median round's rows per second and the median ratio (one case alone when named, for a
// profiler).  Self-timing: needs no benchmark framework.
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include <time.h>

#include "dbapi_sqlite.h"

namespace {

constexpr const char* kCreate =
    "CREATE TABLE system_logs (id INTEGER PRIMARY KEY AUTOINCREMENT, level TEXT NOT NULL, source TEXT, "
    "category TEXT, message TEXT, details TEXT, created_at TEXT)";
constexpr const char* kInsertNamed =
    "INSERT INTO system_logs (level, source, category, message, details, created_at) "
    "VALUES (:p1, :p2, :p3, :p4, :p5, :p6)";
constexpr const char* kInsertByName =
    "INSERT INTO system_logs (level, source, category, message, details, created_at) "
    "VALUES (:level, :source, :category, :message, :details, :created_at)";
constexpr const char* kInsertRaw =
    "INSERT INTO system_logs (level, source, category, message, details, created_at) VALUES (?, ?, ?, ?, ?, ?)";
constexpr const char* kStamp = "2024-05-06 07:08:09";

std::string Message(long i) { return "[http] [request] GET /api/v1/users/" + std::to_string(i) + " answered 200"; }

// The calling thread's CPU time in seconds.
double CpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void Check(int rc, sqlite3* db, const char* what) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW)
    throw std::runtime_error(std::string(what) + ": " + sqlite3_errmsg(db));
}

void Exec(sqlite3* db, const char* sql) { Check(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), db, sql); }

enum class Kind { Bulk, BulkReuse, Named, PerCommit };

double RawRun(const std::string& file, long rows, bool per_commit) {
  std::filesystem::remove(file);
  sqlite3* db = nullptr;
  Check(sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr),
        db, "open");
  Exec(db, "PRAGMA journal_mode=WAL");
  Exec(db, "PRAGMA synchronous=NORMAL");
  Exec(db, "PRAGMA foreign_keys=ON");
  Exec(db, kCreate);
  sqlite3_stmt *ins = nullptr, *begin = nullptr, *commit = nullptr;
  Check(sqlite3_prepare_v3(db, kInsertRaw, -1, SQLITE_PREPARE_PERSISTENT, &ins, nullptr), db, "prepare");
  Check(sqlite3_prepare_v2(db, "BEGIN", -1, &begin, nullptr), db, "prepare");
  Check(sqlite3_prepare_v2(db, "COMMIT", -1, &commit, nullptr), db, "prepare");
  auto step_reset = [&](sqlite3_stmt* st) {
    Check(sqlite3_step(st), db, "step");
    sqlite3_reset(st);
  };
  const double t0 = CpuSeconds();
  if (!per_commit) step_reset(begin);
  for (long i = 0; i < rows; ++i) {
    if (per_commit) step_reset(begin);
    const std::string msg = Message(i);
    sqlite3_bind_text(ins, 1, "info", -1, SQLITE_STATIC);
    sqlite3_bind_text(ins, 2, "http", -1, SQLITE_STATIC);
    sqlite3_bind_text(ins, 3, "request", -1, SQLITE_STATIC);
    sqlite3_bind_text(ins, 4, msg.data(), static_cast<int>(msg.size()), SQLITE_STATIC);
    sqlite3_bind_text(ins, 5, "", 0, SQLITE_STATIC);
    sqlite3_bind_text(ins, 6, kStamp, -1, SQLITE_STATIC);
    step_reset(ins);
    if (per_commit) step_reset(commit);
  }
  if (!per_commit) step_reset(commit);
  const double secs = CpuSeconds() - t0;
  sqlite3_finalize(ins);
  sqlite3_finalize(begin);
  sqlite3_finalize(commit);
  sqlite3_close(db);
  return static_cast<double>(rows) / secs;
}

double LibRun(const std::string& file, long rows, Kind kind) {
  std::filesystem::remove(file);
  auto d = ov::TDBASQLiteDialect::CreateOwned(file);
  d->Connect();
  d->ExecSQL(kCreate, {});
  const bool batch = kind != Kind::PerCommit;
  const double t0 = CpuSeconds();
  if (batch) d->SetExplicitBatch(true);
  switch (kind) {
    case Kind::BulkReuse: {
      ov::TJSON params = ov::TJSON::array({"info", "http", "request", "", "", kStamp});
      for (long i = 0; i < rows; ++i) {
        params[3] = Message(i);
        d->ExecSQL(kInsertNamed, params);
      }
      break;
    }
    case Kind::Named: {
      // As the server's writers do: one query, each value set by its name for every row.
      ov::sql::Query q(*d->Connection(), d->Transaction());
      q.SetSQL(kInsertByName);
      for (long i = 0; i < rows; ++i) {
        q.SetParamText("level", "info");
        q.SetParamText("source", "http");
        q.SetParamText("category", "request");
        q.SetParamText("message", Message(i));
        q.SetParamText("details", "");
        q.SetParamText("created_at", kStamp);
        q.ExecSQL();
      }
      break;
    }
    default:
      for (long i = 0; i < rows; ++i) {
        ov::TJSON params = ov::TJSON::array({"info", "http", "request", Message(i), "", kStamp});
        d->ExecSQL(kInsertNamed, params);
      }
  }
  if (batch) {
    d->Transaction()->Commit();
    d->SetExplicitBatch(false);
  }
  const double secs = CpuSeconds() - t0;
  const auto n = d->QuerySQL("SELECT COUNT(*) AS n FROM system_logs", {})[0]["n"].get<long>();
  if (n != rows) throw std::runtime_error("library run stored " + std::to_string(n) + " rows");
  return static_cast<double>(rows) / secs;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

void Case(const char* name, const std::string& dir, long rows, int rounds, Kind kind) {
  std::vector<double> raw, lib, ratio;
  for (int r = 0; r < rounds; ++r) {  // alternate which side runs first
    double raw_rate = 0, lib_rate = 0;
    if (r % 2 == 0) raw_rate = RawRun(dir + "/raw.db", rows, kind == Kind::PerCommit);
    lib_rate = LibRun(dir + "/lib.db", rows, kind);
    if (r % 2 == 1) raw_rate = RawRun(dir + "/raw.db", rows, kind == Kind::PerCommit);
    raw.push_back(raw_rate);
    lib.push_back(lib_rate);
    ratio.push_back(lib_rate / raw_rate);
  }
  std::printf("%-11s rows=%-8ld raw sqlite3: %10.0f rows/s   library: %10.0f rows/s   ratio %.1f%%\n", name, rows,
              Median(raw), Median(lib), 100.0 * Median(ratio));
}

}  // namespace

int main(int argc, char** argv) {
  const long bulk = argc > 1 ? std::atol(argv[1]) : 200000;
  const long per_commit = argc > 2 ? std::atol(argv[2]) : 20000;
  const int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 9;
  std::string tmpl = (std::filesystem::temp_directory_path() / "ov-bench-XXXXXX").string();
  if (!::mkdtemp(tmpl.data())) {
    std::perror("mkdtemp");
    return 1;
  }
  int rc = 0;
  try {
    std::printf("SQLite %s, %d rounds, CPU time, the median round counts\n", sqlite3_libversion(), rounds);
    const std::string only = argc > 4 ? argv[4] : "";
    const struct {
      const char* name;
      long rows;
      Kind kind;
    } cases[] = {{"bulk", bulk, Kind::Bulk},
                 {"bulk-reuse", bulk, Kind::BulkReuse},
                 {"named", bulk, Kind::Named},
                 {"per-commit", per_commit, Kind::PerCommit}};
    for (const auto& c : cases)
      if (only.empty() || only == c.name) Case(c.name, tmpl, c.rows, rounds, c.kind);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench failed: %s\n", e.what());
    rc = 1;
  }
  std::error_code ec;
  std::filesystem::remove_all(tmpl, ec);
  return rc;
}
