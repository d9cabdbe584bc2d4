#include <gtest/gtest.h>

#include "ov_locks.h"

using namespace ov;

#ifndef OV_LOCK_ORDER_CHECKS

TEST(LockOrder, CheckedInDebugBuilds) { GTEST_SKIP() << "built without OV_LOCK_ORDER_CHECKS"; }

#else

namespace {

struct Nesting {
  const char* what;
  LockLevel outer;
  LockLevel inner;
  bool aborts;
};

constexpr Nesting kNestings[] = {
    {"left to right", LockLevel::Registry, LockLevel::DatabaseWrite, false},
    {"right to left", LockLevel::DatabaseWrite, LockLevel::Registry, true},
    {"two registries", LockLevel::Registry, LockLevel::Registry, false},
    {"a leaf under anything", LockLevel::Security, LockLevel::Leaf, false},
    {"a leaf under a leaf", LockLevel::Leaf, LockLevel::Leaf, false},
    {"a registry under a leaf", LockLevel::Leaf, LockLevel::Registry, true},
    {"the hub's chain against the server's", LockLevel::HubSend, LockLevel::Registry, false},
    {"right to left in the hub's chain", LockLevel::HubSend, LockLevel::HubClientTable, true},
};

// Re-entry goes through a function of its own: the analysis does not model it in one scope.
void EnterAgain(TOVRecursiveLock& lock) {
  TOVLockGuard g(lock);
  lock.AssertHeld();
}

}  // namespace

TEST(LockOrderDeathTest, NestingFollowsTheLevels) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (const Nesting& n : kNestings) {
    SCOPED_TRACE(n.what);
    const auto nest = [&] {
      TOVLock outer{n.outer}, inner{n.inner};
      TOVLockGuard a(outer);
      TOVLockGuard b(inner);
    };
    if (n.aborts)
      EXPECT_DEATH(nest(), "lock order violation");
    else
      nest();
  }
}

TEST(LockOrderDeathTest, ReentryReaderAndHeldChecks) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // Entering a re-entrant lock again is no inversion, even above a later level.
  TOVRecursiveLock db{LockLevel::DatabaseWrite};
  TOVLock limiter{LockLevel::Security};
  {
    TOVLockGuard a(db);
    TOVLockGuard b(limiter);
    EnterAgain(db);
    db.AssertHeld();
  }
  // Readers of a shared lock are ordered like writers.
  TOVSharedLock routes{LockLevel::Registry};
  EXPECT_DEATH(
      {
        TOVLockGuard a(db);
        TOVSharedGuard b(routes);
      },
      "lock order violation");
  // A lock left is no longer held; one never taken never was.
  TOVLock leaf{LockLevel::Leaf};
  { TOVLockGuard g(leaf); }
  EXPECT_DEATH(leaf.AssertHeld(), "not held");
  EXPECT_DEATH(db.AssertHeld(), "not held");
}

#endif
