// The server's publish/subscribe bus: components and plug-ins announce state changes as an
// event type, a source name and a JSON object; subscribers of that type (or of "*") are
// called in subscription order, then the one broadcast hook (the WebSocket hub) sees it.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ov_json_helpers.h"
#include "ov_locks.h"
#include "ov_service.h"

namespace ov {

// A subscriber's callback.  code and data are the two words a plug-in passed (its function and
// the pointer it is called with) and identify the callback for UnsubscribeCallback; invoke
// delivers the event.  The event data is borrowed from the firing code: a handler (and a
// plug-in it hands the data to as OVJson*) must neither free nor keep the pointer.
struct TOVEventCallback {
  const void* code = nullptr;
  const void* data = nullptr;
  std::function<void(const std::string& event_type, const TJSON* data)> invoke;
};

using TOVEventBroadcast = std::function<void(const std::string& event_type, const TJSON* data)>;

struct TOVEventSubscription {
  std::string PluginName;
  std::string EventType;  // an event type, or "*" for every event
  TOVEventCallback Callback;
};

class TOVEventBus {
 public:
  TOVEventBus() = default;
  TOVEventBus(const TOVEventBus&) = delete;
  TOVEventBus& operator=(const TOVEventBus&) = delete;

  void Subscribe(const std::string& plugin_name, const std::string& event_type, TOVEventCallback callback)
      EXCLUDES(lock_);
  // Removes every subscription of the plug-in (name compared ignoring case).
  void Unsubscribe(const std::string& plugin_name) EXCLUDES(lock_);
  // Removes every subscription whose callback has the same code and data pointers.
  void UnsubscribeCallback(const void* code, const void* data) EXCLUDES(lock_);
  void UnsubscribeCallback(const TOVEventCallback& callback) { UnsubscribeCallback(callback.code, callback.data); }

  // Delivers one event on the calling thread with no lock held.  data may be null.
  void Fire(const std::string& source_plugin, const std::string& event_type, const TJSON* data) EXCLUDES(lock_);
  void Fire(const std::string& source_plugin, const std::string& event_type, const TJSON& data) {
    Fire(source_plugin, event_type, &data);
  }

  std::size_t GetSubscriptionCount() const EXCLUDES(lock_);

  // The broadcast hook; an empty function clears it.  A Fire already past its copy of the
  // hook may still call the old one, so the hook must stay callable until its target is
  // gone (the hub's hook goes through the WSServer slot, which waits for its users).
  void SetOnBroadcast(TOVEventBroadcast hook) EXCLUDES(lock_);
  void ClearOnBroadcast() { SetOnBroadcast(nullptr); }
  bool HasOnBroadcast() const EXCLUDES(lock_);

 private:
  // ---- Guarded by lock_ ----
  // Held only to copy or change the list, never while anything else is taken: events may be
  // fired from code that holds later locks (a plug-in inside a database batch holds the write
  // lock), so the bus's lock stands outside the order.
  mutable TOVLock lock_{LockLevel::Leaf};
  std::vector<TOVEventSubscription> subs_ GUARDED_BY(lock_);
  std::shared_ptr<const TOVEventBroadcast> on_broadcast_ GUARDED_BY(lock_);
};

extern TOVService<TOVEventBus> EventBus;

// Start-up and shutdown of the global bus (the daemon's service table calls these).
void StartupEventBus();
void ShutdownEventBus(const std::function<void(const std::string&)>& step);

}  // namespace ov
