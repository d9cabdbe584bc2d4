// The REST administration API: the route table, the conventions every handler follows and the
// helpers that carry them out.  Handlers live in ov_route_*.cpp files; each is a
// TOVApiHandler named in its row of the table (ov_route_api.cpp).
//
// Conventions, in the order a handler meets them:
//  1. Access is checked by the route table before the handler runs: rows marked Auth or Admin
//     answer 401 "Unauthorized" without a valid bearer token or API key, Admin rows answer 403
//     "Admin access required" (AdminShort rows: 403 "Admin required") for a non-administrator.
//     The handler finds the caller in TOVApiRequest::user.
//  2. A JSON body is read with ParseBodyOrFail (400 "Invalid JSON body" when it is not an
//     object) and its members with JStr/JInt/JBool (absent or mistyped: the default).
//  3. Replies: SendSuccess(resp, data, 200 or 201), SendError(resp, status, message), paged
//     lists with SendPagedList (ReadPaging and TOVJson::PaginatedResponse).
//  4. Writes use DB write queries and commit explicitly; an exception that leaves a handler is
//     answered 500 "Internal server error" by the HTTP front end.
//  5. Path values come from the Extract* helpers and ResolvePathEntity, never from the router's
//     parameters.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ov_auth.h"
#include "ov_consts.h"
#include "ov_database.h"
#include "ov_http_types.h"
#include "ov_json_helpers.h"
#include "ov_route_admin.h"

namespace ov {

class TOVRouter;

// ---- shared texts -------------------------------------------------------------------------------

inline constexpr const char* kMsgUnauthorized = "Unauthorized";
inline constexpr const char* kMsgAdminAccessRequired = "Admin access required";
inline constexpr const char* kMsgAdminRequired = "Admin required";  // the script routes' shorter text
inline constexpr const char* kMsgInvalidJSONBody = "Invalid JSON body";
inline constexpr const char* kMsgNotImplemented = "Not implemented";

// ---- the route table ----------------------------------------------------------------------------

enum class TOVRouteAccess : std::uint8_t { None = 0, Auth = 1, Admin = 2, AdminShort = 3 };

struct TOVApiRoute;

// What a REST handler is given.  user is the authenticated caller on Auth and Admin rows and
// cleared on open rows.
struct TOVApiRequest {
  TOVHttpRequest& req;
  TOVHttpResponse& resp;
  TOVAuthUser user;
  const TOVApiRoute* route = nullptr;
};

using TOVApiHandler = void (*)(TOVApiRequest&);

struct TOVApiRoute {
  const char* method;   // "GET", "POST", "PUT", "DELETE"
  const char* pattern;  // full pattern, "/api/v1/..." (or "/health")
  TOVApiHandler handler;
  TOVRouteAccess access;
  const char* name;     // the handler's name, for logs and tests
};

// The REST table in registration (= matching) order.
std::span<const TOVApiRoute> ApiRouteTable();

// Registers the table into HttpRouter() and logs "API routes registered (/api/v1/*)".
void RegisterAPIRoutes();
// Registers rows into a router, each behind its access check.
void RegisterAPIRoutes(TOVRouter& router, std::span<const TOVApiRoute> rows);

// Checks a row's access level for the request; fills c.user.  On failure the answer (401 or
// 403) has been sent and false is returned.
bool CheckRouteAccess(TOVApiRequest& c, TOVRouteAccess access);

// ---- replies and bodies -------------------------------------------------------------------------

void SendSuccess(TOVHttpResponse& resp, TJSON data = TJSON::object(), int status = 200);
void SendError(TOVHttpResponse& resp, int status, std::string_view message);
// The body as a JSON object; otherwise answers 400 "Invalid JSON body" and returns nullopt.
std::optional<TJSON> ParseBodyOrFail(TOVApiRequest& c);
// Rows whose handler is not built yet: 501 "Not implemented".
void HandleNotImplemented(TOVApiRequest& c);

// ---- values -------------------------------------------------------------------------------------

// Characters, not bytes: a UTF-8 sequence counts once.
std::size_t Utf8Length(std::string_view s) noexcept;
// The name and password of a new account: both must be given (else 400 missing) and the
// password must have at least min_chars characters (else 400 "Password must be at least N
// characters").  False once the answer has been sent.
bool CheckNewAccount(TOVApiRequest& c, const std::string& username, const std::string& password,
                     std::string_view missing, std::size_t min_chars);
// Runs the users insert that statement sets on a write query and commits it; returns the
// insert's own id (0 when the driver reports none).  A name that is taken is answered 409
// "Username already exists" and gives nullopt; any other failure passes on.
std::optional<std::int64_t> InsertAccount(TOVApiRequest& c, TOVDatabase& db,
                                          const std::function<void(TOVQueryBase&)>& statement);

// ---- path values --------------------------------------------------------------------------------

// The decoded path (no query; a trailing "/" kept) split at every "/" with empty pieces kept:
// "/api/v1/users/5" gives "", "api", "v1", "users", "5".
std::vector<std::string> PathSegments(const TOVHttpRequest& req);
// Optional sign and decimal digits within 64 bits; nullopt otherwise.
std::optional<std::int64_t> ParseInt64(std::string_view s) noexcept;
// The last segment as an integer when there are at least 5 segments; -1 otherwise or when it
// is not a number.
std::int64_t ExtractPathID(const TOVHttpRequest& req);
// The segment offset places before the last (0 = last) as an integer; -1 when absent or not
// a number.
std::int64_t ExtractPathIDAt(const TOVHttpRequest& req, int offset);
// The last segment when there are at least 5 segments, else empty.
std::string ExtractPathName(const TOVHttpRequest& req);
// The segment offset places before the last; empty when absent.
std::string ExtractPathSegment(const TOVHttpRequest& req, int offset);
// A path segment given as a row id or a GUID of table (users, api_keys, active_sessions,
// acl_groups).  An id >= 1 is accepted whether or not the row exists (guid then empty); a GUID
// only when its row exists.
bool ResolvePathEntity(const TOVHttpRequest& req, const std::string& table, std::int64_t& id, std::string& guid,
                       int offset = 0);

struct TOVPathEntity {
  std::int64_t id = -1;
  std::string guid;  // empty when the path gave an id whose row does not exist
};
// ResolvePathEntity for a handler: nullopt once 400 with the message invalid has been sent.
std::optional<TOVPathEntity> ResolvePathEntityOrFail(TOVApiRequest& c, const std::string& table,
                                                     std::string_view invalid, int offset = 0);

// ---- database reads -----------------------------------------------------------------------------

// A row of a result as its JSON reply item.
using TOVRowToJSON = std::function<TJSON(const TOVQueryBase&)>;
// Whether a flag column (0/1) is set.
inline bool ColumnFlag(const TOVQueryBase& q, std::string_view column) { return q.Int(column) == 1; }
// Named text values for a statement's parameters.
using TOVTextBinds = std::vector<std::pair<std::string, std::string>>;
// Runs sql, a "SELECT COUNT(*) ..." with binds, on q: its first column, 0 without a row.
std::int64_t CountRows(TOVQueryBase& q, const std::string& sql, const TOVTextBinds& binds = {});
// Whether table has a row with that id (run on q, which is left closed).
bool RowExists(TOVQueryBase& q, const std::string& table, std::int64_t id);
// Opens q (its statement set and bound) and collects one item per row; q is closed again.
TJSON CollectRows(TOVQueryBase& q, const TOVRowToJSON& row);
// An unparameterised list statement on a read connection, one item per row.
TJSON ReadList(const std::string& sql, const TOVRowToJSON& row);

// ---- paging -------------------------------------------------------------------------------------

struct TOVPageLimits {
  std::int64_t default_per_page;
  std::int64_t max_per_page;
};
inline constexpr TOVPageLimits kPageUsers{25, 100};
inline constexpr TOVPageLimits kPageAuditLog{50, 200};
inline constexpr TOVPageLimits kPageConnectionLog{50, 200};
inline constexpr TOVPageLimits kPageSystemLogs{100, 500};
inline constexpr TOVPageLimits kPageSchedulerLog{50, 200};

struct TOVPaging {
  std::int64_t page = 1;
  std::int64_t per_page = 1;
  std::int64_t offset = 0;  // (page - 1) * per_page, never negative, never overflowing
};
// Query parameters "page" and "per_page": unparsable gives the default, page below 1 is 1,
// per_page below 1 is the default and above the maximum the maximum.  A page so large that
// its offset would not fit in 64 bits is lowered to the last page whose offset does.
TOVPaging ReadPaging(const TOVHttpRequest& req, TOVPageLimits limits);

// A paged list: "SELECT COUNT(*) FROM <from>" gives the total, then
// "SELECT <columns> FROM <from> ORDER BY <order_by> LIMIT :lim OFFSET :off" the page.
struct TOVPageQuery {
  std::string columns;
  std::string from;  // the table and any WHERE clause, the same for the count and the page
  std::string order_by;
  TOVTextBinds binds = {};  // the WHERE clause's values
  // True: both statements run under the write lock, so no writer comes between the count and
  // the page.
  bool under_write_lock = false;
};
// Reads the paging parameters, runs the query and sends TOVJson::PaginatedResponse.
void SendPagedList(TOVApiRequest& c, TOVPageLimits limits, const TOVPageQuery& query, const TOVRowToJSON& row);

// ---- audit log and events -----------------------------------------------------------------------

// Inserts one audit_log row and commits; a failure is logged as a warning and not passed on.
void WriteAuditLog(const TOVAuthUser& user, const std::string& action, const std::string& target,
                   const std::string& details, const std::string& ip);
// Announces a change from "_system" on the event bus when the event bus exists.
void FireSystemEvent(const std::string& event, const TJSON& data);

// ---- login, setup, health and status ------------------------------------------------------------

// The server status object (also pushed to web administrators by the hub).
TJSON BuildStatusJSON();
// True once an administrator account exists.
bool IsSetupComplete();

void HandleHealthCheck(TOVApiRequest& c);
void HandleSetupStatus(TOVApiRequest& c);
void HandleSetupCreate(TOVApiRequest& c);
void HandleAuthLogin(TOVApiRequest& c);
void HandleAuthRefresh(TOVApiRequest& c);
void HandleStatus(TOVApiRequest& c);
// The older status answer; no route leads to it.  It checks the caller itself (401
// "Unauthorized") since no table row does it first.
void HandleStatusV2(TOVApiRequest& c);

}  // namespace ov
