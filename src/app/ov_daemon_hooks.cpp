#include "ov_daemon_hooks.h"

#include "ov_event_bus.h"
#include "ov_log.h"

namespace ov {

void HandleWSClientDisconnected(const std::string& client_name, const std::string& client_uuid) {
  LogInfo("Thin client disconnected: %s (UUID: %s) \xE2\x80\x94 firing cleanup event", client_name, client_uuid);
  if (auto bus = EventBus.Get()) {
    TJSON data = TJSON::object();
    data["client_name"] = client_name;
    data["client_uuid"] = client_uuid;
    bus->Fire("_system", "ws.client_disconnect", &data);
  }
}

std::optional<TJSON> HandleWSPluginCall(const std::string& /*plugin*/, const std::string& /*func*/,
                                        const TJSON* /*args*/) {
  // The plug-in manager is not part of the server yet; once it is, this forwards to its
  // function call.
  return std::nullopt;
}

}  // namespace ov
