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

[[noreturn]] void Violation(LockLevel taking, LockLevel holding, const char* why) noexcept {
  std::fprintf(stderr, "lock order violation: taking level %d while holding level %d (%s)\n",
               static_cast<int>(taking), static_cast<int>(holding), why);
  std::abort();
}

}  // namespace

void Acquired(LockLevel level, const void* lock, bool reentrant) noexcept {
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
    // A leaf may be taken under anything, and only another leaf under a leaf.
    if (level == LockLevel::Leaf) continue;
    if (h.level == LockLevel::Leaf) Violation(level, h.level, "nothing but a leaf is taken under a leaf");
    if (!SameChain(h.level, level)) continue;
    // Same level twice (two registries) is allowed only for distinct, unrelated locks at the
    // registry level; anything taken after a higher level is an inversion.
    if (static_cast<int>(h.level) > static_cast<int>(level)) Violation(level, h.level, "inversion");
  }
  t_held.push_back({level, lock});
}

void Released(LockLevel, const void* lock) noexcept {
  for (auto it = t_held.rbegin(); it != t_held.rend(); ++it) {
    if (it->lock == lock) {
      t_held.erase(std::next(it).base());
      return;
    }
  }
}

void CheckHeld(const void* lock) noexcept {
  for (const Held& h : t_held)
    if (h.lock == lock) return;
  std::fprintf(stderr, "lock contract violation: a lock required here is not held by this thread\n");
  std::abort();
}

}  // namespace ov::lockorder
