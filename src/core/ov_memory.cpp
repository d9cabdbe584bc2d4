#include "ov_memory.h"

#include <fcntl.h>
#include <malloc.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdlib>

#include "ov_log.h"

namespace ov {

void LimitSQLiteMemory(std::int64_t bytes) noexcept { (void)::sqlite3_soft_heap_limit64(bytes); }

std::size_t ResidentBytes() noexcept {
  // "size resident shared text lib data dt", in pages.  One read: no stdio buffer, no allocation.
  const int fd = ::open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char buf[128];
  const ssize_t n = ::read(fd, buf, sizeof buf - 1);
  ::close(fd);
  if (n <= 0) return 0;
  buf[n] = '\0';
  char* end = nullptr;
  std::strtoull(buf, &end, 10);
  const unsigned long long pages = std::strtoull(end, nullptr, 10);
  return static_cast<std::size_t>(pages) * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

void TrimAllocator() noexcept { ::malloc_trim(0); }

/* ---- when to trim ------------------------------------------------------------------------- */

bool TOVTrimPolicy::Due(TOVMonoTime now, bool idle, std::size_t rss) noexcept {
  if (!idle) return false;
  if (!floor_ || rss < *floor_) floor_ = rss;
  if (rss - *floor_ < opts_.min_growth) return false;
  return !last_trim_ || now - *last_trim_ >= opts_.min_interval;
}

void TOVTrimPolicy::Trimmed(TOVMonoTime now, std::size_t rss) noexcept {
  last_trim_ = now;
  floor_ = rss;
}

/* ---- the trimming thread ------------------------------------------------------------------ */

TOVService<TOVMemoryTrimmer> MemoryTrimmer{"MemoryTrimmer"};

TOVMemoryTrimmer::TOVMemoryTrimmer(TOVMemoryTrimmerOptions options)
    : opts_(std::move(options)), policy_(opts_.policy) {
  thread_ = std::thread([this] { Execute(); });
}

TOVMemoryTrimmer::~TOVMemoryTrimmer() {
  {
    TOVLockGuard g(lock_);
    stop_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void TOVMemoryTrimmer::Execute() {
  for (;;) {
    {
      TOVUniqueLock g(lock_);
      if (wake_.wait_for(g, opts_.poll, [this]() REQUIRES(lock_) { return stop_; })) return;
    }
    // A server under load is not even asked for its RSS.
    if (!opts_.idle()) continue;
    const std::size_t before = opts_.resident();
    if (!policy_.Due(opts_.clock->MonoNow(), true, before)) continue;
    opts_.trim();
    const std::size_t after = opts_.resident();
    policy_.Trimmed(opts_.clock->MonoNow(), after);
    trims_.fetch_add(1);
    LogDebug("Memory: free allocator memory returned while idle (RSS %u KB -> %u KB)", before >> 10, after >> 10);
  }
}

}  // namespace ov
