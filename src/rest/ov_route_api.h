// The REST administration API's route table and its access check.  Handlers live in
// ov_route_*.cpp files; each is a TOVApiHandler named in its row of the table
// (ov_route_api.cpp).  What handlers share is split by concern:
//   ov_route_reply  replies, JSON bodies and paged lists;
//   ov_route_path   values taken from the request path (ids, names, id-or-GUID entities);
//   ov_route_db     database reads, new accounts, the audit log and system events.
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
#include <span>

#include "ov_auth.h"
#include "ov_http_types.h"

namespace ov {

class TOVRouter;

inline constexpr const char* kMsgUnauthorized = "Unauthorized";
inline constexpr const char* kMsgAdminAccessRequired = "Admin access required";
inline constexpr const char* kMsgAdminRequired = "Admin required";  // the script routes' shorter text
inline constexpr const char* kMsgNotImplemented = "Not implemented";

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

// Rows whose handler is not built yet: 501 "Not implemented".
void HandleNotImplemented(TOVApiRequest& c);

}  // namespace ov
