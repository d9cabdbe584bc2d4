// The process's memory bounds: when the idle trim hands free memory back, that its thread does
// so only while the server is idle, that a trim really lowers the resident set, and that
// SQLite's page caches stay near their limit.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

#include "clock_test_util.h"
#include "ov_memory.h"
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
TEST(MemoryTrim, PolicyTrimsOnlyIdleGrowthAndNotTooOften) {
  struct Look {
    int at_ms;
    bool idle;
    double rss_mb;
    bool due;
    double after_mb;  // RSS the trim leaves, when due
  };
  const Look looks[] = {
      {0, false, 20, false, 0},      // busy: never
      {1000, true, 20, false, 0},    // the first idle look sets the floor
      {2000, false, 40, false, 0},   // growth while busy waits for idleness
      {3000, true, 23.9, false, 0},  // below the growth that makes a trim worth it
      {4000, true, 24, true, 21},    // 4 MB over the floor, no trim before
      {5000, true, 30, false, 0},    // grown again, but the last trim is 1 s ago
      {14000, true, 30, true, 29},   // 10 s later; the memory is live: the floor rises
      {30000, true, 32, false, 0},   // 3 MB over the raised floor: not repeated
      {31000, true, 25, false, 0},   // RSS fell by itself: the floor follows
      {32000, true, 29, true, 25},   // 4 MB over the lowered floor
      {60000, false, 10, false, 0},  // a busy look does not lower the floor
      {61000, true, 28, false, 0},
      {62000, true, 29, true, 29},
  };
  TOVTrimPolicy policy({.min_interval = 10s, .min_growth = 4 * kMB});
  const TOVMonoTime t0{};
  for (const Look& l : looks) {
    const auto now = t0 + std::chrono::milliseconds(l.at_ms);
    const bool due = policy.Due(now, l.idle, static_cast<std::size_t>(l.rss_mb * kMB));
    EXPECT_EQ(due, l.due) << "look at " << l.at_ms << " ms";
    if (due) policy.Trimmed(now, static_cast<std::size_t>(l.after_mb * kMB));
  }
}

// The thread asks the server on every poll, trims once it is idle and has grown, never while
// it is busy, and ends at once when destroyed in the middle of a long wait.
TEST(MemoryTrim, ThreadTrimsWhileIdleAndStopsAtOnce) {
  std::atomic<bool> idle{false};
  std::atomic<int> polls{0};
  std::atomic<std::size_t> rss{100 * kMB};
  std::atomic<int> trims{0};
  ovtest::FakeClock clock(0);
  {
    TOVMemoryTrimmer trimmer({.idle = [&] { ++polls; return idle.load(); },
                              .poll = 1ms,
                              .policy = {.min_interval = 0ms, .min_growth = 4 * kMB},
                              .resident = [&] { return rss.load(); },
                              .trim = [&] { ++trims; rss = 101 * kMB; },
                              .clock = &clock});
    ASSERT_TRUE(ovtest::PollUntil([&] { return polls.load() >= 5; }));
    rss = 200 * kMB;
    int seen = polls.load();
    ASSERT_TRUE(ovtest::PollUntil([&] { return polls.load() >= seen + 20; }));
    EXPECT_EQ(trims.load(), 0);  // grown, but busy
    rss = 100 * kMB;
    idle = true;
    seen = polls.load();
    ASSERT_TRUE(ovtest::PollUntil([&] { return polls.load() >= seen + 5; }));
    EXPECT_EQ(trims.load(), 0);  // idle, but nothing grew
    rss = 110 * kMB;
    ASSERT_TRUE(ovtest::PollUntil([&] { return trims.load() == 1; }));
    seen = polls.load();
    ASSERT_TRUE(ovtest::PollUntil([&] { return polls.load() >= seen + 20; }));
    EXPECT_EQ(trims.load(), 1);  // the trim left 101 MB: that is the floor now
    EXPECT_EQ(trimmer.Trims(), 1u);
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

// Connections that scan a table larger than their caches keep up to 2 MB of pages each; under
// the limit they together stay near it.
TEST(MemoryLimits, SQLitePageCachesStayNearTheLimit) {
  ovtest::TempDir dir;
  const std::string file = dir / "scan.db";
  {
    ovtest::RawSqlite db(file);
    db.Exec("CREATE TABLE t (id INTEGER PRIMARY KEY, v TEXT)");
    db.Exec("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 40000) "
            "INSERT INTO t (v) SELECT printf('%0200d', i) FROM n");
  }
  // SQLite's heap (all connections) once `count` fresh connections have each scanned the
  // table, over what it held before.
  auto scanned_by = [&](int count) {
    const sqlite3_int64 start = sqlite3_memory_used();
    std::vector<sqlite3*> conns(count, nullptr);
    for (auto*& c : conns) {
      EXPECT_EQ(sqlite3_open(file.c_str(), &c), SQLITE_OK);
      EXPECT_EQ(sqlite3_exec(c, "SELECT COUNT(*) FROM t WHERE length(v) > 1", nullptr, nullptr, nullptr), SQLITE_OK);
    }
    const sqlite3_int64 held = sqlite3_memory_used() - start;
    for (sqlite3* c : conns) sqlite3_close(c);
    return held;
  };
  const sqlite3_int64 previous = sqlite3_soft_heap_limit64(0);
  const sqlite3_int64 unlimited = scanned_by(4);
  LimitSQLiteMemory(2 * kMB);
  const sqlite3_int64 limited = scanned_by(4);
  sqlite3_soft_heap_limit64(previous);
  EXPECT_GT(unlimited, static_cast<sqlite3_int64>(6 * kMB));
  EXPECT_LT(limited, static_cast<sqlite3_int64>(3 * kMB));
}
