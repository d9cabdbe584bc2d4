#include "ov_logsink.h"

#include "ov_log.h"

namespace ov {

TOVService<TOVLogSink> LogSink{"LogSink"};

TOVLogSink::TOVLogSink(StoreFn store, std::size_t capacity, std::size_t batch)
    : store_(std::move(store)), capacity_(capacity ? capacity : 1), batch_(batch ? batch : 1) {
  thread_ = std::thread([this] { Run(); });
  thread_id_ = thread_.get_id();
}

TOVLogSink::~TOVLogSink() { StopAndDrain(); }

void TOVLogSink::Enqueue(const std::string& level, const std::string& source, const std::string& category,
                         const std::string& message) noexcept {
  try {
    {
      TOVLockGuard g(lock_);
      if (stop_) return;
      if (queue_.size() >= capacity_) {
        queue_.pop_front();
        dropped_.fetch_add(1);
      }
      queue_.push_back(Row{level, source, category, message, {}});
    }
    cv_.notify_one();
  } catch (...) {
    dropped_.fetch_add(1);
  }
}

void TOVLogSink::SetPushHandler(PushFn fn) {
  TOVLockGuard g(push_lock_);
  push_ = fn ? std::make_shared<PushFn>(std::move(fn)) : nullptr;
}

void TOVLogSink::Run() {
  std::vector<Row> rows;
  for (;;) {
    {
      TOVUniqueLock lk(lock_);
      cv_.wait(lk, [this]() REQUIRES(lock_) { return stop_ || !queue_.empty(); });
      if (queue_.empty() && stop_) {
        busy_ = false;
        finished_ = true;
        idle_cv_.notify_all();
        return;
      }
      rows.clear();
      while (!queue_.empty() && rows.size() < batch_) {
        rows.push_back(std::move(queue_.front()));
        queue_.pop_front();
      }
      busy_ = true;
    }
    try {
      stored_.fetch_add(store_(rows));
    } catch (...) {
    }
    std::shared_ptr<PushFn> push;
    {
      TOVLockGuard g(push_lock_);
      push = push_;
    }
    if (push) {
      for (const Row& r : rows) {
        try {
          (*push)(r);
        } catch (...) {
          // A failing push never affects storage or logging.
        }
      }
    }
    std::uint64_t dropped = dropped_.load();
    if (dropped != reported_dropped_) {
      std::uint64_t n = dropped - reported_dropped_;
      reported_dropped_ = dropped;
      LogWarning("[log] %d log line(s) not stored in the database: queue full", n);
    }
    {
      TOVLockGuard g(lock_);
      busy_ = false;
      ++batches_;
      if (queue_.empty() || stop_) idle_cv_.notify_all();
    }
  }
}

void TOVLogSink::Flush() noexcept {
  TOVUniqueLock lk(lock_);
  idle_cv_.wait_for(lk, std::chrono::seconds(30),
                    [this]() REQUIRES(lock_) { return (queue_.empty() && !busy_) || finished_; });
}

bool TOVLogSink::StopAndDrain(std::chrono::milliseconds stall) noexcept {
  {
    TOVUniqueLock lk(lock_);
    stop_ = true;
    cv_.notify_all();
    if (std::this_thread::get_id() == thread_id_) return true;
    while (!finished_) {
      const std::uint64_t seen = batches_;
      const auto moved = [&]() REQUIRES(lock_) { return finished_ || batches_ != seen; };
      if (stall == std::chrono::milliseconds::max())
        idle_cv_.wait(lk, moved);
      else if (!idle_cv_.wait_for(lk, stall, moved))
        return false;
    }
  }
  TOVLockGuard j(join_lock_);
  if (thread_.joinable()) thread_.join();
  return true;
}

}  // namespace ov
