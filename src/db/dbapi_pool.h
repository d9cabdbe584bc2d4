// Read connection pool of the portable SQL library: a fixed number of slots, each an owning
// dialect, lent to one borrower at a time; a dead slot is reconnected when lent.
//
// Borrowers say what they will do with a slot.  A short read (a lookup by key, a list served
// from an index, a health probe) takes any free slot.  A long read (one that runs for the length
// of a table: a substring search, a list that counts by scanning, a peer's own SQL) may take a
// slot only while the long reads together hold fewer than the long share: the other slots stay
// for short reads, so that however many searches a busy board runs, a login or a health probe
// never waits behind them.
//
// Waiting borrowers queue in arrival order, short and long each in a queue of their own, and a
// waiting short read comes first.  Release hands its slot straight to the first waiter that
// may have it and wakes that one alone, after leaving the lock (no thundering herd, no borrower
// overtaking one that waits longer, and the woken borrower does not wake into a lock still
// held by the one that woke it).  A short read waits about 5 s, a long read (whose turn may come
// only after several scans) longer; a borrower that is not served in time gets
// EDBAPoolExhausted, which callers report as "Server busy" (the database is fine: it is only
// busy).  The bounds and the destruction wait are injectable (TDBAPoolTimings) so tests run
// fast; the messages keep their text ("... for 5s ...") whatever the bound.  Destruction waits
// (bounded, about 5 s) for lent slots before closing connections; a slot still lent after that
// is logged and its dialect is left open (never closed under a borrower).  Validation probes
// with Connection::Ping().
//
// A dead slot opens its connection again only as the database's reachability record allows
// (dbapi_reach.h, shared with the write connection): while the server is down, a borrower whose
// slot would need a new connection fails at once with EDBAPoolDead "Database unavailable:
// <reason>" and only one attempt at a time, at a bounded interval, tries the server.  The slot's
// lines ("dead connection -- reconnecting", "reconnect failed: ...", "dead after validation")
// are logged when a lost connection is opened again while the server answers, and once when an
// attempt finds it down; repeats are counted in the record's reminders.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "dbapi_dialect.h"
#include "dbapi_reach.h"
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
using TDBAPoolLogProc = TDBAReachLogProc;

// What a borrower will do with its slot (see above).
enum class TDBAReadKind : std::uint8_t { Short = 0, Long = 1 };

struct TDBAPoolTimings {
  std::chrono::milliseconds AcquireWait{5000};  // how long a short read waits for a slot
  std::chrono::milliseconds DestroyWait{5000};  // how long destruction waits for lent slots
  // How long a long read waits for its turn: long enough for a queue of several scans on a
  // large board, short enough that a client hears "busy" well within a minute.
  std::chrono::milliseconds LongWait{30000};
  // Exhaustion is logged at most once in this time per kind of read (with the count of those
  // not logged): a busy board must not fill its own log with the news.
  std::chrono::milliseconds BusyLogEvery{10000};
  // A lent slot's probe (an empty statement, answered at once by a server that works) still
  // unanswered after this long: the server does not answer.  A borrower that finds no slot free
  // then fails at once (EDBAPoolDead) instead of waiting behind the probes that hang.
  std::chrono::milliseconds ProbeStuck{2000};
};

// One slot's connection.  Only the slot's borrower (or the pool while nobody borrows it) changes
// these, and only under the pool's lock, so that InterruptAll may read them under that lock.
struct TDBAPoolSlot {
  TDBADialectRef Dialect;
  sql::Connection* Conn = nullptr;
  sql::Transaction* Trans = nullptr;
};

class TDBAPool {
 public:
  // Throws std::invalid_argument "TDBAPool: size must be > 0" / "TDBAPool: factory required",
  // EDBAPoolDead "TDBAPool: factory returned nil for slot %d", or the connect failure.
  // ALongShare: how many slots long reads may hold together, 1 to ASize; 0 (or more than
  // ASize) lets them hold every slot.  AReach: the server's reachability record, shared with
  // the database's other connections (null: one of the pool's own).
  TDBAPool(std::int32_t ASize, TDBAConnectionFactory AFactory, TDBAPoolTimings ATimings = {},
           std::int32_t ALongShare = 0, std::shared_ptr<TDBAReachability> AReach = nullptr);
  ~TDBAPool();
  TDBAPool(const TDBAPool&) = delete;
  TDBAPool& operator=(const TDBAPool&) = delete;

  std::int32_t Size() const noexcept { return FSize; }
  std::int32_t LongShare() const noexcept { return FLongShare; }
  void SetLoggers(TDBAPoolLogProc AInfo, TDBAPoolLogProc AWarn, TDBAPoolLogProc AErr);
  void LogInfo(const std::string& AMsg);
  void LogWarn(const std::string& AMsg);
  void LogErr(const std::string& AMsg);

  // Lends the lowest free slot that AKind may have, waiting in arrival order (short reads
  // first) for at most AWait (default: the timings' bound for AKind): returns its index,
  // connection and transaction.  Not served in time: EDBAPoolExhausted.  A slot whose
  // connection cannot be opened again throws EDBAPoolDead "Database unavailable: <reason>".
  std::int32_t Acquire(TDBAReadKind AKind, sql::Connection*& AConn, sql::Transaction*& ATrans,
                       std::optional<std::chrono::milliseconds> AWait = std::nullopt) EXCLUDES(FLock);
  // A short read.
  std::int32_t Acquire(sql::Connection*& AConn, sql::Transaction*& ATrans) EXCLUDES(FLock) {
    return Acquire(TDBAReadKind::Short, AConn, ATrans);
  }
  // Takes a slot back, rolling back what the borrower left; out-of-range indexes are ignored.
  void Release(std::int32_t AIndex) EXCLUDES(FLock);
  // Checks a slot's connection and reconnects it when dead (called by Acquire on a lent slot).
  void ValidateSlot(std::int32_t AIndex) EXCLUDES(FLock);
  // The dialect of a slot (for its borrower; nullptr when the slot is dead).
  TDBADialectRef SlotDialect(std::int32_t AIndex) const;
  std::int32_t InUseCount() const EXCLUDES(FLock);
  // Slots lent to long reads now.
  std::int32_t LongInUseCount() const EXCLUDES(FLock);
  // How many times a slot has been lent since the pool was made.
  std::uint64_t LendCount() const EXCLUDES(FLock);
  // Borrowers waiting for a slot now, of both kinds or of one (for tests and diagnostics).
  std::int32_t WaitingCount() const EXCLUDES(FLock);
  std::int32_t WaitingCount(TDBAReadKind AKind) const EXCLUDES(FLock);
  // Why the database cannot be reached while it is thought down; otherwise why it could not
  // be the last time a slot was opened again, while any slot is still without its connection;
  // "" otherwise.  For a health probe that found every
  // slot busy: busy slots that were checked when lent say the database answers.
  std::string DownReason() const EXCLUDES(FLock);
  // The server does not answer now: it is down, an attempt to open a connection or a slot's
  // probe waits on it longer than the bounds (see TDBAReachability::NotAnsweringNow).
  bool NotAnsweringNow() const;
  // Only what waits on the server says so: a probe or an attempt unanswered past its bound (not
  // a server found down, whose next attempt a caller may be due to make).
  bool CallsUnansweredNow() const;
  // The dialects of every slot that has one (also while it opens its connection), for a stop
  // that cuts what waits on the server (sql::Connection::Cut).  Kept alive by the references.
  std::vector<TDBADialectRef> Dialects() const EXCLUDES(FLock);
  // From any thread: interrupts the statements running now on lent slots
  // (sql::Connection::Interrupt).  A slot its borrower reconnects meanwhile is safe to miss.
  void InterruptAll() noexcept EXCLUDES(FLock);
  TDBAReachability& Reachability() const noexcept { return *FReach; }

 private:
  // One borrower waiting in Acquire; Release sets Slot (already marked lent) under FLock and
  // wakes it after leaving FLock: the record is shared so that it outlives a waiter that
  // gives up at that very moment.
  struct Waiter {
    std::int32_t Slot = -1;  // guarded by FLock
    std::condition_variable_any Woken;
  };
  // A kind's exhaustion log: when it was last written, and how many went unwritten since.
  struct BusyLog {
    std::chrono::steady_clock::time_point Last{};
    std::int32_t Unlogged = 0;
  };

  void DropSlot(TDBAPoolSlot& ASlot) noexcept EXCLUDES(FLock);
  bool AllReturned() const REQUIRES(FLock);
  // The lowest free slot, marked lent to AKind; -1 when none is free or AKind's share is full.
  std::int32_t TakeFreeSlot(TDBAReadKind AKind) REQUIRES(FLock);
  void MarkLent(std::int32_t AIndex, TDBAReadKind AKind) REQUIRES(FLock);
  std::deque<std::shared_ptr<Waiter>>& Waiters(TDBAReadKind AKind) REQUIRES(FLock) {
    return AKind == TDBAReadKind::Long ? FLongWaiters : FShortWaiters;
  }
  // Logs that AKind found no slot in time, at most once per BusyLogEvery.
  void LogExhausted(TDBAReadKind AKind, std::chrono::milliseconds AWaited) EXCLUDES(FLock);
  void SetSlotDown(std::int32_t AIndex, const std::string& AReason) EXCLUDES(FLock);
  // A probe unanswered past ProbeStuck: its slot and why the server counts as not answering;
  // -1 when none.
  std::int32_t StuckProbe(std::string& AReason) const;
  // AOn false: the probe ended, AWorks: and found the connection working.
  void SetProbing(std::int32_t AIndex, bool AOn, bool AWorks = false) noexcept;
  // A probe begun at ABegan ended: tells the reachability record what it says of the server (a
  // probe answered; one unanswered until its connection ended, logged once).  True when the
  // probe worked or its failure was the server not answering (no news of its own).
  bool ProbeEnded(std::int32_t AIndex, std::chrono::steady_clock::time_point ABegan, bool AWorks) noexcept;
  // How a slot's check ended.
  enum class SlotCheck : std::uint8_t {
    Fine,      // it has its connection (kept or opened again)
    Refused,   // dead, and the server is down: no attempt of its own
    Failed,    // dead, and opening it again failed
    WentDown,  // dead, and its failed attempt found the server down (logged)
  };
  // ValidateSlot, telling how the check ended.
  SlotCheck CheckSlot(std::int32_t AIndex) EXCLUDES(FLock);

  // ---- Constant after construction (the loggers: set before the pool is shared) ----
  std::int32_t FSize = 0;
  std::int32_t FLongShare = 0;
  TDBAConnectionFactory FFactory;
  TDBAPoolTimings FTimings;
  TDBAPoolLogProc FLogInfo, FLogWarn, FLogErr;
  std::shared_ptr<TDBAReachability> FReach;

  // ---- Guarded by FLock (a leaf: nothing is called under it) ----
  mutable TOVLock FLock{LockLevel::Leaf};
  std::condition_variable_any FFreed;    // a slot given back while the destructor waits
  std::vector<bool> FLent GUARDED_BY(FLock);      // per slot: lent to a borrower
  std::vector<bool> FLentLong GUARDED_BY(FLock);  // per slot: lent to a long read
  std::int32_t FLongLent GUARDED_BY(FLock) = 0;   // slots lent to long reads
  std::uint64_t FLends GUARDED_BY(FLock) = 0;
  // Each in arrival order; a waiting short read is served before any long one.
  std::deque<std::shared_ptr<Waiter>> FShortWaiters GUARDED_BY(FLock);
  std::deque<std::shared_ptr<Waiter>> FLongWaiters GUARDED_BY(FLock);
  BusyLog FBusyLog[2] GUARDED_BY(FLock);
  // Per slot: why its last reconnect failed ("" while it has its connection).
  std::vector<std::string> FDown GUARDED_BY(FLock);
  bool FDestroying GUARDED_BY(FLock) = false;
  // The slots themselves: see TDBAPoolSlot for who changes them.
  std::vector<TDBAPoolSlot> FSlots;
  // Per slot, without a lock (every lend writes them): since when its probe runs (steady clock
  // ticks; 0 while none does), and the reachability record's outage count when its connection
  // was last seen working.
  struct alignas(64) SlotProbe {  // a cache line each: slots are lent to different threads
    std::atomic<std::int64_t> Since{0};
    std::atomic<std::uint64_t> GoodAt{0};
  };
  std::unique_ptr<SlotProbe[]> FProbes;
  // A probe left unanswered has been logged since a probe was last answered: said once, however
  // many slots and borrowers find it so.
  alignas(64) std::atomic<bool> FStuckTold{false};
};

}  // namespace ov
