// The hub over loopback: authentication on its own port, the client table, the message
// protocol, pending results, door routes, events for web administrators, pings, expiry,
// slow and hostile peers, TLS, and the SQL bridge.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <atomic>
#include <future>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "ov_database.h"
#include "ov_format.h"
#include "ov_http_server.h"
#include "ov_log.h"
#include "ov_ssl_handler.h"
#include "ov_websocket.h"
#include "ov_ws_server.h"
#include "test_util.h"
#include "ws_test_client.h"

using namespace ov;
using namespace std::chrono_literals;
using ovtest::WsClient;

namespace {

const char* kKey = "X-API-Key: good-key\r\n";
const char* kAdmin = "Authorization: Bearer admin-token\r\n";

std::unique_ptr<TOVWSServer> MakeHub(int ping_interval = 30, TOVWSServer::Tuning t = {},
                                     const std::function<void(TOVWSServer&)>& setup = nullptr, bool tls = false,
                                     const std::string& cert = "", const std::string& key = "") {
  auto hub = std::make_unique<TOVWSServer>("127.0.0.1", 0, ping_interval, tls, cert, key, "tls1.2");
  hub->ValidateClientFn = [](const std::string& k) { return k == "good-key"; };
  hub->ValidateWebAdminFn = [](const std::string& tok) { return tok == "admin-token"; };
  hub->SetTuning(t);
  if (setup) setup(*hub);
  hub->Start();
  return hub;
}

// Connects and returns the client id from the welcome message (0 on failure).
int Join(WsClient& c, TOVWSServer& hub, const std::string& headers = kKey) {
  if (c.Connect(hub.Port(), headers).find("101") == std::string::npos) return 0;
  auto w = c.Next("welcome");
  return w ? static_cast<int>(JInt(*w, "client_id")) : 0;
}

void Register(WsClient& c, const std::string& name, const std::string& uuid, TJSON protocols = TJSON::array()) {
  c.SendJSON({{"type", "register"}, {"client_name", name}, {"version", "1.0"}, {"client_id", uuid},
              {"max_nodes", 4}, {"protocols", protocols}});
}

template <class F>
bool WaitFor(F f, std::chrono::milliseconds total = 3000ms) {
  auto end = std::chrono::steady_clock::now() + total;
  while (std::chrono::steady_clock::now() < end) {
    if (f()) return true;
    std::this_thread::sleep_for(10ms);
  }
  return f();
}

}  // namespace

TEST(WSHub, HubPortAuthentication) {
  auto hub = MakeHub();
  {
    // Without credentials: 101, then close 1008 "Unauthorized".
    WsClient c;
    EXPECT_NE(c.Connect(hub->Port(), "").find("101"), std::string::npos);
    std::uint16_t code = 0;
    std::string reason;
    ASSERT_TRUE(c.WaitClose(3000, &code, &reason));
    EXPECT_EQ(code, 1008);
    EXPECT_EQ(reason, "Unauthorized");
  }
  {
    // A rejected token falls back to the API key.
    WsClient c;
    EXPECT_GT(Join(c, *hub, "Authorization: Bearer nope\r\nx-api-key: good-key\r\n"), 0);
  }
  {
    // Header names ignore case; a token in the query works too.
    WsClient c;
    ASSERT_TRUE(c.Dial(hub->Port()));
    c.SendRaw("GET /?token=admin-token&x=1 HTTP/1.1\r\nupgrade: websocket\r\nsec-websocket-key: abc\r\n\r\n");
    EXPECT_NE(c.ReadHead().find("101"), std::string::npos);
    auto w = c.Next("welcome");
    ASSERT_TRUE(w);
    EXPECT_EQ(JStr(*w, "server_name"), "Orvanta BBS");
    EXPECT_EQ(JStr(*w, "version"), "0.5.33");
  }
  {
    // Garbage instead of an upgrade request closes that socket only.
    WsClient c;
    ASSERT_TRUE(c.Dial(hub->Port()));
    c.SendRaw("HELLO\r\n\r\n");
    EXPECT_TRUE(c.WaitClose(3000));
  }
  hub->Stop();
}

TEST(WSHub, PortOutsideSixteenBitsDoesNotStart) {
  // 74018 would be cut down to 8482 by a 16-bit conversion.
  TOVWSServer hub("127.0.0.1", 74018, 30, false, "", "", "tls1.2");
  try {
    hub.Start();
    ADD_FAILURE() << "started on port " << hub.Port();
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "WebSocket: failed to bind to 127.0.0.1:74018 (errno=22)");
  }
  EXPECT_FALSE(hub.Active());
  TOVWSServer negative("127.0.0.1", -1, 30, false, "", "", "tls1.2");
  EXPECT_THROW(negative.Start(), std::runtime_error);
  EXPECT_FALSE(negative.Active());
}

TEST(WSHub, ClientTableRegistrationAndList) {
  auto hub = MakeHub();
  WsClient a, b, admin;
  int ida = Join(a, *hub);
  int idb = Join(b, *hub);
  int idadm = Join(admin, *hub, kAdmin);
  ASSERT_GT(ida, 0);
  EXPECT_EQ(idb, ida + 1);
  EXPECT_EQ(hub->GetClientCount(), 1);  // only the administrator is registered so far
  // Type names ignore case; plugins missing stores an empty array.
  a.SendJSON({{"type", "REGISTER"}, {"client_name", "node-a"}, {"version", "2.1"}, {"client_id", "uuid-a"},
              {"max_nodes", 8}, {"protocols", {"telnet", "ssh"}}, {"tls_version", "TLSv1.3"}});
  a.SendJSON({{"type", "heartbeat"}, {"nodes", {1, 2, 3}}, {"active_nodes", 9}});
  ASSERT_TRUE(WaitFor([&] { return hub->GetClientCount() == 2; }));
  ASSERT_TRUE(WaitFor([&] {
    auto i = hub->GetClientInfo(ida);
    return i && i->ActiveNodes == 3;
  }));
  TJSON list = hub->GetClientsJSON();
  ASSERT_EQ(list.size(), 1u);  // administrators and unregistered clients are not listed
  const TJSON& e = list[0];
  std::vector<std::string> keys;
  for (auto it = e.begin(); it != e.end(); ++it) keys.push_back(it.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"id", "client_uuid", "client_name", "version", "ip_address", "tls_version",
                                            "active_nodes", "max_nodes", "rtt_ms", "rtt_avg", "rtt_min", "rtt_max",
                                            "connected_at", "uptime", "status", "protocols", "plugins", "nodes"}));
  EXPECT_EQ(e["id"], ida);
  EXPECT_EQ(e["ip_address"], "127.0.0.1");
  EXPECT_EQ(e["rtt_min"], 0);
  EXPECT_EQ(e["status"], "online");
  EXPECT_EQ(e["protocols"], TJSON({"telnet", "ssh"}));
  EXPECT_EQ(e["plugins"], TJSON::array());
  EXPECT_EQ(e["nodes"], TJSON({1, 2, 3}));
  // Heartbeat without nodes takes active_nodes.
  a.SendJSON({{"type", "heartbeat"}, {"active_nodes", 5}});
  EXPECT_TRUE(WaitFor([&] { return hub->GetClientInfo(ida)->ActiveNodes == 5; }));
  // A second client with the same client_id replaces the first.
  Register(b, "node-b", "uuid-a");
  std::uint16_t code = 0;
  ASSERT_TRUE(a.WaitClose(3000, &code));
  EXPECT_EQ(code, 1000);
  EXPECT_TRUE(WaitFor([&] { return hub->FindClientIndex(ida) < 0; }));
  // The freed slot is reused; ids keep growing.
  WsClient c;
  int idc = Join(c, *hub);
  EXPECT_EQ(idc, idadm + 1);
  EXPECT_EQ(hub->FindClientIndex(idc), 0);
  hub->Stop();
  EXPECT_EQ(hub->GetClientCount(), 0);
}

TEST(WSHub, BadMessagesKeepTheConnection) {
  std::atomic<int> calls{0};
  auto hub = MakeHub(30, {}, [&](TOVWSServer& h) {
    h.OnPluginCall = [&](const std::string& p, const std::string& f, const TJSON* args) -> std::optional<TJSON> {
      ++calls;
      if (p == "echo") return TJSON{{"success", true}, {"f", f}, {"args", args ? *args : TJSON()}};
      return std::nullopt;
    };
  });
  WsClient c;
  ASSERT_GT(Join(c, *hub), 0);
  c.SendText("{not json");
  c.SendText(std::string(200000, '[') + std::string(200000, ']'));  // far deeper than allowed
  c.SendText("[1,2]");
  c.SendText("{\"type\":\"no_such_type\"}");
  c.SendText("\xff\xfe");
  c.SendJSON({{"type", "plugin_call"}, {"id", "1"}, {"plugin", "x"}, {"function", "y"}});
  auto r = c.Next("plugin_call_result");
  ASSERT_TRUE(r);
  EXPECT_EQ(c.last_text, R"({"type":"plugin_call_result","id":"1","result":{"success":false,"error":"No result"}})");
  c.SendJSON({{"type", "plugin_call"}, {"id", "2"}, {"plugin", "echo"}, {"function", "f"}, {"args", {{"a", 1}}}});
  r = c.Next("plugin_call_result");
  ASSERT_TRUE(r);
  EXPECT_EQ((*r)["result"]["args"]["a"], 1);
  EXPECT_EQ(calls.load(), 2);
  hub->Stop();

  auto bare = MakeHub();
  WsClient d;
  ASSERT_GT(Join(d, *bare), 0);
  d.SendJSON({{"type", "plugin_call"}, {"id", "3"}});
  ASSERT_TRUE(d.Next("plugin_call_result"));
  EXPECT_EQ(d.last_text,
            R"({"type":"plugin_call_result","id":"3","result":{"success":false,"error":"No plugin call handler"}})");
}

TEST(WSHub, PendingResultsComeOnlyFromTheTargetClient) {
  auto hub = MakeHub();
  WsClient a, b;
  int ida = Join(a, *hub);
  int idb = Join(b, *hub);
  ASSERT_GT(idb, 0);
  hub->CreatePendingResult("R1");
  EXPECT_THROW(hub->CreatePendingResult("r1"), std::runtime_error);  // ids ignore case
  hub->SendConfigGet(ida, "R1", "main");
  auto cmd = a.Next("config_get");
  ASSERT_TRUE(cmd);
  EXPECT_EQ(a.last_text, R"({"type":"config_get","request_id":"R1","section":"main"})");
  b.SendJSON({{"type", "config_result"}, {"request_id", "R1"}, {"value", "forged"}});
  std::this_thread::sleep_for(100ms);
  a.SendJSON({{"type", "config_result"}, {"request_id", "R1"}, {"value", "real"}});
  a.SendJSON({{"type", "config_result"}, {"request_id", "R1"}, {"value", "second"}});
  auto res = hub->WaitForResult("R1", 3000);
  ASSERT_TRUE(res);
  EXPECT_EQ(JStr(*res, "value"), "real");
  // A reply after the waiter gave up changes nothing.
  hub->CreatePendingResult("R2");
  hub->SendPluginUninstall(ida, "R2", "chat", true);
  ASSERT_TRUE(a.Next("plugin_uninstall"));
  EXPECT_EQ(a.last_text, R"({"type":"plugin_uninstall","request_id":"R2","name":"chat","purge_data":true})");
  EXPECT_FALSE(hub->WaitForResult("R2", 50));
  a.SendJSON({{"type", "command_result"}, {"request_id", "R2"}, {"success", true}});
  EXPECT_FALSE(hub->WaitForResult("R2", 50));
  // Stopping wakes a waiter at once.
  hub->CreatePendingResult("R3");
  std::thread stopper([&] {
    std::this_thread::sleep_for(100ms);
    hub->Stop();
  });
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(hub->WaitForResult("R3", 10000));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
  stopper.join();
}

TEST(WSHub, DoorRoutes) {
  std::atomic<int> user_id{0};
  std::atomic<int> relays{0};
  auto hub = MakeHub(30, {}, [&](TOVWSServer& h) {
    h.OnPluginCall = [&](const std::string& p, const std::string& f, const TJSON*) -> std::optional<TJSON> {
      if (p == "doors" && f == "HandleDoorReady") return TJSON{{"user_client_id", user_id.load()}};
      if (p == "doors" && f == "RelayInput") ++relays;
      return std::nullopt;
    };
  });
  WsClient user, door, other;
  user_id = Join(user, *hub);
  int iddoor = Join(door, *hub);
  ASSERT_GT(Join(other, *hub), 0);
  door.SendJSON({{"type", "door_ready"}, {"session_id", 7}, {"direct_ws_enabled", true}, {"direct_ws_port", 0},
                 {"direct_ws_token", "t"}});
  ASSERT_TRUE(user.Next("door_connect"));
  EXPECT_EQ(user.last_text, R"({"type":"door_connect","session_id":7,"fallback":true})");
  door.SendJSON({{"type", "door_ready"}, {"session_id", 7}, {"direct_ws_enabled", true}, {"direct_ws_port", 9000},
                 {"direct_ws_token", "t"}});
  ASSERT_TRUE(user.Next("door_connect"));
  EXPECT_EQ(user.last_text,
            R"({"type":"door_connect","session_id":7,"direct_ws_host":"127.0.0.1","direct_ws_port":9000,)"
            R"("direct_ws_token":"t","fallback":false})");
  user.SendJSON({{"type", "door_data"}, {"session_id", 7}, {"data", "keys"}});
  auto d = door.Next("door_data");
  ASSERT_TRUE(d);
  EXPECT_EQ(JStr(*d, "data"), "keys");
  door.SendJSON({{"type", "door_data"}, {"session_id", 7}, {"data", "screen"}});
  ASSERT_TRUE(user.Next("door_data"));
  other.SendJSON({{"type", "door_data"}, {"session_id", 7}, {"data", "x"}});
  EXPECT_TRUE(WaitFor([&] { return relays.load() == 1; }));
  TOVDoorRoute r;
  ASSERT_TRUE(hub->FindDoorRoute(7, r));
  EXPECT_EQ(r.DoorServerClientID, iddoor);
  // When an end goes away the route goes too.
  user.Close();
  EXPECT_TRUE(WaitFor([&] { return !hub->FindDoorRoute(7, r); }));
  hub->Stop();
}

TEST(WSHub, EventsForSubscribedAdministrators) {
  auto hub = MakeHub();
  WsClient admin, quiet, thin;
  ASSERT_GT(Join(admin, *hub, kAdmin), 0);
  ASSERT_GT(Join(quiet, *hub, kAdmin), 0);
  ASSERT_GT(Join(thin, *hub), 0);
  admin.SendJSON({{"type", "subscribe"}, {"events", {"LOG_ENTRY", "user.login"}}});
  thin.SendJSON({{"type", "subscribe"}, {"events", {"log_entry"}}});  // not an administrator: ignored
  ASSERT_TRUE(WaitFor([&] { return hub->HasSubscribers("log_entry"); }));
  TJSON data = {{"level", "info"}, {"message", "hello"}};
  hub->BroadcastToWebAdmins("log_entry", &data);
  ASSERT_TRUE(admin.Next("event"));
  EXPECT_EQ(admin.last_text,
            R"({ "type" : "event", "event" : "log_entry", "data" : { "level" : "info", "message" : "hello" } })");
  hub->HandleEventBroadcast("user.login", nullptr);
  ASSERT_TRUE(admin.Next("event"));
  EXPECT_EQ(admin.last_text, R"({ "type" : "event", "event" : "user.login", "data" : {} })");
  EXPECT_FALSE(quiet.Next("event", 300));
  EXPECT_FALSE(thin.Next("event", 300));
  admin.SendJSON({{"type", "unsubscribe"}, {"events", {"log_entry", "user.login"}}});
  EXPECT_TRUE(WaitFor([&] { return !hub->HasSubscribers("log_entry"); }));
  hub->Stop();
}

// The status that a login (or any status-changing event) refreshes is built on the hub's own
// thread: the thread that fired the event goes on at once, even while the status is slow to
// build, and events that come while a refresh waits are served by it.
TEST(WSHub, StatusRefreshNeverHoldsUpTheEventsThread) {
  std::promise<void> building;
  std::shared_future<void> finish_building;
  std::promise<void> finish;
  finish_building = finish.get_future().share();
  std::atomic<int> builds{0};
  std::atomic<bool> first{true};
  auto hub = MakeHub(30, {}, [&](TOVWSServer& h) {
    h.OnGetServerStatus = [&] {
      ++builds;
      if (first.exchange(false)) {
        building.set_value();
        finish_building.wait();
      }
      return TJSON{{"total_users", 7}};
    };
  });
  WsClient admin;
  ASSERT_GT(Join(admin, *hub, kAdmin), 0);
  admin.SendJSON({{"type", "subscribe"}, {"events", {"server_status"}}});
  ASSERT_TRUE(WaitFor([&] { return hub->HasSubscribers("server_status"); }));
  auto fired = std::async(std::launch::async, [&] { hub->HandleEventBroadcast("user.login", nullptr); });
  const bool returned = fired.wait_for(5s) == std::future_status::ready;
  const bool built = building.get_future().wait_for(5s) == std::future_status::ready;
  for (int i = 0; i < 5; ++i) hub->HandleEventBroadcast("user.login", nullptr);
  finish.set_value();
  EXPECT_TRUE(returned);  // the firing thread did not wait for the status
  ASSERT_TRUE(built);
  ASSERT_TRUE(admin.Next("event"));
  EXPECT_EQ(admin.last_text, R"({ "type" : "event", "event" : "server_status", "data" : { "total_users" : 7 } })");
  ASSERT_TRUE(admin.Next("event"));  // the five that came meanwhile: one more
  EXPECT_FALSE(admin.Next("event", 300));
  EXPECT_EQ(builds.load(), 2);
  hub->Stop();
}

TEST(WSHub, SubscribeFloodIsCappedAndHoldsUpNoOtherClient) {
  ovtest::TempDir dir;
  Log.Publish(std::make_unique<TOVLog>(dir / "hub.log", false));
  auto hub = MakeHub();
  WsClient flood, watcher, node;
  const int idf = Join(flood, *hub, kAdmin);
  ASSERT_GT(idf, 0);
  ASSERT_GT(Join(watcher, *hub, kAdmin), 0);
  ASSERT_GT(Join(node, *hub), 0);
  watcher.SendJSON({{"type", "subscribe"}, {"events", {"node_update"}}});
  ASSERT_TRUE(WaitFor([&] { return hub->HasSubscribers("node_update"); }));
  TJSON names = TJSON::array();
  for (int i = 0; i < 120000; ++i) names.push_back("Flood.Event." + std::to_string(i));
  flood.SendJSON({{"type", "subscribe"}, {"events", names}});
  // Answered only once the subscription was handled.
  flood.SendJSON({{"type", "plugin_call"}, {"id", "flood-done"}});
  std::atomic<bool> flood_done{false};
  std::thread waiter([&] { flood_done = flood.Next("plugin_call_result", 60000).has_value(); });
  // Meanwhile each heartbeat of the node is answered with a node_update to the watcher.
  auto worst = 0ms;
  int answered = 0;
  const auto give_up = std::chrono::steady_clock::now() + 30s;
  while ((!flood_done || answered < 5) && std::chrono::steady_clock::now() < give_up) {
    const auto t0 = std::chrono::steady_clock::now();
    node.SendJSON({{"type", "heartbeat"}});
    if (!watcher.Next("event", 10000)) {
      ADD_FAILURE() << "a heartbeat went unanswered for 10 s";
      break;
    }
    const auto took = std::chrono::steady_clock::now() - t0;
    worst = std::max(worst, std::chrono::duration_cast<std::chrono::milliseconds>(took));
    ++answered;
  }
  waiter.join();
  ASSERT_TRUE(flood_done);
  EXPECT_LT(worst, 3000ms) << "after " << answered << " heartbeats";
  // The first names of the message are kept, the rest ignored with one warning.
  auto info = hub->GetClientInfo(idf);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->SubscribedEvents.size(), WS_MAX_SUBSCRIPTIONS);
  EXPECT_TRUE(info->IsSubscribed("flood.event.1023"));
  EXPECT_FALSE(info->IsSubscribed("flood.event.1024"));
  flood.SendJSON({{"type", "subscribe"}, {"events", names}});
  flood.SendJSON({{"type", "unsubscribe"}, {"events", names}});
  // Two messages of 120,000 names each: slow under the sanitizers, hence the long wait.
  EXPECT_TRUE(WaitFor([&] { return hub->GetClientInfo(idf)->SubscribedEvents.empty(); }, 30000ms));
  hub->Stop();
  Log.Free();
  const std::string log = ovtest::ReadText(dir / "hub.log");
  const std::string warning = Format("[ws] Web admin %d subscribed to more than 1024 events", idf);
  EXPECT_NE(log.find(warning), std::string::npos) << log;
  EXPECT_EQ(log.find(warning), log.rfind(warning));
}

TEST(WSHub, PingsRoundTripTimesAndExpiry) {
  TOVWSServer::Tuning t;
  t.client_timeout = 1500ms;
  auto hub = MakeHub(1, t);
  WsClient live, silent;
  int id = Join(live, *hub);
  ASSERT_GT(Join(silent, *hub), 0);
  silent.answer_pings = false;
  Register(live, "node", "u1");
  // A registered client gets a ping frame stamped with 8 bytes and a JSON ping.
  auto ping = live.Next("ping", 4000);
  ASSERT_TRUE(ping);
  EXPECT_TRUE(ping->contains("ts") && ping->contains("rtt") && ping->contains("rtt_avg"));
  EXPECT_TRUE(WaitFor([&] { return hub->GetClientInfo(id)->RTT_COUNT > 0; }, 4000ms));
  // The silent, unregistered client is closed 1000 "Disconnected"; the live one stays.
  std::uint16_t code = 0;
  std::string reason;
  ASSERT_TRUE(silent.WaitClose(6000, &code, &reason));
  EXPECT_EQ(code, 1000);
  EXPECT_EQ(reason, "Disconnected");
  EXPECT_TRUE(live.Next("ping", 3000));
  EXPECT_TRUE(hub->GetClientInfo(id).has_value());
  hub->Stop();
}

TEST(WSHub, RoundTripArithmetic) {
  auto hub = MakeHub();
  WsClient c;
  int id = Join(c, *hub);
  auto now = WsUnixMillis();
  hub->UpdateRttFromPong(id, now - 1000);
  hub->UpdateRttFromPong(id, now - 2000);
  hub->UpdateRttFromPong(id, now - 3000);
  auto i = hub->GetClientInfo(id);
  EXPECT_NEAR(i->RTT_AVG, 2000, 100);
  EXPECT_NEAR(i->RTT_MIN, 1000, 100);
  hub->UpdateRttFromPong(id, WsUnixMillis() + 60000);  // from the future
  EXPECT_EQ(hub->GetClientInfo(id)->RTT_MS, 0);
  hub->UpdateRttFromPong(id, 1);  // long ago
  EXPECT_EQ(hub->GetClientInfo(id)->RTT_MS, 30000);
  for (int k = 0; k < 10; ++k) hub->UpdateRttFromPong(id, WsUnixMillis() - 500);
  i = hub->GetClientInfo(id);
  EXPECT_EQ(i->RTT_COUNT, 10);
  EXPECT_NEAR(i->RTT_AVG, 500, 100);  // the older samples were replaced
  hub->UpdateRttFromPong(id, 0);      // ignored
  EXPECT_EQ(hub->GetClientInfo(id)->RTT_COUNT, 10);
  hub->Stop();
}

TEST(WSHub, StalledReaderIsDroppedWhileOthersReceive) {
  auto hub = MakeHub(30);  // default queue bound (16 MiB)
  WsClient stalled, reader;
  int ids = 0;
  ASSERT_TRUE(stalled.Connect(hub->Port(), kAdmin, 4096).find("101") != std::string::npos);
  ASSERT_TRUE(stalled.Next("welcome"));
  ASSERT_GT(Join(reader, *hub, kAdmin), 0);
  {
    auto list_id = [&] {
      for (int k = 1; k < 10; ++k)
        if (hub->GetClientInfo(k)) return k;
      return 0;
    };
    ids = list_id();
  }
  stalled.SendJSON({{"type", "subscribe"}, {"events", {"tick"}}});
  reader.SendJSON({{"type", "subscribe"}, {"events", {"tick"}}});
  ASSERT_TRUE(WaitFor([&] { return hub->HasSubscribers("tick"); }));
  std::this_thread::sleep_for(100ms);
  const int kEvents = 3000;
  std::atomic<int> got{0};
  std::thread rd([&] {
    while (got < kEvents && reader.Next("event", 5000)) ++got;
  });
  TJSON data = {{"blob", std::string(16000, 'x')}};
  // The loop ends although one subscriber never reads: a broadcast only queues.
  for (int k = 0; k < kEvents; ++k) {
    hub->BroadcastToWebAdmins("tick", &data);
    // Paced like a live event stream: the healthy reader keeps up, the stalled one cannot.
    if (k % 100 == 99) WaitFor([&] { return got.load() > k - 300; }, 5000ms);
  }
  rd.join();
  EXPECT_EQ(got.load(), kEvents);
  EXPECT_TRUE(WaitFor([&] { return !hub->GetClientInfo(ids).has_value(); }));
  hub->Stop();
}

TEST(WSHub, LargeFanOutReachesEveryAdministratorInOrder) {
  auto hub = MakeHub();
  // Enough subscribers for the sends of one event to be shared among the fan-out threads.
  constexpr int kAdmins = 150, kEvents = 200;
  std::vector<std::unique_ptr<WsClient>> admins;
  for (int i = 0; i < kAdmins; ++i) {
    admins.push_back(std::make_unique<WsClient>());
    ASSERT_GT(Join(*admins.back(), *hub, kAdmin), 0);
    admins.back()->SendJSON({{"type", "subscribe"}, {"events", {"seq"}}});
  }
  for (auto& a : admins) {  // the answer comes after the subscription was handled
    a->SendJSON({{"type", "plugin_call"}, {"id", "sync"}});
    ASSERT_TRUE(a->Next("plugin_call_result"));
  }
  for (int k = 0; k < kEvents; ++k) {
    TJSON data = {{"n", k}};
    hub->BroadcastToWebAdmins("seq", &data);
  }
  for (auto& a : admins)
    for (int k = 0; k < kEvents; ++k) {
      auto e = a->Next("event");
      ASSERT_TRUE(e);
      ASSERT_EQ(JInt((*e)["data"], "n", -1), k);
    }
  hub->Stop();
}

TEST(WSHub, OversizedFrameClosesOnlyThatConnection) {
  auto hub = MakeHub();
  WsClient bad, good;
  ASSERT_GT(Join(bad, *hub), 0);
  ASSERT_GT(Join(good, *hub), 0);
  std::string h = "\x81\xFF";
  std::uint64_t n = WS_MAX_FRAME_PAYLOAD + 1;
  for (int i = 7; i >= 0; --i) h.push_back(static_cast<char>((n >> (8 * i)) & 0xFF));
  bad.SendRaw(h + "mask" + std::string(1000, 'a'));
  std::uint16_t code = 0;
  ASSERT_TRUE(bad.WaitClose(3000, &code));
  EXPECT_EQ(code, 1009);
  good.SendJSON({{"type", "plugin_call"}, {"id", "ok"}});
  EXPECT_TRUE(good.Next("plugin_call_result"));
  hub->Stop();
}

TEST(WSHub, HandedOverStreamsAndStop) {
  std::atomic<int> opened{0}, closed{0};
  auto hub = MakeHub(30, {}, [&](TOVWSServer& h) {
    h.OnConnectionOpened = [&](const std::string&) { ++opened; };
    h.OnConnectionClosed = [&](const std::string&) { ++closed; };
  });
  int sv[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  TOVDetachedStream ds;
  ds.stream = std::make_unique<SocketStream>(sv[0]);
  // A frame the client sent right after its upgrade request.
  ds.pending = EncodeFrame(WS_OP_TEXT, R"({"type":"subscribe","events":["x"]})", true, true);
  int id = hub->RegisterWebAdmin(std::move(ds), "10.0.0.9");
  EXPECT_GT(id, 0);
  EXPECT_TRUE(WaitFor([&] { return hub->HasSubscribers("x"); }));
  auto info = hub->GetClientInfo(id);
  EXPECT_EQ(info->ClientName, "WebAdmin");
  EXPECT_EQ(info->IPAddress, "10.0.0.9");
  std::vector<std::unique_ptr<WsClient>> many;
  for (int k = 0; k < 5; ++k) {
    many.push_back(std::make_unique<WsClient>());
    ASSERT_GT(Join(*many.back(), *hub), 0);
  }
  hub->Stop();
  EXPECT_EQ(hub->GetClientCount(), 0);
  EXPECT_EQ(hub->FindClientIndex(id), -1);
  // Every connection counted open for the rate limiter is counted closed again.
  EXPECT_EQ(opened.load(), 6);
  EXPECT_EQ(closed.load(), 6);
  TOVDetachedStream late;
  late.stream = std::make_unique<SocketStream>(sv[1]);
  EXPECT_THROW(hub->RegisterThinClient(std::move(late), "x"), std::runtime_error);
}

// ---- TLS -----------------------------------------------------------------------------------------

namespace {

void WriteSelfSignedCert(const std::string& cert_path, const std::string& key_path) {
  EVP_PKEY* pkey = EVP_RSA_gen(2048);
  X509* x = X509_new();
  ASN1_INTEGER_set(X509_get_serialNumber(x), 1);
  X509_gmtime_adj(X509_getm_notBefore(x), 0);
  X509_gmtime_adj(X509_getm_notAfter(x), 3600);
  X509_set_pubkey(x, pkey);
  X509_NAME* name = X509_get_subject_name(x);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
  X509_set_issuer_name(x, name);
  X509_sign(x, pkey, EVP_sha256());
  FILE* f = std::fopen(cert_path.c_str(), "w");
  PEM_write_X509(f, x);
  std::fclose(f);
  f = std::fopen(key_path.c_str(), "w");
  PEM_write_PrivateKey(f, pkey, nullptr, nullptr, 0, nullptr, nullptr);
  std::fclose(f);
  X509_free(x);
  EVP_PKEY_free(pkey);
}

}  // namespace

TEST(WSHub, IdleConnectionOnTlsPortDoesNotDelayOthers) {
  ovtest::TempDir dir;
  WriteSelfSignedCert(dir / "cert.pem", dir / "key.pem");
  // The TLS context is process-wide: leave it as found for the tests that follow.
  const bool owned = !SharedSSLContextReady();
  auto hub = MakeHub(30, {}, nullptr, true, dir / "cert.pem", dir / "key.pem");
  WsClient idle;
  ASSERT_TRUE(idle.Dial(hub->Port()));  // connects and sends nothing
  std::this_thread::sleep_for(100ms);
  WsClient tcp;
  ASSERT_TRUE(tcp.Dial(hub->Port()));
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  SSL* ssl = SSL_new(ctx);
  SSL_set_fd(ssl, tcp.Fd());
  auto t0 = std::chrono::steady_clock::now();
  ASSERT_EQ(SSL_connect(ssl), 1);
  std::string req = "GET / HTTP/1.1\r\nUpgrade: websocket\r\nSec-WebSocket-Key: abc\r\nX-API-Key: good-key\r\n\r\n";
  SSL_write(ssl, req.data(), static_cast<int>(req.size()));
  std::string got;
  char buf[4096];
  while (got.find("welcome") == std::string::npos) {
    int n = SSL_read(ssl, buf, sizeof buf);
    if (n <= 0) break;
    got.append(buf, static_cast<std::size_t>(n));
  }
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 3s);
  EXPECT_NE(got.find("101 Switching Protocols"), std::string::npos);
  EXPECT_NE(got.find("\"welcome\""), std::string::npos);
  SSL_free(ssl);
  SSL_CTX_free(ctx);
  auto t1 = std::chrono::steady_clock::now();
  hub->Stop();  // the idle handshake is interrupted, not waited out
  EXPECT_LT(std::chrono::steady_clock::now() - t1, 3s);
  if (owned) FreeSharedSSLContext();
}

TEST(WSHub, TlsPortOffersTls12And13WhateverMinVersionSays) {
  ovtest::TempDir dir;
  WriteSelfSignedCert(dir / "cert.pem", dir / "key.pem");
  const bool owned = !SharedSSLContextReady();
  // [ssl] min_version is for the HTTP port; the hub only shows it in its start-up line.
  for (const char* min_version : {"tls1.3", "TLS1.2_ONLY", "tls1.2", "nonsense"}) {
    TOVWSServer hub("127.0.0.1", 0, 30, true, dir / "cert.pem", dir / "key.pem", min_version);
    hub.ValidateClientFn = [](const std::string&) { return true; };
    hub.Start();
    for (int cap : {TLS1_2_VERSION, TLS1_3_VERSION}) {
      WsClient tcp;
      ASSERT_TRUE(tcp.Dial(hub.Port()));
      SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
      SSL_CTX_set_max_proto_version(ctx, cap);
      SSL* ssl = SSL_new(ctx);
      SSL_set_fd(ssl, tcp.Fd());
      EXPECT_EQ(SSL_connect(ssl), 1) << min_version << " / client up to " << cap;
      EXPECT_EQ(SSL_version(ssl), cap) << min_version;
      // And the client is served.
      const std::string req = "GET / HTTP/1.1\r\nUpgrade: websocket\r\nSec-WebSocket-Key: abc\r\nX-API-Key: k\r\n\r\n";
      SSL_write(ssl, req.data(), static_cast<int>(req.size()));
      std::string got;
      char buf[4096];
      while (got.find("welcome") == std::string::npos) {
        const int n = SSL_read(ssl, buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, static_cast<std::size_t>(n));
      }
      EXPECT_NE(got.find("\"welcome\""), std::string::npos) << min_version;
      SSL_free(ssl);
      SSL_CTX_free(ctx);
    }
    hub.Stop();
  }
  if (owned) FreeSharedSSLContext();
}

// ---- SQL bridge ----------------------------------------------------------------------------------

TEST(WSHub, SqlBridgeForRegisteredThinClients) {
  ovtest::TempDir dir;
  DB.Publish(std::make_unique<TOVDatabase>(dir / "bridge.db"));
  auto hub = MakeHub();
  WsClient node, admin, stranger;
  ASSERT_GT(Join(node, *hub), 0);
  ASSERT_GT(Join(admin, *hub, kAdmin), 0);
  ASSERT_GT(Join(stranger, *hub), 0);
  Register(node, "n", "u");
  ASSERT_TRUE(WaitFor([&] { return hub->GetClientCount() == 2; }));
  auto call = [](WsClient& c, const std::string& type, TJSON extra) {
    TJSON m = {{"type", type}, {"request_id", "q"}, {"plugin", "Chat-Log"}};
    for (auto& [k, v] : extra.items()) m[k] = v;
    c.SendJSON(m);
    return c.Next(type + "_result");
  };
  auto r = call(node, "db_exec", {{"sql", "CREATE TABLE p_chat_log_t (id INTEGER PRIMARY KEY, a INTEGER, b TEXT, "
                                          "c REAL, d TEXT, e INTEGER)"}});
  ASSERT_TRUE(r);
  EXPECT_EQ(node.last_text, R"({"type":"db_exec_result","request_id":"q","ok":true})");
  r = call(node, "db_exec_params",
           {{"sql", "INSERT INTO p_chat_log_t (a, b, c, d, e) VALUES (?, ?, ?, ?, ?)"},
            {"params", {std::int64_t(1) << 40, "it's ?", 1.5, nullptr, true}}});
  ASSERT_TRUE(r);
  EXPECT_TRUE(JBool(*r, "ok")) << node.last_text;
  r = call(node, "db_query", {{"sql", "SELECT a, b, c, d, e FROM p_chat_log_t"}});
  ASSERT_TRUE(r);
  ASSERT_TRUE(JBool(*r, "ok")) << node.last_text;
  ASSERT_EQ((*r)["rows"].size(), 1u);
  const TJSON& row = (*r)["rows"][0];
  EXPECT_EQ(row["a"], std::int64_t(1) << 40);  // 64-bit, not truncated
  EXPECT_EQ(row["b"], "it's ?");
  EXPECT_EQ(row["c"], 1.5);
  EXPECT_TRUE(row["d"].is_null());
  EXPECT_EQ(row["e"], 1);
  // Refusals are answers; the connection stays.
  r = call(node, "db_query", {{"sql", "SELECT * FROM users"}});
  ASSERT_TRUE(r);
  EXPECT_FALSE(JBool(*r, "ok", true));
  EXPECT_EQ(JStr(*r, "error"),
            "Plugin \"Chat-Log\" cannot access table \"users\" \xE2\x80\x94 must use prefix \"p_chat_log_*\"");
  r = call(node, "db_query", {{"sql", "INSERT INTO p_chat_log_t (a) VALUES (2)"}});
  EXPECT_EQ(JStr(*r, "error"), "db_query accepts only SELECT statements");
  r = call(node, "db_exec_params", {{"sql", "INSERT INTO p_chat_log_t (a) VALUES (?)"}, {"params", {1, 2}}});
  EXPECT_FALSE(JBool(*r, "ok", true));
  EXPECT_EQ(JStr(*r, "error"), "Too many parameters: 2 given for 1 placeholders");
  r = call(node, "db_exec", {{"sql", "SELECT * FROM p_chat_log_missing"}});
  EXPECT_FALSE(JBool(*r, "ok", true));
  r = call(node, "db_exec", {{"sql", ""}});
  EXPECT_EQ(JStr(*r, "error"), "plugin and sql are required");
  r = call(admin, "db_query", {{"sql", "SELECT 1"}});
  EXPECT_EQ(admin.last_text, R"({"type":"db_query_result","request_id":"q","ok":false,"error":"unauthorized"})");
  r = call(stranger, "db_query", {{"sql", "SELECT 1"}});
  EXPECT_EQ(JStr(*r, "error"), "unauthorized");
  hub->Stop();
  DB.Free();
}
