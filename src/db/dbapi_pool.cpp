// Read connection pool of the portable SQL library.
#include "dbapi_pool.h"

#include <algorithm>

#include "ov_format.h"

namespace ov {

TDBAPool::TDBAPool(std::int32_t ASize, TDBAConnectionFactory AFactory, TDBAPoolTimings ATimings,
                   std::int32_t ALongShare, std::shared_ptr<TDBAReachability> AReach)
    : FTimings(ATimings), FReach(AReach ? std::move(AReach) : std::make_shared<TDBAReachability>()) {
  if (ASize <= 0) throw std::invalid_argument("TDBAPool: size must be > 0");
  if (!AFactory) throw std::invalid_argument("TDBAPool: factory required");
  FSize = ASize;
  FLongShare = ALongShare <= 0 || ALongShare > ASize ? ASize : ALongShare;
  FFactory = std::move(AFactory);
  FSlots.resize(static_cast<std::size_t>(ASize));
  FLent.assign(static_cast<std::size_t>(ASize), false);
  FLentLong.assign(static_cast<std::size_t>(ASize), false);
  FDown.assign(static_cast<std::size_t>(ASize), std::string());
  FProbes = std::make_unique<SlotProbe[]>(static_cast<std::size_t>(ASize));
  for (std::int32_t i = 0; i < ASize; ++i) FProbes[static_cast<std::size_t>(i)].GoodAt = FReach->Outages();
  for (std::int32_t i = 0; i < ASize; ++i) {
    auto& s = FSlots[static_cast<std::size_t>(i)];
    s.Dialect = FFactory();
    if (!s.Dialect) throw EDBAPoolDead(Format("TDBAPool: factory returned nil for slot %d", i));
    s.Dialect->Connect();
    s.Conn = s.Dialect->Connection();
    s.Trans = s.Dialect->Transaction();
  }
}

bool TDBAPool::AllReturned() const {
  for (bool lent : FLent)
    if (lent) return false;
  return true;
}

void TDBAPool::MarkLent(std::int32_t AIndex, TDBAReadKind AKind) {
  const auto i = static_cast<std::size_t>(AIndex);
  FLent[i] = true;
  ++FLends;
  FLentLong[i] = AKind == TDBAReadKind::Long;
  if (FLentLong[i]) ++FLongLent;
}

std::int32_t TDBAPool::TakeFreeSlot(TDBAReadKind AKind) {
  if (AKind == TDBAReadKind::Long && FLongLent >= FLongShare) return -1;
  for (std::int32_t i = 0; i < FSize; ++i) {
    if (!FLent[static_cast<std::size_t>(i)]) {
      MarkLent(i, AKind);
      return i;
    }
  }
  return -1;
}

TDBAPool::~TDBAPool() {
  std::vector<bool> lent;
  {
    TOVUniqueLock g(FLock);
    FDestroying = true;
    FFreed.wait_for(g, FTimings.DestroyWait, [this]() REQUIRES(FLock) { return AllReturned(); });
    lent = FLent;
  }
  for (std::size_t i = 0; i < FSlots.size(); ++i) {
    auto& s = FSlots[i];
    if (lent[i]) {
      // Never close a connection under its borrower: keep the dialect alive for the process.
      LogErr(Format("dbapi_pool: slot %d still lent at shutdown -- left open", static_cast<int>(i)));
      static auto* abandoned = new std::vector<TDBADialectRef>();  // reachable until exit
      static TOVLock abandoned_lock{LockLevel::Leaf};
      TOVLockGuard g(abandoned_lock);
      abandoned->push_back(std::move(s.Dialect));
      continue;
    }
    if (s.Trans) {
      try {
        s.Trans->Rollback();
      } catch (...) {
      }
    }
    DropSlot(s);
  }
}

void TDBAPool::SetLoggers(TDBAPoolLogProc AInfo, TDBAPoolLogProc AWarn, TDBAPoolLogProc AErr) {
  FLogInfo = std::move(AInfo);
  FLogWarn = std::move(AWarn);
  FLogErr = std::move(AErr);
}

void TDBAPool::LogInfo(const std::string& AMsg) {
  if (FLogInfo) FLogInfo(AMsg);
}
void TDBAPool::LogWarn(const std::string& AMsg) {
  if (FLogWarn) FLogWarn(AMsg);
}
void TDBAPool::LogErr(const std::string& AMsg) {
  if (FLogErr) FLogErr(AMsg);
}

void TDBAPool::DropSlot(TDBAPoolSlot& ASlot) noexcept {
  TDBADialectRef dropped;
  {
    TOVLockGuard g(FLock);
    dropped = std::move(ASlot.Dialect);
    ASlot.Dialect = nullptr;
    ASlot.Conn = nullptr;
    ASlot.Trans = nullptr;
  }
  try {
    dropped.reset();  // an owning dialect disconnects and frees its connection
  } catch (...) {
  }
}

std::int32_t TDBAPool::Acquire(TDBAReadKind AKind, sql::Connection*& AConn, sql::Transaction*& ATrans,
                              std::optional<std::chrono::milliseconds> AWait) {
  AConn = nullptr;
  ATrans = nullptr;
  const std::chrono::milliseconds wait =
      AWait ? *AWait : (AKind == TDBAReadKind::Long ? FTimings.LongWait : FTimings.AcquireWait);
  std::int32_t index = -1;
  std::string stuck;
  std::int32_t stuck_slot = -1;
  bool log_stuck = false, refused = false;
  {
    TOVUniqueLock g(FLock);
    auto& queue = Waiters(AKind);
    // A free slot goes to a newcomer only when nobody of its kind waits: a slot given back
    // while borrowers wait has already gone to the first of them that may have it.
    if (queue.empty()) index = TakeFreeSlot(AKind);
    // The slots are held by borrowers that wait on a server that does not answer: a probe left
    // unanswered (told once, until the server answers), or the server down or an attempt
    // unanswered.  Waiting would be waiting for that server.
    const auto unanswered = [&]() REQUIRES(FLock) {
      if ((stuck_slot = StuckProbe(stuck)) >= 0) {
        log_stuck = !FStuckTold.load() && !FStuckTold.exchange(true);
        return true;
      }
      return refused = FReach->NotAnsweringNow();
    };
    if (index < 0 && !unanswered()) {
      auto me = std::make_shared<Waiter>();
      queue.push_back(me);
      const auto until = std::chrono::steady_clock::now() + wait;
      // The slots may be held by borrowers that wait on a server that stopped answering after
      // this one began to wait: it looks again now and then, and then fails at once too.
      const auto look_every = std::max<std::chrono::milliseconds>(FTimings.ProbeStuck / 4, std::chrono::milliseconds(1));
      while (me->Slot < 0) {
        const auto next = std::min(until, std::chrono::steady_clock::now() + look_every);
        if (me->Woken.wait_until(g, next) == std::cv_status::no_timeout || me->Slot >= 0) continue;
        if (std::chrono::steady_clock::now() >= until || unanswered()) break;
      }
      // A slot handed over just as the wait ran out is still taken.
      if (me->Slot < 0) queue.erase(std::find(queue.begin(), queue.end(), me));
      index = me->Slot;
      if (index >= 0) stuck_slot = -1, refused = false;
    }
  }
  if (stuck_slot >= 0) {
    if (log_stuck) LogErr(Format("dbapi_pool: slot %d probe unanswered -- %s", stuck_slot, stuck));
    throw EDBAPoolDead(sql::UnavailableError(stuck).what());
  }
  if (refused) {
    FReach->Refused();
    std::string reason = FReach->Reason();
    throw EDBAPoolDead(sql::UnavailableError(reason.empty() ? "no connection" : reason).what());
  }
  if (index < 0) {
    LogExhausted(AKind, wait);
    if (AKind == TDBAReadKind::Long)
      throw EDBAPoolExhausted(Format("dbapi_pool: long reads busy for %ds, bailing out",
                                     static_cast<int>((wait.count() + 999) / 1000)));
    throw EDBAPoolExhausted("dbapi_pool: all slots busy for 5s, bailing out");
  }

  auto& s = FSlots[static_cast<std::size_t>(index)];
  SlotCheck check = SlotCheck::Fine;
  try {
    check = CheckSlot(index);
  } catch (...) {
    Release(index);
    throw;
  }
  AConn = s.Conn;
  ATrans = s.Trans;
  if (!AConn) {
    std::string reason = DownReason();
    if (reason.empty()) reason = "no connection";
    Release(index);
    // Once per outage; the borrowers after it are counted by the reachability record.
    if (check == SlotCheck::WentDown) LogErr(Format("dbapi_pool: slot %d dead after validation", index));
    throw EDBAPoolDead(sql::UnavailableError(reason).what());
  }
  return index;
}

void TDBAPool::LogExhausted(TDBAReadKind AKind, std::chrono::milliseconds AWaited) {
  std::int32_t unlogged = 0;
  {
    TOVLockGuard g(FLock);
    BusyLog& b = FBusyLog[static_cast<int>(AKind)];
    const auto now = std::chrono::steady_clock::now();
    if (b.Last != std::chrono::steady_clock::time_point{} && now - b.Last < FTimings.BusyLogEvery) {
      ++b.Unlogged;
      return;
    }
    b.Last = now;
    unlogged = std::exchange(b.Unlogged, 0);
  }
  const std::string more = unlogged > 0 ? Format(" (%d more since the last report)", unlogged) : std::string();
  if (AKind == TDBAReadKind::Short)
    LogErr("dbapi_pool: exhausted -- all slots busy for 5s" + more);
  else
    LogWarn(Format("dbapi_pool: long reads busy -- one waited %ds for its turn and was refused",
                   static_cast<int>((AWaited.count() + 999) / 1000)) +
            more);
}

void TDBAPool::SetSlotDown(std::int32_t AIndex, const std::string& AReason) {
  TOVLockGuard g(FLock);
  FDown[static_cast<std::size_t>(AIndex)] = AReason;
}

void TDBAPool::SetProbing(std::int32_t AIndex, bool AOn, bool AWorks) noexcept {
  SlotProbe& p = FProbes[static_cast<std::size_t>(AIndex)];
  if (AWorks) {
    p.GoodAt = FReach->Outages();
    // The server answers: the next probe it leaves unanswered is news again.  Read first, so
    // that lending does not write a line every borrower shares.
    if (FStuckTold.load(std::memory_order_relaxed)) FStuckTold.store(false, std::memory_order_relaxed);
  }
  p.Since = AOn ? std::chrono::steady_clock::now().time_since_epoch().count() : 0;
}

bool TDBAPool::ProbeEnded(std::int32_t AIndex, std::chrono::steady_clock::time_point ABegan, bool AWorks) noexcept {
  SetProbing(AIndex, false, AWorks);
  try {
    if (AWorks) {
      FReach->Answered();  // a partition that heals answers the probes left waiting on it
      return true;
    }
    const auto waited = std::chrono::steady_clock::now() - ABegan;
    if (waited < FTimings.ProbeStuck) return false;
    // Unanswered until the connection ended (TCP gave up on the server): the server does not
    // answer, as if an attempt had failed; the lost connections of the other slots then open
    // again one attempt at a time.
    const std::string why = NoAnswerFor(waited);
    if (FReach->NotAnswering(why) && !FStuckTold.exchange(true))
      LogErr(Format("dbapi_pool: slot %d probe unanswered -- %s", AIndex, why));
    return true;
  } catch (...) {
    return true;
  }
}

bool TDBAPool::NotAnsweringNow() const { return FReach->NotAnsweringNow() || CallsUnansweredNow(); }

bool TDBAPool::CallsUnansweredNow() const {
  std::string ignored;
  return FReach->AttemptStalledNow() || StuckProbe(ignored) >= 0;
}

std::vector<TDBADialectRef> TDBAPool::Dialects() const {
  std::vector<TDBADialectRef> out;
  TOVLockGuard g(FLock);
  for (const auto& s : FSlots)
    if (s.Dialect) out.push_back(s.Dialect);
  return out;
}

std::int32_t TDBAPool::StuckProbe(std::string& AReason) const {
  const auto now = std::chrono::steady_clock::now();
  for (std::int32_t i = 0; i < FSize; ++i) {
    const std::int64_t ticks = FProbes[static_cast<std::size_t>(i)].Since;
    if (ticks == 0) continue;
    const auto waited = now - std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(ticks));
    if (waited < FTimings.ProbeStuck) continue;
    AReason = NoAnswerFor(waited);
    return i;
  }
  return -1;
}

std::string TDBAPool::DownReason() const {
  std::string down = FReach->Reason();
  if (!down.empty()) return down;
  TOVLockGuard g(FLock);
  if (StuckProbe(down) >= 0) return down;
  for (const auto& reason : FDown)
    if (!reason.empty()) return reason;
  return {};
}

void TDBAPool::ValidateSlot(std::int32_t AIndex) { CheckSlot(AIndex); }

TDBAPool::SlotCheck TDBAPool::CheckSlot(std::int32_t AIndex) {
  if (AIndex < 0 || AIndex >= FSize) return SlotCheck::Fine;
  auto& s = FSlots[static_cast<std::size_t>(AIndex)];
  bool dead = !s.Conn || !s.Conn->Connected();
  if (!dead) {
    const auto began = std::chrono::steady_clock::now();
    SetProbing(AIndex, true);
    if (s.Trans && (s.Trans->Active() || s.Conn->InTransaction())) {
      try {
        s.Trans->Rollback();
      } catch (...) {
        dead = true;
      }
    }
    if (!dead) {
      try {
        dead = !s.Conn->Ping();
      } catch (...) {
        dead = true;
      }
    }
    ProbeEnded(AIndex, began, !dead);
  }
  if (!dead) return SlotCheck::Fine;

  const std::uint64_t outages = FReach->Outages();  // before the attempt, which may raise it
  TDBAReachability::Attempt attempt = FReach->Begin();
  if (!attempt) {
    // The server is down and another attempt runs or is not due: none of this borrower's own.
    DropSlot(s);
    SetSlotDown(AIndex, FReach->Reason());
    return SlotCheck::Refused;
  }
  // News is a connection found lost while the server answers.  The one attempt at a time on a
  // down server is told by the record's lines, and a slot that an outage left without its
  // connection opens it again quietly once the server is back, also one nobody borrowed during
  // the outage (its connection was last seen working before it).
  bool news = attempt.WhileUp();
  {
    TOVLockGuard g(FLock);
    const auto i = static_cast<std::size_t>(AIndex);
    news = news && FDown[i].empty() && FProbes[i].GoodAt == outages;
  }
  if (news) LogWarn(Format("dbapi_pool: slot %d dead connection -- reconnecting", AIndex));
  DropSlot(s);
  std::string failure;
  try {
    TDBADialectRef d = FFactory();
    if (!d) throw EDBAPoolDead("factory returned nil on reconnect");
    {
      // In the slot while it connects (without its connection yet): Dialects() lists it, so
      // that a stop can cut the attempt.
      TOVLockGuard g(FLock);
      s.Dialect = d;
    }
    d->Connect();
    {
      TOVLockGuard g(FLock);
      s.Conn = d->Connection();
      s.Trans = d->Transaction();
      FProbes[static_cast<std::size_t>(AIndex)].GoodAt = FReach->Outages();
    }
    SetSlotDown(AIndex, {});
    if (attempt.Succeeded() || news) LogInfo(Format("dbapi_pool: slot %d reconnected", AIndex));
    return SlotCheck::Fine;
  } catch (const std::exception& e) {
    failure = e.what();
  } catch (...) {
    failure = "unknown error";
  }
  DropSlot(s);
  SetSlotDown(AIndex, failure);
  if (!attempt.Failed(failure)) return SlotCheck::Failed;
  LogErr(Format("dbapi_pool: slot %d reconnect failed: %s", AIndex, failure));
  return SlotCheck::WentDown;
}

void TDBAPool::Release(std::int32_t AIndex) {
  if (AIndex < 0 || AIndex >= FSize) return;
  auto& s = FSlots[static_cast<std::size_t>(AIndex)];
  if (s.Trans && s.Conn && !s.Conn->Connected()) {
    // Lost under its borrower (who has heard why): the server has rolled back whatever it had
    // open, and the next borrower opens the connection again.
    s.Trans->Reset();
  } else if (s.Trans && s.Conn && (s.Trans->Active() || s.Conn->InTransaction())) {
    // A rollback is answered at once by a server that works: one that hangs counts as a probe.
    const auto began = std::chrono::steady_clock::now();
    SetProbing(AIndex, true);
    std::string failure;
    try {
      s.Trans->Rollback();
    } catch (const std::exception& e) {
      failure = e.what();
    } catch (...) {
      failure = "unknown error";
    }
    // An outage is told by its own lines; a failure for it is no news of this slot.
    if (!ProbeEnded(AIndex, began, failure.empty()) && !FReach->NotAnsweringNow() && !FReach->Stopping())
      LogWarn(Format("dbapi_pool: slot %d rollback failed (%s) -- marking dead", AIndex, failure));
    if (!failure.empty()) DropSlot(s);
  }
  std::shared_ptr<Waiter> next;
  {
    TOVLockGuard g(FLock);
    const auto i = static_cast<std::size_t>(AIndex);
    if (FLentLong[i]) {
      FLentLong[i] = false;
      --FLongLent;
    }
    // A waiting short read first; a long one only while the long reads hold less than their
    // share.  Handed over as it is, still marked lent: that waiter alone is woken, and nobody
    // arriving meanwhile can take the slot from it.
    TDBAReadKind kind = TDBAReadKind::Short;
    if (FShortWaiters.empty() && !FLongWaiters.empty() && FLongLent < FLongShare) kind = TDBAReadKind::Long;
    auto& queue = Waiters(kind);
    if (!queue.empty()) {
      next = std::move(queue.front());
      queue.pop_front();
      next->Slot = AIndex;
      MarkLent(AIndex, kind);
    } else {
      FLent[i] = false;
      // Notified under the lock: the destructor cannot run on and free the pool first.
      if (FDestroying) FFreed.notify_all();
    }
  }
  // The waiter checks Slot under the lock before it waits, so this wake-up cannot be lost; its
  // record lives on through next.
  if (next) next->Woken.notify_one();
}

TDBADialectRef TDBAPool::SlotDialect(std::int32_t AIndex) const {
  if (AIndex < 0 || AIndex >= FSize) return nullptr;
  return FSlots[static_cast<std::size_t>(AIndex)].Dialect;
}

void TDBAPool::InterruptAll() noexcept {
  std::vector<TDBADialectRef> lent;  // kept alive while interrupted, whatever the borrower does
  try {
    {
      TOVLockGuard g(FLock);
      for (std::size_t i = 0; i < FSlots.size(); ++i)
        if (FLent[i] && FSlots[i].Dialect) lent.push_back(FSlots[i].Dialect);
    }
    for (const auto& d : lent)
      if (sql::Connection* c = d->Connection()) c->Interrupt();
  } catch (...) {
  }
}

std::int32_t TDBAPool::WaitingCount() const {
  TOVLockGuard g(FLock);
  return static_cast<std::int32_t>(FShortWaiters.size() + FLongWaiters.size());
}

std::int32_t TDBAPool::WaitingCount(TDBAReadKind AKind) const {
  TOVLockGuard g(FLock);
  return static_cast<std::int32_t>(AKind == TDBAReadKind::Long ? FLongWaiters.size() : FShortWaiters.size());
}

std::uint64_t TDBAPool::LendCount() const {
  TOVLockGuard g(FLock);
  return FLends;
}

std::int32_t TDBAPool::LongInUseCount() const {
  TOVLockGuard g(FLock);
  return FLongLent;
}

std::int32_t TDBAPool::InUseCount() const {
  TOVLockGuard g(FLock);
  std::int32_t n = 0;
  for (bool lent : FLent)
    if (lent) ++n;
  return n;
}

}  // namespace ov
