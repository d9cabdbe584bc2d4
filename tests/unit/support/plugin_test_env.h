// Plug-in tests: the test plug-ins of tests/plugins (built into OV_TEST_PLUGIN_DIR), a plug-in
// directory of the test's own, a log whose lines the test can read, and a plug-in manager on
// the test's SQLite database.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ov_log.h"
#include "ov_plugin_manager.h"
#include "test_util.h"

namespace ovtest {

// Collects every log line (debug and up) as "<level> <text>" while it exists.
class LogCapture {
 public:
  LogCapture() {
    ov::Log.Publish(std::make_unique<ov::TOVLog>("", false));
    ov::Log->SetMinLevel(ov::llDebug);
    ov::Log->SetDBCallback([this](const std::string& level, const std::string& source, const std::string& category,
                                  const std::string& text) {
      std::string line = level + " ";
      if (source != "system") line += "[" + source + "] ";
      if (category != "general") line += "[" + category + "] ";
      std::lock_guard<std::mutex> g(lock_);
      lines_.push_back(line + text);
    });
  }
  ~LogCapture() { ov::Log.Free(); }
  std::vector<std::string> Lines() const {
    std::lock_guard<std::mutex> g(lock_);
    return lines_;
  }
  // Lines containing text.
  int Count(const std::string& text) const {
    const auto lines = Lines();
    return static_cast<int>(std::count_if(lines.begin(), lines.end(),
                                          [&](const std::string& l) { return l.find(text) != std::string::npos; }));
  }
  bool Has(const std::string& text) const { return Count(text) > 0; }
  // Position of the first line containing text (-1 when none): for checking order.
  int IndexOf(const std::string& text) const {
    const auto lines = Lines();
    for (std::size_t i = 0; i < lines.size(); ++i)
      if (lines[i].find(text) != std::string::npos) return static_cast<int>(i);
    return -1;
  }
  void Clear() {
    std::lock_guard<std::mutex> g(lock_);
    lines_.clear();
  }

 private:
  mutable std::mutex lock_;
  std::vector<std::string> lines_;
};

inline std::string TestPlugin(const std::string& name) { return std::string(OV_TEST_PLUGIN_DIR) + "/" + name + ".so"; }

// Puts a test plug-in into dir as <as>.so (replacing a file there by renaming a copy over it,
// as an installer does); returns the path.
inline std::string InstallPlugin(const std::string& dir, const std::string& name, const std::string& as = {}) {
  const std::string target = dir + "/" + (as.empty() ? name : as) + ".so";
  std::filesystem::copy_file(TestPlugin(name), target + ".new", std::filesystem::copy_options::overwrite_existing);
  std::filesystem::rename(target + ".new", target);
  return target;
}

// A SQLite database as DB, a log capture and an empty plug-in directory.
class PluginTest : public SqliteDBTest {
 public:
  void SetUp() override {
    SqliteDBTest::SetUp();
    std::filesystem::create_directories(plugin_dir);
  }
  void TearDown() override {
    mgr.reset();
    SqliteDBTest::TearDown();
  }
  std::string Install(const std::string& name, const std::string& as = {}) { return InstallPlugin(plugin_dir, name, as); }
  // A fresh manager over plugin_dir: scanned and initialised.
  ov::TOVPluginManager& Start() {
    mgr.reset();
    mgr = std::make_unique<ov::TOVPluginManager>(plugin_dir, std::chrono::system_clock::now());
    mgr->ScanPlugins();
    mgr->InitializeAll();
    return *mgr;
  }
  std::unique_ptr<ov::TJSON> Call(const std::string& plugin, const std::string& fn, const ov::TJSON& args = ov::TJSON::object()) {
    return mgr->CallPluginFunction(plugin, fn, &args);
  }
  std::string Sql(const std::string& sql) { return RawText(file, sql); }
  // Runs cond every few milliseconds until it holds (at most 5 s).
  template <class F>
  static bool Eventually(F&& cond) {
    for (int i = 0; i < 500; ++i) {
      if (cond()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  LogCapture log;
  std::string plugin_dir = dir / "plugins";
  std::unique_ptr<ov::TOVPluginManager> mgr;
};

}  // namespace ovtest
