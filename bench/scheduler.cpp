// The scheduler's cost, one run (Google Benchmark):
//   - a tick over 10,000 interval tasks with none due, and with 1% due (a no-op plug-in task
//     runner, a store that keeps nothing), against the same walk over a plain array of time
//     stamps (target: within 2x);
//   - the next-run search for an expression that never matches ("0 0 31 2 *"), the parsed bit
//     sets against parsing the expression again for every candidate minute (target: 50x).
// Counters: ns_per_task is the tick's time divided by the 10,000 tasks.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "../fuzz/cron_reference.h"
#include "ov_clock.h"
#include "ov_cron.h"
#include "ov_scheduler.h"

using namespace ov;

namespace {

constexpr int kTasks = 10000;
constexpr int kInterval = 100;  // seconds; with the runs spread over it, 1% of the tasks is due each second

class BenchClock final : public TOVClock {
 public:
  TOVWallTime WallNow() const override { return TOVWallTime(std::chrono::seconds(wall_.load())); }
  TOVMonoTime MonoNow() const override { return TOVMonoTime(std::chrono::seconds(mono_.load())); }
  std::int32_t UtcOffset(std::int64_t) const override { return 0; }
  void Advance(std::int64_t s) {
    wall_ += s;
    mono_ += s;
  }

 private:
  std::atomic<std::int64_t> wall_{1'700'000'000};
  std::atomic<std::int64_t> mono_{1'000'000};
};

// Tasks come from memory; runs are kept nowhere.
class MemoryStore final : public IOVSchedulerStore {
 public:
  std::vector<TOVSchedulerTask> LoadTasks() override {
    std::vector<TOVSchedulerTask> v(kTasks);
    for (int i = 0; i < kTasks; ++i) {
      v[i].Id = i + 1;
      v[i].PluginName = "bench";
      v[i].TaskName = "task" + std::to_string(i);
      v[i].Kind = stkInterval;
      v[i].IntervalSeconds = kInterval;
      v[i].Enabled = true;
    }
    return v;
  }
  void StoreRun(const TOVSchedulerTask&) override {}
  void StoreEdit(const TOVSchedulerTask&) override {}
  void LogRun(const TOVTaskRunRecord&) override {}
  void AddPluginTask(const std::string&, const std::string&, const std::string&, std::int32_t) override {}
  std::vector<std::string> UneditedPluginNames() override { return {}; }
  void DeletePluginTasks(const std::string&) override {}
};

void SetPerTask(benchmark::State& state) {
  state.counters["ns_per_task"] =
      benchmark::Counter(kTasks, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_SchedulerTick(benchmark::State& state) {
  const bool some_due = state.range(0) != 0;
  BenchClock clock;
  TOVSchedulerOptions o;
  o.clock = &clock;
  o.store = std::make_unique<MemoryStore>();
  std::int64_t runs = 0;
  TOVScheduler s([&](const std::string&, const std::string&) { ++runs; }, nullptr, std::move(o));
  if (some_due) {
    // Spread the deadlines over the interval: 100 tasks fall due each second.
    const TJSON again = TJSON{{"interval_seconds", kInterval}};
    for (int i = 0; i < kTasks; ++i) {
      if (i % (kTasks / kInterval) == 0) clock.Advance(1);
      s.UpdateTask(i + 1, again);
    }
  }
  s.Tick();
  for (auto _ : state) {
    if (some_due) clock.Advance(1);
    s.Tick();
  }
  state.counters["runs_per_tick"] = static_cast<double>(runs) / static_cast<double>(state.iterations());
  SetPerTask(state);
}
BENCHMARK(BM_SchedulerTick)->Arg(0)->Arg(1)->ArgNames({"due_1pct"});

void BM_PlainArrayWalk(benchmark::State& state) {
  const bool some_due = state.range(0) != 0;
  std::vector<std::int64_t> due(kTasks);
  std::int64_t now = 1'000'000;
  for (int i = 0; i < kTasks; ++i) due[i] = now + (some_due ? 1 + i / (kTasks / kInterval) : kInterval);
  std::int64_t runs = 0;
  auto run = [&](int) { benchmark::DoNotOptimize(++runs); };
  for (auto _ : state) {
    if (some_due) ++now;
    for (int i = 0; i < kTasks; ++i) {
      if (due[i] > now) continue;
      run(i);
      due[i] = now + kInterval;
    }
    benchmark::ClobberMemory();
  }
  state.counters["runs_per_tick"] = static_cast<double>(runs) / static_cast<double>(state.iterations());
  SetPerTask(state);
}
BENCHMARK(BM_PlainArrayWalk)->Arg(0)->Arg(1)->ArgNames({"due_1pct"});

const char* const kNever = "0 0 31 2 *";
const std::int64_t kSearchFrom = 1'717'200'000;  // June 2024

void BM_NextRunNeverMatching(benchmark::State& state) {
  const TOVCronSchedule c = TOVCronSchedule::Parse(kNever);
  for (auto _ : state) benchmark::DoNotOptimize(c.NextRun(kSearchFrom, SystemClock()));
}
BENCHMARK(BM_NextRunNeverMatching)->Unit(benchmark::kMicrosecond);

// The search as first described: local minutes one after the other, the expression parsed
// again for each.
void BM_NextRunReparsing(benchmark::State& state) {
  const std::string expr = kNever;
  for (auto _ : state) {
    std::int64_t local = (kSearchFrom + SystemClock().UtcOffset(kSearchFrom)) / 60 * 60 + 60;
    bool found = false;
    for (std::int64_t i = 0; i < kCronCandidateMinutes && !found; ++i, local += 60)
      found = cronref::MatchesText(expr, CivilFromSeconds(local));
    benchmark::DoNotOptimize(found);
  }
}
BENCHMARK(BM_NextRunReparsing)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
