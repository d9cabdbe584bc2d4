// Hook registry of the portable SQL library.
#include "dbapi_hooks.h"

#include <mutex>

namespace ov {

TDBAHookRegistry::TDBAHookRegistry() = default;
TDBAHookRegistry::~TDBAHookRegistry() = default;

TDBAHookId TDBAHookRegistry::NextId() {
  TOVLockGuard g(lock_);
  return TDBAHookId{this, ++next_tag_};
}

template <class Fn>
void TDBAHookRegistry::Add(int which, dbapi_detail::HookSnapshot<Fn>& list, TDBAHookId id, std::function<Fn> fn) {
  if (!fn) return;
  TOVLockGuard g(lock_);
  if (list) {
    for (const auto& e : *list)
      if (e.id == id) return;
  }
  auto next = list ? std::make_shared<std::vector<dbapi_detail::HookEntry<Fn>>>(*list)
                   : std::make_shared<std::vector<dbapi_detail::HookEntry<Fn>>>();
  next->push_back({id, std::move(fn)});
  count_[which].store(static_cast<int>(next->size()), std::memory_order_release);
  list = std::move(next);
}

template <class Fn>
void TDBAHookRegistry::Remove(int which, dbapi_detail::HookSnapshot<Fn>& list, TDBAHookId id) {
  TOVLockGuard g(lock_);
  if (!list) return;
  for (std::size_t i = 0; i < list->size(); ++i) {
    if ((*list)[i].id == id) {
      auto next = std::make_shared<std::vector<dbapi_detail::HookEntry<Fn>>>(*list);
      next->erase(next->begin() + static_cast<std::ptrdiff_t>(i));  // later ones move down, order kept
      count_[which].store(static_cast<int>(next->size()), std::memory_order_release);
      list = std::move(next);
      return;
    }
  }
}

template <class Fn>
dbapi_detail::HookSnapshot<Fn> TDBAHookRegistry::Snapshot(int which, const dbapi_detail::HookSnapshot<Fn>& list) {
  if (count_[which].load(std::memory_order_acquire) == 0) return nullptr;
  TOVLockGuard g(lock_);
  return list;
}

#define OV_DBA_HOOK_IMPL(Name, ProcType, which, member)                           \
  void TDBAHookRegistry::AddOn##Name(TDBAHookId AId, ProcType AHandler) {         \
    Add(which, member, AId, std::move(AHandler));                                 \
  }                                                                               \
  TDBAHookId TDBAHookRegistry::AddOn##Name(ProcType AHandler) {                   \
    if (!AHandler) return {};                                                     \
    const TDBAHookId id = NextId();                                               \
    Add(which, member, id, std::move(AHandler));                                  \
    return id;                                                                    \
  }                                                                               \
  void TDBAHookRegistry::RemoveOn##Name(TDBAHookId AId) { Remove(which, member, AId); }

OV_DBA_HOOK_IMPL(BeforeQuery, TDBABeforeQueryProc, 0, before_query_)
OV_DBA_HOOK_IMPL(AfterQuery, TDBAAfterQueryProc, 1, after_query_)
OV_DBA_HOOK_IMPL(Error, TDBAErrorProc, 2, error_)
OV_DBA_HOOK_IMPL(Connect, TDBAConnectProc, 3, connect_)
OV_DBA_HOOK_IMPL(Disconnect, TDBADisconnectProc, 4, disconnect_)
OV_DBA_HOOK_IMPL(SchemaChange, TDBASchemaChangeProc, 5, schema_change_)
OV_DBA_HOOK_IMPL(Log, TDBALogProc, 6, log_)
#undef OV_DBA_HOOK_IMPL

bool TDBAHookRegistry::QueryHooksEmpty() {
  return count_[0].load(std::memory_order_acquire) == 0 && count_[1].load(std::memory_order_acquire) == 0 &&
         count_[2].load(std::memory_order_acquire) == 0;
}

void TDBAHookRegistry::FireBeforeQuery(std::string_view ASQL, const TJSON& AParams, bool& ACancel) {
  const auto snap = Snapshot(0, before_query_);
  if (!snap) return;
  for (const auto& e : *snap) {
    e.fn(ASQL, AParams, ACancel);
    if (ACancel) return;
  }
}

void TDBAHookRegistry::FireAfterQuery(std::string_view ASQL, const TJSON& AParams, std::int64_t ADurationMs,
                                      std::int64_t ARowsAffected) {
  const auto snap = Snapshot(1, after_query_);
  if (!snap) return;
  for (const auto& e : *snap) e.fn(ASQL, AParams, ADurationMs, ARowsAffected);
}

void TDBAHookRegistry::FireError(std::string_view ASQL, const std::string& AError, bool& AHandled) {
  const auto snap = Snapshot(2, error_);
  if (!snap) return;
  for (const auto& e : *snap) {
    e.fn(ASQL, AError, AHandled);
    if (AHandled) return;
  }
}

void TDBAHookRegistry::FireConnect(const std::string& AServerInfo) {
  const auto snap = Snapshot(3, connect_);
  if (!snap) return;
  for (const auto& e : *snap) e.fn(AServerInfo);
}

void TDBAHookRegistry::FireDisconnect(const std::string& AReason) {
  const auto snap = Snapshot(4, disconnect_);
  if (!snap) return;
  for (const auto& e : *snap) e.fn(AReason);
}

void TDBAHookRegistry::FireSchemaChange(TDBASchemaChangeKind AKind, const std::string& ATable,
                                        const std::string& ADetail, const std::string& ASQL) {
  const auto snap = Snapshot(5, schema_change_);
  if (!snap) return;
  for (const auto& e : *snap) e.fn(AKind, ATable, ADetail, ASQL);
}

void TDBAHookRegistry::FireLog(TDBALogLevel ALevel, const std::string& AMsg) {
  const auto snap = Snapshot(6, log_);
  if (!snap) return;
  for (const auto& e : *snap) e.fn(ALevel, AMsg);
}

}  // namespace ov
