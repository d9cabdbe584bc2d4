// REST endpoints for board users, the configuration rows kept in the database (system_config)
// and API keys.  Every route needs an administrator (checked by the route table); changes are
// announced on the event bus from "_system" and logged, not written to the audit log.
#pragma once

#include "ov_route_api.h"

namespace ov {

void HandleListUsers(TOVApiRequest& c);
void HandleCreateUser(TOVApiRequest& c);
void HandleGetUser(TOVApiRequest& c);
// Refuses (400 "Cannot remove the last administrator", nothing applied) a change that would
// leave no administrator who is active and unlocked.
void HandleUpdateUser(TOVApiRequest& c);
void HandleDeleteUser(TOVApiRequest& c);
void HandleGetConfig(TOVApiRequest& c);
void HandleUpdateConfig(TOVApiRequest& c);
void HandleListAPIKeys(TOVApiRequest& c);
void HandleCreateAPIKey(TOVApiRequest& c);
void HandleDeleteAPIKey(TOVApiRequest& c);

}  // namespace ov
