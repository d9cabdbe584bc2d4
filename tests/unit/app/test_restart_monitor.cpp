// The restart monitor: it stops the server once a restart when idle is pending and no BBS session
// is active, and it ends at once when told to, in the middle of its wait.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "ov_daemon_hooks.h"
#include "ov_server_state.h"
#include "plugin_test_env.h"

using namespace ov;
using namespace std::chrono_literals;

namespace {

class RestartMonitorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetRestartState();
    ResetServerStopRequest();
    SetServerStopHandler([this] { ++stops; });
  }
  void TearDown() override {
    SetServerStopHandler(nullptr);
    ResetServerStopRequest();
    ResetRestartState();
  }
  bool WaitForStop(std::chrono::milliseconds bound) {
    for (auto until = std::chrono::steady_clock::now() + bound; std::chrono::steady_clock::now() < until;) {
      if (stops.load() > 0) return true;
      std::this_thread::sleep_for(5ms);
    }
    return stops.load() > 0;
  }
  ovtest::LogCapture log;
  std::atomic<int> stops{0};
};

}  // namespace

TEST_F(RestartMonitorTest, StopsOnceWhenIdleAndEndsPromptly) {
  {
    TOVRestartMonitor monitor(20ms);
    EXPECT_FALSE(WaitForStop(100ms));  // nothing pending
    RequestRestart("test");
    EXPECT_FALSE(WaitForStop(100ms));  // pending, but not "when idle"
    gRestartWhenIdle = true;
    EXPECT_TRUE(WaitForStop(1000ms));  // no database: no active session
    monitor.WaitFor();                 // the thread ended by itself
  }
  EXPECT_EQ(stops.load(), 1);
  EXPECT_TRUE(log.Has("info Restart monitor: no active BBS sessions \xE2\x80\x94 initiating restart"));

  const auto start = std::chrono::steady_clock::now();
  {
    TOVRestartMonitor waiting(10s);
    std::this_thread::sleep_for(20ms);
    waiting.Terminate();
    waiting.WaitFor();
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  EXPECT_EQ(stops.load(), 1);
}
