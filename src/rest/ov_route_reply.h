// Replies, JSON bodies and paged lists of the REST handlers: the envelope every answer wears
// and the paging every list endpoint follows.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ov_http_types.h"
#include "ov_json_helpers.h"
#include "ov_paging.h"
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

inline constexpr TOVPageLimits kPageUsers{25, 100};
inline constexpr TOVPageLimits kPageAuditLog{50, 200};
inline constexpr TOVPageLimits kPageConnectionLog{50, 200};
inline constexpr TOVPageLimits kPageSystemLogs{100, 500};
inline constexpr TOVPageLimits kPageSchedulerLog{50, 200};

// Query parameters "page" and "per_page", unparsable ones as absent, through MakePaging.
TOVPaging ReadPaging(const TOVHttpRequest& req, TOVPageLimits limits);

// A paged list (ReadPagedRows): "SELECT <columns> FROM <table> [WHERE <where>] ORDER BY
// <order>", its total and the page the query parameters ask for.
struct TOVPageQuery {
  std::string columns;
  std::string table;
  std::string where = {};  // the filter without "WHERE"; empty: every row
  std::vector<TOVOrderColumn> order = {{"id", true}};  // newest first unless told otherwise
  TOVTextBinds binds = {};  // the filter's values
  bool scan = false;  // the filter can use no index (TOVPagedSelect::scan)
  const TOVTallySpec* tally = nullptr;  // the table's tally (TOVPagedSelect::tally)
  // True: both statements run under the write lock, so no writer comes between the count and
  // the page.
  bool under_write_lock = false;
};
// Reads the paging parameters, runs the query and sends TOVJson::PaginatedResponse.
void SendPagedList(TOVApiRequest& c, TOVPageLimits limits, const TOVPageQuery& query, const TOVRowToJSON& row);

}  // namespace ov
