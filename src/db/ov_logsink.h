// Stores every log line in system_logs (and hands it to the push handler) on one thread of its
// own, fed by a bounded queue: a thread that logs never waits for the database, never commits
// anyone's transaction and never takes the database write lock or a hub lock.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <thread>

#include "ov_database.h"
#include "ov_locks.h"
#include "ov_service.h"

namespace ov {

class TOVLogSink {
 public:
  using Row = TOVDatabase::LogRow;
  using PushFn = std::function<void(const Row&)>;

  // store(rows) writes a batch and returns how many were stored.
  using StoreFn = std::function<std::size_t(const std::vector<Row>&)>;

  explicit TOVLogSink(StoreFn store, std::size_t capacity = 65536, std::size_t batch = 1000);
  ~TOVLogSink();
  TOVLogSink(const TOVLogSink&) = delete;
  TOVLogSink& operator=(const TOVLogSink&) = delete;

  // Never blocks for long: when the queue is full the oldest line is dropped (it is already on
  // the console and in the log file).
  void Enqueue(const std::string& level, const std::string& source, const std::string& category,
               const std::string& message) noexcept EXCLUDES(lock_);
  // Called for every line after it was handed to the store (the "log_entry" push).
  void SetPushHandler(PushFn fn) EXCLUDES(push_lock_);
  // Stores what is queued, then ends the thread.  Waits as long as the thread makes progress;
  // false when it has finished no batch for `stall` (stuck, say, behind a write lock that a
  // stuck thread holds): the thread is then left running and the sink must never be deleted.
  bool StopAndDrain(std::chrono::milliseconds stall = std::chrono::milliseconds::max()) noexcept
      EXCLUDES(lock_, join_lock_);
  // Waits until everything queued so far has been handed to the store (tests, shutdown).
  void Flush() noexcept EXCLUDES(lock_);

  std::uint64_t Dropped() const noexcept { return dropped_.load(); }
  std::uint64_t Stored() const noexcept { return stored_.load(); }

 private:
  void Run() EXCLUDES(lock_, push_lock_);

  // ---- Constant after construction ----
  const StoreFn store_;
  const std::size_t capacity_;
  const std::size_t batch_;
  std::thread::id thread_id_;  // the sink thread's

  // ---- Guarded by lock_ (a leaf: the store and the push run without it) ----
  TOVLock lock_{LockLevel::Leaf};
  std::condition_variable_any cv_;       // a line queued, or the stop
  std::condition_variable_any idle_cv_;  // a batch finished, or the thread ended
  std::deque<Row> queue_ GUARDED_BY(lock_);
  bool stop_ GUARDED_BY(lock_) = false;
  bool busy_ GUARDED_BY(lock_) = false;
  bool finished_ GUARDED_BY(lock_) = false;      // Run has returned
  std::uint64_t batches_ GUARDED_BY(lock_) = 0;  // batches handed to the store so far

  // ---- Guarded by push_lock_ (a leaf: the handler is copied out and called without it) ----
  TOVLock push_lock_{LockLevel::Leaf};
  std::shared_ptr<PushFn> push_ GUARDED_BY(push_lock_);

  // ---- Atomics ----
  std::atomic<std::uint64_t> dropped_{0};
  std::atomic<std::uint64_t> stored_{0};

  // ---- The sink thread only ----
  std::uint64_t reported_dropped_ = 0;

  // ---- Guarded by join_lock_ (a leaf; started by the constructor, joined once) ----
  TOVLock join_lock_{LockLevel::Leaf};
  std::thread thread_ GUARDED_BY(join_lock_);
};

extern TOVService<TOVLogSink> LogSink;

}  // namespace ov
