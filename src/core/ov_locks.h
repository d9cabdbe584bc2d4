// Mutexes with a place in the global lock order.
//
// Take locks left to right, never the reverse:
//   installer -> plug-in manager -> registries -> database write lock -> rate limiter / throttle.
// The hub's chain (client table -> connection send lock) is separate.  Builds with
// OV_LOCK_ORDER_CHECKS keep a per-thread stack of held levels and abort on an inversion, so a
// deadlock-prone path shows up in the first test that walks it.
#pragma once

#include <mutex>

namespace ov {

enum class LockLevel : int {
  Leaf = 0,  // locks that never call out while held; excluded from checks
  Installer = 10,
  PluginManager = 20,
  Registry = 30,
  DatabaseWrite = 40,
  Security = 50,
  HubClientTable = 100,
  HubSend = 110,
};

namespace lockorder {
void Acquired(LockLevel level, const void* lock, bool reentrant) noexcept;
void Released(LockLevel level, const void* lock) noexcept;
}  // namespace lockorder

template <class M>
class OrderedLock {
 public:
  explicit OrderedLock(LockLevel level) : level_(level) {}
  OrderedLock(const OrderedLock&) = delete;
  OrderedLock& operator=(const OrderedLock&) = delete;

  void lock() {
    m_.lock();
#ifdef OV_LOCK_ORDER_CHECKS
    lockorder::Acquired(level_, this, std::is_same_v<M, std::recursive_mutex>);
#endif
  }
  bool try_lock() {
    if (!m_.try_lock()) return false;
#ifdef OV_LOCK_ORDER_CHECKS
    lockorder::Acquired(level_, this, std::is_same_v<M, std::recursive_mutex>);
#endif
    return true;
  }
  void unlock() {
#ifdef OV_LOCK_ORDER_CHECKS
    lockorder::Released(level_, this);
#endif
    m_.unlock();
  }
  LockLevel level() const { return level_; }

 private:
  M m_;
  LockLevel level_;
};

using TOVLock = OrderedLock<std::mutex>;
using TOVRecursiveLock = OrderedLock<std::recursive_mutex>;

}  // namespace ov
