#include "ov_schema.h"

#include <array>
#include <atomic>
#include <chrono>

#include "dbapi_storage.h"
#include "ov_format.h"
#include "ov_paging.h"

namespace ov {

namespace {

// Shorthands for the column lists below: not-null text with a default, nullable columns, ...
TDBAColumnSpec Text(std::string name, std::string def) { return MakeColumn(std::move(name), dctText, 0, false, std::move(def)); }
TDBAColumnSpec TextReq(std::string name) { return MakeColumn(std::move(name), dctText, 0, false); }
TDBAColumnSpec TextUnique(std::string name) { return MakeColumn(std::move(name), dctText, 0, false, {}, false, true); }
TDBAColumnSpec Int(std::string name, std::string def) { return MakeColumn(std::move(name), dctInteger, 0, false, std::move(def)); }
TDBAColumnSpec IntReq(std::string name) { return MakeColumn(std::move(name), dctInteger, 0, false); }
TDBAColumnSpec IntNull(std::string name, std::string def = {}) { return MakeColumn(std::move(name), dctInteger, 0, true, std::move(def)); }
TDBAColumnSpec Stamp(std::string name, const std::string& NOW) { return MakeColumn(std::move(name), dctDateTime, 0, false, NOW); }
TDBAColumnSpec StampNull(std::string name) { return MakeColumn(std::move(name), dctDateTime, 0, true); }
TDBAColumnSpec StampReq(std::string name) { return MakeColumn(std::move(name), dctDateTime, 0, false); }
TDBAColumnSpec Varchar(std::string name, int len, bool nullable, std::string def = {}) {
  return MakeColumn(std::move(name), dctVarchar, len, nullable, std::move(def));
}
TDBAColumnSpec UserFK(std::string name, TDBAOnDeleteAction action, bool nullable = true) {
  return ColFK(std::move(name), dctInteger, nullable, "users", "id", action);
}

TDBATableSpec Table(std::string name, std::vector<TDBAColumnSpec> cols) {
  TDBATableSpec t;
  t.Name = std::move(name);
  t.Columns = std::move(cols);
  return t;
}

}  // namespace

TDBAColumnSpec ColFK(std::string AName, TDBAColumnType AType, bool ANullable, std::string ARefTable,
                     std::string ARefCol, TDBAOnDeleteAction AOnDelete) {
  TDBAColumnSpec c = MakeColumn(std::move(AName), AType, 0, ANullable);
  c.ForeignKey = MakeFK(std::move(ARefTable), std::move(ARefCol), AOnDelete);
  return c;
}

TDBAColumnSpec ColCIUnique(std::string AName, bool ANullable) {
  TDBAColumnSpec c = MakeColumn(std::move(AName), dctText, 0, ANullable, {}, false, true);
  c.CaseInsensitive = true;
  return c;
}

TDBAColumnSpec ColPK() { return MakeColumn("id", dctBigInt, 0, false, {}, true, false, true); }

TDBATableSpec BuildSchemaInfo(const std::string& NOW) {
  return Table("schema_info", {IntReq("version"), Stamp("applied_at", NOW)});
}

TDBATableSpec BuildSystemConfig(const std::string& NOW) {
  return Table("system_config", {ColPK(), TextUnique("key"), Text("value", "''"), Text("value_type", "'string'"),
                                 Text("category", "'general'"), Text("description", "''"), Stamp("created_at", NOW),
                                 Stamp("updated_at", NOW)});
}

TDBATableSpec BuildUsers(const std::string& NOW) {
  TDBATableSpec t = Table(
      "users",
      {ColPK(), Text("guid", "''"), ColCIUnique("username", false), TextReq("password_hash"),
       TextReq("password_salt"), Text("email", "''"), Text("real_name", "''"), Text("location", "''"),
       Int("security_level", "10"), Int("is_admin", "0"), Text("gender", "''"), Int("is_active", "1"),
       Int("is_locked", "0"), Int("failed_logins", "0"), StampNull("locked_until"), StampNull("last_login"),
       Int("total_calls", "0"), Int("total_posts", "0"), Int("total_uploads", "0"), Int("total_downloads", "0"),
       Stamp("created_at", NOW), Stamp("updated_at", NOW)});
  t.Indexes.push_back(MakeIndex("idx_users_guid", {"guid"}, true));
  return t;
}

TDBATableSpec BuildAPIKeys(const std::string& NOW) {
  TDBATableSpec t = Table("api_keys", {ColPK(), Text("guid", "''"), TextUnique("key_hash"), TextReq("key_prefix"),
                                       Text("description", "''"), UserFK("user_id", doaSetNull),
                                       Text("permissions", "'{}'"), Int("is_active", "1"), StampNull("last_used"),
                                       StampNull("expires_at"), Stamp("created_at", NOW)});
  t.Indexes.push_back(MakeIndex("idx_api_keys_guid", {"guid"}, true));
  return t;
}

TDBATableSpec BuildAuditLog(const std::string& NOW) {
  return Table("audit_log", {ColPK(), Stamp("timestamp", NOW), UserFK("user_id", doaSetNull),
                             Text("username", "''"), TextReq("action"), Text("target", "''"),
                             Text("details", "''"), Text("ip_address", "''")});
}

TDBATableSpec BuildPluginState(const std::string& NOW) {
  return Table("plugin_state", {ColPK(), TextUnique("plugin_name"), Text("plugin_version", "''"),
                                Int("is_enabled", "0"), Text("config_json", "'{}'"), Int("schema_version", "0"),
                                Stamp("installed_at", NOW), Stamp("updated_at", NOW)});
}

TDBATableSpec BuildActiveSessions(const std::string& NOW) {
  TDBATableSpec t = Table("active_sessions", {ColPK(), Text("guid", "''"), IntReq("node"),
                                              UserFK("user_id", doaSetNull), Text("username", "''"),
                                              Text("ip_address", "''"), Text("protocol", "''"),
                                              Stamp("connected_at", NOW), Stamp("last_activity", NOW)});
  t.Indexes.push_back(MakeIndex("idx_active_sessions_guid", {"guid"}, true));
  return t;
}

TDBATableSpec BuildIPBlacklist(const std::string& NOW) {
  return Table("ip_blacklist", {ColPK(), TextUnique("ip_address"), Text("reason", "''"), Stamp("banned_at", NOW),
                                StampNull("expires_at"), UserFK("banned_by", doaSetNull)});
}

TDBATableSpec BuildConnectionLog(const std::string& NOW) {
  return Table("connection_log", {ColPK(), TextReq("ip_address"), Text("protocol", "''"),
                                  Stamp("connected_at", NOW), StampNull("disconnected_at"), IntNull("node"),
                                  UserFK("user_id", doaSetNull), Text("username", "''"),
                                  Text("disconnect_reason", "''")});
}

TDBATableSpec BuildSystemLogs(const std::string& NOW) {
  TDBATableSpec t = Table("system_logs", {ColPK(), Stamp("timestamp", NOW), Text("level", "'info'"),
                                          Text("source", "'system'"), Text("category", "'general'"),
                                          Text("message", "''"), Text("details", "''")});
  t.Indexes.push_back(MakeIndex("idx_logs_timestamp", {"timestamp"}));
  t.Indexes.push_back(MakeIndex("idx_logs_source", {"source"}));
  t.Indexes.push_back(MakeIndex("idx_logs_level", {"level"}));
  t.Indexes.push_back(MakeIndex("idx_logs_category", {"category"}));
  return t;
}

TDBATableSpec BuildThinClientNodes(const std::string& NOW) {
  return Table("thin_client_nodes",
               {ColPK(), IntNull("api_key_id"), Text("client_name", "''"), StampNull("last_heartbeat"),
                Text("status", "'offline'"), IntNull("uptime", "0"), IntNull("active_nodes", "0"),
                Text("protocols", "'[]'"), Text("version", "''"), Text("ip_address", "''"),
                Stamp("created_at", NOW)});
}

TDBATableSpec BuildUserFlags(const std::string& NOW) {
  TDBATableSpec t = Table("user_flags", {ColPK(), UserFK("user_id", doaCascade, false), TextReq("flag_name"),
                                         IntNull("granted_by"), Stamp("granted_at", NOW)});
  t.UniqueConstraints.push_back(MakeUnique("uq_user_flags", {"user_id", "flag_name"}));
  return t;
}

TDBATableSpec BuildACLGroups(const std::string& NOW) {
  TDBATableSpec t = Table("acl_groups", {ColPK(), Text("guid", "''"), ColCIUnique("name", false),
                                         Text("description", "''"), Int("is_system", "0"),
                                         Stamp("created_at", NOW)});
  t.Indexes.push_back(MakeIndex("idx_acl_groups_guid", {"guid"}, true));
  return t;
}

TDBATableSpec BuildACLGroupFlags() {
  TDBATableSpec t = Table("acl_group_flags", {ColPK(), ColFK("group_id", dctInteger, false, "acl_groups", "id", doaCascade),
                                              TextReq("flag_name")});
  t.UniqueConstraints.push_back(MakeUnique("uq_acl_group_flags", {"group_id", "flag_name"}));
  return t;
}

TDBATableSpec BuildUserGroups(const std::string& NOW) {
  TDBATableSpec t = Table("user_groups", {ColPK(), UserFK("user_id", doaCascade, false),
                                          ColFK("group_id", dctInteger, false, "acl_groups", "id", doaCascade),
                                          IntNull("assigned_by"), Stamp("assigned_at", NOW)});
  t.UniqueConstraints.push_back(MakeUnique("uq_user_groups", {"user_id", "group_id"}));
  return t;
}

TDBATableSpec BuildACLFlagDefinitions() {
  return Table("acl_flag_definitions", {ColPK(), TextUnique("flag_name"), Text("description", "''"),
                                        Text("category", "'general'"), Text("registered_by", "'system'")});
}

TDBATableSpec BuildScriptPackages(const std::string& NOW) {
  TDBAColumnSpec name = Varchar("name", 50, false);
  name.Unique = true;
  return Table("script_packages",
               {ColPK(), name, Varchar("version", 20, false, "'1.0.0'"), Varchar("pkg_type", 20, false, "'door'"),
                Varchar("display_name", 100, false, "''"), MakeColumn("description", dctText, 0, true, "''"),
                Varchar("author", 100, true, "''"), Varchar("entry_point", 100, false), TextReq("install_path"),
                Int("is_enabled", "1"), MakeColumn("settings_schema", dctText, 0, true, "'{}'"),
                MakeColumn("settings_values", dctText, 0, true, "'{}'"), Stamp("installed_at", NOW),
                Stamp("updated_at", NOW)});
}

TDBATableSpec BuildSystemScheduler(const std::string& NOW) {
  TDBATableSpec t = Table("system_scheduler",
                          {ColPK(), TextReq("task_name"), Text("plugin_name", "'system'"), Text("description", "''"),
                           Text("category", "'general'"), Text("schedule_type", "'interval'"),
                           Int("interval_seconds", "60"), Text("cron_expr", "''"), Int("enabled", "1"),
                           StampNull("last_run"), StampNull("next_run"), Text("last_result", "''"),
                           Text("last_error", "''"), Int("run_count", "0"), Int("fail_count", "0"),
                           Int("user_modified", "0"), Stamp("created_at", NOW)});
  t.UniqueConstraints.push_back(MakeUnique("uq_system_scheduler", {"plugin_name", "task_name"}));
  return t;
}

TDBATableSpec BuildSchedulerLog() {
  TDBATableSpec t = Table("scheduler_log", {ColPK(), TextReq("task_name"), TextReq("plugin_name"),
                                            StampReq("started_at"), StampNull("finished_at"), IntNull("duration_ms"),
                                            Text("result", "'running'"), Text("error_message", "''"),
                                            Text("output", "''")});
  t.Indexes.push_back(MakeIndex("idx_scheduler_log_started", {"started_at"}));
  t.Indexes.push_back(MakeIndex("idx_scheduler_log_task", {"plugin_name", "task_name"}));
  return t;
}

TDBATableSpec BuildUserPreferences(const std::string& NOW) {
  TDBATableSpec t = Table("user_preferences", {ColPK(), UserFK("user_id", doaCascade, false), TextReq("pref_key"),
                                               Text("pref_value", "'{}'"), Stamp("updated_at", NOW)});
  t.UniqueConstraints.push_back(MakeUnique("uq_user_preferences", {"user_id", "pref_key"}));
  return t;
}

TDBATableSpec BuildPluginUpdates(const std::string& NOW) {
  return Table("plugin_updates",
               {ColPK(), TextUnique("plugin_name"), Text("installed_version", "''"), Text("latest_version", "''"),
                Text("display_name", "''"), Text("description", "''"), Text("download_url", "''"),
                Text("repository", "''"), Text("min_orvanta", "''"), Int("api_version", "0"), Text("target", "''"),
                Text("category", "''"), Int("has_update", "0"), Text("dependencies", "''"),
                Stamp("checked_at", NOW)});
}

std::vector<TDBATableSpec> CoreTableSpecs(const std::string& NOW) {
  return {BuildSchemaInfo(NOW),      BuildSystemConfig(NOW),     BuildUsers(NOW),
          BuildAPIKeys(NOW),         BuildAuditLog(NOW),         BuildPluginState(NOW),
          BuildActiveSessions(NOW),  BuildIPBlacklist(NOW),      BuildConnectionLog(NOW),
          BuildSystemLogs(NOW),      BuildThinClientNodes(NOW),  BuildUserFlags(NOW),
          BuildACLGroups(NOW),       BuildACLGroupFlags(),       BuildUserGroups(NOW),
          BuildACLFlagDefinitions(), BuildScriptPackages(NOW),   BuildSystemScheduler(NOW),
          BuildSchedulerLog(),       BuildUserPreferences(NOW),  BuildPluginUpdates(NOW)};
}

const std::vector<std::string>& CoreTableNames() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> n;
    for (const auto& t : CoreTableSpecs("0")) n.push_back(t.Name);
    return n;
  }();
  return names;
}

const std::vector<TOVListIndex>& ListIndexes() {
  static const std::vector<TOVListIndex> indexes = {
      {dbSQLite, "users", "idx_users_id", {"id"}},
      {dbSQLite, "audit_log", "idx_audit_log_id", {"id"}},
      {dbSQLite, "connection_log", "idx_connection_log_id", {"id"}},
      {dbSQLite, "system_logs", "idx_logs_id", {"id"}},
      {dbSQLite, "system_logs", "idx_logs_level_source", {"level", "source"}},
      {dbSQLite, "system_logs", "idx_logs_level_category", {"level", "category"}},
      {dbSQLite, "system_logs", "idx_logs_source_category", {"source", "category"}},
      {dbPostgres, "system_logs", "idx_logs_source_id", {"source", "id"}},
      {dbPostgres, "system_logs", "idx_logs_level_id", {"level", "id"}},
      {dbPostgres, "system_logs", "idx_logs_category_id", {"category", "id"}},
      {dbPostgres, "system_logs", "idx_logs_level_source_id", {"level", "source", "id"}},
      {dbPostgres, "system_logs", "idx_logs_level_category_id", {"level", "category", "id"}},
      {dbPostgres, "system_logs", "idx_logs_source_category_id", {"source", "category", "id"}},
      {dbPostgres, "scheduler_log", "idx_scheduler_log_started_id", {"started_at", "id"}},
      {dbMariaDB, "system_logs", "idx_logs_level_source", {"level", "source"}},
      {dbMariaDB, "system_logs", "idx_logs_level_category", {"level", "category"}},
      {dbMariaDB, "system_logs", "idx_logs_source_category", {"source", "category"}},
  };
  return indexes;
}

const std::vector<TOVTallySpec>& TallySpecs() {
  static const std::vector<TOVTallySpec> specs = {
      {"system_logs", {"level", "source", "category"}, 14},
      {"users", {}, 12},
  };
  return specs;
}

namespace {

// PostgreSQL: a search counts its matches per block of keys (ov_paging.h), grouped by an
// expression of the key.  Without statistics on that expression the planner takes every key
// for a group of its own, and sorts every match in one process instead of counting them in
// parallel.  The statistics are gathered at once the first time (ANALYZE), then by autovacuum.
void DeclareSearchStatistics(IDBADialect& d, const std::string& table) {
  const std::string name = table + "_blocks";
  try {
    if (!d.QuerySQL("SELECT 1 FROM pg_statistic_ext WHERE stxname = :p1", TJSON::array({name})).empty()) return;
    const std::string create = "CREATE STATISTICS IF NOT EXISTS " + d.QuoteIdent(name) + " ON (" +
                               KeyBlockExpr(sql::Backend::Postgres, "id", kScanBlockBits) + ") FROM " +
                               d.QuoteIdent(table);
    d.ExecSQL(create, {});
    d.ExecSQL("ANALYZE " + d.QuoteIdent(table), {});
    d.Hooks().FireSchemaChange(dsckCreateIndex, table, "statistics " + name + " created", create);
  } catch (const std::exception& e) {
    d.Hooks().LogWarning("statistics " + name + " not created: " + e.what());
  }
}

// SQLite: the list indexes of a table an existing board does not have yet (a board an earlier
// version made), which declaring the table builds over every row it holds.
std::vector<const TOVListIndex*> MissingListIndexes(IDBADialect& d, const std::string& table) {
  std::vector<const TOVListIndex*> missing;
  if (d.Backend() != dbSQLite || !d.TableExists(table)) return missing;
  for (const TOVListIndex& i : ListIndexes())
    if (i.backend == dbSQLite && table == i.table &&
        d.QuerySQL("SELECT 1 FROM sqlite_master WHERE type = 'index' AND name = :p1", TJSON::array({i.name})).empty())
      missing.push_back(&i);
  return missing;
}

// Declares a core table with the list indexes of the backend.  Building an index over a large
// log takes seconds (a million lines on SQLite: about 2 s for the pairs of its filters): the
// first start of an upgraded board says which it built, over how many rows, in how long.
void DeclareWithListIndexes(IDBADialect& d, TDBATableSpec& spec) {
  for (const TOVListIndex& i : ListIndexes())
    if (i.backend == d.Backend() && spec.Name == i.table) spec.Indexes.push_back(MakeIndex(i.name, i.columns));
  const std::vector<const TOVListIndex*> missing = MissingListIndexes(d, spec.Name);
  const auto start = std::chrono::steady_clock::now();
  DeclareTable(d, spec);
  if (missing.empty()) return;
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const TJSON counted = d.QuerySQL("SELECT COUNT(*) AS n FROM " + d.QuoteIdent(spec.Name), TJSON::array());
  const std::int64_t rows = counted.empty() ? 0 : counted[0].value("n", std::int64_t{0});
  std::string names, sql;
  for (const TOVListIndex* i : missing) {
    names += (names.empty() ? "" : ", ") + std::string(i->name);
    sql += (sql.empty() ? "" : "; ") + d.CreateIndexSQL(spec.Name, MakeIndex(i->name, i->columns));
  }
  d.Hooks().FireSchemaChange(dsckCreateIndex, spec.Name,
                             Format("built index %s over %d rows in %.1f s", names, rows, secs), sql);
}

// Which of TallySpecs() the current database keeps, set by DeclareOrvantaSchema.  The process
// has one database at a time; the flags are read by every list request, without a lock.
std::array<std::atomic<bool>, 2> g_live_tallies{};

}  // namespace

const TOVTallySpec* LiveTally(std::string_view table) {
  const std::vector<TOVTallySpec>& specs = TallySpecs();
  for (std::size_t i = 0; i < specs.size() && i < g_live_tallies.size(); ++i)
    if (specs[i].table == table && g_live_tallies[i].load(std::memory_order_acquire)) return &specs[i];
  return nullptr;
}

std::string RowTotalSQL(const std::string& table) {
  if (const TOVTallySpec* tally = LiveTally(table)) return TallyTotalSQL(*tally);
  return "SELECT COUNT(*) FROM " + table;
}

void DeclareOrvantaSchema(IDBADialect& ADialect) {
  const std::string NOW = ADialect.NowExpr();
  for (TDBATableSpec& spec : CoreTableSpecs(NOW)) DeclareWithListIndexes(ADialect, spec);
  const std::vector<TOVTallySpec>& specs = TallySpecs();
  for (std::size_t i = 0; i < specs.size() && i < g_live_tallies.size(); ++i)
    g_live_tallies[i].store(ADialect.Backend() != dbSQLite && DeclareTally(ADialect, specs[i]),
                            std::memory_order_release);
  if (ADialect.Backend() == dbPostgres) DeclareSearchStatistics(ADialect, "system_logs");
}

}  // namespace ov
