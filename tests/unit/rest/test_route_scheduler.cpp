// The scheduler routes without a scheduler, which the running server never shows (the scheduler
// is a required service), and the validation of task edits with one; the end-to-end tests cover
// the routes with the running server's.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "clock_test_util.h"
#include "ov_auth.h"
#include "ov_route_api.h"
#include "ov_router.h"
#include "ov_scheduler.h"
#include "route_test_util.h"
#include "test_util.h"

using namespace ov;

namespace {

// The REST routes over a fresh database, called as an administrator; whatever the test
// published is freed at its end.
class SchedulerRoutes : public ::testing::Test {
 protected:
  void SetUp() override {
    DB.Publish(std::make_unique<TOVDatabase>(dir / "orvanta.db"));
    TOVAuth::Init("sched-secret", 3600);
    RegisterAPIRoutes(router, ApiRouteTable());
    admin = "Bearer " + TOVAuth::CreateJWT(1, "sysop", true, 255, "", "");
  }
  void TearDown() override {
    Scheduler.Free();
    DB.Free();
  }
  ovtest::Answer call(const std::string& method, const std::string& path, const std::string& body = "{}") {
    TOVHttpRequest req = ovtest::ApiRequest(method, path, body);
    req.headers.emplace("Authorization", admin);
    return ovtest::Route(router, req);
  }

  ovtest::TempDir dir;
  ovtest::FakeClock clock{ovtest::UTC(2024, 6, 12, 12, 0, 0)};  // for a scheduler a test publishes
  TOVRouter router;
  std::string admin;
};

}  // namespace

TEST_F(SchedulerRoutes, WithoutASchedulerTasksAre503AndTheRunLogWorks) {
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
}

// PUT /api/v1/scheduler/tasks/:id with a scheduler: a value the scheduler would not run is
// answered 400 naming the member and why, and leaves the task and its row exactly as they were;
// the README's cron syntax and whole intervals from 1 are taken.
TEST_F(SchedulerRoutes, TaskEditsTheSchedulerCannotRunAreRefusedAndChangeNothing) {
  ovtest::ScopedTZ utc("UTC");
  TOVSchedulerOptions options;
  options.clock = &clock;
  Scheduler.Publish(std::make_unique<TOVScheduler>(nullptr, nullptr, std::move(options)));
  std::map<std::string, std::int64_t> ids;
  for (const TJSON& t : Scheduler->GetTasksJSON()) ids[t["task_name"].get<std::string>()] = t["id"].get<std::int64_t>();
  auto path = [&](const char* task) { return "/api/v1/scheduler/tasks/" + std::to_string(ids.at(task)); };
  // The task as the API shows it and its stored row.
  auto state = [&](const char* task) {
    auto q = DB.Get()->NewReadQuery();
    q.SetSQL("SELECT * FROM system_scheduler WHERE id = :id");
    q.Param("id", ids.at(task));
    q.Open();
    std::string row;
    for (std::size_t i = 0; i < q.FieldCount(); ++i) row += q.Field(i).AsText() + "|";
    return call("GET", path(task)).body + row;
  };

  const std::string cron = "Invalid cron_expr: ";
  const std::string interval = "Invalid interval_seconds: must be a whole number of seconds from 1 to 2147483647";
  const struct {
    const char* task;  // session_cleanup is an interval task, old_news_cleanup a cron task
    const char* body;
    std::string error;  // empty: taken
  } cases[] = {
      {"old_news_cleanup", R"({"cron_expr": "61 * * * *"})", cron + "minute \"61\" is outside 0-59"},
      {"old_news_cleanup", R"({"cron_expr": "bogus"})",
       cron + "the expression has 1 field; five are needed: minute hour day-of-month month day-of-week"},
      {"old_news_cleanup", R"({"cron_expr": "* * * *"})",
       cron + "the expression has 4 fields; five are needed: minute hour day-of-month month day-of-week"},
      {"old_news_cleanup", R"({"cron_expr": "0 3 * * * 2024"})",
       cron + "the expression has 6 fields; five are needed: minute hour day-of-month month day-of-week"},
      {"old_news_cleanup", R"({"cron_expr": "0  3 * * *"})",
       cron + "the expression has two spaces in a row (an empty field, which matches nothing)"},
      {"old_news_cleanup", R"({"cron_expr": "   "})", cron + "the expression is empty"},
      {"old_news_cleanup", R"({"cron_expr": ""})", cron + "the expression is empty"},
      {"old_news_cleanup", R"({"cron_expr": "0 24 * * *"})", cron + "hour \"24\" is outside 0-23"},
      {"old_news_cleanup", R"({"cron_expr": "0 0 0 * *"})", cron + "day of month \"0\" is outside 1-31"},
      {"old_news_cleanup", R"({"cron_expr": "0 0 * 1-13 *"})", cron + "month \"13\" is outside 1-12"},
      {"old_news_cleanup", R"({"cron_expr": "0 0 * * 7"})", cron + "day of week \"7\" is outside 0-6"},
      {"old_news_cleanup", R"({"cron_expr": "0 0 * * MON"})",
       cron + "day of week \"MON\" is not a number, a range a-b or *"},
      {"old_news_cleanup", R"({"cron_expr": "+5 * * * *"})", cron + "minute \"+5\" is not a number, a range a-b or *"},
      {"old_news_cleanup", R"({"cron_expr": "*/0 * * * *"})",
       cron + "minute step \"0\" is not a whole number of at least 1"},
      {"old_news_cleanup", R"({"cron_expr": "0 */x * * *"})",
       cron + "hour step \"x\" is not a whole number of at least 1"},
      {"old_news_cleanup", R"({"cron_expr": "50-10 * * * *"})", cron + "minute range \"50-10\" runs backwards"},
      {"old_news_cleanup", R"({"cron_expr": "-5 * * * *"})", cron + "minute range \"-5\" needs a number at each end"},
      {"old_news_cleanup", R"({"cron_expr": "1,,2 * * * *"})", cron + "minute has an empty item"},
      {"old_news_cleanup", R"({"cron_expr": "0\u0001 * * * *"})",
       cron + "minute \"0\\x01\" holds a blank or control character"},
      {"old_news_cleanup", R"({"cron_expr": "0 0 1234567890123456789012345678 * *"})",
       cron + "day of month \"123456789012345678901234...\" is outside 1-31"},
      {"old_news_cleanup", R"({"cron_expr": "0 0 31 2 *"})",
       cron + "never matches: no month it names has a day of month it names"},
      {"old_news_cleanup", R"({"cron_expr": "0 0 30-31 2 1-5"})",
       cron + "never matches: no month it names has a day of month it names"},
      {"old_news_cleanup", R"({"cron_expr": 7})", cron + "must be a string"},
      {"old_news_cleanup", R"({"cron_expr": null})", cron + "must be a string"},
      {"old_news_cleanup", R"({"enabled": false, "cron_expr": "0 3 * * * *"})",
       cron + "the expression has 6 fields; five are needed: minute hour day-of-month month day-of-week"},
      {"session_cleanup", R"({"interval_seconds": 0})", interval},
      {"session_cleanup", R"({"interval_seconds": -5})", interval},
      {"session_cleanup", R"({"interval_seconds": "30"})", interval},
      {"session_cleanup", R"({"interval_seconds": 7.9})", interval},
      {"session_cleanup", R"({"interval_seconds": 30.0})", interval},
      {"session_cleanup", R"({"interval_seconds": true})", interval},
      {"session_cleanup", R"({"interval_seconds": null})", interval},
      {"session_cleanup", R"({"interval_seconds": 2147483648})", interval},
      {"session_cleanup", R"({"interval_seconds": 18446744073709551615})", interval},
      {"session_cleanup", R"({"enabled": false, "interval_seconds": 0})", interval},
      {"session_cleanup", R"({"enabled": 0})", "Invalid enabled: must be true or false"},
      {"session_cleanup", R"({"enabled": "false"})", "Invalid enabled: must be true or false"},
      {"session_cleanup", R"({"enabled": null, "interval_seconds": 60})", "Invalid enabled: must be true or false"},
      // Becoming a cron task without an expression it could run.
      {"session_cleanup", R"({"schedule_type": "cron"})", cron + "the expression is empty"},
      {"session_cleanup", R"({"schedule_type": "cron", "interval_seconds": 60})", cron + "the expression is empty"},
      {"session_cleanup", R"({"cron_expr": "0 0 * * 8"})", cron + "day of week \"8\" is outside 0-6"},

      {"old_news_cleanup", R"({"cron_expr": "0 3 * * *"})", ""},
      {"old_news_cleanup", R"({"cron_expr": "*/15 * * * *"})", ""},
      {"old_news_cleanup", R"({"cron_expr": "5/15 0-23/2 1-31 1-12 0-6"})", ""},
      {"old_news_cleanup", R"({"cron_expr": "0,30 8-17 * * 1-5"})", ""},
      {"old_news_cleanup", R"({"cron_expr": "00 07 01 01 00"})", ""},
      {"old_news_cleanup", R"({"cron_expr": "0 0 29 2 *"})", ""},   // leap years only
      {"old_news_cleanup", R"({"cron_expr": "0 0 13 * 5"})", ""},   // Friday the 13th
      {"old_news_cleanup", R"({"cron_expr": " 0 4 * * 0 "})", ""},  // blanks around it
      {"old_news_cleanup", R"({"schedule_type": "cron"})", ""},
      {"session_cleanup", R"({"interval_seconds": 1})", ""},
      {"session_cleanup", R"({"enabled": false})", ""},
      {"session_cleanup", R"({"enabled": true})", ""},
      {"session_cleanup", R"({"interval_seconds": 2147483647})", ""},
      {"session_cleanup", R"({"cron_expr": ""})", ""},  // an interval task may keep no expression
      {"session_cleanup", R"({"schedule_type": "cron", "cron_expr": "0 * * * *"})", ""},
      {"session_cleanup", R"({"schedule_type": "interval", "cron_expr": ""})", ""},
  };
  // A member of an answer, null when it has none.
  auto at = [](const TJSON& j, const char* pointer) {
    const TJSON::json_pointer p(pointer);
    return j.contains(p) ? j.at(p) : TJSON();
  };
  for (const auto& c : cases) {
    const std::string before = state(c.task);
    const ovtest::Answer a = call("PUT", path(c.task), c.body);
    if (c.error.empty()) {
      EXPECT_EQ(a.status, 200) << c.body << " " << a.body;
      EXPECT_EQ(at(a.json, "/data/message"), "Task updated") << c.body;
      const TJSON sent = TJSON::parse(c.body);
      const TJSON task = Scheduler->GetTaskJSON(ids.at(c.task)).value_or(TJSON());
      for (const auto& [member, value] : sent.items())
        EXPECT_EQ(at(task, ("/" + member).c_str()), value) << c.body << " " << task.dump();
      continue;
    }
    EXPECT_EQ(a.status, 400) << c.body;
    EXPECT_EQ(at(a.json, "/error/code"), 400) << c.body;
    EXPECT_EQ(ovtest::ErrorMessage(a), c.error) << c.body;
    EXPECT_EQ(state(c.task), before) << c.body;
  }
}
