#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <stop_token>
#include <string>
#include <thread>

#include "ov_process.h"
#include "test_util.h"

using namespace ov;
using namespace std::chrono_literals;

namespace {

TOVProcessResult Shell(const std::string& script, TOVProcessOptions o = {}) {
  o.program = "/bin/sh";
  o.args = {"-c", script};
  return RunProcess(o);
}

// The value of one line of /proc/self/status as the child sees it.
std::string StatusLine(const std::string& output, const std::string& name) {
  const std::size_t p = output.find(name + ":");
  if (p == std::string::npos) return "<missing>";
  const std::size_t b = output.find_first_not_of(" \t", p + name.size() + 1);
  return output.substr(b, output.find('\n', b) - b);
}

}  // namespace

TEST(Process, ExitCodesOutputAndStreams) {
  TOVProcessResult r = Shell("echo out; echo err >&2; exit 3");
  EXPECT_EQ(r.exit_code, 3);
  EXPECT_EQ(r.term_signal, 0);
  EXPECT_EQ(r.output, "out\nerr\n");  // standard error merged by default

  TOVProcessOptions separate;
  separate.merge_stderr = false;
  r = Shell("echo out; echo err >&2", separate);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.output, "out\n");

  TOVProcessOptions discard;
  discard.output = TOVProcessOutput::Discard;
  r = Shell("echo gone", discard);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.output, "");

  // Arguments reach the program as they are: no shell sees them.
  TOVProcessOptions args;
  args.program = "printf";  // found on PATH
  args.args = {"%s|", "a b", "$HOME", "*", ";"};
  r = RunProcess(args);
  EXPECT_EQ(r.output, "a b|$HOME|*|;|");

  // Standard input is /dev/null: a program reading it ends at once.
  r = Shell("cat; echo done");
  EXPECT_EQ(r.output, "done\n");

  ovtest::TempDir dir;
  TOVProcessOptions in_dir;
  in_dir.working_dir = dir.path();
  r = Shell("pwd", in_dir);
  EXPECT_EQ(r.output, dir.path() + "\n");
}

TEST(Process, ProgramsThatCannotStartAreErrors) {
  TOVProcessOptions o;
  o.program = "ov-no-such-program-here";
  try {
    RunProcess(o);
    FAIL() << "started";
  } catch (const EOVProcessError& e) {
    EXPECT_STREQ(e.what(), "Cannot start ov-no-such-program-here: No such file or directory");
  }
  o.program = "/nonexistent/prog";
  EXPECT_THROW(RunProcess(o), EOVProcessError);
  o.program.clear();
  EXPECT_THROW(RunProcess(o), EOVProcessError);
}

TEST(Process, ChildStartsWithCleanSignalsAndNoServerDescriptors) {
  // What the server has: SIGPIPE ignored, shutdown signals blocked, descriptors open.
  struct sigaction ign {}, old_pipe {};
  ign.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ign, &old_pipe);
  sigset_t block, old_mask;
  sigemptyset(&block);
  sigaddset(&block, SIGTERM);
  sigaddset(&block, SIGINT);
  pthread_sigmask(SIG_BLOCK, &block, &old_mask);
  const int leaked = ::open("/dev/null", O_RDONLY);  // without O_CLOEXEC on purpose

  const TOVProcessResult status = Shell("cat /proc/self/status");
  TOVProcessOptions ls;
  ls.program = "ls";
  ls.args = {"/proc/self/fd"};
  const TOVProcessResult fds = RunProcess(ls);
  ::close(leaked);
  pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  sigaction(SIGPIPE, &old_pipe, nullptr);

  ASSERT_EQ(status.exit_code, 0) << status.output;
  const unsigned long long ignored = std::stoull(StatusLine(status.output, "SigIgn"), nullptr, 16);
  EXPECT_EQ(ignored & (1ull << (SIGPIPE - 1)), 0u);
  EXPECT_EQ(StatusLine(status.output, "SigBlk"), "0000000000000000");
  // 0, 1, 2 and the directory ls itself opened.
  EXPECT_EQ(fds.output, "0\n1\n2\n3\n");
}

TEST(Process, DeadlineStopAndOutputCap) {
  TOVProcessOptions o;
  o.timeout = 200ms;
  auto t0 = std::chrono::steady_clock::now();
  // The child's own child keeps the pipe open: the process group goes with it.
  TOVProcessResult r = Shell("sleep 30 & sleep 30", o);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 10s);
  EXPECT_TRUE(r.timed_out);
  EXPECT_FALSE(r.Exited());
  EXPECT_EQ(r.term_signal, SIGKILL);

  std::stop_source stop;
  TOVProcessOptions s;
  s.output = TOVProcessOutput::Inherit;
  s.stop = stop.get_token();
  std::thread stopper([&] {
    std::this_thread::sleep_for(150ms);
    stop.request_stop();
  });
  t0 = std::chrono::steady_clock::now();
  r = Shell("sleep 30", s);
  stopper.join();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 10s);
  EXPECT_TRUE(r.stopped);
  EXPECT_FALSE(r.timed_out);

  TOVProcessOptions cap;
  cap.max_output = 1000;
  r = Shell("head -c 300000 /dev/zero | tr '\\0' x", cap);
  EXPECT_EQ(r.exit_code, 0);  // the rest was read and dropped: the writer never blocked
  EXPECT_EQ(r.output, std::string(1000, 'x'));
  EXPECT_TRUE(r.output_truncated);
}

// Standard output streamed into a file: what fits is kept, a child that writes more is killed,
// and standard error stays out of the file unless merged.
TEST(Process, OutputIntoAFileIsCapped) {
  ovtest::TempDir dir;
  TOVProcessOptions o;
  o.output = TOVProcessOutput::File;
  o.output_file = dir / "out";
  o.merge_stderr = false;
  TOVProcessResult r = Shell("echo kept; echo elsewhere >&2", o);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_FALSE(r.output_truncated);
  EXPECT_EQ(r.output, "");
  EXPECT_EQ(ovtest::ReadText(o.output_file), "kept\n");

  o.max_output = 100000;
  r = Shell("exec cat /dev/zero", o);  // never ends by itself
  EXPECT_TRUE(r.output_truncated);
  EXPECT_EQ(r.term_signal, SIGKILL);
  EXPECT_EQ(ovtest::ReadText(o.output_file).size(), 100000u);

  o.output_file = dir / "missing-dir/out";
  EXPECT_THROW(Shell("true", o), EOVProcessError);
}
