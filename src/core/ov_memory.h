// The process's hold on memory in a server whose requests pass through many threads.
//
// glibc's malloc gives a thread that finds the arenas locked an arena of its own, up to eight
// per processor, and memory freed in an arena stays with that arena (only the top of a heap
// goes back to the system).  With some 90 handler threads on 64 arenas, RSS under a steady
// write load only grew, to every arena's high-water mark, while a few MB were live.  So:
//   - the arenas are capped at one per processor the process may run on: no more threads than
//     that run at once, so the cap costs little waiting, and the memory each arena keeps for
//     itself is kept a few times instead of 64 times;
//   - SQLite keeps no memory statistics: they take one process-wide mutex around every one of
//     its allocations, held while malloc runs, so with fewer arenas every connection queued
//     behind whichever thread waited for an arena (the rate of an authenticated list fell by
//     half with two arenas); without them the cap costs no rate;
//   - each SQLite connection gets a page cache of its own size (the soft heap limit that bound
//     them all together needs the statistics);
//   - free pages go back to the system when RSS has grown, under load as well (once a second:
//     the freed pages are touched again within a second, and with trims every 5 s RSS still
//     rose to 47 MB) and once more when the load has passed.
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

// The page cache of one SQLite connection, in KiB.  SQLite's default is 2 MB a connection, and
// under writes every reader's cache is emptied and filled again, so with nine connections the
// cached pages were most of what still grew.  1 MB keeps the hot tables' pages of each reader.
inline constexpr int kSQLiteCacheKiB = 1024;

// Sets the allocator up for this server: caps glibc's arenas at ArenaCap() (unless the
// operator chose a count: MALLOC_ARENA_MAX or the glibc.malloc.arena_max tunable) and turns
// SQLite's memory statistics off.  Call first thing in main, before any thread starts and
// before SQLite is first used; later calls change nothing that has been set up already.
void ConfigureMemory() noexcept;

// One arena per processor this process may run on (its CPU affinity), at least one.
int ArenaCap() noexcept;

// This process's resident set in bytes, from /proc/self/statm; 0 when it cannot be read.
std::size_t ResidentBytes() noexcept;

// Hands the allocator's free pages back to the system (every arena, not only heap tops).  It
// locks each arena in turn while it walks its free chunks: a few milliseconds for tens of MB.
void TrimAllocator() noexcept;

// When handing free memory back is worth it.  The floor is what the last trim left, lowered to
// any lower RSS seen since.  Under load the allocator touches freed pages again at several MB a
// second (a trim is undone within a second), so a trim there only bounds RSS if it comes
// often: RSS has grown by busy_growth over the floor and the last trim is busy_interval ago.
// A trim walks each arena in turn under its lock, a few milliseconds in all.  Idle, where
// little grows: idle_growth and idle_interval.  And since the floor a trim under load leaves
// holds the load's own memory, the first idle look after it trims again without the growth.
// A trim that cannot bring RSS down (the memory is live) raises the floor, so it is not
// repeated until RSS grows again.  Not thread-safe.
class TOVTrimPolicy {
 public:
  struct Options {
    std::chrono::milliseconds idle_interval{5000};
    std::size_t idle_growth = std::size_t{4} << 20;
    std::chrono::milliseconds busy_interval{1000};
    std::size_t busy_growth = std::size_t{2} << 20;
  };

  explicit TOVTrimPolicy(Options options) noexcept : opts_(options) {}

  // One look at the server at `now`: true when a trim is due.
  bool Due(TOVMonoTime now, bool idle, std::size_t rss) noexcept;
  // A trim ran at `now`, on an idle server or not, and left RSS at `rss`.
  void Trimmed(TOVMonoTime now, bool idle, std::size_t rss) noexcept;

 private:
  const Options opts_;
  std::optional<std::size_t> floor_;
  bool floor_idle_ = false;  // the floor was left by an idle trim or seen while idle
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

// The trim (global MemoryTrimmer): a thread that looks at the server every poll and trims the
// allocator when the policy says so, logging each trim at debug level.  The destructor stops
// and joins the thread, at once also in the middle of a wait.
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
