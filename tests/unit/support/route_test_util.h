// Helpers for unit tests that send requests through the REST route table.
#pragma once

#include <string>

#include "ov_http_core.h"
#include "ov_http_types.h"
#include "ov_json_helpers.h"
#include "ov_router.h"

namespace ovtest {

// What a routed request was answered: the status, the body text and the body parsed (null
// when it is not JSON).
struct Answer {
  int status = 0;
  std::string body;
  ov::TJSON json;
};

// A request as the HTTP front end hands it to the router, from the console address.
inline ov::TOVHttpRequest ApiRequest(const std::string& method, const std::string& path, const std::string& body = {},
                                     const std::string& query = {}) {
  ov::TOVHttpRequest req;
  req.method = method;
  req.path = path;
  req.query = query;
  req.peer_address = "127.0.0.1";
  req.body = body;
  return req;
}

// Routes a request; a routing miss comes back as the front end answers it (404).  An
// exception from a handler passes on.  What the answer asks to run once it is sent runs
// before this returns, as the connection runs it.
inline Answer Route(const ov::TOVRouter& router, ov::TOVHttpRequest& req, std::string* retry_after = nullptr) {
  ov::TOVHttpResponse resp;
  try {
    router.RouteRequest(req, resp);
  } catch (const ov::ERouteNotFound&) {
    return {404, "API endpoint not found", ov::TJSON()};
  }
  if (resp.after_send) resp.after_send();
  if (retry_after) *retry_after = resp.GetHeader("Retry-After");
  Answer a{resp.status, resp.body, ov::TJSON()};
  if (auto j = ov::ParseJson(resp.body)) a.json = *j;
  return a;
}

// As Route, with a handler's failure answered as the front end answers it (503 for a busy or
// unreachable database, 500 for a fault).  retry_after, when given, receives that header.
inline Answer RouteAnswered(const ov::TOVRouter& router, ov::TOVHttpRequest& req,
                            std::string* retry_after = nullptr) {
  try {
    return Route(router, req, retry_after);
  } catch (...) {
    ov::TOVHttpResponse resp;
    ov::detail::AnswerInternalError(resp);
    if (retry_after) *retry_after = resp.GetHeader("Retry-After");
    Answer a{resp.status, resp.body, ov::TJSON()};
    if (auto j = ov::ParseJson(resp.body)) a.json = *j;
    return a;
  }
}

// The message of an error answer, or a text naming the body when it carries none.
inline std::string ErrorMessage(const Answer& a) {
  if (!a.json.is_object() || !a.json.contains("error")) return "<no error: " + a.body + ">";
  return a.json["error"].value("message", "");
}

}  // namespace ovtest
