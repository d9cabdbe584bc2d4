#include "ov_base_plugin_manager.h"

#include <dlfcn.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "ov_i18n.h"
#include "ov_log.h"
#include "ov_plugin_library.h"
#include "ov_plugin_sdk.h"
#include "ov_text.h"

namespace ov {

// ---- runtime and guards ------------------------------------------------------------------------

void TOVPluginRuntime::Leave() noexcept {
  if (guards_.fetch_sub(1) == 1 && unloading_.load()) {
    TOVLockGuard g(wait_lock_);
    idle_.notify_all();
  }
}

bool TOVPluginRuntime::TryEnter() noexcept {
  guards_.fetch_add(1);
  if (!unloading_.load()) return true;
  Leave();
  return false;
}

std::optional<TOVPluginGuard> TOVPluginGuard::TryEnter(const std::weak_ptr<TOVPluginRuntime>& rt, bool bound) {
  if (!bound) return TOVPluginGuard(TAdopt{}, nullptr);
  std::shared_ptr<TOVPluginRuntime> p = rt.lock();
  if (!p || !p->TryEnter()) return std::nullopt;
  return TOVPluginGuard(TAdopt{}, std::move(p));
}

bool TOVPluginRuntime::WaitIdle(std::chrono::milliseconds bound) {
  TOVUniqueLock g(wait_lock_);
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (guards_.load() != 0) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    idle_.wait_for(g, std::chrono::milliseconds(10));
  }
  return true;
}

namespace {

using TTextGetter = void (*)(IOVPlugin*, OVStr*);
std::string ReadText(IOVPlugin* p, TTextGetter IOVPluginVtbl::*slot, const char* slot_name) {
  TOVStrRef s;
  PluginSlot(PluginVtbl(p).*slot, slot_name)(p, s.out());
  return s.str();
}

std::vector<std::string> ReadDependencies(IOVPlugin* p) {
  TOVStrArrayRef deps;
  OV_PCALL(p, GetDependencies, deps.out());
  return OVStrArrayToVector(deps.get());
}

// ---- library loading ----

// A library handle the load owns until the plug-in is kept; released otherwise.
class TLibrary {
 public:
  TLibrary() = default;
  ~TLibrary() {
    if (h_) dlclose(h_);
  }
  TLibrary(const TLibrary&) = delete;
  TLibrary& operator=(const TLibrary&) = delete;
  void Reset(void* h) noexcept { h_ = h; }
  void* get() const noexcept { return h_; }
  void* Release() noexcept { return std::exchange(h_, nullptr); }
  template <class Fn>
  Fn Symbol(const char* name) const noexcept {
    return reinterpret_cast<Fn>(dlsym(h_, name));
  }

 private:
  void* h_ = nullptr;
};

// A plug-in object the load made but did not keep: destroyed with OVPluginDestroy (when the
// library exports it) before its library is released.
class TCreatedPlugin {
 public:
  TCreatedPlugin() = default;
  ~TCreatedPlugin() { Destroy(); }
  TCreatedPlugin(const TCreatedPlugin&) = delete;
  TCreatedPlugin& operator=(const TCreatedPlugin&) = delete;
  void Set(IOVPlugin* p, TOVPluginDestroyProc destroy) noexcept {
    p_ = p;
    destroy_ = destroy;
  }
  IOVPlugin* get() const noexcept { return p_; }
  IOVPlugin* Release() noexcept { return std::exchange(p_, nullptr); }
  // An exception of the plug-in's destructor is swallowed.
  void Destroy() noexcept {
    IOVPlugin* p = Release();
    if (!p || !destroy_) return;
    try {
      CallIntoPlugin([&] { destroy_(p); });
    } catch (...) {
    }
  }

 private:
  IOVPlugin* p_ = nullptr;
  TOVPluginDestroyProc destroy_ = nullptr;
};

constexpr const char* kNoUnwindTables = "built without unwind tables";

// The "version" of <library dir>/<name>/plugin.json, or "" (a problem is logged at debug level).
std::string VersionFromPluginJson(const std::string& lib_path, const std::string& name) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::path(lib_path).parent_path();
  const std::string file = (dir / name / "plugin.json").string();
  std::error_code ec;
  if (!fs::exists(file, ec)) return {};
  std::ifstream in(file, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  const auto doc = in ? ParseJson(ss.str()) : std::nullopt;
  if (!doc || !doc->is_object()) {
    LogDebug("Could not read %s: %s", file, !in ? "cannot open file" : doc ? "not a JSON object" : "invalid JSON");
    return {};
  }
  return JStr(*doc, "version");
}

constexpr std::string_view kAdminSystemFunctions[] = {"ListUsers",     "GetUser",         "UpdateUser",
                                                      "GetSystemLogs", "GetSystemConfig", "ReloadLanguage"};

// Finalize (when initialised), OVPluginDestroy (when exported), then the host.  A failing step
// is reported as report(step, message) and the next one follows.
template <class Report>
void ReleaseRuntime(const TOVBaseLoadedPlugin& e, TOVPluginRuntime& rt, bool log_steps, Report&& report) {
  IOVPlugin* p = rt.Plugin();
  if (e.IsInitialized && p) {
    if (log_steps) LogDebug("UnloadPlugin: finalizing %s", e.Name);
    try {
      TOVPluginGuard g(e.Runtime);
      g.Call([&] { OV_PCALL(p, Finalize); });
    } catch (const std::exception& ex) {
      report("finalize", ex.what());
    }
  }
  if (e.IsNative && rt.LibHandle() && p) {
    if (auto destroy = reinterpret_cast<TOVPluginDestroyProc>(dlsym(rt.LibHandle(), OV_EXPORT_DESTROY))) {
      if (log_steps) LogDebug("UnloadPlugin: destroying %s", e.Name);
      try {
        TOVPluginGuard g(e.Runtime);
        g.Call([&] { destroy(p); });
      } catch (const std::exception& ex) {
        report("destroy", ex.what());
      }
    }
  }
}

}  // namespace

// ---- construction --------------------------------------------------------------------------------

TOVBasePluginManager::TOVBasePluginManager(std::string plugin_dir, std::chrono::system_clock::time_point start_time,
                                           TOVPluginTarget environment)
    : plugin_dir_(std::move(plugin_dir)), start_time_(start_time), environment_(environment) {
  std::error_code ec;
  std::filesystem::create_directories(plugin_dir_, ec);
}

TOVBasePluginManager::~TOVBasePluginManager() {
  try {
    ShutdownAll();
  } catch (const std::exception& e) {
    LogError("Plugin manager shutdown error: %s", e.what());
  }
}

IOVPluginHost* TOVBasePluginManager::LoadingHost() {
  std::call_once(loading_once_, [this] { loading_host_ = CreateHost("_loading", TOVPermissionSet()); });
  return loading_host_ ? loading_host_->Intf() : nullptr;
}

int TOVBasePluginManager::FindPlugin(const std::string& name) const {
  for (std::size_t i = 0; i < plugins_.size(); ++i)
    if (EqualsFoldCase(plugins_[i].Name, name)) return static_cast<int>(i);
  return -1;
}

std::optional<TOVBaseLoadedPlugin> TOVBasePluginManager::SnapshotPlugin(const std::string& name) const {
  TOVLockGuard g(lock_);
  const int i = FindPlugin(name);
  if (i < 0) return std::nullopt;
  return plugins_[static_cast<std::size_t>(i)];
}

// ---- scanning and loading --------------------------------------------------------------------------

void TOVBasePluginManager::RemoveStaleCopies() const {
  RemovePluginLibraryCopies(plugin_dir_);
  RemovePluginLibraryCopies(PluginCopyFallbackDir());
}

void TOVBasePluginManager::ScanPlugins() {
  LogInfo("Scanning for plugins in %s", plugin_dir_);
  RemoveStaleCopies();
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(plugin_dir_, ec)) {
    const std::string file = entry.path().filename().string();
    if (file.size() < 4 || file.compare(file.size() - 3, 3, ".so") != 0 || entry.is_directory(ec)) continue;
    LogInfo("Found plugin library: %s", file);
    LoadNativePlugin(plugin_dir_ + "/" + file);
  }
}

bool TOVBasePluginManager::LoadNativePlugin(const std::string& lib_path) {
  std::string error;
  return LoadNativePlugin(lib_path, error);
}

namespace {

// How a library is mapped: a load maps a private copy (the file may be replaced later), the
// probe's process the file itself.
enum class TMapping : bool { PrivateCopy, InPlace };

// The steps a load and the probe share: maps the library, checks its API version and exports,
// creates its plug-in with the loading host and reads its name, dependencies, permissions,
// capabilities and target into e.  "" when all went well (lib and created then hold the library
// and the plug-in), else the failure's text for the log.
std::string CreateFromLibrary(const std::string& path, TMapping mapping, IOVPluginHost* loading, TLibrary& lib,
                              TCreatedPlugin& created, TOVBaseLoadedPlugin& e) {
  std::string dl_error;
  lib.Reset(mapping == TMapping::InPlace ? OpenLibraryInPlace(path, dl_error) : OpenPluginLibrary(path, dl_error));
  if (!lib.get()) return Format("Failed to load plugin library: %s (%s)", path, dl_error);

  if (auto version_fn = lib.Symbol<TOVPluginAPIVersionFunc>(OV_EXPORT_API_VERSION)) {
    const std::int32_t v = CallIntoPlugin(version_fn);
    if (v < OV_MIN_PLUGIN_API || v > OV_CURRENT_PLUGIN_API)
      return Format("Plugin API version incompatible: %s (has v%d, server accepts v%d..v%d)", path, v,
                    OV_MIN_PLUGIN_API, OV_CURRENT_PLUGIN_API);
    if (v < OV_CURRENT_PLUGIN_API)
      LogInfo("Plugin %s uses older API v%d (current v%d) \xE2\x80\x94 loading with backward compatibility", path, v,
              OV_CURRENT_PLUGIN_API);
  }
  auto create = lib.Symbol<TOVPluginCreateFunc>(OV_EXPORT_CREATE);
  if (!create) return Format("Plugin missing %s export: %s", OV_EXPORT_CREATE, path);
  // Refused before any of its code that can reach the host runs (OVPluginCreate is given
  // one): the exports first, then, before the getters, the plug-in's own table.
  auto destroy = lib.Symbol<TOVPluginDestroyProc>(OV_EXPORT_DESTROY);
  if (!HasUnwindInfo(reinterpret_cast<const void*>(create)) ||
      (destroy && !HasUnwindInfo(reinterpret_cast<const void*>(destroy))))
    return Format("Plugin creation failed: %s - %s", path, kNoUnwindTables);

  std::optional<std::string> creation_error;
  try {
    IOVPlugin* p = CallIntoPlugin([&] { return create(loading); });
    if (!p) return Format("Plugin creation returned nil: %s", path);
    created.Set(p, destroy);
    if (!SlotsHaveUnwindInfo(p->vtbl)) throw EOVPluginError(kNoUnwindTables);
    CallIntoPlugin([&] {
      e.Name = ReadText(p, &IOVPluginVtbl::GetName, "GetName");
      e.Dependencies = ReadDependencies(p);
      e.RequestedPerms = TOVPermissionSet(OV_PCALL(p, GetRequestedPermissions));
      e.Capabilities = TOVPluginCapabilities(OV_PCALL(p, GetCapabilities));
      e.Target = static_cast<TOVPluginTarget>(OV_PCALL(p, GetTarget));
    });
  } catch (const std::exception& ex) {
    creation_error = ex.what();
  }
  // The name becomes a directory, a table prefix and a route.
  if (!creation_error && !IsSafeName(e.Name)) creation_error = "Invalid plugin name";
  if (creation_error) return Format("Plugin creation failed: %s - %s", path, *creation_error);
  return {};
}

// The texts a load reads after the target filter: the version (unless plugin.json gave one),
// description and author.  "" when all went well, else the failure's text for the log.
std::string ReadDescriptions(const std::string& path, IOVPlugin* p, TOVBaseLoadedPlugin& e) {
  try {
    CallIntoPlugin([&] {
      if (e.Version.empty()) e.Version = ReadText(p, &IOVPluginVtbl::GetVersion, "GetVersion");
      e.Description = ReadText(p, &IOVPluginVtbl::GetDescription, "GetDescription");
      e.Author = ReadText(p, &IOVPluginVtbl::GetAuthor, "GetAuthor");
    });
  } catch (const std::exception& ex) {
    return Format("Plugin creation failed: %s - %s", path, ex.what());
  }
  return {};
}

}  // namespace

std::optional<TOVPluginIdentity> ReadLibraryIdentityInProcess(const std::string& lib_path, IOVPluginHost* host,
                                                              std::string& error) {
  TLibrary lib;
  TCreatedPlugin created;
  // Its code has run in this process, which ends soon: nothing of it is released.
  struct TKeepMapped {
    TLibrary& lib;
    ~TKeepMapped() { lib.Release(); }
  } keep{lib};
  TOVBaseLoadedPlugin e;
  try {
    error = CreateFromLibrary(lib_path, TMapping::InPlace, host, lib, created, e);
    if (error.empty()) error = ReadDescriptions(lib_path, created.get(), e);
  } catch (const std::exception& ex) {
    error = Format("Plugin load crashed: %s - %s", lib_path, ex.what());
  }
  if (!error.empty()) return std::nullopt;
  return TOVPluginIdentity{e.Name, e.Target};
}

bool TOVBasePluginManager::LoadNativePlugin(const std::string& path, std::string& error) {
  auto fail = [&](std::string msg) {
    LogError(msg);
    error = std::move(msg);
    return false;
  };
  // Declared before any plug-in code runs: a refused plug-in is destroyed, then its library
  // released, only after every exception that came out of it is gone.
  TLibrary lib;
  TCreatedPlugin created;
  std::optional<std::string> crashed;
  try {
    TOVBaseLoadedPlugin e;
    if (std::string why = CreateFromLibrary(path, TMapping::PrivateCopy, LoadingHost(), lib, created, e); !why.empty())
      return fail(why);

    if (e.Target != ptBoth && e.Target != environment_) {
      LogDebug("Skipping plugin %s (target=%d, we are %d)", e.Name, static_cast<int>(e.Target),
               static_cast<int>(environment_));
      created.Destroy();
      lib.Release();  // stays loaded
      error = "Skipping plugin " + e.Name;
      return false;
    }

    e.Version = VersionFromPluginJson(path, e.Name);
    if (std::string why = ReadDescriptions(path, created.get(), e); !why.empty()) return fail(why);

    e.LibPath = path;
    bool duplicate = false;
    {
      TOVLockGuard g(lock_);
      if (FindPlugin(e.Name) >= 0) {
        duplicate = true;
      } else {
        e.Runtime = std::make_shared<TOVPluginRuntime>(lib.get(), created.get(), CreateHost(e.Name, e.RequestedPerms));
        if (TOVPluginHost* host = e.Runtime->Host()) host->AttachRuntime(e.Runtime);
        lib.Release();
        created.Release();
        plugins_.push_back(e);
      }
    }
    if (duplicate) {
      LogWarning("Plugin already loaded: %s", e.Name);
      error = "Plugin already loaded: " + e.Name;
      return false;
    }
    OnPluginLoaded(e);
    LogInfo("Plugin loaded: %s v%s - %s (by %s)", e.Name, e.Version, e.Description, e.Author);
    return true;
  } catch (const std::exception& ex) {
    crashed = ex.what();
  }
  return fail(Format("Plugin load crashed: %s - %s", path, *crashed));
}

// ---- initialisation ---------------------------------------------------------------------------

void TOVBasePluginManager::GetInitOrder(std::vector<int>& order) {
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = static_cast<int>(i);
}

TOVBasePluginManager::TInitOutcome TOVBasePluginManager::InitializePlugin(const std::string& name,
                                                                          const char* success_log) {
  std::shared_ptr<TOVPluginRuntime> rt;
  {
    TOVLockGuard g(lock_);
    const int i = FindPlugin(name);
    if (i < 0) return {TInitOutcome::Failed, "Plugin not found: " + name};
    GrantPermissions(plugins_[static_cast<std::size_t>(i)]);
    rt = plugins_[static_cast<std::size_t>(i)].Runtime;
  }
  bool ok = false;
  try {
    TOVPluginGuard g(rt);
    IOVPlugin* p = rt->Plugin();
    ok = g.Call([&] { return OV_PCALL(p, Initialize, rt->HostIntf()) != 0; });
  } catch (const std::exception& e) {
    return {TInitOutcome::Failed, e.what()};
  }
  if (!ok) return {TInitOutcome::False, {}};
  std::optional<TOVBaseLoadedPlugin> snap;
  {
    TOVLockGuard g(lock_);
    const int i = FindPlugin(name);
    if (i >= 0) {
      plugins_[static_cast<std::size_t>(i)].IsInitialized = true;
      snap = plugins_[static_cast<std::size_t>(i)];
    }
  }
  if (success_log) LogInfo(success_log, name);
  if (snap) OnPluginInitialized(*snap);
  return {TInitOutcome::Ok, {}};
}

void TOVBasePluginManager::InitializeAll() {
  std::vector<std::string> names;
  {
    TOVLockGuard g(lock_);
    std::vector<int> order(plugins_.size(), -1);
    GetInitOrder(order);
    for (int pos : order)
      if (pos >= 0 && static_cast<std::size_t>(pos) < plugins_.size()) names.push_back(plugins_[static_cast<std::size_t>(pos)].Name);
  }
  for (const std::string& name : names) {
    std::string missing;
    {
      TOVLockGuard g(lock_);
      const int i = FindPlugin(name);
      if (i < 0) continue;
      // Only presence counts here; enabling checks that dependencies are enabled.
      for (const auto& dep : plugins_[static_cast<std::size_t>(i)].Dependencies)
        if (FindPlugin(dep) < 0) {
          missing = dep;
          break;
        }
    }
    if (!missing.empty())
      LogError("Plugin \"%s\" missing dependency: %s", name, missing);
    else
      InitializeAndEnable(name, "Plugin");
  }
}

void TOVBasePluginManager::InitializeAndEnable(const std::string& name, const std::string& what) {
  try {
    const TInitOutcome r = InitializePlugin(name, (what + " initialized: %s").c_str());
    if (r.kind == TInitOutcome::Ok) {
      if (IsPluginAutoEnabled(name)) EnablePlugin(name);
    } else if (r.kind == TInitOutcome::False) {
      LogWarning(what + " failed to initialize: %s", name);
    } else {
      LogError(what + " init exception: %s - %s", name, r.error);
    }
  } catch (const std::exception& e) {
    LogError(what + " init exception: %s - %s", name, e.what());
  }
}

// ---- enable, disable, restart ------------------------------------------------------------------

void TOVBasePluginManager::RegisterPluginSideEffects(TOVBaseLoadedPlugin& e) {
  if (!e.Capabilities.Has(pcEvents)) return;
  TOVPluginGuard g(e.Runtime);
  IOVPlugin* p = e.Plugin();
  g.Call([&] {
    if (IOVEventPlugin* ev = OV_PCALL(p, GetEventPlugin)) OV_PCALL(ev, SubscribeEvents);
  });
}

void TOVBasePluginManager::UnregisterPluginSideEffects(TOVBaseLoadedPlugin& e) {
  if (auto bus = GetEventBusRef()) bus->Unsubscribe(e.Name);
}

void TOVBasePluginManager::FireManagerEvent(const char* event, const std::string& name) {
  if (auto bus = GetEventBusRef()) {
    TJSON data = TJSON::object();
    data["plugin"] = name;
    bus->Fire("_system", event, data);
  }
}

std::string TOVBasePluginManager::EnablePlugin(const std::string& name) {
  std::string entry_name;
  {
    TOVLockGuard g(lock_);
    const int i = FindPlugin(name);
    if (i < 0) return "Plugin not found: " + name;
    TOVBaseLoadedPlugin& e = plugins_[static_cast<std::size_t>(i)];
    if (e.IsEnabled) return {};
    if (e.IsUninstalled) return "Plugin is being uninstalled: " + name;
    if (e.Runtime->Unloading()) return "Plugin is being unloaded: " + name;
    if (!e.IsInitialized) return "Plugin not initialized: " + name;
    for (const auto& dep : e.Dependencies) {
      const int d = FindPlugin(dep);
      if (d < 0 || !plugins_[static_cast<std::size_t>(d)].IsEnabled) {
        std::string msg = Format("Cannot enable %s: required dependency \"%s\" is not enabled", name, dep);
        LogWarning(msg);
        return msg;
      }
    }
    IOVPlugin* p = e.Plugin();
    if (e.Capabilities.Has(pcProtocol)) {
      TOVPluginGuard guard(e.Runtime);
      const bool started = guard.Call([&] {
        IOVProtocolPlugin* proto = OV_PCALL(p, GetProtocolPlugin);
        return !proto || OV_PCALL(proto, Start) != 0;
      });
      if (!started) {
        std::string msg = "Plugin " + name + " protocol failed to start";
        LogError(msg);
        return msg;
      }
    }
    try {
      RegisterPluginSideEffects(e);
    } catch (...) {
      // Whatever was registered before the failure goes again; the plug-in stays disabled.
      try {
        UnregisterPluginSideEffects(e);
      } catch (...) {
      }
      throw;
    }
    e.IsEnabled = true;
    entry_name = e.Name;
  }
  OnPluginEnabled(entry_name);
  LogInfo("Plugin enabled: %s", entry_name);
  FireManagerEvent(OV_EVENT_PLUGIN_LOADED, entry_name);
  return {};
}

void TOVBasePluginManager::DisablePlugin(const std::string& name) {
  std::vector<std::string> dependents;
  {
    TOVLockGuard g(lock_);
    for (const auto& e : plugins_)
      if (e.IsEnabled && std::any_of(e.Dependencies.begin(), e.Dependencies.end(),
                                     [&](const std::string& d) { return EqualsFoldCase(d, name); }))
        dependents.push_back(e.Name);
  }
  for (const auto& d : dependents) {
    LogInfo("Cascade-disabling dependent plugin: %s (depends on %s)", d, name);
    DisablePlugin(d);
  }
  std::string entry_name;
  {
    TOVLockGuard g(lock_);
    const int i = FindPlugin(name);
    if (i < 0 || !plugins_[static_cast<std::size_t>(i)].IsEnabled) return;
    TOVBaseLoadedPlugin& e = plugins_[static_cast<std::size_t>(i)];
    if (e.Capabilities.Has(pcProtocol)) {
      TOVPluginGuard guard(e.Runtime);
      IOVPlugin* p = e.Plugin();
      guard.Call([&] {
        IOVProtocolPlugin* proto = OV_PCALL(p, GetProtocolPlugin);
        if (proto && OV_PCALL(proto, IsRunning)) OV_PCALL(proto, Stop);
      });
    }
    UnregisterPluginSideEffects(e);
    e.IsEnabled = false;
    entry_name = e.Name;
  }
  OnPluginDisabled(entry_name);
  LogInfo("Plugin disabled: %s", entry_name);
  FireManagerEvent(OV_EVENT_PLUGIN_UNLOADED, entry_name);
}

void TOVBasePluginManager::RestartPlugin(const std::string& name) {
  {
    TOVLockGuard g(lock_);
    const int i = FindPlugin(name);
    if (i < 0) {
      LogWarning("RestartPlugin: plugin not found: %s", name);
      return;
    }
    if (!plugins_[static_cast<std::size_t>(i)].IsInitialized) {
      LogWarning("RestartPlugin: plugin not initialized: %s", name);
      return;
    }
  }
  DisablePlugin(name);
  EnablePlugin(name);
  LogInfo("Plugin restarted: %s", name);
}

// ---- queries ---------------------------------------------------------------------------------------

int TOVBasePluginManager::GetPluginCount() const {
  TOVLockGuard g(lock_);
  return static_cast<int>(plugins_.size());
}

bool TOVBasePluginManager::IsPluginLoaded(const std::string& name) const {
  TOVLockGuard g(lock_);
  return FindPlugin(name) >= 0;
}

std::string TOVBasePluginManager::GetPluginLibPath(const std::string& name) const {
  TOVLockGuard g(lock_);
  const int i = FindPlugin(name);
  return i < 0 ? std::string() : plugins_[static_cast<std::size_t>(i)].LibPath;
}

void TOVBasePluginManager::SetPluginVersion(const std::string& name, const std::string& version) {
  TOVLockGuard g(lock_);
  const int i = FindPlugin(name);
  if (i >= 0) plugins_[static_cast<std::size_t>(i)].Version = version;
}

IOVPlugin* TOVBasePluginManager::GetPluginService(const std::string& name) const {
  TOVLockGuard g(lock_);
  const int i = FindPlugin(name);
  return i < 0 ? nullptr : plugins_[static_cast<std::size_t>(i)].Plugin();
}

std::int32_t TOVBasePluginManager::GetPluginActiveCallCount(const std::string& name) const {
  TOVLockGuard g(lock_);
  const int i = FindPlugin(name);
  return i < 0 ? 0 : plugins_[static_cast<std::size_t>(i)].ActiveCallCount();
}

void TOVBasePluginManager::BuildPluginJSON(TOVBaseLoadedPlugin& e, TJSON& obj) {
  obj["name"] = e.Name;
  obj["version"] = e.Version;
  obj["description"] = e.Description;
  obj["author"] = e.Author;
  obj["is_enabled"] = e.IsEnabled;
  obj["is_initialized"] = e.IsInitialized;
  if (!e.Capabilities.Has(pcProtocol)) return;
  // A plug-in whose protocol getters fail is listed without them.
  try {
    TOVPluginGuard g(e.Runtime);
    IOVPlugin* p = e.Plugin();
    TJSON proto = TJSON::object();
    g.Call([&] {
      IOVProtocolPlugin* pp = OV_PCALL(p, GetProtocolPlugin);
      if (!pp) return;
      TOVStrRef pname;
      OV_PCALL(pp, GetProtocolName, pname.out());
      proto["protocol"] = pname.str();
      proto["listen_port"] = OV_PCALL(pp, GetListenPort);
      proto["is_running"] = OV_PCALL(pp, IsRunning) != 0;
      proto["connections"] = OV_PCALL(pp, GetConnectionCount);
    });
    for (auto it = proto.begin(); it != proto.end(); ++it) obj[it.key()] = std::move(it.value());
  } catch (const std::exception& ex) {
    LogWarning("Plugin %s protocol information failed: %s", e.Name, ex.what());
  }
}

TJSON TOVBasePluginManager::GetPluginJSON() {
  TJSON arr = TJSON::array();
  TOVLockGuard g(lock_);
  for (auto& e : plugins_) {
    if (e.IsUninstalled) continue;
    TJSON obj = TJSON::object();
    BuildPluginJSON(e, obj);
    arr.push_back(std::move(obj));
  }
  return arr;
}

std::optional<TOVPluginGuard> TOVBasePluginManager::EnterPlugin(const std::string& name) const {
  TOVLockGuard g(lock_);
  const int i = FindPlugin(name);
  if (i < 0) return std::nullopt;
  const auto& e = plugins_[static_cast<std::size_t>(i)];
  if (!e.IsEnabled || e.Runtime->Unloading()) return std::nullopt;
  return std::optional<TOVPluginGuard>(std::in_place, e.Runtime);
}

// ---- service calls -------------------------------------------------------------------------------

std::unique_ptr<TJSON> TOVBasePluginManager::CallPluginFunction(const std::string& plugin_name,
                                                                const std::string& func_name, const TJSON* args,
                                                                const TOVAuthUser* caller) {
  if (plugin_name == "_system") {
    // A signed-in user reaches the server's administrative functions only as an administrator
    // (UpdateUser would let anyone make themselves one); API keys, plug-ins and the hub keep
    // their access.
    if (caller && !caller->IsAdmin && caller->Source != "apikey" &&
        std::find(std::begin(kAdminSystemFunctions), std::end(kAdminSystemFunctions), func_name) !=
            std::end(kAdminSystemFunctions))
      throw EOVPluginAccessDenied();
    return HandleSystemCall(func_name, args);
  }
  std::optional<TOVPluginGuard> guard;
  IOVServicePlugin* svc = nullptr;
  {
    TOVLockGuard g(lock_);
    const int i = FindPlugin(plugin_name);
    if (i < 0) {
      LogWarning("CallPluginFunction: plugin not found: %s (function: %s)", plugin_name, func_name);
      return nullptr;
    }
    const auto& e = plugins_[static_cast<std::size_t>(i)];
    if (!e.IsEnabled || e.Runtime->Unloading()) {
      LogWarning("CallPluginFunction: plugin not enabled: %s (function: %s)", plugin_name, func_name);
      return nullptr;
    }
    if (!e.Capabilities.Has(pcService)) {
      LogWarning("CallPluginFunction: plugin %s lacks pcService capability (function: %s)", plugin_name, func_name);
      return nullptr;
    }
    guard.emplace(e.Runtime);
    IOVPlugin* p = e.Plugin();
    svc = guard->Call([&] { return OV_PCALL(p, GetServicePlugin); });
    if (!svc) return nullptr;
  }
  TOVPluginCallCount running(guard->Runtime());
  TOVStrRef fn(func_name);
  return AdoptOVJson(guard->Call([&] { return OV_PCALL(svc, CallFunction, fn.get(), BorrowOVJson(args)); }));
}

std::unique_ptr<TJSON> TOVBasePluginManager::HandleSystemCall(const std::string& func, const TJSON* args) {
  auto reply = std::make_unique<TJSON>(TJSON::object());
  TJSON& r = *reply;
  auto i18n = I18N.Get();
  if (func == "Translate") {
    const std::string key = args ? JStr(*args, "key") : std::string();
    if (key.empty()) {
      r["success"] = false;
      r["error"] = "Missing key parameter";
    } else {
      r["success"] = true;
      r["text"] = i18n ? i18n->T(key) : key;
    }
  } else if (func == "GetLangBundle") {
    r["success"] = true;
    r["data"] = i18n ? i18n->GetBundle() : TJSON::object();
  } else if (func == "GetLanguage") {
    r["success"] = true;
    r["language"] = i18n ? i18n->GetCurrentLanguage() : std::string("en");
  } else if (func == "ReloadLanguage") {
    const std::string code = args ? JStr(*args, "code", "en") : std::string("en");
    if (i18n) {
      try {
        i18n->LoadLanguage(code);
      } catch (const std::exception& e) {
        LogWarning("ReloadLanguage %s failed: %s", code, e.what());
      }
    }
    r["success"] = true;
  } else if (func == "GetAvailableLanguages") {
    r["success"] = true;
    r["data"] = i18n ? i18n->GetAvailableLanguages() : TJSON::array();
  } else if (func == "GetDashboardWidgets") {
    r["success"] = true;
    r["widgets"] = GatherDashboardWidgets();
  } else {
    r["success"] = false;
    r["error"] = "Unknown _system function: " + func;
  }
  return reply;
}

TJSON TOVBasePluginManager::GatherDashboardWidgets() {
  struct TCall {
    TOVPluginGuard guard;
    IOVServicePlugin* svc;
  };
  std::vector<TCall> calls;
  {
    TOVLockGuard g(lock_);
    for (const auto& e : plugins_) {
      if (!e.IsEnabled || e.Runtime->Unloading() || !e.Capabilities.Has(pcService)) continue;
      try {
        TOVPluginGuard guard(e.Runtime);
        IOVPlugin* p = e.Plugin();
        if (IOVServicePlugin* svc = guard.Call([&] { return OV_PCALL(p, GetServicePlugin); }))
          calls.push_back({std::move(guard), svc});
      } catch (const std::exception&) {
      }
    }
  }
  TJSON widgets = TJSON::array();
  TOVStrRef fn("GetDashboardWidgets");
  for (auto& c : calls) {
    TOVPluginCallCount running(c.guard.Runtime());
    try {
      auto reply = AdoptOVJson(c.guard.Call([&] { return OV_PCALL(c.svc, CallFunction, fn.get(), nullptr); }));
      if (!reply || !reply->is_object() || !JBool(*reply, "success")) continue;
      auto it = reply->find("widgets");
      if (it == reply->end() || !it->is_array()) continue;
      for (auto& w : *it) widgets.push_back(std::move(w));
    } catch (const std::exception&) {
    }
  }
  return widgets;
}

// ---- scheduled tasks ------------------------------------------------------------------------------

std::string TOVBasePluginManager::RunPluginTask(const std::string& plugin_name, const std::string& task_name) {
  std::optional<TOVPluginGuard> guard;
  IOVScheduledPlugin* sched = nullptr;
  {
    TOVLockGuard g(lock_);
    const int i = FindPlugin(plugin_name);
    if (i < 0) {
      LogWarning("RunPluginTask: plugin not found: %s", plugin_name);
      return "Plugin not found: " + plugin_name;
    }
    const auto& e = plugins_[static_cast<std::size_t>(i)];
    if (!e.IsEnabled || e.Runtime->Unloading()) {
      LogWarning("RunPluginTask: plugin not enabled: %s", plugin_name);
      return "Plugin not enabled: " + plugin_name;
    }
    if (!e.Capabilities.Has(pcScheduled)) {
      LogWarning("RunPluginTask: plugin %s has no pcScheduled capability", plugin_name);
      return "Plugin " + plugin_name + " has no pcScheduled capability";
    }
    guard.emplace(e.Runtime);
    IOVPlugin* p = e.Plugin();
    sched = guard->Call([&] { return OV_PCALL(p, GetScheduledPlugin); });
    if (!sched) return "Plugin " + plugin_name + " has no scheduled tasks";
  }
  TOVPluginCallCount running(guard->Runtime());
  TOVStrRef task(task_name);
  guard->Call([&] { OV_PCALL(sched, RunTask, task.get()); });
  return {};
}

TJSON TOVBasePluginManager::GetAllPluginScheduledTasks() {
  TJSON out = TJSON::array();
  TOVLockGuard g(lock_);
  for (const auto& e : plugins_) {
    if (!e.IsEnabled || e.Runtime->Unloading() || !e.Capabilities.Has(pcScheduled)) continue;
    TOVPluginGuard guard(e.Runtime);
    IOVPlugin* p = e.Plugin();
    std::unique_ptr<TJSON> tasks = guard.Call([&] {
      IOVScheduledPlugin* sched = OV_PCALL(p, GetScheduledPlugin);
      return sched ? AdoptOVJson(OV_PCALL(sched, GetScheduledTasks)) : nullptr;
    });
    // Anything but an array is an empty list; items that are not objects are skipped.
    if (!tasks || !tasks->is_array()) continue;
    for (const auto& item : *tasks) {
      if (!item.is_object()) continue;
      const std::string name = JStr(item, "name");
      TJSON t = TJSON::object();
      t["plugin_name"] = e.Name;
      t["task_name"] = name;
      t["description"] = JStr(item, "description", name);
      t["interval_seconds"] = JInt(item, "interval_seconds", 60);
      out.push_back(std::move(t));
    }
  }
  return out;
}

// ---- unloading and shutdown ---------------------------------------------------------------------

std::string TOVBasePluginManager::BeginUnload(const std::string& name) {
  std::shared_ptr<TOVPluginRuntime> rt;
  {
    TOVLockGuard g(lock_);
    const int i = FindPlugin(name);
    if (i < 0) return {};
    rt = plugins_[static_cast<std::size_t>(i)].Runtime;
    rt->unloading_.store(true);
  }
  if (rt->WaitIdle(UnloadWait())) return {};
  {
    TOVLockGuard g(lock_);
    rt->unloading_.store(false);
  }
  std::string reason = Format("Plugin %s is busy: %d call(s) still running after %d ms", name, rt->guards_.load(),
                              static_cast<std::int64_t>(UnloadWait().count()));
  LogWarning(reason);
  return reason;
}

void TOVBasePluginManager::ReleasePlugin(const std::string& name) {
  TOVBaseLoadedPlugin e;
  {
    TOVLockGuard g(lock_);
    const int i = FindPlugin(name);
    if (i < 0) return;
    e = std::move(plugins_[static_cast<std::size_t>(i)]);
    plugins_.erase(plugins_.begin() + i);
  }
  TOVPluginRuntime& rt = *e.Runtime;
  ReleaseRuntime(e, rt, true, [&](const char* step, const std::string& msg) {
    LogError("Plugin %s error: %s - %s", step, e.Name, msg);
  });
  rt.plugin_ = nullptr;
  rt.host_.reset();
  LogDebug("UnloadPlugin: library of %s stays loaded", e.Name);
}

void TOVBasePluginManager::ShutdownAll() {
  std::vector<std::shared_ptr<TOVPluginRuntime>> runtimes;
  bool stopped = false;
  {
    TOVLockGuard g(lock_);
    for (auto it = plugins_.rbegin(); it != plugins_.rend(); ++it) {
      it->Runtime->unloading_.store(true);
      runtimes.push_back(it->Runtime);
      if (!it->IsEnabled) continue;
      if (it->Capabilities.Has(pcProtocol)) {
        try {
          TOVPluginGuard guard(it->Runtime);
          IOVPlugin* p = it->Plugin();
          guard.Call([&] {
            IOVProtocolPlugin* proto = OV_PCALL(p, GetProtocolPlugin);
            if (proto && OV_PCALL(proto, IsRunning)) {
              OV_PCALL(proto, Stop);
              stopped = true;
            }
          });
        } catch (const std::exception& e) {
          LogError("Plugin stop error: %s - %s", it->Name, e.what());
        }
      }
      it->IsEnabled = false;
    }
  }
  if (runtimes.empty()) return;
  if (stopped) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  // Calls still in flight (threads of other services) are waited for, bounded; a plug-in that
  // stays busy is left as it is rather than destroyed under running code.
  const auto deadline = std::chrono::steady_clock::now() + UnloadWait();
  std::vector<const TOVPluginRuntime*> busy;
  for (const auto& rt : runtimes) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (!rt->WaitIdle(std::max(left, std::chrono::milliseconds(0)))) busy.push_back(rt.get());
  }
  TOVLockGuard g(lock_);
  for (auto it = plugins_.rbegin(); it != plugins_.rend(); ++it) {
    TOVPluginRuntime& rt = *it->Runtime;
    auto report = [&](const char*, const std::string& msg) { LogError("Plugin shutdown error: %s - %s", it->Name, msg); };
    if (std::find(busy.begin(), busy.end(), &rt) != busy.end()) {
      report("", "calls still running; left loaded");
      continue;
    }
    ReleaseRuntime(*it, rt, false, report);
    it->IsInitialized = false;
    rt.plugin_ = nullptr;
    rt.host_.reset();
  }
  plugins_.clear();
}

}  // namespace ov
