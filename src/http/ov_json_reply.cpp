#include "ov_json_reply.h"

namespace ov {

std::optional<TJSON> TOVJsonReply::ParseRequest(const TOVHttpRequest& req) noexcept {
  if (req.body.empty()) return std::nullopt;
  auto v = ParseJson(req.body);
  if (!v || !v->is_object()) return std::nullopt;
  return v;
}

void TOVJsonReply::SetCorsHeaders(TOVHttpResponse& resp) {
  resp.SetHeader("Access-Control-Allow-Origin", "*");
  resp.SetHeader("Access-Control-Allow-Headers", "Content-Type, Authorization, X-API-Key");
  resp.SetHeader("Access-Control-Allow-Methods", "GET, POST, PUT, DELETE, OPTIONS");
}

void TOVJsonReply::SendJSON(TOVHttpResponse& resp, const TJSON& obj, int status) {
  resp.status = status;
  resp.reason.clear();
  SetCorsHeaders(resp);
  resp.SetContent("application/json", JsonSpaced(obj));
}

void TOVJsonReply::SendError(TOVHttpResponse& resp, int status, std::string_view message) {
  SendJSON(resp, TOVJson::ErrorResponse(status, message), status);
}

}  // namespace ov
