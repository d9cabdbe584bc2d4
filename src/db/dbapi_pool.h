// Read connection pool of the portable SQL library: a fixed number of slots, each an owning
// dialect, lent to one borrower at a time; a dead slot is reconnected when lent.
//
// Waiting borrowers queue in arrival order; Release hands its slot straight to the first of
// them and wakes that one alone, after leaving the lock (no thundering herd, no borrower
// overtaking one that waits longer, and the woken borrower does not wake into a lock still
// held by the one that woke it).  The exhaustion bound (about 5 s) and the destruction wait are injectable
// (TDBAPoolTimings) so tests run fast; the messages keep their text ("... for 5s ...")
// whatever the bound.  Destruction waits (bounded, about 5 s) for lent slots before closing
// connections; a slot still lent after that is logged and its dialect is left open (never
// closed under a borrower).  Validation probes with Connection::Ping().
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "dbapi_dialect.h"
#include "ov_locks.h"

namespace ov {

class EDBAPoolExhausted : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
class EDBAPoolDead : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A new, not yet connected dialect (or nullptr).
using TDBAConnectionFactory = std::function<TDBADialectRef()>;
using TDBAPoolLogProc = std::function<void(const std::string& AMsg)>;

struct TDBAPoolTimings {
  std::chrono::milliseconds AcquireWait{5000};  // how long Acquire waits for a free slot
  std::chrono::milliseconds DestroyWait{5000};  // how long destruction waits for lent slots
};

// One slot's connection.  Only the slot's borrower (or the pool while nobody borrows it) changes
// these, and only under the pool's lock, so that InterruptAll may read them under that lock.
struct TDBAPoolSlot {
  TDBADialectRef Dialect;
  sql::Connection* Conn = nullptr;
  sql::Transaction* Trans = nullptr;
  std::string DownReason;  // why the last reconnect failed (the slot is dead meanwhile)
};

class TDBAPool {
 public:
  // Throws std::invalid_argument "TDBAPool: size must be > 0" / "TDBAPool: factory required",
  // EDBAPoolDead "TDBAPool: factory returned nil for slot %d", or the connect failure.
  TDBAPool(std::int32_t ASize, TDBAConnectionFactory AFactory, TDBAPoolTimings ATimings = {});
  ~TDBAPool();
  TDBAPool(const TDBAPool&) = delete;
  TDBAPool& operator=(const TDBAPool&) = delete;

  std::int32_t Size() const noexcept { return FSize; }
  void SetLoggers(TDBAPoolLogProc AInfo, TDBAPoolLogProc AWarn, TDBAPoolLogProc AErr);
  void LogInfo(const std::string& AMsg);
  void LogWarn(const std::string& AMsg);
  void LogErr(const std::string& AMsg);

  // Lends the lowest free slot: returns its index, connection and transaction.  A slot whose
  // connection cannot be opened again throws EDBAPoolDead "Database unavailable: <reason>".
  std::int32_t Acquire(sql::Connection*& AConn, sql::Transaction*& ATrans) EXCLUDES(FLock);
  // Takes a slot back, rolling back what the borrower left; out-of-range indexes are ignored.
  void Release(std::int32_t AIndex) EXCLUDES(FLock);
  // Checks a slot's connection and reconnects it when dead (called by Acquire on a lent slot).
  void ValidateSlot(std::int32_t AIndex) EXCLUDES(FLock);
  // The dialect of a slot (for its borrower; nullptr when the slot is dead).
  TDBADialectRef SlotDialect(std::int32_t AIndex) const;
  std::int32_t InUseCount() const EXCLUDES(FLock);
  // Borrowers waiting for a slot now (for tests and diagnostics).
  std::int32_t WaitingCount() const EXCLUDES(FLock);
  // From any thread: interrupts the statements running now on lent slots
  // (sql::Connection::Interrupt).  A slot its borrower reconnects meanwhile is safe to miss.
  void InterruptAll() noexcept EXCLUDES(FLock);

 private:
  // One borrower waiting in Acquire; Release sets Slot (already marked lent) under FLock and
  // wakes it after leaving FLock: the record is shared so that it outlives a waiter that
  // gives up at that very moment.
  struct Waiter {
    std::int32_t Slot = -1;  // guarded by FLock
    std::condition_variable_any Woken;
  };

  void DropSlot(TDBAPoolSlot& ASlot) noexcept EXCLUDES(FLock);
  bool AllReturned() const REQUIRES(FLock);
  // The lowest free slot, marked lent; -1 when none is free.
  std::int32_t TakeFreeSlot() REQUIRES(FLock);

  // ---- Constant after construction (the loggers: set before the pool is shared) ----
  std::int32_t FSize = 0;
  TDBAConnectionFactory FFactory;
  TDBAPoolTimings FTimings;
  TDBAPoolLogProc FLogInfo, FLogWarn, FLogErr;

  // ---- Guarded by FLock (a leaf: nothing is called under it) ----
  mutable TOVLock FLock{LockLevel::Leaf};
  std::condition_variable_any FFreed;    // a slot given back while the destructor waits
  std::vector<bool> FLent GUARDED_BY(FLock);  // per slot: lent to a borrower
  std::deque<std::shared_ptr<Waiter>> FWaiters GUARDED_BY(FLock);  // in arrival order
  bool FDestroying GUARDED_BY(FLock) = false;
  // The slots themselves: see TDBAPoolSlot for who changes them.
  std::vector<TDBAPoolSlot> FSlots;
};

}  // namespace ov
