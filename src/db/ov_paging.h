// Paged lists read from the database: page numbers from 1, a page size within limits, an
// offset that always fits, and the count and page of one list.  Shared by the REST lists and
// the plug-ins' "_system" lists.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "ov_database.h"
#include "ov_json_helpers.h"

namespace ov {

struct TOVPageLimits {
  std::int64_t default_per_page;
  std::int64_t max_per_page;
};

struct TOVPaging {
  std::int64_t page = 1;
  std::int64_t per_page = 1;
  std::int64_t offset = 0;  // (page - 1) * per_page, never negative, never overflowing
};

// The page and page size asked for (nullopt: not given or not a number): a page below 1 is 1,
// a page size below 1 is the default and one above the maximum the maximum.  A page so large
// that its offset would not fit in 64 bits is lowered to the last page whose offset does.
TOVPaging MakePaging(std::optional<std::int64_t> page, std::optional<std::int64_t> per_page, TOVPageLimits limits);

// What a paged list selects: "SELECT <columns> FROM <from> ORDER BY <order_by>"; bind binds
// the values of from's WHERE clause (empty: none).
struct TOVPagedSelect {
  std::string columns;
  std::string from;
  std::string order_by;
  std::function<void(TOVQueryBase&)> bind;
};

struct TOVPagedRows {
  TJSON rows;  // the page, each row through the caller's row function
  std::int64_t total = 0;  // rows of the whole list
};

// Runs "SELECT COUNT(*) FROM <from>", then the page with LIMIT :lim OFFSET :off, both on q
// (so both see the same connection, and the same write lock when q is a write query).
TOVPagedRows ReadPagedRows(TOVQueryBase& q, const TOVPagedSelect& select, const TOVPaging& page,
                           const TOVRowToJSON& row);

}  // namespace ov
