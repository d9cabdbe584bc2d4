// JSON answers over HTTP: the REST envelope written in the spaced form with the CORS headers.
#pragma once

#include <optional>
#include <string_view>

#include "ov_http_types.h"
#include "ov_json_helpers.h"

namespace ov {

class TOVJsonReply {
 public:
  TOVJsonReply() = delete;
  // The body as a JSON object, or nullopt when empty, invalid, too deep or not an object.
  static std::optional<TJSON> ParseRequest(const TOVHttpRequest& req) noexcept;
  static void SendJSON(TOVHttpResponse& resp, const TJSON& obj, int status);
  static void SendError(TOVHttpResponse& resp, int status, std::string_view message);
  static void SetCorsHeaders(TOVHttpResponse& resp);
};

}  // namespace ov
