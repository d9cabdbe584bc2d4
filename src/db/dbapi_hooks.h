// Hook registry of the portable SQL library: lets the owner of a dialect observe and steer
// statements, errors, connects, disconnects, schema changes and the library's log.
//
// Handler identity.  A handler is a std::function plus a TDBAHookId: the pair (Owner, Tag).
// std::function objects cannot be compared, so two handlers are "equal" exactly when their ids
// are equal (as a method of one object is the same handler wherever it is added from):
//   - Add...(id, fn): the caller names the handler, typically {this, <a constant per method>};
//     adding a second handler with an id already listed is ignored; Remove...(id) removes it.
//   - Add...(fn): the registry makes a fresh id (Owner = the registry, Tag = a counter) and
//     returns it as the handle for Remove....
// An empty std::function (a handler without code) is ignored and yields an empty id.
// Handlers run outside the registry's lock, on the firing thread, in list order; adding or
// removing during a fire takes effect at the next fire.  Exceptions from handlers are not
// caught: they stop the fire and reach the code that fired.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "dbapi_consts.h"
#include "ov_json_helpers.h"
#include "ov_locks.h"

namespace ov {

struct TDBAHookId {
  const void* Owner = nullptr;
  std::uintptr_t Tag = 0;
  bool operator==(const TDBAHookId&) const = default;
  bool Empty() const noexcept { return Owner == nullptr && Tag == 0; }
};

// AParams is the statement's JSON parameter array, or JSON null when none was given.
using TDBABeforeQueryProc = std::function<void(std::string_view ASQL, const TJSON& AParams, bool& ACancel)>;
using TDBAAfterQueryProc = std::function<void(std::string_view ASQL, const TJSON& AParams,
                                              std::int64_t ADurationMs, std::int64_t ARowsAffected)>;
using TDBAErrorProc = std::function<void(std::string_view ASQL, const std::string& AError, bool& AHandled)>;
using TDBAConnectProc = std::function<void(const std::string& AServerInfo)>;
using TDBADisconnectProc = std::function<void(const std::string& AReason)>;
using TDBASchemaChangeProc = std::function<void(TDBASchemaChangeKind AKind, const std::string& ATable,
                                                const std::string& ADetail, const std::string& ASQL)>;
using TDBALogProc = std::function<void(TDBALogLevel ALevel, const std::string& AMsg)>;

namespace dbapi_detail {
template <class Fn>
struct HookEntry {
  TDBAHookId id;
  std::function<Fn> fn;
};
template <class Fn>
using HookSnapshot = std::shared_ptr<const std::vector<HookEntry<Fn>>>;
}  // namespace dbapi_detail

class TDBAHookRegistry {
 public:
  TDBAHookRegistry();
  ~TDBAHookRegistry();
  TDBAHookRegistry(const TDBAHookRegistry&) = delete;
  TDBAHookRegistry& operator=(const TDBAHookRegistry&) = delete;

#define OV_DBA_HOOK_OPS(Name, ProcType)                  \
  void AddOn##Name(TDBAHookId AId, ProcType AHandler);   \
  TDBAHookId AddOn##Name(ProcType AHandler);             \
  void RemoveOn##Name(TDBAHookId AId);
  OV_DBA_HOOK_OPS(BeforeQuery, TDBABeforeQueryProc)
  OV_DBA_HOOK_OPS(AfterQuery, TDBAAfterQueryProc)
  OV_DBA_HOOK_OPS(Error, TDBAErrorProc)
  OV_DBA_HOOK_OPS(Connect, TDBAConnectProc)
  OV_DBA_HOOK_OPS(Disconnect, TDBADisconnectProc)
  OV_DBA_HOOK_OPS(SchemaChange, TDBASchemaChangeProc)
  OV_DBA_HOOK_OPS(Log, TDBALogProc)
#undef OV_DBA_HOOK_OPS

  // Stops after the handler that set ACancel.
  void FireBeforeQuery(std::string_view ASQL, const TJSON& AParams, bool& ACancel);
  void FireAfterQuery(std::string_view ASQL, const TJSON& AParams, std::int64_t ADurationMs,
                      std::int64_t ARowsAffected);
  // Stops after the handler that set AHandled.
  void FireError(std::string_view ASQL, const std::string& AError, bool& AHandled);
  void FireConnect(const std::string& AServerInfo);
  void FireDisconnect(const std::string& AReason);
  void FireSchemaChange(TDBASchemaChangeKind AKind, const std::string& ATable, const std::string& ADetail,
                        const std::string& ASQL);
  void FireLog(TDBALogLevel ALevel, const std::string& AMsg);

  void LogDebug(const std::string& AMsg) { FireLog(dllDebug, AMsg); }
  void LogInfo(const std::string& AMsg) { FireLog(dllInfo, AMsg); }
  void LogWarning(const std::string& AMsg) { FireLog(dllWarning, AMsg); }
  void LogError(const std::string& AMsg) { FireLog(dllError, AMsg); }

  // True when no before/after/error handler is listed.
  bool QueryHooksEmpty();
  // True when an after-query handler is listed (a dialect times statements only then).
  bool HasAfterQuery() const noexcept { return count_[1].load(std::memory_order_acquire) > 0; }

 private:
  // Lists by number: 0 before-query, 1 after-query, 2 error, 3 connect, 4 disconnect,
  // 5 schema change, 6 log.  count_ mirrors each list's length so that firing an empty list
  // takes no lock (statements fire two lists each).
  template <class Fn>
  void Add(int which, dbapi_detail::HookSnapshot<Fn>& list, TDBAHookId id, std::function<Fn> fn);
  template <class Fn>
  void Remove(int which, dbapi_detail::HookSnapshot<Fn>& list, TDBAHookId id);
  template <class Fn>
  dbapi_detail::HookSnapshot<Fn> Snapshot(int which, const dbapi_detail::HookSnapshot<Fn>& list);
  std::atomic<int> count_[7] = {};
  TDBAHookId NextId();

  // ---- Guarded by lock_ (a leaf): next_tag_, and every list below, which Add, Remove and
  // Snapshot take by reference and change or copy under lock_ ----
  TOVLock lock_{LockLevel::Leaf};
  std::uintptr_t next_tag_ GUARDED_BY(lock_) = 0;
  dbapi_detail::HookSnapshot<void(std::string_view, const TJSON&, bool&)> before_query_;
  dbapi_detail::HookSnapshot<void(std::string_view, const TJSON&, std::int64_t, std::int64_t)> after_query_;
  dbapi_detail::HookSnapshot<void(std::string_view, const std::string&, bool&)> error_;
  dbapi_detail::HookSnapshot<void(const std::string&)> connect_;
  dbapi_detail::HookSnapshot<void(const std::string&)> disconnect_;
  dbapi_detail::HookSnapshot<void(TDBASchemaChangeKind, const std::string&, const std::string&, const std::string&)>
      schema_change_;
  dbapi_detail::HookSnapshot<void(TDBALogLevel, const std::string&)> log_;
};

}  // namespace ov
