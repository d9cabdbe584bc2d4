#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "ov_router.h"

using namespace ov;

namespace {

TOVRouteHandler Tag(std::string* out, std::string tag) {
  return [out, tag](TOVHttpRequest&, TOVHttpResponse&) { *out = tag; };
}

std::string Route(const TOVRouter& r, const std::string& method, const std::string& path, int* status = nullptr) {
  TOVHttpRequest req;
  TOVHttpResponse resp;
  req.method = method;
  req.path = path;
  try {
    r.RouteRequest(req, resp);
    if (status) *status = 200;
    return "ok";
  } catch (const ERouteNotFound& e) {
    if (status) *status = e.Status();
    return "none";
  }
}

}  // namespace

TEST(Router, MatchesSegmentsIgnoringCaseAndTrailingSlash) {
  TOVRouter r;
  std::string hit;
  r.RegisterRoute("GET", "/api/v1/users", Tag(&hit, "list"));
  r.RegisterRoute("GET", "/api/v1/users/:id", Tag(&hit, "get"));
  r.RegisterRoute("GET", "/health", Tag(&hit, "health"));

  EXPECT_EQ(Route(r, "GET", "/api/v1/USERS"), "ok");
  EXPECT_EQ(hit, "list");
  EXPECT_EQ(Route(r, "GET", "/api/v1/users/"), "ok");
  EXPECT_EQ(hit, "list");
  // A trailing "/" does not add a segment: /users/7/ still has the :id shape.
  EXPECT_EQ(Route(r, "GET", "/api/v1/users/7/"), "ok");
  EXPECT_EQ(hit, "get");
  EXPECT_EQ(Route(r, "GET", "/health/"), "ok");
  EXPECT_EQ(hit, "health");
  // More or fewer segments never match.
  EXPECT_EQ(Route(r, "GET", "/api/v1/users/7/acl"), "none");
  EXPECT_EQ(Route(r, "GET", "/api/v1"), "none");
  EXPECT_EQ(Route(r, "GET", "/api/v1users"), "none");

  auto m = r.Match("GET", "/api/v1/users/abc");
  ASSERT_EQ(m.status, TOVRouteMatch::Found);
  ASSERT_EQ(m.params.size(), 1u);
  EXPECT_EQ(m.params[0].first, "id");
  EXPECT_EQ(m.params[0].second, "abc");
  // Only literal segments ignore case; the parameter keeps what was sent.
  EXPECT_EQ(r.Match("GET", "/API/V1/Users/AbC").params.at(0).second, "AbC");
}

TEST(Router, MethodMismatchIsNotFoundAndDistinguishable) {
  TOVRouter r;
  std::string hit;
  r.RegisterRoute("GET", "/api/v1/users", Tag(&hit, "list"));
  r.RegisterRoute("POST", "/api/v1/users", Tag(&hit, "create"));
  int status = 0;
  EXPECT_EQ(Route(r, "DELETE", "/api/v1/users/", &status), "none");
  EXPECT_EQ(status, 405);
  EXPECT_EQ(Route(r, "GET", "/api/v1/nothing", &status), "none");
  EXPECT_EQ(status, 404);
  // Methods compare exactly.
  EXPECT_EQ(Route(r, "get", "/api/v1/users", &status), "none");
  EXPECT_EQ(Route(r, "POST", "/api/v1/users"), "ok");
  EXPECT_EQ(hit, "create");
}

TEST(Router, FirstRegisteredMatchWins) {
  TOVRouter r;
  std::string hit;
  r.RegisterRoute("GET", "/api/v1/nodes/:id", Tag(&hit, "node"));
  r.RegisterRoute("GET", "/api/v1/nodes/heartbeat", Tag(&hit, "heartbeat"));
  r.RegisterRoute("GET", "/api/v1/i18n/languages", Tag(&hit, "languages"));
  r.RegisterRoute("GET", "/api/v1/i18n/:lang", Tag(&hit, "bundle"));
  Route(r, "GET", "/api/v1/nodes/heartbeat");
  EXPECT_EQ(hit, "node");
  Route(r, "GET", "/api/v1/i18n/languages");
  EXPECT_EQ(hit, "languages");
  Route(r, "GET", "/api/v1/i18n/de");
  EXPECT_EQ(hit, "bundle");
}

TEST(Router, UnregisterByOwnerAndPattern) {
  TOVRouter r;
  std::string hit;
  r.RegisterRoute("GET", "/api/v1/plugins/demo/a", Tag(&hit, "a"), "demo");
  r.RegisterRoute("POST", "/api/v1/plugins/demo/a", Tag(&hit, "a-post"), "demo");
  r.RegisterRoute("GET", "/api/v1/plugins/demo/b", Tag(&hit, "b"), "demo");
  r.RegisterRoute("GET", "/api/v1/plugins/other/a", Tag(&hit, "other"), "other");
  EXPECT_EQ(r.UnregisterRoutes("demo", "/API/v1/plugins/demo/a/", "POST"), 1u);
  EXPECT_EQ(Route(r, "GET", "/api/v1/plugins/demo/a"), "ok");
  EXPECT_EQ(r.UnregisterRoutes("demo"), 2u);
  EXPECT_EQ(Route(r, "GET", "/api/v1/plugins/demo/b"), "none");
  EXPECT_EQ(Route(r, "GET", "/api/v1/plugins/other/a"), "ok");
  EXPECT_EQ(r.Count(), 1u);
  EXPECT_EQ(r.UnregisterRoutes("nobody"), 0u);
}

TEST(Router, HandlerMayChangeTheTableWhileRunning) {
  TOVRouter r;
  std::string hit;
  r.RegisterRoute("POST", "/api/v1/x", [&](TOVHttpRequest&, TOVHttpResponse&) {
    r.RegisterRoute("GET", "/api/v1/y", Tag(&hit, "y"));
    r.UnregisterRoutes("", "/api/v1/x");
  });
  EXPECT_EQ(Route(r, "POST", "/api/v1/x"), "ok");
  EXPECT_EQ(Route(r, "GET", "/api/v1/y"), "ok");
  EXPECT_EQ(Route(r, "POST", "/api/v1/x"), "none");
}

TEST(Router, RegistrationConcurrentWithMatching) {
  TOVRouter r;
  std::atomic<int> calls{0};
  r.RegisterRoute("GET", "/api/v1/stable", [&](TOVHttpRequest&, TOVHttpResponse&) { calls++; });
  std::atomic<bool> stop{false};
  std::atomic<int> misses{0};
  std::atomic<int> started{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 4; ++t)
    readers.emplace_back([&] {
      started++;
      while (!stop.load()) {
        if (Route(r, "GET", "/api/v1/stable") != "ok") misses++;
      }
    });
  // The writer starts only once every reader is matching, so the two really overlap.
  while (started.load() < 4) std::this_thread::yield();
  for (int i = 0; i < 2000; ++i) {
    std::string p = "/api/v1/plugins/p" + std::to_string(i % 50) + "/x";
    r.RegisterRoute("GET", p, [](TOVHttpRequest&, TOVHttpResponse&) {}, "p");
    if (i % 3 == 0) r.UnregisterRoutes("p", p);
  }
  while (calls.load() == 0) std::this_thread::yield();
  stop = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(misses.load(), 0);
  EXPECT_GT(calls.load(), 0);
  EXPECT_EQ(r.Match("GET", "/api/v1/plugins/p1/x").status, TOVRouteMatch::Found);
}

TEST(Router, RejectsEmptyHandler) {
  TOVRouter r;
  EXPECT_THROW(r.RegisterRoute("GET", "/x", TOVRouteHandler()), std::invalid_argument);
}
