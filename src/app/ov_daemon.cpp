#include "ov_daemon.h"

#include <openssl/rand.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>


#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <exception>
#include <filesystem>
#include <mutex>
#include <optional>
#include <thread>

#include "ov_auth.h"
#include "ov_config.h"
#include "ov_database.h"
#include "ov_event_bus.h"
#include "ov_security.h"
#include "ov_plugin_manager.h"
#include "ov_session_manager.h"
#include "ov_ws_server.h"
#include "ov_daemon_hooks.h"
#include "ov_route_api.h"
#include "ov_router.h"
#include "ov_http_server.h"
#include "ov_logsink.h"
#include "ov_consts.h"
#include "ov_format.h"
#include "ov_i18n.h"
#include "ov_log.h"
#include "ov_server_state.h"

namespace ov {

namespace {



// ---- signals ---------------------------------------------------------------------------------

// SIGUSR2 only wakes the signal thread at exit; it never comes from outside in practice.
sigset_t HandledSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  sigaddset(&set, SIGUSR2);
  return set;
}

std::atomic<bool> g_signal_thread_exit{false};

void SignalThreadMain() {
  sigset_t set = HandledSignals();
  for (;;) {
    int sig = 0;
    if (sigwait(&set, &sig) != 0) continue;
    if (g_signal_thread_exit.load()) return;
    if (sig == SIGINT || sig == SIGTERM) {
      ConsoleWrite("\nShutting down...\n");
      LogInfo("Received signal %d \xE2\x80\x94 initiating shutdown", sig);
      RequestServerStop();
    } else if (sig == SIGHUP) {
      LogInfo("Received SIGHUP \xE2\x80\x94 ignoring (no controlling terminal needed)");
    }
  }
}

class SignalThread {
 public:
  void Start() { thread_ = std::thread(SignalThreadMain); }
  void Stop() {
    if (!thread_.joinable()) return;
    g_signal_thread_exit.store(true);
    pthread_kill(thread_.native_handle(), SIGUSR2);
    thread_.join();
  }
  ~SignalThread() { Stop(); }

 private:
  std::thread thread_;
};

// ---- helpers ---------------------------------------------------------------------------------

void Step(const std::string& name) {
  LogInfo("[shutdown] %s", name);
  ConsoleWriteErr("[shutdown] " + name + "\n");
}


// ---- the service table -----------------------------------------------------------------------

std::vector<TOVServiceSlot> BuildServiceTable() {
  std::vector<TOVServiceSlot> t;
  // Kept in shutdown order.  start_rank gives the start-up order.

  // "server.start" ends start-up; "server.stop" is the first shutdown step.
  t.push_back({900, "ServerEvents",
               [] {
                 if (auto bus = EventBus.Get()) {
                   TJSON data = TJSON::object();
                   data["version"] = kVersion;
                   bus->Fire("_system", "server.start", data);
                 }
               },
               [](const auto& step) {
                 if (auto bus = EventBus.Get()) {
                   step("event server.stop");
                   bus->Fire("_system", "server.stop", TJSON::object());
                 }
               }});

  // The WebSocket hub is optional: a failure to start leaves it absent.
  t.push_back({130, "WSServer",
               [] {
                 StartupWSServer({HandleWSClientDisconnected, HandleWSPluginCall, [] { return BuildStatusJSON(); },
                                  nullptr});
               }, [](const auto& step) { ShutdownWSServer(step); }});

  // The HTTP server: made after every other service (it registers the REST routes), its
  // accept loop then runs on the main thread.
  t.push_back({1000, "HttpSrv",
               [] {
                 InitTrustedProxies();
                 RegisterAPIRoutes();
                 RegisterAdminRoutes();
                 TOVHttpServerOptions opts = TOVHttpServerOptions::FromConfig();
                 opts.router = &HttpRouter();
                 opts.websocket_upgrade = HandleWSUpgradeRequest;
                 // The IP blacklist and rate limiter guard every request but /health.
                 InstallSecurityGate(opts);
                 HttpSrv.Publish(std::make_unique<TOVHttpServerWrapper>(std::move(opts)));
                 if (Config->ServerUseSSL()) {
                   std::string min_version = Config->ReadString("ssl", "min_version", "tls1.2");
                   std::string cert = Config->ReadString("ssl", "cert_file", "data/cert.pem");
                   std::string key = Config->ReadString("ssl", "key_file", "data/key.pem");
                   // A TLS set-up failure ends start-up: never fall back to plain HTTP.
                   HttpSrv->EnableTLS(cert, key, min_version);
                   LogInfo("SSL enabled (min TLS %s) with cert: %s", min_version, cert);
                 }
               },
               [](const auto& step) {
                 if (!HttpSrv.Exists()) return;
                 step("HttpSrv.Stop");
                 HttpSrv->Stop();
                 step("HttpSrv.Free");
                 HttpSrv.Free();
               }});

  // Plug-ins: scanned and initialised after the session manager, freed before it.
  t.push_back({62, "PluginMgr", [] { StartupPluginManager(); }, [](const auto& step) { ShutdownPluginManager(step); }});
  t.push_back({61, "SessionMgr",
               [] {
                 StartupSessionManager();
                 LogInfo("Event bus and session manager initialized");
               },
               [](const auto& step) { ShutdownSessionManager(step); }});
  t.push_back({60, "EventBus", [] { StartupEventBus(); }, [](const auto& step) { ShutdownEventBus(step); }});
  t.push_back({50, "Security", [] { StartupSecurity(); }, [](const auto& step) { ShutdownSecurity(step); }});

  // Translations: freed after the security objects, without a step name of its own.
  t.push_back({20, "I18N",
               [] {
                 auto i18n = std::make_unique<TOVi18n>();
                 std::string dir = ExecutableDir() + "config/lang";
                 std::error_code ec;
                 if (!std::filesystem::is_directory(dir, ec)) dir = "config/lang";
                 i18n->SetLangDir(dir);
                 i18n->LoadLanguage(Config->ReadString("i18n", "language", "en"));
                 std::string lang = i18n->GetCurrentLanguage();
                 I18N.Publish(std::move(i18n));
                 LogInfo("i18n initialized (language: %s)", lang);
               },
               [](const auto&) { I18N.Free(); }});

  // Token secret: generated once and kept in the configuration file.
  t.push_back({30, "Auth",
               [] {
                 if (Config->JWTSecret().empty()) {
                   Config->WriteString("security", "jwt_secret", TOVAuth::GenerateRandomHex(32));
                   LogInfo("Generated persistent JWT secret");
                 }
                 const std::int32_t expiry = Config->JWTExpirySeconds();
                 TOVAuth::Init(Config->JWTSecret(), expiry);
                 LogInfo("Auth subsystem initialized (JWT expiry: %d seconds)", expiry);
               },
               nullptr});

  // The database, and from then on every log line stored through the log sink.  Freed last.
  t.push_back({40, "DB",
               [] {
                 DB.Publish(std::make_unique<TOVDatabase>(Config->DatabaseFile()));
                 LogSink.Publish(std::make_unique<TOVLogSink>(
                     [](const std::vector<TOVLogSink::Row>& rows) {
                       auto db = DB.Get();
                       return db ? db->WriteLogBatch(rows) : std::size_t(0);
                     }));
                 // Every stored line is also pushed to subscribed web administrators.
                 LogSink->SetPushHandler([](const TOVLogSink::Row& r) {
                   PushLogEntryToAdmins(r.level, r.source, r.category, r.message);
                 });
                 Log->SetDBCallback([](const std::string& level, const std::string& source,
                                       const std::string& category, const std::string& message) {
                   if (auto sink = LogSink.Get()) sink->Enqueue(level, source, category, message);
                 });
               },
               [](const auto& step) {
                 if (!DB.Exists() && !LogSink.Exists()) return;
                 step("DB.Free");
                 // Store everything logged so far (the line above included) before the
                 // database goes away.
                 if (auto log = Log.Get()) log->SetDBCallback(nullptr);
                 if (auto sink = LogSink.Retire()) sink->StopAndDrain();
                 DB.Free();
               }});

  return t;
}

void StartServices(std::vector<TOVServiceSlot>& table) {
  SetServerStartTime(std::chrono::system_clock::now());
  ResetRestartState();
  std::vector<TOVServiceSlot*> order;
  for (auto& s : table) order.push_back(&s);
  std::stable_sort(order.begin(), order.end(),
                   [](const TOVServiceSlot* a, const TOVServiceSlot* b) { return a->start_rank < b->start_rank; });
  for (TOVServiceSlot* s : order) {
    // Marked first, so that a service whose start fails half-way is still stopped (each stop
    // step frees only what exists).
    s->started = true;
    if (s->start) s->start();
  }
}

void ShutdownServices(std::vector<TOVServiceSlot>& table) {
  bool any = false;
  for (const auto& s : table) any = any || s.started;
  if (!any) return;  // start-up failed before any service existed
  Step("begin");
  for (auto& s : table) {
    if (!s.started) continue;
    s.started = false;
    if (s.stop) s.stop(Step);
  }
  Step("done");
}

}  // namespace

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
  SetServerStopHandler([] {
    if (auto srv = HttpSrv.Get()) srv->Stop();
  });
  ConsoleWrite(std::string(kServerNameVersion) + "\nRunning in console mode (Ctrl+C to stop)\n\n");

  SignalThread signals;
  signals.Start();

  std::vector<TOVServiceSlot> table = BuildServiceTable();
  int exit_code = kExitOK;
  std::optional<std::string> fatal;  // a start-up failure's message
  try {
    Config.Publish(std::make_unique<TOVConfig>(config_file));
    std::filesystem::create_directories(Config->DataDir());
    Log.Publish(std::make_unique<TOVLog>(Config->LogFile(), true));
    Log->SetMinLevel(LogLevelFromConfig(Config->LogLevel()));
    LogInfo("%s starting in console mode", kServerNameVersion);

    StartServices(table);

    LogInfo("Starting HTTP server...");
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
    summary += "Discovery: disabled\n\n";
    ConsoleWrite(summary);

    // A stop requested during start-up is honoured here: the accept loop is not entered.
    if (!ServerStopRequested()) {
      try {
        HttpSrv->Start();
      } catch (const std::exception& e) {
        // The accept loop failed (for example the port is taken): a failure, not a stop.
        std::string cls = ExceptionClassName(e);
        LogError("FATAL: HTTP server crashed: %s: %s", cls, e.what());
        ConsoleWrite("FATAL: " + cls + ": " + e.what() + "\n");
        exit_code = kExitFatal;
      }
    }
  } catch (const std::exception& e) {
    fatal = e.what();
  }

  // Whatever was started is stopped in order before the process ends, after a failed
  // start-up as well.
  try {
    ShutdownServices(table);
  } catch (const std::exception& e) {
    LogError("Shutdown error: %s", e.what());
  }
  if (fatal) {
    ConsoleWrite("FATAL: " + *fatal + "\n");
    LogError("FATAL: %s", *fatal);
  }
  LogInfo("Server stopped.");
  signals.Stop();
  Log.Free();
  Config.Free();

  if (fatal) return kExitFatal;
  if (exit_code == kExitOK && gRestartPending.load()) {
    ConsoleWrite("Restarting server (plugins updated)...\n");
    exit_code = kExitRestart;
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

}  // namespace ov
