// The scheduler routes without a scheduler, which the running server never shows (the scheduler
// is a required service); the end-to-end tests cover the routes with one.
#include <gtest/gtest.h>

#include <string>

#include "ov_auth.h"
#include "ov_route_api.h"
#include "ov_router.h"
#include "ov_scheduler.h"
#include "route_test_util.h"
#include "test_util.h"

using namespace ov;

TEST(SchedulerRoutes, WithoutASchedulerTasksAre503AndTheRunLogWorks) {
  ovtest::TempDir dir;
  DB.Publish(std::make_unique<TOVDatabase>(dir / "orvanta.db"));
  TOVAuth::Init("sched-secret", 3600);
  TOVRouter router;
  RegisterAPIRoutes(router, ApiRouteTable());
  const std::string admin = "Bearer " + TOVAuth::CreateJWT(1, "sysop", true, 255, "", "");
  auto call = [&](const std::string& method, const std::string& path, const std::string& body = "{}") {
    TOVHttpRequest req = ovtest::ApiRequest(method, path, body);
    req.headers.emplace("Authorization", admin);
    return ovtest::Route(router, req);
  };
  ASSERT_FALSE(Scheduler.Exists());
  // The scheduler's absence is checked before the task id and the body.
  for (const auto& [method, path] : {std::pair{"GET", "/api/v1/scheduler/tasks"},
                                     {"GET", "/api/v1/scheduler/tasks/abc"},
                                     {"PUT", "/api/v1/scheduler/tasks/-1"},
                                     {"POST", "/api/v1/scheduler/tasks/7/run"}}) {
    const ovtest::Answer a = call(method, path, "not json");
    EXPECT_EQ(a.status, 503) << path;
    EXPECT_EQ(ovtest::ErrorMessage(a), "Scheduler not available") << path;
  }
  EXPECT_EQ(call("GET", "/api/v1/scheduler/logs").status, 200);
  EXPECT_EQ(call("DELETE", "/api/v1/scheduler/logs").json["data"]["message"], "Scheduler logs cleared");
  DB.Free();
}
