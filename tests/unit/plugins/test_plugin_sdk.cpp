#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "dbapi_sqlite.h"
#include "ov_plugin_sdk.h"

using namespace ov;

TEST(PluginSdk, StringsKeepTheirHeaderAndCounts) {
  OVStr s = ovstr_new("h\xC3\xA9llo");
  const OVStrHeader* h = OVSTR_HEADER(s);
  EXPECT_EQ(reinterpret_cast<const char*>(h) + 24, s);
  EXPECT_EQ(h->code_page, 65001);
  EXPECT_EQ(h->elem_size, 1);
  EXPECT_EQ(h->refcount, 1);
  EXPECT_EQ(ovstr_len(s), 6);
  EXPECT_EQ(ovstr_new(""), nullptr);
  EXPECT_EQ(ovstr_new(nullptr), nullptr);
  EXPECT_EQ(OVStrView(nullptr), "");

  // Many threads take and drop references to one string: the count ends where it began.
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([s] {
      for (int i = 0; i < 20000; ++i) ovstr_release(ovstr_addref(s));
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(OVSTR_HEADER(s)->refcount, 1);

  // Assignment references the new value first, so assigning a string to itself is safe.
  OVStr var = ovstr_addref(s);
  ovstr_assign(&var, var);
  EXPECT_EQ(OVSTR_HEADER(s)->refcount, 2);
  AssignOVStr(&var, "other");  // the server's result assignment releases what was there
  EXPECT_EQ(OVSTR_HEADER(s)->refcount, 1);
  EXPECT_EQ(OVStrView(var), "other");
  ovstr_release(var);
  ovstr_release(s);

  // A constant (count -1) is never counted or freed.
  struct {
    OVStrHeader h;
    char text[4];
  } constant = {{65001, 1, 0, -1, 3}, "abc"};
  ovstr_release(ovstr_addref(constant.text));
  EXPECT_EQ(constant.h.refcount, -1);
}

TEST(PluginSdk, ArraysFromPluginsAreChecked) {
  const char* const texts[] = {"a", "", "c"};
  OVStr* arr = ovstrarr_new(texts, 3);
  EXPECT_EQ(ovarr_high(arr), 2);
  EXPECT_EQ(OVStrArrayToVector(arr), (std::vector<std::string>{"a", "", "c"}));
  EXPECT_TRUE(OVStrArrayToVector(nullptr).empty());
  EXPECT_TRUE(OVStrArrayToVector(arr, -1).empty());
  EXPECT_THROW(OVStrArrayToVector(arr, -2), std::invalid_argument);
  EXPECT_THROW(OVStrArrayToVector(arr, kMaxOVArray + 1), std::invalid_argument);
  ovstrarr_release(arr);
  EXPECT_THROW(FromOVTable(nullptr), std::invalid_argument);
}

TEST(PluginSdk, JsonFunctionsTakeAnyInput) {
  OVJson* o = ovj_parse(R"({"s": "x", "n": 7, "f": 2.5, "a": [1, 2]})");
  ASSERT_NE(o, nullptr);
  EXPECT_EQ(ovj_type(o), OVJ_OBJECT);
  EXPECT_STREQ(ovj_get_str(o, "s"), "x");
  EXPECT_EQ(ovj_get_str(o, "n"), nullptr);
  EXPECT_EQ(ovj_get_int(o, "n", -1), 7);
  EXPECT_EQ(ovj_get_int(o, "s", -1), -1);
  EXPECT_EQ(ovj_size(ovj_get(o, "a")), 2);
  EXPECT_EQ(ovj_type(ovj_at(ovj_get(o, "a"), 1)), OVJ_INT);
  EXPECT_EQ(ovj_at(ovj_get(o, "a"), 2), nullptr);
  EXPECT_EQ(ovj_type(nullptr), OVJ_NONE);

  // Setters on something that is not an object or array do nothing, and free what they took.
  OVJson* arr = ovj_new_array();
  ovj_set_str(arr, "k", "v");
  ovj_set(arr, "k", ovj_new_object());
  ovj_push(o, ovj_new_object());
  ovj_push(arr, ovj_parse("\"el\""));
  ovj_set(o, "nested", arr);
  ovj_set_bool(o, "b", 2);
  ovj_set_str(o, nullptr, "ignored");
  ovj_set_str(o, "null_text", nullptr);
  OVStr text = ovj_write(o);
  EXPECT_EQ(OVStrView(text),
            R"({"s":"x","n":7,"f":2.5000000000000000E+000,"a":[1,2],"nested":["el"],"b":true,"null_text":""})");
  ovstr_release(text);
  ovj_free(o);

  EXPECT_EQ(ovj_parse("{bad"), nullptr);
  EXPECT_EQ(ovj_parse(nullptr), nullptr);
  EXPECT_EQ(ovj_parse((std::string(100, '[') + std::string(100, ']')).c_str()), nullptr) << "nesting is capped";
  EXPECT_EQ(ovj_write(nullptr), nullptr);
  ovj_free(nullptr);
}

TEST(PluginSdk, CriteriaBuiltInCRenderAsTheServersOwn) {
  OVDBACriterion* where = ovdba_or();
  OVDBACriterion* both = ovdba_and();
  EXPECT_EQ(ovdba_add(both, ovdba_cmp_int("a", OVDBA_GT, 5)), 1);
  EXPECT_EQ(ovdba_add(both, ovdba_is_null("b")), 1);
  EXPECT_EQ(ovdba_add(where, both), 1);
  EXPECT_EQ(ovdba_add(where, ovdba_cmp("c", OVDBA_IN, ovj_parse("[1, 2]"))), 1);
  EXPECT_EQ(ovdba_add(where, nullptr), 1);
  OVDBACriterion* leaf = ovdba_cmp_str("d", OVDBA_EQ, "v");
  EXPECT_EQ(ovdba_add(leaf, ovdba_is_not_null("e")), 0) << "a compare is not a compound; the child is freed";

  TDBASQLiteDialect dialect;
  TJSON params = TJSON::array();
  EXPECT_EQ(dialect.WhereToSQL(FromOVCriterion(where), params),
            R"((("a" > :p1) AND ("b" IS NULL)) OR ("c" IN (:p2, :p3)))");
  EXPECT_EQ(params, TJSON::parse("[5, 1, 2]"));
  ovdba_free(where);
  ovdba_free(leaf);

  OVDBAColumnSpec c = ovdba_make_column("name", OVDBA_VARCHAR, 40, 0, "''", 0, 1, 0);
  const TDBAColumnSpec spec = FromOVColumn(&c);
  EXPECT_EQ(spec.Name, "name");
  EXPECT_EQ(spec.ColType, dctVarchar);
  EXPECT_EQ(spec.Length, 40);
  EXPECT_FALSE(spec.Nullable);
  EXPECT_TRUE(spec.Unique);
  EXPECT_EQ(spec.DefaultExpr, "''");
  EXPECT_TRUE(spec.ForeignKey.RefTable.empty());
  ovdba_column_release(&c);
  EXPECT_EQ(c.Name, nullptr);
}
