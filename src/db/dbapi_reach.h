// Whether a database server can be reached: one record per database, shared by every connection
// to it (the read pool's slots and the write connection), so that an outage costs what it must
// and no more.
//
// While the server is thought up, a connection that finds itself lost opens again at once, as
// many at a time as find themselves lost (a restart of the server costs nothing).  The first
// attempt to open a connection that fails marks the server down.  From then on one attempt at a
// time tries again, no sooner than RetryEvery after the last one ended, so attempts follow the
// clock and not the request rate.  A caller makes the attempt when it is due and none runs, and
// is refused at once otherwise ("Database unavailable: <reason>"): a request never waits for
// a server that is down, and the first one after the server's return that finds the attempt
// due brings the board back (within RetryEvery of the return while requests come).  The first
// attempt that opens a connection marks the server up again.  Refusals are counted.
//
// A server that does not answer at all (a network partition, a host gone) leaves attempts and
// probes waiting instead of failing them.  An attempt still unanswered after StallAfter counts
// as news that the server does not answer (Reason says so) before it fails; a probe of a
// connection that went unanswered until the connection ended marks the server down as a
// failed attempt does (NotAnswering), and a probe that is answered ends an outage as a
// successful attempt does (Answered).
//
// At a stop (Stop) no attempt is granted any more: whoever needs a new connection fails at once
// ("the server is stopping"), and failures are no news.
//
// The log: the connection whose attempt marked the server down logs its own line with the
// reason, once per outage (Attempt::Failed tells it so); repeats are counted, and this record
// logs a reminder at most once per RemindEvery while they go on (how many requests were
// refused and attempts failed since the last line), and one line when the server is back (how
// long it was away).  Lines are written after the record's lock is left.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <limits>
#include <set>
#include <string>

#include "ov_clock.h"
#include "ov_locks.h"

namespace ov {

using TDBAReachLogProc = std::function<void(const std::string& AMsg)>;

// Why a call counts as unanswered: "no answer from the database for N s".
std::string NoAnswerFor(std::chrono::steady_clock::duration AWaited);

struct TDBAReachTimings {
  // After a failed attempt, the next one no sooner than this: a few a second.
  std::chrono::milliseconds RetryEvery{250};
  // While the server stays down, a reminder at most this often.
  std::chrono::milliseconds RemindEvery{60000};
  // An attempt to open a connection still unanswered after this long: the server does not
  // answer (an empty statement on a working server takes a millisecond, a connect a few).
  std::chrono::milliseconds StallAfter{2000};
};

class TDBAReachability {
 public:
  explicit TDBAReachability(TDBAReachTimings ATimings = {}, const TOVClock& AClock = SystemClock());
  TDBAReachability(const TDBAReachability&) = delete;
  TDBAReachability& operator=(const TDBAReachability&) = delete;

  // Where the reminder (warning) and the line about the server's return (info) go; set before
  // the record is shared.
  void SetLoggers(TDBAReachLogProc AInfo, TDBAReachLogProc AWarn);

  // One attempt to open a connection, granted or refused (false).  A granted attempt reports
  // how it ended, once: Failed or Succeeded; one left without a report was not needed after
  // all (the connection turned out fine) and changes nothing.
  class Attempt {
   public:
    Attempt(Attempt&& o) noexcept;
    Attempt& operator=(Attempt&&) = delete;
    ~Attempt();
    explicit operator bool() const noexcept { return owner_ != nullptr; }
    // Begun while the server was thought up (a lost connection's own reconnect).
    bool WhileUp() const noexcept { return while_up_; }
    // True when this failure marked the server down: the caller logs its line with the reason.
    bool Failed(const std::string& AReason) noexcept;
    // True when this success ended an outage (the return is logged here).
    bool Succeeded() noexcept;

   private:
    friend class TDBAReachability;
    Attempt(TDBAReachability* AOwner, bool AHeld, bool AWhileUp, TOVMonoTime AStarted) noexcept
        : owner_(AOwner), held_(AHeld), while_up_(AWhileUp), started_(AStarted) {}
    TDBAReachability* owner_;  // null: refused, or reported
    bool held_;                // holds the one turn of a down server
    bool while_up_;
    TOVMonoTime started_;
  };

  // Asks to open a connection.  While the server is down: granted when the next attempt is due
  // and none runs, refused (counted) otherwise.  Never waits.
  Attempt Begin() EXCLUDES(FLock);
  // A request that needs the server is refused without asking for an attempt (none could be
  // made for it): counted as Begin counts its refusals, while the server is down.
  void Refused() EXCLUDES(FLock);
  // The server is thought down.
  bool Down() const EXCLUDES(FLock);
  // Why the last attempt failed, while the server is down; "no answer from the database for N
  // s" while an attempt waits longer than StallAfter; "the server is stopping" after Stop; ""
  // otherwise.
  std::string Reason() const EXCLUDES(FLock);
  // The server is down, or an attempt waits on it longer than StallAfter: it does not answer
  // now.  Without the lock (every borrower of a connection may ask).
  bool NotAnsweringNow() const EXCLUDES(FLock);
  // An attempt waits on the server longer than StallAfter.  Without the lock.
  bool AttemptStalledNow() const EXCLUDES(FLock);
  // A connection's probe (an empty statement, a rollback) went unanswered for AWaited until the
  // connection ended: the server does not answer, as if an attempt had failed with AReason.
  // True when this marked the server down (the caller logs its line).
  bool NotAnswering(const std::string& AReason) EXCLUDES(FLock);
  // A connection's probe was answered: an outage ends here as with a successful attempt (the
  // return is logged).  Without the lock while the server is up.
  void Answered() EXCLUDES(FLock);
  // The server process stops: no attempt from now on.
  void Stop() EXCLUDES(FLock);
  bool Stopping() const noexcept { return FStopping.load(std::memory_order_acquire); }
  // How many times the server has been found down: a connection last seen working at an
  // earlier count may have been lost to an outage since, which is no news of its own.
  std::uint64_t Outages() const noexcept { return FOutages.load(std::memory_order_acquire); }

 private:
  // Ends an attempt; returns whether it changed the state (and logs what it has to).
  bool Report(const Attempt& AAttempt, bool AOk, const std::string& AReason) noexcept EXCLUDES(FLock);
  // An attempt that ends without a report.
  void Abandon(const Attempt& AAttempt) noexcept EXCLUDES(FLock);
  // The attempt no longer waits: off the list, its turn given back.
  void Ended(const Attempt& AAttempt) REQUIRES(FLock);
  // Counts a refused request; the reminder due now, or "".
  std::string CountRefusal(TOVMonoTime ANow) REQUIRES(FLock);
  // The reminder due now (counts taken), or "".
  std::string TakeReminder(TOVMonoTime ANow) REQUIRES(FLock);
  // Marks the server down (a first failure); the caller logs.
  void MarkDown(TOVMonoTime ANow, const std::string& AReason) REQUIRES(FLock);
  // Marks the server up again; the line to log.
  std::string MarkUp(TOVMonoTime ANow) REQUIRES(FLock);
  // The oldest attempt waiting, when it waits longer than StallAfter: for how long; else zero.
  TOVMonoTime::duration StalledFor(TOVMonoTime ANow) const REQUIRES(FLock);

  // ---- Constant after construction (the loggers: set before the record is shared) ----
  const TDBAReachTimings FTimings;
  const TOVClock& FClock;
  TDBAReachLogProc FLogInfo, FLogWarn;

  // ---- Guarded by FLock (a leaf: nothing is called under it) ----
  mutable TOVLock FLock{LockLevel::Leaf};
  bool FDown GUARDED_BY(FLock) = false;
  bool FTurnTaken GUARDED_BY(FLock) = false;  // an attempt on a down server runs
  std::string FReason GUARDED_BY(FLock);
  TOVMonoTime FDownSince GUARDED_BY(FLock){};
  TOVMonoTime FNextDue GUARDED_BY(FLock){};
  TOVMonoTime FLastReport GUARDED_BY(FLock){};  // the outage's first line or last reminder
  std::uint64_t FRefused GUARDED_BY(FLock) = 0;       // since the last report
  std::uint64_t FFailed GUARDED_BY(FLock) = 0;        // since the last report
  std::uint64_t FRefusedInAll GUARDED_BY(FLock) = 0;  // in this outage
  std::multiset<TOVMonoTime> FWaiting GUARDED_BY(FLock);  // when each attempt under way began
  std::atomic<std::uint64_t> FOutages{0};  // changed under FLock
  // Changed under FLock, read without it: FDown, and the start of the oldest attempt under way
  // (ticks of the clock, kNoneWaiting: none).
  static constexpr TOVMonoTime::rep kNoneWaiting = std::numeric_limits<TOVMonoTime::rep>::min();
  std::atomic<bool> FDownNow{false};
  std::atomic<TOVMonoTime::rep> FOldestWaiting{kNoneWaiting};
  std::atomic<bool> FStopping{false};
};

}  // namespace ov
