// docs/api.md against the server: every route of the REST table documented with its access
// level and nothing documented that the table lacks, every documented route reachable as
// written, the hub's message types as its handler table has them, and every answer text the
// document quotes one the server really sends.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "doc_test_util.h"
#include "ov_auth.h"
#include "ov_route_api.h"
#include "ov_router.h"
#include "route_test_util.h"

using namespace ov;

namespace route_docs_test {

using namespace ovtest::docs;

// The document's words for the table's access levels.
const char* AccessWord(TOVRouteAccess a) {
  switch (a) {
    case TOVRouteAccess::None: return "public";
    case TOVRouteAccess::Auth: return "auth";
    case TOVRouteAccess::Admin: return "admin";
    case TOVRouteAccess::AdminShort: return "admin*";
  }
  return "?";
}

// A route heading: ### `METHOD /path` (access)
struct DocRoute {
  std::string method, pattern, access;
  std::size_t line = 0;
  std::string Key() const { return method + " " + pattern; }
};

// Every "### `" heading is a route heading; one that does not parse is reported in bad.
std::vector<DocRoute> RouteHeadings(const std::vector<std::string>& lines, std::vector<std::string>& bad) {
  static const std::regex kHeading(R"re(^### `(GET|POST|PUT|DELETE) (/\S*)` \((public|auth|admin|admin\*)\)\s*$)re");
  std::vector<DocRoute> routes;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].rfind("### `", 0) != 0) continue;
    std::smatch m;
    if (std::regex_match(lines[i], m, kHeading))
      routes.push_back({m[1], m[2], m[3], i + 1});
    else
      bad.push_back("line " + std::to_string(i + 1) + ": " + lines[i]);
  }
  return routes;
}

// The first-column names of the table under the heading: rows "| `name` | ...".
std::vector<std::string> TableNames(const std::vector<std::string>& lines, const std::string& heading) {
  std::vector<std::string> names;
  bool inside = false;
  for (const std::string& line : lines) {
    if (line.rfind("#", 0) == 0) {
      inside = line == heading;
      continue;
    }
    if (!inside || line.rfind("| `", 0) != 0) continue;
    const std::size_t end = line.find('`', 3);
    if (end != std::string::npos) names.push_back(line.substr(3, end - 3));
  }
  return names;
}

// The types of the hub's handler table, kCore in ov_ws_handlers.cpp.
std::set<std::string> HubHandlerTable() {
  const std::string src = ReadText(kSourceDir / "src/hub/ov_ws_handlers.cpp");
  const std::size_t begin = src.find("kCore[] = {");
  const std::size_t end = src.find("};", begin);
  std::set<std::string> types;
  if (begin == std::string::npos || end == std::string::npos) return types;
  const std::string table = src.substr(begin, end - begin);
  static const std::regex kRow(R"re(\{"([a-z_]+)",\s*&TOVWSServer::)re");
  for (std::sregex_iterator it(table.begin(), table.end(), kRow), last; it != last; ++it) types.insert((*it)[1]);
  return types;
}

void RecordDocRow(TOVApiRequest& c) {
  c.resp.status = 299;
  c.resp.body = c.route ? c.route->name : "?";
}

class RouteDocs : public DocTest {
 protected:
  RouteDocs() : DocTest("docs/api.md") {}
};

}  // namespace route_docs_test

using route_docs_test::RouteDocs;

// The table ApiRouteTable() is exactly what RegisterAPIRoutes() puts into the server's router.
TEST_F(RouteDocs, EveryRegisteredRouteDocumentedAndNothingElse) {
  using namespace route_docs_test;
  std::vector<std::string> bad;
  const std::vector<DocRoute> documented = RouteHeadings(lines, bad);
  for (const auto& b : bad) ADD_FAILURE() << "route heading not in the form ### `METHOD /path` (access): " << b;

  std::map<std::string, const DocRoute*> doc_by_key;
  for (const DocRoute& d : documented)
    if (!doc_by_key.emplace(d.Key(), &d).second) ADD_FAILURE() << "documented twice: " << d.Key();

  std::set<std::string> table_keys;
  for (const TOVApiRoute& row : ApiRouteTable()) {
    const std::string key = std::string(row.method) + " " + row.pattern;
    table_keys.insert(key);
    auto it = doc_by_key.find(key);
    if (it == doc_by_key.end()) {
      ADD_FAILURE() << "route missing from docs/api.md: ### `" << key << "` (" << AccessWord(row.access) << ")";
      continue;
    }
    EXPECT_EQ(it->second->access, AccessWord(row.access)) << key << " (docs/api.md line " << it->second->line << ")";
  }
  for (const DocRoute& d : documented)
    if (!table_keys.count(d.Key()))
      ADD_FAILURE() << "docs/api.md line " << d.line << " documents a route the server does not have: " << d.Key();

  // Each documented route, with a value in every ":name" segment, reaches its own row through a
  // router the table was registered into: a row shadowed by an earlier one would be documented
  // but unreachable.
  TOVAuth::Init("route-docs-secret", 3600);
  const std::string admin = "Bearer " + TOVAuth::CreateJWT(1, "sysop", true, 255, "", "");
  std::vector<TOVApiRoute> recording(ApiRouteTable().begin(), ApiRouteTable().end());
  for (auto& r : recording) r.handler = route_docs_test::RecordDocRow;
  std::map<std::string, std::string> name_by_key;
  for (const auto& r : recording) name_by_key[std::string(r.method) + " " + r.pattern] = r.name;
  TOVRouter router;
  RegisterAPIRoutes(router, recording);
  EXPECT_EQ(router.Count(), recording.size());
  for (const DocRoute& d : documented) {
    if (!name_by_key.count(d.Key())) continue;
    std::string path = d.pattern;
    for (std::size_t p; (p = path.find(':')) != std::string::npos;) {
      const std::size_t end = path.find('/', p);
      path.replace(p, (end == std::string::npos ? path.size() : end) - p, "v1x");
    }
    TOVHttpRequest req = ovtest::ApiRequest(d.method, path);
    req.headers.emplace("Authorization", admin);
    const ovtest::Answer a = ovtest::Route(router, req);
    EXPECT_EQ(a.body, name_by_key[d.Key()]) << d.method << " " << path << " (docs/api.md line " << d.line << ")";
  }
}

TEST_F(RouteDocs, HubMessageTypesMatchTheHandlerTable) {
  using namespace route_docs_test;
  const std::set<std::string> handlers = HubHandlerTable();
  ASSERT_FALSE(handlers.empty()) << "no kCore table found in src/hub/ov_ws_handlers.cpp";

  const std::vector<std::string> inbound = TableNames(lines, "### Messages clients send");
  ASSERT_FALSE(inbound.empty()) << "no table under ### Messages clients send";
  const std::set<std::string> documented(inbound.begin(), inbound.end());
  EXPECT_EQ(documented.size(), inbound.size()) << "a message type is documented twice";
  for (const auto& t : handlers)
    EXPECT_TRUE(documented.count(t)) << "hub message type missing from docs/api.md: " << t;
  for (const auto& t : documented)
    EXPECT_TRUE(handlers.count(t)) << "docs/api.md documents a message type the hub does not handle: " << t;

  // What the hub sends has no table in the code: each type must at least be a text of the hub.
  std::string hub_sources;
  for (const auto& e : fs::directory_iterator(kSourceDir / "src/hub"))
    if (e.path().extension() == ".cpp") hub_sources += ReadText(e.path());
  const std::vector<std::string> outbound = TableNames(lines, "### Messages the hub sends");
  ASSERT_FALSE(outbound.empty()) << "no table under ### Messages the hub sends";
  for (const auto& t : outbound)
    EXPECT_NE(hub_sources.find("\"" + t + "\""), std::string::npos) << "the hub never sends a message of type " << t;
}

TEST_F(RouteDocs, QuotedAnswerTextsAreTheServersOwn) {
  using namespace route_docs_test;
  const std::string server = ServerTexts();
  const std::vector<QuotedText> quoted = QuotedTexts(lines);
  EXPECT_GT(quoted.size(), 100u) << "the document quotes far fewer answer texts than expected";
  for (const QuotedText& q : quoted)
    for (const std::string& piece : MissingPieces(server, q.text))
      ADD_FAILURE() << "docs/api.md line " << q.line << ": " << q.marker << " `" << q.text
                    << "`: the server has no text \"" << piece << "\"";
}
