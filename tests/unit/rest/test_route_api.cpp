#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <condition_variable>
#include <memory>
#include <limits>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "db_test_env.h"
#include "ov_auth.h"
#include "ov_config.h"
#include "ov_database.h"
#include "ov_event_bus.h"
#include "ov_json_helpers.h"
#include "ov_route_admin.h"
#include "ov_route_api.h"
#include "ov_route_auth.h"
#include "ov_route_db.h"
#include "ov_route_path.h"
#include "ov_route_reply.h"
#include "ov_router.h"
#include "ov_sqlconn_sqlite.h"
#include "route_test_util.h"
#include "test_util.h"

using namespace ov;

namespace {

// Every row's handler replaced by one that names the row it was reached through.
void RecordRow(TOVApiRequest& c) {
  c.resp.status = 299;
  c.resp.body = c.route ? c.route->name : "?";
}

std::vector<TOVApiRoute> RecordingTable() {
  std::vector<TOVApiRoute> rows(ApiRouteTable().begin(), ApiRouteTable().end());
  for (auto& r : rows) r.handler = RecordRow;
  return rows;
}

using ovtest::Answer;
using ovtest::ErrorMessage;
using ovtest::RawText;

// Routes a request with the given credentials.
Answer Call(const TOVRouter& router, const std::string& method, const std::string& path,
            const std::string& token = {}, const std::string& api_key = {}, const std::string& body = {}) {
  TOVHttpRequest req = ovtest::ApiRequest(method, path, body);
  if (!token.empty()) req.headers.emplace("Authorization", token);
  if (!api_key.empty()) req.headers.emplace("X-API-Key", api_key);
  return ovtest::Route(router, req);
}

TOVHttpRequest Req(const std::string& path, const std::string& query = {}) {
  return ovtest::ApiRequest("GET", path, {}, query);
}

class RouteTable : public ::testing::Test {
 protected:
  void SetUp() override {
    TOVAuth::Init("route-secret", 3600);
    RegisterAPIRoutes(router, RecordingTable());
    admin = "Bearer " + TOVAuth::CreateJWT(1, "sysop", true, 255, "", "");
    user = "Bearer " + TOVAuth::CreateJWT(2, "joe", false, 10, "", "");
  }
  TOVRouter router;
  std::string admin, user;
};

}  // namespace

// ---- table shape --------------------------------------------------------------------------------

TEST(RouteTableShape, RowsAndPatterns) {
  auto rows = ApiRouteTable();
  ASSERT_EQ(rows.size(), 83u);
  EXPECT_STREQ(rows[0].pattern, "/health");
  EXPECT_STREQ(rows[0].method, "GET");
  std::set<std::string> seen;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const auto& r = rows[i];
    if (i > 0) {
      EXPECT_EQ(std::string(r.pattern).rfind("/api/v1/", 0), 0u) << r.pattern;
    }
    EXPECT_TRUE(seen.insert(std::string(r.method) + " " + r.pattern).second) << "duplicate " << r.pattern;
    EXPECT_NE(r.handler, nullptr) << r.name;
    const std::set<std::string> methods{"GET", "POST", "PUT", "DELETE"};
    EXPECT_TRUE(methods.count(r.method)) << r.method;
  }
  EXPECT_STREQ(rows.back().name, "HandlePutDashboardLayout");
}

// ---- matching through the table -----------------------------------------------------------------

TEST_F(RouteTable, MatchingSemantics) {
  struct Case {
    const char* method;
    const char* path;
    const char* row;  // nullptr: no route (404 "API endpoint not found")
  } cases[] = {
      {"GET", "/api/v1/USERS", "HandleListUsers"},
      {"GET", "/Api/V1/Users", "HandleListUsers"},
      {"POST", "/api/v1/users/", "HandleCreateUser"},
      {"GET", "/api/v1/users/7/", "HandleGetUser"},  // a trailing "/" adds no segment
      {"GET", "/api/v1/users/7/acl", "HandleGetUserAcl"},
      {"DELETE", "/api/v1/users/", nullptr},  // only GET and POST /users have this shape
      {"GET", "/api/v1/setup", nullptr},      // pattern exists for POST only
      {"PATCH", "/api/v1/users", nullptr},
      {"GET", "/api/v1/nodes/heartbeat", "HandleGetNode"},  // the GET /nodes/:id row takes it
      {"POST", "/api/v1/nodes/heartbeat", "HandleNodeHeartbeat"},
      {"GET", "/api/v1/i18n/languages", "HandleI18nLanguages"},
      {"GET", "/api/v1/i18n/de", "HandleI18nBundle"},
      {"GET", "/api/v1/plugins/updates", "HandlePluginUpdates"},
      {"GET", "/api/v1/plugins/db", "HandleListPlugins"},
      {"POST", "/api/v1/scheduler/tasks/3/run", "HandleRunSchedulerTask"},
      {"DELETE", "/api/v1/scripts/doors", "HandleUninstallScript"},
      {"GET", "/api/v1/nodes/plugins/download/tok", "HandleNodePluginDownload"},
      {"GET", "/health", "HandleHealthCheck"},
      {"GET", "/api/v1/health", nullptr},
      {"GET", "/api/v1", nullptr},
  };
  for (const auto& k : cases) {
    Answer a = Call(router, k.method, k.path, admin);
    if (k.row) {
      EXPECT_EQ(a.status, 299) << k.method << " " << k.path;
      EXPECT_EQ(a.body, k.row) << k.method << " " << k.path;
    } else {
      EXPECT_EQ(a.status, 404) << k.method << " " << k.path << " reached " << a.body;
    }
  }
}

TEST_F(RouteTable, EarlierRegistrationWins) {
  // A route registered before the table (a plug-in's) with an equal pattern wins over it.
  TOVRouter r;
  r.RegisterRoute("GET", "/api/v1/status", [](TOVHttpRequest&, TOVHttpResponse& resp) { resp.body = "plugin"; });
  RegisterAPIRoutes(r, RecordingTable());
  EXPECT_EQ(Call(r, "GET", "/api/v1/status", admin).body, "plugin");
  EXPECT_EQ(Call(r, "POST", "/api/v1/auth/refresh", admin).body, "HandleAuthRefresh");
}

// ---- access levels ------------------------------------------------------------------------------

TEST_F(RouteTable, AccessLevelsOfEveryRow) {
  for (const auto& row : ApiRouteTable()) {
    std::string path = row.pattern;
    for (std::size_t p; (p = path.find(':')) != std::string::npos;) path.replace(p, path.find('/', p) - p, "x1");
    SCOPED_TRACE(std::string(row.method) + " " + path);

    Answer anon = Call(router, row.method, path);
    Answer plain = Call(router, row.method, path, user);
    Answer boss = Call(router, row.method, path, admin);
    EXPECT_EQ(boss.body, row.name);
    switch (row.access) {
      case TOVRouteAccess::None:
        EXPECT_EQ(anon.body, row.name);
        break;
      case TOVRouteAccess::Auth:
        EXPECT_EQ(anon.status, 401);
        EXPECT_EQ(ErrorMessage(anon), "Unauthorized");
        EXPECT_EQ(plain.body, row.name);
        break;
      case TOVRouteAccess::Admin:
      case TOVRouteAccess::AdminShort:
        EXPECT_EQ(anon.status, 401);
        EXPECT_EQ(plain.status, 403);
        EXPECT_EQ(ErrorMessage(plain),
                  row.access == TOVRouteAccess::Admin ? "Admin access required" : "Admin required");
        break;
    }
  }
}

TEST_F(RouteTable, BearerHeaderDecidesAlone) {
  // An invalid bearer token is not retried with the API key (no database is consulted).
  ASSERT_FALSE(DB.Exists());
  Answer a = Call(router, "GET", "/api/v1/status", "Bearer junk", "ov_0123");
  EXPECT_EQ(a.status, 401);
  EXPECT_EQ(ErrorMessage(a), "Unauthorized");
  // Scheme name ignoring case; "Bearer " alone carries no token.
  EXPECT_EQ(Call(router, "GET", "/api/v1/status", "bEARER " + admin.substr(7)).status, 299);
  EXPECT_EQ(Call(router, "GET", "/api/v1/status", "Bearer ").status, 401);
  EXPECT_EQ(Call(router, "GET", "/api/v1/status", "Basic abc").status, 401);
  // A token from another secret.
  TOVAuth::Init("other", 3600);
  std::string foreign = "Bearer " + TOVAuth::CreateJWT(1, "sysop", true, 255, "", "");
  TOVAuth::Init("route-secret", 3600);
  EXPECT_EQ(Call(router, "GET", "/api/v1/status", foreign).status, 401);
}

TEST(RouteTableReal, UnbuiltRowsAnswerNotImplemented) {
  TOVAuth::Init("route-secret", 3600);
  TOVRouter r;
  RegisterAPIRoutes(r, ApiRouteTable());
  std::string admin = "Bearer " + TOVAuth::CreateJWT(1, "sysop", true, 255, "", "");
  // Every row still waiting for its handler answers 501 behind its access check (each
  // ":param" segment given a value); the script rows have theirs.
  for (const TOVApiRoute& row : ApiRouteTable()) {
    const std::string name = row.name;
    if (name.find("Script") != std::string::npos) {
      EXPECT_NE(row.handler, HandleNotImplemented) << name;
    }
    if (row.handler != HandleNotImplemented) continue;
    std::string path;
    for (const std::string& seg : PathSegments(Req(row.pattern)))
      if (!seg.empty()) path += "/" + (seg[0] == ':' ? std::string("x") : seg);
    Answer a = Call(r, row.method, path, admin);
    EXPECT_EQ(a.status, 501) << name;
    EXPECT_EQ(ErrorMessage(a), "Not implemented") << name;
    if (row.access != TOVRouteAccess::None) {
      EXPECT_EQ(Call(r, row.method, path).status, 401) << name;
    }
  }
}

TEST(RouteAdmin, AdminPageRedirects) {
  TOVHttpRequest req = Req("/admin");
  TOVHttpResponse resp;
  HandleAdminPage(req, resp);
  EXPECT_EQ(resp.status, 302);
  EXPECT_EQ(resp.GetHeader("Location"), "/index.html");
  EXPECT_EQ(resp.body, "");
}

// ---- path helpers -------------------------------------------------------------------------------

TEST(RoutePath, SegmentsAndIds) {
  EXPECT_EQ(PathSegments(Req("/api/v1/users/5")), (std::vector<std::string>{"", "api", "v1", "users", "5"}));
  EXPECT_EQ(PathSegments(Req("/api/v1/users/7/")).size(), 6u);

  EXPECT_EQ(ExtractPathID(Req("/api/v1/users/5")), 5);
  EXPECT_EQ(ExtractPathID(Req("/api/v1/users/7/")), -1);   // empty last segment
  EXPECT_EQ(ExtractPathID(Req("/api/v1/users")), -1);      // fewer than 5 segments
  EXPECT_EQ(ExtractPathID(Req("/api/v1/users/abc")), -1);
  EXPECT_EQ(ExtractPathID(Req("/api/v1/users/-3")), -3);
  EXPECT_EQ(ExtractPathID(Req("/api/v1/users/99999999999999999999")), -1);
  EXPECT_EQ(ExtractPathID(Req("/api/v1/users/8589934592")), 8589934592LL);  // ids are 64-bit

  EXPECT_EQ(ExtractPathIDAt(Req("/api/v1/scheduler/tasks/12/run"), 1), 12);
  EXPECT_EQ(ExtractPathIDAt(Req("/api/v1/scheduler/tasks/12/run"), 0), -1);
  EXPECT_EQ(ExtractPathIDAt(Req("/a/3"), 1), -1);  // the segment "a"
  EXPECT_EQ(ExtractPathIDAt(Req("/a/3"), 5), -1);
  EXPECT_EQ(ExtractPathIDAt(Req("/a/3"), -1), -1);

  EXPECT_EQ(ExtractPathName(Req("/api/v1/scripts/doors")), "doors");
  EXPECT_EQ(ExtractPathName(Req("/api/v1/scripts")), "");
  EXPECT_EQ(ExtractPathSegment(Req("/api/v1/users/5/acl"), 1), "5");
  EXPECT_EQ(ExtractPathSegment(Req("/api/v1/users/5/acl"), 5), "");
  EXPECT_EQ(ExtractPathSegment(Req("/api/v1/users/5/acl"), 6), "");
}

TEST(RoutePath, DecodedQuestionMarkStaysInItsSegment) {
  // The front end hands over the path without its query, percent-decoded: a "?" in it was
  // sent as "%3F" and is part of the name, not the start of a query.
  EXPECT_EQ(ExtractPathName(Req("/api/v1/acl/flags/A?B")), "A?B");
  EXPECT_EQ(ExtractPathID(Req("/api/v1/users/5?x")), -1);
  EXPECT_EQ(ExtractPathSegment(Req("/api/v1/users/5?/acl"), 1), "5?");
  EXPECT_EQ(PathSegments(Req("/api/v1/users/5?x")).size(), 5u);
}

// ---- paging -------------------------------------------------------------------------------------

TEST(RoutePaging, DefaultsClampsAndOffsets) {
  struct Case {
    const char* query;
    std::int64_t page, per_page, offset;
  } cases[] = {
      {"", 1, 25, 0},
      {"page=3&per_page=10", 3, 10, 20},
      {"per_page=0", 1, 25, 0},
      {"per_page=-4", 1, 25, 0},
      {"per_page=1000", 1, 100, 0},
      {"page=0", 1, 25, 0},
      {"page=-7&per_page=5", 1, 5, 0},
      {"page=abc&per_page=xyz", 1, 25, 0},
      {"page=99999999999999999999", 1, 25, 0},  // unparsable: the default
  };
  for (const auto& k : cases) {
    TOVPaging p = ReadPaging(Req("/api/v1/users", k.query), kPageUsers);
    EXPECT_EQ(p.page, k.page) << k.query;
    EXPECT_EQ(p.per_page, k.per_page) << k.query;
    EXPECT_EQ(p.offset, k.offset) << k.query;
  }
  // A page whose offset would overflow 64 bits is lowered; the offset stays non-negative.
  TOVPaging big = ReadPaging(Req("/api/v1/logs", "page=9223372036854775807&per_page=500"), kPageSystemLogs);
  EXPECT_EQ(big.per_page, 500);
  EXPECT_GE(big.offset, 0);
  EXPECT_LE(big.page, std::numeric_limits<std::int64_t>::max() / 500 + 1);
  EXPECT_EQ(big.offset, (big.page - 1) * 500);
  EXPECT_GT(big.offset, std::numeric_limits<std::int64_t>::max() - 500);
  TOVPaging one = ReadPaging(Req("/x", "page=9223372036854775807&per_page=1"), kPageAuditLog);
  EXPECT_EQ(one.offset, std::numeric_limits<std::int64_t>::max() - 1);

  EXPECT_EQ(ReadPaging(Req("/x"), kPageAuditLog).per_page, 50);
  EXPECT_EQ(ReadPaging(Req("/x", "per_page=999"), kPageAuditLog).per_page, 200);
  EXPECT_EQ(ReadPaging(Req("/x"), kPageSystemLogs).per_page, 100);
  EXPECT_EQ(ReadPaging(Req("/x", "per_page=999"), kPageSystemLogs).per_page, 500);
}

// ---- database-backed helpers and handlers -------------------------------------------------------

namespace {

class RouteDB : public ovtest::SqliteDBTest {
 protected:
  void SetUp() override {
    TOVAuth::Init("route-secret", 3600);
    SqliteDBTest::SetUp();
  }
};

}  // namespace

TEST_F(RouteDB, ResolvePathEntity) {
  const std::string guid = "abcdef01-2345-4789-8bcd-ef0123456789";
  const std::int64_t uid = InsertUser("ann", guid);
  std::int64_t id = 0;
  std::string g;
  EXPECT_TRUE(ResolvePathEntity(Req("/api/v1/users/" + std::to_string(uid)), "users", id, g));
  EXPECT_EQ(id, uid);
  EXPECT_EQ(g, guid);
  EXPECT_TRUE(ResolvePathEntity(Req("/api/v1/users/7777"), "users", id, g));  // absent row: true, no GUID
  EXPECT_EQ(id, 7777);
  EXPECT_EQ(g, "");
  std::string upper = guid;
  for (auto& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  EXPECT_TRUE(ResolvePathEntity(Req("/api/v1/users/" + upper + "/acl"), "users", id, g, 1));
  EXPECT_EQ(id, uid);
  EXPECT_EQ(g, guid);
  for (const char* seg : {"0", "-3", "abc", "00000000-0000-4000-8000-000000000000", "", "1.5"})
    EXPECT_FALSE(ResolvePathEntity(Req(std::string("/api/v1/users/") + seg), "users", id, g)) << seg;
}

TEST_F(RouteDB, WriteAuditLogRows) {
  TOVAuthUser owner;
  owner.UserID = 0;  // an API key without an owner: stored as NULL, not lost
  owner.Username = "";
  WriteAuditLog(owner, "acl.group.create", "Group X", "details", "127.0.0.9");
  EXPECT_EQ(RawText(file, "SELECT COUNT(*) FROM audit_log WHERE action='acl.group.create' AND user_id IS NULL "
                          "AND ip_address='127.0.0.9' AND target='Group X'"),
            "1");
  // A failing insert is swallowed (the audit table is gone).
  {
    auto db = DB.Get();
    db->ExecSQL("DROP TABLE audit_log");
  }
  EXPECT_NO_THROW(WriteAuditLog(owner, "x", "", "", ""));
}

TEST_F(RouteDB, ResolvePathEntityKeepsADecodedQuestionMark) {
  const std::int64_t uid = InsertUser("ann", "abcdef01-2345-4789-8bcd-ef0123456789");
  std::int64_t id = 0;
  std::string g;
  // "/users/<id>%3Fx" names no user; it must not resolve to <id>.
  EXPECT_FALSE(ResolvePathEntity(Req("/api/v1/users/" + std::to_string(uid) + "?x"), "users", id, g));
  EXPECT_FALSE(ResolvePathEntity(Req("/api/v1/users/" + std::to_string(uid) + "?/acl"), "users", id, g, 1));
}

TEST_F(RouteDB, HealthIsDegradedWhenTheProbeFails) {
  TOVRouter r;
  RegisterAPIRoutes(r, ApiRouteTable());
  Answer good = Call(r, "GET", "/health");
  EXPECT_EQ(good.status, 200);
  EXPECT_EQ(good.body, R"({ "status" : "healthy", "version" : "0.5.33", "database" : "ok" })");

  // Every read connection lets its first SELECT through (the pool's liveness check when the
  // slot is lent) and refuses the next one (the probe).
  struct Gate {
    int selects = 0;
    static int Authorize(void* self, int action, const char*, const char*, const char*, const char*) {
      if (action != SQLITE_SELECT) return SQLITE_OK;
      return ++static_cast<Gate*>(self)->selects > 1 ? SQLITE_DENY : SQLITE_OK;
    }
  };
  Gate gates[OV_READ_POOL_SIZE];
  std::vector<sqlite3*> handles;
  {
    // Every connection of the pool, each lent to a thread of its own (a thread's read queries
    // share one connection) until all of them are gated.
    std::mutex mu;
    std::condition_variable cv;
    bool gated = false;
    std::vector<std::thread> holders;
    for (int i = 0; i < OV_READ_POOL_SIZE; ++i)
      holders.emplace_back([&] {
        auto q = DB.Get()->NewReadQuery();
        std::unique_lock<std::mutex> lk(mu);
        handles.push_back(dynamic_cast<sql::SqliteConnection&>(q.Connection()).Handle());
        cv.notify_all();
        cv.wait(lk, [&] { return gated; });
      });
    {
      std::unique_lock<std::mutex> lk(mu);
      cv.wait_for(lk, std::chrono::seconds(10), [&] { return handles.size() == OV_READ_POOL_SIZE; });
      for (std::size_t i = 0; i < handles.size(); ++i)
        if (handles[i]) sqlite3_set_authorizer(handles[i], &Gate::Authorize, &gates[i]);
      gated = true;
    }
    cv.notify_all();
    for (auto& t : holders) t.join();
    ASSERT_EQ(handles.size(), std::size_t{OV_READ_POOL_SIZE});
  }
  Answer bad = Call(r, "GET", "/health");
  for (sqlite3* h : handles) sqlite3_set_authorizer(h, nullptr, nullptr);
  EXPECT_EQ(bad.status, 200);
  EXPECT_EQ(bad.body, R"({ "status" : "degraded", "version" : "0.5.33", "database" : "error" })");
  int refused = 0;
  for (const Gate& g : gates) refused += g.selects > 1 ? 1 : 0;
  EXPECT_EQ(refused, 1);  // the probe really ran and failed
}

TEST_F(RouteDB, SetupWithoutNamesLeavesTheStoredConfigurationAlone) {
  TOVRouter r;
  RegisterAPIRoutes(r, ApiRouteTable());
  const std::string before =
      RawText(file, "SELECT group_concat(key || '=' || value || '@' || updated_at, '|') FROM system_config");
  Answer a = Call(r, "POST", "/api/v1/setup", {}, {}, R"({"username": "sysop", "password": "123456"})");
  ASSERT_EQ(a.status, 201) << a.body;
  EXPECT_EQ(ovtest::Keys(a.json["data"]),
            (std::vector<std::string>{"token", "user_id", "user_guid", "username", "is_admin", "security_level"}));
  EXPECT_EQ(RawText(file, "SELECT group_concat(key || '=' || value || '@' || updated_at, '|') FROM system_config"),
            before);
}

TEST_F(RouteDB, StatusV2AnswersItsOwnCallerCheck) {
  InsertUser("ann", "abcdef01-2345-4789-8bcd-ef0123456789");
  EventBus.Publish(std::make_unique<TOVEventBus>());
  EventBus->Subscribe("test", "user.login", TOVEventCallback{nullptr, nullptr, [](const std::string&, const TJSON*) {}});
  auto run = [](const std::string& token) {
    TOVHttpRequest req = ovtest::ApiRequest("GET", "/api/v1/status");
    if (!token.empty()) req.headers.emplace("Authorization", token);
    TOVHttpResponse resp;
    TOVApiRequest c{req, resp, {}, nullptr};
    HandleStatusV2(c);
    Answer a{resp.status, resp.body, TJSON()};
    if (auto j = ParseJson(resp.body)) a.json = *j;
    return a;
  };
  Answer anon = run("");
  Answer ok = run("Bearer " + TOVAuth::CreateJWT(1, "ann", false, 10, "", ""));
  EventBus.Free();
  EXPECT_EQ(anon.status, 401);
  EXPECT_EQ(ErrorMessage(anon), "Unauthorized");
  ASSERT_EQ(ok.status, 200) << ok.body;
  const TJSON& d = ok.json["data"];
  EXPECT_EQ(ovtest::Keys(d), (std::vector<std::string>{"server_name", "version", "total_users", "database_type",
                                                        "active_sessions", "loaded_plugins", "event_subscriptions"}));
  EXPECT_EQ(d["server_name"], "Orvanta BBS v0.5.33");
  EXPECT_EQ(d["version"], "0.5.33");
  EXPECT_EQ(d["total_users"], 1);
  EXPECT_EQ(d["active_sessions"], 0);
  EXPECT_EQ(d["loaded_plugins"], 0);
  EXPECT_EQ(d["event_subscriptions"], 1);
}

TEST_F(RouteDB, ConcurrentSetupCreatesOneAdministrator) {
  TOVRouter r;
  RegisterAPIRoutes(r, ApiRouteTable());
  constexpr int kThreads = 6;
  std::atomic<int> created{0}, refused{0}, other{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      std::string body = R"({"username": "sysop)" + std::to_string(i) + R"(", "password": "secret1"})";
      Answer a = Call(r, "POST", "/api/v1/setup", {}, {}, body);
      if (a.status == 201)
        ++created;
      else if (a.status == 403 && ErrorMessage(a) == "Setup already completed")
        ++refused;
      else
        ++other;
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(created.load(), 1);
  EXPECT_EQ(refused.load(), kThreads - 1);
  EXPECT_EQ(other.load(), 0);
  EXPECT_EQ(RawText(file, "SELECT COUNT(*) FROM users WHERE is_admin = 1"), "1");
}

TEST_F(RouteDB, LoginAnnouncesUserLogin) {
  TOVRouter r;
  RegisterAPIRoutes(r, ApiRouteTable());
  ASSERT_EQ(Call(r, "POST", "/api/v1/setup", {}, {}, R"({"username": "sysop", "password": "123456"})").status, 201);
  EventBus.Publish(std::make_unique<TOVEventBus>());
  std::vector<TJSON> seen;
  EventBus->Subscribe("test", "user.login",
                      TOVEventCallback{nullptr, nullptr, [&](const std::string&, const TJSON* d) {
                                         seen.push_back(d ? *d : TJSON());
                                       }});
  EXPECT_EQ(Call(r, "POST", "/api/v1/auth/login", {}, {}, R"({"username": "sysop", "password": "wrong1"})").status,
            401);
  EXPECT_TRUE(seen.empty());
  Answer ok = Call(r, "POST", "/api/v1/auth/login", {}, {}, R"({"username": "sysop", "password": "123456"})");
  EventBus.Free();
  ASSERT_EQ(ok.status, 200) << ok.body;
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(ovtest::Keys(seen[0]), (std::vector<std::string>{"user_id", "username", "user_guid", "ip_address"}));
  EXPECT_EQ(seen[0]["ip_address"], "127.0.0.1");
  EXPECT_EQ(seen[0]["username"], "sysop");
}

// ---- a busy board: long reads never starve short ones ------------------------------------------

namespace {

// The real route table on an empty board of each backend, its read pool with short bounds.
class BusyBoard : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    if (!ovtest::WriteDatabaseConfig(GetParam(), dir / "o.ini")) GTEST_SKIP() << "no " << GetParam() << " test server";
    Config.Publish(std::make_unique<TOVConfig>(dir / "o.ini"));
    TOVDatabaseOptions options;
    options.pool_timings.AcquireWait = std::chrono::milliseconds(300);
    options.pool_timings.LongWait = std::chrono::milliseconds(300);
    options.read_pool_size = kPool;
    options.long_share = kLongShare;
    DB.Publish(std::make_unique<TOVDatabase>(dir / "orvanta.db", options));
    TOVAuth::Init("busy-secret", 3600);
    RegisterAPIRoutes(router, ApiRouteTable());
    Answer setup = Send("POST", "/api/v1/setup", R"({"username": "sysop", "password": "123456"})");
    ASSERT_EQ(setup.status, 201) << setup.body;
    admin = "Bearer " + setup.json["data"]["token"].get<std::string>();
    admin_guid = setup.json["data"]["user_guid"];
  }
  void TearDown() override {
    DB.Free();
    Config.Free();
  }
  Answer Send(const std::string& method, const std::string& path, const std::string& body = {},
              const std::string& query = {}) {
    TOVHttpRequest req = ovtest::ApiRequest(method, path, body, query);
    if (!admin.empty()) req.headers.emplace("Authorization", admin);
    return ovtest::RouteAnswered(router, req, &retry_after);
  }

  ovtest::TempDir dir;
  TOVRouter router;
  std::string admin, admin_guid;
  std::string retry_after;  // of the last answer
  static constexpr int kPool = 4, kLongShare = 2;
};

INSTANTIATE_TEST_SUITE_P(Backends, BusyBoard, ::testing::Values("sqlite3", "postgresql", "mariadb"));

}  // namespace

// Long reads that run until they are interrupted fill the long reads' share: health probes,
// lookups, logins, the status and lists served from an index answer at once (each request waiting for one read connection
// at most), a long read that cannot get its turn in time hears "Server busy", and so does a
// short read once every connection is held; the health probe still says the database is fine.
TEST_P(BusyBoard, ShortReadsAnswerAtOnceWhileLongReadsHoldTheirShare) {
  auto db = DB.Get();
  const TDBAPool& pool = db->ReadPool();
  std::vector<std::future<std::string>> scans;
  std::vector<std::unique_ptr<std::atomic<sql::Connection*>>> running;
  for (int i = 0; i < kLongShare; ++i) {
    running.push_back(std::make_unique<std::atomic<sql::Connection*>>(nullptr));
    scans.push_back(std::async(std::launch::async, [&, conn = running.back().get()]() -> std::string {
      auto q = DB.Get()->NewReadQuery(TDBAReadKind::Long);
      q.SetSQL(ovtest::RunawaySQL(GetParam()));
      *conn = &q.Connection();
      try {
        q.Open();
        return "finished";
      } catch (const std::exception& e) {
        return e.what();
      }
    }));
  }
  for (auto& conn : running) ASSERT_TRUE(ovtest::WaitRunning(*conn));
  ASSERT_EQ(pool.LongInUseCount(), kLongShare);

  struct Probe {
    const char* method;
    std::string path, body, query;
    int status;
  };
  const std::vector<Probe> probes = {
      {"GET", "/health", "", "", 200},
      {"GET", "/api/v1/users/1", "", "", 200},
      {"GET", "/api/v1/users/" + admin_guid, "", "", 200},
      {"POST", "/api/v1/auth/login", R"({"username": "sysop", "password": "123456"})", "", 200},
      {"GET", "/api/v1/status", "", "", 200},
      {"GET", "/api/v1/config", "", "", 200},
      {"GET", "/api/v1/users", "", "page=2", 200},
      {"GET", "/api/v1/logs", "", "level=info", 200},
      {"GET", "/api/v1/logs", "", "search=nothing-matches", 503},
      {"GET", "/api/v1/logs/filters", "", "", 503},
  };
  for (const Probe& p : probes) {
    SCOPED_TRACE(std::string(p.method) + " " + p.path + "?" + p.query);
    const std::uint64_t lends = pool.LendCount();
    Answer a = Send(p.method, p.path, p.body, p.query);
    EXPECT_EQ(a.status, p.status) << a.body;
    EXPECT_LE(pool.LendCount() - lends, 1u);
    if (p.status == 503) {
      EXPECT_EQ(ErrorMessage(a), "Server busy");
      EXPECT_EQ(retry_after, "5");
    }
    if (p.path == "/health") {
      EXPECT_EQ(a.json["status"], "healthy") << a.body;
    }
  }

  // Every other connection held by short reads too.
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::vector<std::thread> holders;
  std::atomic<int> holding{0};
  for (int i = kLongShare; i < kPool; ++i)
    holders.emplace_back([&] {
      auto q = DB.Get()->NewReadQuery();
      ++holding;
      released.wait();
    });
  for (int k = 0; k < 2000 && holding < kPool - kLongShare; ++k)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  ASSERT_EQ(pool.InUseCount(), kPool);
  Answer lookup = Send("GET", "/api/v1/users/1");
  EXPECT_EQ(lookup.status, 503) << lookup.body;
  EXPECT_EQ(ErrorMessage(lookup), "Server busy");
  EXPECT_EQ(retry_after, "5");
  Answer health = Send("GET", "/health");
  EXPECT_EQ(health.status, 200);
  EXPECT_EQ(health.json["status"], "healthy") << health.body;
  release.set_value();
  for (auto& t : holders) t.join();

  db->InterruptStatements();
  for (auto& s : scans) {
    ASSERT_EQ(s.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_NE(s.get(), "finished");
  }
  EXPECT_EQ(Send("GET", "/api/v1/logs", "", "search=nothing-matches").status, 200);
  EXPECT_EQ(pool.InUseCount(), 0);
}
