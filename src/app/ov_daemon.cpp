#include "ov_daemon.h"

#include <dirent.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <exception>
#include <memory>
#include <optional>
#include <thread>

#include "ov_admin_registry.h"
#include "ov_auth.h"
#include "ov_config.h"
#include "ov_consts.h"
#include "ov_daemon_hooks.h"
#include "ov_database.h"
#include "ov_discovery.h"
#include "ov_event_bus.h"
#include "ov_format.h"
#include "ov_http_client.h"
#include "ov_http_server.h"
#include "ov_i18n.h"
#include "ov_log.h"
#include "ov_plugin_host.h"
#include "ov_plugin_installer.h"
#include "ov_plugin_manager.h"
#include "ov_plugin_routes.h"
#include "ov_plugin_updates.h"
#include "ov_lua_engine.h"
#include "ov_logsink.h"
#include "ov_memory.h"
#include "ov_route_admin.h"
#include "ov_route_api.h"
#include "ov_route_auth.h"
#include "ov_route_nodes.h"
#include "ov_router.h"
#include "ov_scheduler.h"
#include "ov_script_manager.h"
#include "ov_security.h"
#include "ov_server_state.h"
#include "ov_session_manager.h"
#include "ov_ssl_handler.h"
#include "ov_ws_server.h"
#include "orvanta/plugin_abi.h"

namespace ov {

namespace {

using namespace std::chrono_literals;

/* ---- shutdown budget ---------------------------------------------------------------------- */

// SIGTERM ends the process within 15 s whatever a handler is doing.  Running requests get a
// moment to finish before their statements are interrupted; the HTTP server then waits for its
// connections (and up to 3 s more to cut and reap them); a service still in use is waited for
// kRetireWait and the log sink as long as it makes progress.  Whatever is still stuck when the
// deadline passes is not waited for: the signal thread ends the process.
constexpr auto kHttpShutdownWait = 6000ms;
constexpr auto kLogDrainStall = 1500ms;
constexpr auto kShutdownDeadline = 14000ms;

// The exit code the process ends with when the deadline ends it (set before shutdown).
std::atomic<int> g_planned_exit{kExitOK};

int FinalExitCode(int planned) noexcept {
  return planned == kExitOK && gRestartPending.load() ? kExitRestart : planned;
}

/* ---- signals and the shutdown deadline ---------------------------------------------------- */

// SIGUSR2 only wakes the signal thread (a deadline armed, or the end); it never comes from
// outside in practice.
sigset_t HandledSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  sigaddset(&set, SIGUSR2);
  return set;
}

// One thread takes SIGINT, SIGTERM and SIGHUP with sigwait, and watches the shutdown deadline
// once a stop is under way.
class SignalThread {
 public:
  void Start() { thread_ = std::thread([this] { Run(); }); }
  void Stop() {
    if (!thread_.joinable()) return;
    exit_.store(true);
    pthread_kill(thread_.native_handle(), SIGUSR2);
    thread_.join();
  }
  ~SignalThread() { Stop(); }

  // From now on the process ends within kShutdownDeadline; the earliest deadline armed holds.
  void ArmDeadline() noexcept {
    SetDeadline();
    if (thread_.joinable()) pthread_kill(thread_.native_handle(), SIGUSR2);
  }

 private:
  void SetDeadline() noexcept {
    const std::int64_t at = (std::chrono::steady_clock::now() + kShutdownDeadline).time_since_epoch().count();
    std::int64_t cur = deadline_.load();
    while ((cur == 0 || at < cur) && !deadline_.compare_exchange_weak(cur, at)) {
    }
  }

  void Run() {
    const sigset_t set = HandledSignals();
    while (!exit_.load()) {
      int sig = 0;
      const std::int64_t deadline = deadline_.load();
      if (deadline == 0) {
        if (sigwait(&set, &sig) != 0) continue;
      } else {
        const auto left = std::chrono::steady_clock::duration(deadline) - std::chrono::steady_clock::now().time_since_epoch();
        if (left <= std::chrono::steady_clock::duration::zero()) DeadlinePassed();
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        const timespec wait{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        sig = sigtimedwait(&set, nullptr, &wait);
        if (sig < 0) continue;  // timed out or interrupted: look at the deadline again
      }
      if (exit_.load()) return;
      if (sig == SIGINT || sig == SIGTERM) {
        ConsoleWrite("\nShutting down...\n");
        LogInfo("Received signal %d \xE2\x80\x94 initiating shutdown", sig);
        SetDeadline();
        RequestServerStop();
      } else if (sig == SIGHUP) {
        LogInfo("Received SIGHUP \xE2\x80\x94 ignoring (no controlling terminal needed)");
      }
    }
  }

  // Something did not stop within its bound and kept shutdown from finishing: the log file and
  // the console have every line already (each is written at once); the process ends without
  // running destructors under the threads still running.
  [[noreturn]] void DeadlinePassed() {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(kShutdownDeadline).count();
    LogError("Shutdown did not finish within %d s; ending the process", seconds);
    ConsoleWriteErr(Format("[shutdown] not finished within %d s; ending the process\n", seconds));
    std::fflush(nullptr);
    _exit(FinalExitCode(g_planned_exit.load()));
  }

  std::thread thread_;
  std::atomic<bool> exit_{false};
  std::atomic<std::int64_t> deadline_{0};  // steady clock ticks; 0: no stop under way
};

// Announces a shutdown step on the log and on standard error.
void Step(const std::string& name) {
  LogInfo("[shutdown] %s", name);
  ConsoleWriteErr("[shutdown] " + name + "\n");
}

// True when this thread is the only one left, after waiting a little for threads that are just
// ending (idle connection threads leave on their own once the server is gone).
bool OnlyThreadLeft() {
  const auto until = std::chrono::steady_clock::now() + 500ms;
  for (;;) {
    if (ThreadCount() <= 1) return true;
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(10ms);
  }
}

/* ---- start and stop functions whose wiring spans layers ----------------------------------- */

// The token secret: generated once and kept in the configuration file.
void StartupAuth() {
  if (Config->JWTSecret().empty()) {
    Config->WriteString("security", "jwt_secret", TOVAuth::GenerateRandomHex(32));
    LogInfo("Generated persistent JWT secret");
  }
  const std::int32_t expiry = Config->JWTExpirySeconds();
  TOVAuth::Init(Config->JWTSecret(), expiry);
  LogInfo("Auth subsystem initialized (JWT expiry: %d seconds)", expiry);
}

std::size_t StoreLogRows(const std::vector<TOVLogSink::Row>& rows) {
  auto db = DB.Get();
  return db ? db->WriteLogBatch(rows) : 0;
}

// Every stored line is also pushed to subscribed web administrators.
void PushLogRow(const TOVLogSink::Row& r) { PushLogEntryToAdmins(r.level, r.source, r.category, r.message); }

void QueueLogLine(const std::string& level, const std::string& source, const std::string& category,
                  const std::string& message) {
  if (auto sink = LogSink.Get()) sink->Enqueue(level, source, category, message);
}

// The database, and from then on every log line stored through the log sink.
void StartupDatabase() {
  DB.Publish(std::make_unique<TOVDatabase>(Config->DatabaseFile()));
  LogSink.Publish(std::make_unique<TOVLogSink>(StoreLogRows));
  LogSink->SetPushHandler(PushLogRow);
  Log->SetDBCallback(QueueLogLine);
}

void ShutdownDatabase(const TOVStepFn& step) {
  if (!DB.Exists() && !LogSink.Exists()) return;
  step("DB.Free");
  // Everything logged so far, the line above included, is stored before the database goes.
  if (auto log = Log.Get()) log->SetDBCallback(nullptr);
  if (auto sink = LogSink.Retire()) {
    if (!sink->StopAndDrain(kLogDrainStall)) {
      ReportServiceLeftInUse(LogSink.Name(), kLogDrainStall);
      (void)sink.release();  // its thread still runs on it
    }
  }
  DB.Free();
}

// The last of the registries plug-ins fill (event bus, sessions, menus, pages, routes).
void StartupRouteRegistry() {
  StartupPluginRoutes(IsServerRoute);
  LogInfo("Event bus and session manager initialized");
}

// The WebSocket hub is optional: a failure to start leaves it absent.
void StartupHub() {
  StartupWSServer({HandleWSClientDisconnected, HandleWSPluginCall, [] { return BuildStatusJSON(); }, BuildServerNodeJSON});
}

void FireServerStart() {
  if (auto bus = EventBus.Get()) {
    TJSON data = TJSON::object();
    data["version"] = kVersion;
    bus->Fire("_system", OV_EVENT_SERVER_START, data);
  }
}

void FireServerStop(const TOVStepFn& step) {
  if (auto bus = EventBus.Get()) {
    step("event server.stop");
    bus->Fire("_system", OV_EVENT_SERVER_STOP, TJSON::object());
  }
}

// Logs "API routes registered (/api/v1/*)" and "Admin routes registered".
void StartupRestRoutes() {
  RegisterAPIRoutes();
  RegisterAdminRoutes();
}

// The server's own routes leave the process router with the HTTP server, so a later life in
// the same process (the daemon form started again) registers them once.
void ShutdownRestRoutes(const TOVStepFn&) { HttpRouter().UnregisterRoutes({}); }

// Ends every registry check-in and package download under way, and any started later: the
// server is stopping, and a request waiting on a registry that trickles its answer would
// otherwise hold the stop for the HTTP server's whole wait.  Each answers that the server is
// stopping.
void CancelRegistryTransfers() {
  if (auto checker = UpdateChecker.Get()) checker->CancelTransfers();
  if (auto installer = PluginInstaller.Get()) installer->CancelTransfers();
}

// What requests wait on outside the server ends as the stop begins: registry transfers at once,
// and calls to a database server soon (at once while it does not answer; see
// TOVDatabase::BeginStop), and no new connection to it is opened.
void EndOutsideWaits() {
  CancelRegistryTransfers();
  if (auto db = DB.Get()) db->BeginStop();
}

// Logs "HTTP server configured on ..."; its accept loop runs later on the main thread.
void StartupHttpServer() {
  TOVHttpServerOptions opts = TOVHttpServerOptions::FromConfig();
  opts.router = &HttpRouter();
  opts.websocket_upgrade = HandleWSUpgradeRequest;
  opts.find_admin_page = FindAdminPage;
  opts.shutdown_wait = kHttpShutdownWait;
  // A request still running half-way through the wait (a runaway SQL console statement, or a
  // handler waiting for the write lock behind one) has its statement interrupted, so its thread
  // ends within the bounded wait instead of holding the write lock, the log sink and the
  // database.  Registry transfers were ended and the database told when the stop began; a stop
  // that did not come through the stop handler (the accept loop failed) does so here.
  opts.on_busy_shutdown = [] {
    if (auto db = DB.Get()) db->InterruptStatements();
    EndOutsideWaits();
  };
  // The IP blacklist and rate limiter guard every request but /health.
  InstallSecurityGate(opts);
  HttpSrv.Publish(std::make_unique<TOVHttpServerWrapper>(std::move(opts)));
}

void ShutdownHttpServer(const TOVStepFn& step) {
  if (!HttpSrv.Exists()) return;
  step("HttpSrv.Stop");
  if (auto srv = HttpSrv.Get()) srv->Stop();
  step("HttpSrv.Free");
  HttpSrv.Free();
}

// A TLS set-up failure ends start-up: never fall back to plain HTTP.
void StartupTLS() {
  if (!Config->ServerUseSSL()) return;
  const std::string min_version = Config->ReadString("ssl", "min_version", "tls1.2");
  const std::string cert = Config->ReadString("ssl", "cert_file", "data/cert.pem");
  const std::string key = Config->ReadString("ssl", "key_file", "data/key.pem");
  HttpSrv->EnableTLS(cert, key, min_version);
  LogInfo("SSL enabled (min TLS %s) with cert: %s", min_version, cert);
}

void ShutdownTLS(const TOVStepFn&) { FreeSharedSSLContext(); }

// With a plug-in manager the scheduler also runs plug-in tasks and keeps their rows in step.
void StartScheduler() {
  if (!PluginMgr.Exists()) {
    StartupScheduler(nullptr, nullptr);
    return;
  }
  StartupScheduler(
      [](const std::string& plugin, const std::string& task) {
        auto mgr = PluginMgr.Get();
        if (!mgr) throw std::runtime_error("Plugin manager not available");
        // A task that was not called (its plug-in is gone or disabled while edited rows keep
        // it scheduled) is a failed run, never a success.
        if (std::string why = mgr->RunPluginTask(plugin, task); !why.empty()) throw std::runtime_error(why);
      },
      [] {
        auto mgr = PluginMgr.Get();
        return mgr ? mgr->GetAllPluginScheduledTasks() : TJSON::array();
      });
}

// Each Lua plug-in gets a host of its own with the permissions the engine grants it; nothing of
// the host is reachable from Lua.
std::shared_ptr<void> MakeLuaPluginHost(const std::string& name, const std::vector<std::string>& permissions,
                                        TOVEventBus*, std::chrono::system_clock::time_point start_time) {
  TOVPermissionSet granted;
  for (const std::string& text : permissions) {
    TOVPermission perm;
    if (StringToPermission(text, perm)) granted.Include(perm);
  }
  auto host = std::make_shared<TOVPluginHost>(name, granted, &EventBus, start_time);
  host->SetGrantedPermissions(granted);
  return host;
}

void StartLuaPlugins() { StartupLuaEngine(MakeLuaPluginHost); }

// Free memory goes back to the system when RSS has grown; the server counts as idle while no
// HTTP connection is open (the server's requests are what make the allocator grow).
void StartupMemoryTrimmer() {
  TOVMemoryTrimmerOptions opts;
  opts.idle = [] {
    auto srv = HttpSrv.Get();
    return !srv || srv->ActiveConnections() == 0;
  };
  MemoryTrimmer.Publish(std::make_unique<TOVMemoryTrimmer>(std::move(opts)));
}

// Not announced: nothing waits on it, and it ends at once.
void ShutdownMemoryTrimmer(const TOVStepFn&) { MemoryTrimmer.Free(); }

void StartupWebRootWatcher() {
  if (auto srv = HttpSrv.Get()) StartupWebFileWatcher(srv->WebRoot());
}

/* ---- the service table -------------------------------------------------------------------- */

// The life of the server in start order.  Shutdown walks it backwards; `at` marks the rows that
// stop elsewhere (see TOVStopAt).  Final rows stop after the announced steps, the log's last.
using enum TOVStopAt;
constexpr TOVServiceRow kServices[] = {
    // The configuration file (written with the defaults when missing) and the data directory.
    // The daemon form's host has made both already.
    {"Config", StartupConfig, ShutdownConfig, Final, nullptr, TOVLife::Console},
    // The log file and the console; "Server stopped." is its last line.
    {"Log", StartupLog, ShutdownLog, Final, nullptr, TOVLife::Console},
    // libcurl's process-wide set-up, before any thread may make an outbound request.
    {"HttpClient", HttpClientGlobalInit, nullptr},
    // The start time; restart requests of an earlier life forgotten.
    {"ServerState", StartupServerState, nullptr},
    // Translations: freed after the security objects, just before the database.
    {"I18N", StartupI18N, ShutdownI18N, After, "Security"},
    // The token secret.
    {"Auth", StartupAuth, nullptr},
    // The database and the log sink; freed last, after the sink has stored every line.
    {"DB", StartupDatabase, ShutdownDatabase},
    // Rate limiter, login throttle, IP blacklist and its cleanup thread.
    {"Security", StartupSecurity, ShutdownSecurity},
    {"EventBus", StartupEventBus, ShutdownEventBus},
    {"SessionMgr", StartupSessionManager, ShutdownSessionManager},
    // What plug-ins add to the web administration and the HTTP API; freed after the plug-ins.
    {"AdminMenu", StartupAdminMenu, ShutdownAdminMenu},
    {"AdminPages", StartupAdminPages, ShutdownAdminPages},
    {"PluginRoutes", StartupRouteRegistry, ShutdownPluginRoutes},
    // Before the plug-ins load: a package install that a crash interrupted is finished or
    // rolled back, so each plug-in loads as one whole version, and what it left is removed.
    {"PluginRecovery", RecoverPluginInstalls, nullptr},
    // Native plug-ins: scanned and initialised when [plugins] enabled.
    {"PluginMgr", StartupPluginManager, ShutdownPluginManager},
    // The task scheduler thread; stopped right after the HTTP server.
    {"Scheduler", StartScheduler, ShutdownScheduler, After, "HttpSrv"},
    // The plug-in registry's check-in and update list.
    {"UpdateChecker", StartupUpdateChecker, ShutdownUpdateChecker},
    // The package installer; its staging and backup directories are made here.
    {"PluginInstaller", StartupPluginInstaller, ShutdownPluginInstaller},
    // Script packages under [paths] scripts_dir; those placed by hand are registered (doors
    // announced to the plug-ins started above).  Freed after the update checker.
    {"ScriptMgr", StartupScriptManager, ShutdownScriptManager, After, "UpdateChecker"},
    // The Lua engine and every Lua plug-in, when plug-ins and Lua are enabled; freed after the
    // script manager, before the plug-in manager.
    {"LuaEngine", StartLuaPlugins, ShutdownLuaEngine, After, "ScriptMgr"},
    // The WebSocket hub (optional).
    {"WSServer", StartupHub, ShutdownWSServer},
    // The UDP discovery beacon (optional), stopped before the hub.
    {"DiscoveryBeacon", StartupDiscoveryBeacon, ShutdownDiscoveryBeacon},
    // Carries out a restart "when idle"; stopped right after "server.stop".
    {"RestartMonitor", StartupRestartMonitor, ShutdownRestartMonitor, First},
    // "server.start" ends start-up; "server.stop" is the first shutdown step.
    {"ServerEvents", FireServerStart, FireServerStop, First},
    // [security] trusted_proxies, read by every request.
    {"TrustedProxies", InitTrustedProxies, nullptr},
    // The REST routes in the process router.
    {"RestRoutes", StartupRestRoutes, ShutdownRestRoutes, After, "HttpSrv"},
    // The HTTP server: stopped after the hub, before the services its handlers use.
    {"HttpSrv", StartupHttpServer, ShutdownHttpServer, After, "WSServer"},
    // Hands the allocator's free memory back as RSS grows, more readily while the HTTP server is
    // idle; stops before it.
    {"MemoryTrimmer", StartupMemoryTrimmer, ShutdownMemoryTrimmer},
    // The web-root watcher, while the hub runs; stopped right after "server.stop".  The daemon
    // form has none.
    {"WebFileWatcher", StartupWebRootWatcher, ShutdownWebFileWatcher, Reverse, nullptr, TOVLife::Console},
    // TLS for the HTTP server; the shared context is freed after the announced steps.
    {"SSLHelper", StartupTLS, ShutdownTLS, Final},
};

/* ---- what both lives share ---------------------------------------------------------------- */

// A stop request (signal, restart monitor, REST restart, the daemon's Stop) ends the HTTP
// server's accept loop, and what its requests wait on outside the server, so that they answer
// and end before the HTTP server's shutdown waits for them.
void InstallServerStopHandler() {
  SetServerStopHandler([] {
    EndOutsideWaits();
    if (auto srv = HttpSrv.Get()) srv->Stop();
  });
}

// The HTTP server's accept loop on the calling thread, until the server is stopped.  A stop
// requested during start-up is honoured here: the loop is not entered.
void RunHttpServer() {
  if (!ServerStopRequested()) HttpSrv->Start();
}

// Stops whatever the walk started, announced step by step.
void StopLife(TOVServiceWalk& services) {
  services.StopServices(Step);
  services.StopFinal(Step);
}

void PrintSummary() {
  std::string summary = "Listening on " + Config->ServerAddress() + ":" + std::to_string(Config->ServerPort()) + "\n";
  if (HttpSrv.Exists() && HttpSrv->TLSEnabled())
    summary += "SSL: enabled (min TLS " + Config->ReadString("ssl", "min_version", "tls1.2") + ")\n";
  else
    summary += "SSL: disabled (enable in orvanta.ini [server] use_ssl=1)\n";
  summary += Config->PluginsEnabled() ? "Plugins: enabled (" + std::to_string(LoadedPluginCount()) + " loaded)\n"
                                      : "Plugins: disabled\n";
  if (auto ws = WSServer.Get())
    summary += "WebSocket: listening on port " + std::to_string(ws->Port()) + (ws->UseSSL() ? " (WSS/SSL)\n" : " (WS)\n");
  else
    summary += "WebSocket: disabled\n";
  if (auto beacon = DiscoveryBeacon.Get())
    summary += "Discovery: broadcasting on UDP port " + std::to_string(beacon->Port()) + " (every " +
               std::to_string(beacon->Interval()) + "s)\n\n";
  else
    summary += "Discovery: disabled\n\n";
  ConsoleWrite(summary);
}

}  // namespace

std::span<const TOVServiceRow> ServiceTable() noexcept { return kServices; }

std::size_t ThreadCount() {
  std::size_t n = 0;
  if (DIR* d = ::opendir("/proc/self/task")) {
    while (const dirent* e = ::readdir(d))
      if (e->d_name[0] != '.') ++n;
    ::closedir(d);
  }
  return n;
}

// Plug-in routes registered at start-up come first in the router: without this test a plug-in
// named "db" could answer GET /api/v1/plugins/db in the server's place.
bool IsServerRoute(const std::string& method, const std::string& path) {
  for (const TOVApiRoute& r : ApiRouteTable())
    if ((method == kAnyMethod || method == r.method) && RoutePatternsOverlap(r.pattern, path)) return true;
  return false;
}

std::string UsageText() {
  return std::string(kServerNameVersion) +
         "\n"
         "\n"
         "Usage: orvantaserver [options]\n"
         "\n"
         "Options:\n"
         "  --run              Run in console mode (foreground)\n"
         "  --config=<file>    Configuration file (default: config/orvanta.ini)\n"
         "  --help             Show this help\n"
         "  --version          Show version\n"
         "\n"
         "Examples:\n"
         "  orvantaserver --run\n"
         "  orvantaserver --run --config=/etc/orvanta/orvanta.ini\n";
}

int RunConsoleMode(const std::string& config_file) {
  SetServerBuildId(MakeBuildId(std::chrono::system_clock::now()));
  SetConfigFileName(config_file);
  InstallServerStopHandler();
  ConsoleWrite(std::string(kServerNameVersion) + "\nRunning in console mode (Ctrl+C to stop)\n\n");

  SignalThread signals;
  signals.Start();

  TOVServiceWalk services(kServices);
  int exit_code = kExitOK;
  std::optional<std::string> fatal;  // a start-up failure's message
  try {
    services.StartAll();
    LogInfo("Starting HTTP server...");
    PrintSummary();
    try {
      RunHttpServer();
    } catch (const std::exception& e) {
      // The accept loop failed (for example the port is taken): a failure, not a stop.
      std::string cls = ExceptionClassName(e);
      LogError("FATAL: HTTP server crashed: %s: %s", cls, e.what());
      ConsoleWrite("FATAL: " + cls + ": " + e.what() + "\n");
      exit_code = kExitFatal;
    }
  } catch (const std::exception& e) {
    fatal = e.what();
    exit_code = kExitFatal;
  }

  // Whatever was started is stopped in order before the process ends, after a failed start-up
  // as well, within the shutdown deadline.
  g_planned_exit.store(exit_code);
  signals.ArmDeadline();
  services.StopServices(Step);
  if (fatal) {
    ConsoleWrite("FATAL: " + *fatal + "\n");
    LogError("FATAL: %s", *fatal);
  }
  services.StopFinal(Step);
  signals.Stop();

  exit_code = FinalExitCode(exit_code);
  if (exit_code == kExitRestart) ConsoleWrite("Restarting server (plugins updated)...\n");
  // A thread still running after the bounded waits (a handler stuck in a call that cannot be
  // interrupted, a service left undeleted) must not meet the static destructors: every line is
  // stored and written already, so the process ends here.
  if (ServicesLeftInUse() > 0 || !OnlyThreadLeft()) {
    std::fflush(nullptr);
    _exit(exit_code);
  }
  return exit_code;
}

int OrvantaMain(int argc, char** argv) {
  bool help = false, version = false, run = false;
  std::string config = "config/orvanta.ini";
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "-h" || a == "--help") help = true;
    else if (a == "--version") version = true;
    else if (a == "--run") run = true;
    else if (a.rfind("--config=", 0) == 0) config = a.substr(9);
  }
  if (help) {
    ConsoleWrite(UsageText());
    return kExitOK;
  }
  if (version) {
    ConsoleWrite(std::string(kServerNameVersion) + "\n");
    return kExitOK;
  }
  if (!run) {
    ConsoleWrite(UsageText());
    return kExitOK;
  }
  // Signals are taken by one thread with sigwait; block them before any thread exists so
  // every later thread inherits the mask.
  sigset_t set = HandledSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
  try {
    return RunConsoleMode(config);
  } catch (const std::exception& e) {
    ConsoleWrite(std::string("FATAL: ") + e.what() + "\n");
    LogError("FATAL: %s", e.what());
    return kExitFatal;
  }
}

/* ---- the daemon form ---------------------------------------------------------------------- */

bool TOVDaemon::Start() {
  LogInfo("%s daemon starting...", kServerNameVersion);
  std::lock_guard<std::mutex> g(life_);
  if (walk_) {
    LogError("Daemon start failed: %s", "already running");
    return false;
  }
  InstallServerStopHandler();
  walk_.emplace(kServices, TOVLife::Daemon);
  try {
    walk_->StartAll();
    RunHttpServer();
    return true;
  } catch (const std::exception& e) {
    LogError("Daemon start failed: %s", e.what());
  }
  // As the console start does: nothing of a failed start is left running.
  StopLife(*walk_);
  walk_.reset();
  return false;
}

bool TOVDaemon::Stop() {
  LogInfo("%s daemon stopping...", kServerNameVersion);
  // Start holds life_ until its accept loop has returned; a stop requested before the loop
  // is entered keeps it from being entered.
  RequestServerStop();
  std::lock_guard<std::mutex> g(life_);
  bool ok = true;
  if (walk_) {
    try {
      StopLife(*walk_);
    } catch (const std::exception& e) {
      LogError("Daemon stop error: %s", e.what());
      ok = false;
    }
    walk_.reset();
  }
  // The next Start is a new life.
  ResetServerStopRequest();
  return ok;
}

bool TOVDaemon::Install() {
  const bool ok = TCustomDaemon::Install();
  if (ok) LogInfo("Daemon installed");
  return ok;
}

bool TOVDaemon::Uninstall() {
  const bool ok = TCustomDaemon::Uninstall();
  if (ok) LogInfo("Daemon uninstalled");
  return ok;
}

TOVDaemonDef::TOVDaemonDef() {
  daemon_class_name = "TOVDaemon";
  name = "OrvantaBBS";
  description = std::string(kServerNameVersion) + " Primary Server";
  display_name = kProductName;
}

TOVDaemonMapper::TOVDaemonMapper() { AddDef(std::make_unique<TOVDaemonDef>()); }

}  // namespace ov
