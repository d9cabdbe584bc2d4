// Declarative storage of the portable SQL library: schema records become tables
// (create a missing table, add a missing column, ensure an index, never drop or alter), and a
// row store whose rows are JSON objects.  Every function runs on the dialect's connection
// through ExecSQL/QuerySQL/GetColumns/TableExists/GetLastInsertID; none locks or commits by
// itself (an owning dialect commits-retaining in ExecSQL, outside an explicit batch).
//
// Details:
//  - A single-column key is written: a column flagged PrimaryKey (not the auto-increment
//    integer form) gets " PRIMARY KEY"; a one-name PrimaryKeyColumns list puts it on that
//    column.  Two or more names (PrimaryKeyColumns, or else the flagged columns) give a
//    table-level PRIMARY KEY (...) and no column-level key.
//  - An Offset without a Limit uses the dialect's LimitOffsetClause (SQLite LIMIT -1 OFFSET n).
//  - StoreInsert, StoreUpdate and StoreUpsert refuse a row that is not a JSON object
//    (std::invalid_argument).
//  - StoreUpdate and StoreDelete return the number of rows the criterion matched (0 when none;
//    an update that writes the values a row already holds counts it, on every backend: the
//    MariaDB connection reports found rows).  An empty update row runs nothing and returns 0;
//    -1 only after an error that an error hook handled.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "dbapi_dialect.h"

namespace ov {

class EDBAIncompatibleSchema : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

std::string RenderColumnDDL(const IDBADialect& ADialect, const TDBAColumnSpec& ASpec);
std::string RenderForeignKeyDDL(const IDBADialect& ADialect, const TDBAColumnSpec& ASpec);
std::string RenderUniqueConstraintDDL(const IDBADialect& ADialect, const TDBAUniqueConstraint& ASpec);
std::string BuildCreateTable(const IDBADialect& ADialect, const TDBATableSpec& ASpec);
// "CREATE [UNIQUE ]INDEX IF NOT EXISTS q(index) ON q(table) (columns)".
std::string BuildCreateIndex(const IDBADialect& ADialect, std::string_view ATable, const TDBAIndexSpec& ASpec);
// "ALTER TABLE q(table) ADD COLUMN " + RenderColumnDDL.
std::string BuildAddColumn(const IDBADialect& ADialect, std::string_view ATable, const TDBAColumnSpec& ASpec);

// The live column object whose "name" equals AName ignoring case, else nullptr.
const TJSON* FindLiveColumn(const TJSON& ALive, std::string_view AName);
bool TypeCompatible(std::string_view ALive, TDBAColumnType ADesired, std::int32_t ALength = 0);

bool DeclareTable(IDBADialect& ADialect, const TDBATableSpec& ASpec);
bool DeclareColumn(IDBADialect& ADialect, std::string_view ATable, const TDBAColumnSpec& ASpec);
bool DeclareIndex(IDBADialect& ADialect, std::string_view ATable, const TDBAIndexSpec& ASpec);

// Member names in order, and a JSON array of copies of the member values.
void RowToArrays(const TJSON& ARow, std::vector<std::string>& ACols, TJSON& AParams);

std::int64_t StoreInsert(IDBADialect& ADialect, std::string_view ATable, const TJSON& ARow);
std::int32_t StoreUpdate(IDBADialect& ADialect, std::string_view ATable, const TDBACriterion* AWhere, const TJSON& ARow);
std::int32_t StoreDelete(IDBADialect& ADialect, std::string_view ATable, const TDBACriterion* AWhere);
TJSON StoreSelect(IDBADialect& ADialect, const TDBASelectSpec& ASpec);
std::int64_t StoreUpsert(IDBADialect& ADialect, std::string_view ATable, const TJSON& ARow,
                         const std::vector<std::string>& AKeyCols);

}  // namespace ov
