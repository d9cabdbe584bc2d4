// Replies, JSON bodies and paged lists of the REST handlers: the envelope every answer wears
// and the paging every list endpoint follows.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "ov_http_types.h"
#include "ov_json_helpers.h"
#include "ov_route_api.h"
#include "ov_route_db.h"

namespace ov {

inline constexpr const char* kMsgInvalidJSONBody = "Invalid JSON body";

// ---- replies and bodies -------------------------------------------------------------------------

void SendSuccess(TOVHttpResponse& resp, TJSON data = TJSON::object(), int status = 200);
void SendError(TOVHttpResponse& resp, int status, std::string_view message);
// The body as a JSON object; otherwise answers 400 "Invalid JSON body" and returns nullopt.
std::optional<TJSON> ParseBodyOrFail(TOVApiRequest& c);

// ---- paging -------------------------------------------------------------------------------------

struct TOVPageLimits {
  std::int64_t default_per_page;
  std::int64_t max_per_page;
};
inline constexpr TOVPageLimits kPageUsers{25, 100};
inline constexpr TOVPageLimits kPageAuditLog{50, 200};
inline constexpr TOVPageLimits kPageConnectionLog{50, 200};
inline constexpr TOVPageLimits kPageSystemLogs{100, 500};
inline constexpr TOVPageLimits kPageSchedulerLog{50, 200};

struct TOVPaging {
  std::int64_t page = 1;
  std::int64_t per_page = 1;
  std::int64_t offset = 0;  // (page - 1) * per_page, never negative, never overflowing
};
// Query parameters "page" and "per_page": unparsable gives the default, page below 1 is 1,
// per_page below 1 is the default and above the maximum the maximum.  A page so large that
// its offset would not fit in 64 bits is lowered to the last page whose offset does.
TOVPaging ReadPaging(const TOVHttpRequest& req, TOVPageLimits limits);

// A paged list: "SELECT COUNT(*) FROM <from>" gives the total, then
// "SELECT <columns> FROM <from> ORDER BY <order_by> LIMIT :lim OFFSET :off" the page.
struct TOVPageQuery {
  std::string columns;
  std::string from;  // the table and any WHERE clause, the same for the count and the page
  std::string order_by;
  TOVTextBinds binds = {};  // the WHERE clause's values
  // True: both statements run under the write lock, so no writer comes between the count and
  // the page.
  bool under_write_lock = false;
};
// Reads the paging parameters, runs the query and sends TOVJson::PaginatedResponse.
void SendPagedList(TOVApiRequest& c, TOVPageLimits limits, const TOVPageQuery& query, const TOVRowToJSON& row);

}  // namespace ov
