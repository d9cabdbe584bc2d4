// Helper programs for unit tests: a child process with piped standard input and output, and
// the python3 loopback HTTP server of loopback_http.py on top of it.
#pragma once

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "ov_json_helpers.h"

extern char** environ;

namespace ovtest {

class ChildProcess {
 public:
  // argv[0] is looked up on PATH.
  explicit ChildProcess(const std::vector<std::string>& argv) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const int rc = posix_spawnp(&pid_, args[0], &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(in[0]);
    ::close(out[1]);
    in_ = in[1];
    out_ = out[0];
    if (rc != 0) {
      pid_ = -1;
      throw std::runtime_error("cannot start " + argv[0]);
    }
  }
  ~ChildProcess() { Wait(std::chrono::seconds(5)); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // The next line of standard output (without its line end); nullopt at the end of the
  // output or when none comes within timeout.
  std::optional<std::string> ReadLine(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      if (auto nl = buf_.find('\n'); nl != std::string::npos) {
        std::string line = buf_.substr(0, nl);
        buf_.erase(0, nl + 1);
        return line;
      }
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      pollfd p{out_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return std::nullopt;
      char chunk[65536];
      const ssize_t n = ::read(out_, chunk, sizeof chunk);
      if (n <= 0) return std::nullopt;
      buf_.append(chunk, static_cast<std::size_t>(n));
    }
  }

  // Closes the child's standard input and waits for it; kills it after timeout.  Returns the
  // exit status (-1 when killed or already waited for).
  int Wait(std::chrono::milliseconds timeout) {
    if (in_ >= 0) ::close(in_);
    in_ = -1;
    int status = -1;
    if (pid_ > 0) {
      const auto deadline = std::chrono::steady_clock::now() + timeout;
      while (::waitpid(pid_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
          ::kill(pid_, SIGKILL);
          ::waitpid(pid_, &status, 0);
          status = -1;
          break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
      pid_ = -1;
    }
    if (out_ >= 0) ::close(out_);
    out_ = -1;
    return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  std::string buf_;
};

// A loopback TCP port on which nothing listens (a connection there is refused).
inline int ClosedLoopbackPort() {
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(s);
  return ntohs(a.sin_port);
}

// loopback_http.py: records every request it receives (see there for its paths).
class LoopbackHttp {
 public:
  LoopbackHttp() : child_({"python3", std::string(OV_SOURCE_DIR) + "/tests/unit/support/loopback_http.py"}) {
    auto line = child_.ReadLine(std::chrono::seconds(10));
    if (!line || line->rfind("PORT ", 0) != 0) throw std::runtime_error("loopback HTTP server did not start");
    port_ = std::stoi(line->substr(5));
  }
  int Port() const { return port_; }
  std::string Url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }

  // The next request received: {"method", "path", "headers": [[name, value]...], "body"}.
  std::optional<ov::TJSON> NextRequest(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    auto line = child_.ReadLine(timeout);
    if (!line) return std::nullopt;
    ov::TJSON r = ov::TJSON::parse(*line);
    std::string body;
    const std::string hex = r["body_hex"].get<std::string>();
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) body.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    r["body"] = body;
    return r;
  }

  // A request's header values of one name (compared ignoring case), in order.
  static std::vector<std::string> Header(const ov::TJSON& req, const std::string& name) {
    std::vector<std::string> out;
    for (const auto& h : req["headers"])
      if (strcasecmp(h[0].get<std::string>().c_str(), name.c_str()) == 0) out.push_back(h[1].get<std::string>());
    return out;
  }

 private:
  ChildProcess child_;
  int port_ = 0;
};

}  // namespace ovtest
