#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ov_auth.h"
#include "ov_database.h"
#include "ov_json_helpers.h"
#include "ov_route_api.h"
#include "ov_route_logs.h"
#include "ov_router.h"
#include "ov_security.h"
#include "ov_session_manager.h"
#include "route_test_util.h"
#include "test_util.h"

using namespace ov;

namespace {

using ovtest::Answer;
using ovtest::ErrorMessage;
using ovtest::RawText;

class LogRoutes : public ovtest::SqliteDBTest {
 protected:
  TOVRouter router;
  std::string admin;

  void SetUp() override {
    TOVAuth::Init("logs-secret", 3600);
    SqliteDBTest::SetUp();
    RegisterAPIRoutes(router, ApiRouteTable());
    admin = "Bearer " + TOVAuth::CreateJWT(1, "sysop", true, 255, "", "");
  }
  void TearDown() override {
    SessionMgr.Free();
    IPBlacklist.Free();
    SqliteDBTest::TearDown();
  }

  Answer Call(const std::string& method, const std::string& path, const std::string& body = {},
              const std::string& query = {}) {
    TOVHttpRequest req = ovtest::ApiRequest(method, path, body, query);
    req.headers.emplace("Authorization", admin);
    return ovtest::Route(router, req);
  }

  Answer Query(const std::string& sql) {
    TJSON b = TJSON::object();
    b["sql"] = sql;
    return Call("POST", "/api/v1/admin/query", JsonCompact(b));
  }

  // An ordinary writer after the console: it must neither trip over a transaction the console
  // left behind nor lose its row.
  void ExpectOrdinaryWriteWorks(const std::string& tag) {
    SCOPED_TRACE(tag);
    auto db = DB.Get();
    {
      auto q = db->NewQuery();
      q.SetSQL("INSERT INTO audit_log (action, target) VALUES ('probe', :t)");
      q.Param("t", tag);
      EXPECT_NO_THROW(q.ExecSQL());
      EXPECT_NO_THROW(db->Commit());
    }
    EXPECT_EQ(RawText(file, "SELECT COUNT(*) FROM audit_log WHERE target = '" + tag + "'"), "1");
  }
};

}  // namespace

TEST(LogText, LikePatternAndUtf8Repair) {
  // Wildcards stay wildcards; only the escape character itself is escaped, where there is one.
  const TOVLikeSearch server = LikeSearch("message", "s", "50%_off!", dbPostgres);
  EXPECT_EQ(server.condition, "message LIKE :s ESCAPE '!'");
  EXPECT_EQ(server.pattern, "%50%_off!!%");
  EXPECT_EQ(LikeSearch("message", "s", "it's \\ fine", dbMariaDB).pattern, "%it's \\ fine%");
  const TOVLikeSearch sqlite = LikeSearch("message", "s", "50%_off!", dbSQLite);
  EXPECT_EQ(sqlite.condition, "message LIKE :s");
  EXPECT_EQ(sqlite.pattern, "%50%_off!%");
  EXPECT_EQ(ToValidUtf8("plain \xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"), "plain \xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80");
  const std::string r = "\xEF\xBF\xBD";
  EXPECT_EQ(ToValidUtf8("a\xFF" "b"), "a" + r + "b");
  EXPECT_EQ(ToValidUtf8("\xC0\xAF"), r + r);              // overlong
  EXPECT_EQ(ToValidUtf8("\xED\xA0\x80"), r + r + r);      // surrogate
  EXPECT_EQ(ToValidUtf8("\xF4\x90\x80\x80"), r + r + r + r);  // above U+10FFFF
  EXPECT_EQ(ToValidUtf8("x\xE2\x82"), "x" + r + r);       // cut short
  EXPECT_EQ(ToValidUtf8(std::string("a\0b", 3)), std::string("a\0b", 3));
}

TEST_F(LogRoutes, SessionListAndKick) {
  // Without a session manager: an empty list, and a kick still answers.
  Answer none = Call("GET", "/api/v1/sessions");
  ASSERT_EQ(none.status, 200) << none.body;
  EXPECT_EQ(none.json["data"], TJSON::array());
  EXPECT_EQ(Call("DELETE", "/api/v1/sessions/5").status, 200);

  SessionMgr.Publish(std::make_unique<TOVSessionManager>(5));
  const std::int64_t a = SessionMgr->AddSession(1, "telnet", "10.0.0.1");
  const std::int64_t b = SessionMgr->AddSession(2, "ssh", "10.0.0.2");
  const std::int64_t c = SessionMgr->AddSession(3, "ssh", "10.0.0.3");
  Answer list = Call("GET", "/api/v1/sessions");
  ASSERT_EQ(list.json["data"].size(), 3u);
  EXPECT_EQ(list.json["data"][1]["session_id"], b);
  EXPECT_EQ(list.json["data"][1]["protocol"], "ssh");

  // By id.
  EXPECT_EQ(Call("DELETE", "/api/v1/sessions/" + std::to_string(a)).status, 200);
  // By GUID, in upper case.
  std::string guid = SessionMgr->GetSessionByNode(2)->at("guid");
  for (auto& ch : guid) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  Answer byGuid = Call("DELETE", "/api/v1/sessions/" + guid);
  EXPECT_EQ(byGuid.status, 200) << byGuid.body;
  EXPECT_EQ(byGuid.json["data"], TJSON::object());
  list = Call("GET", "/api/v1/sessions");
  ASSERT_EQ(list.json["data"].size(), 1u);
  EXPECT_EQ(list.json["data"][0]["session_id"], c);
  EXPECT_EQ(RawText(file, "SELECT COUNT(*) FROM active_sessions"), "1");

  for (const char* bad : {"0", "-4", "abc", "00000000-0000-4000-8000-000000000000"}) {
    Answer r = Call("DELETE", std::string("/api/v1/sessions/") + bad);
    EXPECT_EQ(r.status, 400) << bad;
    EXPECT_EQ(ErrorMessage(r), "Invalid session ID") << bad;
  }
  EXPECT_EQ(SessionMgr->GetSessionCount(), 1u);
}

TEST_F(LogRoutes, ConsoleAnswers) {
  Answer created = Query("CREATE TABLE t (id INTEGER PRIMARY KEY, v TEXT, b BLOB, d REAL);");
  ASSERT_EQ(created.status, 200) << created.body;
  EXPECT_EQ(created.json["data"], TJSON::parse(R"({"affected":0})"));
  // Text with ':' and '?' inside literals runs as written; values come back as text, blobs as
  // hex and invalid UTF-8 repaired, so the answer is always valid JSON.
  Answer ins = Query("INSERT INTO t (v, b, d) VALUES ('10:30 ?', x'00ff10', 2.5), (CAST(x'61ff62' AS TEXT), NULL, NULL)");
  ASSERT_EQ(ins.status, 200) << ins.body;
  EXPECT_EQ(ins.json["data"]["affected"], 2);
  Answer sel = Query("SELECT v, b, d FROM t ORDER BY id");
  ASSERT_EQ(sel.status, 200) << sel.body;
  EXPECT_EQ(sel.json["data"]["count"], 2);
  EXPECT_EQ(sel.json["data"]["rows"][0], TJSON::parse(R"({"v":"10:30 ?","b":"\\x00ff10","d":"2.5"})"));
  EXPECT_EQ(sel.json["data"]["rows"][1]["v"], "a\xEF\xBF\xBD" "b");
  EXPECT_EQ(sel.json["data"]["rows"][1]["b"], nullptr);
  EXPECT_EQ(Query("PRAGMA table_info(t)").json["data"]["count"], 4);

  // A second statement is refused before anything runs.
  Answer two = Query("INSERT INTO t (v) VALUES ('one'); INSERT INTO t (v) VALUES ('two')");
  EXPECT_EQ(two.status, 400);
  EXPECT_EQ(ErrorMessage(two).rfind("SQL error: ", 0), 0u);
  EXPECT_EQ(RawText(file, "SELECT COUNT(*) FROM t"), "2");
  EXPECT_EQ(ErrorMessage(Call("POST", "/api/v1/admin/query", "{\"sql\": 5}")), "Missing sql field");
  EXPECT_EQ(Query(";").status, 400);
  // A failing write keeps nothing (the second row violates the primary key).
  EXPECT_EQ(Query("INSERT INTO t (id, v) VALUES (50, 'a'), (50, 'b')").status, 400);
  EXPECT_EQ(RawText(file, "SELECT COUNT(*) FROM t WHERE id = 50"), "0");
  ExpectOrdinaryWriteWorks("after-errors");
}

TEST_F(LogRoutes, ConsoleTransactionControlLeavesWriterUsable) {
  ASSERT_EQ(Query("CREATE TABLE t (v TEXT)").status, 200);
  // Each of these ends, opens or breaks a transaction; the next writer must not notice.
  // Every request is a transaction of its own: ending it from inside is fine, opening another
  // one inside it is an error, and a savepoint does not outlive its request.
  const std::vector<std::pair<const char*, int>> steps = {
      {"BEGIN", 400},      {"COMMIT", 200},     {"ROLLBACK", 200},       {"BEGIN IMMEDIATE", 400},
      {"END", 200},        {"SAVEPOINT sp", 200}, {"RELEASE sp", 400},   {"ROLLBACK TO sp", 400},
      {"SELECT * FROM nowhere", 400}};
  for (const auto& [stmt, status] : steps) {
    Answer a = Query(stmt);
    EXPECT_EQ(a.status, status) << stmt << ": " << a.body;
    if (status == 200) {
      EXPECT_EQ(a.json["data"], TJSON::parse(R"({"affected":0})")) << stmt;
    }
    ExpectOrdinaryWriteWorks(std::string("after ") + stmt);
  }
  // A row statement keeps nothing, even when it has an effect.
  Answer r = Query("SELECT 1");
  EXPECT_EQ(r.status, 200);
  ExpectOrdinaryWriteWorks("after-select");
  // Writes through the console are committed and visible to others.
  ASSERT_EQ(Query("INSERT INTO t (v) VALUES ('kept')").status, 200);
  EXPECT_EQ(RawText(file, "SELECT COUNT(*) FROM t WHERE v = 'kept'"), "1");
}

TEST_F(LogRoutes, WriteLogDefaultsAndFailure) {
  Answer ok = Call("POST", "/api/v1/logs", R"({"message": "x"})");
  ASSERT_EQ(ok.status, 200) << ok.body;
  EXPECT_EQ(ok.json["data"], TJSON::object());
  EXPECT_EQ(RawText(file, "SELECT level || '|' || source || '|' || category || '|' || details FROM system_logs "
                          "WHERE message = 'x'"),
            "info||general|");
  EXPECT_EQ(ErrorMessage(Call("POST", "/api/v1/logs", R"({"level": "warn"})")), "Missing message field");
  EXPECT_EQ(ErrorMessage(Call("POST", "/api/v1/logs", R"({"message": 7})")), "Missing message field");
  EXPECT_EQ(ErrorMessage(Call("POST", "/api/v1/logs", "")), "Invalid JSON body");
  {
    auto db = DB.Get();
    db->ExecSQL("DROP TABLE system_logs");
  }
  Answer bad = Call("POST", "/api/v1/logs", R"({"message": "lost"})");
  EXPECT_EQ(bad.status, 500);
  EXPECT_EQ(ErrorMessage(bad).rfind("Log write error: ", 0), 0u) << bad.body;
  EXPECT_GT(ErrorMessage(bad).size(), std::string("Log write error: ").size());
}

TEST_F(LogRoutes, BanListAndUnban) {
  // Without a blacklist the routes still answer, with nothing to list.
  EXPECT_EQ(Call("POST", "/api/v1/blacklist", R"({"ip_address": "192.0.2.1"})").status, 201);
  EXPECT_EQ(Call("GET", "/api/v1/blacklist").json["data"], TJSON::array());

  IPBlacklist.Publish(std::make_unique<TOVIPBlacklist>());
  DB->ExecSQL("INSERT INTO users (id, guid, username, password_hash, password_salt) VALUES (1, 'g1', 'sysop', 'h', 's')");
  Answer ban = Call("POST", "/api/v1/blacklist", R"({"ip_address": "192.0.2.9", "reason": "spam", "duration_minutes": 5})");
  ASSERT_EQ(ban.status, 201) << ban.body;
  EXPECT_EQ(ban.json["data"], TJSON::object());
  // A duration far beyond 32 bits is clamped, not wrapped into a negative (permanent) ban.
  ASSERT_EQ(Call("POST", "/api/v1/blacklist", R"({"ip_address": "192.0.2.10", "duration_minutes": 4294967297})").status,
            201);
  EXPECT_NE(RawText(file, "SELECT expires_at FROM ip_blacklist WHERE ip_address = '192.0.2.10'"), "<null>");
  EXPECT_TRUE(IPBlacklist->IsBanned("192.0.2.9"));

  Answer list = Call("GET", "/api/v1/blacklist");
  ASSERT_EQ(list.status, 200);
  ASSERT_EQ(list.json["data"].size(), 2u);
  EXPECT_EQ(list.json["data"][0]["banned_by_name"], "sysop");
  std::int64_t id = 0;
  for (const TJSON& e : list.json["data"])
    if (e["ip_address"] == "192.0.2.9") id = e["id"];
  ASSERT_GT(id, 0);

  EXPECT_EQ(ErrorMessage(Call("POST", "/api/v1/blacklist", R"({"reason": "x"})")), "IP address required");
  EXPECT_EQ(ErrorMessage(Call("POST", "/api/v1/blacklist", "[]")), "Invalid JSON body");
  Answer zero = Call("DELETE", "/api/v1/blacklist/0");
  EXPECT_EQ(zero.status, 400);
  EXPECT_EQ(ErrorMessage(zero), "Invalid blacklist entry ID");
  EXPECT_EQ(ErrorMessage(Call("DELETE", "/api/v1/blacklist/abc")), "Invalid blacklist entry ID");
  Answer unknown = Call("DELETE", "/api/v1/blacklist/999999");
  EXPECT_EQ(unknown.status, 404);
  EXPECT_EQ(ErrorMessage(unknown), "Entry not found");

  Answer unban = Call("DELETE", "/api/v1/blacklist/" + std::to_string(id));
  EXPECT_EQ(unban.status, 200) << unban.body;
  EXPECT_FALSE(IPBlacklist->IsBanned("192.0.2.9"));
  EXPECT_EQ(Call("GET", "/api/v1/blacklist").json["data"].size(), 1u);
}

TEST_F(LogRoutes, BanDurationIsNeverReadAsPermanentByMistake) {
  IPBlacklist.Publish(std::make_unique<TOVIPBlacklist>());
  auto expiry = [&](const std::string& ip) {
    return RawText(file,
                   "SELECT COALESCE(expires_at, 'permanent') FROM ip_blacklist WHERE ip_address = '" + ip + "'");
  };
  // Numbers of any size stay temporary bans.
  for (const auto& [ip, minutes] : std::vector<std::pair<std::string, std::string>>{
           {"192.0.2.20", "18446744073709551615"}, {"192.0.2.21", "1e300"}, {"192.0.2.22", "30.9"},
           {"192.0.2.27", "1e-300"}}) {
    const std::string body = R"({"ip_address": ")" + ip + R"(", "duration_minutes": )" + minutes + "}";
    Answer a = Call("POST", "/api/v1/blacklist", body);
    ASSERT_EQ(a.status, 201) << minutes << ": " << a.body;
    EXPECT_NE(expiry(ip), "permanent") << minutes;
  }
  // Absent, null or zero: permanent, as asked.
  for (const auto& [ip, member] : std::vector<std::pair<std::string, std::string>>{
           {"192.0.2.23", ""},
           {"192.0.2.24", R"(, "duration_minutes": null)"},
           {"192.0.2.25", R"(, "duration_minutes": 0)"}}) {
    const std::string body = R"({"ip_address": ")" + ip + "\"" + member + "}";
    ASSERT_EQ(Call("POST", "/api/v1/blacklist", body).status, 201) << member;
    EXPECT_EQ(expiry(ip), "permanent") << member;
  }
  // A duration or reason of another type is refused, not stored as a permanent ban or an
  // empty reason.
  for (const char* body : {R"({"ip_address": "192.0.2.26", "duration_minutes": "30"})",
                           R"({"ip_address": "192.0.2.26", "duration_minutes": true})",
                           R"({"ip_address": "192.0.2.26", "duration_minutes": [30]})",
                           R"({"ip_address": "192.0.2.26", "reason": 5})",
                           R"({"ip_address": "192.0.2.26", "reason": {"text": "x"}})"}) {
    Answer a = Call("POST", "/api/v1/blacklist", body);
    EXPECT_EQ(a.status, 400) << body;
    EXPECT_EQ(ErrorMessage(a), "Invalid JSON body") << body;
  }
  EXPECT_EQ(RawText(file, "SELECT COUNT(*) FROM ip_blacklist WHERE ip_address = '192.0.2.26'"), "0");
  // The address is still checked first.
  EXPECT_EQ(ErrorMessage(Call("POST", "/api/v1/blacklist", R"({"duration_minutes": "x"})")), "IP address required");
}

TEST_F(LogRoutes, BanByATokenWhoseAccountIsGone) {
  // The caller's token names user 1, which has no row: the ban is kept without a banning user.
  IPBlacklist.Publish(std::make_unique<TOVIPBlacklist>());
  Answer a = Call("POST", "/api/v1/blacklist", R"({"ip_address": "192.0.2.30", "reason": "orphan"})");
  ASSERT_EQ(a.status, 201) << a.body;
  EXPECT_EQ(RawText(file, "SELECT COALESCE(banned_by, 'null') FROM ip_blacklist WHERE ip_address = '192.0.2.30'"),
            "null");
  Answer list = Call("GET", "/api/v1/blacklist");
  ASSERT_EQ(list.json["data"].size(), 1u);
  EXPECT_EQ(list.json["data"][0]["banned_by_name"], "");
  EXPECT_EQ(list.json["data"][0]["reason"], "orphan");
}
