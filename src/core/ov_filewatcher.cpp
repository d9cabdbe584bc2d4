#include "ov_filewatcher.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

namespace ov {

TOVService<TFileWatcher> WebFileWatcher;

namespace {

constexpr int kPollStepMs = 500;
constexpr std::size_t kReadSize = 4096;

// The name of the first event in buf[0, n) that carries one; empty when none does.
std::string FirstEventName(const char* buf, std::size_t n) {
  std::size_t i = 0;
  while (i + sizeof(inotify_event) <= n) {
    inotify_event ev;
    std::memcpy(&ev, buf + i, sizeof ev);
    const std::size_t name_at = i + sizeof(inotify_event);
    if (ev.len > n - name_at) break;
    if (ev.len > 0) {
      const std::size_t len = strnlen(buf + name_at, ev.len);
      if (len > 0) return std::string(buf + name_at, len);
    }
    i = name_at + ev.len;
  }
  return {};
}

}  // namespace

TFileWatcher::TFileWatcher(TFileChangedEvent on_changed, std::chrono::milliseconds debounce)
    : on_changed_(std::move(on_changed)), debounce_(debounce) {
  wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

TFileWatcher::~TFileWatcher() {
  StopWatching();
  WaitFor();
  if (wake_fd_ >= 0) ::close(wake_fd_);
}

void TFileWatcher::AddDirectory(const std::string& dir) {
  std::error_code ec;
  if (dir.empty() || !std::filesystem::is_directory(dir, ec)) return;
  std::string abs = std::filesystem::absolute(dir, ec).lexically_normal().string();
  if (ec) return;
  while (abs.size() > 1 && abs.back() == '/') abs.pop_back();
  if (abs != "/") abs += '/';
  std::lock_guard<std::mutex> g(lock_);
  auto it = std::lower_bound(dirs_.begin(), dirs_.end(), abs);
  if (it == dirs_.end() || *it != abs) dirs_.insert(it, abs);
}

std::vector<std::string> TFileWatcher::Directories() const {
  std::lock_guard<std::mutex> g(lock_);
  return dirs_;
}

void TFileWatcher::Start() {
  std::lock_guard<std::mutex> g(join_mu_);
  if (thread_.joinable() || stopping_.load()) return;
  thread_ = std::thread([this] { Execute(); });
}

void TFileWatcher::StopWatching() noexcept {
  stopping_.store(true);
  if (wake_fd_ >= 0) {
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t r = ::write(wake_fd_, &one, sizeof one);
  }
}

void TFileWatcher::WaitFor() noexcept {
  std::lock_guard<std::mutex> g(join_mu_);
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

bool TFileWatcher::WaitForStop(std::chrono::milliseconds d) const {
  const auto deadline = std::chrono::steady_clock::now() + d;
  while (!stopping_.load()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    // The wake-up descriptor stays readable once written, so this returns at once after a stop.
    pollfd p{wake_fd_, POLLIN, 0};
    ::poll(&p, 1, static_cast<int>(std::min<std::int64_t>(left.count(), kPollStepMs)));
  }
  return true;
}

void TFileWatcher::DoNotify(const std::string& name) {
  if (!on_changed_ || stopping_.load()) return;
  try {
    on_changed_(name);
  } catch (...) {
    // A failing receiver must not end the watcher.
  }
}

void TFileWatcher::Execute() {
  // Opened and closed here only: no other thread ever sees this descriptor.
  const int fd = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (fd < 0) {
    while (!WaitForStop(std::chrono::milliseconds(kPollStepMs))) {
    }
    return;
  }
  std::vector<int> watches;
  for (const auto& d : Directories()) watches.push_back(::inotify_add_watch(fd, d.c_str(), kFileWatchMask));

  alignas(inotify_event) char buf[kReadSize];
  while (!stopping_.load()) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
    const int r = ::poll(fds, 2, kPollStepMs);
    if (r <= 0 || stopping_.load() || !(fds[0].revents & POLLIN)) continue;
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) continue;
    const std::string name = FirstEventName(buf, static_cast<std::size_t>(n));
    if (!name.empty()) DoNotify(name);
    // Changes during the debounce time are folded into the notice just sent.
    if (WaitForStop(debounce_)) break;
    for (;;) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 0) <= 0 || !(p.revents & POLLIN)) break;
      if (::read(fd, buf, sizeof buf) <= 0) break;
    }
  }
  for (int w : watches)
    if (w >= 0) ::inotify_rm_watch(fd, w);
  ::close(fd);
}

}  // namespace ov
