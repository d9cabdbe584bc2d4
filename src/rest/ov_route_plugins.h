// REST endpoints over the loaded plug-ins: the live and stored lists, enable, disable, restart,
// reload, scan, each plug-in's stored configuration, service calls, and the administration
// menu plug-ins contribute.  Disable, restart and reload ask the busy guard first
// (GetPluginActiveSessionInfo).  Without a plug-in manager the lists are empty, changes of one
// plug-in answer 404 "Plugin not found", the scan 500 and the service call 503.
#pragma once

#include "ov_route_api.h"

namespace ov {

void HandleListPluginsV2(TOVApiRequest& c);
void HandleListPlugins(TOVApiRequest& c);
void HandleEnablePlugin(TOVApiRequest& c);
void HandleDisablePlugin(TOVApiRequest& c);
void HandleRestartPlugin(TOVApiRequest& c);
// A reload still refused when calls that began after the busy check keep the plug-in from
// unloading within the manager's wait answers 409; the plug-in then stays as it was.
void HandleReloadPlugin(TOVApiRequest& c);
void HandleScanPlugins(TOVApiRequest& c);
// Configuration members whose name is empty or begins with "_" are internal: never shown, never
// accepted from a client.
void HandleGetPluginConfig(TOVApiRequest& c);
void HandleUpdatePluginConfig(TOVApiRequest& c);
// The caller goes to the plug-in manager: a signed-in user who is not an administrator is
// refused the administrative "_system" functions with 403 "Admin access required".
void HandlePluginServiceCall(TOVApiRequest& c);
void HandleAdminMenuItems(TOVApiRequest& c);

}  // namespace ov
