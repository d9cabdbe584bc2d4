#include "ov_route_busy.h"

#include "ov_database.h"
#include "ov_format.h"
#include "ov_plugin_manager.h"
#include "ov_session_manager.h"
#include "ov_text.h"

namespace ov {

std::string GetPluginActiveSessionInfo(const std::string& plugin_name) {
  const std::string lower = ToLowerAscii(plugin_name);
  if (auto mgr = PluginMgr.Get()) {
    const std::int32_t calls = mgr->GetPluginActiveCallCount(plugin_name);
    if (calls > 0)
      return Format("Cannot modify plugin '%s' - %d active call(s) in progress. Wait for operations to complete.",
                    plugin_name, calls);
  }
  if (auto sessions = SessionMgr.Get()) {
    const std::size_t n = sessions->GetSessionCount();
    if (n > 0 && lower == "bbsengine")
      return Format("Cannot modify plugin '%s' - %d active BBS session(s). Wait for sessions to end or kick users first.",
                    plugin_name, n);
  }
  // The door plug-in's tables: absent on a board without it, and then nothing is busy.
  try {
    auto db = DB.Get();
    if (!db) return {};
    TOVWriteQuery q = db->NewQuery();
    q.SetSQL("SELECT COUNT(*) as cnt FROM p_doors_sessions WHERE status = 'active'");
    q.Open();
    const std::int64_t active = q.Eof() ? 0 : q.Int("cnt");
    q.Close();
    if (active <= 0) return {};
    if (lower == "doors")
      return Format("Cannot modify plugin '%s' - %d active door session(s). Wait for sessions to end or kill them first.",
                    plugin_name, active);
    q.SetSQL(
        "SELECT COUNT(*) as cnt FROM p_doors_sessions ds JOIN p_doors_definitions dd ON ds.door_id = dd.id "
        "WHERE ds.status = 'active' AND LOWER(dd.executable) = :exe");
    q.Param("exe", lower);
    q.Open();
    const std::int64_t games = q.Eof() ? 0 : q.Int("cnt");
    if (games >= 1)
      return Format("Cannot modify plugin '%s' - %d active game session(s). Wait for sessions to end or kill them first.",
                    plugin_name, games);
  } catch (const std::exception& e) {
    // A failed count (most often: the door plug-in's tables do not exist) refuses nothing; one
    // that failed for want of the database cannot tell whether sessions would be cut, so the
    // change is refused as every request that needs the database is (503), and nothing is done.
    if (IsDatabaseUnavailable(e)) throw;
  } catch (...) {
  }
  return {};
}

}  // namespace ov
