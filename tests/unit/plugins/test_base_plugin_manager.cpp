// The loader and base manager, driven through the server's manager with the test plug-ins.
#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <thread>

#include "ov_event_bus.h"
#include "plugin_test_env.h"

using namespace ov;

namespace {

using PluginManagerTest = ovtest::PluginTest;

}  // namespace

TEST_F(PluginManagerTest, RefusalsAndSkipsReleaseWhatTheyMade) {
  Start();
  ASSERT_TRUE(mgr->LoadNativePlugin(Install("sample_cpp")));
  const struct {
    const char* lib;
    const char* line;  // <p> stands for the library's path
    bool destroyed;    // OVPluginDestroy ran for the refused object
  } cases[] = {
      {"api_v0", "error Plugin API version incompatible: <p> (has v0, server accepts v1..v2)", false},
      {"api_v3", "error Plugin API version incompatible: <p> (has v3, server accepts v1..v2)", false},
      {"no_create", "error Plugin missing OVPluginCreate export: <p>", false},
      {"create_null", "error Plugin creation returned nil: <p>", false},
      {"create_throw_std", "error Plugin creation failed: <p> - create failed", false},
      {"create_throw_other", "error Plugin creation failed: <p> - unknown exception", false},
      {"getter_throw_std", "error Plugin creation failed: <p> - getter failed", true},
      {"getter_throw_other", "error Plugin creation failed: <p> - unknown exception", true},
      {"name_invalid", "error Plugin creation failed: <p> - Invalid plugin name", true},
      {"name_empty", "error Plugin creation failed: <p> - Invalid plugin name", true},
      {"target_client", "debug Skipping plugin ClientOnly (target=1, we are 0)", true},
      {"target_garbage", "debug Skipping plugin GarbageTarget (target=7, we are 0)", true},
      {"dup_name", "warning Plugin already loaded: samplecpp", true},
  };
  for (const auto& c : cases) {
    log.Clear();
    const std::string path = Install(c.lib);
    EXPECT_FALSE(mgr->LoadNativePlugin(path)) << c.lib;
    std::string line = c.line;
    if (auto at = line.find("<p>"); at != std::string::npos) line.replace(at, 3, path);
    EXPECT_TRUE(log.Has(line)) << line;
    EXPECT_EQ(log.Has("[plugin:_loading] OVPluginDestroy called"), c.destroyed) << c.lib;
  }
  ovtest::WriteText(plugin_dir + "/garbage.so", "not a library");
  EXPECT_FALSE(mgr->LoadNativePlugin(plugin_dir + "/garbage.so"));
  EXPECT_TRUE(log.Has("error Failed to load plugin library: " + plugin_dir + "/garbage.so ("));
  EXPECT_EQ(mgr->GetPluginCount(), 1);

  // A scan takes files ending in ".so" only; "1.0" versions and directories are left alone.
  log.Clear();
  std::filesystem::remove_all(plugin_dir);
  std::filesystem::create_directories(plugin_dir + "/dir.so");
  ovtest::WriteText(plugin_dir + "/SampleCpp/plugin.json", R"({"version": "2.0.1"})");
  ovtest::WriteText(plugin_dir + "/SampleC/plugin.json", "[1, 2]");
  std::filesystem::copy_file(ovtest::TestPlugin("sample_c"), plugin_dir + "/lib.so.1");
  Install("sample_cpp");
  Install("sample_c");
  Install("api_v1");
  Start();
  EXPECT_EQ(mgr->GetPluginCount(), 3);
  EXPECT_FALSE(log.Has("dir.so"));
  EXPECT_FALSE(log.Has("lib.so.1"));
  EXPECT_TRUE(log.Has("uses older API v1 (current v2)"));
  EXPECT_EQ(log.Count("uses older API"), 1) << "no version export: the current API, silently";
  EXPECT_TRUE(log.Has("debug Could not read " + plugin_dir + "/SampleC/plugin.json: not a JSON object"));
  const TJSON list = mgr->GetPluginJSON();
  for (const auto& p : list)
    EXPECT_EQ(p["version"], p["name"] == "SampleCpp" ? "2.0.1" : "1.0.0") << p.dump();
}

TEST_F(PluginManagerTest, DependenciesOrderAndCascades) {
  StartupEventBus();
  int loaded_events = 0;
  EventBus->Subscribe("test", OV_EVENT_PLUGIN_LOADED, {nullptr, nullptr, [&](const std::string&, const TJSON*) { ++loaded_events; }});
  for (const char* lib : {"dep_c", "dep_b", "dep_a", "cycle_x", "cycle_y"}) Install(lib);
  Start();
  EXPECT_LT(log.IndexOf("Plugin initialized: DepA"), log.IndexOf("Plugin initialized: DepB"));
  EXPECT_LT(log.IndexOf("Plugin initialized: DepB"), log.IndexOf("Plugin initialized: DepC"));
  EXPECT_TRUE(log.Has("error Plugin \"CycleX\" has unresolved dependencies"));
  EXPECT_TRUE(log.Has("error Plugin \"CycleY\" has unresolved dependencies"));
  EXPECT_EQ(log.Count("Some plugins have unresolved dependencies"), 1);
  EXPECT_EQ(mgr->EnablePlugin("CycleX"), "Plugin not initialized: CycleX");

  EXPECT_EQ(mgr->EnablePlugin("DepB"), "Cannot enable DepB: required dependency \"DepA\" is not enabled");
  for (const char* p : {"depa", "DepB", "DepC"}) EXPECT_EQ(mgr->EnablePlugin(p), "") << p;
  EXPECT_EQ(mgr->EnablePlugin("DepA"), "") << "already enabled: no second event";
  EXPECT_EQ(loaded_events, 3);
  EXPECT_EQ(Sql("SELECT SUM(is_enabled) FROM plugin_state"), "3");

  log.Clear();
  mgr->DisablePlugin("DepA");
  EXPECT_TRUE(log.Has("Cascade-disabling dependent plugin: DepB (depends on DepA)"));
  EXPECT_TRUE(log.Has("Cascade-disabling dependent plugin: DepC (depends on DepB)"));
  EXPECT_LT(log.IndexOf("Plugin disabled: DepC"), log.IndexOf("Plugin disabled: DepB"));
  EXPECT_LT(log.IndexOf("Plugin disabled: DepB"), log.IndexOf("Plugin disabled: DepA"));
  EXPECT_EQ(Sql("SELECT SUM(is_enabled) FROM plugin_state"), "0");
  mgr.reset();
  ShutdownEventBus(nullptr);
}

TEST_F(PluginManagerTest, ServiceCallsTasksAndThrows) {
  for (const char* lib : {"sample_cpp", "sample_c", "dep_a"}) Install(lib);
  Start();
  for (const char* p : {"SampleCpp", "SampleC", "DepA"}) ASSERT_EQ(mgr->EnablePlugin(p), "");

  const TJSON three = TJSON::parse(R"({"a": 1, "b": "two", "c": [3]})");
  for (const char* p : {"SampleCpp", "SampleC"}) EXPECT_EQ(*Call(p, "Echo", three), three) << p;
  EXPECT_EQ(Call("SampleCpp", "NoSuchFunction"), nullptr);
  EXPECT_EQ(Call("Nope", "Echo"), nullptr);
  EXPECT_EQ(Call("DepA", "Echo"), nullptr);
  EXPECT_TRUE(log.Has("CallPluginFunction: plugin not found: Nope (function: Echo)"));
  EXPECT_TRUE(log.Has("CallPluginFunction: plugin DepA lacks pcService capability (function: Echo)"));

  // What a plug-in throws reaches the caller, as a std::exception, with the call count restored.
  const struct {
    const char* plugin;
    const char* fn;
    const char* what;
  } throws[] = {
      {"SampleCpp", "ThrowStd", "service failed"},
      {"SampleCpp", "ThrowOther", "unknown exception"},
      // The host's error unwinds through the C plug-in's frames.
      {"SampleC", "Denied", "Plugin \"SampleC\" denied permission: config.write"},
  };
  for (const auto& t : throws) {
    try {
      Call(t.plugin, t.fn);
      ADD_FAILURE() << t.fn << " did not throw";
    } catch (const std::exception& e) {
      EXPECT_STREQ(e.what(), t.what);
    }
    EXPECT_EQ(mgr->GetPluginActiveCallCount(t.plugin), 0);
  }
  EXPECT_EQ((*Call("SampleCpp", "CatchDenied"))["caught"], "Plugin \"SampleCpp\" denied permission: config.write");

  // The C plug-in's own table, through its records and criteria.
  EXPECT_EQ((*Call("SampleC", "Store", {{"name", "n1"}}))["id"], 1);
  Call("SampleC", "Store", {{"name", "n2"}});
  EXPECT_EQ((*Call("SampleC", "Find", {{"name", "n2"}}))["rows"], TJSON::parse(R"([{"id": 2, "name": "n2"}])"));

  EXPECT_EQ((*Call("_system", "GetDashboardWidgets"))["widgets"], TJSON::parse(R"([{"plugin": "SampleCpp"}])"));

  // Task lists: defaults for missing members; a list that is not an array, and items that are
  // not objects, give nothing.
  EXPECT_EQ(mgr->GetAllPluginScheduledTasks(),
            TJSON::parse(R"([{"plugin_name": "SampleCpp", "task_name": "tick", "description": "tick", "interval_seconds": 60}])"));
  Call("SampleCpp", "SetTasks", {{"tasks", {{"name", "x"}}}});
  EXPECT_EQ(mgr->GetAllPluginScheduledTasks(), TJSON::array());
  Call("SampleCpp", "SetTasks", TJSON::parse(R"({"tasks": [5, "x", {"name": "t2", "description": "d", "interval_seconds": 10}, {}]})"));
  EXPECT_EQ(mgr->GetAllPluginScheduledTasks(),
            TJSON::parse(R"([{"plugin_name": "SampleCpp", "task_name": "t2", "description": "d", "interval_seconds": 10},
                             {"plugin_name": "SampleCpp", "task_name": "", "description": "", "interval_seconds": 60}])"));
  EXPECT_EQ(mgr->RunPluginTask("SampleCpp", "t2"), "");
  EXPECT_TRUE(log.Has("[plugin:SampleCpp] task t2 ran"));
  EXPECT_THROW((void)mgr->RunPluginTask("SampleCpp", "fail"), std::runtime_error);
  EXPECT_THROW((void)mgr->RunPluginTask("SampleCpp", "fail_other"), EOVPluginError);
  EXPECT_EQ(mgr->GetPluginActiveCallCount("SampleCpp"), 0);
  // A task that cannot be called says why, so that the scheduler records a failed run.
  EXPECT_EQ(mgr->RunPluginTask("SampleC", "t"), "Plugin SampleC has no pcScheduled capability");
  EXPECT_TRUE(log.Has("RunPluginTask: plugin SampleC has no pcScheduled capability"));
  EXPECT_EQ(mgr->RunPluginTask("Nope", "t"), "Plugin not found: Nope");
  mgr->DisablePlugin("SampleCpp");
  EXPECT_EQ(mgr->RunPluginTask("SampleCpp", "t2"), "Plugin not enabled: SampleCpp");
}

TEST_F(PluginManagerTest, UnloadWaitsForRunningCallsWithinItsBound) {
  Install("sample_cpp");
  Start();
  ASSERT_EQ(mgr->EnablePlugin("SampleCpp"), "");

  // A bound that passes: unload fails with its reason and leaves everything as it was.
  mgr->SetUnloadWait(std::chrono::milliseconds(50));
  auto slow = std::async(std::launch::async, [&] { return Call("SampleCpp", "Sleep", {{"ms", 400}}); });
  ASSERT_TRUE(Eventually([&] { return mgr->GetPluginActiveCallCount("SampleCpp") == 1; }));
  const std::string reason = mgr->UnloadPlugin("SampleCpp");
  EXPECT_NE(reason.find("Plugin SampleCpp is busy"), std::string::npos) << reason;
  EXPECT_EQ((*slow.get())["slept"], 400);
  EXPECT_NE(Call("SampleCpp", "Echo"), nullptr) << "still enabled";
  EXPECT_EQ(Sql("SELECT is_enabled FROM plugin_state"), "1");

  // A bound that holds: new calls are refused at once, the running one finishes first.
  mgr->SetUnloadWait(std::chrono::seconds(5));
  slow = std::async(std::launch::async, [&] { return Call("SampleCpp", "Sleep", {{"ms", 300}}); });
  ASSERT_TRUE(Eventually([&] { return mgr->GetPluginActiveCallCount("SampleCpp") == 1; }));
  auto unload = std::async(std::launch::async, [&] { return mgr->UnloadPlugin("SampleCpp"); });
  EXPECT_TRUE(Eventually([&] { return Call("SampleCpp", "Echo") == nullptr; }));
  EXPECT_EQ((*slow.get())["slept"], 300);
  EXPECT_EQ(unload.get(), "");
  EXPECT_LT(log.IndexOf("[plugin:SampleCpp] slept 300"), log.IndexOf("[plugin:SampleCpp] Finalize called"));
  EXPECT_LT(log.IndexOf("[plugin:SampleCpp] Finalize called"), log.IndexOf("[plugin:SampleCpp] OVPluginDestroy called"));
  EXPECT_FALSE(mgr->IsPluginLoaded("SampleCpp"));
  EXPECT_TRUE(log.Has("info Plugin unloaded: SampleCpp"));
}
