#include "ov_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

extern char** environ;

namespace ov {

namespace {

// A descriptor closed when the scope ends.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { Close(); }
  int get() const noexcept { return fd_; }
  void Reset(int fd) noexcept {
    Close();
    fd_ = fd;
  }
  void Close() noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  int Release() noexcept {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_ = -1;
};

// posix_spawn's attribute and file-action objects, destroyed with the scope.
struct SpawnSetup {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  SpawnSetup() {
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
};

std::string ErrnoText(int err) {
  char buf[256];
  return ::strerror_r(err, buf, sizeof buf);
}

// A descriptor that becomes readable when the process ends (Linux 5.3+); -1 when the kernel
// has none, and the wait loop then polls waitpid.
int OpenPidFd(pid_t pid) noexcept {
#ifdef SYS_pidfd_open
  const long fd = ::syscall(SYS_pidfd_open, pid, 0);
  return fd >= 0 ? static_cast<int>(fd) : -1;
#else
  (void)pid;
  return -1;
#endif
}

class Child {
 public:
  Child(pid_t pid, int out_fd, int file_fd, const TOVProcessOptions& o)
      : pid_(pid), out_(out_fd), file_(file_fd), pidfd_(OpenPidFd(pid)), o_(o) {
    if (o.timeout.count() > 0) deadline_ = std::chrono::steady_clock::now() + o.timeout;
  }

  TOVProcessResult Wait() {
    while (!ended_) {
      KillWhenDue();
      pollfd fds[2];
      nfds_t n = 0;
      int out_index = -1;
      if (out_.get() >= 0) {
        out_index = static_cast<int>(n);
        fds[n++] = {out_.get(), POLLIN, 0};
      }
      if (pidfd_.get() >= 0) fds[n++] = {pidfd_.get(), POLLIN, 0};
      const int rc = ::poll(fds, n, PollTimeoutMs());
      if (rc < 0 && errno != EINTR) {
        // Nothing can be watched any more: the child is not left running unwatched.
        if (!killed_) Kill();
        ended_ = Ended(0);
        break;
      }
      if (out_index >= 0 && rc > 0 && (fds[out_index].revents & (POLLIN | POLLHUP | POLLERR))) ReadOutput();
      ended_ = Ended(WNOHANG);
    }
    // The child has ended but is not reaped yet, so its pid, which is its process group's id,
    // cannot have been given to another group: whatever it started and left behind in its group
    // ends with it.  A process that left the group on purpose (setsid, setpgid) is not followed.
    if (!lost_) {
      ::kill(-pid_, SIGKILL);
      Reap();
    }
    DrainOutput();
    return std::move(result_);
  }

 private:
  void Kill() {
    ::kill(-pid_, SIGKILL);  // the child's own process group: whatever it started as well
    ::kill(pid_, SIGKILL);
    killed_ = true;
  }

  void KillWhenDue() {
    if (killed_) return;
    const bool late = deadline_ && std::chrono::steady_clock::now() >= *deadline_;
    const bool stop = o_.stop.stop_requested();
    if (!late && !stop) return;
    result_.timed_out = late;
    result_.stopped = stop && !late;
    Kill();
  }

  int PollTimeoutMs() const {
    long ms = -1;
    auto shorten = [&](long v) { ms = ms < 0 ? v : std::min(ms, v); };
    if (pidfd_.get() < 0) shorten(20);
    if (o_.stop.stop_possible() && !killed_) shorten(100);
    if (deadline_ && !killed_) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline_ - std::chrono::steady_clock::now());
      shorten(std::max<long>(0, static_cast<long>(left.count())));
    }
    return static_cast<int>(ms);
  }

  // One read of at most `most` bytes: the bytes it got, 0 at the end, -1 when nothing was there.
  ssize_t ReadOutput(std::size_t most = 16384) {
    char buf[16384];
    const ssize_t got = ::read(out_.get(), buf, std::min(most, sizeof buf));
    if (got < 0) {
      if (errno != EINTR && errno != EAGAIN) out_.Close();
      return -1;
    }
    if (got == 0) {
      out_.Close();
      return 0;
    }
    const std::size_t kept = file_.get() >= 0 ? file_bytes_ : result_.output.size();
    const std::size_t room = o_.max_output > kept ? o_.max_output - kept : 0;
    const std::size_t take = std::min(room, static_cast<std::size_t>(got));
    if (take < static_cast<std::size_t>(got)) result_.output_truncated = true;
    if (file_.get() < 0) {
      result_.output.append(buf, take);
      return got;
    }
    if (!WriteAll(file_.get(), buf, take)) result_.output_truncated = true;
    file_bytes_ += take;
    // A file is not silently cut short: the child that overflows it, or whose output cannot be
    // stored, is stopped.
    if (result_.output_truncated && !killed_ && !ended_) Kill();
    return got;
  }

  // Everything the child wrote is in the pipe once it has ended; that much is read and no
  // more.  The pipe may still be held open, and written to without end, by a process that left
  // the child's group: waiting for its end could last for ever.
  void DrainOutput() {
    if (out_.get() < 0) return;
    int left = 0;
    if (::ioctl(out_.get(), FIONREAD, &left) != 0) left = 0;
    ::fcntl(out_.get(), F_SETFL, ::fcntl(out_.get(), F_GETFL) | O_NONBLOCK);
    while (left > 0) {
      const ssize_t got = ReadOutput(static_cast<std::size_t>(left));
      if (got <= 0) break;
      left -= static_cast<int>(got);
    }
    out_.Close();
  }

  static bool WriteAll(int fd, const char* p, std::size_t n) {
    while (n > 0) {
      const ssize_t w = ::write(fd, p, n);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) return false;
      p += w;
      n -= static_cast<std::size_t>(w);
    }
    return true;
  }

  // Whether the child has ended, leaving it unreaped (WNOWAIT): a zombie keeps its pid.  A child
  // that is no longer ours to wait for (reaped elsewhere) counts as ended and lost.
  bool Ended(int flags) {
    siginfo_t info{};
    int r;
    do {
      r = ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT | flags);
    } while (r < 0 && errno == EINTR);
    if (r < 0) lost_ = true;
    return lost_ || info.si_pid == pid_;
  }

  void Reap() {
    int status = 0;
    pid_t r;
    do {
      r = ::waitpid(pid_, &status, 0);
    } while (r < 0 && errno == EINTR);
    if (r != pid_) return;
    if (WIFEXITED(status)) result_.exit_code = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result_.term_signal = WTERMSIG(status);
  }

  pid_t pid_;
  Fd out_;
  Fd file_;
  std::size_t file_bytes_ = 0;
  Fd pidfd_;
  const TOVProcessOptions& o_;
  std::optional<std::chrono::steady_clock::time_point> deadline_;
  bool ended_ = false;
  bool lost_ = false;
  bool killed_ = false;
  TOVProcessResult result_;
};

}  // namespace

TOVProcessResult RunProcess(const TOVProcessOptions& o) {
  if (o.program.empty()) throw EOVProcessError("Cannot start a process: no program given");
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(o.program.c_str()));
  for (const std::string& a : o.args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  Fd out_read, out_write, file;
  if (o.output == TOVProcessOutput::File) {
    file.Reset(::open(o.output_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (file.get() < 0) throw EOVProcessError("Cannot create " + o.output_file + ": " + ErrnoText(errno));
  }
  if (o.output == TOVProcessOutput::Capture || o.output == TOVProcessOutput::File) {
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0) throw EOVProcessError("Cannot start " + o.program + ": " + ErrnoText(errno));
    out_read.Reset(p[0]);
    out_write.Reset(p[1]);
  }

  SpawnSetup s;
  posix_spawn_file_actions_addopen(&s.actions, 0, "/dev/null", O_RDONLY, 0);
  switch (o.output) {
    case TOVProcessOutput::Capture:
    case TOVProcessOutput::File: posix_spawn_file_actions_adddup2(&s.actions, out_write.get(), 1); break;
    case TOVProcessOutput::Discard: posix_spawn_file_actions_addopen(&s.actions, 1, "/dev/null", O_WRONLY, 0); break;
    case TOVProcessOutput::Inherit: break;
  }
  if (o.merge_stderr) posix_spawn_file_actions_adddup2(&s.actions, 1, 2);
  // Every other descriptor of the server (sockets, database files, the log) stays behind.
  posix_spawn_file_actions_addclosefrom_np(&s.actions, 3);
  if (!o.working_dir.empty()) posix_spawn_file_actions_addchdir_np(&s.actions, o.working_dir.c_str());

  sigset_t none, defaults;
  sigemptyset(&none);
  sigfillset(&defaults);
  sigdelset(&defaults, SIGKILL);
  sigdelset(&defaults, SIGSTOP);
  posix_spawnattr_setsigmask(&s.attr, &none);
  posix_spawnattr_setsigdefault(&s.attr, &defaults);
  posix_spawnattr_setpgroup(&s.attr, 0);
  posix_spawnattr_setflags(&s.attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

  pid_t pid = -1;
  const bool search = o.program.find('/') == std::string::npos;
  const int rc = search ? ::posix_spawnp(&pid, o.program.c_str(), &s.actions, &s.attr, argv.data(), environ)
                        : ::posix_spawn(&pid, o.program.c_str(), &s.actions, &s.attr, argv.data(), environ);
  out_write.Close();
  if (rc != 0) throw EOVProcessError("Cannot start " + o.program + ": " + ErrnoText(rc));
  Child child(pid, out_read.Release(), file.Release(), o);
  return child.Wait();
}

}  // namespace ov
