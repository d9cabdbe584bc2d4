// REST endpoints of the script package manager (ScriptMgr): the package list, install from
// the raw request body (the package file itself), uninstall, enable, disable and the
// settings.  Thin: each checks what the route table does not (the manager's presence, the
// name, the body), calls one operation of the manager and answers in the envelope; the
// manager's refusals are 400 with its text.  The manager serialises its own operations.
#pragma once

#include "ov_route_api.h"

namespace ov {

void HandleListScripts(TOVApiRequest& c);
void HandleInstallScript(TOVApiRequest& c);
void HandleUninstallScript(TOVApiRequest& c);
void HandleEnableScript(TOVApiRequest& c);
void HandleDisableScript(TOVApiRequest& c);
void HandleGetScriptSettings(TOVApiRequest& c);
void HandleUpdateScriptSettings(TOVApiRequest& c);

}  // namespace ov
