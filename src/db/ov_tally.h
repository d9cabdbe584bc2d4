// Counts of a table's rows kept by PostgreSQL or MariaDB itself: per block of keys and per value
// of a few columns, in a small table beside it ("<table>_tally") that triggers keep exact with
// every insert, update, delete (and, on PostgreSQL, TRUNCATE) in the same transaction, whoever
// writes: the server, a plug-in or the SQL console.
//
// A paged list whose filter is a set of equalities on those columns reads its total as a sum of
// a few tally rows, and finds the block that holds a deep page from the per-block sums, so that
// it never counts or steps over more than a block of rows (see ov_paging.h).  Counting a million
// index entries takes tens of milliseconds on either server, and stepping over half a million
// to reach the middle page hundreds; SQLite steps over keys fast enough and has no tally.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "dbapi_dialect.h"

namespace ov {

struct TOVTallySpec {
  std::string table;                 // the counted table; its integer key is "id"
  std::vector<std::string> columns;  // NOT NULL columns its lists filter on by equality
  int block_bits = 14;               // block b holds the keys [b << bits, (b + 1) << bits)

  std::string Name() const { return table + "_tally"; }
  std::int64_t BlockSize() const { return std::int64_t{1} << block_bits; }
};

// The number of the block that holds a key, as an SQL expression over the key expression
// key_expr: "key >> bits" on PostgreSQL, "FLOOR(key / 2^bits)" on MariaDB (both round towards
// minus infinity, so a negative key has a block too).
std::string KeyBlockExpr(sql::Backend backend, std::string_view key_expr, int bits);

// PostgreSQL and MariaDB: creates what is missing of the tally (its table, the triggers that
// keep it) and (re)writes the triggers, then rebuilds its counts from the table when the tally
// is new, a trigger was missing (rows may have changed without it) or its total disagrees with
// the table's; on MariaDB it also drops rows whose count came down to 0.  Logs what it did
// through the dialect's hooks.  True when the tally is kept.  A server that refuses the
// triggers (a user without the right to create them) leaves no tally behind: false, and the
// reason logged as a warning.
bool DeclareTally(IDBADialect& ADialect, const TOVTallySpec& ASpec);

// The statement whose one value is the number of rows of the tally's table: a sum over one
// tally row per block and counted value (about 25 rows for 100,000 users), where COUNT(*) reads
// every index entry of the table (13 ms for 100,000 users on PostgreSQL, 27 ms for 500,000).
std::string TallyTotalSQL(const TOVTallySpec& ASpec);

// MariaDB's TRUNCATE fires no trigger: the tally of a table emptied that way (from the SQL
// console) would go on counting the old rows.  Empties the tally of each spec whose table holds
// no row; run after a statement that may have truncated one, in the caller's transaction.
void ClearTalliesOfEmptyTables(sql::Connection& AConn, sql::Transaction* ATx,
                               const std::vector<const TOVTallySpec*>& ASpecs);

}  // namespace ov
