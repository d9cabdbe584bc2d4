// The cost of the plug-in boundary, in one run (Google Benchmark):
//
//   host round trip  a C plug-in (tests/plugins/sample_c.c, "Spin") calling the host table N times
//                    in a loop: HasPermission and GetServerVersion (a string result the plug-in
//                    releases), against the same TOVPluginHost methods called directly.  Per call.
//   service call     CallPluginFunction of the C plug-in's "Echo" with a three-member object,
//                    against IOVServicePlugin.CallFunction through the plug-in's own table: what
//                    the manager adds (lock, lookup, guard, call count, function-name string).
//                    One and eight threads.
//
// Needs the test plug-ins (build/test_plugins).  Prints each pair's ratio at the end; targets:
// HasPermission within 2x, the string slot within 4x, the service call within 1.5x (one thread).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "ov_database.h"
#include "ov_plugin_manager.h"
#include "ov_plugin_sdk.h"

using namespace ov;

namespace {

constexpr std::int64_t kSpins = 10000;

struct TBenchEnv {
  std::string dir;
  std::unique_ptr<TOVPluginManager> mgr;
  std::unique_ptr<TOVPluginHost> host;
  IOVServicePlugin* svc = nullptr;

  TBenchEnv() {
    char tmpl[] = "/tmp/ov-bench-plugin-XXXXXX";
    dir = ::mkdtemp(tmpl);
    std::filesystem::create_directories(dir + "/plugins");
    std::filesystem::copy_file(std::string(OV_TEST_PLUGIN_DIR) + "/sample_c.so", dir + "/plugins/sample_c.so");
    DB.Publish(std::make_unique<TOVDatabase>(dir + "/bench.db"));
    mgr = std::make_unique<TOVPluginManager>(dir + "/plugins", std::chrono::system_clock::now());
    mgr->ScanPlugins();
    mgr->InitializeAll();
    if (!mgr->EnablePlugin("SampleC").empty()) throw std::runtime_error("SampleC did not load: build the tests first");
    IOVPlugin* p = mgr->GetPluginService("SampleC");
    svc = p->vtbl->GetServicePlugin(p);
    host = std::make_unique<TOVPluginHost>("Bench", TOVPermissionSet{opDatabaseRead}, nullptr,
                                           std::chrono::system_clock::now());
    host->SetGrantedPermissions({opDatabaseRead});
  }
  ~TBenchEnv() {
    mgr.reset();
    DB.Free();
    std::filesystem::remove_all(dir);
  }
};

TBenchEnv& Env() {
  static TBenchEnv env;
  return env;
}

const TJSON& Args3() {
  static const TJSON args = TJSON::parse(R"({"name": "bench", "count": 3, "flags": [1, 2]})");
  return args;
}

void Spin(benchmark::State& state, const char* op) {
  const TJSON args = {{"op", op}, {"n", kSpins}};
  for (auto _ : state) benchmark::DoNotOptimize(Env().mgr->CallPluginFunction("SampleC", "Spin", &args));
  state.SetItemsProcessed(state.iterations() * kSpins);
}

void BM_HasPermission_FromC(benchmark::State& state) { Spin(state, "perm"); }
void BM_HasPermission_Direct(benchmark::State& state) {
  TOVPluginHost& h = *Env().host;
  for (auto _ : state)
    for (std::int64_t i = 0; i < kSpins; ++i) benchmark::DoNotOptimize(h.HasPermission(opDatabaseRead));
  state.SetItemsProcessed(state.iterations() * kSpins);
}

void BM_GetServerVersion_FromC(benchmark::State& state) { Spin(state, "version"); }
void BM_GetServerVersion_Direct(benchmark::State& state) {
  TOVPluginHost& h = *Env().host;
  for (auto _ : state)
    for (std::int64_t i = 0; i < kSpins; ++i) benchmark::DoNotOptimize(h.GetServerVersion());
  state.SetItemsProcessed(state.iterations() * kSpins);
}

void BM_ServiceCall_Manager(benchmark::State& state) {
  TOVPluginManager& mgr = *Env().mgr;
  for (auto _ : state) benchmark::DoNotOptimize(mgr.CallPluginFunction("SampleC", "Echo", &Args3()));
  state.SetItemsProcessed(state.iterations());
}

void BM_ServiceCall_Table(benchmark::State& state) {
  IOVServicePlugin* svc = Env().svc;
  const TOVStrRef fn("Echo");
  for (auto _ : state)
    benchmark::DoNotOptimize(AdoptOVJson(svc->vtbl->CallFunction(svc, fn.get(), BorrowOVJson(&Args3()))));
  state.SetItemsProcessed(state.iterations());
}

// Prints every pair "<name>_<slow>" / "<name>_<fast>" as a ratio of the time per item.
class TRatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& r : runs) {
      const auto items = r.counters.find("items_per_second");
      if (items != r.counters.end() && items->second.value > 0) per_item_ns_[r.benchmark_name()] = 1e9 / items->second.value;
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    const char* pairs[][3] = {
        {"HasPermission", "BM_HasPermission_FromC", "BM_HasPermission_Direct"},
        {"GetServerVersion", "BM_GetServerVersion_FromC", "BM_GetServerVersion_Direct"},
        {"service call, 1 thread", "BM_ServiceCall_Manager/real_time/threads:1", "BM_ServiceCall_Table/real_time/threads:1"},
        {"service call, 8 threads", "BM_ServiceCall_Manager/real_time/threads:8", "BM_ServiceCall_Table/real_time/threads:8"},
    };
    std::printf("\n%-26s %14s %14s %8s\n", "comparison", "boundary ns", "direct ns", "ratio");
    for (const auto& p : pairs) {
      const auto a = per_item_ns_.find(p[1]), b = per_item_ns_.find(p[2]);
      if (a == per_item_ns_.end() || b == per_item_ns_.end()) continue;
      std::printf("%-26s %14.1f %14.1f %7.2fx\n", p[0], a->second, b->second, a->second / b->second);
    }
  }

 private:
  std::map<std::string, double> per_item_ns_;
};

}  // namespace

BENCHMARK(BM_HasPermission_FromC);
BENCHMARK(BM_HasPermission_Direct);
BENCHMARK(BM_GetServerVersion_FromC);
BENCHMARK(BM_GetServerVersion_Direct);
BENCHMARK(BM_ServiceCall_Manager)->Threads(1)->Threads(8)->UseRealTime();
BENCHMARK(BM_ServiceCall_Table)->Threads(1)->Threads(8)->UseRealTime();

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  Env();
  TRatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
