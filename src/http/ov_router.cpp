#include "ov_router.h"

namespace ov {

std::vector<std::string_view> SplitRoutePath(std::string_view path) {
  std::vector<std::string_view> out;
  if (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  if (!path.empty() && path.front() == '/') path.remove_prefix(1);
  // "/" (and "") is the root: no segments.
  if (path.empty()) return out;
  for (;;) {
    std::size_t slash = path.find('/');
    out.push_back(path.substr(0, slash));
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
  return out;
}

namespace {

bool IsParam(std::string_view segment) noexcept { return !segment.empty() && segment[0] == ':'; }

}  // namespace

bool TOVRouter::Route::Matches(const std::vector<std::string_view>& segs, bool params_match) const noexcept {
  if (segments.size() != segs.size()) return false;
  for (std::size_t i = 0; i < segs.size(); ++i) {
    if (params_match && IsParam(segments[i])) continue;
    if (!(i == owner_segment ? EqualsFoldCase(segments[i], segs[i]) : EqualsIgnoreCase(segments[i], segs[i])))
      return false;
  }
  return true;
}

bool RoutePatternsOverlap(std::string_view a, std::string_view b) {
  const std::vector<std::string_view> x = SplitRoutePath(a), y = SplitRoutePath(b);
  if (x.size() != y.size()) return false;
  for (std::size_t i = 0; i < x.size(); ++i)
    if (!IsParam(x[i]) && !IsParam(y[i]) && !EqualsFoldCase(x[i], y[i])) return false;
  return true;
}

void TOVRouter::RegisterRoute(std::string_view method, std::string_view pattern, TOVRouteHandler handler,
                              std::string_view owner, std::optional<std::size_t> owner_segment) {
  if (!handler) throw std::invalid_argument("RegisterRoute: empty handler for " + std::string(pattern));
  auto r = std::make_shared<Route>();
  r->method = std::string(method);
  r->pattern = std::string(pattern);
  for (auto s : SplitRoutePath(pattern)) r->segments.emplace_back(s);
  r->owner = std::string(owner);
  r->owner_segment = owner_segment;
  r->handler = std::move(handler);
  TOVLockGuard g(lock_);
  routes_.push_back(std::move(r));
}

std::size_t TOVRouter::UnregisterRoutes(std::string_view owner, std::string_view pattern,
                                        std::string_view method) {
  std::vector<std::string_view> want = SplitRoutePath(pattern);
  std::vector<std::shared_ptr<const Route>> removed;  // destroyed after the lock is left
  TOVUniqueLock g(lock_);
  std::size_t before = routes_.size();
  auto keep = routes_.begin();
  for (auto it = routes_.begin(); it != routes_.end(); ++it) {
    const Route& r = **it;
    bool drop = r.owner == owner && (pattern.empty() || r.Matches(want, false)) && (method.empty() || r.method == method);
    if (drop)
      removed.push_back(std::move(*it));
    else
      *keep++ = std::move(*it);
  }
  routes_.erase(keep, routes_.end());
  std::size_t n = before - routes_.size();
  g.unlock();
  return n;
}

TOVRouter::MatchResult TOVRouter::Match(std::string_view method, std::string_view path) const {
  MatchResult result;
  std::vector<std::string_view> segs = SplitRoutePath(path);
  std::shared_ptr<const Route> found;
  {
    TOVSharedGuard g(lock_);
    for (const auto& rp : routes_) {
      const Route& r = *rp;
      if (!r.Matches(segs, true)) continue;
      if (r.method != method && r.method != kAnyMethod) {
        result.status = TOVRouteMatch::MethodNotAllowed;
        continue;
      }
      found = rp;
      break;
    }
  }
  if (!found) return result;
  result.status = TOVRouteMatch::Found;
  result.handler = found->handler;
  for (std::size_t i = 0; i < segs.size(); ++i) {
    const std::string& ps = found->segments[i];
    if (IsParam(ps)) result.params.emplace_back(ps.substr(1), std::string(segs[i]));
  }
  return result;
}

void TOVRouter::RouteRequest(TOVHttpRequest& req, TOVHttpResponse& resp) const {
  MatchResult m = Match(req.method, req.path);
  if (m.status == TOVRouteMatch::Found) {
    m.handler(req, resp);
    return;
  }
  if (m.status == TOVRouteMatch::MethodNotAllowed)
    throw ERouteNotFound(405, "Method " + req.method + " not allowed for " + req.path);
  throw ERouteNotFound(404, "No route for " + req.path);
}

std::size_t TOVRouter::Count() const {
  TOVSharedGuard g(lock_);
  return routes_.size();
}

void TOVRouter::Clear() {
  std::vector<std::shared_ptr<const Route>> old;
  TOVLockGuard g(lock_);
  old.swap(routes_);
}

TOVRouter& HttpRouter() {
  static TOVRouter router;
  return router;
}

}  // namespace ov
