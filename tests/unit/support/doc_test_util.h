// Reading the documents under docs/ against the server: the texts a document quotes as the
// server's own must be texts the server's sources really hold.
//
// A quoted text is a code span (outside fenced blocks) right after its marker: a status or close
// code of 3 or 4 digits (api.md, plugins.md), or one of a document's marker words (plugins.md:
// the log levels, "raises", "reason").  <placeholders> in it stand for what the server fills in;
// the literal pieces between them are looked for.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace ovtest::docs {

namespace fs = std::filesystem;

inline const fs::path kSourceDir = OV_SOURCE_DIR;

inline std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Every source and public header of the server, with the escapes of C++ string literals that
// documents write as the characters themselves undone.
inline std::string ServerTexts() {
  std::string all;
  for (const char* dir : {"src", "include"})
    for (const auto& e : fs::recursive_directory_iterator(kSourceDir / dir)) {
      const std::string ext = e.path().extension().string();
      if (e.is_regular_file() && (ext == ".cpp" || ext == ".h")) all += ReadText(e.path()) + "\n";
    }
  for (const auto& [from, to] : {std::pair<std::string, std::string>{"\\\"", "\""}, {"\\xE2\\x80\\x94", "\xE2\x80\x94"}})
    for (std::size_t p = 0; (p = all.find(from, p)) != std::string::npos; p += to.size()) all.replace(p, from.size(), to);
  return all;
}

// A quoted text, its marker and the document line it starts on.
struct QuotedText {
  std::string marker, text;
  std::size_t line = 0;
};

// The document's quoted texts.  A code span broken over two lines reads as one blank, as
// Markdown renders it.
inline std::vector<QuotedText> QuotedTexts(const std::vector<std::string>& lines, const std::set<std::string>& words = {}) {
  std::string prose;
  std::vector<std::size_t> line_of;  // the document line of each character of prose
  bool fenced = false;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].rfind("```", 0) == 0) {
      fenced = !fenced;
      continue;
    }
    if (fenced) continue;
    prose += lines[i] + "\n";
    line_of.resize(prose.size(), i + 1);
  }
  std::vector<QuotedText> out;
  for (std::size_t open = prose.find('`'); open != std::string::npos;) {
    const std::size_t close = prose.find('`', open + 1);
    if (close == std::string::npos) break;
    std::size_t p = open;
    while (p > 0 && std::isspace(static_cast<unsigned char>(prose[p - 1]))) --p;
    std::size_t start = p;
    while (start > 0 && std::isalnum(static_cast<unsigned char>(prose[start - 1]))) --start;
    const std::string word = prose.substr(start, p - start);
    const bool digits = !word.empty() && std::all_of(word.begin(), word.end(), [](unsigned char c) { return std::isdigit(c); });
    if (p != open && ((digits && word.size() >= 3 && word.size() <= 4) || words.count(word))) {
      std::string text = std::regex_replace(prose.substr(open + 1, close - open - 1), std::regex("\n\\s*"), " ");
      out.push_back({word, std::move(text), line_of[open]});
    }
    open = prose.find('`', close + 1);
  }
  return out;
}

// The literal pieces of a quoted text, its <placeholders> left out.
inline std::vector<std::string> LiteralPieces(const std::string& text) {
  std::vector<std::string> pieces;
  std::size_t from = 0;
  for (std::size_t lt; (lt = text.find('<', from)) != std::string::npos;) {
    const std::size_t gt = text.find('>', lt);
    if (gt == std::string::npos) break;
    if (lt > from) pieces.push_back(text.substr(from, lt - from));
    from = gt + 1;
  }
  if (from < text.size()) pieces.push_back(text.substr(from));
  return pieces;
}

// The pieces of a quoted text that server (ServerTexts) lacks.  A number the server formats
// into a text appears in its source as %d.
inline std::vector<std::string> MissingPieces(const std::string& server, const std::string& text) {
  std::vector<std::string> missing;
  for (const std::string& piece : LiteralPieces(text))
    if (server.find(piece) == std::string::npos &&
        server.find(std::regex_replace(piece, std::regex("[0-9]+"), "%d")) == std::string::npos)
      missing.push_back(piece);
  return missing;
}

// A test of one document: its lines, read before each test.
class DocTest : public ::testing::Test {
 protected:
  explicit DocTest(std::string relative_path) : path_(kSourceDir / relative_path) {}
  void SetUp() override {
    ASSERT_TRUE(fs::is_regular_file(path_)) << path_;
    lines = Lines(ReadText(path_));
  }
  std::vector<std::string> lines;

 private:
  const fs::path path_;
};

}  // namespace ovtest::docs
