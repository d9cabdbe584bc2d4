// REST endpoints for access control: groups of access flags, the catalogue of flag
// definitions, and each user's direct flags and group memberships.  Every route needs an
// administrator (checked by the route table); every change writes an audit_log row.
#pragma once

#include "ov_route_api.h"

namespace ov {

void HandleListAclGroups(TOVApiRequest& c);
void HandleCreateAclGroup(TOVApiRequest& c);
void HandleGetAclGroup(TOVApiRequest& c);
void HandleUpdateAclGroup(TOVApiRequest& c);
void HandleDeleteAclGroup(TOVApiRequest& c);
void HandleListAclFlags(TOVApiRequest& c);
void HandleCreateAclFlag(TOVApiRequest& c);
void HandleDeleteAclFlag(TOVApiRequest& c);
void HandleGetUserAcl(TOVApiRequest& c);
void HandleSetUserFlags(TOVApiRequest& c);
void HandleSetUserGroups(TOVApiRequest& c);

}  // namespace ov
