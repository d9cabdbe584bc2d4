#include "ov_ws_sqlbridge.h"

#include <sqlite3.h>

#include <algorithm>
#include <set>

#include "ov_format.h"
#include "ov_text.h"

namespace ov {

namespace {

enum class TK : std::uint8_t { Word, QIdent, String, Number, Param, Punct };

struct Tok {
  TK kind;
  std::string text;   // Word: upper case; QIdent: the name without quotes; Punct: the character
  std::size_t pos;    // offset in the statement
  std::size_t end;    // offset after the token
};

bool IsWordStart(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c >= 0x80; }
bool IsWordChar(unsigned char c) { return IsWordStart(c) || (c >= '0' && c <= '9') || c == '$'; }
bool IsSpace(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

[[noreturn]] void Refuse(const std::string& msg) { throw ESqlSandbox(msg); }

// Reads a quoted token starting at s[i] == q, closing quote doubled to escape.  Backslashes
// are refused where the server might read them as escapes (MariaDB, PostgreSQL), so that the
// statement splits into the same tokens for the server as for this check.
std::string ReadQuoted(std::string_view s, std::size_t& i, char open, char close, TDBABackend backend) {
  std::string out;
  std::size_t j = i + 1;
  for (;;) {
    if (j >= s.size()) Refuse("Unterminated quoted text in SQL");
    char c = s[j];
    if (c == '\\' && backend != dbSQLite)
      Refuse("Backslashes inside quoted SQL text are not allowed (pass values with db_exec_params)");
    if (c == close) {
      if (open == close && j + 1 < s.size() && s[j + 1] == close) {
        out.push_back(close);
        j += 2;
        continue;
      }
      i = j + 1;
      return out;
    }
    out.push_back(c);
    ++j;
  }
}

std::vector<Tok> Tokenize(std::string_view s, TDBABackend backend) {
  std::vector<Tok> out;
  std::size_t i = 0;
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (IsSpace(c)) {
      ++i;
      continue;
    }
    std::size_t start = i;
    if (c == 0) Refuse("NUL character in SQL");
    if ((c == '-' && i + 1 < s.size() && s[i + 1] == '-') || (c == '/' && i + 1 < s.size() && s[i + 1] == '*') ||
        c == '#')
      Refuse("SQL comments are not allowed");
    if (c == '\'') {
      std::string v = ReadQuoted(s, i, '\'', '\'', backend);
      out.push_back({TK::String, std::move(v), start, i});
    } else if (c == '"') {
      std::string v = ReadQuoted(s, i, '"', '"', backend);
      out.push_back({TK::QIdent, std::move(v), start, i});
    } else if (c == '`') {
      std::string v = ReadQuoted(s, i, '`', '`', backend);
      out.push_back({TK::QIdent, std::move(v), start, i});
    } else if (c == '[' && backend == dbSQLite) {
      std::string v = ReadQuoted(s, i, '[', ']', backend);
      out.push_back({TK::QIdent, std::move(v), start, i});
    } else if ((c >= '0' && c <= '9') ||
               (c == '.' && i + 1 < s.size() && s[i + 1] >= '0' && s[i + 1] <= '9')) {
      ++i;
      while (i < s.size()) {
        unsigned char d = static_cast<unsigned char>(s[i]);
        if ((d == '+' || d == '-') && (s[i - 1] == 'e' || s[i - 1] == 'E') && i + 1 < s.size() && s[i + 1] >= '0' &&
            s[i + 1] <= '9') {
          ++i;
          continue;
        }
        if (!(IsWordChar(d) || d == '.')) break;
        ++i;
      }
      out.push_back({TK::Number, std::string(s.substr(start, i - start)), start, i});
    } else if (IsWordStart(c)) {
      while (i < s.size() && IsWordChar(static_cast<unsigned char>(s[i]))) ++i;
      out.push_back({TK::Word, ToUpperAscii(s.substr(start, i - start)), start, i});
    } else if (c == '$') {
      Refuse("The character '$' is not allowed in SQL here");
    } else if (c == '?') {
      if (i + 1 < s.size() && s[i + 1] >= '0' && s[i + 1] <= '9') Refuse("Numbered placeholders are not allowed");
      ++i;
      out.push_back({TK::Param, "?", start, i});
    } else if (c == ':' && i + 1 < s.size() && IsWordChar(static_cast<unsigned char>(s[i + 1])) &&
               !(i > 0 && s[i - 1] == ':')) {
      Refuse("Named parameters are not allowed (use ? with db_exec_params)");
    } else {
      ++i;
      out.push_back({TK::Punct, std::string(1, static_cast<char>(c)), start, i});
    }
  }
  return out;
}

bool IsP(const Tok& t, char c) { return t.kind == TK::Punct && t.text.size() == 1 && t.text[0] == c; }
bool IsW(const Tok& t, std::string_view w) { return t.kind == TK::Word && t.text == w; }

// Functions that read files, run SQL given as text, or change session settings.
const std::set<std::string>& DeniedFunctions() {
  static const std::set<std::string> s = {
      "LOAD_EXTENSION", "FTS3_TOKENIZER", "READFILE", "WRITEFILE", "EDIT", "LOAD_FILE", "SYS_EXEC", "SYS_EVAL",
      "PG_READ_FILE", "PG_READ_BINARY_FILE", "PG_LS_DIR", "PG_STAT_FILE", "PG_TERMINATE_BACKEND",
      "PG_CANCEL_BACKEND", "PG_RELOAD_CONF", "PG_ROTATE_LOGFILE", "LO_IMPORT", "LO_EXPORT", "LO_GET", "LO_PUT",
      "LO_FROM_BYTEA", "DBLINK", "DBLINK_EXEC", "DBLINK_CONNECT", "SET_CONFIG", "TS_STAT", "TS_REWRITE",
      "QUERY_TO_XML", "QUERY_TO_XMLSCHEMA", "QUERY_TO_XML_AND_XMLSCHEMA", "TABLE_TO_XML", "TABLE_TO_XMLSCHEMA",
      "TABLE_TO_XML_AND_XMLSCHEMA", "CURSOR_TO_XML", "CURSOR_TO_XMLSCHEMA", "SCHEMA_TO_XML", "SCHEMA_TO_XMLSCHEMA",
      "SCHEMA_TO_XML_AND_XMLSCHEMA", "DATABASE_TO_XML", "DATABASE_TO_XMLSCHEMA", "DATABASE_TO_XML_AND_XMLSCHEMA"};
  return s;
}

// Words that may stand between a table-introducing keyword and the name.
const std::set<std::string>& Modifiers() {
  static const std::set<std::string> s = {"ONLY",     "LATERAL",      "IF",      "NOT",           "EXISTS",
                                          "TEMP",     "TEMPORARY",    "IGNORE",  "LOW_PRIORITY",  "DELAYED",
                                          "QUICK",    "HIGH_PRIORITY", "OR",     "ROLLBACK",      "ABORT",
                                          "FAIL",     "REPLACE",      "INTO",    "TABLE"};
  return s;
}

// Words that end a table list.
const std::set<std::string>& ClauseWords() {
  static const std::set<std::string> s = {"WHERE",  "GROUP",  "ORDER", "LIMIT",     "HAVING",    "WINDOW",
                                          "SET",    "UNION",  "INTERSECT", "EXCEPT", "RETURNING", "VALUES",
                                          "SELECT", "OFFSET", "FETCH", "FOR",       "DEFAULT",   "WITH"};
  return s;
}

struct Checker {
  std::string plugin;
  std::string prefix;
  TDBABackend backend;
  const std::vector<Tok>& t;

  bool IsName(std::size_t i) const { return i < t.size() && (t[i].kind == TK::Word || t[i].kind == TK::QIdent); }

  std::string NameText(const Tok& tok) const { return tok.kind == TK::Word ? ToLowerAscii(tok.text) : tok.text; }

  void CheckTable(std::size_t i) const {
    if (i + 1 < t.size() && IsP(t[i + 1], '.'))
      Refuse(Format("Schema-qualified table names are not allowed: %s", NameText(t[i])));
    if (backend == dbMariaDB && t[i].kind == TK::Word && t[i].text == "DUAL") return;
    CheckPrefix(NameText(t[i]));
  }

  // Tables and sequences alike must carry the plug-in's prefix.
  void CheckPrefix(const std::string& name) const {
    if (ToLowerAscii(name).rfind(prefix, 0) != 0)
      Refuse(Format("Plugin \"%s\" cannot access table \"%s\" \xE2\x80\x94 must use prefix \"%s*\"", plugin, name,
                    prefix));
  }

  // The sequence named by nextval/setval/currval/lastval: written out, inside the prefix.
  // PostgreSQL takes it as text ('name', maybe '"Name"'), MariaDB as a name.
  void CheckSequenceArgument(std::size_t fn) const {
    const std::size_t a = fn + 2;  // fn "(" argument
    if (a < t.size() && IsP(t[a], ')') && IsW(t[fn], "LASTVAL")) return;  // the session's last value
    if (a < t.size() && t[a].kind == TK::String) {
      std::string name = t[a].text;
      if (name.size() >= 2 && name.front() == '"' && name.back() == '"') name = name.substr(1, name.size() - 2);
      if (name.find('.') != std::string::npos || name.find('"') != std::string::npos)
        Refuse(Format("Schema-qualified sequence names are not allowed: %s", name));
      CheckPrefix(name);
      return;
    }
    if (IsName(a)) {
      CheckTable(a);
      return;
    }
    Refuse(Format("SQL function %s needs the sequence name written out", ToLowerAscii(t[fn].text)));
  }

  void CheckIndex(std::size_t i) const {
    if (!IsName(i)) Refuse("Index name expected");
    if (i + 1 < t.size() && IsP(t[i + 1], '.'))
      Refuse(Format("Schema-qualified index names are not allowed: %s", NameText(t[i])));
    std::string name = ToLowerAscii(NameText(t[i]));
    if (name.rfind(prefix, 0) != 0 && name.rfind("idx_" + prefix, 0) != 0)
      Refuse(Format("Plugin \"%s\" cannot use index \"%s\" \xE2\x80\x94 index names must begin with \"%s\" or \"idx_%s\"",
                    plugin, NameText(t[i]), prefix, prefix));
  }

  // Index of the main statement keyword (after a WITH clause).
  std::size_t VerbIndex() const {
    if (t.empty()) Refuse("Empty SQL statement");
    if (!IsW(t[0], "WITH")) return 0;
    std::size_t i = 1;
    if (i < t.size() && IsW(t[i], "RECURSIVE")) ++i;
    for (;;) {
      if (!IsName(i)) Refuse("Malformed WITH clause");
      ++i;
      if (i < t.size() && IsP(t[i], '(')) i = SkipParens(i);
      if (!(i < t.size() && IsW(t[i], "AS"))) Refuse("Malformed WITH clause");
      ++i;
      if (i < t.size() && IsW(t[i], "NOT")) ++i;
      if (i < t.size() && IsW(t[i], "MATERIALIZED")) ++i;
      if (!(i < t.size() && IsP(t[i], '('))) Refuse("Malformed WITH clause");
      i = SkipParens(i);
      if (i < t.size() && IsP(t[i], ',')) {
        ++i;
        continue;
      }
      if (i >= t.size()) Refuse("Malformed WITH clause");
      return i;
    }
  }

  // i at "(": returns the index after the matching ")".
  std::size_t SkipParens(std::size_t i) const {
    int depth = 0;
    for (; i < t.size(); ++i) {
      if (IsP(t[i], '(')) ++depth;
      else if (IsP(t[i], ')') && --depth == 0) return i + 1;
    }
    Refuse("Unbalanced parentheses in SQL");
  }

  void CheckIndexStatement(std::size_t verb) const {
    // CREATE [UNIQUE] INDEX [CONCURRENTLY] [IF NOT EXISTS] [name] ON [ONLY] table ...
    // DROP INDEX [CONCURRENTLY] [IF EXISTS] name [, name] [ON table]
    std::size_t i = verb + 1;
    while (i < t.size() && !IsW(t[i], "INDEX")) ++i;
    ++i;
    // Each skipped word starts the list over, so the next token is read only after the bound
    // is checked again: the statement may end on a skipped word.
    auto skip = [&](std::initializer_list<std::string_view> words) {
      while (i < t.size() && std::any_of(words.begin(), words.end(), [&](std::string_view w) { return IsW(t[i], w); }))
        ++i;
    };
    skip({"CONCURRENTLY", "IF", "NOT", "EXISTS"});
    if (IsW(t[verb], "CREATE")) {
      if (!(i < t.size() && IsW(t[i], "ON"))) {
        CheckIndex(i);
        ++i;
      }
      if (backend == dbMariaDB && i < t.size() && IsW(t[i], "USING")) i += 2;
      if (!(i < t.size() && IsW(t[i], "ON"))) Refuse("CREATE INDEX: ON <table> expected");
      ++i;
      skip({"ONLY"});
      if (!IsName(i)) Refuse("CREATE INDEX: table name expected");
      CheckTable(i);
    } else {
      for (;;) {
        CheckIndex(i);
        ++i;
        if (i < t.size() && IsP(t[i], ',')) {
          ++i;
          continue;
        }
        break;
      }
      if (i < t.size() && IsW(t[i], "ON")) {
        ++i;
        if (!IsName(i)) Refuse("DROP INDEX: table name expected");
        CheckTable(i);
      }
    }
  }

  // Finds every place that names a table and checks it.
  void ScanReferences(std::size_t verb_index) const {
    struct Level {
      bool expect = false;   // the next name is a table
      bool list = false;     // a "," brings another table
      bool keyword_args = false;  // inside EXTRACT(... FROM ...) and the like
    };
    static const std::set<std::string> kKeywordArgFuncs = {"EXTRACT", "SUBSTRING", "SUBSTR", "TRIM", "OVERLAY",
                                                        "POSITION"};
    std::vector<Level> st(1);
    const bool create = IsW(t[verb_index], "CREATE");
    const bool alter = IsW(t[verb_index], "ALTER");
    std::size_t last_table = t.size();  // index of the last name checked as a table
    for (std::size_t i = 0; i < t.size(); ++i) {
      const Tok& k = t[i];
      Level& L = st.back();
      const Tok* prev = i > 0 ? &t[i - 1] : nullptr;
      if (IsP(k, '(')) {
        Level child;
        child.keyword_args = prev && prev->kind == TK::Word && kKeywordArgFuncs.count(prev->text) > 0;
        if (L.expect) {
          // A parenthesised table item: a subquery or a join in parentheses.
          child.expect = true;
          child.list = true;
          L.expect = false;
        }
        st.push_back(child);
        continue;
      }
      if (IsP(k, ')')) {
        if (st.size() == 1) Refuse("Unbalanced parentheses in SQL");
        st.pop_back();
        continue;
      }
      if (k.kind == TK::Word) {
        const std::string& w = k.text;
        auto expect = [&](bool list) {
          L.expect = true;
          L.list = list;
        };
        if (w == "FROM") {
          if (L.keyword_args) continue;
          if (prev && IsW(*prev, "DISTINCT")) continue;  // IS [NOT] DISTINCT FROM
          expect(true);
          continue;
        }
        if (w == "JOIN" || w == "STRAIGHT_JOIN") {
          expect(true);
          continue;
        }
        if (w == "INTO" || w == "REFERENCES") {
          expect(false);
          continue;
        }
        if (w == "INSERT") {
          expect(false);
          continue;
        }
        if (w == "REPLACE" && i == verb_index) {
          expect(false);
          continue;
        }
        if (w == "UPDATE" || w == "DELETE") {
          // FOR UPDATE, ON DUPLICATE KEY UPDATE, and the ON DELETE / ON UPDATE actions of a key
          if (prev && (IsW(*prev, "FOR") || IsW(*prev, "KEY") || IsW(*prev, "ON"))) continue;
          expect(true);
          continue;
        }
        if (w == "TRUNCATE" || w == "TABLE") {
          expect(true);
          continue;
        }
        if (w == "VIEW" && prev &&
            (IsW(*prev, "CREATE") || IsW(*prev, "DROP") || IsW(*prev, "TEMP") || IsW(*prev, "TEMPORARY") ||
             IsW(*prev, "REPLACE"))) {
          expect(true);
          continue;
        }
        if (w == "USING" && backend != dbSQLite && IsName(i + 1)) {
          // In a definition, USING names an index's or a table's access method (CREATE INDEX
          // ... USING gin, KEY k (a) USING BTREE), which is no table; elsewhere (DELETE ...
          // USING, MERGE ... USING) it brings one.
          static const std::set<std::string> kAccessMethods = {"BTREE", "HASH", "GIN", "GIST", "SPGIST",
                                                              "BRIN", "RTREE", "HEAP"};
          if ((create || alter) && t[i + 1].kind == TK::Word && kAccessMethods.count(t[i + 1].text) > 0) {
            ++i;
            continue;
          }
          expect(true);
          continue;
        }
        if (w == "IN" && backend == dbSQLite && IsName(i + 1)) {
          expect(false);  // SQLite reads "x IN table"
          continue;
        }
        // Clauses that tie a new or altered table to another one: its parents (INHERITS,
        // INHERIT, PARTITION OF; a parent's scans include the rows of its children), the table
        // whose shape it copies (LIKE, OF) and the tables it merges (UNION=).
        if (w == "INHERITS" && create) {
          expect(true);
          continue;
        }
        if (w == "INHERIT" && alter) {
          expect(false);
          continue;
        }
        if (w == "OF" && (create || alter) && prev && (IsW(*prev, "PARTITION") || i - 1 == last_table)) {
          expect(false);
          continue;
        }
        if (w == "LIKE" && create && prev && (IsP(*prev, '(') || IsP(*prev, ',') || i - 1 == last_table)) {
          expect(false);
          continue;
        }
        if (w == "UNION" && (create || alter) && i + 1 < t.size() && (IsP(t[i + 1], '=') || IsP(t[i + 1], '('))) {
          if (IsP(t[i + 1], '=')) ++i;
          expect(true);
          continue;
        }
        if (w == "RENAME") {
          std::size_t j = i + 1;
          if (j < t.size() && (IsW(t[j], "TO") || IsW(t[j], "AS"))) {
            i = j;
            expect(false);
          } else if (backend == dbMariaDB && IsName(j) &&
                     !(IsW(t[j], "COLUMN") || IsW(t[j], "INDEX") || IsW(t[j], "KEY") || IsW(t[j], "CONSTRAINT"))) {
            expect(false);
          }
          continue;
        }
        if (ClauseWords().count(w)) {
          L.expect = false;
          L.list = false;
          continue;
        }
        if (L.expect) {
          if (Modifiers().count(w)) continue;
          CheckTable(i);
          last_table = i;
          L.expect = false;
        }
        continue;
      }
      if (k.kind == TK::QIdent) {
        if (L.expect) {
          CheckTable(i);
          last_table = i;
          L.expect = false;
        }
        continue;
      }
      if (IsP(k, ',')) {
        if (L.list) L.expect = true;
        continue;
      }
      if (L.expect) {
        if (IsP(k, ';')) continue;
        Refuse(Format("Unexpected \"%s\" where a table name belongs", k.kind == TK::String ? "'" + k.text + "'" : k.text));
      }
    }
    if (st.size() != 1) Refuse("Unbalanced parentheses in SQL");
  }
};

}  // namespace

std::string NormalizePluginPrefix(std::string_view plugin_name) {
  std::string s = ToLowerAscii(plugin_name);
  std::replace(s.begin(), s.end(), '-', '_');
  return "p_" + s + "_";
}

TWSSqlChecked ValidatePluginSandbox(std::string_view plugin_name, std::string_view sql, TWSSqlKind kind,
                                    TDBABackend backend) {
  std::vector<Tok> toks = Tokenize(sql, backend);
  // One statement: a single trailing ";" is allowed.
  for (std::size_t i = 0; i < toks.size(); ++i) {
    if (IsP(toks[i], ';')) {
      for (std::size_t j = i + 1; j < toks.size(); ++j)
        if (!IsP(toks[j], ';')) Refuse("Only one SQL statement is allowed");
      toks.resize(i);
      break;
    }
  }
  Checker c{std::string(plugin_name), NormalizePluginPrefix(plugin_name), backend, toks};
  std::size_t verb_index = c.VerbIndex();
  const Tok& vt = toks[verb_index];
  if (vt.kind != TK::Word) Refuse("SQL statement kind not recognised");
  TWSSqlChecked out;
  out.verb = vt.text;

  for (std::size_t i = 0; i < toks.size(); ++i) {
    const Tok& k = toks[i];
    if (k.kind != TK::Word) continue;
    if (k.text == "ATTACH" || k.text == "DETACH" || k.text == "PRAGMA" || k.text == "VACUUM")
      Refuse(Format("SQL statement not allowed: %s", k.text));
    if (i + 1 < toks.size() && IsP(toks[i + 1], '(') && DeniedFunctions().count(k.text))
      Refuse(Format("SQL function not allowed: %s", ToLowerAscii(k.text)));
    // Sequences are shared objects outside any transaction: setval on a core table's sequence
    // would make that table's next inserts collide.
    if (i + 1 < toks.size() && IsP(toks[i + 1], '(') &&
        (k.text == "NEXTVAL" || k.text == "SETVAL" || k.text == "CURRVAL" || k.text == "LASTVAL"))
      c.CheckSequenceArgument(i);
  }

  const std::string& v = out.verb;
  if (kind == TWSSqlKind::Query) {
    // The read connection's transaction is rolled back: a write there would be lost while
    // the answer says "ok".
    if (v != "SELECT") Refuse("db_query accepts only SELECT statements");
    for (std::size_t i = 0; i < toks.size(); ++i) {
      const Tok& k = toks[i];
      if (k.kind != TK::Word) continue;
      bool call = i + 1 < toks.size() && IsP(toks[i + 1], '(');
      if (k.text == "INSERT" || k.text == "UPDATE" || k.text == "DELETE" || k.text == "MERGE" || k.text == "INTO" ||
          (k.text == "REPLACE" && !call))
        Refuse("db_query accepts only SELECT statements");
    }
  } else {
    static const std::set<std::string> kVerbs = {"SELECT", "INSERT", "REPLACE", "UPDATE", "DELETE",
                                                 "CREATE", "DROP",   "ALTER",   "TRUNCATE"};
    if (!kVerbs.count(v)) Refuse(Format("SQL statement not allowed: %s", v));
    if (verb_index > 0 && (v == "CREATE" || v == "DROP" || v == "ALTER" || v == "TRUNCATE"))
      Refuse(Format("SQL statement not allowed: WITH ... %s", v));
    if (v == "CREATE" || v == "DROP" || v == "ALTER") {
      out.ddl = true;
      std::size_t i = verb_index + 1;
      static const std::set<std::string> kSkip = {"OR", "REPLACE", "TEMP", "TEMPORARY", "UNIQUE", "VIRTUAL"};
      while (i < toks.size() && toks[i].kind == TK::Word && kSkip.count(toks[i].text)) ++i;
      std::string what = i < toks.size() ? toks[i].text : std::string();
      bool ok = (v == "ALTER") ? what == "TABLE" : (what == "TABLE" || what == "INDEX" || what == "VIEW");
      if (!ok) Refuse(Format("SQL statement not allowed: %s %s", v, what));
      if (what == "INDEX") c.CheckIndexStatement(verb_index);
    }
  }
  c.ScanReferences(verb_index);

  // Placeholders: each "?" outside quotes becomes :p0, :p1, ...
  std::string text(sql.substr(0, toks.empty() ? sql.size() : toks.back().end));
  if (kind == TWSSqlKind::ExecParams) {
    std::string rewritten;
    std::size_t last = 0;
    for (const Tok& k : toks) {
      if (k.kind != TK::Param) continue;
      rewritten.append(text, last, k.pos - last);
      rewritten += ":p" + std::to_string(out.placeholders++);
      last = k.end;
    }
    rewritten.append(text, last, std::string::npos);
    out.sql = std::move(rewritten);
  } else {
    for (const Tok& k : toks)
      if (k.kind == TK::Param) Refuse("Placeholders (?) are only allowed with db_exec_params");
    out.sql = std::move(text);
  }
  return out;
}

// ---- SQLite authorizer ---------------------------------------------------------------------------

namespace {

bool StartsWithCI(const char* s, const std::string& prefix) {
  if (!s) return false;
  std::string l = ToLowerAscii(s);
  return l.rfind(prefix, 0) == 0;
}

bool IsSchemaTable(const char* s) {
  if (!s) return false;
  std::string l = ToLowerAscii(s);
  return l == "sqlite_master" || l == "sqlite_schema" || l == "sqlite_temp_master" || l == "sqlite_temp_schema";
}

bool IsSequenceTable(const char* s) { return s && ToLowerAscii(s) == "sqlite_sequence"; }

int Authorize(void* ud, int action, const char* a1, const char* a2, const char* /*db*/, const char* /*trigger*/) {
  const auto* c = static_cast<const TWSSqliteGuard::Context*>(ud);
  const bool write = c->kind != TWSSqlKind::Query;
  auto own = [&](const char* name) { return StartsWithCI(name, c->prefix); };
  switch (action) {
    case SQLITE_SELECT:
    case SQLITE_RECURSIVE:
      return SQLITE_OK;
    case SQLITE_TRANSACTION:
    case SQLITE_SAVEPOINT:
      // The database layer's own transaction around the statement; the statement check
      // refuses transaction control from the plug-in itself.
      return SQLITE_OK;
    case SQLITE_READ:
      if (own(a1)) return SQLITE_OK;
      if (write && (IsSequenceTable(a1) || (c->ddl && IsSchemaTable(a1)))) return SQLITE_OK;
      return SQLITE_DENY;
    case SQLITE_INSERT:
    case SQLITE_UPDATE:
    case SQLITE_DELETE:
      if (!write) return SQLITE_DENY;
      if (own(a1) || IsSequenceTable(a1) || (c->ddl && IsSchemaTable(a1))) return SQLITE_OK;
      return SQLITE_DENY;
    case SQLITE_CREATE_TABLE:
    case SQLITE_CREATE_TEMP_TABLE:
    case SQLITE_DROP_TABLE:
    case SQLITE_DROP_TEMP_TABLE:
    case SQLITE_CREATE_VIEW:
    case SQLITE_CREATE_TEMP_VIEW:
    case SQLITE_DROP_VIEW:
    case SQLITE_DROP_TEMP_VIEW:
    case SQLITE_CREATE_VTABLE:
    case SQLITE_DROP_VTABLE:
      return write && own(a1) ? SQLITE_OK : SQLITE_DENY;
    case SQLITE_CREATE_INDEX:
    case SQLITE_CREATE_TEMP_INDEX:
    case SQLITE_DROP_INDEX:
    case SQLITE_DROP_TEMP_INDEX:
    case SQLITE_ALTER_TABLE:
      return write && own(a2) ? SQLITE_OK : SQLITE_DENY;
    case SQLITE_REINDEX:  // issued by CREATE INDEX for the new index
      return write && c->ddl ? SQLITE_OK : SQLITE_DENY;
    case SQLITE_FUNCTION:
      return a2 && DeniedFunctions().count(ToUpperAscii(a2)) ? SQLITE_DENY : SQLITE_OK;
    default:
      return SQLITE_DENY;  // PRAGMA, ATTACH, DETACH, transactions, triggers, ANALYZE, REINDEX ...
  }
}

}  // namespace

TWSSqliteGuard::TWSSqliteGuard(void* sqlite_handle, std::string prefix, TWSSqlKind kind, bool ddl)
    : db_(sqlite_handle), ctx_{std::move(prefix), kind, ddl} {
  if (db_) sqlite3_set_authorizer(static_cast<sqlite3*>(db_), &Authorize, &ctx_);
}

TWSSqliteGuard::~TWSSqliteGuard() {
  if (db_) sqlite3_set_authorizer(static_cast<sqlite3*>(db_), nullptr, nullptr);
}

}  // namespace ov
