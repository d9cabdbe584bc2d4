#include "ov_route_restart.h"

#include "ov_client_address.h"
#include "ov_database.h"
#include "ov_json_reply.h"
#include "ov_log.h"
#include "ov_route_db.h"
#include "ov_route_reply.h"
#include "ov_server_state.h"

namespace ov {

std::int32_t GetActiveBBSSessions() {
  try {
    auto db = DB.Get();
    if (!db) return 0;
    auto q = db->NewReadQuery();
    q.SetSQL("SELECT COALESCE(SUM(active_nodes), 0) FROM thin_client_nodes WHERE status = 'online' AND last_heartbeat > " +
             db->DateAddExpr(-2, duMinute));
    q.Open();
    return q.Eof() ? 0 : static_cast<std::int32_t>(q.Field(0).AsInt64());
  } catch (const std::exception& e) {
    // While the database cannot be reached the count is unknown, never 0: a restart "when
    // idle" must not take an outage for an idle board.
    if (IsDatabaseUnavailable(e)) throw;
    return 0;
  } catch (...) {
    return 0;
  }
}

void HandleRestartStatus(TOVApiRequest& c) {
  TJSON r = TJSON::object();
  r["restart_pending"] = gRestartPending.load();
  r["restart_when_idle"] = gRestartWhenIdle.load();
  r["active_bbs_sessions"] = GetActiveBBSSessions();
  r["reasons"] = GetRestartReasons();
  SendSuccess(c.resp, std::move(r));
}

void HandleServerRestart(TOVApiRequest& c) {
  std::string when = "now";
  if (std::optional<TJSON> body = TOVJsonReply::ParseRequest(c.req)) when = JStr(*body, "when", "now");
  TJSON r = TJSON::object();
  if (when == "idle") {
    // Counted first: a count the database cannot give refuses the request before anything changes.
    const std::int32_t active = GetActiveBBSSessions();
    if (!gRestartPending.load()) RequestRestart("Admin requested restart when idle");
    gRestartWhenIdle.store(true);
    LogInfo("Restart when idle enabled by %s", c.user.Username);
    r["mode"] = "idle";
    r["active_bbs_sessions"] = active;
  } else if (when == "cancel") {
    // Only the waiting ends: the pending restart and its reasons stay for the next stop.
    gRestartWhenIdle.store(false);
    LogInfo("Restart when idle cancelled by %s", c.user.Username);
    r["mode"] = "cancelled";
  } else {
    if (!gRestartPending.load()) RequestRestart("Admin requested immediate restart");
    LogInfo("Immediate restart requested by %s", c.user.Username);
    WriteAuditLog(c.user, "server_restart", "", "Restart triggered from web admin", GetClientIP(c.req));
    r["mode"] = "now";
    r["message"] = "Server restarting...";
    // The listener stops only once this answer is out; the HTTP server's shutdown then lets the
    // requests still running finish (bounded) before the services they use are freed.
    c.resp.after_send = [] { RequestServerStop(); };
  }
  SendSuccess(c.resp, std::move(r));
}

}  // namespace ov
