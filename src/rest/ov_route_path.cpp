#include "ov_route_path.h"

#include "ov_database.h"
#include "ov_guid.h"
#include "ov_route_reply.h"
#include "ov_text.h"

namespace ov {

std::vector<std::string> PathSegments(const TOVHttpRequest& req) {
  // req.path never holds the query (the front end split it off before decoding), so a "?" in
  // it came from "%3F" and belongs to the segment: cutting there would make
  // /users/5%3Fx name user 5.
  std::string_view p = req.path;
  std::vector<std::string> out;
  for (;;) {
    std::size_t slash = p.find('/');
    out.emplace_back(p.substr(0, slash));
    if (slash == std::string_view::npos) break;
    p.remove_prefix(slash + 1);
  }
  return out;
}

std::string ExtractPathSegment(const TOVHttpRequest& req, int offset) {
  std::vector<std::string> segs = PathSegments(req);
  if (offset < 0 || static_cast<std::size_t>(offset) >= segs.size()) return {};
  return segs[segs.size() - 1 - static_cast<std::size_t>(offset)];
}

std::string ExtractPathName(const TOVHttpRequest& req) {
  std::vector<std::string> segs = PathSegments(req);
  if (segs.size() < 5) return {};
  return segs.back();
}

// An absent segment is empty text, which is no number either.
std::int64_t ExtractPathIDAt(const TOVHttpRequest& req, int offset) {
  return ParseInt64(ExtractPathSegment(req, offset)).value_or(-1);
}

std::int64_t ExtractPathID(const TOVHttpRequest& req) { return ParseInt64(ExtractPathName(req)).value_or(-1); }

bool ResolvePathEntity(const TOVHttpRequest& req, const std::string& table, std::int64_t& id, std::string& guid,
                       int offset) {
  id = -1;
  guid.clear();
  std::string seg = ExtractPathSegment(req, offset);
  if (seg.empty()) return false;
  if (TOVGuid::IsInteger(seg)) {
    id = ParseInt64(seg).value_or(-1);
    if (id < 1) return false;
    guid = RequireDB()->LookupGUID(table, id);
    return true;
  }
  if (TOVGuid::IsValid(seg)) {
    guid = ToLowerAscii(seg);
    id = RequireDB()->LookupIDByGUID(table, guid);
    return id >= 1;
  }
  return false;
}

std::optional<TOVPathEntity> ResolvePathEntityOrFail(TOVApiRequest& c, const std::string& table,
                                                     std::string_view invalid, int offset) {
  TOVPathEntity e;
  if (!ResolvePathEntity(c.req, table, e.id, e.guid, offset)) {
    SendError(c.resp, 400, invalid);
    return std::nullopt;
  }
  return e;
}

}  // namespace ov
