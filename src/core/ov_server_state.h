// Process-wide facts every layer may read: the build identifier, the start time, the
// executable's directory, and the restart and stop requests.  The console life (src/app) sets
// them; lower layers only read them or ask for a stop or restart.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace ov {

// 16 upper-case hex digits: the local day number (1 = 1 January of year 1) and the
// milliseconds since local midnight at start, 8 digits each.  Empty before start-up.
const std::string& GetServerBuildId() noexcept;
std::string MakeBuildId(std::chrono::system_clock::time_point t);
void SetServerBuildId(std::string id);
std::chrono::system_clock::time_point GetServerStartTime() noexcept;
void SetServerStartTime(std::chrono::system_clock::time_point t) noexcept;

// The directory of the running executable, with a trailing "/".
std::string ExecutableDir();

// The configuration file named on the command line ("config/orvanta.ini" by default); set by
// the console life before any service starts.
const std::string& GetConfigFileName() noexcept;
void SetConfigFileName(std::string file);

// The start of the services' life (a row of the service table): the start time is now, and
// restart requests of an earlier life are forgotten.
void StartupServerState();

// ---- restart protocol ----
extern std::atomic<bool> gRestartPending;
extern std::atomic<bool> gRestartWhenIdle;
// Sets gRestartPending, keeps a non-empty reason, logs "Restart pending: %s".
void RequestRestart(const std::string& reason);
std::vector<std::string> GetRestartReasons();
// Clears both flags and the reasons (start of service start-up).
void ResetRestartState();

// ---- stop requests ----
// Asks the server to stop (signal thread, restart monitor, REST restart request).  A request
// that arrives during start-up is remembered and honoured when start-up ends.  The handler
// (set by the console life) stops the HTTP server's accept loop.
void RequestServerStop() noexcept;
bool ServerStopRequested() noexcept;
void SetServerStopHandler(std::function<void()> handler);
// Forgets an earlier stop request (a new console life in the same process).
void ResetServerStopRequest() noexcept;

}  // namespace ov
