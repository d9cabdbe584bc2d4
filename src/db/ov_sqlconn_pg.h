// PostgreSQL connection of the SQL connection layer, over libpq.
//
// Sessions are pinned to UTF-8, UTC and ISO dates.  Statements go through PQexecParams with
// "$n" placeholders and text-format parameters, one statement per call.  Time stamps come back
// as "yyyy-mm-dd hh:nn:ss" without fractions or zone.  An INSERT into a table with a serial or
// identity column returns that key as part of the statement (the column is looked up in the
// catalogue once per table and session); no temporary objects are made.
#pragma once

#include <memory>

#include "ov_sqlconn.h"

namespace ov::sql {

std::unique_ptr<Connection> CreatePostgresConnection(ConnectOptions opts);

namespace pgdetail {
// Cuts fractional seconds and a zone suffix from a date/time text as the server writes it
// ("2024-01-02 03:04:05.678+00" -> "2024-01-02 03:04:05", "03:04:05.5" -> "03:04:05").
// Text that does not look like a date/time is returned unchanged.
std::string TrimTemporal(std::string_view text);
}  // namespace pgdetail

}  // namespace ov::sql
