// A thread that watches a fixed set of directories with Linux inotify and reports a changed
// file's name at most once per burst of changes (the web root's reload notice).
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ov_service.h"

namespace ov {

// Called on the watcher thread with the bare file name (no directory).
using TFileChangedEvent = std::function<void(const std::string& name)>;

// IN_CLOSE_WRITE | IN_MOVED_FROM | IN_MOVED_TO | IN_CREATE | IN_DELETE.
inline constexpr std::uint32_t kFileWatchMask = 0x3C8;

class TFileWatcher {
 public:
  // debounce: how long changes after a reported one are folded into it.
  explicit TFileWatcher(TFileChangedEvent on_changed,
                        std::chrono::milliseconds debounce = std::chrono::milliseconds(1000));
  // StopWatching, then WaitFor.
  ~TFileWatcher();
  TFileWatcher(const TFileWatcher&) = delete;
  TFileWatcher& operator=(const TFileWatcher&) = delete;

  // Adds dir (made absolute, kept with a trailing "/", duplicates ignored) when it is an
  // existing directory; anything else is ignored silently.  Watches are placed once, when the
  // thread starts: add every directory before Start.  Takes lock_.
  void AddDirectory(const std::string& dir);
  // The sorted directory list.  Takes lock_.
  std::vector<std::string> Directories() const;

  // Starts the watcher thread (once; later calls do nothing).
  void Start();
  // Any thread: no callback is made from now on and the thread ends within 500 ms.  Only the
  // watcher thread opens and closes the inotify descriptor, so this never races a read.
  void StopWatching() noexcept;
  // Waits until the thread has ended (returns at once when it never started).
  void WaitFor() noexcept;

 private:
  void Execute();
  void DoNotify(const std::string& name);
  // Waits up to d for a stop request; true when stopping.
  bool WaitForStop(std::chrono::milliseconds d) const;

  // Constant after construction.
  const TFileChangedEvent on_changed_;
  const std::chrono::milliseconds debounce_;
  int wake_fd_ = -1;  // eventfd written by StopWatching; -1 when none (the 500 ms poll still ends the wait)

  std::atomic<bool> stopping_{false};

  // State below is protected by lock_.
  mutable std::mutex lock_;
  std::vector<std::string> dirs_;

  std::mutex join_mu_;
  std::thread thread_;
};

extern TOVService<TFileWatcher> WebFileWatcher;

}  // namespace ov
