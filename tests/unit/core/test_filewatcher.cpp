#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ov_filewatcher.h"
#include "test_util.h"

using namespace ov;
using namespace std::chrono_literals;

namespace {

// Names the watcher reported, in order.
class Reports {
 public:
  void Add(const std::string& n) {
    std::lock_guard<std::mutex> g(mu_);
    names_.push_back(n);
    cv_.notify_all();
  }
  // Waits up to d for at least n reports; returns what was reported.
  std::vector<std::string> WaitFor(std::size_t n, std::chrono::milliseconds d) {
    std::unique_lock<std::mutex> lk(mu_);
    cv_.wait_for(lk, d, [&] { return names_.size() >= n; });
    return names_;
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::string> names_;
};

TEST(FileWatcherTest, DirectoriesAreAbsoluteSortedAndUnique) {
  ovtest::TempDir dir;
  std::filesystem::create_directories(dir / "b");
  std::filesystem::create_directories(dir / "a");
  ovtest::WriteText(dir / "file.txt", "x");
  TFileWatcher w(nullptr);
  w.AddDirectory(dir / "b");
  w.AddDirectory(dir / "b/");
  w.AddDirectory(dir / "a/../b");
  w.AddDirectory(dir / "a");
  w.AddDirectory(dir / "missing");
  w.AddDirectory(dir / "file.txt");
  w.AddDirectory("");
  EXPECT_EQ(w.Directories(), (std::vector<std::string>{dir / "a/", dir / "b/"}));
}

// Bursts, subdirectories and the web root's folders are shown end to end (tests/e2e).
TEST(FileWatcherTest, SurvivesAFailingReceiverAndStopsPromptly) {
  ovtest::TempDir dir;
  Reports reports;
  bool throw_once = true;
  TFileWatcher w(
      [&](const std::string& name) {
        reports.Add(name);
        if (std::exchange(throw_once, false)) throw std::runtime_error("receiver failed");
      },
      100ms);
  w.AddDirectory(dir.path());
  w.Start();
  std::this_thread::sleep_for(100ms);  // the thread places its watch when it starts
  ovtest::WriteText(dir / "a.txt", "x");
  EXPECT_EQ(reports.WaitFor(1, 5s).size(), 1u);
  std::this_thread::sleep_for(300ms);
  ovtest::WriteText(dir / "b.txt", "x");
  EXPECT_EQ(reports.WaitFor(2, 5s), (std::vector<std::string>{"a.txt", "b.txt"}));

  // A stop while the thread waits is seen at once (well within 500 ms), and nothing is
  // reported afterwards.
  std::this_thread::sleep_for(300ms);
  const auto t0 = std::chrono::steady_clock::now();
  w.StopWatching();
  w.WaitFor();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 500ms);
  ovtest::WriteText(dir / "late.txt", "x");
  EXPECT_EQ(reports.WaitFor(3, 100ms).size(), 2u);
}

}  // namespace
