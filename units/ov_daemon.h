// The console life of the server: start-up and shutdown over one ordered table of service
// slots, signal handling on a dedicated thread, restart requests and exit codes.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace ov {

// 16 upper-case hex digits: the local day number (1 = 1 January of year 1) and the
// milliseconds since local midnight at start, 8 digits each.
const std::string& GetServerBuildId() noexcept;
std::string MakeBuildId(std::chrono::system_clock::time_point t);
std::chrono::system_clock::time_point GetServerStartTime() noexcept;

inline constexpr int kExitOK = 0;
inline constexpr int kExitFatal = 1;
inline constexpr int kExitRestart = 42;

// Restart protocol.
extern std::atomic<bool> gRestartPending;
extern std::atomic<bool> gRestartWhenIdle;
void RequestRestart(const std::string& reason);
std::vector<std::string> GetRestartReasons();

// Asks the server to stop (signal thread, restart monitor, REST restart request).  A request
// that arrives during start-up is remembered and honoured when start-up ends.
void RequestServerStop() noexcept;
bool ServerStopRequested() noexcept;

// The usage text, exactly as printed.
std::string UsageText();

// The whole console life; returns the process exit code.
int RunConsoleMode(const std::string& config_file);

// Command-line entry: parses argv and returns the exit code.
int OrvantaMain(int argc, char** argv);

// The directory of the running executable, with a trailing "/".
std::string ExecutableDir();

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
