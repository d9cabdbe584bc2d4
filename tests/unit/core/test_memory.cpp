// The process's memory bounds: when the trim hands free memory back (idle and under load), that
// its thread follows that policy, that a trim really lowers the resident set, that the
// allocator's arenas are capped and SQLite keeps no statistics, and that each SQLite
// connection's page cache stays within its share.
#include <gtest/gtest.h>
#include <malloc.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "clock_test_util.h"
#include "ov_memory.h"
#include "ov_sqlconn_sqlite.h"
#include "test_util.h"

using namespace ov;
using namespace std::chrono_literals;

namespace {

constexpr std::size_t kMB = std::size_t{1} << 20;

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define OV_TEST_FOREIGN_ALLOCATOR 1
#endif
#endif

}  // namespace

// Each row is one look at the server; a trim that is due runs and leaves `after` MB.
TEST(MemoryTrim, PolicyTrimsGrowthIdleAndUnderLoadNotTooOften) {
  struct Look {
    int at_ms;
    bool idle;
    double rss_mb;
    bool due;
    double after_mb;  // RSS the trim leaves, when due
  };
  const Look looks[] = {
      {0, true, 20, false, 0},       // the first look sets the floor
      {1000, true, 23.9, false, 0},  // below the growth that makes a trim worth it
      {2000, true, 24, true, 21},    // 4 MB over the floor, no trim before
      {3000, true, 30, false, 0},    // grown again, but the last trim is 1 s ago
      {12000, true, 30, true, 29},   // 10 s later; the memory is live: the floor rises
      {13000, true, 32, false, 0},   // 3 MB over the raised floor: not repeated
      {14000, true, 25, false, 0},   // RSS fell by itself: the floor follows
      {22000, true, 29, true, 25},   // 4 MB over the lowered floor
      // Under load: more growth, a shorter interval.
      {23000, false, 32, false, 0},  // 7 MB over the floor
      {24000, false, 33, false, 0},  // 8 MB, but the last trim is 2 s ago
      {27000, false, 33, true, 30},  // 5 s: trimmed under load
      {28000, false, 29, false, 0},  // a busy look lowers the floor too
      {29000, false, 36, false, 0},
      {33000, false, 37, true, 36},  // 8 MB over 29; the memory is live: the floor rises
      {34000, false, 40, false, 0},
      {35000, true, 36, false, 0},   // idle after a trim under load: the idle interval first
      {43000, true, 36, true, 31},   // then a trim without growth (the floor held the load)
      {44000, true, 32, false, 0},   // an idle floor again
      {60000, false, 39, true, 39},  // under load, nothing to give back
      {61000, true, 39, false, 0},
      {71000, true, 39, true, 39},   // the trim after load finds nothing either...
      {82000, true, 39, false, 0},   // ...and is not repeated
  };
  TOVTrimPolicy policy({.idle_interval = 10s, .idle_growth = 4 * kMB, .busy_interval = 5s, .busy_growth = 8 * kMB});
  const TOVMonoTime t0{};
  for (const Look& l : looks) {
    const auto now = t0 + std::chrono::milliseconds(l.at_ms);
    const bool due = policy.Due(now, l.idle, static_cast<std::size_t>(l.rss_mb * kMB));
    EXPECT_EQ(due, l.due) << "look at " << l.at_ms << " ms";
    if (due) policy.Trimmed(now, l.idle, static_cast<std::size_t>(l.after_mb * kMB));
  }
}

// The thread asks the server on every poll and trims when the policy says so: under load only
// past the larger growth, and once more when the server has gone idle.  Destroyed in the
// middle of a long wait, it ends at once.
TEST(MemoryTrim, ThreadTrimsUnderLoadAndIdleAndStopsAtOnce) {
  std::atomic<bool> idle{false};
  std::atomic<int> polls{0};
  std::atomic<std::size_t> rss{100 * kMB};
  std::atomic<int> trims{0};
  ovtest::FakeClock clock(0);
  // Lets `n` more polls pass.
  auto more_polls = [&](int n) {
    const int seen = polls.load();
    return ovtest::PollUntil([&] { return polls.load() >= seen + n; });
  };
  {
    TOVMemoryTrimmer trimmer({.idle = [&] { ++polls; return idle.load(); },
                              .poll = 1ms,
                              .policy = {.idle_interval = 0ms, .idle_growth = 4 * kMB,
                                         .busy_interval = 0ms, .busy_growth = 50 * kMB},
                              .resident = [&] { return rss.load(); },
                              .trim = [&] { ++trims; rss = 101 * kMB; },
                              .clock = &clock});
    ASSERT_TRUE(more_polls(5));
    rss = 140 * kMB;
    ASSERT_TRUE(more_polls(20));
    EXPECT_EQ(trims.load(), 0);  // grown, but under load not enough
    rss = 150 * kMB;
    ASSERT_TRUE(ovtest::PollUntil([&] { return trims.load() == 1; }));
    ASSERT_TRUE(more_polls(20));
    EXPECT_EQ(trims.load(), 1);  // the trim left 101 MB: that is the floor now
    idle = true;
    ASSERT_TRUE(ovtest::PollUntil([&] { return trims.load() == 2; }));  // the trim after load
    ASSERT_TRUE(more_polls(20));
    EXPECT_EQ(trims.load(), 2);
    EXPECT_EQ(trimmer.Trims(), 2u);
  }
  const auto start = std::chrono::steady_clock::now();
  {
    TOVMemoryTrimmer waiting({.idle = [] { return true; }, .poll = 1h});
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

// Memory freed in the middle of the heap stays resident until the trim hands it back.
TEST(MemoryTrim, TrimReturnsFreedPagesToTheSystem) {
#ifdef OV_TEST_FOREIGN_ALLOCATOR
  GTEST_SKIP() << "the sanitizer's allocator keeps its own memory";
#else
  std::vector<std::unique_ptr<char[]>> blocks;
  for (int i = 0; i < 48 * 1024; ++i) {
    blocks.emplace_back(new char[1000]);
    std::memset(blocks.back().get(), i, 1000);
  }
  auto pin = std::move(blocks.back());  // the last one made: the heap top stays in use
  blocks.clear();
  const std::size_t before = ResidentBytes();
  TrimAllocator();
  const std::size_t after = ResidentBytes();
  ASSERT_GT(before, 0u);
  EXPECT_GT(before, after + 24 * kMB) << "before " << before / kMB << " MB, after " << after / kMB << " MB";
#endif
}

// The allocator set-up, in a process of its own (the arena count is fixed once threads have
// made their arenas): threads that allocate at the same time share one arena per processor,
// and SQLite counts no memory (its statistics would take a process-wide mutex on every
// allocation).
TEST(MemoryLimits, ArenasAreCappedAndSQLiteKeepsNoStatistics) {
#ifdef OV_TEST_FOREIGN_ALLOCATOR
  GTEST_SKIP() << "the sanitizer's allocator has no arenas";
#else
  if (std::getenv("MALLOC_ARENA_MAX") || std::getenv("GLIBC_TUNABLES"))
    GTEST_SKIP() << "the environment chooses the allocator's settings";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        ConfigureMemory();
        sqlite3* db = nullptr;
        sqlite3_open(":memory:", &db);
        sqlite3_exec(db, "CREATE TABLE t (v TEXT); INSERT INTO t VALUES (hex(randomblob(5000)))", nullptr, nullptr,
                     nullptr);
        const long long counted = sqlite3_memory_used();
        sqlite3_close(db);
        // Threads alive at once: without the cap each one would get an arena of its own.
        const int cap = ArenaCap();
        const int threads = 2 * cap + 2;
        std::atomic<int> arrived{0};
        std::vector<std::thread> pool;
        for (int i = 0; i < threads; ++i)
          pool.emplace_back([&] {
            std::unique_ptr<char[]> block(new char[1000]);
            ++arrived;
            while (arrived.load() < threads) std::this_thread::yield();
          });
        for (auto& t : pool) t.join();
        char* text = nullptr;
        std::size_t size = 0;
        FILE* f = open_memstream(&text, &size);
        malloc_info(0, f);
        std::fclose(f);
        int arenas = 0;
        for (const char* p = text; (p = std::strstr(p, "<heap nr=")) != nullptr; ++p) ++arenas;
        std::free(text);
        std::fprintf(stderr, "arenas %d for %d threads, cap %d; SQLite counted %lld bytes\n", arenas, threads, cap,
                     counted);
        std::exit(arenas >= 1 && arenas <= cap && counted == 0 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
#endif
}

// A connection of ours that scans a table larger than its cache keeps at most its share of
// pages; SQLite's default would keep twice as much.
TEST(MemoryLimits, SQLitePageCacheIsBoundPerConnection) {
  ovtest::TempDir dir;
  const std::string file = dir / "scan.db";
  {
    ovtest::RawSqlite db(file);
    db.Exec("CREATE TABLE t (id INTEGER PRIMARY KEY, v TEXT)");
    db.Exec("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 40000) "
            "INSERT INTO t (v) SELECT printf('%0200d', i) FROM n");
  }
  auto cache_after_scan = [](sqlite3* db) {
    EXPECT_EQ(sqlite3_exec(db, "SELECT COUNT(*) FROM t WHERE length(v) > 1", nullptr, nullptr, nullptr), SQLITE_OK);
    int used = 0, highwater = 0;
    sqlite3_db_status(db, SQLITE_DBSTATUS_CACHE_USED, &used, &highwater, 0);
    return static_cast<std::size_t>(used);
  };
  sql::ConnectOptions o;
  o.database = file;
  sql::SqliteConnection ours(o);
  ours.Open();
  ASSERT_EQ(ours.SetupProblems(), "");
  const std::size_t bound = cache_after_scan(ours.Handle());
  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open(file.c_str(), &raw), SQLITE_OK);
  const std::size_t unbound = cache_after_scan(raw);
  sqlite3_close(raw);
  const std::size_t share = static_cast<std::size_t>(kSQLiteCacheKiB) << 10;
  EXPECT_GT(bound, share * 9 / 10);
  EXPECT_LT(bound, share * 11 / 10);
  EXPECT_GT(unbound, 3 * share / 2);
}
