#include "ov_route_reply.h"

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
  return MakePaging(ParseInt64(req.QueryParam("page")), ParseInt64(req.QueryParam("per_page")), limits);
}

void SendPagedList(TOVApiRequest& c, TOVPageLimits limits, const TOVPageQuery& query, const TOVRowToJSON& row) {
  const TOVPaging p = ReadPaging(c.req, limits);
  TOVPagedSelect select{query.columns, query.table, query.where, query.order, [&query](TOVQueryBase& q) {
                          for (const auto& [name, value] : query.binds) q.Param(name, value);
                        }};
  select.scan = query.scan;
  select.tally = query.tally;
  TOVPagedRows page;
  {
    auto db = RequireDB();
    if (query.under_write_lock) {
      TOVWriteQuery q = db->NewQuery();
      page = ReadPagedRows(q, select, p, row);
    } else {
      // A search reads the whole table, and on PostgreSQL and MariaDB a list that is not
      // counted from a tally counts by walking an index (tens to hundreds of milliseconds on a
      // large board): such lists take their turn among the long reads.  SQLite counts and
      // steps over a million index entries in milliseconds.
      const bool long_read = select.scan || (!select.tally && db->Backend() != dbSQLite);
      TOVReadQuery q = db->NewReadQuery(long_read ? TDBAReadKind::Long : TDBAReadKind::Short);
      page = ReadPagedRows(q, select, p, row);
    }
  }
  TOVJsonReply::SendJSON(c.resp, TOVJson::PaginatedResponse(std::move(page.rows), page.total, p.page, p.per_page),
                         200);
}

}  // namespace ov
