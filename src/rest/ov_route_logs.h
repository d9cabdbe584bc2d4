// REST endpoints for what the system records and for the sessions and bans an administrator
// controls: the audit log, BBS sessions (list, kick), the IP blacklist (list, ban, unban), the
// connection log, the stored system log (list with filters, filter values, clear, write) and
// the raw SQL console.
#pragma once

#include <string>
#include <string_view>

#include "dbapi_consts.h"
#include "ov_route_api.h"

namespace ov {

void HandleAuditLog(TOVApiRequest& c);
void HandleListSessions(TOVApiRequest& c);
void HandleKickSession(TOVApiRequest& c);
void HandleListBlacklist(TOVApiRequest& c);
void HandleBanIP(TOVApiRequest& c);
void HandleUnbanIP(TOVApiRequest& c);
void HandleConnectionLog(TOVApiRequest& c);
void HandleSystemLogs(TOVApiRequest& c);
void HandleSystemLogFilters(TOVApiRequest& c);
void HandleClearSystemLogs(TOVApiRequest& c);
void HandleWriteSystemLog(TOVApiRequest& c);
void HandleAdminQuery(TOVApiRequest& c);

// How a search finds its text anywhere in a column: the LIKE condition on the parameter
// :<param> and the pattern to bind to it.  "%" and "_" in the text keep their wildcard meaning;
// everything else, quotes and backslashes included, matches literally.  PostgreSQL and MariaDB
// take a backslash as LIKE's escape unless told otherwise, so there the escape is named, '!',
// and each "!" of the text doubled; SQLite has no escape by default, and its LIKE runs markedly
// faster over every row of a search without one.
struct TOVLikeSearch {
  std::string condition;
  std::string pattern;
};
TOVLikeSearch LikeSearch(std::string_view column, std::string_view param, std::string_view text, TDBABackend backend);

}  // namespace ov
