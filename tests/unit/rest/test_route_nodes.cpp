#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "ov_guid.h"
#include "ov_route_node_push.h"
#include "ov_route_nodes.h"
#include "ov_ws_server.h"
#include "route_test_util.h"
#include "test_util.h"
#include "ws_test_client.h"

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
    EXPECT_FALSE(command.Wait(1ms));  // nobody answers: the time-out, then the entry is gone
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

namespace node_route_test {

// The hub published as the server's, with one node connected on its port.
class NodeWaitsTest : public ovtest::SqliteDBTest {
 protected:
  void SetUp() override {
    SqliteDBTest::SetUp();
    auto hub = std::make_unique<TOVWSServer>("127.0.0.1", 0, 30, false, "", "", "tls1.2");
    hub->ValidateClientFn = [](const std::string& key) { return key == "node-key"; };
    hub->Start();
    const int port = hub->Port();
    WSServer.Publish(std::move(hub));
    ASSERT_NE(node.Connect(port, "X-API-Key: node-key\r\n").find("101"), std::string::npos);
    const std::optional<TJSON> welcome = node.Next("welcome", 30000);
    ASSERT_TRUE(welcome);
    node_id = std::to_string(JInt(*welcome, "client_id"));
  }
  void TearDown() override {
    node.Close();
    WSServer.Free();
    SqliteDBTest::TearDown();
  }

  // Runs a handler as the route table would for an administrator's POST.
  ovtest::Answer Run(const std::function<void(TOVApiRequest&)>& handler, const std::string& path,
                     const std::string& body, std::vector<TOVUploadedFile> files = {}) {
    TOVHttpRequest req = ovtest::ApiRequest("POST", path, body);
    req.files = std::move(files);
    TOVHttpResponse resp;
    TOVApiRequest c{req, resp, {}};
    c.user.Username = "sysop";
    c.user.IsAdmin = true;
    handler(c);
    return {resp.status, resp.body, ParseJson(resp.body).value_or(TJSON())};
  }

  ovtest::WsClient node;
  std::string node_id;
};

// Each request waits the time its kind is given, then answers 504 and leaves nothing behind:
// no staged package, no audit row.  The node's replies that come after that are dropped, and
// the next command gets its own reply.
TEST_F(NodeWaitsTest, EachRequestWaitsItsOwnTimeThenGivesUp) {
  using namespace std::chrono;
  const TOVNodeWaits waits{50ms, 200ms, 400ms};
  ovtest::TempDir dir;
  const std::string staging = dir / "staging";
  ovtest::WriteText(dir / "upload.tmp", "package bytes");
  ovtest::RawExec(file, "INSERT INTO plugin_updates (plugin_name, latest_version, download_url, target) "
                        "VALUES ('door', '1.2', 'https://registry.example/door.ovp', 'client')");
  const std::string command_path = "/api/v1/nodes/command/" + node_id;
  const std::string push_timeout = "Client did not respond in time (plugin may still be installing)";

  struct Case {
    const char* what;
    std::function<ovtest::Answer()> call;
    milliseconds wait;
    std::string message;
  };
  const Case cases[] = {
      {"config_reload",
       [&] { return Run([&](TOVApiRequest& c) { HandleNodeCommand(c, waits); }, command_path,
                        R"({"command": "config_reload"})"); },
       waits.command, kMsgClientTimeout},
      {"plugin_uninstall",
       [&] { return Run([&](TOVApiRequest& c) { HandleNodeCommand(c, waits); }, command_path,
                        R"({"command": "plugin_uninstall", "name": "chat"})"); },
       waits.uninstall, kMsgClientTimeout},
      {"plugin_install",
       [&] { return Run([&](TOVApiRequest& c) { HandleNodePluginUpload(c, waits, staging); },
                        "/api/v1/nodes/plugins/upload/" + node_id, "", {{"f", "p.ovp", dir / "upload.tmp", 13}}); },
       waits.push, push_timeout},
      {"plugin_install",
       [&] { return Run([&](TOVApiRequest& c) { HandleNodePluginInstall(c, waits); },
                        "/api/v1/nodes/plugins/install/" + node_id, R"({"name": "door"})"); },
       waits.push, push_timeout},
  };
  std::vector<std::string> urls;
  for (const Case& k : cases) {
    const auto t0 = steady_clock::now();
    const ovtest::Answer a = k.call();
    EXPECT_GE(steady_clock::now() - t0, k.wait) << k.what;
    EXPECT_EQ(a.status, 504) << k.what << " " << a.body;
    EXPECT_EQ(ovtest::ErrorMessage(a), k.message) << k.what;
    const std::optional<TJSON> msg = node.Next(k.what, 30000);
    ASSERT_TRUE(msg) << k.what;
    urls.push_back(JStr(*msg, "download_url"));
    node.SendJSON({{"type", "command_result"}, {"request_id", JStr(*msg, "request_id")}, {"success", true}});
  }
  EXPECT_TRUE(std::filesystem::is_empty(staging));
  EXPECT_EQ(ovtest::RawText(file, "SELECT COUNT(*) FROM audit_log"), "0");
  // The upload's token is unused, and its package is gone.
  ASSERT_EQ(urls[2].rfind("/nodes/plugins/download/", 0), 0u) << urls[2];
  TOVHttpRequest get = ovtest::ApiRequest("GET", "/api/v1" + urls[2]);
  TOVHttpResponse got;
  TOVApiRequest c{get, got, {}};
  HandleNodePluginDownload(c);
  EXPECT_EQ(ovtest::ErrorMessage({got.status, got.body, ParseJson(got.body).value_or(TJSON())}),
            "Staged file not found");

  // A node that answers: its reply, not one of the late ones, is the answer.
  std::thread answering([&] {
    if (std::optional<TJSON> msg = node.Next("get_plugins", 30000))
      node.SendJSON({{"type", "command_result"}, {"request_id", JStr(*msg, "request_id")}, {"result", "fresh"}});
  });
  const ovtest::Answer a = Run([&](TOVApiRequest& r) { HandleNodeCommand(r, TOVNodeWaits{60s, 60s, 60s}); },
                               command_path, R"({"command": "get_plugins"})");
  answering.join();
  EXPECT_EQ(a.status, 200) << a.body;
  EXPECT_EQ(a.json["data"]["result"], "fresh");
}

}  // namespace node_route_test
