// docs/plugins.md, the plug-in author's guide, against the server: every message it quotes is one
// the server's sources hold, its host table is the header's slot for slot with the permission
// each slot checks, its permission table is the server's names in ordinal order with their
// critical mark and the functions each guards, its events are ones the server names, and its C
// excerpts are the sample plug-in's own text.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "doc_test_util.h"
#include "ov_plugin_api.h"

using namespace ov;

namespace plugin_docs_test {

using namespace ovtest::docs;

// The lines from the heading (exactly) up to the next heading of the same or a higher level.
std::vector<std::string> Section(const std::vector<std::string>& lines, const std::string& heading) {
  const std::size_t level = heading.find(' ');
  std::vector<std::string> out;
  bool inside = false;
  for (const std::string& line : lines) {
    const std::size_t hashes = line.find_first_not_of('#');
    if (hashes > 0 && hashes != std::string::npos && line[hashes] == ' ') {
      if (inside && hashes <= level) break;
      if (line == heading) {
        inside = true;
        continue;
      }
    }
    if (inside) out.push_back(line);
  }
  return out;
}

// A slot of IOVPluginHostVtbl: its function and the permission its comment names ("-": none).
struct Slot {
  std::string name, perm;
  bool operator==(const Slot&) const = default;
};

// The header's host table: "(*Name)(...); /* n [permission] */" in slot order.
std::map<int, Slot> HeaderHostSlots() {
  const std::string h = ReadText(kSourceDir / "include/orvanta/plugin_abi.h");
  const std::size_t begin = h.find("typedef struct IOVPluginHostVtbl {");
  const std::size_t end = h.find("} IOVPluginHostVtbl;", begin);
  std::map<int, Slot> slots;
  if (begin == std::string::npos || end == std::string::npos) return slots;
  const std::string body = h.substr(begin, end - begin);
  static const std::regex kSlot(R"re(\(\*(\w+)\)\([^;]*\);\s*/\*\s*(\d+)\s*(?:\[([a-z._]+)\])?\s*\*/)re");
  for (std::sregex_iterator it(body.begin(), body.end(), kSlot), last; it != last; ++it)
    slots[std::stoi((*it)[2])] = {(*it)[1], (*it)[3].matched ? (*it)[3].str() : "-"};
  return slots;
}

// The code spans of a text.
std::vector<std::string> CodeSpans(const std::string& text) {
  std::vector<std::string> spans;
  static const std::regex kSpan("`([^`]+)`");
  for (std::sregex_iterator it(text.begin(), text.end(), kSpan), last; it != last; ++it) spans.push_back((*it)[1]);
  return spans;
}

class PluginDocs : public DocTest {
 protected:
  PluginDocs() : DocTest("docs/plugins.md") {}
};

}  // namespace plugin_docs_test

using plugin_docs_test::PluginDocs;

TEST_F(PluginDocs, QuotedMessagesAreTheServersOwn) {
  using namespace plugin_docs_test;
  const std::string server = ServerTexts();
  const std::vector<QuotedText> quoted = QuotedTexts(lines, {"error", "warning", "info", "debug", "raises", "reason"});
  EXPECT_GT(quoted.size(), 80u) << "the guide quotes far fewer messages than expected";
  for (const QuotedText& q : quoted)
    for (const std::string& piece : MissingPieces(server, q.text))
      ADD_FAILURE() << "docs/plugins.md line " << q.line << ": " << q.marker << " `" << q.text
                    << "`: the server has no text \"" << piece << "\"";
}

TEST_F(PluginDocs, TablesMatchTheHeaderAndTheServer) {
  using namespace plugin_docs_test;
  // The host table: one row per slot, "| n | `Name` | permission or - | ... |".
  const std::map<int, Slot> header = HeaderHostSlots();
  ASSERT_EQ(header.size(), 71u) << "the header's host table did not parse";
  EXPECT_EQ(header.rbegin()->first, 70);
  std::map<int, Slot> documented;
  static const std::regex kHostRow(R"re(^\| (\d+) \| `(\w+)` \| ([a-z._]+|-) \|.*)re");
  for (const std::string& line : Section(lines, "## The host table")) {
    std::smatch m;
    if (!std::regex_match(line, m, kHostRow)) continue;
    if (!documented.emplace(std::stoi(m[1]), Slot{m[2], m[3]}).second) ADD_FAILURE() << "slot documented twice: " << line;
  }
  for (const auto& [n, slot] : header) {
    auto it = documented.find(n);
    if (it == documented.end())
      ADD_FAILURE() << "host slot " << n << " (" << slot.name << ") missing from the guide's host table";
    else
      EXPECT_TRUE(it->second == slot) << "slot " << n << ": the guide has " << it->second.name << " needing "
                                  << it->second.perm << ", the header " << slot.name << " needing " << slot.perm;
  }
  EXPECT_EQ(documented.size(), header.size()) << "the guide's host table has rows the header lacks";

  // The permission table: every permission in ordinal order, the host functions it guards (or
  // none), and the server's critical mark.
  std::map<std::string, std::set<std::string>> guarded;
  for (const auto& [n, slot] : header)
    if (slot.perm != "-") guarded[slot.perm].insert(slot.name);
  static const std::regex kPermRow(R"re(^\| `([a-z._]+)` \| (.*) \| (yes|no) \|$)re");
  std::vector<std::string> names;
  for (const std::string& line : Section(lines, "### Permissions")) {
    std::smatch m;
    if (!std::regex_match(line, m, kPermRow)) continue;
    names.push_back(m[1]);
    TOVPermission p;
    if (!StringToPermission(m[1].str(), p)) {
      ADD_FAILURE() << "not a permission of the server: " << m[1];
      continue;
    }
    EXPECT_EQ(m[3] == "yes", PermissionIsCritical(p)) << m[1] << ": critical mark";
    const std::vector<std::string> spans = CodeSpans(m[2]);
    EXPECT_EQ(std::set<std::string>(spans.begin(), spans.end()), guarded[m[1]]) << m[1] << ": the functions it guards";
  }
  std::vector<std::string> expected;
  for (int i = 0; i < kPermissionCount; ++i) expected.push_back(PermissionToString(static_cast<TOVPermission>(i)));
  EXPECT_EQ(names, expected) << "the permission table, in ordinal order";

  // The events: each a name the server's sources spell, and every name the header gives is in
  // the guide.
  const std::string server = ServerTexts();
  const std::vector<std::string> events = Section(lines, "## Events");
  std::string event_text;
  for (const std::string& line : events) {
    event_text += line + "\n";
    static const std::regex kEventRow(R"re(^\| `([a-z_.]+)` \|.*)re");
    std::smatch m;
    if (!std::regex_match(line, m, kEventRow)) continue;
    EXPECT_NE(server.find("\"" + m[1].str() + "\""), std::string::npos) << "the server never names the event " << m[1];
  }
  static const std::regex kHeaderEvent(R"re(#define OV_EVENT_\w+ "([a-z_.]+)")re");
  const std::string h = ReadText(kSourceDir / "include/orvanta/plugin_abi.h");
  for (std::sregex_iterator it(h.begin(), h.end(), kHeaderEvent), last; it != last; ++it)
    EXPECT_NE(event_text.find("`" + (*it)[1].str() + "`"), std::string::npos) << "event missing from the guide: " << (*it)[1];
}

TEST_F(PluginDocs, CExcerptsAreTheSamplesOwnText) {
  using namespace plugin_docs_test;
  const std::string sample = ReadText(kSourceDir / "examples/hello-plugin/hello.c");
  ASSERT_FALSE(sample.empty());
  std::size_t blocks = 0;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i] != "```c") continue;
    std::string block;
    const std::size_t first = i + 1;
    for (++i; i < lines.size() && lines[i] != "```"; ++i) block += lines[i] + "\n";
    ++blocks;
    EXPECT_NE(sample.find(block), std::string::npos)
        << "docs/plugins.md line " << first << ": the excerpt is not in examples/hello-plugin/hello.c:\n" << block;
  }
  EXPECT_GE(blocks, 8u) << "the walkthrough quotes fewer excerpts than expected";
}

TEST_F(PluginDocs, HeaderMapNamesThePermissionsAsTheHeaderDoes) {
  using namespace plugin_docs_test;
  // The header's own pairs: "OV_PERM_X = n" and "#define OV_PERM_NAME_X "text"".
  const std::string h = ReadText(kSourceDir / "include/orvanta/plugin_abi.h");
  std::map<std::string, std::string> ordinal, text;
  static const std::regex kOrdinal(R"re(\b(OV_PERM_\w+) = (\d+))re"), kText(R"re(#define OV_PERM_NAME_(\w+) "([a-z._]+)")re");
  for (std::sregex_iterator it(h.begin(), h.end(), kOrdinal), last; it != last; ++it) ordinal[(*it)[1]] = (*it)[2];
  for (std::sregex_iterator it(h.begin(), h.end(), kText), last; it != last; ++it) text["OV_PERM_" + (*it)[1].str()] = (*it)[2];
  ASSERT_EQ(ordinal.size(), static_cast<std::size_t>(kPermissionCount));
  std::map<std::string, std::pair<std::string, std::string>> documented;
  static const std::regex kRow(R"re(^\| (\d+) \| `(OV_PERM_\w+)` \| `([a-z._]+)` \|$)re");
  for (const std::string& line : Section(lines, "## A map of the header")) {
    std::smatch m;
    if (std::regex_match(line, m, kRow)) documented[m[2]] = {m[1], m[3]};
  }
  EXPECT_EQ(documented.size(), ordinal.size()) << "the map's permission table has not every permission";
  for (const auto& [name, n] : ordinal)
    EXPECT_EQ(documented[name], std::make_pair(n, text[name])) << name;
}
