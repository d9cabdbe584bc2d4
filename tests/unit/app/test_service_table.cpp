#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "ov_daemon.h"
#include "ov_log.h"
#include "ov_service_table.h"
#include "test_util.h"

using namespace ov;
using namespace std::chrono_literals;

namespace {

std::vector<std::string> Names(std::span<const TOVServiceRow> rows, const std::vector<std::size_t>& order) {
  std::vector<std::string> out;
  for (std::size_t i : order) out.push_back(rows[i].name);
  return out;
}

// Keeps the names of `all` that are in `wanted`, in order.
std::vector<std::string> Only(const std::vector<std::string>& all, const std::set<std::string>& wanted) {
  std::vector<std::string> out;
  for (const auto& n : all)
    if (wanted.count(n)) out.push_back(n);
  return out;
}

// The shutdown steps of the whole server (the objects they free), in the order they must run.
const std::vector<std::string> kShutdownSteps = {
    "ServerEvents", "RestartMonitor", "WebFileWatcher", "DiscoveryBeacon", "WSServer",   "HttpSrv",
    "Scheduler",    "PluginInstaller", "UpdateChecker", "ScriptMgr",       "LuaEngine",  "PluginMgr",
    "PluginRoutes", "AdminPages",      "AdminMenu",     "SessionMgr",      "EventBus",   "Security",
    "I18N",         "DB"};

// The start-up steps, in the order they must run: the services, "server.start", then the HTTP
// server, the web-root watcher and TLS.
const std::vector<std::string> kStartSteps = {
    "Config",        "Log",          "I18N",          "Auth",            "DB",        "Security",
    "EventBus",      "SessionMgr",   "AdminMenu",     "AdminPages",      "PluginRoutes", "PluginMgr",
    "Scheduler",     "UpdateChecker", "PluginInstaller", "ScriptMgr",    "LuaEngine", "WSServer",
    "DiscoveryBeacon", "RestartMonitor", "ServerEvents", "HttpSrv",       "WebFileWatcher", "SSLHelper"};

}  // namespace

// The server's rows once every service exists, each added as one row in start order with its
// exception: the walk stops them in the required order.
TEST(ServiceTable, EveryLaterServiceIsOneRowAndStopsInItsPlace) {
  using enum TOVStopAt;
  const TOVServiceRow full[] = {
      {"Config", nullptr, nullptr, Final},
      {"Log", nullptr, nullptr, Final},
      {"ServerState", nullptr, nullptr},
      {"I18N", nullptr, nullptr, After, "Security"},
      {"Auth", nullptr, nullptr},
      {"DB", nullptr, nullptr},
      {"Security", nullptr, nullptr},
      {"EventBus", nullptr, nullptr},
      {"SessionMgr", nullptr, nullptr},
      {"AdminMenu", nullptr, nullptr},
      {"AdminPages", nullptr, nullptr},
      {"PluginRoutes", nullptr, nullptr},
      {"PluginMgr", nullptr, nullptr},
      {"Scheduler", nullptr, nullptr, After, "HttpSrv"},
      {"UpdateChecker", nullptr, nullptr},
      {"PluginInstaller", nullptr, nullptr},
      {"ScriptMgr", nullptr, nullptr, After, "UpdateChecker"},
      {"LuaEngine", nullptr, nullptr, After, "ScriptMgr"},
      {"WSServer", nullptr, nullptr},
      {"DiscoveryBeacon", nullptr, nullptr},
      {"RestartMonitor", nullptr, nullptr, First},
      {"ServerEvents", nullptr, nullptr, First},
      {"TrustedProxies", nullptr, nullptr},
      {"RestRoutes", nullptr, nullptr},
      {"HttpSrv", nullptr, nullptr, After, "WSServer"},
      {"WebFileWatcher", nullptr, nullptr},
      {"SSLHelper", nullptr, nullptr, Final},
  };
  const auto order = Names(full, ShutdownOrder(full));
  ASSERT_EQ(order.size(), std::size(full));
  EXPECT_EQ(Only(order, {kShutdownSteps.begin(), kShutdownSteps.end()}), kShutdownSteps);
  // The process basics go last, the log's "Server stopped." before the configuration.
  EXPECT_EQ(std::vector<std::string>(order.end() - 3, order.end()),
            (std::vector<std::string>{"SSLHelper", "Log", "Config"}));

  // The table the server runs today: every row once, every exception names a row, and the
  // services it has stop in the same order.
  const auto real = ServiceTable();
  const auto real_order = Names(real, ShutdownOrder(real));
  EXPECT_EQ(std::set<std::string>(real_order.begin(), real_order.end()).size(), real.size());
  for (const auto& row : real) {
    if (row.at != TOVStopAt::After) continue;
    bool found = false;
    for (const auto& other : real) found = found || std::string(other.name) == row.after;
    EXPECT_TRUE(found) << row.name << " follows " << row.after;
  }
  std::vector<std::string> present;
  for (const auto& s : kShutdownSteps)
    for (const auto& row : real)
      if (s == row.name) present.push_back(s);
  EXPECT_EQ(Only(real_order, {present.begin(), present.end()}), present);

  // Start-up walks the table in its order: every start step the table has, in the required order.
  std::vector<std::string> real_start, present_start;
  for (const auto& row : real) real_start.push_back(row.name);
  for (const auto& s : kStartSteps)
    for (const auto& row : real)
      if (s == row.name) present_start.push_back(s);
  EXPECT_EQ(present_start.size(), kStartSteps.size());
  EXPECT_EQ(Only(real_start, {kStartSteps.begin(), kStartSteps.end()}), kStartSteps);
}

namespace {

// A service whose destruction is observable.
struct Probe {
  explicit Probe(std::atomic<bool>& gone) : gone_(gone) {}
  ~Probe() { gone_ = true; }
  int value = 7;
  std::atomic<bool>& gone_;
};

TOVService<Probe> gProbe{"Probe"};
std::vector<std::string> gEvents;

void StartA() { gEvents.push_back("start A"); }
void StopA(const TOVStepFn& step) { step("A.Free"); }
void StartB() { gEvents.push_back("start B"); }
void StopB(const TOVStepFn&) { throw std::runtime_error("B would not stop"); }
void StartC() { gEvents.push_back("start C"); }
void StopC(const TOVStepFn& step) {
  step("C.Free");
  gProbe.Free(50ms);
}
void StartBroken() { throw std::runtime_error("no D today"); }
void StopFinalRow(const TOVStepFn& step) { step("final"); }

class ServiceWalk : public ::testing::Test {
 protected:
  ovtest::TempDir dir;
  std::string log_file = dir / "walk.log";
  std::vector<std::string> steps;
  TOVStepFn step = [this](const std::string& s) { steps.push_back(s); };

  void SetUp() override {
    gEvents.clear();
    Log.Publish(std::make_unique<TOVLog>(log_file, false));
  }
  void TearDown() override { Log.Free(); }
  std::string LogText() { return ovtest::ReadText(log_file); }
};

}  // namespace

// A stop that throws is logged and the walk goes on to the rows after it (the database row
// comes last); a service still used by a stuck thread is reported and never deleted under it.
TEST_F(ServiceWalk, ThrowingStopAndServiceStillInUse) {
  using enum TOVStopAt;
  const TOVServiceRow rows[] = {
      {"Final", nullptr, StopFinalRow, Final},
      {"A", StartA, StopA},
      {"B", StartB, StopB},
      {"C", StartC, StopC},
  };
  TOVServiceWalk walk(rows);
  walk.StartAll();
  EXPECT_EQ(gEvents, (std::vector<std::string>{"start A", "start B", "start C"}));

  std::atomic<bool> gone{false};
  gProbe.Publish(std::make_unique<Probe>(gone));
  auto held = gProbe.Get();  // a request thread that never comes back
  const std::size_t left_before = ServicesLeftInUse();

  walk.StopServices(step);
  EXPECT_EQ(steps, (std::vector<std::string>{"begin", "C.Free", "A.Free", "done"}));
  EXPECT_NE(LogText().find("[OrvantaBBS Error] Shutdown error: B would not stop"), std::string::npos) << LogText();
  EXPECT_NE(LogText().find("Service Probe still in use after 50 ms; left undeleted"), std::string::npos);
  EXPECT_EQ(ServicesLeftInUse(), left_before + 1);
  EXPECT_FALSE(gProbe.Exists());  // new users find it gone ...
  EXPECT_FALSE(gone.load());      // ... the stuck one can still use it
  EXPECT_EQ(held->value, 7);

  walk.StopFinal(step);
  EXPECT_EQ(steps.back(), "final");
  walk.StopServices(step);  // nothing left: no steps at all
  EXPECT_EQ(steps.size(), 5u);

  Probe* raw = held.get();
  held = {};
  delete raw;  // the process would end instead
  EXPECT_TRUE(gone.load());
}

// A failing start ends start-up; the rows started so far, the failing one included, still stop
// (in reverse), the rows after it never started.
TEST_F(ServiceWalk, FailedStartStopsWhatStarted) {
  const TOVServiceRow rows[] = {
      {"A", StartA, StopA},
      {"D", StartBroken, StopC},
      {"B", StartB, StopB},
  };
  TOVServiceWalk walk(rows);
  EXPECT_THROW(walk.StartAll(), std::runtime_error);
  EXPECT_EQ(gEvents, (std::vector<std::string>{"start A"}));
  walk.StopServices(step);
  EXPECT_EQ(steps, (std::vector<std::string>{"begin", "C.Free", "A.Free", "done"}));
}

// The server's own routes stay the server's: a plug-in route that one request could match as
// well as a REST row is refused, whatever the method text or parameters.
TEST(ServiceTable, PluginRoutesNeverShadowTheRestTable) {
  for (const auto& [method, path] : std::vector<std::pair<std::string, std::string>>{
           {"GET", "/api/v1/plugins/db/"}, {"*", "/api/v1/plugins/Service/x"}, {"POST", "/api/v1/plugins/enable/"},
           {"GET", "/api/v1/plugins/config/:anything"}, {"*", "/api/v1/plugins/updates/count"},
           // The plug-in's name folds ("ſ" is "s"), so "ſervice" would take /service/x.
           {"*", "/api/v1/plugins/ſervice/x"}})
    EXPECT_TRUE(IsServerRoute(method, path)) << method << " " << path;
  for (const auto& [method, path] : std::vector<std::pair<std::string, std::string>>{
           {"GET", "/api/v1/plugins/RouteC/echo"}, {"DELETE", "/api/v1/plugins/db/"}, {"GET", "/api/v1/plugins/x/y/z"}})
    EXPECT_FALSE(IsServerRoute(method, path)) << method << " " << path;
}
