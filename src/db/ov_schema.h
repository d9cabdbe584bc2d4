// The server's 21 core tables, declared in the SQL library's dialect-neutral records and
// synchronised at every start (created when missing, missing columns and indexes added).
#pragma once

#include <string>
#include <vector>

#include "dbapi_dialect.h"
#include "ov_tally.h"

namespace ov {

TDBAColumnSpec ColFK(std::string AName, TDBAColumnType AType, bool ANullable, std::string ARefTable,
                     std::string ARefCol, TDBAOnDeleteAction AOnDelete);
TDBAColumnSpec ColCIUnique(std::string AName, bool ANullable);
TDBAColumnSpec ColPK();

TDBATableSpec BuildSchemaInfo(const std::string& NOW);
TDBATableSpec BuildSystemConfig(const std::string& NOW);
TDBATableSpec BuildUsers(const std::string& NOW);
TDBATableSpec BuildAPIKeys(const std::string& NOW);
TDBATableSpec BuildAuditLog(const std::string& NOW);
TDBATableSpec BuildPluginState(const std::string& NOW);
TDBATableSpec BuildActiveSessions(const std::string& NOW);
TDBATableSpec BuildIPBlacklist(const std::string& NOW);
TDBATableSpec BuildConnectionLog(const std::string& NOW);
TDBATableSpec BuildSystemLogs(const std::string& NOW);
TDBATableSpec BuildThinClientNodes(const std::string& NOW);
TDBATableSpec BuildUserFlags(const std::string& NOW);
TDBATableSpec BuildACLGroups(const std::string& NOW);
TDBATableSpec BuildACLGroupFlags();
TDBATableSpec BuildUserGroups(const std::string& NOW);
TDBATableSpec BuildACLFlagDefinitions();
TDBATableSpec BuildScriptPackages(const std::string& NOW);
TDBATableSpec BuildSystemScheduler(const std::string& NOW);
TDBATableSpec BuildSchedulerLog();
TDBATableSpec BuildUserPreferences(const std::string& NOW);
TDBATableSpec BuildPluginUpdates(const std::string& NOW);

// Every core table in declaration order (referenced tables before the tables that refer to
// them).
std::vector<TDBATableSpec> CoreTableSpecs(const std::string& NOW);
// The core table names, in declaration order.
const std::vector<std::string>& CoreTableNames();

// The indexes a backend needs besides the declared ones, so that the long paged lists (see
// ov_paging.h) reach a deep page over keys alone and count and walk a filtered list on the
// filter's index:
//  - SQLite keeps a table's rows in key order, and stepping over rows to a deep page would read
//    whole rows: a key-only index lets it step over a few bytes per row.  Its indexes end with
//    the key, so an index over exactly the filtered columns holds a filtered list's entries in
//    key order: one over each pair of the log's filters counts and walks a two-filter list as
//    the single-column indexes do a one-filter list (which they go on serving: a pair's index
//    holds the entries of one column's value ordered by the other column first);
//  - PostgreSQL's indexes do not carry the key: the filter's column followed by the key gives a
//    filtered list its order and its keys without the table;
//  - MariaDB's secondary indexes carry the key, and its primary key is walked in key order.
struct TOVListIndex {
  TDBABackend backend;
  const char* table;
  const char* name;
  std::vector<std::string> columns;
};
const std::vector<TOVListIndex>& ListIndexes();

// The tallies PostgreSQL and MariaDB keep of the long lists (see ov_tally.h): system_logs by
// level, source and category (the log list's filters), users by block alone.
const std::vector<TOVTallySpec>& TallySpecs();
// The tally of table when the database of the last DeclareOrvantaSchema keeps one (nullptr
// on SQLite, for a table without one, and where the server refused the triggers).
const TOVTallySpec* LiveTally(std::string_view table);

// The statement whose one value is the number of rows of table: from its tally where the
// database keeps one (TallyTotalSQL, a lookup however large the table), else SELECT COUNT(*)
// (SQLite counts over the table's smallest index).
std::string RowTotalSQL(const std::string& table);

// Creates what is missing of the core schema (tables, columns, indexes, the backend's
// ListIndexes, the tallies): a database of an earlier version gets new indexes at its next
// start, and its tallies counted from its rows.
void DeclareOrvantaSchema(IDBADialect& ADialect);

}  // namespace ov
