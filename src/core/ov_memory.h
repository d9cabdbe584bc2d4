// The process's hold on memory in a server whose requests pass through many threads.
//
// glibc's malloc gives a thread that finds the arenas locked an arena of its own, up to eight
// per processor, and memory freed in an arena stays with that arena (only the top of a heap
// goes back to the system): after a burst RSS stayed at the high-water mark of every arena
// while a few MB were live.  Free pages go back to the system once the server has gone quiet,
// and SQLite's page caches, the part of the live memory that grew with the board, share one
// budget.  Fewer arenas would keep RSS lower under load, but at 64 concurrent requests two
// arenas halved the rate of an authenticated list (SQLite holds its memory mutex across
// malloc, so arena contention queues every connection): the arena count stays glibc's.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <thread>

#include "ov_clock.h"
#include "ov_locks.h"
#include "ov_service.h"

namespace ov {

// The heap SQLite may hold, all connections together, before its page caches stop growing and
// reuse their least recently used pages instead.  Each connection may otherwise cache 2 MB, and
// under writes every reader's cache is dropped and filled again, so the cached pages were most
// of what still grew; 8 MB keeps the hot tables' pages while a scan of a large one passes
// through a few pages.  A soft limit: SQLite goes over it rather than fail an allocation.
inline constexpr std::int64_t kSQLiteHeapLimit = std::int64_t{8} << 20;

// Sets SQLite's soft heap limit.  Call before the first connection opens.
void LimitSQLiteMemory(std::int64_t bytes = kSQLiteHeapLimit) noexcept;

// This process's resident set in bytes, from /proc/self/statm; 0 when it cannot be read.
std::size_t ResidentBytes() noexcept;

// Hands the allocator's free pages back to the system (every arena, not only heap tops).  It
// locks each arena in turn while it walks its free chunks: a few milliseconds for tens of MB.
void TrimAllocator() noexcept;

// When handing free memory back is worth it: the server is idle, its RSS has grown by
// min_growth over the floor (what the last trim left, lowered to any lower RSS seen since), and
// the last trim is min_interval ago.  A trim that cannot bring RSS down (the memory is live)
// raises the floor, so it is not repeated until RSS grows again.  Not thread-safe.
class TOVTrimPolicy {
 public:
  struct Options {
    std::chrono::milliseconds min_interval{10000};
    std::size_t min_growth = std::size_t{4} << 20;
  };

  explicit TOVTrimPolicy(Options options) noexcept : opts_(options) {}

  // One look at the server at `now`: true when a trim is due.
  bool Due(TOVMonoTime now, bool idle, std::size_t rss) noexcept;
  // A trim ran at `now` and left RSS at `rss`.
  void Trimmed(TOVMonoTime now, std::size_t rss) noexcept;

 private:
  const Options opts_;
  std::optional<std::size_t> floor_;
  std::optional<TOVMonoTime> last_trim_;
};

struct TOVMemoryTrimmerOptions {
  // True while the server has no request to serve (asked once a poll).  Required.
  std::function<bool()> idle;
  std::chrono::milliseconds poll{1000};
  TOVTrimPolicy::Options policy{};
  // The process's own RSS, trim and clock unless others are handed in.
  std::function<std::size_t()> resident = ResidentBytes;
  std::function<void()> trim = TrimAllocator;
  const TOVClock* clock = &SystemClock();
};

// The idle trim (global MemoryTrimmer): a thread that looks at the server every poll and trims
// the allocator when the policy says so, logging each trim at debug level.  The destructor
// stops and joins the thread, at once also in the middle of a wait.
class TOVMemoryTrimmer {
 public:
  explicit TOVMemoryTrimmer(TOVMemoryTrimmerOptions options);
  ~TOVMemoryTrimmer();
  TOVMemoryTrimmer(const TOVMemoryTrimmer&) = delete;
  TOVMemoryTrimmer& operator=(const TOVMemoryTrimmer&) = delete;

  // Trims done so far.
  std::uint64_t Trims() const noexcept { return trims_.load(); }

 private:
  void Execute() EXCLUDES(lock_);

  // ---- Constant after construction ----
  const TOVMemoryTrimmerOptions opts_;
  // ---- Owned by the thread ----
  TOVTrimPolicy policy_;
  std::atomic<std::uint64_t> trims_{0};
  // ---- Guarded by lock_ (a leaf: guards stop_ for the waits) ----
  TOVLock lock_{LockLevel::Leaf};
  std::condition_variable_any wake_;
  bool stop_ GUARDED_BY(lock_) = false;
  // ---- Started by the constructor, joined by the destructor ----
  std::thread thread_;
};

extern TOVService<TOVMemoryTrimmer> MemoryTrimmer;

}  // namespace ov
