// REST endpoints for thin-client nodes: the heartbeat nodes send, the node list (with the
// server's own entry first), one stored node, and commands sent to a node over the WebSocket
// hub whose reply is the answer.  Pushing plug-in packages to a node is ov_route_node_push.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "ov_json_helpers.h"
#include "ov_route_api.h"
#include "ov_ws_server.h"

namespace ov {

inline constexpr const char* kMsgInvalidNodeID = "Invalid node ID";
inline constexpr const char* kMsgHubNotActive = "WebSocket server not active";
inline constexpr const char* kMsgClientTimeout = "Client did not respond in time";

// The server's own entry in node lists: id 0, name, version, address, uptime, protocols,
// plug-in and hub client counts; "ws_port" only while the hub runs, "tls_version" only with
// TLS.  Also the hub's OnGetServerNode, so every "node_update" lists the server first.
TJSON BuildServerNodeJSON();

// How long a REST request waits for a node's reply.  The defaults are the server's; the route
// table's handlers use them, unit tests pass shorter ones.
struct TOVNodeWaits {
  std::chrono::milliseconds command{5000};     // every command but plugin_uninstall
  std::chrono::milliseconds uninstall{10000};  // plugin_uninstall
  std::chrono::milliseconds push{60000};       // plugin_install: an uploaded or a registry package
};

void HandleNodeHeartbeat(TOVApiRequest& c);
void HandleListNodes(TOVApiRequest& c);
void HandleGetNode(TOVApiRequest& c);
// Sends the body's command to the hub client and answers with its reply, waiting as long as
// waits says for that command (the first form: the server's waits).
void HandleNodeCommand(TOVApiRequest& c);
void HandleNodeCommand(TOVApiRequest& c, const TOVNodeWaits& waits);

// ---- waiting for a node's reply (shared with the push endpoints) -------------------------------

// One request to a hub client whose reply a REST request waits for.  Construction registers a
// pending result under prefix + a new GUID; the entry is removed on every exit (reply, time-out,
// a send that throws, shutdown), so no entry outlives its request.
class TOVWSRequest {
 public:
  TOVWSRequest(TOVWSServer& hub, std::string_view prefix = {});
  ~TOVWSRequest();
  TOVWSRequest(const TOVWSRequest&) = delete;
  TOVWSRequest& operator=(const TOVWSRequest&) = delete;

  const std::string& Id() const noexcept { return id_; }
  // The reply of the client the command went to, or nullopt after timeout; the pending entry
  // is gone afterwards.
  std::optional<TJSON> Wait(std::chrono::milliseconds timeout);

 private:
  TOVWSServer& hub_;
  std::string id_;
  bool done_ = false;
};

// Waits for the reply: 200 with the node's whole message as data, or 504 with timeout_message.
// True when a reply came.
bool ReturnWSResult(TOVHttpResponse& resp, TOVWSRequest& request, std::chrono::milliseconds timeout,
                    std::string_view timeout_message = kMsgClientTimeout);

// The hub client id in the last path segment when it is a client id (1 or more); otherwise
// answers 400 "Invalid node ID".  Then the hub when it is active; otherwise answers 503
// "WebSocket server not active".  The reference keeps the hub alive while the request waits.
struct TOVNodeTarget {
  std::int32_t client_id = 0;
  TOVService<TOVWSServer>::Ref hub;
};
std::optional<TOVNodeTarget> NodeTargetOrFail(TOVApiRequest& c);

}  // namespace ov
