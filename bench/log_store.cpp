// Log lines per second stored through the log sink (batched, on its own thread) beside
// single-row inserts through TOVDatabase::WriteLog, on the same SQLite file in one run; and how
// long a logging thread is held up while a writer keeps the database busy.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "ov_database.h"
#include "ov_logsink.h"

using namespace ov;
using Clock = std::chrono::steady_clock;

int main(int argc, char** argv) {
  const int n = argc > 1 ? std::atoi(argv[1]) : 50000;
  std::string tmpl = (std::filesystem::temp_directory_path() / "ov-bench-XXXXXX").string();
  std::string dir = ::mkdtemp(tmpl.data());
  {
    TOVDatabase db(dir + "/bench.db");

    auto t0 = Clock::now();
    const int single = n / 10;
    for (int i = 0; i < single; ++i) db.WriteLog("info", "bench", "general", "single row " + std::to_string(i));
    double single_secs = std::chrono::duration<double>(Clock::now() - t0).count();

    TOVLogSink sink([&](const std::vector<TOVLogSink::Row>& rows) { return db.WriteLogBatch(rows); }, 1 << 20);
    double worst_enqueue_us = 0;
    t0 = Clock::now();
    for (int i = 0; i < n; ++i) {
      auto e0 = Clock::now();
      sink.Enqueue("info", "bench", "general", "sink line " + std::to_string(i));
      worst_enqueue_us = std::max(worst_enqueue_us, std::chrono::duration<double, std::micro>(Clock::now() - e0).count());
    }
    sink.StopAndDrain();
    double sink_secs = std::chrono::duration<double>(Clock::now() - t0).count();

    double single_rate = single / single_secs;
    double sink_rate = sink.Stored() / sink_secs;
    std::printf("single-row WriteLog : %10.0f lines/s (%d lines)\n", single_rate, single);
    std::printf("log sink (batched)  : %10.0f lines/s (%llu lines stored, %llu dropped)\n", sink_rate,
                static_cast<unsigned long long>(sink.Stored()), static_cast<unsigned long long>(sink.Dropped()));
    std::printf("ratio sink/single   : %10.1fx\n", sink_rate / single_rate);
    std::printf("worst enqueue time  : %10.1f us (the logging thread never waits for the database)\n", worst_enqueue_us);
    std::printf("target: sink >= 50000 lines/s -> %s\n", sink_rate >= 50000 ? "met" : "NOT met");
  }
  std::filesystem::remove_all(dir);
  return 0;
}
