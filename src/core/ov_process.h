// The one way the server starts an external program (sqlite3 for VACUUM, archive tools):
// posix_spawn without a shell, standard input from /dev/null, no other inherited descriptors,
// default signal dispositions and an empty signal mask in the child (the server ignores
// SIGPIPE and blocks its shutdown signals; a child must not inherit either), the child in a
// process group of its own so a deadline or a stop kills everything it started.  Nothing it
// started outlives it either: when the child ends, whatever is left in its process group is
// killed (a process forked by a plug-in's library in the probe would otherwise run on with
// parent 1, holding the probe's descriptors).  A process that leaves the group on purpose
// (setsid, setpgid) is not followed, and the child's output is read only up to the child's
// end, so such a process holding the pipe open cannot keep the caller waiting.
#pragma once

#include <chrono>
#include <cstddef>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <vector>

namespace ov {

// Where the child's standard output goes.
enum class TOVProcessOutput : unsigned char {
  Capture,  // into TOVProcessResult::output (up to max_output bytes)
  Inherit,  // the server's own standard output
  Discard,  // /dev/null
  // Streamed by the server into output_file (created or truncated, mode 0600), at most
  // max_output bytes: a child that writes more, or a file that cannot be written, is killed
  // and output_truncated is set.  Nothing is kept in TOVProcessResult::output.
  File,
};

struct TOVProcessOptions {
  // A name without "/" is searched on PATH; a path is run as it stands.
  std::string program;
  std::vector<std::string> args;  // argv[1..], passed as they are (no shell, no quoting)
  std::string working_dir;        // empty: the server's current directory
  TOVProcessOutput output = TOVProcessOutput::Capture;
  std::string output_file;        // TOVProcessOutput::File: where standard output goes
  // true: standard error goes where standard output goes; false: the server's standard error.
  bool merge_stderr = true;
  // After this long the child (and its process group) is killed; zero: no deadline.
  std::chrono::milliseconds timeout{0};
  // Captured bytes beyond this are read and dropped (output_truncated is set); for File, the
  // most the file may grow to.
  std::size_t max_output = 1 << 20;
  // A stop request kills the child the same way as the deadline (looked at every 100 ms).
  std::stop_token stop;
};

struct TOVProcessResult {
  int exit_code = -1;    // the exit status when the child exited, else -1
  int term_signal = 0;   // the signal that ended the child, else 0
  bool timed_out = false;
  bool stopped = false;  // killed because of a stop request
  bool output_truncated = false;
  std::string output;

  bool Exited() const noexcept { return exit_code >= 0; }
};

// The program could not be started; the message says why ("Cannot start sqlite3: No such file
// or directory").
class EOVProcessError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Runs the program and waits until it ends, its deadline passes or a stop is requested, then
// kills what is left of its process group.  Throws EOVProcessError when it cannot be started.
TOVProcessResult RunProcess(const TOVProcessOptions& options);

}  // namespace ov
