// Administration routes of the web client.
#pragma once

#include "ov_http_types.h"

namespace ov {

// Registers nothing of its own; logs "Admin routes registered".
void RegisterAdminRoutes();
// Sends the browser to the web client: 302 to "/index.html", empty body.
void HandleAdminPage(TOVHttpRequest& req, TOVHttpResponse& resp);

}  // namespace ov
