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

// A LIKE pattern that matches text literally when used with ESCAPE '!': "!", "%" and "_" are
// escaped with "!".  (A backslash is no good as the escape: it means different things in the
// string literals of the three databases.)
std::string EscapeLikeLiteral(std::string_view text);

}  // namespace ov
