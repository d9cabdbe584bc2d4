// REST endpoints for the administration dashboard: the widgets plug-ins contribute and each
// user's own layout (user_preferences, key "dashboard_layout").  Any authenticated caller; a
// layout is always the caller's own.
#pragma once

#include "ov_route_api.h"

namespace ov {

void HandleDashboardWidgets(TOVApiRequest& c);
// The stored layout as its JSON value; {} without one or when it no longer parses.
void HandleGetDashboardLayout(TOVApiRequest& c);
// Stores the body text exactly as received once it parses as JSON (any value).
void HandlePutDashboardLayout(TOVApiRequest& c);

}  // namespace ov
