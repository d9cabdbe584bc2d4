#include "ov_locks.h"

#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <vector>

namespace ov::lockorder {
namespace {

struct Held {
  LockLevel level;
  const void* lock;
};
thread_local std::vector<Held> t_held;

bool SameChain(LockLevel a, LockLevel b) {
  // The hub's locks form a chain of their own, unordered against the server's chain.
  bool ha = static_cast<int>(a) >= 100, hb = static_cast<int>(b) >= 100;
  return ha == hb;
}

}  // namespace

void Acquired(LockLevel level, const void* lock, bool reentrant) noexcept {
  if (level == LockLevel::Leaf) return;
  for (const Held& h : t_held) {
    if (h.lock == lock) {
      if (reentrant) {
        t_held.push_back({level, lock});
        return;
      }
    }
  }
  for (const Held& h : t_held) {
    if (h.lock == lock) continue;
    if (!SameChain(h.level, level)) continue;
    // Same level twice (two registries) is allowed only for distinct, unrelated locks at the
    // registry level; anything taken after a higher level is an inversion.
    if (static_cast<int>(h.level) > static_cast<int>(level)) {
      std::fprintf(stderr, "lock order violation: taking level %d while holding level %d\n",
                   static_cast<int>(level), static_cast<int>(h.level));
      std::abort();
    }
  }
  t_held.push_back({level, lock});
}

void Released(LockLevel level, const void* lock) noexcept {
  if (level == LockLevel::Leaf) return;
  for (auto it = t_held.rbegin(); it != t_held.rend(); ++it) {
    if (it->lock == lock) {
      t_held.erase(std::next(it).base());
      return;
    }
  }
}

}  // namespace ov::lockorder
