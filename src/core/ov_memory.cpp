#include "ov_memory.h"

#include <fcntl.h>
#include <malloc.h>
#include <sched.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "ov_log.h"

namespace ov {

namespace {

// An operator who set the arena count knows better than our default.
bool ArenaCountChosen() noexcept {
  if (std::getenv("MALLOC_ARENA_MAX")) return true;
  const char* tunables = std::getenv("GLIBC_TUNABLES");
  return tunables && std::strstr(tunables, "glibc.malloc.arena_max") != nullptr;
}

}  // namespace

int ArenaCap() noexcept {
  cpu_set_t set;
  if (::sched_getaffinity(0, sizeof set, &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return n;
  }
  const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<int>(online) : 1;
}

void ConfigureMemory() noexcept {
  // Refused (SQLITE_MISUSE) once SQLite is initialised: then the statistics stay on.
  (void)::sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
  if (!ArenaCountChosen()) (void)::mallopt(M_ARENA_MAX, ArenaCap());
}

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
  if (!floor_) {
    floor_ = rss;
    floor_idle_ = idle;
  } else if (rss < *floor_) {
    floor_ = rss;
  }
  const bool after_load = idle && !floor_idle_;
  if (!after_load && rss - *floor_ < (idle ? opts_.idle_growth : opts_.busy_growth)) return false;
  return !last_trim_ || now - *last_trim_ >= (idle ? opts_.idle_interval : opts_.busy_interval);
}

void TOVTrimPolicy::Trimmed(TOVMonoTime now, bool idle, std::size_t rss) noexcept {
  last_trim_ = now;
  floor_ = rss;
  floor_idle_ = idle;
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
    const bool idle = opts_.idle();
    const std::size_t before = opts_.resident();
    if (!policy_.Due(opts_.clock->MonoNow(), idle, before)) continue;
    opts_.trim();
    const std::size_t after = opts_.resident();
    policy_.Trimmed(opts_.clock->MonoNow(), idle, after);
    trims_.fetch_add(1);
    LogDebug("Memory: free allocator memory returned %s (RSS %u KB -> %u KB)", idle ? "while idle" : "under load",
             before >> 10, after >> 10);
  }
}

}  // namespace ov
