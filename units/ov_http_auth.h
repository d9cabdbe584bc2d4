// Request authentication: a bearer token, else an X-API-Key header.
#pragma once

#include "ov_auth.h"
#include "ov_http_types.h"

namespace ov {

// Clears user, then: an "Authorization: Bearer <token>" header decides alone (an invalid
// token is not retried with an API key); otherwise a non-empty "X-API-Key" header is checked.
// False without either.  Database errors of the API-key check propagate.
bool AuthenticateRequest(const TOVHttpRequest& req, TOVAuthUser& user);

}  // namespace ov
