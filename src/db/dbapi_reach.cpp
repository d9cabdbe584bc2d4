// Whether a database server can be reached (see dbapi_reach.h).
#include "dbapi_reach.h"

#include <algorithm>
#include <utility>

#include "ov_format.h"

namespace ov {

namespace {

// A duration for a log line: "750 ms", "12.5 s", "3 min 20 s".
std::string Span(std::chrono::steady_clock::duration d) {
  using namespace std::chrono;
  const auto ms = duration_cast<milliseconds>(d).count();
  if (ms < 1000) return Format("%d ms", ms);
  if (ms < 60000) return Format("%.1f s", static_cast<double>(ms) / 1000.0);
  const auto s = ms / 1000;
  return Format("%d min %d s", s / 60, s % 60);
}

}  // namespace

std::string NoAnswerFor(std::chrono::steady_clock::duration AWaited) {
  return Format("no answer from the database for %d s",
                std::chrono::duration_cast<std::chrono::seconds>(AWaited).count());
}

TDBAReachability::TDBAReachability(TDBAReachTimings ATimings, const TOVClock& AClock)
    : FTimings(ATimings), FClock(AClock) {}

void TDBAReachability::SetLoggers(TDBAReachLogProc AInfo, TDBAReachLogProc AWarn) {
  FLogInfo = std::move(AInfo);
  FLogWarn = std::move(AWarn);
}

TDBAReachability::Attempt::Attempt(Attempt&& o) noexcept
    : owner_(std::exchange(o.owner_, nullptr)), held_(o.held_), while_up_(o.while_up_), started_(o.started_) {}

TDBAReachability::Attempt::~Attempt() {
  if (owner_) owner_->Abandon(*this);
}

bool TDBAReachability::Attempt::Failed(const std::string& AReason) noexcept {
  TDBAReachability* owner = std::exchange(owner_, nullptr);
  return owner && owner->Report(*this, false, AReason);
}

bool TDBAReachability::Attempt::Succeeded() noexcept {
  TDBAReachability* owner = std::exchange(owner_, nullptr);
  return owner && owner->Report(*this, true, {});
}

void TDBAReachability::Ended(const Attempt& AAttempt) {
  if (AAttempt.held_) FTurnTaken = false;
  if (auto it = FWaiting.find(AAttempt.started_); it != FWaiting.end()) FWaiting.erase(it);
  FOldestWaiting.store(FWaiting.empty() ? kNoneWaiting : FWaiting.begin()->time_since_epoch().count(),
                       std::memory_order_release);
}

void TDBAReachability::Abandon(const Attempt& AAttempt) noexcept {
  try {
    TOVLockGuard g(FLock);
    Ended(AAttempt);
  } catch (...) {
  }
}

TDBAReachability::Attempt TDBAReachability::Begin() {
  std::string reminder;
  {
    TOVLockGuard g(FLock);
    const TOVMonoTime now = FClock.MonoNow();
    if (Stopping()) return Attempt(nullptr, false, false, now);
    const bool up = !FDown;
    if (up || (!FTurnTaken && now >= FNextDue)) {
      if (!up) FTurnTaken = true;
      if (FWaiting.empty()) FOldestWaiting.store(now.time_since_epoch().count(), std::memory_order_release);
      FWaiting.insert(now);
      return Attempt(this, !up, up, now);
    }
    reminder = CountRefusal(now);
  }
  if (!reminder.empty() && FLogWarn) FLogWarn(reminder);
  return Attempt(nullptr, false, false, {});
}

std::string TDBAReachability::CountRefusal(TOVMonoTime ANow) {
  ++FRefused;
  ++FRefusedInAll;
  return TakeReminder(ANow);
}

void TDBAReachability::Refused() {
  std::string reminder;
  {
    TOVLockGuard g(FLock);
    if (!FDown) return;
    reminder = CountRefusal(FClock.MonoNow());
  }
  if (!reminder.empty() && FLogWarn) FLogWarn(reminder);
}

void TDBAReachability::MarkDown(TOVMonoTime ANow, const std::string& AReason) {
  FDown = true;
  FDownNow.store(true, std::memory_order_release);
  FOutages.fetch_add(1, std::memory_order_acq_rel);
  FDownSince = FLastReport = ANow;
  FReason = AReason.empty() ? std::string("unknown error") : AReason;
}

std::string TDBAReachability::MarkUp(TOVMonoTime ANow) {
  std::string line = Format("Database reachable again after %s (%u requests refused meanwhile)",
                            Span(ANow - FDownSince), FRefusedInAll);
  FDown = false;
  FDownNow.store(false, std::memory_order_release);
  FReason.clear();
  FRefused = FFailed = FRefusedInAll = 0;
  return line;
}

bool TDBAReachability::Report(const Attempt& AAttempt, bool AOk, const std::string& AReason) noexcept {
  std::string line;
  bool changed = false;
  try {
    TOVLockGuard g(FLock);
    const TOVMonoTime now = FClock.MonoNow();
    Ended(AAttempt);
    if (AOk) {
      if (FDown) {
        changed = true;
        line = MarkUp(now);
      }
    } else if (!Stopping()) {  // a stop cuts attempts short: no news of the server
      FNextDue = now + FTimings.RetryEvery;
      if (!FDown) {
        changed = true;
        MarkDown(now, AReason);
      } else {
        FReason = AReason.empty() ? std::string("unknown error") : AReason;
        ++FFailed;
        line = TakeReminder(now);
      }
    }
  } catch (...) {
    return changed;
  }
  if (!line.empty()) {
    const TDBAReachLogProc& log = AOk ? FLogInfo : FLogWarn;
    if (log) log(line);
  }
  return changed;
}

bool TDBAReachability::NotAnswering(const std::string& AReason) {
  TOVLockGuard g(FLock);
  if (FDown || Stopping()) return false;
  const TOVMonoTime now = FClock.MonoNow();
  MarkDown(now, AReason);
  FNextDue = now;  // the server has had its time: the next borrower may try it at once
  return true;
}

void TDBAReachability::Answered() {
  if (!FDownNow.load(std::memory_order_acquire)) return;
  std::string line;
  {
    TOVLockGuard g(FLock);
    if (!FDown) return;
    line = MarkUp(FClock.MonoNow());
  }
  if (FLogInfo) FLogInfo(line);
}

void TDBAReachability::Stop() {
  TOVLockGuard g(FLock);
  FStopping.store(true, std::memory_order_release);
}

std::string TDBAReachability::TakeReminder(TOVMonoTime ANow) {
  if (ANow - FLastReport < FTimings.RemindEvery) return {};
  std::string line = Format(
      "Database still unreachable after %s: %u requests refused and %u connection attempts failed in the last %s "
      "(%s)",
      Span(ANow - FDownSince), FRefused, FFailed, Span(ANow - FLastReport), FReason);
  FLastReport = ANow;
  FRefused = FFailed = 0;
  return line;
}

TOVMonoTime::duration TDBAReachability::StalledFor(TOVMonoTime ANow) const {
  if (FWaiting.empty()) return {};
  const auto waited = ANow - *FWaiting.begin();
  return waited >= FTimings.StallAfter ? waited : TOVMonoTime::duration{};
}

bool TDBAReachability::Down() const {
  TOVLockGuard g(FLock);
  return FDown;
}

bool TDBAReachability::NotAnsweringNow() const {
  return FDownNow.load(std::memory_order_acquire) || AttemptStalledNow();
}

bool TDBAReachability::AttemptStalledNow() const {
  const TOVMonoTime::rep oldest = FOldestWaiting.load(std::memory_order_acquire);
  return oldest != kNoneWaiting && FClock.MonoNow() - TOVMonoTime(TOVMonoTime::duration(oldest)) >= FTimings.StallAfter;
}

std::string TDBAReachability::Reason() const {
  TOVLockGuard g(FLock);
  if (FDown) return FReason;
  if (const auto stalled = StalledFor(FClock.MonoNow()); stalled > TOVMonoTime::duration{})
    return NoAnswerFor(stalled);
  if (Stopping()) return "the server is stopping";
  return {};
}

}  // namespace ov
