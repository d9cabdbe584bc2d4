#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ov_database.h"
#include "ov_session_manager.h"
#include "test_util.h"

using namespace ov;

namespace {

using ovtest::Keys;
using ovtest::RawText;

class SessionManagerDB : public ovtest::SqliteDBTest {
 protected:
  std::int64_t AddUser(const std::string& name) { return InsertUser(name, "guid-" + name); }
};

}  // namespace

TEST_F(SessionManagerDB, AllocateNodeLowestFreeWithinLimit) {
  TOVSessionManager sm(3);
  EXPECT_EQ(sm.MaxNodes(), 3);
  EXPECT_EQ(sm.AllocateNode(), 1);  // empty
  std::int64_t s1 = sm.AddSession(1, "telnet", "10.0.0.1");
  sm.AddSession(3, "ssh", "10.0.0.3");
  EXPECT_EQ(sm.AllocateNode(), 2);
  EXPECT_EQ(sm.AllocateNode(), 2);  // nothing is reserved
  sm.AddSession(2, "telnet", "10.0.0.2");
  EXPECT_EQ(sm.AllocateNode(), -1);  // all taken
  sm.RemoveSession(s1);
  EXPECT_EQ(sm.AllocateNode(), 1);

  // Numbers outside 1..MaxNodes occupy nothing.
  TOVSessionManager other(3);
  other.AddSession(7, "telnet", "a");
  other.AddSession(0, "telnet", "b");
  other.AddSession(-2, "telnet", "c");
  other.AddSession(1, "telnet", "d");
  EXPECT_EQ(other.AllocateNode(), 2);
  other.AddSession(1, "telnet", "dup");  // a second session on node 1 changes nothing
  other.AddSession(2, "telnet", "e");
  EXPECT_EQ(other.AllocateNode(), 3);

  EXPECT_EQ(TOVSessionManager(0).AllocateNode(), -1);
  EXPECT_EQ(TOVSessionManager(-5).AllocateNode(), -1);
  // A huge limit costs nothing beyond the sessions themselves.
  EXPECT_EQ(TOVSessionManager(std::numeric_limits<std::int32_t>::max()).AllocateNode(), 1);
}

TEST_F(SessionManagerDB, AddSessionMirrorsObjectIntoRow) {
  TOVSessionManager sm(10);
  const std::int64_t id = sm.AddSession(4, "telnet", "192.0.2.7");
  ASSERT_GE(id, 1);
  TJSON all = sm.GetAllSessions();
  ASSERT_EQ(all.size(), 1u);
  const TJSON& s = all[0];
  EXPECT_EQ(Keys(s), (std::vector<std::string>{"node", "protocol", "ip_address", "username", "user_id", "guid",
                                               "connected_at", "last_activity", "session_id"}));
  EXPECT_EQ(s["node"], 4);
  EXPECT_EQ(s["protocol"], "telnet");
  EXPECT_EQ(s["ip_address"], "192.0.2.7");
  EXPECT_EQ(s["username"], "");
  EXPECT_EQ(s["user_id"], 0);
  EXPECT_EQ(s["session_id"], id);
  EXPECT_EQ(s["connected_at"], s["last_activity"]);
  EXPECT_EQ(s["connected_at"].get<std::string>().size(), 19u);  // yyyy-mm-dd hh:nn:ss
  const std::string guid = s["guid"];
  EXPECT_EQ(guid.size(), 36u);

  const std::string where = " FROM active_sessions WHERE id = " + std::to_string(id);
  EXPECT_EQ(RawText(file, "SELECT guid" + where), guid);
  EXPECT_EQ(RawText(file, "SELECT node || '|' || protocol || '|' || ip_address || '|' || username" + where),
            "4|telnet|192.0.2.7|");
  EXPECT_EQ(RawText(file, "SELECT user_id" + where), "<null>");
  EXPECT_EQ(sm.GetSessionCount(), 1u);
}

TEST_F(SessionManagerDB, UpdateRemoveAndCopies) {
  TOVSessionManager sm(10);
  const std::int64_t uid = AddUser("ann");
  const std::int64_t a = sm.AddSession(1, "telnet", "10.0.0.1");
  const std::int64_t b = sm.AddSession(2, "ssh", "10.0.0.2");

  // Update: user_id and username move to the end, in that order; the row follows.
  sm.UpdateSession(b, uid, "ann");
  std::optional<TJSON> sb = sm.GetSessionByNode(2);
  ASSERT_TRUE(sb);
  EXPECT_EQ(Keys(*sb), (std::vector<std::string>{"node", "protocol", "ip_address", "guid", "connected_at",
                                                 "last_activity", "session_id", "user_id", "username"}));
  EXPECT_EQ((*sb)["user_id"], uid);
  EXPECT_EQ((*sb)["username"], "ann");
  EXPECT_EQ(RawText(file, "SELECT user_id || ':' || username FROM active_sessions WHERE id = " + std::to_string(b)),
            std::to_string(uid) + ":ann");
  EXPECT_NO_THROW(sm.UpdateActivity(b));
  EXPECT_NO_THROW(sm.UpdateSession(9999, 0, "nobody"));  // no object, no row: nothing happens

  // Copies: changing them does not reach the list.
  (*sb)["username"] = "changed";
  TJSON all = sm.GetAllSessions();
  all.clear();
  EXPECT_EQ((*sm.GetSessionByNode(2))["username"], "ann");
  EXPECT_EQ(sm.GetSessionCount(), 2u);
  EXPECT_FALSE(sm.GetSessionByNode(7));

  // The last object on a node is the one returned.
  const std::int64_t c = sm.AddSession(1, "rlogin", "10.0.0.3");
  EXPECT_EQ((*sm.GetSessionByNode(1))["session_id"], c);

  sm.RemoveSession(a);
  EXPECT_EQ(sm.GetSessionCount(), 2u);
  EXPECT_EQ(RawText(file, "SELECT COUNT(*) FROM active_sessions WHERE id = " + std::to_string(a)), "0");
  EXPECT_EQ((*sm.GetSessionByNode(1))["session_id"], c);

  // An id the list does not know still deletes its row.
  {
    auto db = DB.Get();
    db->ExecSQL("INSERT INTO active_sessions (id, guid, node) VALUES (500, 'row-only', 9)");
  }
  sm.RemoveSession(500);
  EXPECT_EQ(RawText(file, "SELECT COUNT(*) FROM active_sessions WHERE id = 500"), "0");
  EXPECT_EQ(sm.GetSessionCount(), 2u);

  sm.ClearAll();
  EXPECT_EQ(sm.GetSessionCount(), 0u);
  EXPECT_EQ(RawText(file, "SELECT COUNT(*) FROM active_sessions"), "0");
  EXPECT_FALSE(TOVSessionManager(3).GetSessionByNode(1));  // empty list
}

TEST_F(SessionManagerDB, FailedInsertLeavesNothingBehind) {
  TOVSessionManager sm(2);
  sm.AddSession(1, "telnet", "a");
  {
    auto db = DB.Get();
    db->ExecSQL("DROP TABLE active_sessions");
  }
  EXPECT_ANY_THROW(sm.AddSession(2, "telnet", "b"));
  // No ghost session holds node 2.
  EXPECT_EQ(sm.GetSessionCount(), 1u);
  EXPECT_EQ(sm.AllocateNode(), 2);
  // The write connection is usable afterwards; ClearAll swallows the missing table.
  EXPECT_NO_THROW(sm.ClearAll());
  EXPECT_EQ(sm.GetSessionCount(), 0u);
  auto db = DB.Get();
  EXPECT_NO_THROW(db->ExecSQL("INSERT INTO audit_log (action) VALUES ('after')"));
}

TEST_F(SessionManagerDB, SessionIdsMatchTheirRowsUnderConcurrentWriters) {
  TOVSessionManager sm(1000);
  constexpr int kThreads = 4, kPerThread = 25;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        sm.AddSession(t * kPerThread + i + 1, "telnet", "10.1.0." + std::to_string(t));
        // Other inserts on the same write connection in between.
        if (auto db = DB.Get()) db->WriteLog("info", "test", "general", "noise");
      }
    });
  }
  for (auto& th : threads) th.join();
  TJSON all = sm.GetAllSessions();
  ASSERT_EQ(all.size(), static_cast<std::size_t>(kThreads * kPerThread));
  std::set<std::int64_t> ids;
  for (const TJSON& s : all) {
    const std::int64_t id = s["session_id"];
    ids.insert(id);
    EXPECT_EQ(RawText(file, "SELECT guid FROM active_sessions WHERE id = " + std::to_string(id)),
              s["guid"].get<std::string>());
  }
  EXPECT_EQ(ids.size(), all.size());
}

TEST(SessionManagerService, StartupAndShutdownSteps) {
  ASSERT_FALSE(SessionMgr.Exists());
  StartupSessionManager();  // no configuration: the default limit
  ASSERT_TRUE(SessionMgr.Exists());
  EXPECT_EQ(SessionMgr->MaxNodes(), 10);
  std::vector<std::string> steps;
  ShutdownSessionManager([&](const std::string& s) { steps.push_back(s); });
  EXPECT_EQ(steps, std::vector<std::string>{"SessionMgr.Free"});
  EXPECT_FALSE(SessionMgr.Exists());
  ShutdownSessionManager([&](const std::string& s) { steps.push_back(s); });  // absent: no step
  EXPECT_EQ(steps.size(), 1u);
}
