#include "ov_plugin_routes.h"

#include <algorithm>

#include "ov_auth.h"
#include "ov_base_plugin_manager.h"
#include "ov_consts.h"
#include "ov_json_reply.h"
#include "ov_log.h"
#include "ov_plugin_sdk.h"
#include "ov_router.h"
#include "ov_text.h"

namespace ov {

TOVService<TOVPluginRouteRegistry> PluginRoutes{"PluginRoutes"};

namespace {

constexpr const char* kAuthMembers[] = {"_auth_user_id", "_auth_username", "_auth_is_admin"};

// The handler's request object: the query parameters as strings, or for POST and PUT the JSON
// body (an empty object when it is not one), then the caller.  Members a client sent under the
// caller's names are dropped: only the server says who is calling.
TJSON RouteRequestBody(const TOVHttpRequest& req, const TOVAuthUser& user) {
  TJSON body = TJSON::object();
  if (req.method == "POST" || req.method == "PUT") {
    if (auto parsed = TOVJsonReply::ParseRequest(req)) body = std::move(*parsed);
  } else {
    for (auto& [name, value] : req.QueryParams()) body[name] = std::move(value);
  }
  for (const char* name : kAuthMembers) body.erase(name);
  body[kAuthMembers[0]] = user.UserID;
  body[kAuthMembers[1]] = user.Username;
  body[kAuthMembers[2]] = user.IsAdmin;
  return body;
}

void AnswerHandlerError(const TOVPluginRouteData& data, const std::string& why, TOVHttpResponse& resp) {
  LogError("[plugin:%s] Route handler error: %s", data.PluginName, why);
  TOVJsonReply::SendError(resp, 500, "Internal plugin error");
}

}  // namespace

// ---- the router's callback ---------------------------------------------------------------------

void PluginRouteCallback(const TOVPluginRouteData& data, TOVHttpRequest& req, TOVHttpResponse& resp) {
  std::shared_ptr<const TOVPluginRouteHandler> handler = data.Handler();
  // Entered before anything else: a handler whose plug-in is being unloaded is not called.
  std::optional<TOVPluginGuard> guard =
      handler ? TOVPluginGuard::TryEnter(handler->Runtime, handler->Bound) : std::nullopt;
  if (!guard) {
    TOVJsonReply::SendError(resp, 503, "Plugin not available (reloading)");
    return;
  }
  TOVAuthUser user;
  if (!AuthenticateRequest(req, user)) {
    TOVJsonReply::SendError(resp, 401, "Authentication required");
    return;
  }
  TJSON body = RouteRequestBody(req, user);
  std::int32_t code = 200;
  OVJson* out = nullptr;
  std::unique_ptr<TJSON> reply;
  try {
    TOVStrRef method(req.method), path(req.path);
    guard->Call([&] { handler->Code(handler->Data, method.get(), path.get(), BorrowOVJson(&body), &code, &out); });
  } catch (const std::exception& e) {
    reply = AdoptOVJson(out);  // whatever the handler made before it threw
    AnswerHandlerError(data, e.what(), resp);
    return;
  }
  reply = AdoptOVJson(out);
  if (code < 100 || code > 599) {
    AnswerHandlerError(data, Format("invalid response code %d", code), resp);
    return;
  }
  if (reply)
    TOVJsonReply::SendJSON(resp, *reply, code);
  else
    TOVJsonReply::SendError(resp, code, "No response");
}

// ---- the registry --------------------------------------------------------------------------------

std::string MethodStringToRoute(std::string_view method) {
  const std::string m = ToUpperAscii(method);
  if (m == "GET" || m == "POST" || m == "PUT" || m == "DELETE") return m;
  return std::string(kAnyMethod);
}

TOVPluginRouteRegistry::TOVPluginRouteRegistry(TOVRouter& router, TOVServerRouteTest server_route)
    : router_(router), server_route_(std::move(server_route)) {}

TOVPluginRouteRegistry::~TOVPluginRouteRegistry() {
  std::vector<Entry> entries;
  {
    TOVLockGuard g(lock_);
    entries.swap(entries_);
  }
  for (auto& e : entries) {
    e.Data->SetHandler(nullptr);
    router_.UnregisterRoutes(e.PluginName, e.FullPath, MethodStringToRoute(e.Method));
  }
}

std::string TOVPluginRouteRegistry::RegisterRoute(const std::string& plugin, const std::string& method,
                                                  const std::string& path,
                                                  std::shared_ptr<const TOVPluginRouteHandler> handler) {
  if (path.empty() || path.front() != '/') return "the path must begin with \"/\"";
  const std::string full = std::string(kApiPrefix) + "/plugins/" + plugin + path;
  if (server_route_ && server_route_(MethodStringToRoute(method), full))
    return full + " would take a route of the server";
  bool updated = false;
  {
    TOVLockGuard g(lock_);
    auto it = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) {
      return EqualsFoldCase(e.PluginName, plugin) && e.FullPath == full && EqualsIgnoreCase(e.Method, method);
    });
    if (it != entries_.end()) {
      it->Data->SetHandler(std::move(handler));
      updated = true;
    } else {
      auto data = std::make_shared<TOVPluginRouteData>(plugin);
      data->SetHandler(std::move(handler));
      // The name segment, after "/api/v1/plugins/", compares as plug-in names do.
      static const std::size_t name_segment = SplitRoutePath(std::string(kApiPrefix) + "/plugins/").size();
      router_.RegisterRoute(
          MethodStringToRoute(method), full,
          [data](TOVHttpRequest& req, TOVHttpResponse& resp) { PluginRouteCallback(*data, req, resp); }, plugin,
          name_segment);
      entries_.push_back({plugin, full, method, std::move(data)});
    }
  }
  LogInfo("[plugin:%s] Route %s: %s %s", plugin, updated ? "updated" : "registered", method, full);
  return {};
}

void TOVPluginRouteRegistry::UnregisterPlugin(const std::string& plugin) {
  TOVLockGuard g(lock_);
  for (auto& e : entries_)
    if (EqualsFoldCase(e.PluginName, plugin)) e.Data->SetHandler(nullptr);
}

std::size_t TOVPluginRouteRegistry::Count() const {
  TOVLockGuard g(lock_);
  return entries_.size();
}

// ---- start-up and shutdown -------------------------------------------------------------------------

void StartupPluginRoutes(TOVServerRouteTest server_route) {
  PluginRoutes.Publish(std::make_unique<TOVPluginRouteRegistry>(HttpRouter(), std::move(server_route)));
}

void ShutdownPluginRoutes(const std::function<void(const std::string&)>& step) { FreeServiceStep(PluginRoutes, step); }

}  // namespace ov
