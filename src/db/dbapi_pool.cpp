// Read connection pool of the portable SQL library.
#include "dbapi_pool.h"

#include <algorithm>

#include "ov_format.h"

namespace ov {

TDBAPool::TDBAPool(std::int32_t ASize, TDBAConnectionFactory AFactory, TDBAPoolTimings ATimings)
    : FTimings(ATimings) {
  if (ASize <= 0) throw std::invalid_argument("TDBAPool: size must be > 0");
  if (!AFactory) throw std::invalid_argument("TDBAPool: factory required");
  FSize = ASize;
  FFactory = std::move(AFactory);
  FSlots.resize(static_cast<std::size_t>(ASize));
  FLent.assign(static_cast<std::size_t>(ASize), false);
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

std::int32_t TDBAPool::TakeFreeSlot() {
  for (std::int32_t i = 0; i < FSize; ++i) {
    if (!FLent[static_cast<std::size_t>(i)]) {
      FLent[static_cast<std::size_t>(i)] = true;
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

std::int32_t TDBAPool::Acquire(sql::Connection*& AConn, sql::Transaction*& ATrans) {
  AConn = nullptr;
  ATrans = nullptr;
  std::int32_t index = -1;
  {
    TOVUniqueLock g(FLock);
    // A free slot goes to a newcomer only when nobody waits: a slot given back while borrowers
    // wait has already gone to the first of them.
    if (FWaiters.empty()) index = TakeFreeSlot();
    if (index < 0) {
      auto me = std::make_shared<Waiter>();
      FWaiters.push_back(me);
      const auto until = std::chrono::steady_clock::now() + FTimings.AcquireWait;
      while (me->Slot < 0 && me->Woken.wait_until(g, until) != std::cv_status::timeout) {
      }
      // A slot handed over just as the wait ran out is still taken.
      if (me->Slot < 0) FWaiters.erase(std::find(FWaiters.begin(), FWaiters.end(), me));
      index = me->Slot;
    }
  }
  if (index < 0) {
    LogErr("dbapi_pool: exhausted -- all slots busy for 5s");
    throw EDBAPoolExhausted("dbapi_pool: all slots busy for 5s, bailing out");
  }

  auto& s = FSlots[static_cast<std::size_t>(index)];
  try {
    ValidateSlot(index);
  } catch (...) {
    Release(index);
    throw;
  }
  AConn = s.Conn;
  ATrans = s.Trans;
  if (!AConn) {
    const std::string reason = s.DownReason.empty() ? "no connection" : s.DownReason;
    Release(index);
    LogErr(Format("dbapi_pool: slot %d dead after validation", index));
    throw EDBAPoolDead(sql::UnavailableError(reason).what());
  }
  return index;
}

void TDBAPool::ValidateSlot(std::int32_t AIndex) {
  if (AIndex < 0 || AIndex >= FSize) return;
  auto& s = FSlots[static_cast<std::size_t>(AIndex)];
  bool dead = !s.Conn || !s.Conn->Connected();
  if (!dead && s.Trans && (s.Trans->Active() || s.Conn->InTransaction())) {
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
  if (!dead) return;

  LogWarn(Format("dbapi_pool: slot %d dead connection -- reconnecting", AIndex));
  DropSlot(s);
  try {
    TDBADialectRef d = FFactory();
    if (!d) throw EDBAPoolDead("factory returned nil on reconnect");
    d->Connect();
    {
      TOVLockGuard g(FLock);
      s.Dialect = d;
      s.Conn = d->Connection();
      s.Trans = d->Transaction();
    }
    s.DownReason.clear();
    LogInfo(Format("dbapi_pool: slot %d reconnected", AIndex));
  } catch (const std::exception& e) {
    DropSlot(s);
    s.DownReason = e.what();
    LogErr(Format("dbapi_pool: slot %d reconnect failed: %s", AIndex, e.what()));
  } catch (...) {
    DropSlot(s);
    s.DownReason = "unknown error";
    LogErr(Format("dbapi_pool: slot %d reconnect failed: %s", AIndex, "unknown error"));
  }
}

void TDBAPool::Release(std::int32_t AIndex) {
  if (AIndex < 0 || AIndex >= FSize) return;
  auto& s = FSlots[static_cast<std::size_t>(AIndex)];
  if (s.Trans && s.Conn && (s.Trans->Active() || s.Conn->InTransaction())) {
    try {
      s.Trans->Rollback();
    } catch (const std::exception& e) {
      LogWarn(Format("dbapi_pool: slot %d rollback failed (%s) -- marking dead", AIndex, e.what()));
      DropSlot(s);
    } catch (...) {
      LogWarn(Format("dbapi_pool: slot %d rollback failed (%s) -- marking dead", AIndex, "unknown error"));
      DropSlot(s);
    }
  }
  std::shared_ptr<Waiter> next;
  {
    TOVLockGuard g(FLock);
    if (!FWaiters.empty()) {
      // Handed over as it is, still marked lent: the first waiter alone is woken, and nobody
      // arriving meanwhile can take the slot from it.
      next = std::move(FWaiters.front());
      FWaiters.pop_front();
      next->Slot = AIndex;
    } else {
      FLent[static_cast<std::size_t>(AIndex)] = false;
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
  return static_cast<std::int32_t>(FWaiters.size());
}

std::int32_t TDBAPool::InUseCount() const {
  TOVLockGuard g(FLock);
  std::int32_t n = 0;
  for (bool lent : FLent)
    if (lent) ++n;
  return n;
}

}  // namespace ov
