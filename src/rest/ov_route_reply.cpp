#include "ov_route_reply.h"

#include <limits>
#include <utility>

#include "ov_database.h"
#include "ov_json_reply.h"
#include "ov_route_path.h"

namespace ov {

// ---- replies and bodies -------------------------------------------------------------------------

void SendSuccess(TOVHttpResponse& resp, TJSON data, int status) {
  TOVJsonReply::SendJSON(resp, TOVJson::SuccessResponse(std::move(data)), status);
}

void SendError(TOVHttpResponse& resp, int status, std::string_view message) {
  TOVJsonReply::SendError(resp, status, message);
}

std::optional<TJSON> ParseBodyOrFail(TOVApiRequest& c) {
  std::optional<TJSON> body = TOVJsonReply::ParseRequest(c.req);
  if (!body) SendError(c.resp, 400, kMsgInvalidJSONBody);
  return body;
}

// ---- paging -------------------------------------------------------------------------------------

TOVPaging ReadPaging(const TOVHttpRequest& req, TOVPageLimits limits) {
  TOVPaging p;
  p.page = ParseInt64(req.QueryParam("page")).value_or(1);
  if (p.page < 1) p.page = 1;
  p.per_page = ParseInt64(req.QueryParam("per_page")).value_or(limits.default_per_page);
  if (p.per_page < 1) p.per_page = limits.default_per_page;
  if (p.per_page > limits.max_per_page) p.per_page = limits.max_per_page;
  if (p.per_page < 1) p.per_page = 1;  // a table entry with a default below 1
  // (page - 1) * per_page must fit: page - 1 may be at most INT64_MAX / per_page.
  const std::int64_t max_steps = std::numeric_limits<std::int64_t>::max() / p.per_page;
  if (p.page - 1 > max_steps) p.page = max_steps + 1;
  p.offset = (p.page - 1) * p.per_page;
  return p;
}

namespace {

// The count and the page of a paged list on one query.
TJSON ReadPage(TOVQueryBase& q, const TOVPageQuery& query, const TOVPaging& p, const TOVRowToJSON& row,
               std::int64_t& total) {
  total = CountRows(q, "SELECT COUNT(*) FROM " + query.from, query.binds);
  q.SetSQL("SELECT " + query.columns + " FROM " + query.from + " ORDER BY " + query.order_by +
           " LIMIT :lim OFFSET :off");
  for (const auto& [name, value] : query.binds) q.Param(name, value);
  q.Param("lim", p.per_page);
  q.Param("off", p.offset);
  return CollectRows(q, row);
}

}  // namespace

void SendPagedList(TOVApiRequest& c, TOVPageLimits limits, const TOVPageQuery& query, const TOVRowToJSON& row) {
  const TOVPaging p = ReadPaging(c.req, limits);
  std::int64_t total = 0;
  TJSON items;
  {
    auto db = RequireDB();
    if (query.under_write_lock) {
      TOVWriteQuery q = db->NewQuery();
      items = ReadPage(q, query, p, row, total);
    } else {
      TOVReadQuery q = db->NewReadQuery();
      items = ReadPage(q, query, p, row, total);
    }
  }
  TOVJsonReply::SendJSON(c.resp, TOVJson::PaginatedResponse(std::move(items), total, p.page, p.per_page), 200);
}

}  // namespace ov
