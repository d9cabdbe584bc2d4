#include "ov_service_table.h"

#include <cstring>
#include <exception>
#include <functional>

#include "ov_log.h"

namespace ov {

namespace {

bool SameName(const char* a, const char* b) noexcept { return a && b && std::strcmp(a, b) == 0; }

// True when `after` names a row of the table.
bool NamesRow(std::span<const TOVServiceRow> rows, const char* after) noexcept {
  for (const auto& r : rows)
    if (SameName(r.name, after)) return true;
  return false;
}

}  // namespace

std::vector<std::size_t> ShutdownOrder(std::span<const TOVServiceRow> rows) {
  const auto follows = [&](std::size_t i) {
    return rows[i].at == TOVStopAt::After && NamesRow(rows, rows[i].after);
  };
  std::vector<std::size_t> order;
  // A row, then (recursively) the rows declared after it, latest started first.
  std::function<void(std::size_t)> emit = [&](std::size_t i) {
    order.push_back(i);
    for (std::size_t j = rows.size(); j-- > 0;)
      if (follows(j) && SameName(rows[j].after, rows[i].name)) emit(j);
  };
  const auto pass = [&](auto&& wanted) {
    for (std::size_t i = rows.size(); i-- > 0;)
      if (!follows(i) && wanted(rows[i].at)) emit(i);
  };
  pass([](TOVStopAt at) { return at == TOVStopAt::First; });
  pass([](TOVStopAt at) { return at == TOVStopAt::Reverse || at == TOVStopAt::After; });
  pass([](TOVStopAt at) { return at == TOVStopAt::Final; });
  return order;
}

TOVServiceWalk::TOVServiceWalk(std::span<const TOVServiceRow> rows, TOVLife life)
    : rows_(rows), life_(life), order_(ShutdownOrder(rows)), started_(rows.size(), false) {}

void TOVServiceWalk::StartAll() {
  for (std::size_t i = 0; i < rows_.size(); ++i) {
    if (rows_[i].life != TOVLife::Any && rows_[i].life != life_) continue;
    started_[i] = true;
    if (rows_[i].start) rows_[i].start();
  }
}

void TOVServiceWalk::StopRow(std::size_t index, const TOVStepFn& step) {
  if (!started_[index]) return;
  started_[index] = false;
  if (!rows_[index].stop) return;
  try {
    rows_[index].stop(step);
  } catch (const std::exception& e) {
    LogError("Shutdown error: %s", e.what());
  } catch (...) {
    LogError("Shutdown error: %s", "unknown exception");
  }
}

void TOVServiceWalk::StopServices(const TOVStepFn& step) {
  bool any = false;
  for (std::size_t i : order_) any = any || (started_[i] && rows_[i].at != TOVStopAt::Final);
  if (!any) return;  // start-up failed before any service existed
  step("begin");
  for (std::size_t i : order_)
    if (rows_[i].at != TOVStopAt::Final) StopRow(i, step);
  step("done");
}

void TOVServiceWalk::StopFinal(const TOVStepFn& step) {
  for (std::size_t i : order_)
    if (rows_[i].at == TOVStopAt::Final) StopRow(i, step);
}

}  // namespace ov
