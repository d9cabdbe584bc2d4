// Database helpers of the REST handlers: counts and lists read into JSON, the insert of a new
// account, the audit log and the events that announce a change.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ov_auth.h"
#include "ov_database.h"
#include "ov_json_helpers.h"
#include "ov_route_api.h"

namespace ov {

// ---- reads --------------------------------------------------------------------------------------

// TOVRowToJSON, CollectRows and ReadList come with ov_database.h.
// Whether a flag column (0/1) is set.
inline bool ColumnFlag(const TOVQueryBase& q, std::string_view column) { return q.Int(column) == 1; }
// Named text values for a statement's parameters.
using TOVTextBinds = std::vector<std::pair<std::string, std::string>>;
// Runs sql, a "SELECT COUNT(*) ..." with binds, on q: its first column, 0 without a row.
std::int64_t CountRows(TOVQueryBase& q, const std::string& sql, const TOVTextBinds& binds = {});
// Whether table has a row with that id (run on q, which is left closed).
bool RowExists(TOVQueryBase& q, const std::string& table, std::int64_t id);

// ---- new accounts -------------------------------------------------------------------------------

// The name and password of a new account: both must be given (else 400 missing) and the
// password must have at least min_chars characters (else 400 "Password must be at least N
// characters"; characters, not bytes).  False once the answer has been sent.
bool CheckNewAccount(TOVApiRequest& c, const std::string& username, const std::string& password,
                     std::string_view missing, std::size_t min_chars);
// Runs the users insert that statement sets on a write query and commits it; returns the
// insert's own id (0 when the driver reports none).  A name that is taken is answered 409
// "Username already exists" and gives nullopt; any other failure passes on.
std::optional<std::int64_t> InsertAccount(TOVApiRequest& c, TOVDatabase& db,
                                          const std::function<void(TOVQueryBase&)>& statement);

// ---- audit log and events -----------------------------------------------------------------------

// Inserts one audit_log row and commits; a failure is logged as a warning and not passed on.
void WriteAuditLog(const TOVAuthUser& user, const std::string& action, const std::string& target,
                   const std::string& details, const std::string& ip);
// Announces a change from "_system" on the event bus when the event bus exists.
void FireSystemEvent(const std::string& event, const TJSON& data);

}  // namespace ov
