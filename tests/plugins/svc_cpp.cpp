// A C++ plug-in ("SvcCpp") that uses the host's services: routes that throw, events it fires and
// receives, calls into other plug-ins and "_system", sessions, users, the hub, the blacklist and
// database batches.  svc_cpp2.cpp is a second build of it whose "Code" answers 2.
//
// Routes under /api/v1/plugins/SvcCpp:
//   GET and POST /echo  the request object it was given
//   GET /throw-std      throws std::runtime_error("route failed")
//   GET /throw-other    throws an int
// Events: "svc.inside" is counted (see Counts).
// Service functions (args in braces, answers after the arrow):
//   Code                         -> {"code": 1 or 2}
//   Echo                         -> the arguments
//   Sleep {ms}                   logs "sleeping <ms>", sleeps -> {"slept": ms}
//   Fire {type, data}            EventFire
//   Call {plugin, function, args} PluginCall -> {"result": the answer or null}
//   Sessions {node}              -> {"all", "count", "allocated", "on_node"}, then releases the
//                                   node and sets its user (no session: nothing happens)
//   CreateUser {username, password} -> {"id"}
//   GetUser {id}                 -> {"user": UserGet or null}
//   Auth {username, password}    -> {"user": UserAuthenticate or null}
//   Banned {ip}                  -> {"banned"}
//   Push {protocol, command}     WSPushCommand;  Clients {protocol} -> {"clients"}
//   Batch {name, rollback, release} in one batch: a row of p_svccpp_items, "svc.inside" fired,
//                                the session count read, the session on node <release> ended
//                                (when given); then rolled back (rollback 1) or committed
//                                -> {"sessions"}
//   BatchOpen {name}             begins a batch, inserts a row and returns with the batch open
//   Throw                        throws std::runtime_error("service failed")
//   ServerName                   -> {"name"}
//   Counts                       -> {"rows": rows of p_svccpp_items, "inside": events received}
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

#include "orvanta/plugin_abi.h"

#ifndef SVC_CODE
#define SVC_CODE 1
#endif

namespace {

template <class I>
struct Face {
  I intf;
  struct Svc* self;
};

struct Svc {
  Face<IOVPlugin> plugin;
  Face<IOVRoutePlugin> routes;
  Face<IOVEventPlugin> events;
  Face<IOVServicePlugin> service;
  Face<IOVDatabasePlugin> database;
  IOVPluginHost* host = nullptr;
  std::atomic<int> inside{0};
};

template <class I>
Svc& Self(I* intf) {
  return *reinterpret_cast<Face<I>*>(intf)->self;
}

// Owns one string passed to the host.
struct Str {
  explicit Str(const std::string& s) : s_(ovstr_new(s.c_str())) {}
  explicit Str(const char* s) : s_(ovstr_new(s)) {}
  ~Str() { ovstr_release(s_); }
  Str(const Str&) = delete;
  Str& operator=(const Str&) = delete;
  operator OVStr() const { return s_; }

 private:
  OVStr s_;
};

void SetText(OVStr* r, const char* text) {
  OVStr old = *r;
  *r = ovstr_new(text);
  ovstr_release(old);
}

OVJson* Copy(const OVJson* v) {
  if (!v) return nullptr;
  OVStr text = ovj_write(v);
  OVJson* c = ovj_parse(text);
  ovstr_release(text);
  return c;
}

std::string Arg(const OVJson* args, const char* name) {
  const char* v = ovj_get_str(args, name);
  return v ? v : "";
}

// ---- IOVPlugin ----

void GetName(IOVPlugin*, OVStr* r) { SetText(r, "SvcCpp"); }
void GetVersion(IOVPlugin*, OVStr* r) { SetText(r, SVC_CODE == 1 ? "1.0.0" : "2.0.0"); }
void GetDescription(IOVPlugin*, OVStr* r) { SetText(r, "C++ host services"); }
void GetAuthor(IOVPlugin*, OVStr* r) { SetText(r, "Orvanta tests"); }
void GetDependencies(IOVPlugin*, OVStr**) {}
uint32_t GetPermissions(IOVPlugin*) {
  return OV_BIT(OV_PERM_DATABASE_READ) | OV_BIT(OV_PERM_DATABASE_WRITE) | OV_BIT(OV_PERM_DATABASE_CREATE_TABLES) |
         OV_BIT(OV_PERM_EVENTS_SUBSCRIBE) | OV_BIT(OV_PERM_EVENTS_FIRE) | OV_BIT(OV_PERM_ROUTES_REGISTER) |
         OV_BIT(OV_PERM_USERS_READ) | OV_BIT(OV_PERM_USERS_WRITE) | OV_BIT(OV_PERM_SESSIONS_READ) |
         OV_BIT(OV_PERM_SESSIONS_WRITE) | OV_BIT(OV_PERM_PLUGIN_CALL);
}
uint32_t GetCapabilities(IOVPlugin*) {
  return OV_BIT(OV_CAP_ROUTES) | OV_BIT(OV_CAP_EVENTS) | OV_BIT(OV_CAP_SERVICE) | OV_BIT(OV_CAP_DATABASE);
}
int32_t GetTarget(IOVPlugin*) { return OV_TARGET_SERVER; }
IOVRoutePlugin* GetRoutes(IOVPlugin* p) { return &Self(p).routes.intf; }
IOVEventPlugin* GetEvents(IOVPlugin* p) { return &Self(p).events.intf; }
IOVServicePlugin* GetService(IOVPlugin* p) { return &Self(p).service.intf; }
IOVDatabasePlugin* GetDatabase(IOVPlugin* p) { return &Self(p).database.intf; }
OVBool Initialize(IOVPlugin* p, IOVPluginHost* host) {
  Self(p).host = host;
  return 1;
}
void Finalize(IOVPlugin*) {}

const IOVPluginVtbl kPluginVtbl = {GetName,     GetVersion,  GetDescription, GetAuthor,   GetDependencies,
                                   GetPermissions, GetCapabilities, GetTarget, nullptr,  GetRoutes,
                                   nullptr,     GetDatabase, GetEvents,      GetService,  nullptr,
                                   nullptr,     Initialize,  Finalize};

// ---- routes ----

void EchoRoute(void*, OVStr, OVStr, OVJson* body, int32_t* code, OVJson** out) {
  *code = 200;
  *out = Copy(body);
}
void ThrowStdRoute(void*, OVStr, OVStr, OVJson*, int32_t*, OVJson**) { throw std::runtime_error("route failed"); }
void ThrowOtherRoute(void*, OVStr, OVStr, OVJson*, int32_t*, OVJson**) { throw 7; }

void RegisterRoutes(IOVRoutePlugin* r) {
  Svc& s = Self(r);
  auto reg = [&](const char* method, const char* path, OVRouteHandlerCode code) {
    Str m(method), p(path);
    s.host->vtbl->RouteRegister(s.host, m, p, code, &s);
  };
  reg("GET", "/echo", EchoRoute);
  reg("POST", "/echo", EchoRoute);
  reg("GET", "/throw-std", ThrowStdRoute);
  reg("GET", "/throw-other", ThrowOtherRoute);
}
void UnregisterRoutes(IOVRoutePlugin*) {}
const IOVRoutePluginVtbl kRoutesVtbl = {RegisterRoutes, UnregisterRoutes};

// ---- events ----

void OnInside(void* data, OVStr, OVJson*) { ++static_cast<Svc*>(data)->inside; }

void SubscribeEvents(IOVEventPlugin* e) {
  Svc& s = Self(e);
  Str type("svc.inside");
  s.host->vtbl->EventSubscribe(s.host, type, OnInside, &s);
}
void UnsubscribeEvents(IOVEventPlugin*) {}
const IOVEventPluginVtbl kEventsVtbl = {SubscribeEvents, UnsubscribeEvents};

// ---- database ----

int32_t SchemaVersion(IOVDatabasePlugin*) { return 1; }
void CreateSchema(IOVDatabasePlugin* d) {
  Svc& s = Self(d);
  Str sql("CREATE TABLE p_svccpp_items (id INTEGER PRIMARY KEY, name TEXT)");
  s.host->vtbl->DBCreateTable(s.host, sql);
}
void MigrateSchema(IOVDatabasePlugin*, int32_t) {}
const IOVDatabasePluginVtbl kDatabaseVtbl = {SchemaVersion, CreateSchema, MigrateSchema};

// ---- service ----

void InsertItem(IOVPluginHost* h, const std::string& name) {
  Str sql("INSERT INTO p_svccpp_items (name) VALUES (?)");
  OVJson* params = ovj_new_array();
  OVJson* v = ovj_parse(("\"" + name + "\"").c_str());
  ovj_push(params, v);
  try {
    h->vtbl->DBExecParams(h, sql, params);
  } catch (...) {
    ovj_free(params);
    throw;
  }
  ovj_free(params);
}

int64_t CountItems(IOVPluginHost* h) {
  Str sql("SELECT COUNT(*) AS n FROM p_svccpp_items");
  OVJson* rows = h->vtbl->DBQuery(h, sql);
  const int64_t n = ovj_get_int(ovj_at(rows, 0), "n", -1);
  ovj_free(rows);
  return n;
}

OVJson* Sessions(IOVPluginHost* h, const OVJson* args) {
  const int32_t node = static_cast<int32_t>(ovj_get_int(args, "node", 1));
  OVJson* r = ovj_new_object();
  ovj_set(r, "all", h->vtbl->SessionGetAll(h));
  ovj_set_int(r, "count", h->vtbl->SessionGetCount(h));
  Str proto("telnet"), user("nobody");
  ovj_set_int(r, "allocated", h->vtbl->SessionAllocateNode(h, proto));
  OVJson* on = h->vtbl->SessionGetByNode(h, node);
  ovj_set(r, "on_node", on ? on : ovj_parse("null"));
  h->vtbl->SessionReleaseNode(h, node);
  h->vtbl->SessionSetNodeUser(h, node, user, 0);
  return r;
}

// The answer to fn: r filled in, or another value (r is then freed by the caller), or nullptr.
OVJson* Answer(Svc& s, const std::string& fn, OVJson* args, OVJson* r) {
  IOVPluginHost* h = s.host;
  if (fn == "Code") {
    ovj_set_int(r, "code", SVC_CODE);
  } else if (fn == "Echo") {
    return args ? Copy(args) : ovj_new_object();
  } else if (fn == "Sleep") {
    const int64_t ms = ovj_get_int(args, "ms", 0);
    Str line("sleeping " + std::to_string(ms));
    h->vtbl->LogInfo(h, line);
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    ovj_set_int(r, "slept", ms);
  } else if (fn == "Fire") {
    Str type(Arg(args, "type"));
    h->vtbl->EventFire(h, type, ovj_get(args, "data"));
  } else if (fn == "Call") {
    Str plugin(Arg(args, "plugin")), function(Arg(args, "function"));
    OVJson* result = h->vtbl->PluginCall(h, plugin, function, ovj_get(args, "args"));
    ovj_set(r, "result", result ? result : ovj_parse("null"));
  } else if (fn == "Sessions") {
    return Sessions(h, args);
  } else if (fn == "CreateUser") {
    Str user(Arg(args, "username")), password(Arg(args, "password")), real("Real Name"), email("x@example.org");
    ovj_set_int(r, "id", h->vtbl->UserCreate(h, user, password, real, email));
  } else if (fn == "GetUser") {
    OVJson* u = h->vtbl->UserGet(h, static_cast<int32_t>(ovj_get_int(args, "id", 0)));
    ovj_set(r, "user", u ? u : ovj_parse("null"));
  } else if (fn == "Auth") {
    Str user(Arg(args, "username")), password(Arg(args, "password"));
    OVJson* u = h->vtbl->UserAuthenticate(h, user, password);
    ovj_set(r, "user", u ? u : ovj_parse("null"));
  } else if (fn == "Banned") {
    Str ip(Arg(args, "ip"));
    ovj_set_bool(r, "banned", h->vtbl->SecurityIsBanned(h, ip));
  } else if (fn == "Push") {
    Str protocol(Arg(args, "protocol"));
    h->vtbl->WSPushCommand(h, protocol, ovj_get(args, "command"));
  } else if (fn == "Clients") {
    Str protocol(Arg(args, "protocol"));
    ovj_set(r, "clients", h->vtbl->WSGetClientsByProtocol(h, protocol));
  } else if (fn == "Batch" || fn == "BatchOpen") {
    h->vtbl->BeginBatch(h);
    InsertItem(h, Arg(args, "name"));
    if (fn == "BatchOpen") return r;  // the server has to end it
    Str inside("svc.inside");
    h->vtbl->EventFire(h, inside, nullptr);
    ovj_set_int(r, "sessions", h->vtbl->SessionGetCount(h));
    if (const int64_t node = ovj_get_int(args, "release", 0)) h->vtbl->SessionReleaseNode(h, static_cast<int32_t>(node));
    if (ovj_get_int(args, "rollback", 0))
      h->vtbl->RollbackBatch(h);
    else
      h->vtbl->CommitBatch(h);
  } else if (fn == "Throw") {
    throw std::runtime_error("service failed");
  } else if (fn == "ServerName") {
    OVStr n = nullptr;
    h->vtbl->GetServerName(h, &n);
    ovj_set_str(r, "name", n);
    ovstr_release(n);
  } else if (fn == "Counts") {
    ovj_set_int(r, "rows", CountItems(h));
    ovj_set_int(r, "inside", s.inside.load());
  } else {
    return nullptr;
  }
  return r;
}

OVJson* CallFunction(IOVServicePlugin* svc, OVStr name, OVJson* args) {
  OVJson* r = ovj_new_object();
  OVJson* out;
  try {
    out = Answer(Self(svc), name ? name : "", args, r);
  } catch (...) {
    ovj_free(r);  // an error passed through (the host's or its own): no answer
    throw;
  }
  if (out != r) ovj_free(r);
  return out;
}

const IOVServicePluginVtbl kServiceVtbl = {nullptr, CallFunction};

}  // namespace

int32_t OVPluginAPIVersion(void) { return OV_PLUGIN_API_VERSION; }

IOVPlugin* OVPluginCreate(IOVPluginHost*) {
  auto* s = new Svc;
  s->plugin = {{&kPluginVtbl}, s};
  s->routes = {{&kRoutesVtbl}, s};
  s->events = {{&kEventsVtbl}, s};
  s->service = {{&kServiceVtbl}, s};
  s->database = {{&kDatabaseVtbl}, s};
  return &s->plugin.intf;
}

void OVPluginDestroy(IOVPlugin* plugin) { delete &Self(plugin); }
