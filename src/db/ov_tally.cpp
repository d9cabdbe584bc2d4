#include "ov_tally.h"

#include <algorithm>
#include <utility>

#include "dbapi_storage.h"
#include "ov_format.h"

namespace ov {

namespace {

// The tally's own columns besides the counted ones.
constexpr const char* kBlockCol = "block_no";
constexpr const char* kCountCol = "n";

// The statements that create and keep one tally on one server, built once from its spec.
class TallySQL {
 public:
  TallySQL(IDBADialect& d, const TOVTallySpec& s)
      : d_(d), s_(s), kind_(DBAToSqlBackend(d.Backend())), t_(d.QuoteIdent(s.table)), tt_(d.QuoteIdent(s.Name())) {
    key_.push_back(kBlockCol);
    key_.insert(key_.end(), s.columns.begin(), s.columns.end());
  }

  bool Pg() const { return kind_ == sql::Backend::Postgres; }
  const std::string& Table() const { return t_; }
  const std::string& Tally() const { return tt_; }

  // The trigger names, each also the name of its function on PostgreSQL.
  std::vector<std::string> TriggerNames() const {
    std::vector<std::string> names = {s_.Name() + "_ins", s_.Name() + "_del", s_.Name() + "_upd"};
    if (Pg()) names.push_back(s_.Name() + "_trunc");
    return names;
  }

  // "CREATE TABLE IF NOT EXISTS" the tally: its counted columns of the same type (and, on
  // MariaDB, collation) as the table's, so that a filter compares alike in both.
  std::string CreateTable() {
    const TJSON live = LiveColumns();
    std::string cols = Q(kBlockCol) + " BIGINT NOT NULL";
    for (const std::string& c : s_.columns) {
      const auto it = std::find_if(live.begin(), live.end(), [&](const TJSON& r) {
        return DBASameName(JStr(r, "name"), c);
      });
      if (it == live.end()) throw sql::SqlError("tally of " + s_.table + ": no column " + c);
      cols += ", " + Q(c) + " " + JStr(*it, "type");
      if (!Pg() && !JStr(*it, "collation").empty()) cols += " COLLATE " + Q(JStr(*it, "collation"));
      cols += " NOT NULL";
    }
    cols += ", " + Q(kCountCol) + " BIGINT NOT NULL";
    // PostgreSQL upserts on the key; MariaDB keys whole TEXT values only by a hash it cannot
    // look up by, so its triggers find their row through a plain index (KeyIndex).
    if (Pg() || s_.columns.empty()) cols += ", PRIMARY KEY (" + KeyList("") + ")";
    return "CREATE TABLE IF NOT EXISTS " + tt_ + " (" + cols + ")";
  }
  // MariaDB, with counted columns: the index the triggers find a row by (prefixes of TEXT).
  TDBAIndexSpec KeyIndex() const { return MakeIndex(s_.Name() + "_key", key_); }

  // The statements that (re)write the triggers, replacing what an earlier start wrote.
  std::vector<std::string> Triggers() const { return Pg() ? PgTriggers() : MyTriggers(); }

  // Every count from the table's rows.
  std::string Rebuild() const {
    return "INSERT INTO " + tt_ + " (" + KeyList("") + ", " + Q(kCountCol) + ") SELECT " + Block("id") +
           ColList("", true) + ", COUNT(*) FROM " + t_ + " GROUP BY " + GroupNumbers();
  }

 private:
  std::string Q(std::string_view name) const { return d_.QuoteIdent(name); }
  std::string Block(const std::string& key) const { return KeyBlockExpr(kind_, key, s_.block_bits); }
  // ", <row>c1, <row>c2" (leading comma when lead), or "<row>c1, <row>c2".
  std::string ColList(const std::string& row, bool lead) const {
    std::string out;
    for (const std::string& c : s_.columns) out += (lead || !out.empty() ? ", " : "") + row + Q(c);
    return out;
  }
  std::string KeyList(const std::string& row) const { return row + Q(kBlockCol) + ColList(row, true); }
  std::string GroupNumbers() const {
    std::string out = "1";
    for (std::size_t i = 0; i < s_.columns.size(); ++i) out += ", " + std::to_string(i + 2);
    return out;
  }
  // "block_no = <block of row.id> AND c1 = row.c1 ..." for a tally row of the trigger's row.
  std::string KeyMatch(const std::string& row) const {
    std::string out = Q(kBlockCol) + " = " + Block(row + "id");
    for (const std::string& c : s_.columns) out += " AND " + Q(c) + " = " + row + Q(c);
    return out;
  }

  TJSON LiveColumns() {
    const char* sql =
        Pg() ? "SELECT a.attname AS name, format_type(a.atttypid, a.atttypmod) AS type, '' AS collation "
               "FROM pg_attribute a WHERE a.attrelid = to_regclass(:p1) AND a.attnum > 0 AND NOT a.attisdropped"
             : "SELECT column_name AS name, column_type AS type, COALESCE(collation_name, '') AS collation "
               "FROM information_schema.columns WHERE table_schema = DATABASE() AND table_name = :p1";
    return d_.QuerySQL(sql, TJSON::array({Pg() ? t_ : s_.table}));
  }

  // PostgreSQL: a statement's inserted and deleted rows are counted from its transition
  // tables in one grouped statement (a bulk insert or a deletion of thousands costs one), and
  // the counts that came down to 0 are dropped (a look over the few tally rows: matching them
  // against the deleted rows instead would compare each with all of them once the deleted
  // rows outgrow the memory a hash may take); an update moves a row's count only when its
  // block or a counted column changes.
  std::vector<std::string> PgTriggers() const {
    const std::string name = s_.Name();
    const std::string keys = KeyList("");
    const auto function = [&](const std::string& fn, const std::string& body) {
      return "CREATE OR REPLACE FUNCTION " + Q(fn) + "() RETURNS trigger LANGUAGE plpgsql AS $ov$ BEGIN " + body +
             " RETURN NULL; END $ov$";
    };
    const std::string grouped = "SELECT " + Block("id") + " AS " + Q(kBlockCol) + ColList("", true) +
                                ", COUNT(*) AS " + Q(kCountCol) + " FROM ";
    std::string same;  // "t.block_no = d.block_no AND t.c1 = d.c1 ..."
    for (const std::string& k : key_) same += (same.empty() ? "" : " AND ") + std::string("t.") + Q(k) + " = d." + Q(k);
    const std::string add = "INSERT INTO " + tt_ + " AS t (" + keys + ", " + Q(kCountCol) + ") ";
    const std::string on_conflict = " ON CONFLICT (" + keys + ") DO UPDATE SET " + Q(kCountCol) + " = t." +
                                    Q(kCountCol) + " + EXCLUDED." + Q(kCountCol) + ";";
    const std::string ins = add + grouped + "ov_new GROUP BY " + GroupNumbers() + on_conflict;
    const std::string del =
        "UPDATE " + tt_ + " AS t SET " + Q(kCountCol) + " = t." + Q(kCountCol) + " - d." + Q(kCountCol) + " FROM (" +
        grouped + "ov_old GROUP BY " + GroupNumbers() + ") d WHERE " + same + "; DELETE FROM " + tt_ + " WHERE " +
        Q(kCountCol) + " <= 0;";
    const std::string upd = "UPDATE " + tt_ + " SET " + Q(kCountCol) + " = " + Q(kCountCol) + " - 1 WHERE " +
                            KeyMatch("OLD.") + "; DELETE FROM " + tt_ + " WHERE " + KeyMatch("OLD.") + " AND " +
                            Q(kCountCol) + " <= 0; " + add + "VALUES (" + Block("NEW.id") + ColList("NEW.", true) +
                            ", 1)" + on_conflict;
    std::string moved = "(" + Block("OLD.id") + ") IS DISTINCT FROM (" + Block("NEW.id") + ")";
    for (const std::string& c : s_.columns) moved += " OR OLD." + Q(c) + " IS DISTINCT FROM NEW." + Q(c);
    const auto trigger = [&](const std::string& tg, const std::string& rest) {
      return std::vector<std::string>{"DROP TRIGGER IF EXISTS " + Q(tg) + " ON " + t_,
                                      "CREATE TRIGGER " + Q(tg) + " AFTER " + rest + " EXECUTE FUNCTION " + Q(tg) + "()"};
    };
    std::vector<std::string> out = {function(name + "_ins", ins), function(name + "_del", del),
                                    function(name + "_upd", upd), function(name + "_trunc", "DELETE FROM " + tt_ + ";")};
    for (const auto& part :
         {trigger(name + "_ins", "INSERT ON " + t_ + " REFERENCING NEW TABLE AS ov_new FOR EACH STATEMENT"),
          trigger(name + "_del", "DELETE ON " + t_ + " REFERENCING OLD TABLE AS ov_old FOR EACH STATEMENT"),
          trigger(name + "_upd", "UPDATE ON " + t_ + " FOR EACH ROW WHEN (" + moved + ")"),
          trigger(name + "_trunc", "TRUNCATE ON " + t_ + " FOR EACH STATEMENT")})
      out.insert(out.end(), part.begin(), part.end());
    return out;
  }

  // MariaDB has row triggers only.  A row's tally row is found through the key index and
  // added when missing.  A count that comes down to 0 stays (deleting it would double the
  // cost of every deleted row) until the next start clears it; it counts nothing meanwhile.
  std::vector<std::string> MyTriggers() const {
    const std::string name = s_.Name();
    const auto bump = [&](const std::string& row, const char* delta) {
      return "UPDATE " + tt_ + " SET " + Q(kCountCol) + " = " + Q(kCountCol) + " " + delta + " 1 WHERE " +
             KeyMatch(row) + " LIMIT 1;";
    };
    const std::string add = bump("NEW.", "+") + " IF ROW_COUNT() = 0 THEN INSERT INTO " + tt_ + " (" + KeyList("") +
                            ", " + Q(kCountCol) + ") VALUES (" + Block("NEW.id") + ColList("NEW.", true) +
                            ", 1); END IF;";
    std::string moved = Block("OLD.id") + " <> " + Block("NEW.id");
    for (const std::string& c : s_.columns) moved += " OR NOT (OLD." + Q(c) + " <=> NEW." + Q(c) + ")";
    const auto trigger = [&](const std::string& tg, const char* event, const std::string& body) {
      return "CREATE OR REPLACE TRIGGER " + Q(tg) + " AFTER " + event + " ON " + t_ + " FOR EACH ROW BEGIN " + body +
             " END";
    };
    return {trigger(name + "_ins", "INSERT", add), trigger(name + "_del", "DELETE", bump("OLD.", "-")),
            trigger(name + "_upd", "UPDATE", "IF " + moved + " THEN " + bump("OLD.", "-") + " " + add + " END IF;")};
  }

  IDBADialect& d_;
  const TOVTallySpec& s_;
  const sql::Backend kind_;
  const std::string t_;   // the table, quoted
  const std::string tt_;  // the tally, quoted
  std::vector<std::string> key_;  // block_no and the counted columns
};

std::int64_t Scalar(IDBADialect& d, const std::string& sql, const TJSON& params = {}) {
  const TJSON rows = d.QuerySQL(sql, params);
  if (rows.empty() || rows[0].empty()) return 0;
  const TJSON& v = rows[0].begin().value();
  if (v.is_number()) return v.get<std::int64_t>();
  return v.is_string() ? std::stoll(v.get<std::string>()) : 0;
}

// The names of the triggers on the table.
std::vector<std::string> LiveTriggers(IDBADialect& d, const TOVTallySpec& s) {
  const bool pg = d.Backend() == dbPostgres;
  const char* sql = pg ? "SELECT tgname AS name FROM pg_trigger WHERE tgrelid = to_regclass(:p1) AND NOT tgisinternal"
                       : "SELECT trigger_name AS name FROM information_schema.triggers "
                         "WHERE trigger_schema = DATABASE() AND event_object_table = :p1";
  std::vector<std::string> out;
  for (const TJSON& r : d.QuerySQL(sql, TJSON::array({pg ? d.QuoteIdent(s.table) : s.table})))
    out.push_back(JStr(r, "name"));
  return out;
}

// The statements run on the dialect until Commit form one transaction (DDL included on
// PostgreSQL; MariaDB commits DDL by itself); without Commit they are rolled back.
class OneTransaction {
 public:
  explicit OneTransaction(IDBADialect& d) : d_(d) { d_.SetExplicitBatch(true); }
  OneTransaction(const OneTransaction&) = delete;
  OneTransaction& operator=(const OneTransaction&) = delete;
  ~OneTransaction() {
    if (sql::Transaction* tx = d_.Transaction()) {
      try {
        tx->Rollback();
      } catch (...) {
        tx->Reset();
      }
    }
    d_.SetExplicitBatch(false);
  }
  void Commit() {
    if (sql::Transaction* tx = d_.Transaction()) tx->Commit();
  }

 private:
  IDBADialect& d_;
};

// What a refused tally leaves: nothing that would count wrongly.
void DropTally(IDBADialect& d, const TallySQL& t) noexcept {
  for (const std::string& tg : t.TriggerNames()) {
    try {
      d.ExecSQL("DROP TRIGGER IF EXISTS " + d.QuoteIdent(tg) + (t.Pg() ? " ON " + t.Table() : std::string()), {});
    } catch (...) {
    }
  }
  try {
    d.ExecSQL("DROP TABLE IF EXISTS " + t.Tally(), {});
  } catch (...) {
  }
}

}  // namespace

std::string KeyBlockExpr(sql::Backend backend, std::string_view key_expr, int bits) {
  if (backend == sql::Backend::Postgres) return std::string(key_expr) + " >> " + std::to_string(bits);
  return "FLOOR(" + std::string(key_expr) + " / " + std::to_string(std::int64_t{1} << bits) + ")";
}

std::string TallyTotalSQL(const TOVTallySpec& ASpec) {
  return std::string("SELECT COALESCE(SUM(") + kCountCol + "), 0) FROM " + ASpec.Name();
}

bool DeclareTally(IDBADialect& ADialect, const TOVTallySpec& ASpec) {
  TallySQL t(ADialect, ASpec);
  TDBAHookRegistry& hooks = ADialect.Hooks();
  const std::string name = ASpec.Name();
  bool rebuild = false;
  try {
    OneTransaction tx(ADialect);  // PostgreSQL: no moment without the triggers
    if (!ADialect.TableExists(name)) {
      const std::string create = t.CreateTable();
      ADialect.ExecSQL(create, {});
      hooks.FireSchemaChange(dsckCreateTable, name, "table created", create);
      rebuild = true;
    }
    if (!t.Pg() && !ASpec.columns.empty()) DeclareIndex(ADialect, name, t.KeyIndex());
    const std::vector<std::string> live = LiveTriggers(ADialect, ASpec);
    for (const std::string& tg : t.TriggerNames())
      if (std::find(live.begin(), live.end(), tg) == live.end()) rebuild = true;
    for (const std::string& sql : t.Triggers()) ADialect.ExecSQL(sql, {});
    tx.Commit();
  } catch (const std::exception& e) {
    hooks.LogWarning(Format("%s not kept (%s): lists of %s count their rows", name, e.what(), ASpec.table));
    DropTally(ADialect, t);
    return false;
  }
  OneTransaction tx(ADialect);
  const std::int64_t rows = Scalar(ADialect, "SELECT COUNT(*) FROM " + t.Table());
  if (!rebuild) {
    const std::int64_t counted = Scalar(ADialect, TallyTotalSQL(ASpec));
    if (counted != rows) {
      hooks.LogWarning(Format("%s counted %d rows of %s, which holds %d: counted again", name, counted, ASpec.table, rows));
      rebuild = true;
    }
  }
  if (rebuild) {
    ADialect.ExecSQL("DELETE FROM " + t.Tally(), {});
    ADialect.ExecSQL(t.Rebuild(), {});
    hooks.FireSchemaChange(dsckModifyColumn, name, Format("counted %d rows of %s", rows, ASpec.table), t.Rebuild());
  } else if (!t.Pg()) {
    ADialect.ExecSQL("DELETE FROM " + t.Tally() + " WHERE n = 0", {});
  }
  tx.Commit();
  return true;
}

void ClearTalliesOfEmptyTables(sql::Connection& AConn, sql::Transaction* ATx,
                               const std::vector<const TOVTallySpec*>& ASpecs) {
  for (const TOVTallySpec* s : ASpecs) {
    sql::Query q(AConn, ATx);
    q.SetSQL("SELECT (SELECT COUNT(*) FROM (SELECT 1 FROM " + s->table + " LIMIT 1) a), (SELECT COUNT(*) FROM (SELECT 1 FROM " +
             s->Name() + " WHERE n <> 0 LIMIT 1) b)");
    q.Open();
    const bool emptied = !q.Eof() && q.Field(0).AsInt64() == 0 && q.Field(1).AsInt64() != 0;
    q.Close();
    if (!emptied) continue;
    q.SetSQL("DELETE FROM " + s->Name());
    q.ExecSQL();
  }
}

}  // namespace ov
