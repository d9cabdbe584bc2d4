#include "ov_plugin_api.h"

#include <array>
#include <utility>

namespace ov {

namespace {

// The names the server, the REST API and the database use; index = ordinal.
constexpr std::array<const char*, kPermissionCount> kPermissionNames = {
    "network.listen",  "network.connect", "database.read",    "database.write", "database.create_tables",
    "filesystem.read", "filesystem.write", "system.exec",     "events.subscribe", "events.fire",
    "routes.register", "admin.menu",       "config.read",     "config.write",   "users.read",
    "users.write",     "sessions.read",    "sessions.write",  "plugin.call"};
static_assert(kPermissionNames.size() == opPluginCall + 1);

// Capabilities named in JSON, in the order they are listed.
constexpr std::array<std::pair<TOVPluginCapability, const char*>, 8> kCapabilityNames = {{
    {pcProtocol, "protocol"},
    {pcRoutes, "routes"},
    {pcAdmin, "admin"},
    {pcDatabase, "database"},
    {pcEvents, "events"},
    {pcConfig, "config"},
    {pcScheduled, "scheduled"},
    {pcService, "service"},
}};

}  // namespace

const char* PermissionToString(TOVPermission perm) noexcept {
  if (perm < 0 || perm >= kPermissionCount) return "unknown";
  return kPermissionNames[static_cast<std::size_t>(perm)];
}

bool StringToPermission(std::string_view text, TOVPermission& perm) noexcept {
  for (std::size_t i = 0; i < kPermissionNames.size(); ++i)
    if (text == kPermissionNames[i]) {
      perm = static_cast<TOVPermission>(i);
      return true;
    }
  return false;
}

TJSON PermissionSetToJSON(TOVPermissionSet perms) {
  TJSON arr = TJSON::array();
  for (int i = 0; i < kPermissionCount; ++i)
    if (perms.Has(static_cast<TOVPermission>(i))) arr.push_back(kPermissionNames[static_cast<std::size_t>(i)]);
  return arr;
}

TOVPermissionSet JSONToPermissionSet(const TJSON* arr) {
  TOVPermissionSet set;
  if (!arr || !arr->is_array()) return set;
  for (const auto& item : *arr) {
    TOVPermission p;
    if (item.is_string() && StringToPermission(item.get_ref<const std::string&>(), p)) set.Include(p);
  }
  return set;
}

bool PermissionIsCritical(TOVPermission perm) noexcept {
  return perm == opFilesystemWrite || perm == opSystemExec || perm == opUsersWrite || perm == opSessionsWrite;
}

TJSON CapabilitiesToJSON(TOVPluginCapabilities caps) {
  TJSON arr = TJSON::array();
  for (const auto& [cap, name] : kCapabilityNames)
    if (caps.Has(cap)) arr.push_back(name);
  return arr;
}

}  // namespace ov
