#include "ov_paging.h"

#include <limits>

namespace ov {

TOVPaging MakePaging(std::optional<std::int64_t> page, std::optional<std::int64_t> per_page, TOVPageLimits limits) {
  TOVPaging p;
  p.page = page.value_or(1);
  if (p.page < 1) p.page = 1;
  p.per_page = per_page.value_or(limits.default_per_page);
  if (p.per_page < 1) p.per_page = limits.default_per_page;
  if (p.per_page > limits.max_per_page) p.per_page = limits.max_per_page;
  if (p.per_page < 1) p.per_page = 1;  // limits with a default below 1
  // (page - 1) * per_page must fit: page - 1 may be at most INT64_MAX / per_page.
  const std::int64_t max_steps = std::numeric_limits<std::int64_t>::max() / p.per_page;
  if (p.page - 1 > max_steps) p.page = max_steps + 1;
  p.offset = (p.page - 1) * p.per_page;
  return p;
}

TOVPagedRows ReadPagedRows(TOVQueryBase& q, const TOVPagedSelect& select, const TOVPaging& page,
                           const TOVRowToJSON& row) {
  TOVPagedRows out;
  q.SetSQL("SELECT COUNT(*) FROM " + select.from);
  if (select.bind) select.bind(q);
  q.Open();
  out.total = q.Eof() ? 0 : q.Field(std::size_t{0}).AsInt64(0);
  q.Close();
  q.SetSQL("SELECT " + select.columns + " FROM " + select.from + " ORDER BY " + select.order_by +
           " LIMIT :lim OFFSET :off");
  if (select.bind) select.bind(q);
  q.Param("lim", page.per_page);
  q.Param("off", page.offset);
  out.rows = CollectRows(q, row);
  return out;
}

}  // namespace ov
