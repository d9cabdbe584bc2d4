// Values REST handlers take from the request path: segments, ids, names and entities named
// by id or GUID.  Handlers never read the router's route parameters; they use these.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ov_http_types.h"
#include "ov_route_api.h"
#include "ov_text.h"

namespace ov {

// The decoded path (no query; a trailing "/" kept) split at every "/" with empty pieces kept:
// "/api/v1/users/5" gives "", "api", "v1", "users", "5".
std::vector<std::string> PathSegments(const TOVHttpRequest& req);
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

}  // namespace ov
