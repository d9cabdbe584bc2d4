// HTTP routes of plug-ins under /api/v1/plugins/<name>/ (global PluginRoutes), bridged into the
// router the HTTP server uses.  A plug-in registers its routes through its host when it is
// enabled; registered at start-up they come before the REST table, so they win on a match.
// Once registered a route stays in the router: disabling the plug-in clears its handler (the
// route answers 503) and enabling it again puts the new handler in place.
//
// A route's handler is one immutable record, swapped whole under the route's own leaf lock:
// request threads copy it without the registry's lock.  A running handler holds its plug-in's runtime guard, so
// unloading the plug-in waits for it.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ov_http_types.h"
#include "ov_locks.h"
#include "ov_service.h"
#include "orvanta/plugin_abi.h"

namespace ov {

class TOVPluginRuntime;
class TOVRouter;

// One registration of a handler: the plug-in's code and data words and the runtime they live
// in.  Never changed once made.
struct TOVPluginRouteHandler {
  OVRouteHandlerCode Code = nullptr;
  void* Data = nullptr;
  std::weak_ptr<TOVPluginRuntime> Runtime;
  bool Bound = false;  // false: a host without a runtime (tests); the handler runs unguarded
};

// What the router keeps for one plug-in route.
class TOVPluginRouteData {
 public:
  explicit TOVPluginRouteData(std::string plugin) : PluginName(std::move(plugin)) {}
  const std::string PluginName;

  // The current handler; null while the plug-in is disabled, unloaded or being reloaded.
  std::shared_ptr<const TOVPluginRouteHandler> Handler() const EXCLUDES(lock_) {
    TOVLockGuard g(lock_);
    return handler_;
  }
  void SetHandler(std::shared_ptr<const TOVPluginRouteHandler> handler) EXCLUDES(lock_) {
    TOVLockGuard g(lock_);
    handler_.swap(handler);
  }  // the previous handler is released here, outside the lock

 private:
  // ---- Guarded by lock_ (a leaf: only the pointer is copied under it) ----
  // Not std::atomic<std::shared_ptr>: libstdc++ 12 leaves a load's internal unlock relaxed, so
  // a load and the next store are not ordered in the memory model (ThreadSanitizer reports it).
  mutable TOVLock lock_{LockLevel::Leaf};
  std::shared_ptr<const TOVPluginRouteHandler> handler_ GUARDED_BY(lock_);
};

// Whether a route (router method, full path) would take requests meant for one of the server's
// own routes.
using TOVServerRouteTest = std::function<bool(const std::string& method, const std::string& full_path)>;

class TOVPluginRouteRegistry {
 public:
  // router: where the routes go (the HTTP server's router in the server).  server_route: the
  // server's own routes, which no plug-in route may shadow (empty: none).
  explicit TOVPluginRouteRegistry(TOVRouter& router, TOVServerRouteTest server_route = {});
  // Clears every handler and takes the routes out of the router.
  ~TOVPluginRouteRegistry();
  TOVPluginRouteRegistry(const TOVPluginRouteRegistry&) = delete;
  TOVPluginRouteRegistry& operator=(const TOVPluginRouteRegistry&) = delete;

  // Full path "/api/v1/plugins/" + plugin + path.  A route of the same plug-in (ignoring case),
  // full path (exactly) and method (ignoring case) gets the new handler ("[plugin:%s] Route
  // updated: %s %s"); otherwise the route is added to the router ("[plugin:%s] Route
  // registered: %s %s").  "" when registered; otherwise why the route was refused, and nothing
  // changed: a path that does not begin with "/" (it would run on into another plug-in's
  // prefix), a route that would take one of the server's own routes (a plug-in named "config"
  // registering "/x" would answer the administrator's GET /api/v1/plugins/config/:name).  Takes
  // the registry's lock; logs after leaving it.
  [[nodiscard]] std::string RegisterRoute(const std::string& plugin, const std::string& method, const std::string& path,
                                          std::shared_ptr<const TOVPluginRouteHandler> handler) EXCLUDES(lock_);
  // Clears the handler of every route of the plug-in (name compared ignoring case).
  void UnregisterPlugin(const std::string& plugin) EXCLUDES(lock_);
  std::size_t Count() const EXCLUDES(lock_);

 private:
  struct Entry {
    std::string PluginName, FullPath, Method;
    std::shared_ptr<TOVPluginRouteData> Data;
  };

  // ---- Constant after construction ----
  TOVRouter& router_;
  const TOVServerRouteTest server_route_;

  // ---- Guarded by lock_ (a registry; the router's lock, another registry, is taken under it) ----
  mutable TOVLock lock_{LockLevel::Registry};
  std::vector<Entry> entries_ GUARDED_BY(lock_);
};

// "GET", "POST", "PUT" and "DELETE" (any letter case) as themselves; anything else answers
// every method (kAnyMethod).
std::string MethodStringToRoute(std::string_view method);

// The router's handler of every plug-in route: 503 "Plugin not available (reloading)" without a
// handler, 401 "Authentication required" without a valid token or API key; the handler gets the
// query parameters (or, for POST and PUT, the JSON body) with the caller's "_auth_user_id",
// "_auth_username" and "_auth_is_admin" (a client's own members of those names are dropped); its
// body is sent as it is with its code, no body answers its code with "No response", anything it
// throws answers 500 "Internal plugin error".
void PluginRouteCallback(const TOVPluginRouteData& data, TOVHttpRequest& req, TOVHttpResponse& resp);

extern TOVService<TOVPluginRouteRegistry> PluginRoutes;

// Start-up and shutdown rows of the service table ("PluginRoutes.Free").
void StartupPluginRoutes(TOVServerRouteTest server_route);
void ShutdownPluginRoutes(const std::function<void(const std::string&)>& step);

}  // namespace ov
