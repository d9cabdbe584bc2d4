#include "ov_route_dashboard.h"

#include <optional>
#include <string>

#include "ov_database.h"
#include "ov_json_helpers.h"
#include "ov_plugin_manager.h"
#include "ov_route_reply.h"

namespace ov {

namespace {

constexpr const char* kLayoutKey = "dashboard_layout";

// The plug-in manager's answer to "_system" "GetDashboardWidgets"; nullopt without a plug-in
// manager or a result.
std::optional<TJSON> CallDashboardWidgetsFunction() {
  auto mgr = PluginMgr.Get();
  if (!mgr) return std::nullopt;
  std::unique_ptr<TJSON> result = mgr->CallPluginFunction("_system", "GetDashboardWidgets", nullptr);
  if (!result) return std::nullopt;
  return std::move(*result);
}

}  // namespace

void HandleDashboardWidgets(TOVApiRequest& c) {
  TJSON widgets = TJSON::array();
  std::optional<TJSON> result = CallDashboardWidgetsFunction();
  if (result && result->is_object() && JBool(*result, "success")) {
    auto it = result->find("widgets");
    if (it != result->end() && it->is_array()) widgets = std::move(*it);
  }
  SendSuccess(c.resp, std::move(widgets));
}

void HandleGetDashboardLayout(TOVApiRequest& c) {
  std::string text = "{}";
  {
    auto db = RequireDB();
    TOVReadQuery q = db->NewReadQuery();
    q.SetSQL("SELECT pref_value FROM user_preferences WHERE user_id = :uid AND pref_key = :pk");
    q.Param("uid", c.user.UserID);
    q.Param("pk", kLayoutKey);
    q.Open();
    if (!q.Eof()) text = q.Str("pref_value");
  }
  TJSON layout;
  if (!ParseJsonText(text, layout)) layout = TJSON::object();
  SendSuccess(c.resp, std::move(layout));
}

void HandlePutDashboardLayout(TOVApiRequest& c) {
  if (c.req.body.empty()) {
    SendError(c.resp, 400, "Empty request body");
    return;
  }
  TJSON parsed;
  if (!ParseJsonText(c.req.body, parsed)) {
    SendError(c.resp, 400, "Invalid JSON");
    return;
  }
  auto db = RequireDB();
  const std::string head = "INSERT INTO user_preferences (user_id, pref_key, pref_value, updated_at) VALUES (:uid, :pk, :pv, " +
                           db->NowExpr() + ") ";
  const std::string upsert =
      db->Backend() == dbMariaDB
          ? "ON DUPLICATE KEY UPDATE pref_value = VALUES(pref_value), updated_at = VALUES(updated_at)"
          : "ON CONFLICT(user_id, pref_key) DO UPDATE SET pref_value = EXCLUDED.pref_value, "
            "updated_at = EXCLUDED.updated_at";
  TOVWriteQuery q = db->NewQuery();
  q.SetSQL(head + upsert);
  q.Param("uid", c.user.UserID);
  q.Param("pk", kLayoutKey);
  q.Param("pv", c.req.body);  // the text as received, not re-serialised
  q.ExecSQL();
  db->Commit();
  SendSuccess(c.resp, "Layout saved");
}

}  // namespace ov
