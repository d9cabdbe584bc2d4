// The contract between the server and its plug-ins, on the C++ side: the permission,
// capability and target enumerations over the ordinals of the binary interface
// (include/orvanta/plugin_abi.h), the export names and API versions, the event names, and the
// permission functions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "ov_json_helpers.h"
#include "orvanta/plugin_abi.h"

namespace ov {

inline constexpr std::int32_t OV_MIN_PLUGIN_API = OV_MIN_PLUGIN_API_VERSION;
inline constexpr std::int32_t OV_CURRENT_PLUGIN_API = OV_PLUGIN_API_VERSION;
// The export names (OV_EXPORT_*), the permission names (OV_PERM_NAME_*) and the event names
// (OV_EVENT_*) are the public header's macros: plug-ins and the server spell them from one place.

inline constexpr std::int32_t PDR_COMPLETED = OV_PDR_COMPLETED;
inline constexpr std::int32_t PDR_IEMSI = OV_PDR_IEMSI;
inline constexpr std::int32_t PDR_ABORT_TO_BBS = OV_PDR_ABORT_TO_BBS;
inline constexpr std::int32_t PDR_FAILED = OV_PDR_FAILED;

enum TOVPermission : std::int32_t {
  opNetworkListen = OV_PERM_NETWORK_LISTEN,
  opNetworkConnect = OV_PERM_NETWORK_CONNECT,
  opDatabaseRead = OV_PERM_DATABASE_READ,
  opDatabaseWrite = OV_PERM_DATABASE_WRITE,
  opDatabaseCreateTables = OV_PERM_DATABASE_CREATE_TABLES,
  opFilesystemRead = OV_PERM_FILESYSTEM_READ,
  opFilesystemWrite = OV_PERM_FILESYSTEM_WRITE,
  opSystemExec = OV_PERM_SYSTEM_EXEC,
  opEventsSubscribe = OV_PERM_EVENTS_SUBSCRIBE,
  opEventsFire = OV_PERM_EVENTS_FIRE,
  opRoutesRegister = OV_PERM_ROUTES_REGISTER,
  opAdminMenu = OV_PERM_ADMIN_MENU,
  opConfigRead = OV_PERM_CONFIG_READ,
  opConfigWrite = OV_PERM_CONFIG_WRITE,
  opUsersRead = OV_PERM_USERS_READ,
  opUsersWrite = OV_PERM_USERS_WRITE,
  opSessionsRead = OV_PERM_SESSIONS_READ,
  opSessionsWrite = OV_PERM_SESSIONS_WRITE,
  opPluginCall = OV_PERM_PLUGIN_CALL,
};
inline constexpr int kPermissionCount = 19;

enum TOVPluginCapability : std::int32_t {
  pcProtocol = OV_CAP_PROTOCOL,
  pcRoutes = OV_CAP_ROUTES,
  pcAdmin = OV_CAP_ADMIN,
  pcDatabase = OV_CAP_DATABASE,
  pcEvents = OV_CAP_EVENTS,
  pcMenu = OV_CAP_MENU,
  pcConfig = OV_CAP_CONFIG,
  pcScheduled = OV_CAP_SCHEDULED,
  pcService = OV_CAP_SERVICE,
  pcProtocolDetector = OV_CAP_PROTOCOL_DETECTOR,
};

enum TOVPluginTarget : std::int32_t { ptServer = OV_TARGET_SERVER, ptClient = OV_TARGET_CLIENT, ptBoth = OV_TARGET_BOTH };

// A set of ordinals 0..31 stored in 32 bits, bit n for ordinal n: TOVPermissionSet and
// TOVPluginCapabilities.
template <class E>
class TOVBitSet {
 public:
  constexpr TOVBitSet() = default;
  constexpr explicit TOVBitSet(std::uint32_t bits) : bits_(bits) {}
  constexpr TOVBitSet(std::initializer_list<E> members) {
    for (E m : members) Include(m);
  }
  constexpr bool Has(E m) const noexcept { return m >= 0 && m < 32 && (bits_ >> m) & 1u; }
  constexpr void Include(E m) noexcept {
    if (m >= 0 && m < 32) bits_ |= 1u << m;
  }
  constexpr bool Empty() const noexcept { return bits_ == 0; }
  constexpr std::uint32_t Bits() const noexcept { return bits_; }
  constexpr TOVBitSet operator+(TOVBitSet o) const noexcept { return TOVBitSet(bits_ | o.bits_); }
  // Members of this set that o lacks.
  constexpr TOVBitSet operator-(TOVBitSet o) const noexcept { return TOVBitSet(bits_ & ~o.bits_); }
  constexpr bool operator==(const TOVBitSet&) const = default;

 private:
  std::uint32_t bits_ = 0;
};
using TOVPermissionSet = TOVBitSet<TOVPermission>;
// A plug-in's own record of a task; the server takes tasks as JSON.
using TOVScheduledTask = OVScheduledTask;
using TOVPluginCapabilities = TOVBitSet<TOVPluginCapability>;

// The text name of a permission ("database.read"); "unknown" outside the enumeration.
const char* PermissionToString(TOVPermission perm) noexcept;
// Exact, case-sensitive match against the 19 names; false leaves perm untouched.
bool StringToPermission(std::string_view text, TOVPermission& perm) noexcept;
// The names of the members, ordinals ascending.
TJSON PermissionSetToJSON(TOVPermissionSet perms);
// Known names of the string elements of an array; anything else (null, other values, unknown
// names) adds nothing.
TOVPermissionSet JSONToPermissionSet(const TJSON* arr);
// filesystem.write, system.exec, users.write and sessions.write.
bool PermissionIsCritical(TOVPermission perm) noexcept;

// Capability names in JSON ("protocol", "routes", ...) in their order; bits without a name are
// left out.
TJSON CapabilitiesToJSON(TOVPluginCapabilities caps);

}  // namespace ov
