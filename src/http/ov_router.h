// The process-wide HTTP route registry.
//
// Matching: the path (without query) and the pattern are split at "/" with a single trailing
// "/" ignored on either side; they match when the segment counts agree, every ":name" pattern
// segment takes any one path segment, and every other segment equals its path segment
// ignoring ASCII case, except the segment a route names as its owner's name (a plug-in's name
// in its routes), which compares under Unicode case folding as plug-in names do everywhere.
// Keywords stay ASCII: "/api/v1/ſtatus" (long s folds to "s") is not the status route.  Routes
// are tried in registration order; the first whose pattern and method both match wins.  A
// pattern match with another method only is remembered so the caller can tell "method not
// allowed" from "not found".
//
// Registration and removal may run while other threads match; handlers run outside the
// registry's lock, so a handler may register or remove routes itself.  The lock is a registry
// in the global order: it may be taken under the plug-in manager, never the reverse.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ov_http_types.h"
#include "ov_locks.h"

namespace ov {

using TOVRouteHandler = std::function<void(TOVHttpRequest&, TOVHttpResponse&)>;

enum class TOVRouteMatch : std::uint8_t { Found = 0, NotFound = 1, MethodNotAllowed = 2 };

// The method of a route that answers every method.
inline constexpr std::string_view kAnyMethod = "*";

// Raised by RouteRequest when no route takes the request; Status() is 404 or 405.
class ERouteNotFound : public std::runtime_error {
 public:
  ERouteNotFound(int status, const std::string& msg) : std::runtime_error(msg), status_(status) {}
  int Status() const noexcept { return status_; }

 private:
  int status_;
};

class TOVRouter {
 public:
  struct MatchResult {
    TOVRouteMatch status = TOVRouteMatch::NotFound;
    TOVRouteHandler handler;                                  // set when Found
    std::vector<std::pair<std::string, std::string>> params;  // ":name" segments, in order
  };

  TOVRouter() = default;
  TOVRouter(const TOVRouter&) = delete;
  TOVRouter& operator=(const TOVRouter&) = delete;

  // Appends a route; method kAnyMethod takes every method.  owner names who registered it (a plug-in name; empty for the server's
  // own routes) so the owner's routes can be removed together.  owner_segment: the index of the
  // pattern segment that is the owner's name, compared under Unicode case folding (none: every
  // segment ignores ASCII case only).
  void RegisterRoute(std::string_view method, std::string_view pattern, TOVRouteHandler handler,
                     std::string_view owner = {}, std::optional<std::size_t> owner_segment = std::nullopt)
      EXCLUDES(lock_);
  // Removes the owner's routes; with a pattern (and method) only those.  Returns the number
  // removed.  Patterns compare as matching does: ignoring case and a trailing "/".
  std::size_t UnregisterRoutes(std::string_view owner, std::string_view pattern = {},
                               std::string_view method = {}) EXCLUDES(lock_);

  // path: the request path without its query.
  MatchResult Match(std::string_view method, std::string_view path) const EXCLUDES(lock_);
  // Runs the matching handler on req.path; throws ERouteNotFound when none takes it.
  void RouteRequest(TOVHttpRequest& req, TOVHttpResponse& resp) const EXCLUDES(lock_);

  std::size_t Count() const EXCLUDES(lock_);
  void Clear() EXCLUDES(lock_);

 private:
  struct Route {
    std::string method;
    std::string pattern;
    std::vector<std::string> segments;
    std::string owner;
    std::optional<std::size_t> owner_segment;
    TOVRouteHandler handler;

    // Whether the segments are this route's: as many, each equal to the route's (the owner's
    // name under Unicode case folding, the others ignoring ASCII case) or, when params_match,
    // taken by a ":name" segment.  Allocates nothing.
    bool Matches(const std::vector<std::string_view>& segs, bool params_match) const noexcept;
  };
  // ---- Guarded by lock_ (a registry; matching takes it shared, handlers run without it) ----
  mutable TOVSharedLock lock_{LockLevel::Registry};
  std::vector<std::shared_ptr<const Route>> routes_ GUARDED_BY(lock_);
};

// The process's one router: REST routes and plug-in routes.
TOVRouter& HttpRouter();

// Whether one path could match both patterns: as many segments, each pair equal under Unicode
// case folding (the widest way a segment of a route compares) or either of them a ":name"
// segment.
bool RoutePatternsOverlap(std::string_view a, std::string_view b);

// Splits a path for matching: a single trailing "/" dropped (except for "/" itself), then
// split at every "/" with empty pieces kept; the leading empty piece is dropped.
std::vector<std::string_view> SplitRoutePath(std::string_view path);

}  // namespace ov
