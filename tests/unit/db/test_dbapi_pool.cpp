// Read connection pool over SQLite dialects on a real file.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "clock_test_util.h"
#include "dbapi_pool.h"
#include "dbapi_sqlite.h"
#include "test_util.h"

using namespace ov;
using namespace std::chrono_literals;

namespace {

class Pool : public ::testing::Test {
 protected:
  void SetUp() override {
    file_ = dir_ / "pool.db";
    writer_ = TDBASQLiteDialect::CreateOwned(file_);
    writer_->Connect();
    writer_->ExecSQL("CREATE TABLE t (a INTEGER)", {});
    writer_->ExecSQL("INSERT INTO t VALUES (1)", {});
  }
  TDBAConnectionFactory Factory() {
    return [this]() -> TDBADialectRef {
      ++made_;
      return TDBASQLiteDialect::CreateOwned(file_);
    };
  }
  std::unique_ptr<TDBAPool> Make(int size, TDBAPoolTimings t = {200ms, 2000ms}) {
    auto p = std::make_unique<TDBAPool>(size, Factory(), t);
    p->SetLoggers([this](const std::string& m) { Log("I " + m); }, [this](const std::string& m) { Log("W " + m); },
                  [this](const std::string& m) { Log("E " + m); });
    return p;
  }
  void Log(const std::string& m) {
    std::lock_guard<std::mutex> g(log_lock_);
    log_.push_back(m);
  }
  std::vector<std::string> TakeLog() {
    std::lock_guard<std::mutex> g(log_lock_);
    return std::exchange(log_, {});
  }

  ovtest::TempDir dir_;
  std::string file_;
  TDBADialectRef writer_;
  std::atomic<int> made_{0};
  std::mutex log_lock_;
  std::vector<std::string> log_;
};

TEST_F(Pool, CreationChecksItsArguments) {
  try {
    TDBAPool p(0, Factory());
    FAIL();
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "TDBAPool: size must be > 0");
  }
  try {
    TDBAPool p(2, TDBAConnectionFactory());
    FAIL();
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "TDBAPool: factory required");
  }
  int calls = 0;
  try {
    TDBAPool p(3, [&]() -> TDBADialectRef {
      return ++calls == 2 ? nullptr : TDBASQLiteDialect::CreateOwned(file_);
    });
    FAIL();
  } catch (const EDBAPoolDead& e) {
    EXPECT_STREQ(e.what(), "TDBAPool: factory returned nil for slot 1");
  }
  try {
    TDBAPool p(1, [&]() -> TDBADialectRef { return TDBASQLiteDialect::CreateOwned(dir_ / "no/such/dir.db"); });
    FAIL();
  } catch (const sql::SqlError&) {
  }
}

TEST_F(Pool, LendsTheLowestFreeSlotAndConnectsEverySlot) {
  auto p = Make(3);
  EXPECT_EQ(p->Size(), 3);
  EXPECT_EQ(made_, 3);
  sql::Connection* c[3];
  sql::Transaction* t[3];
  EXPECT_EQ(p->Acquire(c[0], t[0]), 0);
  EXPECT_EQ(p->Acquire(c[1], t[1]), 1);
  EXPECT_EQ(p->Acquire(c[2], t[2]), 2);
  EXPECT_NE(c[0], c[1]);
  EXPECT_EQ(p->InUseCount(), 3);
  p->Release(1);
  sql::Connection* again = nullptr;
  sql::Transaction* again_tx = nullptr;
  EXPECT_EQ(p->Acquire(again, again_tx), 1);
  EXPECT_EQ(again, c[1]);
  p->Release(-1);  // ignored
  p->Release(3);   // ignored
  EXPECT_EQ(p->InUseCount(), 3);
  for (int i = 0; i < 3; ++i) p->Release(i);
  EXPECT_EQ(p->InUseCount(), 0);
  EXPECT_TRUE(TakeLog().empty());
}

TEST_F(Pool, ExhaustionAfterTheBound) {
  auto p = Make(2, {150ms, 2000ms});
  sql::Connection* c;
  sql::Transaction* t;
  p->Acquire(c, t);
  p->Acquire(c, t);
  const auto t0 = std::chrono::steady_clock::now();
  try {
    p->Acquire(c, t);
    FAIL();
  } catch (const EDBAPoolExhausted& e) {
    EXPECT_STREQ(e.what(), "dbapi_pool: all slots busy for 5s, bailing out");
  }
  const auto waited = std::chrono::steady_clock::now() - t0;
  EXPECT_GE(waited, 140ms);
  EXPECT_LT(waited, 1500ms);
  EXPECT_EQ(TakeLog(), (std::vector<std::string>{"E dbapi_pool: exhausted -- all slots busy for 5s"}));
  EXPECT_EQ(c, nullptr);
  EXPECT_EQ(t, nullptr);
}

TEST_F(Pool, DefaultBoundIsAboutFiveSeconds) {
  TDBAPoolTimings t;
  EXPECT_EQ(t.AcquireWait, 5000ms);
  EXPECT_EQ(t.DestroyWait, 5000ms);
}

TEST_F(Pool, ReleaseDuringTheWaitLetsTheWaiterIn) {
  auto p = Make(1, {3000ms, 2000ms});
  sql::Connection* c;
  sql::Transaction* t;
  p->Acquire(c, t);
  std::thread releaser([&] {
    std::this_thread::sleep_for(100ms);
    p->Release(0);
  });
  const auto t0 = std::chrono::steady_clock::now();
  sql::Connection* c2 = nullptr;
  sql::Transaction* t2 = nullptr;
  EXPECT_EQ(p->Acquire(c2, t2), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 2000ms);
  EXPECT_EQ(c2, c);
  releaser.join();
  p->Release(0);
}

TEST_F(Pool, WaitersAreServedInArrivalOrderOneAtATime) {
  auto p = Make(1, {5000ms, 2000ms});
  sql::Connection* c;
  sql::Transaction* t;
  p->Acquire(c, t);
  // Four borrowers queue one after another; each gives its slot back as soon as it has it.
  std::mutex order_lock;
  std::vector<int> order;
  std::vector<std::thread> waiters;
  for (int i = 0; i < 4; ++i) {
    waiters.emplace_back([&, i] {
      sql::Connection* wc;
      sql::Transaction* wt;
      const std::int32_t slot = p->Acquire(wc, wt);
      {
        std::lock_guard<std::mutex> g(order_lock);
        order.push_back(i);
      }
      p->Release(slot);
    });
    for (int k = 0; k < 500 && p->WaitingCount() < i + 1; ++k) std::this_thread::sleep_for(2ms);
    ASSERT_EQ(p->WaitingCount(), i + 1);
  }
  // The holder gives its slot back and asks again at once: it queues behind the four instead
  // of taking the slot before the first of them is awake.
  p->Release(0);
  p->Acquire(c, t);
  {
    std::lock_guard<std::mutex> g(order_lock);
    order.push_back(99);
  }
  p->Release(0);
  for (auto& w : waiters) w.join();
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 99}));
  EXPECT_EQ(p->WaitingCount(), 0);
  EXPECT_EQ(p->InUseCount(), 0);
}

// Long reads hold at most their share; the other slots stay for short reads, a waiting short
// read is served before a waiting long one, a long one waits only while the share is full, and
// one that waits past its own bound is refused (logged once per interval, with a count).
TEST_F(Pool, LongReadsHoldTheirShareAndShortReadsComeFirst) {
  TDBAPool p(4, Factory(), {.AcquireWait = 5000ms, .DestroyWait = 2000ms, .LongWait = 5000ms, .BusyLogEvery = 60s}, 2);
  p.SetLoggers(nullptr, [this](const std::string& m) { Log("W " + m); }, [this](const std::string& m) { Log("E " + m); });
  EXPECT_EQ(p.LongShare(), 2);
  sql::Connection* c;
  sql::Transaction* t;
  const std::int32_t long0 = p.Acquire(TDBAReadKind::Long, c, t);
  const std::int32_t long1 = p.Acquire(TDBAReadKind::Long, c, t);
  EXPECT_EQ(p.LongInUseCount(), 2);

  // A borrower of the kind on a thread of its own, once it waits; its slot comes through the
  // future.
  auto queue = [&p](TDBAReadKind kind, std::thread& thread) {
    auto got = std::make_shared<std::promise<std::int32_t>>();
    thread = std::thread([&p, kind, got] {
      sql::Connection* wc;
      sql::Transaction* wt;
      got->set_value(p.Acquire(kind, wc, wt));
    });
    for (int k = 0; k < 1000 && p.WaitingCount(kind) < 1; ++k) std::this_thread::sleep_for(2ms);
    return got->get_future();
  };

  // The share is full: a third long read waits although two slots are free, and short reads
  // take those two at once.
  std::thread long_waiter;
  auto long_future = queue(TDBAReadKind::Long, long_waiter);
  ASSERT_EQ(p.WaitingCount(TDBAReadKind::Long), 1);
  const std::int32_t short0 = p.Acquire(TDBAReadKind::Short, c, t);
  const std::int32_t short1 = p.Acquire(TDBAReadKind::Short, c, t);
  EXPECT_EQ(p.InUseCount(), 4);

  // Every slot lent: a short read queues too, and the next slot given back goes to it, even a
  // long read's slot, although the long read waited first.
  std::thread short_waiter;
  auto short_future = queue(TDBAReadKind::Short, short_waiter);
  ASSERT_EQ(p.WaitingCount(TDBAReadKind::Short), 1);
  p.Release(long0);
  EXPECT_EQ(short_future.get(), long0);
  short_waiter.join();
  EXPECT_EQ(p.LongInUseCount(), 1);
  EXPECT_EQ(p.WaitingCount(TDBAReadKind::Long), 1);

  // With no short read waiting, a short read's slot goes to the long read (the share has room).
  p.Release(short0);
  EXPECT_EQ(long_future.get(), short0);
  long_waiter.join();
  EXPECT_EQ(p.LongInUseCount(), 2);

  // A long read past its bound is refused with its own text, logged once; a second only counts.
  for (int i = 0; i < 2; ++i) {
    try {
      p.Acquire(TDBAReadKind::Long, c, t, 50ms);
      FAIL();
    } catch (const EDBAPoolExhausted& e) {
      EXPECT_STREQ(e.what(), "dbapi_pool: long reads busy for 1s, bailing out");
    }
  }
  EXPECT_EQ(TakeLog(),
            (std::vector<std::string>{"W dbapi_pool: long reads busy -- one waited 1s for its turn and was refused"}));
  EXPECT_EQ(p.WaitingCount(), 0);
  for (std::int32_t slot : {long0, long1, short0, short1}) p.Release(slot);
  EXPECT_EQ(p.InUseCount(), 0);
  EXPECT_EQ(p.LongInUseCount(), 0);
  EXPECT_EQ(p.LendCount(), 6u);
}

TEST_F(Pool, DeadSlotIsReconnected) {
  auto p = Make(2);
  sql::Connection* c;
  sql::Transaction* t;
  ASSERT_EQ(p->Acquire(c, t), 0);
  c->Close();  // behind the pool's back
  p->Release(0);
  sql::Connection* c2 = nullptr;
  sql::Transaction* t2 = nullptr;
  ASSERT_EQ(p->Acquire(c2, t2), 0);
  ASSERT_NE(c2, nullptr);
  EXPECT_TRUE(c2->Connected());
  EXPECT_EQ(c2, p->SlotDialect(0)->Connection());
  EXPECT_EQ(t2, p->SlotDialect(0)->Transaction());
  EXPECT_EQ(made_, 3);
  EXPECT_EQ(TakeLog(), (std::vector<std::string>{"W dbapi_pool: slot 0 dead connection -- reconnecting",
                                                 "I dbapi_pool: slot 0 reconnected"}));
  sql::Query q(*c2, t2);
  q.SetSQL("SELECT COUNT(*) FROM t");
  q.Open();
  EXPECT_EQ(q.Field(0).AsInt64(), 1);
  q.Close();
  p->Release(0);
}

TEST_F(Pool, FailedReconnectFreesTheSlot) {
  std::atomic<bool> fail{false};
  // Another attempt is due at once after a failed one.
  TDBAPool p(1, [&]() -> TDBADialectRef { return fail ? nullptr : TDBASQLiteDialect::CreateOwned(file_); },
             {200ms, 1000ms}, 0, std::make_shared<TDBAReachability>(TDBAReachTimings{0ms, 60s}));
  p.SetLoggers(nullptr, [this](const std::string& m) { Log("W " + m); }, [this](const std::string& m) { Log("E " + m); });
  sql::Connection* c;
  sql::Transaction* t;
  p.Acquire(c, t);
  c->Close();
  p.Release(0);
  fail = true;
  try {
    p.Acquire(c, t);
    FAIL();
  } catch (const EDBAPoolDead& e) {
    EXPECT_STREQ(e.what(), "Database unavailable: factory returned nil on reconnect");
  }
  EXPECT_EQ(TakeLog(), (std::vector<std::string>{"W dbapi_pool: slot 0 dead connection -- reconnecting",
                                                 "E dbapi_pool: slot 0 reconnect failed: factory returned nil on reconnect",
                                                 "E dbapi_pool: slot 0 dead after validation"}));
  EXPECT_EQ(p.InUseCount(), 0);  // free again
  EXPECT_EQ(p.DownReason(), "factory returned nil on reconnect");
  fail = false;
  EXPECT_EQ(p.Acquire(c, t), 0);  // and it comes back once the factory works
  EXPECT_TRUE(c->Connected());
  EXPECT_EQ(p.DownReason(), "");
  p.Release(0);
}

// A database that cannot be reached, under borrowers that keep coming: attempts to open a
// connection follow the clock, not the borrowers (this one moves only when the test says);
// everybody else fails at once; the log has one account of the outage's start, a reminder
// that counts what it left out, and one line when the server is back.
TEST_F(Pool, AnOutageCostsOneAttemptPerIntervalAndOneLinePerChange) {
  constexpr auto kRetry = 10ms;
  ovtest::FakeClock clock(0);
  auto reach = std::make_shared<TDBAReachability>(TDBAReachTimings{kRetry, 60s}, clock);
  reach->SetLoggers([this](const std::string& m) { Log("I " + m); }, [this](const std::string& m) { Log("W " + m); });
  std::atomic<bool> down{false};
  std::atomic<int> attempts{0};
  TDBAPool p(4, [&]() -> TDBADialectRef {
    if (!down) return TDBASQLiteDialect::CreateOwned(file_);
    ++attempts;
    return TDBASQLiteDialect::CreateOwned(dir_ / "no/such/dir.db");  // its Connect fails
  }, {2000ms, 2000ms}, 0, reach);
  p.SetLoggers([this](const std::string& m) { Log("I " + m); }, [this](const std::string& m) { Log("W " + m); },
               [this](const std::string& m) { Log("E " + m); });
  // The server goes away: every connection the pool holds is lost.
  for (int i = 0; i < 4; ++i) p.SlotDialect(i)->Connection()->Close();
  down = true;

  // Borrowers on 8 threads, 20 each, in rounds; between rounds the clock moves on by the
  // interval, and one attempt is due.
  std::atomic<int> refused{0}, served{0};
  const auto round = [&] {
    std::vector<std::thread> borrowers;
    for (int b = 0; b < 8; ++b)
      borrowers.emplace_back([&] {
        for (int i = 0; i < 20; ++i) {
          sql::Connection* c;
          sql::Transaction* t;
          try {
            p.Release(p.Acquire(c, t));
            ++served;
          } catch (const EDBAPoolDead& e) {
            if (std::string(e.what()).rfind("Database unavailable: ", 0) == 0) ++refused;
          }
        }
      });
    for (auto& t : borrowers) t.join();
  };
  round();
  // The first attempts: of the slots found lost while the server was thought up, at most one
  // each; the first failure marked the server down.
  const int first = attempts;
  EXPECT_GE(first, 1);
  EXPECT_LE(first, 4);
  EXPECT_TRUE(reach->Down());
  std::vector<std::string> log = TakeLog();
  const auto lines_with = [&](const char* text) {
    return std::count_if(log.begin(), log.end(), [&](const std::string& l) { return l.find(text) != std::string::npos; });
  };
  EXPECT_EQ(lines_with("reconnect failed: unable to open database file"), 1) << ::testing::PrintToString(log);
  EXPECT_EQ(lines_with("dead after validation"), 1);
  EXPECT_EQ(lines_with("dead connection -- reconnecting"), first);
  EXPECT_EQ(log.size(), 2u + first);
  for (int r = 0; r < 3; ++r) {
    clock.Advance(kRetry);
    round();
    EXPECT_EQ(attempts, first + r + 1);
  }
  EXPECT_EQ(served, 0);
  EXPECT_EQ(refused, 4 * 160);
  EXPECT_TRUE(TakeLog().empty());

  // A minute on, the next borrower makes the attempt then due, and its failure brings the
  // reminder with what was not logged: every borrower before it either was refused or failed
  // its attempt (the first failure was logged).
  clock.Advance(61s);
  sql::Connection* c;
  sql::Transaction* t;
  EXPECT_THROW(p.Acquire(c, t), EDBAPoolDead);
  const int refusals = 4 * 160 - (first + 3);
  EXPECT_EQ(TakeLog(), (std::vector<std::string>{
                           "W Database still unreachable after 1 min 1 s: " + std::to_string(refusals) +
                           " requests refused and " + std::to_string(first + 3) +
                           " connection attempts failed in the last 1 min 1 s (unable to open database file: " +
                           std::string(dir_ / "no/such/dir.db") + ")"}));

  // The server is back: the next borrower gets its connection once the attempt is due, and
  // that is logged once with how long the outage took; the other slots come back quietly.
  down = false;
  clock.Advance(2s);
  for (int i = 0; i < 4; ++i) {
    sql::Connection* conns[4];
    sql::Transaction* txs[4];
    for (int k = 0; k < 4; ++k) EXPECT_EQ(p.Acquire(conns[k], txs[k]), k);
    for (int k = 0; k < 4; ++k) p.Release(k);
  }
  EXPECT_FALSE(reach->Down());
  EXPECT_EQ(p.DownReason(), "");
  EXPECT_EQ(TakeLog(), (std::vector<std::string>{"I Database reachable again after 1 min 3 s (" +
                                                     std::to_string(refusals) + " requests refused meanwhile)",
                                                 "I dbapi_pool: slot 0 reconnected"}));
}

TEST_F(Pool, BorrowersChangesAreRolledBackAtRelease) {
  auto p = Make(1);
  sql::Connection* c;
  sql::Transaction* t;
  p->Acquire(c, t);
  {
    sql::Query q(*c, t);
    q.SetSQL("INSERT INTO t VALUES (2)");
    q.ExecSQL();
  }
  EXPECT_TRUE(t->Active());
  p->Release(0);
  EXPECT_FALSE(t->Active());
  EXPECT_EQ(writer_->QuerySQL("SELECT COUNT(*) AS n FROM t", {})[0]["n"], 1);
}

TEST_F(Pool, ReadersSeeCommittedWritesWhileTheWriterWrites) {
  auto p = Make(2);
  sql::Connection* c;
  sql::Transaction* t;
  const int slot = p->Acquire(c, t);
  writer_->SetExplicitBatch(true);
  writer_->ExecSQL("INSERT INTO t VALUES (2)", {});  // open write transaction
  auto count = [&] {
    sql::Query q(*c, t);
    q.SetSQL("SELECT COUNT(*) FROM t");
    q.Open();
    return q.Field(0).AsInt64();
  };
  EXPECT_EQ(count(), 1);  // WAL: the reader is not blocked and sees the committed state
  writer_->Transaction()->Commit();
  writer_->SetExplicitBatch(false);
  p->Release(slot);
  p->Acquire(c, t);
  EXPECT_EQ(count(), 2);
  p->Release(slot);
}

// A connection whose rollback fails once a transaction is open (as a lost server would).
class BrokenRollbackConnection : public sql::Connection {
 public:
  BrokenRollbackConnection() : Connection(sql::ConnectOptions{}) {}
  sql::Backend Kind() const noexcept override { return sql::Backend::SQLite; }
  void Open() override { open_ = true; }
  void Close() noexcept override { open_ = false; }
  bool Connected() const noexcept override { return open_; }
  bool Ping() noexcept override { return open_; }
  sql::ResultSet Run(std::string_view, const std::vector<sql::Value>&) override {
    sql::ResultSet rs;
    rs.has_rows = true;
    rs.names = {"v"};
    rs.rows = {{sql::Value::Text("fake")}};
    return rs;
  }
  std::string NativePlaceholder(int) const override { return "?"; }
  void Begin() override { in_tx_ = true; }
  void Commit() override { in_tx_ = false; }
  void Rollback() override { throw sql::SqlError("server has gone away"); }
  bool InTransaction() const noexcept override { return in_tx_; }

 protected:
  bool InterruptRunning() noexcept override { return true; }

 private:
  bool open_ = false;
  bool in_tx_ = false;
};

TEST_F(Pool, FailedRollbackAtReleaseMarksTheSlotDead) {
  std::atomic<int> broken_made{0};
  TDBAPool p(1, [&]() -> TDBADialectRef {
    auto d = std::make_shared<TDBASQLiteDialect>();
    d->AttachConnection(std::make_unique<BrokenRollbackConnection>());
    ++broken_made;
    return d;
  });
  p.SetLoggers([this](const std::string& m) { Log("I " + m); }, [this](const std::string& m) { Log("W " + m); },
               [this](const std::string& m) { Log("E " + m); });
  sql::Connection* c;
  sql::Transaction* t;
  p.Acquire(c, t);
  t->Start();
  p.Release(0);
  EXPECT_EQ(TakeLog(), (std::vector<std::string>{"W dbapi_pool: slot 0 rollback failed (server has gone away) -- marking dead"}));
  EXPECT_EQ(p.SlotDialect(0), nullptr);
  EXPECT_EQ(p.Acquire(c, t), 0);  // reconnected at the next use
  EXPECT_EQ(broken_made, 2);
  EXPECT_EQ(TakeLog(), (std::vector<std::string>{"W dbapi_pool: slot 0 dead connection -- reconnecting",
                                                 "I dbapi_pool: slot 0 reconnected"}));
  p.Release(0);
}

// A server that stops answering while its socket stays open (the kernel still acknowledges):
// the probe of the slot being lent hangs, and a borrower that finds no other slot free fails
// at once instead of waiting behind it; the health probe hears of it.  Once the server answers
// again, so does the pool.
TEST_F(Pool, ABorrowerNeverWaitsBehindAProbeTheServerLeavesUnanswered) {
  std::promise<void> answer;
  std::shared_future<void> answered = answer.get_future().share();
  struct SilentConnection : BrokenRollbackConnection {
    std::shared_future<void> answered;
    bool Ping() noexcept override {
      answered.wait();
      return Connected();
    }
  };
  TDBAPool p(1, [&]() -> TDBADialectRef {
    auto d = std::make_shared<TDBASQLiteDialect>();
    auto c = std::make_unique<SilentConnection>();
    c->answered = answered;
    d->AttachConnection(std::move(c));
    return d;
  }, {5000ms, 5000ms, 30000ms, 10000ms, 300ms});
  p.SetLoggers(nullptr, nullptr, [this](const std::string& m) { Log("E " + m); });
  struct Answers {  // also when an assertion below fails: the first borrower's thread ends
    std::promise<void>& answer;
    bool given = false;
    void Now() {
      if (!std::exchange(given, true)) answer.set_value();
    }
    ~Answers() { Now(); }
  } server{answer};
  auto first = std::async(std::launch::async, [&] {
    sql::Connection* c;
    sql::Transaction* t;
    p.Release(p.Acquire(c, t));
  });
  // A borrower already waiting when the probe is found unanswered stops waiting too.
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (p.InUseCount() == 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
  auto waiting = std::async(std::launch::async, [&]() -> std::string {
    sql::Connection* c;
    sql::Transaction* t;
    try {
      p.Release(p.Acquire(c, t));
    } catch (const std::exception& e) {
      return e.what();
    }
    return "(served)";
  });
  ASSERT_EQ(waiting.wait_for(4s), std::future_status::ready);  // far below the 5 s wait for a slot
  EXPECT_EQ(waiting.get().rfind("Database unavailable: no answer from the database for ", 0), 0u);
  while (p.DownReason().empty() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
  EXPECT_EQ(p.DownReason().rfind("no answer from the database for ", 0), 0u) << p.DownReason();
  for (int i = 0; i < 2; ++i) {
    sql::Connection* c;
    sql::Transaction* t;
    const auto started = std::chrono::steady_clock::now();
    try {
      p.Acquire(c, t);
      ADD_FAILURE() << "lent a slot whose probe hangs";
    } catch (const std::exception& e) {
      EXPECT_EQ(std::string(e.what()).rfind("Database unavailable: no answer from the database for ", 0), 0u) << e.what();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, 4s);  // far below the 5 s wait for a slot
  }
  const std::vector<std::string> log = TakeLog();  // said once
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].rfind("E dbapi_pool: slot 0 probe unanswered -- no answer from the database for ", 0), 0u) << log[0];
  server.Now();
  first.get();
  EXPECT_EQ(p.DownReason(), "");
  sql::Connection* c;
  sql::Transaction* t;
  EXPECT_EQ(p.Acquire(c, t), 0);
  p.Release(0);
}

TEST_F(Pool, DestructionWaitsForLentSlots) {
  TDBAPool* pool = Make(2, {200ms, 3000ms}).release();
  sql::Connection* c;
  sql::Transaction* t;
  pool->Acquire(c, t);
  std::atomic<bool> used_after{false};
  std::thread borrower([&] {
    std::this_thread::sleep_for(150ms);
    sql::Query q(*c, t);  // still open while the pool is being destroyed
    q.SetSQL("SELECT COUNT(*) FROM t");
    q.Open();
    used_after = q.Field(0).AsInt64() == 1;
    q.Close();
    pool->Release(0);
  });
  std::this_thread::sleep_for(20ms);
  const auto t0 = std::chrono::steady_clock::now();
  delete pool;  // waits for the borrower's Release
  EXPECT_GE(std::chrono::steady_clock::now() - t0, 100ms);
  borrower.join();
  EXPECT_TRUE(used_after);
  EXPECT_TRUE(TakeLog().empty());
}

TEST_F(Pool, DestructionGivesUpAfterItsBound) {
  auto p = std::make_unique<TDBAPool>(1, Factory(), TDBAPoolTimings{100ms, 100ms});
  p->SetLoggers(nullptr, nullptr, [this](const std::string& m) { Log("E " + m); });
  sql::Connection* c;
  sql::Transaction* t;
  p->Acquire(c, t);
  const auto t0 = std::chrono::steady_clock::now();
  p.reset();
  EXPECT_GE(std::chrono::steady_clock::now() - t0, 90ms);
  EXPECT_EQ(TakeLog(), (std::vector<std::string>{"E dbapi_pool: slot 0 still lent at shutdown -- left open"}));
  EXPECT_TRUE(c->Connected());  // never closed under its borrower
}

}  // namespace
