#include "ov_plugin_api.h"

#include <array>
#include <utility>

namespace ov {

namespace {

// The names the server, the REST API and the database use; index = ordinal.
constexpr std::array<const char*, kPermissionCount> kPermissionNames = {
    OV_PERM_NAME_NETWORK_LISTEN,   OV_PERM_NAME_NETWORK_CONNECT,  OV_PERM_NAME_DATABASE_READ,
    OV_PERM_NAME_DATABASE_WRITE,   OV_PERM_NAME_DATABASE_CREATE_TABLES, OV_PERM_NAME_FILESYSTEM_READ,
    OV_PERM_NAME_FILESYSTEM_WRITE, OV_PERM_NAME_SYSTEM_EXEC,      OV_PERM_NAME_EVENTS_SUBSCRIBE,
    OV_PERM_NAME_EVENTS_FIRE,      OV_PERM_NAME_ROUTES_REGISTER,  OV_PERM_NAME_ADMIN_MENU,
    OV_PERM_NAME_CONFIG_READ,      OV_PERM_NAME_CONFIG_WRITE,     OV_PERM_NAME_USERS_READ,
    OV_PERM_NAME_USERS_WRITE,      OV_PERM_NAME_SESSIONS_READ,    OV_PERM_NAME_SESSIONS_WRITE,
    OV_PERM_NAME_PLUGIN_CALL};
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
