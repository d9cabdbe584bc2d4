// Login, token refresh, first-run setup, health and status.
#pragma once

#include "ov_json_helpers.h"
#include "ov_route_api.h"

namespace ov {

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
