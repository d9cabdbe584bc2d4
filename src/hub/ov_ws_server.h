// The WebSocket hub: its own port (plain or TLS on the shared context), the client table,
// pings and round-trip times, expiry, sending, pushing and broadcasting, the JSON message
// protocol, pending results for node commands, door-session routing, events for web
// administrators and the SQL bridge for node plug-ins.
//
// Threads: one accept thread (it only accepts), one ping thread, and one thread per client, on
// a small stack, that does everything for that client: the blacklist check, TLS and upgrade
// handshakes, authentication, reading and dispatching messages, and draining its outbound
// queue.  Another thread sending to a plain-socket client writes the frame itself when nothing
// is queued and the socket takes it without blocking; otherwise the frame is queued for the
// client's thread (see TWebSocketConnection).  A large fan-out is shared between the sending
// thread and a few fan-out threads, and ends before the send returns.  A client holds one descriptor, its socket; one
// that cannot have a thread is refused before its 101.  Nothing logs, and nothing touches the
// database, while a hub lock is held.
//
// TOVWSServer is defined in four files: ov_ws_server.cpp (life, threads, client table,
// sending, pushing, broadcasting), ov_ws_handlers.cpp (the message table, its handlers and
// door routing), ov_ws_node_commands.cpp (pending results and node commands) and
// ov_ws_sqlbridge_exec.cpp (running what the SQL bridge's sandbox allowed).  The functions at
// the end of this header (start-up, shutdown, /ws hand-over, log push) are in ov_ws_service.cpp.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "net_websocket.h"
#include "ov_json_helpers.h"
#include "ov_locks.h"
#include "ov_service.h"
#include "ov_stream.h"

namespace ov {

struct TOVDetachedStream;
class TOVHttpRequest;
class TOVHttpResponse;
enum class TWSSqlKind : std::uint8_t;

inline constexpr int WS_DEFAULT_PORT = 8082;
inline constexpr int WS_DEFAULT_PING_INTERVAL = 30;
inline constexpr int WS_CLIENT_TIMEOUT = 90;
inline constexpr int WS_RTT_SAMPLES = 10;
// Event names one web administrator may subscribe to; more are ignored (and logged once).
inline constexpr std::size_t WS_MAX_SUBSCRIPTIONS = 1024;
// Stack of a client's thread.  Handlers run there (JSON, the SQL bridge, plug-in calls), so it
// is not tiny; it is still a sixteenth of the usual 8 MiB reservation.
inline constexpr std::size_t WS_CLIENT_STACK_BYTES = 512 * 1024;

enum TOVWSClientType : std::uint8_t { ctThinClient = 0, ctWebAdmin = 1 };

struct TOVWSClientInfo {
  std::int32_t ID = 0;
  std::string ClientUUID, ClientName, Version;
  std::vector<std::string> Protocols;
  std::shared_ptr<TWebSocketConnection> WsConn;
  std::string IPAddress;
  std::chrono::system_clock::time_point ConnectedAt{};
  StreamClock::time_point LastPong{};
  std::int32_t ActiveNodes = 0, MaxNodes = 0;
  TOVWSClientType ClientType = ctThinClient;
  bool Registered = false;
  bool HasSubscriptions = false;         // web administrators only
  std::set<std::string> SubscribedEvents;  // lower case, at most WS_MAX_SUBSCRIPTIONS
  bool SubscriptionsCapped = false;        // the cap was reached (and logged)
  std::string PluginsJSON, NodesJSON, TLSVersion;
  std::int32_t RTT_MS = 0, RTT_AVG = 0, RTT_MIN = 2147483647, RTT_MAX = 0;
  std::int32_t RTT_SAMPLES[WS_RTT_SAMPLES] = {};
  std::int32_t RTT_IDX = 0, RTT_COUNT = 0;
  std::int64_t PendingPingTS = 0;

  // True when the client subscribed to the event; event_lower is in lower case.
  bool IsSubscribed(const std::string& event_lower) const { return SubscribedEvents.count(event_lower) > 0; }
};

struct TOVDoorRoute {
  std::int32_t SessionID = 0;
  std::int32_t UserClientID = 0;
  std::int32_t DoorServerClientID = 0;
};

using TOVWSMessageHandler = std::function<void(std::int32_t client_id, const TJSON& msg)>;
// Returns the call's result object, or nullopt for "no result".
using TOVWSPluginCallHandler =
    std::function<std::optional<TJSON>(const std::string& plugin, const std::string& func, const TJSON* args)>;
using TOVWSClientDisconnectEvent = std::function<void(const std::string& client_name, const std::string& client_uuid)>;
using TOVWSBuildJSONFunc = std::function<TJSON()>;
using TOVWSCommandResultHandler =
    std::function<void(std::int32_t client_id, std::int32_t command_id, bool success, const std::string& result)>;

class TOVWSServer {
 public:
  TOVWSServer(std::string address, int port, int ping_interval, bool use_ssl, std::string cert_file,
              std::string key_file, std::string ssl_min_version);
  ~TOVWSServer();
  TOVWSServer(const TOVWSServer&) = delete;
  TOVWSServer& operator=(const TOVWSServer&) = delete;

  // Binds and starts the threads; throws "WebSocket: failed to ..." on failure.
  void Start() EXCLUDES(clients_lock_, workers_lock_, pending_lock_);
  // Ends every thread; returns when all have ended.  Pending results are woken (nil).
  void Stop() EXCLUDES(clients_lock_, workers_lock_, pending_lock_, door_lock_, ping_lock_);

  int Port() const noexcept { return port_; }
  const std::string& Address() const noexcept { return address_; }
  bool Active() const noexcept { return active_.load(std::memory_order_acquire); }
  int PingInterval() const noexcept { return ping_interval_; }
  bool UseSSL() const noexcept { return use_ssl_; }

  // Callbacks; set before Start, read-only while the hub runs.
  TOVWSCommandResultHandler OnCommandResult;
  TOVWSPluginCallHandler OnPluginCall;
  TOVWSClientDisconnectEvent OnClientDisconnected;
  TOVWSBuildJSONFunc OnGetServerStatus;
  TOVWSBuildJSONFunc OnGetServerNode;
  // Connection accounting for the rate limiter (ConnectionOpened / ConnectionClosed by IP).
  std::function<void(const std::string& ip)> OnConnectionOpened;
  std::function<void(const std::string& ip)> OnConnectionClosed;
  // Credential checks on the hub port.  Defaults: the api_keys table, and a token of an
  // administrator.
  std::function<bool(const std::string& api_key)> ValidateClientFn;
  std::function<bool(const std::string& token)> ValidateWebAdminFn;
  // The IP blacklist, asked on the client's thread before any handshake on the hub port
  // (clients upgraded on the HTTP port passed the HTTP server's gate).  By [security]
  // security_gate_mode: "enforce" closes a banned address's socket, "log" logs and serves it,
  // "off" does not ask.  Empty: no blacklist.
  std::function<bool(const std::string& ip)> IsBannedFn;

  // Timing knobs (tests shorten them); set before Start.
  struct Tuning {
    std::chrono::milliseconds client_timeout{WS_CLIENT_TIMEOUT * 1000};
    std::chrono::milliseconds idle_ping{30000};       // a quiet client gets a ping frame
    std::chrono::milliseconds handshake_timeout{10000};  // TLS + upgrade request + answer
    std::size_t max_queue_bytes = WS_DEFAULT_MAX_QUEUE_BYTES;
    std::size_t max_connections = 20000;              // accepted sockets alive at once
  };
  void SetTuning(const Tuning& t) { tuning_ = t; }
  const Tuning& GetTuning() const { return tuning_; }

  // ---- for other subsystems (any thread; none may hold a hub lock) ----
  void SendToClient(std::int32_t client_id, const TJSON& msg) EXCLUDES(clients_lock_);
  void PushCommand(const std::string& protocol, const TJSON& command) EXCLUDES(clients_lock_);
  void Broadcast(const TJSON& msg) EXCLUDES(clients_lock_);
  void BroadcastCommand(const std::string& protocol, const TJSON& command) EXCLUDES(clients_lock_);
  TJSON GetClientsJSON() EXCLUDES(clients_lock_);
  int GetClientCount() EXCLUDES(clients_lock_);
  // Streams upgraded on the HTTP port; return the new client id.  Throw when the hub is not
  // active or has no thread for the client.
  std::int32_t RegisterWebAdmin(TOVDetachedStream stream, const std::string& ip_address);
  std::int32_t RegisterThinClient(TOVDetachedStream stream, const std::string& ip_address);
  // The /ws hand-over: upgrade (which answers 101 and detaches the stream) runs only once the
  // client's thread exists, so a client the hub cannot take is refused before its 101.
  // Returns the new client id, or 0 (upgrade not called) when the hub is not active or no
  // thread can be had.  What upgrade throws passes on.
  std::int32_t TakeOverUpgrade(const std::function<TOVDetachedStream()>& upgrade, const std::string& ip_address,
                               bool web_admin) EXCLUDES(clients_lock_, workers_lock_);
  void DisconnectClient(std::int32_t client_id) EXCLUDES(clients_lock_);
  int FindClientIndex(std::int32_t client_id) EXCLUDES(clients_lock_);
  // A copy of a client's record (no connection), for tests and diagnostics.
  std::optional<TOVWSClientInfo> GetClientInfo(std::int32_t client_id) EXCLUDES(clients_lock_);

  // ---- message protocol ----
  // Runs the handler of the message's type on the calling thread, with no hub lock held.
  void HandleMessage(std::int32_t client_id, const std::string& payload) EXCLUDES(handlers_lock_);
  void RegisterMessageHandler(const std::string& msg_type, TOVWSMessageHandler handler) EXCLUDES(handlers_lock_);
  void UnregisterMessageHandler(const std::string& msg_type) EXCLUDES(handlers_lock_);

  // Pending results.  A reply is taken only from the client the command went to.
  int CreatePendingResult(const std::string& request_id) EXCLUDES(pending_lock_);
  // result is consumed; from_client is the sender of the reply.
  void StorePendingResult(const std::string& request_id, TJSON result, std::int32_t from_client)
      EXCLUDES(pending_lock_);
  // Waits (bounded) for the reply; the pending result is gone afterwards.
  std::optional<TJSON> WaitForResult(const std::string& request_id, int timeout_ms) EXCLUDES(pending_lock_);
  std::optional<TJSON> SendCommandWait(std::int32_t client_id, TJSON msg, int timeout_ms) EXCLUDES(pending_lock_);

  // Node commands (the REST node endpoints create the pending result first).
  void SendConfigReload(std::int32_t client_id, const std::string& request_id);
  void SendConfigGet(std::int32_t client_id, const std::string& request_id, const std::string& section);
  void SendConfigSet(std::int32_t client_id, const std::string& request_id, const std::string& section,
                     const std::string& key, const std::string& value);
  void SendGetPlugins(std::int32_t client_id, const std::string& request_id);
  void SendPluginEnable(std::int32_t client_id, const std::string& request_id, const std::string& name);
  void SendPluginDisable(std::int32_t client_id, const std::string& request_id, const std::string& name);
  void SendPluginUninstall(std::int32_t client_id, const std::string& request_id, const std::string& name,
                           bool purge_data);
  void SendPluginInstall(std::int32_t client_id, const std::string& request_id, const std::string& download_url,
                         const std::string& plugin_name);

  // Door routes.
  void RegisterDoorRoute(std::int32_t session_id, std::int32_t user_client_id, std::int32_t door_server_client_id)
      EXCLUDES(door_lock_);
  void UnregisterDoorRoute(std::int32_t session_id) EXCLUDES(door_lock_);
  bool FindDoorRoute(std::int32_t session_id, TOVDoorRoute& route) EXCLUDES(door_lock_);

  // Events for web administrators (spaced JSON text).
  void BroadcastToWebAdmins(const std::string& event_type, const TJSON* data) EXCLUDES(clients_lock_);
  void BroadcastNodeState() EXCLUDES(clients_lock_);
  void BroadcastServerStatus() EXCLUDES(clients_lock_);
  // Asks the ping thread to broadcast the status soon: the status costs database reads, and the
  // thread that fired the event (a login) must not wait for them.  Requests made while one is
  // pending are served by the same broadcast.
  void RequestServerStatusBroadcast() EXCLUDES(ping_lock_);
  // The event bus's broadcast hook; a status-changing event's refresh follows on the ping thread.
  void HandleEventBroadcast(const std::string& event_type, const TJSON* data) EXCLUDES(clients_lock_);
  // True when some web administrator subscribed to the event (cheap check before building).
  bool HasSubscribers(const std::string& event_type) EXCLUDES(clients_lock_);

  void SendWelcome(std::int32_t client_id) EXCLUDES(clients_lock_);
  void SendPings() EXCLUDES(clients_lock_);
  void UpdateRttFromPong(std::int32_t client_id, std::int64_t sent_ts) EXCLUDES(clients_lock_);
  void ExpireDeadClients() EXCLUDES(clients_lock_);

 private:
  struct Slot {
    TOVWSClientInfo Info;
    bool Active = false;
  };
  class ClientThread;
  class FanOut;
  struct Worker;
  struct Pending;

  enum class Origin : std::uint8_t { HubPort, HttpWebAdmin, HttpThinClient };

  /* ---- client threads and the client table (ov_ws_server.cpp) ---- */
  // The active slot of a client, or null.
  Slot* FindSlot(std::int32_t client_id) REQUIRES(clients_lock_);
  std::int32_t AddClient(std::shared_ptr<TWebSocketConnection> conn, const std::string& ip, bool web_admin,
                         const std::string& tls_version) EXCLUDES(clients_lock_);
  void RemoveClient(std::int32_t client_id) EXCLUDES(clients_lock_, door_lock_);
  std::int32_t TakeOver(TOVDetachedStream stream, const std::string& ip, bool web_admin);
  // Registers the worker and starts its thread (under workers_lock_, so Stop sees every thread).
  void StartWorker(std::shared_ptr<Worker> w) EXCLUDES(workers_lock_);
  void WorkerMain(std::shared_ptr<Worker> w) EXCLUDES(workers_lock_, clients_lock_);
  // The blacklist check of a hub-port client: let in, refused, or Unknown: the blacklist could
  // not be read for a database outage (the client is refused after the handshake with "try
  // again later", as when its credentials cannot be checked).
  enum class Admission : std::uint8_t { Admitted, Refused, Unknown };
  Admission AdmitAddress(const std::string& ip) EXCLUDES(gate_log_lock_);
  // Accepts one pending connection and closes it at once: the way to refuse a client when no
  // descriptor is left (the spare descriptor is given up for it).
  void RefuseWithoutDescriptor();
  // The client's thread after TLS, upgrade and authentication on the hub port; null: refused.
  // A client that cannot be checked for an outage (AUnchecked: its address already could not)
  // gets close 1013 "Database unavailable" after the upgrade, and no line.
  std::shared_ptr<TWebSocketConnection> HubPortHandshake(Worker& w, bool AUnchecked) EXCLUDES(clients_lock_);
  void ServeClient(std::int32_t id, const std::shared_ptr<TWebSocketConnection>& conn) EXCLUDES(clients_lock_);
  void AcceptLoop() EXCLUDES(workers_lock_);
  void PingLoop() EXCLUDES(ping_lock_, clients_lock_);
  // Joins client threads that have ended.
  void ReapWorkers() EXCLUDES(workers_lock_);
  bool DoHandshake(Stream& stream, std::string& api_key, std::string& token, std::string& rest, Deadline d);
  // After the 101: a close frame with ACode and AReason, then the lingering close.
  static void RefuseAfterHandshake(Stream& AStream, std::uint16_t ACode, const char* AReason);
  bool ValidateClient(const std::string& api_key);
  bool ValidateWebAdmin(const std::string& token);
  std::shared_ptr<TWebSocketConnection> ConnOf(std::int32_t client_id) EXCLUDES(clients_lock_);
  void SendText(std::int32_t client_id, const std::string& text) EXCLUDES(clients_lock_);
  // Sends one frame to every target; a large fan-out is shared with the fan-out threads.
  // Returns when every send was made (none blocks), so frames keep their order; ok[i] tells
  // whether target i took the frame.  No hub lock may be held: the sends take send locks.
  std::vector<char> SendToAll(const std::vector<std::shared_ptr<TWebSocketConnection>>& targets,
                              const std::shared_ptr<const std::string>& frame) EXCLUDES(clients_lock_);
  // How many web administrators subscribed to the event (name in lower case).
  int CountSubscribers(const std::string& event_lower) REQUIRES(clients_lock_);

  /* ---- message handlers (ov_ws_handlers.cpp) ---- */
  void RegisterCoreMessageHandlers();
  void HandleRegister(std::int32_t id, const TJSON& msg) EXCLUDES(clients_lock_);
  void HandleHeartbeat(std::int32_t id, const TJSON& msg) EXCLUDES(clients_lock_);
  void HandleNodeUpdate(std::int32_t id, const TJSON& msg) EXCLUDES(clients_lock_);
  void HandleCommandResult(std::int32_t id, const TJSON& msg);
  void HandleConfigResult(std::int32_t id, const TJSON& msg);
  void HandlePong(std::int32_t id, const TJSON& msg) EXCLUDES(clients_lock_);
  void HandlePluginCall(std::int32_t id, const TJSON& msg);
  void HandleStatusUpdate(std::int32_t id, const TJSON& msg);
  void HandleDoorReady(std::int32_t id, const TJSON& msg) EXCLUDES(clients_lock_);
  void HandleDoorData(std::int32_t id, const TJSON& msg);
  void HandleDoorEnd(std::int32_t id, const TJSON& msg);
  void HandleSubscribe(std::int32_t id, const TJSON& msg) EXCLUDES(clients_lock_);
  void HandleUnsubscribe(std::int32_t id, const TJSON& msg) EXCLUDES(clients_lock_);
  // Drops the door routes that have client_id at one end; returns their sessions.
  std::vector<std::int32_t> DropDoorRoutesOf(std::int32_t client_id) EXCLUDES(door_lock_);

  /* ---- the SQL bridge's execution (ov_ws_sqlbridge_exec.cpp) ---- */
  void HandleDbQuery(std::int32_t id, const TJSON& msg);
  void HandleDbExec(std::int32_t id, const TJSON& msg);
  void HandleDbExecParams(std::int32_t id, const TJSON& msg);
  // Common part of the three SQL-bridge handlers.  Runs with no hub lock held: it takes the
  // database's locks.
  void HandleDbRequest(std::int32_t id, const TJSON& msg, TWSSqlKind kind) EXCLUDES(clients_lock_);

  /* ---- pending results and node commands (ov_ws_node_commands.cpp) ---- */
  // Lets pending results be created again (Start).
  void OpenPending() EXCLUDES(pending_lock_);
  // Refuses new pending results and wakes every waiter, who gets nil (Stop, destructor).
  void WakePending() EXCLUDES(pending_lock_);
  void SendNodeCommand(std::int32_t client_id, const std::string& request_id, TJSON msg) EXCLUDES(pending_lock_);

  // Lock order: clients_lock_ -> a connection's send lock (HubClientTable -> HubSend).  The
  // other locks below are leaves: nothing but another leaf is locked, and nothing logs, while
  // one is held.  No hub lock is held while a callback, a handler or the database runs.

  // ---- Constant after construction ----
  const std::string address_;
  const int ping_interval_;
  const bool use_ssl_;
  const std::string cert_file_, key_file_, ssl_min_version_;
  // The fan-out threads: started by Start, ended by Stop; the object lives with the hub.
  const std::unique_ptr<FanOut> fanout_;

  // ---- Set before Start (SetTuning; port_ also by Start when it was 0), read-only while running ----
  int port_;
  Tuning tuning_;

  // ---- Set by Start before its threads run; released by Stop after they ended ----
  int listen_fd_ = -1;
  int stop_fd_ = -1;   // eventfd that wakes the accept and ping threads
  int spare_fd_ = -1;  // held back for refusing a client when the descriptors run out (accept thread)
  std::thread accept_thread_;
  std::thread ping_thread_;

  // ---- Lock-free ----
  std::atomic<bool> active_{false};
  // Web administrators with at least one subscription; changed under clients_lock_, read
  // without it as a cheap "nobody listens" test.
  std::atomic<int> subscribed_admins_{0};

  // ---- The ping thread sleeps on ping_cv_ under ping_lock_ (a leaf); Stop wakes it ----
  TOVLock ping_lock_{LockLevel::Leaf};
  std::condition_variable_any ping_cv_;
  bool status_pending_ GUARDED_BY(ping_lock_) = false;  // a status broadcast was asked for

  // ---- Guarded by clients_lock_ (first in the hub's chain) ----
  TOVLock clients_lock_{LockLevel::HubClientTable};
  std::vector<Slot> clients_ GUARDED_BY(clients_lock_);  // in table order; inactive slots are reused
  // client id -> slot of an active client
  std::unordered_map<std::int32_t, std::size_t> index_ GUARDED_BY(clients_lock_);
  std::set<std::size_t> free_slots_ GUARDED_BY(clients_lock_);    // inactive slots, lowest first
  std::set<std::int32_t> admin_ids_ GUARDED_BY(clients_lock_);    // the active web administrators
  std::int32_t next_client_id_ GUARDED_BY(clients_lock_) = 1;

  // ---- Guarded by gate_log_lock_ (a leaf): when a refused address was last logged ----
  TOVLock gate_log_lock_{LockLevel::Leaf};
  std::unordered_map<std::string, StreamClock::time_point> gate_logged_ GUARDED_BY(gate_log_lock_);

  // ---- Guarded by workers_lock_ (a leaf: threads are started under it, joined outside) ----
  TOVLock workers_lock_{LockLevel::Leaf};
  std::uint64_t next_worker_key_ GUARDED_BY(workers_lock_) = 1;
  std::map<std::uint64_t, std::shared_ptr<Worker>> workers_ GUARDED_BY(workers_lock_);
  std::vector<std::uint64_t> finished_workers_ GUARDED_BY(workers_lock_);

  // ---- Guarded by pending_lock_ (a leaf; waiters sleep on it; a Pending's members too) ----
  TOVLock pending_lock_{LockLevel::Leaf};
  // key: request id lower-cased
  std::map<std::string, std::shared_ptr<Pending>> pending_ GUARDED_BY(pending_lock_);
  bool pending_closed_ GUARDED_BY(pending_lock_) = false;
  std::int32_t next_request_id_ GUARDED_BY(pending_lock_) = 1;

  // ---- Guarded by door_lock_ (a leaf) ----
  TOVLock door_lock_{LockLevel::Leaf};
  std::vector<TOVDoorRoute> door_routes_ GUARDED_BY(door_lock_);

  // ---- Guarded by handlers_lock_ (a leaf: a handler is copied out and called unlocked) ----
  TOVLock handlers_lock_{LockLevel::Leaf};
  // key: type lower-cased
  std::map<std::string, std::shared_ptr<TOVWSMessageHandler>> handlers_ GUARDED_BY(handlers_lock_);
};

extern TOVService<TOVWSServer> WSServer;

// What start-up hands the hub from the layers above it.
struct TOVWSServerHooks {
  TOVWSClientDisconnectEvent client_disconnected;
  TOVWSPluginCallHandler plugin_call;
  TOVWSBuildJSONFunc server_status;
  TOVWSBuildJSONFunc server_node;
};

// Start-up step of the hub: creates, wires and starts WSServer when [websocket] enabled,
// and points the event bus's broadcast hook at it.  A failure logs
// "WebSocket server failed to start: %s" and leaves WSServer absent.
void StartupWSServer(const TOVWSServerHooks& hooks);
// Shutdown steps "WSServer.Stop" and "WSServer.Free"; the event bus's broadcast hook is
// cleared before the hub is freed.
void ShutdownWSServer(const std::function<void(const std::string&)>& step);
// The HTTP server's /ws hand-over: a valid API key makes a thin client, else an
// administrator's token (query "token=" or bearer header) a web administrator; otherwise 401
// "Unauthorized".  Without an active hub: 503 "WebSocket server not available".
void HandleWSUpgradeRequest(TOVHttpRequest& req, TOVHttpResponse& resp);
// The "log_entry" push of every stored log line to subscribed web administrators.  Never
// blocks on a socket and never logs.
void PushLogEntryToAdmins(const std::string& level, const std::string& source, const std::string& category,
                          const std::string& message);

}  // namespace ov
