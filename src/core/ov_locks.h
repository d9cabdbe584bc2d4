// Mutexes with a place in the global lock order, and the annotations that let clang check who
// holds which lock.
//
// Take locks left to right, never the reverse:
//   installer -> plug-in manager -> registries -> database write lock -> rate limiter / throttle.
// The hub's chain (client table -> connection send lock) is separate.  Leaf locks come last in
// either chain: nothing but another leaf is taken while one is held.  Builds with
// OV_LOCK_ORDER_CHECKS keep a per-thread stack of held locks and abort on an inversion, so a
// deadlock-prone path shows up in the first test that walks it.
//
// Contracts are written on the code with clang's thread-safety attributes: a lock is a
// CAPABILITY, a member it protects is GUARDED_BY it, a function that needs it held REQUIRES it
// and one that takes it itself EXCLUDES it.  The clang build checks them (-Wthread-safety);
// other compilers see nothing.  Scope a lock with TOVLockGuard, or TOVUniqueLock where the
// scope unlocks in between or waits on a condition variable (std::condition_variable_any):
// std::lock_guard and std::unique_lock are invisible to the analysis.
#pragma once

#include <mutex>
#include <shared_mutex>
#include <type_traits>

// ---- thread-safety annotations ----------------------------------------------------------------

#if defined(__clang__)
#define OV_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define OV_THREAD_ANNOTATION(x)
#endif

#ifndef CAPABILITY
#define CAPABILITY(x) OV_THREAD_ANNOTATION(capability(x))
#endif
#ifndef SCOPED_CAPABILITY
#define SCOPED_CAPABILITY OV_THREAD_ANNOTATION(scoped_lockable)
#endif
#ifndef GUARDED_BY
#define GUARDED_BY(x) OV_THREAD_ANNOTATION(guarded_by(x))
#endif
#ifndef PT_GUARDED_BY
#define PT_GUARDED_BY(x) OV_THREAD_ANNOTATION(pt_guarded_by(x))
#endif
#ifndef ACQUIRED_BEFORE
#define ACQUIRED_BEFORE(...) OV_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#endif
#ifndef ACQUIRED_AFTER
#define ACQUIRED_AFTER(...) OV_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#endif
#ifndef REQUIRES
#define REQUIRES(...) OV_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#endif
#ifndef REQUIRES_SHARED
#define REQUIRES_SHARED(...) OV_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#endif
#ifndef ACQUIRE
#define ACQUIRE(...) OV_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#endif
#ifndef ACQUIRE_SHARED
#define ACQUIRE_SHARED(...) OV_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#endif
#ifndef RELEASE
#define RELEASE(...) OV_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#endif
#ifndef RELEASE_SHARED
#define RELEASE_SHARED(...) OV_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#endif
#ifndef TRY_ACQUIRE
#define TRY_ACQUIRE(...) OV_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#endif
#ifndef EXCLUDES
#define EXCLUDES(...) OV_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#endif
#ifndef ASSERT_CAPABILITY
#define ASSERT_CAPABILITY(x) OV_THREAD_ANNOTATION(assert_capability(x))
#endif
#ifndef RETURN_CAPABILITY
#define RETURN_CAPABILITY(x) OV_THREAD_ANNOTATION(lock_returned(x))
#endif
#ifndef NO_THREAD_SAFETY_ANALYSIS
#define NO_THREAD_SAFETY_ANALYSIS OV_THREAD_ANNOTATION(no_thread_safety_analysis)
#endif

namespace ov {

enum class LockLevel : int {
  Leaf = 0,  // held around bookkeeping only: nothing but another leaf is taken under it
  Installer = 10,
  PluginManager = 20,
  Registry = 30,
  DatabaseWrite = 40,
  Security = 50,
  HubClientTable = 100,
  HubSend = 110,
};

namespace lockorder {
// Records that this thread took / left the lock; aborts on an order inversion.
void Acquired(LockLevel level, const void* lock, bool reentrant) noexcept;
void Released(LockLevel level, const void* lock) noexcept;
// Aborts unless this thread holds the lock.
void CheckHeld(const void* lock) noexcept;
}  // namespace lockorder

template <class M>
class CAPABILITY("mutex") OrderedLock {
 public:
  constexpr explicit OrderedLock(LockLevel level) : level_(level) {}
  OrderedLock(const OrderedLock&) = delete;
  OrderedLock& operator=(const OrderedLock&) = delete;

  void lock() ACQUIRE() {
    m_.lock();
#ifdef OV_LOCK_ORDER_CHECKS
    lockorder::Acquired(level_, this, kReentrant);
#endif
  }
  bool try_lock() TRY_ACQUIRE(true) {
    if (!m_.try_lock()) return false;
#ifdef OV_LOCK_ORDER_CHECKS
    lockorder::Acquired(level_, this, kReentrant);
#endif
    return true;
  }
  void unlock() RELEASE() {
#ifdef OV_LOCK_ORDER_CHECKS
    lockorder::Released(level_, this);
#endif
    m_.unlock();
  }
  // For code that holds the lock in a way the analysis cannot follow (a handle object that
  // keeps it past the function that took it): tells the analysis it is held, and checks that
  // it really is in builds with OV_LOCK_ORDER_CHECKS.
  void AssertHeld() const ASSERT_CAPABILITY(this) {
#ifdef OV_LOCK_ORDER_CHECKS
    lockorder::CheckHeld(this);
#endif
  }
  LockLevel level() const { return level_; }

 private:
  static constexpr bool kReentrant = std::is_same_v<M, std::recursive_mutex>;
  M m_;
  LockLevel level_;
};

using TOVLock = OrderedLock<std::mutex>;
// Re-entrant: the analysis does not model re-entry, so code that enters again goes through a
// function of its own (or AssertHeld) rather than a second guard in the same scope.
using TOVRecursiveLock = OrderedLock<std::recursive_mutex>;

// A readers/writer lock with a level: readers take it shared (lock_shared), writers alone.
class CAPABILITY("mutex") TOVSharedLock {
 public:
  explicit TOVSharedLock(LockLevel level) : level_(level) {}
  TOVSharedLock(const TOVSharedLock&) = delete;
  TOVSharedLock& operator=(const TOVSharedLock&) = delete;

  void lock() ACQUIRE() {
    m_.lock();
#ifdef OV_LOCK_ORDER_CHECKS
    lockorder::Acquired(level_, this, false);
#endif
  }
  void unlock() RELEASE() {
#ifdef OV_LOCK_ORDER_CHECKS
    lockorder::Released(level_, this);
#endif
    m_.unlock();
  }
  void lock_shared() ACQUIRE_SHARED() {
    m_.lock_shared();
#ifdef OV_LOCK_ORDER_CHECKS
    lockorder::Acquired(level_, this, false);
#endif
  }
  void unlock_shared() RELEASE_SHARED() {
#ifdef OV_LOCK_ORDER_CHECKS
    lockorder::Released(level_, this);
#endif
    m_.unlock_shared();
  }
  LockLevel level() const { return level_; }

 private:
  std::shared_mutex m_;
  LockLevel level_;
};

// Holds a lock for a scope.
template <class L>
class SCOPED_CAPABILITY TOVLockGuard {
 public:
  explicit TOVLockGuard(L& lock) ACQUIRE(lock) : lock_(lock) { lock_.lock(); }
  ~TOVLockGuard() RELEASE() { lock_.unlock(); }
  TOVLockGuard(const TOVLockGuard&) = delete;
  TOVLockGuard& operator=(const TOVLockGuard&) = delete;

 private:
  L& lock_;
};

// Holds a lock for a scope, and may leave and take it again within it; waits on a
// std::condition_variable_any go through it.
template <class L>
class SCOPED_CAPABILITY TOVUniqueLock {
 public:
  explicit TOVUniqueLock(L& lock) ACQUIRE(lock) : lock_(lock) {
    lock_.lock();
    owns_ = true;
  }
  ~TOVUniqueLock() RELEASE() {
    if (owns_) lock_.unlock();
  }
  TOVUniqueLock(const TOVUniqueLock&) = delete;
  TOVUniqueLock& operator=(const TOVUniqueLock&) = delete;

  void lock() ACQUIRE() {
    lock_.lock();
    owns_ = true;
  }
  void unlock() RELEASE() {
    owns_ = false;
    lock_.unlock();
  }

 private:
  L& lock_;
  bool owns_ = false;
};

// Holds a readers/writer lock shared for a scope.
class SCOPED_CAPABILITY TOVSharedGuard {
 public:
  explicit TOVSharedGuard(TOVSharedLock& lock) ACQUIRE_SHARED(lock) : lock_(lock) { lock_.lock_shared(); }
  ~TOVSharedGuard() RELEASE() { lock_.unlock_shared(); }
  TOVSharedGuard(const TOVSharedGuard&) = delete;
  TOVSharedGuard& operator=(const TOVSharedGuard&) = delete;

 private:
  TOVSharedLock& lock_;
};

}  // namespace ov
