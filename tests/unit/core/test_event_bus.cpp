#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "ov_event_bus.h"
#include "ov_log.h"
#include "test_util.h"

using namespace ov;

namespace {

TOVEventCallback Cb(std::vector<std::string>& log, const std::string& tag, const void* obj = nullptr) {
  static int code_anchor;
  TOVEventCallback cb;
  cb.code = &code_anchor;
  cb.data = obj;
  cb.invoke = [&log, tag](const std::string& type, const TJSON* data) {
    log.push_back(tag + ":" + type + (data ? ":" + JsonCompact(*data) : ":nil"));
  };
  return cb;
}

}  // namespace

TEST(EventBus, WildcardExactMatchAndOrder) {
  TOVEventBus bus;
  std::vector<std::string> log;
  bus.Subscribe("a", "user.login", Cb(log, "a"));
  bus.Subscribe("b", "*", Cb(log, "b"));
  bus.Subscribe("a", "user.login", Cb(log, "a2"));  // duplicates are called twice
  TJSON d = {{"x", 1}};
  bus.Fire("_system", "user.login", &d);
  bus.Fire("plug", "USER.LOGIN", nullptr);  // names are case-sensitive; "*" still sees it
  EXPECT_EQ(log, (std::vector<std::string>{"a:user.login:{\"x\":1}", "b:user.login:{\"x\":1}",
                                           "a2:user.login:{\"x\":1}", "b:USER.LOGIN:nil"}));
  EXPECT_EQ(bus.GetSubscriptionCount(), 3u);
  // With no subscribers and no hook nothing happens.
  TOVEventBus empty;
  empty.Fire("_system", "x", nullptr);
}

TEST(EventBus, HandlerFailuresOfAnyKindAreContained) {
  TOVEventBus bus;
  std::vector<std::string> log;
  TOVEventCallback bad;
  bad.invoke = [](const std::string&, const TJSON*) { throw std::runtime_error("boom"); };
  TOVEventCallback worse;
  worse.invoke = [](const std::string&, const TJSON*) { throw 42; };
  bus.Subscribe("bad", "*", bad);
  bus.Subscribe("worse", "*", worse);
  bus.Subscribe("good", "*", Cb(log, "good"));
  std::vector<std::string> hooked;
  bus.SetOnBroadcast([&](const std::string& t, const TJSON*) {
    hooked.push_back(t);
    throw 1.5;
  });
  ovtest::TempDir dir;
  Log.Publish(std::make_unique<TOVLog>(dir / "bus.log", false));
  EXPECT_NO_THROW(bus.Fire("_system", "e", nullptr));
  Log.Free();
  EXPECT_EQ(log, std::vector<std::string>{"good:e:nil"});
  EXPECT_EQ(hooked, std::vector<std::string>{"e"});
  // One error line per failure, naming the subscriber and the event.
  const std::string text = ovtest::ReadText(dir / "bus.log");
  auto count = [&](const std::string& needle) {
    std::size_t n = 0;
    for (std::size_t p = text.find(needle); p != std::string::npos; p = text.find(needle, p + 1)) ++n;
    return n;
  };
  EXPECT_EQ(count("[OrvantaBBS Error] [event] Handler error in bad for e: boom\n"), 1u) << text;
  EXPECT_EQ(count("[OrvantaBBS Error] [event] Handler error in worse for e: "), 1u) << text;
  EXPECT_EQ(count("[OrvantaBBS Error] [event] Broadcast error for e: "), 1u) << text;
  EXPECT_EQ(count("[OrvantaBBS Error]"), 3u) << text;
  bus.ClearOnBroadcast();
  EXPECT_FALSE(bus.HasOnBroadcast());
  bus.Fire("_system", "f", nullptr);
  EXPECT_EQ(hooked.size(), 1u);
}

TEST(EventBus, UnsubscribeByNameIgnoringCaseAndByCallback) {
  TOVEventBus bus;
  std::vector<std::string> log;
  int obj1 = 0, obj2 = 0;
  bus.Subscribe("chat", "*", Cb(log, "c1", &obj1));
  bus.Subscribe("Other", "*", Cb(log, "o", &obj2));
  bus.Subscribe("chat", "x", Cb(log, "c2", &obj2));
  bus.Unsubscribe("CHAT");
  EXPECT_EQ(bus.GetSubscriptionCount(), 1u);
  bus.Subscribe("x", "*", Cb(log, "x1", &obj1));
  bus.UnsubscribeCallback(Cb(log, "", &obj2));
  bus.Fire("_system", "e", nullptr);
  EXPECT_EQ(log, std::vector<std::string>{"x1:e:nil"});
}

TEST(EventBus, HandlerMayChangeSubscriptionsDuringFire) {
  TOVEventBus bus;
  int calls = 0, fired_inside = 0;
  int self_obj = 0;
  TOVEventCallback self;
  self.code = &self_obj;
  self.data = &self_obj;
  self.invoke = [&](const std::string& type, const TJSON*) {
    ++calls;
    bus.UnsubscribeCallback(&self_obj, &self_obj);  // no deadlock; the event in progress continues
    if (type == "outer") bus.Fire("_system", "inner", nullptr);
  };
  TOVEventCallback counter;
  counter.invoke = [&](const std::string& type, const TJSON*) {
    if (type == "inner") ++fired_inside;
  };
  bus.Subscribe("p", "*", self);
  bus.Subscribe("q", "*", counter);
  bus.Fire("_system", "outer", nullptr);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(fired_inside, 1);
  bus.Fire("_system", "outer", nullptr);
  EXPECT_EQ(calls, 1);
}
