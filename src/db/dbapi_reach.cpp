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

TDBAReachability::TDBAReachability(TDBAReachTimings ATimings, const TOVClock& AClock)
    : FTimings(ATimings), FClock(AClock) {}

void TDBAReachability::SetLoggers(TDBAReachLogProc AInfo, TDBAReachLogProc AWarn) {
  FLogInfo = std::move(AInfo);
  FLogWarn = std::move(AWarn);
}

TDBAReachability::Attempt::Attempt(Attempt&& o) noexcept
    : owner_(std::exchange(o.owner_, nullptr)), held_(o.held_), while_up_(o.while_up_) {}

TDBAReachability::Attempt::~Attempt() {
  if (owner_ && held_) owner_->GiveBackTurn();
}

void TDBAReachability::GiveBackTurn() noexcept {
  TOVLockGuard g(FLock);
  FTurnTaken = false;
}

bool TDBAReachability::Attempt::Failed(const std::string& AReason) noexcept {
  TDBAReachability* owner = std::exchange(owner_, nullptr);
  return owner && owner->Report(held_, false, AReason);
}

bool TDBAReachability::Attempt::Succeeded() noexcept {
  TDBAReachability* owner = std::exchange(owner_, nullptr);
  return owner && owner->Report(held_, true, {});
}

TDBAReachability::Attempt TDBAReachability::Begin() {
  std::string reminder;
  {
    TOVLockGuard g(FLock);
    if (!FDown) return Attempt(this, false, true);
    const TOVMonoTime now = FClock.MonoNow();
    if (!FTurnTaken && now >= FNextDue) {
      FTurnTaken = true;
      return Attempt(this, true, false);
    }
    ++FRefused;
    ++FRefusedInAll;
    reminder = TakeReminder(now);
  }
  if (!reminder.empty() && FLogWarn) FLogWarn(reminder);
  return Attempt(nullptr, false, false);
}

bool TDBAReachability::Report(bool AHeld, bool AOk, const std::string& AReason) noexcept {
  std::string line;
  bool changed = false;
  try {
    TOVLockGuard g(FLock);
    const TOVMonoTime now = FClock.MonoNow();
    if (AHeld) FTurnTaken = false;
    if (AOk) {
      if (FDown) {
        changed = true;
        line = Format("Database reachable again after %s (%u requests refused meanwhile)", Span(now - FDownSince),
                      FRefusedInAll);
        FDown = false;
        FReason.clear();
        FRefused = FFailed = FRefusedInAll = 0;
      }
    } else {
      FReason = AReason.empty() ? std::string("unknown error") : AReason;
      FNextDue = now + FTimings.RetryEvery;
      if (!FDown) {
        changed = true;
        FDown = true;
        FOutages.fetch_add(1, std::memory_order_acq_rel);
        FDownSince = FLastReport = now;
      } else {
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

bool TDBAReachability::Down() const {
  TOVLockGuard g(FLock);
  return FDown;
}

std::string TDBAReachability::Reason() const {
  TOVLockGuard g(FLock);
  return FDown ? FReason : std::string();
}

}  // namespace ov
