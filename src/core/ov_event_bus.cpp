#include "ov_event_bus.h"

#include <algorithm>
#include <exception>

#include "ov_text.h"
#include "ov_log.h"

namespace ov {

TOVService<TOVEventBus> EventBus{"EventBus"};

void TOVEventBus::Subscribe(const std::string& plugin_name, const std::string& event_type,
                            TOVEventCallback callback) {
  TOVLockGuard g(lock_);
  subs_.push_back({plugin_name, event_type, std::move(callback)});
}

void TOVEventBus::Unsubscribe(const std::string& plugin_name) {
  TOVLockGuard g(lock_);
  std::erase_if(subs_, [&](const TOVEventSubscription& s) { return EqualsIgnoreCase(s.PluginName, plugin_name); });
}

void TOVEventBus::UnsubscribeCallback(const void* code, const void* data) {
  TOVLockGuard g(lock_);
  std::erase_if(subs_, [&](const TOVEventSubscription& s) {
    return s.Callback.code == code && s.Callback.data == data;
  });
}

std::size_t TOVEventBus::GetSubscriptionCount() const {
  TOVLockGuard g(lock_);
  return subs_.size();
}

void TOVEventBus::SetOnBroadcast(TOVEventBroadcast hook) {
  std::shared_ptr<const TOVEventBroadcast> p;
  if (hook) p = std::make_shared<const TOVEventBroadcast>(std::move(hook));
  TOVLockGuard g(lock_);
  on_broadcast_.swap(p);
  // The old hook (if any) is released after the lock, by p's destructor.
}

bool TOVEventBus::HasOnBroadcast() const {
  TOVLockGuard g(lock_);
  return on_broadcast_ != nullptr;
}

void TOVEventBus::Fire(const std::string& /*source_plugin*/, const std::string& event_type, const TJSON* data) {
  // Handlers run without the lock: a handler may subscribe, unsubscribe or fire again, and
  // what it changes applies from the next Fire.
  std::vector<TOVEventSubscription> copy;
  std::shared_ptr<const TOVEventBroadcast> hook;
  {
    TOVLockGuard g(lock_);
    copy.reserve(subs_.size());
    for (const auto& s : subs_)
      if (s.EventType == event_type || s.EventType == "*") copy.push_back(s);
    hook = on_broadcast_;
  }
  for (const auto& s : copy) {
    if (!s.Callback.invoke) continue;
    try {
      s.Callback.invoke(event_type, data);
    } catch (const std::exception& e) {
      LogError("[event] Handler error in %s for %s: %s", s.PluginName, event_type, e.what());
    } catch (...) {
      LogError("[event] Handler error in %s for %s: %s", s.PluginName, event_type, "unknown exception");
    }
  }
  if (hook && *hook) {
    try {
      (*hook)(event_type, data);
    } catch (const std::exception& e) {
      LogError("[event] Broadcast error for %s: %s", event_type, e.what());
    } catch (...) {
      LogError("[event] Broadcast error for %s: %s", event_type, "unknown exception");
    }
  }
}

void StartupEventBus() { EventBus.Publish(std::make_unique<TOVEventBus>()); }

void ShutdownEventBus(const std::function<void(const std::string&)>& step) {
  if (!EventBus.Exists()) return;
  if (step) step("EventBus.Free");
  EventBus.Free();
}

}  // namespace ov
