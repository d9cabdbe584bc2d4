// Callbacks that start-up gives the WebSocket hub.
#pragma once

#include <optional>
#include <string>

#include "ov_json_helpers.h"

namespace ov {

// A registered thin client went away: logs it and fires "ws.client_disconnect".
void HandleWSClientDisconnected(const std::string& client_name, const std::string& client_uuid);
// A node's plugin_call: the plug-in manager's function call; no result while no plug-in
// manager exists.
std::optional<TJSON> HandleWSPluginCall(const std::string& plugin, const std::string& func, const TJSON* args);

}  // namespace ov
