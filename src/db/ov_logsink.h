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
#include <mutex>
#include <string>
#include <thread>

#include "ov_database.h"
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
               const std::string& message) noexcept;
  // Called for every line after it was handed to the store (the "log_entry" push).
  void SetPushHandler(PushFn fn);
  // Stores what is queued, then ends the thread.  Waits as long as the thread makes progress;
  // false when it has finished no batch for `stall` (stuck, say, behind a write lock that a
  // stuck thread holds): the thread is then left running and the sink must never be deleted.
  bool StopAndDrain(std::chrono::milliseconds stall = std::chrono::milliseconds::max()) noexcept;
  // Waits until everything queued so far has been handed to the store (tests, shutdown).
  void Flush() noexcept;

  std::uint64_t Dropped() const noexcept { return dropped_.load(); }
  std::uint64_t Stored() const noexcept { return stored_.load(); }

 private:
  void Run();

  StoreFn store_;
  std::size_t capacity_;
  std::size_t batch_;
  std::mutex lock_;
  std::condition_variable cv_;
  std::condition_variable idle_cv_;
  std::deque<Row> queue_;
  bool stop_ = false;
  bool busy_ = false;
  bool finished_ = false;      // Run has returned
  std::uint64_t batches_ = 0;  // batches handed to the store so far
  std::mutex push_lock_;
  std::shared_ptr<PushFn> push_;
  std::atomic<std::uint64_t> dropped_{0};
  std::atomic<std::uint64_t> stored_{0};
  std::uint64_t reported_dropped_ = 0;
  std::thread thread_;
};

extern TOVService<TOVLogSink> LogSink;

}  // namespace ov
