// Hook registry of the portable SQL library.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "dbapi_hooks.h"

using namespace ov;

namespace {

TEST(DbaHooks, NoHandlersFireWithoutEffect) {
  TDBAHookRegistry r;
  bool cancel = false, handled = false;
  r.FireBeforeQuery("SELECT 1", TJSON(), cancel);
  r.FireAfterQuery("SELECT 1", TJSON(), 1, 2);
  r.FireError("SELECT 1", "x", handled);
  r.FireConnect("v");
  r.FireDisconnect("requested");
  r.FireSchemaChange(dsckCreateTable, "t", "table created", "CREATE TABLE t");
  r.LogWarning("w");
  EXPECT_FALSE(cancel);
  EXPECT_FALSE(handled);
  EXPECT_TRUE(r.QueryHooksEmpty());
}

TEST(DbaHooks, SameIdentityIsListedOnceAndRemovedOnce) {
  TDBAHookRegistry r;
  int calls = 0;
  const TDBAHookId id{&calls, 1};
  r.AddOnLog(id, [&](TDBALogLevel, const std::string&) { ++calls; });
  r.AddOnLog(id, [&](TDBALogLevel, const std::string&) { calls += 100; });  // equal handler: ignored
  r.LogInfo("x");
  EXPECT_EQ(calls, 1);
  r.RemoveOnLog(id);
  r.LogInfo("x");
  EXPECT_EQ(calls, 1);
  r.RemoveOnLog(id);  // no match: nothing changes
  // Same owner, other tag: a different handler.
  r.AddOnLog(TDBAHookId{&calls, 1}, [&](TDBALogLevel, const std::string&) { ++calls; });
  r.AddOnLog(TDBAHookId{&calls, 2}, [&](TDBALogLevel, const std::string&) { ++calls; });
  r.LogInfo("x");
  EXPECT_EQ(calls, 3);
}

TEST(DbaHooks, GeneratedHandlesAndEmptyHandlers) {
  TDBAHookRegistry r;
  std::vector<int> order;
  const TDBAHookId a = r.AddOnConnect([&](const std::string&) { order.push_back(1); });
  const TDBAHookId b = r.AddOnConnect([&](const std::string&) { order.push_back(2); });
  const TDBAHookId c = r.AddOnConnect([&](const std::string&) { order.push_back(3); });
  EXPECT_FALSE(a.Empty());
  EXPECT_FALSE(a == b);
  EXPECT_TRUE(r.AddOnConnect(TDBAConnectProc()).Empty());  // a handler without code is ignored
  r.AddOnConnect(TDBAHookId{&order, 9}, TDBAConnectProc());
  r.FireConnect("v");
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
  r.RemoveOnConnect(b);  // later ones move down, order kept
  order.clear();
  r.FireConnect("v");
  EXPECT_EQ(order, (std::vector<int>{1, 3}));
  (void)c;
}

TEST(DbaHooks, CancelStopsTheBeforeQueryChain) {
  TDBAHookRegistry r;
  int second = 0;
  std::string seen_sql;
  TJSON seen_params;
  r.AddOnBeforeQuery([&](std::string_view sql, const TJSON& params, bool& cancel) {
    seen_sql = sql;
    seen_params = params;
    cancel = true;
  });
  r.AddOnBeforeQuery([&](std::string_view, const TJSON&, bool&) { ++second; });
  bool cancel = false;
  r.FireBeforeQuery("DELETE FROM t", TJSON::array({1}), cancel);
  EXPECT_TRUE(cancel);
  EXPECT_EQ(second, 0);
  EXPECT_EQ(seen_sql, "DELETE FROM t");
  EXPECT_EQ(seen_params, TJSON::array({1}));
  EXPECT_FALSE(r.QueryHooksEmpty());
}

TEST(DbaHooks, HandledStopsTheErrorChain) {
  TDBAHookRegistry r;
  std::vector<std::string> seen;
  r.AddOnError([&](std::string_view, const std::string& err, bool&) { seen.push_back("1:" + err); });
  r.AddOnError([&](std::string_view, const std::string& err, bool& handled) {
    seen.push_back("2:" + err);
    handled = true;
  });
  r.AddOnError([&](std::string_view, const std::string&, bool&) { seen.push_back("3"); });
  bool handled = false;
  r.FireError("SELECT", "boom", handled);
  EXPECT_TRUE(handled);
  EXPECT_EQ(seen, (std::vector<std::string>{"1:boom", "2:boom"}));
}

TEST(DbaHooks, EveryHandlerGetsTheArguments) {
  TDBAHookRegistry r;
  std::vector<std::string> seen;
  r.AddOnAfterQuery([&](std::string_view sql, const TJSON&, std::int64_t ms, std::int64_t rows) {
    seen.push_back(std::string(sql) + "/" + std::to_string(ms) + "/" + std::to_string(rows));
  });
  r.AddOnDisconnect([&](const std::string& why) { seen.push_back("dis:" + why); });
  r.AddOnSchemaChange([&](TDBASchemaChangeKind k, const std::string& t, const std::string& d, const std::string& s) {
    seen.push_back(std::to_string(k) + ":" + t + ":" + d + ":" + s);
  });
  r.AddOnLog([&](TDBALogLevel l, const std::string& m) { seen.push_back("log" + std::to_string(l) + ":" + m); });
  r.FireAfterQuery("UPDATE t", TJSON(), 12, 5000000000);
  r.FireDisconnect("requested");
  r.FireSchemaChange(dsckAddColumn, "t", "added column c", "ALTER TABLE");
  r.LogDebug("d");
  r.LogInfo("i");
  r.LogWarning("w");
  r.LogError("e");
  EXPECT_EQ(seen, (std::vector<std::string>{"UPDATE t/12/5000000000", "dis:requested", "1:t:added column c:ALTER TABLE",
                                            "log0:d", "log1:i", "log2:w", "log3:e"}));
}

TEST(DbaHooks, ChangesDuringAFireTakeEffectNextTime) {
  TDBAHookRegistry r;
  int added_calls = 0;
  TDBAHookId self;
  self = r.AddOnConnect([&](const std::string&) {
    r.AddOnConnect([&](const std::string&) { ++added_calls; });  // a handler may add handlers
    r.RemoveOnConnect(self);                                     // ... and remove itself
  });
  r.FireConnect("a");
  EXPECT_EQ(added_calls, 0);
  r.FireConnect("b");
  EXPECT_EQ(added_calls, 1);
}

TEST(DbaHooks, HandlerExceptionsReachTheFiringCode) {
  TDBAHookRegistry r;
  int later = 0;
  r.AddOnLog([](TDBALogLevel, const std::string&) { throw std::runtime_error("handler failed"); });
  r.AddOnLog([&](TDBALogLevel, const std::string&) { ++later; });
  EXPECT_THROW(r.LogWarning("x"), std::runtime_error);
  EXPECT_EQ(later, 0);
}

}  // namespace
