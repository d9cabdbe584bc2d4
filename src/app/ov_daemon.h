// The console life of the server: start-up and shutdown over the service table, signal handling
// on a dedicated thread with the shutdown deadline, restart requests and exit codes.
#pragma once

#include <span>
#include <string>

#include "ov_server_state.h"
#include "ov_service_table.h"

namespace ov {

inline constexpr int kExitOK = 0;
inline constexpr int kExitFatal = 1;
inline constexpr int kExitRestart = 42;

// The usage text, exactly as printed.
std::string UsageText();

// The whole console life; returns the process exit code.  When threads are still running after
// shutdown's bounded waits, it ends the process itself (with the same code) instead.
int RunConsoleMode(const std::string& config_file);

// Command-line entry: parses argv and returns the exit code.
int OrvantaMain(int argc, char** argv);

// The service table the console life walks, in start order.
std::span<const TOVServiceRow> ServiceTable() noexcept;

// Whether a plug-in route (router method, full path) would take requests meant for a row of the
// REST table; such a route is refused.
bool IsServerRoute(const std::string& method, const std::string& path);

}  // namespace ov
