// The console life of the server: start-up and shutdown over one ordered table of service
// slots, signal handling on a dedicated thread, restart requests and exit codes.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "ov_server_state.h"

namespace ov {

inline constexpr int kExitOK = 0;
inline constexpr int kExitFatal = 1;
inline constexpr int kExitRestart = 42;

// The usage text, exactly as printed.
std::string UsageText();

// The whole console life; returns the process exit code.
int RunConsoleMode(const std::string& config_file);

// Command-line entry: parses argv and returns the exit code.
int OrvantaMain(int argc, char** argv);

// One entry of the service table.  The table is kept in shutdown order; start_rank orders
// start-up.  A service whose start throws is fatal unless optional.
struct TOVServiceSlot {
  int start_rank;
  const char* name;
  std::function<void()> start;                       // creates and publishes
  std::function<void(const std::function<void(const std::string&)>& step)> stop;  // announces its steps
  bool started = false;
};

}  // namespace ov
