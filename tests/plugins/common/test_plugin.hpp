// A configurable C++ test plug-in against orvanta/plugin_abi.h alone.  Each
// tests/plugins/<variant>.cpp includes this file once and defines ovt::kSpec:
//
//   const ovt::Spec ovt::kSpec = {.name = "DepB", .deps = "DepA"};
//
// Service functions (when kSpec.caps has the service capability):
//   Echo         a copy of the arguments ({} without)
//   Code         {"code": kSpec.code}, which tells two builds of one plug-in apart
//   ThrowStd     throws std::runtime_error("service failed")
//   ThrowOther   throws an int
//   Sleep        {"ms": n}: sleeps, logs "slept <n>" and answers {"slept": n}
//   SetTasks     {"tasks": v}: GetScheduledTasks answers v from now on (any JSON; kSpec.tasks
//                at first)
//   CatchDenied  ConfigSet without the permission, catching the host's error: {"caught": text}
//   GetDashboardWidgets  {"success": true, "widgets": [{"plugin": name}]}
// Life-cycle calls are logged through the host ("Initialize called", "Finalize called",
// "OVPluginDestroy called", "CreateSchema", "MigrateSchema from N", "task <name> ran").  The
// scheduled task "fail" throws std::runtime_error("task failed"), "fail_other" an int.  Schema v1 is the table
// <prefix>items (id, name); from v2 on it has a column note.
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include <unistd.h>

#include "orvanta/plugin_abi.h"

namespace ovt {

enum class Throw { None, Std, Other };
// What OVPluginCreate does first: hang for ever, abort the process, print a line to standard
// output and standard error that looks like the probe's answer, or fork a process that sleeps
// for a minute with the creator's descriptors and write its pid to "forked.pid" in the working
// directory (after the last two it goes on as usual).
enum class Misbehave { None, Hang, Abort, Print, Fork };

struct Spec {
  const char* name = "SampleCpp";  // nullptr: reports no name
  const char* version = "1.0.0";
  const char* description = "C++ test plug-in";
  const char* author = "Orvanta tests";
  const char* deps = nullptr;  // comma-separated names
  uint32_t perms = 0;
  uint32_t caps = OV_BIT(OV_CAP_SERVICE);
  int32_t target = OV_TARGET_BOTH;
  int32_t api_version = OV_PLUGIN_API_VERSION;
  bool create_null = false;
  Throw create_throw = Throw::None;
  Misbehave create_misbehave = Misbehave::None;
  Throw getter_throw = Throw::None;  // from GetDependencies
  bool init_result = true;
  Throw init_throw = Throw::None;
  int32_t schema = 0;  // the schema version a database plug-in reports
  int code = 1;
  const char* tasks = "[{\"name\":\"tick\"}]";  // what GetScheduledTasks answers, as JSON text
};

extern const Spec kSpec;

[[noreturn]] inline void Raise(Throw t, const char* what) {
  if (t == Throw::Std) throw std::runtime_error(what);
  throw 42;
}

struct Plugin;
// One interface of the object, with the way back to it.
template <class I>
struct Face {
  I intf;
  Plugin* self;
};
template <class I>
Plugin& Self(I* intf) {
  return *reinterpret_cast<Face<I>*>(intf)->self;
}

struct Plugin {
  Face<IOVPlugin> plugin;
  Face<IOVServicePlugin> service;
  Face<IOVDatabasePlugin> database;
  Face<IOVScheduledPlugin> scheduled;
  IOVPluginHost* loading = nullptr;  // the host OVPluginCreate got
  IOVPluginHost* host = nullptr;     // the host Initialize got
  std::mutex lock;
  std::string tasks = kSpec.tasks;  // GetScheduledTasks, as JSON text

  IOVPluginHost* AnyHost() const { return host ? host : loading; }
  void Log(const std::string& text) const {
    if (IOVPluginHost* h = AnyHost()) {
      OVStr s = ovstr_new(text.c_str());
      h->vtbl->LogInfo(h, s);
      ovstr_release(s);
    }
  }
  void Exec(void (*IOVPluginHostVtbl::*slot)(IOVPluginHost*, OVStr), const std::string& sql) const {
    OVStr s = ovstr_new(sql.c_str());
    try {
      (host->vtbl->*slot)(host, s);
    } catch (...) {
      ovstr_release(s);
      throw;
    }
    ovstr_release(s);
  }
  std::string Prefix() const {
    std::string p = "p_";
    for (const char* c = kSpec.name; c && *c; ++c) p += *c == '-' ? '_' : static_cast<char>(std::tolower(*c));
    return p + "_";
  }
};

inline void SetText(OVStr* r, const char* text) {
  OVStr old = *r;
  *r = ovstr_new(text);
  ovstr_release(old);
}

inline OVJson* Copy(const OVJson* v) {
  OVStr text = ovj_write(v);
  OVJson* c = ovj_parse(text);
  ovstr_release(text);
  return c;
}

// ---- IOVPlugin ----

inline void GetName(IOVPlugin*, OVStr* r) { SetText(r, kSpec.name); }
inline void GetVersion(IOVPlugin*, OVStr* r) { SetText(r, kSpec.version); }
inline void GetDescription(IOVPlugin*, OVStr* r) { SetText(r, kSpec.description); }
inline void GetAuthor(IOVPlugin*, OVStr* r) { SetText(r, kSpec.author); }
inline void GetDependencies(IOVPlugin*, OVStr** r) {
  if (kSpec.getter_throw != Throw::None) Raise(kSpec.getter_throw, "getter failed");
  if (!kSpec.deps) return;
  std::string all = kSpec.deps, names[8];
  int n = 0;
  for (std::size_t start = 0; n < 8 && start <= all.size(); ++n) {
    const std::size_t comma = all.find(',', start);
    names[n] = all.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    if (comma == std::string::npos) {
      ++n;
      break;
    }
    start = comma + 1;
  }
  const char* texts[8];
  for (int i = 0; i < n; ++i) texts[i] = names[i].c_str();
  *r = ovstrarr_new(texts, n);
}
inline uint32_t GetPermissions(IOVPlugin*) { return kSpec.perms; }
inline uint32_t GetCapabilities(IOVPlugin*) { return kSpec.caps; }
inline int32_t GetTarget(IOVPlugin*) { return kSpec.target; }
inline IOVServicePlugin* GetService(IOVPlugin* p) { return &Self(p).service.intf; }
inline IOVDatabasePlugin* GetDatabase(IOVPlugin* p) { return &Self(p).database.intf; }
inline IOVScheduledPlugin* GetScheduled(IOVPlugin* p) { return &Self(p).scheduled.intf; }
inline OVBool Initialize(IOVPlugin* p, IOVPluginHost* host) {
  Self(p).host = host;
  Self(p).Log("Initialize called");
  if (kSpec.init_throw != Throw::None) Raise(kSpec.init_throw, "initialize failed");
  return kSpec.init_result;
}
inline void Finalize(IOVPlugin* p) { Self(p).Log("Finalize called"); }

inline const IOVPluginVtbl kPluginVtbl = {
    GetName,     GetVersion, GetDescription, GetAuthor,    GetDependencies, GetPermissions,
    GetCapabilities, GetTarget, nullptr,     nullptr,      nullptr,         GetDatabase,
    nullptr,     GetService, nullptr,        GetScheduled, Initialize,      Finalize};

// ---- IOVServicePlugin ----

inline OVJson* CallFunction(IOVServicePlugin* s, OVStr name, OVJson* args) {
  Plugin& self = Self(s);
  const std::string fn = name ? name : "";
  if (fn == "Echo") return args ? Copy(args) : ovj_new_object();
  OVJson* r = ovj_new_object();
  if (fn == "Code") {
    ovj_set_int(r, "code", kSpec.code);
  } else if (fn == "ThrowStd" || fn == "ThrowOther") {
    ovj_free(r);
    Raise(fn == "ThrowStd" ? Throw::Std : Throw::Other, "service failed");
  } else if (fn == "Sleep") {
    const int64_t ms = ovj_get_int(args, "ms", 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    self.Log("slept " + std::to_string(ms));
    ovj_set_int(r, "slept", ms);
  } else if (fn == "SetTasks") {
    OVStr text = ovj_write(ovj_get(args, "tasks"));
    std::lock_guard<std::mutex> g(self.lock);
    self.tasks = text ? text : "";
    ovstr_release(text);
  } else if (fn == "CatchDenied") {
    OVStr key = ovstr_new("k");
    try {
      self.host->vtbl->ConfigSet(self.host, key, key);
      ovj_set_str(r, "caught", "");
    } catch (const std::exception& e) {
      ovj_set_str(r, "caught", e.what());
    }
    ovstr_release(key);
  } else if (fn == "GetDashboardWidgets") {
    OVJson* widgets = ovj_new_array();
    OVJson* w = ovj_new_object();
    ovj_set_str(w, "plugin", kSpec.name);
    ovj_push(widgets, w);
    ovj_set_bool(r, "success", 1);
    ovj_set(r, "widgets", widgets);
  } else {
    ovj_free(r);
    return nullptr;
  }
  return r;
}

inline const IOVServicePluginVtbl kServiceVtbl = {nullptr, CallFunction};

// ---- IOVDatabasePlugin ----

inline int32_t GetSchemaVersion(IOVDatabasePlugin*) { return kSpec.schema; }
inline void CreateSchema(IOVDatabasePlugin* d) {
  Plugin& self = Self(d);
  self.Log("CreateSchema");
  self.Exec(&IOVPluginHostVtbl::DBCreateTable, "CREATE TABLE " + self.Prefix() + "items (id INTEGER PRIMARY KEY, name TEXT)");
}
inline void MigrateSchema(IOVDatabasePlugin* d, int32_t from) {
  Plugin& self = Self(d);
  self.Log("MigrateSchema from " + std::to_string(from));
  if (from >= 2) return;
  OVDBAColumnSpec note = ovdba_make_column("note", OVDBA_TEXT, 0, 1, nullptr, 0, 0, 0);
  OVStr table = ovstr_new((self.Prefix() + "items").c_str());
  try {
    self.host->vtbl->DeclareColumn(self.host, table, &note);
  } catch (...) {
    ovstr_release(table);
    ovdba_column_release(&note);
    throw;
  }
  ovstr_release(table);
  ovdba_column_release(&note);
}

inline const IOVDatabasePluginVtbl kDatabaseVtbl = {GetSchemaVersion, CreateSchema, MigrateSchema};

// ---- IOVScheduledPlugin ----

inline OVJson* GetScheduledTasks(IOVScheduledPlugin* s) {
  Plugin& self = Self(s);
  std::lock_guard<std::mutex> g(self.lock);
  return ovj_parse(self.tasks.c_str());
}
inline void RunTask(IOVScheduledPlugin* s, OVStr name) {
  const std::string task = name ? name : "";
  if (task == "fail") Raise(Throw::Std, "task failed");
  if (task == "fail_other") Raise(Throw::Other, "task failed");
  Self(s).Log("task " + task + " ran");
}

inline const IOVScheduledPluginVtbl kScheduledVtbl = {GetScheduledTasks, RunTask};

}  // namespace ovt

// ---- exports ----

int32_t OVPluginAPIVersion(void) { return ovt::kSpec.api_version; }

IOVPlugin* OVPluginCreate(IOVPluginHost* host) {
  switch (ovt::kSpec.create_misbehave) {
    case ovt::Misbehave::Hang:
      for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
    case ovt::Misbehave::Abort: std::abort();
    case ovt::Misbehave::Print:
      std::fputs("{\"name_hex\":\"4f74686572\",\"target\":2}\n", stdout);
      std::fputs("{\"name_hex\":\"4f74686572\",\"target\":2}\n", stderr);
      std::fflush(stdout);
      break;
    case ovt::Misbehave::Fork:
      if (const pid_t child = fork(); child == 0) {
        // Lives until killed, or ends by itself a minute on (SIGALRM) should nothing kill it.
        alarm(60);
        for (;;) pause();
      } else if (FILE* f = std::fopen("forked.pid", "w")) {
        std::fprintf(f, "%d\n", static_cast<int>(child));
        std::fclose(f);
      }
      break;
    case ovt::Misbehave::None: break;
  }
  if (ovt::kSpec.create_throw != ovt::Throw::None) ovt::Raise(ovt::kSpec.create_throw, "create failed");
  if (ovt::kSpec.create_null) return nullptr;
  auto* p = new ovt::Plugin;
  p->plugin = {{&ovt::kPluginVtbl}, p};
  p->service = {{&ovt::kServiceVtbl}, p};
  p->database = {{&ovt::kDatabaseVtbl}, p};
  p->scheduled = {{&ovt::kScheduledVtbl}, p};
  p->loading = host;
  return &p->plugin.intf;
}

void OVPluginDestroy(IOVPlugin* plugin) {
  ovt::Plugin* p = &ovt::Self(plugin);
  p->Log("OVPluginDestroy called");
  delete p;
}
