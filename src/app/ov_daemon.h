// The console life of the server: start-up and shutdown over the service table, signal handling
// on a dedicated thread with the shutdown deadline, restart requests and exit codes.
#pragma once

#include <cstddef>
#include <mutex>
#include <optional>
#include <span>
#include <string>

#include "ov_daemon_app.h"
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

// The service table both lives walk, in start order.
std::span<const TOVServiceRow> ServiceTable() noexcept;

// Whether a plug-in route (router method, full path) would take requests meant for a row of the
// REST table; such a route is refused.
bool IsServerRoute(const std::string& method, const std::string& path);

// The number of threads of this process (the console life ends only as the last one).
std::size_t ThreadCount();

/* ---- the daemon form ---------------------------------------------------------------------- */

// The server as a daemon for a service host: the console life's services and accept loop,
// without the web-root watcher, the console lines or signal handling (the host owns those).
// Nothing registers it; the program runs in console mode.
class TOVDaemon : public TCustomDaemon {
 public:
  // Needs Config and Log (made by the host).  Starts the services, then runs the HTTP accept
  // loop on the calling thread until the server is stopped (Stop, or a restart request);
  // true then.  A failure to start, or of the accept loop (the port in use), logs "Daemon
  // start failed: %s", stops whatever had started and gives false.  Holds life_ throughout.
  bool Start() override;
  // From another thread: stops the HTTP server, waits for Start to leave its accept loop,
  // then stops the services in shutdown order.  An escaping error logs "Daemon stop error:
  // %s" and gives false.  Takes life_.
  bool Stop() override;
  // The framework's own operation (there is nothing to install into: false), logged
  // "Daemon installed" / "Daemon uninstalled" only when it succeeded.
  bool Install() override;
  bool Uninstall() override;

 private:
  // Outside the lock order: Start holds it for the whole start-up and the accept loop, so every
  // lock of the server is taken under it.  Stop takes it only after the accept loop was told
  // to end.  A plain mutex, unseen by the order checks.
  std::mutex life_;
  // State below is protected by life_.
  std::optional<TOVServiceWalk> walk_;  // the services of the current life
};

// The definition a service host knows the server by.
class TOVDaemonDef : public TDaemonDef {
 public:
  TOVDaemonDef();
};

// The definitions the server offers: one TOVDaemonDef.
class TOVDaemonMapper : public TCustomDaemonMapper {
 public:
  TOVDaemonMapper();
};

}  // namespace ov
