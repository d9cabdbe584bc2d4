#include <gtest/gtest.h>

#include "ov_http_types.h"
#include "ov_json_helpers.h"
#include "ov_json_reply.h"

using namespace ov;

TEST(JsonWriter, SpacedAndCompactForms) {
  TJSON v = TJSON::object();
  v["a"] = 1;
  v["b"] = TJSON::array({1, 2});
  v["c"] = TJSON::object();
  v["d"] = TJSON::array();
  v["e"] = nullptr;
  v["f"] = true;
  EXPECT_EQ(JsonSpaced(v), R"({ "a" : 1, "b" : [1, 2], "c" : {}, "d" : [], "e" : null, "f" : true })");
  EXPECT_EQ(JsonCompact(v), R"({"a":1,"b":[1,2],"c":{},"d":[],"e":null,"f":true})");
  EXPECT_EQ(JsonSpaced(TJSON::object()), "{}");
}

TEST(JsonWriter, MemberOrderIsInsertionOrder) {
  TJSON v = TJSON::object();
  v["zeta"] = 1;
  v["alpha"] = 2;
  EXPECT_EQ(JsonCompact(v), R"({"zeta":1,"alpha":2})");
}

TEST(JsonWriter, StringEscapes) {
  EXPECT_EQ(JsonQuote("a\\b\"c"), R"("a\\b\"c")");
  EXPECT_EQ(JsonQuote("\b\t\n\f\r"), R"("\b\t\n\f\r")");
  EXPECT_EQ(JsonQuote(std::string("\x01\x1f", 2)), R"("\u0001\u001F")");
  EXPECT_EQ(JsonQuote(std::string("\0", 1)), R"("\u0000")");
  // Slash and non-ASCII text are written as they are.
  EXPECT_EQ(JsonQuote("a/b \xC3\xA9 \xE2\x80\x94"), "\"a/b \xC3\xA9 \xE2\x80\x94\"");
}

TEST(JsonWriter, InvalidUtf8IsReplacedNotThrown) {
  EXPECT_EQ(JsonQuote("a\xFF" "b"), "\"a\xEF\xBF\xBD" "b\"");
  EXPECT_EQ(JsonQuote("\xC3"), "\"\xEF\xBF\xBD\"");             // truncated sequence
  EXPECT_EQ(JsonQuote("\xED\xA0\x80"), "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\"");  // surrogate
  TJSON v = TJSON::object();
  v["x"] = std::string("bad\xC0\xAF");
  EXPECT_NO_THROW(JsonSpaced(v));
}

TEST(JsonWriter, Numbers) {
  EXPECT_EQ(JsonDouble(1.5), "1.5000000000000000E+000");
  EXPECT_EQ(JsonDouble(-0.25), "-2.5000000000000000E-001");
  EXPECT_EQ(JsonDouble(1e300), "1.0000000000000001E+300");
  EXPECT_EQ(JsonDouble(0.0), "0.0000000000000000E+000");
  EXPECT_EQ(JsonDouble(std::numeric_limits<double>::quiet_NaN()), "null");
  EXPECT_EQ(JsonDouble(std::numeric_limits<double>::infinity()), "null");
  TJSON v = TJSON::array({std::int64_t(9007199254740993), std::int64_t(-5), std::uint64_t(18446744073709551615ULL)});
  EXPECT_EQ(JsonCompact(v), "[9007199254740993,-5,18446744073709551615]");
}

TEST(JsonParse, RefusesDeepNestingAndGarbage) {
  TJSON out;
  std::string deep64(64, '['), close64(64, ']');
  EXPECT_TRUE(ParseJsonText(deep64 + close64, out));
  std::string deep65(65, '['), close65(65, ']');
  EXPECT_FALSE(ParseJsonText(deep65 + close65, out));
  std::string huge(100000, '[');
  EXPECT_FALSE(ParseJsonText(huge, out));
  // Brackets inside strings do not count.
  EXPECT_TRUE(ParseJsonText("{\"a\":\"" + std::string(200, '[') + "\"}", out));
  EXPECT_FALSE(ParseJsonText("{", out));
  EXPECT_FALSE(ParseJsonText("", out));
  EXPECT_FALSE(ParseJsonText("{\"a\":1} trailing", out));
}

TEST(Envelope, SuccessErrorAndPages) {
  EXPECT_EQ(JsonSpaced(TOVJson::SuccessResponse()), R"({ "success" : true, "data" : {} })");
  EXPECT_EQ(JsonSpaced(TOVJson::ErrorResponse(404, "API endpoint not found")),
            R"({ "success" : false, "error" : { "code" : 404, "message" : "API endpoint not found" } })");
  auto p = TOVJson::PaginatedResponse(TJSON::array(), 0, 1, 20);
  EXPECT_EQ(p["data"]["pagination"]["total_pages"], 0);
  p = TOVJson::PaginatedResponse(TJSON::array({1}), 41, 3, 20);
  EXPECT_EQ(JsonSpaced(p["data"]["pagination"]),
            R"({ "total" : 41, "page" : 3, "per_page" : 20, "total_pages" : 3 })");
  EXPECT_THROW(TOVJson::PaginatedResponse(TJSON::array(), 5, 1, 0), std::invalid_argument);
}

TEST(Envelope, ParseRequestOnlyAcceptsObjects) {
  TOVHttpRequest r;
  EXPECT_FALSE(TOVJsonReply::ParseRequest(r));
  r.body = "[1,2]";
  EXPECT_FALSE(TOVJsonReply::ParseRequest(r));
  r.body = "not json";
  EXPECT_FALSE(TOVJsonReply::ParseRequest(r));
  r.body = std::string(100, '{');
  EXPECT_FALSE(TOVJsonReply::ParseRequest(r));
  r.body = R"({"a":"b"})";
  auto v = TOVJsonReply::ParseRequest(r);
  ASSERT_TRUE(v);
  EXPECT_EQ(JStr(*v, "a"), "b");
}

TEST(Envelope, SendErrorSetsStatusHeadersAndBody) {
  TOVHttpResponse resp;
  TOVJsonReply::SendError(resp, 401, "Unauthorized");
  EXPECT_EQ(resp.status, 401);
  EXPECT_EQ(resp.GetHeader("content-type"), "application/json");
  EXPECT_EQ(resp.GetHeader("Access-Control-Allow-Origin"), "*");
  EXPECT_EQ(resp.GetHeader("Access-Control-Allow-Headers"), "Content-Type, Authorization, X-API-Key");
  EXPECT_EQ(resp.GetHeader("Access-Control-Allow-Methods"), "GET, POST, PUT, DELETE, OPTIONS");
  EXPECT_EQ(resp.body, R"({ "success" : false, "error" : { "code" : 401, "message" : "Unauthorized" } })");
}

TEST(JsonMembers, TypedReadsFallBackToDefaults) {
  auto v = *ParseJson(R"({"s":"x","i":7,"f":2.9,"b":true,"n":null,"big":18446744073709551615})");
  EXPECT_EQ(JStr(v, "s"), "x");
  EXPECT_EQ(JStr(v, "i", "d"), "d");
  EXPECT_EQ(JInt(v, "i"), 7);
  EXPECT_EQ(JInt(v, "f"), 2);
  EXPECT_EQ(JInt(v, "s", -1), -1);
  EXPECT_EQ(JInt(v, "big", -1), -1);
  EXPECT_TRUE(JBool(v, "b"));
  EXPECT_TRUE(JBool(v, "i", true));
  EXPECT_EQ(JInt(TJSON::array(), "i", 3), 3);
}

TEST(HttpTypes, QueryParamsAndHeaders) {
  TOVHttpRequest r;
  r.query = "page=2&per_page=&q=a%20b+c&token=abc%ZZ";
  EXPECT_EQ(r.QueryParam("page"), "2");
  EXPECT_TRUE(r.HasQueryParam("per_page"));
  EXPECT_EQ(r.QueryParam("per_page"), "");
  EXPECT_EQ(r.QueryParam("q"), "a b c");
  EXPECT_EQ(r.QueryParam("token"), "abc%ZZ");
  EXPECT_FALSE(r.HasQueryParam("missing"));
  r.headers.emplace("X-Api-Key", "k");
  EXPECT_EQ(r.Header("x-api-key"), "k");
  TOVHttpResponse resp;
  resp.AddHeader("A", "1");
  resp.AddHeader("a", "2");
  resp.SetHeader("A", "3");
  ASSERT_EQ(resp.headers.size(), 1u);
  EXPECT_EQ(resp.GetHeader("a"), "3");
}
