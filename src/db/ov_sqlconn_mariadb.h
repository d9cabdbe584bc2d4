// MariaDB/MySQL connection of the SQL connection layer, over the MariaDB client library.
//
// Sessions use utf8mb4, UTC ("+00:00") and NO_BACKSLASH_ESCAPES (a backslash in SQL text is an
// ordinary character, as on SQLite and PostgreSQL).  Statements run as server-side prepared
// statements with "?" placeholders, one statement per call, results fully stored.
#pragma once

#include <memory>

#include "ov_sqlconn.h"

namespace ov::sql {

std::unique_ptr<Connection> CreateMariaDBConnection(ConnectOptions opts);

}  // namespace ov::sql
