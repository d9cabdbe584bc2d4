// REST endpoints for what the system records and for the sessions and bans an administrator
// controls: the audit log, BBS sessions (list, kick), the IP blacklist (list, ban, unban), the
// connection log, the stored system log (list with filters, filter values, clear, write) and
// the raw SQL console.
#pragma once

#include <string>
#include <string_view>

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

// The LIKE pattern, used with ESCAPE '!', that finds the search text anywhere in a value:
// "%" and "_" in the text keep their wildcard meaning and each "!" is doubled so that it
// matches itself; everything else, quotes and backslashes included, matches literally.  (The
// escape is explicit because a backslash is the default escape on PostgreSQL and MariaDB.)
std::string LikeSearchPattern(std::string_view text);

}  // namespace ov
