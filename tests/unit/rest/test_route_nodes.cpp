#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <string>

#include "ov_guid.h"
#include "ov_route_node_push.h"
#include "ov_route_nodes.h"
#include "ov_ws_server.h"

using namespace ov;
using namespace std::chrono_literals;
using Redeem = TOVPluginDownloadTokens::Redeem;

// Download tokens on an injected clock: one download each, 300 seconds of life, and entries
// dropped only an hour after they were consumed or expired.
TEST(PluginDownloadTokens, OneDownloadWithinLifetimeAndPruning) {
  TOVMonoTime now{};
  TOVPluginDownloadTokens tokens([&] { return now; });
  const std::string a = TOVGuid::Generate(), b = TOVGuid::Generate();
  tokens.Add(a, "staged/a.ovp");
  tokens.Add(b, "staged/b.ovp");

  struct Step {
    std::chrono::seconds at;
    std::string token;
    Redeem expect;
  };
  const Step steps[] = {
      {0s, "", Redeem::Unknown},
      {10s, TOVGuid::Generate(), Redeem::Unknown},
      {300s, a, Redeem::Ok},          // exactly 300 s is still inside the lifetime
      {300s, a, Redeem::Consumed},
      {301s, b, Redeem::Expired},
      {301s, b, Redeem::Expired},     // an expired token stays expired
      {3000s, a, Redeem::Consumed},
  };
  for (const Step& s : steps) {
    now = TOVMonoTime{} + s.at;
    std::string path;
    EXPECT_EQ(tokens.Take(s.token, path), s.expect) << s.token << " at " << s.at.count();
    if (s.expect == Redeem::Ok) {
      EXPECT_EQ(path, "staged/a.ovp");
    } else {
      EXPECT_EQ(path, "");
    }
  }
  // Letter case matters: tokens are compared exactly.
  const std::string c = "ABCDEF00-0000-4000-8000-000000000000";
  tokens.Add(c, "staged/c.ovp");
  std::string path;
  EXPECT_EQ(tokens.Take("abcdef00-0000-4000-8000-000000000000", path), Redeem::Unknown);
  EXPECT_EQ(tokens.Size(), 3u);  // adding at 3000 s dropped nothing yet

  // An hour after a was consumed (300 s) and b expired (300 s), the next Add drops both; c
  // (issued at 3000 s, expired at 3300 s) is kept until 6900 s.
  now = TOVMonoTime{} + 3901s;
  tokens.Add(TOVGuid::Generate(), "staged/d.ovp");
  EXPECT_EQ(tokens.Size(), 2u);
  EXPECT_EQ(tokens.Take(a, path), Redeem::Unknown);
  EXPECT_EQ(tokens.Take(b, path), Redeem::Unknown);
  EXPECT_EQ(tokens.Take(c, path), Redeem::Expired);
}

// A request to a node leaves no pending entry behind on any exit, so its id could be
// registered again at once.
TEST(NodeRequest, PendingEntryRemovedOnEveryExit) {
  TOVWSServer hub("127.0.0.1", 0, 30, false, "", "", "tls1.2");
  std::string push_id, command_id, thrown_id;
  {
    TOVWSRequest push(hub, "cmd_");
    TOVWSRequest command(hub);
    push_id = push.Id();
    command_id = command.Id();
    EXPECT_EQ(push_id.rfind("cmd_", 0), 0u);
    EXPECT_TRUE(TOVGuid::IsValid(push_id.substr(4)));
    EXPECT_TRUE(TOVGuid::IsValid(command_id));
    EXPECT_THROW(hub.CreatePendingResult(push_id), std::runtime_error);  // still registered
    EXPECT_FALSE(command.Wait(1));  // nobody answers: the time-out, then the entry is gone
  }
  EXPECT_THROW(
      {
        TOVWSRequest r(hub);
        thrown_id = r.Id();
        throw std::runtime_error("send failed");
      },
      std::runtime_error);
  for (const std::string& id : {push_id, command_id, thrown_id}) {
    EXPECT_NO_THROW(hub.CreatePendingResult(id)) << id;
    hub.WaitForResult(id, 0);
  }
}
