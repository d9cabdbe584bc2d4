#include "ov_route_admin.h"

#include "ov_log.h"

namespace ov {

void RegisterAdminRoutes() { LogInfo("Admin routes registered"); }

void HandleAdminPage(TOVHttpRequest&, TOVHttpResponse& resp) {
  resp.status = 302;
  resp.reason.clear();
  resp.SetHeader("Location", "/index.html");
  resp.body.clear();
}

}  // namespace ov
