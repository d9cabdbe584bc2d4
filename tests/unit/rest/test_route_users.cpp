// Users, configuration, API keys and access control: the events they fire and the guarantees
// that need a failure or a race to show (the end-to-end tests cover the rest on every backend).
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ov_auth.h"
#include "ov_database.h"
#include "ov_event_bus.h"
#include "ov_log.h"
#include "ov_route_api.h"
#include "ov_router.h"
#include "route_test_util.h"
#include "test_util.h"

using namespace ov;

namespace {

using ovtest::Answer;
using ovtest::Keys;
using ovtest::RawText;

class AdminRoutes : public ovtest::SqliteDBTest {
 protected:
  TOVRouter router;
  std::mutex events_mu;
  std::vector<std::pair<std::string, TJSON>> events;

  void SetUp() override {
    TOVAuth::Init("users-secret", 3600);
    SqliteDBTest::SetUp();
    EventBus.Publish(std::make_unique<TOVEventBus>());
    TOVEventCallback cb;
    cb.invoke = [this](const std::string& type, const TJSON* data) {
      std::lock_guard<std::mutex> g(events_mu);
      events.emplace_back(type, data ? *data : TJSON());
    };
    EventBus->Subscribe("test", "*", cb);
    RegisterAPIRoutes(router, ApiRouteTable());
  }
  void TearDown() override {
    EventBus.Free();
    SqliteDBTest::TearDown();
  }

  // An account straight in the table; returns a bearer header for it.
  std::string Account(const std::string& name, bool admin, std::int64_t* id_out = nullptr) {
    const std::int64_t id = InsertUser(name, "guid-" + name, admin);
    if (id_out) *id_out = id;
    return "Bearer " + TOVAuth::CreateJWT(id, name, admin, 255, "", "");
  }

  Answer Call(const std::string& method, const std::string& path, const std::string& token,
              const std::string& body = {}) {
    TOVHttpRequest req = ovtest::ApiRequest(method, path, body);
    req.headers.emplace("Authorization", token);
    return ovtest::Route(router, req);
  }
};

}  // namespace

TEST_F(AdminRoutes, ChangesAreAnnouncedFromSystem) {
  const std::string admin = Account("sysop", true);
  Answer created = Call("POST", "/api/v1/users", admin, R"({"username": "ann", "password": "abcd"})");
  ASSERT_EQ(created.status, 201);
  const std::int64_t uid = created.json["data"]["id"];
  const std::string guid = created.json["data"]["guid"];
  ASSERT_EQ(Call("PUT", "/api/v1/users/" + std::to_string(uid), admin, R"({"email": "a@b"})").status, 200);
  ASSERT_EQ(Call("DELETE", "/api/v1/users/" + guid, admin).status, 200);
  ASSERT_EQ(Call("PUT", "/api/v1/config", admin, R"({"settings": {"bbs_name": "X"}})").status, 200);
  Answer key = Call("POST", "/api/v1/apikeys", admin, R"({"description": "node"})");
  ASSERT_EQ(key.status, 201);
  const std::int64_t key_id = key.json["data"]["id"];
  const std::string key_guid = RawText(file, "SELECT guid FROM api_keys WHERE id = " + std::to_string(key_id));
  ASSERT_EQ(Call("DELETE", "/api/v1/apikeys/" + std::to_string(key_id), admin).status, 200);
  // A refused change announces nothing.
  ASSERT_EQ(Call("DELETE", "/api/v1/users/1", admin).status, 400);

  std::lock_guard<std::mutex> g(events_mu);
  ASSERT_EQ(events.size(), 6u);
  const std::string prefix = key.json["data"]["api_key"].get<std::string>().substr(0, 10) + "...";
  const std::vector<std::pair<std::string, TJSON>> expected = {
      {"user.create", {{"user_id", uid}, {"username", "ann"}, {"user_guid", guid}, {"created_by", "sysop"}}},
      {"user.updated", {{"user_id", uid}, {"user_guid", guid}, {"updated_by", "sysop"}}},
      {"user.deleted", {{"user_id", uid}, {"user_guid", guid}, {"deleted_by", "sysop"}}},
      {"config.changed", {{"changed_by", "sysop"}}},
      {"apikey.created", {{"key_prefix", prefix}, {"description", "node"}, {"created_by", "sysop"}}},
      {"apikey.revoked", {{"key_id", key_id}, {"key_guid", key_guid}, {"revoked_by", "sysop"}}},
  };
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(events[i].first, expected[i].first);
    EXPECT_EQ(JsonCompact(events[i].second), JsonCompact(expected[i].second)) << expected[i].first;
  }
}

TEST_F(AdminRoutes, TwoAdministratorsDemotingEachOtherLeaveOne) {
  std::int64_t a_id = 0, b_id = 0;
  const std::string a = Account("alpha", true, &a_id);
  const std::string b = Account("beta", true, &b_id);
  for (int round = 0; round < 15; ++round) {
    std::atomic<int> ok{0}, refused{0};
    auto demote = [&](const std::string& token, std::int64_t target) {
      Answer r = Call("PUT", "/api/v1/users/" + std::to_string(target), token, R"({"is_admin": false})");
      if (r.status == 200) ++ok;
      if (r.status == 400 && r.json["error"]["message"] == "Cannot remove the last administrator") ++refused;
    };
    std::thread t1(demote, a, b_id), t2(demote, b, a_id);
    t1.join();
    t2.join();
    ASSERT_EQ(ok.load(), 1) << round;
    ASSERT_EQ(refused.load(), 1) << round;
    ASSERT_EQ(RawText(file, "SELECT COUNT(*) FROM users WHERE is_admin = 1"), "1");
    auto db = DB.Get();
    db->ExecSQL("UPDATE users SET is_admin = 1");
  }
}

TEST_F(AdminRoutes, GroupAndItsFlagsAreKeptTogetherOrNotAtAll) {
  const std::string admin = Account("sysop", true);
  {
    auto db = DB.Get();
    db->ExecSQL(
        "CREATE TRIGGER refuse_flag BEFORE INSERT ON acl_group_flags WHEN NEW.flag_name = 'BAD' "
        "BEGIN SELECT RAISE(ABORT, 'refused'); END");
  }
  // A failing flag takes the new group with it.
  EXPECT_THROW(Call("POST", "/api/v1/acl/groups", admin, R"({"name": "Atomic", "flags": ["GOOD", "BAD"]})"),
               std::exception);
  EXPECT_EQ(RawText(file, "SELECT COUNT(*) FROM acl_groups WHERE name = 'Atomic'"), "0");

  Answer made = Call("POST", "/api/v1/acl/groups", admin, R"({"name": "Kept", "description": "d", "flags": ["GOOD"]})");
  ASSERT_EQ(made.status, 201);
  const std::int64_t gid = made.json["data"]["id"];
  EXPECT_EQ(Keys(made.json["data"]), (std::vector<std::string>{"id", "name"}));
  EXPECT_EQ(RawText(file, "SELECT group_id FROM acl_group_flags WHERE flag_name = 'GOOD'"), std::to_string(gid));
  // An update whose flags fail keeps the old name and description too.
  EXPECT_THROW(Call("PUT", "/api/v1/acl/groups/" + std::to_string(gid), admin,
                    R"({"name": "Renamed", "description": "new", "flags": ["BAD"]})"),
               std::exception);
  EXPECT_EQ(RawText(file, "SELECT name || '/' || description FROM acl_groups WHERE id = " + std::to_string(gid)),
            "Kept/d");
  EXPECT_EQ(RawText(file, "SELECT COUNT(*) FROM acl_group_flags WHERE group_id = " + std::to_string(gid)), "1");
}

TEST_F(AdminRoutes, AQuestionMarkInTheIdIsNotCutOff) {
  // "/users/<id>%3Fx" arrives decoded as "/users/<id>?x": an invalid id, never user <id>.
  const std::string admin = Account("sysop", true);
  std::int64_t victim = 0;
  Account("victim", false, &victim);
  const std::string path = "/api/v1/users/" + std::to_string(victim) + "?x";
  for (const char* method : {"GET", "PUT", "DELETE"}) {
    Answer a = Call(method, path, admin, "{}");
    EXPECT_EQ(a.status, 400) << method;
    EXPECT_EQ(ovtest::ErrorMessage(a), "Invalid user ID") << method;
  }
  EXPECT_EQ(RawText(file, "SELECT COUNT(*) FROM users WHERE id = " + std::to_string(victim)), "1");
  Answer flags = Call("PUT", "/api/v1/users/" + std::to_string(victim) + "?/flags", admin, R"({"flags": ["X"]})");
  EXPECT_EQ(flags.status, 400);
  EXPECT_EQ(RawText(file, "SELECT COUNT(*) FROM user_flags"), "0");
  {
    auto db = DB.Get();
    db->ExecSQL("INSERT INTO acl_flag_definitions (flag_name, registered_by) VALUES ('A', 'sysop')");
  }
  EXPECT_EQ(Call("DELETE", "/api/v1/acl/flags/A?B", admin).status, 404);
  EXPECT_EQ(RawText(file, "SELECT COUNT(*) FROM acl_flag_definitions WHERE flag_name = 'A'"), "1");
}

TEST_F(AdminRoutes, AFailedAuditRowLeavesTheAnswerAndIsLogged) {
  const std::string admin = Account("sysop", true);
  std::mutex mu;
  std::vector<std::string> warnings;
  Log.Publish(std::make_unique<TOVLog>("", false));
  Log->SetDBCallback([&](const std::string& level, const std::string&, const std::string&, const std::string& msg) {
    std::lock_guard<std::mutex> g(mu);
    if (level == "warning") warnings.push_back(msg);
  });
  {
    auto db = DB.Get();
    db->ExecSQL("DROP TABLE audit_log");
  }
  Answer a = Call("POST", "/api/v1/acl/flags", admin, R"({"flag_name": "door_extra"})");
  Log.Free();
  EXPECT_EQ(a.status, 201);
  EXPECT_EQ(JsonCompact(a.json), R"({"success":true,"data":{"flag_name":"DOOR_EXTRA","message":"Flag registered"}})");
  EXPECT_EQ(RawText(file, "SELECT registered_by FROM acl_flag_definitions WHERE flag_name = 'DOOR_EXTRA'"), "sysop");
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0].rfind("Failed to write audit log: ", 0), 0u) << warnings[0];
}

TEST_F(AdminRoutes, ADeletedAccountTakesItsAPIKeysWithIt) {
  const std::string admin = Account("sysop", true);
  Answer made = Call("POST", "/api/v1/users", admin, R"({"username": "owner", "password": "abcd"})");
  ASSERT_EQ(made.status, 201);
  const std::int64_t owner = made.json["data"]["id"];
  Answer owned = Call("POST", "/api/v1/apikeys", admin, R"({"user_id": )" + std::to_string(owner) + "}");
  Answer ownerless = Call("POST", "/api/v1/apikeys", admin, R"({"user_id": 0})");
  ASSERT_EQ(owned.status, 201);
  ASSERT_EQ(ownerless.status, 201);
  const std::string owned_key = owned.json["data"]["api_key"];
  const std::string ownerless_key = ownerless.json["data"]["api_key"];
  TOVAuthUser u;
  ASSERT_TRUE(ValidateAPIKey(owned_key, u));
  EXPECT_EQ(u.UserID, owner);

  ASSERT_EQ(Call("DELETE", "/api/v1/users/" + std::to_string(owner), admin).status, 200);
  // Without its account the key no longer authenticates, not even as an owner-less key.
  EXPECT_FALSE(ValidateAPIKey(owned_key, u));
  EXPECT_EQ(RawText(file, "SELECT COALESCE(user_id, 'null') || '/' || is_active FROM api_keys WHERE id = " +
                              std::to_string(owned.json["data"]["id"].get<std::int64_t>())),
            "null/0");
  // A key that never had an owner is not touched.
  EXPECT_TRUE(ValidateAPIKey(ownerless_key, u));
  EXPECT_EQ(u.UserID, 0);
}
