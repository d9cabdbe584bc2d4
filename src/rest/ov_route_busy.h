// The busy guard of the plug-in administration and package routes: whether a plug-in may be
// disabled, restarted, reloaded, updated or removed right now.
#pragma once

#include <string>

namespace ov {

// Empty when the plug-in may be changed, else the refusal text (calls into it in progress,
// BBS sessions for the BBS engine, active door or game sessions of the door plug-in).
std::string GetPluginActiveSessionInfo(const std::string& plugin_name);

}  // namespace ov
